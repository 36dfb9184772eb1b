#include "orrery/hints.hpp"

#include <algorithm>

#include "orrery/palette.hpp"
#include "orrery/syntax.hpp"

namespace orrery::hints {

using keymap::Binding;

const std::vector<KindActions>& actions() {
  static const std::vector<KindActions> table = {
      {Kind::symbol, {{"help/quick-doc", "doc"}, {"help/jump", "jump"}, {"edit/rename", "rename"}}},
  };
  return table;
}

std::string chord(const Binding& b, std::string_view os) { return palette::chord_label(b, os); }

namespace {

// The state a person holds to press the binding's chord: :cmd is Meta on macOS, Control elsewhere.
uint32_t pressed_state(const Binding& b, std::string_view os) {
  keymap::Mods m = b.exact ? *b.exact : b.mods;
  if (m & keymap::CMD) m = keymap::Mods((m & ~keymap::CMD) | (os == "Mac OS X" ? keymap::META : keymap::CTRL));
  return keymap::mask_of(m);
}

// Whether an earlier binding matches every key of b, as pressed, for another command or a fixed outcome.
bool taken(const std::vector<const Binding*>& earlier, const Binding& b, std::string_view os) {
  const keymap::Holds every = [](std::string_view) { return true; };
  const uint32_t state = pressed_state(b, os);
  for (uint32_t v : b.values) {
    bool free = v != 0;
    for (const Binding* e : earlier)
      if (keymap::matches(*e, v, state, every)) {
        free = e->command == b.command && !e->outcome;
        break;
      }
    if (free) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> first_chord(const keymap::Keymap& keymap, std::string_view command, std::string_view os) {
  std::vector<const Binding*> earlier;
  for (const char* scope : {"editor", "window"}) {
    auto it = keymap.find(scope);
    if (it == keymap.end()) continue;
    for (const auto& b : it->second) {
      if (b.command == command && b.when.empty() && !taken(earlier, b, os)) return chord(b, os);
      earlier.push_back(&b);
    }
  }
  return std::nullopt;
}

std::optional<std::string> hint(const keymap::Keymap& keymap, Kind kind, std::string_view os) {
  std::string out;
  for (const auto& ka : actions()) {
    if (ka.kind != kind) continue;
    for (const auto& a : ka.actions)
      if (auto c = first_chord(keymap, a.command, os))
        out += (out.empty() ? "" : " · ") + *c + " " + std::string(a.word);
  }
  if (out.empty()) return std::nullopt;
  return out;
}

LineAt line_at(std::u32string_view text, Offset pos) {
  size_t p = size_t(std::clamp<Offset>(pos, 0, Offset(text.size())));
  size_t start = 0;
  if (p > 0)
    if (size_t nl = text.rfind(U'\n', p - 1); nl != std::u32string_view::npos) start = nl + 1;
  size_t end = text.find(U'\n', p);
  if (end == std::u32string_view::npos) end = text.size();
  return {text.substr(start, end - start), Offset(p - start)};
}

std::optional<Kind> at_caret(std::u32string_view text, Offset pos) {
  LineAt at = line_at(text, pos);
  // The string_view form scans afresh, leaving the tokenizer's cache to the editor.
  Tokens tokens = tokenize(at.line);
  const Token* on = nullptr;
  for (const auto& t : tokens) {
    if (t.start <= at.pos && at.pos < t.end) {
      on = &t;
      break;
    }
  }
  // A caret just after a symbol is on it, unless it sits inside another token.
  if (!on || !is_symbol_like(on->type))
    for (const auto& t : tokens)
      if (t.end == at.pos && is_symbol_like(t.type) && (!on || on->type == TokenType::Bracket)) return Kind::symbol;
  if (on && is_symbol_like(on->type)) return Kind::symbol;
  return std::nullopt;
}

}  // namespace orrery::hints
