// Persistent collection work, the same as bench/collections_bench.clj does on the JVM: 1 M conj onto a vector,
// 200 k assoc of long keys into a map, 1 M lookups in that map. scripts/bench_collections.sh compares the two.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <utility>

#include "kelp/data/map.hpp"
#include "kelp/data/vector.hpp"

namespace kelp {
namespace {

constexpr int64_t CONJ_COUNT = 1'000'000;
constexpr int64_t ASSOC_COUNT = 200'000;
constexpr int64_t LOOKUP_COUNT = 1'000'000;

// Peak resident memory of the process so far, in MiB.
double peak_rss_mib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

Value map_of_longs(int64_t n) {
  Value m = empty_map();
  for (int64_t i = 0; i < n; ++i) m = assoc(m, Value::integer(i), Value::integer(i));
  return m;
}

void BM_VectorConj1M(benchmark::State& state) {
  for (auto _ : state) {
    Value v = empty_vector();
    for (int64_t i = 0; i < CONJ_COUNT; ++i) v = vector_conj(v, Value::integer(i));
    benchmark::DoNotOptimize(v);
  }
  state.counters["peak_rss_mib"] = peak_rss_mib();
}
BENCHMARK(BM_VectorConj1M)->Unit(benchmark::kMillisecond);

void BM_HashMapAssoc200k(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(map_of_longs(ASSOC_COUNT));
  state.counters["peak_rss_mib"] = peak_rss_mib();
}
BENCHMARK(BM_HashMapAssoc200k)->Unit(benchmark::kMillisecond);

// For comparison: each old version handed over to assoc, which may then edit the trie in place (the JVM's old
// versions are garbage at once too, but it copies the path all the same).
void BM_HashMapAssocMoved200k(benchmark::State& state) {
  for (auto _ : state) {
    Value m = empty_map();
    for (int64_t i = 0; i < ASSOC_COUNT; ++i) m = assoc(std::move(m), Value::integer(i), Value::integer(i));
    benchmark::DoNotOptimize(m);
  }
}
BENCHMARK(BM_HashMapAssocMoved200k)->Unit(benchmark::kMillisecond);

// For comparison: the same map built in place through a transient.
void BM_TransientMapAssoc200k(benchmark::State& state) {
  for (auto _ : state) {
    TransientMap t;
    for (int64_t i = 0; i < ASSOC_COUNT; ++i) t.assoc(Value::integer(i), Value::integer(i));
    benchmark::DoNotOptimize(t.persistent());
  }
}
BENCHMARK(BM_TransientMapAssoc200k)->Unit(benchmark::kMillisecond);

void BM_HashMapLookup1M(benchmark::State& state) {
  Value m = map_of_longs(ASSOC_COUNT);
  for (auto _ : state) {
    int64_t sum = 0;
    for (int64_t i = 0; i < LOOKUP_COUNT; ++i) sum += get(m, Value::integer(i % ASSOC_COUNT))->as_int();
    benchmark::DoNotOptimize(sum);
  }
  state.counters["peak_rss_mib"] = peak_rss_mib();
}
BENCHMARK(BM_HashMapLookup1M)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelp
