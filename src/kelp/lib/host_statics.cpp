// Static members of the classes kelp knows: Math, System, Thread, Integer, Long, Double, Boolean, Character,
// String and java.util.UUID. Each method is a function value made once; it checks its argument count itself so
// that a wrong count reads as Java's "No matching method" rather than an arity error.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <random>
#include <unistd.h>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/pattern.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/host_detail.hpp"
#include "kelp/lib/host_process.hpp"
#include "kelp/lib/seq_array.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

extern char** environ;

namespace kelp::rt::host::detail {

namespace {

using Body = Value (*)(Args);

class StaticMethod final : public Fn {
 public:
  StaticMethod(std::string cls, std::string name, int min, int max, Body body)
      : cls_(std::move(cls)), name_(std::move(name)), min_(min), max_(max), body_(body) {}
  Value invoke(Args args) const override {
    if (static_cast<int>(args.size()) < min_ || (max_ >= 0 && static_cast<int>(args.size()) > max_))
      throw_no_method(name_, args.size(), cls_);
    return body_(args);
  }
  std::string display_name() const override { return cls_ + "/" + name_; }

 private:
  std::string cls_, name_;
  int min_, max_;
  Body body_;
};

// The method being run, for "No matching method" when its arguments have the wrong types.
[[noreturn]] void bad_args(const char* cls, const char* method, Args a) { throw_no_method(method, a.size(), cls); }

bool to_double(const Value& v, double* out) {
  if (v.is_int()) *out = static_cast<double>(v.as_int());
  else if (v.is_double()) *out = v.as_double();
  else if (v.is(Kind::BigInt)) *out = v.as<BigInt>().value().get_d();
  else if (v.is(Kind::Ratio)) *out = v.as<Ratio>().value().get_d();
  else if (v.is(Kind::BigDec)) *out = std::stod(format_bigdec(v.as<BigDec>()));
  else return false;
  return true;
}

// The double value of argument i of a Math method.
double dbl(Args a, size_t i, const char* method) {
  double d;
  if (!to_double(a[i], &d)) bad_args("java.lang.Math", method, a);
  return d;
}

int64_t lng(Args a, size_t i, const char* cls, const char* method) {
  if (!a[i].is_int()) bad_args(cls, method, a);
  return a[i].as_int();
}

std::string_view str_arg(Args a, size_t i, const char* cls, const char* method) {
  if (!a[i].is(Kind::String)) bad_args(cls, method, a);
  return str_view(a[i]);
}

Value real(double d) { return Value::real(d); }

#define MATH1(NAME, EXPR) \
  {NAME, 1, 1, [](Args a) { double x = dbl(a, 0, NAME); return real(EXPR); }}
#define MATH2(NAME, EXPR) \
  {NAME, 2, 2, [](Args a) { double x = dbl(a, 0, NAME), y = dbl(a, 1, NAME); return real(EXPR); }}

struct Member {
  const char* name;
  int min, max;
  Body body;
};

[[noreturn]] void long_overflow() { throw_arithmetic("long overflow"); }

// The cube root, correctly rounded where the C library's is a unit off (Java's cbrt of 27.0 is exactly 3.0).
double exact_cbrt(double x) {
  double r = std::cbrt(x);
  if (!std::isfinite(r) || r == 0) return r;
  long double lr = r;
  lr -= (lr * lr * lr - x) / (3 * lr * lr);
  return static_cast<double>(lr);
}

Value math_abs(Args a) {
  if (a[0].is_int()) return Value::integer(a[0].as_int() == INT64_MIN ? INT64_MIN : std::llabs(a[0].as_int()));
  return real(std::fabs(dbl(a, 0, "abs")));
}

Value math_max_min(Args a, bool max) {
  const char* name = max ? "max" : "min";
  if (a[0].is_int() && a[1].is_int())
    return Value::integer(max ? std::max(a[0].as_int(), a[1].as_int()) : std::min(a[0].as_int(), a[1].as_int()));
  double x = dbl(a, 0, name), y = dbl(a, 1, name);
  if (std::isnan(x) || std::isnan(y)) return real(NAN);
  return real(max ? std::fmax(x, y) : std::fmin(x, y));
}

Value math_round(Args a) {
  if (a[0].is_int()) return a[0];
  double x = dbl(a, 0, "round");
  if (std::isnan(x)) return Value::integer(0);
  double r = std::floor(x + 0.5);  // Java rounds half up
  if (r >= 9.2233720368547758e18) return Value::integer(INT64_MAX);
  if (r <= -9.2233720368547758e18) return Value::integer(INT64_MIN);
  return Value::integer(static_cast<int64_t>(r));
}

Value math_floor_div(Args a) {
  int64_t x = lng(a, 0, "java.lang.Math", "floorDiv"), y = lng(a, 1, "java.lang.Math", "floorDiv");
  if (y == 0) throw_arithmetic("/ by zero");
  if (x == INT64_MIN && y == -1) return Value::integer(INT64_MIN);
  int64_t q = x / y;
  if ((x % y != 0) && ((x < 0) != (y < 0))) --q;
  return Value::integer(q);
}

Value math_floor_mod(Args a) {
  int64_t x = lng(a, 0, "java.lang.Math", "floorMod"), y = lng(a, 1, "java.lang.Math", "floorMod");
  if (y == 0) throw_arithmetic("/ by zero");
  if (y == -1) return Value::integer(0);
  int64_t m = x % y;
  if (m != 0 && ((m < 0) != (y < 0))) m += y;
  return Value::integer(m);
}

double random_double() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(gen);
}

const Member MATH[] = {
    {"abs", 1, 1, math_abs},
    {"max", 2, 2, [](Args a) { return math_max_min(a, true); }},
    {"min", 2, 2, [](Args a) { return math_max_min(a, false); }},
    {"round", 1, 1, math_round},
    {"floorDiv", 2, 2, math_floor_div},
    {"floorMod", 2, 2, math_floor_mod},
    {"random", 0, 0, [](Args) { return real(random_double()); }},
    {"signum", 1, 1, [](Args a) {
       double x = dbl(a, 0, "signum");
       return real(x > 0 ? 1.0 : x < 0 ? -1.0 : x);
     }},
    {"addExact", 2, 2, [](Args a) {
       int64_t r;
       if (__builtin_add_overflow(lng(a, 0, "java.lang.Math", "addExact"), lng(a, 1, "java.lang.Math", "addExact"), &r))
         long_overflow();
       return Value::integer(r);
     }},
    {"subtractExact", 2, 2, [](Args a) {
       int64_t r;
       if (__builtin_sub_overflow(lng(a, 0, "java.lang.Math", "subtractExact"),
                                  lng(a, 1, "java.lang.Math", "subtractExact"), &r))
         long_overflow();
       return Value::integer(r);
     }},
    {"multiplyExact", 2, 2, [](Args a) {
       int64_t r;
       if (__builtin_mul_overflow(lng(a, 0, "java.lang.Math", "multiplyExact"),
                                  lng(a, 1, "java.lang.Math", "multiplyExact"), &r))
         long_overflow();
       return Value::integer(r);
     }},
    {"negateExact", 1, 1, [](Args a) {
       int64_t x = lng(a, 0, "java.lang.Math", "negateExact");
       if (x == INT64_MIN) long_overflow();
       return Value::integer(-x);
     }},
    MATH2("pow", std::pow(x, y)),
    MATH1("sqrt", std::sqrt(x)),
    MATH1("cbrt", exact_cbrt(x)),
    {"toIntExact", 1, 1, [](Args a) {
       int64_t x = lng(a, 0, "java.lang.Math", "toIntExact");
       if (x < INT32_MIN || x > INT32_MAX) throw_arithmetic("integer overflow");
       return Value::integer(x);
     }},
    {"incrementExact", 1, 1, [](Args a) {
       int64_t x = lng(a, 0, "java.lang.Math", "incrementExact");
       if (x == INT64_MAX) long_overflow();
       return Value::integer(x + 1);
     }},
    {"decrementExact", 1, 1, [](Args a) {
       int64_t x = lng(a, 0, "java.lang.Math", "decrementExact");
       if (x == INT64_MIN) long_overflow();
       return Value::integer(x - 1);
     }},
    MATH1("ulp", std::nextafter(std::fabs(x), INFINITY) - std::fabs(x)),
    MATH1("floor", std::floor(x)),
    MATH1("ceil", std::ceil(x)),
    MATH1("rint", std::nearbyint(x)),
    MATH1("sin", std::sin(x)),
    MATH1("cos", std::cos(x)),
    MATH1("tan", std::tan(x)),
    MATH1("asin", std::asin(x)),
    MATH1("acos", std::acos(x)),
    MATH1("atan", std::atan(x)),
    MATH1("sinh", std::sinh(x)),
    MATH1("cosh", std::cosh(x)),
    MATH1("tanh", std::tanh(x)),
    MATH1("exp", std::exp(x)),
    MATH1("expm1", std::expm1(x)),
    MATH1("log", std::log(x)),
    MATH1("log10", std::log10(x)),
    MATH1("log1p", std::log1p(x)),
    MATH1("toRadians", x / 180.0 * M_PI),
    MATH1("toDegrees", x * 180.0 / M_PI),
    MATH2("atan2", std::atan2(x, y)),
    MATH2("hypot", std::hypot(x, y)),
};

// ---------------------------------------------------------------------------------------------------------------
// System and Thread

int64_t now_millis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

Value property(std::string_view key) {
  auto env = [](const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return make_string(v ? v : fallback);
  };
  if (key == "line.separator") return make_string("\n");
  if (key == "file.separator") return make_string("/");
  if (key == "path.separator") return make_string(":");
  if (key == "os.name") return make_string("Linux");
  // The Java release whose library behaviour kelp's host layer follows.
  if (key == "java.version") return make_string("17");
  if (key == "user.home") return env("HOME", "/");
  if (key == "user.name") return env("USER", "");
  if (key == "java.io.tmpdir") return env("TMPDIR", "/tmp");
  if (key == "user.dir") {
    char buf[4096];
    return make_string(getcwd(buf, sizeof buf) ? buf : ".");
  }
  return {};
}

Value get_env(Args a) {
  if (a.size() == 1) {
    const char* v = std::getenv(std::string(str_arg(a, 0, "java.lang.System", "getenv")).c_str());
    return v ? make_string(v) : Value();
  }
  std::vector<Value> kvs;
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    kvs.push_back(make_string(entry.substr(0, eq)));
    kvs.push_back(make_string(entry.substr(eq + 1)));
  }
  return make_map(kvs);
}

