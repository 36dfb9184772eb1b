#include "kelp/data/tagged.hpp"

#include <fmt/format.h>

#include <cctype>

namespace kelp {

int32_t Inst::compute_hash() const {
  auto t = static_cast<uint64_t>(millis_);
  return static_cast<int32_t>(static_cast<uint32_t>(t) ^ static_cast<uint32_t>(t >> 32));
}

bool Inst::equiv_same_category(const Object& other) const {
  return millis_ == static_cast<const Inst&>(other).millis_;
}

int32_t Uuid::compute_hash() const {
  uint64_t hilo = hi_ ^ lo_;
  return static_cast<int32_t>(static_cast<uint32_t>(hilo >> 32) ^ static_cast<uint32_t>(hilo));
}

bool Uuid::equiv_same_category(const Object& other) const {
  const auto& o = static_cast<const Uuid&>(other);
  return hi_ == o.hi_ && lo_ == o.lo_;
}

Value make_inst(int64_t millis) { return Value::adopt(new Inst(millis)); }
Value make_uuid(uint64_t hi, uint64_t lo) { return Value::adopt(new Uuid(hi, lo)); }

namespace {

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y += m <= 2;
}

bool leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int64_t y, int64_t m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : days[m - 1];
}

class Cursor {
 public:
  explicit Cursor(std::string_view s) : s_(s) {}
  bool done() const { return i_ == s_.size(); }
  bool take(char c) {
    if (i_ < s_.size() && s_[i_] == c) { ++i_; return true; }
    return false;
  }
  bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
  // Exactly n digits.
  bool digits(size_t n, int64_t& out) {
    if (s_.size() - i_ < n) return false;
    out = 0;
    for (size_t k = 0; k < n; ++k) {
      char c = s_[i_ + k];
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      out = out * 10 + (c - '0');
    }
    i_ += n;
    return true;
  }
  // One or more digits; answers the first nine as nanoseconds.
  bool fraction(int64_t& nanos) {
    size_t start = i_;
    nanos = 0;
    size_t n = 0;
    while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
      if (n < 9) nanos = nanos * 10 + (s_[i_] - '0');
      ++n;
      ++i_;
    }
    for (; n < 9; ++n) nanos *= 10;
    return i_ > start;
  }

 private:
  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

std::optional<int64_t> parse_inst(std::string_view text, std::string* error) {
  auto bad = [&](const char* why) -> std::optional<int64_t> {
    if (error) *error = fmt::format("Unrecognized date/time syntax: {}{}", text, why);
    return std::nullopt;
  };
  Cursor c(text);
  int64_t year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0, nanos = 0;
  int64_t off_sign = 1, off_h = 0, off_m = 0;
  if (!c.digits(4, year)) return bad("");
  if (c.take('-')) {
    if (!c.digits(2, month)) return bad("");
    if (c.take('-')) {
      if (!c.digits(2, day)) return bad("");
      if (c.take('T')) {
        if (!c.digits(2, hour)) return bad("");
        if (c.take(':')) {
          if (!c.digits(2, minute)) return bad("");
          if (c.take(':')) {
            if (!c.digits(2, second)) return bad("");
            if (c.take('.') && !c.fraction(nanos)) return bad("");
          }
        }
      }
    }
  }
  if (!c.take('Z') && (c.peek('+') || c.peek('-'))) {
    off_sign = c.take('-') ? -1 : (c.take('+'), 1);
    if (!c.digits(2, off_h) || !c.take(':') || !c.digits(2, off_m)) return bad("");
  }
  if (!c.done()) return bad("");
  if (month < 1 || month > 12) return bad(" (the month is out of range)");
  if (day < 1 || day > days_in_month(year, month)) return bad(" (the day is out of range)");
  if (hour > 23) return bad(" (the hour is out of range)");
  if (minute > 59) return bad(" (the minute is out of range)");
  if (second > (minute == 59 ? 60 : 59)) return bad(" (the second is out of range)");
  if (off_h > 23 || off_m > 59) return bad(" (the offset is out of range)");
  int64_t days = days_from_civil(year, month, day);
  int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second - off_sign * (off_h * 3600 + off_m * 60);
  return secs * 1000 + nanos / 1000000;
}

std::string format_inst(int64_t millis) {
  int64_t ms = millis % 1000;
  int64_t secs = millis / 1000;
  if (ms < 0) { ms += 1000; secs -= 1; }
  int64_t days = secs / 86400;
  int64_t rem = secs % 86400;
  if (rem < 0) { rem += 86400; days -= 1; }
  int64_t y, m, d;
  civil_from_days(days, y, m, d);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}-00:00", y, m, d, rem / 3600, (rem / 60) % 60, rem % 60, ms);
}

std::optional<Value> parse_uuid(std::string_view text) {
  static const size_t groups[] = {8, 4, 4, 4, 12};
  if (text.size() != 36) return std::nullopt;
  uint64_t hi = 0, lo = 0;
  size_t i = 0, nibbles = 0;
  for (size_t g = 0; g < 5; ++g) {
    if (g > 0 && text[i++] != '-') return std::nullopt;
    for (size_t k = 0; k < groups[g]; ++k, ++i, ++nibbles) {
      char ch = text[i];
      int v = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0'
              : (ch >= 'a' && ch <= 'f')                  ? ch - 'a' + 10
              : (ch >= 'A' && ch <= 'F')                  ? ch - 'A' + 10
                                                          : -1;
      if (v < 0) return std::nullopt;
      uint64_t& word = nibbles < 16 ? hi : lo;
      word = (word << 4) | static_cast<uint64_t>(v);
    }
  }
  return make_uuid(hi, lo);
}

std::string format_uuid(const Uuid& u) {
  return fmt::format("{:08x}-{:04x}-{:04x}-{:04x}-{:012x}", u.hi() >> 32, (u.hi() >> 16) & 0xFFFF, u.hi() & 0xFFFF,
                     u.lo() >> 48, u.lo() & 0xFFFFFFFFFFFFull);
}

}  // namespace kelp
