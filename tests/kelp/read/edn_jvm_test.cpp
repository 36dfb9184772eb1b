// Agreement with JVM Clojure: a table of EDN texts and a few hundred generated values go once through Debian's
// JVM Clojure (clojure.edn/read-string, then pr-str unbounded and under *print-length* / *print-level*), and
// our reader and printer must give the same values and, where order is defined, the same text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace kelp {
namespace {

namespace fs = std::filesystem;

// The print bounds the script applies, in its order: {length, depth}, -1 for none.
const PrintOptions BOUNDS[] = {{-1, 1}, {2, -1}, {0, -1}, {3, 2}, {-1, 0}};

enum class Expect { Same, JvmOnly };  // JvmOnly: texts JVM Clojure reads but we refuse on purpose

struct Case {
  std::string text;
  Expect expect = Expect::Same;
};

std::vector<Case> table() {
  std::vector<Case> t = {
      {"nil"}, {"true"}, {"false"}, {"0"}, {"-0"}, {"+7"}, {"42"}, {"9223372036854775807"},
      {"9223372036854775808"}, {"-9223372036854775809"}, {"123456789012345678901234567890N"}, {"7N"},
      {"0x7fffffffffffffffff"}, {"0X1f"}, {"017"}, {"36rZZ"}, {"2r1010"}, {"-8r17"},
      {"1/3"}, {"-2/4"}, {"6/3"}, {"100000000000000000000/3"}, {"1.5M"}, {"1M"}, {"1.50M"}, {"-0.0001M"}, {"1e3M"},
      {"1.0"}, {"0.1"}, {"-0.0"}, {"1e300"}, {"1e-5"}, {"1e7"}, {"1e6"}, {"123456.789"}, {"1.7976931348623157E308"},
      {"4.9E-324"}, {"0.001"}, {"1E-3"}, {"##Inf"}, {"##-Inf"},
      {R"("")"}, {R"("plain")"}, {R"("tab\there\nnew \"q\" \\ \b\f\r")"}, {R"("\u00e9\u4e2d\uD83D\uDE00")"},
      {"\"é中😀𝄞\""}, {R"("\101\60\7")"}, {"\"raw\tcontrol\"\n"},
      {"\\a"}, {"\\Z"}, {"\\newline"}, {"\\space"}, {"\\tab"}, {"\\backspace"}, {"\\formfeed"}, {"\\return"},
      {"\\u00e9"}, {"\\u4e2d"}, {"\\o101"}, {"\\o7"}, {"\\u"}, {"\\o"}, {"\\\\"}, {"\\\""}, {"\\é"},
      {":a"}, {":a/b"}, {":a.b.c/d-e"}, {":a/b/c"}, {":1"}, {":1/a"}, {":/"}, {":a//"}, {":+"}, {":a?"}, {":a#b"},
      {"a"}, {"a/b"}, {"/"}, {"+"}, {"-"}, {"->x"}, {".5"}, {"-a"}, {"+a"}, {"a'b"}, {"*x*"}, {"a.b/c.d"},
      {"nil/a"}, {"true/false"}, {"a:b"}, {"a//"}, {"é"},
      {"()"}, {"(1 2 3)"}, {"[]"}, {"[1 [2 [3 [4]]]]"}, {"(a (b (c)) [d {:e #{f}}])"},
      {"{}"}, {"{:a 1}"}, {"{:a 1, :b 2, :c 3}"},
      {"{:h 8 :g 7 :f 6 :e 5 :d 4 :c 3 :b 2 :a 1}"},
      {"{:i 9 :h 8 :g 7 :f 6 :e 5 :d 4 :c 3 :b 2 :a 1}"},
      {"{1 :a 2 :b 3 :c 4 :d 5 :e 6 :f 7 :g 8 :h 9 :i 10 :j \"s\" 11 [1] 12 nil 13}"},
      {"{[1 2] :v, (1 2) :l}"}, {"{nil 1 true 2 \\c 3 \"s\" 4 1.5 5 1N 6 1/2 7 1.5M 8 sym 9}"},
      {"#{}"}, {"#{1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 32 33}"},
      {"#{:a :b :c \"d\" e [f] (g) {:h 1}}"}, {"#{1 1N}"}, {"#{1 1.0}"}, {"{1 :a 1.0 :b}"},
      {"[1 #_ 2 3]"}, {"[#_#_ 1 2 3]"}, {"#_ x y"}, {"[1 ; comment\n 2]"}, {"[1,2,,3]"},
      {"#:ns{:a 1 :b 2}"}, {"#:ns{:a 1 :_/b 2 :c/d 3 e 4 _/f 5 \"s\" 6}"}, {"#:a.b {:c {:d 1}}"},
      {"#inst \"2020-01-01T00:00:00.000-00:00\""}, {"#inst \"1999\""}, {"#inst \"2020-06-15T12:30:45.123+05:30\""},
      {"#inst \"1969-12-31T23:59:59.999Z\""}, {"[#inst \"2001-02-03T04:05:06Z\" #inst \"1970\"]"},
      {"#uuid \"f81d4fae-7dec-11d0-a765-00a0c91e6bf6\""}, {"#uuid \"00000000-0000-0000-0000-000000000000\""},
      {"^:k [1]"}, {"^{:a 1} (x)"}, {"^Sym sym"}, {"^\"s\" {:a 1}"}, {"[^:a ^:b x]"},
      {"{:a [1 2 3 4 5] :b {:c {:d {:e 1}}} :f (1 2 3)}"}, {"[[[[[[]]]]]]"}, {"(((())))"},
      {"[1 2 3 4 5 6 7 8 9 10]"}, {"(\"a\" \"b\" \"c\")"}, {"{:a #{1 2 3} :b [[1] [2 [3]]]}"},
      // Failures on both sides.
      {"{:a 1 :a 2}"}, {"#{1 1}"}, {"#foo 1"}, {"(1 2"}, {"\"abc"}, {"::a"}, {"1/0"}, {"#inst \"nope\""},
      {"#uuid 1"}, {"a/"}, {":a:"}, {"a/1"}, {":a/1"}, {"1a"}, {"#:a/b{}"}, {"{:a}"}, {"\\uD800"}, {"\\foo"},
      {R"("\q")"}, {R"("\400")"}, {R"("\1a")"}, {"##Foo"}, {"^:k 1"}, {"#{1 1.0 1N}"},
      // We refuse these on purpose: JVM's read-string answers nil, or the first of several values.
      {"", Expect::JvmOnly}, {";; only a comment", Expect::JvmOnly}, {"[1 2] 3", Expect::JvmOnly},
      {"1 )", Expect::JvmOnly}, {"1)", Expect::JvmOnly},
  };
  return t;
}

// ---- Generated values.

class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}
  // Plain values hold no doubles and no control characters, so their whole text must match JVM's.
  void set_plain(bool plain) { plain_ = plain; }

  Value value(int depth) {
    int kinds = depth < 3 ? 18 : 14;
    switch (pick(kinds)) {
      case 0: return NIL;
      case 1: return Value::boolean(pick(2));
      case 2: return Value::integer(static_cast<int64_t>(rng_()) - (1ll << 31));
      case 3: return Value::integer(static_cast<int64_t>((uint64_t(rng_()) << 32) | rng_()));
      case 4: return big();
      case 5: return plain_ ? Value::integer(pick(1000)) : real();
      case 6: return make_ratio(mpz_class(static_cast<long>(pick(2000)) - 1000), mpz_class(static_cast<long>(pick(99)) + 2));
      case 7: return make_bigdec(mpz_class(static_cast<long>(rng_() % 2000000) - 1000000), static_cast<int32_t>(pick(12)) - 3);
      case 8: return string();
      case 9: return character();
      case 10: return name(true);
      case 11: return name(false);
      case 12: return make_inst(static_cast<int64_t>(pick(4000000)) * 1000003 - 1000000000000ll);
      case 13: return make_uuid((uint64_t(rng_()) << 32) | rng_(), (uint64_t(rng_()) << 32) | rng_());
      case 14: return make_vector(items(depth));
      case 15: return make_list(items(depth));
      case 16: return make_set(items(depth));
      default: {
        std::vector<Value> kvs;
        int n = pick(14);
        for (int i = 0; i < n; ++i) {
          kvs.push_back(key());
          kvs.push_back(value(depth + 1));
        }
        return make_map(kvs);
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

  std::vector<Value> items(int depth) {
    std::vector<Value> v;
    int n = pick(12);
    for (int i = 0; i < n; ++i) v.push_back(depth + 1 < 3 ? value(depth + 1) : key());
    return v;
  }

  Value key() {
    switch (pick(4)) {
      case 0: return name(true);
      case 1: return Value::integer(pick(100000) - 50000);
      case 2: return string();
      default: return make_vector({name(true), Value::integer(pick(10))});
    }
  }

  Value big() {
    mpz_class v(1);
    int digits = 19 + pick(30);
    for (int i = 0; i < digits; ++i) v = v * 10 + pick(10);
    if (pick(2)) v = -v;
    return pick(3) == 0 ? make_bigint(v) : make_integer(v);
  }

  Value real() {
    static const double nice[] = {0.0, -0.0, 0.1, 1.0, 1e300, 1e-300, 1e-5, 1e7, 1e6, 123.456, -2.5e-8, 1e21, 1e22, 1e23,
                                  4.9e-324, 1.7976931348623157e308, 0.3, 2.0 / 3.0};
    if (pick(2)) return Value::real(nice[pick(std::size(nice))]);
    uint64_t bits = (uint64_t(rng_()) << 32) | rng_();
    double d;
    std::memcpy(&d, &bits, 8);
    if (std::isnan(d)) d = 1.25;
    return Value::real(d);
  }

  char32_t code_point() {
    static const char32_t pool[] = {'a', 'Z', '0', ' ', '"', '\\', '\n', '\t', '\r', '\b', '\f', 1, 0x1F, 0x7F,
                                    U'é', U'ß', U'中', U'€', 0x2028, 0xFFFD, U'😀', U'𝄞', ',', ';', '#', '{'};
    if (pick(3) == 0) {
      char32_t c = pool[pick(std::size(pool))];
      if (!plain_ || !(c < 0x20 || c == 0x7F)) return c;
    }
    return 0x20 + pick(0x5F);
  }

  Value string() {
    std::u32string s;
    int n = pick(12);
    for (int i = 0; i < n; ++i) s += code_point();
    return make_string(std::u32string_view(s));
  }

  Value character() {
    char32_t c = code_point();
    if (c > 0xFFFF) c = U'λ';  // JVM characters are UTF-16 units
    return Value::character(c);
  }

  Value name(bool kw) {
    static const char* names[] = {"a", "b", "foo", "foo-bar", "x?", "*y*", "+", "->z", "a.b", "k1", "é", "<=", "_"};
    static const char* nss[] = {"user", "a.b", "ns", "x"};
    std::string_view n = names[pick(std::size(names))];
    if (pick(3) == 0) {
      std::string_view ns = nss[pick(std::size(nss))];
      return kw ? keyword(ns, n) : symbol(ns, n);
    }
    if (!kw && (n == "a.b")) return symbol("ab");
    return kw ? keyword(n) : symbol(n);
  }

  std::mt19937 rng_;
  bool plain_ = false;
};

// ---- Running the JVM once.

std::string to_hex(std::string_view s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string from_hex(std::string_view h) {
  std::string out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out += static_cast<char>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16));
  return out;
}

struct JvmAnswer {
  bool ok = false;
  std::vector<std::string> texts;  // unbounded, then one per bound; or the message
};

bool java_available() { return std::system("java -version > /dev/null 2>&1") == 0; }

std::string clojure_jar() {
  if (const char* j = std::getenv("CLOJURE_JAR")) return j;
  return "/usr/share/java/clojure.jar";
}

std::vector<JvmAnswer> run_jvm(const std::vector<std::string>& texts) {
  fs::path dir = fs::temp_directory_path() / ("edn-jvm-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::path in = dir / "in.txt", out = dir / "out.txt";
  {
    std::ofstream f(in, std::ios::binary);
    for (const auto& t : texts) f << 'x' << to_hex(t) << '\n';
  }
  std::string cmd = "java -XX:TieredStopAtLevel=1 -Xshare:auto -cp '" + clojure_jar() + "' clojure.main '" +
                    std::string(ORRERY_TEST_DATA) + "/edn_jvm.clj' '" + in.string() + "' '" + out.string() + "'";
  int rc = std::system(cmd.c_str());
  std::vector<JvmAnswer> answers;
  if (rc == 0) {
    std::ifstream f(out, std::ios::binary);
    std::string line;
    while (std::getline(f, line)) {
      std::istringstream words(line);
      std::string status, word;
      words >> status;
      JvmAnswer a;
      a.ok = status == "ok";
      while (words >> word) a.texts.push_back(from_hex(word));
      answers.push_back(std::move(a));
    }
  }
  fs::remove_all(dir);
  return answers;
}

// Where our text may differ from JDK 17's while the values agree: doubles (Double.toString there is not always
// the shortest form) and control characters (which we escape).
bool loosely_printed(const Value& v) {
  bool loose = false;
  auto visit = [&](auto& self, const Value& x) -> void {
    if (loose) return;
    if (x.is_double()) loose = true;
    else if (x.is_char()) loose = x.as_char() < 0x20 || x.as_char() == 0x7F;
    else if (x.is(Kind::String)) {
      for (unsigned char c : str_view(x)) {
        if (c < 0x20 || c == 0x7F) loose = true;
      }
    } else if (x.has(COLL) || x.has(MAP) || x.has(SET)) {
      x.obj()->each([&](const Value& e) {
        self(self, e);
        return !loose;
      });
    }
  };
  visit(visit, v);
  return loose;
}

bool has_nan(const Value& v) {
  bool nan = false;
  auto visit = [&](auto& self, const Value& x) -> void {
    if (x.is_double() && std::isnan(x.as_double())) nan = true;
    else if (x.has(COLL) || x.has(MAP) || x.has(SET)) x.obj()->each([&](const Value& e) { self(self, e); return !nan; });
  };
  visit(visit, v);
  return nan;
}

TEST(EdnAgreesWithJvmClojure, TableAndGeneratedValues) {
  ASSERT_TRUE(java_available())
      << "java was not found: the EDN agreement test runs Debian's JVM Clojure (packages default-jre-headless and "
         "clojure; the setup script installs them).";
  ASSERT_TRUE(fs::exists(clojure_jar())) << "Clojure's jar is missing at " << clojure_jar()
                                         << ": install Debian's clojure package (the setup script does).";

  std::vector<Case> cases = table();
  const size_t table_size = cases.size();
  std::vector<Value> generated;
  Gen gen(20240611);
  for (int i = 0; i < 300; ++i) {
    gen.set_plain(i % 2 == 0);
    Value v = gen.value(0);
    generated.push_back(v);
    cases.push_back({print_edn(v)});
  }
  std::vector<std::string> texts;
  for (const auto& c : cases) texts.push_back(c.text);
  std::vector<JvmAnswer> jvm = run_jvm(texts);
  ASSERT_EQ(jvm.size(), cases.size()) << "JVM Clojure did not answer every text";

  int texts_compared = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const JvmAnswer& j = jvm[i];
    SCOPED_TRACE("text: " + c.text);
    Result<Value> ours = read_edn(c.text);
    if (i >= table_size) {
      if (!ours.ok()) {
        ADD_FAILURE() << ours.failure().message;
        continue;
      }
      EXPECT_TRUE(equiv(*ours, generated[i - table_size])) << "printed value does not read back";
    }
    if (c.expect == Expect::JvmOnly) {
      EXPECT_FALSE(ours.ok());
      continue;
    }
    if (!j.ok) {
      EXPECT_FALSE(ours.ok()) << "JVM refused it (" << (j.texts.empty() ? "" : j.texts[0]) << ") but we read "
                              << pr_str(*ours);
      continue;
    }
    if (!ours.ok()) {
      ADD_FAILURE() << "JVM read it but we refused: " << ours.failure().message;
      continue;
    }
    ASSERT_EQ(j.texts.size(), 1 + std::size(BOUNDS));
    Result<Value> theirs = read_edn(j.texts[0]);
    if (!theirs.ok()) {
      ADD_FAILURE() << "we cannot read JVM's text " << j.texts[0] << ": " << theirs.failure().message;
      continue;
    }
    if (!has_nan(*ours)) {
      EXPECT_TRUE(equiv(*ours, *theirs)) << "JVM: " << j.texts[0] << " ours: " << pr_str(*ours);
    }
    const bool loose = loosely_printed(*ours);
    std::string mine = pr_str(*ours);
    if (!loose) {
      EXPECT_EQ(mine, j.texts[0]);
      ++texts_compared;
    }
    for (size_t b = 0; b < std::size(BOUNDS); ++b) {
      std::string bounded = pr_str(*ours, BOUNDS[b]);
      if (!loose) {
        EXPECT_EQ(bounded, j.texts[1 + b]) << "length " << BOUNDS[b].length << " depth " << BOUNDS[b].depth;
      }
    }
  }
  // Most texts must be compared in full, not only by value.
  EXPECT_GT(texts_compared, static_cast<int>(cases.size() / 2));
  RecordProperty("texts_compared", texts_compared);
}

}  // namespace
}  // namespace kelp
