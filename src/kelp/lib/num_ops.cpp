#include "kelp/lib/num_ops.hpp"

#include <cmath>
#include <cstdlib>
#include <string>

#include "kelp/data/number.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib::num {

namespace {

mpz_class pow10(uint64_t n) {
  mpz_class r;
  mpz_ui_pow_ui(r.get_mpz_t(), 10, static_cast<unsigned long>(n));
  return r;
}

// Linux is LP64, so a long holds every int64_t.
mpz_class mpz_of(int64_t i) { return mpz_class(static_cast<long>(i)); }

// A ratio-category result: Clojure answers a BigInt when the denominator divides out.
Value ratio_result(mpq_class q) {
  q.canonicalize();
  if (q.get_den() == 1) return make_bigint(q.get_num());
  return make_ratio(q.get_num(), q.get_den());
}

double parse_double_text(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// Java's Ratio.doubleValue: the quotient rounded half-even to 16 significant digits, then to the nearest double.
double ratio_to_double(const mpq_class& q) {
  mpz_class a = abs(q.get_num());
  const mpz_class& d = q.get_den();
  long e = static_cast<long>(mpz_sizeinbase(a.get_mpz_t(), 10)) - static_cast<long>(mpz_sizeinbase(d.get_mpz_t(), 10));
  long k = 15 - e;
  const mpz_class lo = pow10(15), hi = pow10(16);
  mpz_class qq, r, den;
  for (;;) {
    mpz_class num = k >= 0 ? a * pow10(static_cast<uint64_t>(k)) : a;
    den = k >= 0 ? d : d * pow10(static_cast<uint64_t>(-k));
    mpz_fdiv_qr(qq.get_mpz_t(), r.get_mpz_t(), num.get_mpz_t(), den.get_mpz_t());
    if (qq >= hi) { --k; continue; }
    if (qq < lo) { ++k; continue; }
    break;
  }
  int c = cmp(mpz_class(2 * r), den);
  if (c > 0 || (c == 0 && mpz_odd_p(qq.get_mpz_t()))) ++qq;
  std::string text = (sgn(q) < 0 ? "-" : "") + qq.get_str() + "e" + std::to_string(-k);
  return parse_double_text(text);
}

Dec align(const Dec& d, int32_t scale) {
  if (d.scale >= scale) return d;
  return Dec{d.unscaled * pow10(static_cast<uint64_t>(scale - d.scale)), scale};
}

Dec dec_add(const Dec& a, const Dec& b) {
  int32_t s = std::max(a.scale, b.scale);
  return Dec{align(a, s).unscaled + align(b, s).unscaled, s};
}

Dec dec_mul(const Dec& a, const Dec& b) { return Dec{a.unscaled * b.unscaled, a.scale + b.scale}; }

[[noreturn]] void throw_non_terminating() {
  rt::throw_arithmetic("Non-terminating decimal expansion; no exact representable decimal result.");
}

// n/d (d > 0, lowest terms) as an exact decimal at the smallest scale not below `preferred`.
Dec exact_decimal(mpz_class n, mpz_class d, int32_t preferred) {
  mpz_class rest = d;
  auto twos = static_cast<long>(mpz_remove(rest.get_mpz_t(), rest.get_mpz_t(), mpz_class(2).get_mpz_t()));
  auto fives = static_cast<long>(mpz_remove(rest.get_mpz_t(), rest.get_mpz_t(), mpz_class(5).get_mpz_t()));
  if (rest != 1) throw_non_terminating();
  long k = std::max(twos, fives);
  mpz_class u = n * pow10(static_cast<uint64_t>(k)) / d;
  return Dec{u, static_cast<int32_t>(preferred + k)};
}

// BigDecimal.divide: exact, at the preferred scale a.scale - b.scale or the smallest exact one above it.
Dec dec_div(const Dec& a, const Dec& b) {
  mpq_class q(a.unscaled, b.unscaled);
  q.canonicalize();
  return exact_decimal(q.get_num(), q.get_den(), a.scale - b.scale);
}

// BigDecimal.divideToIntegralValue: the truncated quotient, shown at the preferred scale where it can be.
Dec dec_quot(const Dec& a, const Dec& b) {
  int32_t preferred = a.scale - b.scale;
  // x / y = (ua / ub) * 10^-preferred
  mpq_class q(a.unscaled, b.unscaled);
  q.canonicalize();
  if (preferred > 0) q /= pow10(static_cast<uint64_t>(preferred));
  else if (preferred < 0) q *= pow10(static_cast<uint64_t>(-int64_t{preferred}));
  mpz_class t;
  mpz_tdiv_q(t.get_mpz_t(), q.get_num_mpz_t(), q.get_den_mpz_t());
  // t is at scale 0; move to the preferred scale.
  if (preferred >= 0) return Dec{t * pow10(static_cast<uint64_t>(preferred)), preferred};
  int32_t scale = 0;
  while (scale > preferred && t != 0 && mpz_divisible_ui_p(t.get_mpz_t(), 10)) {
    t /= 10;
    --scale;
  }
  return Dec{t, scale};
}

Dec dec_negate(const Dec& a) { return Dec{-a.unscaled, a.scale}; }

// --- with-precision: *math-context* holds [precision rounding-symbol] while bound.

const rt::Var* math_context_var = nullptr;

enum class Rounding : uint8_t { Up, Down, Ceiling, Floor, HalfUp, HalfDown, HalfEven, Unnecessary };

struct MathContext {
  uint32_t precision = 0;  // 0: exact arithmetic
  Rounding rounding = Rounding::HalfUp;
};

std::optional<Rounding> rounding_named(std::string_view n) {
  static const std::pair<std::string_view, Rounding> NAMES[] = {
      {"UP", Rounding::Up},          {"DOWN", Rounding::Down},           {"CEILING", Rounding::Ceiling},
      {"FLOOR", Rounding::Floor},    {"HALF_UP", Rounding::HalfUp},      {"HALF_DOWN", Rounding::HalfDown},
      {"HALF_EVEN", Rounding::HalfEven}, {"UNNECESSARY", Rounding::Unnecessary}};
  for (auto& [name, r] : NAMES)
    if (name == n) return r;
  return std::nullopt;
}

MathContext current_context() {
  MathContext mc;
  if (!math_context_var) return mc;
  Value v = math_context_var->deref();
  if (!v.is(Kind::Vector) || v.obj()->count() != 2) return mc;
  Value p = *vector_get(v, 0), r = *vector_get(v, 1);
  if (p.is_int() && p.as_int() > 0) mc.precision = static_cast<uint32_t>(p.as_int());
  if (r.is(Kind::Symbol))
    if (auto rounding = rounding_named(r.as<Symbol>().name())) mc.rounding = *rounding;
  return mc;
}

size_t decimal_digits(const mpz_class& z) {
  if (z == 0) return 1;
  size_t n = mpz_sizeinbase(z.get_mpz_t(), 10);  // exact or one too many
  mpz_class lo = pow10(n - 1);
  return abs(z) < lo ? n - 1 : n;
}

// n / d (d > 0) rounded to an integer by the mode.
mpz_class round_quotient(const mpz_class& n, const mpz_class& d, Rounding mode) {
  mpz_class q, r;
  mpz_tdiv_qr(q.get_mpz_t(), r.get_mpz_t(), n.get_mpz_t(), d.get_mpz_t());
  if (r == 0) return q;
  bool negative = sgn(n) < 0;
  int half = cmp(mpz_class(2 * abs(r)), d);
  bool away = false;
  switch (mode) {
    case Rounding::Up: away = true; break;
    case Rounding::Down: away = false; break;
    case Rounding::Ceiling: away = !negative; break;
    case Rounding::Floor: away = negative; break;
    case Rounding::HalfUp: away = half >= 0; break;
    case Rounding::HalfDown: away = half > 0; break;
    case Rounding::HalfEven: away = half > 0 || (half == 0 && mpz_odd_p(q.get_mpz_t())); break;
    case Rounding::Unnecessary: rt::throw_arithmetic("Rounding necessary");
  }
  if (away) q += negative ? -1 : 1;
  return q;
}

// A decimal cut to the context's precision, as BigDecimal.round does.
Dec in_context(Dec d, const MathContext& mc) {
  if (mc.precision == 0) return d;
  size_t digits = decimal_digits(d.unscaled);
  if (digits <= mc.precision) return d;
  auto drop = static_cast<int32_t>(digits - mc.precision);
  d.unscaled = round_quotient(d.unscaled, pow10(static_cast<uint64_t>(drop)), mc.rounding);
  d.scale -= drop;
  if (decimal_digits(d.unscaled) > mc.precision) {  // 9.99 -> 10.0 carried into a new digit
    d.unscaled /= 10;
    d.scale -= 1;
  }
  return d;
}

// BigDecimal.divide(divisor, mc): the quotient to the context's precision, trailing zeros dropped down to the
// preferred scale a.scale - b.scale.
Dec dec_div_in_context(const Dec& a, const Dec& b, const MathContext& mc) {
  int32_t preferred = a.scale - b.scale;
  mpq_class q(a.unscaled, b.unscaled);
  q.canonicalize();
  if (q == 0) return Dec{0, preferred};
  mpz_class num = q.get_num(), den = q.get_den();
  // The scale s (relative to the unscaled quotient) that puts precision digits before the point.
  auto s = static_cast<int64_t>(mc.precision) -
           (static_cast<int64_t>(decimal_digits(num)) - static_cast<int64_t>(decimal_digits(den)));
  mpz_class lo = pow10(mc.precision - 1), hi = pow10(mc.precision);
  auto scaled = [&](int64_t k) {
    mpq_class x(abs(num), den);
    if (k >= 0) x *= pow10(static_cast<uint64_t>(k));
    else x /= pow10(static_cast<uint64_t>(-k));
    return x;
  };
  while (scaled(s) >= mpq_class(hi)) --s;
  while (scaled(s) < mpq_class(lo)) ++s;
  mpq_class x = q;
  if (s >= 0) x *= pow10(static_cast<uint64_t>(s));
  else x /= pow10(static_cast<uint64_t>(-s));
  x.canonicalize();
  mpz_class u = round_quotient(x.get_num(), x.get_den(), mc.rounding);
  if (abs(u) >= hi) {
    u /= 10;
    --s;
  }
  int64_t scale = preferred + s;
  while (scale > preferred && u != 0 && mpz_divisible_ui_p(u.get_mpz_t(), 10)) {
    u /= 10;
    --scale;
  }
  return Dec{u, static_cast<int32_t>(scale)};
}

// An arithmetic result: rounded when with-precision is in effect.
Value dec_result(Dec d) {
  Dec r = in_context(std::move(d), current_context());
  return make_bigdec(std::move(r.unscaled), r.scale);
}

bool is_zero_value(const Value& v, Cat c) {
  switch (c) {
    case Cat::Long: return v.as_int() == 0;
    case Cat::Double: return v.as_double() == 0.0;
    case Cat::BigInt: return sgn(v.as<BigInt>().value()) == 0;
    case Cat::Ratio: return false;  // ratios are never zero
    case Cat::BigDec: return sgn(v.as<BigDec>().unscaled()) == 0;
  }
  return false;
}

[[noreturn]] void throw_long_overflow() { rt::throw_arithmetic("long overflow"); }

// The generic (non long-long) operation on the wider category.
template <class LongOp, class BigOp, class RatioOp, class DecOp, class DoubleOp>
Value dispatch(const Value& a, const Value& b, LongOp lop, BigOp bop, RatioOp rop, DecOp dop, DoubleOp fop) {
  switch (widest(category(a), category(b))) {
    case Cat::Long: return lop(a.as_int(), b.as_int());
    case Cat::BigInt: return bop(to_mpz(a), to_mpz(b));
    case Cat::Ratio: return rop(to_mpq(a), to_mpq(b));
    case Cat::BigDec: return dop(to_dec(a), to_dec(b));
    case Cat::Double: return fop(to_double(a), to_double(b));
  }
  return {};
}

Value big(const mpz_class& z) { return make_bigint(z); }

}  // namespace

void set_math_context_var(const rt::Var* v) { math_context_var = v; }

Value math_context(const Value& precision, const Value& rounding) {
  if (!precision.is_int() || precision.as_int() < 0 || precision.as_int() > INT32_MAX)
    rt::throw_illegal_argument("Digits < 0");
  if (!rounding.is(Kind::Symbol) || !rounding_named(rounding.as<Symbol>().name()))
    rt::throw_illegal_argument("No enum constant java.math.RoundingMode." +
                               std::string(rounding.is(Kind::Symbol) ? rounding.as<Symbol>().name() : ""));
  return make_vector({precision, rounding});
}

[[noreturn]] void throw_not_number(const Value& v) {
  if (v.is_nil()) rt::throw_null_pointer("Cannot invoke \"Object.getClass()\" because \"x\" is null");
  rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class java.lang.Number");
}

Cat category(const Value& v) {
  switch (v.type()) {
    case Type::Int: return Cat::Long;
    case Type::Double: return Cat::Double;
    case Type::Obj:
      switch (v.obj()->kind()) {
        case Kind::BigInt: return Cat::BigInt;
        case Kind::Ratio: return Cat::Ratio;
        case Kind::BigDec: return Cat::BigDec;
        default: break;
      }
      break;
    default: break;
  }
  throw_not_number(v);
}

mpq_class to_mpq(const Value& v) {
  switch (category(v)) {
    case Cat::Long: return mpq_class(mpz_of(v.as_int()));
    case Cat::BigInt: return mpq_class(v.as<BigInt>().value());
    case Cat::Ratio: return v.as<Ratio>().value();
    case Cat::BigDec: {
      const auto& d = v.as<BigDec>();
      mpq_class q = d.scale() >= 0 ? mpq_class(d.unscaled(), pow10(static_cast<uint64_t>(d.scale())))
                                   : mpq_class(d.unscaled() * pow10(static_cast<uint64_t>(-int64_t{d.scale()})));
      q.canonicalize();
      return q;
    }
    case Cat::Double: {
      mpq_class q(v.as_double());
      return q;
    }
  }
  return {};
}

double to_double(const Value& v) {
  switch (category(v)) {
    case Cat::Long: return static_cast<double>(v.as_int());
    case Cat::Double: return v.as_double();
    case Cat::BigInt: return parse_double_text(v.as<BigInt>().value().get_str());
    case Cat::Ratio: return ratio_to_double(v.as<Ratio>().value());
    case Cat::BigDec: {
      const auto& d = v.as<BigDec>();
      return parse_double_text(d.unscaled().get_str() + "e" + std::to_string(-int64_t{d.scale()}));
    }
  }
  return 0;
}

Dec to_dec(const Value& v) {
  switch (category(v)) {
    case Cat::Long: return Dec{mpz_of(v.as_int()), 0};
    case Cat::BigInt: return Dec{v.as<BigInt>().value(), 0};
    case Cat::BigDec: return Dec{v.as<BigDec>().unscaled(), v.as<BigDec>().scale()};
    case Cat::Ratio: {
      const mpq_class& q = v.as<Ratio>().value();
      return exact_decimal(q.get_num(), q.get_den(), 0);
    }
    case Cat::Double: {
      // BigDecimal.valueOf(double): the digits of Double.toString.
      std::string text = format_double(v.as_double());
      if (text[0] == '#') rt::throw_error("java.lang.NumberFormatException", "Infinite or NaN");
      std::optional<Value> parsed = parse_number(text + "M", nullptr);
      return to_dec(*parsed);
    }
  }
  return {};
}

Value make_dec(Dec d) { return make_bigdec(std::move(d.unscaled), d.scale); }

Value add(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) {
    int64_t r;
    if (__builtin_add_overflow(a.as_int(), b.as_int(), &r)) throw_long_overflow();
    return Value::integer(r);
  }
  return dispatch(
      a, b, [](int64_t, int64_t) { return Value(); }, [](const mpz_class& x, const mpz_class& y) { return big(x + y); },
      [](const mpq_class& x, const mpq_class& y) { return ratio_result(x + y); },
      [](const Dec& x, const Dec& y) { return dec_result(dec_add(x, y)); },
      [](double x, double y) { return Value::real(x + y); });
}

