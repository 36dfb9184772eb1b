// More of java.lang, java.util and java.time as interop meets them: java.time.Instant, LinkedBlockingQueue with
// TimeUnit, java.util.Random, Runtime, StringBuffer; and clojure.core's inst and uuid functions over them.
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/host_detail.hpp"
#include "kelp/lib/seq_util.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib {

namespace {

using rt::Args;
namespace host = rt::host;

template <class T>
const T* as(const Value& v) {
  return v.is(Kind::Host) ? dynamic_cast<const T*>(v.obj()) : nullptr;
}

int64_t long_arg(const Value& v, std::string_view method, size_t nargs, std::string_view cls) {
  if (!v.is_int()) host::detail::throw_no_method(method, nargs, cls);
  return v.as_int();
}

// ---------------------------------------------------------------------------------------------------------------
// java.time.Instant: seconds and nanoseconds since the epoch.

class Instant final : public Object {
 public:
  Instant(int64_t seconds, int32_t nanos) : Object(Kind::Host, 0), seconds_(seconds), nanos_(nanos) {}
  std::string_view type_name() const override { return "java.time.Instant"; }
  int64_t seconds() const { return seconds_; }
  int32_t nanos() const { return nanos_; }
  int64_t millis() const { return seconds_ * 1000 + nanos_ / 1000000; }
  bool equiv_same_category(const Object& other) const override {
    const auto* o = dynamic_cast<const Instant*>(&other);
    return o && o->seconds_ == seconds_ && o->nanos_ == nanos_;
  }
  int32_t compute_hash() const override {
    return static_cast<int32_t>(seconds_ ^ (seconds_ >> 32)) + 51 * nanos_;
  }
  // ISO-8601 in UTC, the fraction in groups of three digits as needed: 1970-01-01T00:00:01.500Z.
  std::string iso() const {
    std::time_t t = static_cast<std::time_t>(seconds_);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string out = buf;
    if (nanos_) {
      std::snprintf(buf, sizeof buf, "%09d", nanos_);
      std::string frac = buf;
      while (frac.size() > 3 && frac.ends_with("000")) frac.resize(frac.size() - 3);
      out += "." + frac;
    }
    return out + "Z";
  }

