#include "kelp/data/number.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "kelp/data/hash.hpp"

namespace kelp {

// --- Construction

bool is_number(const Value& v) { return v.is_int() || v.is_double() || v.has(NUMBER); }
bool is_integer(const Value& v) { return v.is_int() || v.is(Kind::BigInt); }

Value make_bigint(mpz_class v) { return Value::adopt(new BigInt(std::move(v))); }

namespace {

bool fits_int64(const mpz_class& v) {
  static const mpz_class lo = [] { mpz_class x; mpz_set_si(x.get_mpz_t(), INT64_MIN); return x; }();
  static const mpz_class hi = [] { mpz_class x; mpz_set_si(x.get_mpz_t(), INT64_MAX); return x; }();
  return v >= lo && v <= hi;
}

int64_t to_int64(const mpz_class& v) {
  // mpz_get_si takes a long, which is 64 bits on the platforms we build for.
  static_assert(sizeof(long) == 8);
  return mpz_get_si(v.get_mpz_t());
}

mpz_class from_int64(int64_t i) {
  mpz_class x;
  mpz_set_si(x.get_mpz_t(), i);
  return x;
}

}  // namespace

Value make_integer(const mpz_class& v) {
  if (fits_int64(v)) return Value::integer(to_int64(v));
  return make_bigint(v);
}

Value make_ratio(const mpz_class& num, const mpz_class& den) {
  mpq_class q(num, den);
  q.canonicalize();
  if (q.get_den() == 1) return make_integer(q.get_num());
  return Value::adopt(new Ratio(std::move(q)));
}

Value make_bigdec(mpz_class unscaled, int32_t scale) { return Value::adopt(new BigDec(std::move(unscaled), scale)); }

mpz_class to_mpz(const Value& v) {
  if (v.is_int()) return from_int64(v.as_int());
  return v.as<BigInt>().value();
}

// --- Hashing (as the JVM's hashCode of BigInteger, Ratio, BigDecimal and Double)

int32_t java_biginteger_hash(const mpz_class& v) {
  int sign = sgn(v);
  if (sign == 0) return 0;
  size_t words = 0;
  std::vector<uint32_t> mag((mpz_sizeinbase(v.get_mpz_t(), 2) + 31) / 32);
  mpz_export(mag.data(), &words, 1, sizeof(uint32_t), 0, 0, v.get_mpz_t());  // most significant word first
  uint32_t h = 0;
  for (size_t i = 0; i < words; ++i) h = 31 * h + mag[i];
  return static_cast<int32_t>(h * static_cast<uint32_t>(sign));
}

int32_t BigInt::compute_hash() const {
  if (fits_int64(v_)) return murmur3::hash_long(to_int64(v_));
  return java_biginteger_hash(v_);
}

int32_t Ratio::compute_hash() const {
  return java_biginteger_hash(v_.get_num()) ^ java_biginteger_hash(v_.get_den());
}

int32_t BigDec::compute_hash() const {
  if (unscaled_ == 0) return 0;
  // stripTrailingZeros first, so numerically equal decimals hash alike.
  mpz_class u = unscaled_;
  int64_t scale = scale_;
  while (mpz_divisible_ui_p(u.get_mpz_t(), 10)) {
    u /= 10;
    --scale;
  }
  return static_cast<int32_t>(31u * static_cast<uint32_t>(java_biginteger_hash(u)) + static_cast<uint32_t>(scale));
}

namespace {

int32_t double_hash(double d) {
  if (d == 0.0 && std::signbit(d)) return 0;
  uint64_t bits;
  if (std::isnan(d)) {
    bits = 0x7ff8000000000000ull;
  } else {
    std::memcpy(&bits, &d, sizeof bits);
  }
  return static_cast<int32_t>(static_cast<uint32_t>(bits ^ (bits >> 32)));
}

enum class Category { Integer, Ratio, Floating, Decimal };

Category category(const Value& v) {
  if (v.is_int()) return Category::Integer;
  if (v.is_double()) return Category::Floating;
  switch (v.obj()->kind()) {
    case Kind::BigInt: return Category::Integer;
    case Kind::Ratio: return Category::Ratio;
    default: return Category::Decimal;
  }
}

// Exact rational value of any non-floating number.
mpq_class to_mpq(const Value& v) {
  if (v.is_int()) return mpq_class(from_int64(v.as_int()));
  switch (v.obj()->kind()) {
    case Kind::BigInt: return mpq_class(v.as<BigInt>().value());
    case Kind::Ratio: return v.as<Ratio>().value();
    default: {
      const auto& d = v.as<BigDec>();
      mpz_class p10;
      mpz_ui_pow_ui(p10.get_mpz_t(), 10, static_cast<unsigned long>(std::abs(static_cast<int64_t>(d.scale()))));
      mpq_class q = d.scale() >= 0 ? mpq_class(d.unscaled(), p10) : mpq_class(d.unscaled() * p10);
      q.canonicalize();
      return q;
    }
  }
}

double to_double(const Value& v) {
  if (v.is_double()) return v.as_double();
  if (v.is_int()) return static_cast<double>(v.as_int());
  if (v.is(Kind::BigInt)) return v.as<BigInt>().value().get_d();
  // Ratios and decimals: correctly rounded through their decimal text would be ideal; mpq's get_d truncates,
  // which is within one ulp.
  return to_mpq(v).get_d();
}

}  // namespace

int32_t number_hash(const Value& v) {
  if (v.is_int()) return murmur3::hash_long(v.as_int());
  if (v.is_double()) return double_hash(v.as_double());
  return v.obj()->hash();
}

bool number_equiv(const Value& a, const Value& b) {
  Category ca = category(a);
  if (ca != category(b)) return false;
  switch (ca) {
    case Category::Integer:
      if (a.is_int() && b.is_int()) return a.as_int() == b.as_int();
      return to_mpz(a) == to_mpz(b);
    case Category::Floating: return a.as_double() == b.as_double();
    case Category::Ratio: return a.as<Ratio>().value() == b.as<Ratio>().value();
    case Category::Decimal: return to_mpq(a) == to_mpq(b);
  }
  return false;
}

int number_compare(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() < b.as_int() ? -1 : (a.as_int() > b.as_int() ? 1 : 0);
  if (a.is_double() || b.is_double()) {
    double x = to_double(a), y = to_double(b);
    return x < y ? -1 : (y < x ? 1 : 0);
  }
  int c = cmp(to_mpq(a), to_mpq(b));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// --- Reading number text

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

bool parse_digits(std::string_view digits, int radix, mpz_class& out) {
  if (digits.empty()) return false;
  for (char c : digits)
    if (digit_value(c) >= radix) return false;
  if (digits.size() <= 18 && radix == 10) {
    int64_t v = 0;
    for (char c : digits) v = v * 10 + (c - '0');
    out = from_int64(v);
    return true;
  }
  return mpz_set_str(out.get_mpz_t(), std::string(digits).c_str(), radix) == 0;
}

std::optional<Value> fail(std::string* error, std::string_view text) {
  if (error) *error = "Invalid number: " + std::string(text);
  return std::nullopt;
}

// Integers: [+-]? then 0 | [1-9][0-9]* | 0x hex | 0 octal | radix r digits, then an optional N.
std::optional<Value> parse_integer(std::string_view text, std::string* error, bool& matched) {
  matched = false;
  std::string_view s = text;
  bool negate = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negate = s[0] == '-';
    s.remove_prefix(1);
  }
  bool big = false;
  if (!s.empty() && s.back() == 'N') {
    big = true;
    s.remove_suffix(1);
  }
  if (s.empty() || !is_digit(s[0])) return std::nullopt;
  int radix = 10;
  std::string_view digits;
  if (s == "0") {
    matched = true;
    return big ? make_bigint(0) : Value::integer(0);
  }
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    radix = 16;
    digits = s.substr(2);
    for (char c : digits)
      if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
  } else if (s[0] == '0') {
    for (char c : s)
      if (!is_digit(c)) return std::nullopt;
    matched = true;  // 0[0-9]+ matches the pattern but must be octal
    radix = 8;
    digits = s.substr(1);
    for (char c : digits)
      if (c > '7') return fail(error, text);
  } else {
    size_t r = s.find_first_of("rR");
    if (r != std::string_view::npos && (r == 1 || r == 2)) {
      for (size_t i = 0; i < r; ++i)
        if (!is_digit(s[i])) return std::nullopt;
      radix = std::stoi(std::string(s.substr(0, r)));
      digits = s.substr(r + 1);
      if (digits.empty()) return std::nullopt;
      for (char c : digits)
        if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
      matched = true;
      if (radix < 2 || radix > 36) {
        if (error) *error = "Radix out of range: " + std::to_string(radix);
        return std::nullopt;
      }
    } else {
      for (char c : s)
        if (!is_digit(c)) return std::nullopt;
      digits = s;
    }
  }
  matched = true;
  mpz_class n;
  if (!parse_digits(digits, radix, n)) return fail(error, text);
  if (negate) n = -n;
  if (big) return make_bigint(std::move(n));
  return make_integer(n);
}

