// The window's menus: a menu button at the end of the header bar whose menu model is built from the menus file
// with the live keymap's keys, and one action per command in an action group the window holds under "menu"
// ("menu.file.save-as"). Activating an action runs its command the way the palette does; a command with a tick
// (Reset on Run) is a stateful action whose state the window keeps in step.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "orrery/keymap.hpp"

namespace orrery::gtk {

inline constexpr const char* MENU_PREFIX = "menu";

struct MenuBarOptions {
  // Runs a command by id ("file/save"); a throw goes to report.
  std::function<void(const std::string& command)> run;
  std::function<void(const std::string& message)> report;
};

class MenuBar {
 public:
  // GTK thread. The action group is inserted on `owner` (the window) under MENU_PREFIX.
  static std::shared_ptr<MenuBar> make(GtkWidget* owner, MenuBarOptions options);
  virtual ~MenuBar() = default;

  // The menu button, for the header bar.
  virtual GtkWidget* button() = 0;
  // Rebuilds the menu model with the keys of keymap (its "window" and "editor" bindings); the actions stay.
  virtual void rebuild(const keymap::Keymap& keymap, std::string_view os) = 0;
  // The tick of a stateful command's item, and whether the item can be used.
  virtual void set_tick(std::string_view command, bool on, bool enabled) = 0;

  // --- For tests ------------------------------------------------------------------------------------------------
  virtual GMenuModel* model() = 0;
  virtual GActionGroup* actions() = 0;
  // The popover the button opens (built on first use).
  virtual GtkWidget* popover() = 0;
};

}  // namespace orrery::gtk
