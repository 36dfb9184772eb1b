// Instance methods and constructors of the host classes kelp answers: String, StringBuilder, numbers,
// collections, exceptions, writers, classes, and Object's own methods for every value.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <vector>

#include "kelp/data/compare.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/pattern.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/host_detail.hpp"
#include "kelp/lib/seq_array.hpp"
#include "kelp/lib/host_process.hpp"
#include "kelp/lib/str_regex.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::rt::host::detail {

std::string StringBuilder::str() const {
  std::lock_guard lock(mutex_);
  return buf_;
}

void StringBuilder::append(std::string_view s) {
  std::lock_guard lock(mutex_);
  buf_.append(s);
}

namespace {

using Method = Value (*)(const Value& self, Args args);
struct Entry {
  const char* name;
  int min, max;
  Method fn;
};

// Runs the entry named `method` taking args.size() arguments; false when the table has none.
bool dispatch(std::span<const Entry> table, const Value& self, std::string_view method, Args args, Value* out) {
  for (const Entry& e : table) {
    if (method != e.name) continue;
    int n = static_cast<int>(args.size());
    if (n < e.min || (e.max >= 0 && n > e.max)) continue;
    *out = e.fn(self, args);
    return true;
  }
  return false;
}

int64_t int_arg(const Value& v, std::string_view method) {
  if (!v.is_int()) throw_illegal_argument("No matching method " + std::string(method) + " found taking 1 args");
  return v.as_int();
}

Value call_core(const char* name, Args args) {
  Value var = core_vars().core->find_interned(symbol(name));
  if (var.is_nil()) throw_unsupported(std::string("clojure.core/") + name + " is not available");
  return call(as_var(var).deref(), args);
}

// ---------------------------------------------------------------------------------------------------------------
// String. Indices count code points, as everywhere in kelp.

const String& s_of(const Value& v) { return v.as<String>(); }
std::string_view sv(const Value& v) { return str_view(v); }
std::string text_arg(const Value& v) { return v.is_char() ? to_string(v) : std::string(str_view(v)); }

[[noreturn]] void string_index(std::string msg) { throw_error("java.lang.StringIndexOutOfBoundsException", msg); }

Value substring(const Value& s, Args a) {
  int64_t n = s_of(s).count();
  int64_t b = int_arg(a[0], "substring"), e = a.size() > 1 ? int_arg(a[1], "substring") : n;
  if (b < 0 || e > n || b > e)
    string_index("begin " + std::to_string(b) + ", end " + std::to_string(e) + ", length " + std::to_string(n));
  return kelp::substring(s, b, e);
}

// The code point index of needle in hay at or after `from` (or at or before it, backwards), or -1.
int64_t index_of(const Value& hay, std::string needle, int64_t from, bool backwards) {
  std::u32string h = to_u32(sv(hay)), n = to_u32(needle);
  if (backwards) {
    if (from < 0) return -1;
    size_t r = h.rfind(n, static_cast<size_t>(from));
    return r == std::u32string::npos ? -1 : static_cast<int64_t>(r);
  }
  if (from < 0) from = 0;
  if (from > static_cast<int64_t>(h.size())) return -1;
  size_t r = h.find(n, static_cast<size_t>(from));
  return r == std::u32string::npos ? -1 : static_cast<int64_t>(r);
}

std::string needle_of(const Value& v, std::string_view method) {
  if (v.is(Kind::String)) return std::string(sv(v));
  if (v.is_char()) return to_string(v);
  if (v.is_int()) return to_string(Value::character(static_cast<char32_t>(v.as_int())));
  throw_illegal_argument("No matching method " + std::string(method) + " found taking 1 args");
}

std::string map_case(std::string_view s, bool upper) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    char32_t c = decode_utf8(s, i);
    bool lower_c = (c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
                   (c >= 0x430 && c <= 0x44F);
    bool upper_c = (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9) ||
                   (c >= 0x410 && c <= 0x42F);
    if (upper && lower_c) c -= 32;
    else if (!upper && upper_c) c += 32;
    append_utf8(out, c);
  }
  return out;
}

bool java_space(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && java_space(s[b])) ++b;
  while (e > b && java_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool is_blank(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    char32_t c = decode_utf8(s, i);
    if (!(c == ' ' || (c >= 9 && c <= 13) || (c >= 0x1C && c <= 0x1F) || c == 0x2028 || c == 0x2029 ||
          c == 0x3000 || (c >= 0x2000 && c <= 0x200A && c != 0x2007)))
      return false;
  }
  return true;
}

std::string replace_all(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) {
    // Java inserts the replacement around every character.
    std::string out(to);
    size_t i = 0;
    while (i < s.size()) {
      size_t start = i;
      decode_utf8(s, i);
      out.append(s.substr(start, i - start)).append(to);
    }
    return out;
  }
  std::string out;
  size_t pos = 0;
  for (size_t hit; (hit = s.find(from, pos)) != std::string_view::npos; pos = hit + from.size())
    out.append(s.substr(pos, hit - pos)).append(to);
  out.append(s.substr(pos));
  return out;
}

// The pattern a regular-expression argument names: a Pattern as it is, a string compiled (as Java's String
// methods compile theirs).
Value regex_arg(const Value& v, std::string_view method) {
  if (v.is(Kind::Pattern)) return v;
  if (!v.is(Kind::String)) throw_no_method(method, 1, "java.lang.String");
  return make_pattern(sv(v));
}