const Member SYSTEM[] = {
    {"currentTimeMillis", 0, 0, [](Args) { return Value::integer(now_millis()); }},
    {"nanoTime", 0, 0, [](Args) {
       using namespace std::chrono;
       return Value::integer(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
     }},
    {"getProperty", 1, 2, [](Args a) {
       Value v = property(str_arg(a, 0, "java.lang.System", "getProperty"));
       return v.is_nil() && a.size() == 2 ? a[1] : v;
     }},
    {"getenv", 0, 1, get_env},
    {"lineSeparator", 0, 0, [](Args) { return make_string("\n"); }},
    {"identityHashCode", 1, 1, [](Args a) {
       return Value::integer(a[0].is_obj() ? static_cast<int32_t>(reinterpret_cast<uintptr_t>(a[0].obj()) >> 4)
                                           : kelp::hash(a[0]));
     }},
    {"gc", 0, 0, [](Args) { return Value(); }},
    {"exit", 1, 1, [](Args a) -> Value {
       // The shutdown hooks run, and what was printed reaches its destination, before the process goes.
       lib::process::exit(static_cast<int>(lng(a, 0, "java.lang.System", "exit")));
     }},
};

const Member THREAD[] = {
    // Interrupts reach kelp's threads as a Stop, never as a flag left to poll, so none is ever pending here.
    {"interrupted", 0, 0, [](Args) { safe_point(); return Value::boolean(false); }},
    {"yield", 0, 0, [](Args) { std::this_thread::yield(); return Value(); }},
    {"onSpinWait", 0, 0, [](Args) { return Value(); }},
    {"sleep", 1, 2, [](Args a) {
       int64_t ms = lng(a, 0, "java.lang.Thread", "sleep");
       if (ms < 0) throw_illegal_argument("timeout value is negative");
       interruptible_sleep(std::chrono::milliseconds(ms));
       return Value();
     }},
    {"currentThread", 0, 0, [](Args) {
       // The thread that first asks (the program's own, in practice) is "main", as on the JVM; others get a name
       // from their id.
       static const std::thread::id main_id = std::this_thread::get_id();
       std::thread::id id = std::this_thread::get_id();
       std::string name = "main";
       if (id != main_id) name = "Thread-" + std::to_string(std::hash<std::thread::id>{}(id) % 100000);
       return Value::adopt(new ThreadHandle(name));
     }},
};

// ---------------------------------------------------------------------------------------------------------------
// Integer, Long, Double, Boolean, Character, String, UUID

[[noreturn]] void number_format(std::string_view s) {
  throw_error("java.lang.NumberFormatException", "For input string: \"" + std::string(s) + "\"");
}

int64_t parse_long(std::string_view s, int radix, int64_t lo, int64_t hi) {
  if (s.empty()) number_format(s);
  size_t i = 0;
  bool neg = false;
  if (s[0] == '-' || s[0] == '+') {
    neg = s[0] == '-';
    i = 1;
    if (s.size() == 1) number_format(s);
  }
  __int128 acc = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : 99;
    if (d >= radix) number_format(s);
    acc = acc * radix + d;
    if (acc > static_cast<__int128>(hi) + 1) number_format(s);
  }
  if (neg) acc = -acc;
  if (acc < lo || acc > hi) number_format(s);
  return static_cast<int64_t>(acc);
}

