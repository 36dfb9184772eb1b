#include "orrery/command_registry.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace orrery::command_registry {
namespace {

using kelp::Value;
using keymap::MASK_ALT;
using keymap::MASK_CTRL;
using keymap::MASK_META;
using keymap::MASK_SHIFT;

Key key(std::string_view name, uint32_t state = 0) { return {*keymap::key_value(name), state, std::nullopt}; }

Binding binding(std::string_view text) {
  auto b = keymap::to_binding(*kelp::read_edn(text));
  EXPECT_TRUE(b) << text;
  return *b;
}

// A recording of what the key handler's functions were asked to do.
struct Log {
  std::vector<std::string> calls;
  Ctx::Fn rec(std::string name, Value answer = Value()) {
    return [this, name, answer](std::span<const Value> args) {
      std::string s = name;
      for (const auto& a : args) s += " " + kelp::pr_str(a);
      calls.push_back(s);
      return answer;
    };
  }
};

// The window's side of a key: its flags, and the ctx its key handler would build from them.
struct FakeWindow : Log {
  std::set<std::string> holding;  // the ctx predicates that answer true ("evaluating?")
  bool popover_open = false;
  bool bar_passes = false;
  bool has_tree = true;

  std::shared_ptr<const Ctx> ctx() {
    Ctx c;
    for (const char* fn : {"run-fn", "open-fn", "save-as-fn", "save-fn", "close-fn", "run-selection-fn",
                           "clear-last-fn", "clear-console-fn", "open-find-fn", "open-replace-fn", "zoom-fn",
                           "digit-tab-fn", "new-tab-fn", "tab-back-fn", "panel-focus-fn", "theme-cycle-fn",
                           "inspect-form-fn", "inspect-last-fn", "step-tab-fn", "find-next!", "find-prev!",
                           "toggle-focus-fn", "parinfer-fn", "close-inspector-fn", "stop-fn", "move-part-fn"})
      c.set(fn, rec(fn));
    for (const char* p : {"find-bar-navigable?", "find-bar-focused?", "inspector-focused?", "evaluating?",
                          "breakpoint-paused?", "entry-focused?", "terminal-focused?"})
      c.set_thunk(p, [this, p] { return Value::boolean(holding.count(p) > 0); });
    c.set_thunk("close-popovers-fn", [this] {
      calls.push_back("close-popovers-fn");
      return Value::boolean(std::exchange(popover_open, false));
    });
    c.set_thunk("find-bar-key!", [this] {
      calls.push_back("find-bar-key!");
      return bar_passes ? kelp::keyword("to-gtk") : Value();
    });
    Ctx source;
    source.set_thunk("focused?", [this] { return Value::boolean(holding.count("source-focused?") > 0); });
    source.set("close!", rec("source close!")).set("back!", rec("source back!")).set("open!", rec("source open!"));
    source.set("jump-back!", rec("source jump-back!", Value::boolean(false)));
    c.set_sub("source-keys", source);
    if (has_tree) {
      Ctx tree;
      tree.set_thunk("focused?", [this] { return Value::boolean(holding.count("tree-focused?") > 0); });
      tree.set_thunk("menu-open?", [this] { return Value::boolean(holding.count("tree-menu-open?") > 0); });
      tree.set("leave!", rec("tree leave!")).set("close-menu!", rec("tree close-menu!"));
      c.set_sub("tree-keys", tree);
    }
    return std::make_shared<const Ctx>(std::move(c));
  }
};

struct Registry : testing::Test {
  void SetUp() override { key_seq::cancel(); }
  void TearDown() override { key_seq::cancel(); }

