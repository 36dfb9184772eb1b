#include "orrery/eval.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/kelp.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/throwable.hpp"

namespace orrery::eval {
namespace {

using namespace std::chrono_literals;

// Everything one run reports, and a way to wait for it.
struct Recorder {
  std::mutex mutex;
  std::condition_variable cv;
  std::string out, err;
  std::vector<RunStatus> statuses;
  std::vector<bool> waits;
  std::promise<Result> completed;
  std::shared_future<Result> result = completed.get_future().share();

  Options options() {
    Options o;
    o.on_output = [this](OutputKind k, std::string_view s) {
      std::lock_guard lock(mutex);
      (k == OutputKind::Out ? out : err).append(s);
    };
    o.on_status_change = [this](RunStatus s) {
      {
        std::lock_guard lock(mutex);
        statuses.push_back(s);
      }
      cv.notify_all();
    };
    o.on_wait_input = [this](bool w) {
      std::lock_guard lock(mutex);
      waits.push_back(w);
    };
    o.on_complete = [this](const Result& r) { completed.set_value(r); };
    return o;
  }
  // Blocks until the run reports status s (failing after a few seconds instead of hanging).
  void await_status(RunStatus s) {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return std::find(statuses.begin(), statuses.end(), s) != statuses.end(); }));
  }
  Result await() {
    EXPECT_EQ(result.wait_for(20s), std::future_status::ready);
    return result.get();
  }
  std::string output() {
    std::lock_guard lock(mutex);
    return out;
  }
};

Result run(const ContextPtr& ctx, const std::string& code, Recorder& rec, Options opts) {
  EXPECT_EQ(eval_async(ctx, code, std::move(opts)), std::nullopt);
  return rec.await();
}

Result run(const ContextPtr& ctx, const std::string& code, Recorder& rec) { return run(ctx, code, rec, rec.options()); }

Result run(const ContextPtr& ctx, const std::string& code) {
  Recorder rec;
  return run(ctx, code, rec);
}