int radix_arg(Args a, const char* cls, const char* method) {
  return a.size() > 1 ? static_cast<int>(lng(a, 1, cls, method)) : 10;
}

Value parse_int(Args a) {
  return Value::integer(parse_long(str_arg(a, 0, "java.lang.Integer", "parseInt"),
                                   radix_arg(a, "java.lang.Integer", "parseInt"), INT32_MIN, INT32_MAX));
}
Value parse_long_fn(Args a) {
  return Value::integer(parse_long(str_arg(a, 0, "java.lang.Long", "parseLong"),
                                   radix_arg(a, "java.lang.Long", "parseLong"), INT64_MIN, INT64_MAX));
}

Value parse_double(Args a) {
  std::string s(str_arg(a, 0, "java.lang.Double", "parseDouble"));
  size_t b = s.find_first_not_of(" \t\n\r"), e = s.find_last_not_of(" \t\n\r");
  std::string t = b == std::string::npos ? "" : s.substr(b, e - b + 1);
  if (t == "NaN") return real(NAN);
  if (t == "Infinity" || t == "+Infinity") return real(INFINITY);
  if (t == "-Infinity") return real(-INFINITY);
  // Java accepts decimal and exponent forms only (and a trailing d/f); strtod's hex and "inf" forms are refused.
  if (t.empty() || t.find_first_not_of("0123456789+-.eEdDfF") != std::string::npos) number_format(s);
  if (t.back() == 'd' || t.back() == 'D' || t.back() == 'f' || t.back() == 'F') t.pop_back();
  char* end = nullptr;
  double d = std::strtod(t.c_str(), &end);
  if (t.empty() || end != t.c_str() + t.size()) number_format(s);
  return real(d);
}

