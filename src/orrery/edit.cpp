#include "orrery/edit.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "orrery/format.hpp"
#include "orrery/syntax.hpp"
#include "orrery/syntax_unicode.hpp"

namespace orrery {

namespace {

Offset length_of(std::u32string_view text) { return static_cast<Offset>(text.size()); }
Offset clamp_to(std::u32string_view text, Offset pos) { return std::clamp<Offset>(pos, 0, length_of(text)); }

// The selection's ends, low first, clamped to the text; equal when there is no selection.
Span selection_of(const Snapshot& snap) {
  Offset a = clamp_to(snap.text, snap.sel_start);
  Offset b = clamp_to(snap.text, snap.sel_end);
  return a <= b ? Span{a, b} : Span{b, a};
}

bool has_selection(const Snapshot& snap) {
  Span s = selection_of(snap);
  return s.start < s.end;
}

char32_t at(std::u32string_view text, Offset pos) {
  return pos >= 0 && pos < length_of(text) ? text[static_cast<std::size_t>(pos)] : U'\0';
}

char32_t partner_of(char32_t open) {
  switch (open) {
    case U'(': return U')';
    case U'[': return U']';
    case U'{': return U'}';
    case U'"': return U'"';
    default: return U'\0';
  }
}

std::u32string_view slice(std::u32string_view text, Span span) {
  return text.substr(static_cast<std::size_t>(span.start), static_cast<std::size_t>(span.end - span.start));
}

// The selection mapped through the edits, low end first.
Span shift_span(const std::vector<Edit>& edits, Span span) {
  return {shift_offset(edits, span.start), shift_offset(edits, span.end)};
}

// The result of a command that edits the lines of a selection or the caret's line: with a selection the caret
// goes to the mapped selection's high end and the mapped selection stays selected.
EditOp line_command_result(const Snapshot& snap, std::vector<Edit> edits) {
  EditOp op;
  if (has_selection(snap)) {
    Span sel = shift_span(edits, selection_of(snap));
    op.caret = sel.end;
    op.sel = sel;
  } else {
    op.caret = shift_offset(edits, clamp_to(snap.text, snap.caret));
  }
  op.edits = std::move(edits);
  return op;
}

SelectionLines spanned_lines(const Snapshot& snap) {
  if (has_selection(snap)) return selection_lines(snap.text, snap.sel_start, snap.sel_end);
  Offset caret = clamp_to(snap.text, snap.caret);
  return selection_lines(snap.text, caret, caret);
}

}  // namespace

// --- Applying edits -------------------------------------------------------------------------------------------

std::optional<std::string> edits_problem(Offset length, const std::vector<Edit>& edits) {
  Offset previous_end = 0;
  for (std::size_t i = 0; i < edits.size(); ++i) {
    const Edit& e = edits[i];
    if (e.start < 0 || e.end < e.start || e.end > length) {
      return fmt::format("Edit {} covers {}..{}, outside the text's 0..{}.", i + 1, e.start, e.end, length);
    }
    if (e.start < previous_end) {
      return fmt::format("Edit {} starts at {}, before the previous edit ends at {}.", i + 1, e.start,
                         previous_end);
    }
    if (e.text.find(U'\0') != std::u32string::npos) {
      return fmt::format("Edit {} holds a NUL character.", i + 1);
    }
    previous_end = e.end;
  }
  return std::nullopt;
}

std::optional<std::u32string> apply_edits(std::u32string_view text, const std::vector<Edit>& edits) {
  if (edits_problem(length_of(text), edits)) return std::nullopt;
  Offset out_length = length_of(text);
  for (const Edit& e : edits) out_length += length_of(e.text) - (e.end - e.start);
  std::u32string out;
  out.reserve(static_cast<std::size_t>(out_length));
  Offset copied_to = 0;
  for (const Edit& e : edits) {
    out.append(slice(text, {copied_to, e.start}));
    out.append(e.text);
    copied_to = e.end;
  }
  out.append(slice(text, {copied_to, length_of(text)}));
  return out;
}

Offset shift_offset(const std::vector<Edit>& edits, Offset pos) {
  Offset delta = 0;
  for (const Edit& e : edits) {
    if (e.end <= pos) {
      delta += length_of(e.text) - (e.end - e.start);
    } else if (e.start < pos) {
      return e.start + delta + length_of(e.text);
    } else {
      break;  // ascending: every later edit starts at or after this one's end, past pos
    }
  }
  return pos + delta;
}

// --- Lines ----------------------------------------------------------------------------------------------------

std::vector<Offset> line_starts(std::u32string_view text) {
  std::vector<Offset> starts{0};
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == U'\n') starts.push_back(static_cast<Offset>(i + 1));
  }
  return starts;
}

std::size_t line_idx_at(const std::vector<Offset>& starts, Offset pos) {
  auto it = std::upper_bound(starts.begin(), starts.end(), pos);
  return it == starts.begin() ? 0 : static_cast<std::size_t>(it - starts.begin() - 1);
}

