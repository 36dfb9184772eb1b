// Which keys stay Orrery's while the terminal has the focus: every other key is the terminal's, so a shell, vim
// or a REPL in it gets its own keys.
#pragma once

#include <optional>
#include <string_view>

#include "orrery/keymap.hpp"

namespace orrery::terminal_keys {

bool is_orrerys(const keymap::Key& key, std::string_view os);

enum class ClipboardAction { copy, paste };
// Cmd+C and Cmd+V on macOS, Ctrl+Shift+C and Ctrl+Shift+V elsewhere.
std::optional<ClipboardAction> clipboard_action(const keymap::Key& key, std::string_view os);

}  // namespace orrery::terminal_keys
