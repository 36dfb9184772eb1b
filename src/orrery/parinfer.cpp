#include "orrery/parinfer.hpp"

#include <algorithm>
#include <deque>
#include <array>
#include <exception>
#include <limits>

namespace orrery::parinfer {

namespace {

// "No value" for positions, lines and indents; never equal to a real one and far from overflowing.
constexpr int64_t NIL = std::numeric_limits<int64_t>::min() / 4;
constexpr int64_t PUBLIC_NIL = -999;

constexpr std::u32string_view EMPTY = U"";
constexpr std::u32string_view SPACE = U" ";
constexpr std::u32string_view DOUBLE_SPACE = U"  ";
constexpr std::u32string_view NEWLINE = U"\n";

enum class Mode { Indent, Paren };

bool is_open_paren(char32_t c) { return c == U'(' || c == U'[' || c == U'{'; }
bool is_close_paren(char32_t c) { return c == U')' || c == U']' || c == U'}'; }
bool is_open_paren(std::u32string_view ch) { return ch.size() == 1 && is_open_paren(ch[0]); }
bool is_close_paren(std::u32string_view ch) { return ch.size() == 1 && is_close_paren(ch[0]); }

char32_t match_paren(char32_t c) {
  switch (c) {
    case U'(': return U')';
    case U'[': return U']';
    case U'{': return U'}';
    case U')': return U'(';
    case U']': return U'[';
    case U'}': return U'{';
    default: return 0;
  }
}

constexpr size_t ERROR_COUNT = 8;

struct Opener {
  int64_t input_line_no = 0;
  int64_t input_x = 0;
  int64_t line_no = 0;
  int64_t x = 0;
  char32_t ch = 0;
  int64_t indent_delta = 0;
  int64_t max_child_indent = NIL;
  int64_t arg_x = NIL;
  // The tree, kept only with return_parens.
  std::vector<int32_t> children;
  int64_t closer_line_no = NIL;
  int64_t closer_x = NIL;
  char32_t closer_ch = 0;
  int32_t closer_trail = -1;  // index into the remembered paren trails
};

struct Trail {
  int64_t line_no = NIL;
  int64_t start_x = NIL;
  int64_t end_x = NIL;
  std::vector<int32_t> openers;
  int64_t clamped_start_x = NIL;
  int64_t clamped_end_x = NIL;
  std::vector<int32_t> clamped_openers;
};

struct ErrorPos {
  bool set = false;
  int64_t line_no = 0;
  int64_t x = 0;
  int64_t input_line_no = 0;
  int64_t input_x = 0;
};

struct LookupChange {
  int64_t lookup_line_no = 0;
  int64_t lookup_x = 0;
  int64_t delta = 0;  // new end x - old end x
};

// Thrown to stop processing: a Parinfer error, or Smart mode's hand-over to Paren mode.
struct Stop {
  enum Kind { Failure, LeadingCloseParen, ReleaseCursorHold } kind;
  Error error;
};

// An output line: the input line until something edits it, then a copy of its own.
// A line of the output: the input's line until an edit gives it text of its own (kept apart, so the line table
// stays small and a whole file's worth of lines needs no large allocation).
struct Line {
  std::u32string_view src;
  int32_t own = -1;  // index into the engine's edited texts
};

struct TextLines {
  std::vector<std::u32string_view> lines;
  bool crlf = false;
};

// Lines split on LF or CRLF (a CR before a line feed ends the line); the line ending used when joining is CRLF
// as soon as the text holds a CR anywhere.
TextLines split_lines(std::u32string_view text) {
  TextLines out;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c == U'\r') out.crlf = true;
    if (c == U'\n') {
      size_t end = (i > start && text[i - 1] == U'\r') ? i - 1 : i;
      out.lines.push_back(text.substr(start, end - start));
      start = i + 1;
    }
  }
  out.lines.push_back(text.substr(start));
  return out;
}

size_t count_lines(std::u32string_view s) { return static_cast<size_t>(std::count(s.begin(), s.end(), U'\n')) + 1; }

// Length of the last line of s (split on CR? LF).
int64_t last_line_length(std::u32string_view s) {
  size_t nl = s.rfind(U'\n');
  return static_cast<int64_t>(nl == std::u32string_view::npos ? s.size() : s.size() - nl - 1);
}

// The openers' storage of the last run on this thread, kept for the next one: a whole file's openers take
// megabytes, and fresh pages for them each run cost more than the run itself. Kept only up to a bound.
std::vector<Opener>& spare_pool() {
  static thread_local std::vector<Opener> spare;
  return spare;
}
constexpr size_t SPARE_POOL_MAX = 1 << 15;

class Engine {
 public:
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  ~Engine() {
    pool_.clear();
    if (pool_.capacity() <= SPARE_POOL_MAX && pool_.capacity() > spare_pool().capacity()) spare_pool().swap(pool_);
  }

