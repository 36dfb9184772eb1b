#include "orrery/mcp/json.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"

namespace orrery::mcp {
namespace {

using kelp::Value;

// --- Before the reader: the JSON reader refuses escaped surrogate pairs and numbers beyond a double's range, which
// clients do send (an emoji escaped by an ASCII-only writer, a huge id), so the text is repaired first.

std::optional<char32_t> hex4(std::string_view s, size_t at) {
  if (at + 4 > s.size()) return std::nullopt;
  char32_t v = 0;
  for (size_t i = at; i < at + 4; ++i) {
    char c = s[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return std::nullopt;
    v = v * 16 + static_cast<char32_t>(d);
  }
  return v;
}

bool is_high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The escape starting at s[at] (a backslash inside a string), copied or repaired into out; answers its length.
size_t copy_escape(std::string_view s, size_t at, std::string& out) {
  if (at + 1 < s.size() && s[at + 1] == 'u') {
    if (auto u = hex4(s, at + 2); u && (is_high_surrogate(*u) || is_low_surrogate(*u))) {
      if (is_high_surrogate(*u) && s.substr(at + 6, 2) == "\\u") {
        if (auto low = hex4(s, at + 8); low && is_low_surrogate(*low)) {
          kelp::append_utf8(out, 0x10000 + ((*u - 0xD800) << 10) + (*low - 0xDC00));
          return 12;
        }
      }
      out += "\\uFFFD";
      return 6;
    }
  }
  size_t n = std::min<size_t>(2, s.size() - at);
  out.append(s.substr(at, n));
  return n;
}

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

// A number token copied into out, clamped to the largest finite double when it overflows one.
size_t copy_number(std::string_view s, size_t at, std::string& out) {
  size_t end = at + 1;
  while (end < s.size() && is_number_char(s[end])) ++end;
  std::string_view token = s.substr(at, end - at);
  // Without an exponent a number needs over 308 digits to overflow, so most tokens skip the conversion.
  bool may_overflow = token.find_first_of("eE") != std::string_view::npos || token.size() > 300;
  if (may_overflow && std::isinf(std::strtod(std::string(token).c_str(), nullptr)))
    out += token[0] == '-' ? "-1.7976931348623157e308" : "1.7976931348623157e308";
  else
    out.append(token);
  return end - at;
}

std::string repaired(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool in_string = false;
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    if (in_string && c == '\\') {
      i += copy_escape(text, i, out);
    } else if (!in_string && (c == '-' || (c >= '0' && c <= '9'))) {
      i += copy_number(text, i, out);
    } else {
      if (c == '"') in_string = !in_string;
      out += c;
      ++i;
    }
  }
  return out;
}

// --- Reading: the reader's events build our values directly, with no intermediate document.

class ValueBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  Value root;
  std::string error;

  bool null() override { return put(Value()); }
  bool boolean(bool b) override { return put(Value::boolean(b)); }
  bool number_integer(number_integer_t i) override { return put(Value::integer(i)); }
  bool number_unsigned(number_unsigned_t u) override {
    return put(u <= static_cast<uint64_t>(INT64_MAX) ? Value::integer(static_cast<int64_t>(u))
                                                      : Value::real(static_cast<double>(u)));
  }
  bool number_float(number_float_t d, const string_t&) override { return put(Value::real(d)); }
  bool string(string_t& s) override { return put(kelp::make_string(s)); }
  bool binary(binary_t&) override { return fail("binary values are not JSON"); }
  bool start_object(std::size_t) override { return open(true); }
  bool key(string_t& k) override {
    stack_.back().items.push_back(kelp::make_string(k));
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    return fail(ex.what());
  }

 private:
  struct Frame {
    bool object;
    std::vector<Value> items;  // an object's keys and values alternate
  };
  std::vector<Frame> stack_;

