// clojure.core's numbers: arithmetic, comparison, predicates, coercions, bit operations and number parsing.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/lib/num_ops.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

namespace {

using rt::Args;
using num::Cat;

// What (str x) shows for a number in messages: nothing for nil.
std::string shown(const Value& v) {
  if (v.is_nil()) return "";
  if (v.is(Kind::String)) return std::string(str_view(v));
  if (v.is(Kind::BigInt)) return v.as<BigInt>().value().get_str();
  if (v.is(Kind::BigDec)) return format_bigdec(v.as<BigDec>());
  return pr_str(v);
}

// --- Arithmetic folds. Two longs stay on the fast path inside num::add and friends.

template <Value (*Op)(const Value&, const Value&)>
Value fold(Args a) {
  Value acc = Op(a[0], a[1]);
  for (size_t i = 2; i < a.size(); ++i) acc = Op(acc, a[i]);
  return acc;
}

Value checked(const Value& v) {
  num::category(v);
  return v;
}

Value plus(Args a) {
  if (a.size() == 2) return num::add(a[0], a[1]);
  if (a.empty()) return Value::integer(0);
  if (a.size() == 1) return checked(a[0]);
  return fold<num::add>(a);
}

Value minus(Args a) {
  if (a.size() == 2) return num::sub(a[0], a[1]);
  if (a.size() == 1) return num::negate(a[0]);
  return fold<num::sub>(a);
}

Value times(Args a) {
  if (a.size() == 2) return num::mul(a[0], a[1]);
  if (a.empty()) return Value::integer(1);
  if (a.size() == 1) return checked(a[0]);
  return fold<num::mul>(a);
}

Value divide(Args a) {
  if (a.size() == 1) {
    // (/ x) divides boxed, where even a double zero is refused.
    if (num::sign(a[0]) == 0 && !num::is_nan(a[0])) rt::throw_arithmetic("Divide by zero");
    return num::div(Value::integer(1), a[0]);
  }
  return fold<num::div>(a);
}

Value plus_p(Args a) {
  if (a.empty()) return Value::integer(0);
  if (a.size() == 1) return checked(a[0]);
  return fold<num::add_p>(a);
}

Value minus_p(Args a) {
  if (a.size() == 1) return num::negate_p(a[0]);
  return fold<num::sub_p>(a);
}

Value times_p(Args a) {
  if (a.empty()) return Value::integer(1);
  if (a.size() == 1) return checked(a[0]);
  return fold<num::mul_p>(a);
}

// --- Comparison chains: (< a b c) holds when every neighbouring pair does.

template <bool (*Rel)(const Value&, const Value&)>
Value chain(Args a) {
  for (size_t i = 0; i + 1 < a.size(); ++i)
    if (!Rel(a[i], a[i + 1])) return FALSE_V();
  return TRUE_V();
}

bool gt(const Value& x, const Value& y) { return num::lt(y, x); }
bool gte(const Value& x, const Value& y) { return num::lte(y, x); }

// Clojure's max and min: a NaN operand wins; otherwise ties go to the later argument.
Value max_of(Args a) {
  Value best = a[0];
  for (size_t i = 1; i < a.size(); ++i) {
    if (num::is_nan(best)) { num::category(a[i]); continue; }
    if (num::is_nan(a[i]) || !gt(best, a[i])) best = a[i];
  }
  return best;
}

Value min_of(Args a) {
  Value best = a[0];
  for (size_t i = 1; i < a.size(); ++i) {
    if (num::is_nan(best)) { num::category(a[i]); continue; }
    if (num::is_nan(a[i]) || !num::lt(best, a[i])) best = a[i];
  }
  return best;
}

// --- Predicates

bool is_long(const Value& v) { return v.is_int(); }

bool integral(const Value& v) {
  if (v.is_int() || v.is(Kind::BigInt)) return true;
  return false;
}

Value parity(const Value& v, bool want_even) {
  if (v.is_int()) return Value::boolean(((v.as_int() & 1) == 0) == want_even);
  if (v.is(Kind::BigInt)) return Value::boolean(mpz_even_p(v.as<BigInt>().value().get_mpz_t()) == want_even);
  rt::throw_illegal_argument("Argument must be an integer: " + shown(v));
}

// --- Coercions

[[noreturn]] void out_of_range(std::string_view type, const Value& v) {
  rt::throw_illegal_argument("Value out of range for " + std::string(type) + ": " + shown(v));
}

// A number truncated towards zero to a long within [lo, hi]; `type` names the target in the range error.
int64_t integral_cast(const Value& v, int64_t lo, int64_t hi, std::string_view type) {
  if (v.is_char()) return static_cast<int64_t>(v.as_char());
  switch (num::category(v)) {
    case Cat::Long: {
      int64_t x = v.as_int();
      if (x < lo || x > hi) {
        if (type == "int") rt::throw_arithmetic("integer overflow");
        out_of_range(type, v);
      }
      return x;
    }
    case Cat::BigInt:
    case Cat::Ratio: {
      Value whole = v;
      if (v.is(Kind::Ratio)) whole = num::quot(v, Value::integer(1));
      mpz_class z = kelp::to_mpz(whole);
      if (z < lo || z > hi) out_of_range(type, whole);
      return z.get_si();
    }
    case Cat::Double:
    case Cat::BigDec: {
      double d = num::to_double(v);
      if (std::isnan(d)) return 0;
      // Compared as doubles, as the JVM does: 2^63 itself is out of range.
      if (d < static_cast<double>(lo) || d >= static_cast<double>(hi) + 1.0)
        out_of_range(type, Value::real(d));
      return static_cast<int64_t>(d);
    }
  }
  return 0;
}

Value to_long(Args a) { return a[0].is_int() ? a[0] : Value::integer(integral_cast(a[0], INT64_MIN, INT64_MAX, "long")); }
Value to_int(Args a) { return Value::integer(integral_cast(a[0], INT32_MIN, INT32_MAX, "int")); }
Value to_short(Args a) { return Value::integer(integral_cast(a[0], INT16_MIN, INT16_MAX, "short")); }
Value to_byte(Args a) { return Value::integer(integral_cast(a[0], INT8_MIN, INT8_MAX, "byte")); }

Value to_double(Args a) { return a[0].is_double() ? a[0] : Value::real(num::to_double(a[0])); }

// kelp has no single-precision kind: a float is a double checked against the float range.
Value to_float(Args a) {
  double d = num::to_double(a[0]);
  if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) out_of_range("float", Value::real(d));
  return Value::real(d);
}

