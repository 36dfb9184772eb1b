#include "orrery/eval.hpp"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>

#include "kelp/compile/compiler.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"
#include "kelp/lib/ns_loading.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "orrery/failure.hpp"

namespace orrery::eval {

using kelp::Value;
namespace rt = kelp::rt;

namespace {

// One run: what the caller, Stop and the worker share about it.
struct Run {
  rt::TokenPtr token = std::make_shared<rt::InterruptToken>();
  std::promise<Result> promise;
  std::shared_future<Result> done = promise.get_future().share();
  std::atomic<bool> stop_requested{false};
  bool registered = false;  // guarded by the context's lock
  bool finishing = false;   // guarded by the context's lock
  std::string code;
  Options opts;
};

// The program's standard input as the console feeds it: text items, and nullopt for the end of input.
struct InputQueue {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::optional<std::string>> items;  // guarded by mutex

  void offer(std::optional<std::string> item) {
    {
      std::lock_guard lock(mutex);
      items.push_back(std::move(item));
    }
    cv.notify_all();
  }
  void clear() {
    std::lock_guard lock(mutex);
    items.clear();
  }
};

struct ReplVars {
  Value v1, v2, v3, e;
};

// A throw from a caller's callback is reported on the process's real standard error and goes no further.
void report_callback_exception(std::string_view who, std::exception_ptr ex) {
  try {
    std::string line = "orrery.eval: " + std::string(who) + " threw: " + failure_message(ex) + "\n";
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
  } catch (...) {
    // Even the report failed: drop it rather than lose what follows.
  }
}

template <class F>
void contained(std::string_view who, F&& f) {
  try {
    f();
  } catch (...) {
    report_callback_exception(who, std::current_exception());
  }
}

}  // namespace

class Context {
 public:
  std::recursive_mutex lock;
  std::shared_ptr<Run> running;  // guarded by lock; null while idle
  InputQueue input;
  std::atomic<bool> waiting_input{false};
  std::atomic<int> completing{0};
  SharedHistory history;
  std::mutex repl_mutex;
  ReplVars repl;  // guarded by repl_mutex
};

namespace {

// Reads the queue as a character stream. A wait that the run's token interrupts reads as the end of input.
class QueueInput final : public rt::InputReader {
 public:
  QueueInput(std::shared_ptr<Context> ctx, std::function<void(bool)> on_wait)
      : ctx_(std::move(ctx)), on_wait_(std::move(on_wait)) {}

  int32_t read_char() override {
    std::lock_guard lock(mutex_);
    if (pushed_ != NONE) {
      int32_t c = pushed_;
      pushed_ = NONE;
      return c;
    }
    for (;;) {
      if (closed_) return -1;
      if (pos_ < current_.size()) return next_code_point();
      refill();
    }
  }

  void unread(int32_t c) override {
    std::lock_guard lock(mutex_);
    pushed_ = c;
  }

 private:
  static constexpr int32_t NONE = -2;

  void refill() {
    on_wait_(true);
    std::optional<std::string> item = take();
    on_wait_(false);
    if (!item) {
      closed_ = true;
      return;
    }
    current_ = std::move(*item);
    pos_ = 0;
  }

  std::optional<std::string> take() {
    InputQueue& q = ctx_->input;
    std::unique_lock lock(q.mutex);
    try {
      rt::interruptible_wait(lock, q.cv, [&] { return !q.items.empty(); });
    } catch (const rt::Thrown& t) {
      if (rt::is_interrupted_exception(t.value())) return std::nullopt;
      throw;
    }
    std::optional<std::string> item = std::move(q.items.front());
    q.items.pop_front();
    return item;
  }

  int32_t next_code_point() {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(current_[i]); };
    unsigned char b = byte(pos_);
    if (b < 0x80) {
      ++pos_;
      return b;
    }
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
    if (extra < 0 || pos_ + extra >= current_.size()) {  // a stray or cut-off byte reads as U+FFFD
      ++pos_;
      return 0xFFFD;
    }
    int32_t c = b & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) c = (c << 6) | (byte(pos_ + i) & 0x3F);
    pos_ += 1 + extra;
    return c;
  }

  std::shared_ptr<Context> ctx_;
  std::function<void(bool)> on_wait_;
  std::mutex mutex_;
  std::string current_;
  size_t pos_ = 0;
  bool closed_ = false;
  int32_t pushed_ = NONE;
};

rt::Var& core_var(const Value& v) { return rt::as_var(v); }

