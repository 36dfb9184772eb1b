// The application and its one window: a header bar (Run, Stop, Open, Save, New Tab, Reset on Run) over a vertical
// split holding the Definitions editor's tabs above the Interactions console, and a status bar. The window chooses
// its evaluator from the launch file's project, starts it off the GTK thread, runs the editor's text in it, and on
// close asks about unsaved text, stops the runtime and quits.
//
// The functions below are what the window's buttons and keys call; tests drive the window through them.
#pragma once

#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/evaluator.hpp"

namespace orrery::command_registry {
struct Layers;
}

namespace orrery::gtk {

class ConsoleView;
class Editor;
class EditorHelp;
class MenuBar;
class PaletteView;

inline constexpr int DEFAULT_WIDTH = 900;
inline constexpr int DEFAULT_HEIGHT = 700;
inline constexpr int SPLIT_POSITION = 430;
inline constexpr unsigned DISK_POLL_MS = 2000;

struct LaunchOptions {
  std::filesystem::path cwd;
  std::optional<std::filesystem::path> file;  // opens in the first tab (a missing file: an empty tab that Save creates)
  std::optional<std::filesystem::path> dir;   // the project folder the window starts in
  std::optional<std::filesystem::path> settings_path;
  bool plugins = true;
};

struct LaunchSplit {
  LaunchOptions launch;
  std::vector<std::filesystem::path> rest;  // open as further tabs
};

// The first path is the launch option (dir when first_is_dir, else file, a missing file included); the rest open
// as tabs.
LaunchSplit launch_split(LaunchOptions base, const std::vector<std::filesystem::path>& paths, bool first_is_dir);

// Builds the application and runs its main loop until the window closes. argv: the program name, then absolute
// paths to open. Answers the exit status.
int start_application(const std::vector<std::string>& argv, LaunchOptions base);

class Window {
 public:
  // GTK thread. app may be null (tests): the window is a plain GtkWindow and closing it only destroys it.
  static std::shared_ptr<Window> make(GtkApplication* app, LaunchOptions options);
  virtual ~Window() = default;

  virtual GtkWindow* gtk_window() = 0;
  virtual ConsoleView& console() = 0;
  virtual std::shared_ptr<Editor> active_editor() = 0;
  virtual evaluator::EvaluatorPtr evaluator() = 0;
  virtual std::string status() = 0;
  virtual std::string title() = 0;
  virtual bool is_closed() = 0;

  // Tabs.
  virtual std::size_t tab_count() = 0;
  virtual std::size_t active_index() = 0;
  virtual std::vector<std::string> tab_labels() = 0;
  virtual std::optional<std::filesystem::path> tab_path(std::size_t index) = 0;
  virtual std::shared_ptr<Editor> tab_editor(std::size_t index) = 0;
  // The active tab's completion popup, quick docs and jumps.
  virtual std::shared_ptr<EditorHelp> active_help() = 0;
  virtual std::shared_ptr<EditorHelp> console_help() = 0;  // the console input's completion and quick docs
  virtual void new_tab() = 0;
  virtual void select_tab(std::size_t index) = 0;
  virtual void close_active_tab() = 0;
  // Open: selects the tab already showing path, fills an untouched Untitled tab, or opens a new tab. Answers the
  // sentence when the file can't be opened (also said on the console).
  virtual std::optional<std::string> open_file(const std::filesystem::path& path) = 0;
  // Opens the Open dialog.
  virtual void open_dialog() = 0;
  // Save: to the tab's file, or through the Save dialog for an Untitled tab. Save As: always the dialog.
  virtual void save() = 0;
  virtual void save_as() = 0;
  // The atomic save of the active tab to path. Answers the failure's sentence (also said on the console).
  virtual std::optional<std::string> save_to(const std::filesystem::path& path) = 0;
  // One tick of following open files on disk (the 2-second timer calls it).
  virtual void poll_disk() = 0;

  // Running.
  virtual void run() = 0;
  virtual void run_form() = 0;
  virtual void run_selection() = 0;
  virtual void stop() = 0;

  // Appearance.
  virtual void set_theme(const std::string& choice) = 0;
  virtual void cycle_theme() = 0;
  virtual std::string theme_choice() = 0;

  // A key press as the window's key controller gets it (capture phase, before the focused widget): 1 when used.
  virtual int press_key(guint keyval, GdkModifierType state) = 0;

  // Keys: lays the window's and the editor's bindings out anew from their layers (your own, the key set's, the
  // plugins', the shipped ones less those removed); the menus, the palette, Describe Key and the key hints follow.
  virtual void set_key_layers(const command_registry::Layers& window, const command_registry::Layers& editor) = 0;
  // Runs a command by id ("file/save") with the context its own key would give it; throws what the command throws.
  virtual void run_command(const std::string& id) = 0;

  // The command palette, the menus and the status bar's key hint (empty when hidden or with nothing to say).
  virtual PaletteView& palette() = 0;
  virtual MenuBar& menu_bar() = 0;
  virtual std::string key_hint() = 0;

  // --- For tests ------------------------------------------------------------------------------------------------
  // The id of the last command the window's keys, palette, menus or `!` line started ("run/run"); empty before any.
  virtual std::string last_command() = 0;
  // Commands for which stub answers true are recorded as started and answer handled without running.
  virtual void stub_commands(std::function<bool(std::string_view id)> stub) = 0;

  // Closing: the close button's path (asks about unsaved text first).
  virtual void request_close() = 0;
};

}  // namespace orrery::gtk
