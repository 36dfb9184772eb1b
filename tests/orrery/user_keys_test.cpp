#include "orrery/user_keys.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/read/edn.hpp"
#include "orrery/command_registry.hpp"
#include "support/temp_dir.hpp"

namespace orrery::user_keys {
namespace {

using kelp::Value;
namespace cr = command_registry;

Value edn(std::string_view text) {
  auto r = kelp::read_edn(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? *r : Value();
}

Binding binding(std::string_view text) {
  auto b = keymap::to_binding(edn(text));
  EXPECT_TRUE(b) << text;
  return b ? *b : Binding{};
}

uint32_t kv(std::string_view name) { return *keymap::key_value(name); }

const Registered& reg() {
  static const Registered r = registered({"plug/hello"}, {});
  return r;
}

TEST(UserKeys, ReadKeysNamesEachBadEntryAndKeepsTheRest) {
  struct Case {
    std::string_view text;
    std::vector<std::string> problems;
    size_t window = 0, editor = 0, remove = 0;
  };
  const std::string typing = "binds a key that types with no modifier but Shift, which would replace typing; skipped";
  const std::vector<Case> cases = {
      {"", {}},
      {";; nothing yet\n", {}},
      {template_text(), {}},
      {R"({:window [{:key "e" :command :run/run}]})", {":window entry 1: " + typing}},
      {R"({:window [{:key "e" :mods #{:shift} :command :run/run}]})", {":window entry 1: " + typing}},
      {R"({:editor [{:keys #{"F5" "a"} :not #{:ctrl} :command :run/form}]})", {":editor entry 1: " + typing}},
      // Modifiers that rule typing out, and keys that never type.
      {R"({:window [{:key "e" :mods #{:super} :command :run/run} {:key "e" :exact #{:alt} :command :run/run}
                    {:key "F5" :command :plug/hello} {:key "Escape" :command :run/stop}]})",
       {},
       4},
      {R"({:window [{:key "e" :mods #{:cmd :alt} :command :run/form}]
          :editor [{:key "e" :mods #{:cmd :alt} :command :run/form} {:key "F2" :command :run/run}]})",
       {":window entry 1: names :run/form, which is an editor command; skipped",
        ":editor entry 2: names :run/run, which is a window command; skipped"},
       0, 1},
      {R"({:window [{:key "F5" :command :run/run} "F6" {:key "F11" :command :no/such} {:key "F6" :command :tab/new
                    :when [:writable]}]})",
       {":window entry 2: isn't a map; skipped",
        ":window entry 3: names an unknown key (\"F11\"), names an unregistered command :no/such; skipped",
        ":window entry 4: names an unregistered condition (:writable); skipped"},
       1},
      {R"({:remove [{:command :run/run} {:key "r"} {:keys #{"r"} :mods #{:cmd} :command :run/run} 7]})",
       {":remove entry 1: has neither :key nor :keys; skipped", ":remove entry 2: has no :command; skipped",
        ":remove entry 4: isn't a map; skipped"},
       0, 0, 1},
      {R"({:window {:key "F5" :command :run/run} :editor [] :extra 1 :more 2})",
       {"has unknown keys (:extra :more), only :window :editor :remove", ":window isn't a vector; skipped"}},
      {"[{:key \"F5\" :command :run/run}]", {"the file must hold a map, {:window [...] :editor [...] :remove [...]}"}},
      {"[1] [2]", {"the file must hold a map, {:window [...] :editor [...] :remove [...]}"}},
  };
  for (const auto& c : cases) {
    Read r = read_keys(c.text, reg());
    EXPECT_EQ(r.problems, c.problems) << c.text;
    EXPECT_EQ(r.keys.window.size(), c.window) << c.text;
    EXPECT_EQ(r.keys.editor.size(), c.editor) << c.text;
    EXPECT_EQ(r.keys.remove.size(), c.remove) << c.text;
  }

  // Text that doesn't read loads nothing, not even the entries before the fault.
  Read broken = read_keys("{:window [{:key \"F5\" :command :run/run}]\n :editor [", reg());
  ASSERT_EQ(broken.problems.size(), 1u);
  EXPECT_TRUE(broken.problems[0].starts_with("couldn't be read (")) << broken.problems[0];
  EXPECT_TRUE(broken.problems[0].ends_with("), so none of it is loaded")) << broken.problems[0];
  EXPECT_TRUE(broken.keys.window.empty());
}