// Decimals: [+-]?[0-9]+(\.[0-9]*)?([eE][-+]?[0-9]+)? then an optional M.
bool float_shape(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t start = i;
  while (i < s.size() && is_digit(s[i])) ++i;
  if (i == start) return false;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exp_start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == exp_start) return false;
  }
  return i == s.size();
}

std::optional<Value> parse_bigdec(std::string_view s, std::string* error, std::string_view text) {
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  std::string digits;
  int64_t scale = 0;
  size_t i = 0;
  while (i < s.size() && is_digit(s[i])) digits.push_back(s[i++]);
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) {
      digits.push_back(s[i++]);
      ++scale;
    }
  }
  if (i < s.size()) {
    ++i;  // e or E
    int64_t exp = 0;
    bool exp_negative = false;
    if (s[i] == '+' || s[i] == '-') exp_negative = s[i++] == '-';
    for (; i < s.size(); ++i) {
      exp = exp * 10 + (s[i] - '0');
      if (exp > INT32_MAX) return fail(error, text);
    }
    scale -= exp_negative ? -exp : exp;
  }
  if (scale > INT32_MAX || scale < INT32_MIN) return fail(error, text);
  mpz_class u;
  if (!parse_digits(digits, 10, u)) return fail(error, text);
  if (negative) u = -u;
  return make_bigdec(std::move(u), static_cast<int32_t>(scale));
}