Value sub(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) {
    int64_t r;
    if (__builtin_sub_overflow(a.as_int(), b.as_int(), &r)) throw_long_overflow();
    return Value::integer(r);
  }
  return dispatch(
      a, b, [](int64_t, int64_t) { return Value(); }, [](const mpz_class& x, const mpz_class& y) { return big(x - y); },
      [](const mpq_class& x, const mpq_class& y) { return ratio_result(x - y); },
      [](const Dec& x, const Dec& y) { return dec_result(dec_add(x, dec_negate(y))); },
      [](double x, double y) { return Value::real(x - y); });
}

Value mul(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) {
    int64_t r;
    if (__builtin_mul_overflow(a.as_int(), b.as_int(), &r)) throw_long_overflow();
    return Value::integer(r);
  }
  return dispatch(
      a, b, [](int64_t, int64_t) { return Value(); }, [](const mpz_class& x, const mpz_class& y) { return big(x * y); },
      [](const mpq_class& x, const mpq_class& y) { return ratio_result(x * y); },
      [](const Dec& x, const Dec& y) { return dec_result(dec_mul(x, y)); },
      [](double x, double y) { return Value::real(x * y); });
}

Value div(const Value& a, const Value& b) {
  Cat ca = category(a), cb = category(b);
  Cat c = widest(ca, cb);
  // Doubles divide as IEEE numbers (1.0 / 0 is ##Inf); exact kinds refuse a zero divisor.
  if (c == Cat::Double) return Value::real(to_double(a) / to_double(b));
  if (is_zero_value(b, cb)) rt::throw_arithmetic("Divide by zero");
  switch (c) {
    case Cat::Long: {
      int64_t x = a.as_int(), y = b.as_int();
      if (y == -1) return Value::integer(static_cast<int64_t>(0 - static_cast<uint64_t>(x)));  // wraps as Java does
      if (x % y == 0) return Value::integer(x / y);
      return make_ratio(mpz_of(x), mpz_of(y));
    }
    case Cat::BigInt:
    case Cat::Ratio: return ratio_result(to_mpq(a) / to_mpq(b));
    case Cat::BigDec: {
      MathContext mc = current_context();
      if (mc.precision == 0) return make_dec(dec_div(to_dec(a), to_dec(b)));
      return make_dec(dec_div_in_context(to_dec(a), to_dec(b), mc));
    }
    case Cat::Double: break;
  }
  return {};
}

