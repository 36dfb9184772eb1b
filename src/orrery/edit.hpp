// The editor's plain edit operations: each takes a snapshot of the buffer and answers an edit-op result (or
// nothing when it does not apply), plus the line helpers they share and apply_edits, the one way a result is
// turned into the new text. Pure functions of their arguments, safe on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orrery/text.hpp"

namespace orrery {

// --- Applying edits -------------------------------------------------------------------------------------------

// Why a list of edits cannot be applied to a text of `length` characters, as a sentence, or nothing when it can.
// The contract: every edit has 0 <= start <= end <= length; each edit starts at or after the previous one's end
// (so two insertions at one offset are allowed and land in list order, and an insertion may touch a replaced
// span on either side); and no replacement holds a NUL character (the toolkit's text calls would cut it short).
std::optional<std::string> edits_problem(Offset length, const std::vector<Edit>& edits);

// The text with the edits applied, built in one pass that copies the untouched stretches between them: the same
// text as applying the edits one by one from the last to the first. Nothing when edits_problem names a problem;
// then nothing at all is applied.
std::optional<std::u32string> apply_edits(std::u32string_view text, const std::vector<Edit>& edits);

// pos mapped into the edited text. An edit ending at or before pos moves it by the edit's length change (so an
// insertion exactly at pos moves pos past the inserted text); a pos strictly inside an edit's span lands at the
// end of that edit's replacement. Edits are taken as ascending.
Offset shift_offset(const std::vector<Edit>& edits, Offset pos);

// --- Lines ----------------------------------------------------------------------------------------------------

// Offsets where lines begin, ascending, always starting with 0; a line feed at i starts a line at i + 1.
std::vector<Offset> line_starts(std::u32string_view text);
// Index of the line holding pos (pos clamped to the lines).
std::size_t line_idx_at(const std::vector<Offset>& starts, Offset pos);
// The content of line idx, without its line feed (a CRLF line keeps its carriage return).
Span line_span(std::u32string_view text, const std::vector<Offset>& starts, std::size_t idx);

struct SelectionLines {
  std::size_t start_line = 0;
  std::size_t end_line = 0;  // inclusive
  std::vector<Offset> starts;
};

// The lines a selection spans. A non-empty selection ending exactly at a line's start leaves that line out;
// an empty selection (sel_start == sel_end, the caret) spans the caret's line. The ends may come in either order.
SelectionLines selection_lines(std::u32string_view text, Offset sel_start, Offset sel_end);

// --- Typing and line commands ---------------------------------------------------------------------------------

struct SmartEnterOptions {
  bool between_pair = true;  // split an empty pair over three lines; off while Parinfer places closers
};

// Return: a line feed and the new line's indentation, replacing the selection.
std::optional<EditOp> smart_enter(const Snapshot& snap, SmartEnterOptions options = {});
// Tab and Indent: two spaces at the caret, or at the start of every selected line.
std::optional<EditOp> indent(const Snapshot& snap);
// Shift+Tab and Unindent: up to two leading spaces, or one leading tab, off every spanned line.
std::optional<EditOp> unindent(const Snapshot& snap);
// Toggle Comment: "; " before every non-blank spanned line, or one marker run off each when all are comments.
std::optional<EditOp> toggle_comment(const Snapshot& snap);
// Typing (, [, { or a double quote: insert the pair, wrap the selection, or step over a closing quote. Wrapping a
// selection in quotes escapes the double quotes and backslashes inside it, so the new string holds the text.
std::optional<EditOp> insert_open(const Snapshot& snap, char32_t ch);
// Typing ), ] or }: step over the same closer at the caret.
std::optional<EditOp> insert_close(const Snapshot& snap, char32_t ch);
// Backspace between an empty pair: delete both characters.
std::optional<EditOp> backspace_pair(const Snapshot& snap);

// The bracket at offset snap.caret (the character itself) and its partner, as {pos, match}; nothing for a
// character that is not a bracket token or has no partner. Never an edit.
std::optional<std::pair<Offset, Offset>> matching_bracket(const Snapshot& snap);

// Whether new_name may become a symbol's name: letters, digits and -_.!$%&*+/<=>?# only.
bool is_valid_symbol_name(std::u32string_view new_name);

// Renames the symbol at the selection (its trimmed text) or at the caret in every symbol occurrence; comments,
// strings, regexes, keywords and longer symbols are untouched. Nothing when there is no symbol, the new name is
// blank, invalid or the same, or there is no occurrence.
std::optional<EditOp> rename(const Snapshot& snap, std::u32string_view new_name);

}  // namespace orrery