Value split(const Value& s, Args a) {
  return lib::strs::split_by(s, regex_arg(a[0], "split"), a.size() > 1 ? int_arg(a[1], "split") : 0);
}

Value matches(const Value& s, Args a) {
  RegexMatch m;
  return Value::boolean(regex_matches(regex_arg(a[0], "matches"), sv(s), m));
}

Value replace_regex(const Value& s, Args a, bool all) {
  if (!a[1].is(Kind::String)) throw_no_method(all ? "replaceAll" : "replaceFirst", 2, "java.lang.String");
  return lib::strs::replace_pattern(s, regex_arg(a[0], "replaceAll"), a[1], all);
}

Value cmp_strings(const Value& s, const Value& other, bool ignore_case) {
  if (!other.is(Kind::String)) throw_class_cast("class " + std::string(type_name(other)) + " cannot be cast to class java.lang.String");
  if (!ignore_case) return Value::integer(compare_strings(sv(s), sv(other)));
  return Value::integer(compare_strings(map_case(sv(s), false), map_case(sv(other), false)));
}

const Entry STRING_METHODS[] = {
    {"length", 0, 0, [](const Value& s, Args) { return Value::integer(s_of(s).count()); }},
    {"isEmpty", 0, 0, [](const Value& s, Args) { return Value::boolean(sv(s).empty()); }},
    {"isBlank", 0, 0, [](const Value& s, Args) { return Value::boolean(is_blank(sv(s))); }},
    {"charAt", 1, 1, [](const Value& s, Args a) {
       int64_t i = int_arg(a[0], "charAt"), n = s_of(s).count();
       if (i < 0 || i >= n) string_index("String index out of range: " + std::to_string(i));
       return Value::character(s_of(s).at(i));
     }},
    {"codePointAt", 1, 1, [](const Value& s, Args a) {
       int64_t i = int_arg(a[0], "codePointAt"), n = s_of(s).count();
       if (i < 0 || i >= n) string_index("String index out of range: " + std::to_string(i));
       return Value::integer(s_of(s).at(i));
     }},
    {"substring", 1, 2, [](const Value& s, Args a) { return substring(s, a); }},
    {"subSequence", 2, 2, [](const Value& s, Args a) { return substring(s, a); }},
    {"indexOf", 1, 2, [](const Value& s, Args a) {
       return Value::integer(index_of(s, needle_of(a[0], "indexOf"), a.size() > 1 ? int_arg(a[1], "indexOf") : 0, false));
     }},
    {"lastIndexOf", 1, 2, [](const Value& s, Args a) {
       int64_t from = a.size() > 1 ? int_arg(a[1], "lastIndexOf") : s_of(s).count();
       return Value::integer(index_of(s, needle_of(a[0], "lastIndexOf"), from, true));
     }},
    {"startsWith", 1, 1, [](const Value& s, Args a) { return Value::boolean(sv(s).starts_with(text_arg(a[0]))); }},
    {"endsWith", 1, 1, [](const Value& s, Args a) { return Value::boolean(sv(s).ends_with(text_arg(a[0]))); }},
    {"contains", 1, 1, [](const Value& s, Args a) {
       return Value::boolean(sv(s).find(to_string(a[0])) != std::string_view::npos);
     }},
    {"toUpperCase", 0, 0, [](const Value& s, Args) { return make_string(map_case(sv(s), true)); }},
    {"toLowerCase", 0, 0, [](const Value& s, Args) { return make_string(map_case(sv(s), false)); }},
    {"trim", 0, 0, [](const Value& s, Args) { return make_string(trim(sv(s))); }},
    {"intern", 0, 0, [](const Value& s, Args) { return s; }},
    {"stripLeading", 0, 0, [](const Value& s, Args) {
       std::u32string u = to_u32(sv(s));
       size_t b = 0;
       while (b < u.size() && (u[b] <= ' ' || u[b] == 0x2028 || u[b] == 0x2029 || u[b] == 0x3000 || (u[b] >= 0x2000 && u[b] <= 0x200A))) ++b;
       return make_string(to_utf8(u.substr(b)));
     }},
    {"stripTrailing", 0, 0, [](const Value& s, Args) {
       std::u32string u = to_u32(sv(s));
       size_t e = u.size();
       while (e > 0 && (u[e - 1] <= ' ' || u[e - 1] == 0x2028 || u[e - 1] == 0x2029 || u[e - 1] == 0x3000 || (u[e - 1] >= 0x2000 && u[e - 1] <= 0x200A))) --e;
       return make_string(to_utf8(u.substr(0, e)));
     }},
    {"codePointCount", 2, 2, [](const Value& s, Args a) {
       return Value::integer(int_arg(a[1], "codePointCount") - int_arg(a[0], "codePointCount"));
     }},
    {"strip", 0, 0, [](const Value& s, Args) { return make_string(trim(sv(s))); }},
    {"replace", 2, 2, [](const Value& s, Args a) {
       return make_string(replace_all(sv(s), to_string(a[0]), to_string(a[1])));
     }},
    {"equals", 1, 1, [](const Value& s, Args a) {
       return Value::boolean(a[0].is(Kind::String) && sv(s) == sv(a[0]));
     }},
    {"equalsIgnoreCase", 1, 1, [](const Value& s, Args a) {
       return Value::boolean(a[0].is(Kind::String) && map_case(sv(s), false) == map_case(sv(a[0]), false));
     }},
    {"compareTo", 1, 1, [](const Value& s, Args a) { return cmp_strings(s, a[0], false); }},
    {"compareToIgnoreCase", 1, 1, [](const Value& s, Args a) { return cmp_strings(s, a[0], true); }},
    {"concat", 1, 1, [](const Value& s, Args a) {
       return make_string(std::string(sv(s)) + std::string(sv(a[0])));
     }},
    {"repeat", 1, 1, [](const Value& s, Args a) {
       std::string out;
       for (int64_t i = int_arg(a[0], "repeat"); i > 0; --i) out += sv(s);
       return make_string(out);
     }},
    {"split", 1, 2, [](const Value& s, Args a) { return split(s, a); }},
    {"matches", 1, 1, [](const Value& s, Args a) { return matches(s, a); }},
    {"replaceAll", 2, 2, [](const Value& s, Args a) { return replace_regex(s, a, true); }},
    {"replaceFirst", 2, 2, [](const Value& s, Args a) { return replace_regex(s, a, false); }},
    {"toCharArray", 0, 0, [](const Value& s, Args) {
       std::vector<Value> cs;
       for (char32_t c : to_u32(sv(s))) cs.push_back(Value::character(c));
       return make_vector(cs);
     }},
    {"getBytes", 0, 1, [](const Value& s, Args) {
       std::vector<Value> bs;
       for (char c : sv(s)) bs.push_back(Value::integer(static_cast<signed char>(c)));
       return make_vector(bs);
     }},
};