Value negate(const Value& a) {
  switch (category(a)) {
    case Cat::Long:
      if (a.as_int() == INT64_MIN) throw_long_overflow();
      return Value::integer(-a.as_int());
    case Cat::Double: return Value::real(-a.as_double());
    case Cat::BigInt: return big(-a.as<BigInt>().value());
    case Cat::Ratio: return ratio_result(-a.as<Ratio>().value());
    case Cat::BigDec: return make_bigdec(-a.as<BigDec>().unscaled(), a.as<BigDec>().scale());
  }
  return {};
}

Value add_p(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) {
    int64_t r;
    if (!__builtin_add_overflow(a.as_int(), b.as_int(), &r)) return Value::integer(r);
    return big(mpz_of(a.as_int()) + mpz_of(b.as_int()));
  }
  return add(a, b);
}

Value sub_p(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) {
    int64_t r;
    if (!__builtin_sub_overflow(a.as_int(), b.as_int(), &r)) return Value::integer(r);
    return big(mpz_of(a.as_int()) - mpz_of(b.as_int()));
  }
  return sub(a, b);
}

Value mul_p(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) {
    int64_t r;
    if (!__builtin_mul_overflow(a.as_int(), b.as_int(), &r)) return Value::integer(r);
    return big(mpz_of(a.as_int()) * mpz_of(b.as_int()));
  }
  return mul(a, b);
}

