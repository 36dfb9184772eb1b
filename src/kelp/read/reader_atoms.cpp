// Atoms of Clojure source: strings, regex text, characters, numbers, symbols and keywords, and the % arguments
// of #(). Messages follow JVM Clojure's reader word for word, since users meet them in their editors.
#include <fmt/format.h>

#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/read/edn_lexer.hpp"
#include "kelp/read/edn_symbol.hpp"
#include "kelp/read/reader_impl.hpp"

namespace kelp::read {
namespace {

int digit_value(char c, int base) {
  int d = -1;
  if (c >= '0' && c <= '9') d = c - '0';
  else if (c >= 'a' && c <= 'z') d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'Z') d = c - 'A' + 10;
  return d < base ? d : -1;
}

// The code point at text[i] as UTF-8 text, for messages.
std::string code_point_at(std::string_view text, size_t i) {
  size_t len;
  edn::peek_cp(text, i, &len);
  return std::string(text.substr(i, len));
}

// Plain decimal integers of up to 18 digits, the common case, without the general number parser.
std::optional<int64_t> small_integer(std::string_view tok) {
  size_t i = (tok[0] == '-' || tok[0] == '+') ? 1 : 0;
  size_t digits = tok.size() - i;
  if (digits == 0 || digits > 18 || (tok[i] == '0' && digits > 1)) return std::nullopt;
  int64_t v = 0;
  for (size_t k = i; k < tok.size(); ++k) {
    if (!edn::ascii_digit(tok[k])) return std::nullopt;
    v = v * 10 + (tok[k] - '0');
  }
  return tok[0] == '-' ? -v : v;
}

}  // namespace

// ---- Strings.

Value Reader::Impl::read_string() {
  const size_t n = text.size();
  size_t i = pos + 1;
  size_t j = i;
  while (j < n && text[j] != '"' && text[j] != '\\') ++j;
  if (j < n && text[j] == '"') {  // no escapes: the text as it stands
    pos = j + 1;
    return Value::adopt(new String(std::string(text.substr(i, j - i))));
  }
  std::string buf(text.substr(i, j - i));
  i = j;
  char32_t high = 0;  // a high surrogate from \uXXXX waiting for its low half
  auto flush_high = [&] {
    if (high) append_utf8(buf, 0xFFFD);
    high = 0;
  };
  while (true) {
    if (i >= n) fail(n, "EOF while reading string");
    const char c = text[i];
    if (c == '"') break;
    if (c != '\\') {
      flush_high();
      size_t k = i;
      while (k < n && text[k] != '"' && text[k] != '\\') ++k;
      buf.append(text.substr(i, k - i));
      i = k;
      continue;
    }
    if (i + 1 >= n) fail(n, "EOF while reading string");
    const char e = text[i + 1];
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
        if (i >= n) fail(n, "EOF while reading string");
        if (digit_value(text[i], 16) < 0) fail(i, "Invalid unicode escape: \\u" + code_point_at(text, i));
        cp = escape_digits(i, 16, 4, true);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          flush_high();
          high = cp;
          continue;
        }
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
          cp = high ? 0x10000 + ((high - 0xD800) << 10) + (cp - 0xDC00) : 0xFFFD;
          high = 0;
        }
        break;
      }
      default:
        if (e < '0' || e > '7') fail(i - 2, "Unsupported escape character: \\" + code_point_at(text, i - 1));
        --i;
        cp = escape_digits(i, 8, 3, false);
        if (cp > 0377) fail(i, "Octal escape sequence must be in range [0, 377].");
        break;
    }
    flush_high();
    append_utf8(buf, cp);
  }
  flush_high();
  pos = i + 1;
  return Value::adopt(new String(std::move(buf)));
}

// Up to `length` digits of `base` from text[i], stopping early at whitespace or a macro character; with `exact`,
// fewer digits are an error.
char32_t Reader::Impl::escape_digits(size_t& i, int base, int length, bool exact) {
  char32_t v = 0;
  int count = 0;
  for (; count < length && i < text.size(); ++count) {
    const char c = text[i];
    size_t len;
    if (edn::whitespace_at(text, i, &len) || is_macro(c)) break;
    int d = digit_value(c, base);
    if (d < 0) fail(i, "Invalid digit: " + code_point_at(text, i));
    v = v * base + d;
    ++i;
  }
  if (exact && count != length) fail(i, fmt::format("Invalid character length: {}, should be: {}", count, length));
  return v;
}

