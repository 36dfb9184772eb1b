// Parinfer after one edit: the engine runs over only the whole lines of the top-level forms the edit touched, and
// what it changes comes back as an edit-op result. Also the formatter's Paren-mode stabilizer and the line helpers
// the editor uses to carry a selection across a fix. Pure functions of their arguments, safe on any thread;
// offsets are code points.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "orrery/parinfer.hpp"
#include "orrery/text.hpp"

namespace orrery::parinfer_edit {

enum class Mode { Smart, Indent, Paren };

// A region longer than this many lines is left as typed.
inline constexpr int64_t DEFAULT_MAX_LINES = 300;

struct AdjustOptions {
  // {prefix, suffix}: the lengths of the untouched head and tail, when the editor knows them; a speed-up only.
  std::optional<std::pair<Offset, Offset>> bounds;
  // The edit starts in the form the previous adjusted edit left consistent, so its indentation needs no probe.
  bool prev_consistent = false;
  int64_t max_lines = DEFAULT_MAX_LINES;
};

struct TooLong {};
struct EngineError {
  std::string message;
};
// Nothing to change (std::monostate), one edit replacing the region and the caret after it, the engine's own
// failure, or a region over the line limit.
using Adjusted = std::variant<std::monostate, EditOp, EngineError, TooLong>;

Adjusted adjust(Mode mode, std::u32string_view prev_text, Offset prev_caret, std::u32string_view text, Offset caret,
                const AdjustOptions& options = {});

// The whole lines of the top-level forms the range a..b touches (a caret when a == b): [start of the first line,
// end of the last line before its line ending). With an unmatched bracket the text is split by its column-0
// lines instead, as Parinfer reads it.
Span region(std::u32string_view text, Offset a, Offset b);

// The text with each top-level form the range a..b touches re-indented by Paren mode, where that changes
// whitespace alone; a text with an unmatched bracket comes back whole. Without a range, every form.
std::u32string paren_stable(std::u32string_view text, std::optional<Offset> a = std::nullopt,
                            std::optional<Offset> b = std::nullopt);

// Offset x of `from` re-found in `to` by its line and column, each clamped to what `to` has.
Offset remap_offset(std::u32string_view from, std::u32string_view to, Offset x);

// Line helpers that treat CRLF as one line ending: a line's end is before its carriage return.
parinfer::LineCol line_col(std::u32string_view text, Offset offset);
Offset offset(std::u32string_view text, parinfer::LineCol pos);
Offset line_start(std::u32string_view text, Offset offset);
Offset line_end(std::u32string_view text, Offset offset);

}  // namespace orrery::parinfer_edit
