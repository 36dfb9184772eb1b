#include "orrery/gtk/editor.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "gui/support.hpp"
#include "kelp/data/string.hpp"
#include "orrery/gtk/buffer.hpp"

namespace orrery::gtk {
namespace {

using gui_test::pump_for;
using gui_test::pump_until;
using namespace std::chrono_literals;

// A text with the caret marked by '|': the text without it and the caret's offset.
std::pair<std::string, Offset> split_caret(std::string marked) {
  auto bar = marked.find('|');
  std::string text = marked.substr(0, bar) + marked.substr(bar + 1);
  return {text, static_cast<Offset>(kelp::to_u32(marked.substr(0, bar)).size())};
}

class EditorTest : public testing::Test {
 protected:
  void SetUp() override {
    window_ = gtk_window_new();
    ed_ = Editor::make();
    gtk_window_set_child(GTK_WINDOW(window_), ed_->widget());
    gtk_window_set_default_size(GTK_WINDOW(window_), 600, 400);
    gtk_window_present(GTK_WINDOW(window_));
    ed_->set_error_fn([this](const std::string& m) { errors_.push_back(m); });
  }
  void TearDown() override {
    if (window_) gtk_window_destroy(GTK_WINDOW(window_));
    ed_.reset();
    gui_test::pump_for(10ms);
  }

  GtkTextBuffer* buf() { return ed_->buffer(); }
  void set_marked(const std::string& marked) {
    auto [text, at] = split_caret(marked);
    ed_->set_text(text);
    place_caret(buf(), at);
  }
  std::string marked() {
    std::u32string t = text_u32(buf());
    t.insert(static_cast<size_t>(caret(buf())), 1, U'|');
    return kelp::to_utf8(t);
  }
  // What GTK does with a key the editor leaves alone: type its text at the caret.
  void type_through_gtk(const std::string& s) {
    gtk_text_buffer_insert_interactive_at_cursor(buf(), s.data(), -1, TRUE);
  }
  bool painted() {
    return pump_until([&] { return ed_->is_painted(); });
  }
  bool has_tag(Offset at, const std::string& name) {
    auto tags = ed_->tags_at(at);
    return std::find(tags.begin(), tags.end(), name) != tags.end();
  }

