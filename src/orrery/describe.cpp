#include "orrery/describe.hpp"

#include <algorithm>
#include <cstdio>

#include "kelp/data/string.hpp"
#include "orrery/palette.hpp"

namespace orrery::describe {

using keymap::Mods;

namespace {

constexpr NamedKey MODIFIER_KEYS[] = {
    {0xffe1, "Shift_L"},   {0xffe2, "Shift_R"},   {0xffe3, "Control_L"},        {0xffe4, "Control_R"},
    {0xffe5, "Caps_Lock"}, {0xffe6, "Shift_Lock"}, {0xffe7, "Meta_L"},          {0xffe8, "Meta_R"},
    {0xffe9, "Alt_L"},     {0xffea, "Alt_R"},     {0xffeb, "Super_L"},          {0xffec, "Super_R"},
    {0xffed, "Hyper_L"},   {0xffee, "Hyper_R"},   {0xfe03, "ISO_Level3_Shift"}, {0xfe11, "ISO_Level5_Shift"},
    {0xff7e, "Mode_switch"},
};

constexpr NamedKey EDITING_KEYS[] = {
    {0xff08, "BackSpace"}, {0xffff, "Delete"}, {0xff0d, "Return"},    {0xff8d, "KP_Enter"},  {0xff09, "Tab"},
    {0xfe20, "ISO_Left_Tab"}, {0xff51, "Left"}, {0xff53, "Right"},    {0xff52, "Up"},        {0xff54, "Down"},
    {0xff50, "Home"},      {0xff57, "End"},    {0xff55, "Page_Up"},   {0xff56, "Page_Down"},
};

// Names for keys a binding cannot name but a person may press while describing.
constexpr NamedKey OTHER_KEYS[] = {
    {0xff09, "Tab"},      {0xfe20, "Tab"},       {0xff55, "PageUp"}, {0xff56, "PageDown"}, {0xff63, "Insert"},
    {0xff67, "Menu"},     {0xffc1, "F4"},        {0xffc8, "F11"},    {0xff13, "Pause"},    {0xff61, "Print"},
    {0xff14, "ScrollLock"}, {0xff7f, "NumLock"},
};

const NamedKey* find_key(std::span<const NamedKey> table, uint32_t keyval) {
  for (const auto& k : table)
    if (k.keyval == keyval) return &k;
  return nullptr;
}

bool printable(char32_t c) { return c >= 0x20 && c != 0x7f && !(c >= 0x80 && c < 0xa0); }

// The name a key is spelled by: a binding's name for it, else a common one, else the character it types.
std::string spelled_name(uint32_t keyval) {
  if (auto n = keymap::key_name(keyval)) return *n;
  if (const NamedKey* k = find_key(OTHER_KEYS, keyval)) return std::string(k->name);
  if (char32_t c = unicode_of(keyval); c && printable(c)) return kelp::to_utf8(std::u32string(1, c));
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%04x", unsigned(keyval));
  return std::string("key ") + hex;
}

std::string keyword(std::string_view id) { return ":" + std::string(id); }

std::string joined(const std::vector<std::string>& xs, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < xs.size(); ++i) out += (i ? std::string(sep) : "") + xs[i];
  return out;
}

}  // namespace

std::span<const NamedKey> modifier_names() { return MODIFIER_KEYS; }

bool is_modifier_key(uint32_t keyval) { return find_key(MODIFIER_KEYS, keyval) != nullptr; }

Mods held(uint32_t state, std::string_view os) {
  const bool mac = os == "Mac OS X";
  Mods out = 0;
  if (state & keymap::MASK_SHIFT) out |= keymap::SHIFT;
  if (state & keymap::MASK_ALT) out |= keymap::ALT;
  if (state & keymap::MASK_SUPER) out |= keymap::SUPER;
  if (state & keymap::MASK_CTRL) out |= mac ? keymap::CTRL : keymap::CMD;
  if (state & keymap::MASK_META) out |= mac ? keymap::CMD : keymap::META;
  return out;
}

std::string chord_text(const Key& key, std::string_view os) {
  keymap::Chord c;
  c.key = spelled_name(key.keyval);
  c.mods = held(key.state, os);
  return palette::chord_label(c, os);
}

std::string source(const command_registry::Command* c) {
  if (!c) return {};
  return c->plugin.empty() ? "built-in" : c->plugin;
}

std::vector<Match> key_matches(const keymap::Keymap& keymap, const command_registry::Table& commands, const Key& key,
                               std::string_view os) {
  std::vector<Match> out;
  const keymap::Holds every = [](std::string_view) { return true; };
  for (const char* scope : {"window", "editor"}) {
    auto it = keymap.find(scope);
    if (it == keymap.end()) continue;
    for (const auto& b : it->second) {
      if (!keymap::matches(b, key.keyval, key.state, every, key.physical)) continue;
      Match m;
      m.scope = scope;
      m.command = b.command;
      m.outcome = b.outcome;
      m.when = b.when;
      if (!b.command.empty()) {
        const auto* c = commands.find(b.command);
        m.doc = c ? c->doc : "";
        m.source = source(c);
      } else {
        m.source = "built-in";
      }
      if (b.is_sequence()) m.sequence = palette::chord_label(b, os);
      out.push_back(std::move(m));
    }
  }
  return out;
}

