// Key bindings as data: the binding format, the matcher and first-match-wins dispatcher over a scope's ordered
// vector, the validator that turns a bad binding into sentences, the shadowing check and the shipped keymap.
// Nothing here touches GTK: callers hand in a key value already lowered with gdk_keyval_to_lower, the raw GDK
// modifier bits and, where they have one, the name of the physical key pressed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"

namespace orrery::keymap {

// The GDK modifier bits, copied so that the matcher runs without GTK.
inline constexpr uint32_t MASK_SHIFT = 1u << 0;
inline constexpr uint32_t MASK_CTRL = 1u << 2;
inline constexpr uint32_t MASK_ALT = 1u << 3;
inline constexpr uint32_t MASK_SUPER = 1u << 26;
inline constexpr uint32_t MASK_META = 1u << 28;

// A set of the six known modifiers; :cmd is virtual, held when Control or Meta is.
using Mods = uint8_t;
inline constexpr Mods SHIFT = 1, CTRL = 2, ALT = 4, SUPER = 8, META = 16, CMD = 32;

// The modifier's name without the colon ("shift"), and back (0 for an unknown name).
std::string_view mod_name(Mods single);
Mods mod_named(std::string_view name);
// Whether modifier `single` is held in a GDK state.
bool is_held(Mods single, uint32_t state);
// The GDK mask of a set (:cmd counts as Control).
uint32_t mask_of(Mods mods);

enum class Outcome { nil, handled, to_gtk, next, unmatched };
std::string_view outcome_name(Outcome o);  // "handled", "to-gtk", ...

// One key press: the lowered key value, the modifier state and the physical key's name when the caller has one.
struct Key {
  uint32_t keyval = 0;
  uint32_t state = 0;
  std::optional<std::string> physical;
};

// A chord: the keys and modifiers of one press. Exactly one of `key` and `keys` is used.
struct Chord {
  std::string key;                // the one key name, or empty
  std::vector<std::string> keys;  // the names of :keys, sorted
  Mods mods = 0;
  Mods not_ = 0;  // the :not set
  std::optional<Mods> exact;
  bool physical = false;  // :physical? true
  std::vector<uint32_t> values;  // the key value of each name (0: no value)

  std::vector<std::string> names() const { return key.empty() ? keys : std::vector<std::string>{key}; }
  bool operator==(const Chord& other) const;
};

struct Binding : Chord {
  std::vector<std::string> when;  // condition ids without the colon, asked in order
  std::string command;            // the command id without the colon ("run/run"); empty with an :outcome
  kelp::Value args;               // the :args map, or nil
  std::optional<Outcome> outcome;  // handled or to_gtk
  std::vector<Chord> then;         // further chords: a key sequence
  kelp::Value edn;                 // the binding map this was read from
  bool is_sequence() const { return !then.empty(); }
};

// A scope keyword's name ("window") to its ordered bindings.
using Keymap = std::map<std::string, std::vector<Binding>>;

std::optional<uint32_t> key_value(std::string_view name);
std::optional<std::string> key_name(uint32_t value);
// False for Escape and the function keys; a binding on any other key needs a modifier besides Shift.
bool is_typing_key(std::string_view name);

// A binding read from its EDN map; nothing when the map has a shape, key, modifier or outcome problem (the
// registration of its command and conditions is not asked).
std::optional<Binding> to_binding(const kelp::Value& m);
// A keymap text: a map of scope keywords to vectors of valid bindings. Fails with a sentence.
std::optional<Keymap> read_keymap(std::string_view edn_text, std::string* error = nullptr);

using Holds = std::function<bool(std::string_view condition)>;

bool modifiers_match(const Chord& c, uint32_t state);
bool matches_chord(const Chord& c, uint32_t keyval, uint32_t state, const std::optional<std::string>& physical = {});
// Key, then modifiers, then the :when conditions in order (without `holds` nothing holds).
bool matches(const Binding& b, uint32_t keyval, uint32_t state, const Holds& holds = {},
             const std::optional<std::string>& physical = {});
const Binding* resolve_binding(const std::vector<Binding>& bindings, uint32_t keyval, uint32_t state,
                               const Holds& holds = {});

struct DispatchOptions {
  Holds holds;
  std::function<Outcome(const Binding&)> run;        // runs a command binding; empty answers nil
  std::optional<std::string> physical;
  std::function<Outcome(const Binding&)> start_seq;  // empty: sequence bindings take no part
};
// Handled, to_gtk or unmatched: the first matching binding whose answer is handled or to_gtk decides.
Outcome dispatch(const std::vector<Binding>& bindings, uint32_t keyval, uint32_t state, const DispatchOptions& opts);

// Sentences for every problem of a vector of binding maps ("binding 0 names an unknown key (\"F11\")"); empty
// when all is well. Ids are written without the colon.
std::vector<std::string> problems(const kelp::Value& bindings, const std::set<std::string>& command_ids,
                                  const std::set<std::string>& condition_ids = {});

// The indices of those of `bindings` that never fire themselves when they live in `scope`.
std::vector<size_t> unreachable_bindings(const std::vector<Binding>& bindings, const std::vector<Binding>& scope);

// A chord as a person reads it: "Ctrl+Shift+P" elsewhere, "⇧⌘P" on macOS (os "Mac OS X").
std::string chord_label(const Chord& c, std::string_view os);

// The keymap carried in the executable, as its text and read.
std::string_view shipped_text();
const Keymap& shipped();
// A keymap with more bindings appended to a scope's vector, after the ones it has.
Keymap append_bindings(Keymap km, const std::string& scope, const std::vector<Binding>& more);

}  // namespace orrery::keymap
