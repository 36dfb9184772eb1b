// The EDN reader. It keeps its own stack of open collections and pending prefixes (#_, ^, #inst, ##) instead of
// recursing, so nesting depth is bounded by EdnLimits rather than by the thread's stack.
#include "kelp/read/edn.hpp"

#include <fmt/format.h>

#include <new>
#include <span>
#include <vector>

#include "kelp/data/error.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn_lexer.hpp"
#include "kelp/read/edn_symbol.hpp"

namespace kelp {
namespace {

using namespace edn;

enum class FrameKind : uint8_t { List, Vector, Map, Set, NsMap, Discard, MetaWanted, MetaTarget, Tag, Symbolic };

struct Frame {
  FrameKind kind;
  size_t open;      // byte offset of the opening character
  size_t base = 0;  // collections: where their elements start on the value stack
  Value extra;      // metadata waiting for its form; the namespace of a namespaced map; the tag symbol
};

bool is_collection(FrameKind k) { return k <= FrameKind::NsMap; }

char closer(FrameKind k) {
  switch (k) {
    case FrameKind::List: return ')';
    case FrameKind::Vector: return ']';
    default: return '}';
  }
}

std::string describe(const Frame& f) {
  switch (f.kind) {
    case FrameKind::List: return "list";
    case FrameKind::Vector: return "vector";
    case FrameKind::Map: return "map";
    case FrameKind::Set: return "set";
    case FrameKind::NsMap: return "namespaced map";
    case FrameKind::Discard: return "#_";
    case FrameKind::MetaWanted:
    case FrameKind::MetaTarget: return "^";
    case FrameKind::Tag: {
      std::string tag(1, '#');
      tag += str_view(f.extra);
      return tag;
    }
    case FrameKind::Symbolic: return "##";
  }
  return "form";
}

// A short printed form of a value for messages.
std::string brief(const Value& v) {
  std::string s = pr_str(v, PrintOptions{4, 2});
  if (s.size() > 60) s = s.substr(0, 57) + "...";
  return s;
}

class Reader {
 public:
  Reader(std::string_view text, const EdnLimits& limits) : t_(text), limits_(limits) {}

  Result<Value> run() {
    if (t_.size() > limits_.max_bytes) {
      return Failure{fmt::format("The text is longer than the {} bytes this reader accepts.", limits_.max_bytes), 0, 0};
    }
    if (!check_utf8()) return fail_;
    while (step()) {
    }
    if (failed_) return fail_;
    if (!frames_.empty()) return unexpected_end(frames_.back());
    if (!have_result_) {
      return failure_at(t_.size(), "Unexpected end of text at \xFF: the text holds no value");
    }
    return std::move(result_);
  }

 private:
  // ---- Failures and positions.

  struct Position {
    int line, column;
  };

  Position locate(size_t offset) const {
    Position p{1, 1};
    for (size_t i = 0; i < offset && i < t_.size(); ++i) {
      auto b = static_cast<unsigned char>(t_[i]);
      if (b == '\n') {
        ++p.line;
        p.column = 1;
      } else if ((b & 0xC0) != 0x80) {
        ++p.column;
      }
    }
    return p;
  }

  std::string where(size_t offset) const {
    Position p = locate(offset);
    return fmt::format("line {}, column {}", p.line, p.column);
  }

  // `pattern` holds one byte 0xFF (never part of valid UTF-8 text, so never part of quoted input) where
  // "line L, column C" goes; the sentence gets its full stop here.
  Failure failure_at(size_t offset, std::string_view pattern) {
    Position p = locate(offset);
    std::string msg(pattern);
    if (size_t at = msg.find('\xFF'); at != std::string::npos) {
      msg.replace(at, 1, fmt::format("line {}, column {}", p.line, p.column));
    }
    if (msg.empty() || msg.back() != '.') msg += '.';
    return Failure{std::move(msg), p.line, p.column};
  }