// The namespace a run evaluates in, created when missing. A bare namespace (made by in-ns or create-ns) gets
// clojure.core referred, so the console can use it; one that maps refer already has core as it wants it.
rt::Namespace* target_namespace(const std::string& name) {
  rt::Namespace* ns = rt::create_ns(name);
  static const Value refer_sym = kelp::symbol("refer");
  if (ns->find(refer_sym).is_nil()) kelp::lib::refer_all(*ns, *rt::core_vars().core);
  return ns;
}

// doc, find-doc, apropos and dir from clojure.repl, pprint and pp from clojure.pprint, where kelp has them.
void refer_repl_conveniences(rt::Namespace& ns) {
  static const std::vector<kelp::lib::ReplRefers> refers = {
      {"clojure.repl", {"doc", "find-doc", "apropos", "dir"}},
      {"clojure.pprint", {"pprint", "pp"}},
  };
  kelp::lib::refer_repl(ns, refers);
}

std::string print_value(const Value& v) {
  kelp::PrintOptions o = kelp::current_print_options();
  o.length = PRINT_LENGTH;
  o.readably = true;
  return kelp::pr_str(v, o);
}

std::string current_ns_name() {
  Value ns = core_var(rt::core_vars().ns).deref();
  return std::string(rt::as_ns(ns).name_str());
}

void notify_status(const Run& run, RunStatus s) {
  if (run.opts.on_status_change) contained("on-status-change", [&] { run.opts.on_status_change(s); });
}

// The worker's first step: record that it runs (so Stop interrupts it) and say so.
void register_worker(Context& ctx, Run& run) {
  std::lock_guard lock(ctx.lock);
  if (ctx.running.get() == &run) {
    run.registered = true;
    if (run.stop_requested) run.token->fire();
  }
  notify_status(run, RunStatus::Running);
}

Value output_writer(const std::shared_ptr<Run>& run, OutputKind kind) {
  return create_writer([run, kind](std::string_view chunk) {
    if (run->opts.on_output) contained("on-output", [&] { run->opts.on_output(kind, chunk); });
  });
}

// Steps 2 to 6 of a run: bind the streams and REPL values, evaluate and print, and keep *1 *2 *3 *e.
Result evaluate(const std::shared_ptr<Context>& ctx, const std::shared_ptr<Run>& run) {
  const rt::CoreVars& cv = rt::core_vars();
  const Options& opts = run->opts;
  rt::Namespace* ns = target_namespace(opts.ns_name);
  auto on_wait = [ctx, run](bool waiting) {
    ctx->waiting_input = waiting;
    if (run->opts.on_wait_input) contained("on-wait-input", [&] { run->opts.on_wait_input(waiting); });
    notify_status(*run, waiting ? RunStatus::WaitingInput : RunStatus::Running);
  };
  Value in = Value::adopt(new QueueInput(ctx, on_wait));
  ReplVars repl;
  {
    std::lock_guard lock(ctx->repl_mutex);
    repl = ctx->repl;
  }
  Result r;
  {
    rt::BindingScope scope({{&core_var(cv.out), output_writer(run, OutputKind::Out)},
                            {&core_var(cv.err), output_writer(run, OutputKind::Err)},
                            {&core_var(cv.in), in},
                            {&core_var(cv.ns), rt::ns_value(ns)},
                            {&core_var(cv.print_namespace_maps), Value::boolean(true)},
                            {&core_var(cv.star1), repl.v1},
                            {&core_var(cv.star2), repl.v2},
                            {&core_var(cv.star3), repl.v3},
                            {&core_var(cv.stare), repl.e}});
    try {
      if (opts.before_eval) {
        try {
          opts.before_eval();
        } catch (...) {
          std::exception_ptr ex = std::current_exception();
          if (is_interrupted(rt::as_throwable(ex))) throw;
          report_callback_exception("before-eval", ex);
        }
      }
      if (run->stop_requested) rt::throw_value(rt::interrupted_exception());
      refer_repl_conveniences(*ns);
      auto thunk = [&] {
        Value v = eval_string(run->code + "\n", opts.source_path);
        std::string printed = print_value(v);
        r.status = Status::Ok;
        r.value = std::move(v);
        r.printed = std::move(printed);
      };
      if (opts.wrap_eval) opts.wrap_eval(thunk);
      else thunk();
    } catch (...) {
      Value ex = rt::as_throwable(std::current_exception());
      r = Result{};
      if (is_interrupted(ex)) {
        r.status = Status::Interrupted;
      } else {
        r.status = Status::Error;
        r.error = ex;
      }
    }
    r.ns = current_ns_name();
    rt::out_flush();
  }
  if (run->stop_requested) {
    std::string ns_name = std::move(r.ns);
    r = Result{};
    r.status = Status::Interrupted;
    r.ns = std::move(ns_name);
  }
  if (!opts.quiet) {
    std::lock_guard lock(ctx->repl_mutex);
    if (r.status == Status::Ok) {
      ctx->repl.v3 = ctx->repl.v2;
      ctx->repl.v2 = ctx->repl.v1;
      ctx->repl.v1 = r.value;
    } else if (r.status == Status::Error) {
      ctx->repl.e = r.error;
    }
  }
  return r;
}

