// Numbers beyond the inline 64-bit integer and double: big integers, ratios and big decimals.
#pragma once

#include <gmpxx.h>

#include <optional>
#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp {

// clojure.lang.BigInt: may hold a small value (1N stays a BigInt and prints with its N).
class BigInt final : public Object {
 public:
  explicit BigInt(mpz_class v) : Object(Kind::BigInt, NUMBER), v_(std::move(v)) {}
  const mpz_class& value() const { return v_; }
  int32_t compute_hash() const override;
  std::string_view type_name() const override { return "clojure.lang.BigInt"; }

 private:
  mpz_class v_;
};

// clojure.lang.Ratio: always normalised, denominator > 1.
class Ratio final : public Object {
 public:
  explicit Ratio(mpq_class v) : Object(Kind::Ratio, NUMBER), v_(std::move(v)) {}
  const mpq_class& value() const { return v_; }
  int32_t compute_hash() const override;
  std::string_view type_name() const override { return "clojure.lang.Ratio"; }

 private:
  mpq_class v_;
};

// java.math.BigDecimal: unscaled * 10^-scale.
class BigDec final : public Object {
 public:
  BigDec(mpz_class unscaled, int32_t scale) : Object(Kind::BigDec, NUMBER), unscaled_(std::move(unscaled)), scale_(scale) {}
  const mpz_class& unscaled() const { return unscaled_; }
  int32_t scale() const { return scale_; }
  int32_t compute_hash() const override;
  std::string_view type_name() const override { return "java.math.BigDecimal"; }

 private:
  mpz_class unscaled_;
  int32_t scale_;
};

bool is_number(const Value& v);
// Integer kinds: inline integers and BigInt.
bool is_integer(const Value& v);

// A BigInt object, whatever the size (what an N literal makes).
Value make_bigint(mpz_class v);
// An integer value: inline when it fits 64 bits, else a BigInt (what arithmetic answers).
Value make_integer(const mpz_class& v);
// A ratio reduced to lowest terms; an integer value when the denominator divides out.
// The denominator must not be zero.
Value make_ratio(const mpz_class& num, const mpz_class& den);
Value make_bigdec(mpz_class unscaled, int32_t scale);

// Any integer value as a GMP integer (integers only).
mpz_class to_mpz(const Value& v);

// Java's BigInteger.hashCode of v.
int32_t java_biginteger_hash(const mpz_class& v);

// Number text of Clojure's reader: 42, -7, 0x1F, 017, 2r101, 42N, 1/2, 1.5, 1e10, 1.5M. Answers nothing when
// the text is not a number, or a failure sentence through `error` when it looks like one but is malformed.
std::optional<Value> parse_number(std::string_view text, std::string* error);

// Java's Double.toString form with the shortest digits that read back: "1.0", "1.0E10", "1.0E-5", "##Inf".
std::string format_double(double d);
std::string format_bigdec(const BigDec& d);  // without the M

// Numeric equality as Clojure's = (same category: integer/ratio, floating, decimal) and hash (hasheq).
bool number_equiv(const Value& a, const Value& b);
int32_t number_hash(const Value& v);
// Numeric ordering across all number kinds (NaN orders as Java's Double.compare does).
int number_compare(const Value& a, const Value& b);

}  // namespace kelp