  Engine(std::u32string_view text, const Options& options, Mode mode, bool smart)
      : text_(text), options_(options), mode_(mode), smart_(smart) {
    pool_.swap(spare_pool());
    TextLines split = split_lines(text);
    input_lines_ = std::move(split.lines);
    crlf_ = split.crlf;
    lines_.reserve(input_lines_.size());
    if (options.cursor_x) cursor_x_ = orig_cursor_x_ = *options.cursor_x;
    if (options.cursor_line) cursor_line_ = orig_cursor_line_ = *options.cursor_line;
    if (options.prev_cursor_x) prev_cursor_x_ = *options.prev_cursor_x;
    if (options.prev_cursor_line) prev_cursor_line_ = *options.prev_cursor_line;
    if (options.selection_start_line) selection_start_line_ = *options.selection_start_line;
    for (const Change& c : options.changes) {
      // Keyed on where the change ends in the new text; a later change at the same place replaces an earlier one.
      size_t new_lines = count_lines(c.new_text);
      size_t old_lines = count_lines(c.old_text);
      int64_t old_end_x = (old_lines == 1 ? c.x : 0) + last_line_length(c.old_text);
      int64_t new_end_x = (new_lines == 1 ? c.x : 0) + last_line_length(c.new_text);
      LookupChange lc{c.line_no + static_cast<int64_t>(new_lines) - 1, new_end_x, new_end_x - old_end_x};
      auto same = std::find_if(changes_.begin(), changes_.end(), [&](const LookupChange& o) {
        return o.lookup_line_no == lc.lookup_line_no && o.lookup_x == lc.lookup_x;
      });
      if (same != changes_.end()) *same = lc;
      else changes_.push_back(lc);
    }
    change_deltas_ = !changes_.empty() && (smart_ || mode_ == Mode::Paren);
    for (char32_t c : std::u32string_view(U"()[]{}\"\\\t\n")) special_[c] = true;
    for (char32_t c : options.comment_chars) {
      if (c < 128) special_[c] = true;
    }
    partial_result_ = options.partial_result;
    force_balance_ = options.force_balance;
    return_parens_ = options.return_parens;
  }

  // Runs the mode; false when Smart mode hands the text over to Paren mode.
  Stop::Kind run() {
    try {
      for (size_t i = 0; i < input_lines_.size(); ++i) {
        input_line_no_ = static_cast<int64_t>(i);
        process_line(i);
      }
      finalize();
    } catch (const Stop& s) {
      if (s.kind != Stop::Failure) return s.kind;
      success_ = false;
      error_ = s.error;
    }
    return Stop::Failure;
  }

  Result public_result() const {
    Result r;
    auto opt = [](int64_t v) { return v == NIL ? std::optional<int64_t>() : std::optional<int64_t>(v); };
    if (success_) {
      r.success = true;
      r.text = joined();
      r.cursor_x = opt(cursor_x_);
      r.cursor_line = opt(cursor_line_);
      r.tab_stops = tab_stops_;
      r.paren_trails = paren_trails_;
      if (return_parens_) r.parens = parens_tree();
    } else {
      r.success = false;
      r.text = partial_result_ ? joined() : std::u32string(text_);
      r.cursor_x = opt(partial_result_ ? cursor_x_ : orig_cursor_x_);
      r.cursor_line = opt(partial_result_ ? cursor_line_ : orig_cursor_line_);
      if (partial_result_) r.paren_trails = paren_trails_;
      r.error = error_;
      if (partial_result_ && return_parens_) r.parens = parens_tree();
    }
    return r;
  }

 private:
  std::u32string_view text_;
  const Options& options_;
  Mode mode_;
  bool smart_;
  bool crlf_ = false;

  int64_t orig_cursor_x_ = NIL;
  int64_t orig_cursor_line_ = NIL;
  std::vector<std::u32string_view> input_lines_;
  int64_t input_line_no_ = -1;
  int64_t input_x_ = -1;

  std::vector<Line> lines_;
  std::deque<std::u32string> owned_;  // the texts of edited lines (a deque: adding one never moves the others)
  std::u32string_view view(const Line& l) const {
    return l.own < 0 ? l.src : std::u32string_view(owned_[static_cast<size_t>(l.own)]);
  }
  int64_t line_no_ = -1;
  std::u32string_view ch_ = EMPTY;
  int64_t x_ = 0;
  int64_t indent_x_ = NIL;

  std::vector<Opener> pool_;
  std::vector<int32_t> paren_stack_;
  std::vector<int32_t> top_parens_;
  std::vector<TabStop> tab_stops_;
  Trail trail_;
  std::vector<ParenTrail> paren_trails_;
  bool return_parens_ = false;

  int64_t cursor_x_ = NIL;
  int64_t cursor_line_ = NIL;
  int64_t prev_cursor_x_ = NIL;
  int64_t prev_cursor_line_ = NIL;
  int64_t selection_start_line_ = NIL;
  std::vector<LookupChange> changes_;
  bool change_deltas_ = false;  // whether changes shift indentation in this mode
  std::array<bool, 128> special_{};

  bool in_code_ = true;
  bool escaping_ = false;
  bool escaped_ = false;
  bool in_str_ = false;
  bool in_comment_ = false;
  int64_t comment_x_ = NIL;
  bool quote_danger_ = false;
  bool tracking_indent_ = false;
  bool skip_char_ = false;
  bool success_ = false;
  bool partial_result_ = false;
  bool force_balance_ = false;
  int64_t max_indent_ = NIL;
  int64_t indent_delta_ = 0;
  enum class ArgTrack { None, Space, Arg } tracking_arg_tab_stop_ = ArgTrack::None;
  Error error_;
  std::array<ErrorPos, ERROR_COUNT> error_pos_{};

  // --- Errors -----------------------------------------------------------------------------------------------

  ErrorPos& cache_error_pos(ErrorName name) {
    ErrorPos& e = error_pos_[static_cast<size_t>(name)];
    e = {true, line_no_, x_, input_line_no_, input_x_};
    return e;
  }

  const ErrorPos* cached(ErrorName name) const {
    const ErrorPos& e = error_pos_[static_cast<size_t>(name)];
    return e.set ? &e : nullptr;
  }

  void forget(ErrorName name) { error_pos_[static_cast<size_t>(name)].set = false; }

  // Positions are reported in the input's coordinates, or the output's with partial_result.
  int64_t err_line(const ErrorPos& e) const { return partial_result_ ? e.line_no : e.input_line_no; }
  int64_t err_x(const ErrorPos& e) const { return partial_result_ ? e.x : e.input_x; }
  int64_t opener_line(const Opener& o) const { return partial_result_ ? o.line_no : o.input_line_no; }
  int64_t opener_x(const Opener& o) const { return partial_result_ ? o.x : o.input_x; }