// The end of every run, exactly once: finishing, before-idle, idle, delivery, on-complete.
void finish_run(Context& ctx, const std::shared_ptr<Run>& run, const Result& result) {
  {
    std::lock_guard lock(ctx.lock);
    if (ctx.running == run) run->finishing = true;
  }
  if (run->opts.before_idle) contained("before-idle", [&] { run->opts.before_idle(result); });
  {
    std::lock_guard lock(ctx.lock);
    ctx.waiting_input = false;
    if (ctx.running == run) ctx.running = nullptr;
    notify_status(*run, RunStatus::Idle);
  }
  run->promise.set_value(result);
  if (run->opts.on_complete) contained("on-complete", [&] { run->opts.on_complete(result); });
}

void run_evaluation(const std::shared_ptr<Context>& ctx, const std::shared_ptr<Run>& run) {
  Result result;
  try {
    rt::TokenScope token(run->token);
    register_worker(*ctx, *run);
    result = evaluate(ctx, run);
  } catch (...) {
    result = Result{};
    result.status = Status::Error;
    try {
      result.error = rt::as_throwable(std::current_exception());
    } catch (...) {
    }
    result.ns = run->opts.ns_name;
  }
  finish_run(*ctx, run, result);
  ctx->completing.fetch_sub(1);
}

}  // namespace

// --- history --------------------------------------------------------------------------------------------------

History create_history() { return History{}; }

namespace {
std::string_view trim(std::string_view s) {
  const char* ws = " \t\n\r\f\v";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}
}  // namespace

History history_add(History h, std::string_view cmd) {
  std::string_view t = trim(cmd);
  if (!t.empty() && (h.items.empty() || h.items.back() != t)) h.items.emplace_back(t);
  h.index = h.items.size();
  h.draft.clear();
  return h;
}

std::pair<History, std::string> history_prev(History h, std::string_view current_text) {
  if (h.items.empty()) return {std::move(h), std::string(current_text)};
  if (h.index >= h.items.size()) h.draft = std::string(current_text);
  h.index = h.index == 0 ? 0 : std::min(h.index, h.items.size()) - 1;
  std::string text = h.items[h.index];
  return {std::move(h), std::move(text)};
}

std::pair<History, std::string> history_next(History h) {
  if (h.items.empty()) return {std::move(h), ""};
  if (h.index >= h.items.size()) {
    std::string draft = h.draft;
    return {std::move(h), std::move(draft)};
  }
  ++h.index;
  if (h.index == h.items.size()) {
    std::string draft = h.draft;
    return {std::move(h), std::move(draft)};
  }
  std::string text = h.items[h.index];
  return {std::move(h), std::move(text)};
}

History SharedHistory::get() const {
  std::lock_guard lock(mutex_);
  return h_;
}

void SharedHistory::set(History h) {
  std::lock_guard lock(mutex_);
  h_ = std::move(h);
}

History SharedHistory::update(const std::function<History(History)>& f) {
  std::lock_guard lock(mutex_);
  h_ = f(h_);
  return h_;
}

// --- the context ----------------------------------------------------------------------------------------------

namespace {
std::mutex starter_mutex;
WorkerStarter& starter() {
  static WorkerStarter s;  // empty: kelp's worker pool
  return s;
}
void start_run_worker(std::function<void()> body) {
  WorkerStarter custom;
  {
    std::lock_guard lock(starter_mutex);
    custom = starter();
  }
  if (custom) custom(std::move(body));
  else rt::start_worker(std::move(body));
}
}  // namespace

void set_worker_starter(WorkerStarter s) {
  std::lock_guard lock(starter_mutex);
  starter() = std::move(s);
}

ContextPtr make_eval_context() {
  kelp::boot();
  return std::make_shared<Context>();
}

