// An nREPL session: the evaluation state carried from one evaluation to the next (*ns*, *1 *2 *3 *e, the print
// vars), the evaluation running now (so that it can be interrupted), and its standard input.
//
// A threaded session (the server runs with nREPL's default middleware) evaluates on a worker of its own, one
// request after another, reads *in* from the client through "need-input" and the stdin op, and can be
// interrupted. A plain session evaluates on the thread that read the request.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kelp/data/value.hpp"
#include "kelp/nrepl/request.hpp"
#include "kelp/rt/thread.hpp"

namespace kelp::nrepl {

class SessionInput;

class Session : public std::enable_shared_from_this<Session> {
 public:
  // A new session starting in user, or a copy of from's carried state.
  static std::shared_ptr<Session> make(std::string id, bool threaded, const Session* from = nullptr);
  ~Session();

  const std::string& id() const { return id_; }
  bool threaded() const { return threaded_; }

  // The carried vars with this session's values, for an evaluation to bind.
  std::vector<rt::BindingFrame::Entry> bindings() const;
  // Keeps what the carried vars hold on this thread now (called inside the evaluation's bindings). With
  // keep_ns false the session stays in its namespace.
  void keep_bindings(bool keep_ns);
  // The name of the session's namespace.
  std::string ns_name() const;

  // Runs job: on the session's worker after the jobs before it (threaded), else here and now, one evaluation at
  // a time.
  void submit(std::function<void()> job);

  // The evaluation of req starts; its token is what an interrupt fires.
  rt::TokenPtr begin(const Request& req);
  // Whether the running evaluation was interrupted (its last reply says so).
  bool interrupted() const;
  // It ended: an interrupt waiting for it answers now.
  // The evaluation's last reply is about to go out: from now on an interrupt answers that the session is idle.
  void mark_replied();
  void end();
  enum class Interrupt { Idle, Mismatch, Interrupted };
  // Interrupts the running evaluation when its id is interrupt_id (or interrupt_id is empty).
  Interrupt interrupt(const std::string& interrupt_id);
  // Waits until the evaluation with this id is no longer running, at most limit.
  void wait_ended(const std::string& id, std::chrono::milliseconds limit);
  // The running evaluation's request (for "need-input"), if any.
  std::optional<Request> running_request() const;

  // The session's *in* (threaded sessions only; nil otherwise).
  const Value& input() const { return input_; }
  // Text the client typed; "" is the end of input for the read waiting now.
  void provide_input(const std::string& text);

  // The session is gone: its running evaluation is interrupted and its reads end.
  void close();
  bool closed() const;

 private:
  Session(std::string id, bool threaded);
  void drain();

  const std::string id_;
  const bool threaded_;
  Value input_;

  mutable std::mutex mutex_;
  std::condition_variable ended_;
  std::vector<rt::BindingFrame::Entry> carried_;  // guarded by mutex_
  struct Running {
    Request req;
    rt::TokenPtr token;
    bool interrupted = false;
    bool replied = false;  // its last reply is on its way: an interrupt now finds the session idle
  };
  std::optional<Running> running_;  // guarded by mutex_
  bool closed_ = false;             // guarded by mutex_

  std::mutex queue_mutex_;
  std::deque<std::function<void()>> queue_;  // guarded by queue_mutex_
  bool draining_ = false;                     // a worker is taking jobs; guarded by queue_mutex_
  std::mutex plain_mutex_;                    // one evaluation at a time in a plain session
};
using SessionPtr = std::shared_ptr<Session>;

// A fresh random session id (a UUID).
std::string new_session_id();

}  // namespace kelp::nrepl
