// Text shared by the editor's pure modules: code-point strings, offsets, spans, snapshots and edit-op results.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orrery {

// Offsets count Unicode code points from 0; a span's end is exclusive; a caret lies between characters.
using Offset = int64_t;

struct Span {
  Offset start = 0;
  Offset end = 0;
  bool operator==(const Span&) const = default;
};

// An immutable text that callers share; caches key on the object and keep their own reference to it, so a
// hit is always for the text it was computed from.
using TextPtr = std::shared_ptr<const std::u32string>;
inline TextPtr make_text(std::u32string text) { return std::make_shared<const std::u32string>(std::move(text)); }

// A buffer's state as commands see it: {:text :caret :sel-start :sel-end}.
struct Snapshot {
  std::u32string text;
  Offset caret = 0;
  Offset sel_start = 0;
  Offset sel_end = 0;
};

// One replacement: the text in [start, end) becomes `text`.
struct Edit {
  Offset start = 0;
  Offset end = 0;
  std::u32string text;
  bool operator==(const Edit&) const = default;
};

// What an edit command answers: ascending, non-overlapping edits, the caret after them and optionally a
// selection. A command that does not apply answers nothing (std::nullopt).
struct EditOp {
  std::vector<Edit> edits;
  Offset caret = 0;
  std::optional<Span> sel;
};

// "Blank": empty or only whitespace characters.
bool is_blank(std::u32string_view text);

}  // namespace orrery