std::string to_radix(int64_t n, int radix) {
  if (n == 0) return "0";
  bool neg = n < 0;
  unsigned __int128 u = neg ? -static_cast<__int128>(n) : n;
  std::string out;
  while (u) {
    int d = static_cast<int>(u % radix);
    out.insert(out.begin(), static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10));
    u /= radix;
  }
  return neg ? "-" + out : out;
}

// Java's unsigned renderings of a two's-complement number of the given width.
std::string unsigned_radix(int64_t n, int bits, int shift) {
  uint64_t u = bits == 64 ? static_cast<uint64_t>(n) : static_cast<uint64_t>(n) & 0xffffffffu;
  if (u == 0) return "0";
  std::string out;
  for (; u; u >>= shift) out.insert(out.begin(), "0123456789abcdef"[u & ((1u << shift) - 1)]);
  return out;
}

#define RADIX_MEMBERS(CLS, BITS)                                                                              \
  {"toString", 1, 2, [](Args a) {                                                                             \
     return make_string(to_radix(lng(a, 0, CLS, "toString"), a.size() > 1 ? (int)lng(a, 1, CLS, "toString") : 10)); \
   }},                                                                                                        \
  {"toHexString", 1, 1, [](Args a) { return make_string(unsigned_radix(lng(a, 0, CLS, "toHexString"), BITS, 4)); }}, \
  {"toOctalString", 1, 1, [](Args a) { return make_string(unsigned_radix(lng(a, 0, CLS, "toOctalString"), BITS, 3)); }}, \
  {"toBinaryString", 1, 1, [](Args a) { return make_string(unsigned_radix(lng(a, 0, CLS, "toBinaryString"), BITS, 1)); }}, \
  {"compare", 2, 2, [](Args a) {                                                                              \
     int64_t x = lng(a, 0, CLS, "compare"), y = lng(a, 1, CLS, "compare");                                     \
     return Value::integer(x < y ? -1 : x > y ? 1 : 0);                                                        \
   }},                                                                                                        \
  {"signum", 1, 1, [](Args a) { int64_t x = lng(a, 0, CLS, "signum"); return Value::integer((x > 0) - (x < 0)); }}, \
  {"bitCount", 1, 1, [](Args a) {                                                                             \
     uint64_t u = static_cast<uint64_t>(lng(a, 0, CLS, "bitCount"));                                           \
     return Value::integer(std::popcount(BITS == 64 ? u : u & 0xffffffffu));                                  \
   }}

// Members Integer and Long share, on 32 or 64 bits.
#define WIDTH_MEMBERS(CLS, BITS)                                                                              \
  {"max", 2, 2, [](Args a) { return Value::integer(std::max(lng(a, 0, CLS, "max"), lng(a, 1, CLS, "max"))); }}, \
  {"min", 2, 2, [](Args a) { return Value::integer(std::min(lng(a, 0, CLS, "min"), lng(a, 1, CLS, "min"))); }}, \
  {"sum", 2, 2, [](Args a) { return wrap_to(BITS, static_cast<uint64_t>(lng(a, 0, CLS, "sum")) + static_cast<uint64_t>(lng(a, 1, CLS, "sum"))); }}, \
  {"abs", 1, 1, [](Args a) { return wrap_to(BITS, 0 - static_cast<uint64_t>(std::min<int64_t>(lng(a, 0, CLS, "abs"), -lng(a, 0, CLS, "abs")))); }}, \
  {"hashCode", 1, 1, [](Args a) { uint64_t u = static_cast<uint64_t>(lng(a, 0, CLS, "hashCode")); \
     return wrap_to(32, BITS == 64 ? u ^ (u >> 32) : u); }},                                                 \
  {"highestOneBit", 1, 1, [](Args a) { uint64_t u = as_bits(BITS, lng(a, 0, CLS, "highestOneBit")); \
     return wrap_to(BITS, u ? uint64_t{1} << (63 - std::countl_zero(u)) : 0); }},                            \
  {"lowestOneBit", 1, 1, [](Args a) { uint64_t u = as_bits(BITS, lng(a, 0, CLS, "lowestOneBit")); return wrap_to(BITS, u & (0 - u)); }}, \
  {"numberOfLeadingZeros", 1, 1, [](Args a) { return Value::integer(std::countl_zero(as_bits(BITS, lng(a, 0, CLS, "numberOfLeadingZeros"))) - (64 - BITS)); }}, \
  {"numberOfTrailingZeros", 1, 1, [](Args a) { uint64_t u = as_bits(BITS, lng(a, 0, CLS, "numberOfTrailingZeros")); \
     return Value::integer(u ? std::countr_zero(u) : BITS); }},                                              \
  {"reverse", 1, 1, [](Args a) { return wrap_to(BITS, reverse_bits(as_bits(BITS, lng(a, 0, CLS, "reverse"))) >> (64 - BITS)); }}, \
  {"rotateLeft", 2, 2, [](Args a) { return rotate(BITS, lng(a, 0, CLS, "rotateLeft"), lng(a, 1, CLS, "rotateLeft")); }}, \
  {"rotateRight", 2, 2, [](Args a) { return rotate(BITS, lng(a, 0, CLS, "rotateRight"), -lng(a, 1, CLS, "rotateRight")); }}

