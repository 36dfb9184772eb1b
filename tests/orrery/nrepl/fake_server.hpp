// A scripted nREPL server on a loopback port for the attach tests: it records every message it receives and
// answers each with the replies a script gives (EDN maps; :id and :session are filled in).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/nrepl/bencode.hpp"

namespace orrery::testing {

class FakeNrepl {
 public:
  // script(op, message) -> EDN replies; an empty list leaves the request unanswered.
  using Script = std::function<std::vector<std::string>(const std::string& op, const kelp::Value& msg)>;

  explicit FakeNrepl(Script script) : script_(std::move(script)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_fd_, 8);
    socklen_t len = sizeof a;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~FakeNrepl() {
    stopping_ = true;
    ::shutdown(listen_fd_, SHUT_RDWR);
    ::close(listen_fd_);
    acceptor_.join();
    hang_up();
    for (auto& t : readers_) t.join();
    for (int fd : fds_) ::close(fd);  // closed only here, so hang_up never meets a reused descriptor
  }

  int port() const { return port_; }
  // The ops received, in order.
  std::vector<std::string> ops() {
    std::lock_guard lock(mutex_);
    return ops_;
  }
  std::vector<kelp::Value> received() {
    std::lock_guard lock(mutex_);
    return msgs_;
  }
  // Waits until an op has arrived count times.
  bool wait_for(const std::string& op, int count = 1, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return std::count(ops_.begin(), ops_.end(), op) >= count; });
  }
  // Sends more replies to the request with this id, later.
  void reply(const kelp::Value& msg, const std::string& edn) { write_reply(client_fd_, msg, edn); }
  // Closes every accepted connection.
  void hang_up() {
    std::lock_guard lock(mutex_);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
  }

 private:
  void accept_loop() {
    while (!stopping_) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::lock_guard lock(mutex_);
      fds_.push_back(fd);
      client_fd_ = fd;
      readers_.emplace_back([this, fd] { read_loop(fd); });
    }
  }
  void read_loop(int fd) {
    kelp::nrepl::FdSource in(fd);
    while (true) {
      std::optional<kelp::Value> msg;
      try {
        msg = kelp::nrepl::decode(in);
      } catch (...) {
        break;
      }
      if (!msg) break;
      const kelp::Value* op = kelp::get(*msg, kelp::make_string("op"));
      std::string name = op ? std::string(kelp::str_view(*op)) : "";
      {
        std::lock_guard lock(mutex_);
        ops_.push_back(name);
        msgs_.push_back(*msg);
      }
      cv_.notify_all();
      for (const std::string& r : script_(name, *msg)) write_reply(fd, *msg, r);
    }
    ::shutdown(fd, SHUT_RDWR);  // the client sees the end at once
  }
  void write_reply(int fd, const kelp::Value& msg, const std::string& edn) {
    kelp::Value reply = kelp::read_edn(edn).value();
    for (const char* k : {"id", "session"})
      if (const kelp::Value* v = kelp::get(msg, kelp::make_string(k)); v && !kelp::get(reply, kelp::keyword(k)))
        reply = kelp::assoc(reply, kelp::keyword(k), *v);
    std::string bytes = kelp::nrepl::encode(reply);
    std::lock_guard lock(write_mutex_);
    (void)!::write(fd, bytes.data(), bytes.size());
  }

  Script script_;
  int listen_fd_ = -1;
  int port_ = 0;
  int client_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> readers_;
  std::mutex mutex_, write_mutex_;
  std::condition_variable cv_;
  std::vector<int> fds_;
  std::vector<std::string> ops_;
  std::vector<kelp::Value> msgs_;
};

// The handshake every scripted server answers: describe with the given ops and nREPL version, and clone.
inline std::vector<std::string> handshake(const std::string& op, const std::string& ops,
                                          const std::string& version = R"({"major" 1 "minor" 0})") {
  if (op == "describe") return {"{:ops {" + ops + "} :versions {\"nrepl\" " + version + "} :status [\"done\"]}"};
  if (op == "clone") return {R"({:new-session "s-1" :status ["done"]})"};
  return {};
}

inline const std::string JVM_OPS =
    R"("clone" {} "eval" {} "load-file" {} "interrupt" {} "stdin" {} "completions" {} "lookup" {})";

}  // namespace orrery::testing
