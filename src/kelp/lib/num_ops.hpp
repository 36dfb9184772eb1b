// Clojure's numeric tower: arithmetic and comparison across longs, big integers, ratios, big decimals and doubles.
//
// Two operands are brought to the wider of their categories (long < bigint < ratio < bigdec < double) and the
// operation runs there, as Clojure's Numbers does. Longs take a fast path first; checked long arithmetic throws
// ArithmeticException "long overflow", the promoting forms (+' and friends) answer a BigInt instead.
// The compiler's inlined long paths call these when an operand is not a long.
#pragma once

#include <gmpxx.h>

#include <cstdint>
#include <string>

#include "kelp/data/value.hpp"

namespace kelp::rt {
class Var;
}

namespace kelp::lib::num {

enum class Cat : uint8_t { Long, BigInt, Ratio, BigDec, Double };

// The category of a number. Throws NullPointerException for nil and ClassCastException "class X cannot be cast to
// class java.lang.Number" for anything else.
Cat category(const Value& v);
inline Cat widest(Cat a, Cat b) { return a > b ? a : b; }

// Conversions between representations (integers convert with kelp::to_mpz).
mpq_class to_mpq(const Value& v);
double to_double(const Value& v);
struct Dec {
  mpz_class unscaled;
  int32_t scale;
};
// Exact decimal of any non-double number; a ratio without a terminating expansion throws ArithmeticException
// "Non-terminating decimal expansion; no exact representable decimal result.".
Dec to_dec(const Value& v);
Value make_dec(Dec d);

Value add(const Value& a, const Value& b);
Value sub(const Value& a, const Value& b);
Value mul(const Value& a, const Value& b);
Value div(const Value& a, const Value& b);   // exact where the operands are; "Divide by zero"
Value negate(const Value& a);
Value add_p(const Value& a, const Value& b);  // +' : long overflow promotes to BigInt
Value sub_p(const Value& a, const Value& b);
Value mul_p(const Value& a, const Value& b);
Value negate_p(const Value& a);
Value inc(const Value& a);
Value dec(const Value& a);
Value quot(const Value& a, const Value& b);
Value rem(const Value& a, const Value& b);
Value mod(const Value& a, const Value& b);
Value abs(const Value& a);

// Comparisons; any comparison involving NaN is false.
bool lt(const Value& a, const Value& b);
bool lte(const Value& a, const Value& b);
bool num_equiv(const Value& a, const Value& b);  // == : 1 == 1.0 == 1N, 1.0M == 1.00M
int sign(const Value& a);                        // -1, 0, 1 (0 for NaN)
bool is_nan(const Value& a);

// Java's Long.toString-free names used in messages: "java.lang.Long", "clojure.lang.Ratio", ...
[[noreturn]] void throw_not_number(const Value& v);

// with-precision: decimal arithmetic rounds to the [precision rounding] held by this var while it is bound.
void set_math_context_var(const rt::Var* v);
// The var's value for (with-precision precision :rounding rounding): rounding is a RoundingMode name symbol.
Value math_context(const Value& precision, const Value& rounding);

}  // namespace kelp::lib::num
