#include "orrery/parinfer_edit.hpp"

#include <algorithm>
#include <vector>

#include "orrery/syntax.hpp"

namespace orrery::parinfer_edit {

namespace {

namespace pi = parinfer;

auto size_of(std::u32string_view s) { return static_cast<Offset>(s.size()); }

bool is_hspace(char32_t c) { return c == U' ' || c == U'\t' || c == U'\r'; }

int64_t count_lines(std::u32string_view s) { return static_cast<int64_t>(std::count(s.begin(), s.end(), U'\n')) + 1; }

// The top-level bracket forms as whole-line spans, forms sharing a line merged; nothing when a bracket is unmatched.
std::optional<std::vector<Span>> form_spans(std::u32string_view text) {
  std::shared_ptr<const Brackets> brackets = compute_brackets_equal(make_text(std::u32string(text)));
  if (!brackets->unmatched.empty()) return std::nullopt;
  std::vector<Span> spans;
  for (const BracketToken& t : brackets->bracket_tokens) {
    if (t.kind != BracketKind::Open || t.depth != 0) continue;
    auto match = brackets->matches.find(t.start);
    if (match == brackets->matches.end()) continue;
    Span s{line_start(text, t.start), line_end(text, match->second)};
    if (!spans.empty() && s.start <= spans.back().end) spans.back().end = std::max(spans.back().end, s.end);
    else spans.push_back(s);
  }
  return spans;
}

// Widens [start, end] over every span it overlaps, until nothing more overlaps.
Span widen(const std::vector<Span>& spans, Span range) {
  bool grew = true;
  while (grew) {
    grew = false;
    auto first = std::lower_bound(spans.begin(), spans.end(), range.start,
                                  [](const Span& s, Offset at) { return s.end < at; });
    for (auto it = first; it != spans.end() && it->start <= range.end; ++it) {
      if (it->start < range.start || it->end > range.end) {
        range.start = std::min(range.start, it->start);
        range.end = std::max(range.end, it->end);
        grew = true;
      }
    }
  }
  return range;
}

// Line starts that begin a top-level form the way Parinfer reads unbalanced text: a character at column 0 that is
// not whitespace, a closing bracket or a comment, and not inside a string.
std::vector<Offset> boundary_lines(std::u32string_view text) {
  std::vector<Offset> out;
  bool in_str = false;
  bool in_comment = false;
  bool escaped = false;
  bool at_line_start = true;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (at_line_start && !in_str) {
      if (!is_hspace(c) && c != U'\n' && !is_closer(c) && c != U';') out.push_back(static_cast<Offset>(i));
    }
    at_line_start = false;
    if (escaped) {
      escaped = false;
    } else if (c == U'\\' && !in_comment) {
      escaped = true;
    } else if (c == U'"' && !in_comment) {
      in_str = !in_str;
    } else if (c == U';' && !in_str) {
      in_comment = true;
    }
    if (c == U'\n') {
      in_comment = false;
      at_line_start = true;
    }
  }
  return out;
}

Span indentation_region(std::u32string_view text, Offset a, Offset b) {
  std::vector<Offset> bounds = boundary_lines(text);
  Offset a_line = line_start(text, a);
  Offset b_line = line_start(text, b);
  auto after_start = std::upper_bound(bounds.begin(), bounds.end(), a_line);
  Offset start = after_start == bounds.begin() ? 0 : *(after_start - 1);
  auto next = std::upper_bound(bounds.begin(), bounds.end(), b_line);
  Offset end = next == bounds.end() ? size_of(text) : line_end(text, *next - 1);
  return {start, std::max(end, line_end(text, b))};
}

// Leading spaces and tabs of the line starting at ls, as a column count in the text's characters.
Offset indent_width(std::u32string_view text, Offset ls) {
  Offset i = ls;
  while (i < size_of(text) && (text[static_cast<size_t>(i)] == U' ' || text[static_cast<size_t>(i)] == U'\t')) ++i;
  return i - ls;
}

// Whether Paren mode's text out re-indents some line of in (a tidy inside a line does not count).
bool indentation_changed(std::u32string_view in, std::u32string_view out) {
  size_t i = 0;
  size_t j = 0;
  while (i <= in.size() && j <= out.size()) {
    Offset wi = indent_width(in, static_cast<Offset>(i));
    Offset wj = indent_width(out, static_cast<Offset>(j));
    // A tab is two columns to the engine.
    auto columns = [](std::u32string_view s, size_t from, Offset n) {
      Offset cols = 0;
      for (Offset k = 0; k < n; ++k) cols += s[from + static_cast<size_t>(k)] == U'\t' ? 2 : 1;
      return cols;
    };
    if (columns(in, i, wi) != columns(out, j, wj)) return true;
    size_t ni = in.find(U'\n', i);
    size_t nj = out.find(U'\n', j);
    if (ni == std::u32string_view::npos || nj == std::u32string_view::npos) return false;
    i = ni + 1;
    j = nj + 1;
  }
  return false;
}

struct EditSpan {
  Offset p = 0;
  Offset old_end = 0;
  Offset new_end = 0;
};

// Where the edit is: its start capped at the caret (an edit ends where the caret is), then its common tail.
EditSpan edit_span(std::u32string_view prev, std::u32string_view text, Offset caret,
                   const std::optional<std::pair<Offset, Offset>>& bounds) {
  Offset limit = std::min(size_of(prev), size_of(text));
  Offset p = 0;
  Offset s = 0;
  if (bounds) {
    // The untouched head and tail are common already; the trim below only extends them, as the diff would.
    p = std::clamp<Offset>(bounds->first, 0, limit);
    s = std::clamp<Offset>(bounds->second, 0, limit);
  }
  while (p < limit && prev[static_cast<size_t>(p)] == text[static_cast<size_t>(p)]) ++p;
  p = std::min(p, std::max<Offset>(caret, 0));
  s = std::min(s, limit - p);
  while (s < limit - p && prev[prev.size() - 1 - static_cast<size_t>(s)] == text[text.size() - 1 - static_cast<size_t>(s)]) {
    ++s;
  }
  return {p, size_of(prev) - s, size_of(text) - s};
}

pi::Result run_mode(Mode mode, std::u32string_view text, const pi::Options& options) {
  switch (mode) {
    case Mode::Paren: return pi::paren_mode(text, options);
    case Mode::Indent: return pi::indent_mode(text, options);
    case Mode::Smart: break;
  }
  return pi::smart_mode(text, options);
}

// Whether a is b with only whitespace moved: the same lines once spaces, tabs and carriage returns go, and between
// two adjacent non-bracket characters whitespace in both or in neither.
bool whitespace_alone(std::u32string_view a, std::u32string_view b) {
  if (count_lines(a) != count_lines(b)) return false;
  auto is_ws = [](char32_t c) { return c == U' ' || c == U'\t' || c == U'\r'; };
  // Walks the non-whitespace characters of both in step, noting whether whitespace preceded each.
  size_t i = 0;
  size_t j = 0;
  char32_t prev = U'\n';
  while (true) {
    bool gap_a = false;
    bool gap_b = false;
    while (i < a.size() && is_ws(a[i])) ++i, gap_a = true;
    while (j < b.size() && is_ws(b[j])) ++j, gap_b = true;
    if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
    if (a[i] != b[j]) return false;
    char32_t c = a[i];
    if (gap_a != gap_b && prev != U'\n' && c != U'\n' && !is_opener(prev) && !is_closer(prev) && !is_opener(c) &&
        !is_closer(c)) {
      return false;
    }
    prev = c;
    ++i;
    ++j;
  }
}

}  // namespace

