#include "orrery/key_prefs.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/edn_edit.hpp"
#include "orrery/key_seq.hpp"
#include "orrery/palette.hpp"
#include "orrery/text_file.hpp"
#include "orrery/user_keys.hpp"

namespace orrery::key_prefs {

using kelp::Value;
namespace cr = command_registry;

namespace {

const Value K_WINDOW = kelp::keyword("window"), K_EDITOR = kelp::keyword("editor"),
            K_REMOVE = kelp::keyword("remove"), K_KEY = kelp::keyword("key"), K_KEYS = kelp::keyword("keys"),
            K_MODS = kelp::keyword("mods"), K_NOT = kelp::keyword("not"), K_EXACT = kelp::keyword("exact"),
            K_PHYSICAL = kelp::keyword("physical?"), K_WHEN = kelp::keyword("when"),
            K_COMMAND = kelp::keyword("command"), K_ARGS = kelp::keyword("args"), K_THEN = kelp::keyword("then"),
            K_OS = kelp::keyword("os");

bool is_mac(std::string_view os) { return os == "Mac OS X"; }

std::vector<Value> items(const Value& coll) {
  std::vector<Value> out;
  if (const kelp::Object* o = coll.obj()) o->each([&](const Value& x) { out.push_back(x); return true; });
  return out;
}

Value command_keyword(std::string_view id) { return kelp::keyword_from(id); }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A map reduced to the keys a binding's chords are read from, with a stand-in command so that it reads as a
// binding whatever else it carries.
std::optional<Binding> chords_of(const Value& m) {
  if (!kelp::is_map(m)) return std::nullopt;
  Value out = kelp::empty_map();
  for (const Value* k : {&K_KEY, &K_KEYS, &K_MODS, &K_NOT, &K_EXACT, &K_PHYSICAL, &K_THEN})
    if (const Value* v = kelp::get(m, *k)) out = kelp::assoc(out, *k, *v);
  out = kelp::assoc(out, K_COMMAND, kelp::keyword("chord"));
  return keymap::to_binding(out);
}

std::vector<keymap::Chord> all_chords(const Binding& b) {
  std::vector<keymap::Chord> out{key_seq::first_chord(b)};
  out.insert(out.end(), b.then.begin(), b.then.end());
  return out;
}

std::vector<std::string> chord_labels(const Binding& b, std::string_view os) {
  std::vector<std::string> out;
  for (const auto& c : all_chords(b)) out.push_back(palette::chord_label(c, os));
  return out;
}

// A pressed chord as a key: its key value, the state it is pressed with and its name for the physical path.
struct Pressed {
  uint32_t keyval = 0;
  uint32_t state = 0;
  std::string name;
};
std::vector<Pressed> pressed(const Value& chord, std::string_view os) {
  std::vector<Pressed> out;
  auto c = chords_of(chord);
  if (!c) return out;
  const uint32_t state = chord_state(chord, os);
  for (const auto& n : c->names())
    if (auto v = keymap::key_value(n)) out.push_back({*v, state, n});
  return out;
}

template <class Want>
std::vector<Taken> fired_by(const Value& chord, std::string_view command, const LiveKeys& live, std::string_view os,
                            Want want, bool first_only) {
  const keymap::Holds all_hold = [](std::string_view) { return true; };
  std::vector<Taken> out;
  for (std::string_view scope : {"window", "editor"})
    for (const auto& b : live.scope(scope)) {
      if (!want(b) || (!b.command.empty() && b.command == command)) continue;
      for (const auto& p : pressed(chord, os))
        if (keymap::matches(b, p.keyval, p.state, all_hold, p.name)) {
          out.push_back({std::string(scope), b});
          if (first_only) return out;
          break;
        }
    }
  return out;
}

const Value& section_key(std::string_view scope) {
  return scope == "window" ? K_WINDOW : scope == "editor" ? K_EDITOR : K_REMOVE;
}

std::vector<Value> section(const Value& file, std::string_view scope) {
  const Value* v = kelp::get(file, section_key(scope));
  return v ? items(*v) : std::vector<Value>{};
}

Value with_section(const Value& file, std::string_view scope, const std::vector<Value>& entries) {
  return kelp::assoc(file, section_key(scope), kelp::make_vector(std::span<const Value>(entries)));
}

// Where the binding sits among the file's own entries of scope.
std::optional<size_t> yours_at(const Value& file, std::string_view scope, const Binding& b) {
  auto entries = section(file, scope);
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i] == b.edn) return i;
  return std::nullopt;
}