uint64_t as_bits(int bits, int64_t x) { return bits == 64 ? static_cast<uint64_t>(x) : static_cast<uint64_t>(x) & 0xffffffffu; }
Value wrap_to(int bits, uint64_t u) {
  return Value::integer(bits == 64 ? static_cast<int64_t>(u) : static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(u))));
}
uint64_t reverse_bits(uint64_t u) {
  uint64_t r = 0;
  for (int i = 0; i < 64; ++i, u >>= 1) r = (r << 1) | (u & 1);
  return r;
}
Value rotate(int bits, int64_t x, int64_t by) {
  uint64_t u = as_bits(bits, x);
  int k = static_cast<int>(((by % bits) + bits) % bits);
  if (k == 0) return wrap_to(bits, u);
  uint64_t mask = bits == 64 ? ~uint64_t{0} : 0xffffffffu;
  return wrap_to(bits, ((u << k) | (u >> (bits - k))) & mask);
}

const Member INTEGER[] = {
    {"parseInt", 1, 2, parse_int},
    {"valueOf", 1, 2, [](Args a) { return a[0].is_int() ? a[0] : parse_int(a); }},
    RADIX_MEMBERS("java.lang.Integer", 32),
    WIDTH_MEMBERS("java.lang.Integer", 32),
};
const Member LONG[] = {
    {"parseLong", 1, 2, parse_long_fn},
    {"valueOf", 1, 2, [](Args a) { return a[0].is_int() ? a[0] : parse_long_fn(a); }},
    {"parseUnsignedLong", 1, 2, [](Args a) {
       std::string_view s = str_arg(a, 0, "java.lang.Long", "parseUnsignedLong");
       int radix = radix_arg(a, "java.lang.Long", "parseUnsignedLong");
       if (s.empty() || s[0] == '-') number_format(s);
       unsigned __int128 acc = 0;
       for (size_t i = s[0] == '+' ? 1 : 0; i < s.size(); ++i) {
         char c = s[i];
         int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : 99;
         if (d >= radix) number_format(s);
         acc = acc * radix + d;
         if (acc > UINT64_MAX) number_format(s);
       }
       return Value::integer(static_cast<int64_t>(static_cast<uint64_t>(acc)));
     }},
    {"toUnsignedString", 1, 1, [](Args a) {
       return make_string(std::to_string(static_cast<uint64_t>(lng(a, 0, "java.lang.Long", "toUnsignedString"))));
     }},
    RADIX_MEMBERS("java.lang.Long", 64),
    WIDTH_MEMBERS("java.lang.Long", 64),
};
const Member DOUBLE[] = {
    {"parseDouble", 1, 1, parse_double},
    {"valueOf", 1, 1, [](Args a) { return a[0].is_double() ? a[0] : parse_double(a); }},
    {"isNaN", 1, 1, [](Args a) { double d; return Value::boolean(to_double(a[0], &d) && std::isnan(d)); }},
    {"isInfinite", 1, 1, [](Args a) { double d; return Value::boolean(to_double(a[0], &d) && std::isinf(d)); }},
    {"isFinite", 1, 1, [](Args a) { double d; return Value::boolean(to_double(a[0], &d) && std::isfinite(d)); }},
    {"compare", 2, 2, [](Args a) {
       double x = dbl(a, 0, "compare"), y = dbl(a, 1, "compare");
       // Double.compare: -0.0 below 0.0, NaN above everything and equal to itself.
       if (std::isnan(x) || std::isnan(y)) return Value::integer(std::isnan(x) - std::isnan(y));
       if (x != y) return Value::integer(x < y ? -1 : 1);
       return Value::integer(std::signbit(y) - std::signbit(x));
     }},
    {"toString", 1, 1, [](Args a) { return make_string(format_double(dbl(a, 0, "toString"))); }},
    {"sum", 2, 2, [](Args a) { return real(dbl(a, 0, "sum") + dbl(a, 1, "sum")); }},
    {"max", 2, 2, [](Args a) {
       double x = dbl(a, 0, "max"), y = dbl(a, 1, "max");
       return real(std::isnan(x) || std::isnan(y) ? NAN : std::fmax(x, y));
     }},
    {"min", 2, 2, [](Args a) {
       double x = dbl(a, 0, "min"), y = dbl(a, 1, "min");
       return real(std::isnan(x) || std::isnan(y) ? NAN : std::fmin(x, y));
     }},
    {"hashCode", 1, 1, [](Args a) {
       double d = dbl(a, 0, "hashCode");
       uint64_t u = std::isnan(d) ? 0x7ff8000000000000ull : std::bit_cast<uint64_t>(d);
       return Value::integer(static_cast<int32_t>(static_cast<uint32_t>(u ^ (u >> 32))));
     }},
};