Span line_span(std::u32string_view text, const std::vector<Offset>& starts, std::size_t idx) {
  if (idx >= starts.size()) return {length_of(text), length_of(text)};
  Offset start = starts[idx];
  Offset end = idx + 1 < starts.size() ? starts[idx + 1] - 1 : length_of(text);
  return {start, end};
}

SelectionLines selection_lines(std::u32string_view text, Offset sel_start, Offset sel_end) {
  Offset lo = std::clamp<Offset>(std::min(sel_start, sel_end), 0, length_of(text));
  Offset hi = std::clamp<Offset>(std::max(sel_start, sel_end), 0, length_of(text));
  SelectionLines lines;
  lines.starts = line_starts(text);
  lines.start_line = line_idx_at(lines.starts, lo);
  lines.end_line = line_idx_at(lines.starts, hi);
  if (lo < hi && lines.end_line > lines.start_line && lines.starts[lines.end_line] == hi) --lines.end_line;
  return lines;
}

// --- Typing and line commands ---------------------------------------------------------------------------------

std::optional<EditOp> smart_enter(const Snapshot& snap, SmartEnterOptions options) {
  Span sel = selection_of(snap);
  Offset pos = has_selection(snap) ? sel.start : clamp_to(snap.text, snap.caret);
  if (!has_selection(snap)) sel = {pos, pos};

  // The text as it will be once the selection is gone; only built when there is a selection.
  std::u32string without_selection;
  std::u32string_view text = snap.text;
  if (sel.start < sel.end) {
    without_selection.reserve(snap.text.size() - static_cast<std::size_t>(sel.end - sel.start));
    without_selection.append(slice(snap.text, {0, sel.start}));
    without_selection.append(slice(snap.text, {sel.end, length_of(snap.text)}));
    text = without_selection;
  }

  Offset line_start = pos;
  while (line_start > 0 && text[static_cast<std::size_t>(line_start - 1)] != U'\n') --line_start;
  Offset base_end = line_start;
  while (base_end < pos && text[static_cast<std::size_t>(base_end)] == U' ') ++base_end;
  std::u32string base(static_cast<std::size_t>(base_end - line_start), U' ');

  char32_t before = at(text, pos - 1);
  std::u32string insert;
  Offset caret;
  if (options.between_pair && before != U'"' && partner_of(before) != U'\0' && at(text, pos) == partner_of(before)) {
    insert = U"\n";
    insert += base;
    insert += U"  ";
    caret = sel.start + length_of(insert);
    insert += U"\n";
    insert += base;
  } else {
    insert = U"\n";
    insert += compute_smart_indent(text, pos);
    caret = sel.start + length_of(insert);
  }
  return EditOp{{Edit{sel.start, sel.end, std::move(insert)}}, caret, std::nullopt};
}

std::optional<EditOp> indent(const Snapshot& snap) {
  if (!has_selection(snap)) {
    Offset caret = clamp_to(snap.text, snap.caret);
    return EditOp{{Edit{caret, caret, U"  "}}, caret + 2, std::nullopt};
  }
  SelectionLines lines = spanned_lines(snap);
  std::vector<Edit> edits;
  for (std::size_t i = lines.start_line; i <= lines.end_line; ++i) {
    edits.push_back({lines.starts[i], lines.starts[i], U"  "});
  }
  return line_command_result(snap, std::move(edits));
}

std::optional<EditOp> unindent(const Snapshot& snap) {
  SelectionLines lines = spanned_lines(snap);
  std::vector<Edit> edits;
  for (std::size_t i = lines.start_line; i <= lines.end_line; ++i) {
    Span line = line_span(snap.text, lines.starts, i);
    Offset cut = line.start;
    if (at(snap.text, cut) == U' ') {
      while (cut < line.end && cut - line.start < 2 && at(snap.text, cut) == U' ') ++cut;
    } else if (at(snap.text, cut) == U'\t') {
      ++cut;
    }
    if (cut > line.start) edits.push_back({line.start, cut, U""});
  }
  if (edits.empty()) return std::nullopt;
  return line_command_result(snap, std::move(edits));
}

std::optional<EditOp> toggle_comment(const Snapshot& snap) {
  SelectionLines lines = spanned_lines(snap);
  std::vector<Span> code_lines;
  for (std::size_t i = lines.start_line; i <= lines.end_line; ++i) {
    Span line = line_span(snap.text, lines.starts, i);
    if (!is_blank(slice(snap.text, line))) code_lines.push_back(line);
  }
  if (code_lines.empty()) return std::nullopt;

  auto marker_start = [&](Span line) {
    Offset p = line.start;
    while (p < line.end && at(snap.text, p) == U' ') ++p;
    return p;
  };
  bool all_commented = std::all_of(code_lines.begin(), code_lines.end(),
                                   [&](Span line) { return at(snap.text, marker_start(line)) == U';'; });

  std::vector<Edit> edits;
  for (Span line : code_lines) {
    if (!all_commented) {
      edits.push_back({line.start, line.start, U"; "});
      continue;
    }
    Offset start = marker_start(line);
    Offset end = start;
    while (end < line.end && at(snap.text, end) == U';') ++end;
    if (end < line.end && at(snap.text, end) == U' ') ++end;
    edits.push_back({start, end, U""});
  }

  EditOp op;
  op.caret = shift_offset(edits, clamp_to(snap.text, snap.caret));
  if (has_selection(snap)) op.sel = shift_span(edits, selection_of(snap));
  op.edits = std::move(edits);
  return op;
}