  bool fail(std::string message) {
    error = std::move(message);
    return false;
  }
  bool put(Value v) {
    if (stack_.empty())
      root = std::move(v);
    else
      stack_.back().items.push_back(std::move(v));
    return true;
  }
  bool open(bool object) {
    if (stack_.size() >= static_cast<size_t>(MAX_JSON_DEPTH))
      return fail(fmt::format("nesting deeper than {} levels", MAX_JSON_DEPTH));
    stack_.push_back({object, {}});
    return true;
  }
  bool close() {
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    return put(f.object ? kelp::make_map(f.items) : kelp::make_vector(f.items));
  }
};

// --- Writing.

void encode_string(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20)
          out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        else
          out += c;
    }
  }
  out += '"';
}

std::string name_text(const Value& v) {
  auto text = [](const auto& named) {
    return named.has_ns() ? fmt::format("{}/{}", named.ns(), named.name()) : std::string(named.name());
  };
  return v.is(kelp::Kind::Keyword) ? text(v.as<kelp::Keyword>()) : text(v.as<kelp::Symbol>());
}

void encode_double(std::string& out, double d) {
  out += std::isfinite(d) ? kelp::format_double(d) : "null";
}

void encode_into(std::string& out, const Value& v);

void encode_key(std::string& out, const Value& k) {
  if (k.is(kelp::Kind::String)) return encode_string(out, kelp::str_view(k));
  if (kelp::is_keyword(k)) return encode_string(out, name_text(k));
  std::string text;
  kelp::append_str(text, k);
  encode_string(out, text);
}

void encode_object(std::string& out, const Value& m) {
  out += '{';
  bool first = true;
  m.obj()->each_entry([&](const Value& k, const Value& v) {
    if (!first) out += ',';
    first = false;
    encode_key(out, k);
    out += ':';
    encode_into(out, v);
    return true;
  });
  out += '}';
}

void encode_array(std::string& out, const Value& coll) {
  out += '[';
  bool first = true;
  coll.obj()->each([&](const Value& x) {
    if (!first) out += ',';
    first = false;
    encode_into(out, x);
    return true;
  });
  out += ']';
}

void encode_object_value(std::string& out, const Value& v) {
  switch (v.obj()->kind()) {
    case kelp::Kind::String: return encode_string(out, kelp::str_view(v));
    case kelp::Kind::Keyword:
    case kelp::Kind::Symbol: return encode_string(out, name_text(v));
    case kelp::Kind::BigInt: out += v.as<kelp::BigInt>().value().get_str(); return;
    case kelp::Kind::Ratio: return encode_double(out, v.as<kelp::Ratio>().value().get_d());
    case kelp::Kind::BigDec: out += kelp::format_bigdec(v.as<kelp::BigDec>()); return;
    default: break;
  }
  if (v.has(kelp::MAP)) return encode_object(out, v);
  if (v.has(kelp::SET) || v.has(kelp::SEQUENTIAL) || v.has(kelp::SEQ)) return encode_array(out, v);
  std::string text;
  kelp::append_str(text, v);
  encode_string(out, text);
}

void encode_into(std::string& out, const Value& v) {
  switch (v.type()) {
    case kelp::Type::Nil: out += "null"; return;
    case kelp::Type::Bool: out += v.as_bool() ? "true" : "false"; return;
    case kelp::Type::Int: out += fmt::format("{}", v.as_int()); return;
    case kelp::Type::Double: return encode_double(out, v.as_double());
    case kelp::Type::Char: {
      std::string s;
      kelp::append_utf8(s, v.as_char());
      return encode_string(out, s);
    }
    case kelp::Type::Obj: return encode_object_value(out, v);
  }
}

}  // namespace

Json decode(std::string_view text) {
  std::string sanitized;
  if (!kelp::valid_utf8(text)) text = sanitized = kelp::sanitize_utf8(text);
  std::string fixed = repaired(text);
  ValueBuilder builder;
  if (!nlohmann::json::sax_parse(fixed, &builder)) throw std::runtime_error("invalid JSON: " + builder.error);
  return builder.root;
}

std::string encode(const Json& value) {
  std::string out;
  encode_into(out, value);
  return out;
}

}  // namespace orrery::mcp