bool parse_boolean(const Value& v) {
  if (!v.is(Kind::String)) return false;
  std::string_view s = str_view(v);
  return s.size() == 4 && (s[0] | 32) == 't' && (s[1] | 32) == 'r' && (s[2] | 32) == 'u' && (s[3] | 32) == 'e';
}
const Member BOOLEAN[] = {
    {"parseBoolean", 1, 1, [](Args a) { return Value::boolean(parse_boolean(a[0])); }},
    {"valueOf", 1, 1, [](Args a) { return a[0].is_bool() ? a[0] : Value::boolean(parse_boolean(a[0])); }},
    {"toString", 1, 1, [](Args a) {
       if (!a[0].is_bool()) bad_args("java.lang.Boolean", "toString", a);
       return make_string(a[0].truthy() ? "true" : "false");
     }},
    {"compare", 2, 2, [](Args a) {
       if (!a[0].is_bool() || !a[1].is_bool()) bad_args("java.lang.Boolean", "compare", a);
       return Value::integer(int{a[0].truthy()} - int{a[1].truthy()});
     }},
    {"logicalAnd", 2, 2, [](Args a) { return Value::boolean(a[0].truthy() && a[1].truthy()); }},
    {"logicalOr", 2, 2, [](Args a) { return Value::boolean(a[0].truthy() || a[1].truthy()); }},
    {"logicalXor", 2, 2, [](Args a) { return Value::boolean(a[0].truthy() != a[1].truthy()); }},
};

char32_t chr(Args a, const char* method) {
  if (a[0].is_char()) return a[0].as_char();
  if (a[0].is_int()) return static_cast<char32_t>(a[0].as_int());
  bad_args("java.lang.Character", method, a);
}
bool is_upper(char32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9) || (c >= 0x410 && c <= 0x42F); }
bool is_lower(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 0xDF && c <= 0xFF && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9) || (c >= 0x430 && c <= 0x44F); }
// Letters beyond Latin-1 are approximated by script blocks (Latin Extended to Arabic, kana, CJK, Hangul).
bool is_letter(char32_t c) {
  return is_upper(c) || is_lower(c) || c == 0xAA || c == 0xB5 || c == 0xBA || (c >= 0x100 && c < 0x700) ||
         (c >= 0x3040 && c <= 0x30FF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7A3);
}
bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_space(char32_t c) { return c == ' ' || (c >= 9 && c <= 13) || (c >= 0x1C && c <= 0x1F) || c == 0x2028 || c == 0x2029 || c == 0x3000 || (c >= 0x2000 && c <= 0x2006) || (c >= 0x2008 && c <= 0x200A) || c == 0x205F || c == 0x1680; }
// Case mapping for ASCII, Latin-1, Greek and Cyrillic, whose cases sit 32 apart.
char32_t to_upper(char32_t c) { return is_lower(c) && c != 0xDF && c != 0xFF && c != 0x3C2 ? c - 32 : c; }
char32_t to_lower(char32_t c) { return is_upper(c) ? c + 32 : c; }

// Character's methods answer for chars, and for code points given as integers.
Value char_like(Args a, char32_t c) { return a[0].is_int() ? Value::integer(c) : Value::character(c); }

const Member CHARACTER[] = {
    {"isDigit", 1, 1, [](Args a) { return Value::boolean(is_digit(chr(a, "isDigit"))); }},
    {"isLetter", 1, 1, [](Args a) { return Value::boolean(is_letter(chr(a, "isLetter"))); }},
    {"isLetterOrDigit", 1, 1, [](Args a) { char32_t c = chr(a, "isLetterOrDigit"); return Value::boolean(is_letter(c) || is_digit(c)); }},
    {"isAlphabetic", 1, 1, [](Args a) { return Value::boolean(is_letter(chr(a, "isAlphabetic"))); }},
    {"isWhitespace", 1, 1, [](Args a) { return Value::boolean(is_space(chr(a, "isWhitespace"))); }},
    {"isUpperCase", 1, 1, [](Args a) { return Value::boolean(is_upper(chr(a, "isUpperCase"))); }},
    {"isLowerCase", 1, 1, [](Args a) { return Value::boolean(is_lower(chr(a, "isLowerCase"))); }},
    {"toUpperCase", 1, 1, [](Args a) { return char_like(a, to_upper(chr(a, "toUpperCase"))); }},
    {"toLowerCase", 1, 1, [](Args a) { return char_like(a, to_lower(chr(a, "toLowerCase"))); }},
    {"valueOf", 1, 1, [](Args a) { return Value::character(chr(a, "valueOf")); }},
    {"toString", 1, 1, [](Args a) { return make_string(to_string(Value::character(chr(a, "toString")))); }},
    {"isSpaceChar", 1, 1, [](Args a) {
       char32_t c = chr(a, "isSpaceChar");
       return Value::boolean(c == ' ' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
                             c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000);
     }},
    {"forDigit", 2, 2, [](Args a) {
       int64_t d = lng(a, 0, "java.lang.Character", "forDigit"), radix = lng(a, 1, "java.lang.Character", "forDigit");
       if (radix < 2 || radix > 36 || d < 0 || d >= radix) return Value::character(0);
       return Value::character(static_cast<char32_t>(d < 10 ? '0' + d : 'a' + d - 10));
     }},
    {"isISOControl", 1, 1, [](Args a) { char32_t c = chr(a, "isISOControl"); return Value::boolean(c < 0x20 || (c >= 0x7F && c <= 0x9F)); }},
    {"getNumericValue", 1, 1, [](Args a) {
       char32_t c = chr(a, "getNumericValue");
       if (is_digit(c)) return Value::integer(c - '0');
       if (c < 0x80 && is_letter(c)) return Value::integer(to_lower(c) - 'a' + 10);
       return Value::integer(-1);
     }},
    {"digit", 2, 2, [](Args a) {
       char32_t c = chr(a, "digit");
       int64_t radix = lng(a, 1, "java.lang.Character", "digit");
       int64_t d = is_digit(c) ? c - '0' : (c < 0x80 && is_letter(c)) ? to_lower(c) - 'a' + 10 : -1;
       return Value::integer(d >= 0 && d < radix ? d : -1);
     }},
};