Value negate_p(const Value& a) {
  if (a.is_int() && a.as_int() == INT64_MIN) return big(-mpz_of(a.as_int()));
  return negate(a);
}

Value inc(const Value& a) { return add(a, Value::integer(1)); }
Value dec(const Value& a) { return sub(a, Value::integer(1)); }

Value quot(const Value& a, const Value& b) {
  Cat ca = category(a), cb = category(b);
  Cat c = widest(ca, cb);
  if (c == Cat::Long) {
    int64_t x = a.as_int(), y = b.as_int();
    if (y == 0) rt::throw_arithmetic("/ by zero");
    if (y == -1) return Value::integer(static_cast<int64_t>(0 - static_cast<uint64_t>(x)));
    return Value::integer(x / y);
  }
  if (is_zero_value(b, cb)) rt::throw_arithmetic("Divide by zero");
  switch (c) {
    case Cat::Double: return Value::real(std::trunc(to_double(a) / to_double(b)));
    case Cat::BigInt: {
      mpz_class q;
      mpz_tdiv_q(q.get_mpz_t(), to_mpz(a).get_mpz_t(), to_mpz(b).get_mpz_t());
      return big(q);
    }
    case Cat::Ratio: {
      mpq_class q = to_mpq(a) / to_mpq(b);
      mpz_class t;
      mpz_tdiv_q(t.get_mpz_t(), q.get_num_mpz_t(), q.get_den_mpz_t());
      return big(t);
    }
    case Cat::BigDec: return make_dec(dec_quot(to_dec(a), to_dec(b)));
    case Cat::Long: break;
  }
  return {};
}

