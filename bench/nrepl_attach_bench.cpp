// Eval round trip of (+ 1 2) through one nREPL connection and cloned session, to the real peers: JVM Clojure's
// nREPL 1.0 and nbb. A missing peer is skipped with its reason.
#include <benchmark/benchmark.h>

#include "e2e/nrepl_peer.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"
#include "orrery/nrepl/client.hpp"
#include "support/temp_dir.hpp"

namespace {

using orrery::nrepl::Connection;

void round_trip(benchmark::State& state, const std::vector<std::string>& argv, std::optional<std::string> missing) {
  kelp::boot();
  if (missing) {
    state.SkipWithError(missing->c_str());
    return;
  }
  orrery::testing::TempDir dir("orrery-bench-peer");
  orrery::testing::NreplPeer peer(argv, dir.path());
  if (!peer.port()) {
    state.SkipWithError("the peer did not start");
    return;
  }
  auto conn = Connection::connect("127.0.0.1", *peer.port());
  auto cloned = conn->request_sync(kelp::make_map({kelp::keyword("op"), kelp::make_string("clone")}),
                                   std::chrono::seconds(10));
  std::string session;
  for (const auto& m : cloned.value_or(std::vector<kelp::Value>{}))
    if (const kelp::Value* s = kelp::get(m, kelp::keyword("new-session"))) session = kelp::str_view(*s);
  kelp::Value msg = kelp::make_map({kelp::keyword("op"), kelp::make_string("eval"), kelp::keyword("code"),
                                    kelp::make_string("(+ 1 2)"), kelp::keyword("session"),
                                    kelp::make_string(session)});
  for (int i = 0; i < 50; ++i) conn->request_sync(msg, std::chrono::seconds(10));  // warm up the JIT
  for (auto _ : state) {
    auto replies = conn->request_sync(msg, std::chrono::seconds(10));
    if (!replies) state.SkipWithError("no answer");
    benchmark::DoNotOptimize(replies);
  }
  conn->close();
}

void BM_NreplRoundTripJvm(benchmark::State& state) {
  round_trip(state, orrery::testing::NreplPeer::jvm_argv(), orrery::testing::NreplPeer::jvm_missing());
}
void BM_NreplRoundTripNbb(benchmark::State& state) {
  round_trip(state, orrery::testing::NreplPeer::nbb_argv(), orrery::testing::NreplPeer::nbb_missing());
}

BENCHMARK(BM_NreplRoundTripJvm)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_NreplRoundTripNbb)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
