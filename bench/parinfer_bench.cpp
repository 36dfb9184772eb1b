// Parinfer: Indent mode over the first 3,000 lines of Clojure's core.clj (cut before a top-level form), and one
// keystroke's adjust in Smart mode inside a 300-line form, the largest region the editor adjusts.
#include <benchmark/benchmark.h>

#include <string>

#include "orrery/parinfer.hpp"
#include "orrery/parinfer_edit.hpp"
#include "support/corpus.hpp"

namespace {

// The first lines of core.clj up to the last top-level form starting before line `max_lines`.
std::u32string core_head(size_t max_lines) {
  const std::u32string& text = orrery::testing::core_clj();
  size_t cut = 0;
  size_t line = 0;
  for (size_t i = 0; i < text.size() && line < max_lines; ++i) {
    if (i == 0 || text[i - 1] == U'\n') {
      if (text[i] == U'(') cut = i;
      ++line;
    }
  }
  return text.substr(0, cut);
}

void BM_ParinferIndentMode3000Lines(benchmark::State& state) {
  const std::u32string text = core_head(3000);
  if (text.empty()) {
    state.SkipWithError("clojure/core.clj could not be read");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(orrery::parinfer::indent_mode(text));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParinferIndentMode3000Lines)->Unit(benchmark::kMillisecond);

// A 300-line defn with bindings, calls and a map, the way real code nests.
std::u32string form_300() {
  std::u32string s = U"(defn big-one\n  \"A long function.\"\n  [state opts]\n  (let [a (get opts :a)\n";
  int line = 4;
  for (int i = 0; line < 296; ++i, ++line) {
    std::u32string n = kelp::to_u32(std::to_string(i));
    s += U"        v" + n + U" (update-in state [:k" + n + U" :inner] (fnil + 0) " + n + U")\n";
  }
  s += U"        done {:a a\n              :b [1 2 3]}]\n    (merge state done)))";
  return s;
}

void BM_ParinferAdjustKeystroke300LineForm(benchmark::State& state) {
  const std::u32string prev = U"(ns bench.one)\n\n" + form_300() + U"\n\n(def after 1)\n";
  // Type a letter inside a binding half-way down the form.
  const orrery::Offset at = static_cast<orrery::Offset>(prev.find(U"v150 (update-in") + 4);
  std::u32string text = prev;
  text.insert(static_cast<size_t>(at), U"x");
  orrery::parinfer_edit::AdjustOptions opts;
  opts.bounds = std::pair{at, static_cast<orrery::Offset>(prev.size()) - at};
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        orrery::parinfer_edit::adjust(orrery::parinfer_edit::Mode::Smart, prev, at, text, at + 1, opts));
  }
}
BENCHMARK(BM_ParinferAdjustKeystroke300LineForm)->Unit(benchmark::kMicrosecond);

}  // namespace