mpz_class truncated_integer(const Value& v) {
  if (v.is(Kind::String)) {
    mpz_class z;
    std::string s(str_view(v));
    if (s.empty() || mpz_set_str(z.get_mpz_t(), s.c_str() + (s[0] == '+'), 10) != 0)
      rt::throw_error("java.lang.NumberFormatException", "For input string: \"" + s + "\"");
    return z;
  }
  switch (num::category(v)) {
    case Cat::Long:
    case Cat::BigInt: return kelp::to_mpz(v);
    case Cat::Double: {
      double d = v.as_double();
      if (!std::isfinite(d)) rt::throw_error("java.lang.NumberFormatException", "Infinite or NaN");
      return mpz_class(std::trunc(d));
    }
    default: {
      mpq_class q = num::to_mpq(v);
      mpz_class t;
      mpz_tdiv_q(t.get_mpz_t(), q.get_num_mpz_t(), q.get_den_mpz_t());
      return t;
    }
  }
}

Value to_bigint(Args a) { return a[0].is(Kind::BigInt) ? a[0] : make_bigint(truncated_integer(a[0])); }
// java.math.BigInteger prints without the N; kelp answers the plain integer.
Value to_biginteger(Args a) { return make_integer(truncated_integer(a[0])); }

Value to_bigdec(Args a) {
  const Value& v = a[0];
  if (v.is(Kind::BigDec)) return v;
  if (v.is(Kind::String)) {
    std::string text(str_view(v));
    std::optional<Value> parsed = parse_number(text + "M", nullptr);
    if (!parsed || !parsed->is(Kind::BigDec) || text.empty() || text.back() == 'M')
      rt::throw_error("java.lang.NumberFormatException",
                      "Character " + text.substr(0, 1) + " is neither a decimal digit number, decimal point, nor \"e\" notation exponential mark.");
    return *parsed;
  }
  return num::make_dec(num::to_dec(v));
}

