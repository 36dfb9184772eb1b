#include "kelp/nrepl/server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/lib/ns_loading.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/nrepl/bencode.hpp"
#include "kelp/nrepl/evaluation.hpp"
#include "kelp/nrepl/names.hpp"
#include "kelp/nrepl/request.hpp"
#include "kelp/nrepl/session.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::nrepl {

namespace {

constexpr const char* PLAIN_OPS[] = {"clone", "close", "completions", "describe", "eval", "load-file",
                                     "ls-sessions"};
constexpr const char* SESSION_OPS[] = {"interrupt", "lookup", "stdin"};
// How long an interrupt waits for the evaluation to end before it answers anyway.
constexpr auto INTERRUPT_WAIT = std::chrono::seconds(5);

// One accepted socket. Writes are whole messages under a lock; the reader thread owns the descriptor and closes it.
class Connection final : public Transport {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  void send(const Value& msg) override {
    std::string bytes;
    try {
      bytes = encode(msg);
    } catch (const BencodeError&) {
      return;
    }
    std::lock_guard lock(write_mutex_);
    if (!open_) return;
    for (size_t at = 0; at < bytes.size();) {
      ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        open_ = false;
        return;
      }
      at += static_cast<size_t>(n);
    }
  }
  int fd() const { return fd_; }
  // Ends the connection from outside: the reader sees the end of input.
  void shut() { ::shutdown(fd_, SHUT_RDWR); }

 private:
  int fd_;
  std::mutex write_mutex_;
  bool open_ = true;  // guarded by write_mutex_
};

std::string id_text(const Value* v) {
  if (!v) return "";
  if (v->is(Kind::String)) return std::string(str_view(*v));
  if (v->is_int()) return std::to_string(v->as_int());
  return "";
}

Value string_map(std::initializer_list<std::pair<const char*, Value>> entries) {
  std::vector<Value> kvs;
  for (const auto& [k, v] : entries) {
    kvs.push_back(make_string(k));
    kvs.push_back(v);
  }
  return make_map(kvs);
}

Value clojure_version() {
  const Value& var = rt::core_vars().clojure_version;
  Value m = var.is_nil() ? Value() : rt::as_var(var).root();
  auto num = [&](const char* k) {
    const Value* v = get(m, keyword(k));
    return v && v->is_int() ? v->as_int() : 0;
  };
  std::string text = std::to_string(num("major")) + "." + std::to_string(num("minor")) + "." +
                     std::to_string(num("incremental"));
  return string_map({{"major", Value::integer(num("major"))},
                     {"minor", Value::integer(num("minor"))},
                     {"incremental", Value::integer(num("incremental"))},
                     {"version-string", make_string(text)}});
}

}  // namespace

struct Server::State : std::enable_shared_from_this<Server::State> {
  ServerOptions opts;
  int listen_fd = -1;
  int port = 0;
  std::thread acceptor;
  std::atomic<bool> stopping{false};

  std::mutex mutex;
  std::map<std::string, SessionPtr> sessions;                // guarded by mutex
  std::vector<std::weak_ptr<Connection>> connections;         // guarded by mutex

  std::vector<std::string> ops() const {
    std::vector<std::string> out(std::begin(PLAIN_OPS), std::end(PLAIN_OPS));
    if (opts.sessions) out.insert(out.end(), std::begin(SESSION_OPS), std::end(SESSION_OPS));
    std::sort(out.begin(), out.end());
    return out;
  }
  bool offers(const std::string& op) const {
    std::vector<std::string> all = ops();
    return std::find(all.begin(), all.end(), op) != all.end();
  }

  SessionPtr find_session(const std::string& id) {
    std::lock_guard lock(mutex);
    auto it = sessions.find(id);
    return it == sessions.end() ? nullptr : it->second;
  }

