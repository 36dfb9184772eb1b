// The window's keys, palette, menus, `!` line, Describe Key, recent keys and key hints, driven as a person would:
// key presses through the window's handler, the palette's entry, the menu's actions and the console's prompt.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "gui/support.hpp"
#include "gui/window_fixture.hpp"
#include "kelp/print/printer.hpp"
#include "orrery/command_registry.hpp"
#include "orrery/gtk/buffer.hpp"
#include "orrery/gtk/console_view.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/gtk/editor.hpp"
#include "orrery/gtk/menu_bar.hpp"
#include "orrery/gtk/palette_view.hpp"
#include "orrery/gtk/window.hpp"
#include "orrery/keymap.hpp"
#include "orrery/main.hpp"

namespace fs = std::filesystem;

namespace orrery::gtk {
namespace {

using gui_test::pump_until;

constexpr auto NONE = GdkModifierType(0);
constexpr auto CTRL = GDK_CONTROL_MASK;
constexpr auto CTRL_SHIFT = GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK);

struct WindowKeys : gui_test::WindowFixture {
  void TearDown() override {
    if (w && !w->is_closed()) w->stub_commands(nullptr);
    WindowFixture::TearDown();
  }

  std::shared_ptr<Window> open(const std::string& text = "") {
    // The palette opens on the editor once it is on screen.
    open_window("keys.clj", text);
    return w;
  }

  // Puts a line in the console's history, for checking that Clear Console cleared it.
  void mark_output() {
    w->console().append(console::Kind::Out, "marker line\n");
    ASSERT_TRUE(has("marker line"));
  }

