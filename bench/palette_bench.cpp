// The palette's filter as a person types: every registered command (window, editor and console) as palette
// entries with the shipped keys' chords, filtered by a three-word query.
#include <benchmark/benchmark.h>

#include "orrery/command_registry.hpp"
#include "orrery/palette.hpp"

namespace {

using namespace orrery;

std::vector<palette::Entry> all_entries() {
  keymap::Keymap km = {{"window", command_registry::shipped_bindings("window")},
                       {"editor", command_registry::shipped_bindings("editor")}};
  return palette::entries(command_registry::commands(), km, "Linux");
}

void BM_FilterEveryCommandByThreeWords(benchmark::State& state) {
  const auto entries = all_entries();
  if (palette::filter_entries(entries, "form at caret").empty()) state.SkipWithError("the query matched nothing");
  for (auto _ : state) benchmark::DoNotOptimize(palette::filter_entries(entries, "form at caret"));
  state.counters["entries"] = double(entries.size());
}
BENCHMARK(BM_FilterEveryCommandByThreeWords)->Unit(benchmark::kMicrosecond);

// Building the entries afresh, as when the palette opens after the keys or plugins changed.
void BM_EntriesFromTheRegistry(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(all_entries());
}
BENCHMARK(BM_EntriesFromTheRegistry)->Unit(benchmark::kMicrosecond);

}  // namespace
