// The keys a window dispatches through, laid from the layers a person controls: their keys.edn, the key set their
// settings choose, and the shipped bindings. Loading reads the settings file and keys.edn beside it, makes the
// results live for every key handler, and answers the console lines to print. Nothing here touches GTK.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/command_registry.hpp"

namespace orrery::live_keys {

struct Report {
  std::vector<std::string> lines;  // console lines, each starting with "; "
  bool changed = false;            // the keys.edn report differs from the previous load's
};

// Reads the settings file (for :key-set) and keys.edn beside it and makes both live. A settings warning is left
// to whoever prints the settings' warnings; the lines are keys.edn's report. forced says so when there is no
// keys.edn ("Reload your key bindings"); an unforced load reports only when its lines changed since the last one.
Report load(const std::filesystem::path& settings_path, bool forced);

// The live layers of "window" or "editor": yours, the key set's, the shipped bindings, and both :remove lists.
command_registry::Layers layers(std::string_view scope);

// The live bindings of a scope, laid out and ready for dispatch.
std::vector<keymap::Binding> bindings(std::string_view scope);

}  // namespace orrery::live_keys
