// The Preferences window's Keys tab in a real window: filtering, recording a key into keys.edn (and the window's
// reload), taking a key from another command after the question, Reset, the key set chooser, and the files it must
// never write over.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "gui/support.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/gtk/prefs_window.hpp"
#include "orrery/key_sets.hpp"
#include "orrery/settings.hpp"
#include "orrery/user_keys.hpp"

namespace fs = std::filesystem;

namespace orrery::gtk {
namespace {

using gui_test::pump_until;

constexpr uint32_t CTRL = GDK_CONTROL_MASK, SHIFT = GDK_SHIFT_MASK;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Prefs : ::testing::Test {
  fs::path dir;
  GtkWindow* parent = nullptr;
  GtkWindow* prefs = nullptr;
  int reloads = 0;
  std::vector<std::string> key_sets_chosen, reported;
  std::vector<tabs::Alert> asked;
  int answer = 0;  // the button every question gets

  fs::path settings() const { return dir / "settings.edn"; }
  fs::path keys() const { return dir / "keys.edn"; }

  void SetUp() override {
    char templ[] = "/tmp/orrery-prefs-XXXXXX";
    dir = ::mkdtemp(templ);
    set_answerer([this](const Question& q, std::function<void(int)> a, std::function<void(FileResult)>) {
      asked.push_back(*q.alert);
      a(answer);
    });
    parent = GTK_WINDOW(gtk_window_new());
  }
  void TearDown() override {
    // Preferences goes with its main window.
    if (prefs) g_object_add_weak_pointer(G_OBJECT(prefs), reinterpret_cast<gpointer*>(&prefs));
    gtk_window_destroy(parent);
    EXPECT_TRUE(pump_until([&] { return prefs == nullptr; }, std::chrono::seconds(5)));
    set_answerer(nullptr);
    user_keys::set_live(nullptr);
    key_sets::set_live(key_sets::default_id);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // The deps a main window passes: its reload reads keys.edn into the shared value the rows are laid from.
  PrefsDeps deps() {
    PrefsDeps d;
    d.settings_path = settings();
    d.os = "Linux";
    d.reload_keys = [this] {
      ++reloads;
      user_keys::set_live(
          std::make_shared<const user_keys::UserKeys>(user_keys::load_keys(keys(), user_keys::registered()).keys));
    };
    d.key_set_changed = [this](const std::string& id) {
      key_sets_chosen.push_back(id);
      key_sets::set_live(id);
    };
    d.report = [this](const std::string& line) { reported.push_back(line); };
    return d;
  }
  void open() { prefs = open_prefs_window(parent, deps()); }

  // Types into the search entry and waits for the entry to pass it on, as it does a moment after typing stops.
  void filter(const std::string& text) {
    GtkWidget* entry = prefs_search_entry(prefs);
    if (gtk_editable_get_text(GTK_EDITABLE(entry)) == text) return;
    bool changed = false;
    const gulong h = g_signal_connect_swapped(entry, "search-changed",
                                              G_CALLBACK(+[](bool* flag) { *flag = true; }), &changed);
    gtk_editable_set_text(GTK_EDITABLE(entry), text.c_str());
    pump_until([&] { return changed; });
    g_signal_handler_disconnect(entry, h);
  }
  std::optional<ShownRow> row(const std::string& command, const std::string& chord) {
    for (const auto& r : prefs_shown_rows(prefs))
      if (r.command == command && r.chord == chord) return r;
    return std::nullopt;
  }
  void click(GtkWidget* button) { g_signal_emit_by_name(button, "clicked"); }
  // keys.edn as the window would load it.
  user_keys::Read read() { return user_keys::read_keys(slurp(keys()), user_keys::registered()); }
};

TEST_F(Prefs, OneWindowPerMainWindowAndTheFilterFindsRows) {
  open();
  EXPECT_EQ(open_prefs_window(parent, deps()), prefs);
  EXPECT_EQ(prefs_window_of(parent), prefs);

  filter("F5");
  auto run = row("run/run", "F5");
  ASSERT_TRUE(run) << "no F5 row for Run";
  EXPECT_EQ(run->source, "default");
  EXPECT_TRUE(gtk_widget_get_sensitive(run->record));

  // A binding in a chain of keys shows but doesn't record.
  filter("Escape");
  auto stop = row("run/stop", "Esc");
  ASSERT_TRUE(stop);
  EXPECT_FALSE(gtk_widget_get_sensitive(stop->record));
  EXPECT_FALSE(gtk_widget_get_sensitive(stop->add_step));

  filter("no row holds this");
  EXPECT_TRUE(pump_until([&] { return prefs_shown_rows(prefs).empty(); }));

  gtk_window_destroy(prefs);
  prefs = nullptr;
  EXPECT_TRUE(pump_until([&] { return !prefs_window_of(parent); }));
}

TEST_F(Prefs, RecordingWritesKeysEdnAndReloads) {
  open();
  filter("F5");
  auto run = row("run/run", "F5");
  ASSERT_TRUE(run);
  EXPECT_FALSE(prefs_key_press(prefs, 'y', CTRL | SHIFT)) << "a key press before Record isn't the tab's";
  click(run->record);

  // A lone modifier waits; a typing key with no modifier but Shift is refused; neither writes.
  EXPECT_TRUE(prefs_key_press(prefs, GDK_KEY_Control_L, CTRL));
  EXPECT_TRUE(prefs_key_press(prefs, 'y', SHIFT));
  EXPECT_NE(prefs_message(prefs).find("needs a modifier other than Shift"), std::string::npos);
  EXPECT_FALSE(fs::exists(keys()));
  // The row's own key again changes nothing.
  EXPECT_TRUE(prefs_key_press(prefs, GDK_KEY_F5, 0));
  EXPECT_NE(prefs_message(prefs).find("already the key"), std::string::npos) << prefs_message(prefs);
  EXPECT_FALSE(fs::exists(keys()));

  // Ctrl+Shift+Y fires Redo's Ctrl+Y today, so it is asked about; Redo keeps Ctrl+Y.
  click(run->record);
  EXPECT_TRUE(prefs_key_press(prefs, 'Y', CTRL | SHIFT));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_NE(asked[0].detail.find("leaves Ctrl+Y"), std::string::npos) << asked[0].detail;
  EXPECT_EQ(reloads, 1);
  auto r = read();
  EXPECT_TRUE(r.problems.empty());
  ASSERT_EQ(r.keys.window.size(), 1u);
  EXPECT_EQ(key_prefs::binding_text(r.keys.window[0].edn), R"({:key "y" :mods #{:cmd :shift} :command :run/run})");
  // The new chord is Run's whole key: its shipped F5 is named for removal.
  ASSERT_EQ(r.keys.remove.size(), 1u);
  EXPECT_EQ(key_prefs::binding_text(r.keys.remove[0]), R"({:key "F5" :command :run/run})");
  EXPECT_EQ(prefs_message(prefs), "Ctrl+Shift+Y now runs \u201cRun the buffer\u201d.");

  // The rows are laid again from the reloaded keys: Ctrl+Shift+Y is yours in place of F5, and Ctrl+R stays.
  filter("Run the buffer");
  auto mine = row("run/run", "Ctrl+Shift+Y");
  ASSERT_TRUE(mine);
  EXPECT_EQ(mine->source, "yours");
  EXPECT_FALSE(row("run/run", "F5"));
  EXPECT_TRUE(row("run/run", "Ctrl+R"));
  EXPECT_FALSE(prefs_key_press(prefs, 'z', CTRL)) << "recording ended with the key it took";
}

TEST_F(Prefs, TakingRunsKeyAsksThenRemovesItAndResetPutsItBack) {
  open();
  filter("F5");
  auto run = row("run/run", "F5");
  ASSERT_TRUE(run);
  const std::string f5_run = run->doc;
  filter("");
  // Any other command that isn't bound to Ctrl+R: the first one with no key.
  std::optional<ShownRow> other;
  for (const auto& r : prefs_shown_rows(prefs))
    if (r.chord.empty() && r.command != "run/run" && gtk_widget_get_sensitive(r.record)) {
      other = r;
      break;
    }
  ASSERT_TRUE(other);

  answer = 1;  // Cancel
  click(other->record);
  prefs_key_press(prefs, 'r', CTRL);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_NE(asked[0].detail.find("takes it from that command"), std::string::npos) << asked[0].detail;
  EXPECT_FALSE(fs::exists(keys()));
  EXPECT_EQ(reloads, 0);

  answer = 0;  // Record
  click(other->record);
  prefs_key_press(prefs, 'r', CTRL);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(reloads, 1);
  auto r = read();
  ASSERT_EQ(r.keys.remove.size(), 1u);
  EXPECT_EQ(key_prefs::binding_text(r.keys.remove[0]), R"({:key "r" :mods #{:cmd} :command :run/run})");
  ASSERT_EQ(r.keys.window.size() + r.keys.editor.size(), 1u);

  // F5 still runs; Ctrl+R is gone from Run's rows.
  filter("Run the buffer");
  EXPECT_TRUE(row("run/run", "F5"));
  EXPECT_FALSE(row("run/run", "Ctrl+R"));

  click(row("run/run", "F5")->reset);
  EXPECT_EQ(reloads, 2);
  EXPECT_TRUE(read().keys.remove.empty());
  filter("Run the buffer");
  EXPECT_TRUE(row("run/run", "Ctrl+R"));

  // Nothing left to put back: no rewrite.
  const std::string before = slurp(keys());
  click(row("run/run", "F5")->reset);
  EXPECT_EQ(reloads, 2);
  EXPECT_EQ(slurp(keys()), before);
}

TEST_F(Prefs, FilesThatMustNotBeRewritten) {
  struct Case {
    std::string name, text;
    bool asks;
    std::string sentence;  // in the message when nothing is written
  };
  const std::vector<Case> cases = {
      {"unreadable", "{:window [", false, "couldn't be read"},
      {"not a map", "[:window]", false, "doesn't hold a map"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(keys(), std::ios::binary | std::ios::trunc) << c.text;
    asked.clear();
    reported.clear();
    if (!prefs) open();
    filter("F5");
    click(row("run/run", "F5")->record);
    prefs_key_press(prefs, GDK_KEY_F9, CTRL);
    EXPECT_EQ(slurp(keys()), c.text);
    EXPECT_EQ(reloads, 0);
    EXPECT_EQ(asked.size(), c.asks ? 1u : 0u);
    EXPECT_NE(prefs_message(prefs).find(c.sentence), std::string::npos) << prefs_message(prefs);
    EXPECT_EQ(reported.size(), 1u);
  }

  // A hand-written file is edited in place without a question: the person's comment stays.
  const std::string hand = ";; mine: Ctrl+Shift+Y is for something else later\n{:window [] :editor [] :remove []}\n";
  std::ofstream(keys(), std::ios::binary | std::ios::trunc) << hand;
  asked.clear();
  click(row("run/run", "F5")->record);
  prefs_key_press(prefs, GDK_KEY_F9, CTRL);
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(read().keys.window.size(), 1u);
  EXPECT_EQ(slurp(keys()).rfind(";; mine: Ctrl+Shift+Y is for something else later\n", 0), 0u) << slurp(keys());

  // The starter template is rewritten whole, unasked.
  std::ofstream(keys(), std::ios::binary | std::ios::trunc) << user_keys::template_text();
  asked.clear();
  filter("F9");
  click(row("run/run", "Ctrl+F9")->record);
  prefs_key_press(prefs, GDK_KEY_F10, CTRL);
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(reloads, 2);
  EXPECT_EQ(read().keys.window.size(), 1u);
}

TEST_F(Prefs, AddStepMakesASequenceAndRefusesOneThatClashes) {
  open();
  filter("F5");
  click(row("run/run", "F5")->record);
  prefs_key_press(prefs, 'k', CTRL | SHIFT);
  filter("Ctrl+Shift+K");
  click(row("run/run", "Ctrl+Shift+K")->add_step);
  // A typing key counts as a later step.
  EXPECT_TRUE(prefs_key_press(prefs, 'j', 0));
  auto r = read();
  ASSERT_EQ(r.keys.window.size(), 1u);
  EXPECT_EQ(key_prefs::binding_text(r.keys.window[0].edn),
            R"({:key "k" :mods #{:cmd :shift} :command :run/run :then [{:key "j"}]})");
  filter("Ctrl+Shift+K J");
  ASSERT_TRUE(row("run/run", "Ctrl+Shift+K J"));

  // Another command on Ctrl+Shift+K alone would run ahead of Run's sequence: asked about first.
  filter("");
  std::optional<ShownRow> other;
  for (const auto& x : prefs_shown_rows(prefs))
    if (x.chord.empty() && x.command != "run/run" && gtk_widget_get_sensitive(x.record)) other = x;
  ASSERT_TRUE(other);
  asked.clear();
  click(other->record);
  prefs_key_press(prefs, 'k', CTRL | SHIFT);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_NE(asked[0].detail.find("run ahead of it"), std::string::npos) << asked[0].detail;

  // A step j would give it Run's very sequence: refused, nothing written.
  const int before = reloads;
  const std::string text = slurp(keys());
  filter(other->doc);
  auto mine = row(other->command, "Ctrl+Shift+K");
  ASSERT_TRUE(mine);
  click(mine->add_step);
  prefs_key_press(prefs, 'j', 0);
  EXPECT_EQ(slurp(keys()), text);
  EXPECT_EQ(reloads, before);
  EXPECT_NE(prefs_message(prefs).find("can't be added"), std::string::npos) << prefs_message(prefs);
}

TEST_F(Prefs, ChoosingAKeySetSavesItAndRelaysTheRows) {
  std::ofstream(settings()) << ";; mine\n{:theme :dark}\n";
  open();
  gtk_drop_down_set_selected(GTK_DROP_DOWN(prefs_key_set_chooser(prefs)), 1);
  ASSERT_EQ(key_sets_chosen, std::vector<std::string>{"calva"});
  const std::string text = slurp(settings());
  EXPECT_NE(text.find(";; mine"), std::string::npos);
  EXPECT_NE(text.find(":key-set :calva"), std::string::npos) << text;
  filter("Calva paredit");
  EXPECT_FALSE(prefs_shown_rows(prefs).empty());
}

}  // namespace
}  // namespace orrery::gtk
