// Your own key bindings, kept in keys.edn beside the settings file: bindings for the window and the editor that go
// ahead of every other binding of their scope, and :remove entries that drop a key set's, a plugin's or a shipped
// binding. A bad entry is skipped and named, the rest load; a file that doesn't read loads nothing. Nothing here
// touches GTK.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/keymap.hpp"

namespace orrery::user_keys {

using keymap::Binding;

struct UserKeys {
  std::vector<Binding> window;
  std::vector<Binding> editor;
  std::vector<kelp::Value> remove;  // maps naming a binding by its chord and command
  // The bindings of "window" or "editor"; none for any other scope.
  const std::vector<Binding>& scope(std::string_view name) const;
  size_t binding_count() const { return window.size() + editor.size(); }
};

// {:window [] :editor [] :remove []}
const UserKeys& no_keys();

// The loaded keys the key handlers read at each key, swapped whole; no_keys until something is loaded.
std::shared_ptr<const UserKeys> live();
void set_live(std::shared_ptr<const UserKeys> keys);

// What the window that owns keys.edn offers Preferences once it has written the file: reload reads it again and
// reports on the console, open shows it in a tab. Null until a window sets them.
struct WindowFns {
  std::function<void()> reload;
  std::function<void()> open;
};
std::shared_ptr<const WindowFns> window_fns();
void set_window_fns(std::shared_ptr<const WindowFns> fns);

// keys.edn in the settings file's folder.
std::filesystem::path keys_path(const std::filesystem::path& settings_path);
// The text a new keys.edn gets: comments that explain it, and a map that binds nothing.
std::string_view template_text();

// The ids a binding may name, by scope, without the colon; commands include the live plugins'.
struct Registered {
  std::set<std::string> window_commands, editor_commands;
  std::set<std::string> window_conditions, editor_conditions;
};
// The registry's built-in commands and conditions, with the plugins' commands of each scope added.
Registered registered(const std::set<std::string>& plugin_window_commands = {},
                      const std::set<std::string>& plugin_editor_commands = {});

// Why a binding of `scope` ("window" or "editor") can't be one of yours, or nothing when it can.
std::optional<std::string> binding_problem(const kelp::Value& m, std::string_view scope, const Registered& reg);
// Why a :remove entry names nothing, or nothing when it is usable.
std::optional<std::string> remove_problem(const kelp::Value& entry);

struct Read {
  UserKeys keys;
  std::vector<std::string> problems;  // sentence fragments that follow the file's path
};
Read read_keys(std::string_view text, const Registered& reg);

// The identity a :remove entry names a binding by: its key names, its modifiers, its command and the chords of
// its :then. An absent modifier set and an empty one are the same; :physical? false is its absence; an absent
// :exact differs from an empty one, which says no modifier may be held.
struct ChordId {
  std::vector<std::string> keys;  // the names of :key or :keys, sorted
  std::set<std::string> mods, not_;
  std::optional<std::set<std::string>> exact;
  bool physical = false;
  bool operator==(const ChordId&) const = default;
};
struct Identity {
  ChordId first;
  std::string command;  // without the colon; empty when it has none
  std::vector<ChordId> then;
  bool operator==(const Identity&) const = default;
};
// Of a binding or a :remove entry given as its map; nothing for a value that isn't a map.
std::optional<Identity> chord(const kelp::Value& m);
Identity chord(const Binding& b);

// Whether the :remove entry names this binding.
bool removes(const kelp::Value& entry, const Binding& b);
// The bindings less every one an entry of `remove` names, order kept.
std::vector<Binding> without_removed(const std::vector<Binding>& bindings, const std::vector<kelp::Value>& remove);
// The bindings of scope with yours laid over `base` (the key set's, then the plugins', then the shipped ones):
// yours first, then base less what your :remove entries name.
std::vector<Binding> layer(const UserKeys& keys, std::string_view scope, const std::vector<Binding>& base);

enum class Status { absent, loaded };
struct Loaded {
  Status status = Status::absent;
  UserKeys keys;
  std::vector<std::string> problems;
};
// A missing file is absent and binds nothing; one that can't be opened counts as loaded with that problem.
Loaded load_keys(const std::filesystem::path& path, const Registered& reg);
// The console lines of a load: none for a missing file, else a count line and one line per problem.
std::vector<std::string> report_lines(const std::filesystem::path& path, const Loaded& loaded);
// What a forced reload says when there is no file.
std::string missing_line(const std::filesystem::path& path);

}  // namespace orrery::user_keys