std::optional<std::string> eval_async(const ContextPtr& ctx, std::string code, Options opts) {
  std::unique_lock lock(ctx->lock);
  if (ctx->running) return std::string(BUSY_WARNING);
  auto run = std::make_shared<Run>();
  run->code = std::move(code);
  run->opts = std::move(opts);
  // Under the same lock as Stop's end-of-input offer: a Stop meant for the previous run never lands in this one.
  ctx->input.clear();
  ctx->waiting_input = false;
  // Running before the worker exists, so a fast worker's return to idle is never overwritten here.
  ctx->running = run;
  ctx->completing.fetch_add(1);
  try {
    start_run_worker([ctx, run] { run_evaluation(ctx, run); });
  } catch (...) {
    // No worker: the run never began, and the context must not stay running for ever.
    ctx->running = nullptr;
    ctx->completing.fetch_sub(1);
    return std::string(NO_WORKER_WARNING);
  }
  return std::nullopt;
}

std::optional<std::shared_future<Result>> stop_eval(const ContextPtr& ctx) {
  std::lock_guard lock(ctx->lock);
  std::shared_ptr<Run> run = ctx->running;
  if (!run) return std::nullopt;
  if (!run->finishing) {
    run->stop_requested = true;
    run->token->fire();
    ctx->input.offer(std::nullopt);
  }
  return run->done;
}

void push_stdin(const ContextPtr& ctx, std::string_view text) { ctx->input.offer(std::string(text) + "\n"); }

void push_stdin_eof(const ContextPtr& ctx) { ctx->input.offer(std::nullopt); }

bool is_waiting_for_input(const ContextPtr& ctx) { return ctx->waiting_input; }

bool is_evaluating(const ContextPtr& ctx) {
  std::lock_guard lock(ctx->lock);
  return ctx->running != nullptr;
}

bool is_settled(const ContextPtr& ctx) { return !is_evaluating(ctx) && ctx->completing.load() == 0; }

SharedHistory& history(const ContextPtr& ctx) { return ctx->history; }

// --- helpers --------------------------------------------------------------------------------------------------

Value create_writer(std::function<void(std::string_view)> on_chunk) {
  return Value::adopt(new rt::CallbackWriter(std::move(on_chunk)));
}

Value find_root_cause(const Value& t) {
  Value root = t;
  while (rt::is_throwable(root) && rt::is_throwable(rt::throwable(root).cause())) root = rt::throwable(root).cause();
  return root;
}

namespace {
bool flagged_interrupted(const Value& t) {
  if (!rt::is_throwable(t)) return false;
  const Value& data = rt::throwable(t).data();
  if (data.is_nil()) return false;
  const Value* flag = kelp::get(data, kelp::keyword("kelp", "interrupted"));
  return flag && flag->is_bool() && flag->as_bool();
}
}  // namespace

bool is_interrupted(const Value& t) {
  for (Value e = t; rt::is_throwable(e); e = rt::throwable(e).cause())
    if (flagged_interrupted(e)) return true;
  return false;
}

Value eval_string(std::string_view s, const std::optional<std::string>& path) {
  return kelp::compile::eval_string(s, path ? std::string_view(*path) : std::string_view("NO_SOURCE_PATH"));
}

bool is_source_path() { return true; }

std::string format_error(const Value& t) {
  if (!rt::is_throwable(t)) return "Error [unknown]: " + kelp::pr_str(t);
  Value root = find_root_cause(t);
  const rt::Throwable& te = rt::throwable(t);
  const rt::Throwable& re = rt::throwable(root);
  Value data = te.data().is_nil() ? re.data() : te.data();
  std::string message;
  if (re.message().is(kelp::Kind::String)) message = std::string(kelp::str_view(re.message()));
  else if (te.message().is(kelp::Kind::String)) message = std::string(kelp::str_view(te.message()));
  else message = rt::host::to_string(root);
  std::string text = "Error [" + std::string(re.cls().name) + "]: " + message;
  if (data.is_nil()) return text;
  const Value* line = kelp::get(data, kelp::keyword("clojure.error", "line"));
  if (!line || line->is_nil()) return text;
  const Value* column = kelp::get(data, kelp::keyword("clojure.error", "column"));
  if (!column || column->is_nil()) column = kelp::get(data, kelp::keyword("column"));
  text += "\nLocation: line " + kelp::pr_str(*line);
  if (column && !column->is_nil()) text += ", col " + kelp::pr_str(*column);
  return text;
}

}  // namespace orrery::eval
