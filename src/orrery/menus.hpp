// The window's menus as data: read from the menus file carried in the executable, checked against the command
// registry, and given the keys the live keymap binds to each item's command. The window builds its menu model
// and actions from `tree`; nothing here touches GTK.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/keymap.hpp"

namespace orrery::menus {

using keymap::Binding;

// A menu, a submenu or an item. A menu or submenu has sections (a separator is drawn between them), an item a
// command. `with_keys` fills in the last three.
struct Node {
  std::string label;
  std::string command;  // an item's command id without the colon ("file/save-as")
  bool submenu = false;
  std::vector<std::vector<Node>> sections;
  std::string action;     // the action the item is installed under ("file.save-as")
  std::string accel;      // a GTK accelerator ("<Control>s"), or empty
  std::string keys_text;  // the key sequence that runs the command, when no single key does
  bool operator==(const Node&) const = default;
};
using Menus = std::vector<Node>;

// A menus text: a vector of menus, each a map of :label and :sections, a section a vector of items, an item a
// map of :label and :command or a submenu of :label and :sections. Fails with a sentence on a shape it cannot
// read; `problems` says what else is wrong.
std::optional<Menus> read_menus(std::string_view edn_text, std::string* error = nullptr);
// The menus carried in the executable.
const Menus& shipped();

bool is_submenu(const Node& n);
// Every command item under a menu, submenus included, in order.
std::vector<const Node*> items(const Node& menu);
// Every command the menus name, in order.
std::vector<std::string> command_ids(const Menus& menus);

// Sentences for what is wrong under one menu, each starting with its path of labels joined by " > " (an item's
// after ": "): a menu, submenu or item with no label, a menu or submenu with no sections, an empty section, an
// item whose command isn't registered. A node with no label is named by its place ("menu 2", "section 1 item 3").
std::vector<std::string> menu_problems(const Node& menu, const std::set<std::string>& command_ids,
                                       size_t index = 0);
// Every menu's problems, then each command listed more than once; empty when all is well.
std::vector<std::string> problems(const Menus& menus, const std::set<std::string>& command_ids);

// The action a command is installed under: namespace and name joined by a dot ("file.save-as"); and back (at
// the last dot, since a namespace may hold dots).
std::string action_name(std::string_view command_id);
std::string command_of(std::string_view action);

// The GTK accelerator of a binding's first chord: modifiers <Shift> <Alt> <Control> <Meta> <Super> (:cmd is
// Meta on macOS, Control elsewhere), then the key name (the first of :keys that isn't a keypad key).
std::string accel(const Binding& b, std::string_view os);
// The first of the window's then the editor's bindings that runs the command under no condition and is one
// chord; and the first such key sequence.
const Binding* shown_binding(const keymap::Keymap& keymap, std::string_view command_id);
const Binding* sequence_binding(const keymap::Keymap& keymap, std::string_view command_id);
// A chord label with macOS's modifier signs: "Cmd+" ⌘, "Ctrl+" ⌃, "Option+" ⌥, "Shift+" ⇧.
std::string mac_symbols(std::string_view label);
// A binding as a menu item shows it after its label: its chord label, with signs on macOS.
std::string keys_text(const Binding& b, std::string_view os);

// The menu with each item's action, accelerator and, where only a key sequence runs its command, keys text.
Node with_keys(Node menu, const keymap::Keymap& keymap, std::string_view os);
// Every menu with its keys.
Menus tree(const Menus& menus, const keymap::Keymap& keymap, std::string_view os);
Menus tree(const keymap::Keymap& keymap, std::string_view os);

// Whether a command's item is drawn with a tick that follows the window's state (Reset on Run).
bool has_tick(std::string_view command_id);

}  // namespace orrery::menus
