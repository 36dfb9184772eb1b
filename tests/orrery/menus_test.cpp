#include "orrery/menus.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/read/edn.hpp"
#include "orrery/command_registry.hpp"

namespace orrery::menus {
namespace {

const std::string_view LINUX = "Linux", MAC = "Mac OS X";

Binding binding(std::string_view text) {
  auto b = keymap::to_binding(*kelp::read_edn(text));
  EXPECT_TRUE(b) << text;
  return *b;
}

Menus menus(std::string_view text) {
  std::string error;
  auto m = read_menus(text, &error);
  EXPECT_TRUE(m) << error;
  return m ? *m : Menus{};
}

TEST(Menus, ShippedMenusNameOnlyRegisteredCommandsOnce) {
  const Menus& m = shipped();
  EXPECT_EQ(problems(m, command_registry::commands().ids()), std::vector<std::string>{});
  std::vector<std::string> labels;
  for (const auto& menu : m) labels.push_back(menu.label);
  EXPECT_EQ(labels, (std::vector<std::string>{"File", "Edit", "View", "Search", "Run", "Debug", "Tools", "Help"}));

  // Edit's third section holds the two submenus side by side; Compare has two sections.
  const Node& edit = m[1];
  ASSERT_EQ(edit.sections.size(), 4u);
  ASSERT_EQ(edit.sections[2].size(), 2u);
  EXPECT_TRUE(is_submenu(edit.sections[2][0]));
  EXPECT_EQ(edit.sections[2][1].label, "Parinfer");
  const Node& compare = m[6].sections[2][2];
  EXPECT_EQ(compare.label, "Compare");
  EXPECT_EQ(compare.sections.size(), 2u);
  auto edit_items = items(edit);
  EXPECT_EQ(edit_items[6]->label, "Slurp Forward");  // submenu items come in order, after the menu's own
  EXPECT_EQ(edit_items.back()->command, "prefs/open");

  auto ids = command_ids(m);
  EXPECT_EQ(ids.front(), "tab/new");
  EXPECT_EQ(ids.back(), "help/version");
  auto quote = std::find(ids.begin(), ids.end(), "paredit/wrap-quote");
  ASSERT_NE(quote, ids.end());
  EXPECT_TRUE(has_tick("run/reset-on-run"));
  EXPECT_FALSE(has_tick("run/run"));
}

TEST(Menus, EveryProblemIsASentenceWithItsPath) {
  Menus m = menus(R"([{:label "File"
                        :sections [[{:label "Save" :command :file/save}
                                    {:label "Launch" :command :rocket/launch}]
                                   []
                                   [{:label "More" :sections [[{:label "Save Again" :command :file/save}]
                                                              [{:label "Nothing"}]]}
                                    {:label "Empty" :sections []}
                                    {:sections [[{:label "Open" :command :file/open}]]}]]}
                       {:sections [[{:command :file/open}]]}
                       {:label "Help"}])");
  EXPECT_EQ(problems(m, {"file/save", "file/open"}),
            (std::vector<std::string>{
                "File: Launch isn't a command",
                "File has an empty section",
                "File > More: Nothing isn't a command",
                "File > Empty has no sections",
                "File > section 3 item 3 has no label",
                "menu 2 has no label",
                "menu 2: section 1 item 1 has no label",
                "Help has no sections",
                ":file/save is listed twice",
                ":file/open is listed twice",
            }));
  // One menu alone: no repeats across menus are looked for.
  EXPECT_EQ(menu_problems(m[1], {"file/save", "file/open"}, 1),
            (std::vector<std::string>{"menu 2 has no label", "menu 2: section 1 item 1 has no label"}));
}

