// The scanner over Clojure's core.clj (~270k characters): tokens plus bracket analysis, and the form tree.
#include <benchmark/benchmark.h>

#include "support/corpus.hpp"
#include "orrery/commands.hpp"
#include "orrery/syntax.hpp"

namespace {

const std::u32string& core() {
  const std::u32string& text = orrery::testing::core_clj();
  if (text.empty()) std::fprintf(stderr, "core.clj is not available: install clojure and unzip\n");
  return text;
}

// A fresh scan and bracket analysis each time (the uncached entry point), as the painter does on every edit.
void BM_TokenizeAndBrackets(benchmark::State& state) {
  std::u32string_view text = core();
  for (auto _ : state) {
    orrery::Brackets b = orrery::compute_brackets(text);
    benchmark::DoNotOptimize(b);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_TokenizeAndBrackets)->Unit(benchmark::kMillisecond);

void BM_Tokenize(benchmark::State& state) {
  std::u32string_view text = core();
  for (auto _ : state) benchmark::DoNotOptimize(orrery::tokenize(text));
}
BENCHMARK(BM_Tokenize)->Unit(benchmark::kMillisecond);

// An equal but distinct text answered from the cache: the cost of comparing the content.
void BM_BracketsEqualHit(benchmark::State& state) {
  auto first = orrery::make_text(core());
  auto copy = orrery::make_text(core());
  orrery::compute_brackets(first);
  for (auto _ : state) benchmark::DoNotOptimize(orrery::compute_brackets_equal(copy));
}
BENCHMARK(BM_BracketsEqualHit)->Unit(benchmark::kMillisecond);

void BM_FormTree(benchmark::State& state) {
  std::u32string_view text = core();
  for (auto _ : state) benchmark::DoNotOptimize(orrery::form_tree(text));
}
BENCHMARK(BM_FormTree)->Unit(benchmark::kMillisecond);

}  // namespace
