// Formatting Clojure's core.clj (~270k characters), and the indentation of a new line at its very end (the
// worst case for smart Return, which analyses the text before the caret).
#include <benchmark/benchmark.h>

#include "orrery/format.hpp"
#include "support/corpus.hpp"

namespace {

void BM_FormatCodeCoreClj(benchmark::State& state) {
  const std::u32string& text = orrery::testing::core_clj();
  if (text.empty()) {
    state.SkipWithError("clojure/core.clj could not be read");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(orrery::format_code(text));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_FormatCodeCoreClj)->Unit(benchmark::kMillisecond);

void BM_SmartIndentAtTheEndOfCoreClj(benchmark::State& state) {
  const std::u32string& text = orrery::testing::core_clj();
  if (text.empty()) {
    state.SkipWithError("clojure/core.clj could not be read");
    return;
  }
  // Just before the last closer, so the whole text before the caret is analysed.
  const orrery::Offset pos = static_cast<orrery::Offset>(text.find_last_of(U')'));
  for (auto _ : state) benchmark::DoNotOptimize(orrery::compute_smart_indent(text, pos));
}
BENCHMARK(BM_SmartIndentAtTheEndOfCoreClj)->Unit(benchmark::kMillisecond);

}  // namespace