  GtkWidget* window_ = nullptr;
  std::shared_ptr<Editor> ed_;
  std::vector<std::string> errors_;
};

Edit edit(Offset a, Offset b, std::u32string text) { return Edit{a, b, std::move(text)}; }

TEST_F(EditorTest, AMultiEditOpLandsBackToFrontAndOneUndoRevertsIt) {
  ed_->set_text("(a b a c a)");
  ASSERT_TRUE(ed_->apply_op(EditOp{{edit(11, 11, U"\n")}, 12, {}}));
  // Every "a" grows to three characters: applied front to back, the later offsets would land on the wrong text.
  EditOp replace_all{{edit(1, 2, U"xyz"), edit(5, 6, U"xyz"), edit(9, 10, U"xyz")}, 4, {}};
  ASSERT_TRUE(ed_->apply_op(replace_all));
  EXPECT_EQ(ed_->text(), "(xyz b xyz c xyz)\n");
  EXPECT_EQ(caret(buf()), 4);

  gtk_text_buffer_undo(buf());
  EXPECT_EQ(ed_->text(), "(a b a c a)\n");
  gtk_text_buffer_undo(buf());
  EXPECT_EQ(ed_->text(), "(a b a c a)");
}

TEST_F(EditorTest, RefusedOpsChangeNothing) {
  struct Case {
    const char* what;
    std::optional<EditOp> op;
    bool read_only;
  };
  const std::vector<Case> cases = {
      {"no result", std::nullopt, false},
      {"a NUL in a replacement", EditOp{{edit(0, 0, U"ok"), edit(3, 3, std::u32string(U"a\0b", 3))}, 0, {}}, false},
      {"an edit past the end", EditOp{{edit(2, 40, U"x")}, 0, {}}, false},
      {"a read-only editor", EditOp{{edit(0, 0, U"x")}, 1, {}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ed_->set_read_only(false);
    ed_->set_text("(foo)");
    ed_->set_read_only(c.read_only);
    EXPECT_FALSE(ed_->apply_op(c.op));
    EXPECT_FALSE(ed_->apply_op_plain(c.op));
    EXPECT_EQ(ed_->text(), "(foo)");
    EXPECT_FALSE(gtk_text_buffer_get_can_undo(buf()));
  }
  // Read-only also holds against a direct interactive insert, which the view's editable property does not stop,
  // and against text loaded after it was set.
  ed_->set_text("(bar)");
  place_caret(buf(), 2);
  type_through_gtk("x");
  EXPECT_EQ(ed_->text(), "(bar)");
  ed_->set_read_only(false);
  type_through_gtk("x");
  EXPECT_EQ(ed_->text(), "(bxar)");
}

TEST_F(EditorTest, ASelectionKeepsTheCaretOnTheEndTheOpNames) {
  for (Offset at : {Offset{2}, Offset{6}}) {
    ed_->set_text("ab\ncd\nef");
    ASSERT_TRUE(ed_->apply_op(EditOp{{edit(0, 0, U";")}, at + 1, Span{3, 7}}));
    Span marks = selection_marks(buf());
    EXPECT_EQ(marks.start, at + 1) << "the insert mark";
    EXPECT_EQ(marks.end, at == 2 ? 7 : 3) << "the selection bound";
  }
}

TEST_F(EditorTest, SnapshotsFollowEveryKindOfChange) {
  ed_->set_text("(ns a)\n(def λ \"ü\")\n");
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"insert at the start", [&] { insert(buf(), 0, U";; x\n"); }},
      {"insert at the end", [&] { insert(buf(), char_count(buf()), U"(λ)"); }},
      {"delete in the middle", [&] { erase(buf(), 9, 14); }},
      {"two edits before a read", [&] { insert(buf(), 2, U"ab"), erase(buf(), 12, 13); }},
      {"undo", [&] { gtk_text_buffer_undo(buf()); }},
      {"an op", [&] { ed_->apply_op(EditOp{{edit(0, 1, U"é"), edit(4, 6, U"")}, 0, {}}); }},
      {"delete everything", [&] { erase(buf(), 0, char_count(buf())); }},
      {"load", [&] { ed_->set_text("(a)\n(b)"); }},
      {"reload", [&] { ed_->reload_text("(a)\n(c)"); }},
  };
  for (const auto& [what, change] : changes) {
    SCOPED_TRACE(what);
    change();
    EXPECT_EQ(kelp::to_utf8(ed_->snapshot().text), ed_->text());
  }
}

TEST_F(EditorTest, CaretListenersGetZeroBasedLineAndColumn) {
  std::vector<std::pair<int, int>> moves;
  ed_->on_cursor_moved([&](int line, int col) { moves.emplace_back(line, col); });
  ed_->set_text("(ns a)\n(def λ 1)");
  ASSERT_FALSE(moves.empty());
  EXPECT_EQ(moves.back(), std::pair(0, 0));
  place_caret(buf(), 12);
  EXPECT_EQ(moves.back(), std::pair(1, 5));
  type_through_gtk("ü");  // an insert moves the caret without a mark being set
  EXPECT_EQ(moves.back(), std::pair(1, 6));
}

TEST_F(EditorTest, LoadingLeavesNoUndoStepAndReloadingUndoesBackToTheUnsavedText) {
  std::vector<bool> flips;
  ed_->on_dirty_changed([&](bool d) { flips.push_back(d); });
  ed_->set_text("(ns a)\n(def x 1)\n");
  pump_for(80ms);
  EXPECT_FALSE(gtk_text_buffer_get_can_undo(buf()));
  EXPECT_FALSE(ed_->is_dirty());
  EXPECT_TRUE(flips.empty());

  place_caret(buf(), 15);
  type_through_gtk("0");  // the tab now holds unsaved work
  ASSERT_TRUE(pump_until([&] { return flips.size() == 1; }));
  ed_->reload_text("(ns b)\n");
  EXPECT_EQ(ed_->text(), "(ns b)\n");
  EXPECT_EQ(caret(buf()), 7) << "the caret keeps its offset, clamped to the new text";
  EXPECT_FALSE(ed_->is_dirty());
  ASSERT_TRUE(pump_until([&] { return flips.size() == 2; }));

  gtk_text_buffer_undo(buf());
  EXPECT_EQ(ed_->text(), "(ns a)\n(def x 10)\n");
  EXPECT_TRUE(ed_->is_dirty());
  ASSERT_TRUE(pump_until([&] { return flips.size() == 3; }));
  EXPECT_EQ(flips, (std::vector<bool>{true, false, true}));
}

TEST_F(EditorTest, DirtyListenersRunInOrderExactlyWhenTheValueFlips) {
  std::vector<std::string> calls;
  ed_->on_dirty_changed([&](bool d) {
    calls.push_back(std::string("first ") + (d ? "dirty" : "clean"));
    throw std::runtime_error("listener failed on purpose");
  });
  ed_->on_dirty_changed([&](bool d) { calls.push_back(std::string("second ") + (d ? "dirty" : "clean")); });
  ed_->set_text("abc");
  place_caret(buf(), 3);

  struct Step {
    const char* what;
    std::function<void()> act;
    std::vector<std::string> calls;  // those this step adds
  };
  std::vector<Step> steps = {
      {"typing", [&] { type_through_gtk("d"); }, {"first dirty", "second dirty"}},
      {"typing on", [&] { type_through_gtk("e"); }, {}},
      {"a same-length change",
       [&] {
         erase(buf(), 0, 1);
         insert(buf(), 0, U"z");
       },
       {}},
      {"back to the saved text",
       [&] {
         erase(buf(), 0, 1);
         insert(buf(), 0, U"a");
         erase(buf(), 3, 5);
       },
       {"first clean", "second clean"}},
      {"a repaint",
       [&] {
         ed_->paint_async();
         painted();
       },
       {}},
      {"a new saved text", [&] { ed_->rebase_saved("abcd"); }, {"first dirty", "second dirty"}},
      {"saving", [&] { ed_->mark_saved(); }, {"first clean", "second clean"}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    calls.clear();
    s.act();
    if (s.calls.empty()) {
      pump_for(60ms);
    } else {
      ASSERT_TRUE(pump_until([&] { return calls.size() >= s.calls.size(); }));
      pump_for(30ms);
    }
    EXPECT_EQ(calls, s.calls);
  }
  EXPECT_EQ(errors_.front(), "; dirty-changed: listener failed on purpose");
}

TEST_F(EditorTest, TypingStagesFollowTheParinferMode) {
  ParinferMode mode = ParinferMode::Off;
  ed_->set_parinfer_mode_fn([&] { return mode; });
  struct Case {
    ParinferMode mode;
    const char* before;
    guint keyval;
    GdkModifierType state;
    int handled;
    const char* after;
  };
  const auto none = GdkModifierType(0);
  const std::vector<Case> cases = {
      {ParinferMode::Off, "|", GDK_KEY_parenleft, none, 1, "(|)"},
      {ParinferMode::Paren, "|", GDK_KEY_bracketleft, none, 1, "[|]"},
      {ParinferMode::Smart, "|", GDK_KEY_parenleft, none, 0, "|"},
      {ParinferMode::Indent, "|", GDK_KEY_braceleft, none, 0, "|"},
      {ParinferMode::Smart, "|", GDK_KEY_quotedbl, none, 1, "\"|\""},
      {ParinferMode::Off, "(|)", GDK_KEY_parenright, none, 1, "()|"},
      {ParinferMode::Smart, "(|)", GDK_KEY_parenright, none, 0, "(|)"},
      {ParinferMode::Off, "x|", GDK_KEY_parenright, none, 0, "x|"},
      {ParinferMode::Off, "(|)", GDK_KEY_BackSpace, none, 1, "|"},
      {ParinferMode::Smart, "(|)", GDK_KEY_BackSpace, none, 0, "(|)"},
      {ParinferMode::Smart, "\"|\"", GDK_KEY_BackSpace, none, 1, "|"},
      {ParinferMode::Off, "(defn f [x]|)", GDK_KEY_Return, none, 1, "(defn f [x]\n  |)"},
      {ParinferMode::Off, "  (|)", GDK_KEY_Return, none, 1, "  (\n    |\n  )"},
      {ParinferMode::Smart, "  (|)", GDK_KEY_KP_Enter, none, 1, "  (\n    |)"},
      {ParinferMode::Off, "(a|)", GDK_KEY_Return, GDK_SHIFT_MASK, 0, "(a|)"},
      {ParinferMode::Off, "a|", GDK_KEY_Tab, none, 1, "a  |"},
      {ParinferMode::Off, "   a|", GDK_KEY_ISO_Left_Tab, none, 1, " a|"},
      {ParinferMode::Off, "\ta|", GDK_KEY_Tab, GDK_SHIFT_MASK, 1, "a|"},
      {ParinferMode::Off, "|", GDK_KEY_parenleft, GDK_CONTROL_MASK, 0, "|"},
      {ParinferMode::Off, "|", GDK_KEY_a, none, 0, "|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.before) + " + " + gdk_keyval_name(c.keyval));
    mode = c.mode;
    set_marked(c.before);
    EXPECT_EQ(ed_->dispatch_key(c.keyval, c.state), c.handled);
    EXPECT_EQ(marked(), c.after);
  }
  // The pair and the smart Return are each one undo step.
  set_marked("  (|)");
  mode = ParinferMode::Off;
  ed_->dispatch_key(GDK_KEY_Return, none);
  gtk_text_buffer_undo(buf());
  EXPECT_EQ(ed_->text(), "  ()");
}

TEST_F(EditorTest, KeysGoToTheFlashCompletionAndKeymapBeforeTheTypingStages) {
  std::vector<std::string> seen;
  bool completion_takes = false;
  ed_->set_flash_cancel_fn([&] { seen.push_back("flash"); });
  ed_->set_completion_key_fn([&](guint kv, GdkModifierType) {
    seen.push_back(std::string("completion ") + gdk_keyval_name(kv));
    return completion_takes;
  });
  ed_->set_keymap_fn([&](guint kv, GdkModifierType, guint) {
    seen.push_back(std::string("keymap ") + gdk_keyval_name(kv));
    if (kv == GDK_KEY_F12) throw std::runtime_error("binding failed on purpose");
    return kv == GDK_KEY_Return ? 1 : 0;
  });
  set_marked("|");

  // A bare modifier keeps the flash; Caps Lock's upper case reaches the keymap lowered.
  EXPECT_EQ(ed_->dispatch_key(GDK_KEY_Shift_L, GdkModifierType(0)), 0);
  EXPECT_EQ(ed_->dispatch_key(GDK_KEY_A, GdkModifierType(0)), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"completion Shift_L", "keymap Shift_L", "flash", "completion a",
                                            "keymap a"}));
  // The keymap's 1 is final: no smart Return.
  EXPECT_EQ(ed_->dispatch_key(GDK_KEY_Return, GdkModifierType(0)), 1);
  EXPECT_EQ(ed_->text(), "");
  // So is the completion popup's, before the keymap sees the key.
  seen.clear();
  completion_takes = true;
  EXPECT_EQ(ed_->dispatch_key(GDK_KEY_parenleft, GdkModifierType(0)), 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"flash", "completion parenleft"}));
  EXPECT_EQ(ed_->text(), "");
  completion_takes = false;

