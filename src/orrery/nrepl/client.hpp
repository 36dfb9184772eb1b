// One nREPL connection: serialised writes, and one reader thread that routes every reply to the request that asked
// for it. Every pending request gets exactly one synthetic "done" reply when the connection goes.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kelp/data/value.hpp"

namespace orrery::nrepl {

// A message: a map whose top-level keys are keywords (:id :status :value ...); nested maps keep string keys.
using Message = kelp::Value;
using Handler = std::function<void(const Message&)>;

// The status a request's handler gets when the connection is gone: ["done" "orrery-disconnected"].
inline constexpr const char* DISCONNECTED = "orrery-disconnected";
Message disconnected_status(const std::string& id);
// Whether a reply's :status holds s.
bool has_status(const Message& reply, std::string_view s);

class Connection {
 public:
  // Connects to host:port (TCP_NODELAY set). Throws std::runtime_error with a sentence when it cannot.
  static std::shared_ptr<Connection> connect(const std::string& host, int port,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Over a connected socket this object now owns (tests use a socket pair).
  static std::shared_ptr<Connection> adopt(int fd);
  ~Connection();  // closes, and waits for the reader unless it is the reader itself that lets go
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends msg with a fresh id ("vq-N") and routes every reply with that id to handler, on the reader thread, until
  // one carries "done". On a closed connection the handler gets the disconnected reply at once. Answers the id.
  std::string request(Message msg, Handler handler);
  // The replies up to and including "done", in order; nullopt when none said "done" within timeout (the handler
  // is then dropped).
  std::optional<std::vector<Message>> request_sync(Message msg, std::chrono::milliseconds timeout);
  // Writes msg whole under the write lock; false when the write failed.
  bool send(const Message& msg);
  // Closes the socket and fails everything pending. Safe twice, from any thread.
  void close();
  bool is_open() const { return open_; }

 private:
  explicit Connection(int fd, bool tcp);
  // Starts the reader of a connection just made.
  static std::shared_ptr<Connection> start(std::shared_ptr<Connection> c);
  // hold: the reference the reader holds while it delivers a reply; the thread releases it after the loop.
  void read_loop(std::shared_ptr<Connection>& hold);
  void fail_pending();

  int fd_;
  bool tcp_;
  std::atomic<bool> open_{true};
  std::atomic<bool> closed_{false};
  std::mutex write_mutex_;
  std::mutex pending_mutex_;
  std::map<std::string, Handler> pending_;  // guarded by pending_mutex_
  std::atomic<int64_t> counter_{0};
  std::weak_ptr<Connection> self_;
  std::thread reader_;
};

}  // namespace orrery::nrepl