TEST(Menus, UnreadableShapesFailWithASentence) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"{:label \"File\"}", "The menus aren't a vector of menus."},
      {"[{:label \"File\" :sections [[:file/save]]}]", "The menus don't read: menu 1, section 1 item 1 isn't a map."},
      {"[{:label \"File\" :sections [{:label \"Save\"}]}]",
       "The menus don't read: menu 1, section 1, isn't a vector of items."},
      {"[{:label :file :sections []}]", "The menus don't read: menu 1's :label isn't a string."},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(read_menus(c.text, &error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
  std::string error;
  EXPECT_FALSE(read_menus("[{:label", &error));
  EXPECT_EQ(error.rfind("The menus don't read as EDN: ", 0), 0u) << error;
}

TEST(Menus, ActionNamesAndBack) {
  struct Case {
    const char* command;
    const char* action;
  };
  const Case cases[] = {{"file/save-as", "file.save-as"}, {"acme.tools/lint", "acme.tools.lint"}, {"quit", "quit"}};
  for (const auto& c : cases) {
    EXPECT_EQ(action_name(c.command), c.action);
    EXPECT_EQ(command_of(c.action), c.command);
  }
}

TEST(Menus, Accelerators) {
  struct Case {
    const char* binding;
    const char* linux;
    const char* mac;
  };
  const Case cases[] = {
      {R"({:key "s" :mods #{:cmd :shift} :command :a/b})", "<Shift><Control>s", "<Shift><Meta>s"},
      {R"({:key "f" :mods #{:alt :super :ctrl} :command :a/b})", "<Alt><Control><Super>f", "<Alt><Control><Super>f"},
      {R"({:key "F8" :exact #{:shift} :command :a/b})", "<Shift>F8", "<Shift>F8"},
      // The keypad's Enter is passed over for the main one.
      {R"({:keys #{"KP_Enter" "Return"} :mods #{:cmd} :command :a/b})", "<Control>Return", "<Meta>Return"},
      {R"({:keys #{"plus" "equal"} :mods #{:cmd} :command :a/b})", "<Control>equal", "<Meta>equal"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(accel(binding(c.binding), LINUX), c.linux) << c.binding;
    EXPECT_EQ(accel(binding(c.binding), MAC), c.mac) << c.binding;
  }
  EXPECT_EQ(mac_symbols("Cmd+Option+Shift+P, Ctrl+Enter"), "⌘⌥⇧P, ⌃Enter");
}

TEST(Menus, ItemsShowTheKeyThatAlwaysRunsTheirCommand) {
  Menus m = menus(R"([{:label "Run"
                       :sections [[{:label "Run" :command :run/run}
                                   {:label "Stop" :command :run/stop}
                                   {:label "Commit" :command :git/commit}
                                   {:label "Format" :command :edit/format-all}]
                                  [{:label "More" :sections [[{:label "Push" :command :git/push}]]}]]}])");
  keymap::Keymap km;
  km["window"] = {
      // Only while evaluating: a menu showing it would take Escape the rest of the time.
      binding(R"({:key "Escape" :when [:evaluating] :command :run/stop})"),
      binding(R"({:key "k" :mods #{:cmd} :then [{:key "c"}] :command :git/commit})"),
      binding(R"({:key "k" :mods #{:cmd} :then [{:key "p"}] :command :git/push})"),
      binding(R"({:key "p" :mods #{:cmd :alt} :when [:evaluating] :command :git/push})"),
      binding(R"({:key "F5" :command :run/run})"),
      binding(R"({:key "r" :mods #{:cmd} :command :run/run})"),
  };
  km["editor"] = {binding(R"({:key "f" :mods #{:cmd :shift} :command :edit/format-all})"),
                  binding(R"({:key "g" :mods #{:cmd} :then [{:key "f"}] :command :run/run})")};

  EXPECT_EQ(shown_binding(km, "run/run"), &km["window"][4]);
  EXPECT_EQ(shown_binding(km, "run/stop"), nullptr);
  EXPECT_EQ(sequence_binding(km, "git/push"), &km["window"][2]);

  for (auto [os, push] : {std::pair{LINUX, "Ctrl+K P"}, std::pair{MAC, "⌘K P"}}) {
    Menus t = tree(m, km, os);
    const auto& s = t[0].sections[0];
    EXPECT_EQ(s[0].action, "run.run");
    EXPECT_EQ(s[0].accel, "F5");
    EXPECT_EQ(s[0].keys_text, "");  // a single key beats a sequence
    EXPECT_EQ(s[1].accel, "");
    EXPECT_EQ(s[1].keys_text, "");
    EXPECT_EQ(s[2].accel, "");
    EXPECT_EQ(s[2].keys_text, os == MAC ? "⌘K C" : "Ctrl+K C");
    EXPECT_EQ(s[3].accel, os == MAC ? "<Shift><Meta>f" : "<Shift><Control>f");
    const Node& push_item = t[0].sections[1][0].sections[0][0];
    EXPECT_EQ(push_item.action, "git.push");
    EXPECT_EQ(push_item.keys_text, push);
  }
}

}  // namespace
}  // namespace orrery::menus