// ---------------------------------------------------------------------------------------------------------------
// StringBuilder

detail::StringBuilder& sb_of(const Value& v) { return const_cast<detail::StringBuilder&>(v.as<detail::StringBuilder>()); }

// Byte offset of code point index i in s, or npos past the end.
size_t offset_of(const std::string& s, int64_t i) {
  size_t at = 0;
  for (int64_t k = 0; k < i; ++k) {
    if (at >= s.size()) return std::string::npos;
    decode_utf8(s, at);
  }
  return at;
}

// StringBuilder.delete(start, end) and replace(start, end, text): end may run past the length, as Java allows.
Value builder_splice(const Value& b, Args a, const char* method, const Value* text) {
  int64_t start = int_arg(a[0], method), end = int_arg(a[1], method);
  sb_of(b).edit([&](std::string& s) {
    std::u32string u = to_u32(s);
    auto n = static_cast<int64_t>(u.size());
    if (start < 0 || start > n || start > end)
      string_index("start " + std::to_string(start) + ", end " + std::to_string(end) + ", length " + std::to_string(n));
    end = std::min(end, n);
    u.replace(static_cast<size_t>(start), static_cast<size_t>(end - start), text ? to_u32(sv(*text)) : std::u32string());
    s = to_utf8(u);
  });
  return b;
}

const Entry BUILDER_METHODS[] = {
    {"append", 1, 1, [](const Value& b, Args a) {
       sb_of(b).append(to_string(a[0]));
       return b;
     }},
    {"toString", 0, 0, [](const Value& b, Args) { return make_string(sb_of(b).str()); }},
    {"length", 0, 0, [](const Value& b, Args) { return Value::integer(make_string(sb_of(b).str()).as<String>().count()); }},
    {"reverse", 0, 0, [](const Value& b, Args) {
       sb_of(b).edit([](std::string& s) {
         std::u32string u = to_u32(s);
         std::reverse(u.begin(), u.end());
         s = to_utf8(u);
       });
       return b;
     }},
    {"insert", 2, 2, [](const Value& b, Args a) {
       int64_t i = int_arg(a[0], "insert");
       std::string text = to_string(a[1]);
       sb_of(b).edit([&](std::string& s) {
         size_t at = i < 0 ? std::string::npos : offset_of(s, i);
         if (at == std::string::npos) string_index("offset " + std::to_string(i) + ", length " + std::to_string(to_u32(s).size()));
         s.insert(at, text);
       });
       return b;
     }},
    {"setLength", 1, 1, [](const Value& b, Args a) {
       int64_t n = int_arg(a[0], "setLength");
       if (n < 0) string_index("String index out of range: " + std::to_string(n));
       sb_of(b).edit([&](std::string& s) {
         size_t at = offset_of(s, n);
         if (at != std::string::npos) s.resize(at);
         else s.append(static_cast<size_t>(n) - to_u32(s).size(), '\0');
       });
       return Value();
     }},
    {"charAt", 1, 1, [](const Value& b, Args a) {
       Value s = make_string(sb_of(b).str());
       int64_t i = int_arg(a[0], "charAt");
       if (i < 0 || i >= s.as<String>().count()) string_index("index " + std::to_string(i) + ",length " + std::to_string(s.as<String>().count()));
       return Value::character(s.as<String>().at(i));
     }},
    {"deleteCharAt", 1, 1, [](const Value& b, Args a) {
       int64_t i = int_arg(a[0], "deleteCharAt");
       sb_of(b).edit([&](std::string& s) {
         size_t at = i < 0 ? std::string::npos : offset_of(s, i);
         if (at == std::string::npos || at >= s.size()) string_index("index " + std::to_string(i) + ",length " + std::to_string(to_u32(s).size()));
         size_t end = at;
         decode_utf8(s, end);
         s.erase(at, end - at);
       });
       return b;
     }},
    {"isEmpty", 0, 0, [](const Value& b, Args) { return Value::boolean(sb_of(b).str().empty()); }},
    {"delete", 2, 2, [](const Value& b, Args a) { return builder_splice(b, a, "delete", nullptr); }},
    {"replace", 3, 3, [](const Value& b, Args a) {
       if (!a[2].is(Kind::String)) throw_no_method("replace", 3, "java.lang.StringBuilder");
       return builder_splice(b, a, "replace", &a[2]);
     }},
    {"setCharAt", 2, 2, [](const Value& b, Args a) {
       int64_t i = int_arg(a[0], "setCharAt");
       if (!a[1].is_char()) throw_no_method("setCharAt", 2, "java.lang.StringBuilder");
       sb_of(b).edit([&](std::string& s) {
         std::u32string u = to_u32(s);
         if (i < 0 || i >= static_cast<int64_t>(u.size()))
           string_index("index " + std::to_string(i) + ",length " + std::to_string(u.size()));
         u[static_cast<size_t>(i)] = a[1].as_char();
         s = to_utf8(u);
       });
       return Value();
     }},
    {"indexOf", 1, 2, [](const Value& b, Args a) { return invoke_method(make_string(sb_of(b).str()), "indexOf", a); }},
    {"lastIndexOf", 1, 2, [](const Value& b, Args a) { return invoke_method(make_string(sb_of(b).str()), "lastIndexOf", a); }},
    {"substring", 1, 2, [](const Value& b, Args a) {
       std::vector<Value> args{make_string(sb_of(b).str())};
       args.insert(args.end(), a.begin(), a.end());
       return call_core("subs", Args(args));
     }},
};

