// Indentation and formatting. One pass over the lines with a stack of open forms decides every line's
// indentation; formatting then rewrites each line's leading and trailing whitespace and nothing else.
#include "orrery/format.hpp"

#include <algorithm>

#include "orrery/syntax.hpp"

namespace orrery {
namespace {

constexpr std::u32string_view BODY_INDENT_FORMS[] = {
    U"def",         U"defn",          U"defn-",       U"defmacro",       U"defmulti",     U"defmethod",
    U"defprotocol", U"defrecord",     U"deftype",     U"definterface",   U"defonce",      U"let",
    U"loop",        U"recur",         U"binding",     U"with-open",      U"with-local-vars", U"with-redefs",
    U"with-out-str", U"with-in-str",  U"with-precision", U"if",          U"if-not",       U"if-let",
    U"if-some",     U"when",          U"when-not",    U"when-let",       U"when-first",   U"when-some",
    U"cond",        U"condp",         U"case",        U"do",             U"fn",           U"fn*",
    U"doseq",       U"dotimes",       U"for",         U"while",          U"try",          U"catch",
    U"finally",     U"throw",         U"locking",     U"ns",             U"testing",      U"deftest",
    U"is",          U"are",           U"comment",     U"extend-protocol", U"extend-type", U"reify",
    U"proxy",       U"alt!",          U"alts!",       U"go",             U"go-loop",
};

// Indentation whitespace. Commas are Clojure whitespace too, but a comma is something the user typed and
// the formatter keeps it.
bool is_indent_space(char32_t c) { return c == U' ' || c == U'\t' || c == U'\f' || c == U'\v'; }
bool is_trailing_space(char32_t c) { return c == U' ' || c == U'\t'; }


std::u32string_view token_text(std::u32string_view text, const Token& t) {
  return text.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start));
}

// What the formatter knows about one line of the text.
struct LineLayout {
  Offset start = 0;
  Offset end = 0;    // the line feed ending it, or the text's end
  Offset code = -1;  // first character after the indentation; -1 for a blank line
  Offset code_end = 0;  // after the code, before trailing spaces and a final \r
  bool cr = false;   // the line ends in \r (a CRLF line); the \r is kept
  Offset keep = 0;   // trailing spaces before this offset belong to a token (a string, `\ `) and stay
  Offset change = 0; // new indentation minus old: how far the line's tokens move
  LineIndent indent;
};

std::vector<LineLayout> split_lines(std::u32string_view text) {
  std::vector<LineLayout> lines;
  lines.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), U'\n')) + 1);
  size_t start = 0;
  for (;;) {
    size_t end = std::min(text.find(U'\n', start), text.size());
    LineLayout& line = lines.emplace_back();
    line.start = line.keep = static_cast<Offset>(start);
    line.end = static_cast<Offset>(end);
    if (end == text.size()) return lines;
    start = end + 1;
  }
}

Offset trim_trailing_spaces(std::u32string_view text, Offset end, Offset floor) {
  while (end > floor && is_trailing_space(text[end - 1])) --end;
  return end;
}

// Where the line's code starts and ends: after its indentation, before its trailing spaces and tabs and a
// final \r (a CRLF end, which is kept). A line with nothing in between is blank. Trimming stops at `keep`.
void find_code(std::u32string_view text, LineLayout& line) {
  Offset i = line.start;
  while (i < line.end && is_indent_space(text[i])) ++i;
  const Offset floor = std::max(line.keep, i);
  Offset end = trim_trailing_spaces(text, line.end, floor);
  line.cr = end > floor && text[end - 1] == U'\r';
  if (line.cr) end = trim_trailing_spaces(text, end - 1, floor);
  line.code = end > i ? i : -1;
  line.code_end = end;
}