  void accept_loop() {
    for (;;) {
      int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (stopping) return;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          continue;
        }
        return;
      }
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto conn = std::make_shared<Connection>(fd);
      {
        std::lock_guard lock(mutex);
        if (stopping) {
          ::close(fd);
          return;
        }
        std::erase_if(connections, [](const auto& w) { return w.expired(); });
        connections.push_back(conn);
      }
      try {
        // A plain server evaluates on this thread: it gets the large stack evaluation needs.
        rt::start_worker([self = shared_from_this(), conn] { self->read_loop(conn); });
      } catch (...) {
        ::close(fd);
      }
    }
  }

  void read_loop(const std::shared_ptr<Connection>& conn) {
    FdSource source(conn->fd());
    for (;;) {
      std::optional<Value> msg;
      try {
        msg = decode(source);
      } catch (const BencodeError&) {
        break;  // a malformed stream cannot be resynchronised
      }
      if (!msg || stopping) break;
      if (is_map(*msg)) handle(*msg, conn);
    }
    conn->shut();
    ::close(conn->fd());
  }

  void handle(const Value& msg, const std::shared_ptr<Connection>& conn) {
    Request req{msg, conn, id_text(get(msg, make_string("id"))), ""};
    std::string op = req.str("op");
    SessionPtr session;
    if (req.has("session")) {
      req.session = req.str("session");
      session = find_session(req.session);
      if (!session) return send_status(req, {"done", "unknown-session", "error"});
    } else {
      req.session = new_session_id();  // an ephemeral session, as JVM nREPL names one
    }
    try {
      dispatch(op, req, session);
    } catch (...) {
      // An op that failed outside any evaluation still ends its request.
      send_status(req, {"done", "error"});
    }
  }

  void dispatch(const std::string& op, Request& req, SessionPtr session) {
    if (!offers(op)) {
      return req.transport->send(response(req, {make_string("op"), make_string(op), make_string("status"),
                                                statuses({"done", "unknown-op", "error"})}));
    }
    if (op == "describe") return describe(req, session);
    if (op == "clone") return clone(req, session);
    if (op == "close") return close_session(req, session);
    if (op == "ls-sessions") return ls_sessions(req);
    if (op == "completions") return complete(req, session);
    if (op == "lookup") return lookup(req, session);
    if (op == "interrupt") return interrupt(req, session);
    if (op == "stdin") return stdin(req, session);
    if (!session) session = Session::make(req.session, opts.sessions);
    if (op == "eval") return eval(req, session);
    if (op == "load-file") session->submit([session, req] { load_file(session, req); });
  }

  void describe(const Request& req, const SessionPtr& session) {
    std::vector<Value> ops_kvs;
    for (const std::string& op : ops()) {
      ops_kvs.push_back(make_string(op));
      ops_kvs.push_back(empty_map());
    }
    Value versions = string_map({{"nrepl", string_map({{"major", Value::integer(1)},
                                                       {"minor", Value::integer(0)},
                                                       {"incremental", Value::integer(0)},
                                                       {"version-string", make_string("1.0.0")}})},
                                 {"clojure", clojure_version()},
                                 {"kelp", string_map({{"major", Value::integer(0)},
                                                      {"minor", Value::integer(1)},
                                                      {"version-string", make_string("0.1")}})}});
    Value aux = string_map({{"current-ns", make_string(session ? session->ns_name() : "user")}});
    req.transport->send(response(req, {make_string("ops"), make_map(ops_kvs), make_string("versions"), versions,
                                       make_string("aux"), aux, make_string("status"), statuses({"done"})}));
  }

  void clone(const Request& req, const SessionPtr& from) {
    SessionPtr fresh = Session::make(new_session_id(), opts.sessions, from.get());
    {
      std::lock_guard lock(mutex);
      sessions[fresh->id()] = fresh;
    }
    req.transport->send(response(req, {make_string("new-session"), make_string(fresh->id()), make_string("status"),
                                       statuses({"done"})}));
  }

  void close_session(const Request& req, const SessionPtr& session) {
    if (session) {
      {
        std::lock_guard lock(mutex);
        sessions.erase(session->id());
      }
      session->close();
    }
    send_status(req, {"done", "session-closed"});
  }

  void ls_sessions(const Request& req) {
    std::vector<Value> ids;
    {
      std::lock_guard lock(mutex);
      for (const auto& [id, s] : sessions) ids.push_back(make_string(id));
    }
    req.transport->send(
        response(req, {make_string("sessions"), make_vector(ids), make_string("status"), statuses({"done"})}));
  }

  // The namespace a naming op works in: the request's "ns", else the session's, else user.
  static rt::Namespace* naming_ns(const Request& req, const SessionPtr& session) {
    std::string name = req.str("ns");
    if (name.empty() && session) name = session->ns_name();
    rt::Namespace* ns = name.empty() ? nullptr : rt::find_ns(name);
    return ns ? ns : rt::core_vars().user;
  }

  void complete(const Request& req, const SessionPtr& session) {
    Value found = completions(req.str("prefix"), *naming_ns(req, session));
    req.transport->send(
        response(req, {make_string("completions"), found, make_string("status"), statuses({"done"})}));
  }

  void lookup(const Request& req, const SessionPtr& session) {
    std::string sym = req.str("sym");
    if (sym.empty()) sym = req.str("symbol");
    Value info = lookup_info(sym, *naming_ns(req, session));
    // A name that resolves to nothing answers an empty info, as JVM nREPL does.
    if (info.is_nil()) info = empty_vector();
    req.transport->send(response(req, {make_string("info"), info, make_string("status"), statuses({"done"})}));
  }

  void interrupt(const Request& req, const SessionPtr& session) {
    if (!session) return send_status(req, {"done", "session-ephemeral", "error"});
    std::optional<Request> running = session->running_request();
    switch (session->interrupt(req.str("interrupt-id"))) {
      case Session::Interrupt::Idle:
        return send_status(req, {"done", "session-idle"});
      case Session::Interrupt::Mismatch:
        return send_status(req, {"done", "interrupt-id-mismatch", "error"});
      case Session::Interrupt::Interrupted:
        // The evaluation's own "interrupted" comes first, as JVM nREPL orders them.
        if (running) session->wait_ended(running->id, INTERRUPT_WAIT);
        return send_status(req, {"done"});
    }
  }

  void stdin(const Request& req, const SessionPtr& session) {
    if (!session) return send_status(req, {"done", "session-ephemeral", "error"});
    send_status(req, {"done"});
    session->provide_input(req.str("stdin"));
  }

  void eval(const Request& req, const SessionPtr& session) {
    rt::Namespace* ns = nullptr;
    if (std::string name = req.str("ns"); !name.empty()) {
      ns = rt::find_ns(name);
      if (!ns)
        return req.transport->send(response(req, {make_string("ns"), make_string(name), make_string("status"),
                                                  statuses({"namespace-not-found", "done", "error"})}));
    }
    session->submit([session, req, ns] { evaluate(session, req, ns); });
  }

  void stop() {
    if (stopping.exchange(true)) return;
    ::shutdown(listen_fd, SHUT_RDWR);
    if (acceptor.joinable()) acceptor.join();
    ::close(listen_fd);
    std::vector<std::shared_ptr<Connection>> conns;
    std::map<std::string, SessionPtr> closing;
    {
      std::lock_guard lock(mutex);
      for (const auto& w : connections)
        if (auto c = w.lock()) conns.push_back(c);
      connections.clear();
      closing.swap(sessions);
    }
    for (const auto& c : conns) c->shut();
    for (const auto& [id, s] : closing) s->close();
  }
};

