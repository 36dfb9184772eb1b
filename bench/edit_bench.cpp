// apply_edits on a 46k-character text with 2,000 edits (a replace-all or a rename over a large buffer), against
// building a new string for each edit in turn.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "orrery/edit.hpp"

namespace {

using orrery::Edit;
using orrery::Offset;

const std::u32string& sample_text() {
  static const std::u32string text = [] {
    const std::u32string line = U"(defn step-😀 [state x] (update state :count + x)) ; tally\n";
    std::u32string out;
    while (out.size() < 46000) out += line;
    out.resize(46000);
    return out;
  }();
  return text;
}

// 2,000 ascending edits spread over the text: replacements, insertions and deletions in turn.
const std::vector<Edit>& sample_edits() {
  static const std::vector<Edit> edits = [] {
    std::vector<Edit> out;
    const Offset step = static_cast<Offset>(sample_text().size()) / 2000;
    for (Offset i = 0; i < 2000; ++i) {
      Offset at = i * step;
      switch (i % 3) {
        case 0: out.push_back({at, at + 5, U"renamed"}); break;
        case 1: out.push_back({at, at, U"  "}); break;
        default: out.push_back({at, at + 3, U""}); break;
      }
    }
    return out;
  }();
  return edits;
}

void BM_ApplyEdits(benchmark::State& state) {
  const auto& text = sample_text();
  const auto& edits = sample_edits();
  for (auto _ : state) benchmark::DoNotOptimize(orrery::apply_edits(text, edits));
}
BENCHMARK(BM_ApplyEdits)->Unit(benchmark::kMicrosecond);

// The slow way: a new whole string per edit, from the last edit to the first.
void BM_ApplyEditsOneStringPerEdit(benchmark::State& state) {
  const auto& text = sample_text();
  const auto& edits = sample_edits();
  for (auto _ : state) {
    std::u32string current = text;
    for (auto it = edits.rbegin(); it != edits.rend(); ++it) {
      current = current.substr(0, static_cast<std::size_t>(it->start)) + it->text +
                current.substr(static_cast<std::size_t>(it->end));
    }
    benchmark::DoNotOptimize(current);
  }
}
BENCHMARK(BM_ApplyEditsOneStringPerEdit)->Unit(benchmark::kMicrosecond);

}  // namespace