  bool fail(size_t offset, std::string_view pattern) {
    fail_ = failure_at(offset, pattern);
    failed_ = true;
    return false;
  }

  Failure unexpected_end(const Frame& f) {
    std::string what = describe(f);
    if (is_collection(f.kind)) {
      return failure_at(f.open, "Unexpected end of text: the " + what + " opened at \xFF is never closed");
    }
    return failure_at(f.open, "Unexpected end of text: the " + what + " at \xFF has no form after it");
  }

  bool check_utf8() {
    size_t i = 0;
    const size_t n = t_.size();
    while (i < n) {
      while (i + 8 <= n) {
        uint64_t w;
        __builtin_memcpy(&w, t_.data() + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
      }
      if (i >= n) break;
      if (static_cast<unsigned char>(t_[i]) < 0x80) {
        ++i;
        continue;
      }
      size_t j = i;
      char32_t c = decode_utf8(t_, j);
      if (c == 0xFFFD && t_.substr(i, 3) != "\xEF\xBF\xBD") {
        return fail(i, "Invalid UTF-8 at \xFF: the text is not valid Unicode text");
      }
      i = j;
    }
    return true;
  }

  // ---- The main loop: one form start, closing delimiter or prefix per step. Answers false when done or failed.

  bool step() {
    pos_ = skip_trivia(t_, pos_);
    if (pos_ >= t_.size()) return false;
    const char c = t_[pos_];
    if (c == ')' || c == ']' || c == '}') return close(c);
    if (c == '#' && pos_ + 1 < t_.size() && t_[pos_ + 1] == '_') return push_prefix(FrameKind::Discard, 2);
    if (frames_.empty() && have_result_) {
      return fail(pos_, "Unexpected text at \xFF: the text holds more than one value");
    }
    switch (c) {
      case '(': return open(FrameKind::List, 1);
      case '[': return open(FrameKind::Vector, 1);
      case '{': return open(FrameKind::Map, 1);
      case '^': return push_prefix(FrameKind::MetaWanted, 1);
      case '#': return dispatch();
      case '"': return read_string();
      case '\\': return read_char();
      default: return read_token();
    }
  }

  bool depth_ok() {
    if (static_cast<int64_t>(frames_.size()) >= limits_.max_depth) {
      return fail(pos_, fmt::format("Nesting deeper than {} levels at ", limits_.max_depth) + "\xFF");
    }
    return true;
  }

  bool open(FrameKind kind, size_t width, Value extra = NIL) {
    if (!depth_ok()) return false;
    frames_.push_back(Frame{kind, pos_, values_.size(), std::move(extra)});
    pos_ += width;
    return true;
  }

  bool push_prefix(FrameKind kind, size_t width, Value extra = NIL) {
    if (!depth_ok()) return false;
    frames_.push_back(Frame{kind, pos_, 0, std::move(extra)});
    pos_ += width;
    return true;
  }

  bool close(char c) {
    const size_t at = pos_;
    std::string delim(1, c);
    if (frames_.empty()) return fail(at, "Unmatched delimiter " + delim + " at \xFF");
    Frame& f = frames_.back();
    if (!is_collection(f.kind)) {
      return fail(at, "Unmatched delimiter " + delim + " at \xFF: the " + describe(f) + " at " + where(f.open) +
                          " has no form after it");
    }
    if (closer(f.kind) != c) {
      return fail(at, "Unmatched delimiter " + delim + " at \xFF: the " + describe(f) + " opened at " + where(f.open) +
                          " is closed by " + std::string(1, closer(f.kind)));
    }
    std::span<const Value> items(values_.data() + f.base, values_.size() - f.base);
    std::optional<Value> v = build(f, items);
    if (!v) return false;
    values_.resize(f.base);
    frames_.pop_back();
    ++pos_;
    return deliver(std::move(*v), at);
  }

  std::optional<Value> build(const Frame& f, std::span<const Value> items) {
    switch (f.kind) {
      case FrameKind::List: return make_list(items);
      case FrameKind::Vector: return make_vector(items);
      case FrameKind::Set: {
        Value dup;
        auto s = make_set_checked(items, &dup);
        if (!s) fail(f.open, "Duplicate member " + brief(dup) + " in the set opened at \xFF");
        return s;
      }
      case FrameKind::Map:
      case FrameKind::NsMap: {
        if (items.size() % 2 != 0) {
          fail(f.open, "The " + describe(f) + " opened at \xFF has a key with no value");
          return std::nullopt;
        }
        std::vector<Value> qualified;
        if (f.kind == FrameKind::NsMap) {
          qualified.assign(items.begin(), items.end());
          for (size_t i = 0; i < qualified.size(); i += 2) {
            Value q = qualify_key(qualified[i], str_view(f.extra));
            // A name that is valid alone may not be with a namespace (:2a is a keyword, :ns/2a is not); such a
            // key could never be printed readably, so it is refused here.
            if (!q.identical(qualified[i]) && !readable_name(q)) {
              fail(f.open, "The key " + brief(qualified[i]) + " of the namespaced map opened at \xFF cannot take its namespace");
              return std::nullopt;
            }
            qualified[i] = std::move(q);
          }
          items = qualified;
        }
        Value dup;
        auto m = make_map_checked(items, &dup);
        if (!m) fail(f.open, "Duplicate key " + brief(dup) + " in the " + describe(f) + " opened at \xFF");
        return m;
      }
      default: return std::nullopt;
    }
  }

  static bool readable_name(const Value& name) {
    std::string text = pr_str(name);
    if (text == "nil" || text == "true" || text == "false" || text[0] == '#' || number_start(text, 0)) return false;
    std::optional<Value> back = match_symbol(text);
    return back && equiv(*back, name);
  }


  // Hands a finished form to whatever waits for it: the open collection, a pending prefix, or the top level.
  bool deliver(Value v, size_t start) {
    while (true) {
      if (frames_.empty()) {
        result_ = std::move(v);
        have_result_ = true;
        return true;
      }
      Frame& f = frames_.back();
      switch (f.kind) {
        case FrameKind::List:
        case FrameKind::Vector:
        case FrameKind::Map:
        case FrameKind::Set:
        case FrameKind::NsMap: values_.push_back(std::move(v)); return true;
        case FrameKind::Discard: frames_.pop_back(); return true;
        case FrameKind::MetaWanted: {
          if (v.is(Kind::Symbol) || v.is(Kind::String)) {
            f.extra = make_map({keyword("tag"), v});
          } else if (v.is(Kind::Keyword)) {
            f.extra = make_map({v, TRUE_V()});
          } else if (is_map(v)) {
            f.extra = v;
          } else {
            return fail(start, "Metadata must be a symbol, keyword, string or map, at \xFF");
          }
          f.kind = FrameKind::MetaTarget;
          return true;
        }
        case FrameKind::MetaTarget: {
          if (!v.has(META)) return fail(start, "Metadata cannot be applied to " + brief(v) + " at \xFF");
          Value m = meta(v);
          f.extra.obj()->each_entry([&](const Value& k, const Value& x) {
            m = assoc(m, k, x);
            return true;
          });
          if (count(f.extra) > 0) v = with_meta(v, m);
          frames_.pop_back();
          break;
        }
        case FrameKind::Tag: {
          std::optional<Value> tagged = apply_tag(f, v, start);
          if (!tagged) return false;
          v = std::move(*tagged);
          frames_.pop_back();
          break;
        }
        case FrameKind::Symbolic: {
          double d;
          if (!symbolic_value(v, &d)) return fail(f.open, "Invalid symbolic value ##" + brief(v) + " at \xFF");
          v = Value::real(d);
          start = f.open;
          frames_.pop_back();
          break;
        }
      }
    }
  }

  static bool symbolic_value(const Value& v, double* d) {
    if (!v.is(Kind::Symbol) || v.as<Symbol>().has_ns()) return false;
    std::string_view n = v.as<Symbol>().name();
    if (n == "Inf") *d = __builtin_inf();
    else if (n == "-Inf") *d = -__builtin_inf();
    else if (n == "NaN") *d = __builtin_nan("");
    else return false;
    return true;
  }

  std::optional<Value> apply_tag(const Frame& f, const Value& v, size_t start) {
    const bool inst = str_view(f.extra) == "inst";
    if (!v.is(Kind::String)) {
      fail(start, inst ? "An #inst needs a string for its timestamp, at \xFF" : "A #uuid needs a string, at \xFF");
      return std::nullopt;
    }
    if (inst) {
      std::string err;
      auto ms = parse_inst(str_view(v), &err);
      if (!ms) {
        fail(start, "Invalid #inst " + brief(v) + " at \xFF" + (err.empty() ? "" : ": " + err));
        return std::nullopt;
      }
      return make_inst(*ms);
    }
    auto u = parse_uuid(str_view(v));
    if (!u) fail(start, "Invalid #uuid " + brief(v) + " at \xFF");
    return u;
  }

  // ---- Dispatch forms after '#'.

  bool dispatch() {
    if (pos_ + 1 >= t_.size()) return fail(pos_, "Unexpected end of text after the # at \xFF");
    const char d = t_[pos_ + 1];
    switch (d) {
      case '{': return open(FrameKind::Set, 2);
      case '^': return push_prefix(FrameKind::MetaWanted, 2);
      case '#': return push_prefix(FrameKind::Symbolic, 2);
      case ':': return open_namespaced_map();
      case '<': return fail(pos_, "Unreadable form at \xFF");
      default: break;
    }
    const bool letter = (d >= 'a' && d <= 'z') || (d >= 'A' && d <= 'Z') || static_cast<unsigned char>(d) >= 0x80;
    if (!letter) {
      size_t len;
      peek_cp(t_, pos_ + 1, &len);
      return fail(pos_, "No dispatch macro for #" + std::string(t_.substr(pos_ + 1, len)) + " at \xFF");
    }
    size_t end = token_end(t_, pos_ + 1, false);
    std::string_view tag = t_.substr(pos_ + 1, end - pos_ - 1);
    if (tag != "inst" && tag != "uuid") return fail(pos_, "No reader function for tag #" + std::string(tag) + " at \xFF");
    return push_prefix(FrameKind::Tag, end - pos_, make_string(tag));
  }

  bool open_namespaced_map() {
    size_t p = skip_trivia(t_, pos_ + 2);
    size_t end = p < t_.size() ? token_end(t_, p, false) : p;
    std::string_view ns = t_.substr(p, end - p);
    std::optional<Value> sym;
    if (!ns.empty() && ns[0] != '#' && !number_start(t_, p) && ns != "nil" && ns != "true" && ns != "false") {
      sym = match_symbol(ns);
    }
    if (!sym || !sym->is(Kind::Symbol) || sym->as<Symbol>().has_ns()) {
      return fail(pos_, "A namespaced map needs a namespace without a slash, at \xFF");
    }
    size_t len;
    while (end < t_.size() && whitespace_at(t_, end, &len)) end += len;
    if (end >= t_.size() || t_[end] != '{') return fail(pos_, "The namespaced map at \xFF needs a map after its namespace");
    Value name = make_string(sym->as<Symbol>().name());
    if (!depth_ok()) return false;
    frames_.push_back(Frame{FrameKind::NsMap, pos_, values_.size(), std::move(name)});
    pos_ = end + 1;
    return true;
  }

  // ---- Atoms.

  bool read_string() {
    const size_t open = pos_;
    size_t i = pos_ + 1;
    const size_t n = t_.size();
    size_t j = i;
    while (j < n && t_[j] != '"' && t_[j] != '\\') ++j;
    if (j < n && t_[j] == '"') {
      pos_ = j + 1;
      return deliver(Value::adopt(new String(std::string(t_.substr(i, j - i)))), open);
    }
    std::string buf(t_.substr(i, j - i));
    i = j;
    char32_t pending_high = 0;  // a high surrogate from \uXXXX waiting for its low half
    auto flush_high = [&] {
      if (pending_high) append_utf8(buf, 0xFFFD);
      pending_high = 0;
    };
    while (true) {
      if (i >= n) return fail(open, "Unexpected end of text: the string opened at \xFF is never closed");
      char c = t_[i];
      if (c == '"') break;
      if (c != '\\') {
        flush_high();
        size_t k = i;
        while (k < n && t_[k] != '"' && t_[k] != '\\') ++k;
        buf.append(t_.substr(i, k - i));
        i = k;
        continue;
      }
      const size_t esc = i;
      if (i + 1 >= n) return fail(open, "Unexpected end of text: the string opened at \xFF is never closed");
      char e = t_[i + 1];
      i += 2;
      char32_t cp;
      switch (e) {
        case 't': cp = '\t'; break;
        case 'r': cp = '\r'; break;
        case 'n': cp = '\n'; break;
        case 'b': cp = '\b'; break;
        case 'f': cp = '\f'; break;
        case '\\': cp = '\\'; break;
        case '"': cp = '"'; break;
        case 'u': {
          if (!hex4(i, &cp)) return fail(esc, "Invalid unicode escape in the string at \xFF: \\u needs four hex digits");
          i += 4;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            flush_high();
            pending_high = cp;
            continue;
          }
          if (cp >= 0xDC00 && cp <= 0xDFFF) {
            if (pending_high) {
              cp = 0x10000 + ((pending_high - 0xD800) << 10) + (cp - 0xDC00);
              pending_high = 0;
            } else {
              cp = 0xFFFD;
            }
          }
          break;
        }
        default: {
          if (!ascii_digit(e)) {
            size_t len;
            peek_cp(t_, i - 1, &len);
            return fail(esc, "Unsupported escape character \\" + std::string(t_.substr(i - 1, len)) +
                                 " in the string at \xFF");
          }
          if (!octal_escape(e, i, &cp)) return fail(esc, "Invalid octal escape in the string at \xFF: it must be \\0 to \\377");
          break;
        }
      }
      flush_high();
      append_utf8(buf, cp);
    }
    flush_high();
    pos_ = i + 1;
    return deliver(Value::adopt(new String(std::move(buf))), open);
  }

