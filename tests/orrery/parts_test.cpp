#include "orrery/parts.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"

namespace orrery::parts {
namespace {

using kelp::Value;
namespace cr = command_registry;

SpecCommand command(std::string id, std::string scope = "window", std::string call = "x-fn") {
  return {std::move(id), "Do it.", std::move(scope), std::move(call), {}, true};
}

keymap::Keymap keys(std::string_view edn) { return *keymap::read_keymap(edn); }

// The message of what f throws as an Error, or "" when it throws nothing.
template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

std::vector<const Table*> core_tables() {
  static const Table window = cr::core_window_commands().merged(cr::move_commands());
  return {&window, &cr::core_editor_commands(), &cr::core_console_commands()};
}

TEST(Parts, ShippedSpecsMergeWithTheCoreTables) {
  std::vector<std::string> ids;
  for (const auto& s : shipped_specs()) ids.push_back(s.id);
  EXPECT_EQ(ids,
            (std::vector<std::string>{
                "messages",    "disk-poll",       "layouts",   "worlds",       "time-form",   "processes", "prefs",
                "terminal",    "menus",           "trace",     "live-results", "locations",   "tests",     "debugger",
                "breakpoints", "command-palette", "file-tree", "plugins",      "change-sets", "reader",    "replay"}));
  EXPECT_NO_THROW(check_clashes(core_tables(), shipped_specs()));

  // Every part command lands in the window's table, runs its ctx function with its arguments, and a window
  // without that function says the command isn't there yet instead of naming a ctx key.
  size_t part_commands = 0;
  for (const auto& s : shipped_specs())
    for (const auto& c : s.commands) {
      ++part_commands;
      const cr::Command* merged = cr::window_commands().find(c.id);
      ASSERT_TRUE(merged) << c.id;
      EXPECT_EQ(merged->doc, c.doc) << c.id;
      EXPECT_EQ(merged->scope, Scope::window) << c.id;
      EXPECT_EQ(merged->palette, c.id != "palette/open") << c.id;
    }
  EXPECT_GT(part_commands, 80u);
  // What no part builds yet stays declared.
  for (const auto& c : cr::declared_commands().all()) EXPECT_TRUE(cr::window_commands().find(c.id)) << c.id;

  std::vector<std::string> calls;
  cr::Ctx ctx;
  ctx.set("locations-step-fn", [&](std::span<const Value> args) {
    calls.push_back("locations-step-fn " + kelp::pr_str(args[0]));
    return Value();
  });
  ctx.set("panel-focus-fn", [&](std::span<const Value> args) {
    calls.push_back("panel-focus-fn " + kelp::pr_str(args[0]));
    return Value();
  });
  const Table& window = cr::window_commands();
  EXPECT_EQ(window.find("locations/previous")->run(ctx, Value()), keymap::Outcome::handled);
  window.find("panel/frames")->run(ctx, Value());
  EXPECT_EQ(calls, (std::vector<std::string>{"locations-step-fn -1", "panel-focus-fn :debugger"}));
  try {
    window.find("debug/step")->run(ctx, Value());
    FAIL() << "ran without its function";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The command :debug/step isn't available in this window yet.");
  }

  // The parts' keys come after the keymap file's, in part order.
  std::vector<std::string> bound;
  for (const auto& b : bindings(shipped_specs(), "window")) bound.push_back(b.command);
  const std::vector<std::string> six = {"prefs/open", "terminal/show",  "debug/step-over",
                                        "debug/step", "debug/step-out", "debug/toggle-breakpoint"};
  EXPECT_EQ(bound, six);
  const auto& shipped = cr::shipped_bindings("window");
  ASSERT_GE(shipped.size(), six.size());
  for (size_t i = 0; i < six.size(); ++i) EXPECT_EQ(shipped[shipped.size() - six.size() + i].command, six[i]);
  EXPECT_TRUE(bindings(shipped_specs(), "editor").empty());

  // The palette filters and sorts by doc; these words keep the right command first.
  auto doc = [&](std::string_view id) { return window.find(id)->doc; };
  EXPECT_EQ(doc("world/restore").find("save"), std::string::npos);
  for (auto id : {"compare-form/disk", "compare-form/head", "compare-form/last-run"})
    EXPECT_EQ(doc(id).find("ompare"), std::string::npos) << id;
  EXPECT_EQ(doc("session/forget-last").find("replay"), std::string::npos);
  EXPECT_LT(doc("layout/forget"), doc("session/forget-last"));
}

TEST(Parts, ShapeAndClashMessages) {
  struct Case {
    std::string_view name;
    std::vector<Spec> specs;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"one id in two scopes",
       {{"a", {command("x/y")}, {}, {}}, {"b", {command("x/y", "editor")}, {}, {}}},
       "duplicate command :x/y: :a and :b"},
      {"a core id", {{"a", {command("run/run", "console")}, {}, {}}}, "duplicate command :run/run: :core and :a"},
      {"a panel without a label",
       {{"a", {}, {{"p", ""}}, {}}},
       "part :a: a panel needs a keyword :id and a string :label"},
      {"a panel without an id",
       {{"a", {}, {{"", "P"}}, {}}},
       "part :a: a panel needs a keyword :id and a string :label"},
      {"bindings for the console",
       {{"a", {}, {}, keys(R"({:console [{:key "F9" :command :run/run}]})")}},
       "part :a: :bindings scope must be :window or :editor, got :console"},
      {"an unknown scope",
       {{"a", {command("a/b", "palette")}, {}, {}}},
       "command :a/b of :a: :scope must be :window, :editor or :console"},
      {"no call",
       {{"a", {command("a/b", "window", "")}, {}, {}}},
       "command :a/b of :a: :call must be a non-empty vector"},
      {"all well",
       {{"a",
         {command("a/b"), command("a/c", "editor")},
         {{"p", "P"}},
         keys(R"({:window [{:key "F9" :command :a/b}] :editor []})")}},
       ""},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of([&] { check_clashes(core_tables(), c.specs); }), c.message) << c.name;

