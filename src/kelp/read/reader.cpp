// The Clojure reader: the cursor, positions, collections and the prefix forms (quote, deref, metadata, ...).
// Atoms and the forms after '#' live beside it in reader_atoms.cpp and reader_dispatch.cpp.
//
// The reader recurses once per level of nesting; ReadOptions::max_depth bounds that, so deep input is a reader
// error rather than a stack overflow. Elements of open collections share one stack, so reading a collection
// allocates only the collection itself.
#include "kelp/read/reader.hpp"

#include <fmt/format.h>

#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "kelp/data/error.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/pattern.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn_lexer.hpp"
#include "kelp/read/reader_impl.hpp"

namespace kelp::read {
namespace {

struct ByteTable {
  uint8_t c[256];
  constexpr ByteTable() : c{} {
    for (int i = 0; i < 256; ++i) c[i] = B_CONST;
    for (unsigned char w : {' ', '\t', '\n', '\v', '\f', '\r', ',', '\x1c', '\x1d', '\x1e', '\x1f'}) c[w] = B_WS;
    for (unsigned char m : {'"', ';', '@', '^', '`', '~', '(', ')', '[', ']', '{', '}', '\\'}) c[m] = B_TERM;
    for (unsigned char m : {'#', '\'', '%'}) c[m] = B_MACRO;
  }
};
constexpr ByteTable BYTES{};

const Value& kw_line() { static const Value k = keyword("line"); return k; }
const Value& kw_column() { static const Value k = keyword("column"); return k; }
const Value& kw_file() { static const Value k = keyword("file"); return k; }
const Value& kw_tag() { static const Value k = keyword("tag"); return k; }

// The length of the text's leading ASCII run, eight bytes at a time: most source is ASCII throughout.
size_t ascii_prefix(std::string_view t) {
  size_t i = 0;
  while (i + 8 <= t.size()) {
    uint64_t w;
    std::memcpy(&w, t.data() + i, 8);
    if (w & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < t.size() && static_cast<unsigned char>(t[i]) < 0x80) ++i;
  return i;
}

// The address below which this thread's stack is too close to its end: a quarter of the stack, at most 256 KiB,
// stays free for unwinding and for whoever called the reader.
char* stack_floor() {
  thread_local char* floor = [] {
    pthread_attr_t attr;
    void* lowest = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return static_cast<char*>(nullptr);
    pthread_attr_getstack(&attr, &lowest, &size);
    pthread_attr_destroy(&attr);
    return static_cast<char*>(lowest) + std::min<size_t>(size / 4, 256 * 1024);
  }();
  return floor;
}

// Keeps the nesting count right however the form being read is left.
struct DepthGuard {
  int& depth;
  ~DepthGuard() { --depth; }
};

}  // namespace

bool stack_nearly_full() {
  char here;
  char* floor = stack_floor();
  return floor && &here < floor;
}

// ---- Positions and failures.

Reader::Impl::Impl(std::string_view source, ReadOptions opts, ReaderContext* context)
    : options(std::move(opts)), ctx(context ? context : &default_context) {
  if (valid_utf8(source.substr(ascii_prefix(source)))) {
    text = source;
  } else {
    owned = sanitize_utf8(source);
    text = owned;
  }
  if (!options.file.empty()) file = make_string(options.file);
  mark_line = options.start_line;
  mark_column = options.start_column;
}

// Lines end at \n, \r or \r\n; columns count UTF-16 units, as JVM Clojure's line-numbering reader does.
Reader::Impl::Position Reader::Impl::position(size_t offset) {
  if (offset > text.size()) offset = text.size();
  if (offset < mark) {
    mark = 0;
    mark_line = options.start_line;
    mark_column = options.start_column;
  }
  int line = mark_line, column = mark_column;
  for (size_t i = mark; i < offset; ++i) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      if (b > '\r' || (b != '\n' && b != '\r')) {
        ++column;
      } else if (b == '\r' || i == 0 || text[i - 1] != '\r') {
        ++line;
        column = 1;
      }
    } else if ((b & 0xC0) != 0x80) {
      column += b >= 0xF0 ? 2 : 1;
    }
  }
  mark = offset;
  mark_line = line;
  mark_column = column;
  return {line, column};
}

