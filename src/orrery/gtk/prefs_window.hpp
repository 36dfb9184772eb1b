// The Preferences window of a main window: one per main window, brought to the front when opened again. Its Keys
// tab lists every binding and every command with no key, records a new key for a command (a conflict, or the key
// sequences a key would run ahead of, is asked about first), adds a further step to a key, puts a command back on
// Orrery's keys and chooses the key set. Every change is written to keys.edn through the key preferences module
// (a temporary file renamed over it; a file that doesn't read is never written over) and the window is told to
// reload it, so the new key works at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "orrery/command_registry.hpp"
#include "orrery/key_prefs.hpp"

typedef struct _GtkWindow GtkWindow;
typedef struct _GtkWidget GtkWidget;

namespace orrery::gtk {

// The keys as the main window lays them now: each scope's live bindings in dispatch order, and where bindings
// come from ("yours", the key set's label, plugins' names) for the Source column.
struct PrefsKeys {
  key_prefs::LiveKeys live;
  std::vector<key_prefs::Source> sources;
};

struct PrefsDeps {
  std::filesystem::path settings_path;
  std::filesystem::path keys_path;  // empty: keys.edn beside the settings file
  // Every window and editor command the rows name, plugins' included; empty: the registry's commands.
  std::function<command_registry::Table()> commands;
  // Asked each time the rows are laid; empty: live_prefs_keys().
  std::function<PrefsKeys()> keys;
  std::string os;  // the os.name property; empty: this build's
  // After keys.edn was written: the window reads it again and re-lays its keys.
  std::function<void()> reload_keys;
  // After the settings file got a new :key-set (the id, "calva"): the window turns that set on (key_sets::set_live)
  // and re-lays its keys. The rows are laid again afterwards.
  std::function<void(const std::string& id)> key_set_changed;
  // A console line, for failures the person should find later too.
  std::function<void(const std::string& line)> report;
};

// The keys from the shared values: your keys over the key set that is on, over the shipped bindings less the
// set's and your removals. No plugins' bindings.
PrefsKeys live_prefs_keys();

// Opens (or brings to the front) parent's Preferences window and answers it.
GtkWindow* open_prefs_window(GtkWindow* parent, PrefsDeps deps);

// --- For tests ----------------------------------------------------------------------------------------------------

// parent's open Preferences window, or null.
GtkWindow* prefs_window_of(GtkWindow* parent);
// The Keys tab's key handler, called as the window's key controller calls it: true when the press was used.
bool prefs_key_press(GtkWindow* prefs, uint32_t keyval, uint32_t state);

struct ShownRow {
  std::string command, doc, chord, source;
  GtkWidget* record = nullptr;
  GtkWidget* add_step = nullptr;
  GtkWidget* reset = nullptr;
};
// The rows the filter lets through, in order.
std::vector<ShownRow> prefs_shown_rows(GtkWindow* prefs);
GtkWidget* prefs_search_entry(GtkWindow* prefs);
GtkWidget* prefs_key_set_chooser(GtkWindow* prefs);
// The sentence under the list: what recording waits for, what was written, or why nothing was.
std::string prefs_message(GtkWindow* prefs);

}  // namespace orrery::gtk
