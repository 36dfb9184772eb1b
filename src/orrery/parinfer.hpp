// Parinfer: keeps brackets and indentation consistent. Indent mode infers closing brackets from indentation, Paren
// mode infers indentation from brackets, Smart mode is Indent mode that preserves structure while lines are
// moved and falls back to Paren mode where Indent mode would break it. The published algorithm with its standard
// options, result and errors. Positions are 0-based lines and code-point columns; a tab in code counts as two
// columns and is written back as two spaces. Pure functions of their arguments, safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orrery::parinfer {

// One edit the user made since the text was last processed; all positions are in the text before the edit.
struct Change {
  int64_t line_no = 0;
  int64_t x = 0;
  std::u32string old_text;
  std::u32string new_text;
  bool operator==(const Change&) const = default;
};

struct Options {
  std::optional<int64_t> cursor_x;
  std::optional<int64_t> cursor_line;
  std::optional<int64_t> prev_cursor_x;
  std::optional<int64_t> prev_cursor_line;
  std::optional<int64_t> selection_start_line;  // Smart mode acts as Indent mode while a selection is made
  std::vector<Change> changes;
  bool force_balance = false;
  bool partial_result = false;  // on failure, answer the text and cursor as far as processing got
  bool return_parens = false;
  std::u32string comment_chars = U";";  // each character opens a line comment
};

struct TabStop {
  char32_t ch = 0;
  int64_t x = 0;
  int64_t line_no = 0;
  std::optional<int64_t> arg_x;  // where the opener's first argument starts, when on its line
  bool operator==(const TabStop&) const = default;
};

struct ParenTrail {
  int64_t line_no = 0;
  int64_t start_x = 0;
  int64_t end_x = 0;
  bool operator==(const ParenTrail&) const = default;
};

// An open bracket of the result's tree (return_parens) with its closer. Positions without a value are -999, as
// the published result writes them.
struct Paren {
  int64_t line_no = 0;
  int64_t x = 0;
  char32_t ch = 0;
  int64_t indent_delta = 0;
  int64_t max_child_indent = -999;
  std::optional<int64_t> arg_x;
  int64_t input_line_no = 0;
  int64_t input_x = 0;
  std::vector<Paren> children;
  struct Closer {
    int64_t line_no = -999;
    int64_t x = -999;
    char32_t ch = 0;  // 0 when never closed
    std::optional<ParenTrail> trail;
  } closer;
};

enum class ErrorName {
  QuoteDanger,
  EolBackslash,
  UnclosedQuote,
  UnclosedParen,
  UnmatchedCloseParen,
  UnmatchedOpenParen,
  LeadingCloseParen,
  Unhandled,
};

// "quote-danger", ... and the published messages ("Quotes must balanced inside comment blocks.", ...).
std::string_view error_name(ErrorName name);
std::string_view error_message(ErrorName name);

struct ErrorExtra {
  ErrorName name = ErrorName::UnmatchedOpenParen;
  int64_t line_no = 0;
  int64_t x = 0;
};

struct Error {
  ErrorName name = ErrorName::Unhandled;
  std::string message;
  int64_t line_no = 0;
  int64_t x = 0;
  std::optional<ErrorExtra> extra;  // for an unmatched close-paren: the open-paren it should have matched
};

struct Result {
  bool success = false;
  std::u32string text;  // the input text unchanged on failure, unless partial_result
  std::optional<int64_t> cursor_x;
  std::optional<int64_t> cursor_line;
  std::vector<TabStop> tab_stops;                      // empty when none (and on failure)
  std::optional<std::vector<ParenTrail>> paren_trails;  // absent on failure unless partial_result
  std::optional<std::vector<Paren>> parens;             // with return_parens
  std::optional<Error> error;
};

Result indent_mode(std::u32string_view text, const Options& options = {});
Result paren_mode(std::u32string_view text, const Options& options = {});
Result smart_mode(std::u32string_view text, const Options& options = {});

struct LineCol {
  int64_t line = 0;
  int64_t x = 0;
  bool operator==(const LineCol&) const = default;
};

// The line and column of offset (clamped to the text). A carriage return ending a line belongs to that line but
// gives it no column, so CRLF text has the columns of LF text.
LineCol offset_to_line_col(std::u32string_view text, int64_t offset);
// The offset of a line and column, each clamped to what the text has; crossing a line counts its own ending, so
// this inverts offset_to_line_col on CRLF text too.
int64_t line_col_to_offset(std::u32string_view text, LineCol pos);
// The one change that turns old_text into new_text: their common head and tail left out.
Change compute_text_change(std::u32string_view old_text, std::u32string_view new_text);

}  // namespace orrery::parinfer
