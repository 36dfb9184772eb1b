#include "orrery/keymap.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/resources.hpp"

namespace orrery::keymap {

using kelp::Value;

namespace {

struct NamedKey {
  std::string_view name;
  uint32_t value;
};

constexpr std::array<NamedKey, 34> KEY_TABLE = {{
    {"equal", 0x03d},      {"plus", 0x02b},      {"minus", 0x02d},     {"braceright", 0x07d},
    {"braceleft", 0x07b},  {"bracketleft", 0x05b}, {"space", 0x020},   {"slash", 0x02f},
    {"semicolon", 0x03b},  {"period", 0x02e},    {"greater", 0x03e},   {"comma", 0x02c},
    {"grave", 0x060},      {"Escape", 0xff1b},   {"Return", 0xff0d},   {"KP_Enter", 0xff8d},
    {"F1", 0xffbe},        {"F2", 0xffbf},       {"F3", 0xffc0},       {"F5", 0xffc2},
    {"F6", 0xffc3},        {"F7", 0xffc4},       {"F8", 0xffc5},       {"F9", 0xffc6},
    {"F10", 0xffc7},       {"F12", 0xffc9},      {"Home", 0xff50},     {"Left", 0xff51},
    {"Up", 0xff52},        {"Right", 0xff53},    {"Down", 0xff54},     {"End", 0xff57},
    {"BackSpace", 0xff08}, {"Delete", 0xffff},
}};

struct NamedMod {
  std::string_view name;
  Mods mod;
  uint32_t mask;
};
constexpr std::array<NamedMod, 6> MODS = {{
    {"shift", SHIFT, MASK_SHIFT},
    {"ctrl", CTRL, MASK_CTRL},
    {"alt", ALT, MASK_ALT},
    {"super", SUPER, MASK_SUPER},
    {"meta", META, MASK_META},
    {"cmd", CMD, MASK_CTRL},
}};
// The four modifiers an :exact set speaks of.
constexpr Mods EXACT_FOUR = SHIFT | ALT | CTRL | META;

bool is_name_char(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// --- EDN access.

const Value K_KEY = kelp::keyword("key"), K_KEYS = kelp::keyword("keys"), K_MODS = kelp::keyword("mods"),
            K_NOT = kelp::keyword("not"), K_EXACT = kelp::keyword("exact"),
            K_PHYSICAL = kelp::keyword("physical?"), K_WHEN = kelp::keyword("when"),
            K_COMMAND = kelp::keyword("command"), K_ARGS = kelp::keyword("args"),
            K_OUTCOME = kelp::keyword("outcome"), K_THEN = kelp::keyword("then");

const Value* field(const Value& m, const Value& k) { return kelp::get(m, k); }

bool is_coll(const Value& v) {
  return v.is(kelp::Kind::Vector) || v.is(kelp::Kind::List) || kelp::is_set(v) || v.is(kelp::Kind::Seq);
}

std::vector<Value> items(const Value& coll) {
  std::vector<Value> out;
  if (const kelp::Object* o = coll.obj()) o->each([&](const Value& x) { out.push_back(x); return true; });
  return out;
}

// The keyword's text without the colon ("run/run"); empty for anything else.
std::string keyword_text(const Value& v) {
  if (!kelp::is_keyword(v)) return {};
  const auto& k = v.as<kelp::Keyword>();
  return k.has_ns() ? std::string(k.ns()) + "/" + std::string(k.name()) : std::string(k.name());
}

std::string edn_seq(const std::vector<Value>& xs, char open, char close) {
  std::string out(1, open);
  for (size_t i = 0; i < xs.size(); ++i) {
    if (i) out += ' ';
    out += kelp::pr_str(xs[i]);
  }
  return out + close;
}
std::string edn_list(const std::vector<Value>& xs) { return edn_seq(xs, '(', ')'); }

Mods known_mod(const Value& v) {
  if (!kelp::is_keyword(v) || v.as<kelp::Keyword>().has_ns()) return 0;
  return mod_named(v.as<kelp::Keyword>().name());
}

bool is_key_name(const Value& v) { return v.is(kelp::Kind::String) && key_value(kelp::str_view(v)).has_value(); }

// The shape, key and modifier problems shared by bindings and chords.
void chord_problems(const Value& m, std::vector<std::string>& out) {
  const Value* key = field(m, K_KEY);
  const Value* keys = field(m, K_KEYS);
  const Value* mods = field(m, K_MODS);
  const Value* not_ = field(m, K_NOT);
  const Value* exact = field(m, K_EXACT);
  if (keys && !is_coll(*keys)) out.push_back(":keys isn't a set of key names");
  if (mods && !is_coll(*mods)) out.push_back(":mods isn't a set");
  if (not_ && !is_coll(*not_)) out.push_back(":not isn't a set");

  if (!key && !keys) out.push_back("has neither :key nor :keys");
  if (key && keys) out.push_back("has both :key and :keys");
  std::vector<Value> unknown_keys;
  if (key && !is_key_name(*key)) unknown_keys.push_back(*key);
  if (keys && is_coll(*keys))
    for (const Value& k : items(*keys))
      if (!is_key_name(k)) unknown_keys.push_back(k);
  if (!unknown_keys.empty()) out.push_back("names an unknown key " + edn_list(unknown_keys));

  std::vector<Value> unknown_mods;
  for (const Value* set : {mods, not_, exact})
    if (set && is_coll(*set))
      for (const Value& x : items(*set))
        if (!known_mod(x) && std::find(unknown_mods.begin(), unknown_mods.end(), x) == unknown_mods.end())
          unknown_mods.push_back(x);
  if (!unknown_mods.empty()) out.push_back("names an unknown modifier " + edn_list(unknown_mods));
  if (exact && !is_coll(*exact)) out.push_back(":exact isn't a set");
  if (exact && is_coll(*exact)) {
    bool any_known = false;
    std::vector<Value> outsiders;
    for (const Value& x : items(*exact)) {
      Mods k = known_mod(x);
      any_known = any_known || k;
      if (!(k & EXACT_FOUR)) outsiders.push_back(x);
    }
    if (any_known && !outsiders.empty())
      out.push_back(":exact names " + edn_list(outsiders) + ", only :shift :alt :ctrl :meta");
  }
  if (exact && (mods || not_)) out.push_back("has :exact alongside :mods or :not");
  if (const Value* p = field(m, K_PHYSICAL); p && !p->is_bool()) out.push_back(":physical? isn't true or false");
}

bool is_binding_key(const Value& k) {
  for (const Value* known : {&K_KEY, &K_KEYS, &K_MODS, &K_NOT, &K_EXACT, &K_PHYSICAL, &K_WHEN, &K_COMMAND,
                             &K_ARGS, &K_OUTCOME, &K_THEN})
    if (k.identical(*known)) return true;
  return false;
}
bool is_chord_key(const Value& k) {
  for (const Value* known : {&K_KEY, &K_KEYS, &K_MODS, &K_NOT, &K_EXACT, &K_PHYSICAL})
    if (k.identical(*known)) return true;
  return false;
}

std::vector<Value> unknown_keys_of(const Value& m, bool (*known)(const Value&)) {
  std::vector<Value> out;
  m.obj()->each_entry([&](const Value& k, const Value&) {
    if (!known(k)) out.push_back(k);
    return true;
  });
  return out;
}

std::optional<Outcome> outcome_of(const Value& v) {
  std::string t = keyword_text(v);
  if (t == "handled") return Outcome::handled;
  if (t == "to-gtk") return Outcome::to_gtk;
  return std::nullopt;
}

// With null id sets, the registration of commands and conditions is not asked.
std::vector<std::string> binding_problems(const Value& m, const std::set<std::string>* commands,
                                          const std::set<std::string>* conditions) {
  std::vector<std::string> out;
  if (!kelp::is_map(m)) return {"isn't a map"};
  chord_problems(m, out);

  const Value* command = field(m, K_COMMAND);
  const Value* outcome = field(m, K_OUTCOME);
  if (command && outcome) out.push_back("has both :command and :outcome");
  if (!command && !outcome) out.push_back("has neither :command nor :outcome");
  if (command && (!kelp::is_keyword(*command) || (commands && !commands->count(keyword_text(*command)))))
    out.push_back("names an unregistered command " + kelp::pr_str(*command));
  if (outcome && !outcome_of(*outcome))
    out.push_back("names an unknown outcome " + kelp::pr_str(*outcome) + ", not :handled or :to-gtk");

  if (const Value* when = field(m, K_WHEN)) {
    if (!when->is(kelp::Kind::Vector)) {
      out.push_back(":when isn't a vector");
    } else {
      std::vector<Value> unknown;
      for (const Value& id : items(*when))
        if (!kelp::is_keyword(id) || (conditions && !conditions->count(keyword_text(id)))) unknown.push_back(id);
      if (!unknown.empty()) out.push_back("names an unregistered condition " + edn_list(unknown));
    }
  }
  if (auto unknown = unknown_keys_of(m, is_binding_key); !unknown.empty())
    out.push_back("has unknown keys " + edn_list(unknown));

  if (const Value* then = field(m, K_THEN)) {
    std::vector<Value> chords = then->is(kelp::Kind::Vector) ? items(*then) : std::vector<Value>{};
    if (chords.empty()) {
      out.push_back(":then isn't a vector of at least one chord");
    } else if (!std::all_of(chords.begin(), chords.end(), [](const Value& c) { return kelp::is_map(c); })) {
      out.push_back(":then holds something that isn't a chord map");
    } else {
      if (outcome) out.push_back("has a :then and an :outcome; a key sequence runs a command");
      for (size_t k = 0; k < chords.size(); ++k) {
        std::vector<std::string> own;
        chord_problems(chords[k], own);
        if (auto unknown = unknown_keys_of(chords[k], is_chord_key); !unknown.empty())
          own.push_back("has unknown keys " + edn_seq(unknown, '[', ']'));
        for (auto& p : own) out.push_back(":then chord " + std::to_string(k + 1) + " " + p);
      }
    }
  }
  return out;
}

Mods mods_of(const Value* set) {
  Mods out = 0;
  if (set)
    for (const Value& x : items(*set)) out |= known_mod(x);
  return out;
}

// A chord map that has passed chord_problems.
Chord to_chord(const Value& m) {
  Chord c;
  if (const Value* key = field(m, K_KEY)) c.key = std::string(kelp::str_view(*key));
  if (const Value* keys = field(m, K_KEYS)) {
    for (const Value& k : items(*keys)) c.keys.emplace_back(kelp::str_view(k));
    std::sort(c.keys.begin(), c.keys.end());
    c.keys.erase(std::unique(c.keys.begin(), c.keys.end()), c.keys.end());
  }
  c.mods = mods_of(field(m, K_MODS));
  c.not_ = mods_of(field(m, K_NOT));
  if (const Value* exact = field(m, K_EXACT)) c.exact = mods_of(exact);
  if (const Value* p = field(m, K_PHYSICAL)) c.physical = p->as_bool();
  for (const auto& n : c.names()) c.values.push_back(key_value(n).value_or(0));
  return c;
}

bool may_match_physically(const Chord& c) {
  if (c.physical) return true;
  return c.exact ? (*c.exact & ALT) != 0 : (c.mods & ALT) != 0;
}

bool key_matches(const Chord& c, uint32_t keyval, const std::optional<std::string>& physical) {
  for (uint32_t v : c.values)
    if (v && v == keyval) return true;
  if (physical && may_match_physically(c)) {
    for (const auto& n : c.names())
      if (n == *physical) return true;
  }
  return false;
}

}  // namespace

std::string_view mod_name(Mods single) {
  for (const auto& m : MODS)
    if (m.mod == single) return m.name;
  return {};
}

Mods mod_named(std::string_view name) {
  for (const auto& m : MODS)
    if (m.name == name) return m.mod;
  return 0;
}

bool is_held(Mods single, uint32_t state) {
  if (single == CMD) return (state & (MASK_CTRL | MASK_META)) != 0;
  for (const auto& m : MODS)
    if (m.mod == single) return (state & m.mask) != 0;
  return false;
}

uint32_t mask_of(Mods mods) {
  uint32_t out = 0;
  for (const auto& m : MODS)
    if (mods & m.mod) out |= m.mask;
  return out;
}

std::string_view outcome_name(Outcome o) {
  switch (o) {
    case Outcome::nil: return "nil";
    case Outcome::handled: return "handled";
    case Outcome::to_gtk: return "to-gtk";
    case Outcome::next: return "next";
    case Outcome::unmatched: return "unmatched";
  }
  return "nil";
}

bool Chord::operator==(const Chord& o) const {
  return key == o.key && keys == o.keys && mods == o.mods && not_ == o.not_ && exact == o.exact &&
         physical == o.physical;
}

std::optional<uint32_t> key_value(std::string_view name) {
  if (name.size() == 1 && is_name_char(static_cast<unsigned char>(name[0]))) return uint32_t(name[0]);
  for (const auto& k : KEY_TABLE)
    if (k.name == name) return k.value;
  return std::nullopt;
}

std::optional<std::string> key_name(uint32_t value) {
  if (value <= 127 && is_name_char(value)) return std::string(1, char(value));
  for (const auto& k : KEY_TABLE)
    if (k.value == value) return std::string(k.name);
  return std::nullopt;
}

bool is_typing_key(std::string_view name) {
  if (name == "Escape") return false;
  bool function_key = name.size() > 1 && name[0] == 'F' &&
                      std::all_of(name.begin() + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; });
  return !function_key;
}

std::optional<Binding> to_binding(const Value& m) {
  if (!binding_problems(m, nullptr, nullptr).empty()) return std::nullopt;
  Binding b;
  static_cast<Chord&>(b) = to_chord(m);
  if (const Value* when = field(m, K_WHEN))
    for (const Value& id : items(*when)) b.when.push_back(keyword_text(id));
  if (const Value* command = field(m, K_COMMAND)) b.command = keyword_text(*command);
  if (const Value* args = field(m, K_ARGS)) b.args = *args;
  if (const Value* outcome = field(m, K_OUTCOME)) b.outcome = outcome_of(*outcome);
  if (const Value* then = field(m, K_THEN))
    for (const Value& c : items(*then)) b.then.push_back(to_chord(c));
  b.edn = m;
  return b;
}

std::optional<Keymap> read_keymap(std::string_view edn_text, std::string* error) {
  auto fail = [&](std::string why) -> std::optional<Keymap> {
    if (error) *error = std::move(why);
    return std::nullopt;
  };
  auto read = kelp::read_edn(edn_text);
  if (!read) return fail(read.failure().message);
  if (!kelp::is_map(*read)) return fail("The keymap isn't a map of scopes to binding vectors.");
  Keymap km;
  std::optional<std::string> bad;
  read->obj()->each_entry([&](const Value& scope, const Value& bindings) {
    std::string name = keyword_text(scope);
    if (name.empty() || !bindings.is(kelp::Kind::Vector)) {
      bad = "The keymap's " + kelp::pr_str(scope) + " isn't a keyword naming a vector of bindings.";
      return false;
    }
    auto& out = km[name];
    for (const Value& m : items(bindings)) {
      auto b = to_binding(m);
      if (!b) {
        bad = "The keymap's " + kelp::pr_str(scope) + " binding " + std::to_string(out.size()) +
              " isn't valid: " + binding_problems(m, nullptr, nullptr).front() + ".";
        return false;
      }
      out.push_back(std::move(*b));
    }
    return true;
  });
  if (bad) return fail(*bad);
  return km;
}

bool modifiers_match(const Chord& c, uint32_t state) {
  if (c.exact) {
    for (Mods m : {SHIFT, ALT, CTRL, META})
      if (((*c.exact & m) != 0) != is_held(m, state)) return false;
    return true;
  }
  for (const auto& m : MODS) {
    if ((c.mods & m.mod) && !is_held(m.mod, state)) return false;
    if ((c.not_ & m.mod) && is_held(m.mod, state)) return false;
  }
  return true;
}

bool matches_chord(const Chord& c, uint32_t keyval, uint32_t state, const std::optional<std::string>& physical) {
  return key_matches(c, keyval, physical) && modifiers_match(c, state);
}

bool matches(const Binding& b, uint32_t keyval, uint32_t state, const Holds& holds,
             const std::optional<std::string>& physical) {
  if (!matches_chord(b, keyval, state, physical)) return false;
  for (const auto& id : b.when)
    if (!holds || !holds(id)) return false;
  return true;
}

const Binding* resolve_binding(const std::vector<Binding>& bindings, uint32_t keyval, uint32_t state,
                               const Holds& holds) {
  for (const auto& b : bindings)
    if (matches(b, keyval, state, holds)) return &b;
  return nullptr;
}

Outcome dispatch(const std::vector<Binding>& bindings, uint32_t keyval, uint32_t state, const DispatchOptions& opts) {
  for (const auto& b : bindings) {
    if (b.is_sequence() && !opts.start_seq) continue;
    if (!matches(b, keyval, state, opts.holds, opts.physical)) continue;
    Outcome answer = b.is_sequence() ? opts.start_seq(b)
                     : b.outcome     ? *b.outcome
                     : opts.run      ? opts.run(b)
                                     : Outcome::nil;
    if (answer == Outcome::handled || answer == Outcome::to_gtk) return answer;
  }
  return Outcome::unmatched;
}

std::vector<std::string> problems(const Value& bindings, const std::set<std::string>& command_ids,
                                  const std::set<std::string>& condition_ids) {
  std::vector<std::string> out;
  if (!is_coll(bindings)) return {"The bindings aren't a vector of binding maps."};
  size_t i = 0;
  for (const Value& m : items(bindings)) {
    for (auto& p : binding_problems(m, &command_ids, &condition_ids))
      out.push_back("binding " + std::to_string(i) + " " + p);
    ++i;
  }
  return out;
}

namespace {

// The states a binding can fire in, one per way of holding what it asks for.
std::vector<uint32_t> concrete_states(const Binding& b) {
  std::vector<uint32_t> states;
  if (!b.exact && (b.mods & CMD)) {
    Mods rest = b.mods & ~CMD;
    states = {mask_of(rest | CTRL), mask_of(rest | META)};
  } else {
    states = {mask_of(b.exact ? *b.exact : b.mods)};
  }
  std::erase_if(states, [&](uint32_t s) { return !modifiers_match(b, s); });
  return states;
}

bool same_effect(const Binding& a, const Binding& b) {
  return a.command == b.command && a.args == b.args && a.outcome == b.outcome;
}

}  // namespace

std::vector<size_t> unreachable_bindings(const std::vector<Binding>& bindings, const std::vector<Binding>& scope) {
  const Holds all_hold = [](std::string_view) { return true; };
  std::vector<size_t> out;
  for (size_t i = 0; i < bindings.size(); ++i) {
    const Binding& b = bindings[i];
    bool shadowed = false;
    for (uint32_t value : b.values) {
      if (!value) {
        shadowed = true;
        break;
      }
      for (uint32_t state : concrete_states(b)) {
        const Binding* first = resolve_binding(scope, value, state, all_hold);
        if (!first || (!(first->is_sequence() && b.is_sequence()) && !same_effect(*first, b))) shadowed = true;
      }
      if (shadowed) break;
    }
    if (shadowed) out.push_back(i);
  }
  return out;
}

namespace {

std::string key_label(const std::string& name) {
  static const std::map<std::string, std::string, std::less<>> labels = {
      {"equal", "="},      {"plus", "+"},          {"minus", "-"},         {"braceright", "}"},
      {"braceleft", "{"},  {"bracketleft", "["},   {"space", "Space"},     {"slash", "/"},
      {"semicolon", ";"},  {"period", "."},        {"greater", ">"},       {"comma", ","},
      {"grave", "`"},      {"Escape", "Esc"},      {"Return", "Enter"},    {"KP_Enter", "Enter"},
      {"BackSpace", "Backspace"},
  };
  if (auto it = labels.find(name); it != labels.end()) return it->second;
  if (name.size() == 1 && name[0] >= 'a' && name[0] <= 'z') return std::string(1, char(name[0] - 'a' + 'A'));
  return name;
}

}  // namespace

std::string chord_label(const Chord& c, std::string_view os) {
  const bool mac = os == "Mac OS X";
  Mods shown = c.exact ? *c.exact : c.mods;
  std::string out;
  if (mac) {
    // Apple's order: Control, Option, Shift, Command.
    if (shown & CTRL) out += "⌃";
    if (shown & ALT) out += "⌥";
    if (shown & SHIFT) out += "⇧";
    if (shown & SUPER) out += "❖";
    if (shown & (CMD | META)) out += "⌘";
  } else {
    if (shown & (CTRL | CMD)) out += "Ctrl+";
    if (shown & ALT) out += "Alt+";
    if (shown & SHIFT) out += "Shift+";
    if (shown & SUPER) out += "Super+";
    if (shown & META) out += "Meta+";
  }
  std::vector<std::string> labels;
  for (const auto& n : c.names()) {
    std::string l = key_label(n);
    if (std::find(labels.begin(), labels.end(), l) == labels.end()) labels.push_back(l);
  }
  for (size_t i = 0; i < labels.size(); ++i) out += (i ? "/" : "") + labels[i];
  return out;
}

std::string_view shipped_text() {
  auto text = resource("orrery/keymap.edn");
  if (!text) throw std::logic_error("This build carries no keymap.");
  return *text;
}

const Keymap& shipped() {
  static const Keymap km = [] {
    std::string error;
    auto read = read_keymap(shipped_text(), &error);
    if (!read) throw std::logic_error("The shipped keymap doesn't read: " + error);
    return std::move(*read);
  }();
  return km;
}

Keymap append_bindings(Keymap km, const std::string& scope, const std::vector<Binding>& more) {
  auto& v = km[scope];
  v.insert(v.end(), more.begin(), more.end());
  return km;
}

}  // namespace orrery::keymap