void Reader::Impl::fail(size_t offset, const std::string& message) {
  Position p = position(offset);
  Position e = read_so_far(std::max(offset, pos), message);
  throw ReadError(message, p.line, p.column, e.line, e.column);
}

// A failed read has consumed the rest of the token it stopped in. Having met the end of the text, an unfinished last
// line counts as ended (an error found at a closing delimiter that ends the text has not met the end).
Reader::Impl::Position Reader::Impl::read_so_far(size_t end, std::string_view message) {
  end = token_end(std::min(end, text.size()), false);
  Position p = position(end);
  const char last = text.empty() ? ' ' : text.back();
  const bool met_end = end >= text.size() && (message.starts_with("EOF") || (last != ')' && last != ']' && last != '}'));
  return met_end && p.column != 1 ? Position{p.line + 1, 1} : p;
}

// ---- The cursor.

void Reader::Impl::skip_trivia() {
  const size_t n = text.size();
  while (pos < n) {
    auto b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      if (BYTES.c[b] == B_WS) {
        ++pos;
      } else if (b == ';') {
        while (pos < n && text[pos] != '\n' && text[pos] != '\r') ++pos;
      } else {
        return;
      }
    } else {
      size_t len;
      if (!edn::whitespace_at(text, pos, &len)) return;
      pos += len;
    }
  }
}

size_t Reader::Impl::token_end(size_t start, bool number) const {
  size_t i = start;
  const size_t n = text.size();
  while (i < n) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      uint8_t k = BYTES.c[b];
      if (k == B_WS || k == B_TERM || (number && k == B_MACRO)) return i;
      ++i;
    } else {
      size_t len;
      if (edn::whitespace_at(text, i, &len)) return i;
      i += len;
    }
  }
  return i;
}

bool Reader::Impl::ends_token(size_t at) const {
  if (at >= text.size()) return true;
  auto b = static_cast<unsigned char>(text[at]);
  if (b < 0x80) return BYTES.c[b] == B_WS || BYTES.c[b] == B_TERM;
  size_t len;
  return edn::whitespace_at(text, at, &len);
}

bool Reader::Impl::is_macro(char c) {
  auto b = static_cast<unsigned char>(c);
  return BYTES.c[b] == B_TERM || BYTES.c[b] == B_MACRO;
}

// ---- Forms.

std::optional<Value> Reader::Impl::next() {
  stack.clear();
  depth = 0;
  suppress = 0;
  args = nullptr;
  try {
    Value v;
    while (true) {
      switch (read_any(v, 0, false)) {
        case Got::Form: return v;
        case Got::End: return std::nullopt;
        default: break;
      }
    }
  } catch (const ValueError& e) {
    fail(pos, e.what());
  }
}

Got Reader::Impl::read_any(Value& out, char close, bool splice_ok) {
  skip_trivia();
  if (at_end()) return Got::End;
  const char c = text[pos];
  if (close && c == close) {
    ++pos;
    return Got::Close;
  }
  if (c == ')' || c == ']' || c == '}') {
    ++pos;  // read, then found to close nothing
    fail(pos - 1, std::string("Unmatched delimiter: ") + c);
  }
  auto b = static_cast<unsigned char>(c);
  if (b >= 0x80 || BYTES.c[b] == B_CONST) {
    out = edn::number_start(text, pos) ? read_number() : read_token();
    return Got::Form;
  }
  if (c == '"' || c == '\\') return read_macro(out, c, splice_ok);  // strings and characters do not nest
  // Everything else may nest: collections, prefixes and the forms after '#'.
  if (++depth > options.max_depth) {
    --depth;
    fail(pos, fmt::format("Nesting deeper than {} levels", options.max_depth));
  }
  DepthGuard guard{depth};
  if (stack_nearly_full()) fail(pos, fmt::format("Nesting too deep to read: the stack ran out at depth {}", depth));
  return read_macro(out, c, splice_ok);
}

