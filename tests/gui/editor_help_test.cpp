// The editor's help features in a real window: the completion popup over the buffer's and the runtime's names,
// quick docs, Jump to Definition by key and by Ctrl+click, and jumping back.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gui/support.hpp"
#include "gui/window_fixture.hpp"
#include "kelp/data/string.hpp"
#include "orrery/gtk/buffer.hpp"
#include "orrery/gtk/console_view.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/gtk/editor.hpp"
#include "orrery/gtk/editor_help.hpp"
#include "orrery/gtk/window.hpp"
#include "orrery/main.hpp"

namespace fs = std::filesystem;

namespace orrery::gtk {
namespace {

using gui_test::pump_until;

constexpr auto NONE = GdkModifierType(0);
constexpr auto CTRL = GDK_CONTROL_MASK;

Offset offset_in(const std::string& text, const std::string& needle, std::size_t from = 0) {
  const std::size_t at = text.find(needle, from);
  EXPECT_NE(at, std::string::npos) << needle;
  return static_cast<Offset>(kelp::to_u32(text.substr(0, at)).size());
}

struct EditorHelpTest : gui_test::WindowFixture {
  void open(const std::string& text) {
    open_window("help.clj", text);
    ASSERT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(ed()->view())));
  }

  std::shared_ptr<Editor> ed() { return w->active_editor(); }
  std::shared_ptr<EditorHelp> help() { return w->active_help(); }
  GtkTextBuffer* buf() { return ed()->buffer(); }
  Offset at() { return caret(buf()); }

  // A key as it arrives: the window's controller first, then the editor's; a key neither takes is typed.
  void press(guint keyval, GdkModifierType state = NONE) {
    if (w->press_key(keyval, state)) return;
    if (ed()->dispatch_key(keyval, state)) return;
    const gunichar c = gdk_keyval_to_unicode(keyval);
    if (!c || (state & CTRL)) return;
    char utf8[8] = {};
    const int n = g_unichar_to_utf8(c, utf8);
    gtk_text_buffer_begin_user_action(buf());
    gtk_text_buffer_insert_interactive_at_cursor(buf(), utf8, n, TRUE);
    gtk_text_buffer_end_user_action(buf());
  }

  bool popup_settled() { return help()->completion_open() && !help()->completion_waiting(); }
  std::vector<std::string> rows() { return help()->completion_rows(); }
  bool has_row(const std::string& row) {
    auto r = rows();
    return std::find(r.begin(), r.end(), row) != r.end();
  }
};

TEST_F(EditorHelpTest, CompletionOffersBufferAndCoreNamesRefinesAndCommitsAsOneUndoStep) {
  const std::string head = "(defn make-thing [] 1)\n(";
  open(head + "ma");
  place_caret(buf(), char_count(buf()));

  press(GDK_KEY_space, CTRL);
  ASSERT_TRUE(pump_until([&] { return popup_settled(); }));
  EXPECT_TRUE(has_row("make-thing  buffer"));
  EXPECT_TRUE(has_row("map  builtin"));
  // The editor keeps the keyboard: typing goes on into the buffer.
  EXPECT_TRUE(gtk_widget_has_focus(GTK_WIDGET(ed()->view())));

  // Up and Down move within the list, clamped at its ends.
  press(GDK_KEY_Up);
  EXPECT_EQ(help()->completion_index(), 0u);
  press(GDK_KEY_Down);
  EXPECT_EQ(help()->completion_index(), 1u);
  EXPECT_EQ(ed()->text(), head + "ma");

  // Typing narrows the list to the new prefix.
  press(GDK_KEY_k);
  ASSERT_TRUE(pump_until([&] { return popup_settled() && !has_row("map  builtin"); }));
  EXPECT_TRUE(has_row("make-thing  buffer"));
  for (const auto& r : rows()) EXPECT_EQ(r.rfind("mak", 0), 0u) << r;

  const auto rs = rows();
  const auto make_row = std::find(rs.begin(), rs.end(), "make-thing  buffer") - rs.begin();
  for (long i = static_cast<long>(help()->completion_index()); i < make_row; ++i) press(GDK_KEY_Down);
  for (long i = static_cast<long>(help()->completion_index()); i > make_row; --i) press(GDK_KEY_Up);
  press(GDK_KEY_Return);
  EXPECT_FALSE(help()->completion_open());
  EXPECT_EQ(ed()->text(), head + "make-thing");
  EXPECT_EQ(at(), char_count(buf()));

  gtk_text_buffer_undo(buf());
  EXPECT_EQ(ed()->text(), head + "mak");

  // Escape closes the popup and leaves the text alone; moving off the word closes it too.
  press(GDK_KEY_space, CTRL);
  ASSERT_TRUE(pump_until([&] { return popup_settled(); }));
  press(GDK_KEY_Escape);
  EXPECT_FALSE(help()->completion_open());
  EXPECT_EQ(ed()->text(), head + "mak");
  press(GDK_KEY_space, CTRL);
  ASSERT_TRUE(pump_until([&] { return popup_settled(); }));
  place_caret(buf(), 0);
  EXPECT_TRUE(pump_until([&] { return !help()->completion_open(); }));
}