parinfer::LineCol line_col(std::u32string_view text, Offset offset) { return pi::offset_to_line_col(text, offset); }

Offset offset(std::u32string_view text, parinfer::LineCol pos) { return pi::line_col_to_offset(text, pos); }

Offset line_start(std::u32string_view text, Offset offset) {
  auto at = static_cast<size_t>(std::clamp<Offset>(offset, 0, size_of(text)));
  size_t nl = at == 0 ? std::u32string_view::npos : text.rfind(U'\n', at - 1);
  return nl == std::u32string_view::npos ? 0 : static_cast<Offset>(nl + 1);
}

Offset line_end(std::u32string_view text, Offset offset) {
  auto at = static_cast<size_t>(std::clamp<Offset>(offset, 0, size_of(text)));
  size_t nl = text.find(U'\n', at);
  size_t end = nl == std::u32string_view::npos ? text.size() : nl;
  if (end > at && text[end - 1] == U'\r') --end;
  return static_cast<Offset>(end);
}

Span region(std::u32string_view text, Offset a, Offset b) {
  if (a > b) std::swap(a, b);
  a = std::clamp<Offset>(a, 0, size_of(text));
  b = std::clamp<Offset>(b, 0, size_of(text));
  if (std::optional<std::vector<Span>> spans = form_spans(text)) {
    return widen(*spans, {line_start(text, a), line_end(text, b)});
  }
  return indentation_region(text, a, b);
}