  Stop error(ErrorName name) const {
    Error e;
    e.name = name;
    e.message = std::string(error_message(name));
    const ErrorPos* cache = cached(name);
    e.line_no = cache ? err_line(*cache) : (partial_result_ ? line_no_ : input_line_no_);
    e.x = cache ? err_x(*cache) : (partial_result_ ? x_ : input_x_);
    const Opener* opener = peek_stack(0);
    if (name == ErrorName::UnmatchedCloseParen) {
      const ErrorPos* open_cache = cached(ErrorName::UnmatchedOpenParen);
      if (open_cache || opener) {
        e.extra = ErrorExtra{ErrorName::UnmatchedOpenParen, open_cache ? err_line(*open_cache) : opener_line(*opener),
                             open_cache ? err_x(*open_cache) : opener_x(*opener)};
      }
    } else if (name == ErrorName::UnclosedParen && opener) {
      e.line_no = opener_line(*opener);
      e.x = opener_x(*opener);
    }
    return Stop{Stop::Failure, std::move(e)};
  }

  // --- Lines ------------------------------------------------------------------------------------------------

  Line& line_at(int64_t line_no) {
    if (line_no < 0 || line_no >= static_cast<int64_t>(lines_.size())) {
      // Only a change option that does not describe the text leads here.
      throw Stop{Stop::Failure, Error{ErrorName::Unhandled, std::string(error_message(ErrorName::Unhandled)),
                                      line_no_, x_, std::nullopt}};
    }
    return lines_[static_cast<size_t>(line_no)];
  }

  bool cursor_affected(int64_t start, int64_t end) const {
    if (cursor_x_ == start && cursor_x_ == end) return cursor_x_ == 0;
    return cursor_x_ >= end;
  }

  void replace_within_line(int64_t line_no, int64_t start, int64_t end, std::u32string_view replace) {
    Line& line = line_at(line_no);
    if (line.own < 0) {
      line.own = static_cast<int32_t>(owned_.size());
      owned_.emplace_back(line.src);
    }
    std::u32string& own = owned_[static_cast<size_t>(line.own)];
    auto len = static_cast<int64_t>(own.size());
    int64_t s = std::clamp<int64_t>(start, 0, len);
    int64_t e = std::clamp<int64_t>(end, 0, len);
    if (e < s) std::swap(s, e);
    own.replace(static_cast<size_t>(s), static_cast<size_t>(e - s), replace);
    int64_t dx = static_cast<int64_t>(replace.size()) - (end - start);
    if (dx != 0 && cursor_line_ == line_no && cursor_x_ != NIL && cursor_affected(start, end)) cursor_x_ += dx;
  }

  void insert_within_line(int64_t line_no, int64_t at, std::u32string_view insert) {
    replace_within_line(line_no, at, at, insert);
  }