  bool hex4(size_t i, char32_t* out) const {
    if (i + 4 > t_.size()) return false;
    char32_t v = 0;
    for (size_t k = i; k < i + 4; ++k) {
      int d = hex_digit(t_[k]);
      if (d < 0) return false;
      v = v * 16 + d;
    }
    *out = v;
    return true;
  }

  static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Up to three octal digits, the first already consumed; stops early at whitespace or a macro character.
  bool octal_escape(char first, size_t& i, char32_t* out) const {
    if (first > '7') return false;
    char32_t v = first - '0';
    for (int k = 1; k < 3 && i < t_.size(); ++k) {
      auto b = static_cast<unsigned char>(t_[i]);
      size_t len;
      if (whitespace_at(t_, i, &len) || (b < 0x80 && ascii_class(b) >= C_MACRO)) break;
      if (b < '0' || b > '7') return false;
      v = v * 8 + (b - '0');
      ++i;
    }
    *out = v;
    return v <= 0377;
  }

  bool read_char() {
    const size_t start = pos_;
    if (pos_ + 1 >= t_.size()) return fail(start, "Unexpected end of text after the \\ at \xFF");
    size_t end = char_end(t_, pos_);
    std::string_view tok = t_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end;
    size_t len;
    char32_t first = peek_cp(tok, 0, &len);
    if (len == tok.size()) return deliver(Value::character(first), start);
    static constexpr std::pair<std::string_view, char32_t> NAMES[] = {
        {"newline", '\n'}, {"space", ' '}, {"tab", '\t'}, {"backspace", '\b'}, {"formfeed", '\f'}, {"return", '\r'}};
    for (auto [name, c] : NAMES) {
      if (tok == name) return deliver(Value::character(c), start);
    }
    const std::string bad = "Unsupported character \\" + std::string(tok) + " at \xFF";
    if (tok[0] == 'u') {
      char32_t c;
      if (tok.size() != 5 || !hex4(start + 2, &c)) return fail(start, bad);
      if (c >= 0xD800 && c <= 0xDFFF) return fail(start, "Invalid character \\" + std::string(tok) + " at \xFF: a lone surrogate is not a character");
      return deliver(Value::character(c), start);
    }
    if (tok[0] == 'o' && tok.size() <= 4) {
      char32_t c = 0;
      for (char d : tok.substr(1)) {
        if (d < '0' || d > '7') return fail(start, bad);
        c = c * 8 + (d - '0');
      }
      if (c > 0377) return fail(start, "Invalid character \\" + std::string(tok) + " at \xFF: octal characters go up to \\o377");
      return deliver(Value::character(c), start);
    }
    return fail(start, bad);
  }