// ---------------------------------------------------------------------------------------------------------------
// Numbers

double as_double(const Value& v) {
  if (v.is_int()) return static_cast<double>(v.as_int());
  if (v.is_double()) return v.as_double();
  if (v.is(Kind::BigInt)) return v.as<BigInt>().value().get_d();
  if (v.is(Kind::Ratio)) return v.as<Ratio>().value().get_d();
  return std::stod(format_bigdec(v.as<BigDec>()));
}

int64_t as_long(const Value& v) {
  if (v.is_int()) return v.as_int();
  if (v.is(Kind::BigInt)) return static_cast<int64_t>(mpz_get_si(v.as<BigInt>().value().get_mpz_t()));
  double d = as_double(v);
  if (std::isnan(d)) return 0;
  if (d >= 9.2233720368547758e18) return INT64_MAX;
  if (d <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<int64_t>(d);
}

const Entry NUMBER_METHODS[] = {
    {"longValue", 0, 0, [](const Value& n, Args) { return Value::integer(as_long(n)); }},
    {"intValue", 0, 0, [](const Value& n, Args) { return Value::integer(static_cast<int32_t>(as_long(n))); }},
    {"shortValue", 0, 0, [](const Value& n, Args) { return Value::integer(static_cast<int16_t>(as_long(n))); }},
    {"byteValue", 0, 0, [](const Value& n, Args) { return Value::integer(static_cast<int8_t>(as_long(n))); }},
    {"doubleValue", 0, 0, [](const Value& n, Args) { return Value::real(as_double(n)); }},
    {"floatValue", 0, 0, [](const Value& n, Args) { return Value::real(static_cast<float>(as_double(n))); }},
    {"isNaN", 0, 0, [](const Value& n, Args) { return Value::boolean(std::isnan(as_double(n))); }},
    {"isInfinite", 0, 0, [](const Value& n, Args) { return Value::boolean(std::isinf(as_double(n))); }},
    {"compareTo", 1, 1, [](const Value& n, Args a) { return Value::integer(kelp::compare(n, a[0])); }},
};

// ---------------------------------------------------------------------------------------------------------------
// Collections: the Java collection and Clojure interface methods people call directly.

Value nth_of(const Value& c, Args a) {
  Value args[3] = {c, a[0], a.size() > 1 ? a[1] : Value()};
  return call_core("nth", Args(args, a.size() + 1));
}

// ---------------------------------------------------------------------------------------------------------------
// java.util.Iterator over a collection: walks its seq. Like Java's, one iterator is meant for one thread; the lock
// only keeps a misuse from corrupting memory.

class SeqIterator final : public Object {
 public:
  explicit SeqIterator(Value s) : Object(Kind::Host, 0), rest_(std::move(s)) {}
  std::string_view type_name() const override { return "clojure.lang.SeqIterator"; }
  bool has_next() const {
    std::lock_guard lock(mutex_);
    return !rest_.is_nil();
  }
  Value next() const {
    std::lock_guard lock(mutex_);
    if (rest_.is_nil()) throw_value(make_throwable(exception_class("java.util.NoSuchElementException"), Value()));
    Value x = rt::first(rest_);
    rest_ = rt::next(rest_);
    return x;
  }

 private:
  mutable std::mutex mutex_;
  mutable Value rest_;
};

const SeqIterator* as_iterator(const Value& v) {
  return v.is(Kind::Host) ? dynamic_cast<const SeqIterator*>(v.obj()) : nullptr;
}

const Entry ITERATOR_METHODS[] = {
    {"hasNext", 0, 0, [](const Value& it, Args) { return Value::boolean(as_iterator(it)->has_next()); }},
    {"next", 0, 0, [](const Value& it, Args) { return as_iterator(it)->next(); }},
    // Clojure's collections are immutable: removal through an iterator is unsupported, without a message.
    {"remove", 0, 0, [](const Value&, Args) -> Value {
       throw_value(make_throwable(exception_class("java.lang.UnsupportedOperationException"), Value()));
     }},
};

const Entry COLL_METHODS[] = {
    {"size", 0, 0, [](const Value& c, Args) { return Value::integer(kelp::count(c)); }},
    {"count", 0, 0, [](const Value& c, Args) { return Value::integer(kelp::count(c)); }},
    {"isEmpty", 0, 0, [](const Value& c, Args) { return Value::boolean(rt::seq(c).is_nil()); }},
    {"seq", 0, 0, [](const Value& c, Args) { return rt::seq(c); }},
    {"first", 0, 0, [](const Value& c, Args) { return rt::first(c); }},
    {"next", 0, 0, [](const Value& c, Args) { return rt::next(c); }},
    {"more", 0, 0, [](const Value& c, Args) { return rt::rest(c); }},
    {"nth", 1, 2, [](const Value& c, Args a) { return nth_of(c, a); }},
    {"get", 1, 1, [](const Value& c, Args a) {
       if (c.has(MAP) || c.has(SET)) {
         const Value* v = c.obj()->lookup(a[0]);
         return v ? *v : Value();
       }
       return nth_of(c, a);
     }},
    {"valAt", 1, 2, [](const Value& c, Args a) {
       Value args[3] = {c, a[0], a.size() > 1 ? a[1] : Value()};
       return call_core("get", Args(args, a.size() + 1));
     }},
    {"containsKey", 1, 1, [](const Value& c, Args a) {
       Value args[2] = {c, a[0]};
       return call_core("contains?", Args(args, 2));
     }},
    {"contains", 1, 1, [](const Value& c, Args a) {
       if (c.has(SET) || c.has(MAP)) return Value::boolean(c.obj()->lookup(a[0]) != nullptr);
       bool found = false;
       for (Value s = rt::seq(c); !s.is_nil() && !found; s = rt::next(s)) found = rt::first(s) == a[0];
       return Value::boolean(found);
     }},
    {"containsValue", 1, 1, [](const Value& c, Args a) {
       bool found = false;
       if (c.has(MAP)) c.obj()->each_entry([&](const Value&, const Value& v) { return !(found = v == a[0]); });
       return Value::boolean(found);
     }},
    {"entryAt", 1, 1, [](const Value& c, Args a) {
       Value args[2] = {c, a[0]};
       return call_core("find", Args(args, 2));
     }},
    {"indexOf", 1, 1, [](const Value& c, Args a) {
       int64_t i = 0;
       for (Value s = rt::seq(c); !s.is_nil(); s = rt::next(s), ++i)
         if (rt::first(s) == a[0]) return Value::integer(i);
       return Value::integer(-1);
     }},
    {"cons", 1, 1, [](const Value& c, Args a) { return rt::cons(a[0], c); }},
    {"iterator", 0, 0, [](const Value& c, Args) { return Value::adopt(new SeqIterator(rt::seq(c))); }},
    {"peek", 0, 0, [](const Value& c, Args) { Value args[1] = {c}; return call_core("peek", Args(args, 1)); }},
};

// ---------------------------------------------------------------------------------------------------------------
// Exceptions

Value trace_of(const Throwable& t) {
  std::vector<Value> frames;
  for (const TraceElement& e : t.trace())
    frames.push_back(make_vector({symbol(e.fn), make_string(e.file), Value::integer(e.line)}));
  return make_vector(frames);
}

// PatternSyntaxException's parts, from its message "DESCRIPTION near index N\nPATTERN\n  ^".
Value syntax_part(const Value& e, int part) {
  const Throwable& t = throwable(e);
  if (t.cls().name != "java.util.regex.PatternSyntaxException" || !t.message().is(Kind::String))
    throw_illegal_argument("No matching field found: " + std::string(part == 0 ? "getDescription" : part == 1 ? "getIndex" : "getPattern") +
                           " for class " + t.cls().name);
  std::string_view msg = sv(t.message());
  size_t near = msg.find(" near index ");
  if (near == std::string_view::npos) return part == 0 ? t.message() : part == 1 ? Value::integer(-1) : Value();
  size_t line = msg.find('\n', near);
  if (part == 0) return make_string(msg.substr(0, near));
  if (part == 1) return Value::integer(std::atoll(std::string(msg.substr(near + 12, line - near - 12)).c_str()));
  if (line == std::string_view::npos) return Value();
  std::string_view rest = msg.substr(line + 1);
  return make_string(rest.substr(0, rest.find('\n')));
}

const Entry THROWABLE_METHODS[] = {
    {"getDescription", 0, 0, [](const Value& e, Args) { return syntax_part(e, 0); }},
    {"getIndex", 0, 0, [](const Value& e, Args) { return syntax_part(e, 1); }},
    {"getPattern", 0, 0, [](const Value& e, Args) { return syntax_part(e, 2); }},
    {"getMessage", 0, 0, [](const Value& e, Args) { return throwable(e).message(); }},
    {"getLocalizedMessage", 0, 0, [](const Value& e, Args) { return throwable(e).message(); }},
    {"getCause", 0, 0, [](const Value& e, Args) { return throwable(e).cause(); }},
    {"getData", 0, 0, [](const Value& e, Args) { return throwable(e).data(); }},
    {"getStackTrace", 0, 0, [](const Value& e, Args) { return trace_of(throwable(e)); }},
    {"printStackTrace", 0, 0, [](const Value& e, Args) {
       std::string text = to_string(e) + "\n";
       for (const TraceElement& t : throwable(e).trace())
         text += "\tat " + t.fn + " (" + (t.file.empty() ? "NO_SOURCE_FILE" : t.file) + ":" + std::to_string(t.line) + ")\n";
       err_write(text);
       return Value();
     }},
};

// ---------------------------------------------------------------------------------------------------------------
// Writers, classes, names, references and Object

const Entry WRITER_METHODS[] = {
    {"write", 1, 1, [](const Value& w, Args a) {
       as_writer(w).write(a[0].is_int() ? to_string(Value::character(static_cast<char32_t>(a[0].as_int()))) : to_string(a[0]));
       return Value();
     }},
    {"append", 1, 1, [](const Value& w, Args a) {
       as_writer(w).write(to_string(a[0]));
       return w;
     }},
    {"flush", 0, 0, [](const Value& w, Args) {
       as_writer(w).flush();
       return Value();
     }},
    // java.io.PrintStream's and PrintWriter's print and println: the argument's toString.
    {"print", 1, 1, [](const Value& w, Args a) {
       as_writer(w).write(to_string(a[0]));
       return Value();
     }},
    {"println", 0, 1, [](const Value& w, Args a) {  // System/out and System/err flush at each line
       Writer& out = as_writer(w);
       out.write(a.empty() ? std::string("\n") : to_string(a[0]) + "\n");
       out.flush();
       return Value();
     }},
    {"close", 0, 0, [](const Value& w, Args) {
       as_writer(w).flush();
       return Value();
     }},
};

const Entry CLASS_METHODS[] = {
    {"getName", 0, 0, [](const Value& c, Args) { return make_string(as_class(c).name()); }},
    {"getSimpleName", 0, 0, [](const Value& c, Args) { return make_string(as_class(c).simple_name()); }},
    {"getSuperclass", 0, 0, [](const Value& c, Args) {
       const HostClass* s = as_class(c).super();
       return s ? Value::share(s) : Value();
     }},
    {"isInstance", 1, 1, [](const Value& c, Args a) { return Value::boolean(is_instance(c, a[0])); }},
};

// ---------------------------------------------------------------------------------------------------------------
// java.util.regex: Matcher and Pattern

const lib::strs::Matcher& matcher_of(const Value& v) { return *lib::strs::as_matcher(v); }

// A group argument: an index or a group's name.
Value group_of(const Value& m, Args a) {
  if (a.empty()) return matcher_of(m).group(0);
  if (a[0].is(Kind::String)) return matcher_of(m).group(sv(a[0]));
  return matcher_of(m).group(int_arg(a[0], "group"));
}

// A group given by index or by name.
int64_t group_index(const Value& m, const Value& g, const char* method) {
  if (!g.is(Kind::String)) return int_arg(g, method);
  int i = pattern_group_index(matcher_of(m).pattern(), sv(g));
  if (i < 0) throw_illegal_argument("No group with name <" + std::string(sv(g)) + ">");
  return i;
}

const Entry MATCHER_METHODS[] = {
    {"find", 0, 1, [](const Value& m, Args a) {
       return Value::boolean(a.empty() ? matcher_of(m).find() : matcher_of(m).find_from(int_arg(a[0], "find")));
     }},
    {"matches", 0, 0, [](const Value& m, Args) { return Value::boolean(matcher_of(m).matches()); }},
    {"group", 0, 1, [](const Value& m, Args a) { return group_of(m, a); }},
    {"groupCount", 0, 0, [](const Value& m, Args) {
       return Value::integer(static_cast<int64_t>(pattern_group_count(matcher_of(m).pattern())));
     }},
    {"start", 0, 1, [](const Value& m, Args a) {
       return Value::integer(matcher_of(m).start(a.empty() ? 0 : group_index(m, a[0], "start")));
     }},
    {"end", 0, 1, [](const Value& m, Args a) {
       return Value::integer(matcher_of(m).end(a.empty() ? 0 : group_index(m, a[0], "end")));
     }},
    {"lookingAt", 0, 0, [](const Value& m, Args) { return Value::boolean(matcher_of(m).looking_at()); }},
    {"reset", 0, 0, [](const Value& m, Args) { matcher_of(m).reset(); return m; }},
    {"pattern", 0, 0, [](const Value& m, Args) { return matcher_of(m).pattern(); }},
};

const Entry PATTERN_METHODS[] = {
    {"pattern", 0, 0, [](const Value& p, Args) { return make_string(pattern_source(p)); }},
    {"matcher", 1, 1, [](const Value& p, Args a) {
       if (!a[0].is(Kind::String)) throw_no_method("matcher", 1, "java.util.regex.Pattern");
       return Value::adopt(new lib::strs::Matcher(p, a[0]));
     }},
    {"split", 1, 2, [](const Value& p, Args a) {
       if (!a[0].is(Kind::String)) throw_no_method("split", a.size(), "java.util.regex.Pattern");
       return lib::strs::split_by(a[0], p, a.size() > 1 ? int_arg(a[1], "split") : 0);
     }},
    {"flags", 0, 0, [](const Value& p, Args) { return Value::integer(pattern_flags(p)); }},
    {"toString", 0, 0, [](const Value& p, Args) { return make_string(pattern_source(p)); }},
};

const Entry NAMED_METHODS[] = {
    {"getName", 0, 0, [](const Value& n, Args) {
       return make_string(n.is(Kind::Keyword) ? n.as<Keyword>().name() : n.as<Symbol>().name());
     }},
    {"getNamespace", 0, 0, [](const Value& n, Args) {
       bool has = n.is(Kind::Keyword) ? n.as<Keyword>().has_ns() : n.as<Symbol>().has_ns();
       return has ? make_string(n.is(Kind::Keyword) ? n.as<Keyword>().ns() : n.as<Symbol>().ns()) : Value();
     }},
};

const Entry DEREF_METHODS[] = {
    {"deref", 0, 0, [](const Value& r, Args) { Value a[1] = {r}; return call_core("deref", Args(a, 1)); }},
    {"reset", 1, 1, [](const Value& r, Args x) { Value a[2] = {r, x[0]}; return call_core("reset!", Args(a, 2)); }},
};

const Entry VAR_METHODS[] = {
    {"isDynamic", 0, 0, [](const Value& v, Args) { return Value::boolean(v.as<Var>().is_dynamic()); }},
    {"isBound", 0, 0, [](const Value& v, Args) { return Value::boolean(v.as<Var>().is_bound()); }},
    {"hasRoot", 0, 0, [](const Value& v, Args) { return Value::boolean(v.as<Var>().has_root()); }},
    {"isMacro", 0, 0, [](const Value& v, Args) { return Value::boolean(v.as<Var>().is_macro()); }},
    {"isPublic", 0, 0, [](const Value& v, Args) { return Value::boolean(!v.as<Var>().is_private()); }},
    {"get", 0, 0, [](const Value& v, Args) { return v.as<Var>().deref(); }},
    {"getRawRoot", 0, 0, [](const Value& v, Args) { return v.as<Var>().root(); }},
    {"setDynamic", 0, 0, [](const Value& v, Args) { const_cast<Var&>(v.as<Var>()).set_dynamic(true); return v; }},
    {"toSymbol", 0, 0, [](const Value& v, Args) {
       const Var& var = v.as<Var>();
       return var.ns() ? symbol(var.ns()->name_str(), var.sym().as<Symbol>().name()) : var.sym();
     }},
    {"ns", 0, 0, [](const Value& v, Args) { return v.as<Var>().ns() ? ns_value(v.as<Var>().ns()) : Value(); }},
    {"sym", 0, 0, [](const Value& v, Args) { return v.as<Var>().sym(); }},
};

const Entry NS_METHODS[] = {
    {"getName", 0, 0, [](const Value& n, Args) { return n.as<Namespace>().name(); }},
    {"getMappings", 0, 0, [](const Value& n, Args) { Value a[1] = {n}; return call_core("ns-map", Args(a, 1)); }},
    {"findInternedVar", 1, 1, [](const Value& n, Args a) { return n.as<Namespace>().find_interned(a[0]); }},
};

const Entry BOOLEAN_METHODS[] = {
    {"booleanValue", 0, 0, [](const Value& b, Args) { return b; }},
    {"compareTo", 1, 1, [](const Value& b, Args a) {
       if (!a[0].is_bool()) throw_no_method("compareTo", 1, "java.lang.Boolean");
       return Value::integer(int{b.truthy()} - int{a[0].truthy()});
     }},
};

const Entry OBJECT_METHODS[] = {
    {"toString", 0, 0, [](const Value& o, Args) { return make_string(to_string(o)); }},
    {"equals", 1, 1, [](const Value& o, Args a) { return Value::boolean(o == a[0]); }},
    {"hashCode", 0, 0, [](const Value& o, Args) {
       if (o.is(Kind::String)) return Value::integer(java_string_hash(sv(o)));
       return Value::integer(kelp::hash(o));
     }},
    {"getClass", 0, 0, [](const Value& o, Args) { return class_of(o); }},
};

bool is_number_value(const Value& v) { return v.is_int() || v.is_double() || v.has(NUMBER); }

}  // namespace

