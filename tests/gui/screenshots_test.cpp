// Pictures of the window as a person sees it, for looking at by eye: light and dark themes, a run's output, an
// error, the unsaved-changes alert, the command palette and the open menu. They are written only when ORRERY_SCREENSHOTS names a folder
// (scripts/screenshots.sh does); otherwise these tests skip.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "gui/support.hpp"
#include "orrery/gtk/console_view.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/gtk/editor.hpp"
#include "orrery/gtk/menu_bar.hpp"
#include "orrery/gtk/palette_view.hpp"
#include "orrery/gtk/window.hpp"
#include "orrery/main.hpp"

namespace fs = std::filesystem;

namespace orrery::gtk {
namespace {

using gui_test::pump_until;

// Renders widget (a whole window, its title bar included) into a PNG file.
bool save_png(GtkWidget* widget, const fs::path& path) {
  const int w = gtk_widget_get_width(widget);
  const int h = gtk_widget_get_height(widget);
  if (w <= 0 || h <= 0) return false;
  GdkPaintable* paintable = gtk_widget_paintable_new(widget);
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable, snapshot, w, h);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  bool ok = false;
  if (node) {
    GskRenderer* renderer = gtk_native_get_renderer(gtk_widget_get_native(widget));
    graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(w), static_cast<float>(h));
    GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &bounds);
    ok = gdk_texture_save_to_png(texture, path.c_str());
    g_object_unref(texture);
    gsk_render_node_unref(node);
  }
  g_object_unref(paintable);
  return ok;
}

std::optional<fs::path> shots_dir() {
  const char* d = std::getenv("ORRERY_SCREENSHOTS");
  if (!d || !*d) return std::nullopt;
  fs::create_directories(d);
  return fs::path(d);
}

struct Screenshots : ::testing::Test {
  fs::path dir;
  std::shared_ptr<Window> w;

  void SetUp() override {
    if (!shots_dir()) GTEST_SKIP() << "ORRERY_SCREENSHOTS is not set";
    register_runtimes();
    char templ[] = "/tmp/orrery-shots-XXXXXX";
    dir = ::mkdtemp(templ);
  }
  void TearDown() override {
    if (w && !w->is_closed()) {
      set_answerer([](const Question&, std::function<void(int)> a, std::function<void(FileResult)>) { a(1); });
      w->request_close();
      pump_until([&] { return w->is_closed(); }, std::chrono::seconds(5));
      set_answerer(nullptr);
    }
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }

  void open(const std::string& text, const std::string& theme) {
    std::ofstream(dir / "demo.clj") << text;
    LaunchOptions o;
    o.cwd = dir;
    o.file = dir / "demo.clj";
    w = Window::make(nullptr, o);
    w->set_theme(theme);
  }

  void settle(const std::string& needle) {
    pump_until([&] {
      w->console().drain();
      return w->console().output_text().find(needle) != std::string::npos && !w->evaluator()->is_evaluating();
    });
    pump_until([&] { return w->active_editor()->is_painted(); });
    gui_test::pump_for(std::chrono::milliseconds(300));
  }

  void shoot(GtkWidget* widget, const std::string& name) {
    ASSERT_TRUE(save_png(widget, *shots_dir() / name)) << name;
  }
};

const char* DEMO =
    ";; A small program\n"
    "(ns demo.core\n"
    "  (:require [clojure.string :as str]))\n"
    "\n"
    "(defn greet [name]\n"
    "  (str \"Hello, \" name \"!\"))\n"
    "\n"
    "(println (greet \"world\"))\n"
    "(map inc [1 2 3])\n";

TEST_F(Screenshots, LightAndDarkThemesWithARunsOutput) {
  open(DEMO, "light");
  w->run();
  settle("=> (2 3 4)");
  shoot(GTK_WIDGET(w->gtk_window()), "light-run.png");
  w->set_theme("dark");
  gui_test::pump_for(std::chrono::milliseconds(300));
  shoot(GTK_WIDGET(w->gtk_window()), "dark-run.png");
}

TEST_F(Screenshots, AnError) {
  open("(defn divide [a b]\n  (/ a b))\n\n(divide 1 0)\n", "light");
  w->run();
  settle("Divide by zero");
  shoot(GTK_WIDGET(w->gtk_window()), "error.png");
}

TEST_F(Screenshots, TheUnsavedChangesAlert) {
  open(DEMO, "light");
  w->active_editor()->replace_buffer_as_one_action(std::string(DEMO) + "(greet \"you\")\n", 0);
  gui_test::pump_for(std::chrono::milliseconds(200));
  set_answerer(nullptr);
  w->request_close();
  GtkWidget* dialog = nullptr;
  pump_until([&] {
    GListModel* tops = gtk_window_get_toplevels();
    for (guint i = 0; i < g_list_model_get_n_items(tops); ++i) {
      auto* win = GTK_WIDGET(g_list_model_get_item(tops, i));
      g_object_unref(win);
      if (GTK_IS_MESSAGE_DIALOG(win) && gtk_widget_get_mapped(win)) dialog = win;
    }
    return dialog != nullptr;
  });
  ASSERT_NE(dialog, nullptr);
  gui_test::pump_for(std::chrono::milliseconds(300));
  shoot(GTK_WIDGET(w->gtk_window()), "alert-window.png");
  shoot(dialog, "alert.png");
  gtk_dialog_response(GTK_DIALOG(dialog), 1);  // Don't Save
  EXPECT_TRUE(pump_until([&] { return w->is_closed(); }));
}

TEST_F(Screenshots, ThePaletteAndTheMenu) {
  open(DEMO, "light");
  settle("");
  w->press_key(GDK_KEY_P, GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK));
  GtkWidget* palette = w->palette().popover();
  ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(palette); }));
  gtk_editable_set_text(w->palette().entry(), "run");
  gui_test::pump_for(std::chrono::milliseconds(300));
  shoot(GTK_WIDGET(w->gtk_window()), "palette-window.png");
  shoot(palette, "palette.png");
  w->palette().close();

  gtk_menu_button_popup(GTK_MENU_BUTTON(w->menu_bar().button()));
  GtkWidget* menu = w->menu_bar().popover();
  ASSERT_TRUE(menu);
  ASSERT_TRUE(pump_until([&] { return gtk_widget_get_mapped(menu); }));
  gui_test::pump_for(std::chrono::milliseconds(300));
  shoot(menu, "menu.png");
  // The Run menu, with its keys and the Reset on Run tick.
  gtk_popover_menu_set_menu_model(GTK_POPOVER_MENU(menu), nullptr);
  GMenuModel* run = g_menu_model_get_item_link(w->menu_bar().model(), 4, G_MENU_LINK_SUBMENU);
  gtk_popover_menu_set_menu_model(GTK_POPOVER_MENU(menu), run);
  g_object_unref(run);
  gui_test::pump_for(std::chrono::milliseconds(300));
  shoot(menu, "menu-run.png");
  gtk_popover_popdown(GTK_POPOVER(menu));
}

}  // namespace
}  // namespace orrery::gtk
