#include "orrery/nrepl/client.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <stdexcept>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "orrery/nrepl/bencode.hpp"

namespace orrery::nrepl {

using kelp::Value;

namespace {

const Value& id_key() {
  static const Value k = kelp::keyword("id");
  return k;
}

// The decoded reply with its top-level keys made keywords; nested maps stay as decoded.
Message keywordize_top(const Value& v) {
  if (!kelp::is_map(v)) return v;
  std::vector<Value> kvs;
  v.obj()->each_entry([&](const Value& k, const Value& val) {
    kvs.push_back(k.is(kelp::Kind::String) ? kelp::keyword(kelp::str_view(k)) : k);
    kvs.push_back(val);
    return true;
  });
  return kelp::make_map(kvs);
}

std::optional<std::string> id_of(const Message& m) {
  const Value* id = kelp::is_map(m) ? kelp::get(m, id_key()) : nullptr;
  if (!id || !id->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*id));
}

// A handler's throw loses only that delivery: the reader goes on with the next message.
void deliver_safely(const Handler& h, const Message& m) {
  try {
    h(m);
  } catch (...) {
  }
}

int connect_with_timeout(const std::string& host, int port, std::chrono::milliseconds timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
    throw std::runtime_error("couldn't find the host " + host + ": " + ::gai_strerror(rc));
  std::string why = "no address to try";
  for (addrinfo* a = found; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
      if (ready == 1) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        rc = err == 0 ? 0 : -1;
        errno = err;
      } else {
        rc = -1;
        if (ready == 0) errno = ETIMEDOUT;
      }
    }
    if (rc == 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      ::freeaddrinfo(found);
      return fd;
    }
    why = std::strerror(errno);
    ::close(fd);
  }
  ::freeaddrinfo(found);
  throw std::runtime_error("couldn't connect to " + host + ":" + service + ": " + why);
}

}  // namespace

Message disconnected_status(const std::string& id) {
  return kelp::make_map({id_key(), kelp::make_string(id), kelp::keyword("status"),
                         kelp::make_vector({kelp::make_string("done"), kelp::make_string(DISCONNECTED)})});
}

bool has_status(const Message& reply, std::string_view s) {
  const Value* status = kelp::is_map(reply) ? kelp::get(reply, kelp::keyword("status")) : nullptr;
  if (!status || status->is_nil() || !status->has(kelp::SEQUENTIAL)) return false;
  bool found = false;
  status->obj()->each([&](const Value& x) {
    found = x.is(kelp::Kind::String) && kelp::str_view(x) == s;
    return !found;
  });
  return found;
}

std::shared_ptr<Connection> Connection::connect(const std::string& host, int port,
                                                std::chrono::milliseconds timeout) {
  int fd = connect_with_timeout(host, port, timeout);
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return start(std::shared_ptr<Connection>(new Connection(fd, true)));
}

std::shared_ptr<Connection> Connection::adopt(int fd) {
  return start(std::shared_ptr<Connection>(new Connection(fd, false)));
}

Connection::Connection(int fd, bool tcp) : fd_(fd), tcp_(tcp) {}

std::shared_ptr<Connection> Connection::start(std::shared_ptr<Connection> c) {
  c->self_ = c;
  c->reader_ = std::thread([raw = c.get()] {
    // Whatever reference the reader holds when it stops is released here, after its last touch of the object:
    // a handler may hold the last owner, and the object must not be freed under a running loop.
    std::shared_ptr<Connection> hold;
    raw->read_loop(hold);
  });
  return c;
}

Connection::~Connection() {
  close();
  if (reader_.joinable()) {
    if (reader_.get_id() == std::this_thread::get_id()) reader_.detach();  // a handler let go of the last owner
    else reader_.join();
  }
  ::close(fd_);
}

void Connection::read_loop(std::shared_ptr<Connection>& hold) {
  FdSource in(fd_, tcp_);
  try {
    for (int b = in.next(); b >= 0; b = in.next()) {
      Message m = keywordize_top(read_from(in, b));
      std::optional<std::string> id = id_of(m);
      if (!id) continue;  // nobody asked for it
      Handler h;
      {
        std::lock_guard lock(pending_mutex_);
        auto it = pending_.find(*id);
        if (it == pending_.end()) continue;  // a late reply after a timeout, or to a plain send
        h = it->second;
        if (has_status(m, "done")) pending_.erase(it);
      }
      hold = self_.lock();  // no owner left: nobody waits for anything
      if (!hold) break;
      deliver_safely(h, m);
      h = nullptr;                       // the handler's own references go while this one is held
      if (hold.use_count() == 1) break;  // that was the last owner: stop here and let the thread free it
      hold.reset();                      // never keep the connection alive while waiting for the peer
    }
  } catch (...) {
    // A malformed message or a broken socket ends the connection like the end of input does.
  }
  if (!hold) hold = self_.lock();  // failing the handlers may drop the last owner too
  fail_pending();
}

void Connection::fail_pending() {
  open_ = false;
  std::map<std::string, Handler> taken;
  {
    std::lock_guard lock(pending_mutex_);
    taken.swap(pending_);  // in one step: a handler is failed at most once, whoever fails first
  }
  for (auto& [id, h] : taken) deliver_safely(h, disconnected_status(id));
}

bool Connection::send(const Message& msg) {
  std::string bytes = encode(msg);  // whole before any of it reaches the socket
  std::lock_guard lock(write_mutex_);
  if (!open_) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the reader finds out that the peer is gone
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string Connection::request(Message msg, Handler handler) {
  std::string id = "vq-" + std::to_string(++counter_);
  {
    std::lock_guard lock(pending_mutex_);
    pending_[id] = handler;
  }
  if (send(kelp::assoc(msg, id_key(), kelp::make_string(id)))) return id;
  // Not sent: answer now, unless the reader already failed this request.
  bool mine;
  {
    std::lock_guard lock(pending_mutex_);
    mine = pending_.erase(id) == 1;
  }
  if (mine) deliver_safely(handler, disconnected_status(id));
  return id;
}

std::optional<std::vector<Message>> Connection::request_sync(Message msg, std::chrono::milliseconds timeout) {
  struct Slot {
    std::mutex mutex;
    std::vector<Message> replies;
    std::promise<std::vector<Message>> done;
  };
  auto slot = std::make_shared<Slot>();
  std::future<std::vector<Message>> result = slot->done.get_future();
  std::string id = request(std::move(msg), [slot](const Message& m) {
    std::lock_guard lock(slot->mutex);
    slot->replies.push_back(m);
    if (has_status(m, "done")) slot->done.set_value(slot->replies);
  });
  if (result.wait_for(timeout) == std::future_status::ready) return result.get();
  {
    std::lock_guard lock(pending_mutex_);
    pending_.erase(id);
  }
  // "done" may have come in the instant after the wait gave up.
  if (result.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready) return result.get();
  return std::nullopt;
}

void Connection::close() {
  if (!closed_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);  // wakes a reader blocked in a read
  fail_pending();
}

}  // namespace orrery::nrepl
