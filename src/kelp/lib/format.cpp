// java.util.Formatter's directives over kelp values.
//
// Floating-point conversions round as Java does: the shortest decimal digits that read back as the double, then
// HALF_UP at the requested precision (so %.2f of 0.125 is 0.13 and %.0f of 2.5 is 3, where C's printf would round
// the binary value half-even).
#include "kelp/lib/format.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstring>

#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/lib/str_util.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib {

namespace {

struct Spec {
  std::string_view text;  // the directive as written, for messages
  bool left = false, alt = false, plus = false, space = false, zero = false, group = false, paren = false;
  int width = -1, precision = -1;
  char conv = 0;
};

[[noreturn]] void conversion_mismatch(char conv, const Value& v) {
  rt::throw_error("java.util.IllegalFormatConversionException", fmt::format("{} != {}", conv, type_name(v)));
}

int64_t cp_length(std::string_view s) {
  int64_t n = 0;
  for (char c : s)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

void pad(std::string& out, std::string_view body, const Spec& s) {
  int64_t fill = s.width - cp_length(body);
  if (fill > 0 && !s.left) out.append(static_cast<size_t>(fill), ' ');
  out += body;
  if (fill > 0 && s.left) out.append(static_cast<size_t>(fill), ' ');
}

// Truncates to `precision` code points.
std::string_view clip(std::string_view s, int precision) {
  if (precision < 0) return s;
  size_t i = 0;
  for (int n = 0; i < s.size() && n < precision; ++n) decode_utf8(s, i);
  return s.substr(0, i);
}

std::string upper_ascii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

void group_thousands(std::string& digits) {
  std::string g;
  size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) g += ',';
    g += digits[i];
  }
  digits = std::move(g);
}

// Sign, grouping, zero padding and parentheses around the digits of a number.
std::string signed_number(std::string digits, bool negative, const Spec& s, bool grouping_ok = true) {
  if (s.group && grouping_ok) {
    size_t dot = digits.find_first_of(".e");
    std::string whole = digits.substr(0, dot);
    group_thousands(whole);
    digits = whole + (dot == std::string::npos ? "" : digits.substr(dot));
  }
  std::string prefix, suffix;
  if (negative) {
    if (s.paren) {
      prefix = "(";
      suffix = ")";
    } else {
      prefix = "-";
    }
  } else if (s.plus) {
    prefix = "+";
  } else if (s.space) {
    prefix = " ";
  }
  if (s.zero && s.width > 0) {
    int64_t fill = s.width - static_cast<int64_t>(prefix.size() + digits.size() + suffix.size());
    if (fill > 0) digits.insert(0, static_cast<size_t>(fill), '0');
  }
  return prefix + digits + suffix;
}

// A decimal number as significant digits and the power of ten of the first one: 123.4 is {"1234", 2}.
struct Decimal {
  std::string digits;
  int exp = 0;
  bool negative = false;
};

Decimal decimal_of_double(double d) {
  Decimal r;
  r.negative = std::signbit(d);
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(d), std::chars_format::scientific);
  std::string_view t(buf, static_cast<size_t>(res.ptr - buf));
  size_t e = t.find('e');
  for (char c : t.substr(0, e))
    if (c != '.') r.digits += c;
  r.exp = std::atoi(std::string(t.substr(e + 1)).c_str());
  return r;
}

Decimal decimal_of_bigdec(const BigDec& b) {
  Decimal r;
  r.negative = sgn(b.unscaled()) < 0;
  mpz_class a = abs(b.unscaled());
  r.digits = a.get_str();
  r.exp = static_cast<int>(r.digits.size()) - 1 - b.scale();
  if (a == 0) r.exp = 0;
  return r;
}

// Keeps `keep` significant digits, rounding half up; the exponent grows when 9s carry over.
void round_to(Decimal& d, int keep) {
  if (keep < 0) {
    d.digits = "0";
    return;
  }
  if (static_cast<size_t>(keep) >= d.digits.size()) return;
  bool up = d.digits[static_cast<size_t>(keep)] >= '5';
  d.digits.resize(static_cast<size_t>(keep));
  if (up) {
    int i = keep - 1;
    while (i >= 0 && d.digits[static_cast<size_t>(i)] == '9') d.digits[static_cast<size_t>(i--)] = '0';
    if (i >= 0) {
      ++d.digits[static_cast<size_t>(i)];
    } else {
      d.digits.insert(0, "1");
      ++d.exp;
    }
  }
  if (d.digits.empty()) d.digits = "0";
}

bool is_zero(const Decimal& d) { return d.digits.find_first_not_of('0') == std::string::npos; }

