// main() of orrery-window: the window modes of orrery-bin, which runs this program in its own place (same process)
// so that the agent and version modes never pay for loading GTK.
//
//   orrery-window [--no-plugins] [ABSOLUTE-PATH ...]
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "orrery/gtk/window.hpp"
#include "orrery/login_path.hpp"
#include "orrery/main.hpp"
#include "orrery/settings.hpp"
#include "orrery/shutdown.hpp"

int main(int argc, char** argv) {
  orrery::block_termination_signals();
  orrery::start_signal_thread();
  int status = 1;
  try {
    auto flags = orrery::plugin_flags(orrery::Args(argv + 1, argv + argc));
    if (!gtk_init_check()) {
      std::fputs("orrery: there is no display to open the window on; set DISPLAY or WAYLAND_DISPLAY, or use "
                 "orrery-bin --mcp for the agent server without a window.\n",
                 stderr);
      orrery::shut_down_and_exit(1);
    }
    orrery::register_runtimes();
    orrery::login_path::start();
    orrery::gtk::LaunchOptions base;
    std::error_code ec;
    base.cwd = std::filesystem::current_path(ec);
    base.plugins = flags.plugins;
    base.settings_path = orrery::settings::default_settings_path();
    std::vector<std::string> gtk_args{"orrery"};
    gtk_args.insert(gtk_args.end(), flags.args.begin(), flags.args.end());
    status = orrery::gtk::start_application(gtk_args, base);
  } catch (const std::exception& e) {
    std::string line = std::string("orrery: ") + e.what() + "\n";
    std::fputs(line.c_str(), stderr);
  } catch (...) {
    std::fputs("orrery: an unknown error ended the program.\n", stderr);
  }
  orrery::shut_down_and_exit(status);
}
