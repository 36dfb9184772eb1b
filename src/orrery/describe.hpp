// What keys do, as console lines: Describe Key (every binding a pressed key matches, in the order they are
// tried), the ring of keys pressed last and the list of every binding. Typing is only ever counted, never kept.
// Nothing here touches GTK; the window records and reads on its main thread.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/command_registry.hpp"
#include "orrery/keymap.hpp"

namespace orrery::describe {

using keymap::Key;

// What :help/describe-key prints before it waits for the key.
inline constexpr std::string_view PRESS_LINE = "; Press the key to describe.";

struct NamedKey {
  uint32_t keyval;
  std::string_view name;
};
// The keys that only modify others (Shift, Control, Alt, Meta, Super, Hyper, Caps Lock, AltGr, ...).
std::span<const NamedKey> modifier_names();
// Whether the key only modifies others: pressing it does not end Describe Key's wait.
bool is_modifier_key(uint32_t keyval);

// The modifiers a state holds as chords name them: on macOS the Meta bit is Cmd, elsewhere the Control bit is.
keymap::Mods held(uint32_t state, std::string_view os);
// The pressed key spelled as the palette spells chords ("Ctrl+Shift+P").
std::string chord_text(const Key& key, std::string_view os);

// Where a command comes from: "built-in", a plugin's id, or empty for an id no table has.
std::string source(const command_registry::Command* c);

struct Match {
  std::string scope;    // "window" or "editor"
  std::string command;  // empty with a fixed outcome
  std::optional<keymap::Outcome> outcome;
  std::vector<std::string> when;
  std::string doc;
  std::string source;
  std::optional<std::string> sequence;  // the whole key sequence, for a binding the key only starts
  bool operator==(const Match&) const = default;
};
// Every window then editor binding that matches the key with each condition taken as holding, in the order
// dispatch tries them.
std::vector<Match> key_matches(const keymap::Keymap& keymap, const command_registry::Table& commands, const Key& key,
                               std::string_view os);
// "runs :run/run (Run the buffer.)", "starts Ctrl+K C, which runs ...", "goes to GTK here (built-in)", with
// ", only when :a, :b" after it for a binding with conditions.
std::string match_text(const Match& m);
std::vector<std::string> describe_lines(std::string_view chord, const std::vector<Match>& matches);

inline constexpr size_t RECENT_MAX = 50;

// A key pressed: typing (only counted, what was typed is never kept), or a chord and the command that ran for it
// (none when the window passed the key on).
struct Recent {
  size_t typing = 0;  // > 0: this many typing keys in a row
  std::string chord;
  std::optional<std::string> command;
  bool operator==(const Recent&) const = default;
};
using Ring = std::deque<Recent>;

// Adds the entry to the ring, typing after typing counted into one entry, the oldest dropped past RECENT_MAX.
// Never throws.
void remember(Ring& ring, Recent entry) noexcept;

// The keys that edit or move through text, counted as typing when held with nothing but Shift.
std::span<const NamedKey> editing_keys();
// The character a key value types (GDK's Latin-1 and Unicode key values), or 0.
char32_t unicode_of(uint32_t keyval);
// Plain typing: a key yielding a printable character, or an editing key, held with nothing but Shift. The
// window may pass GDK's own Unicode value of the key.
bool is_typing(const Key& key, std::optional<char32_t> unicode = std::nullopt);
Recent recent_entry(const Key& key, std::optional<std::string> command_ran, std::string_view os,
                    std::optional<char32_t> unicode = std::nullopt);
std::string recent_line(const Recent& r);
std::vector<std::string> recent_lines(const Ring& ring);

// "; Window keys", one line per bound command in keymap order (its chords, doc and source), then the same
// under "; Editor keys".
std::vector<std::string> binding_lines(const keymap::Keymap& keymap, const command_registry::Table& commands,
                                       std::string_view os);

}  // namespace orrery::describe
