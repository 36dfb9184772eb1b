// Paint plans on Clojure's core.clj: a full plan, and the repaint after one keystroke in a 10,000-line file (the
// new plan plus the diff against the old one), as the editor does on every change. The scan-afresh form
// (a string view) is measured too: it tokenizes twice, once for the tokens and once inside the bracket analysis.
#include <benchmark/benchmark.h>

#include <string>

#include "support/corpus.hpp"
#include "orrery/paint.hpp"

namespace {

using namespace orrery;

// core.clj repeated and cut to 10,000 lines.
const std::u32string& ten_thousand_lines() {
  static const std::u32string text = [] {
    const std::u32string& core = orrery::testing::core_clj();
    std::u32string out;
    int lines = 0;
    while (lines < 10000 && !core.empty()) {
      for (char32_t c : core) {
        out += c;
        if (c == U'\n' && ++lines == 10000) break;
      }
    }
    return out;
  }();
  return text;
}

// Two text objects of one content, used in turn, so that each plan misses the scanner's one-entry caches and
// scans once (tokens, then brackets from the cached tokens), as a repaint of a changed buffer does.
struct TwoCopies {
  TextPtr a, b;
  explicit TwoCopies(const std::u32string& text) : a(make_text(text)), b(make_text(text)) {}
  const TextPtr& next() {
    std::swap(a, b);
    return a;
  }
};

void BM_PaintPlanCoreClj(benchmark::State& state) {
  const std::u32string& core = orrery::testing::core_clj();
  TwoCopies texts(core);
  size_t spans = 0;
  for (auto _ : state) {
    PaintPlan plan = paint_plan(texts.next());
    spans = plan.size();
    benchmark::DoNotOptimize(plan.data());
  }
  state.counters["chars"] = static_cast<double>(core.size());
  state.counters["spans"] = static_cast<double>(spans);
}
BENCHMARK(BM_PaintPlanCoreClj)->Unit(benchmark::kMillisecond);

void BM_PaintPlanCoreCljUncached(benchmark::State& state) {
  const std::u32string& core = orrery::testing::core_clj();
  for (auto _ : state) {
    PaintPlan plan = paint_plan(std::u32string_view(core));
    benchmark::DoNotOptimize(plan.data());
  }
}
BENCHMARK(BM_PaintPlanCoreCljUncached)->Unit(benchmark::kMillisecond);

// One character typed in the middle of the file: `typed` at the first place after the middle where `before`
// stands (a letter typed into a symbol, or an opener typed before an opener, which recolours every bracket after it).
struct Keystroke {
  std::u32string old_text;
  std::u32string new_text;
  PaintPlan old_plan;
  EditBounds bounds;
};

Keystroke keystroke(char32_t typed, char32_t before) {
  Keystroke k;
  k.old_text = ten_thousand_lines();
  size_t at = k.old_text.find(before, k.old_text.size() / 2);
  k.new_text = k.old_text;
  k.new_text.insert(k.new_text.begin() + static_cast<std::ptrdiff_t>(at), typed);
  k.old_plan = paint_plan(std::u32string_view(k.old_text));
  k.bounds = {static_cast<Offset>(at), static_cast<Offset>(k.old_text.size() - at)};
  return k;
}

void repaint(benchmark::State& state, const Keystroke& k) {
  size_t applied = 0;
  TwoCopies texts(k.new_text);
  for (auto _ : state) {
    PaintPlan plan = paint_plan(texts.next());
    auto diff = plan_diff({k.old_text, k.old_plan, k.new_text, plan, k.bounds});
    applied = diff ? diff->apply.size() : 0;
    benchmark::DoNotOptimize(diff);
  }
  state.counters["chars"] = static_cast<double>(k.new_text.size());
  state.counters["applied"] = static_cast<double>(applied);
}

void BM_KeystrokeLetterIn10kLines(benchmark::State& state) {
  static const Keystroke k = keystroke(U'x', U'e');
  repaint(state, k);
}
BENCHMARK(BM_KeystrokeLetterIn10kLines)->Unit(benchmark::kMillisecond);

void BM_KeystrokeOpenerIn10kLines(benchmark::State& state) {
  static const Keystroke k = keystroke(U'(', U'(');
  repaint(state, k);
}
BENCHMARK(BM_KeystrokeOpenerIn10kLines)->Unit(benchmark::kMillisecond);

// The diff alone, for the letter typed above.
void BM_PlanDiffOnlyIn10kLines(benchmark::State& state) {
  static const Keystroke k = keystroke(U'x', U'e');
  static const PaintPlan plan = paint_plan(std::u32string_view(k.new_text));
  for (auto _ : state) {
    auto diff = plan_diff({k.old_text, k.old_plan, k.new_text, plan, k.bounds});
    benchmark::DoNotOptimize(diff);
  }
}
BENCHMARK(BM_PlanDiffOnlyIn10kLines)->Unit(benchmark::kMicrosecond);

}  // namespace