Value rem(const Value& a, const Value& b) {
  Cat ca = category(a), cb = category(b);
  Cat c = widest(ca, cb);
  if (c == Cat::Long) {
    int64_t x = a.as_int(), y = b.as_int();
    if (y == 0) rt::throw_arithmetic("/ by zero");
    if (y == -1) return Value::integer(0);
    return Value::integer(x % y);
  }
  if (is_zero_value(b, cb)) rt::throw_arithmetic("Divide by zero");
  switch (c) {
    case Cat::Double: {
      double x = to_double(a), y = to_double(b);
      return Value::real(x - std::trunc(x / y) * y);
    }
    case Cat::BigInt: {
      mpz_class r;
      mpz_tdiv_r(r.get_mpz_t(), to_mpz(a).get_mpz_t(), to_mpz(b).get_mpz_t());
      return big(r);
    }
    case Cat::Ratio: return sub(a, mul(quot(a, b), b));
    case Cat::BigDec: {
      Dec x = to_dec(a), y = to_dec(b);
      return make_dec(dec_add(x, dec_negate(dec_mul(dec_quot(x, y), y))));
    }
    case Cat::Long: break;
  }
  return {};
}

Value mod(const Value& a, const Value& b) {
  // mod reaches the remainder through the generic path, whose zero check words it as the JVM's does.
  if (is_zero_value(b, category(b))) rt::throw_arithmetic("Divide by zero");
  Value m = rem(a, b);
  if (sign(m) == 0 || (sign(a) > 0) == (sign(b) > 0)) return m;
  return add(m, b);
}