  bool read_token() {
    const size_t start = pos_;
    if (number_start(t_, pos_)) {
      size_t end = token_end(t_, pos_, true);
      std::string_view tok = t_.substr(pos_, end - pos_);
      pos_ = end;
      if (auto fast = small_integer(tok)) return deliver(Value::integer(*fast), start);
      std::string err;
      std::optional<Value> v = parse_number(tok, &err);
      if (!v) {
        std::string why = err.empty() || err.starts_with("Invalid number") ? "" : ": " + err;
        return fail(start, "Invalid number " + std::string(tok) + " at \xFF" + why);
      }
      return deliver(std::move(*v), start);
    }
    size_t end = token_end(t_, pos_, false);
    std::string_view tok = t_.substr(pos_, end - pos_);
    pos_ = end;
    if (tok == "nil") return deliver(NIL, start);
    if (tok == "true") return deliver(TRUE_V(), start);
    if (tok == "false") return deliver(FALSE_V(), start);
    std::optional<Value> v = match_symbol(tok);
    if (!v) return fail(start, "Invalid token " + std::string(tok) + " at \xFF");
    return deliver(std::move(*v), start);
  }

  // Plain decimal integers of up to 18 digits, the common case, without the general number parser.
  static std::optional<int64_t> small_integer(std::string_view tok) {
    size_t i = (tok[0] == '-' || tok[0] == '+') ? 1 : 0;
    size_t digits = tok.size() - i;
    if (digits == 0 || digits > 18 || (tok[i] == '0' && digits > 1)) return std::nullopt;
    int64_t v = 0;
    for (size_t k = i; k < tok.size(); ++k) {
      if (!ascii_digit(tok[k])) return std::nullopt;
      v = v * 10 + (tok[k] - '0');
    }
    return tok[0] == '-' ? -v : v;
  }

  std::string_view t_;
  const EdnLimits& limits_;
  size_t pos_ = 0;
  std::vector<Frame> frames_;
  std::vector<Value> values_;
  Value result_;
  bool have_result_ = false;
  Failure fail_;
  bool failed_ = false;
};

}  // namespace

Result<Value> read_edn(std::string_view text, const EdnLimits& limits) {
  try {
    Reader r(text, limits);
    return r.run();
  } catch (const ValueError& e) {
    return Failure{std::string("The text could not be read: ") + e.what() + ".", 0, 0};
  } catch (const std::bad_alloc&) {
    return Failure{"The text is too large to read into memory.", 0, 0};
  } catch (const std::exception& e) {
    return Failure{std::string("The text could not be read: ") + e.what() + ".", 0, 0};
  }
}

}  // namespace kelp
