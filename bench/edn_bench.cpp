// Reading and printing a generated ~5 MB EDN text: nested maps and vectors of keywords, strings, integers and
// doubles, as settings, session and tool-answer files look.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace {

void entry(std::string& out, std::mt19937& rng, int depth) {
  static const char* keys[] = {":id", ":name", ":status", ":run/run", ":find/next", ":path", ":line", ":column",
                               ":value", ":kind", ":children", ":debug/step-over", ":enabled?", ":size"};
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  switch (depth < 3 ? pick(7) : pick(4)) {
    case 0: out += std::to_string(static_cast<int64_t>(rng()) - 2000000000ll); break;
    case 1: out += std::to_string(pick(100000) / 7.0 + 0.125); break;
    case 2: out += "\"some text " + std::to_string(pick(100000)) + " with a few words in it\""; break;
    case 3: out += keys[pick(std::size(keys))]; break;
    case 4:
    case 5: {
      out += '{';
      int n = 2 + pick(10);
      for (int i = 0; i < n; ++i) {
        out += keys[i];
        out += ' ';
        entry(out, rng, depth + 1);
        out += i + 1 < n ? ", " : "";
      }
      out += '}';
      break;
    }
    default: {
      out += '[';
      int n = pick(12);
      for (int i = 0; i < n; ++i) {
        if (i) out += ' ';
        entry(out, rng, depth + 1);
      }
      out += ']';
    }
  }
}

const std::string& text() {
  static const std::string t = [] {
    std::mt19937 rng(7);
    std::string out = "[";
    while (out.size() < 5 * 1024 * 1024) {
      entry(out, rng, 0);
      out += '\n';
    }
    out += ']';
    // scripts/bench_edn.sh hands the same text to JVM Clojure.
    if (const char* dump = std::getenv("EDN_BENCH_DUMP")) {
      if (FILE* f = std::fopen(dump, "wb")) {
        std::fwrite(out.data(), 1, out.size(), f);
        std::fclose(f);
      }
    }
    return out;
  }();
  return t;
}

void BM_ReadEdn(benchmark::State& state) {
  const std::string& t = text();
  for (auto _ : state) {
    kelp::Result<kelp::Value> v = kelp::read_edn(t);
    if (!v.ok()) state.SkipWithError(v.failure().message.c_str());
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(t.size()));
}
BENCHMARK(BM_ReadEdn)->Unit(benchmark::kMillisecond);

void BM_PrintEdn(benchmark::State& state) {
  kelp::Result<kelp::Value> v = kelp::read_edn(text());
  size_t bytes = 0;
  for (auto _ : state) {
    std::string s = kelp::print_edn(*v);
    bytes = s.size();
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_PrintEdn)->Unit(benchmark::kMillisecond);

}  // namespace