 private:
  int64_t seconds_;
  int32_t nanos_;
};

Value make_instant(int64_t seconds, int64_t nanos) {
  seconds += nanos / 1000000000;
  nanos %= 1000000000;
  if (nanos < 0) {
    nanos += 1000000000;
    --seconds;
  }
  return Value::adopt(new Instant(seconds, static_cast<int32_t>(nanos)));
}

Value instant_of_millis(int64_t ms) {
  int64_t s = ms / 1000, rest = ms % 1000;
  return make_instant(s, rest * 1000000);
}

// "2024-01-02T03:04:05Z", "2024-01-02T03:04:05.678Z": Instant.parse's form (UTC, Z suffix).
Value parse_instant(std::string_view text) {
  int y, mo, d, h, mi, s, n = 0;
  std::string t(text);
  if (std::sscanf(t.c_str(), "%d-%d-%dT%d:%d:%d%n", &y, &mo, &d, &h, &mi, &s, &n) != 6 || n <= 0)
    rt::throw_error("java.time.format.DateTimeParseException", "Text '" + t + "' could not be parsed at index 0");
  std::string_view rest = std::string_view(t).substr(static_cast<size_t>(n));
  int64_t nanos = 0;
  if (rest.starts_with(".")) {
    size_t k = 1;
    int64_t scale = 100000000;
    for (; k < rest.size() && rest[k] >= '0' && rest[k] <= '9'; ++k, scale /= 10) nanos += (rest[k] - '0') * scale;
    rest.remove_prefix(k);
  }
  if (rest != "Z")
    rt::throw_error("java.time.format.DateTimeParseException",
                    "Text '" + t + "' could not be parsed at index " + std::to_string(t.size() - rest.size()));
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return make_instant(static_cast<int64_t>(timegm(&tm)), nanos);
}

Value instant_now() {
  using namespace std::chrono;
  auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  return make_instant(0, ns - ns % 1000);  // the JVM's clock ticks in microseconds
}

bool instant_call(const Value& target, std::string_view m, Args a, Value* out) {
  const auto* i = as<Instant>(target);
  if (!i) return false;
  if (m == "toEpochMilli" && a.empty()) *out = Value::integer(i->millis());
  else if (m == "getEpochSecond" && a.empty()) *out = Value::integer(i->seconds());
  else if (m == "getNano" && a.empty()) *out = Value::integer(i->nanos());
  else if (m == "toString" && a.empty()) *out = make_string(i->iso());
  else if ((m == "plusMillis" || m == "minusMillis") && a.size() == 1) {
    int64_t ms = long_arg(a[0], m, 1, "java.time.Instant") * (m == "plusMillis" ? 1 : -1);
    *out = make_instant(i->seconds() + ms / 1000, i->nanos() + (ms % 1000) * 1000000);
  } else if ((m == "plusSeconds" || m == "minusSeconds") && a.size() == 1) {
    int64_t s = long_arg(a[0], m, 1, "java.time.Instant") * (m == "plusSeconds" ? 1 : -1);
    *out = make_instant(i->seconds() + s, i->nanos());
  } else if ((m == "isBefore" || m == "isAfter" || m == "compareTo") && a.size() == 1) {
    const auto* o = as<Instant>(a[0]);
    if (!o) host::detail::throw_no_method(m, 1, "java.time.Instant");
    int c = i->seconds() != o->seconds() ? (i->seconds() < o->seconds() ? -1 : 1)
                                         : (i->nanos() < o->nanos() ? -1 : i->nanos() > o->nanos() ? 1 : 0);
    *out = m == "compareTo" ? Value::integer(c) : Value::boolean(m == "isBefore" ? c < 0 : c > 0);
  } else if (m == "equals" && a.size() == 1) {
    *out = Value::boolean(equiv(target, a[0]));
  } else {
    return false;
  }
  return true;
}

Value instant_static(std::string_view m) {
  if (m == "now") return rt::make_native("now", 0, 0, [](Args) { return instant_now(); });
  if (m == "ofEpochMilli")
    return rt::make_native("ofEpochMilli", 1, 1,
                           [](Args a) { return instant_of_millis(long_arg(a[0], "ofEpochMilli", 1, "java.time.Instant")); });
  if (m == "ofEpochSecond")
    return rt::make_native("ofEpochSecond", 1, 2, [](Args a) {
      int64_t n = a.size() > 1 ? long_arg(a[1], "ofEpochSecond", 2, "java.time.Instant") : 0;
      return make_instant(long_arg(a[0], "ofEpochSecond", a.size(), "java.time.Instant"), n);
    });
  if (m == "parse")
    return rt::make_native("parse", 1, 1, [](Args a) {
      if (!a[0].is(Kind::String)) host::detail::throw_no_method("parse", 1, "java.time.Instant");
      return parse_instant(str_view(a[0]));
    });
  return {};
}

Value instant_field(std::string_view f, bool* found) {
  *found = true;
  if (f == "EPOCH") return make_instant(0, 0);
  *found = false;
  return {};
}

bool instant_string(const Value& v, std::string& out) {
  const auto* i = as<Instant>(v);
  if (!i) return false;
  out += i->iso();
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// java.util.concurrent.TimeUnit, as the keyword-like constants queues take: each a unit of nanoseconds.

class TimeUnit final : public Object {
 public:
  TimeUnit(std::string name, int64_t nanos) : Object(Kind::Host, 0), name_(std::move(name)), nanos_(nanos) {}
  std::string_view type_name() const override { return "java.util.concurrent.TimeUnit"; }
  const std::string& name() const { return name_; }
  std::chrono::nanoseconds of(int64_t n) const { return std::chrono::nanoseconds(n * nanos_); }

 private:
  std::string name_;
  int64_t nanos_;
};

Value time_unit_field(std::string_view f, bool* found) {
  static const std::pair<const char*, int64_t> UNITS[] = {
      {"NANOSECONDS", 1},           {"MICROSECONDS", 1000},         {"MILLISECONDS", 1000000},
      {"SECONDS", 1000000000},      {"MINUTES", 60'000'000'000},     {"HOURS", 3'600'000'000'000},
      {"DAYS", 86'400'000'000'000}};
  static const std::vector<Value>* made = [] {
    auto* v = new std::vector<Value>;
    for (auto [name, ns] : UNITS) {
      auto* u = new TimeUnit(name, ns);
      u->make_immortal();
      v->push_back(Value::adopt(u));
    }
    return v;
  }();
  for (size_t i = 0; i < std::size(UNITS); ++i)
    if (f == UNITS[i].first) return *found = true, (*made)[i];
  *found = false;
  return {};
}

bool time_unit_call(const Value& target, std::string_view m, Args a, Value* out) {
  const auto* u = as<TimeUnit>(target);
  if (!u) return false;
  if ((m == "toString" || m == "name") && a.empty()) *out = make_string(u->name());
  else if (m == "sleep" && a.size() == 1) {
    rt::interruptible_sleep(std::chrono::duration_cast<std::chrono::milliseconds>(
        u->of(long_arg(a[0], m, 1, "java.util.concurrent.TimeUnit"))));
    *out = Value();
  } else if (m == "toMillis" && a.size() == 1) {
    *out = Value::integer(std::chrono::duration_cast<std::chrono::milliseconds>(
                              u->of(long_arg(a[0], m, 1, "java.util.concurrent.TimeUnit")))
                              .count());
  } else {
    return false;
  }
  return true;
}

bool time_unit_string(const Value& v, std::string& out) {
  const auto* u = as<TimeUnit>(v);
  if (!u) return false;
  out += u->name();
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// java.util.concurrent.LinkedBlockingQueue: a FIFO, optionally bounded, whose take and put wait (interruptibly).

class BlockingQueue final : public Object {
 public:
  explicit BlockingQueue(int64_t capacity) : Object(Kind::Host, COUNTED), capacity_(capacity) {}
  std::string_view type_name() const override { return "java.util.concurrent.LinkedBlockingQueue"; }
  int64_t count() const override {
    std::lock_guard lock(mutex_);
    return static_cast<int64_t>(items_.size());
  }
  Value seq() const override {
    std::vector<Value> items = snapshot();
    return items.empty() ? Value() : seqs::seq_of(make_vector(items));
  }
  bool each(FunctionRef<bool(const Value&)> f) const override {
    for (const Value& x : snapshot())
      if (!f(x)) return false;
    return true;
  }
  std::vector<Value> snapshot() const {
    std::lock_guard lock(mutex_);
    return {items_.begin(), items_.end()};
  }
  // offer with a wait: false when still full at the deadline.
  bool offer(const Value& x, std::chrono::nanoseconds wait) const {
    std::unique_lock lock(mutex_);
    auto room = [&] { return static_cast<int64_t>(items_.size()) < capacity_; };
    if (!room()) {
      if (wait.count() <= 0) return false;
      if (!rt::interruptible_wait_until(lock, cv_, room, std::chrono::steady_clock::now() + wait)) return false;
    }
    items_.push_back(x);
    cv_.notify_all();
    return true;
  }
  void put(const Value& x) const {
    std::unique_lock lock(mutex_);
    rt::interruptible_wait(lock, cv_, [&] { return static_cast<int64_t>(items_.size()) < capacity_; });
    items_.push_back(x);
    cv_.notify_all();
  }
  // poll with a wait: nil when still empty at the deadline.
  Value poll(std::chrono::nanoseconds wait) const {
    std::unique_lock lock(mutex_);
    auto some = [&] { return !items_.empty(); };
    if (!some()) {
      if (wait.count() <= 0) return {};
      if (!rt::interruptible_wait_until(lock, cv_, some, std::chrono::steady_clock::now() + wait)) return {};
    }
    return pop_locked();
  }
  Value take() const {
    std::unique_lock lock(mutex_);
    rt::interruptible_wait(lock, cv_, [&] { return !items_.empty(); });
    return pop_locked();
  }
  Value peek() const {
    std::lock_guard lock(mutex_);
    return items_.empty() ? Value() : items_.front();
  }
  int64_t remaining() const {
    std::lock_guard lock(mutex_);
    return capacity_ - static_cast<int64_t>(items_.size());
  }
  void clear() const {
    std::lock_guard lock(mutex_);
    items_.clear();
    cv_.notify_all();
  }
  // Moves everything queued into a list (drainTo).
  std::vector<Value> drain() const {
    std::lock_guard lock(mutex_);
    std::vector<Value> out(items_.begin(), items_.end());
    items_.clear();
    cv_.notify_all();
    return out;
  }

 private:
  Value pop_locked() const {
    Value x = std::move(items_.front());
    items_.pop_front();
    cv_.notify_all();
    return x;
  }
  int64_t capacity_;
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  mutable std::deque<Value> items_;
};

constexpr const char* LBQ = "java.util.concurrent.LinkedBlockingQueue";

bool queue_construct(Args a, Value* out) {
  if (a.empty()) return *out = Value::adopt(new BlockingQueue(INT32_MAX)), true;
  if (a.size() != 1) return false;
  if (a[0].is_int()) {
    if (a[0].as_int() <= 0) rt::throw_illegal_argument("");
    return *out = Value::adopt(new BlockingQueue(a[0].as_int())), true;
  }
  auto* q = new BlockingQueue(INT32_MAX);
  *out = Value::adopt(q);
  for (Value s = rt::seq(a[0]); !s.is_nil(); s = rt::next(s)) q->put(rt::first(s));
  return true;
}

std::chrono::nanoseconds wait_of(const Value& n, const Value& unit, std::string_view m) {
  const auto* u = as<TimeUnit>(unit);
  if (!u) host::detail::throw_no_method(m, 3, LBQ);
  return u->of(long_arg(n, m, 3, LBQ));
}

bool queue_call(const Value& target, std::string_view m, Args a, Value* out) {
  const auto* q = as<BlockingQueue>(target);
  if (!q) return false;
  auto null_check = [&](const Value& x) {
    if (x.is_nil()) rt::throw_null_pointer("");
  };
  if ((m == "put" || m == "add") && a.size() == 1) {
    null_check(a[0]);
    if (m == "add") {
      if (!q->offer(a[0], {})) rt::throw_illegal_state("Queue full");
      *out = Value::boolean(true);
    } else {
      q->put(a[0]);
      *out = Value();
    }
  } else if (m == "offer" && (a.size() == 1 || a.size() == 3)) {
    null_check(a[0]);
    *out = Value::boolean(q->offer(a[0], a.size() == 3 ? wait_of(a[1], a[2], m) : std::chrono::nanoseconds(0)));
  } else if (m == "take" && a.empty()) {
    *out = q->take();
  } else if (m == "poll" && (a.empty() || a.size() == 2)) {
    *out = q->poll(a.size() == 2 ? wait_of(a[0], a[1], m) : std::chrono::nanoseconds(0));
  } else if (m == "peek" && a.empty()) {
    *out = q->peek();
  } else if (m == "size" && a.empty()) {
    *out = Value::integer(q->count());
  } else if (m == "isEmpty" && a.empty()) {
    *out = Value::boolean(q->count() == 0);
  } else if (m == "remainingCapacity" && a.empty()) {
    *out = Value::integer(q->remaining());
  } else if (m == "clear" && a.empty()) {
    q->clear();
    *out = Value();
  } else if (m == "drainTo" && a.size() == 1) {
    std::vector<Value> items = q->drain();
    for (const Value& x : items) rt::host::invoke_method(a[0], "add", Args(&x, 1));
    *out = Value::integer(static_cast<int64_t>(items.size()));
  } else if (m == "contains" && a.size() == 1) {
    bool any = false;
    for (const Value& x : q->snapshot()) any = any || equiv(x, a[0]);
    *out = Value::boolean(any);
  } else if (m == "toString" && a.empty()) {
    std::string s;
    rt::host::append_object_string(s, target);
    *out = make_string(s);
  } else {
    return false;
  }
  return true;
}

bool queue_string(const Value& v, std::string& out) {
  const auto* q = as<BlockingQueue>(v);
  if (!q) return false;
  out += '[';
  bool first = true;
  for (const Value& x : q->snapshot()) {
    if (!first) out += ", ";
    first = false;
    out += rt::host::to_string(x);
  }
  out += ']';
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// java.util.Random: a seeded generator (Java's own linear congruential one, so a seed gives Java's numbers).

class Random final : public Object {
 public:
  explicit Random(int64_t seed) : Object(Kind::Host, 0) { set_seed(seed); }
  std::string_view type_name() const override { return "java.util.Random"; }
  void set_seed(int64_t seed) const {
    std::lock_guard lock(mutex_);
    seed_ = (static_cast<uint64_t>(seed) ^ 0x5DEECE66DULL) & ((1ULL << 48) - 1);
  }
  int32_t next(int bits) const {
    std::lock_guard lock(mutex_);
    seed_ = (seed_ * 0x5DEECE66DULL + 0xBULL) & ((1ULL << 48) - 1);
    return static_cast<int32_t>(static_cast<int64_t>(seed_) >> (48 - bits));
  }
  int32_t next_int(int32_t bound) const {
    if ((bound & -bound) == bound) return static_cast<int32_t>((int64_t{bound} * next(31)) >> 31);
    int32_t bits, val;
    do {
      bits = next(31);
      val = bits % bound;
    } while (bits - val + (bound - 1) < 0);
    return val;
  }
  double next_double() const {
    return static_cast<double>((static_cast<int64_t>(next(26)) << 27) + next(27)) * 0x1.0p-53;
  }
  int64_t next_long() const { return (static_cast<int64_t>(next(32)) << 32) + next(32); }

 private:
  mutable std::mutex mutex_;
  mutable uint64_t seed_ = 0;
};

bool random_construct(Args a, Value* out) {
  if (a.empty()) {
    std::random_device rd;
    *out = Value::adopt(new Random((static_cast<int64_t>(rd()) << 32) ^ rd()));
    return true;
  }
  if (a.size() == 1 && a[0].is_int()) return *out = Value::adopt(new Random(a[0].as_int())), true;
  return false;
}

bool random_call(const Value& target, std::string_view m, Args a, Value* out) {
  const auto* r = as<Random>(target);
  if (!r) return false;
  if (m == "nextInt" && a.empty()) *out = Value::integer(r->next(32));
  else if (m == "nextInt" && a.size() == 1) {
    int64_t bound = long_arg(a[0], m, 1, "java.util.Random");
    if (bound <= 0) rt::throw_illegal_argument("bound must be positive");
    *out = Value::integer(r->next_int(static_cast<int32_t>(bound)));
  } else if (m == "nextLong" && a.empty()) *out = Value::integer(r->next_long());
  else if (m == "nextDouble" && a.empty()) *out = Value::real(r->next_double());
  else if (m == "nextBoolean" && a.empty()) *out = Value::boolean(r->next(1) != 0);
  else if (m == "nextGaussian" && a.empty()) {
    double v1, v2, s;
    do {
      v1 = 2 * r->next_double() - 1;
      v2 = 2 * r->next_double() - 1;
      s = v1 * v1 + v2 * v2;
    } while (s >= 1 || s == 0);
    *out = Value::real(v1 * std::sqrt(-2 * std::log(s) / s));
  } else if (m == "setSeed" && a.size() == 1) {
    r->set_seed(long_arg(a[0], m, 1, "java.util.Random"));
    *out = Value();
  } else {
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// java.lang.Runtime: the process's processors and memory, as far as kelp can tell.

class Runtime final : public Object {
 public:
  Runtime() : Object(Kind::Host, 0) {}
  std::string_view type_name() const override { return "java.lang.Runtime"; }
};

Value runtime_static(std::string_view m) {
  if (m == "getRuntime")
    return rt::make_native("getRuntime", 0, 0, [](Args) {
      static const Value* rt = [] {
        auto* r = new Runtime();
        r->make_immortal();
        return new Value(Value::adopt(r));
      }();
      return *rt;
    });
  return {};
}

bool runtime_call(const Value& target, std::string_view m, Args a, Value* out) {
  if (!as<Runtime>(target) || !a.empty()) return false;
  if (m == "availableProcessors") *out = Value::integer(std::max(1u, std::thread::hardware_concurrency()));
  else if (m == "gc") *out = Value();
  else return false;
  return true;
}

// java.lang.StringBuffer: kelp's StringBuilder already guards itself, so a buffer is made as one.
bool string_buffer_construct(Args a, Value* out) {
  Value cls = host::find_class("java.lang.StringBuilder");
  *out = host::construct(cls, a);
  return true;
}

// ---------------------------------------------------------------------------------------------------------------
// clojure.core's inst and uuid functions.

Value inst_ms(Args a) {
  if (a[0].is(Kind::Inst)) return Value::integer(a[0].as<Inst>().millis());
  if (const auto* i = as<Instant>(a[0])) return Value::integer(i->millis());
  rt::throw_illegal_argument("No implementation of method: :inst-ms* of protocol: #'clojure.core/Inst found for "
                             "class: " + std::string(a[0].is_nil() ? "nil" : type_name(a[0])));
}

}  // namespace

void install_host_more() {
  host::add_class({"java.time.Instant", "java.lang.Object", nullptr, instant_call, instant_static, instant_string,
                   instant_field});
  host::add_class({"java.util.concurrent.TimeUnit", "java.lang.Object", nullptr, time_unit_call, nullptr,
                   time_unit_string, time_unit_field});
  host::add_class({LBQ, "java.lang.Object", queue_construct, queue_call, nullptr, queue_string, nullptr});
  host::add_class({"java.util.Random", "java.lang.Object", random_construct, random_call, nullptr, nullptr, nullptr});
  host::add_class({"java.lang.Runtime", "java.lang.Object", nullptr, runtime_call, runtime_static, nullptr, nullptr});
  host::add_class({"java.lang.StringBuffer", "java.lang.Object", string_buffer_construct, nullptr, nullptr, nullptr,
                   nullptr});

  rt::Namespace* core = rt::core_vars().core;
  defn(core, "inst-ms", 1, 1, inst_ms, {"([inst])", "Return the number of milliseconds since January 1, 1970, 00:00:00 GMT"});
  defn(core, "inst?", 1, 1, [](Args a) { return Value::boolean(a[0].is(Kind::Inst) || as<Instant>(a[0])); },
       {"([x])", "Return true if x satisfies Inst"});
  defn(core, "uuid?", 1, 1, [](Args a) { return Value::boolean(a[0].is(Kind::Uuid)); },
       {"([x])", "Return true if x is a java.util.UUID"});
  defn(core, "random-uuid", 0, 0,
       [](Args) { return rt::call(host::static_method(host::find_class("java.util.UUID"), "randomUUID")); },
       {"([])", "Returns a pseudo-randomly generated java.util.UUID instance (i.e. type 4)."});
}

}  // namespace kelp::lib
