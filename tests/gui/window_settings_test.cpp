// The window with a settings folder: it applies the saved theme and says once what it couldn't use, lays your
// keys.edn and key set over the shipped keys, saves a theme change into the file in place, opens and reloads your
// key bindings file, and opens Preferences.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "gui/support.hpp"
#include "gui/window_fixture.hpp"
#include "orrery/gtk/console_view.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/gtk/editor.hpp"
#include "orrery/gtk/palette_view.hpp"
#include "orrery/gtk/prefs_window.hpp"
#include "orrery/gtk/window.hpp"
#include "orrery/key_sets.hpp"
#include "orrery/main.hpp"
#include "orrery/theme.hpp"
#include "orrery/user_keys.hpp"

namespace fs = std::filesystem;

namespace orrery::gtk {
namespace {

using gui_test::pump_until;

using gui_test::slurp;

struct WindowSettings : gui_test::WindowFixture {
  void SetUp() override {
    WindowFixture::SetUp();
    fs::create_directories(dir / "config");
  }

  fs::path settings() const { return dir / "config" / "settings.edn"; }
  fs::path keys() const { return dir / "config" / "keys.edn"; }

  void open() {
    LaunchOptions o;
    o.settings_path = settings();
    open_window("a.clj", "(+ 1 2)\n", o);
  }
};

TEST_F(WindowSettings, SavedThemeAndKeysApplyAndAChangedThemeIsSavedInPlace) {
  std::ofstream(settings()) << ";; my settings\n{:theme :nord\n :dialect :clj ; by hand\n}\n";
  std::ofstream(keys()) << "{:window [{:key \"F6\" :command :tab/new}]\n :remove [{:key \"t\" :mods #{:cmd} :not "
                           "#{:alt} :command :tab/new}]}\n";
  open();
  EXPECT_EQ(w->theme_choice(), "nord");
  EXPECT_TRUE(has("; " + keys().string() + ": 1 key binding of yours loaded, 1 removed.")) << output();

  const size_t tabs = w->tab_count();
  w->press_key(GDK_KEY_F6, GdkModifierType(0));
  EXPECT_EQ(w->tab_count(), tabs + 1);
  w->press_key(GDK_KEY_t, GDK_CONTROL_MASK);  // removed
  EXPECT_EQ(w->tab_count(), tabs + 1);

  w->cycle_theme();
  const std::string next = theme::next_theme("nord");
  EXPECT_EQ(w->theme_choice(), next);
  EXPECT_EQ(slurp(settings()), ";; my settings\n{:theme :" + next + "\n :dialect :clj ; by hand\n}\n");
}

TEST_F(WindowSettings, AnUnusableSettingIsSaidOnceAndTheKeySetApplies) {
  std::ofstream(settings()) << "{:theme :no-such-theme :key-set :calva}\n";
  open();
  const std::string warning = settings().string() + " has no known :theme";
  EXPECT_TRUE(has(warning)) << output();
  EXPECT_EQ(output().find(warning), output().rfind(warning));
  EXPECT_EQ(key_sets::live(), "calva");
}

TEST_F(WindowSettings, YourKeyBindingsFileOpensFromTheTemplateAndReloadsWhenSaved) {
  open();
  w->run_command("help/reload-keys");
  EXPECT_TRUE(has(user_keys::missing_line(keys()))) << output();

  w->run_command("help/open-keys-file");
  ASSERT_TRUE(fs::exists(keys()));
  EXPECT_EQ(slurp(keys()), user_keys::template_text());
  ASSERT_EQ(w->tab_path(w->active_index()), keys());

  // Bind F6 to a new tab in the editor and save: the window reloads and the key works at once.
  w->active_editor()->set_text("{:window [{:key \"F6\" :command :tab/new}] :editor [] :remove []}\n");
  ASSERT_FALSE(w->save_to(keys()));
  EXPECT_TRUE(has(": 1 key binding of yours loaded.")) << output();
  const size_t tabs = w->tab_count();
  w->press_key(GDK_KEY_F6, GdkModifierType(0));
  EXPECT_EQ(w->tab_count(), tabs + 1);
}

// Opens the palette, types the query and runs the first row it shows.
void run_from_palette(Window& w, const std::string& query) {
  w.run_command("palette/open");
  ASSERT_TRUE(pump_until([&] { return w.palette().is_open(); }));
  gtk_editable_set_text(w.palette().entry(), query.c_str());
  ASSERT_TRUE(pump_until([&] { return !w.palette().rows().empty(); })) << query;
  w.palette().run_selected();
}

TEST_F(WindowSettings, ThemesAndLayoutsFromThePaletteAreSaved) {
  std::ofstream(settings()) << ";; mine\n{:theme :light}\n";
  open();
  run_from_palette(*w, "use theme nord");
  EXPECT_EQ(w->theme_choice(), "nord");
  EXPECT_EQ(slurp(settings()), ";; mine\n{:theme :nord}\n");

  w->run_command("layout/save");
  EXPECT_NE(slurp(settings()).find("\"Editor only\" {:split "), std::string::npos) << slurp(settings());
  run_from_palette(*w, "use layout editor only");
  EXPECT_EQ(w->status(), "Layout Editor only");

  w->run_command("layout/forget");
  w->run_command("palette/open");
  ASSERT_TRUE(pump_until([&] { return w->palette().is_open(); }));
  gtk_editable_set_text(w->palette().entry(), "use layout");
  pump_until([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_TRUE(w->palette().rows().empty());
  EXPECT_EQ(slurp(settings()).rfind(";; mine\n", 0), 0u);
}

TEST_F(WindowSettings, PreferencesOpenOnTheirKey) {
  open();
  w->press_key(GDK_KEY_comma, GDK_CONTROL_MASK);
  EXPECT_NE(prefs_window_of(w->gtk_window()), nullptr);
}

}  // namespace
}  // namespace orrery::gtk
