#include "orrery/keymap.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/command_registry.hpp"
#include "orrery/terminal_keys.hpp"

namespace orrery::keymap {
namespace {

constexpr uint32_t SHIFT_M = MASK_SHIFT, CTRL_M = MASK_CTRL, ALT_M = MASK_ALT, META_M = MASK_META,
                   SUPER_M = MASK_SUPER;
constexpr uint32_t LOCK_M = 1u << 1;  // Caps Lock's bit: no binding reads it

kelp::Value edn(std::string_view text) {
  auto r = kelp::read_edn(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? *r : kelp::Value();
}

Binding binding(std::string_view text) {
  auto b = to_binding(edn(text));
  EXPECT_TRUE(b.has_value()) << text;
  return b ? *b : Binding{};
}

std::vector<Binding> bindings(std::initializer_list<std::string_view> texts) {
  std::vector<Binding> out;
  for (auto t : texts) out.push_back(binding(t));
  return out;
}

uint32_t kv(std::string_view name) { return key_value(name).value(); }

TEST(Keymap, KeyNamesAndValues) {
  for (std::string_view name : {"a", "z", "0", "9", "equal", "plus", "minus", "braceright", "braceleft",
                                "bracketleft", "space", "slash", "semicolon", "period", "greater", "comma", "grave",
                                "Escape", "Return", "KP_Enter", "F1", "F2", "F3", "F5", "F6", "F7", "F8", "F9",
                                "F10", "F12", "Home", "Left", "Up", "Right", "Down", "End", "BackSpace", "Delete"}) {
    auto v = key_value(name);
    ASSERT_TRUE(v) << name;
    EXPECT_EQ(key_name(*v), std::string(name));
  }
  EXPECT_EQ(key_value("p"), 0x70u);
  EXPECT_EQ(key_value("F12"), 0xffc9u);
  EXPECT_EQ(key_value("Delete"), 0xffffu);
  for (std::string_view unknown : {"F4", "F11", "A", "P", "", "ab", "Tab", "escape"})
    EXPECT_FALSE(key_value(unknown)) << unknown;
  for (uint32_t unnamed : {0x41u, 0x21u, 0xffc1u, 0xffe1u, 0x1000u}) EXPECT_FALSE(key_name(unnamed)) << unnamed;

  for (std::string_view typing : {"a", "0", "space", "Return", "BackSpace", "Left", "F"})
    EXPECT_TRUE(is_typing_key(typing)) << typing;
  for (std::string_view not_typing : {"Escape", "F1", "F12", "F5"}) EXPECT_FALSE(is_typing_key(not_typing));
}

TEST(Keymap, ProblemSentences) {
  const std::set<std::string> commands = {"run/run", "a/b"};
  const std::set<std::string> conditions = {"evaluating"};
  struct Case {
    std::string_view binding;
    std::vector<std::string> problems;
  };
  const std::vector<Case> cases = {
      {R"({:key "F5" :command :run/run})", {}},
      {R"({:key "F11" :command :run/run})", {"names an unknown key (\"F11\")"}},
      {R"({:keys ["A" "F4" "a"] :command :run/run})", {"names an unknown key (\"A\" \"F4\")"}},
      {R"({:key :a :command :run/run})", {"names an unknown key (:a)"}},
      {R"({:keys "a" :command :run/run})", {":keys isn't a set of key names"}},
      {R"({:key "a" :mods :cmd :not 1 :command :run/run})", {":mods isn't a set", ":not isn't a set"}},
      {R"({:command :run/run})", {"has neither :key nor :keys"}},
      {R"({:key "a" :keys #{"b"} :command :run/run})", {"has both :key and :keys"}},
      {R"({:key "a" :mods #{:hyper :cmd} :not #{:hyper} :command :run/run})", {"names an unknown modifier (:hyper)"}},
      {R"({:key "a" :exact :shift :command :run/run})", {":exact isn't a set"}},
      {R"({:key "a" :exact #{:cmd} :command :run/run})", {":exact names (:cmd), only :shift :alt :ctrl :meta"}},
      {R"({:key "a" :exact #{:hyper} :command :run/run})", {"names an unknown modifier (:hyper)"}},
      {R"({:key "a" :mods #{:ctrl} :exact #{:shift :super} :command :run/run})",
       {":exact names (:super), only :shift :alt :ctrl :meta", "has :exact alongside :mods or :not"}},
      {R"({:key "a" :physical? "yes" :command :run/run})", {":physical? isn't true or false"}},
      {R"({:key "a" :command :run/run :outcome :handled})", {"has both :command and :outcome"}},
      {R"({:key "a"})", {"has neither :command nor :outcome"}},
      {R"({:key "a" :command :run/nope})", {"names an unregistered command :run/nope"}},
      {R"({:key "a" :command "run/run"})", {"names an unregistered command \"run/run\""}},
      {R"({:key "a" :outcome :done})", {"names an unknown outcome :done, not :handled or :to-gtk"}},
      {R"({:key "a" :when :evaluating :command :run/run})", {":when isn't a vector"}},
      {R"({:key "a" :when [:evaluating :focused :x] :command :run/run})",
       {"names an unregistered condition (:focused :x)"}},
      {R"({:key "a" :command :run/run :doc "Run."})", {"has unknown keys (:doc)"}},
      {R"({:key "a" :command :run/run :then []})", {":then isn't a vector of at least one chord"}},
      {R"({:key "a" :command :run/run :then {:key "b"}})", {":then isn't a vector of at least one chord"}},
      {R"({:key "a" :command :run/run :then [{:key "b"} 3]})", {":then holds something that isn't a chord map"}},
      {R"({:key "a" :outcome :handled :then [{:key "F4" :when [:x]} {:mods :shift}]})",
       {"has a :then and an :outcome; a key sequence runs a command", ":then chord 1 names an unknown key (\"F4\")",
        ":then chord 1 has unknown keys [:when]", ":then chord 2 :mods isn't a set",
        ":then chord 2 has neither :key nor :keys"}},
      // Problems of one binding come in a fixed order: shape, keys, modifiers, command, conditions, keys.
      {R"({:keys 1 :mods #{:hyper} :outcome :x :when [:y] :z 1})",
       {":keys isn't a set of key names", "names an unknown modifier (:hyper)",
        "names an unknown outcome :x, not :handled or :to-gtk", "names an unregistered condition (:y)",
        "has unknown keys (:z)"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> expected;
    for (const auto& p : c.problems) expected.push_back("binding 1 " + p);
    auto text = std::string("[{:key \"F5\" :command :a/b} ") + std::string(c.binding) + "]";
    EXPECT_EQ(problems(edn(text), commands, conditions), expected) << c.binding;
  }
  EXPECT_EQ(problems(edn("[[:key \"a\"]]"), commands), std::vector<std::string>{"binding 0 isn't a map"});
  // Without the set of conditions, none is registered.
  EXPECT_EQ(problems(edn(R"([{:key "a" :when [:evaluating] :command :run/run}])"), commands),
            std::vector<std::string>{"binding 0 names an unregistered condition (:evaluating)"});
}

TEST(Keymap, ModifiersAndPhysicalKeys) {
  struct Case {
    std::string_view binding;
    std::string_view key;
    uint32_t state;
    std::optional<std::string> physical;
    bool matches;
  };
  const std::vector<Case> cases = {
      // :cmd is Control or Meta.
      {R"({:key "s" :mods #{:cmd} :command :a/b})", "s", CTRL_M, {}, true},
      {R"({:key "s" :mods #{:cmd} :command :a/b})", "s", META_M, {}, true},
      {R"({:key "s" :mods #{:cmd} :command :a/b})", "s", ALT_M | SUPER_M, {}, false},
      {R"({:key "s" :mods #{:cmd} :command :a/b})", "o", CTRL_M, {}, false},
      // A modifier in neither set is ignored; Caps Lock's bit is never read, since the key value comes lowered.
      {R"({:key "s" :mods #{:cmd} :command :a/b})", "s", CTRL_M | SHIFT_M | LOCK_M, {}, true},
      {R"({:key "s" :mods #{:cmd} :not #{:shift} :command :a/b})", "s", CTRL_M | LOCK_M, {}, true},
      {R"({:key "s" :mods #{:cmd} :not #{:shift} :command :a/b})", "s", CTRL_M | SHIFT_M, {}, false},
      {R"({:key "s" :mods #{:ctrl} :not #{:meta} :command :a/b})", "s", CTRL_M | META_M, {}, false},
      {R"({:key "s" :not #{:cmd} :command :a/b})", "s", META_M, {}, false},
      // :exact: the four modifiers as given, :super and other bits ignored.
      {R"({:key "F8" :exact #{} :command :a/b})", "F8", 0, {}, true},
      {R"({:key "F8" :exact #{} :command :a/b})", "F8", SUPER_M | LOCK_M, {}, true},
      {R"({:key "F8" :exact #{} :command :a/b})", "F8", SHIFT_M, {}, false},
      {R"({:key "F8" :exact #{:shift} :command :a/b})", "F8", SHIFT_M, {}, true},
      {R"({:key "F8" :exact #{:shift} :command :a/b})", "F8", SHIFT_M | CTRL_M, {}, false},
      {R"({:key "F8" :exact #{:ctrl} :command :a/b})", "F8", META_M, {}, false},
      // :keys: any of them.
      {R"({:keys #{"equal" "plus"} :mods #{:cmd} :command :a/b})", "plus", CTRL_M, {}, true},
      {R"({:keys #{"equal" "plus"} :mods #{:cmd} :command :a/b})", "minus", CTRL_M, {}, false},
      // By the physical key: with :physical? true, or :alt among the modifiers asked for.
      {R"({:key "p" :mods #{:cmd :alt} :not #{:shift} :physical? true :command :a/b})", "period", META_M | ALT_M,
       "p", true},
      {R"({:key "p" :mods #{:cmd :alt} :not #{:shift} :physical? true :command :a/b})", "period", META_M, "p",
       false},
      {R"({:key "p" :mods #{:cmd :alt} :not #{:shift} :physical? true :command :a/b})", "period", META_M | ALT_M,
       "o", false},
      {R"({:key "f" :mods #{:cmd :alt} :command :a/b})", "period", META_M | ALT_M, "f", true},
      {R"({:key "f" :exact #{:alt :meta} :command :a/b})", "period", META_M | ALT_M, "f", true},
      {R"({:key "f" :exact #{:meta} :command :a/b})", "period", META_M, "f", false},
      {R"({:key "p" :mods #{:cmd :shift} :command :a/b})", "period", META_M | SHIFT_M, "p", false},
      {R"({:key "p" :mods #{:cmd} :physical? false :not #{:alt} :command :a/b})", "period", META_M, "p", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(matches(binding(c.binding), kv(c.key), c.state, {}, c.physical), c.matches)
        << c.binding << " on " << c.key << " state " << c.state;
}

TEST(Keymap, ConditionsAreAskedInOrderOnlyAfterKeyAndModifiers) {
  Binding b = binding(R"({:key "F3" :mods #{:shift} :when [:a :b :c] :command :x/y})");
  EXPECT_FALSE(matches(b, kv("F3"), SHIFT_M));  // without holds? nothing holds

  std::vector<std::string> asked;
  auto holds_but_b = [&](std::string_view id) { return asked.emplace_back(id), id != "b"; };
  EXPECT_FALSE(matches(b, kv("F3"), SHIFT_M, holds_but_b));
  EXPECT_EQ(asked, (std::vector<std::string>{"a", "b"}));

  asked.clear();
  EXPECT_FALSE(matches(b, kv("F3"), 0, holds_but_b));
  EXPECT_FALSE(matches(b, kv("F5"), SHIFT_M, holds_but_b));
  EXPECT_TRUE(asked.empty());

  auto all = [](std::string_view) { return true; };
  EXPECT_TRUE(matches(b, kv("F3"), SHIFT_M, all));
}

TEST(Keymap, DispatchFirstMatchWinsUntilAnAnswerEndsTheWalk) {
  const auto bs = bindings({
      R"({:key "F5" :when [:off] :command :a/skipped})",
      R"({:key "F5" :command :a/next})",
      R"({:key "F5" :command :a/nil})",
      R"({:key "F5" :then [{:key "x"}] :command :a/seq})",
      R"({:key "F5" :command :a/handled})",
      R"({:key "F5" :command :a/never})",
      R"({:key "F6" :outcome :to-gtk})",
      R"({:key "F6" :command :a/never})",
      R"({:key "F7" :command :a/next})",
  });
  std::vector<std::string> ran;
  DispatchOptions opts;
  opts.holds = [](std::string_view id) { return id != "off"; };
  opts.run = [&](const Binding& b) {
    ran.push_back(b.command);
    if (b.command == "a/next") return Outcome::next;
    if (b.command == "a/handled") return Outcome::handled;
    return Outcome::nil;
  };
  EXPECT_EQ(dispatch(bs, kv("F5"), 0, opts), Outcome::handled);
  // A caller that knows nothing of sequences never starts one.
  EXPECT_EQ(ran, (std::vector<std::string>{"a/next", "a/nil", "a/handled"}));

  ran.clear();
  EXPECT_EQ(dispatch(bs, kv("F6"), 0, opts), Outcome::to_gtk);
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(dispatch(bs, kv("F7"), 0, opts), Outcome::unmatched);
  EXPECT_EQ(dispatch(bs, kv("F8"), 0, opts), Outcome::unmatched);
  EXPECT_EQ(dispatch(bs, kv("F7"), 0, DispatchOptions{}), Outcome::unmatched);  // no run: nil

  ran.clear();
  std::vector<std::string> started;
  opts.start_seq = [&](const Binding& b) { return started.push_back(b.command), Outcome::handled; };
  EXPECT_EQ(dispatch(bs, kv("F5"), 0, opts), Outcome::handled);
  EXPECT_EQ(ran, (std::vector<std::string>{"a/next", "a/nil"}));
  EXPECT_EQ(started, std::vector<std::string>{"a/seq"});

  EXPECT_EQ(resolve_binding(bs, kv("F5"), 0)->command, "a/next");
  EXPECT_EQ(resolve_binding(bs, kv("F8"), 0), nullptr);
}

TEST(Keymap, UnreachableBindings) {
  struct Case {
    std::vector<std::string_view> scope;
    std::vector<size_t> unreachable;
  };
  const std::vector<Case> cases = {
      // A :cmd binding an earlier Control-only one shadows, although it still fires on Meta.
      {{R"({:key "k" :mods #{:ctrl} :command :a/ctrl})", R"({:key "k" :mods #{:cmd} :command :a/cmd})"}, {1}},
      {{R"({:key "k" :mods #{:meta} :command :a/meta})", R"({:key "k" :mods #{:cmd} :command :a/cmd})"}, {1}},
      // A Shift form ahead of the plain one leaves both reachable; the other way round the Shift form is lost.
      {{R"({:key "t" :mods #{:cmd :shift} :command :a/test})", R"({:key "t" :mods #{:cmd} :command :a/new})"}, {}},
      {{R"({:key "t" :mods #{:cmd} :command :a/new})", R"({:key "t" :mods #{:cmd :shift} :command :a/test})"}, {1}},
      {{R"({:key "t" :mods #{:cmd} :not #{:shift} :command :a/new})",
        R"({:key "t" :mods #{:cmd :shift} :command :a/test})"},
       {}},
      // The same command (and args) answering first is no shadow; other args are.
      {{R"({:key "k" :mods #{:ctrl} :command :a/same})", R"({:key "k" :mods #{:cmd} :command :a/same})"}, {}},
      {{R"({:key "1" :mods #{:ctrl} :command :tab/select :args {:n 1}})",
        R"({:key "1" :mods #{:cmd} :command :tab/select :args {:n 2}})"},
       {1}},
      // Conditions are taken as holding.
      {{R"({:key "F3" :when [:x] :command :a/one})", R"({:key "F3" :command :a/two})"}, {1}},
      // :exact states; :super is not among them.
      {{R"({:key "F8" :exact #{} :command :a/one})", R"({:key "F8" :exact #{:shift} :command :a/two})"}, {}},
      {{R"({:key "F8" :command :a/any})", R"({:key "F8" :exact #{:shift} :command :a/two})"}, {1}},
      // Two sequences may share their first chord; a plain binding ahead of a sequence hides it.
      {{R"({:key "k" :mods #{:ctrl} :then [{:key "a"}] :command :a/one})",
        R"({:key "k" :mods #{:ctrl} :then [{:key "b"}] :command :a/two})"},
       {}},
      {{R"({:key "k" :mods #{:ctrl} :command :a/one})",
        R"({:key "k" :mods #{:ctrl} :then [{:key "b"}] :command :a/two})"},
       {1}},
      // Any one key of :keys being shadowed is enough.
      {{R"({:key "plus" :mods #{:cmd} :command :a/plus})",
        R"({:keys #{"equal" "plus"} :mods #{:cmd} :command :a/zoom})"},
       {1}},
  };
  for (const auto& c : cases) {
    std::vector<Binding> scope;
    for (auto t : c.scope) scope.push_back(binding(t));
    EXPECT_EQ(unreachable_bindings(scope, scope), c.unreachable) << c.scope.back();
  }
  // A binding that is not in the scope at all fires only if the scope's first match does the same.
  auto scope = bindings({R"({:key "k" :mods #{:cmd} :command :a/cmd})"});
  auto mine = bindings({R"({:key "k" :mods #{:cmd} :command :a/cmd})", R"({:key "j" :mods #{:cmd} :command :a/j})"});
  EXPECT_EQ(unreachable_bindings(mine, scope), std::vector<size_t>{1});
}

TEST(Keymap, ReadKeymapRefusesInvalidBindings) {
  std::string error;
  EXPECT_FALSE(read_keymap("{:window [{:key \"F4\" :command :a/b}]}", &error));
  EXPECT_EQ(error, "The keymap's :window binding 0 isn't valid: names an unknown key (\"F4\").");
  EXPECT_FALSE(read_keymap("{:window {}}", &error));
  EXPECT_FALSE(read_keymap("[]", &error));
  EXPECT_FALSE(read_keymap("{:window [", &error));
  auto km = read_keymap("{:editor [{:key \"F2\" :exact #{} :command :edit/rename}]}");
  ASSERT_TRUE(km);
  EXPECT_EQ(km->at("editor").at(0).command, "edit/rename");
}

// --- The shipped keymap

struct Shipped : testing::Test {
  const std::vector<Binding>& window = shipped().at("window");
  const std::vector<Binding>& editor = shipped().at("editor");

  // The command the window's keymap would run for a key, with the conditions that hold.
  std::string fired(const std::vector<Binding>& scope, std::string_view key, uint32_t state,
                    std::set<std::string> holding = {}, std::optional<std::string> physical = {},
                    std::set<std::string> answering_next = {}) {
    std::string out;
    DispatchOptions opts;
    opts.holds = [&](std::string_view id) { return holding.count(std::string(id)) > 0; };
    opts.physical = std::move(physical);
    opts.run = [&](const Binding& b) {
      if (answering_next.count(b.command)) return Outcome::next;
      out = b.command;
      if (b.args.obj()) out += " " + std::to_string(kelp::get(b.args, kelp::keyword("n"))->as_int());
      return Outcome::handled;
    };
    Outcome o = dispatch(scope, kv(key), state, opts);
    return o == Outcome::handled ? out : std::string(outcome_name(o));
  }
};

TEST_F(Shipped, HasExactlyTheTwoScopesAndNoProblems) {
  EXPECT_EQ(shipped().size(), 2u);
  EXPECT_EQ(window.size(), 62u);
  EXPECT_EQ(editor.size(), 12u);
  const auto window_ids = command_registry::window_commands().ids();
  const auto editor_ids = command_registry::editor_commands().ids();
  auto text = kelp::read_edn(shipped_text());
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(problems(*kelp::get(*text, kelp::keyword("window")), window_ids,
                     command_registry::condition_ids(command_registry::window_conditions())),
            std::vector<std::string>{});
  EXPECT_EQ(problems(*kelp::get(*text, kelp::keyword("editor")), editor_ids,
                     command_registry::condition_ids(command_registry::editor_conditions())),
            std::vector<std::string>{});
  EXPECT_EQ(window.front().command, "run/run");
  EXPECT_EQ(window.back().command, "source/jump-back");
  EXPECT_EQ(editor.front().command, "run/form");
  EXPECT_EQ(editor.back().command, "edit/rename");
}

TEST_F(Shipped, WindowKeys) {
  struct Case {
    std::string_view key;
    uint32_t state;
    std::set<std::string> holding;
    std::string fires;
  };
  const std::vector<Case> cases = {
      {"F5", 0, {}, "run/run"},
      {"F5", CTRL_M | SHIFT_M | ALT_M, {"evaluating"}, "run/run"},
      // The Escape chain.
      {"Escape", 0, {"find-bar-focused", "evaluating"}, "find/bar-key"},
      {"Escape", 0, {"evaluating"}, "popover/close-all"},
      {"Escape", SHIFT_M, {}, "popover/close-all"},
      {"F3", SHIFT_M, {"find-bar-navigable"}, "find/previous"},
      {"F3", 0, {"find-bar-navigable"}, "find/next"},
      {"F3", 0, {}, "unmatched"},
      {"g", META_M | SHIFT_M, {"find-bar-navigable"}, "find/previous"},
      {"F6", 0, {}, "focus/toggle"},
      {"F6", SHIFT_M, {}, "unmatched"},
      {"F8", SUPER_M, {}, "locations/next"},
      {"F8", SHIFT_M, {}, "locations/previous"},
      {"F8", CTRL_M, {}, "unmatched"},
      {"greater", CTRL_M | SHIFT_M, {}, "locations/previous"},
      {"o", CTRL_M | SHIFT_M, {}, "file/open"},
      {"o", CTRL_M | SHIFT_M, {"source-focused"}, "source/open-here"},
      // Caps Lock: the key value arrives lowered and no Shift bit is set, so Save stays Save.
      {"s", CTRL_M | LOCK_M, {}, "file/save"},
      {"s", CTRL_M | SHIFT_M, {}, "file/save-as"},
      {"s", CTRL_M | ALT_M, {}, "unmatched"},
      {"e", CTRL_M | SHIFT_M, {}, "tree/toggle"},
      {"e", CTRL_M, {}, "run/selection"},
      {"l", CTRL_M | ALT_M, {}, "unmatched"},
      {"f", CTRL_M, {}, "find/open"},
      {"f", CTRL_M | SHIFT_M, {}, "unmatched"},
      {"equal", META_M, {}, "view/zoom-in"},
      {"plus", CTRL_M | SHIFT_M, {}, "view/zoom-in"},
      {"0", CTRL_M, {}, "view/zoom-reset"},
      // Cmd+Alt+digit focuses a panel, never a tab; Cmd+digit selects the tab.
      {"1", CTRL_M | ALT_M, {}, "panel/inspector"},
      {"8", META_M | ALT_M, {}, "panel/processes"},
      {"9", CTRL_M | ALT_M, {}, "pages/show"},
      {"1", CTRL_M | ALT_M | SHIFT_M, {}, "tab/select 1"},
      {"1", CTRL_M, {}, "tab/select 1"},
      {"5", META_M, {}, "tab/select 5"},
      {"9", CTRL_M, {}, "tab/select 9"},
      {"t", CTRL_M | SHIFT_M, {}, "test/run-file"},
      {"t", CTRL_M, {}, "tab/new"},
      {"p", CTRL_M | SHIFT_M, {}, "palette/open"},
      {"p", CTRL_M | ALT_M, {}, "parinfer/next-mode"},
      {"braceright", CTRL_M | SHIFT_M, {}, "tab/next"},
      {"bracketleft", CTRL_M, {"source-focused"}, "source/back"},
      {"bracketleft", CTRL_M, {}, "source/jump-back"},
      {"F12", 0, {}, "unmatched"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(fired(window, c.key, c.state, c.holding), c.fires) << c.key << " state " << c.state;

  // Escape walks on while a step finds nothing to do, and ends as GTK's.
  const std::set<std::string> nothing_open = {"popover/close-all"};
  EXPECT_EQ(fired(window, "Escape", 0, {"inspector-focused", "evaluating"}, {}, nothing_open), "inspector/close");
  EXPECT_EQ(fired(window, "Escape", 0, {"tree-focused", "tree-menu-open"}, {}, nothing_open), "tree/close-menu");
  EXPECT_EQ(fired(window, "Escape", 0, {"tree-focused"}, {}, nothing_open), "tree/leave");
  EXPECT_EQ(fired(window, "Escape", 0, {"evaluating"}, {}, nothing_open), "run/stop");
  EXPECT_EQ(fired(window, "Escape", 0, {}, {}, nothing_open), "to-gtk");
  EXPECT_EQ(fired(window, "bracketleft", CTRL_M, {}, {}, {"source/jump-back"}), "unmatched");
}

TEST_F(Shipped, OptionKeysMatchByPhysicalNameOnly) {
  // On macOS Cmd+Option+P arrives as another character ("π" has no name here; "period" stands in).
  EXPECT_EQ(fired(window, "period", META_M | ALT_M, {}, "p"), "parinfer/next-mode");
  EXPECT_EQ(fired(window, "period", META_M | ALT_M, {}, "1"), "panel/inspector");
  EXPECT_EQ(fired(window, "period", META_M, {}, "p"), "locations/next");  // Cmd+P: its own key value
  EXPECT_EQ(fired(window, "minus", META_M, {}, "p"), "view/zoom-out");
  EXPECT_EQ(fired(window, "k", META_M | SHIFT_M, {}, "t"), "unmatched");  // Cmd+Shift+T names no :alt
  EXPECT_EQ(fired(editor, "period", META_M | ALT_M, {}, "l"), "edit/format-selection");
}

TEST_F(Shipped, EditorKeys) {
  struct Case {
    std::string_view key;
    uint32_t state;
    std::set<std::string> holding;
    std::string fires;
  };
  const std::vector<Case> cases = {
      {"Return", CTRL_M, {}, "run/form"},
      {"KP_Enter", META_M | SHIFT_M, {}, "run/form"},
      {"Return", 0, {}, "unmatched"},
      {"space", CTRL_M, {}, "completion/open"},
      {"space", META_M, {}, "unmatched"},
      {"semicolon", META_M, {}, "edit/toggle-comment"},
      {"f", CTRL_M | SHIFT_M, {}, "edit/format-all"},
      {"l", CTRL_M | ALT_M, {}, "edit/format-selection"},
      {"y", CTRL_M, {"writable"}, "edit/redo"},
      {"y", CTRL_M, {}, "unmatched"},
      {"F1", SHIFT_M, {}, "help/quick-doc"},
      {"F12", 0, {}, "help/jump"},
      {"b", CTRL_M, {}, "help/jump"},
      {"F6", SHIFT_M, {}, "edit/rename"},
      {"F2", SHIFT_M, {}, "unmatched"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(fired(editor, c.key, c.state, c.holding), c.fires) << c.key << " state " << c.state;
}

TEST(TerminalKeys, WhichKeysStayOrrerys) {
  struct Case {
    std::string_view os;
    std::string_view key;
    uint32_t state;
    std::optional<std::string> physical;
    bool orrerys;
    std::optional<terminal_keys::ClipboardAction> clipboard;
  };
  using enum terminal_keys::ClipboardAction;
  const std::string_view mac = "Mac OS X", linux = "Linux";
  const std::vector<Case> cases = {
      {linux, "F6", 0, {}, true, {}},
      {linux, "F6", SHIFT_M, {}, true, {}},
      {linux, "grave", CTRL_M, {}, true, {}},
      {linux, "grave", 0, {}, false, {}},
      {linux, "3", CTRL_M | ALT_M, {}, true, {}},
      {mac, "period", META_M | ALT_M, "3", true, {}},
      {linux, "3", CTRL_M, {}, false, {}},
      {linux, "w", CTRL_M, {}, false, {}},
      {linux, "c", CTRL_M, {}, false, {}},
      {linux, "c", CTRL_M | SHIFT_M, {}, true, copy},
      {linux, "v", CTRL_M | SHIFT_M, {}, true, paste},
      {linux, "p", CTRL_M | SHIFT_M, {}, true, {}},
      {linux, "c", META_M, {}, false, {}},
      {mac, "w", META_M, {}, true, {}},
      {mac, "c", META_M, {}, true, copy},
      {mac, "v", META_M, {}, true, paste},
      {mac, "c", CTRL_M, {}, false, {}},
      {mac, "c", CTRL_M | SHIFT_M, {}, false, {}},
      {mac, "a", 0, {}, false, {}},
  };
  for (const auto& c : cases) {
    Key key{kv(c.key), c.state, c.physical};
    EXPECT_EQ(terminal_keys::is_orrerys(key, c.os), c.orrerys) << c.os << " " << c.key << " " << c.state;
    EXPECT_EQ(terminal_keys::clipboard_action(key, c.os), c.clipboard) << c.os << " " << c.key << " " << c.state;
  }
}

}  // namespace
}  // namespace orrery::keymap