  // The merge itself refuses a second claim in its scope, and says whose.
  const std::vector<Spec> twice = {{"a", {command("x/y")}, {}, {}}, {"b", {command("x/y")}, {}, {}}};
  try {
    merge_commands(*core_tables()[0], twice, Scope::window);
    FAIL() << "merged a clash";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "duplicate command :x/y: :a and :b");
    EXPECT_EQ(kelp::pr_str(e.data), "{:command :x/y, :owners [:a :b]}");
  }
  // Only the commands of the scope asked for are merged.
  const std::vector<Spec> mixed = {{"a", {command("e/one", "editor"), command("w/one")}, {}, {}}};
  Table editor = merge_commands(cr::core_editor_commands(), mixed, Scope::editor);
  EXPECT_TRUE(editor.find("e/one"));
  EXPECT_FALSE(editor.find("w/one"));
  EXPECT_EQ(editor.all().size(), cr::core_editor_commands().all().size() + 1);
}

TEST(Parts, PanelMerge) {
  const std::vector<Panel> core = {{"inspector", "Inspector"}, {"source", "Source"}};
  auto labels = merge_panels(core, shipped_specs());
  ASSERT_EQ(labels.size(), 9u);
  EXPECT_EQ(labels[0], (Panel{"inspector", "Inspector"}));
  EXPECT_EQ(labels[2], (Panel{"messages", "Messages"}));
  EXPECT_EQ(labels[6], (Panel{"debugger", "Frames"}));
  EXPECT_EQ(labels.back(), (Panel{"reader", "Reader"}));

  struct Case {
    std::vector<Spec> specs;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{"a", {}, {{"history", "History"}}, {}}}, "duplicate panel :history: :core and :a"},
      {{{"a", {}, {{"review", "Review"}}, {}}}, "duplicate panel :review: :core and :a"},
      {{{"a", {}, {{"source", "Source"}}, {}}}, "duplicate panel :source: :core and :a"},
      {{{"a", {}, {{"p", "P"}}, {}}, {"b", {}, {{"p", "Q"}}, {}}}, "duplicate panel :p: :a and :b"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of([&] { merge_panels(core, c.specs); }), c.message);
}

// A record of what the installs and hooks did, and the errors reported.
struct Journal {
  std::vector<std::string> events;
  OnError on_error() {
    return [this](const std::string& part, const std::exception& e) {
      events.push_back("error " + part + ": " + e.what());
    };
  }
};

PanelFns panel_fns() {
  return {std::any(1), [] {}, [] {}};
}