Value string_join(Args a) {
  std::string sep = to_string(a[0]), out;
  bool first = true;
  auto add = [&](const Value& x) {
    if (!first) out += sep;
    first = false;
    out += to_string(x);
  };
  if (a.size() == 2 && !a[1].is(Kind::String)) {
    for (Value s = rt::seq(a[1]); !s.is_nil(); s = rt::next(s)) add(rt::first(s));
  } else {
    for (size_t i = 1; i < a.size(); ++i) add(a[i]);
  }
  return make_string(out);
}

const Member STRING[] = {
    {"valueOf", 1, 1, [](Args a) { return make_string(to_string(a[0])); }},
    {"join", 2, -1, string_join},
    {"format", 1, -1, [](Args a) {
       Value format = core_vars().core->find_interned(symbol("format"));
       if (format.is_nil()) bad_args("java.lang.String", "format", a);
       // Java's varargs: (String/format fmt (to-array [...])) passes the array's elements.
       if (a.size() == 2)
         if (const lib::JavaArray* arr = lib::as_array(a[1])) {
           std::vector<Value> spread{a[0]};
           spread.insert(spread.end(), arr->items().begin(), arr->items().end());
           return call(as_var(format).deref(), Args(spread));
         }
       return call(as_var(format).deref(), a);
     }},
};

uint64_t random_u64() {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  return gen();
}

const Member UUID[] = {
    {"randomUUID", 0, 0, [](Args) {
       uint64_t hi = (random_u64() & ~0xF000ull) | 0x4000ull;                    // version 4
       uint64_t lo = (random_u64() & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;  // IETF variant
       return make_uuid(hi, lo);
     }},
    {"fromString", 1, 1, [](Args a) {
       std::string_view s = str_arg(a, 0, "java.util.UUID", "fromString");
       std::optional<Value> u = parse_uuid(s);
       if (!u) throw_illegal_argument("Invalid UUID string: " + std::string(s));
       return *u;
     }},
};

// Pattern.quote: the text as a literal, \Q...\E with any \E inside split out as Java does.
std::string quote_pattern(std::string_view s) {
  std::string out = "\\Q";
  size_t from = 0;
  for (size_t at; (at = s.find("\\E", from)) != std::string_view::npos; from = at + 2) {
    out.append(s.substr(from, at - from));
    out += "\\E\\\\E\\Q";
  }
  out.append(s.substr(from));
  out += "\\E";
  return out;
}

const Member PATTERN[] = {
    {"compile", 1, 2, [](Args a) {
       std::string_view src = str_arg(a, 0, "java.util.regex.Pattern", "compile");
       if (a.size() == 1) return make_pattern(src);
       return make_pattern(src, static_cast<int32_t>(lng(a, 1, "java.util.regex.Pattern", "compile")));
     }},
    {"quote", 1, 1, [](Args a) { return make_string(quote_pattern(str_arg(a, 0, "java.util.regex.Pattern", "quote"))); }},
    {"matches", 2, 2, [](Args a) {
       Value p = make_pattern(str_arg(a, 0, "java.util.regex.Pattern", "matches"));
       RegexMatch m;
       return Value::boolean(regex_matches(p, str_arg(a, 1, "java.util.regex.Pattern", "matches"), m));
     }},
};

const Member COLLECTIONS[] = {
    {"sort", 1, 2, [](Args a) { return collections_static("sort", a); }},
    {"reverse", 1, 1, [](Args a) { return collections_static("reverse", a); }},
    {"max", 1, 1, [](Args a) { return collections_static("max", a); }},
    {"min", 1, 1, [](Args a) { return collections_static("min", a); }},
    {"frequency", 2, 2, [](Args a) { return collections_static("frequency", a); }},
    {"unmodifiableList", 1, 1, [](Args a) { return a[0]; }},
    {"unmodifiableMap", 1, 1, [](Args a) { return a[0]; }},
    {"unmodifiableSet", 1, 1, [](Args a) { return a[0]; }},
    {"emptyList", 0, 0, [](Args) { return empty_vector(); }},
    {"emptyMap", 0, 0, [](Args) { return empty_map(); }},
    {"singletonList", 1, 1, [](Args a) { return make_vector({a[0]}); }},
    {"nCopies", 2, 2, [](Args a) {
       int64_t n = lng(a, 0, "java.util.Collections", "nCopies");
       if (n < 0) throw_illegal_argument("List length = " + std::to_string(n));
       return make_vector(std::vector<Value>(static_cast<size_t>(n), a[1]));
     }},
};

const Member CLASS[] = {
    {"forName", 1, 3, [](Args a) {
       std::string_view name = str_arg(a, 0, "java.lang.Class", "forName");
       Value cls = find_class(name);
       if (cls.is_nil()) throw_no_class(name);
       return cls;
     }},
};

const Member ARRAYS[] = {
    {"sort", 1, 1, arrays_sort},
    {"fill", 2, 2, arrays_fill},
    // A fixed-size list over the array: kelp answers a vector of its elements.
    {"asList", 0, -1, [](Args a) {
       if (a.size() == 1)
         if (const lib::JavaArray* arr = lib::as_array(a[0])) return make_vector(arr->items());
       return make_vector(a);
     }},
};

struct ClassStatics {
  const char* cls;
  std::span<const Member> members;
};
const ClassStatics STATICS[] = {
    {"java.lang.Math", MATH},       {"java.lang.System", SYSTEM},   {"java.lang.Thread", THREAD},
    {"java.lang.Integer", INTEGER}, {"java.lang.Long", LONG},       {"java.lang.Double", DOUBLE},
    {"java.lang.Boolean", BOOLEAN}, {"java.lang.Character", CHARACTER}, {"java.lang.String", STRING},
    {"java.util.UUID", UUID},       {"java.util.Arrays", ARRAYS},   {"java.util.regex.Pattern", PATTERN},
    {"java.util.Collections", COLLECTIONS}, {"java.lang.Class", CLASS},
};

struct StaticCache {
  std::mutex mutex;
  std::unordered_map<std::string, Value> fns;  // "java.lang.Math/abs"
};

}  // namespace

