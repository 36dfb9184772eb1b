// Parinfer in a real window: typed brackets balanced by the hook in the keystroke's own undo step, the mode
// commands and their status, the long-form note, and structural commands running in Paren mode.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "gui/support.hpp"
#include "gui/window_fixture.hpp"
#include "orrery/gtk/buffer.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/gtk/editor.hpp"
#include "orrery/gtk/window.hpp"
#include "orrery/key_sets.hpp"
#include "orrery/main.hpp"

namespace fs = std::filesystem;

namespace orrery::gtk {
namespace {

using gui_test::pump_until;

constexpr auto NONE = GdkModifierType(0);

struct EditorParinfer : gui_test::WindowFixture {
  void open(const std::string& text, const std::string& mode) {
    open_window("p.clj", text);
    ASSERT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(ed()->view())));
    w->run_command("parinfer/" + mode);
  }

  std::shared_ptr<Editor> ed() { return w->active_editor(); }
  GtkTextBuffer* buf() { return ed()->buffer(); }

  // Keys as they arrive: the window's controller, the editor's, and what neither takes is typed as GTK would.
  void type(const std::string& s) {
    for (char ch : s) {
      const guint keyval = gdk_unicode_to_keyval(static_cast<unsigned char>(ch));
      if (w->press_key(keyval, NONE) || ed()->dispatch_key(keyval, NONE)) continue;
      const char one[2] = {ch, 0};
      gtk_text_buffer_begin_user_action(buf());
      gtk_text_buffer_insert_interactive_at_cursor(buf(), one, 1, TRUE);
      gtk_text_buffer_end_user_action(buf());
    }
  }
};

TEST_F(EditorParinfer, TypingAFormInSmartOrIndentModeClosesItAndOneUndoTakesBackKeystrokeAndFix) {
  for (const char* mode : {"smart", "indent"}) {
    SCOPED_TRACE(mode);
    open("", mode);
    type("(defn f [x]");
    EXPECT_EQ(ed()->text(), "(defn f [x])");
    EXPECT_EQ(caret(buf()), 11);
    type(" (");
    EXPECT_EQ(ed()->text(), "(defn f [x] ())");
    gtk_text_buffer_undo(buf());
    EXPECT_EQ(ed()->text(), "(defn f [x] )");
    gtk_text_buffer_undo(buf());
    EXPECT_EQ(ed()->text(), "(defn f [x])");
    gtk_text_buffer_redo(buf());
    gtk_text_buffer_redo(buf());
    EXPECT_EQ(ed()->text(), "(defn f [x] ())");
    w->request_close();
    pump_until([&] { return w->is_closed(); }, std::chrono::seconds(5));
  }
}

TEST_F(EditorParinfer, ModeCommandsSayTheModeAndOffLeavesBracketsToTheEditor) {
  open("", "smart");
  EXPECT_EQ(w->status(), "Parinfer: Smart");
  w->run_command("parinfer/next-mode");
  EXPECT_EQ(w->status(), "Parinfer: Indent");
  w->run_command("parinfer/off");
  EXPECT_EQ(w->status(), "Parinfer: off");
  // The editor's own pairing, and nothing balanced behind it.
  type("(a");
  EXPECT_EQ(ed()->text(), "(a)");
  gtk_text_buffer_begin_user_action(buf());
  gtk_text_buffer_insert_interactive_at_cursor(buf(), "(", 1, TRUE);
  gtk_text_buffer_end_user_action(buf());
  EXPECT_EQ(ed()->text(), "(a()");
}

TEST_F(EditorParinfer, AProjectPinWinsOverTheGlobalModeAndTheChoiceSaysSo) {
  std::ofstream(dir / ".orrery.edn") << "{:parinfer :paren}\n";
  open("", "smart");
  EXPECT_EQ(w->status(), "Parinfer: Smart (this project says Paren)");
  // Paren mode: the editor pairs the bracket itself.
  type("(a");
  EXPECT_EQ(ed()->text(), "(a)");
}

TEST_F(EditorParinfer, AFormOverTheLineCapIsLeftAsTypedWithANoteTheNextAdjustedEditClears) {
  std::string body = "(do\n";
  for (int i = 0; i < 310; ++i) body += "  x\n";
  body += "  y)\n\n(b)\n";
  open(body, "smart");
  place_caret(buf(), 6);  // inside the long form
  type("(");
  EXPECT_EQ(w->status(), "over 300 lines here, not adjusted");
  EXPECT_EQ(ed()->text().substr(0, 9), "(do\n  (x\n");
  place_caret(buf(), static_cast<Offset>(ed()->text().size()) - 2);  // before (b)'s closer
  type(" (");
  EXPECT_NE(ed()->text().find("(b ())"), std::string::npos);
  EXPECT_EQ(w->status(), "");
}

TEST_F(EditorParinfer, SlurpAndBarfFromTheirKeysRunInParenModeUnderSmart) {
  // The settings choose Smart mode and a key set with the structural keys.
  fs::create_directories(dir / "config");
  std::ofstream(dir / "config" / "settings.edn") << "{:parinfer :smart :key-set :calva}\n";
  const std::string text = "(a (b)\n   c)";
  LaunchOptions o;
  o.settings_path = dir / "config" / "settings.edn";
  open_window("p.clj", text, o);
  ASSERT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(ed()->view())));
  const auto ctrl_alt = GdkModifierType(GDK_CONTROL_MASK | GDK_ALT_MASK);
  auto press = [&](guint keyval) {
    if (!w->press_key(keyval, ctrl_alt)) {
      EXPECT_EQ(ed()->dispatch_key(keyval, ctrl_alt), 1);
    }
  };

  place_caret(buf(), 5);  // after b
  press(GDK_KEY_Right);
  EXPECT_EQ(w->last_command(), "paredit/slurp-forward");
  // Smart mode would read c's indentation as outside (b and undo the slurp; Paren mode indents c into it.
  EXPECT_EQ(ed()->text(), "(a (b\n    c))");
  press(GDK_KEY_Left);
  EXPECT_EQ(w->last_command(), "paredit/barf-forward");
  EXPECT_EQ(ed()->text().substr(0, 6), "(a (b)");
  gtk_text_buffer_undo(buf());
  EXPECT_EQ(ed()->text(), "(a (b\n    c))");
  gtk_text_buffer_undo(buf());
  EXPECT_EQ(ed()->text(), text);
  // Typing still runs the settings' Smart mode: a bare opener, its closer inferred (off, it would pair as "()").
  place_caret(buf(), 1);
  type("(");
  EXPECT_EQ(ed()->text().substr(0, 4), "((a ");
}

// Format All from its key re-indents the buffer as one undo step, with Parinfer off and in Smart mode (where the
// Paren-stable pass follows the formatter).
TEST_F(EditorParinfer, FormatAllReindentsAsOneUndoStep) {
  const std::string text = "(defn f [x]\n(inc\nx))\n";
  for (const std::string mode : {"off", "smart"}) {
    SCOPED_TRACE(mode);
    open(text, mode);
    const auto ctrl_shift = GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK);
    EXPECT_TRUE(w->press_key(GDK_KEY_f, ctrl_shift) || ed()->dispatch_key(GDK_KEY_f, ctrl_shift));
    EXPECT_EQ(w->last_command(), "edit/format-all");
    EXPECT_EQ(ed()->text(), "(defn f [x]\n  (inc\n    x))\n");
    gtk_text_buffer_undo(buf());
    EXPECT_EQ(ed()->text(), text);
    close_window();
  }
}

}  // namespace
}  // namespace orrery::gtk
