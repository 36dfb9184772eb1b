// What a window and the agent tools call to run programs, whatever runs them: the Evaluator interface, the optional
// capabilities a caller tests for (dynamic_cast) before use, the factory from a runtime selection, and asking a
// server for help without holding the GTK thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/dialect.hpp"
#include "orrery/eval.hpp"

namespace orrery::evaluator {

enum class Mode { Reset, Accumulate };

// Who an evaluation's new namespaces belong to: a tab id, or one of the two owners below.
using Owner = std::string;
inline const Owner OWNER_RUN = ":run";
inline const Owner OWNER_REPL = ":repl";

struct EvalOptions {
  std::function<void(eval::OutputKind, std::string_view)> on_output;
  std::function<void(bool)> on_wait_input;
  std::function<void(eval::RunStatus)> on_status_change;
  std::function<void(const eval::Result&)> on_complete;
  bool run = false;                         // Run Definitions: in reset mode, resets first
  std::optional<Owner> owner;               // default OWNER_RUN for a Run, OWNER_REPL otherwise
  bool reset = true;                        // false: a Run adds to the session instead of resetting
  bool quiet = false;                       // leave the REPL as it was (QuietEval evaluators)
  std::optional<std::string> ns_source;     // text whose ns form names a quiet evaluation's namespace
  std::optional<std::string> path;          // a Run: the file the buffer shows
  bool clear_line_counts = false;           // a Run: clear the line counts first
};

struct CompleteRequest {
  std::string prefix;
  std::string text;
  int64_t pos = 0;
  kelp::Value extra_context;
};

class Evaluator {
 public:
  virtual ~Evaluator() = default;
  // Brings the runtime up; nullopt, or the sentence saying why it could not.
  virtual std::optional<std::string> start() = 0;
  // Ends the runtime; safe twice; never blocks on a start in flight.
  virtual void stop() = 0;
  // nullopt when started, else the busy warning. Callbacks run on worker threads and must only enqueue.
  virtual std::optional<std::string> eval(std::string code, EvalOptions opts) = 0;
  virtual void interrupt() = 0;
  virtual bool is_evaluating() = 0;
  virtual bool is_waiting_for_input() = 0;
  virtual void send_input(std::string_view text) = 0;
  virtual void send_eof() = 0;
  virtual eval::SharedHistory& history() = 0;
  virtual std::string prompt_ns() = 0;
  virtual void set_mode(Mode mode) = 0;
  // Completion candidates, best first: a vector of {:candidate name :type t} maps, t one of :user :special :builtin
  // (an evaluator may add keys of its own); never throws.
  virtual kelp::Value complete(const CompleteRequest& req) = 0;
  // A documentation map (keys as syntax_defs.hpp's doc_map_value writes them: :status :symbol :ns :name :arglists
  // as printed text, :doc :macro? :special-form :file :line) or nil; never throws.
  virtual kelp::Value lookup(std::string_view sym, int64_t pos) = 0;
  virtual std::vector<std::string> limitations() = 0;