Value Reader::Impl::read_required() {
  Value out;
  while (true) {
    switch (read_any(out, 0, false)) {
      case Got::Form: return out;
      case Got::End: fail(pos, "EOF while reading");
      default: break;
    }
  }
}

Got Reader::Impl::read_macro(Value& out, char c, bool splice_ok) {
  static const Value QUOTE = symbol("quote");
  static const Value DEREF = symbol("clojure.core", "deref");
  static const Value UNQUOTE = symbol("clojure.core", "unquote");
  static const Value UNQUOTE_SPLICING = symbol("clojure.core", "unquote-splicing");
  const size_t start = pos;
  switch (c) {
    case '(': out = read_list(); break;
    case '[': out = read_vector(); break;
    case '{': out = read_map(); break;
    case '"': out = read_string(); break;
    case '\\': out = read_character(); break;
    case '%': out = read_arg(); break;
    case '#': return read_dispatch(out, splice_ok);
    case '^': out = read_meta(start); break;
    case '\'': ++pos; out = wrap(QUOTE, read_required()); break;
    case '@': ++pos; out = wrap(DEREF, read_required()); break;
    case '~': {
      ++pos;
      bool splicing = !at_end() && text[pos] == '@';
      if (splicing) ++pos;
      out = wrap(splicing ? UNQUOTE_SPLICING : UNQUOTE, read_required());
      break;
    }
    case '`': {
      ++pos;
      Value form = read_required();
      try {
        out = syntax_quote(form, *ctx);
      } catch (const std::runtime_error& e) {
        fail(start, e.what());
      }
      break;
    }
    default: fail(pos, std::string("Unmatched delimiter: ") + c);  // a lone closer; read_any has caught the rest
  }
  return Got::Form;
}

Value Reader::Impl::wrap(const Value& head, Value form) { return make_list({head, std::move(form)}); }

size_t Reader::Impl::read_delimited(char close, size_t open) {
  const size_t base = stack.size();
  Value v;
  while (true) {
    switch (read_any(v, close, true)) {
      case Got::Form: stack.push_back(std::move(v)); break;
      case Got::Close: return base;
      case Got::End: {
        const int line = position(open).line;
        fail(pos, fmt::format("EOF while reading, starting at line {}", line));
      }
      case Got::Nothing: break;
    }
  }
}

Value Reader::Impl::position_meta(Position p) {
  if (file.is_nil()) return make_map({kw_line(), Value::integer(p.line), kw_column(), Value::integer(p.column)});
  return make_map({kw_line(), Value::integer(p.line), kw_column(), Value::integer(p.column), kw_file(), file});
}

Value Reader::Impl::read_list() {
  const size_t open = pos++;
  const Position at = position(open);  // before the elements, so the position cache only moves forward
  const size_t base = read_delimited(')', open);
  const size_t n = stack.size() - base;
  if (n == 0) return empty_list();
  Value rest = make_list(std::span<const Value>(stack.data() + base + 1, n - 1));
  Value list = Value::adopt(new List(std::move(stack[base]), std::move(rest), static_cast<int64_t>(n), position_meta(at)));
  stack.resize(base);
  return list;
}

Value Reader::Impl::read_vector() {
  const size_t open = pos++;
  const size_t base = read_delimited(']', open);
  Value v = make_vector(std::span<const Value>(stack.data() + base, stack.size() - base));
  stack.resize(base);
  return v;
}

Value Reader::Impl::read_map() {
  const size_t open = pos++;
  const size_t base = read_delimited('}', open);
  std::span<const Value> kvs(stack.data() + base, stack.size() - base);
  if (kvs.size() % 2 != 0) fail(open, "Map literal must contain an even number of forms");
  Value dup;
  std::optional<Value> m = make_map_checked(kvs, &dup);
  if (!m) fail(open, "Duplicate key: " + pr_str(dup));
  stack.resize(base);
  return std::move(*m);
}

Value Reader::Impl::read_set() {
  const size_t open = pos++;
  const size_t base = read_delimited('}', open);
  Value dup;
  std::optional<Value> s = make_set_checked(std::span<const Value>(stack.data() + base, stack.size() - base), &dup);
  if (!s) fail(open, "Duplicate key: " + pr_str(dup));
  stack.resize(base);
  return std::move(*s);
}