const Ratio& as_ratio(const Value& v) {
  if (!v.is(Kind::Ratio))
    rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class clojure.lang.Ratio");
  return v.as<Ratio>();
}

Value rationalize(Args a) {
  const Value& v = a[0];
  Cat c = num::category(v);
  if (c != Cat::Double && c != Cat::BigDec) return v;
  num::Dec d = num::to_dec(v);
  mpq_class q = num::to_mpq(num::make_dec(std::move(d)));
  if (q.get_den() == 1) return make_bigint(q.get_num());
  return make_ratio(q.get_num(), q.get_den());
}

// --- Random numbers: one generator per thread, seeded from the system.

std::mt19937_64& rng() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  return gen;
}

double random_unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng()); }

Value rand(Args a) {
  if (a.empty()) return Value::real(random_unit());
  return num::mul(a[0], Value::real(random_unit()));
}

Value rand_int(Args a) {
  Value r = num::mul(a[0], Value::real(random_unit()));
  return Value::integer(integral_cast(r, INT32_MIN, INT32_MAX, "int"));
}

// --- Unchecked long arithmetic wraps; other numbers go the ordinary way.

int64_t wrap(uint64_t u) { return static_cast<int64_t>(u); }

template <uint64_t (*Op)(uint64_t, uint64_t), Value (*Generic)(const Value&, const Value&)>
Value unchecked2(Args a) {
  if (a[0].is_int() && a[1].is_int())
    return Value::integer(wrap(Op(static_cast<uint64_t>(a[0].as_int()), static_cast<uint64_t>(a[1].as_int()))));
  return Generic(a[0], a[1]);
}

uint64_t u_add(uint64_t x, uint64_t y) { return x + y; }
uint64_t u_sub(uint64_t x, uint64_t y) { return x - y; }
uint64_t u_mul(uint64_t x, uint64_t y) { return x * y; }

Value unchecked_inc(Args a) {
  if (a[0].is_int()) return Value::integer(wrap(static_cast<uint64_t>(a[0].as_int()) + 1));
  return num::inc(a[0]);
}
Value unchecked_dec(Args a) {
  if (a[0].is_int()) return Value::integer(wrap(static_cast<uint64_t>(a[0].as_int()) - 1));
  return num::dec(a[0]);
}
Value unchecked_negate(Args a) {
  if (a[0].is_int()) return Value::integer(wrap(0 - static_cast<uint64_t>(a[0].as_int())));
  return num::negate(a[0]);
}

int64_t wrapping_long(const Value& v) {
  if (v.is_char()) return static_cast<int64_t>(v.as_char());
  switch (num::category(v)) {
    case Cat::Long: return v.as_int();
    case Cat::Double: {
      double d = v.as_double();
      if (std::isnan(d)) return 0;
      if (d >= 9.223372036854775807e18) return INT64_MAX;  // Java saturates double -> long
      if (d <= -9.223372036854775808e18) return INT64_MIN;
      return static_cast<int64_t>(d);
    }
    default: {
      mpz_class z = truncated_integer(v);
      mpz_class low;
      mpz_fdiv_r_2exp(low.get_mpz_t(), z.get_mpz_t(), 64);
      return wrap(mpz_get_ui(low.get_mpz_t()));
    }
  }
}

Value unchecked_long(Args a) { return Value::integer(wrapping_long(a[0])); }
Value unchecked_int(Args a) {
  int64_t x = a[0].is_double() ? static_cast<int64_t>(std::isnan(a[0].as_double()) ? 0
                                                       : std::fmax(std::fmin(a[0].as_double(), 2147483647.0), -2147483648.0))
                               : wrapping_long(a[0]);
  return Value::integer(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(x))));
}

// The int forms take their arguments as 32-bit ints and wrap within 32 bits.
int32_t low_int(const Value& v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(wrapping_long(v)))); }
Value int_result(int64_t x) { return Value::integer(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(x)))); }

template <uint64_t (*Op)(uint64_t, uint64_t)>
Value unchecked_int2(Args a) {
  return int_result(wrap(Op(static_cast<uint64_t>(int64_t{low_int(a[0])}), static_cast<uint64_t>(int64_t{low_int(a[1])}))));
}