void await_settled(const ContextPtr& ctx) {
  for (int i = 0; i < 2000 && !is_settled(ctx); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(is_settled(ctx));
}

TEST(Eval, ValuesOutputAndNamespaces) {
  ContextPtr ctx = make_eval_context();
  Recorder rec;
  Result r = run(ctx, "(println \"x\") (+ 1 2)", rec);
  EXPECT_EQ(r.status, Status::Ok);
  EXPECT_EQ(r.printed, "3");
  EXPECT_EQ(r.ns, "user");
  EXPECT_EQ(rec.output(), "x\n");

  // A lazy value is realized while printing, under the run's bindings: its output is captured too.
  Recorder lazy;
  r = run(ctx, "(map (fn [x] (println x) x) [1 2])", lazy);
  EXPECT_EQ(r.printed, "(1 2)");
  EXPECT_EQ(lazy.output(), "1\n2\n");

  r = run(ctx, "(range)");
  ASSERT_EQ(r.status, Status::Ok);
  EXPECT_TRUE(r.printed.starts_with("(0 1 2 3 "));
  EXPECT_TRUE(r.printed.ends_with(" 998 999 ...)")) << r.printed.substr(r.printed.size() - 40);

  // The REPL tools are there in every namespace a run evaluates in.
  Recorder docs;
  EXPECT_EQ(run(ctx, "(doc when)", docs).status, Status::Ok);
  EXPECT_TRUE(docs.output().starts_with("-------------------------\nclojure.core/when\n")) << docs.output();

  // (ns foo) moves the namespace the run ends in; the next run names its own.
  EXPECT_EQ(run(ctx, "(ns foo) (def here 1)").ns, "foo");
  Recorder rec2;
  Options o = rec2.options();
  o.ns_name = "foo";
  r = run(ctx, "here", rec2, o);
  EXPECT_EQ(r.printed, "1");
  EXPECT_EQ(run(ctx, "(in-ns 'bar)").ns, "bar");
  // in-ns made bar bare; a run there still has clojure.core.
  Recorder rec3;
  o = rec3.options();
  o.ns_name = "bar";
  EXPECT_EQ(run(ctx, "(str 1 2)", rec3, o).printed, "\"12\"");
}

TEST(Eval, ReplValuesAndQuietRuns) {
  ContextPtr ctx = make_eval_context();
  run(ctx, "1");
  run(ctx, "2");
  run(ctx, "3");
  EXPECT_EQ(run(ctx, "[*1 *2 *3]").printed, "[3 2 1]");

  Result err = run(ctx, "(throw (ex-info \"boom\" {:a 1}))");
  ASSERT_EQ(err.status, Status::Error);
  EXPECT_EQ(run(ctx, "(ex-message *e)").printed, "\"boom\"");

  // A quiet run sees the values but changes none of them.
  Recorder rec;
  Options quiet = rec.options();
  quiet.quiet = true;
  EXPECT_EQ(run(ctx, "(/ 1 0)", rec, quiet).status, Status::Error);
  Recorder rec2;
  quiet = rec2.options();
  quiet.quiet = true;
  EXPECT_EQ(run(ctx, ":quiet", rec2, quiet).printed, ":quiet");
  EXPECT_EQ(run(ctx, "[*1 (ex-message *e)]").printed, "[\"boom\" \"boom\"]");
}

TEST(Eval, StandardInput) {
  ContextPtr ctx = make_eval_context();
  {
    Recorder rec;
    ASSERT_EQ(eval_async(ctx, "[(read-line) (read-line)]", rec.options()), std::nullopt);
    rec.await_status(RunStatus::WaitingInput);
    EXPECT_TRUE(is_waiting_for_input(ctx));
    push_stdin(ctx, "abc");
    push_stdin(ctx, "dé");
    EXPECT_EQ(rec.await().printed, "[\"abc\" \"dé\"]");
    EXPECT_FALSE(is_waiting_for_input(ctx));
    std::lock_guard lock(rec.mutex);
    EXPECT_EQ(rec.waits, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(rec.statuses, (std::vector<RunStatus>{RunStatus::Running, RunStatus::WaitingInput, RunStatus::Running,
                                                    RunStatus::WaitingInput, RunStatus::Running, RunStatus::Idle}));
  }
  {
    // The end of input reads as nil, and stays the end for the rest of the run.
    Recorder rec;
    ASSERT_EQ(eval_async(ctx, "[(read-line) (read-line)]", rec.options()), std::nullopt);
    rec.await_status(RunStatus::WaitingInput);
    push_stdin_eof(ctx);
    EXPECT_EQ(rec.await().printed, "[nil nil]");
  }
  {
    // Input left over from an earlier run never reaches the next one.
    push_stdin(ctx, "stale");
    Recorder rec;
    ASSERT_EQ(eval_async(ctx, "(read-line)", rec.options()), std::nullopt);
    rec.await_status(RunStatus::WaitingInput);
    push_stdin(ctx, "fresh");
    EXPECT_EQ(rec.await().printed, "\"fresh\"");
  }
}

TEST(Eval, BusyWarningAndStop) {
  ContextPtr ctx = make_eval_context();
  EXPECT_EQ(stop_eval(ctx), std::nullopt);  // nothing running: nothing happens

  struct Case {
    const char* what;
    const char* code;
    RunStatus wait_for;
  };
  for (const Case& c : {Case{"sleep", "(Thread/sleep 100000)", RunStatus::Running},
                        Case{"busy loop", "(loop [i 0] (recur (inc i)))", RunStatus::Running},
                        Case{"catch in a loop", "(loop [] (try (Thread/sleep 10) (catch Throwable _)) (recur))",
                             RunStatus::Running},
                        Case{"read-line", "(read-line)", RunStatus::WaitingInput},
                        Case{"lazy printing", "(map (fn [x] (Thread/sleep 1) x) (range))", RunStatus::Running}}) {
    SCOPED_TRACE(c.what);
    Recorder rec;
    ASSERT_EQ(eval_async(ctx, c.code, rec.options()), std::nullopt);
    rec.await_status(c.wait_for);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(eval_async(ctx, "1", Options{}), std::string(BUSY_WARNING));
    auto done = stop_eval(ctx);
    ASSERT_TRUE(done.has_value());
    ASSERT_EQ(done->wait_for(5s), std::future_status::ready);
    EXPECT_EQ(done->get().status, Status::Interrupted);
    EXPECT_EQ(rec.await().status, Status::Interrupted);
    await_settled(ctx);
  }
  // The context works normally after all of that.
  EXPECT_EQ(run(ctx, "(+ 1 2)").printed, "3");
}

TEST(Eval, StopBeforeTheWorkerRegisters) {
  ContextPtr ctx = make_eval_context();
  // Stop right after the start: most of these land before the worker has registered, some after.
  for (int i = 0; i < 40; ++i) {
    Recorder rec;
    ASSERT_EQ(eval_async(ctx, "(loop [] (recur))", rec.options()), std::nullopt);
    auto done = stop_eval(ctx);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(rec.await().status, Status::Interrupted);
    await_settled(ctx);
  }
}

TEST(Eval, CallbacksThatThrowLoseOnlyThemselves) {
  ContextPtr ctx = make_eval_context();
  std::promise<Result> done;
  Options o;
  o.before_eval = [] { throw std::runtime_error("before"); };
  o.on_status_change = [](RunStatus) { throw std::runtime_error("status"); };
  o.before_idle = [](const Result&) { throw std::runtime_error("idle"); };
  o.on_output = [](OutputKind, std::string_view) { throw std::runtime_error("output"); };
  o.on_complete = [&](const Result& r) {
    done.set_value(r);
    throw std::runtime_error("complete");
  };
  ASSERT_EQ(eval_async(ctx, "(println \"hi\") 42", o), std::nullopt);
  auto f = done.get_future();
  ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(f.get().printed, "42");
  await_settled(ctx);
  EXPECT_EQ(run(ctx, "1").printed, "1");
}

TEST(Eval, StatusOrderAcrossChainedRuns) {
  ContextPtr ctx = make_eval_context();
  std::mutex m;
  std::vector<std::string> events;
  std::promise<void> second_done;
  Options second;
  second.on_status_change = [&](RunStatus s) {
    std::lock_guard lock(m);
    events.push_back(s == RunStatus::Idle ? "idle2" : "running2");
  };
  second.on_complete = [&](const Result&) { second_done.set_value(); };
  Options first;
  first.on_status_change = [&](RunStatus s) {
    {
      std::lock_guard lock(m);
      events.push_back(s == RunStatus::Idle ? "idle1" : "running1");
    }
    // The lock is reentrant: a status callback may start the next run, which then waits for nothing.
    if (s == RunStatus::Idle) {
      EXPECT_EQ(eval_async(ctx, "2", second), std::nullopt);
    }
  };
  ASSERT_EQ(eval_async(ctx, "1", first), std::nullopt);
  ASSERT_EQ(second_done.get_future().wait_for(10s), std::future_status::ready);
  std::lock_guard lock(m);
  EXPECT_EQ(events, (std::vector<std::string>{"running1", "idle1", "running2", "idle2"}));
}

TEST(Eval, ARunWhoseWorkerCannotStartLeavesTheContextIdle) {
  ContextPtr ctx = make_eval_context();
  set_worker_starter([](std::function<void()>) { throw std::runtime_error("no threads left"); });
  bool completed = false;
  Options o;
  o.on_complete = [&](const Result&) { completed = true; };
  EXPECT_EQ(eval_async(ctx, "1", o), std::string(NO_WORKER_WARNING));
  set_worker_starter(nullptr);
  EXPECT_FALSE(is_evaluating(ctx));
  EXPECT_TRUE(is_settled(ctx));
  EXPECT_FALSE(completed);
  EXPECT_EQ(run(ctx, "(+ 1 2)").printed, "3");  // and the next run goes ahead
}

TEST(Eval, FormatError) {
  kelp::boot();
  auto ex = [](kelp::Value data, kelp::Value cause = {}) {
    return kelp::rt::make_ex_info("outer", std::move(data), std::move(cause));
  };
  auto kw = [](const char* ns, const char* n) { return kelp::keyword(ns, n); };
  kelp::Value located = ex(kelp::make_map({kw("clojure.error", "line"), kelp::Value::integer(3),
                                           kw("clojure.error", "column"), kelp::Value::integer(7)}),
                           kelp::rt::make_throwable("java.lang.ArithmeticException", "Divide by zero"));
  EXPECT_EQ(format_error(located), "Error [java.lang.ArithmeticException]: Divide by zero\nLocation: line 3, col 7");
  kelp::Value line_only = ex(kelp::make_map({kw("clojure.error", "line"), kelp::Value::integer(4)}));
  EXPECT_EQ(format_error(line_only), "Error [clojure.lang.ExceptionInfo]: outer\nLocation: line 4");
  EXPECT_EQ(format_error(ex(kelp::make_map({kelp::keyword("a"), kelp::Value::integer(1)}))),
            "Error [clojure.lang.ExceptionInfo]: outer");

  // A compile error from a run names where the form is.
  ContextPtr ctx = make_eval_context();
  Result r = run(ctx, "\n\n  (frob 1)");
  ASSERT_EQ(r.status, Status::Error);
  EXPECT_EQ(format_error(r.error),
            "Error [java.lang.RuntimeException]: Unable to resolve symbol: frob in this context\n"
            "Location: line 3, col 3");
}

TEST(Eval, History) {
  History h = create_history();
  h = history_add(h, "  (+ 1 2)  ");
  h = history_add(h, "(+ 1 2)");
  h = history_add(h, "   ");
  h = history_add(h, "(f)");
  EXPECT_EQ(h.items, (std::vector<std::string>{"(+ 1 2)", "(f)"}));
  EXPECT_EQ(h.index, 2u);

  auto [h1, t1] = history_prev(h, "draft");
  EXPECT_EQ(t1, "(f)");
  auto [h2, t2] = history_prev(h1, "(f)");
  EXPECT_EQ(t2, "(+ 1 2)");
  auto [h3, t3] = history_prev(h2, "(+ 1 2)");  // stays at the oldest
  EXPECT_EQ(t3, "(+ 1 2)");
  auto [h4, t4] = history_next(h3);
  EXPECT_EQ(t4, "(f)");
  auto [h5, t5] = history_next(h4);  // back past the newest: the draft
  EXPECT_EQ(t5, "draft");
  EXPECT_EQ(h5.index, 2u);
  EXPECT_EQ(history_next(h5).second, "draft");

  EXPECT_EQ(history_prev(create_history(), "typed").second, "typed");
  EXPECT_EQ(history_next(create_history()).second, "");
}

}  // namespace
}  // namespace orrery::eval
