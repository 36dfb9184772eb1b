// What the window tests' fixtures share: a scratch folder, dialogs answered at once, a window closed (asking
// nothing) and the process's live keys put back after each test.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "gui/support.hpp"
#include "orrery/gtk/console_view.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/gtk/editor.hpp"
#include "orrery/gtk/window.hpp"
#include "orrery/key_sets.hpp"
#include "orrery/main.hpp"
#include "orrery/user_keys.hpp"

namespace orrery::gui_test {

inline std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct WindowFixture : ::testing::Test {
  std::filesystem::path dir;
  std::shared_ptr<gtk::Window> w;

  static void SetUpTestSuite() { register_runtimes(); }

  void SetUp() override {
    char templ[] = "/tmp/orrery-window-XXXXXX";
    dir = ::mkdtemp(templ);
    // A dialog a command opens is dismissed at once: a file dialog cancelled, an alert given its second button.
    gtk::set_answerer([](const gtk::Question& q, std::function<void(int)> alert,
                         std::function<void(gtk::FileResult)> file) {
      if (q.file) file(gtk::FileResult{std::nullopt, true, ""});
      else alert(1);
    });
  }

  void TearDown() override {
    close_window();
    gtk::set_answerer(nullptr);
    // Later windows in this process start from the shipped keys again.
    key_sets::set_live(key_sets::default_id);
    user_keys::set_live(std::make_shared<const user_keys::UserKeys>());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  void close_window() {
    if (w && !w->is_closed()) {
      w->request_close();
      pump_until([&] { return w->is_closed(); }, std::chrono::seconds(5));
    }
    w.reset();
  }

  // A window on dir/name holding text, with options' other fields as given; waits until its editor is on screen.
  void open_window(const std::string& name, const std::string& text, gtk::LaunchOptions o = {}) {
    std::ofstream(dir / name) << text;
    o.cwd = dir;
    o.file = dir / name;
    w = gtk::Window::make(nullptr, o);
    pump_until([&] { return gtk_widget_get_mapped(GTK_WIDGET(w->active_editor()->view())); });
  }

  std::string output() {
    w->console().drain();
    return w->console().output_text();
  }
  bool has(const std::string& needle) { return output().find(needle) != std::string::npos; }
};

}  // namespace orrery::gui_test