std::shared_ptr<Server> Server::start(int port, ServerOptions opts) {
  // Sessions evaluate in user, where a REPL has doc, source, pprint and the rest, as JVM Clojure's does.
  lib::refer_repl(*rt::core_vars().user, lib::repl_requires());
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) rt::throw_error("java.io.IOException", std::string("socket() failed: ") + std::strerror(errno));
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (port < 0 || port > 65535 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 64) != 0) {
    std::string why = port < 0 || port > 65535 ? "port out of range" : std::strerror(errno);
    ::close(fd);
    rt::throw_error("java.io.IOException", "bind() failed: " + why + " (127.0.0.1:" + std::to_string(port) + ")");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  auto state = std::make_shared<State>();
  state->opts = opts;
  state->listen_fd = fd;
  state->port = ntohs(addr.sin_port);
  state->acceptor = std::thread([raw = state.get()] { raw->accept_loop(); });
  return std::shared_ptr<Server>(new Server(std::move(state)));
}

Server::~Server() { stop(); }

int Server::port() const { return state_->port; }

std::vector<std::string> Server::ops() const { return state_->ops(); }

void Server::stop() { state_->stop(); }

std::string started_line(int port) {
  std::string p = std::to_string(port);
  return "nREPL server started on port " + p + " on host 127.0.0.1 - nrepl://127.0.0.1:" + p;
}

}  // namespace kelp::nrepl