TEST(Parts, InstallInOrderWithExportsForLaterParts) {
  Journal j;
  auto sees = [&j](std::string part) {
    return [&j, part](const Values& wctx) {
      std::string s = part + " sees";
      for (const auto& [k, v] : wctx) s += " " + k;
      j.events.push_back(s);
    };
  };
  const std::vector<Install> installs = {
      {"a",
       [&](const Values& w) {
         sees("a")(w);
         Contribution c;
         c.exports["a-out"] = std::string("from a");
         c.fns["a-fn"] = [](std::span<const Value>) { return Value::integer(1); };
         return c;
       }},
      {"b",
       [&](const Values& w) -> Contribution {
         sees("b")(w);
         throw std::runtime_error("b broke.");
       }},
      {"",
       [&](const Values& w) {
         sees("2")(w);
         j.events.push_back("2 reads " + std::any_cast<std::string>(w.at("a-out")));
         Contribution c;
         c.exports["c-out"] = 3;
         c.ui["c-widget"] = 4;
         return c;
       }},
      {"d",
       [&](const Values& w) {
         sees("d")(w);
         return Contribution{};
       }},
  };
  Values wctx = {{"root-dir", std::string("/p")}};
  Installed got = install(installs, wctx, j.on_error());
  EXPECT_EQ(j.events,
            (std::vector<std::string>{"a sees root-dir", "b sees a-out root-dir", "error b: b broke.",
                                      "2 sees a-out root-dir", "2 reads from a", "d sees a-out c-out root-dir"}));
  EXPECT_EQ(got.fns.size(), 1u);
  EXPECT_EQ(got.fns.at("a-fn")({}), Value::integer(1));
  EXPECT_EQ(got.exports.size(), 2u);
  EXPECT_EQ(got.owners.keys["exports"], (std::map<std::string, std::string>{{"a-out", "a"}, {"c-out", "2"}}));
  EXPECT_EQ(got.owners.keys["ui"], (std::map<std::string, std::string>{{"c-widget", "2"}}));
  EXPECT_FALSE(wctx.count("a-out"));  // the caller's context is left alone
}

TEST(Parts, InstallRefusals) {
  struct Case {
    std::string_view name;
    std::string part;
    Contribution contribution;
    bool with_specs;
    std::string error;
  };
  auto with = [](auto edit) {
    Contribution c;
    c.fns["bad-fn"] = [](std::span<const Value>) { return Value(); };
    edit(c);
    return c;
  };
  auto incomplete = panel_fns();
  incomplete.focus = nullptr;
  const std::vector<Case> cases = {
      {"an unknown hook", "a", with([](Contribution& c) { c.hooks["on-save"] = [](const HookArgs&) {}; }), true,
       "error a: part :a: unknown hook :on-save"},
      {"named by its index", "", with([](Contribution& c) { c.hooks["on-save"] = [](const HookArgs&) {}; }), true,
       "error 1: part 1: unknown hook :on-save"},
      {"a panel its spec lacks", "a", with([](Contribution& c) { c.panels["q"] = panel_fns(); }), true,
       "error a: part :a: panel :q is not declared in its spec"},
      {"any panel without specs", "a", with([](Contribution& c) { c.panels["p"] = panel_fns(); }), false,
       "error a: part :a: panel :p is not declared in its spec"},
      {"an incomplete panel", "a", with([&](Contribution& c) { c.panels["p"] = incomplete; }), true,
       "error a: part :a: panel :p needs a :root and :focus! and :open! fns"},
      {"a rootless panel", "a", with([](Contribution& c) {
         c.panels["p"] = {std::any(), [] {}, [] {}};
       }),
       true, "error a: part :a: panel :p needs a :root and :focus! and :open! fns"},
      {"an export the window has", "a", with([](Contribution& c) { c.exports["root-dir"] = 1; }), true,
       "error a: duplicate exports key :root-dir: :core and :a"},
  };
  const std::vector<Spec> specs = {{"a", {}, {{"p", "P"}}, {}}};
  for (const auto& c : cases) {
    Journal j;
    InstallOptions options;
    if (c.with_specs) options.specs = &specs;
    const std::vector<Install> installs = {
        {"first", [](const Values&) { return Contribution{}; }},
        {c.part, [&](const Values&) { return c.contribution; }},
        {"last",
         [](const Values&) {
           Contribution ok;
           ok.fns["last-fn"] = [](std::span<const Value>) { return Value(); };
           return ok;
         }},
    };
    Installed got = install(installs, {{"root-dir", 0}}, j.on_error(), options);
    EXPECT_EQ(j.events, std::vector<std::string>{c.error}) << c.name;
    EXPECT_EQ(got.fns.size(), 1u) << c.name;  // the refused part added nothing, the last one its function
    EXPECT_TRUE(got.fns.count("last-fn")) << c.name;
    EXPECT_TRUE(got.hooks.empty() && got.panels.empty() && got.exports.empty()) << c.name;
  }

  // A declared, complete panel is taken.
  Journal j;
  InstallOptions options{&specs};
  Installed got = install({{"a",
                            [](const Values&) {
                              Contribution c;
                              c.panels["p"] = panel_fns();
                              return c;
                            }}},
                          {}, j.on_error(), options);
  EXPECT_TRUE(j.events.empty());
  EXPECT_EQ(got.owners.keys["panels"], (std::map<std::string, std::string>{{"p", "a"}}));
}

