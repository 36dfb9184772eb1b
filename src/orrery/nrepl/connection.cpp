#include "orrery/nrepl/connection.hpp"

#include <fstream>
#include <sstream>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "orrery/nrepl/ops.hpp"

namespace orrery::nrepl {

namespace fs = std::filesystem;
using kelp::Value;

std::optional<int> parse_port(std::string_view text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return std::nullopt;
  size_t e = text.find_last_not_of(" \t\r\n");
  std::string_view t = text.substr(b, e - b + 1);
  if (t.empty() || t.size() > 5) return std::nullopt;
  int port = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

std::optional<fs::path> default_port_file(const dialect::Selection& selection) {
  if (!selection.project_dir || !selection.profile || !selection.profile->port_file) return std::nullopt;
  return *selection.project_dir / *selection.profile->port_file;
}

eval::Result notice(std::string text) {
  eval::Result r;
  r.status = eval::Status::Notice;
  r.text = std::move(text);
  return r;
}

std::variant<Located, eval::Result> locate_port(const ConnectPolicy& policy) {
  if (policy.refusal) return notice(*policy.refusal);
  std::string host = policy.endpoint ? policy.endpoint->host : "127.0.0.1";
  if (policy.endpoint && policy.endpoint->port) return Located{host, *policy.endpoint->port};
  if (!policy.port_file || !policy.project_dir) return notice(policy.messages.no_project);
  std::error_code ec;
  if (!fs::is_regular_file(*policy.port_file, ec))
    return notice(policy.messages.not_running ? policy.messages.not_running(*policy.project_dir) : "");
  std::ifstream in(*policy.port_file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::optional<int> port = in ? parse_port(text.str()) : std::nullopt;
  if (!port) return notice(policy.messages.bad_port_file);
  return Located{host, *port};
}

Link::Link(Timings timings) : timings_(timings) {}

Link::~Link() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  watch_cv_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  std::shared_ptr<Connection> a, b;
  {
    std::lock_guard lock(mutex_);
    a = std::move(conn_);
    b = std::move(connecting_);
  }
  if (a) a->close();
  if (b) b->close();
}

namespace {

Value with_session(Value msg, const std::optional<std::string>& session) {
  if (session) msg = kelp::assoc(msg, kelp::keyword("session"), kelp::make_string(*session));
  return msg;
}

std::optional<std::string> text_of(const Message& m, std::string_view key) {
  const Value* v = kelp::get(m, kelp::keyword(key));
  if (!v || !v->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*v));
}

}  // namespace

std::optional<eval::Result> Link::connect(const ConnectPolicy& policy, const std::function<bool()>& stop_requested,
                                          const std::function<void(std::string_view)>& say) {
  if (is_live()) return std::nullopt;
  auto located = locate_port(policy);
  if (auto* r = std::get_if<eval::Result>(&located)) return *r;
  const Located& at = std::get<Located>(located);
  std::string where = policy.where ? policy.where(at.host, at.port) : std::to_string(at.port);
  auto interrupted = [] {
    eval::Result r;
    r.status = eval::Status::Interrupted;
    return r;
  };
  if (policy.messages.connecting) say(policy.messages.connecting(where) + "\n");

  std::shared_ptr<Connection> conn;
  try {
    conn = Connection::connect(at.host, at.port, timings_.connect);
  } catch (const std::exception&) {
    return notice(policy.messages.refused ? policy.messages.refused(where) : where);
  }
  // Published at once, so that a Stop landing mid-handshake closes this socket instead of waiting out describe's
  // or clone's timeout.
  {
    std::lock_guard lock(mutex_);
    if (stop_requested()) {
      conn->close();
      return interrupted();
    }
    connecting_ = conn;
  }
  auto abandon = [&] {
    conn->close();
    std::lock_guard lock(mutex_);
    if (connecting_ == conn) connecting_.reset();
  };
  auto not_server = [&] {
    abandon();
    return notice(policy.messages.not_server ? policy.messages.not_server(where) : where);
  };

  auto described = conn->request_sync(kelp::make_map({kelp::keyword("op"), kelp::make_string("describe")}),
                                      timings_.describe);
  if (stop_requested()) {
    abandon();
    return interrupted();
  }
  if (!described || ops::has_any_status(*described, ops::DISCONNECTED_STATUS)) return not_server();
  std::set<std::string> ops = ops::op_names(*described);
  std::optional<std::pair<int, int>> version = ops::nrepl_version(*described);
  if (!ops.contains("eval") || !ops.contains("load-file")) return not_server();

  auto cloned =
      conn->request_sync(kelp::make_map({kelp::keyword("op"), kelp::make_string("clone")}), timings_.clone);
  if (stop_requested()) {
    abandon();
    return interrupted();
  }
  std::optional<std::string> session;
  if (cloned)
    for (const Message& m : *cloned)
      if (auto s = text_of(m, "new-session")) session = s;
  if (!session) return not_server();

  {
    std::lock_guard lock(mutex_);
    if (stop_requested() || !conn->is_open()) {
      if (connecting_ == conn) connecting_.reset();
      conn->close();
      return interrupted();
    }
    connecting_.reset();
    conn_ = conn;
    session_ = session;
    ops_ = std::move(ops);
    version_ = version;
    session_ns_.reset();
    marks_.clear();
  }
  watch(conn);
  notify(true);
  return std::nullopt;
}

void Link::detach() {
  std::shared_ptr<Connection> a, b;
  {
    std::lock_guard lock(mutex_);
    a = std::move(conn_);
    b = std::move(connecting_);
    conn_.reset();
    connecting_.reset();
    session_.reset();
  }
  // Closing fails every pending request with the client's disconnected reply; the client's close is safe twice.
  if (b) b->close();
  if (a) {
    a->close();
    notify(false);
  }
}

void Link::lost(const std::shared_ptr<Connection>& conn) {
  {
    std::lock_guard lock(mutex_);
    if (conn_ != conn) return;
    conn_.reset();
    session_.reset();
  }
  notify(false);
}

void Link::watch(std::shared_ptr<Connection> conn) {
  std::lock_guard lock(mutex_);
  if (watcher_.joinable()) return;  // one watcher follows whichever connection is live
  watcher_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!closing_) {
      watch_cv_.wait_for(lock, std::chrono::milliseconds(50));
      if (closing_) break;
      if (conn_ && !conn_->is_open()) {
        std::shared_ptr<Connection> gone = conn_;
        lock.unlock();
        lost(gone);
        lock.lock();
      }
    }
  });
  (void)conn;
}

