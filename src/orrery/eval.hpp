// The evaluation engine: one program at a time per context, run in kelp on a worker thread with a large stack.
// It captures the program's output as chunks, feeds its standard input from a queue, reports status changes,
// keeps *1 *2 *3 *e from run to run, answers a result, and implements Stop. It also holds the console history and
// the error text every other module reads back (format_error). It never touches GTK: callers marshal its
// callbacks themselves.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelp/data/value.hpp"

namespace orrery::eval {

// The answer of eval_async while a run is in progress.
inline constexpr std::string_view BUSY_WARNING =
    "; [Warning: Evaluation already in progress. Press Stop to cancel.]\n";
// The answer of eval_async when no worker thread could be started for the run (the context stays idle).
inline constexpr std::string_view NO_WORKER_WARNING =
    "; [Error: the evaluation could not start, because the system refused a new thread. Try again.]\n";
// How many elements of a collection a result prints before "...".
inline constexpr int64_t PRINT_LENGTH = 1000;

enum class Status { Ok, Error, Interrupted, Notice };

// The result of one evaluation, whatever ran it.
struct Result {
  Status status = Status::Ok;
  kelp::Value value;                      // Ok: the raw value
  std::string printed;                    // Ok: printed readably, at most PRINT_LENGTH elements per collection
  kelp::Value error;                      // Error, in process: the thrown exception
  std::optional<std::string> error_text;  // Error, out of process: the runtime's own error text
  std::string text;                       // Notice: the sentence to show
  std::string ns;                         // the namespace bound when the evaluation ended
  kelp::Value ref;                        // {:id :kind :epoch} of the kept value, when the session kept it
};

enum class OutputKind { Out, Err };
enum class RunStatus { Running, WaitingInput, Idle };

struct Options {
  std::function<void(OutputKind, std::string_view)> on_output;  // one written chunk
  std::function<void(bool)> on_wait_input;                      // true when a wait on standard input begins
  std::function<void(RunStatus)> on_status_change;
  std::function<void()> before_eval;                 // on the worker, output already captured
  std::function<void(const Result&)> before_idle;   // on the worker, before the context goes idle
  std::function<void(const Result&)> on_complete;
  std::string ns_name = "user";
  bool quiet = false;                       // *1 *2 *3 *e stay as they were
  std::optional<std::string> source_path;   // the file the code is the text of
  // Called with the evaluation (value printing included), inside the interruptible region; must call it.
  std::function<void(const std::function<void()>&)> wrap_eval;
};

// The console history: the entered lines, the browsing position (items.size() when not browsing) and the text
// that was on the input line when browsing began.
struct History {
  std::vector<std::string> items;
  size_t index = 0;
  std::string draft;
  bool operator==(const History&) const = default;
};

History create_history();
History history_add(History h, std::string_view cmd);
// The new history and the text to show.
std::pair<History, std::string> history_prev(History h, std::string_view current_text);
std::pair<History, std::string> history_next(History h);

// A history shared between the console and its evaluator.
class SharedHistory {
 public:
  History get() const;
  void set(History h);
  // Replaces the history with f(current) atomically; answers the new one.
  History update(const std::function<History(History)>& f);

 private:
  mutable std::mutex mutex_;
  History h_;
};

class Context;
using ContextPtr = std::shared_ptr<Context>;

ContextPtr make_eval_context();

// Starts a run: nullopt when it started, else BUSY_WARNING (and nothing changes). Never blocks on the evaluation.
std::optional<std::string> eval_async(const ContextPtr& ctx, std::string code, Options opts);
// Stop: the running run's result, to come; nullopt when nothing was running. Never marks the context idle.
std::optional<std::shared_future<Result>> stop_eval(const ContextPtr& ctx);
// Standard input: text and a newline; the end-of-input marker.
void push_stdin(const ContextPtr& ctx, std::string_view text);
void push_stdin_eof(const ContextPtr& ctx);
bool is_waiting_for_input(const ContextPtr& ctx);
bool is_evaluating(const ContextPtr& ctx);
// Not evaluating, and no on_complete still running.
bool is_settled(const ContextPtr& ctx);
SharedHistory& history(const ContextPtr& ctx);

// A character writer (*out*) that hands each write to on_chunk.
kelp::Value create_writer(std::function<void(std::string_view)> on_chunk);

// The last link of the cause chain.
kelp::Value find_root_cause(const kelp::Value& t);
// True when t or a cause carries :kelp/interrupted true in its data.
bool is_interrupted(const kelp::Value& t);

// Every form of s, as load-string, answering the last value; the current namespace stays wherever the code put
// it. Must run where *ns* is bound (inside a run, or a caller's binding). Throws the program's exceptions.
kelp::Value eval_string(std::string_view s, const std::optional<std::string>& path = std::nullopt);
// Whether eval_string takes a source path (kelp's does).
bool is_source_path();

// "Error [Type]: message", and "\nLocation: line L[, col C]" when the data names a line.
std::string format_error(const kelp::Value& t);

// How runs get their worker thread (kelp's pool of large-stack workers). Tests replace it to see a start fail;
// nullptr restores the default.
using WorkerStarter = std::function<void(std::function<void()>)>;
void set_worker_starter(WorkerStarter starter);

}  // namespace orrery::eval