Value find_static_method(const std::string& cls, std::string_view member) {
  static StaticCache* cache = new StaticCache;
  std::string key = cls + "/" + std::string(member);
  std::lock_guard lock(cache->mutex);
  if (auto it = cache->fns.find(key); it != cache->fns.end()) return it->second;
  for (const ClassStatics& c : STATICS) {
    if (cls != c.cls) continue;
    for (const Member& m : c.members) {
      if (member != m.name) continue;
      Value fn = Value::adopt(new StaticMethod(cls, m.name, m.min, m.max, m.body));
      cache->fns.emplace(key, fn);
      return fn;
    }
  }
  return {};
}

// The primitive type a boxing class stands for (Long/TYPE is long), or null.
const char* primitive_of(const std::string& cls) {
  static const std::pair<const char*, const char*> boxes[] = {
      {"java.lang.Long", "long"},     {"java.lang.Integer", "int"},   {"java.lang.Short", "short"},
      {"java.lang.Byte", "byte"},     {"java.lang.Double", "double"}, {"java.lang.Float", "float"},
      {"java.lang.Character", "char"}, {"java.lang.Boolean", "boolean"}};
  for (const auto& [box, prim] : boxes)
    if (cls == box) return prim;
  return nullptr;
}

Value find_static_field(const std::string& cls, std::string_view field, bool* found) {
  *found = true;
  if (field == "TYPE")
    if (const char* prim = primitive_of(cls)) return find_class(prim);
  if (cls == "java.lang.Math") {
    if (field == "PI") return Value::real(M_PI);
    if (field == "E") return Value::real(M_E);
  } else if (cls == "java.lang.Integer") {
    if (field == "SIZE") return Value::integer(32);
    if (field == "BYTES") return Value::integer(4);
    if (field == "MAX_VALUE") return Value::integer(INT32_MAX);
    if (field == "MIN_VALUE") return Value::integer(INT32_MIN);
  } else if (cls == "java.lang.Long") {
    if (field == "SIZE") return Value::integer(64);
    if (field == "BYTES") return Value::integer(8);
    if (field == "MAX_VALUE") return Value::integer(INT64_MAX);
    if (field == "MIN_VALUE") return Value::integer(INT64_MIN);
  } else if (cls == "java.lang.Double") {
    if (field == "MAX_VALUE") return Value::real(1.7976931348623157e308);
    if (field == "MIN_VALUE") return Value::real(4.9e-324);
    if (field == "POSITIVE_INFINITY") return Value::real(INFINITY);
    if (field == "NEGATIVE_INFINITY") return Value::real(-INFINITY);
    if (field == "NaN") return Value::real(NAN);
  } else if (cls == "java.lang.Boolean") {
    if (field == "TRUE") return TRUE_V();
    if (field == "FALSE") return FALSE_V();
  } else if (cls == "java.lang.System") {
    // The process's own streams: the writers *out* and *err* hold at their roots.
    if (field == "out") return as_var(core_vars().out).root();
    if (field == "err") return as_var(core_vars().err).root();
    if (field == "in") return lib::process::standard_input();
  } else if (cls == "java.util.regex.Pattern") {
    static const std::pair<std::string_view, int64_t> FLAGS[] = {
        {"UNIX_LINES", 1}, {"CASE_INSENSITIVE", 2}, {"COMMENTS", 4}, {"MULTILINE", 8}, {"LITERAL", 16},
        {"DOTALL", 32}, {"UNICODE_CASE", 64}, {"CANON_EQ", 128}, {"UNICODE_CHARACTER_CLASS", 256}};
    for (auto [name, bit] : FLAGS)
      if (field == name) return Value::integer(bit);
  } else if (cls == "java.lang.Character") {
    if (field == "MAX_VALUE") return Value::character(0xFFFF);
    if (field == "MIN_VALUE") return Value::character(0);
  }
  *found = false;
  return {};
}

}  // namespace kelp::rt::host::detail