Value unchecked_int_division(Args a, bool remainder) {
  int32_t x = low_int(a[0]), y = low_int(a[1]);
  if (y == 0) rt::throw_arithmetic("/ by zero");
  if (y == -1) return int_result(remainder ? 0 : -int64_t{x});
  return Value::integer(remainder ? x % y : x / y);
}

void def_unchecked_narrow(rt::Namespace* ns) {
  auto def1 = [&](std::string_view name, rt::NativeBody body) { defn(ns, name, 1, 1, body, NativeDoc{"([x])", nullptr}); };
  auto def2 = [&](std::string_view name, rt::NativeBody body) { defn(ns, name, 2, 2, body, NativeDoc{"([x y])", nullptr}); };
  def1("unchecked-byte", [](Args a) { return Value::integer(static_cast<int8_t>(static_cast<uint8_t>(wrapping_long(a[0])))); });
  def1("unchecked-short", [](Args a) { return Value::integer(static_cast<int16_t>(static_cast<uint16_t>(wrapping_long(a[0])))); });
  def1("unchecked-char", [](Args a) { return Value::character(static_cast<char16_t>(static_cast<uint64_t>(wrapping_long(a[0])))); });
  def1("unchecked-float", [](Args a) { return Value::real(static_cast<double>(static_cast<float>(num::to_double(a[0])))); });
  def1("unchecked-double", [](Args a) { return Value::real(num::to_double(a[0])); });
  def1("unchecked-negate-int", [](Args a) { return int_result(-int64_t{low_int(a[0])}); });
  def1("unchecked-inc-int", [](Args a) { return int_result(int64_t{low_int(a[0])} + 1); });
  def1("unchecked-dec-int", [](Args a) { return int_result(int64_t{low_int(a[0])} - 1); });
  def2("unchecked-add-int", unchecked_int2<u_add>);
  def2("unchecked-subtract-int", unchecked_int2<u_sub>);
  def2("unchecked-multiply-int", unchecked_int2<u_mul>);
  def2("unchecked-divide-int", [](Args a) { return unchecked_int_division(a, false); });
  def2("unchecked-remainder-int", [](Args a) { return unchecked_int_division(a, true); });
}

// --- Bit operations work on longs only.

int64_t bits(const Value& v) {
  if (v.is_int()) return v.as_int();
  if (v.is_nil()) num::throw_not_number(v);
  rt::throw_illegal_argument("bit operation not supported for: class " + std::string(type_name(v)));
}

template <int64_t (*Op)(int64_t, int64_t)>
Value bit_fold(Args a) {
  int64_t acc = Op(bits(a[0]), bits(a[1]));
  for (size_t i = 2; i < a.size(); ++i) acc = Op(acc, bits(a[i]));
  return Value::integer(acc);
}

int64_t b_and(int64_t x, int64_t y) { return x & y; }
int64_t b_or(int64_t x, int64_t y) { return x | y; }
int64_t b_xor(int64_t x, int64_t y) { return x ^ y; }
int64_t b_and_not(int64_t x, int64_t y) { return x & ~y; }
// Shift counts use their low six bits, as Java's do.
int64_t b_shl(int64_t x, int64_t n) { return wrap(static_cast<uint64_t>(x) << (n & 63)); }
int64_t b_shr(int64_t x, int64_t n) { return x >> (n & 63); }
int64_t b_ushr(int64_t x, int64_t n) { return wrap(static_cast<uint64_t>(x) >> (n & 63)); }
int64_t b_set(int64_t x, int64_t n) { return x | b_shl(1, n); }
int64_t b_clear(int64_t x, int64_t n) { return x & ~b_shl(1, n); }
int64_t b_flip(int64_t x, int64_t n) { return x ^ b_shl(1, n); }

// --- Parsing (Clojure 1.11): nil for text that is not a number of the kind.