  // A throw is reported and the key counts as handled.
  EXPECT_EQ(ed_->dispatch_key(GDK_KEY_F12, GdkModifierType(0)), 1);
  EXPECT_EQ(errors_, (std::vector<std::string>{"; key: binding failed on purpose"}));

  // While an input method composes, every key is the input method's.
  g_signal_emit_by_name(ed_->view(), "preedit-changed", "n");
  EXPECT_EQ(ed_->dispatch_key(GDK_KEY_parenleft, GdkModifierType(0)), 0);
  EXPECT_EQ(ed_->text(), "");
  g_signal_emit_by_name(ed_->view(), "preedit-changed", "");
  EXPECT_EQ(ed_->dispatch_key(GDK_KEY_parenleft, GdkModifierType(0)), 1);
  EXPECT_EQ(ed_->text(), "()");
}

TEST_F(EditorTest, PaintingColoursTheTextOnceTypingPauses) {
  ed_->set_text("(def a 1)\n");
  ASSERT_TRUE(painted());
  EXPECT_TRUE(has_tag(0, "[:rainbow 0]"));
  EXPECT_TRUE(has_tag(1, ":special-form"));

  place_caret(buf(), 10);
  for (const char* piece : {"(str ", "\"s\"", ")", " ; note"}) type_through_gtk(piece);
  EXPECT_FALSE(ed_->is_painted());
  ASSERT_TRUE(painted());
  EXPECT_EQ(ed_->text(), "(def a 1)\n(str \"s\") ; note");
  EXPECT_TRUE(has_tag(15, ":string"));
  EXPECT_TRUE(has_tag(22, ":comment"));
  EXPECT_TRUE(has_tag(10, "[:rainbow 0]"));
  EXPECT_FALSE(has_tag(19, ":string")) << "the tag of the string does not run on into the typed text after it";
  EXPECT_TRUE(has_tag(1, ":special-form")) << "text outside the edit keeps its colours";
  EXPECT_TRUE(errors_.empty());
}