Value with_removal(const Value& file, const Binding& b) {
  auto entries = section(file, "remove");
  const auto id = user_keys::chord(b);
  for (const auto& e : entries)
    if (user_keys::chord(e) == id) return file;
  entries.push_back(removal(b));
  return with_section(file, "remove", entries);
}

std::string edn_set_text(const Value& set) {
  std::vector<std::string> members;
  for (const Value& x : items(set)) members.push_back(kelp::print_edn(x));
  std::sort(members.begin(), members.end());
  std::string out = "#{";
  for (size_t i = 0; i < members.size(); ++i) out += (i ? " " : "") + members[i];
  return out + "}";
}

std::string value_text(const Value& v) {
  if (kelp::is_set(v)) return edn_set_text(v);
  if (v.is(kelp::Kind::Vector)) {
    std::string out = "[";
    bool first = true;
    for (const Value& x : items(v)) {
      out += (first ? "" : " ") + binding_text(x);
      first = false;
    }
    return out + "]";
  }
  return kelp::print_edn(v);
}

Press press(uint32_t keyval, uint32_t state, const std::optional<std::string>& physical, std::string_view os,
            bool step) {
  Press out;
  if ((keyval >= 0xffe1 && keyval <= 0xffee) || keyval == 0xfe03) {
    out.waiting = true;
    return out;
  }
  const uint32_t lowered = keyval >= 'A' && keyval <= 'Z' ? keyval - 'A' + 'a' : keyval;
  std::optional<std::string> name;
  if (physical && keymap::key_value(*physical)) name = *physical;
  else name = keymap::key_name(lowered);
  if (!name) {
    out.error = "Orrery can't bind that key yet. Try another.";
    return out;
  }
  const uint32_t cmd_mask = is_mac(os) ? keymap::MASK_META : keymap::MASK_CTRL;
  std::vector<Value> mods;
  if (state & cmd_mask) mods.push_back(kelp::keyword("cmd"));
  if ((state & keymap::MASK_CTRL) && cmd_mask != keymap::MASK_CTRL) mods.push_back(kelp::keyword("ctrl"));
  if ((state & keymap::MASK_META) && cmd_mask != keymap::MASK_META) mods.push_back(kelp::keyword("meta"));
  if (state & keymap::MASK_ALT) mods.push_back(kelp::keyword("alt"));
  if (state & keymap::MASK_SUPER) mods.push_back(kelp::keyword("super"));
  const bool beyond_shift = !mods.empty();
  if (state & keymap::MASK_SHIFT) mods.push_back(kelp::keyword("shift"));
  if (!step && !beyond_shift && keymap::is_typing_key(*name)) {
    out.error = "A key that types needs a modifier other than Shift, or it would replace typing.";
    return out;
  }
  out.chord = kelp::make_map({K_KEY, kelp::make_string(*name)});
  if (!mods.empty()) out.chord = kelp::assoc(out.chord, K_MODS, kelp::make_set(std::span<const Value>(mods)));
  return out;
}

// keys.edn's text changed from `was` to `next` where they differ, everything else kept as written: a section's
// bindings one by one, any other key whole. Nothing unless the result reads back as `next`.
std::optional<std::string> edit_in_place(std::string_view text, const Value& was, const Value& next) {
  if (!kelp::is_map(next)) return std::nullopt;
  std::optional<std::string> out(text);
  next.obj()->each_entry([&](const Value& k, const Value& v) {
    const Value* before = kelp::get(was, k);
    if (before && kelp::equiv(*before, v)) return true;
    if (k == K_WINDOW || k == K_EDITOR || k == K_REMOVE) out = edn_edit::set_vector(*out, k, v, binding_text);
    else out = edn_edit::set_key(*out, k, v);
    return out.has_value();
  });
  if (!out) return std::nullopt;
  was.obj()->each_entry([&](const Value& k, const Value&) {
    if (!kelp::get(next, k)) out = edn_edit::remove_key(*out, k);
    return out.has_value();
  });
  if (!out) return std::nullopt;
  auto back = file_keys(*out);
  const Value* read = std::get_if<Value>(&back);
  if (!read || !kelp::equiv(*read, next)) return std::nullopt;
  return out;
}

}  // namespace

const std::vector<Binding>& LiveKeys::scope(std::string_view name) const {
  static const std::vector<Binding> none;
  return name == "window" ? window : name == "editor" ? editor : none;
}

std::string source_of(std::string_view scope, const Binding& b, const std::vector<Source>& sources,
                      const cr::Table& commands) {
  for (const auto& s : sources) {
    const auto& held = scope == "window" ? s.window : s.editor;
    if (std::any_of(held.begin(), held.end(), [&](const Binding& x) { return x.edn == b.edn; })) return s.name;
  }
  if (const cr::Command* c = commands.find(b.command); c && !c->plugin.empty()) return c->plugin;
  return "default";
}