TEST(Parts, ContributionsFoldStrictly) {
  struct Case {
    std::function<void(Contribution&)> add;
    std::string message;
  };
  const std::vector<Spec> specs = {{"a", {}, {{"p", "P"}}, {}}, {"b", {}, {{"p", "P"}}, {}}};
  const std::vector<Case> cases = {
      {[](Contribution& c) { c.fns["x-fn"] = [](std::span<const Value>) { return Value(); }; },
       "duplicate fns key :x-fn: :a and :b"},
      {[](Contribution& c) { c.ui["x"] = 1; }, "duplicate ui key :x: :a and :b"},
      {[](Contribution& c) { c.exports["x"] = 1; }, "duplicate exports key :x: :a and :b"},
      {[](Contribution& c) { c.panels["p"] = panel_fns(); }, "duplicate panels key :p: :a and :b"},
  };
  for (const auto& c : cases) {
    auto both = [&](const Values&) {
      Contribution out;
      c.add(out);
      return out;
    };
    Journal j;
    InstallOptions options{&specs};
    EXPECT_EQ(error_of([&] { install({{"a", both}, {"b", both}}, {}, j.on_error(), options); }), c.message);
    EXPECT_TRUE(j.events.empty());
  }
}

TEST(Parts, HooksRunInPartOrderPastAThrow) {
  Journal j;
  auto hooking = [&j](std::string part, bool throws = false) {
    return [&j, part, throws](const Values&) {
      Contribution c;
      c.hooks["on-tab-wired"] = [&j, part, throws](const HookArgs& args) {
        const auto* ctx = std::any_cast<const Values*>(args.at(0));
        j.events.push_back(part + " wired " + std::any_cast<std::string>(args.at(1)) + " in " +
                           std::any_cast<std::string>(ctx->at("name")));
        if (throws) throw std::runtime_error("no tab for " + part + ".");
      };
      c.hooks["on-quit"] = [&j, part](const HookArgs&) { j.events.push_back(part + " quits"); };
      return c;
    };
  };
  auto got = std::make_shared<const Installed>(
      install({{"a", hooking("a")}, {"b", hooking("b", true)}, {"c", hooking("c")}}, {}, j.on_error()));
  EXPECT_EQ(got->owners.hooks.at("on-tab-wired"), (std::vector<std::string>{"a", "b", "c"}));

  Values ctx = {{"name", std::string("w1")}, {"part-contribution", got}, {"part-error!", j.on_error()}};
  run_tab_hooks(ctx, "on-tab-wired", std::string("t1"));
  run_hooks(*got, "on-quit", {}, j.on_error());
  run_hooks(*got, "on-start", {}, j.on_error());                                      // no hooks of that kind
  run_tab_hooks({{"name", std::string("bare")}}, "on-tab-wired", std::string("t2"));  // no parts installed
  EXPECT_EQ(j.events, (std::vector<std::string>{"a wired t1 in w1", "b wired t1 in w1", "error b: no tab for b.",
                                                "c wired t1 in w1", "a quits", "b quits", "c quits"}));
}

TEST(Parts, MergeWithCore) {
  Journal j;
  Installed parts = install({{"a",
                              [](const Values&) {
                                Contribution c;
                                c.fns["trace-show-fn"] = [](std::span<const Value>) { return Value::integer(7); };
                                c.ui["tree"] = 1;
                                return c;
                              }}},
                            {}, j.on_error());
  cr::Ctx core;
  core.set("run-fn", [](std::span<const Value>) { return Value(); });
  cr::Ctx merged = merge_with_core(core, parts);
  EXPECT_TRUE(merged.has("run-fn"));
  EXPECT_EQ(merged.call("trace-show-fn"), Value::integer(7));
  EXPECT_EQ(merge_with_core("ui", {{"editor", 0}}, parts).size(), 2u);

  core.set("trace-show-fn", [](std::span<const Value>) { return Value(); });
  EXPECT_EQ(error_of([&] { merge_with_core(core, parts); }), "duplicate fns key :trace-show-fn: :core and :a");
  EXPECT_EQ(error_of([&] { merge_with_core("ui", {{"tree", 0}}, parts); }), "duplicate ui key :tree: :core and :a");
}

TEST(Parts, MissingCalls) {
  const std::vector<Spec> specs = {
      {"a", {command("a/one", "window", "one-fn"), command("a/two", "window", "two-fn")}, {}, {}},
      {"b",
       {command("b/one", "window", "one-fn"), command("b/ed", "editor", "ed-fn"),
        command("b/three", "window", "three-fn")},
       {},
       {}},
  };
  cr::Ctx ctx;
  ctx.set("two-fn", [](std::span<const Value>) { return Value(); });
  EXPECT_EQ(missing_calls(specs, Scope::window, ctx), (std::set<std::string>{"one-fn", "three-fn"}));
  EXPECT_EQ(missing_calls(specs, Scope::editor, ctx), (std::set<std::string>{"ed-fn"}));
}

}  // namespace
}  // namespace orrery::parts