// Marks lines that begin inside a multi-line string or regex, and records on each line how far its tokens
// reach, so that trimming never eats into a token (a string's trailing spaces before its line feed, `\ `).
void mark_token_extents(const Tokens& tokens, std::vector<LineLayout>& lines) {
  size_t line = 0;
  for (const Token& t : tokens) {
    while (line + 1 < lines.size() && lines[line + 1].start <= t.start) ++line;
    if (t.type == TokenType::Comment) continue;  // a comment's trailing spaces are whitespace, not content
    LineLayout& own = lines[line];
    own.keep = std::max(own.keep, std::min(t.end, own.end));
    if (t.end > own.end) {  // the token holds this line's line feed: it keeps the whole line's end
      own.keep = own.end;
      // A line whose line feed before it lies in the token is verbatim, even when the token ends right at the
      // line's start (a string cut short before `\` and a line break): indenting it would extend the string.
      for (size_t next = line + 1; next < lines.size() && lines[next].start <= t.end; ++next) {
        lines[next].indent.verbatim = true;
      }
    }
  }
}

enum class FrameKind : uint8_t { List, Vector, Map };

// An open form while the lines are walked; columns are those of the formatted text.
struct Frame {
  FrameKind kind;
  char32_t closer;
  size_t line;
  Offset col;
  bool has_operator = false;
  bool body = false;
  Offset first_arg_col = -1;
  Offset first_child_col = -1;
};

FrameKind kind_of(char32_t opener) {
  return opener == U'(' ? FrameKind::List : opener == U'[' ? FrameKind::Vector : FrameKind::Map;
}

void read_token(std::u32string_view text, const Token& t, size_t line, Offset col, std::vector<Frame>& stack) {
  if (t.type == TokenType::Comment) return;
  if (t.type == TokenType::Bracket) {
    char32_t c = text[t.start];
    if (char32_t closer = closer_of(c)) {
      stack.push_back(Frame{kind_of(c), closer, line, col});
    } else {
      for (size_t i = stack.size(); i-- > 0;) {
        if (stack[i].closer == c) {
          stack.resize(i);
          break;
        }
      }
    }
    return;
  }
  if (stack.empty()) return;
  Frame& top = stack.back();
  if (top.kind == FrameKind::List) {
    if (!top.has_operator) {
      top.has_operator = true;
      top.body = is_body_form(token_text(text, t));
    } else if (top.first_arg_col < 0 && line == top.line) {
      top.first_arg_col = col;
    }
  } else if (top.first_child_col < 0 && line == top.line) {
    top.first_child_col = col;
  }
}

Offset indentation_under(std::u32string_view text, const LineLayout& line, size_t line_index, const Frame& top) {
  if (text[line.code] == top.closer && top.line != line_index) return top.col;
  if (top.kind != FrameKind::List) return top.first_child_col >= 0 ? top.first_child_col : top.col + 2;
  if (top.body) return top.col + 2;
  return top.first_arg_col >= 0 ? top.first_arg_col : top.col + 2;
}

// Every line's layout and indentation. Token columns on earlier lines are taken after those lines'
// re-indentation, so the result is what formatting the whole text gives even where it is badly indented.
std::vector<LineLayout> layout_lines(std::u32string_view text) {
  std::vector<LineLayout> lines = split_lines(text);
  const Tokens tokens = tokenize(text);
  mark_token_extents(tokens, lines);
  std::vector<Frame> stack;
  size_t next_token = 0;
  size_t token_line = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    LineLayout& line = lines[i];
    find_code(text, line);
    const Offset target = line.code >= 0 ? line.code : line.start;
    for (; next_token < tokens.size() && tokens[next_token].end <= target; ++next_token) {
      const Token& t = tokens[next_token];
      while (token_line + 1 < lines.size() && lines[token_line + 1].start <= t.start) ++token_line;
      Offset col = t.start - lines[token_line].start + lines[token_line].change;
      read_token(text, t, token_line, col, stack);
    }
    if (line.indent.verbatim) continue;
    if (line.code < 0 || stack.empty()) {
      line.indent.spaces = 0;
    } else {
      line.indent.spaces = static_cast<int>(indentation_under(text, line, i, stack.back()));
    }
    if (line.code >= 0) line.change = line.indent.spaces - (line.code - line.start);
  }
  return lines;
}

// One line as the formatter writes it (without its line feed).
void append_formatted(std::u32string_view text, const LineLayout& line, std::u32string& out) {
  if (line.indent.verbatim) {
    out.append(text.substr(line.start, line.end - line.start));
    return;
  }
  if (line.code >= 0) {
    out.append(static_cast<size_t>(line.indent.spaces), U' ');
    out.append(text.substr(line.code, line.code_end - line.code));
  }
  if (line.cr) out += U'\r';  // a CRLF line keeps its \r, a blank one too
}