// #"...": the text between the quotes, raw; a backslash only keeps the next character from ending it.
Value Reader::Impl::read_regex() {
  const size_t start = pos - 1;
  size_t j = pos + 1;
  const size_t n = text.size();
  while (j < n && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
  if (j >= n) fail(n, "EOF while reading regex");
  std::string_view source = text.substr(pos + 1, j - pos - 1);
  pos = j + 1;
  try {
    return ctx->make_pattern(source);
  } catch (const std::runtime_error& e) {
    fail(start, e.what());
  }
}

// ---- Characters.

Value Reader::Impl::read_character() {
  const size_t start = pos++;
  if (at_end()) fail(pos, "EOF while reading character");
  size_t len;
  const char32_t first = edn::peek_cp(text, pos, &len);
  const size_t end = token_end(pos + len, false);
  const std::string_view tok = text.substr(pos, end - pos);
  pos = end;
  if (len == tok.size()) return Value::character(first);
  static constexpr std::pair<std::string_view, char32_t> NAMES[] = {
      {"newline", '\n'}, {"space", ' '}, {"tab", '\t'}, {"backspace", '\b'}, {"formfeed", '\f'}, {"return", '\r'}};
  for (auto [name, c] : NAMES) {
    if (tok == name) return Value::character(c);
  }
  if (tok[0] == 'u') {
    if (tok.size() != 5) fail(start, "Invalid unicode character: \\" + std::string(tok));
    char32_t c = token_digits(tok, start, 16);
    if (c >= 0xD800 && c <= 0xDFFF) fail(start, fmt::format("Invalid character constant: \\u{:x}", uint32_t(c)));
    return Value::character(c);
  }
  if (tok[0] == 'o') {
    if (tok.size() - 1 > 3) fail(start, fmt::format("Invalid octal escape sequence length: {}", tok.size() - 1));
    char32_t c = token_digits(tok, start, 8);
    if (c > 0377) fail(start, "Octal escape sequence must be in range [0, 377].");
    return Value::character(c);
  }
  fail(start, "Unsupported character: \\" + std::string(tok));
}

// The digits after the first letter of a \uXXXX or \oNNN token.
char32_t Reader::Impl::token_digits(std::string_view tok, size_t start, int base) {
  char32_t v = 0;
  for (size_t k = 1; k < tok.size(); ++k) {
    int d = digit_value(tok[k], base);
    if (d < 0) fail(start, "Invalid digit: " + code_point_at(tok, k));
    v = v * base + d;
  }
  return v;
}

// ---- Numbers, symbols and keywords.

Value Reader::Impl::read_number() {
  const size_t start = pos;
  const size_t end = token_end(pos, true);
  const std::string_view tok = text.substr(pos, end - pos);
  pos = end;
  if (std::optional<int64_t> fast = small_integer(tok)) return Value::integer(*fast);
  std::string err;
  std::optional<Value> v = parse_number(tok, &err);
  if (!v) fail(start, err.empty() ? "Invalid number: " + std::string(tok) : err);
  return std::move(*v);
}

Value Reader::Impl::read_token() {
  const size_t start = pos;
  const size_t end = token_end(pos, false);
  const std::string_view tok = text.substr(pos, end - pos);
  pos = end;
  if (tok == "nil") return NIL;
  if (tok == "true") return TRUE_V();
  if (tok == "false") return FALSE_V();
  if (tok.starts_with("::")) return auto_keyword(tok, start);
  return symbol_for(tok, start);
}

Value Reader::Impl::symbol_for(std::string_view tok, size_t start) {
  if (text.size() < SMALL_TEXT) {
    // Short texts (arglists, read-string) repeat few tokens: the cache would cost more to set up than it saves.
    std::optional<Value> v = edn::match_symbol(tok);
    if (!v) fail(start, "Invalid token: " + std::string(tok));
    return std::move(*v);
  }
  uint32_t h = 2166136261u;  // FNV-1a
  for (char c : tok) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  if (token_cache.empty()) token_cache.resize(TOKEN_CACHE);
  CachedToken& slot = token_cache[h & (TOKEN_CACHE - 1)];
  if (slot.token == tok && !slot.token.empty()) return slot.value;
  std::optional<Value> v = edn::match_symbol(tok);
  if (!v) fail(start, "Invalid token: " + std::string(tok));
  slot = CachedToken{tok, *v};
  return std::move(*v);
}

// ::k in the current namespace, ::alias/k in the namespace the alias names.
Value Reader::Impl::auto_keyword(std::string_view tok, size_t start) {
  std::optional<Value> k = edn::match_symbol(tok.substr(1));
  if (!k || !k->is(Kind::Keyword)) fail(start, "Invalid token: " + std::string(tok));
  const auto& kw = k->as<Keyword>();
  if (!kw.has_ns()) return keyword(ctx->current_ns(), kw.name());
  if (std::optional<std::string> ns = ctx->resolve_alias(kw.ns())) return keyword(*ns, kw.name());
  if (suppress) return *k;  // a branch not taken may name aliases of another platform
  fail(start, "Invalid token: " + std::string(tok));
}

// % %n %& inside #(): the parameter symbol, made on first use. Outside #() a % starts a plain symbol.
Value Reader::Impl::read_arg() {
  if (!args) return read_token();
  const size_t start = pos++;
  if (ends_token(pos)) return arg_symbol(1);
  Value n = read_required();
  if (n.is(Kind::Symbol) && !n.as<Symbol>().has_ns() && n.as<Symbol>().name() == "&") return arg_symbol(-1);
  int64_t index;
  if (n.is_int()) index = n.as_int();
  else if (n.is_double() && n.as_double() > -2 && n.as_double() < 1e9) index = static_cast<int64_t>(n.as_double());
  else fail(start, "arg literal must be %, %& or %integer");
  // A function takes at most 20 positional parameters; larger literals would only make a huge vector.
  if (index > 20) fail(start, "Can't specify more than 20 params");
  return arg_symbol(index);
}

Value Reader::Impl::arg_symbol(int64_t index) {
  if (suppress) return symbol("%");  // a branch not taken must not add parameters
  auto it = args->find(index);
  if (it != args->end()) return it->second;
  Value sym = symbol(fmt::format("{}__{}#", index == -1 ? std::string("rest") : fmt::format("p{}", index), ctx->next_id()));
  args->emplace(index, sym);
  return sym;
}

}  // namespace kelp::read
