// What the string, printing and clojure.string natives share: argument checks, code-point offsets, regex match
// results as Clojure values, and Java's notion of whitespace.
#pragma once

#include <string>
#include <string_view>

#include "kelp/data/pattern.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/value.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib::strs {

[[noreturn]] inline void cannot_cast(const Value& v, std::string_view to) {
  if (v.is_nil()) rt::throw_null_pointer("");
  rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class " + std::string(to));
}

// The text of a string argument: nil is a NullPointerException, other values a ClassCastException.
inline std::string_view string_arg(const Value& v) {
  if (!v.is(Kind::String)) cannot_cast(v, "java.lang.String");
  return str_view(v);
}

// What (str v) is, as C++ text.
inline std::string to_str(const Value& v) {
  std::string s;
  append_str(s, v);
  return s;
}

// The code-point index of a byte offset into a string value.
inline int64_t cp_index(const Value& s, size_t byte) {
  const String& str = s.as<String>();
  if (str.ascii()) return static_cast<int64_t>(byte);
  int64_t n = 0;
  for (size_t i = 0; i < byte; ++i)
    if ((static_cast<unsigned char>(str.utf8()[i]) & 0xC0) != 0x80) ++n;
  return n;
}

// A code-point index argument as an integer (Java's intCast of a number).
inline int64_t index_arg(const Value& v) {
  if (v.is_int()) return v.as_int();
  if (v.is_double()) return static_cast<int64_t>(v.as_double());
  cannot_cast(v, "java.lang.Number");
}

// re-groups of a match: the whole match when the pattern has no groups, else [whole g1 g2 ...] with nil for a
// group that took no part.
inline Value match_groups(const Value& p, std::string_view subject, const RegexMatch& m) {
  if (pattern_group_count(p) == 0) return make_string(m.group(subject));
  TransientVector v;
  for (size_t g = 0; g < m.groups(); ++g) v.conj(m.matched(g) ? make_string(m.group(subject, g)) : Value());
  return v.persistent();
}

// Character.isWhitespace: separators other than the no-break spaces, and the ASCII controls \t \n \v \f \r and
// \u001C-\u001F.
inline bool java_whitespace(char32_t c) {
  if (c <= 0x20) return c == ' ' || (c >= 9 && c <= 13) || (c >= 0x1C && c <= 0x1F);
  if (c < 0x1680) return false;
  return c == 0x1680 || (c >= 0x2000 && c <= 0x2006) || (c >= 0x2008 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x205F || c == 0x3000;
}

}  // namespace kelp::lib::strs