Offset remap_offset(std::u32string_view from, std::u32string_view to, Offset x) {
  return pi::line_col_to_offset(to, pi::offset_to_line_col(from, x));
}

std::u32string paren_stable(std::u32string_view text, std::optional<Offset> a, std::optional<Offset> b) {
  std::optional<std::vector<Span>> spans = form_spans(text);
  if (!spans) return std::u32string(text);
  Offset from = a.value_or(0);
  Offset to = b.value_or(a ? *a : size_of(text));
  if (from > to) std::swap(from, to);
  std::u32string out;
  out.reserve(text.size());
  Offset copied = 0;
  for (const Span& s : *spans) {
    if (s.end < from || s.start > to) continue;
    std::u32string_view form = text.substr(static_cast<size_t>(s.start), static_cast<size_t>(s.end - s.start));
    pi::Result r = pi::paren_mode(form);
    if (!r.success || r.text == form || !whitespace_alone(form, r.text)) continue;
    out.append(text.substr(static_cast<size_t>(copied), static_cast<size_t>(s.start - copied)));
    out += r.text;
    copied = s.end;
  }
  out.append(text.substr(static_cast<size_t>(copied)));
  return out;
}

Adjusted adjust(Mode mode, std::u32string_view prev_text, Offset prev_caret, std::u32string_view text, Offset caret,
                const AdjustOptions& options) {
  EditSpan e = edit_span(prev_text, text, caret, options.bounds);
  if (e.p == e.old_end && e.p == e.new_end && prev_text.size() == text.size()) return std::monostate{};

  // The region in the previous text. Removing whole lines leaves the line after them out of the edit.
  Offset range_end = e.old_end;
  bool whole_lines_removed = e.old_end > e.p && line_start(prev_text, e.p) == e.p &&
                             prev_text[static_cast<size_t>(e.old_end - 1)] == U'\n' &&
                             (e.new_end == e.p || text[static_cast<size_t>(e.new_end - 1)] == U'\n');
  if (whole_lines_removed) range_end = e.old_end - 1;
  Span reg = region(prev_text, e.p, range_end);

  // Indenting a top-level line makes it part of the form above: the region starts there.
  std::u32string_view inserted = text.substr(static_cast<size_t>(e.p), static_cast<size_t>(e.new_end - e.p));
  std::u32string_view removed = prev_text.substr(static_cast<size_t>(e.p), static_cast<size_t>(e.old_end - e.p));
  Offset edit_ls = line_start(prev_text, e.p);
  bool in_indentation = indent_width(prev_text, edit_ls) >= e.p - edit_ls;
  bool indents = !inserted.empty() && std::all_of(inserted.begin(), inserted.end(), [](char32_t c) {
    return c == U' ' || c == U'\t';
  }) && std::all_of(removed.begin(), removed.end(), [](char32_t c) { return c == U' ' || c == U'\t'; });
  if (indents && in_indentation && reg.start == edit_ls && edit_ls > 0) {
    Offset above = edit_ls - 1;  // the line feed ending the line above
    while (above > 0 && is_blank(prev_text.substr(static_cast<size_t>(line_start(prev_text, above)),
                                                  static_cast<size_t>(line_end(prev_text, above) -
                                                                      line_start(prev_text, above))))) {
      Offset ls = line_start(prev_text, above);
      if (ls == 0) break;
      above = ls - 1;
    }
    reg.start = std::min(reg.start, region(prev_text, line_start(prev_text, above), line_start(prev_text, above)).start);
  }

  Offset delta = size_of(text) - size_of(prev_text);
  std::u32string_view p_text = prev_text.substr(static_cast<size_t>(reg.start), static_cast<size_t>(reg.end - reg.start));
  Offset r_end = reg.end + delta;
  if (r_end < reg.start || r_end > size_of(text)) return std::monostate{};
  std::u32string_view r_text = text.substr(static_cast<size_t>(reg.start), static_cast<size_t>(r_end - reg.start));
  if (count_lines(p_text) > options.max_lines || count_lines(r_text) > options.max_lines) return TooLong{};

  pi::Options opts;
  bool caret_inside = caret >= reg.start && caret <= r_end;
  if (caret_inside) {
    pi::LineCol c = pi::offset_to_line_col(r_text, caret - reg.start);
    opts.cursor_line = c.line;
    opts.cursor_x = c.x;
  }
  if (prev_caret >= reg.start && prev_caret <= reg.end) {
    pi::LineCol c = pi::offset_to_line_col(p_text, prev_caret - reg.start);
    opts.prev_cursor_line = c.line;
    opts.prev_cursor_x = c.x;
  }
  pi::LineCol at = pi::offset_to_line_col(p_text, e.p - reg.start);
  opts.changes.push_back({at.line, at.x, std::u32string(removed), std::u32string(inserted)});

  std::optional<pi::Result> result;
  if (mode != Mode::Paren && !options.prev_consistent) {
    // A form whose indentation disagreed with its brackets before the edit gets its indentation fixed by the
    // edit, not its closers moved: the edit is carried over onto Paren mode's text where it can be.
    pi::Result probe = pi::paren_mode(p_text);
    if (probe.success && indentation_changed(p_text, probe.text)) {
      bool one_line = removed.find(U'\n') == std::u32string_view::npos &&
                      inserted.find(U'\n') == std::u32string_view::npos;
      Offset p_ls = pi::line_col_to_offset(p_text, {at.line, 0});
      std::u32string_view p_line = std::u32string_view(p_text).substr(static_cast<size_t>(p_ls));
      p_line = p_line.substr(0, std::min(p_line.find(U'\n'), p_line.size()));
      Offset q_ls = pi::line_col_to_offset(probe.text, {at.line, 0});
      std::u32string_view q_all(probe.text);
      std::u32string_view q_line = q_all.substr(static_cast<size_t>(q_ls));
      q_line = q_line.substr(0, std::min(q_line.find(U'\n'), q_line.size()));
      Offset p_indent = indent_width(p_line, 0);
      Offset q_indent = indent_width(q_line, 0);
      Offset dx = q_indent - p_indent;
      Offset qx = at.x + dx;
      bool carried = one_line && at.x >= p_indent && qx >= q_indent && qx <= size_of(q_line) &&
                     p_line.substr(static_cast<size_t>(p_indent), static_cast<size_t>(at.x - p_indent)) ==
                         q_line.substr(static_cast<size_t>(q_indent), static_cast<size_t>(qx - q_indent)) &&
                     q_line.substr(static_cast<size_t>(qx)).starts_with(removed);
      if (carried) {
        std::u32string q(probe.text);
        q.replace(static_cast<size_t>(q_ls + qx), removed.size(), inserted);
        pi::Options q_opts = opts;
        q_opts.changes = {{at.line, qx, std::u32string(removed), std::u32string(inserted)}};
        q_opts.prev_cursor_line.reset();
        q_opts.prev_cursor_x.reset();
        if (q_opts.cursor_line && *q_opts.cursor_line == at.line && q_opts.cursor_x) *q_opts.cursor_x += dx;
        pi::Result r = run_mode(mode, q, q_opts);
        if (r.success || (r.error && r.error->name == pi::ErrorName::Unhandled)) result = std::move(r);
      }
    }
  }
  if (!result) result = run_mode(mode, r_text, opts);

  if (!result->success) {
    if (result->error && result->error->name == pi::ErrorName::Unhandled) return EngineError{result->error->message};
    return std::monostate{};
  }
  if (result->text == r_text) return std::monostate{};
  EditOp op;
  op.edits.push_back(Edit{reg.start, r_end, result->text});
  if (caret_inside && result->cursor_line && result->cursor_x) {
    op.caret = reg.start + pi::line_col_to_offset(result->text, {*result->cursor_line, *result->cursor_x});
  } else {
    op.caret = caret > r_end ? caret + size_of(result->text) - (r_end - reg.start) : caret;
  }
  return op;
}

}  // namespace orrery::parinfer_edit