  Answer window_key(FakeWindow& w, const Key& k, const std::vector<Binding>& bindings = shipped_bindings("window"),
                    std::string_view os = "Linux", std::shared_ptr<const Table> plugins = nullptr) {
    HandlerOptions opts;
    opts.bindings = &bindings;
    opts.commands = &window_commands();
    opts.plugin_commands = std::move(plugins);
    opts.ctx = w.ctx();
    opts.os = os;
    return window_answer(k, opts);
  }
};

TEST_F(Registry, WindowAnswers) {
  struct Case {
    std::string_view name;
    FakeWindow window;
    Key key;
    Answer answer;
    std::vector<std::string> calls;
    std::string_view os = "Linux";
  };
  auto w = [](std::set<std::string> holding, bool popover = false) {
    FakeWindow f;
    f.holding = std::move(holding);
    f.popover_open = popover;
    return f;
  };
  FakeWindow treeless = w({"tree-focused?"});
  treeless.has_tree = false;
  FakeWindow bar_passes = w({"find-bar-focused?"});
  bar_passes.bar_passes = true;
  std::vector<Case> cases = {
      {"F5 runs", w({}), key("F5"), {1, ""}, {"run-fn"}},
      {"Cmd+R in the rename entry types nothing", w({"entry-focused?"}), key("r", MASK_CTRL), {0, ""}, {}},
      {"Escape still closes the entry's popover", w({"entry-focused?"}, true), key("Escape"), {1, ""},
       {"close-popovers-fn"}},
      {"Escape closes a popover, not the evaluation", w({"evaluating?"}, true), key("Escape"), {1, ""},
       {"close-popovers-fn"}},
      {"Escape with nothing open stops the evaluation", w({"evaluating?"}), key("Escape"), {1, ""},
       {"close-popovers-fn", "stop-fn"}},
      {"bare Escape is GTK's", w({}), key("Escape"), {0, ""}, {"close-popovers-fn"}},
      {"the find bar takes Escape", w({"find-bar-focused?"}), key("Escape"), {1, ""}, {"find-bar-key!"}},
      {"the find bar passes Escape while composing", bar_passes, key("Escape"), {0, ""}, {"find-bar-key!"}},
      {"no file tree: its Escape steps never fire", treeless, key("Escape"), {0, ""}, {"close-popovers-fn"}},
      {"the tree's menu closes first", w({"tree-focused?", "tree-menu-open?"}), key("Escape"), {1, ""},
       {"close-popovers-fn", "tree close-menu!"}},
      {"Cmd+[ with no jump to go back from passes", w({}), key("bracketleft", MASK_CTRL), {0, ""},
       {"source jump-back!"}},
      {"Cmd+[ in the source panel steps back", w({"source-focused?"}), key("bracketleft", MASK_META), {1, ""},
       {"source back!"}},
      {"Cmd+3 selects tab 3", w({}), key("3", MASK_CTRL), {1, ""}, {"digit-tab-fn 3"}},
      {"zoom in", w({}), key("plus", MASK_CTRL | MASK_SHIFT), {1, ""}, {"zoom-fn :in"}},
      {"previous tab", w({}), key("braceleft", MASK_META | MASK_SHIFT), {1, ""}, {"step-tab-fn -1"}},
      {"a part's panel key focuses its panel", w({}), key("3", MASK_CTRL | MASK_ALT), {1, ""},
       {"panel-focus-fn :locations"}},
      {"Ctrl+W in the terminal is the terminal's", w({"terminal-focused?"}), key("w", MASK_CTRL), {0, ""}, {}},
      {"Cmd+W in the terminal on macOS closes the tab", w({"terminal-focused?"}), key("w", MASK_META), {1, ""},
       {"close-fn"}, "Mac OS X"},
      {"F6 leaves the terminal", w({"terminal-focused?"}), key("F6"), {1, ""}, {"toggle-focus-fn"}},
      {"a part's binding, appended", w({}), key("F9"),
       {1, "The command :debug/toggle-breakpoint isn't available in this window yet."}, {}},
      {"an unbound key is GTK's", w({}), key("k", MASK_CTRL), {0, ""}, {}},
  };
  for (auto& c : cases) {
    EXPECT_EQ(window_key(c.window, c.key, shipped_bindings("window"), c.os), c.answer) << c.name;
    EXPECT_EQ(c.window.calls, c.calls) << c.name;
  }
}

TEST_F(Registry, AFailingCommandOrConditionUsesTheKeyAndSaysWhy) {
  FakeWindow w;
  const std::vector<Binding> bs = {binding(R"({:key "F5" :command :run/run})"),
                                   binding(R"({:key "F6" :when [:evaluating] :command :run/run})")};
  HandlerOptions opts;
  opts.bindings = &bs;
  opts.commands = &window_commands();
  auto ctx = std::make_shared<Ctx>(*w.ctx());
  ctx->set("run-fn", [](std::span<const Value>) -> Value { throw std::runtime_error("The run broke."); });
  opts.ctx = ctx;
  EXPECT_EQ(window_answer(key("F5"), opts), (Answer{1, "The run broke."}));

  opts.ctx = std::make_shared<const Ctx>();  // a ctx without the window's functions
  EXPECT_EQ(window_answer(key("F6"), opts), (Answer{1, "The key handler gave no :entry-focused? function."}));
}

TEST_F(Registry, LayersWinInOrder) {
  auto plugins = std::make_shared<Table>();
  plugins->add({"plug/hello", "Say hello.", Scope::window, call("run-fn", {kelp::keyword("hello")}), true, false,
                "hello"});
  Layers layers;
  layers.user = {binding(R"({:key "F5" :command :tab/new})")};
  layers.key_set = {binding(R"({:key "F5" :command :file/save})"), binding(R"({:key "F2" :command :file/save})")};
  layers.plugins = {binding(R"({:key "r" :mods #{:cmd} :command :plug/hello})"),
                    binding(R"({:key "o" :mods #{:cmd} :command :plug/gone})"),
                    binding(R"({:key "F2" :command :run/stop})")};
  layers.shipped = shipped_bindings("window");
  // Your :remove names a binding by its chord and command, in any layer under yours; the key set's names shipped
  // bindings only.
  layers.remove = {*kelp::read_edn(R"({:key "w" :mods #{:cmd} :command :tab/close})"),
                   *kelp::read_edn(R"({:key "t" :mods #{:cmd} :not #{:alt} :command :tab/new})"),
                   *kelp::read_edn(R"({:key "F2" :command :file/save})"),
                   *kelp::read_edn(R"({:key "t" :mods #{:cmd} :command :tab/new})")};  // not :not #{:alt}: no match
  layers.key_set_remove = {*kelp::read_edn(R"({:key "o" :mods #{:cmd} :command :file/open})"),
                           *kelp::read_edn(R"({:key "F5" :command :tab/new})")};  // yours, not shipped: kept
  const auto live = live_bindings(layers, window_commands(), plugins.get());
  // Left out: the key set's F2, the plugin binding whose command is gone, the shipped Cmd+W, New Tab and Open.
  EXPECT_EQ(live.size(), 1 + 1 + 2 + shipped_bindings("window").size() - 3);

  struct Case {
    Key key;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {key("F5"), {"new-tab-fn"}},
      {key("F2"), {"stop-fn"}},  // the key set's F2 is removed, so the plugin's runs
      {key("r", MASK_CTRL), {"run-fn :hello"}},
      {key("o", MASK_CTRL), {}},
      {key("w", MASK_CTRL), {}},
      {key("t", MASK_CTRL), {}},
  };
  for (const auto& c : cases) {
    FakeWindow w;
    window_key(w, c.key, live, "Linux", plugins);
    EXPECT_EQ(w.calls, c.calls) << c.key.keyval;
  }
}

TEST_F(Registry, ASequenceRunsWithTheHandlerThatStartedIt) {
  const std::vector<Binding> bs = {binding(R"({:key "k" :mods #{:ctrl} :then [{:key "s"}] :command :file/save})"),
                                   binding(R"({:key "s" :command :run/run})")};
  FakeWindow first;
  EXPECT_EQ(window_key(first, key("k", MASK_CTRL), bs), (Answer{1, ""}));
  EXPECT_TRUE(key_seq::pending());
  FakeWindow second;
  EXPECT_EQ(window_key(second, key("s"), bs), (Answer{1, ""}));
  EXPECT_EQ(first.calls, std::vector<std::string>{"save-fn"});
  EXPECT_TRUE(second.calls.empty());
  EXPECT_FALSE(key_seq::pending());
  EXPECT_EQ(window_key(second, key("s"), bs), (Answer{1, ""}));
  EXPECT_EQ(second.calls, std::vector<std::string>{"run-fn"});
}

struct FakeEditor : Log {
  bool preedit = false, popup_takes = false, writable = true;
  int redo = 1;