TEST(UserKeys, RemoveNamesABindingByItsWholeChordAndCommand) {
  const Binding run = binding(R"({:key "r" :mods #{:cmd} :command :run/run})");
  const Binding parinfer =
      binding(R"({:key "p" :mods #{:cmd :alt} :not #{:shift} :physical? true :command :parinfer/next-mode})");
  const Binding seq = binding(R"({:key "k" :exact #{:ctrl} :then [{:key "k" :exact #{:ctrl}}] :command :x/y})");
  struct Case {
    std::string_view entry;
    const Binding* b;
    bool removes;
  };
  const std::vector<Case> cases = {
      {R"({:key "r" :mods #{:cmd} :command :run/run})", &run, true},
      {R"({:keys #{"r"} :mods #{:cmd} :not #{} :physical? false :command :run/run})", &run, true},
      {R"({:key "r" :mods #{:cmd} :command :run/stop})", &run, false},
      {R"({:key "r" :mods #{:cmd :shift} :command :run/run})", &run, false},
      {R"({:key "r" :exact #{:ctrl} :command :run/run})", &run, false},
      {R"({:key "r" :command :run/run})", &run, false},
      {R"({:mods #{:cmd} :command :run/run})", &run, false},
      {R"({:key "p" :mods #{:cmd :alt} :command :parinfer/next-mode})", &parinfer, false},
      {R"({:key "p" :mods #{:alt :cmd} :not #{:shift} :physical? true :command :parinfer/next-mode})", &parinfer,
       true},
      {R"({:key "k" :exact #{:ctrl} :command :x/y})", &seq, false},
      {R"({:key "k" :exact #{:ctrl} :then [{:key "h" :exact #{:ctrl}}] :command :x/y})", &seq, false},
      {R"({:key "k" :exact #{:ctrl} :then [{:key "k" :exact #{:ctrl}}] :command :x/y})", &seq, true},
  };
  for (const auto& c : cases) EXPECT_EQ(removes(edn(c.entry), *c.b), c.removes) << c.entry;
}

TEST(UserKeys, YoursGoFirstAndARemovalLeavesTheOtherKeysOfTheCommand) {
  Read r = read_keys(R"({:window [{:key "F5" :mods #{:cmd} :command :tab/new}]
                         :remove [{:key "r" :mods #{:cmd} :command :run/run}]})",
                     reg());
  ASSERT_TRUE(r.problems.empty());
  const auto& shipped = cr::shipped_bindings("window");
  const auto live = layer(r.keys, "window", shipped);
  EXPECT_EQ(live.size(), shipped.size());  // one of yours in, one shipped out

  struct Case {
    std::string_view key;
    uint32_t state;
    std::string command;  // empty: nothing matches
  };
  const std::vector<Case> cases = {
      {"r", keymap::MASK_CTRL, ""},
      {"r", keymap::MASK_META, ""},
      {"F5", 0, "run/run"},
      {"F5", keymap::MASK_CTRL, "tab/new"},
      {"o", keymap::MASK_CTRL, "file/open"},
  };
  for (const auto& c : cases) {
    const Binding* b = keymap::resolve_binding(live, kv(c.key), c.state);
    EXPECT_EQ(b ? b->command : "", c.command) << c.key << " " << c.state;
  }
  EXPECT_EQ(live.front().command, "tab/new");
  EXPECT_EQ(layer(r.keys, "editor", cr::shipped_bindings("editor")).size(), cr::shipped_bindings("editor").size());
}

TEST(UserKeys, LoadingAndItsConsoleLines) {
  testing::TempDir dir;
  const auto settings = dir.path() / "settings.edn";
  EXPECT_EQ(keys_path(settings), dir.path() / "keys.edn");

  Loaded missing = load_keys(dir.path() / "keys.edn", reg());
  EXPECT_EQ(missing.status, Status::absent);
  EXPECT_TRUE(report_lines(dir.path() / "keys.edn", missing).empty());
  EXPECT_EQ(missing_line("/c/keys.edn"),
            "; /c/keys.edn doesn't exist yet. \"Open your key bindings file\" makes one.");

  std::filesystem::create_directories(dir.path() / "folder.edn");
  Loaded folder = load_keys(dir.path() / "folder.edn", reg());
  EXPECT_EQ(folder.status, Status::loaded);
  EXPECT_EQ(folder.problems, std::vector<std::string>{"couldn't be opened (Is a directory)"});

  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {std::string(template_text()), {"; P: no key bindings of yours loaded."}},
      {R"({:editor [{:key "F2" :command :run/form}]})", {"; P: 1 key binding of yours loaded."}},
      {R"({:window [{:key "F2" :command :run/run} {:key "F3" :command :run/stop} {:key "q" :command :run/run}]
          :remove [{:key "r" :mods #{:cmd} :command :run/run}]})",
       {"; P: 2 key bindings of yours loaded, 1 removed.",
        "; P: :window entry 3: binds a key that types with no modifier but Shift, which would replace typing; "
        "skipped"}},
      {"{:window [", {}},
  };
  for (const auto& c : cases) {
    const auto path = dir.write("keys.edn", c.text);
    Loaded l = load_keys(path, reg());
    EXPECT_EQ(l.status, Status::loaded);
    auto lines = report_lines("P", l);
    if (c.lines.empty()) {
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[0], "; P: no key bindings of yours loaded.");
      EXPECT_TRUE(lines[1].starts_with("; P: couldn't be read (")) << lines[1];
    } else {
      EXPECT_EQ(lines, c.lines) << c.text;
    }
  }
}

TEST(UserKeys, LiveValuesSwapWhole) {
  EXPECT_TRUE(live()->window.empty());
  auto keys = std::make_shared<UserKeys>();
  keys->window.push_back(binding(R"({:key "F2" :command :run/run})"));
  set_live(keys);
  EXPECT_EQ(live()->window.size(), 1u);
  set_live(nullptr);
  EXPECT_TRUE(live()->window.empty());

  int reloads = 0;
  set_window_fns(std::make_shared<WindowFns>(WindowFns{[&] { ++reloads; }, [] {}}));
  window_fns()->reload();
  EXPECT_EQ(reloads, 1);
  set_window_fns(nullptr);
  EXPECT_FALSE(window_fns());
}

}  // namespace
}  // namespace orrery::user_keys