  std::u32string joined() const {
    size_t total = 0;
    for (const Line& l : lines_) total += view(l).size() + 2;
    std::u32string out;
    out.reserve(total);
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (i > 0) out += crlf_ ? std::u32string_view(U"\r\n") : NEWLINE;
      out += view(lines_[i]);
    }
    return out;
  }

  void init_line() {
    x_ = 0;
    ++line_no_;
    indent_x_ = NIL;
    comment_x_ = NIL;
    indent_delta_ = 0;
    forget(ErrorName::UnmatchedCloseParen);
    forget(ErrorName::UnmatchedOpenParen);
    forget(ErrorName::LeadingCloseParen);
    tracking_arg_tab_stop_ = ArgTrack::None;
    tracking_indent_ = !in_str_;
  }

  void commit_char(std::u32string_view orig) {
    if (orig.size() != ch_.size() || orig != ch_) {
      // A rewritten character (a tab, a removed closer) shifts the line but is no edit of the user's: the
      // indentation delta stays as the changes made it.
      replace_within_line(line_no_, x_, x_ + static_cast<int64_t>(orig.size()), ch_);
    }
    x_ += static_cast<int64_t>(ch_.size());
  }

  // --- Questions --------------------------------------------------------------------------------------------

  Opener* peek_stack(size_t from_back) {
    return from_back < paren_stack_.size() ? &pool_[static_cast<size_t>(paren_stack_[paren_stack_.size() - 1 - from_back])]
                                           : nullptr;
  }
  const Opener* peek_stack(size_t from_back) const {
    return from_back < paren_stack_.size() ? &pool_[static_cast<size_t>(paren_stack_[paren_stack_.size() - 1 - from_back])]
                                           : nullptr;
  }

  bool is_valid_close_paren(std::u32string_view ch) const {
    const Opener* top = peek_stack(0);
    return top && ch.size() == 1 && top->ch == match_paren(ch[0]);
  }

  bool is_whitespace() const { return !escaped_ && (ch_ == SPACE || ch_ == DOUBLE_SPACE); }

  bool is_comment_char(std::u32string_view ch) const {
    return ch.size() == 1 && options_.comment_chars.find(ch[0]) != std::u32string::npos;
  }

  // Whether this character can be the last code character of a list.
  bool is_closable() const {
    bool closer = is_close_paren(ch_) && !escaped_;
    return in_code_ && !is_whitespace() && !ch_.empty() && !closer;
  }

  // --- Smart mode's cursor hold -----------------------------------------------------------------------------

  bool check_cursor_holding() {
    const Opener* opener = peek_stack(0);
    const Opener* parent = peek_stack(1);
    int64_t hold_min_x = parent ? parent->x + 1 : 0;
    int64_t hold_max_x = opener->x;
    bool holding = cursor_line_ == opener->line_no && hold_min_x <= cursor_x_ && cursor_x_ <= hold_max_x;
    bool check_prev = changes_.empty() && prev_cursor_line_ != NIL;
    if (check_prev) {
      bool prev_holding =
          prev_cursor_line_ == opener->line_no && hold_min_x <= prev_cursor_x_ && prev_cursor_x_ <= hold_max_x;
      if (prev_holding && !holding) throw Stop{Stop::ReleaseCursorHold, {}};
    }
    return holding;
  }

  void track_arg_tab_stop() {
    if (tracking_arg_tab_stop_ == ArgTrack::Space) {
      if (in_code_ && is_whitespace()) tracking_arg_tab_stop_ = ArgTrack::Arg;
    } else if (tracking_arg_tab_stop_ == ArgTrack::Arg) {
      if (!is_whitespace()) {
        peek_stack(0)->arg_x = x_;
        tracking_arg_tab_stop_ = ArgTrack::None;
      }
    }
  }

  // --- Characters -------------------------------------------------------------------------------------------

  void on_open_paren() {
    if (!in_code_) return;
    auto idx = static_cast<int32_t>(pool_.size());
    Opener& o = pool_.emplace_back();
    o.input_line_no = input_line_no_;
    o.input_x = input_x_;
    o.line_no = line_no_;
    o.x = x_;
    o.ch = ch_[0];
    o.indent_delta = indent_delta_;
    if (return_parens_) {
      if (paren_stack_.empty()) top_parens_.push_back(idx);
      else pool_[static_cast<size_t>(paren_stack_.back())].children.push_back(idx);
    }
    paren_stack_.push_back(idx);
    tracking_arg_tab_stop_ = ArgTrack::Space;
  }

  void set_closer(Opener& o, int64_t line_no, int64_t x, char32_t ch) {
    o.closer_line_no = line_no;
    o.closer_x = x;
    o.closer_ch = ch;
  }

  void on_matched_close_paren() {
    int32_t idx = paren_stack_.back();
    if (return_parens_) set_closer(pool_[static_cast<size_t>(idx)], line_no_, x_, ch_[0]);
    trail_.end_x = x_ + 1;
    trail_.openers.push_back(idx);
    if (mode_ == Mode::Indent && smart_ && check_cursor_holding()) {
      int64_t orig_start = trail_.start_x;
      int64_t orig_end = trail_.end_x;
      std::vector<int32_t> orig_openers;
      orig_openers.swap(trail_.openers);
      reset_paren_trail(line_no_, x_ + 1);
      trail_.clamped_start_x = orig_start;
      trail_.clamped_end_x = orig_end;
      trail_.clamped_openers.swap(orig_openers);
    }
    paren_stack_.pop_back();
    tracking_arg_tab_stop_ = ArgTrack::None;
  }

  void on_unmatched_close_paren() {
    if (mode_ == Mode::Paren) {
      bool in_leading_trail = trail_.line_no == line_no_ && trail_.start_x == indent_x_;
      bool can_remove = smart_ && in_leading_trail;
      if (!can_remove) throw error(ErrorName::UnmatchedCloseParen);
    } else if (!cached(ErrorName::UnmatchedCloseParen)) {
      cache_error_pos(ErrorName::UnmatchedCloseParen);
      if (const Opener* opener = peek_stack(0)) {
        ErrorPos& e = cache_error_pos(ErrorName::UnmatchedOpenParen);
        e.input_line_no = opener->input_line_no;
        e.input_x = opener->input_x;
      }
    }
    ch_ = EMPTY;
  }

  void on_close_paren() {
    if (!in_code_) return;
    if (is_valid_close_paren(ch_)) on_matched_close_paren();
    else on_unmatched_close_paren();
  }

  void on_quote() {
    if (in_str_) {
      in_str_ = false;
    } else if (in_comment_) {
      quote_danger_ = !quote_danger_;
      if (quote_danger_) cache_error_pos(ErrorName::QuoteDanger);
    } else {
      in_str_ = true;
      cache_error_pos(ErrorName::UnclosedQuote);
    }
  }

  void on_newline() {
    in_comment_ = false;
    ch_ = EMPTY;
  }

  void after_backslash() {
    escaping_ = false;
    escaped_ = true;
    if (ch_ == NEWLINE) {
      if (in_code_) throw error(ErrorName::EolBackslash);
      on_newline();
    }
  }

  void on_char() {
    std::u32string_view ch = ch_;
    escaped_ = false;
    if (escaping_) {
      after_backslash();
    } else if (is_open_paren(ch)) {
      on_open_paren();
    } else if (is_close_paren(ch)) {
      on_close_paren();
    } else if (ch.size() == 1 && ch[0] == U'"') {
      on_quote();
    } else if (is_comment_char(ch)) {
      if (in_code_) {
        in_comment_ = true;
        comment_x_ = x_;
        tracking_arg_tab_stop_ = ArgTrack::None;
      }
    } else if (ch.size() == 1 && ch[0] == U'\\') {
      escaping_ = true;
    } else if (ch.size() == 1 && ch[0] == U'\t') {
      if (in_code_) ch_ = DOUBLE_SPACE;
    } else if (ch == NEWLINE) {
      on_newline();
    }
    in_code_ = !in_comment_ && !in_str_;
    if (is_closable()) reset_paren_trail(line_no_, x_ + static_cast<int64_t>(ch_.size()));
    if (tracking_arg_tab_stop_ != ArgTrack::None) track_arg_tab_stop();
  }

  // --- Cursor -----------------------------------------------------------------------------------------------

  static bool cursor_left_of(int64_t cx, int64_t cl, int64_t x, int64_t line_no) {
    return cl == line_no && x != NIL && cx != NIL && cx <= x;
  }
  static bool cursor_right_of(int64_t cx, int64_t cl, int64_t x, int64_t line_no) {
    return cl == line_no && x != NIL && cx != NIL && cx > x;
  }
  bool cursor_in_comment() const { return cursor_right_of(cursor_x_, cursor_line_, comment_x_, line_no_); }

  void handle_change_delta() {
    if (changes_.empty() || !(smart_ || mode_ == Mode::Paren)) return;
    for (const LookupChange& c : changes_) {
      if (c.lookup_line_no == input_line_no_ && c.lookup_x == input_x_) {
        indent_delta_ += c.delta;
        return;
      }
    }
  }

  // --- Paren trail ------------------------------------------------------------------------------------------

  void reset_paren_trail(int64_t line_no, int64_t x) {
    trail_.line_no = line_no;
    trail_.start_x = x;
    trail_.end_x = x;
    trail_.openers.clear();
    trail_.clamped_start_x = NIL;
    trail_.clamped_end_x = NIL;
    trail_.clamped_openers.clear();
  }

  // Indent mode: a cursor inside the trail keeps the closers left of it where they are.
  void clamp_paren_trail_to_cursor() {
    int64_t start_x = trail_.start_x;
    int64_t end_x = trail_.end_x;
    bool clamping = cursor_right_of(cursor_x_, cursor_line_, trail_.start_x, line_no_) && !cursor_in_comment();
    if (!clamping) return;
    int64_t new_start = std::max(start_x, cursor_x_);
    int64_t new_end = std::max(end_x, cursor_x_);
    std::u32string_view line = view(line_at(line_no_));
    size_t remove_count = 0;
    for (int64_t i = start_x; i < new_start; ++i) {
      if (i >= 0 && i < static_cast<int64_t>(line.size()) && is_close_paren(line[static_cast<size_t>(i)])) {
        ++remove_count;
      }
    }
    remove_count = std::min(remove_count, trail_.openers.size());
    trail_.clamped_openers.assign(trail_.openers.begin(), trail_.openers.begin() + static_cast<ptrdiff_t>(remove_count));
    trail_.openers.erase(trail_.openers.begin(), trail_.openers.begin() + static_cast<ptrdiff_t>(remove_count));
    trail_.start_x = new_start;
    trail_.end_x = new_end;
    trail_.clamped_start_x = start_x;
    trail_.clamped_end_x = end_x;
  }

  // Indent mode: the trail's openers go back on the stack, for the next line's indentation to close.
  void pop_paren_trail() {
    if (trail_.start_x == trail_.end_x) return;
    while (!trail_.openers.empty()) {
      paren_stack_.push_back(trail_.openers.back());
      trail_.openers.pop_back();
    }
  }

  // Which opener on the stack (counted from the top) is the parent of a line indented to indent_x. Smart mode
  // uses the openers' indentation deltas to keep structure when lines shift together.
  size_t parent_opener_index(int64_t indent_x) {
    size_t i = 0;
    for (; i < paren_stack_.size(); ++i) {
      Opener& opener = *peek_stack(i);
      bool curr_outside = opener.x < indent_x;
      int64_t prev_indent_x = indent_x - indent_delta_;
      bool prev_outside = opener.x - opener.indent_delta < prev_indent_x;
      bool is_parent = false;
      if (prev_outside && curr_outside) {
        is_parent = true;
      } else if (!prev_outside && !curr_outside) {
        is_parent = false;
      } else if (prev_outside && !curr_outside) {
        // The line moved left of its opener: keep it inside when the line itself did not move (its opener
        // moved right); let it leave when the opener stayed.
        is_parent = indent_delta_ == 0;
      } else {
        // The line moved right of an opener it was outside of: adopt it unless the opener's next sibling
        // moved with it.
        const Opener* next = peek_stack(i + 1);
        if (next && next->indent_delta <= opener.indent_delta) {
          is_parent = indent_x + next->indent_delta > opener.x;
        } else if (next && next->indent_delta > opener.indent_delta) {
          is_parent = true;
        } else if (indent_delta_ > opener.indent_delta) {
          is_parent = true;
        }
        // A new parent: its delta belonged to its earlier children only.
        if (is_parent) opener.indent_delta = 0;
      }
      if (is_parent) break;
    }
    return i;
  }

  // Indent mode: the trail closes every opener the indentation of the line ends.
  void correct_paren_trail(int64_t indent_x) {
    size_t index = parent_opener_index(indent_x);
    std::u32string parens;
    for (size_t i = 0; i < index; ++i) {
      int32_t idx = paren_stack_.back();
      paren_stack_.pop_back();
      trail_.openers.push_back(idx);
      char32_t close = match_paren(pool_[static_cast<size_t>(idx)].ch);
      parens.push_back(close);
      if (return_parens_) {
        set_closer(pool_[static_cast<size_t>(idx)], trail_.line_no, trail_.start_x + static_cast<int64_t>(i), close);
      }
    }
    if (trail_.line_no != NIL) {
      replace_within_line(trail_.line_no, trail_.start_x, trail_.end_x, parens);
      trail_.end_x = trail_.start_x + static_cast<int64_t>(parens.size());
      remember_paren_trail();
    }
  }

  // Paren mode: the spaces inside a trail go.
  void clean_paren_trail() {
    int64_t start_x = trail_.start_x;
    int64_t end_x = trail_.end_x;
    if (start_x == end_x || line_no_ != trail_.line_no) return;
    std::u32string_view line = view(line_at(line_no_));
    std::u32string kept;
    int64_t spaces = 0;
    for (int64_t i = start_x; i < end_x; ++i) {
      char32_t c = (i >= 0 && i < static_cast<int64_t>(line.size())) ? line[static_cast<size_t>(i)] : 0;
      if (is_close_paren(c)) kept.push_back(c);
      else ++spaces;
    }
    if (spaces > 0) {
      replace_within_line(line_no_, start_x, end_x, kept);
      trail_.end_x -= spaces;
    }
  }

  // Paren mode: a leading close-paren moves up to the end of the trail.
  void append_paren_trail() {
    int32_t idx = paren_stack_.back();
    paren_stack_.pop_back();
    char32_t close = match_paren(pool_[static_cast<size_t>(idx)].ch);
    if (return_parens_) set_closer(pool_[static_cast<size_t>(idx)], trail_.line_no, trail_.end_x, close);
    set_max_indent(&pool_[static_cast<size_t>(idx)]);
    std::u32string_view close_view(&close, 1);
    insert_within_line(trail_.line_no, trail_.end_x, close_view);
    ++trail_.end_x;
    trail_.openers.push_back(idx);
    update_remembered_paren_trail();
  }

  void invalidate_paren_trail() { trail_ = Trail{}; }

  void check_unmatched_outside_paren_trail() {
    const ErrorPos* cache = cached(ErrorName::UnmatchedCloseParen);
    if (cache && cache->x < trail_.start_x) throw error(ErrorName::UnmatchedCloseParen);
  }

  void set_max_indent(const Opener* opener) {
    if (!opener) return;
    if (Opener* parent = peek_stack(0)) parent->max_child_indent = opener->x;
    else max_indent_ = opener->x;
  }

  void remember_paren_trail() {
    if (trail_.clamped_openers.empty() && trail_.openers.empty()) return;
    bool is_clamped = trail_.clamped_start_x != NIL;
    bool all_clamped = trail_.openers.empty();
    paren_trails_.push_back(ParenTrail{trail_.line_no, is_clamped ? trail_.clamped_start_x : trail_.start_x,
                                       all_clamped ? trail_.clamped_end_x : trail_.end_x});
    if (return_parens_) {
      auto t = static_cast<int32_t>(paren_trails_.size() - 1);
      for (int32_t o : trail_.clamped_openers) pool_[static_cast<size_t>(o)].closer_trail = t;
      for (int32_t o : trail_.openers) pool_[static_cast<size_t>(o)].closer_trail = t;
    }
  }

  void update_remembered_paren_trail() {
    if (paren_trails_.empty() || paren_trails_.back().line_no != trail_.line_no) {
      remember_paren_trail();
      return;
    }
    paren_trails_.back().end_x = trail_.end_x;
    if (return_parens_ && !trail_.openers.empty()) {
      pool_[static_cast<size_t>(trail_.openers.back())].closer_trail = static_cast<int32_t>(paren_trails_.size() - 1);
    }
  }

  void finish_new_paren_trail() {
    if (in_str_) {
      invalidate_paren_trail();
    } else if (mode_ == Mode::Indent) {
      clamp_paren_trail_to_cursor();
      pop_paren_trail();
    } else {
      set_max_indent(trail_.openers.empty() ? nullptr : &pool_[static_cast<size_t>(trail_.openers.back())]);
      if (line_no_ != cursor_line_) clean_paren_trail();
      remember_paren_trail();
    }
  }

  // --- Indentation ------------------------------------------------------------------------------------------

  void add_indent(int64_t delta) {
    int64_t orig = x_;
    int64_t indent = orig + delta;
    std::u32string spaces(static_cast<size_t>(std::max<int64_t>(indent, 0)), U' ');
    replace_within_line(line_no_, 0, orig, spaces);
    x_ = indent;
    indent_x_ = indent;
    indent_delta_ += delta;
  }

  // Smart mode does not add an opener's shift to a line the user already shifted by as much.
  bool should_add_opener_indent(const Opener& opener) const { return opener.indent_delta != indent_delta_; }

  void correct_indent() {
    int64_t orig = x_;
    int64_t indent = orig;
    int64_t min_indent = 0;
    int64_t max_indent = max_indent_;
    if (const Opener* opener = peek_stack(0)) {
      min_indent = opener->x + 1;
      max_indent = opener->max_child_indent;
      if (should_add_opener_indent(*opener)) indent += opener->indent_delta;
    }
    if (min_indent != NIL) indent = std::max(min_indent, indent);
    if (max_indent != NIL) indent = std::min(max_indent, indent);
    if (indent != orig) add_indent(indent - orig);
  }

  void on_indent() {
    indent_x_ = x_;
    tracking_indent_ = false;
    if (quote_danger_) throw error(ErrorName::QuoteDanger);
    if (mode_ == Mode::Indent) {
      correct_paren_trail(x_);
      const Opener* opener = peek_stack(0);
      if (opener && should_add_opener_indent(*opener)) add_indent(opener->indent_delta);
    } else {
      correct_indent();
    }
  }

  void check_leading_close_paren() {
    if (cached(ErrorName::LeadingCloseParen) && trail_.line_no == line_no_) throw error(ErrorName::LeadingCloseParen);
  }

  void on_leading_close_paren() {
    if (mode_ == Mode::Indent) {
      if (!force_balance_) {
        if (smart_) throw Stop{Stop::LeadingCloseParen, {}};
        if (!cached(ErrorName::LeadingCloseParen)) cache_error_pos(ErrorName::LeadingCloseParen);
      }
      skip_char_ = true;
    } else {
      if (!is_valid_close_paren(ch_)) {
        if (smart_) skip_char_ = true;
        else throw error(ErrorName::UnmatchedCloseParen);
      } else if (cursor_left_of(cursor_x_, cursor_line_, x_, line_no_)) {
        reset_paren_trail(line_no_, x_);
        on_indent();
      } else {
        append_paren_trail();
        skip_char_ = true;
      }
    }
  }

  // A comment line shifts with its parent opener but is no indentation point.
  void on_comment_line() {
    size_t trail_len = trail_.openers.size();
    if (mode_ == Mode::Paren) {
      for (size_t j = 0; j < trail_len; ++j) paren_stack_.push_back(trail_.openers[trail_len - 1 - j]);
    }
    size_t i = parent_opener_index(x_);
    if (const Opener* opener = peek_stack(i)) {
      if (should_add_opener_indent(*opener)) add_indent(opener->indent_delta);
    }
    if (mode_ == Mode::Paren) paren_stack_.resize(paren_stack_.size() - trail_len);
  }

  void check_indent() {
    if (is_close_paren(ch_)) {
      on_leading_close_paren();
    } else if (is_comment_char(ch_)) {
      on_comment_line();
      tracking_indent_ = false;
    } else if (ch_ != NEWLINE && ch_ != SPACE && !(ch_.size() == 1 && ch_[0] == U'\t')) {
      on_indent();
    }
  }

  TabStop make_tab_stop(const Opener& o) const {
    TabStop t{o.ch, o.x, o.line_no, std::nullopt};
    if (o.arg_x != NIL) t.arg_x = o.arg_x;
    return t;
  }

  void set_tab_stops() {
    int64_t tab_line = selection_start_line_ != NIL ? selection_start_line_ : cursor_line_;
    if (tab_line != line_no_) return;
    size_t first = tab_stops_.size();
    for (int32_t idx : paren_stack_) tab_stops_.push_back(make_tab_stop(pool_[static_cast<size_t>(idx)]));
    if (mode_ == Mode::Paren) {
      for (size_t i = trail_.openers.size(); i-- > 0;) {
        tab_stops_.push_back(make_tab_stop(pool_[static_cast<size_t>(trail_.openers[i])]));
      }
    }
    // An argument column right of the next stop is no stop.
    for (size_t i = std::max<size_t>(first, 1); i < tab_stops_.size(); ++i) {
      if (tab_stops_[i - 1].arg_x && *tab_stops_[i - 1].arg_x >= tab_stops_[i].x) tab_stops_[i - 1].arg_x.reset();
    }
  }

  // --- Driving ----------------------------------------------------------------------------------------------

  // Whether c can take the plain path: no bracket, quote, backslash, tab or comment character.
  bool is_plain(char32_t c) const {
    if (c < 128) return !special_[c];
    return options_.comment_chars.find(c) == std::u32string::npos;
  }

  void process_char(std::u32string_view ch) {
    std::u32string_view orig = ch;
    ch_ = ch;
    skip_char_ = false;
    handle_change_delta();
    if (tracking_indent_) check_indent();
    if (skip_char_) ch_ = EMPTY;
    else on_char();
    commit_char(orig);
  }

  void process_line(size_t i) {
    init_line();
    std::u32string_view input = input_lines_[i];
    lines_.push_back(Line{input, -1});
    set_tab_stops();
    const size_t n = input.size();
    // Changes shift indentation only at the characters where they end: other lines take the plain path.
    bool line_changed = change_deltas_ && std::any_of(changes_.begin(), changes_.end(), [&](const LookupChange& c) {
      return c.lookup_line_no == input_line_no_;
    });
    for (size_t x = 0; x < n; ++x) {
      // A run of plain characters only moves the trail's start (in code) and the column.
      // Indentation is such a run too, up to its first non-space character. While an argument's tab stop is
      // tracked, a run is one that can't change the tracking: the word after the opener (in code), or the spaces
      // before the argument.
      const bool indenting = tracking_indent_;
      const ArgTrack track = tracking_arg_tab_stop_;
      auto fits = [&](char32_t c) {
        if (!is_plain(c) || (indenting && c != U' ')) return false;
        switch (track) {
          case ArgTrack::None: return true;
          case ArgTrack::Space: return in_code_ && c != U' ';
          case ArgTrack::Arg: return c == U' ';
        }
        return false;
      };
      if (!escaping_ && !line_changed && fits(input[x])) {
        size_t run_end = x + 1;
        while (run_end < n && fits(input[run_end])) ++run_end;
        escaped_ = false;
        if (in_code_) {
          // The trail starts after the run's last non-space character.
          size_t last = run_end;
          while (last > x && input[last - 1] == U' ') --last;
          if (last > x) reset_paren_trail(line_no_, x_ + static_cast<int64_t>(last - x));
        }
        x_ += static_cast<int64_t>(run_end - x);
        ch_ = input.substr(run_end - 1, 1);
        x = run_end - 1;
        input_x_ = static_cast<int64_t>(x);
        continue;
      }
      input_x_ = static_cast<int64_t>(x);
      process_char(input.substr(x, 1));
    }
    // The line's end keeps the last character's input column: an error there (a hanging backslash) points at it.
    process_char(NEWLINE);
    if (!force_balance_) {
      check_unmatched_outside_paren_trail();
      check_leading_close_paren();
    }
    if (line_no_ == trail_.line_no) finish_new_paren_trail();
  }

  void finalize() {
    if (quote_danger_) throw error(ErrorName::QuoteDanger);
    if (in_str_) throw error(ErrorName::UnclosedQuote);
    if (!paren_stack_.empty() && mode_ == Mode::Paren) throw error(ErrorName::UnclosedParen);
    if (mode_ == Mode::Indent) {
      init_line();
      on_indent();
    }
    success_ = true;
  }

  Paren to_paren(int32_t idx) const {
    const Opener& o = pool_[static_cast<size_t>(idx)];
    Paren p;
    p.line_no = o.line_no;
    p.x = o.x;
    p.ch = o.ch;
    p.indent_delta = o.indent_delta;
    p.max_child_indent = o.max_child_indent == NIL ? PUBLIC_NIL : o.max_child_indent;
    if (o.arg_x != NIL) p.arg_x = o.arg_x;
    p.input_line_no = o.input_line_no;
    p.input_x = o.input_x;
    p.closer.line_no = o.closer_line_no == NIL ? PUBLIC_NIL : o.closer_line_no;
    p.closer.x = o.closer_x == NIL ? PUBLIC_NIL : o.closer_x;
    p.closer.ch = o.closer_ch;
    if (o.closer_trail >= 0) p.closer.trail = paren_trails_[static_cast<size_t>(o.closer_trail)];
    p.children.reserve(o.children.size());
    for (int32_t c : o.children) p.children.push_back(to_paren(c));
    return p;
  }

  std::vector<Paren> parens_tree() const {
    std::vector<Paren> out;
    out.reserve(top_parens_.size());
    for (int32_t idx : top_parens_) out.push_back(to_paren(idx));
    return out;
  }
};