Value call_method(const Value& target, std::string_view method, Args args, bool* found) {
  *found = true;
  Value out;
  if (target.is_nil())
    throw_null_pointer("Cannot invoke \"Object.getClass()\" because \"target\" is null");
  if (target.is(Kind::String) && dispatch(STRING_METHODS, target, method, args, &out)) return out;
  if (is_number_value(target) && dispatch(NUMBER_METHODS, target, method, args, &out)) return out;
  if (target.is(Kind::Throwable) && dispatch(THROWABLE_METHODS, target, method, args, &out)) return out;
  if ((target.is(Kind::Keyword) || target.is(Kind::Symbol)) && dispatch(NAMED_METHODS, target, method, args, &out))
    return out;
  if (target.is(Kind::Namespace) && dispatch(NS_METHODS, target, method, args, &out)) return out;
  if (target.is(Kind::Var) && dispatch(VAR_METHODS, target, method, args, &out)) return out;
  if ((target.is(Kind::Reference) || target.is(Kind::Var)) && dispatch(DEREF_METHODS, target, method, args, &out))
    return out;
  if (target.is(Kind::Host)) {
    if (is_string_builder(target) && dispatch(BUILDER_METHODS, target, method, args, &out)) return out;
    if (is_class(target) && dispatch(CLASS_METHODS, target, method, args, &out)) return out;
    if (is_writer(target) && dispatch(WRITER_METHODS, target, method, args, &out)) return out;
    if (call_collection_method(target, method, args, &out)) return out;
    if (const auto* t = dynamic_cast<const ThreadHandle*>(target.obj()); t && args.empty()) {
      if (method == "getName") return make_string(t->name());
      if (method == "isAlive") return TRUE_V();
      if (method == "isDaemon") return Value::boolean(t->name() != "main");
      if (method == "isInterrupted") return FALSE_V();
    }
    if (lib::process::call_method(target, method, args, &out)) return out;
    if (as_iterator(target) && dispatch(ITERATOR_METHODS, target, method, args, &out)) return out;
    if (lib::strs::as_matcher(target) && dispatch(MATCHER_METHODS, target, method, args, &out)) return out;
  }
  if ((target.has(COLL) || target.has(SEQ)) && dispatch(COLL_METHODS, target, method, args, &out)) return out;
  if (target.is(Kind::Inst) && method == "getTime" && args.empty()) return Value::integer(target.as<Inst>().millis());
  if (target.is(Kind::Pattern) && dispatch(PATTERN_METHODS, target, method, args, &out)) return out;
  if (target.is_bool() && dispatch(BOOLEAN_METHODS, target, method, args, &out)) return out;
  if (dispatch(OBJECT_METHODS, target, method, args, &out)) return out;
  *found = false;
  return {};
}