size_t line_index_at(const std::vector<LineLayout>& lines, Offset pos) {
  auto it = std::upper_bound(lines.begin(), lines.end(), pos,
                             [](Offset p, const LineLayout& l) { return p < l.start; });
  return it == lines.begin() ? 0 : static_cast<size_t>(it - lines.begin() - 1);
}

int count_openers_minus_closers(std::u32string_view text) {
  int n = 0;
  for (const Token& t : tokenize(text)) {
    if (t.type != TokenType::Bracket) continue;
    n += is_closer(text[t.start]) ? -1 : 1;
  }
  return n;
}

int count_leading_closers(std::u32string_view text) {
  int n = 0;
  for (const Token& t : tokenize(text)) {
    if (t.type != TokenType::Bracket || !is_closer(text[t.start])) break;
    ++n;
  }
  return n;
}

// Whether the text holds an opener left open or a closer without a partner. Only the given text is analysed,
// so the cost stops at the caret.
bool has_unclosed_bracket(std::u32string_view before) { return !compute_brackets(before).unmatched.empty(); }

Offset clamp(Offset pos, size_t size) { return std::clamp<Offset>(pos, 0, static_cast<Offset>(size)); }

// Code is everything formatting cannot remove or add: not a space, tab, form feed, vertical tab or line feed.
bool is_code(char32_t c) { return !is_indent_space(c) && c != U'\n'; }

std::optional<EditOp> whole_text_edit(const Snapshot& snapshot, std::u32string out) {
  if (out == snapshot.text) return std::nullopt;
  EditOp op;
  op.caret = carry_caret(snapshot.text, out, snapshot.caret);
  op.edits.push_back(Edit{0, static_cast<Offset>(snapshot.text.size()), std::move(out)});
  return op;
}

}  // namespace

std::span<const std::u32string_view> body_indent_forms() { return BODY_INDENT_FORMS; }

bool is_body_form(std::u32string_view op) {
  if (op.starts_with(U"def") || op.starts_with(U"with-") || op.starts_with(U"when-") || op.starts_with(U"if-")) {
    return true;
  }
  return std::find(std::begin(BODY_INDENT_FORMS), std::end(BODY_INDENT_FORMS), op) != std::end(BODY_INDENT_FORMS);
}

std::u32string compute_smart_indent(std::u32string_view text, Offset pos) {
  if (text.empty() || pos <= 0) return {};
  pos = clamp(pos, text.size());
  size_t line_start = text.rfind(U'\n', static_cast<size_t>(pos - 1));
  line_start = line_start == std::u32string_view::npos ? 0 : line_start + 1;
  size_t line_end = text.find(U'\n', static_cast<size_t>(pos));
  if (line_end == std::u32string_view::npos) line_end = text.size();
  std::u32string_view prefix = text.substr(line_start, static_cast<size_t>(pos) - line_start);
  std::u32string_view suffix = text.substr(static_cast<size_t>(pos), line_end - static_cast<size_t>(pos));

  const int base = static_cast<int>(std::min(prefix.find_first_not_of(U' '), prefix.size()));
  const int unclosed = count_openers_minus_closers(prefix);
  auto spaces = [](int n) { return std::u32string(static_cast<size_t>(std::max(n, 0)), U' '); };
  if (unclosed < 0) return spaces(base + 2 * unclosed);
  if (int closers = count_leading_closers(suffix);
      closers > 0 && unclosed == 0 && !has_unclosed_bracket(text.substr(0, pos))) {
    return spaces(base - 2 * closers);
  }
  if (unclosed > 0) return spaces(base + 2);
  return spaces(base);
}

std::vector<LineIndent> compute_line_indentations(std::u32string_view text) {
  std::vector<LineIndent> out;
  if (text.empty()) return out;
  for (const LineLayout& line : layout_lines(text)) out.push_back(line.indent);
  return out;
}

std::u32string format_code(std::u32string_view text) {
  if (is_blank(text)) return std::u32string(text);
  std::u32string out;
  out.reserve(text.size() + text.size() / 8);
  const std::vector<LineLayout> lines = layout_lines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += U'\n';
    append_formatted(text, lines[i], out);
  }
  return out;
}