Result process(std::u32string_view text, const Options& options, Mode mode, bool smart) {
  try {
    Engine engine(text, options, mode, smart);
    if (engine.run() != Stop::Failure) {
      // Smart mode met a leading close-paren or a released cursor hold: Paren mode keeps the structure.
      Engine paren(text, options, Mode::Paren, smart);
      paren.run();
      return paren.public_result();
    }
    return engine.public_result();
  } catch (const std::exception&) {
    Result r;
    r.success = false;
    r.text = std::u32string(text);
    r.cursor_x = options.cursor_x;
    r.cursor_line = options.cursor_line;
    r.error = Error{ErrorName::Unhandled, std::string(error_message(ErrorName::Unhandled)), 0, 0, std::nullopt};
    return r;
  }
}

}  // namespace

std::string_view error_name(ErrorName name) {
  switch (name) {
    case ErrorName::QuoteDanger: return "quote-danger";
    case ErrorName::EolBackslash: return "eol-backslash";
    case ErrorName::UnclosedQuote: return "unclosed-quote";
    case ErrorName::UnclosedParen: return "unclosed-paren";
    case ErrorName::UnmatchedCloseParen: return "unmatched-close-paren";
    case ErrorName::UnmatchedOpenParen: return "unmatched-open-paren";
    case ErrorName::LeadingCloseParen: return "leading-close-paren";
    case ErrorName::Unhandled: return "unhandled";
  }
  return "unhandled";
}