namespace {

// A bare java.lang.Object: identity only.
class PlainObject final : public Object {
 public:
  PlainObject() : Object(Kind::Host, 0) {}
  std::string_view type_name() const override { return "java.lang.Object"; }
};

Value construct_exception(const ExceptionClass* ex, Args a, bool* found) {
  bool info = ex->name == "clojure.lang.ExceptionInfo";
  if (info) {
    if (a.size() < 2 || a.size() > 3 || !a[0].is(Kind::String)) return *found = false, Value();
    return make_ex_info(str_view(a[0]), a[1], a.size() > 2 ? a[2] : Value());
  }
  switch (a.size()) {
    case 0: return make_throwable(ex, Value());
    case 1:
      // (Exception. cause) takes the cause's text as its message, as Java does.
      if (a[0].is(Kind::Throwable)) return make_throwable(ex, make_string(to_string(a[0])), Value(), a[0]);
      if (a[0].is_nil() || a[0].is(Kind::String)) return make_throwable(ex, a[0]);
      break;
    case 2:
      if ((a[0].is_nil() || a[0].is(Kind::String)) && (a[1].is_nil() || a[1].is(Kind::Throwable)))
        return make_throwable(ex, a[0], Value(), a[1]);
      break;
  }
  *found = false;
  return {};
}

}  // namespace