TEST_F(EditorHelpTest, TheConsoleInputCompletesFromTheSameNames) {
  open("(defn make-thing [] 1)\n");
  ConsoleView& c = w->console();
  auto ch = w->console_help();
  ASSERT_TRUE(ch);
  c.set_input("(ma", 3);
  // Ctrl+Space in the input opens the popup; it offers kelp's core names there.
  EXPECT_EQ(c.dispatch_key(GDK_KEY_space, CTRL), 1);
  ASSERT_TRUE(pump_until([&] { return ch->completion_open() && !ch->completion_waiting(); }));
  const auto rs = ch->completion_rows();
  const auto map_row = std::find(rs.begin(), rs.end(), "map  builtin");
  ASSERT_NE(map_row, rs.end());
  for (long i = 0; i < map_row - rs.begin(); ++i) EXPECT_EQ(c.dispatch_key(GDK_KEY_Down, NONE), 1);
  // Return commits into the input line, never into the history above it.
  const std::string history = c.output_text();
  EXPECT_EQ(c.dispatch_key(GDK_KEY_Return, NONE), 1);
  EXPECT_FALSE(ch->completion_open());
  EXPECT_EQ(c.input_text(), "(map");
  EXPECT_EQ(c.output_text(), history);
  // Escape closes an open popup and leaves the input as it is.
  EXPECT_EQ(c.dispatch_key(GDK_KEY_space, CTRL), 1);
  ASSERT_TRUE(pump_until([&] { return ch->completion_open(); }));
  EXPECT_EQ(c.dispatch_key(GDK_KEY_Escape, NONE), 1);
  EXPECT_FALSE(ch->completion_open());
  EXPECT_EQ(c.input_text(), "(map");
}

TEST_F(EditorHelpTest, QuickDocsForACoreFunctionABufferDefinitionAndAnUnknownName) {
  const std::string text =
      "(defn make-thing\n  \"Makes a thing from x.\"\n  [x] x)\n(map make-thing [1])\n(no-such-name)";
  open(text);
  struct Case {
    std::string at;
    std::vector<std::string> shows;
  };
  const Case cases[] = {
      {"map make", {"clojure.core/map", "([f]"}},
      {"make-thing [1]", {"make-thing  [buffer def, line 1]", "([x])", "Makes a thing from x."}},
      {"no-such-name", {"no-such-name\n\n(No documentation found)"}},
  };
  for (const auto& c : cases) {
    place_caret(buf(), offset_in(text, c.at) + 1);
    press(GDK_KEY_q, CTRL);
    ASSERT_TRUE(pump_until([&] { return help()->doc_open(); })) << c.at;
    for (const auto& s : c.shows) EXPECT_NE(help()->doc_shown().find(s), std::string::npos) << help()->doc_shown();
    // Any key closes the docs; Escape is used up doing it.
    press(GDK_KEY_Escape);
    EXPECT_FALSE(help()->doc_open());
  }
  // Pressed again while the docs show, the runtime is asked for its full docs; this one has none to give.
  place_caret(buf(), offset_in(text, "map make") + 1);
  press(GDK_KEY_q, CTRL);
  ASSERT_TRUE(pump_until([&] { return help()->doc_open(); }));
  press(GDK_KEY_q, CTRL);
  EXPECT_FALSE(help()->doc_open());
  EXPECT_EQ(w->status(), "This server has no full-doc op.");
  EXPECT_EQ(ed()->text(), text);
}

