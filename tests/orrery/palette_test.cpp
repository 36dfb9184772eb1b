#include "orrery/palette.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace orrery::palette {
namespace {

using command_registry::Scope;
using command_registry::Table;

const std::string_view LINUX = "Linux", MAC = "Mac OS X";

Binding binding(std::string_view text) {
  auto b = keymap::to_binding(*kelp::read_edn(text));
  EXPECT_TRUE(b) << text;
  return *b;
}

std::vector<std::string> docs(const std::vector<Entry>& es) {
  std::vector<std::string> out;
  for (const auto& e : es) out.push_back(e.doc);
  return out;
}

std::vector<std::string> ids(const std::vector<Entry>& es) {
  std::vector<std::string> out;
  for (const auto& e : es) out.push_back(kelp::pr_str(e.id));
  return out;
}

TEST(Palette, ChordLabelsPerSystem) {
  struct Case {
    const char* binding;
    const char* linux;
    const char* mac;
  };
  const Case cases[] = {
      {R"({:key "p" :mods #{:cmd :shift} :command :a/b})", "Ctrl+Shift+P", "Cmd+Shift+P"},
      // Modifier order Cmd, Ctrl, Meta, Super, Alt, Shift whatever the set's order; :exact wins over :mods.
      {R"({:key "f" :mods #{:shift :alt :cmd} :command :a/b})", "Ctrl+Alt+Shift+F", "Cmd+Option+Shift+F"},
      {R"({:key "F1" :exact #{:shift :meta} :command :a/b})", "Meta+Shift+F1", "Meta+Shift+F1"},
      {R"({:key "space" :mods #{:ctrl :super} :command :a/b})", "Ctrl+Super+Space", "Ctrl+Super+Space"},
      {R"({:key "F12" :exact #{} :command :a/b})", "F12", "F12"},
      // Return and KP_Enter read the same and show once.
      {R"({:keys #{"Return" "KP_Enter"} :mods #{:cmd} :command :a/b})", "Ctrl+Enter", "Cmd+Enter"},
      {R"({:keys #{"slash" "semicolon"} :mods #{:cmd} :command :a/b})", "Ctrl+;, Ctrl+/", "Cmd+;, Cmd+/"},
      {R"({:key "bracketleft" :mods #{:cmd} :command :a/b})", "Ctrl+[", "Cmd+["},
      {R"({:key "BackSpace" :command :a/b})", "Backspace", "Backspace"},
      {R"({:key "Left" :mods #{:alt} :command :a/b})", "Alt+Left", "Option+Left"},
      // A sequence: its further chords after a space, each labelled alike.
      {R"({:key "k" :mods #{:ctrl} :then [{:key "c"} {:key "grave" :mods #{:shift}}] :command :a/b})",
       "Ctrl+K C Shift+`", "Ctrl+K C Shift+`"},
  };
  for (const auto& c : cases) {
    Binding b = binding(c.binding);
    EXPECT_EQ(chord_label(b, LINUX), c.linux) << c.binding;
    EXPECT_EQ(chord_label(b, MAC), c.mac) << c.binding;
  }
}

// Three commands (one a plugin's, one kept out of the palette) and a keymap naming them in both scopes.
struct PaletteEntries : testing::Test {
  Table commands = {
      {"run/run", "Run the buffer.", Scope::window, {}, true, false, {}},
      {"tab/select", "Go to tab n.", Scope::window, {}, false, false, {}},
      {"console/clear", "Clear the console.", Scope::window, {}, true, false, {}},
      {"console/clear-last-output", "Clear the last entry's output.", Scope::window, {}, true, false, {}},
      {"git/commit", "Commit the changes.", Scope::window, {}, true, false, {}},
  };
  keymap::Keymap km;
  void SetUp() override {
    Table plugin = {{"lint/all", "Analyse every file.", Scope::editor, {}, true, false, "acme-lint"}};
    commands = commands.merged(plugin);
    km["window"] = {binding(R"({:key "r" :mods #{:cmd} :command :run/run})"),
                    binding(R"({:key "F5" :command :run/run})"),
                    binding(R"({:key "1" :mods #{:cmd} :command :tab/select :args {:n 1}})"),
                    binding(R"({:key "k" :mods #{:ctrl} :then [{:key "c"}] :command :git/commit})"),
                    binding(R"({:key "Escape" :outcome :to-gtk})")};
    // The editor repeats a window chord: it shows once.
    km["editor"] = {binding(R"({:key "r" :mods #{:cmd} :command :run/run})"),
                    binding(R"({:key "F9" :command :run/run})")};
  }
};

TEST_F(PaletteEntries, SortedByDocWithTheirChordsAndSource) {
  auto es = entries(commands, km, LINUX);
  EXPECT_EQ(docs(es), (std::vector<std::string>{"Analyse every file.", "Clear the console.",
                                                 "Clear the last entry's output.", "Commit the changes.",
                                                 "Run the buffer."}));
  EXPECT_EQ(es[0].source, "acme-lint");
  EXPECT_EQ(es[3].chords, std::vector<std::string>{"Ctrl+K C"});
  EXPECT_EQ(es[4].chords, (std::vector<std::string>{"Ctrl+R", "F5", "F9"}));
  EXPECT_EQ(kelp::pr_str(es[4].id), ":run/run");
  EXPECT_EQ(row_text(es[4]), "Run the buffer.  Ctrl+R, F5, F9  built-in");
  EXPECT_EQ(row_text(es[1]), "Clear the console.  built-in");
}

TEST_F(PaletteEntries, FilterNeedsEveryWordInTheDocOrId) {
  auto es = entries(commands, km, LINUX);
  struct Case {
    const char* query;
    std::vector<std::string> kept;
  };
  const Case cases[] = {
      {"  CLEAR   the ", {":console/clear", ":console/clear-last-output"}},
      // "console" is only in the second one's id, "output" only in its doc: both are read.
      {"console output", {":console/clear-last-output"}},
      {"last-output", {":console/clear-last-output"}},
      {"run/", {":run/run"}},
      {"lint buffer", {}},
      {"", ids(es)},
      {" \t ", ids(es)},
  };
  for (const auto& c : cases) EXPECT_EQ(ids(filter_entries(es, c.query)), c.kept) << c.query;
}

TEST(Palette, TabsComparesAndPanels) {
  std::vector<Tab> recent = {{kelp::Value::integer(3), "core.clj"},
                             {kelp::Value::integer(1), "user.clj"},
                             {kelp::Value::integer(7), "notes.edn"}};
  auto tabs = tab_entries(recent, kelp::Value::integer(1));
  EXPECT_EQ(ids(tabs), (std::vector<std::string>{"[:tab/switch 3]", "[:tab/switch 7]"}));
  EXPECT_EQ(row_text(tabs[0]), "Switch to tab: core.clj  tab");
  auto compares = compare_tab_entries(recent, kelp::Value::integer(3));
  EXPECT_EQ(ids(compares), (std::vector<std::string>{"[:compare/tab 1]", "[:compare/tab 7]"}));
  EXPECT_EQ(row_text(compares[1]), "Compare with tab: notes.edn  compare");
  // The tab's label is searchable.
  EXPECT_EQ(ids(filter_entries(tabs, "notes")), std::vector<std::string>{"[:tab/switch 7]"});

  auto labels = panel_labels({{"messages", "Messages"}, {"review", "Review"}, {"debugger", "Frames"}});
  EXPECT_EQ(labels.size(), 5u);  // the three core panels and two of the parts', :review left out
  auto panels = panel_entries({"debugger", "inspector", "review", "history", "messages", "debugger"},
                              std::optional<std::string>("inspector"), labels);
  EXPECT_EQ(ids(panels), (std::vector<std::string>{"[:panel/switch :debugger]", "[:panel/switch :messages]"}));
  EXPECT_EQ(panels[0].doc, "Switch to panel: Frames");
  EXPECT_EQ(panels[0].source, "panel");
  EXPECT_THROW(panel_labels({{"source", "Source Again"}}), std::logic_error);
}

TEST(Palette, BangLinesAreCommandsOnlyWhenTheyCannotBeCode) {
  struct Case {
    const char* text;
    bool bang;
  };
  const Case cases[] = {
      {"!clear the console", true}, {"! clear", true},      {"!", true},           {"  !  ", true},
      {"!clear\t", true},           {"! clear\n", true},    {"!x", false},         {"!=", false},
      {"(!x 1)", false},            {"! (run)", false},     {"! say \"hi\"", false}, {"! a [b]", false},
      {"! a {b}", false},           {"! clear\n! more", false}, {"x !", false},   {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_bang(c.text), c.bang) << c.text;
}

TEST_F(PaletteEntries, BangPickRunsOneChoosesAmongSeveralOrSaysNone) {
  auto es = entries(commands, km, LINUX);
  using K = BangPick::Kind;

  auto help = bang_pick(es, "  !   ");
  EXPECT_EQ(help.kind, K::help);
  EXPECT_EQ(bang_lines(help),
            std::vector<std::string>{"; ! runs a command by name, as the palette does: !clear line counts"});

  auto one = bang_pick(es, "! run");
  EXPECT_EQ(one.kind, K::run);
  EXPECT_EQ(kelp::pr_str(one.id), ":run/run");
  EXPECT_EQ(one.doc, "Run the buffer.");
  EXPECT_TRUE(bang_lines(one).empty());

  // Both clear commands hold the words, but one doc equals them once case and the full stop are set aside.
  for (const char* line : {"!clear the console.", "! Clear  the CONSOLE "}) {
    auto exact = bang_pick(es, line);
    EXPECT_EQ(exact.kind, K::run) << line;
    EXPECT_EQ(kelp::pr_str(exact.id), ":console/clear") << line;
  }

  auto several = bang_pick(es, "! clear the");
  EXPECT_EQ(several.kind, K::choices);
  EXPECT_EQ(bang_lines(several), (std::vector<std::string>{"; ! 2 commands match \"clear the\":",
                                                           ";   Clear the console.",
                                                           ";   Clear the last entry's output."}));

  auto none = bang_pick(es, "! make coffee");
  EXPECT_EQ(none.kind, K::none);
  EXPECT_EQ(bang_lines(none),
            std::vector<std::string>{"; ! No command matches \"make coffee\". Cmd/Ctrl+Shift+P lists them all."});
  EXPECT_EQ(bang_failed_line("The command :a/b isn't built yet."), "; ! failed: The command :a/b isn't built yet.");
}

TEST(Palette, MoveStaysOnTheShownEntries) {
  State s;
  s.shown = {make_entry(kelp::keyword("a"), "A.", {}, "built-in"), make_entry(kelp::keyword("b"), "B.", {}, "x"),
             make_entry(kelp::keyword("c"), "C.", {}, "y")};
  struct Case {
    size_t from;
    long delta;
    size_t to;
  };
  const Case cases[] = {{0, 1, 1}, {1, 1, 2}, {2, 1, 2}, {0, -1, 0}, {2, -PAGE, 0}, {0, PAGE, 2}, {1, 0, 1}};
  for (const auto& c : cases) {
    s.index = c.from;
    EXPECT_EQ(move(s, c.delta).index, c.to) << c.from << " by " << c.delta;
  }
  // After a refilter shrinks the list the selection comes back onto it.
  s.index = 9;
  EXPECT_EQ(move(s, 0).index, 2u);
  EXPECT_EQ(move(State{{}, 4}, 1).index, 0u);
}

}  // namespace
}  // namespace orrery::palette