std::string_view error_message(ErrorName name) {
  switch (name) {
    case ErrorName::QuoteDanger: return "Quotes must balanced inside comment blocks.";
    case ErrorName::EolBackslash: return "Line cannot end in a hanging backslash.";
    case ErrorName::UnclosedQuote: return "String is missing a closing quote.";
    case ErrorName::UnclosedParen: return "Unclosed open-paren.";
    case ErrorName::UnmatchedCloseParen: return "Unmatched close-paren.";
    case ErrorName::UnmatchedOpenParen: return "Unmatched open-paren.";
    case ErrorName::LeadingCloseParen: return "Line cannot lead with a close-paren.";
    case ErrorName::Unhandled: return "Unhandled error.";
  }
  return "Unhandled error.";
}

Result indent_mode(std::u32string_view text, const Options& options) {
  return process(text, options, Mode::Indent, false);
}

Result paren_mode(std::u32string_view text, const Options& options) {
  return process(text, options, Mode::Paren, false);
}

Result smart_mode(std::u32string_view text, const Options& options) {
  return process(text, options, Mode::Indent, !options.selection_start_line.has_value());
}

LineCol offset_to_line_col(std::u32string_view text, int64_t offset) {
  auto end = static_cast<size_t>(std::clamp<int64_t>(offset, 0, static_cast<int64_t>(text.size())));
  LineCol pos;
  size_t line_start = 0;
  for (size_t i = 0; i < end; ++i) {
    if (text[i] == U'\n') {
      ++pos.line;
      line_start = i + 1;
    }
  }
  size_t col_end = end;
  // A carriage return ending the line gives it no column: an offset on it sits at the line's end.
  if (col_end > line_start && col_end <= text.size() && text[col_end - 1] == U'\r' &&
      (col_end == text.size() || text[col_end] == U'\n')) {
    --col_end;
  }
  pos.x = static_cast<int64_t>(col_end - line_start);
  return pos;
}