  void submit(const std::string& text) {
    w->console().set_input(text, 0);
    EXPECT_EQ(w->console().handle_return(false), 1) << text;
  }
};

// The key value and modifier state that press a binding's first chord.
std::pair<guint, GdkModifierType> press_of(const keymap::Binding& b) {
  const std::string name = b.key.empty() ? b.keys.front() : b.key;
  const guint keyval = keymap::key_value(name).value_or(0);
  return {keyval, GdkModifierType(keymap::mask_of(b.exact ? *b.exact : b.mods))};
}

TEST_F(WindowKeys, EveryUnconditionalWindowBindingReachesItsCommand) {
  // Closing the window, dialogs and runs would disturb the fixture: they are recorded, not run.
  const std::set<std::string, std::less<>> stubbed = {"tab/close", "file/open", "file/save-as", "run/run",
                                                      "run/selection"};
  int checked = 0;
  for (const auto& b : command_registry::shipped_bindings("window")) {
    if (!b.when.empty() || b.command.empty() || b.is_sequence()) continue;
    const auto [keyval, state] = press_of(b);
    ASSERT_NE(keyval, 0u) << b.command;
    open();
    w->stub_commands([&](std::string_view id) { return stubbed.count(id) > 0; });
    w->press_key(keyval, state);
    EXPECT_EQ(w->last_command(), b.command) << "the key " << kelp::pr_str(b.edn);
    w->stub_commands(nullptr);
    close_window();
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

TEST_F(WindowKeys, PaletteRunsTheTypedCommandAndReportsAThrow) {
  open();
  mark_output();
  EXPECT_EQ(w->press_key(GDK_KEY_P, CTRL_SHIFT), 1);
  PaletteView& p = w->palette();
  ASSERT_TRUE(p.is_open());
  EXPECT_EQ(w->last_command(), "palette/open");
  const auto all = p.rows();
  ASSERT_GT(all.size(), 50u);
  EXPECT_EQ(p.selected(), 0u);

  gtk_editable_set_text(p.entry(), "clear the console");
  ASSERT_FALSE(p.rows().empty());
  EXPECT_LT(p.rows().size(), all.size());
  EXPECT_EQ(p.rows()[0].rfind("Clear the console.  Ctrl+L  built-in", 0), 0u) << p.rows()[0];
  // Down and Up move the selection within the shown rows, and only then.
  EXPECT_EQ(p.handle_key(GDK_KEY_Page_Down, NONE), 1);
  EXPECT_EQ(p.selected(), p.rows().size() - 1);
  EXPECT_EQ(p.handle_key(GDK_KEY_Page_Up, NONE), 1);
  EXPECT_EQ(p.selected(), 0u);
  EXPECT_EQ(p.handle_key(GDK_KEY_a, NONE), 0);

  g_signal_emit_by_name(p.entry(), "activate");
  EXPECT_FALSE(p.is_open());
  EXPECT_EQ(w->last_command(), "console/clear");
  EXPECT_FALSE(has("marker line")) << output();

  // A command that throws says so on the status line; the palette opens again as before.
  w->press_key(GDK_KEY_P, CTRL_SHIFT);
  gtk_editable_set_text(p.entry(), "show the trace");
  ASSERT_EQ(p.rows().size(), 1u);
  p.run_selected();
  EXPECT_NE(w->status().find(":trace/show isn't"), std::string::npos) << w->status();
  w->press_key(GDK_KEY_P, CTRL_SHIFT);
  EXPECT_TRUE(p.is_open());
  EXPECT_EQ(p.rows().size(), all.size());
}

TEST_F(WindowKeys, PaletteEntryHoldsTheKeysEscapeClosesItAndTabsAreEntries) {
  open();
  w->new_tab();
  w->select_tab(0);
  w->press_key(GDK_KEY_P, CTRL_SHIFT);
  PaletteView& p = w->palette();
  ASSERT_TRUE(p.is_open());
  ASSERT_TRUE(pump_until([&] { return p.entry_focused(); }));
  // While its entry has focus, the window's keys wait: Ctrl+L types into the entry, nothing is cleared.
  mark_output();
  EXPECT_EQ(w->press_key(GDK_KEY_l, CTRL), 0);
  EXPECT_TRUE(has("marker line"));
  EXPECT_EQ(w->press_key(GDK_KEY_Escape, NONE), 1);
  EXPECT_FALSE(p.is_open());
  EXPECT_EQ(w->last_command(), "popover/close-all");

  // The other tab is the first entry; running it switches.
  w->press_key(GDK_KEY_P, CTRL_SHIFT);
  EXPECT_EQ(p.rows()[0], "Switch to tab: Untitled  tab");
  p.run_selected();
  EXPECT_EQ(w->active_index(), 1u);
}

// The menu item whose action is `action`, anywhere under model: its attributes, or nothing.
struct FoundItem {
  std::string label, accel;
};
std::optional<FoundItem> find_item(GMenuModel* model, const std::string& action) {
  for (int i = 0; i < g_menu_model_get_n_items(model); ++i) {
    char* a = nullptr;
    if (g_menu_model_get_item_attribute(model, i, "action", "s", &a)) {
      const bool hit = action == a;
      g_free(a);
      if (hit) {
        FoundItem f;
        char* s = nullptr;
        if (g_menu_model_get_item_attribute(model, i, "label", "s", &s)) f.label = s, g_free(s);
        if (g_menu_model_get_item_attribute(model, i, "accel", "s", &s)) f.accel = s, g_free(s);
        return f;
      }
    }
    for (const char* link : {G_MENU_LINK_SECTION, G_MENU_LINK_SUBMENU}) {
      if (GMenuModel* sub = g_menu_model_get_item_link(model, i, link)) {
        auto f = find_item(sub, action);
        g_object_unref(sub);
        if (f) return f;
      }
    }
  }
  return std::nullopt;
}

TEST_F(WindowKeys, MenuItemsShowTheirKeysRunTheirCommandsAndResetOnRunTicks) {
  open();
  GMenuModel* model = w->menu_bar().model();
  ASSERT_NE(model, nullptr);
  struct Case {
    const char* action;
    const char* label;
    const char* accel;
  };
  const Case cases[] = {
      {"menu.file.save", "Save", "<Control>s"},
      {"menu.view.zoom-in", "Larger Text", "<Control>equal"},
      {"menu.edit.toggle-comment", "Toggle Comment", "<Control>semicolon"},
      // Bound only while the find bar is open: the item shows no key.
      {"menu.find.next", "Find Next", ""},
      {"menu.run.reset-on-run", "Reset on Run", ""},
  };
  for (const auto& c : cases) {
    auto item = find_item(model, c.action);
    ASSERT_TRUE(item) << c.action;
    EXPECT_EQ(item->label, c.label) << c.action;
    EXPECT_EQ(item->accel, c.accel) << c.action;
  }

  mark_output();
  gtk_widget_activate_action(GTK_WIDGET(w->gtk_window()), "menu.console.clear", nullptr);
  EXPECT_EQ(w->last_command(), "console/clear");
  EXPECT_FALSE(has("marker line"));

  // A menu command that throws reports on the status line.
  gtk_widget_activate_action(GTK_WIDGET(w->gtk_window()), "menu.trace.show", nullptr);
  EXPECT_NE(w->status().find(":trace/show isn't"), std::string::npos) << w->status();

  GActionGroup* actions = w->menu_bar().actions();
  auto ticked = [&] {
    GVariant* v = g_action_group_get_action_state(actions, "run.reset-on-run");
    const bool on = v && g_variant_get_boolean(v);
    if (v) g_variant_unref(v);
    return on;
  };
  const bool before = ticked();
  gtk_widget_activate_action(GTK_WIDGET(w->gtk_window()), "menu.run.reset-on-run", nullptr);
  EXPECT_NE(ticked(), before);
  w->run_command("run/reset-on-run");
  EXPECT_EQ(ticked(), before);
}

TEST_F(WindowKeys, AKeySequenceLaidOverTheShippedKeysRunsAndEscapeCancelsIt) {
  open();
  namespace cr = command_registry;
  auto km = keymap::read_keymap(
      "{:window [{:key \"k\" :mods #{:cmd} :then [{:key \"c\"}] :command :console/clear}"
      "          {:key \"k\" :mods #{:cmd} :then [{:key \"t\"}] :command :trace/show}]}");
  ASSERT_TRUE(km);
  cr::Layers window_keys, editor_keys;
  window_keys.user = km->at("window");
  window_keys.shipped = cr::shipped_bindings("window");
  editor_keys.shipped = cr::shipped_bindings("editor");
  w->set_key_layers(window_keys, editor_keys);

  mark_output();
  EXPECT_EQ(w->press_key(GDK_KEY_k, CTRL), 1);
  EXPECT_EQ(w->press_key(GDK_KEY_Escape, NONE), 1);
  EXPECT_EQ(w->press_key(GDK_KEY_c, NONE), 0);
  EXPECT_TRUE(has("marker line"));
  EXPECT_EQ(w->press_key(GDK_KEY_k, CTRL), 1);
  EXPECT_EQ(w->press_key(GDK_KEY_c, NONE), 1);
  EXPECT_EQ(w->last_command(), "console/clear");
  EXPECT_FALSE(has("marker line"));

  // The menus follow the live keys: a command only a sequence runs shows it after its label.
  auto item = find_item(w->menu_bar().model(), "menu.trace.show");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->label, "Show Trace (Ctrl+K T)");
  EXPECT_EQ(item->accel, "");
}

TEST_F(WindowKeys, BangLinesRunCommandsOrSayWhyNot) {
  open();
  mark_output();
  // Its doc equals the words once the full stop goes, so it wins over the longer docs that hold them too.
  submit("!clear the console.");
  EXPECT_EQ(w->last_command(), "console/clear");
  EXPECT_FALSE(has("marker line"));

  struct Case {
    const char* text;
    const char* line;
  };
  const Case cases[] = {
      {"!", "; ! runs a command by name, as the palette does: !clear line counts\n"},
      {"! zzqxv", "; ! No command matches \"zzqxv\". Cmd/Ctrl+Shift+P lists them all.\n"},
      {"! clear", " commands match \"clear\":\n;   "},
      {"! clear", "\n;   Clear the console.\n"},
      {"! show the trace", "; ! failed: The command :trace/show isn't"},
  };
  for (const auto& c : cases) {
    submit(c.text);
    EXPECT_TRUE(pump_until([&] { return has(c.line); }, std::chrono::seconds(2))) << c.text << "\n" << output();
  }
}

TEST_F(WindowKeys, DescribeKeyDescribesTheNextKeyAndRunsNothing) {
  open();
  mark_output();
  w->run_command("help/describe-key");
  EXPECT_TRUE(has("; Press the key to describe.\n"));
  // A modifier alone does not end the wait.
  w->press_key(GDK_KEY_Control_L, NONE);
  EXPECT_EQ(w->press_key(GDK_KEY_l, CTRL), 1);
  EXPECT_TRUE(has("; Ctrl+L runs :console/clear (Clear the console.)")) << output();
  EXPECT_TRUE(has("marker line"));

  const std::string text_before = w->active_editor()->text();
  w->run_command("help/describe-key");
  EXPECT_EQ(w->press_key(GDK_KEY_x, NONE), 1);
  EXPECT_TRUE(has("; X isn't bound: it goes to GTK")) << output();
  EXPECT_EQ(w->active_editor()->text(), text_before);
  // Described once: the key after that runs as usual.
  EXPECT_EQ(w->press_key(GDK_KEY_l, CTRL), 1);
  EXPECT_FALSE(has("marker line"));
}

TEST_F(WindowKeys, RecentKeysCountTypingAndNameWhatRan) {
  open();
  w->run_command("help/recent-keys");
  EXPECT_TRUE(has("; No keys yet.\n"));
  for (int i = 0; i < 10; ++i) w->press_key(GDK_KEY_a + i, NONE);
  w->press_key(GDK_KEY_Shift_L, NONE);
  w->press_key(GDK_KEY_l, CTRL);
  w->press_key(GDK_KEY_F9, NONE);
  w->run_command("help/recent-keys");
  EXPECT_TRUE(has("; Recent keys, oldest first:\n; typing (10 keys)\n; Ctrl+L  :console/clear\n"
                  "; F9  passed on (editor or GTK)\n"))
      << output();

  w->run_command("help/key-bindings");
  const std::string out = output();
  EXPECT_LT(out.find("; Window keys\n"), out.find("; Editor keys\n")) << out;
}

TEST_F(WindowKeys, KeyHintsFollowTheCaretWhenOn) {
  open("(map inc xs) ; a note\n");
  GtkTextBuffer* buf = w->active_editor()->buffer();
  place_caret(buf, 2);
  EXPECT_EQ(w->key_hint(), "");
  w->run_command("help/key-hints");
  EXPECT_EQ(w->key_hint(), "Ctrl+Q doc \u00B7 F12 jump \u00B7 Shift+F6 rename");
  place_caret(buf, 17);  // in the comment
  EXPECT_EQ(w->key_hint(), "");
  place_caret(buf, 6);
  EXPECT_NE(w->key_hint(), "");
  w->run_command("help/key-hints");
  EXPECT_EQ(w->key_hint(), "");
}

}  // namespace
}  // namespace orrery::gtk