std::vector<Row> rows(const LiveKeys& live, const std::vector<Source>& sources, const cr::Table& commands,
                      std::string_view os) {
  std::vector<Row> out;
  std::set<std::string> bound;
  for (std::string_view scope : {"window", "editor"})
    for (const auto& b : live.scope(scope)) {
      if (b.command.empty()) continue;
      bound.insert(b.command);
      const cr::Command* c = commands.find(b.command);
      out.push_back({std::string(scope), b.command, c ? c->doc : "", chord_text(b, os),
                     source_of(scope, b, sources, commands), b, !b.when.empty()});
    }
  std::vector<Row> unbound;
  for (const auto& c : commands.all()) {
    // The console's keys live in the console view, outside keys.edn, so its commands get no row to record in.
    if (!c.palette || c.scope == cr::Scope::console || bound.count(c.id)) continue;
    unbound.push_back({std::string(cr::scope_name(c.scope)), c.id, c.doc, "",
                       c.plugin.empty() ? "default" : c.plugin, std::nullopt, false});
  }
  std::stable_sort(unbound.begin(), unbound.end(), [](const Row& a, const Row& b) { return a.doc < b.doc; });
  out.insert(out.end(), unbound.begin(), unbound.end());
  return out;
}

std::vector<Row> filter_rows(const std::vector<Row>& rows, std::string_view text) {
  std::string want = lower(text);
  want.erase(0, want.find_first_not_of(" \t\n\r"));
  want.erase(want.find_last_not_of(" \t\n\r") + 1);
  if (want.empty()) return rows;
  std::vector<Row> out;
  for (const auto& r : rows)
    if (lower(r.doc).find(want) != std::string::npos || lower(r.chord).find(want) != std::string::npos ||
        lower(r.source).find(want) != std::string::npos)
      out.push_back(r);
  return out;
}

Press press_chord(uint32_t keyval, uint32_t state, const std::optional<std::string>& physical, std::string_view os) {
  return press(keyval, state, physical, os, false);
}

Press press_step(uint32_t keyval, uint32_t state, const std::optional<std::string>& physical, std::string_view os) {
  return press(keyval, state, physical, os, true);
}

std::string chord_text(const Binding& b, std::string_view os) {
  std::string out;
  for (const auto& l : chord_labels(b, os)) out += (out.empty() ? "" : " ") + l;
  return out;
}

std::string chord_text(const Value& binding_or_chord, std::string_view os) {
  auto b = chords_of(binding_or_chord);
  return b ? chord_text(*b, os) : "";
}

uint32_t chord_state(const Value& chord, std::string_view os) {
  const Value* mods = kelp::get(chord, K_MODS);
  if (!mods) mods = kelp::get(chord, K_EXACT);
  uint32_t state = 0;
  if (!mods) return state;
  for (const Value& m : items(*mods)) {
    if (!kelp::is_keyword(m)) continue;
    keymap::Mods mod = keymap::mod_named(m.as<kelp::Keyword>().name());
    state |= mod == keymap::CMD ? (is_mac(os) ? keymap::MASK_META : keymap::MASK_CTRL) : keymap::mask_of(mod);
  }
  return state;
}

std::optional<Taken> conflict(const Value& chord, std::string_view command, const LiveKeys& live,
                              std::string_view os) {
  auto found = fired_by(chord, command, live, os, [](const Binding& b) { return !b.is_sequence(); }, true);
  if (found.empty()) return std::nullopt;
  return found.front();
}

std::vector<Taken> sequences_on(const Value& chord, std::string_view command, const LiveKeys& live,
                                std::string_view os) {
  return fired_by(chord, command, live, os, [](const Binding& b) { return b.is_sequence(); }, false);
}

std::vector<Taken> step_conflicts(const Value& b, std::string_view command, const LiveKeys& live,
                                  std::string_view os) {
  std::vector<Taken> out;
  auto nb = chords_of(b);
  if (!nb) return out;
  const auto mine = chord_labels(*nb, os);
  for (std::string_view scope : {"window", "editor"})
    for (const auto& other : live.scope(scope)) {
      if (!other.command.empty() && other.command == command) continue;
      const auto theirs = chord_labels(other, os);
      const size_t n = std::min(mine.size(), theirs.size());
      if (std::equal(mine.begin(), mine.begin() + n, theirs.begin())) out.push_back({std::string(scope), other});
    }
  return out;
}