const std::string& expect_string(const Value& v) {
  if (!v.is(Kind::String))
    rt::throw_illegal_argument("Expected string, got " + (v.is_nil() ? std::string("nil") : std::string(type_name(v))));
  return v.as<String>().str();
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

Value parse_long(Args a) {
  std::string_view s = expect_string(a[0]);
  bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (!all_digits(s)) return NIL;
  uint64_t mag = 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  for (char c : s) {
    auto d = static_cast<uint64_t>(c - '0');
    if (mag > (limit - d) / 10) return NIL;
    mag = mag * 10 + d;
  }
  return Value::integer(negative ? wrap(0 - mag) : static_cast<int64_t>(mag));
}

// Java's floating-point literal grammar (decimal forms): sign, NaN, Infinity, digits with an optional point and
// exponent, and an optional type suffix; surrounding control characters and spaces are ignored.
Value parse_double(Args a) {
  std::string_view s = expect_string(a[0]);
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  std::string text(s);
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::string_view body = s.substr(i);
  if (body == "NaN") return Value::real(std::numeric_limits<double>::quiet_NaN());
  if (body == "Infinity") return Value::real(s[0] == '-' ? -INFINITY : INFINITY);
  if (!body.empty() && std::string_view("fFdD").find(body.back()) != std::string_view::npos) {
    body.remove_suffix(1);
    text.pop_back();
  }
  size_t e = body.find_first_of("eE");
  std::string_view mantissa = body.substr(0, e);
  size_t dot = mantissa.find('.');
  std::string_view whole = mantissa.substr(0, dot);
  std::string_view frac = dot == std::string_view::npos ? std::string_view{} : mantissa.substr(dot + 1);
  if (!(all_digits(whole) || (whole.empty() && all_digits(frac)))) return NIL;
  if (!frac.empty() && !all_digits(frac)) return NIL;
  if (e != std::string_view::npos) {
    std::string_view exp = body.substr(e + 1);
    if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) exp.remove_prefix(1);
    if (!all_digits(exp)) return NIL;
  }
  return Value::real(std::strtod(text.c_str(), nullptr));
}

Value parse_boolean(Args a) {
  std::string_view s = expect_string(a[0]);
  if (s == "true") return TRUE_V();
  if (s == "false") return FALSE_V();
  return NIL;
}

