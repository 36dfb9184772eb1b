// A key press through the window's whole answer with about 300 live bindings: your own keys, a key set and
// plugins ahead of the shipped keymap, the pressed chord bound near the end of the shipped vector, so the walk
// tries almost every binding before it runs the command.
#include <benchmark/benchmark.h>

#include <string>

#include "kelp/read/edn.hpp"
#include "orrery/command_registry.hpp"

namespace {

using namespace orrery::command_registry;
using orrery::keymap::Binding;

Binding binding(const std::string& text) { return *orrery::keymap::to_binding(*kelp::read_edn(text)); }

struct Setup {
  Layers layers;
  std::shared_ptr<Table> plugins = std::make_shared<Table>();
  std::shared_ptr<const Ctx> ctx;
  std::vector<Binding> live;

  Setup() {
    const std::string names = "abcdefghijklmnopqrstuvwxyz0123456789";
    const char* mods[] = {"#{:cmd :alt}", "#{:cmd :alt :shift}", "#{:alt}", "#{:ctrl :shift :alt}"};
    // 232 bindings on chords the pressed key never is, a third of them with conditions to ask.
    for (int i = 0; i < 232; ++i) {
      std::string id = "plug/c" + std::to_string(i);
      plugins->add({id, "A plugin command.", Scope::window, call("run-fn"), true, false, "bench"});
      std::string text = "{:key \"" + std::string(1, names[i % names.size()]) + "\" :mods " + mods[i % 4] +
                         (i % 3 == 0 ? " :when [:evaluating]" : "") + " :command :" + id + "}";
      (i < 40 ? layers.user : i < 80 ? layers.key_set : layers.plugins).push_back(binding(text));
    }
    layers.shipped = shipped_bindings("window");
    layers.remove = {*kelp::read_edn("{:command :tab/close}")};

    Ctx c;
    for (const char* fn : {"run-fn", "step-tab-fn", "close-popovers-fn"})
      c.set(fn, [](std::span<const kelp::Value>) { return kelp::Value(); });
    for (const char* p : {"find-bar-navigable?", "find-bar-focused?", "inspector-focused?", "evaluating?",
                          "breakpoint-paused?", "entry-focused?", "terminal-focused?"})
      c.set_thunk(p, [] { return kelp::Value::boolean(false); });
    Ctx source;
    source.set_thunk("focused?", [] { return kelp::Value::boolean(false); });
    c.set_sub("source-keys", source);
    ctx = std::make_shared<const Ctx>(std::move(c));
    live = live_bindings(layers, window_commands(), plugins.get());
  }

  HandlerOptions opts(const std::vector<Binding>& bindings) const {
    HandlerOptions o;
    o.bindings = &bindings;
    o.commands = &window_commands();
    o.plugin_commands = plugins;
    o.ctx = ctx;
    return o;
  }
};

// Ctrl+{ (Previous Tab): the 60th of the shipped window bindings.
const orrery::keymap::Key PRESS{*orrery::keymap::key_value("braceleft"), orrery::keymap::MASK_CTRL, std::nullopt};

void BM_KeyPressToCommandOverLiveBindings(benchmark::State& state) {
  Setup s;
  auto opts = s.opts(s.live);
  if (window_answer(PRESS, opts).code != 1) state.SkipWithError("the key did not run its command");
  for (auto _ : state) benchmark::DoNotOptimize(window_answer(PRESS, opts));
  state.counters["bindings"] = double(s.live.size());
}
BENCHMARK(BM_KeyPressToCommandOverLiveBindings)->Unit(benchmark::kMicrosecond);

// The same key with the layers laid out afresh at the press, as when keys.edn or a plugin has just changed.
void BM_KeyPressWithLayering(benchmark::State& state) {
  Setup s;
  for (auto _ : state) {
    auto live = live_bindings(s.layers, window_commands(), s.plugins.get());
    benchmark::DoNotOptimize(window_answer(PRESS, s.opts(live)));
  }
}
BENCHMARK(BM_KeyPressWithLayering)->Unit(benchmark::kMicrosecond);

}  // namespace