Value removal(const Binding& b) {
  Value out = kelp::empty_map();
  for (const Value* k : {&K_KEY, &K_KEYS, &K_MODS, &K_NOT, &K_EXACT, &K_PHYSICAL, &K_COMMAND, &K_THEN})
    if (const Value* v = kelp::get(b.edn, *k)) out = kelp::assoc(out, *k, *v);
  return out;
}

Value without(const Value& file, std::string_view scope, const Binding& b) {
  if (yours_at(file, scope, b)) {
    auto entries = section(file, scope);
    std::erase_if(entries, [&](const Value& e) { return e == b.edn; });
    return with_section(file, scope, entries);
  }
  return with_removal(file, b);
}

Value put(const Value& file, std::string_view scope, const std::optional<Binding>& old, const Value& binding) {
  if (old)
    if (auto at = yours_at(file, scope, *old)) {
      auto entries = section(file, scope);
      entries[*at] = binding;
      return with_section(file, scope, entries);
    }
  Value out = old ? with_removal(file, *old) : file;
  auto entries = section(out, scope);
  entries.push_back(binding);
  return with_section(out, scope, entries);
}

Value chord_binding(const Row& row, const Value& chord) {
  Value out = kelp::empty_map();
  for (const Value* k : {&K_KEY, &K_KEYS, &K_MODS, &K_NOT, &K_EXACT, &K_PHYSICAL})
    if (const Value* v = kelp::get(chord, *k)) out = kelp::assoc(out, *k, *v);
  out = kelp::assoc(out, K_COMMAND, command_keyword(row.command));
  if (row.binding && !row.binding->args.is_nil()) out = kelp::assoc(out, K_ARGS, row.binding->args);
  return out;
}

Value record(const Value& file, const Row& row, const Value& chord, const LiveKeys& live, std::string_view os) {
  if (row.fixed) return file;
  Value out = file;
  if (auto taken = conflict(chord, row.command, live, os)) out = without(out, taken->scope, taken->binding);
  return put(out, row.scope, row.binding, chord_binding(row, chord));
}

Value with_step(const Binding& b, const Value& chord) {
  const Value* then = kelp::get(b.edn, K_THEN);
  Value steps = then && then->is(kelp::Kind::Vector) ? *then : kelp::empty_vector();
  return kelp::assoc(b.edn, K_THEN, kelp::vector_conj(steps, chord));
}

Value add_step(const Value& file, const Row& row, const Value& chord) {
  if (!row.binding || row.fixed) return file;
  return put(file, row.scope, row.binding, with_step(*row.binding, chord));
}

Value reset_command(const Value& file, std::string_view command) {
  const Value id = command_keyword(command);
  auto names_it = [&](const Value& e) {
    const Value* c = kelp::is_map(e) ? kelp::get(e, K_COMMAND) : nullptr;
    return c && *c == id;
  };
  Value out = file;
  for (std::string_view scope : {"window", "editor", "remove"}) {
    auto entries = section(out, scope);
    std::erase_if(entries, names_it);
    out = with_section(out, scope, entries);
  }
  return out;
}

std::string_view written_mark() { return ";; Your own key bindings for Orrery, written by Preferences."; }

std::string binding_text(const Value& entry) {
  if (!kelp::is_map(entry)) return kelp::print_edn(entry);
  static const std::vector<Value> order = {K_KEY,  K_KEYS,    K_MODS, K_NOT,  K_EXACT, K_PHYSICAL,
                                           K_WHEN, K_COMMAND, K_ARGS, K_THEN, K_OS};
  std::string out = "{";
  auto add = [&](const Value& k, const Value& v) {
    out += (out.size() > 1 ? " " : "") + kelp::print_edn(k) + " " + value_text(v);
  };
  for (const Value& k : order)
    if (const Value* v = kelp::get(entry, k)) add(k, *v);
  entry.obj()->each_entry([&](const Value& k, const Value& v) {
    if (std::find(order.begin(), order.end(), k) == order.end()) add(k, v);
    return true;
  });
  return out + "}";
}

std::string file_text(const Value& file) {
  std::string out = std::string(written_mark()) + "\n" +
                    ";; Saving this file in Orrery reloads it. A change made in Preferences\n"
                    ";; rewrites it, so comments you add here won't last.\n";
  // "{:window [", " :editor [" and " :remove [" are all ten characters wide.
  const std::string indent(10, ' ');
  bool first = true;
  for (std::string_view scope : {"window", "editor", "remove"}) {
    out += first ? "{:" : "\n :";
    out += std::string(scope) + " [";
    first = false;
    bool first_entry = true;
    for (const Value& e : section(file, scope)) {
      out += (first_entry ? "" : "\n" + indent) + binding_text(e);
      first_entry = false;
    }
    out += "]";
  }
  // Keys the loader skips stay, so that a rewrite never drops what someone wrote.
  file.obj()->each_entry([&](const Value& k, const Value& v) {
    if (!(k == K_WINDOW || k == K_EDITOR || k == K_REMOVE)) out += "\n " + kelp::print_edn(k) + " " + value_text(v);
    return true;
  });
  return out + "}\n";
}

