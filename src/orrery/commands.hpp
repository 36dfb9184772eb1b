// The form reader (the text's forms as a tree, the form at the caret, the bracket check before a run) and the
// small text commands of the editor: run selection, find next and previous, replace, zoom.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/text.hpp"

namespace orrery {

struct FormNode {
  Offset start = 0;  // includes reader prefixes and attached metadata
  Offset end = 0;
  Offset open = -1;  // the opening bracket of a bracketed form; -1 for an atom
  std::vector<FormNode> kids;
  bool bracketed() const { return open >= 0; }
};

std::vector<FormNode> form_tree(std::u32string_view text);
// form_tree of text; empty for a blank text.
std::vector<FormNode> top_level_forms(std::u32string_view text);
// Whether a top-level form is a (comment ...) block.
bool is_comment_form(std::u32string_view text, const FormNode& form);

struct RunTarget {
  std::u32string text;
  Offset start;
  Offset end;
};

// The Run Form command's target for the caret, or nothing.
std::optional<RunTarget> run_form(std::u32string_view text, Offset caret);
// The sentence naming the first bracket problem ("The ( on line 3 is never closed."), or nothing.
std::optional<std::string> pre_run_problem(std::u32string_view text);

// Run Selection's text: the selection when there is one, else the caret's line without its line feed;
// nothing when that text is blank.
std::optional<std::u32string> run_selection_text(const Snapshot& snapshot);

// Find stepping over ascending matches: the first match starting at or after the caret, or the last ending at
// or before it, wrapping around; nothing without matches.
std::optional<Span> next_match(const std::vector<Span>& matches, Offset caret);
std::optional<Span> prev_match(const std::vector<Span>& matches, Offset caret);

// Replaces the selection when it is exactly one of the matches and selects the next match (shifted into the
// edited text); nothing when the selection is not a match.
std::optional<EditOp> replace_current(const Snapshot& snapshot, const std::vector<Span>& matches,
                                      std::u32string_view replacement);

struct ReplaceAll {
  EditOp op;      // one edit per match, the caret after the first replacement, no selection
  int64_t count;  // the number of replacements, for the status line
};
std::optional<ReplaceAll> replace_all(const std::vector<Span>& matches, std::u32string_view replacement);

// Editor font sizes in pixels.
inline constexpr std::array<int, 12> ZOOM_SIZES = {9, 10, 11, 12, 13, 14, 16, 18, 20, 24, 28, 32};
inline constexpr int DEFAULT_FONT_PX = 13;
enum class ZoomDirection { In, Out, Reset };
// The next font size: the neighbour in ZOOM_SIZES (staying at either end), or the default for Reset.
int zoom(int current, ZoomDirection direction);

// Parinfer's mode choice. Modes are "off", "smart", "indent" and "paren"; the cycle runs in that order and back.
// The mode after a choice: a mode names itself; "next" steps the cycle from current, and from an unknown current
// to "smart"; any other choice keeps current.
std::string parinfer_step(std::string_view current, std::string_view choice);
// The project's pin when there is one, else the global mode.
std::string parinfer_effective(const std::optional<std::string>& override_mode, std::string_view global);
// "off" for "off", else the capitalised name: "Smart", "Indent", "Paren".
std::string parinfer_mode_word(std::string_view mode);
// Nothing for "off", else "Parinfer: " and the mode word.
std::optional<std::string> parinfer_label_text(std::string_view mode);
// The status-bar label of the active tab. A project pinned "off" shows "Parinfer: off (project)" only while the
// global mode is on; another pin shows its word and " (project)"; without a pin, the label of the mode.
std::optional<std::string> parinfer_status_text(std::string_view effective, bool overridden, std::string_view global);
// What to add when the global mode changes while the tab's project pins another: " (this project says Paren)".
std::optional<std::string> parinfer_pinned_note(std::string_view global, const std::optional<std::string>& override_mode);

}  // namespace orrery