  std::shared_ptr<const Ctx> ctx() {
    Ctx c;
    c.set_thunk("preedit-active?", [this] { return Value::boolean(preedit); });
    c.set_thunk("writable?", [this] { return Value::boolean(writable); });
    c.set("popup-key!", rec("popup-key!", Value::integer(popup_takes ? 1 : 0)));
    c.set("typing-key!", rec("typing-key!", Value::integer(1)));
    c.set("redo!", rec("redo!", Value::integer(redo)));
    for (const char* fn : {"complete!", "toggle-comment!", "format-all!", "format-selection!", "quick-doc!",
                           "jump!", "rename!", "run-form!", "indent!", "unindent!", "paredit!"})
      c.set(fn, rec(fn, Value::integer(0)));
    return std::make_shared<const Ctx>(std::move(c));
  }
};

TEST_F(Registry, EditorAnswers) {
  struct Case {
    std::string_view name;
    FakeEditor editor;
    Key key;
    Answer answer;
    std::vector<std::string> calls;
  };
  auto e = [](auto&& setup) {
    FakeEditor f;
    setup(f);
    return f;
  };
  auto plain = e([](FakeEditor&) {});
  const std::vector<Case> cases = {
      {"an input method composing owns every key", e([](FakeEditor& f) { f.preedit = f.popup_takes = true; }),
       key("Return", MASK_CTRL), {0, ""}, {}},
      {"an open popup looks first", e([](FakeEditor& f) { f.popup_takes = true; }), key("Return"), {1, ""},
       {"popup-key!"}},
      {"Run Form is always used up", plain, key("Return", MASK_CTRL), {1, ""}, {"popup-key!", "run-form!"}},
      {"an edit that changes nothing is GTK's", plain, key("slash", MASK_CTRL), {0, ""},
       {"popup-key!", "toggle-comment!"}},
      {"redo", plain, key("y", MASK_CTRL), {1, ""}, {"popup-key!", "redo!"}},
      {"nothing to redo: GTK's", e([](FakeEditor& f) { f.redo = 0; }), key("y", MASK_CTRL), {0, ""},
       {"popup-key!", "redo!"}},
      {"read-only: no redo, so the typing stage answers", e([](FakeEditor& f) { f.writable = false; }),
       key("y", MASK_CTRL), {1, ""}, {"popup-key!", "typing-key!"}},
      {"Control+Space is used up", plain, key("space", MASK_CTRL), {1, ""}, {"popup-key!", "complete!"}},
      {"typing", plain, key("a"), {1, ""}, {"popup-key!", "typing-key!"}},
      {"a structural edit runs its operation by name and is always used up", plain, key("F2", MASK_ALT), {1, ""},
       {"popup-key!", "paredit! \"raise\""}},
  };
  const std::vector<Binding> bindings = [] {
    auto bs = shipped_bindings("editor");
    bs.push_back(binding(R"({:key "F2" :mods #{:alt} :command :paredit/raise})"));
    return bs;
  }();
  for (auto c : cases) {
    HandlerOptions opts;
    opts.bindings = &bindings;
    opts.commands = &editor_commands();
    opts.ctx = c.editor.ctx();
    EXPECT_EQ(editor_answer(c.key, opts), c.answer) << c.name;
    EXPECT_EQ(c.editor.calls, c.calls) << c.name;
  }
}

TEST_F(Registry, Tables) {
  commands();  // building it checks for clashes
  for (const Table* t : {&core_window_commands(), &move_commands(), &core_editor_commands(), &core_console_commands()})
    for (const auto& c : t->all()) {
      EXPECT_FALSE(c.doc.empty()) << c.id;
      EXPECT_EQ(c.doc.back(), '.') << c.id;
    }
  EXPECT_EQ(core_window_commands().all().front().id, "run/run");
  EXPECT_EQ(core_window_commands().all().back().id, "source/jump-back");
  EXPECT_FALSE(window_commands().find("tab/select")->palette);
  EXPECT_TRUE(window_commands().find("popover/close-all")->passes);
  EXPECT_EQ(editor_commands().find("paredit/wrap-quote")->doc, "Wrap the form at the caret in \"\".");
  EXPECT_EQ(editor_commands().find("paredit/list-start")->scope, Scope::editor);

  EXPECT_EQ(move_commands().all().size(), 12u);
  EXPECT_EQ(move_commands().find("place/move-files-left")->doc, "Move Files to the left of the editor.");
  EXPECT_EQ(move_commands().find("place/move-panel-bottom")->doc, "Move the panel on screen below the editor.");
  FakeWindow w;
  run_command_in(window_commands(), {w.ctx(), nullptr, nullptr}, "place/move-interactions-right");
  EXPECT_EQ(w.calls, std::vector<std::string>{"move-part-fn :repl :right"});

  Table t = {{"a/b", "A.", Scope::window, call("x"), true, false, {}}};
  try {
    t.merged(t);
    FAIL() << "a clash was let through";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "The command :a/b is declared twice.");
  }

