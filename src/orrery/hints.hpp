// The status bar's key hints: which chords do what to the thing at the caret ("Ctrl+Q doc · F12 jump"). Pure
// data and a scan of the caret's own line; nothing here touches GTK or the scanner's cache.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/keymap.hpp"
#include "orrery/text.hpp"

namespace orrery::hints {

// What the caret can be on that has actions.
enum class Kind { symbol };

struct Action {
  std::string_view command;  // the command id without the colon
  std::string_view word;     // what the hint calls it
};
struct KindActions {
  Kind kind;
  std::vector<Action> actions;
};
// Each kind of thing at the caret with its actions, in the order the hint lists them.
const std::vector<KindActions>& actions();

// A binding's chords as the palette labels them.
std::string chord(const keymap::Binding& b, std::string_view os);
// The label of the first binding, the editor's then the window's, that runs the command: one with a :when is
// passed over (it may not apply at the caret), and so is one whose keys an earlier binding takes for something
// else (dispatch runs the first).
std::optional<std::string> first_chord(const keymap::Keymap& keymap, std::string_view command, std::string_view os);
// "Ctrl+Q doc · F12 jump · F2 rename": each action with a key, its chord, a space and its word; nothing when no
// action has a key.
std::optional<std::string> hint(const keymap::Keymap& keymap, Kind kind, std::string_view os);

struct LineAt {
  std::u32string_view line;  // the line holding the position, without its line feed
  Offset pos = 0;            // the position within it
};
LineAt line_at(std::u32string_view text, Offset pos);
// What the caret is on, judged on its own line alone: a symbol, or nothing (a blank, a comment, a string, a
// number, a keyword).
std::optional<Kind> at_caret(std::u32string_view text, Offset pos);

}  // namespace orrery::hints
