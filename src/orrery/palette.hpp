// The command palette as data: chord labels, the entries (the registry's commands and the window's own tabs,
// compare targets and panels), the filter, the rows, the selection, and the console's `!` line that runs a
// palette command by name. Nothing here touches GTK.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/command_registry.hpp"
#include "orrery/keymap.hpp"

namespace orrery::palette {

using keymap::Binding;
using keymap::Chord;

// A chord as a person reads it: modifiers in the order Cmd, Ctrl, Meta, Super, Alt, Shift ("Cmd+Shift+P" on
// macOS, os "Mac OS X"; "Ctrl+Shift+P" elsewhere), one chord per key of a :keys set (sorted, those that read
// the same shown once, joined by ", ").
std::string chord_label(const Chord& c, std::string_view os);
// The same, then a key sequence's further chords, each separated by a space.
std::string chord_label(const Binding& b, std::string_view os);

struct Entry {
  kelp::Value id;  // a command keyword (:run/run), or a vector for the window's own ([:tab/switch 3])
  std::string doc;
  std::vector<std::string> chords;
  std::string source;    // "built-in", a plugin's id, "tab", "compare" or "panel"
  std::string haystack;  // the doc, a space and the printed id, lower-cased: what the filter reads
};
// An entry with its haystack filled in.
Entry make_entry(kelp::Value id, std::string doc, std::vector<std::string> chords, std::string source);

// Every command of `commands` that belongs in the palette, sorted by doc, with the labels of the window's then
// the editor's bindings that name it, in keymap order and without repeats.
std::vector<Entry> entries(const command_registry::Table& commands, const keymap::Keymap& keymap,
                           std::string_view os);

struct Tab {
  kelp::Value id;
  std::string label;
};
// The open tabs but the current one, most recently used first: "Switch to tab: <label>" running
// [:tab/switch id], and the same for comparing ("Compare with tab: <label>", [:compare/tab id]).
std::vector<Entry> tab_entries(const std::vector<Tab>& recent, const kelp::Value& current);
std::vector<Entry> compare_tab_entries(const std::vector<Tab>& recent, const kelp::Value& current);

// Panel keys ("inspector") and their labels, in order.
using PanelLabels = std::vector<std::pair<std::string, std::string>>;
// The core panels a switch can bring back: Inspector, Source, Plugins.
const PanelLabels& core_panel_labels();
// The core panels with the parts' added after them. :review and :history are left out (each shows one thing,
// opened from that thing, so bringing it back would show a stale view). Throws std::logic_error on a key both
// name.
PanelLabels panel_labels(const PanelLabels& parts);
// The core panels with the shipped parts' panels: what a switch can bring back in this program.
const PanelLabels& shipped_panel_labels();
// The recent panels but the one on screen, most recently shown first, only those with a label:
// "Switch to panel: <label>" running [:panel/switch :key].
std::vector<Entry> panel_entries(const std::vector<std::string>& recent, const std::optional<std::string>& showing,
                                 const PanelLabels& labels);

// The entries holding every word of the query (whitespace-split, case ignored) in their doc or printed id,
// order kept; a blank query keeps all.
std::vector<Entry> filter_entries(const std::vector<Entry>& entries, std::string_view query);

// Whether text typed at the console's prompt is a `!` command rather than code: one line starting (after
// blanks) with "!", holding no bracket, brace, parenthesis or double quote, and with nothing after the "!" or
// some whitespace after it. "!x" and "!=" are code.
bool is_bang(std::string_view text);

struct BangPick {
  enum class Kind { help, run, choices, none } kind = Kind::help;
  kelp::Value id;                    // run: the entry's id
  std::string doc;                   // run: its doc
  std::vector<std::string> choices;  // choices: the docs that match
  std::string words;                 // choices and none: the words after the "!"
};
// What a `!` line does: a blank line asks for help; one matching entry runs; among several, the one whose doc
// equals the words (case, blanks and a final full stop aside) runs; otherwise the choices, or none.
BangPick bang_pick(const std::vector<Entry>& entries, std::string_view text);
// The console lines for a pick that runs nothing (help, choices, none); empty for a run.
std::vector<std::string> bang_lines(const BangPick& pick);
// The console line for a picked command that threw.
std::string bang_failed_line(std::string_view message);

// One palette row: the doc, the chords (after two spaces, joined by ", ") when it has any, two spaces and the
// source.
std::string row_text(const Entry& e);

struct State {
  std::vector<Entry> shown;
  size_t index = 0;
};
// The state with the selection moved by delta and kept on a shown entry; 0 when none is shown.
State move(State s, long delta);
// How far PageUp and PageDown move the selection.
inline constexpr long PAGE = 10;

}  // namespace orrery::palette