std::optional<Value> parse_float(std::string_view text, std::string* error, bool& matched) {
  matched = false;
  std::string_view s = text;
  bool decimal = !s.empty() && s.back() == 'M';
  if (decimal) s.remove_suffix(1);
  if (!float_shape(s)) return std::nullopt;
  matched = true;
  if (decimal) return parse_bigdec(s, error, text);
  if (s[0] == '+') s.remove_prefix(1);
  double d = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (ec == std::errc::result_out_of_range) {
    // Java rounds overflow to infinity and underflow to zero.
    bool neg = s[0] == '-';
    size_t e = s.find_first_of("eE");
    bool tiny = e != std::string_view::npos && s[e + 1] == '-';
    d = tiny ? (neg ? -0.0 : 0.0) : (neg ? -HUGE_VAL : HUGE_VAL);
  } else if (ec != std::errc() || ptr != s.data() + s.size()) {
    return fail(error, text);
  }
  return Value::real(d);
}

std::optional<Value> parse_ratio(std::string_view text, std::string* error, bool& matched) {
  matched = false;
  size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view num = text.substr(0, slash), den = text.substr(slash + 1);
  bool negate = false;
  if (!num.empty() && (num[0] == '+' || num[0] == '-')) {
    negate = num[0] == '-';
    num.remove_prefix(1);
  }
  if (num.empty() || den.empty()) return std::nullopt;
  for (char c : num)
    if (!is_digit(c)) return std::nullopt;
  for (char c : den)
    if (!is_digit(c)) return std::nullopt;
  matched = true;
  mpz_class n, d;
  parse_digits(num, 10, n);
  parse_digits(den, 10, d);
  if (d == 0) {
    if (error) *error = "Divide by zero";
    return std::nullopt;
  }
  if (negate) n = -n;
  return make_ratio(n, d);
}

}  // namespace

std::optional<Value> parse_number(std::string_view text, std::string* error) {
  bool matched = false;
  if (auto v = parse_integer(text, error, matched); v || matched) return v;
  if (auto v = parse_float(text, error, matched); v || matched) return v;
  if (auto v = parse_ratio(text, error, matched); v || matched) return v;
  return fail(error, text);
}

// --- Printing

std::string format_double(double d) {
  if (std::isnan(d)) return "##NaN";
  if (std::isinf(d)) return d > 0 ? "##Inf" : "##-Inf";
  if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
  // Shortest digits that read back, laid out as Java's Double.toString lays them out.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  bool negative = sci[0] == '-';
  if (negative) sci.remove_prefix(1);
  size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits.push_back(c);
  int exp = std::stoi(std::string(sci.substr(e + 1)));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out = negative ? "-" : "";
  double mag = std::fabs(d);
  if (mag >= 1e-3 && mag < 1e7) {
    if (exp >= 0) {
      size_t int_len = static_cast<size_t>(exp) + 1;
      if (digits.size() <= int_len) {
        out += digits + std::string(int_len - digits.size(), '0') + ".0";
      } else {
        out += digits.substr(0, int_len) + "." + digits.substr(int_len);
      }
    } else {
      out += "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
    }
  } else {
    out += digits.substr(0, 1) + "." + (digits.size() > 1 ? digits.substr(1) : "0") + "E" + std::to_string(exp);
  }
  return out;
}

std::string format_bigdec(const BigDec& d) {
  mpz_class mag = abs(d.unscaled());
  std::string coeff = mag.get_str(10);
  int64_t scale = d.scale();
  int64_t adjusted = -scale + static_cast<int64_t>(coeff.size()) - 1;
  std::string out = sgn(d.unscaled()) < 0 ? "-" : "";
  if (scale >= 0 && adjusted >= -6) {
    if (scale == 0) return out + coeff;
    auto len = static_cast<int64_t>(coeff.size());
    if (len > scale) {
      auto point = static_cast<size_t>(len - scale);
      out.append(coeff, 0, point);
      out += '.';
      out.append(coeff, point);
      return out;
    }
    out += "0.";
    out.append(static_cast<size_t>(scale - len), '0');
    out += coeff;
    return out;
  }
  out += coeff.substr(0, 1);
  if (coeff.size() > 1) {
    out += '.';
    out.append(coeff, 1);
  }
  out += "E";
  if (adjusted >= 0) out += "+";
  out += std::to_string(adjusted);
  return out;
}

}  // namespace kelp
