// The cost of a call by how it dispatches, against a plain function call: a protocol method extended to a class, a
// protocol method a record implements inline, and multimethods dispatching on a keyword and on the class. Each
// benchmark runs a kelp loop of 1000 calls; the empty loop is the floor to subtract before comparing.
#include <benchmark/benchmark.h>

#include "kelp/kelp.hpp"
#include "kelp/rt/fn.hpp"

namespace {

constexpr int64_t CALLS = 1000;

const char* const SETUP = R"clj(
(ns bench.dispatch)
(defn plain [x] x)
(defprotocol Id (id [x]))
(extend-protocol Id Long (id [x] x))
(defrecord Box [v] Id (id [_] v))
(def box (->Box 1))
(defmulti by-key :k)
(defmethod by-key :a [m] m)
(def keyed {:k :a})
(defmulti by-class class)
(defmethod by-class Long [x] x)
(defn run-empty [n] (loop [i 0 acc 0] (if (< i n) (recur (inc i) i) acc)))
(defn run-plain [n] (loop [i 0 acc 0] (if (< i n) (recur (inc i) (plain i)) acc)))
(defn run-protocol [n] (loop [i 0 acc 0] (if (< i n) (recur (inc i) (id i)) acc)))
(defn run-record [n] (let [b box] (loop [i 0 acc 0] (if (< i n) (recur (inc i) (id b)) acc))))
(defn run-plain-field [n] (let [b box] (loop [i 0 acc 0] (if (< i n) (recur (inc i) (plain (:v b))) acc))))
(defn run-multi-key [n] (let [m keyed] (loop [i 0 acc 0] (if (< i n) (recur (inc i) (by-key m)) acc))))
(defn run-multi-class [n] (loop [i 0 acc 0] (if (< i n) (recur (inc i) (by-class i)) acc)))
)clj";

kelp::Value runner(const char* name) {
  static bool ready = [] {
    kelp::eval_string(SETUP);
    return true;
  }();
  (void)ready;
  return kelp::eval_string(std::string("bench.dispatch/") + name);
}

void run(benchmark::State& state, const char* name) {
  kelp::Value f = runner(name);
  kelp::Value n = kelp::Value::integer(CALLS);
  for (auto _ : state) benchmark::DoNotOptimize(kelp::rt::call(f, {n}));
  state.SetItemsProcessed(state.iterations() * CALLS);
}

void BM_DispatchEmptyLoop(benchmark::State& s) { run(s, "run-empty"); }
void BM_DispatchPlainFn(benchmark::State& s) { run(s, "run-plain"); }
void BM_DispatchProtocolOnClass(benchmark::State& s) { run(s, "run-protocol"); }
void BM_DispatchProtocolInlineRecord(benchmark::State& s) { run(s, "run-record"); }
void BM_DispatchPlainFnOfField(benchmark::State& s) { run(s, "run-plain-field"); }
void BM_DispatchMultimethodKeyword(benchmark::State& s) { run(s, "run-multi-key"); }
void BM_DispatchMultimethodClass(benchmark::State& s) { run(s, "run-multi-class"); }

BENCHMARK(BM_DispatchEmptyLoop);
BENCHMARK(BM_DispatchPlainFn);
BENCHMARK(BM_DispatchProtocolOnClass);
BENCHMARK(BM_DispatchProtocolInlineRecord);
BENCHMARK(BM_DispatchPlainFnOfField);
BENCHMARK(BM_DispatchMultimethodKeyword);
BENCHMARK(BM_DispatchMultimethodClass);

}  // namespace