std::string match_text(const Match& m) {
  std::vector<std::string> tail;
  if (!m.doc.empty()) tail.push_back(m.doc);
  if (m.source.empty() && m.doc.empty())
    tail.push_back("no such command");
  else if (m.source != "built-in" || m.doc.empty())
    tail.push_back(m.source);
  std::string out;
  if (!m.command.empty()) {
    out = m.sequence ? "starts " + *m.sequence + ", which runs " : "runs ";
    out += keyword(m.command) + " (";
  } else if (m.outcome == keymap::Outcome::to_gtk) {
    out = "goes to GTK here (";
  } else {
    out = "answers " + keyword(keymap::outcome_name(m.outcome.value_or(keymap::Outcome::handled))) + " here (";
  }
  out += joined(tail, ", ") + ")";
  if (!m.when.empty()) {
    std::vector<std::string> conds;
    for (const auto& w : m.when) conds.push_back(keyword(w));
    out += ", only when " + joined(conds, ", ");
  }
  return out;
}

std::vector<std::string> describe_lines(std::string_view chord, const std::vector<Match>& matches) {
  const std::string c(chord);
  if (matches.empty())
    return {"; " + c + " isn't bound: it goes to GTK (typed text, or the focused widget's own key)."};
  if (matches.size() == 1) return {"; " + c + " " + match_text(matches[0])};
  std::vector<std::string> out = {"; " + c + ", in order, the first that applies wins:"};
  for (const auto& m : matches) out.push_back(";   " + match_text(m));
  return out;
}

void remember(Ring& ring, Recent entry) noexcept {
  try {
    if (entry.typing && !ring.empty() && ring.back().typing) {
      ring.back().typing += entry.typing;
      return;
    }
    ring.push_back(std::move(entry));
    while (ring.size() > RECENT_MAX) ring.pop_front();
  } catch (...) {
    // Out of memory while recording a key: the key itself still does its job.
  }
}

std::span<const NamedKey> editing_keys() { return EDITING_KEYS; }

char32_t unicode_of(uint32_t keyval) {
  if ((keyval >= 0x20 && keyval <= 0x7e) || (keyval >= 0xa0 && keyval <= 0xff)) return char32_t(keyval);
  if ((keyval & 0xff000000u) == 0x01000000u) return char32_t(keyval & 0x00ffffffu);
  return 0;
}

bool is_typing(const Key& key, std::optional<char32_t> unicode) {
  constexpr uint32_t others = keymap::MASK_CTRL | keymap::MASK_ALT | keymap::MASK_META | keymap::MASK_SUPER;
  if (key.state & others) return false;
  char32_t c = unicode ? *unicode : unicode_of(key.keyval);
  return (c && printable(c)) || find_key(EDITING_KEYS, key.keyval);
}

Recent recent_entry(const Key& key, std::optional<std::string> command_ran, std::string_view os,
                    std::optional<char32_t> unicode) {
  if (is_typing(key, unicode)) return {1, {}, std::nullopt};
  return {0, chord_text(key, os), std::move(command_ran)};
}

std::string recent_line(const Recent& r) {
  if (r.typing) return "; typing (" + std::to_string(r.typing) + (r.typing == 1 ? " key)" : " keys)");
  return "; " + r.chord + "  " + (r.command ? keyword(*r.command) : "passed on (editor or GTK)");
}

std::vector<std::string> recent_lines(const Ring& ring) {
  if (ring.empty()) return {"; No keys yet."};
  std::vector<std::string> out = {"; Recent keys, oldest first:"};
  for (const auto& r : ring) out.push_back(recent_line(r));
  return out;
}

std::vector<std::string> binding_lines(const keymap::Keymap& keymap, const command_registry::Table& commands,
                                       std::string_view os) {
  std::vector<std::string> out;
  for (auto [scope, title] : {std::pair{"window", "; Window keys"}, std::pair{"editor", "; Editor keys"}}) {
    out.emplace_back(title);
    auto it = keymap.find(scope);
    if (it == keymap.end()) continue;
    // One line per command, at its first binding, with the chords of all of them.
    std::vector<std::pair<std::string, std::vector<std::string>>> bound;
    for (const auto& b : it->second) {
      if (b.command.empty()) continue;
      auto at = std::find_if(bound.begin(), bound.end(), [&](const auto& cb) { return cb.first == b.command; });
      if (at == bound.end()) at = bound.insert(bound.end(), {b.command, {}});
      std::string label = palette::chord_label(b, os);
      if (std::find(at->second.begin(), at->second.end(), label) == at->second.end())
        at->second.push_back(std::move(label));
    }
    for (const auto& [id, chords] : bound) {
      const auto* c = commands.find(id);
      std::string doc = c && !c->doc.empty() ? c->doc : keyword(id);
      std::string src = c ? source(c) : "not a registered command";
      out.push_back("; " + joined(chords, ", ") + "  " + doc + "  " + src);
    }
  }
  return out;
}

}  // namespace orrery::describe
