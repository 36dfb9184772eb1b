#include "orrery/palette.hpp"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "orrery/parts.hpp"

namespace orrery::palette {

using keymap::Mods;

namespace {

bool is_mac(std::string_view os) { return os == "Mac OS X"; }

bool is_blank_char(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank_char(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank_char(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> words_of(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_blank_char(s[i])) ++i;
    size_t start = i;
    while (i < s.size() && !is_blank_char(s[i])) ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

std::string_view key_word(std::string_view name) {
  struct Word {
    std::string_view name, word;
  };
  static constexpr Word WORDS[] = {
      {"equal", "="},       {"plus", "+"},         {"minus", "-"},           {"slash", "/"},
      {"semicolon", ";"},   {"bracketleft", "["},  {"braceleft", "{"},       {"braceright", "}"},
      {"space", "Space"},   {"Return", "Enter"},   {"KP_Enter", "Enter"},    {"Escape", "Esc"},
      {"period", "."},      {"greater", ">"},      {"comma", ","},           {"BackSpace", "Backspace"},
      {"grave", "`"},
  };
  for (const auto& w : WORDS)
    if (w.name == name) return w.word;
  return {};
}

std::string key_label(std::string_view name) {
  if (auto w = key_word(name); !w.empty()) return std::string(w);
  if (name.size() == 1) {
    char c = name[0];
    return std::string(1, c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c);
  }
  return std::string(name);
}

std::string modifiers_label(Mods shown, std::string_view os) {
  const bool mac = is_mac(os);
  struct Word {
    Mods mod;
    std::string_view word;
  };
  const Word order[] = {{keymap::CMD, mac ? "Cmd" : "Ctrl"}, {keymap::CTRL, "Ctrl"}, {keymap::META, "Meta"},
                        {keymap::SUPER, "Super"},            {keymap::ALT, mac ? "Option" : "Alt"},
                        {keymap::SHIFT, "Shift"}};
  std::string out;
  std::string_view last;
  for (const auto& w : order) {
    // :cmd and :ctrl together read "Ctrl" once off macOS.
    if (!(shown & w.mod) || w.word == last) continue;
    out += w.word;
    out += '+';
    last = w.word;
  }
  return out;
}

kelp::Value command_keyword(std::string_view id) {
  auto slash = id.find('/');
  if (slash == std::string_view::npos || slash == 0) return kelp::keyword(id);
  return kelp::keyword(id.substr(0, slash), id.substr(slash + 1));
}

}  // namespace

std::string chord_label(const Chord& c, std::string_view os) {
  std::string mods = modifiers_label(c.exact ? *c.exact : c.mods, os);
  std::vector<std::string> names = c.names();
  std::sort(names.begin(), names.end());
  std::vector<std::string> labels;
  for (const auto& n : names) {
    std::string l = mods + key_label(n);
    if (std::find(labels.begin(), labels.end(), l) == labels.end()) labels.push_back(std::move(l));
  }
  std::string out;
  for (size_t i = 0; i < labels.size(); ++i) out += (i ? ", " : "") + labels[i];
  return out;
}

std::string chord_label(const Binding& b, std::string_view os) {
  std::string out = palette::chord_label(static_cast<const Chord&>(b), os);
  for (const auto& c : b.then) out += " " + palette::chord_label(c, os);
  return out;
}

Entry make_entry(kelp::Value id, std::string doc, std::vector<std::string> chords, std::string source) {
  std::string haystack = lower(doc + " " + kelp::pr_str(id));
  return {std::move(id), std::move(doc), std::move(chords), std::move(source), std::move(haystack)};
}

std::vector<Entry> entries(const command_registry::Table& commands, const keymap::Keymap& keymap,
                           std::string_view os) {
  std::unordered_map<std::string, std::vector<std::string>> chords;
  for (const char* scope : {"window", "editor"}) {
    auto it = keymap.find(scope);
    if (it == keymap.end()) continue;
    for (const auto& b : it->second) {
      if (b.command.empty()) continue;
      auto& labels = chords[b.command];
      std::string l = palette::chord_label(b, os);
      if (std::find(labels.begin(), labels.end(), l) == labels.end()) labels.push_back(std::move(l));
    }
  }
  std::vector<Entry> out;
  for (const auto& c : commands.all()) {
    if (!c.palette) continue;
    auto it = chords.find(c.id);
    out.push_back(make_entry(command_keyword(c.id), c.doc, it == chords.end() ? std::vector<std::string>{} : it->second,
                             c.plugin.empty() ? "built-in" : c.plugin));
  }
  std::stable_sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.doc < b.doc; });
  return out;
}

namespace {

std::vector<Entry> tab_entries_as(const std::vector<Tab>& recent, const kelp::Value& current, std::string_view id,
                                  std::string_view doc, std::string_view source) {
  std::vector<Entry> out;
  const kelp::Value command = command_keyword(id);
  for (const auto& t : recent)
    if (!(t.id == current))
      out.push_back(make_entry(kelp::make_vector({command, t.id}), std::string(doc) + t.label, {}, std::string(source)));
  return out;
}

}  // namespace

std::vector<Entry> tab_entries(const std::vector<Tab>& recent, const kelp::Value& current) {
  return tab_entries_as(recent, current, "tab/switch", "Switch to tab: ", "tab");
}

std::vector<Entry> compare_tab_entries(const std::vector<Tab>& recent, const kelp::Value& current) {
  return tab_entries_as(recent, current, "compare/tab", "Compare with tab: ", "compare");
}

const PanelLabels& core_panel_labels() {
  static const PanelLabels labels = {{"inspector", "Inspector"}, {"source", "Source"}, {"plugins", "Plugins"}};
  return labels;
}

PanelLabels panel_labels(const PanelLabels& parts) {
  PanelLabels out = core_panel_labels();
  for (const auto& [key, label] : parts) {
    if (key == "review" || key == "history") continue;
    for (const auto& [k, l] : out)
      if (k == key) throw std::logic_error("Two panels are called :" + key + ".");
    out.emplace_back(key, label);
  }
  return out;
}

const PanelLabels& shipped_panel_labels() {
  static const PanelLabels labels = [] {
    PanelLabels parts;
    for (const auto& spec : parts::specs())
      for (const auto& p : spec.panels) parts.emplace_back(p.id, p.label);
    return panel_labels(parts);
  }();
  return labels;
}

std::vector<Entry> panel_entries(const std::vector<std::string>& recent, const std::optional<std::string>& showing,
                                 const PanelLabels& labels) {
  std::vector<Entry> out;
  std::vector<std::string> seen;
  const kelp::Value command = command_keyword("panel/switch");
  for (const auto& key : recent) {
    if (key == showing || std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(key);
    auto it = std::find_if(labels.begin(), labels.end(), [&](const auto& kl) { return kl.first == key; });
    if (it == labels.end()) continue;
    out.push_back(
        make_entry(kelp::make_vector({command, kelp::keyword(key)}), "Switch to panel: " + it->second, {}, "panel"));
  }
  return out;
}

namespace {

bool holds_all(const Entry& e, const std::vector<std::string>& words) {
  // Entries made without make_entry have no haystack yet.
  std::string made;
  const std::string* hay = &e.haystack;
  if (hay->empty()) hay = &(made = lower(e.doc + " " + kelp::pr_str(e.id)));
  for (const auto& w : words)
    if (hay->find(w) == std::string::npos) return false;
  return true;
}

std::vector<std::string> query_words(std::string_view query) {
  std::vector<std::string> out;
  for (auto w : words_of(query)) out.push_back(lower(w));
  return out;
}

// A doc or the words of a `!` line as compared for an exact pick.
std::string normal(std::string_view s) {
  std::string out;
  for (auto w : words_of(s)) out += (out.empty() ? "" : " ") + lower(w);
  if (!out.empty() && out.back() == '.') out.pop_back();
  return out;
}

}  // namespace

std::vector<Entry> filter_entries(const std::vector<Entry>& entries, std::string_view query) {
  auto words = query_words(query);
  if (words.empty()) return entries;
  std::vector<Entry> out;
  for (const auto& e : entries)
    if (holds_all(e, words)) out.push_back(e);
  return out;
}

bool is_bang(std::string_view text) {
  // The Return that sent the line is no second line.
  if (text.ends_with('\n')) text.remove_suffix(1);
  if (text.ends_with('\r')) text.remove_suffix(1);
  if (text.find_first_of("\n\r()[]{}\"") != std::string_view::npos) return false;
  size_t bang = text.find_first_not_of(" \t\f\v");
  if (bang == std::string_view::npos || text[bang] != '!') return false;
  std::string_view rest = text.substr(bang + 1);
  return rest.empty() || std::any_of(rest.begin(), rest.end(), is_blank_char);
}

BangPick bang_pick(const std::vector<Entry>& entries, std::string_view text) {
  std::string_view t = trim(text);
  if (!t.empty() && t.front() == '!') t.remove_prefix(1);
  std::string words(trim(t));
  BangPick pick;
  if (words.empty()) return pick;
  auto hits = filter_entries(entries, words);
  pick.words = words;
  if (hits.empty()) {
    pick.kind = BangPick::Kind::none;
    return pick;
  }
  const Entry* chosen = hits.size() == 1 ? &hits[0] : nullptr;
  if (!chosen) {
    std::string wanted = normal(words);
    for (const auto& e : hits) {
      if (normal(e.doc) != wanted) continue;
      if (chosen) {  // two docs equal the words: the person has to choose
        chosen = nullptr;
        break;
      }
      chosen = &e;
    }
  }
  if (chosen) {
    pick.kind = BangPick::Kind::run;
    pick.id = chosen->id;
    pick.doc = chosen->doc;
    return pick;
  }
  pick.kind = BangPick::Kind::choices;
  for (const auto& e : hits) pick.choices.push_back(e.doc);
  return pick;
}

std::vector<std::string> bang_lines(const BangPick& pick) {
  switch (pick.kind) {
    case BangPick::Kind::help: return {"; ! runs a command by name, as the palette does: !clear line counts"};
    case BangPick::Kind::run: return {};
    case BangPick::Kind::none:
      return {"; ! No command matches \"" + pick.words + "\". Cmd/Ctrl+Shift+P lists them all."};
    case BangPick::Kind::choices: {
      std::vector<std::string> out = {"; ! " + std::to_string(pick.choices.size()) + " commands match \"" +
                                      pick.words + "\":"};
      for (const auto& doc : pick.choices) out.push_back(";   " + doc);
      return out;
    }
  }
  return {};
}

std::string bang_failed_line(std::string_view message) { return "; ! failed: " + std::string(message); }

std::string row_text(const Entry& e) {
  std::string out = e.doc;
  if (!e.chords.empty()) {
    out += "  ";
    for (size_t i = 0; i < e.chords.size(); ++i) out += (i ? ", " : "") + e.chords[i];
  }
  return out + "  " + e.source;
}

State move(State s, long delta) {
  if (s.shown.empty()) {
    s.index = 0;
    return s;
  }
  long last = long(s.shown.size()) - 1;
  s.index = size_t(std::clamp(long(std::min<size_t>(s.index, size_t(last))) + delta, 0L, last));
  return s;
}

}  // namespace orrery::palette
