#include "orrery/terminal_keys.hpp"

namespace orrery::terminal_keys {

using namespace keymap;

namespace {

bool is_digit_key(const Key& key) {
  if (key.keyval >= '0' && key.keyval <= '9') return true;
  return key.physical && key.physical->size() == 1 && (*key.physical)[0] >= '0' && (*key.physical)[0] <= '9';
}

}  // namespace

bool is_orrerys(const Key& key, std::string_view os) {
  const uint32_t s = key.state;
  if (key.keyval == *key_value("F6")) return true;
  if (key.keyval == *key_value("grave") && (s & MASK_CTRL)) return true;
  if (is_digit_key(key) && (s & MASK_ALT) && (s & (MASK_CTRL | MASK_META))) return true;
  // Control is the shell's everywhere but on macOS, where no terminal program uses Cmd.
  if (os == "Mac OS X") return (s & MASK_META) != 0;
  return (s & MASK_CTRL) && (s & MASK_SHIFT);
}

std::optional<ClipboardAction> clipboard_action(const Key& key, std::string_view os) {
  const bool held = os == "Mac OS X" ? (key.state & MASK_META) != 0
                                     : (key.state & MASK_CTRL) && (key.state & MASK_SHIFT);
  if (!held) return std::nullopt;
  if (key.keyval == 'c') return ClipboardAction::copy;
  if (key.keyval == 'v') return ClipboardAction::paste;
  return std::nullopt;
}

}  // namespace orrery::terminal_keys