// Fixed notation with `prec` decimals.
std::string fixed(Decimal d, int prec) {
  if (is_zero(d)) d.exp = 0;
  int keep = d.exp + 1 + prec;
  if (keep == 0 && !d.digits.empty() && d.digits[0] >= '5') {  // rounds up into the first kept place
    d.digits = "1";
    d.exp += 1;
  } else {
    round_to(d, keep);
    if (keep < 0 || (keep == 0)) {
      d.digits = "0";
      d.exp = 0;
    }
  }
  std::string whole, frac;
  for (int pos = d.exp; pos >= 0; --pos) {
    size_t i = static_cast<size_t>(d.exp - pos);
    whole += i < d.digits.size() ? d.digits[i] : '0';
  }
  if (whole.empty()) whole = "0";
  for (int pos = -1; pos >= -prec; --pos) {
    int i = d.exp - pos;
    frac += (i >= 0 && static_cast<size_t>(i) < d.digits.size()) ? d.digits[static_cast<size_t>(i)] : '0';
  }
  return prec > 0 ? whole + "." + frac : whole;
}

// Scientific notation with `prec` decimals: 1.234568e+04.
std::string scientific(Decimal d, int prec) {
  if (is_zero(d)) d.exp = 0;
  round_to(d, prec + 1);
  std::string m(1, d.digits[0]);
  if (prec > 0) {
    m += '.';
    for (int i = 1; i <= prec; ++i) m += static_cast<size_t>(i) < d.digits.size() ? d.digits[static_cast<size_t>(i)] : '0';
  }
  int e = is_zero(d) ? 0 : d.exp;
  return m + fmt::format("e{}{:02d}", e < 0 ? '-' : '+', std::abs(e));
}

std::string general(Decimal d, int prec) {
  if (prec == 0) prec = 1;
  if (is_zero(d)) return fixed(d, prec - 1);
  Decimal r = d;
  round_to(r, prec);
  if (r.exp >= -4 && r.exp < prec) return fixed(d, prec - 1 - r.exp);
  return scientific(d, prec - 1);
}

void format_float(std::string& out, const Value& v, const Spec& s) {
  Decimal d;
  if (v.is_double()) {
    double x = v.as_double();
    if (std::isnan(x) || std::isinf(x)) {
      std::string body = std::isnan(x) ? "NaN" : (x > 0 ? (s.plus ? "+Infinity" : "Infinity")
                                                         : (s.paren ? "(Infinity)" : "-Infinity"));
      pad(out, body, s);
      return;
    }
    d = decimal_of_double(x);
  } else if (v.is(Kind::BigDec)) {
    d = decimal_of_bigdec(v.as<BigDec>());
  } else {
    conversion_mismatch(s.conv, v);
  }
  int prec = s.precision < 0 ? 6 : s.precision;
  char c = static_cast<char>(std::tolower(s.conv));
  std::string body = c == 'f' ? fixed(d, prec) : c == 'e' ? scientific(d, prec) : general(d, prec);
  std::string text = signed_number(body, d.negative, s, c != 'e');
  pad(out, s.conv == 'E' || s.conv == 'G' ? upper_ascii(text) : text, s);
}

// kelp has one big integer kind, standing for java.math.BigInteger too, so %d %o %x take it.
void format_big_integer(std::string& out, const mpz_class& n, const Spec& s) {
  if (s.conv == 'd') {
    pad(out, signed_number(mpz_class(abs(n)).get_str(), sgn(n) < 0, s), s);
    return;
  }
  std::string digits = (sgn(n) < 0 ? "-" : "") + mpz_class(abs(n)).get_str(s.conv == 'o' ? 8 : 16);
  if (s.alt) digits.insert(sgn(n) < 0 ? 1 : 0, s.conv == 'o' ? "0" : "0x");
  pad(out, s.conv == 'X' ? upper_ascii(digits) : digits, s);
}

void format_integer(std::string& out, const Value& v, const Spec& s) {
  if (v.is(Kind::BigInt)) return format_big_integer(out, v.as<BigInt>().value(), s);
  if (!v.is_int()) conversion_mismatch(s.conv, v);
  int64_t n = v.as_int();
  if (s.conv == 'd') {
    std::string digits = n < 0 ? fmt::format("{}", static_cast<uint64_t>(0) - static_cast<uint64_t>(n))
                               : fmt::format("{}", n);
    pad(out, signed_number(digits, n < 0, s), s);
    return;
  }
  auto u = static_cast<uint64_t>(n);
  std::string digits = s.conv == 'o' ? fmt::format("{:o}", u) : fmt::format("{:x}", u);
  if (s.alt) digits.insert(0, s.conv == 'o' ? "0" : "0x");
  if (s.zero && s.width > 0 && static_cast<int64_t>(digits.size()) < s.width)
    digits.insert(s.alt && s.conv != 'o' ? 2 : 0, static_cast<size_t>(s.width) - digits.size(), '0');
  pad(out, s.conv == 'X' ? upper_ascii(digits) : digits, s);
}