TEST_F(EditorHelpTest, JumpGoesToTheDefinitionOrTheShadowingLocalAndBack) {
  const std::string text =
      "(defn make-thing [x] x)\n"
      "(defn use [] (make-thing 1))\n"
      "(defn shade [make-thing]\n"
      "  (let [x 2]\n"
      "    (make-thing x)))\n";
  open(text);
  const Offset def = offset_in(text, "make-thing");
  const Offset call = offset_in(text, "make-thing 1") + 2;
  place_caret(buf(), call);
  press(GDK_KEY_F12);
  EXPECT_EQ(at(), def);
  // The shipped jump-back key returns to where the jump left from, once.
  press(GDK_KEY_bracketleft, CTRL);
  EXPECT_EQ(at(), call);
  place_caret(buf(), 0);
  press(GDK_KEY_bracketleft, CTRL);
  EXPECT_EQ(at(), 0);

  // The parameter shadows the def; the let's x is the one in scope at the call.
  place_caret(buf(), offset_in(text, "make-thing x)") + 1);
  press(GDK_KEY_F12);
  EXPECT_EQ(at(), offset_in(text, "make-thing]"));
  place_caret(buf(), offset_in(text, "x)))"));
  press(GDK_KEY_b, CTRL);
  EXPECT_EQ(at(), offset_in(text, "x 2]"));
}

TEST_F(EditorHelpTest, CtrlClickJumpsAndAPlainClickDoesNot) {
  const std::string text = "(defn make-thing [x] x)\n\n(make-thing 1)\n";
  open(text);
  const Offset target = offset_in(text, "make-thing 1") + 3;
  // A point in the left half of the character at o, in the view's widget coordinates.
  auto point_at = [&](Offset o) {
    GtkTextIter it = iter_at(buf(), o);
    GdkRectangle r;
    gtk_text_view_get_iter_location(ed()->view(), &it, &r);
    int x = 0, y = 0;
    gtk_text_view_buffer_to_window_coords(ed()->view(), GTK_TEXT_WINDOW_WIDGET, r.x + r.width / 4,
                                          r.y + r.height / 2, &x, &y);
    return std::pair<double, double>(x, y);
  };
  // The third line stands below the first once the view has laid its lines out.
  ASSERT_TRUE(pump_until([&] { return point_at(target).second > point_at(0).second + 10; }));
  auto [x, y] = point_at(target);
  place_caret(buf(), 0);
  EXPECT_FALSE(ed()->handle_click(x, y, 1, NONE));
  EXPECT_FALSE(ed()->handle_click(x, y, 2, CTRL));
  EXPECT_EQ(at(), 0);
  EXPECT_TRUE(ed()->handle_click(x, y, 1, CTRL));
  EXPECT_EQ(at(), offset_in(text, "make-thing"));
  press(GDK_KEY_bracketleft, CTRL);
  EXPECT_EQ(at(), target);
}

TEST_F(EditorHelpTest, RenameChangesEveryOccurrenceInOneUndoStepOrSaysWhyNot) {
  const std::string text = "(defn f [x] (+ x 1))\n(f (f 2))";
  open(text);
  place_caret(buf(), 7);
  press(GDK_KEY_F2);
  ASSERT_TRUE(help()->rename_open());
  EXPECT_STREQ(gtk_editable_get_text(help()->rename_entry()), "f");

  gtk_editable_set_text(help()->rename_entry(), "");
  help()->rename_apply();
  EXPECT_EQ(help()->rename_problem_shown(), "Type a new name.");
  EXPECT_TRUE(help()->rename_open());
  EXPECT_EQ(ed()->text(), text);

  gtk_editable_set_text(help()->rename_entry(), " make ");
  EXPECT_EQ(help()->rename_problem_shown(), "");
  help()->rename_apply();
  EXPECT_FALSE(help()->rename_open());
  EXPECT_EQ(ed()->text(), "(defn make [x] (+ x 1))\n(make (make 2))");
  EXPECT_EQ(w->status(), "Renamed 3 occurrences of 'f' to 'make'.");
  gtk_text_buffer_undo(buf());
  EXPECT_EQ(ed()->text(), text);
}

TEST_F(EditorHelpTest, ACoreNameWithoutASourceFileShowsItsDocsInstead) {
  const std::string text = "(map inc [1])";
  open(text);
  place_caret(buf(), 2);
  press(GDK_KEY_F12);
  ASSERT_TRUE(pump_until([&] { return help()->doc_open(); }));
  EXPECT_NE(help()->doc_shown().find("clojure.core/map"), std::string::npos) << help()->doc_shown();
  EXPECT_EQ(at(), 2);
}

}  // namespace
}  // namespace orrery::gtk