// java.util.UUID.fromString: five dash-separated hex groups of 1-16 digits, masked to 32-16-16-16-48 bits.
Value parse_uuid(Args a) {
  std::string_view s = expect_string(a[0]);
  if (s.size() > 36) return NIL;
  uint64_t parts[5];
  int n = 0;
  size_t start = 0;
  for (;;) {
    size_t dash = s.find('-', start);
    std::string_view part = s.substr(start, dash == std::string_view::npos ? std::string_view::npos : dash - start);
    if (n == 5 || part.empty() || part.size() > 16) return NIL;
    uint64_t v = 0;
    for (char c : part) {
      int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (d < 0) return NIL;
      v = v << 4 | static_cast<uint64_t>(d);
    }
    parts[n++] = v;
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  if (n != 5) return NIL;
  uint64_t hi = (parts[0] & 0xffffffffu) << 32 | (parts[1] & 0xffffu) << 16 | (parts[2] & 0xffffu);
  uint64_t lo = (parts[3] & 0xffffu) << 48 | (parts[4] & 0xffffffffffffu);
  return make_uuid(hi, lo);
}


void def(rt::Namespace* ns, std::string_view name, int min, int max, rt::NativeBody body, const char* arglists) {
  defn(ns, name, min, max, body, NativeDoc{arglists, nullptr});
}

void def_predicates(rt::Namespace* ns) {
  def(ns, "number?", 1, 1, [](Args a) { return Value::boolean(is_number(a[0])); }, "([x])");
  def(ns, "integer?", 1, 1, [](Args a) { return Value::boolean(integral(a[0])); }, "([n])");
  def(ns, "int?", 1, 1, [](Args a) { return Value::boolean(is_long(a[0])); }, "([x])");
  def(ns, "nat-int?", 1, 1, [](Args a) { return Value::boolean(a[0].is_int() && a[0].as_int() >= 0); }, "([x])");
  def(ns, "pos-int?", 1, 1, [](Args a) { return Value::boolean(a[0].is_int() && a[0].as_int() > 0); }, "([x])");
  def(ns, "neg-int?", 1, 1, [](Args a) { return Value::boolean(a[0].is_int() && a[0].as_int() < 0); }, "([x])");
  def(ns, "float?", 1, 1, [](Args a) { return Value::boolean(a[0].is_double()); }, "([n])");
  def(ns, "double?", 1, 1, [](Args a) { return Value::boolean(a[0].is_double()); }, "([x])");
  def(ns, "ratio?", 1, 1, [](Args a) { return Value::boolean(a[0].is(Kind::Ratio)); }, "([n])");
  def(ns, "rational?", 1, 1,
      [](Args a) { return Value::boolean(integral(a[0]) || a[0].is(Kind::Ratio) || a[0].is(Kind::BigDec)); }, "([n])");
  def(ns, "decimal?", 1, 1, [](Args a) { return Value::boolean(a[0].is(Kind::BigDec)); }, "([n])");
  def(ns, "zero?", 1, 1, [](Args a) { return Value::boolean(num::sign(a[0]) == 0 && !num::is_nan(a[0])); }, "([num])");
  def(ns, "pos?", 1, 1, [](Args a) { return Value::boolean(num::sign(a[0]) > 0); }, "([num])");
  def(ns, "neg?", 1, 1, [](Args a) { return Value::boolean(num::sign(a[0]) < 0); }, "([num])");
  def(ns, "even?", 1, 1, [](Args a) { return parity(a[0], true); }, "([n])");
  def(ns, "odd?", 1, 1, [](Args a) { return parity(a[0], false); }, "([n])");
  def(ns, "NaN?", 1, 1, [](Args a) { return Value::boolean(std::isnan(num::to_double(a[0]))); }, "([num])");
  def(ns, "infinite?", 1, 1, [](Args a) { return Value::boolean(std::isinf(num::to_double(a[0]))); }, "([num])");
}

void def_arithmetic(rt::Namespace* ns) {
  def(ns, "+", 0, -1, plus, "([] [x] [x y] [x y & more])");
  def(ns, "-", 1, -1, minus, "([x] [x y] [x y & more])");
  def(ns, "*", 0, -1, times, "([] [x] [x y] [x y & more])");
  def(ns, "/", 1, -1, divide, "([x] [x y] [x y & more])");
  def(ns, "+'", 0, -1, plus_p, "([] [x] [x y] [x y & more])");
  def(ns, "-'", 1, -1, minus_p, "([x] [x y] [x y & more])");
  def(ns, "*'", 0, -1, times_p, "([] [x] [x y] [x y & more])");
  def(ns, "inc", 1, 1, [](Args a) { return num::inc(a[0]); }, "([x])");
  def(ns, "dec", 1, 1, [](Args a) { return num::dec(a[0]); }, "([x])");
  def(ns, "inc'", 1, 1, [](Args a) { return num::add_p(a[0], Value::integer(1)); }, "([x])");
  def(ns, "dec'", 1, 1, [](Args a) { return num::sub_p(a[0], Value::integer(1)); }, "([x])");
  def(ns, "quot", 2, 2, [](Args a) { return num::quot(a[0], a[1]); }, "([num div])");
  def(ns, "rem", 2, 2, [](Args a) { return num::rem(a[0], a[1]); }, "([num div])");
  def(ns, "mod", 2, 2, [](Args a) { return num::mod(a[0], a[1]); }, "([num div])");
  def(ns, "abs", 1, 1, [](Args a) { return num::abs(a[0]); }, "([a])");
  def(ns, "max", 1, -1, max_of, "([x] [x y] [x y & more])");
  def(ns, "min", 1, -1, min_of, "([x] [x y] [x y & more])");
  def(ns, "==", 1, -1, chain<num::num_equiv>, "([x] [x y] [x y & more])");
  def(ns, "<", 1, -1, chain<num::lt>, "([x] [x y] [x y & more])");
  def(ns, "<=", 1, -1, chain<num::lte>, "([x] [x y] [x y & more])");
  def(ns, ">", 1, -1, chain<gt>, "([x] [x y] [x y & more])");
  def(ns, ">=", 1, -1, chain<gte>, "([x] [x y] [x y & more])");
  def(ns, "unchecked-add", 2, 2, unchecked2<u_add, num::add>, "([x y])");
  def(ns, "unchecked-subtract", 2, 2, unchecked2<u_sub, num::sub>, "([x y])");
  def(ns, "unchecked-multiply", 2, 2, unchecked2<u_mul, num::mul>, "([x y])");
  def(ns, "unchecked-inc", 1, 1, unchecked_inc, "([x])");
  def(ns, "unchecked-dec", 1, 1, unchecked_dec, "([x])");
  def(ns, "unchecked-negate", 1, 1, unchecked_negate, "([x])");
  def(ns, "unchecked-long", 1, 1, unchecked_long, "([x])");
  def(ns, "unchecked-int", 1, 1, unchecked_int, "([x])");
  def_unchecked_narrow(ns);
  def(ns, "rand", 0, 1, rand, "([] [n])");
  def(ns, "rand-int", 1, 1, rand_int, "([n])");
}

void def_coercions(rt::Namespace* ns) {
  def(ns, "long", 1, 1, to_long, "([x])");
  def(ns, "int", 1, 1, to_int, "([x])");
  def(ns, "short", 1, 1, to_short, "([x])");
  def(ns, "byte", 1, 1, to_byte, "([x])");
  def(ns, "double", 1, 1, to_double, "([x])");
  def(ns, "float", 1, 1, to_float, "([x])");
  def(ns, "num", 1, 1, [](Args a) { return a[0].is_nil() ? a[0] : checked(a[0]); }, "([x])");
  def(ns, "bigint", 1, 1, to_bigint, "([x])");
  def(ns, "biginteger", 1, 1, to_biginteger, "([x])");
  def(ns, "bigdec", 1, 1, to_bigdec, "([x])");
  def(ns, "numerator", 1, 1, [](Args a) { return make_integer(as_ratio(a[0]).value().get_num()); }, "([r])");
  def(ns, "denominator", 1, 1, [](Args a) { return make_integer(as_ratio(a[0]).value().get_den()); }, "([r])");
  def(ns, "rationalize", 1, 1, rationalize, "([num])");
  def(ns, "parse-long", 1, 1, parse_long, "([s])");
  def(ns, "parse-double", 1, 1, parse_double, "([s])");
  def(ns, "parse-boolean", 1, 1, parse_boolean, "([s])");
  def(ns, "parse-uuid", 1, 1, parse_uuid, "([s])");
}

void def_bits(rt::Namespace* ns) {
  def(ns, "bit-and", 2, -1, bit_fold<b_and>, "([x y] [x y & more])");
  def(ns, "bit-or", 2, -1, bit_fold<b_or>, "([x y] [x y & more])");
  def(ns, "bit-xor", 2, -1, bit_fold<b_xor>, "([x y] [x y & more])");
  def(ns, "bit-and-not", 2, -1, bit_fold<b_and_not>, "([x y] [x y & more])");
  def(ns, "bit-not", 1, 1, [](Args a) { return Value::integer(~bits(a[0])); }, "([x])");
  def(ns, "bit-shift-left", 2, 2, [](Args a) { return Value::integer(b_shl(bits(a[0]), bits(a[1]))); }, "([x n])");
  def(ns, "bit-shift-right", 2, 2, [](Args a) { return Value::integer(b_shr(bits(a[0]), bits(a[1]))); }, "([x n])");
  def(ns, "unsigned-bit-shift-right", 2, 2, [](Args a) { return Value::integer(b_ushr(bits(a[0]), bits(a[1]))); },
      "([x n])");
  def(ns, "bit-set", 2, 2, [](Args a) { return Value::integer(b_set(bits(a[0]), bits(a[1]))); }, "([x n])");
  def(ns, "bit-clear", 2, 2, [](Args a) { return Value::integer(b_clear(bits(a[0]), bits(a[1]))); }, "([x n])");
  def(ns, "bit-flip", 2, 2, [](Args a) { return Value::integer(b_flip(bits(a[0]), bits(a[1]))); }, "([x n])");
  def(ns, "bit-test", 2, 2, [](Args a) { return Value::boolean((bits(a[0]) & b_shl(1, bits(a[1]))) != 0); }, "([x n])");
}

}  // namespace

void install_core_num() {
  rt::Namespace* core = rt::core_vars().core;
  num::set_math_context_var(&rt::as_var(defvar(core, "*math-context*", NIL, true)));
  defn(core, "math-context*", 2, 2, [](rt::Args a) { return num::math_context(a[0], a[1]); },
       NativeDoc{"([precision rounding])", nullptr});
  def_predicates(core);
  def_arithmetic(core);
  def_coercions(core);
  def_bits(core);
}

}  // namespace kelp::lib