Value construct_instance(const HostClass& cls, Args a, bool* found) {
  *found = true;
  const std::string& n = cls.name();
  if (const ExceptionClass* ex = exception_class(n)) return construct_exception(ex, a, found);
  if (n == "java.lang.String") {
    if (a.empty()) return make_string("");
    if (a.size() == 1 && (a[0].is(Kind::String) || is_string_builder(a[0]))) return make_string(to_string(a[0]));
    if (a.size() == 1)
      if (const lib::JavaArray* arr = lib::as_array(a[0]); arr && arr->element() == 'C') {
        std::u32string u;
        for (const Value& c : arr->items()) u += c.is_char() ? c.as_char() : U'\0';
        return make_string(to_utf8(u));
      }
  } else if (n == "java.lang.StringBuilder") {
    if (a.empty() || (a.size() == 1 && a[0].is_int())) return Value::adopt(new detail::StringBuilder());
    if (a.size() == 1 && (a[0].is(Kind::String) || is_string_builder(a[0])))
      return Value::adopt(new detail::StringBuilder(to_string(a[0])));
  } else if (n == "java.lang.Object") {
    if (a.empty()) return Value::adopt(new PlainObject());
  } else if (n == "java.util.Date") {
    if (a.empty()) {
      using namespace std::chrono;
      return make_inst(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    }
    if (a.size() == 1 && a[0].is_int()) return make_inst(a[0].as_int());
  } else if (n == "java.util.UUID") {
    if (a.size() == 2 && a[0].is_int() && a[1].is_int())
      return make_uuid(static_cast<uint64_t>(a[0].as_int()), static_cast<uint64_t>(a[1].as_int()));
  } else if (n == "java.lang.Boolean") {
    // Java's deprecated boxing constructor: any string but "true" (in any case) is false.
    if (a.size() == 1 && a[0].is_bool()) return a[0];
    if (a.size() == 1 && (a[0].is_nil() || a[0].is(Kind::String)))
      return Value::boolean(!a[0].is_nil() && map_case(sv(a[0]), false) == "true");
  } else if (n == "java.util.ArrayList" || n == "java.util.HashMap") {
    return construct_collection(n, a, found);
  } else if (n == "java.io.StringWriter") {
    if (a.empty() || (a.size() == 1 && a[0].is_int())) return Value::adopt(new StringWriter());
  } else if (n == "java.io.StringReader") {
    if (a.size() == 1 && a[0].is(Kind::String)) return Value::adopt(new StringInput(std::string(str_view(a[0]))));
  } else if (n == "clojure.lang.LineNumberingPushbackReader") {
    // kelp's readers already count lines and push back: wrapping one answers the reader itself.
    if (a.size() == 1 && is_input(a[0])) return a[0];
  } else if (n == "java.lang.Thread") {
    return lib::process::construct_thread(a, found);
  } else if (n == "java.math.BigInteger") {
    if (a.size() == 1 && a[0].is(Kind::String)) return call_core("biginteger", a);
  } else if (n == "java.math.BigDecimal") {
    if (a.size() == 1 && (a[0].is(Kind::String) || a[0].is_int() || a[0].is(Kind::BigInt))) return call_core("bigdec", a);
  }
  *found = false;
  return {};
}

}  // namespace kelp::rt::host::detail