void format_one(std::string& out, const Value& v, const Spec& s) {
  char c = static_cast<char>(std::tolower(s.conv));
  bool upper = std::isupper(static_cast<unsigned char>(s.conv)) != 0;
  std::string body;
  switch (c) {
    case 'b': body = v.is_nil() ? "false" : v.is_bool() ? (v.as_bool() ? "true" : "false") : "true"; break;
    case 'h': body = v.is_nil() ? "null" : fmt::format("{:x}", static_cast<uint32_t>(java_hash_code(v))); break;
    case 's': body = v.is_nil() ? "null" : strs::to_str(v); break;
    case 'c':
      if (v.is_nil()) body = "null";
      else if (v.is_char()) append_utf8(body, v.as_char());
      else conversion_mismatch(s.conv, v);
      break;
    case 'd': case 'o': case 'x':
      if (v.is_nil()) break;
      format_integer(out, v, s);
      return;
    case 'e': case 'f': case 'g':
      if (v.is_nil()) break;
      format_float(out, v, s);
      return;
    default: break;
  }
  if (v.is_nil() && (c == 'd' || c == 'o' || c == 'x' || c == 'e' || c == 'f' || c == 'g')) body = "null";
  std::string_view shown = clip(body, c == 'c' ? -1 : s.precision);
  pad(out, upper ? upper_ascii(std::string(shown)) : shown, s);
}

int read_int(std::string_view p, size_t& i) {
  int n = 0;
  while (i < p.size() && p[i] >= '0' && p[i] <= '9') n = n * 10 + (p[i++] - '0');
  return n;
}

}  // namespace

std::string format_java(std::string_view p, std::span<const Value> args) {
  std::string out;
  out.reserve(p.size() + 16);
  size_t next_arg = 0;
  int last_arg = -1;
  size_t i = 0;
  while (i < p.size()) {
    size_t pct = p.find('%', i);
    out.append(p.substr(i, pct == std::string_view::npos ? std::string_view::npos : pct - i));
    if (pct == std::string_view::npos) break;
    size_t start = pct;
    i = pct + 1;
    Spec s;
    int index = 0;  // 0: the next ordinary argument; n: argument n; -1: the previous one
    size_t save = i;
    int n = read_int(p, i);
    if (i < p.size() && p[i] == '$' && i > save) {
      index = n;
      ++i;
    } else {
      i = save;
    }
    for (; i < p.size(); ++i) {
      char f = p[i];
      if (f == '-') s.left = true;
      else if (f == '#') s.alt = true;
      else if (f == '+') s.plus = true;
      else if (f == ' ') s.space = true;
      else if (f == '0') s.zero = true;
      else if (f == ',') s.group = true;
      else if (f == '(') s.paren = true;
      else if (f == '<') index = -1;
      else break;
    }
    if (i < p.size() && p[i] >= '1' && p[i] <= '9') s.width = read_int(p, i);
    if (i < p.size() && p[i] == '.') {
      ++i;
      s.precision = read_int(p, i);
    }
    if (i >= p.size()) rt::throw_error("java.util.UnknownFormatConversionException", "Conversion = '%'");
    s.conv = p[i++];
    s.text = p.substr(start, i - start);
    if (s.conv == 'n') {
      out += '\n';
      continue;
    }
    if (s.conv == '%') {
      pad(out, "%", s);
      continue;
    }
    if (!std::strchr("bBhHsScCdoxXeEfgG", s.conv))
      rt::throw_error("java.util.UnknownFormatConversionException", fmt::format("Conversion = '{}'", s.conv));
    if ((s.left || s.zero) && s.width < 0)
      rt::throw_error("java.util.MissingFormatWidthException", std::string(s.text));
    if (s.zero && std::strchr("bBhHsScC", s.conv))
      rt::throw_error("java.util.FormatFlagsConversionMismatchException",
                      fmt::format("Conversion = {}, Flags = 0", s.conv));
    int at;
    if (index > 0) at = index - 1;
    else if (index < 0) at = last_arg;
    else at = static_cast<int>(next_arg++);
    if (at < 0 || static_cast<size_t>(at) >= args.size())
      rt::throw_error("java.util.MissingFormatArgumentException", fmt::format("Format specifier '{}'", s.text));
    last_arg = at;
    format_one(out, args[static_cast<size_t>(at)], s);
  }
  return out;
}

}  // namespace kelp::lib
