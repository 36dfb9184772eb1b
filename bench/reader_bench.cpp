// Reading Clojure source: clojure/core.clj (about 270 KB, 710 top-level forms) with positions on every list,
// syntax-quote expansion, #() literals and reader conditionals, as loading a namespace does.
#include <benchmark/benchmark.h>

#include "kelp/read/reader.hpp"
#include "support/corpus.hpp"

namespace {

void BM_ReadCoreClj(benchmark::State& state) {
  std::string error;
  const std::string& text = orrery::testing::core_clj_utf8(&error);
  if (text.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  kelp::read::ReadOptions options;
  options.file = "clojure/core.clj";
  for (auto _ : state) {
    std::vector<kelp::Value> forms = kelp::read::read_all(text, options);
    benchmark::DoNotOptimize(forms);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReadCoreClj)->Unit(benchmark::kMillisecond);

}  // namespace
