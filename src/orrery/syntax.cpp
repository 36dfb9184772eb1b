// The hand-written Clojure scanner. At each position it tries, in order: comment, regex, string, character,
// keyword, number, bracket, metatag and symbol; the first that matches gives the token, and a position where
// none matches is skipped. Each rule below answers the end of its match at a position, or NO_MATCH.
#include "orrery/syntax.hpp"

#include <algorithm>
#include <array>
#include <mutex>

#include "orrery/syntax_unicode.hpp"

namespace orrery {

namespace {

constexpr size_t NO_MATCH = 0;

// Line terminators as a regular expression's `.` excludes them.
bool is_line_terminator(char32_t c) {
  return c == U'\n' || c == U'\r' || c == 0x85 || c == 0x2028 || c == 0x2029;
}

constexpr bool is_ascii_space(char32_t c) { return c == U' ' || (c >= U'\t' && c <= U'\r'); }
constexpr bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }
bool is_hex(char32_t c) { return is_digit(c) || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F'); }

// ASCII character classes as bit flags, so the scanner's inner loops test one table entry.
enum : uint8_t { SYMBOL_START = 1, WORD = 2, BRACKET = 4, NUMBER_END = 8 };

constexpr std::array<uint8_t, 128> ascii_classes() {
  std::array<uint8_t, 128> t{};
  for (char32_t c = 0; c < 128; ++c) {
    bool letter = (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
    bool punct = std::u32string_view(U"-_.!$%&*+/<=>?").find(c) != std::u32string_view::npos;
    bool bracket = std::u32string_view(U"()[]{}").find(c) != std::u32string_view::npos;
    if (letter || punct) t[c] |= SYMBOL_START;
    if (letter || punct || is_digit(c) || c == U'#') t[c] |= WORD;
    if (bracket) t[c] |= BRACKET;
    if (bracket || is_ascii_space(c) || c == U'"' || c == U',') t[c] |= NUMBER_END;
  }
  return t;
}
constexpr std::array<uint8_t, 128> ASCII = ascii_classes();

bool has_class(char32_t c, uint8_t flag) { return c < 128 && (ASCII[c] & flag); }

// A symbol's first character: a letter or one of -_.!$%&*+/<=>? (never a digit or #).
inline bool is_symbol_start(char32_t c) {
  if (c < 128) return ASCII[c] & SYMBOL_START;
  return unicode::is_letter(c);
}

// A character of a keyword, of a symbol after its first, or of a metatag (which also takes ':').
inline bool is_word_char(char32_t c) {
  if (c < 128) return ASCII[c] & WORD;
  return unicode::is_letter(c) || unicode::is_number(c);
}

bool is_bracket(char32_t c) { return has_class(c, BRACKET); }

class Scanner {
 public:
  explicit Scanner(std::u32string_view text) : t_(text), n_(text.size()) {}

  Tokens run() {
    Tokens out;
    out.reserve(n_ / 4);
    size_t i = 0;
    while (i < n_) {
      size_t end;
      TokenType type;
      if (match_at(i, end, type)) {
        out.push_back(Token{type, static_cast<Offset>(i), static_cast<Offset>(end)});
        i = end;
      } else {
        ++i;
      }
    }
    return out;
  }

 private:
  char32_t at(size_t i) const { return i < n_ ? t_[i] : 0; }

  bool match_at(size_t i, size_t& end, TokenType& type) const {
    char32_t c = t_[i];
    switch (c) {
      case U';':
        type = TokenType::Comment;
        end = comment(i);
        return true;
      case U'#':
        type = TokenType::Regex;
        return (end = regex(i)) != NO_MATCH;
      case U'"':
        type = TokenType::String;
        end = string_body(i + 1);
        return true;
      case U'\\':
        type = TokenType::Char;
        return (end = character(i)) != NO_MATCH;
      case U':':
        type = TokenType::Keyword;
        return (end = keyword(i)) != NO_MATCH;
      case U'^':
        type = TokenType::Metatag;
        return (end = metatag(i)) != NO_MATCH;
      default:
        break;
    }
    if (is_digit(c) || c == U'+' || c == U'-') {
      if ((end = number(i)) != NO_MATCH) {
        type = TokenType::Number;
        return true;
      }
    }
    if (is_bracket(c)) {
      type = TokenType::Bracket;
      end = i + 1;
      return true;
    }
    if (is_symbol_start(c)) {
      end = i + 1;
      while (end < n_ && is_word_char(t_[end])) ++end;
      type = classify(t_.substr(i, end - i));
      return true;
    }
    return false;
  }

  size_t comment(size_t i) const {
    size_t j = i + 1;
    while (j < n_ && t_[j] != U'\n') ++j;
    return j;
  }

  // `#"`, `#?"` or `#@"`, then a string body.
  size_t regex(size_t i) const {
    size_t j = i + 1;
    if (at(j) == U'?' || at(j) == U'@') ++j;
    if (at(j) != U'"') return NO_MATCH;
    return string_body(j + 1);
  }

  // From just after an opening quote: escapes and other characters up to the closing quote (included) or the
  // end of the text. A backslash before a line terminator, or at the very end, ends the string before it.
  size_t string_body(size_t j) const {
    while (j < n_) {
      char32_t c = t_[j];
      if (c == U'"') return j + 1;
      if (c == U'\\') {
        if (j + 1 >= n_ || is_line_terminator(t_[j + 1])) return j;
        j += 2;
      } else {
        ++j;
      }
    }
    return n_;
  }

  size_t character(size_t i) const {
    static constexpr std::array<std::u32string_view, 6> NAMES = {U"newline", U"space",    U"tab",
                                                                 U"backspace", U"formfeed", U"return"};
    size_t j = i + 1;
    for (auto name : NAMES) {
      if (t_.substr(j, name.size()) == name) return j + name.size();
    }
    char32_t c = at(j);
    if (c == U'u' && j + 4 < n_ && is_hex(t_[j + 1]) && is_hex(t_[j + 2]) && is_hex(t_[j + 3]) &&
        is_hex(t_[j + 4])) {
      return j + 5;
    }
    if (c == U'o') {
      if (size_t k = octal_escape(j + 1)) return j + 1 + k;
    }
    if (j < n_ && !is_line_terminator(c)) return j + 1;
    return NO_MATCH;
  }

  // Length of `[0-3]?[0-7]{1,2}` at k (0 when it does not match), as a backtracking matcher takes it.
  size_t octal_escape(size_t k) const {
    auto octal = [&](size_t p) { return p < n_ && t_[p] >= U'0' && t_[p] <= U'7'; };
    if (!octal(k)) return 0;
    if (t_[k] <= U'3') {
      size_t more = octal(k + 1) ? (octal(k + 2) ? 2 : 1) : 0;
      return 1 + more;
    }
    return octal(k + 1) ? 2 : 1;
  }

  // `::?` then at least one keyword character.
  size_t keyword(size_t i) const {
    size_t j = i + 1;
    if (at(j) == U':' && j + 1 < n_ && is_word_char(t_[j + 1])) ++j;
    if (j >= n_ || !is_word_char(t_[j])) return NO_MATCH;
    while (j < n_ && is_word_char(t_[j])) ++j;
    return j;
  }

  size_t metatag(size_t i) const {
    size_t j = i + 1;
    while (j < n_ && (is_word_char(t_[j]) || t_[j] == U':')) ++j;
    return j > i + 1 ? j : NO_MATCH;
  }

  // An optional sign, then hex (`0x...`) or digits with an optional ratio or fraction, exponent and M/N
  // suffix, counting only before whitespace, a bracket, a quote, a comma or the end. Every shorter way to
  // match would stop before a digit, letter or punctuation mark of the longer one, so the greedy reading is
  // the only one that can pass the delimiter check.
  size_t number(size_t i) const {
    size_t j = i;
    if (t_[j] == U'+' || t_[j] == U'-') ++j;
    if (!is_digit(at(j))) return NO_MATCH;
    if (t_[j] == U'0' && at(j + 1) == U'x' && is_hex(at(j + 2))) {
      size_t k = j + 2;
      while (k < n_ && is_hex(t_[k])) ++k;
      if (ends_number(k)) return k;
    }
    size_t k = digits(j);
    if ((at(k) == U'/' || at(k) == U'.') && is_digit(at(k + 1))) k = digits(k + 1);
    if (at(k) == U'e' || at(k) == U'E') {
      size_t e = k + 1;
      if (at(e) == U'+' || at(e) == U'-') ++e;
      if (is_digit(at(e))) k = digits(e);
    }
    if (at(k) == U'M' || at(k) == U'N') ++k;
    return ends_number(k) ? k : NO_MATCH;
  }

  size_t digits(size_t k) const {
    while (k < n_ && is_digit(t_[k])) ++k;
    return k;
  }

  // The lookahead after a number: whitespace, a bracket, a quote, a comma, or the end of the text (which, as
  // a regular expression's `$` reads it, may be followed by one final line terminator).
  bool ends_number(size_t k) const {
    if (k >= n_) return true;
    char32_t c = t_[k];
    if (has_class(c, NUMBER_END)) return true;
    if (is_line_terminator(c)) return k + 1 == n_;  // \u0085, \u2028, \u2029 as the text's last character
    return false;
  }

  static TokenType classify(std::u32string_view word);

  std::u32string_view t_;
  size_t n_;
};

template <size_t N>
constexpr std::array<std::u32string_view, N> sorted(std::array<std::u32string_view, N> a) {
  std::sort(a.begin(), a.end());
  return a;
}

constexpr auto CONSTANTS = sorted(std::array<std::u32string_view, 3>{U"true", U"false", U"nil"});

constexpr auto SPECIAL_FORMS = sorted(std::array<std::u32string_view, 52>{
    U"def", U"defn", U"defn-", U"defmacro", U"defmulti", U"defmethod", U"defprotocol", U"defrecord", U"deftype",
    U"definterface", U"defonce", U"let", U"loop", U"recur", U"binding", U"with-open", U"with-local-vars",
    U"with-redefs", U"with-out-str", U"with-in-str", U"if", U"if-not", U"if-let", U"when", U"when-not",
    U"when-let", U"when-first", U"when-some", U"if-some", U"cond", U"condp", U"case", U"do", U"fn", U"fn*",
    U"doseq", U"dotimes", U"for", U"while", U"try", U"catch", U"finally", U"throw", U"ns", U"in-ns", U"require",
    U"use", U"import", U"refer", U"quote", U"var", U"set!"});

constexpr auto CORE_BUILTINS = sorted(std::array<std::u32string_view, 134>{
    U"println", U"print", U"prn", U"pr", U"printf", U"read-line", U"read-string", U"slurp", U"spit", U"map",
    U"filter", U"reduce", U"remove", U"take", U"drop", U"take-while", U"drop-while", U"concat", U"into",
    U"assoc", U"dissoc", U"get", U"get-in", U"assoc-in", U"update", U"update-in", U"conj", U"disj",
    U"contains?", U"count", U"empty?", U"seq", U"first", U"rest", U"next", U"last", U"nth", U"peek", U"pop",
    U"cons", U"vec", U"set", U"hash-map", U"vector", U"list", U"keys", U"vals", U"select-keys", U"zipmap",
    U"merge", U"merge-with", U"sort", U"sort-by", U"group-by", U"partition", U"partition-by", U"flatten",
    U"distinct", U"reverse", U"interleave", U"interpose", U"keep", U"nil?", U"some?", U"true?", U"false?",
    U"string?", U"number?", U"integer?", U"float?", U"boolean?", U"keyword?", U"symbol?", U"fn?", U"vector?",
    U"map?", U"set?", U"seq?", U"list?", U"coll?", U"pos?", U"neg?", U"zero?", U"even?", U"odd?", U"+", U"-",
    U"*", U"/", U"inc", U"dec", U"max", U"min", U"quot", U"rem", U"mod", U"abs", U"=", U"==", U"not=", U"<",
    U"<=", U">", U">=", U"not", U"and", U"or", U"atom", U"deref", U"swap!", U"reset!", U"swap-vals!",
    U"reset-vals!", U"future", U"promise", U"deliver", U"realized?", U"delay", U"force", U"apply", U"partial",
    U"comp", U"constantly", U"identity", U"juxt", U"memoize", U"complement", U"doc", U"source", U"apropos",
    U"dir", U"find-doc", U"format", U"str"});

// The word lists in one open-addressed table keyed by an FNV hash of the word: every symbol the scanner meets
// is looked up, so this is one hash and usually one comparison rather than three binary searches.
class WordTable {
 public:
  WordTable() {
    for (auto w : CONSTANTS) insert(w, TokenType::Constant);
    for (auto w : SPECIAL_FORMS) insert(w, TokenType::SpecialForm);
    for (auto w : CORE_BUILTINS) insert(w, TokenType::Builtin);
  }

  TokenType type_of(std::u32string_view word) const {
    if (word.size() > longest_) return TokenType::Symbol;
    for (size_t i = hash(word) & MASK;; i = (i + 1) & MASK) {
      if (slots_[i].word.empty()) return TokenType::Symbol;
      if (slots_[i].word == word) return slots_[i].type;
    }
  }

 private:
  static constexpr size_t SLOTS = 1024;  // a power of two, well over the 189 words
  static constexpr size_t MASK = SLOTS - 1;
  struct Slot {
    std::u32string_view word;
    TokenType type = TokenType::Symbol;
  };

  static size_t hash(std::u32string_view w) {
    uint64_t h = 1469598103934665603ull;
    for (char32_t c : w) h = (h ^ c) * 1099511628211ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
  void insert(std::u32string_view w, TokenType type) {
    size_t i = hash(w) & MASK;
    while (!slots_[i].word.empty()) i = (i + 1) & MASK;
    slots_[i] = Slot{w, type};
    longest_ = std::max(longest_, w.size());
  }

  std::array<Slot, SLOTS> slots_{};
  size_t longest_ = 0;
};

const WordTable& word_table() {
  static const WordTable table;
  return table;
}

TokenType Scanner::classify(std::u32string_view word) { return word_table().type_of(word); }


// A one-entry cache: one immutable pair of a text (held, so its address cannot be reused while cached) and
// its result, swapped whole under a mutex held only for the swap or the read; scanning happens outside it.
template <typename Result>
class OneEntryCache {
 public:
  struct Entry {
    TextPtr text;
    std::shared_ptr<const Result> result;
  };

  std::shared_ptr<const Entry> load() const {
    std::lock_guard lock(mutex_);
    return entry_;
  }
  void store(std::shared_ptr<const Entry> e) {
    std::lock_guard lock(mutex_);
    entry_.swap(e);
    // the old entry (e) is released after the lock is dropped
  }

  std::shared_ptr<const Result> identical(const TextPtr& text) const {
    auto e = load();
    return e && e->text == text ? e->result : nullptr;
  }
  std::shared_ptr<const Result> equal(const TextPtr& text) const {
    auto e = load();
    if (!e) return nullptr;
    if (e->text == text) return e->result;
    return *e->text == *text ? e->result : nullptr;
  }
  void remember(const TextPtr& text, std::shared_ptr<const Result> result) {
    store(std::make_shared<const Entry>(Entry{text, std::move(result)}));
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Entry> entry_;
};

OneEntryCache<Tokens>& token_cache() {
  static OneEntryCache<Tokens> cache;
  return cache;
}

OneEntryCache<Brackets>& bracket_cache() {
  static OneEntryCache<Brackets> cache;
  return cache;
}

const std::shared_ptr<const Tokens>& no_tokens() {
  static const auto empty = std::make_shared<const Tokens>();
  return empty;
}

const std::shared_ptr<const Brackets>& no_brackets() {
  static const auto empty = std::make_shared<const Brackets>();
  return empty;
}

// Java's Character.isWhitespace: ASCII space and controls 9-13 and 28-31, and the Unicode space separators
// other than the no-break ones, plus the line and paragraph separators.
bool is_whitespace_char(char32_t c) {
  if (c < 0x80) return c == U' ' || (c >= 9 && c <= 13) || (c >= 28 && c <= 31);
  switch (c) {
    case 0x1680: case 0x2028: case 0x2029: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A && c != 0x2007;
  }
}

// Simple one-to-one lower-casing for search: ASCII, Latin-1, Greek and Cyrillic capitals. Each maps to one
// code point, so a match's offsets in the folded text are its offsets in the original.
char32_t fold_case(char32_t c) {
  if (c < 0x80) return (c >= U'A' && c <= U'Z') ? c + 32 : c;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

}  // namespace

Brackets analyse_brackets(std::u32string_view text, const Tokens& tokens) {
  Brackets out;
  struct Open {
    char32_t ch;
    Offset at;
  };
  std::vector<Open> stack;
  size_t brackets = std::count_if(tokens.begin(), tokens.end(),
                                  [](const Token& t) { return t.type == TokenType::Bracket; });
  out.bracket_tokens.reserve(brackets);
  out.matches.reserve(brackets);
  for (const Token& tok : tokens) {
    if (tok.type != TokenType::Bracket) continue;
    char32_t c = text[tok.start];
    if (is_opener(c)) {
      out.bracket_tokens.push_back({tok.start, tok.end, static_cast<int>(stack.size()), BracketKind::Open});
      stack.push_back({c, tok.start});
    } else if (!stack.empty() && closer_of(stack.back().ch) == c) {
      Offset open = stack.back().at;
      stack.pop_back();
      out.bracket_tokens.push_back({tok.start, tok.end, static_cast<int>(stack.size()), BracketKind::Close});
      out.matches.emplace(open, tok.start);
      out.matches.emplace(tok.start, open);
    } else {
      // A closer of the wrong kind does not pop: in `(]` the `(` stays open.
      out.unmatched.insert(tok.start);
      out.bracket_tokens.push_back({tok.start, tok.end, 0, BracketKind::Unmatched});
    }
  }
  for (const Open& o : stack) out.unmatched.insert(o.at);
  return out;
}

bool is_blank(std::u32string_view text) {
  return std::all_of(text.begin(), text.end(), is_whitespace_char);
}

std::string_view token_type_name(TokenType t) {
  switch (t) {
    case TokenType::Comment: return "comment";
    case TokenType::Regex: return "regex";
    case TokenType::String: return "string";
    case TokenType::Char: return "char";
    case TokenType::Keyword: return "keyword";
    case TokenType::Number: return "number";
    case TokenType::Bracket: return "bracket";
    case TokenType::Metatag: return "metatag";
    case TokenType::SpecialForm: return "special-form";
    case TokenType::Builtin: return "builtin";
    case TokenType::Constant: return "constant";
    case TokenType::Symbol: return "symbol";
  }
  return "symbol";
}

bool is_constant_word(std::u32string_view word) { return word_table().type_of(word) == TokenType::Constant; }
bool is_special_form_word(std::u32string_view word) {
  return word_table().type_of(word) == TokenType::SpecialForm;
}
bool is_core_builtin_word(std::u32string_view word) { return word_table().type_of(word) == TokenType::Builtin; }
std::span<const std::u32string_view> special_form_words() { return SPECIAL_FORMS; }
std::span<const std::u32string_view> core_builtin_words() { return CORE_BUILTINS; }

Tokens tokenize(std::u32string_view text) { return Scanner(text).run(); }

std::shared_ptr<const Tokens> tokenize(const TextPtr& text) {
  if (!text || text->empty()) return no_tokens();
  if (auto hit = token_cache().identical(text)) return hit;
  auto result = std::make_shared<const Tokens>(tokenize(std::u32string_view(*text)));
  token_cache().remember(text, result);
  return result;
}

std::shared_ptr<const Tokens> tokenize_equal(const TextPtr& text) {
  if (!text || text->empty()) return no_tokens();
  if (auto hit = token_cache().equal(text)) return hit;
  return tokenize(text);
}

Brackets compute_brackets(std::u32string_view text) {
  if (text.empty()) return {};
  return analyse_brackets(text, tokenize(text));
}

std::shared_ptr<const Brackets> compute_brackets(const TextPtr& text) {
  if (!text || text->empty()) return no_brackets();
  if (auto hit = bracket_cache().identical(text)) return hit;
  auto result = std::make_shared<const Brackets>(analyse_brackets(*text, *tokenize(text)));
  bracket_cache().remember(text, result);
  return result;
}

std::shared_ptr<const Brackets> compute_brackets_equal(const TextPtr& text) {
  if (!text || text->empty()) return no_brackets();
  if (auto hit = bracket_cache().equal(text)) return hit;
  return compute_brackets(text);
}

std::shared_ptr<const Brackets> cached_brackets_if_identical(const TextPtr& text) {
  if (!text) return nullptr;
  return bracket_cache().identical(text);
}

int64_t line_number_at_offset(std::u32string_view text, Offset offset) {
  if (offset <= 0) return 1;
  auto end = text.begin() + static_cast<ptrdiff_t>(std::min<Offset>(offset, static_cast<Offset>(text.size())));
  return 1 + std::count(text.begin(), end, U'\n');
}

namespace {

bool is_literal(TokenType t) {
  return t == TokenType::Comment || t == TokenType::String || t == TokenType::Regex || t == TokenType::Char;
}

bool is_gap_char(char32_t c) {
  return is_bracket(c) || c == U'@' || c == U'\'' || c == U'~' || c == U'`' || c == U'^' || c == U'#' ||
         c == U',' || c == U' ';
}

bool binds_forward(char32_t c) {
  return is_opener(c) || c == U'@' || c == U'\'' || c == U'~' || c == U'^' || c == U'`' || c == U'#';
}

// Whether the text between caret and a nearby token lets the caret reach it: no line break, only brackets,
// reader prefixes, commas and spaces, and not two plain spaces alone.
bool gap_qualifies(std::u32string_view gap) {
  if (gap.size() > 2) return false;
  bool non_space = false;
  for (char32_t c : gap) {
    if (!is_gap_char(c)) return false;
    non_space = non_space || c != U' ';
  }
  return gap.size() <= 1 || non_space;
}

std::optional<SymbolHit> symbol_in(std::u32string_view text, Offset pos, const Tokens& tokens) {
  for (const Token& t : tokens) {
    if (is_literal(t.type) && t.start <= pos && pos <= t.end) return std::nullopt;
  }
  auto hit = [&](const Token& t) {
    return SymbolHit{std::u32string(text.substr(t.start, t.end - t.start)), t.start, t.end, t.type};
  };
  const Token* touching = nullptr;
  for (const Token& t : tokens) {
    if (!is_symbol_like(t.type)) continue;
    if (t.start <= pos && pos < t.end) return hit(t);
    if (!touching && t.start <= pos && pos <= t.end) touching = &t;
  }
  if (touching) return hit(*touching);

  const Offset n = static_cast<Offset>(text.size());
  char32_t at_caret = pos < n ? text[pos] : 0;
  char32_t before_caret = pos > 0 ? text[pos - 1] : 0;
  const Token* best = nullptr;
  double best_score = 0;
  for (const Token& t : tokens) {
    if (!is_symbol_like(t.type)) continue;
    bool after = t.start > pos;
    Offset distance = after ? t.start - pos : pos - t.end;
    if (distance > 2) continue;
    std::u32string_view gap = after ? text.substr(pos, distance) : text.substr(t.end, distance);
    if (!gap_qualifies(gap)) continue;
    bool binds = after ? binds_forward(at_caret) : (is_closer(at_caret) || is_closer(before_caret));
    double score = static_cast<double>(distance) - (binds ? 0.5 : 0.0);
    if (!best || score < best_score) {
      best = &t;
      best_score = score;
    }
  }
  if (!best) return std::nullopt;
  return hit(*best);
}

}  // namespace

std::optional<SymbolHit> symbol_at_pos(const TextPtr& text, Offset pos, bool uncached) {
  if (!text || text->empty()) return std::nullopt;
  pos = std::clamp<Offset>(pos, 0, static_cast<Offset>(text->size()));
  if (uncached) return symbol_in(*text, pos, tokenize(std::u32string_view(*text)));
  return symbol_in(*text, pos, *tokenize(text));
}

std::optional<SymbolHit> symbol_at_pos(std::u32string_view text, Offset pos) {
  if (text.empty()) return std::nullopt;
  pos = std::clamp<Offset>(pos, 0, static_cast<Offset>(text.size()));
  return symbol_in(text, pos, tokenize(text));
}

std::vector<Span> find_symbol_occurrences(std::u32string_view text, std::u32string_view name) {
  std::vector<Span> out;
  if (is_blank(name)) return out;
  for (const Token& t : tokenize(text)) {
    if (is_symbol_like(t.type) && text.substr(t.start, t.end - t.start) == name) out.push_back({t.start, t.end});
  }
  return out;
}

std::vector<Span> find_text_matches(std::u32string_view text, std::u32string_view query, bool case_sensitive) {
  std::vector<Span> out;
  if (is_blank(text) || is_blank(query)) return out;
  std::u32string folded_text, folded_query;
  if (!case_sensitive) {
    folded_text.resize(text.size());
    std::transform(text.begin(), text.end(), folded_text.begin(), fold_case);
    folded_query.resize(query.size());
    std::transform(query.begin(), query.end(), folded_query.begin(), fold_case);
    text = folded_text;
    query = folded_query;
  }
  for (size_t at = text.find(query); at != std::u32string_view::npos; at = text.find(query, at + query.size())) {
    out.push_back({static_cast<Offset>(at), static_cast<Offset>(at + query.size())});
  }
  return out;
}

}  // namespace orrery