std::optional<EditOp> insert_open(const Snapshot& snap, char32_t ch) {
  char32_t close = partner_of(ch);
  if (close == U'\0') return std::nullopt;
  Offset caret = clamp_to(snap.text, snap.caret);

  if (has_selection(snap)) {
    Span sel = selection_of(snap);
    std::u32string inner;
    for (char32_t c : slice(snap.text, sel)) {
      // Inside a new string a quote or backslash would end it or escape the next character.
      if (ch == U'"' && (c == U'"' || c == U'\\')) inner.push_back(U'\\');
      inner.push_back(c);
    }
    Span inner_sel{sel.start + 1, sel.start + 1 + length_of(inner)};
    std::u32string replacement = ch + inner + close;
    return EditOp{{Edit{sel.start, sel.end, std::move(replacement)}}, inner_sel.end, inner_sel};
  }
  if (ch == U'"' && at(snap.text, caret) == U'"') return EditOp{{}, caret + 1, std::nullopt};
  return EditOp{{Edit{caret, caret, std::u32string{ch, close}}}, caret + 1, std::nullopt};
}

std::optional<EditOp> insert_close(const Snapshot& snap, char32_t ch) {
  if (ch != U')' && ch != U']' && ch != U'}') return std::nullopt;
  if (has_selection(snap)) return std::nullopt;  // typing replaces the selection as usual
  Offset caret = clamp_to(snap.text, snap.caret);
  if (at(snap.text, caret) != ch) return std::nullopt;
  return EditOp{{}, caret + 1, std::nullopt};
}

std::optional<EditOp> backspace_pair(const Snapshot& snap) {
  if (has_selection(snap)) return std::nullopt;  // Backspace deletes the selection as usual
  Offset caret = clamp_to(snap.text, snap.caret);
  if (caret == 0) return std::nullopt;
  char32_t open = at(snap.text, caret - 1);
  char32_t close = partner_of(open);
  if (close == U'\0' || at(snap.text, caret) != close) return std::nullopt;
  return EditOp{{Edit{caret - 1, caret + 1, U""}}, caret - 1, std::nullopt};
}

std::optional<std::pair<Offset, Offset>> matching_bracket(const Snapshot& snap) {
  Offset pos = snap.caret;
  char32_t c = at(snap.text, pos);
  if (c != U'(' && c != U')' && c != U'[' && c != U']' && c != U'{' && c != U'}') return std::nullopt;
  // The snapshot owns a copy of the text, never the shared object a cache could hold, so analyse it directly.
  Brackets brackets = compute_brackets(std::u32string_view(snap.text));
  auto it = brackets.matches.find(pos);
  if (it == brackets.matches.end()) return std::nullopt;
  return std::pair{pos, it->second};
}

bool is_valid_symbol_name(std::u32string_view name) {
  static constexpr std::u32string_view punctuation = U"-_.!$%&*+/<=>?#";
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') ||
           punctuation.find(c) != std::u32string_view::npos || unicode::is_letter(c) || unicode::is_number(c);
  });
}

std::optional<EditOp> rename(const Snapshot& snap, std::u32string_view new_name) {
  std::u32string old_name;
  if (has_selection(snap)) {
    std::u32string_view selected = slice(snap.text, selection_of(snap));
    auto first = std::find_if(selected.begin(), selected.end(), [](char32_t c) { return !is_blank({&c, 1}); });
    auto last = std::find_if(selected.rbegin(), selected.rend(), [](char32_t c) { return !is_blank({&c, 1}); });
    if (first != selected.end()) old_name.assign(first, last.base());
  } else if (auto hit = symbol_at_pos(std::u32string_view(snap.text), clamp_to(snap.text, snap.caret))) {
    old_name = hit->symbol;
  }
  if (old_name.empty() || is_blank(new_name) || !is_valid_symbol_name(new_name) || new_name == old_name) {
    return std::nullopt;
  }
  std::vector<Span> occurrences = find_symbol_occurrences(snap.text, old_name);
  if (occurrences.empty()) return std::nullopt;

  std::vector<Edit> edits;
  edits.reserve(occurrences.size());
  for (Span s : occurrences) edits.push_back({s.start, s.end, std::u32string(new_name)});
  EditOp op;
  op.caret = shift_offset(edits, clamp_to(snap.text, snap.caret));
  if (has_selection(snap)) op.sel = shift_span(edits, selection_of(snap));
  op.edits = std::move(edits);
  return op;
}

}  // namespace orrery
