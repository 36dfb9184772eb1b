// The reader's inner state, shared by the files that implement its parts: the text and a cursor over it, the
// stack of elements of open collections, and what the #() and #? forms being read need to remember.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelp/read/reader.hpp"

namespace kelp::read {

// Byte classes of Clojure source. A token (symbol, keyword, character name) ends at whitespace or a terminating
// macro; a number also ends at the other macro characters.
enum ByteClass : uint8_t {
  B_CONST = 0,
  B_WS = 1,    // whitespace or comma
  B_TERM = 2,  // " ; @ ^ ` ~ ( ) [ ] { } backslash
  B_MACRO = 3, // # ' %: macros that may sit inside a symbol
};

// Whether this thread's stack is nearly used up. Nesting is bounded by ReadOptions::max_depth, but how much stack
// a level takes depends on the build and how much the thread has, so reading also stops short of the stack's end.
bool stack_nearly_full();

// What one step of reading found.
enum class Got : uint8_t {
  Form,     // a form, in the out parameter
  Nothing,  // a form that reads as nothing (#_, a comment line, a #? without a matching branch, a splice)
  Close,    // the closing delimiter the caller waits for
  End,      // the end of the text
};

struct Reader::Impl {
  Impl(std::string_view source, ReadOptions options, ReaderContext* context);

  // ---- Positions and failures.
  struct Position {
    int line, column;
  };
  Position position(size_t offset);
  Position read_so_far(size_t end, std::string_view message);
  [[noreturn]] void fail(size_t offset, const std::string& message);

  // ---- The cursor.
  bool at_end() const { return pos >= text.size(); }
  void skip_trivia();
  size_t token_end(size_t start, bool number) const;
  // Whether a token ends at `at` (the end, whitespace or a terminating macro).
  bool ends_token(size_t at) const;
  // Clojure's macro characters, which end a number and stop the digits of an escape.
  static bool is_macro(char c);

  // ---- Forms (reader.cpp).
  std::optional<Value> next();
  Got read_any(Value& out, char close, bool splice_ok);
  Value read_required();
  Got read_macro(Value& out, char c, bool splice_ok);
  Value read_list();
  Value read_vector();
  Value read_map();
  Value read_set();
  // Reads elements up to `close` onto `stack`; answers where they start.
  size_t read_delimited(char close, size_t open);
  Value read_meta(size_t start);
  Value position_meta(Position p);
  static Value merge_into(Value target, const Value& m);
  Value wrap(const Value& head, Value form);

  // ---- Atoms (reader_atoms.cpp).
  Value read_string();
  Value read_regex();
  Value read_character();
  Value read_number();
  Value read_token();
  Value read_arg();
  char32_t escape_digits(size_t& i, int base, int length, bool exact);
  char32_t token_digits(std::string_view tok, size_t start, int base);
  Value auto_keyword(std::string_view tok, size_t start);
  Value arg_symbol(int64_t index);

  // ---- Dispatch forms after '#' (reader_dispatch.cpp).
  Got read_dispatch(Value& out, bool splice_ok);
  Value read_fn();
  Got read_conditional(Value& out, bool splice_ok);
  std::optional<size_t> chosen_branch(const std::vector<std::pair<std::string_view, size_t>>& branches) const;
  Value read_namespaced_map(size_t start);
  Value read_symbolic(size_t start);
  Value read_tagged(size_t start);

  std::string owned;  // a repaired copy when the source was not valid UTF-8
  std::string_view text;
  ReadOptions options;
  ReaderContext default_context;
  ReaderContext* ctx;
  Value file;  // the :file string, or nil

  size_t pos = 0;
  int depth = 0;
  int suppress = 0;                 // > 0 while reading a #? branch that is not taken
  std::vector<Value> stack;         // elements of the collections being read
  std::map<int64_t, Value>* args = nullptr;  // the % arguments of the #() being read, or null outside one

  // Recent symbols and keywords by their token text: source repeats names, and a hit skips the interning
  // table. Direct-mapped by a hash of the token; the views point into `text`.
  struct CachedToken {
    std::string_view token;
    Value value;
  };
  static constexpr size_t TOKEN_CACHE = 1024;
  static constexpr size_t SMALL_TEXT = 2048;  // texts shorter than this read without the cache
  std::vector<CachedToken> token_cache;
  Value symbol_for(std::string_view tok, size_t start);

  // Position cache: the line and column at `mark`, so positions of increasing offsets cost one pass in total.
  size_t mark = 0;
  int mark_line, mark_column;
};

// Syntax-quote's expansion of a form (reader_syntax_quote.cpp). Throws std::runtime_error("splice not in list").
Value syntax_quote(const Value& form, ReaderContext& ctx);

}  // namespace kelp::read