  // For the registry: true once stop() cannot still be tearing anything down.
  virtual bool is_settled() { return true; }
  // How long stop_all waits for this evaluator to settle; nullopt: never waited on (nothing to tear down).
  virtual std::optional<std::chrono::milliseconds> settle_deadline() { return std::nullopt; }
};

using EvaluatorPtr = std::shared_ptr<Evaluator>;

// Capabilities.
class QuietEval {
 public:
  virtual ~QuietEval() = default;
  virtual bool is_quiet_eval() { return true; }
};

class StartNote {
 public:
  virtual ~StartNote() = default;
  // One sentence for the console when the window opens.
  virtual std::string start_note() = 0;
};

class ServerHelp {
 public:
  virtual ~ServerHelp() = default;
  // The candidates complete falls back to without asking the server; never throws.
  virtual kelp::Value offline_candidates(const CompleteRequest& req) = 0;
};

class Owners {
 public:
  virtual ~Owners() = default;
  // Hands owner's namespaces to OWNER_REPL (a tab closed).
  virtual void release_owner(const Owner& owner) = 0;
};

class FullDoc {
 public:
  virtual ~FullDoc() = default;
  // on_result gets {:status :ok :text t}, {:status :no-op}, {:status :timeout}, {:status :not-attached},
  // {:status :not-loaded :ns n} or {:status :not-found}, exactly once.
  virtual void full_doc(std::string_view sym, std::string_view text,
                        std::function<void(const kelp::Value&)> on_result) = 0;
};

// The candidates Orrery knows without asking a runtime: the buffer's definitions, special forms and builtins, with
// the public names of the in-process namespace user_ns counting as the user's. Never throws (empty on failure).
kelp::Value offline_candidates(const CompleteRequest& req, std::string user_ns);
// The user_ns of a runtime that lives outside Orrery's process: no in-process namespace holds the program.
inline constexpr const char* NO_IN_PROCESS_NS = "orrery.out-of-process";

template <class Capability>
Capability* capability(const EvaluatorPtr& ev) {
  return dynamic_cast<Capability*>(ev.get());
}

// The factory: the evaluator for a selection's runtime (:in-process -> the session; others as registered). Does
// not start it. Throws std::runtime_error for a runtime no factory serves.
EvaluatorPtr make(const dialect::Selection& selection);
// For runtimes Orrery launches itself, by dialect id; an unregistered dialect throws
// "No launched evaluator for dialect " + the dialect.
EvaluatorPtr make_launched(const dialect::Selection& selection);

using Factory = std::function<EvaluatorPtr(const dialect::Selection&)>;
void register_factory(dialect::Runtime runtime, Factory f);
void register_launched(std::string dialect_id, Factory f);

// Help timeouts.
inline constexpr std::chrono::milliseconds ASYNC_HELP_TIMEOUT{3000};
inline constexpr std::chrono::milliseconds HELP_GRACE{25};
// The bound help timeout (HelpTimeoutScope) on this thread, else default_timeout.
std::chrono::milliseconds help_timeout(std::chrono::milliseconds default_timeout);
class HelpTimeoutScope {
 public:
  explicit HelpTimeoutScope(std::chrono::milliseconds timeout);
  ~HelpTimeoutScope();
  HelpTimeoutScope(const HelpTimeoutScope&) = delete;
  HelpTimeoutScope& operator=(const HelpTimeoutScope&) = delete;

 private:
  std::optional<std::chrono::milliseconds> saved_;
};

bool is_server_help(const EvaluatorPtr& ev);

// One worker thread per evaluator that runs its help requests in turn.
class HelpWorker {
 public:
  HelpWorker();
  ~HelpWorker();  // finishes the request in hand, drops the rest
  HelpWorker(const HelpWorker&) = delete;
  HelpWorker& operator=(const HelpWorker&) = delete;
  void submit(std::function<void()> job);
  // As submit; on_drop runs instead of job when the worker closes before job's turn (on the closing thread).
  void submit(std::function<void()> job, std::function<void()> on_drop);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct HelpAnswer {
  bool now = false;  // answered within the grace; r is the answer
  kelp::Value r;
};
// Runs f on worker with the help timeout bound to ASYNC_HELP_TIMEOUT, waits up to HELP_GRACE for it. Answered in
// time: {now, r}; otherwise {later} and on_later(r) runs on the worker once f answers. Exactly one of the two gets
// r. When f throws, r is a map holding the message, which help_error reads. A request the worker drops (it closed
// first) answers such a map with HELP_DROPPED, so that no receiver waits forever.
inline constexpr std::string_view HELP_DROPPED = "The evaluator closed before it could answer.";
HelpAnswer ask_help(HelpWorker& worker, std::function<kelp::Value()> f,
                    std::function<void(const kelp::Value&)> on_later);
std::optional<std::string> help_error(const kelp::Value& answer);

}  // namespace orrery::evaluator