  // Every binding shipped, the parts' included, names a command of its scope and a condition it has.
  for (auto [scope, table, conditions] : {std::tuple{"window", &window_commands(), &window_conditions()},
                                          std::tuple{"editor", &editor_commands(), &editor_conditions()}}) {
    std::vector<Value> maps;
    for (const auto& b : shipped_bindings(scope)) maps.push_back(b.edn);
    EXPECT_EQ(keymap::problems(kelp::make_vector(maps), table->ids(), condition_ids(*conditions)),
              std::vector<std::string>{})
        << scope;
  }
  EXPECT_EQ(shipped_bindings("window").size(), 68u);
  EXPECT_EQ(shipped_bindings("window").back().command, "debug/toggle-breakpoint");
  EXPECT_TRUE(shipped_bindings("console").empty());
}

TEST_F(Registry, RunningCommandsOutsideKeys) {
  FakeWindow window;
  FakeEditor editor;
  Ctxs ctxs{window.ctx(), editor.ctx(), nullptr};
  EXPECT_EQ(run_command_in(commands(), ctxs, "edit/format-all"), Outcome::to_gtk);
  EXPECT_EQ(run_command_in(commands(), ctxs, "run/run"), Outcome::handled);
  EXPECT_EQ(run_command_in(commands(), ctxs, "no/such"), Outcome::nil);
  EXPECT_EQ(window.calls, std::vector<std::string>{"run-fn"});
  EXPECT_EQ(editor.calls, std::vector<std::string>{"format-all!"});
  EXPECT_THROW(run_command_in(commands(), ctxs, "console/complete"), std::runtime_error);

  // An unregistered command answers nil, so a key would move on.
  EXPECT_EQ(run_command(window_commands(), nullptr, *ctxs.window, binding(R"({:key "a" :command :no/such})")),
            Outcome::nil);
  EXPECT_FALSE(holds_fn(window_conditions(), *ctxs.window)("no-such-condition"));

  // The menus run their commands with the ctx they were built with; outcomes are dropped.
  auto items = menu_items(editor_menu(), commands(), editor.ctx());
  ASSERT_EQ(items.size(), 14u);
  EXPECT_EQ(items[8].label, "Format All");
  EXPECT_EQ(items[8].action, "format-all");
  items[8].activate();
  items[10].activate();
  EXPECT_EQ(editor.calls, (std::vector<std::string>{"format-all!", "format-all!", "indent!"}));

  auto console_items = menu_items(console_menu(), commands(), window.ctx());
  ASSERT_EQ(console_items.size(), 8u);
  EXPECT_EQ(console_items[5].label, "Jump to This Var");
  EXPECT_THROW(console_items[5].activate(), std::runtime_error);  // the live results are not built yet
}

}  // namespace
}  // namespace orrery::command_registry