bool is_hand_comments(std::string_view text) {
  if (text.starts_with(written_mark())) return false;
  std::vector<std::string_view> template_lines;
  std::string_view t = user_keys::template_text();
  for (size_t start = 0; start < t.size();) {
    size_t end = t.find('\n', start);
    if (end == std::string_view::npos) end = t.size();
    std::string_view line = t.substr(start, end - start);
    if (line.starts_with(";")) template_lines.push_back(line);
    start = end + 1;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i)
        if (text[i] == '\\') ++i;
    } else if (c == '\\') {
      ++i;  // a character literal: \; and \" are no comment and no string
    } else if (c == ';') {
      size_t end = text.find('\n', i);
      if (end == std::string_view::npos) end = text.size();
      std::string_view comment = text.substr(i, end - i);
      while (!comment.empty() && (comment.back() == '\r' || comment.back() == ' ' || comment.back() == '\t'))
        comment.remove_suffix(1);
      if (std::find(template_lines.begin(), template_lines.end(), comment) == template_lines.end()) return true;
      i = end;
    }
  }
  return false;
}

std::variant<Value, std::string> file_keys(std::string_view text) {
  Value file = kelp::make_map({K_WINDOW, kelp::empty_vector(), K_EDITOR, kelp::empty_vector(), K_REMOVE,
                               kelp::empty_vector()});
  auto read = kelp::read_edn(text);
  if (!read) {
    auto forms = kelp::read_edn("[" + std::string(text) + "\n]");
    if (forms && items(*forms).empty()) return file;
    return "couldn't be read (" + read.failure().message + ")";
  }
  if (!kelp::is_map(*read)) return std::string("doesn't hold a map");
  std::optional<std::string> bad;
  read->obj()->each_entry([&](const Value& k, const Value& v) {
    if ((k == K_WINDOW || k == K_EDITOR || k == K_REMOVE) && !v.is(kelp::Kind::Vector)) {
      bad = "holds " + kelp::print_edn(k) + " that isn't a vector";
      return false;
    }
    file = kelp::assoc(file, k, v);
    return true;
  });
  if (bad) return *bad;
  return file;
}

std::optional<std::string> edit_keys_file(const std::filesystem::path& path,
                                          const std::function<Value(const Value&)>& edit) {
  const std::string shown = path.string();
  std::filesystem::path real;
  try {
    real = text_file::resolve_links(path);
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
  std::string text;
  text_file::Bytes bytes = text_file::read_regular(real);
  if (bytes.text) {
    text = std::move(*bytes.text);
  } else if (bytes.error == EINVAL || bytes.error == EISDIR) {
    return "Preferences left " + shown + " as it is: it isn't a file.";
  } else if (bytes.error != ENOENT) {
    return "Preferences left " + shown + " as it is: it couldn't be opened (" + std::strerror(bytes.error) + ").";
  }
  auto file = file_keys(text);
  if (auto* why = std::get_if<std::string>(&file))
    return "Preferences left " + shown + " as it is: the file " + *why + ". Fix it by hand first.";
  const Value& was = std::get<Value>(file);
  const Value next = edit(was);
  // A file nobody has written by hand yet, or one Preferences wrote, is written whole in Preferences' layout; one
  // holding only someone's comments keeps them, with the keys after them.
  if (edn_edit::is_blank(text) && is_hand_comments(text)) {
    const std::string whole = file_text(next);
    const std::string keys = whole.substr(whole.find("\n{") + 1);
    return text_file::save(path, text + (text.ends_with('\n') ? "" : "\n") + keys);
  }
  if (edn_edit::is_blank(text) || text == user_keys::template_text() || text.starts_with(written_mark()))
    return text_file::save(path, file_text(next));
  std::optional<std::string> edited = edit_in_place(text, was, next);
  if (edited && *edited == text) return std::nullopt;
  if (edited) return text_file::save(path, *edited);
  if (!is_hand_comments(text)) return text_file::save(path, file_text(next));
  return "Preferences left " + shown +
         " as it is: the change couldn't be made in place, and rewriting the file would lose your comments.";
}

}  // namespace orrery::key_prefs