TEST_F(EditorTest, AResultForATextThatMovedOnIsDroppedAndRetried) {
  ed_->set_text("(def a 1)\n");
  ASSERT_TRUE(painted());
  place_caret(buf(), 10);
  type_through_gtk(";");
  const PaintStats before = ed_->paint_stats();
  ASSERT_TRUE(pump_until([&] { return ed_->paint_stats().started > before.started; }));
  // The worker has the text "(def a 1)\n;"; its result must not land on this one.
  insert(buf(), 0, U"x\n");
  ASSERT_TRUE(pump_until([&] { return ed_->paint_stats().dropped > before.dropped; }));
  EXPECT_FALSE(has_tag(10, ":comment")) << "the stale plan's comment would cover the closing bracket";

  ASSERT_TRUE(painted());
  EXPECT_EQ(ed_->text(), "x\n(def a 1)\n;");
  EXPECT_TRUE(has_tag(12, ":comment"));
  EXPECT_TRUE(has_tag(10, "[:rainbow 0]"));
  EXPECT_FALSE(has_tag(10, ":comment"));
}

TEST_F(EditorTest, ThemesRetintTheSameTags) {
  GtkTextTagTable* table = gtk_text_buffer_get_tag_table(buf());
  GtkTextTag* comment = gtk_text_tag_table_lookup(table, ":comment");
  ASSERT_NE(comment, nullptr);
  auto colour = [&] {
    GdkRGBA* rgba = nullptr;
    g_object_get(gtk_text_tag_table_lookup(table, ":comment"), "foreground-rgba", &rgba, nullptr);
    std::string s = rgba ? gdk_rgba_to_string(rgba) : "";
    gdk_rgba_free(rgba);
    return s;
  };
  ed_->apply_theme(theme::theme("light"));
  std::string light = colour();
  ed_->apply_theme(theme::theme("dark"));
  EXPECT_NE(colour(), light);
  EXPECT_EQ(gtk_text_tag_table_lookup(table, ":comment"), comment);
  EXPECT_EQ(gtk_text_tag_table_get_size(table), 19) << "ten token styles, seven rainbow colours, unmatched, read-only";
}

TEST_F(EditorTest, AViewDestroyedWhilePaintingIsNeverTouched) {
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "(defn f" + std::to_string(i) + " [x] (+ x 1)) ; c \"s\"\n";
  // A GTK critical (a call on a disposed buffer or view) ends the run.
  struct FatalCriticals {
    GLogLevelFlags before = g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    ~FatalCriticals() { g_log_set_always_fatal(before); }
  } fatal;
  // First while the worker plans, then between two chunks of tags.
  for (bool mid_chunks : {false, true}) {
    SCOPED_TRACE(mid_chunks ? "between chunks" : "while planning");
    if (!window_) SetUp();
    ed_->set_text(big);
    if (mid_chunks) {
      ASSERT_TRUE(pump_until([&] { return !ed_->tags_at(0).empty(); }));
      ASSERT_FALSE(ed_->is_painted());
    }
    std::weak_ptr<Editor> weak = ed_;
    ed_.reset();
    gtk_window_destroy(GTK_WINDOW(window_));
    window_ = nullptr;
    EXPECT_TRUE(pump_until([&] { return weak.expired(); }));
    pump_for(300ms);  // the worker's result and any queued chunk come and go
  }
}

}  // namespace
}  // namespace orrery::gtk
