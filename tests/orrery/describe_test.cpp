#include "orrery/describe.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/read/edn.hpp"

namespace orrery::describe {
namespace {

using command_registry::Scope;
using command_registry::Table;
using keymap::Binding;
using keymap::MASK_ALT;
using keymap::MASK_CTRL;
using keymap::MASK_META;
using keymap::MASK_SHIFT;
using keymap::MASK_SUPER;

const std::string_view LINUX = "Linux", MAC = "Mac OS X";

Binding binding(std::string_view text) {
  auto b = keymap::to_binding(*kelp::read_edn(text));
  EXPECT_TRUE(b) << text;
  return *b;
}

Key key(uint32_t keyval, uint32_t state = 0) { return {keyval, state, std::nullopt}; }
Key named(std::string_view name, uint32_t state = 0) { return key(*keymap::key_value(name), state); }

TEST(Describe, PressedKeysAreSpelledAsChords) {
  struct Case {
    Key key;
    const char* linux;
    const char* mac;
  };
  const Case cases[] = {
      {named("p", MASK_CTRL | MASK_SHIFT), "Ctrl+Shift+P", "Ctrl+Shift+P"},
      {named("p", MASK_META | MASK_SHIFT), "Meta+Shift+P", "Cmd+Shift+P"},
      {named("Return", MASK_ALT | MASK_SUPER), "Super+Alt+Enter", "Super+Option+Enter"},
      {named("x"), "X", "X"},
      {key(0x5d, MASK_CTRL), "Ctrl+]", "Ctrl+]"},  // no binding name for "]": the character it types
      {key(0xffc8), "F11", "F11"},
      {key(0x010003bb), "λ", "λ"},
      {key(0xfe50), "key 0xfe50", "key 0xfe50"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(chord_text(c.key, LINUX), c.linux) << c.linux;
    EXPECT_EQ(chord_text(c.key, MAC), c.mac) << c.mac;
  }
  for (uint32_t k : {0xffe1u, 0xffe3u, 0xffe7u, 0xffe9u, 0xffebu, 0xfe03u}) EXPECT_TRUE(is_modifier_key(k)) << k;
  for (uint32_t k : {0x61u, 0xff1bu, 0xffbeu}) EXPECT_FALSE(is_modifier_key(k)) << k;
}

// A keymap whose Escape bindings are tried in order, one a plugin's sequence.
struct DescribeKey : testing::Test {
  Table commands = {
      {"popover/close-all", "Close any open popover.", Scope::window, {}, false, true, {}},
      {"run/stop", "Stop the running evaluation.", Scope::window, {}, true, false, {}},
      {"git/commit", "Commit the changes.", Scope::window, {}, true, false, "acme-git"},
      {"run/run", "Run the buffer.", Scope::window, {}, true, false, {}},
      {"edit/rename", "Rename the symbol at the caret.", Scope::editor, {}, true, false, {}},
  };
  keymap::Keymap km;
  void SetUp() override {
    km["window"] = {binding(R"({:key "Escape" :command :popover/close-all})"),
                    binding(R"({:key "Escape" :when [:evaluating :not-typing] :command :run/stop})"),
                    binding(R"({:key "Escape" :then [{:key "c"}] :when [:evaluating] :command :git/commit})"),
                    binding(R"({:key "Escape" :exact #{:shift} :command :run/run})"),
                    binding(R"({:key "Escape" :outcome :to-gtk})"),
                    binding(R"({:key "r" :mods #{:cmd} :command :run/run})"),
                    binding(R"({:key "F2" :command :a/gone})")};
    km["editor"] = {binding(R"({:key "Escape" :outcome :handled})"),
                    binding(R"({:key "F2" :exact #{} :command :edit/rename})")};
  }
  std::vector<std::string> describe(const Key& k) {
    return describe_lines(chord_text(k, LINUX), key_matches(km, commands, k, LINUX));
  }
};

TEST_F(DescribeKey, UnboundOneAndSeveral) {
  EXPECT_EQ(describe(named("x")),
            std::vector<std::string>{
                "; X isn't bound: it goes to GTK (typed text, or the focused widget's own key)."});
  EXPECT_EQ(describe(named("r", MASK_CTRL)), std::vector<std::string>{"; Ctrl+R runs :run/run (Run the buffer.)"});
  EXPECT_EQ(describe(named("Escape")),
            (std::vector<std::string>{
                "; Esc, in order, the first that applies wins:",
                ";   runs :popover/close-all (Close any open popover.)",
                ";   runs :run/stop (Stop the running evaluation.), only when :evaluating, :not-typing",
                ";   starts Esc C, which runs :git/commit (Commit the changes., acme-git), only when :evaluating",
                ";   goes to GTK here (built-in)",
                ";   answers :handled here (built-in)",
            }));
  // A binding naming a command no table has says so; the editor's comes after it.
  EXPECT_EQ(describe(named("F2")), (std::vector<std::string>{
                                       "; F2, in order, the first that applies wins:",
                                       ";   runs :a/gone (no such command)",
                                       ";   runs :edit/rename (Rename the symbol at the caret.)",
                                   }));
  auto m = key_matches(km, commands, named("Escape"), LINUX);
  EXPECT_EQ(m[2].scope, "window");
  EXPECT_EQ(m[2].sequence, std::optional<std::string>("Esc C"));
  EXPECT_EQ(m[4].scope, "editor");
}

TEST(Describe, TypingIsCountedNeverKept) {
  struct Case {
    Key key;
    bool typing;
  };
  const Case cases[] = {
      {named("a"), true},
      {key('A', MASK_SHIFT), true},
      {named("space"), true},
      {key(0x010003bb), true},
      {named("BackSpace"), true},
      {named("Left", MASK_SHIFT), true},
      {key(0xff09), true},  // Tab
      {named("a", MASK_CTRL), false},
      {named("a", MASK_ALT), false},
      {named("Return", MASK_META), false},
      {named("Escape"), false},
      {named("F5"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_typing(c.key), c.typing) << c.key.keyval << " " << c.key.state;
  // GDK's own value wins: a key with no character of its own that types one.
  EXPECT_TRUE(is_typing(key(0x6c6), U'ф'));
  EXPECT_FALSE(is_typing(key(0x6c6), char32_t(0)));
}

TEST(Describe, RecentKeysRing) {
  Ring ring;
  EXPECT_EQ(recent_lines(ring), std::vector<std::string>{"; No keys yet."});
  for (char c : std::string("helloworld")) remember(ring, recent_entry(key(uint32_t(c)), std::nullopt, LINUX));
  remember(ring, recent_entry(named("s", MASK_CTRL), std::string("file/save"), LINUX));
  remember(ring, recent_entry(named("q", MASK_CTRL), std::nullopt, LINUX));
  remember(ring, recent_entry(named("a"), std::nullopt, LINUX));
  EXPECT_EQ(recent_lines(ring), (std::vector<std::string>{
                                    "; Recent keys, oldest first:",
                                    "; typing (10 keys)",
                                    "; Ctrl+S  :file/save",
                                    "; Ctrl+Q  passed on (editor or GTK)",
                                    "; typing (1 key)",
                                }));
  for (int i = 0; i < 60; ++i) remember(ring, recent_entry(named("F5"), std::string("run/run"), LINUX));
  ASSERT_EQ(ring.size(), RECENT_MAX);
  EXPECT_EQ(ring.front(), (Recent{0, "F5", std::string("run/run")}));
}

TEST_F(DescribeKey, EveryBindingByScope) {
  EXPECT_EQ(binding_lines(km, commands, LINUX),
            (std::vector<std::string>{
                "; Window keys",
                "; Esc  Close any open popover.  built-in",
                "; Esc  Stop the running evaluation.  built-in",
                "; Esc C  Commit the changes.  acme-git",
                "; Shift+Esc, Ctrl+R  Run the buffer.  built-in",
                "; F2  :a/gone  not a registered command",
                "; Editor keys",
                "; F2  Rename the symbol at the caret.  built-in",
            }));
}

}  // namespace
}  // namespace orrery::describe
