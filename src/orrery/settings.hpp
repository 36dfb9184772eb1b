// The user's saved settings: a small EDN map in settings.edn, in Orrery's configuration folder. Loading never throws
// and never fails: what it cannot use it leaves out with a warning. Saving never throws either: each feature saves
// only its own keys, merged into the text already there through the structure-preserving EDN editor, so comments
// and hand formatting elsewhere stay; a file that cannot be read or is not EDN is never overwritten. Saves from
// several windows (several processes) take turns on a lock file beside the settings file, so none loses another's
// change.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kelp/data/value.hpp"

namespace orrery::settings {

// An environment lookup: the variable's value, or nothing when it is unset.
using Env = std::function<std::optional<std::string>(std::string_view name)>;

// "$XDG_CONFIG_HOME/orrery/settings.edn" when XDG_CONFIG_HOME is set to an absolute path, else
// "<home>/.config/orrery/settings.edn". A blank or relative XDG_CONFIG_HOME counts as unset.
std::filesystem::path settings_path(const Env& env, const std::filesystem::path& home);
// settings_path for this process: its environment, and $HOME (else the account's home folder).
std::filesystem::path default_settings_path();

struct Loaded {
  // A map holding :theme always and each other key only when the file holds a usable value for it.
  kelp::Value settings;
  // Every problem found, each starting with the file's path, joined with "; ". Absent when the file is missing,
  // holds only comments, or is entirely usable.
  std::optional<std::string> warning;
};

Loaded load_settings(const std::filesystem::path& path);

// Sets each key of the map m in the file, keeping every other key and the text's layout. Nothing on success, else a
// sentence naming the path. A missing file (and its folder) is created; a file that cannot be read, is not EDN or
// does not hold a map is left untouched. A link is followed, and its target gets the new text.
std::optional<std::string> save_settings(const std::filesystem::path& path, const kelp::Value& m);

// The keys to set, worked out from the map the file holds at the moment of the save (read under the lock; empty
// when there is no file): a map of keys to set, or a sentence refusing the save.
using Change = std::function<std::variant<kelp::Value, std::string>(const kelp::Value& current)>;
// save_settings for a change that depends on what the file holds, so two windows editing the same key's inner
// entries keep each other's.
std::optional<std::string> update_settings(const std::filesystem::path& path, const Change& change);

// Adds the plugin id (a keyword) to :plugins :disabled, or takes it out, keeping every other key of :plugins.
// Refuses, naming the file, when :plugins is not a map or its :disabled is not a set of plugin ids.
std::optional<std::string> save_plugin_disabled(const std::filesystem::path& path, const kelp::Value& plugin_id,
                                                bool disabled);

// A documentation page as the bookmarks hold it: a map with a non-blank string :url and, when present, a string
// :title.
bool is_doc_page(const kelp::Value& v);

struct BookmarksForWrite {
  std::optional<std::vector<kelp::Value>> bookmarks;  // absent when the file or the key is
  std::optional<std::string> error;
};

// The bookmarks exactly as written, for a feature that writes the list back. Refuses when the file cannot be read,
// is not EDN, or its :doc-bookmarks is not a list of valid pages without repeats, since the loaded settings leave
// out what they cannot use and a list written from them would delete what the person wrote.
BookmarksForWrite bookmarks_for_write(const std::filesystem::path& path);

}  // namespace orrery::settings
