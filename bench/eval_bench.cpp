// The evaluation engine's latencies: a small evaluation from eval_async to on_complete (the thread hop included),
// and Stop of a busy loop until the context is idle.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "orrery/eval.hpp"

namespace {

using namespace orrery::eval;
using Clock = std::chrono::steady_clock;

struct Signal {
  std::mutex m;
  std::condition_variable cv;
  bool set = false;
  void raise() {
    {
      std::lock_guard lock(m);
      set = true;
    }
    cv.notify_all();
  }
  void wait() {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return set; });
    set = false;
  }
};

void BM_EvalToComplete(benchmark::State& state) {
  ContextPtr ctx = make_eval_context();
  Signal done;
  Options o;
  o.on_complete = [&](const Result&) { done.raise(); };
  for (auto _ : state) {
    while (!is_settled(ctx)) std::this_thread::yield();
    auto start = Clock::now();
    eval_async(ctx, "(+ 1 2)", o);
    done.wait();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}
BENCHMARK(BM_EvalToComplete)->UseManualTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly();

void BM_StopBusyLoopToIdle(benchmark::State& state) {
  ContextPtr ctx = make_eval_context();
  Signal running, idle;
  Options o;
  o.on_status_change = [&](RunStatus s) {
    if (s == RunStatus::Running) running.raise();
    if (s == RunStatus::Idle) idle.raise();
  };
  for (auto _ : state) {
    while (!is_settled(ctx)) std::this_thread::yield();
    eval_async(ctx, "(loop [i 0] (recur (inc i)))", o);
    running.wait();
    auto start = Clock::now();
    stop_eval(ctx);
    idle.wait();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}
BENCHMARK(BM_StopBusyLoopToIdle)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(200)->Repetitions(5)->ReportAggregatesOnly();

}  // namespace
