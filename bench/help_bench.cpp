// Completion and Jump to Definition in a 5,000-line buffer: the candidates for a prefix with the buffer's symbols
// cached (the popup refined without an edit) and computed afresh (every keystroke makes a new text), and the jump
// target of a local near the end of the buffer.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "orrery/help.hpp"
#include "orrery/syntax_defs.hpp"

namespace {

using orrery::Offset;
using orrery::Snapshot;

// 1,000 five-line definitions, each with a docstring, a let and calls into the core library.
std::u32string buffer(char32_t variant) {
  std::u32string out;
  for (int i = 0; i < 1000; ++i) {
    const std::u32string n = std::u32string(1, variant) + std::u32string(U"0123456789").substr(i % 10, 1);
    const std::u32string id = U"make-thing-" + std::u32string(U"abcdefghij").substr(i / 100, 1) + n +
                              std::u32string(U"klmnopqrst").substr(i / 10 % 10, 1);
    out += U"(defn " + id + U" [state x]\n";
    out += U"  \"Builds the thing from state.\"\n";
    out += U"  (let [total (+ x (count state))]\n";
    out += U"    (map inc (range total))))\n\n";
  }
  out += U"(ma";
  return out;
}

// The snapshot of a user who has typed "(ma" at the end of the buffer.
Snapshot typing(std::u32string text) {
  Offset end = static_cast<Offset>(text.size());
  return Snapshot{std::move(text), end, end, end};
}

std::optional<orrery::help::PopupState> open_popup(const Snapshot& snap) {
  std::optional<orrery::SymbolPrefix> p = orrery::help::prefix_at(snap);
  orrery::CompletionQuery q;
  q.prefix = p->prefix;
  q.text = snap.text;
  q.pos = snap.caret;
  return orrery::help::open_state(*p, orrery::get_autocomplete_candidates(q));
}

void BM_CompletionCachedSymbols(benchmark::State& state) {
  const Snapshot snap = typing(buffer(U'a'));
  size_t rows = 0;
  for (auto _ : state) {
    auto popup = open_popup(snap);
    rows = popup->candidates.size();
    benchmark::DoNotOptimize(popup);
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["lines"] = 5001;
}
BENCHMARK(BM_CompletionCachedSymbols)->Unit(benchmark::kMillisecond);

// 40 texts in turn, more than the symbols cache holds, so every call scans its text.
void BM_CompletionFreshText(benchmark::State& state) {
  std::vector<Snapshot> snaps;
  for (char32_t v = U'A'; v < U'A' + 40; ++v) snaps.push_back(typing(buffer(v)));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(open_popup(snaps[i]));
    i = (i + 1) % snaps.size();
  }
}
BENCHMARK(BM_CompletionFreshText)->Unit(benchmark::kMillisecond);

void BM_JumpTargetOfALocal(benchmark::State& state) {
  std::u32string text = buffer(U'a');
  const Offset total = static_cast<Offset>(text.rfind(U"total)"));
  const Snapshot snap{text, total + 1, total + 1, total + 1};
  for (auto _ : state) benchmark::DoNotOptimize(orrery::help::jump_target(snap, std::nullopt));
}
BENCHMARK(BM_JumpTargetOfALocal)->Unit(benchmark::kMillisecond);

}  // namespace