// ^m form: m merged onto the form's metadata. A list also takes the position of the caret.
Value Reader::Impl::read_meta(size_t start) {
  const Position at = position(start);
  pos = text[pos] == '#' ? pos + 2 : pos + 1;  // ^ or the older #^
  Value m = read_required();
  if (m.is(Kind::Symbol) || m.is(Kind::String)) {
    m = make_map({kw_tag(), m});
  } else if (m.is(Kind::Keyword)) {
    m = make_map({m, TRUE_V()});
  } else if (!is_map(m)) {
    fail(start, "Metadata must be Symbol,Keyword,String or Map");
  }
  Value form = read_required();
  if (!form.has(META)) fail(start, "Metadata can only be applied to IMetas");
  Value merged = meta(form);
  if (form.has(SEQ)) {
    merged = merge_into(merged, position_meta(at));
  }
  merged = merge_into(merged, m);
  return with_meta(form, merged);
}

Value Reader::Impl::merge_into(Value target, const Value& m) {
  m.obj()->each_entry([&](const Value& k, const Value& v) {
    target = assoc(std::move(target), k, v);
    return true;
  });
  return target;
}

// ---- The public face.

Reader::Reader(std::string_view source, ReadOptions options, ReaderContext* context)
    : impl_(new Impl(source, std::move(options), context)) {}

Reader::~Reader() { delete impl_; }

DefinitionText& last_definition_read() {
  thread_local DefinitionText last;
  return last;
}

namespace {

bool is_definition(const Value& form) {
  if (!form.is(Kind::List) || form.obj()->count() == 0) return false;
  Value sym = form.as<List>().first();
  return is_symbol(sym) && sym.as<Symbol>().name().starts_with("def");
}

// The form's own text: the span read, without the blanks, commas and comments before it.
std::string_view trimmed_form_text(std::string_view span) {
  for (;;) {
    size_t start = span.find_first_not_of(" \t\r\n,");
    if (start == std::string_view::npos) return {};
    span.remove_prefix(start);
    if (span.front() != ';') return span;
    size_t eol = span.find('\n');
    if (eol == std::string_view::npos) return {};
    span.remove_prefix(eol + 1);
  }
}

}  // namespace

std::optional<Value> Reader::next() {
  size_t start = impl_->pos;
  std::optional<Value> v = impl_->next();
  if (impl_->options.file.empty()) {
    DefinitionText& last = last_definition_read();
    last.form = nullptr;
    if (v && is_definition(*v)) {
      last.form = v->obj();
      last.text = std::string(trimmed_form_text(impl_->text.substr(start, impl_->pos - start)));
    }
  }
  return v;
}
int Reader::line() const { return impl_->position(impl_->pos).line; }
int Reader::column() const { return impl_->position(impl_->pos).column; }
size_t Reader::offset() const { return impl_->pos; }

std::optional<Value> read_one(std::string_view source, const ReadOptions& options, ReaderContext* context) {
  Reader r(source, options, context);
  return r.next();
}

std::vector<Value> read_all(std::string_view source, const ReadOptions& options, ReaderContext* context) {
  Reader r(source, options, context);
  std::vector<Value> forms;
  while (std::optional<Value> v = r.next()) forms.push_back(std::move(*v));
  return forms;
}

// ---- The context for reading outside any runtime.

std::optional<std::string> ReaderContext::resolve_alias(std::string_view) const { return std::nullopt; }

Value ReaderContext::resolve_symbol(const Value& sym) const {
  const auto& s = sym.as<Symbol>();
  if (s.has_ns()) return sym;
  return symbol(current_ns(), s.name());
}

int64_t ReaderContext::next_id() { return ++counter_; }

std::optional<Value> ReaderContext::read_tagged(const Value&, const Value&) const { return std::nullopt; }

Value ReaderContext::make_pattern(std::string_view source) const { return kelp::make_pattern(source); }

}  // namespace kelp::read