void Link::notify(bool connected) {
  std::vector<std::function<void(bool)>> fs;
  {
    std::lock_guard lock(mutex_);
    fs = listeners_;
  }
  for (auto& f : fs) try {
      f(connected);
    } catch (...) {
    }
}

void Link::on_connection(std::function<void(bool)> f) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(std::move(f));
}

bool Link::is_live() const {
  std::lock_guard lock(mutex_);
  return conn_ && conn_->is_open();
}

std::set<std::string> Link::ops() const {
  std::lock_guard lock(mutex_);
  return ops_;
}

bool Link::has_op(std::string_view op) const {
  std::lock_guard lock(mutex_);
  return ops_.contains(std::string(op));
}

std::optional<std::pair<int, int>> Link::nrepl_version() const {
  std::lock_guard lock(mutex_);
  return version_;
}

std::optional<std::string> Link::session_ns() const {
  std::lock_guard lock(mutex_);
  return session_ns_;
}

bool Link::mark_once(const std::string& key) {
  std::lock_guard lock(mutex_);
  return !marks_.insert(key).second;
}

std::shared_ptr<Connection> Link::connection() const {
  std::lock_guard lock(mutex_);
  return conn_;
}

std::optional<std::string> Link::session() const {
  std::lock_guard lock(mutex_);
  return session_;
}

std::vector<Message> Link::request(Message msg, const RequestOptions& opts) {
  std::shared_ptr<Connection> conn;
  std::optional<std::string> session;
  {
    std::lock_guard lock(mutex_);
    conn = conn_;
    session = session_;
  }
  if (!conn || !conn->is_open()) return {disconnected_status("")};

  struct Wait {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Message> replies;
    bool done = false;
  };
  auto wait = std::make_shared<Wait>();
  auto handler = [this, wait, conn, opts](const Message& reply) {
    bool live;
    {
      std::lock_guard lock(mutex_);
      live = conn_ == conn;
      // A late reply (after a detach) must not move the next session's namespace.
      if (live)
        if (auto ns = text_of(reply, "ns"); ns && !ns->empty()) session_ns_ = ns;
    }
    if (live) {
      try {
        if (opts.on_output) {
          if (auto out = text_of(reply, "out")) opts.on_output(eval::OutputKind::Out, *out);
          if (auto err = text_of(reply, "err")) opts.on_output(eval::OutputKind::Err, *err);
        }
        if (opts.on_message) opts.on_message(reply);
      } catch (...) {
      }
    }
    std::lock_guard lock(wait->mutex);
    wait->replies.push_back(reply);
    if (has_status(reply, "done")) {
      wait->done = true;
      wait->cv.notify_all();
    }
  };
  std::string id = conn->request(with_session(std::move(msg), session), handler);
  if (opts.on_id) opts.on_id(id);

  std::unique_lock lock(wait->mutex);
  if (opts.still_waiting && !wait->cv.wait_for(lock, timings_.still_waiting, [&] { return wait->done; })) {
    lock.unlock();
    if (opts.on_output) opts.on_output(eval::OutputKind::Err, *opts.still_waiting);
    lock.lock();
  }
  wait->cv.wait(lock, [&] { return wait->done; });
  return wait->replies;
}

std::optional<std::vector<Message>> Link::request_sync(Message msg, std::chrono::milliseconds timeout) {
  std::shared_ptr<Connection> conn;
  std::optional<std::string> session;
  {
    std::lock_guard lock(mutex_);
    conn = conn_;
    session = session_;
  }
  if (!conn || !conn->is_open()) return std::vector<Message>{disconnected_status("")};
  return conn->request_sync(with_session(std::move(msg), session), timeout);
}

bool Link::send(Message msg) {
  std::shared_ptr<Connection> conn;
  std::optional<std::string> session;
  {
    std::lock_guard lock(mutex_);
    conn = conn_;
    session = session_;
  }
  if (!conn || !conn->is_open()) return false;
  // Through request, so that the server's answers are routed (and dropped) rather than left unclaimed.
  conn->request(with_session(std::move(msg), session), [](const Message&) {});
  return conn->is_open();
}

}  // namespace orrery::nrepl
