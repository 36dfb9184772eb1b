// The Clojure reader: source text to forms.
//
// Reads all of Clojure's syntax, including the parts that need the runtime (auto-resolved keywords, syntax-quote,
// reader conditionals, tagged literals). What it needs from the runtime comes through ReaderContext, so the reader
// itself depends only on values. Lists read from source carry :line and :column metadata (and :file when a file
// name is given), as JVM Clojure's reader gives them.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"

namespace kelp::read {

// A reader error names the place it was found (1-based line and column), and how far the reader had read when it
// gave up: past the offending character or token, or one line past the end at the end of the text. The latter is
// the place JVM Clojure names in "Syntax error reading source at (L:C)".
struct ReadError : std::runtime_error {
  ReadError(const std::string& message, int line, int column, int end_line = 0, int end_column = 0)
      : std::runtime_error(message), line(line), column(column), end_line(end_line), end_column(end_column) {}
  int line;
  int column;
  int end_line;
  int end_column;
};

// What the reader asks of the runtime. The defaults suit reading plain data outside any namespace.
class ReaderContext {
 public:
  virtual ~ReaderContext() = default;
  // The current namespace's name, for ::k and syntax-quote.
  virtual std::string current_ns() const { return "user"; }
  // The namespace an alias stands for in the current namespace (for ::alias/k and `alias/x), or nullopt.
  virtual std::optional<std::string> resolve_alias(std::string_view alias) const;
  // Syntax-quote's resolution of a symbol without a namespace that is not a special form and does not end in '.':
  // the var or class it names (clojure.core/map, java.lang.String), or current-ns/sym when it names nothing.
  // A qualified symbol comes here too, so an alias in its namespace part can be expanded.
  virtual Value resolve_symbol(const Value& sym) const;
  // A fresh number for gensyms (x# -> x__123__auto__).
  virtual int64_t next_id();
  // A tagged literal other than #inst and #uuid: the value, or nullopt when no reader function is known for the tag
  // (the reader then fails with "No reader function for tag NAME").
  virtual std::optional<Value> read_tagged(const Value& tag, const Value& form) const;
  // #"regex": the pattern value for the source text between the quotes (escapes are kept as written).
  virtual Value make_pattern(std::string_view source) const;

 private:
  int64_t counter_ = 0;
};

struct ReadOptions {
  std::string file;                                // "" when reading from a string; otherwise put in :file metadata
  std::vector<std::string> features{"kelp", "clj"};  // reader-conditional features, tried in order, then :default
  bool allow_reader_conditionals = true;           // false: #? is an error ("Conditional read not allowed")
  bool preserve_reader_conditionals = false;       // true: #?(...) reads as a ReaderConditional, no branch chosen
  int max_depth = 10000;                           // nesting deeper than this is a reader error, not a crash
  int start_line = 1;                              // positions of text that starts inside a larger file
  int start_column = 1;
};

// Reads forms one at a time from text.
class Reader {
 public:
  Reader(std::string_view source, ReadOptions options = {}, ReaderContext* context = nullptr);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The next form, or nullopt at the end of the text. Throws ReadError.
  std::optional<Value> next();
  // The position after the last form read (1-based), and the offset in bytes.
  int line() const;
  int column() const;
  size_t offset() const;

 private:
  struct Impl;
  Impl* impl_;
};

// Reads the first form of text (nullopt when there is none). Throws ReadError.
// The text of the last definition a reader without a file read on this thread ((def...), (defn ...), any list
// headed by a def... symbol), with the form read, so that the REPL can keep the source of what it defines.
// The form is known by its address only: the record must not own a value past the runtime's life on this thread.
struct DefinitionText {
  const void* form = nullptr;
  std::string text;
};
DefinitionText& last_definition_read();

std::optional<Value> read_one(std::string_view source, const ReadOptions& options = {},
                              ReaderContext* context = nullptr);
// Reads every form of text. Throws ReadError.
std::vector<Value> read_all(std::string_view source, const ReadOptions& options = {},
                            ReaderContext* context = nullptr);

}  // namespace kelp::read