int64_t line_col_to_offset(std::u32string_view text, LineCol pos) {
  size_t start = 0;
  for (int64_t line = 0; line < pos.line; ++line) {
    size_t nl = text.find(U'\n', start);
    if (nl == std::u32string_view::npos) break;
    start = nl + 1;
  }
  size_t nl = text.find(U'\n', start);
  size_t end = nl == std::u32string_view::npos ? text.size() : nl;
  if (end > start && text[end - 1] == U'\r') --end;
  auto x = static_cast<size_t>(std::clamp<int64_t>(pos.x, 0, static_cast<int64_t>(end - start)));
  return static_cast<int64_t>(start + x);
}

Change compute_text_change(std::u32string_view old_text, std::u32string_view new_text) {
  size_t limit = std::min(old_text.size(), new_text.size());
  size_t prefix = 0;
  while (prefix < limit && old_text[prefix] == new_text[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < limit - prefix && old_text[old_text.size() - 1 - suffix] == new_text[new_text.size() - 1 - suffix]) {
    ++suffix;
  }
  LineCol at = offset_to_line_col(old_text, static_cast<int64_t>(prefix));
  return Change{at.line, at.x, std::u32string(old_text.substr(prefix, old_text.size() - suffix - prefix)),
                std::u32string(new_text.substr(prefix, new_text.size() - suffix - prefix))};
}

}  // namespace orrery::parinfer