Value abs(const Value& a) {
  switch (category(a)) {
    case Cat::Long: {
      int64_t x = a.as_int();
      return x < 0 ? Value::integer(static_cast<int64_t>(0 - static_cast<uint64_t>(x))) : a;  // MIN stays MIN
    }
    case Cat::Double: return Value::real(std::fabs(a.as_double()));
    case Cat::BigInt: return sgn(a.as<BigInt>().value()) < 0 ? negate(a) : a;
    case Cat::Ratio: return sgn(a.as<Ratio>().value()) < 0 ? negate(a) : a;
    case Cat::BigDec: return sgn(a.as<BigDec>().unscaled()) < 0 ? negate(a) : a;
  }
  return a;
}

namespace {

// -1, 0, 1 for ordered pairs; 2 when a double comparison involves NaN.
int compare_any(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() < b.as_int() ? -1 : (a.as_int() > b.as_int() ? 1 : 0);
  switch (widest(category(a), category(b))) {
    case Cat::Double: {
      double x = to_double(a), y = to_double(b);
      if (std::isnan(x) || std::isnan(y)) return 2;
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case Cat::Long:
    case Cat::BigInt: {
      int c = cmp(to_mpz(a), to_mpz(b));
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    default: {
      int c = cmp(to_mpq(a), to_mpq(b));
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
  }
}

}  // namespace

bool lt(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() < b.as_int();
  return compare_any(a, b) == -1;
}

bool lte(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() <= b.as_int();
  int c = compare_any(a, b);
  return c == -1 || c == 0;
}

bool num_equiv(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() == b.as_int();
  return compare_any(a, b) == 0;
}

int sign(const Value& a) {
  switch (category(a)) {
    case Cat::Long: return a.as_int() < 0 ? -1 : (a.as_int() > 0 ? 1 : 0);
    case Cat::Double: return a.as_double() < 0 ? -1 : (a.as_double() > 0 ? 1 : 0);
    case Cat::BigInt: return sgn(a.as<BigInt>().value());
    case Cat::Ratio: return sgn(a.as<Ratio>().value());
    case Cat::BigDec: return sgn(a.as<BigDec>().unscaled());
  }
  return 0;
}

bool is_nan(const Value& a) { return a.is_double() && std::isnan(a.as_double()); }

}  // namespace kelp::lib::num