std::u32string format_selection_text(std::u32string_view text, Offset start, Offset end) {
  start = clamp(start, text.size());
  end = clamp(end, text.size());
  if (is_blank(text) || start >= end) return std::u32string(text);
  const std::vector<LineLayout> lines = layout_lines(text);
  const size_t first = line_index_at(lines, start);
  const size_t last = line_index_at(lines, end - 1);
  std::u32string out;
  out.reserve(text.size() + 64);
  out.append(text.substr(0, lines[first].start));
  for (size_t i = first; i <= last; ++i) {
    if (i > first) out += U'\n';
    append_formatted(text, lines[i], out);
  }
  out.append(text.substr(lines[last].end));
  return out;
}

Offset carry_caret(std::u32string_view old_text, std::u32string_view new_text, Offset caret) {
  caret = clamp(caret, old_text.size());
  Offset code = 0, lines = 0, line_start = 0;
  for (Offset i = 0; i < caret; ++i) {
    if (old_text[i] == U'\n') {
      ++lines;
      line_start = i + 1;
    } else if (is_code(old_text[i])) {
      ++code;
    }
  }
  const Offset column = caret - line_start;
  Offset gap = 0;  // whitespace between the line's last code character and the caret
  while (caret - gap > line_start && !is_code(old_text[caret - gap - 1])) ++gap;
  const bool mid_line = caret - gap > line_start;
  const bool before_code = caret < static_cast<Offset>(old_text.size()) && is_code(old_text[caret]);

  const Offset n = static_cast<Offset>(new_text.size());
  Offset i = 0, seen_code = 0, seen_lines = 0, new_line_start = 0;
  while (seen_code != code || seen_lines != lines) {
    if (i == n) return n;
    char32_t c = new_text[i];
    if (is_code(c)) {
      if (seen_code == code) return i;  // code count reached but more code before the line count: land here
      ++seen_code;
    } else if (c == U'\n') {
      ++seen_lines;
      new_line_start = i + 1;
    }
    ++i;
  }
  auto skip_spaces = [&](auto keep_going) {
    while (i < n && is_trailing_space(new_text[i]) && keep_going()) ++i;
  };
  if (mid_line) {
    Offset steps = gap;
    skip_spaces([&] { return steps-- > 0; });
  } else if (before_code) {
    skip_spaces([] { return true; });
  } else {
    skip_spaces([&] { return i - new_line_start < column; });
  }
  return i;
}

std::optional<EditOp> format_all_op(const Snapshot& snapshot, const FormatOptions& options) {
  std::u32string out = format_code(snapshot.text);
  if (options.stabilize) out = options.stabilize(out, 0, static_cast<Offset>(out.size()));
  return whole_text_edit(snapshot, std::move(out));
}

std::optional<EditOp> format_selection_op(const Snapshot& snapshot, const FormatOptions& options) {
  const std::u32string& text = snapshot.text;
  Offset a = std::min(snapshot.sel_start, snapshot.sel_end);
  Offset b = std::max(snapshot.sel_start, snapshot.sel_end);
  if (a == b) {  // no selection: the caret's line, without its line feed
    Offset caret = clamp(snapshot.caret, text.size());
    size_t s = caret > 0 ? text.rfind(U'\n', static_cast<size_t>(caret - 1)) : std::u32string::npos;
    size_t e = text.find(U'\n', static_cast<size_t>(caret));
    a = s == std::u32string::npos ? 0 : static_cast<Offset>(s + 1);
    b = e == std::u32string::npos ? static_cast<Offset>(text.size()) : static_cast<Offset>(e);
  }
  a = clamp(a, text.size());
  b = clamp(b, text.size());
  std::u32string out = format_selection_text(text, a, b);
  if (options.stabilize && a < b) {
    // The formatter keeps line counts, so the range's lines are found again by number.
    const std::vector<LineLayout> lines = split_lines(out);
    const size_t first = static_cast<size_t>(line_number_at_offset(text, a) - 1);
    const size_t last = std::min(static_cast<size_t>(line_number_at_offset(text, b - 1) - 1), lines.size() - 1);
    out = options.stabilize(out, lines[first].start, lines[last].end);
  }
  return whole_text_edit(snapshot, std::move(out));
}

}  // namespace orrery
