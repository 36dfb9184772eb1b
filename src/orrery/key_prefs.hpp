// The Keys tab of Preferences as data: a row per binding and per command with no key, the chord a key press
// records, what a new chord would take from other commands, and keys.edn written after a change. Edits work on
// the file's own entries, so an entry that was skipped at load (one naming a disabled plugin's command, say) is
// still in the file afterwards, and a file that doesn't read is never written over. Nothing here touches GTK.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/command_registry.hpp"
#include "orrery/keymap.hpp"

namespace orrery::key_prefs {

using keymap::Binding;

// The live bindings of the two scopes, in dispatch order.
struct LiveKeys {
  std::vector<Binding> window, editor;
  const std::vector<Binding>& scope(std::string_view name) const;
};

// Where bindings come from, asked in order: "yours" with your keys, the chosen key set's label with its bindings,
// a plugin's name with the plugin's.
struct Source {
  std::string name;
  std::vector<Binding> window, editor;
};
// The first source holding the binding, else the plugin of its command, else "default".
std::string source_of(std::string_view scope, const Binding& b, const std::vector<Source>& sources,
                      const command_registry::Table& commands);

struct Row {
  std::string scope;  // "window" or "editor"
  std::string command;
  std::string doc;
  std::string chord;  // "" for a command with no key
  std::string source;
  std::optional<Binding> binding;
  bool fixed = false;  // a :when binding, part of a chain of keys: shown, never recorded over
};
// A row per binding that runs a command, window keys then editor keys, then one per window or editor command the
// palette lists that has no key, sorted by doc.
std::vector<Row> rows(const LiveKeys& live, const std::vector<Source>& sources,
                      const command_registry::Table& commands, std::string_view os);
// The rows whose doc, chord or source holds text, case ignored; blank text keeps all.
std::vector<Row> filter_rows(const std::vector<Row>& rows, std::string_view text);

// What a key press records: waiting for a key beside a lone modifier, a chord map ({:key "r" :mods #{:cmd}}), or
// a sentence saying why the key can't be recorded.
struct Press {
  bool waiting = false;
  kelp::Value chord;  // nil unless recorded
  std::string error;
};
// keyval as GDK reports it (it is lowered here), the GDK modifier state, and the physical key's name when the
// window knows it, which names the key ahead of the key value. os is the os.name property.
Press press_chord(uint32_t keyval, uint32_t state, const std::optional<std::string>& physical, std::string_view os);
// The same for a later step of a key sequence, where a typing key counts too.
Press press_step(uint32_t keyval, uint32_t state, const std::optional<std::string>& physical, std::string_view os);

// A binding's chords as the tab shows them, the first and then its :then, separated by a space.
std::string chord_text(const Binding& b, std::string_view os);
std::string chord_text(const kelp::Value& binding_or_chord, std::string_view os);
// The GDK state a recorded chord is pressed with (:cmd is Meta on macOS, Control elsewhere).
uint32_t chord_state(const kelp::Value& chord, std::string_view os);

struct Taken {
  std::string scope;
  Binding binding;
};
// The binding the chord would take its key from: the first one, window keys then editor keys, of a command other
// than `command` (or with a fixed outcome) that the chord fires today, every :when taken as holding.
std::optional<Taken> conflict(const kelp::Value& chord, std::string_view command, const LiveKeys& live,
                              std::string_view os);
// Other commands' key sequences that start on the chord.
std::vector<Taken> sequences_on(const kelp::Value& chord, std::string_view command, const LiveKeys& live,
                                std::string_view os);
// Other commands' bindings that can't live with the binding `b` (a map): the same chords, chords that are the
// start of b's, or chords that b's are the start of, compared as the tab shows them.
std::vector<Taken> step_conflicts(const kelp::Value& b, std::string_view command, const LiveKeys& live,
                                  std::string_view os);

// The file's value is a map with :window, :editor and :remove vectors of entries (maps, or whatever the file
// holds there) and any other keys the file has.
// The :remove entry that names a binding.
kelp::Value removal(const Binding& b);
// The file with the binding given up: taken out when it is yours, else named by a :remove entry.
kelp::Value without(const kelp::Value& file, std::string_view scope, const Binding& b);
// The file with `binding` in scope: in place of old when old is yours, else added after yours with old (when
// there is one) named by a :remove entry.
kelp::Value put(const kelp::Value& file, std::string_view scope, const std::optional<Binding>& old,
                const kelp::Value& binding);
// The row's command on the chord, with the old binding's :args and none of its later steps.
kelp::Value chord_binding(const Row& row, const kelp::Value& chord);
// The file after the chord is recorded as the row's whole key; the binding the conflict names gives it up. A
// fixed row's binding is part of a chain of keys and isn't recorded over: the file stays as it is.
kelp::Value record(const kelp::Value& file, const Row& row, const kelp::Value& chord, const LiveKeys& live,
                   std::string_view os);
// The binding's map with the chord added as one more step.
kelp::Value with_step(const Binding& b, const kelp::Value& chord);
// The file with the chord added after the row's key; a row with no key (or a fixed one) leaves it as it is.
kelp::Value add_step(const kelp::Value& file, const Row& row, const kelp::Value& chord);
// The file with the command back on its plugin's or Orrery's keys: your bindings for it and the :remove entries
// naming it go.
kelp::Value reset_command(const kelp::Value& file, std::string_view command);

// The first line of a keys.edn that Preferences wrote.
std::string_view written_mark();
// One entry on one line, a map's keys in the order key, keys, mods, not, exact, physical?, when, command, args,
// then, os (any others after them), sets with their members sorted.
std::string binding_text(const kelp::Value& entry);
// keys.edn's whole text for the value.
std::string file_text(const kelp::Value& file);
// Whether the text holds comments a rewrite would lose: any comment but the starter template's, in a file
// Preferences didn't write. A ";" in a string or a character literal isn't one.
bool is_hand_comments(std::string_view text);

// The file's own value from its text (blank text holds no keys), or a fragment saying why it can't be edited:
// "couldn't be read (...)", "doesn't hold a map", "holds :window that isn't a vector".
std::variant<kelp::Value, std::string> file_keys(std::string_view text);
// Reads keys.edn at path (following a symbolic link), applies edit to the file's own value and writes the result
// to a temporary file beside it renamed over it. A missing, blank or starter file, or one Preferences wrote, is
// written whole with file_text; any other is edited in place, so its comments and layout stay. A missing file
// counts as blank. A file that can't be opened or can't be edited is left as it is, and so is one with comments
// that an in-place edit can't change: the answer is a sentence, and nothing when the file was written.
std::optional<std::string> edit_keys_file(const std::filesystem::path& path,
                                          const std::function<kelp::Value(const kelp::Value&)>& edit);

}  // namespace orrery::key_prefs
