// Indentation and formatting of Clojure text: the indentation of a new line (smart Return), the re-indenting
// formatter, and the Format All / Format Selection commands built on it. The first four functions are part of
// the lexical view of the text (next to the tokenizer); the rest are editor commands answering edit-op results.
//
// The formatter only changes leading whitespace and trailing spaces: it never moves a token to another line,
// never changes a token's text (a string literal keeps every character, including trailing spaces before a
// line feed inside it), and keeps the line count and any CRLF line ends.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/text.hpp"

namespace orrery {

// The operators whose forms indent their body by two (defn, let, when, ...).
std::span<const std::u32string_view> body_indent_forms();
// A body form is one of body_indent_forms or starts with "def", "with-", "when-" or "if-".
bool is_body_form(std::u32string_view op);

// The indentation (spaces) for a new line inserted at pos.
std::u32string compute_smart_indent(std::u32string_view text, Offset pos);

// One line's computed indentation: a number of spaces, or verbatim for a line that begins inside a multi-line
// string or regex and must not be touched.
struct LineIndent {
  int spaces = 0;
  bool verbatim = false;
  bool operator==(const LineIndent&) const = default;
};

// One entry per line (lines split at line feeds, a trailing empty line included); empty for an empty text.
std::vector<LineIndent> compute_line_indentations(std::u32string_view text);

// The re-indented text; a blank text is returned unchanged.
std::u32string format_code(std::u32string_view text);
// The text with only the lines [start, end) touches re-indented; every other line is kept as it is.
std::u32string format_selection_text(std::u32string_view text, Offset start, Offset end);

// The caret's offset in new_text, for two texts that differ only in whitespace: it stays before the same code
// character, or at the same column in the indentation.
Offset carry_caret(std::u32string_view old_text, std::u32string_view new_text, Offset caret);

// Post-processing of the formatter's output over [a, b) (the editor passes Parinfer's Paren-stable pass).
using Stabilizer = std::function<std::u32string(std::u32string_view text, Offset a, Offset b)>;

struct FormatOptions {
  Stabilizer stabilize;  // empty: none
};

// Format All: one whole-text edit, or nothing when the text is already formatted.
std::optional<EditOp> format_all_op(const Snapshot& snapshot, const FormatOptions& options = {});
// Format Selection: the selection's lines, or the caret's line without a selection; nothing when nothing changes.
std::optional<EditOp> format_selection_op(const Snapshot& snapshot, const FormatOptions& options = {});

}  // namespace orrery
