// The out-of-process evaluator for kelp: a kelp child Orrery starts in the project folder, one nREPL connection to
// it and one cloned session on that connection. Run Definitions is a load-file of the buffer's text, a REPL entry
// an eval; Stop is the session's interrupt, falling back to killing and restarting the child when the server has
// no interrupt op or the interrupt does not end the evaluation in time. A child that dies is replaced by the next
// evaluation. Output fires on the connection's reader thread; status changes and completion on the evaluation's own
// worker thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/dialect.hpp"
#include "orrery/eval.hpp"
#include "orrery/evaluator.hpp"
#include "orrery/nrepl/child.hpp"
#include "orrery/nrepl/client.hpp"

namespace orrery::nrepl {

inline constexpr std::chrono::milliseconds REQUEST_TIMEOUT{10000};
inline constexpr std::chrono::milliseconds HELP_TIMEOUT{300};
inline constexpr std::chrono::milliseconds INTERRUPT_TIMEOUT{1000};
inline constexpr std::chrono::milliseconds CONNECT_TIMEOUT{5000};

inline constexpr std::string_view STDIN_NOTICE =
    "; This runtime has no stdin: read-line returns nil and read fails with EOF.\n";
inline constexpr std::string_view RESTARTED_NOTICE = "; The Kelp runtime had exited, so a new one was started.\n";
inline constexpr std::string_view STOP_RESTARTED = "; Stop restarted the Kelp runtime, so its definitions are gone.\n";
inline constexpr std::string_view STOP_RESTART_FAILED = "; Stop couldn't restart the Kelp runtime: ";
inline constexpr std::string_view STOP_FAILED = "; Stop failed: ";
inline constexpr std::string_view INSPECT_NOT_RUNNING =
    "Nothing to inspect yet: Kelp isn't running. Run something first.";
inline constexpr std::string_view INSPECT_LOST = "The connection to Kelp was lost.";
inline constexpr std::string_view NOT_RUNNING_YET = "The Kelp child isn't running yet: Run something first.";
inline constexpr std::string_view STOPPED = "This runtime was stopped.";
inline constexpr std::string_view START_FAILURE = "Couldn't start Kelp over nREPL: ";
inline constexpr std::string_view CHILD_LOG = "The child's log: ";
inline constexpr std::string_view LOST_TEXT = "The Kelp runtime exited before this evaluation finished.";
inline constexpr std::string_view NO_ANSWER = "The server didn't answer.";

// How the evaluator starts, watches and ends its child. The default launches the kelp tool (child.hpp); tests put a
// fake peer behind it.
struct ChildOps {
  std::function<child::Child(const std::filesystem::path& dir, const std::optional<child::MiddlewareSource>&)> start;
  std::function<std::shared_ptr<Connection>(const child::Child&)> connect;
  std::function<bool(const child::Child&)> is_alive;
  std::function<void(const child::Child&)> kill;
  // The source of a first attempt (child::middleware_source by default).
  std::function<std::optional<child::MiddlewareSource>()> source;
};
ChildOps real_child_ops();

// The live child, once it answered describe and clone.
struct RuntimeState {
  child::Child child;
  std::shared_ptr<Connection> conn;
  std::string session;
  std::set<std::string> ops;
  std::optional<std::pair<int, int>> nrepl_version;
  std::optional<std::string> fetch_error;   // kelp's "git dep:" line: this child runs a plain server
  std::optional<std::string> orrery_error;  // why Orrery's own middleware is missing from this child
  bool auto_required = false;
};
using RuntimePtr = std::shared_ptr<RuntimeState>;

// One evaluation from eval() to its completion.
struct Running;
using RunningPtr = std::shared_ptr<Running>;

// What child_op answers when it cannot ask the child.
struct ChildOpAnswers {
  std::string not_running{NOT_RUNNING_YET};
  std::string unavailable;  // the child's describe did not list the op
};

class NRepl final : public evaluator::Evaluator, public evaluator::QuietEval, public evaluator::Owners,
                    public evaluator::ServerHelp, public std::enable_shared_from_this<NRepl> {
 public:
  NRepl(dialect::Selection selection, ChildOps child_ops);
  ~NRepl() override;

  std::optional<std::string> start() override;
  void stop() override;
  std::optional<std::string> eval(std::string code, evaluator::EvalOptions opts) override;
  void interrupt() override;
  bool is_evaluating() override;
  bool is_waiting_for_input() override;
  void send_input(std::string_view text) override;
  void send_eof() override;
  eval::SharedHistory& history() override { return history_; }
  std::string prompt_ns() override;
  void set_mode(evaluator::Mode mode) override;
  kelp::Value complete(const evaluator::CompleteRequest& req) override;
  kelp::Value lookup(std::string_view sym, int64_t pos) override;
  std::vector<std::string> limitations() override;
  bool is_settled() override;
  std::optional<std::chrono::milliseconds> settle_deadline() override;

  void release_owner(const evaluator::Owner& owner) override;
  kelp::Value offline_candidates(const evaluator::CompleteRequest& req) override;

  // One of Orrery's own ops on the session, off the caller's thread: on_done gets reply_fn of the replies, or
  // {:error s} when no child has started (answers.not_running), the child or its socket is gone (INSPECT_LOST),
  // the child does not offer the op (answers.unavailable), it did not answer in time (NO_ANSWER), or anything
  // threw (its message).
  void child_op(Message msg, std::chrono::milliseconds timeout,
                std::function<kelp::Value(const std::vector<Message>&)> reply_fn,
                std::function<void(const kelp::Value&)> on_done, ChildOpAnswers answers = {});

  // The live child's pid and port, for the status bar.
  std::optional<pid_t> child_pid();
  std::optional<int> child_port();
  // The namespaces each owner's evaluations created in the child.
  std::map<evaluator::Owner, std::set<std::string>> owners();

 private:
  struct Impl;
  friend struct Impl;

  dialect::Selection selection_;
  ChildOps child_ops_;
  eval::SharedHistory history_;
  std::recursive_mutex start_lock_;  // serialises start and teardown; stop() only tries it

  mutable std::mutex mutex_;  // guards everything below, and every Running's flags
  RuntimePtr runtime_;
  RunningPtr running_;
  bool stopped_ = false;
  bool ever_started_ = false;
  evaluator::Mode mode_ = evaluator::Mode::Reset;
  std::string prompt_ns_ = "user";
  std::map<evaluator::Owner, std::set<std::string>> owners_;
  // Failures routed around once, kept for the evaluator's life so a restart skips straight past them.
  std::optional<std::string> fetch_error_;
  std::optional<std::string> orrery_error_;
  int64_t eval_counter_ = 0;
};

std::shared_ptr<NRepl> make_nrepl(const dialect::Selection& selection, ChildOps child_ops = real_child_ops());
// Makes NRepl the evaluator of the :nrepl runtime. Idempotent; the app calls it at start-up.
void register_nrepl();

}  // namespace orrery::nrepl
