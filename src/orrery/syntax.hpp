// The lexical view of Clojure text: tokens, bracket pairs, symbols at a position, line numbers and text search.
// Pure functions of a text and offsets, safe on any thread; malformed or half-typed text never fails.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "orrery/text.hpp"

namespace orrery {

enum class TokenType : uint8_t {
  Comment,
  Regex,
  String,
  Char,
  Keyword,
  Number,
  Bracket,
  Metatag,
  SpecialForm,  // the four symbol-like types come from one rule and differ by word list
  Builtin,
  Constant,
  Symbol,
};

inline bool is_symbol_like(TokenType t) { return t >= TokenType::SpecialForm; }

// Bracket pairs: the closer of an opening bracket ('\0' for any other character).
inline char32_t closer_of(char32_t opener) {
  switch (opener) {
    case U'(': return U')';
    case U'[': return U']';
    case U'{': return U'}';
    default: return U'\0';
  }
}
inline bool is_opener(char32_t c) { return c == U'(' || c == U'[' || c == U'{'; }
inline bool is_closer(char32_t c) { return c == U')' || c == U']' || c == U'}'; }
// The keyword name of a type: "comment", "special-form", ...
std::string_view token_type_name(TokenType t);

struct Token {
  TokenType type;
  Offset start;
  Offset end;
  bool operator==(const Token&) const = default;
};

using Tokens = std::vector<Token>;

// The kelp profile's word lists, which the scanner always classifies with.
bool is_constant_word(std::u32string_view word);
bool is_special_form_word(std::u32string_view word);
bool is_core_builtin_word(std::u32string_view word);
// The kelp profile's lists themselves (in sorted order), for modules that build word sets from them.
std::span<const std::u32string_view> special_form_words();
std::span<const std::u32string_view> core_builtin_words();

// Tokens in text order. The TextPtr form answers from a one-entry cache when given the identical text object;
// the _equal form also when the cached text is equal by content.
Tokens tokenize(std::u32string_view text);
std::shared_ptr<const Tokens> tokenize(const TextPtr& text);
std::shared_ptr<const Tokens> tokenize_equal(const TextPtr& text);

enum class BracketKind : uint8_t { Open, Close, Unmatched };

struct BracketToken {
  Offset start;
  Offset end;
  int depth;
  BracketKind kind;
  bool operator==(const BracketToken&) const = default;
};

struct Brackets {
  std::vector<BracketToken> bracket_tokens;
  std::unordered_map<Offset, Offset> matches;  // opener -> closer and closer -> opener
  std::set<Offset> unmatched;                 // closers without a partner and openers never closed
};

Brackets compute_brackets(std::u32string_view text);
// The bracket analysis of text from its tokens, already computed.
Brackets analyse_brackets(std::u32string_view text, const Tokens& tokens);
std::shared_ptr<const Brackets> compute_brackets(const TextPtr& text);
std::shared_ptr<const Brackets> compute_brackets_equal(const TextPtr& text);
// The cached bracket analysis when the cache holds this very text object; nothing otherwise (never computes).
std::shared_ptr<const Brackets> cached_brackets_if_identical(const TextPtr& text);

// 1 plus the number of line feeds before offset (clamped to the text).
int64_t line_number_at_offset(std::u32string_view text, Offset offset);

struct SymbolHit {
  std::u32string symbol;
  Offset start;
  Offset end;
  TokenType type;
};

// The symbol at or next to pos. `uncached` scans without touching the tokenizer cache (for throwaway texts).
std::optional<SymbolHit> symbol_at_pos(const TextPtr& text, Offset pos, bool uncached = false);
std::optional<SymbolHit> symbol_at_pos(std::u32string_view text, Offset pos);

// Every symbol-like token whose text equals name exactly; nothing for a blank name.
std::vector<Span> find_symbol_occurrences(std::u32string_view text, std::u32string_view name);
// Literal, non-overlapping occurrences of query, left to right; ignoring letter case unless case_sensitive.
std::vector<Span> find_text_matches(std::u32string_view text, std::u32string_view query, bool case_sensitive = false);

}  // namespace orrery
