// Printing values as Clojure's pr-str does, with its length and depth bounds.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>

#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "kelp/read/reader_conditional.hpp"
#include "kelp/data/pattern.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp {
namespace {

Value edn(std::string_view text) {
  Result<Value> r = read_edn(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.failure().message);
  return r.ok() ? *r : NIL;
}

TEST(PrStr, PrintsEachKindReadably) {
  struct Case {
    Value v;
    std::string text;
  } cases[] = {
      {NIL, "nil"}, {TRUE_V(), "true"}, {Value::integer(-42), "-42"},
      {Value::integer(INT64_MIN), "-9223372036854775808"}, {make_bigint(mpz_class(1)), "1N"},
      {make_ratio(mpz_class(-1), mpz_class(3)), "-1/3"}, {make_bigdec(mpz_class(15), 1), "1.5M"},
      {Value::real(1.0), "1.0"}, {Value::real(1e10), "1.0E10"}, {Value::real(0.1), "0.1"},
      {Value::real(1.0 / 0.0), "##Inf"}, {Value::real(-1.0 / 0.0), "##-Inf"},
      {make_string("a\"b\\c\nd\te\rf\fg\bh"), R"("a\"b\\c\nd\te\rf\fg\bh")"},
      {make_string(std::string("\x00\x01\x1f\x7f", 4)), R"("\u0000\u0001\u001F\u007F")"},
      {make_string("é😀"), "\"é😀\""},
      {Value::character('a'), "\\a"}, {Value::character('\n'), "\\newline"}, {Value::character(' '), "\\space"},
      {Value::character('\t'), "\\tab"}, {Value::character('\b'), "\\backspace"},
      {Value::character('\f'), "\\formfeed"}, {Value::character('\r'), "\\return"},
      {Value::character(1), "\\u0001"}, {Value::character(0x7F), "\\u007F"}, {Value::character(U'é'), "\\é"},
      {keyword("a"), ":a"}, {keyword("a.b", "c"), ":a.b/c"}, {symbol("x"), "x"}, {symbol("clojure.core", "map"), "clojure.core/map"},
      {make_list({}), "()"}, {make_list({Value::integer(1), make_vector({})}), "(1 [])"},
      {make_vector({Value::integer(1), keyword("k")}), "[1 :k]"},
      {make_map({keyword("a"), Value::integer(1), keyword("b"), NIL}), "{:a 1, :b nil}"},
      {make_map({keyword("n", "x"), Value::integer(1), keyword("n", "y"), Value::integer(2)}), "{:n/x 1, :n/y 2}"},
      {make_set({Value::integer(1)}), "#{1}"}, {make_inst(0), "#inst \"1970-01-01T00:00:00.000-00:00\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pr_str(c.v), c.text);
    if (c.text.starts_with("##") || c.text.empty()) continue;
    Result<Value> back = read_edn(print_edn(c.v));
    ASSERT_TRUE(back.ok()) << c.text << ": " << back.failure().message;
    EXPECT_TRUE(equiv(*back, c.v)) << c.text;
  }
}

TEST(PrStr, OpaqueObjectsPrintTheirTypeAndIdentity) {
  struct Opaque : Object {
    Opaque() : Object(Kind::Other, 0) {}
    std::string_view type_name() const override { return "clojure.core$fn"; }
  };
  Value v = Value::adopt(new Opaque());
  std::string s = pr_str(v);
  EXPECT_TRUE(s.starts_with("#object[clojure.core$fn 0x")) << s;
  EXPECT_TRUE(s.ends_with("]")) << s;
}

TEST(PrStr, LengthAndDepthBoundsAsPrintLengthAndLevel) {
  struct Case {
    const char* text;
    int64_t length, depth;
    const char* printed;
  } cases[] = {
      {"[1 [2]]", -1, 1, "[1 #]"},       {"[1 [2]]", -1, 0, "#"},        {"7", -1, 0, "7"},
      {"[1 2 3]", 0, -1, "[...]"},       {"[]", 0, -1, "[]"},            {"[1 2 3]", 2, -1, "[1 2 ...]"},
      {"[1 2]", 2, -1, "[1 2]"},         {"{:a 1 :b 2}", 1, -1, "{:a 1, ...}"},
      {"{:a {:b 1}}", -1, 1, "{:a #}"},  {"(1 (2 (3)))", 2, 2, "(1 (2 #))"}, {"#{[1 2 3]}", 2, 2, "#{[1 2 ...]}"},
      {"[\"long string\" #{}]", 1, -1, "[\"long string\" ...]"},
      {"{:a [1 2 3] :b 2 :c 3}", 2, 2, "{:a [1 2 ...], :b 2, ...}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pr_str(edn(c.text), PrintOptions{c.length, c.depth}), c.printed) << c.text;
  }
}

// The naturals from n on, counting how many cells have been made.
std::atomic<int> realised{0};
class Naturals final : public SeqObject {
 public:
  explicit Naturals(int64_t n) : SeqObject(Kind::Seq, 0), n_(n) { ++realised; }
  Value first() const override { return Value::integer(n_); }
  Value next() const override { return Value::adopt(new Naturals(n_ + 1)); }

 private:
  int64_t n_;
};

TEST(PrStr, LazySequencesRealiseOnlyUpToTheLengthBound) {
  realised = 0;
  Value nats = Value::adopt(new Naturals(0));
  EXPECT_EQ(pr_str(nats, PrintOptions{3, -1}), "(0 1 2 ...)");
  EXPECT_LE(realised.load(), 4);
  EXPECT_EQ(pr_str(make_vector({nats}), PrintOptions{2, 5}), "[(0 1 ...)]");
}

TEST(PrStr, DeeplyNestedValuesPrint) {
  Value v = Value::integer(1);
  for (int i = 0; i < 10000; ++i) v = make_vector({v});
  std::string s = pr_str(v);
  EXPECT_EQ(s, std::string(10000, '[') + "1" + std::string(10000, ']'));
  EXPECT_EQ(pr_str(v, PrintOptions{-1, 3}), "[[[#]]]");
}

TEST(PrStr, ReadablyMetaAndNamespaceMapOptions) {
  PrintOptions raw;
  raw.readably = false;
  PrintOptions meta;
  meta.meta = true;
  PrintOptions ns_maps;
  ns_maps.namespace_maps = true;
  struct Case {
    Value v;
    const PrintOptions& opts;
    const char* printed;
  } cases[] = {
      {edn(R"(["a\nb" \c {:k "v"} #{\space}])"), raw, "[a\nb c {:k v} #{ }]"},
      {with_meta(edn("[1]"), edn("{:x 1}")), meta, "^{:x 1} [1]"},
      {with_meta(symbol("s"), edn("{:tag String}")), meta, "^String s"},
      {edn("[^:k a b]"), meta, "[^{:k true} a b]"},
      {with_meta(edn("[1]"), edn("{:x 1}")), ns_maps, "[1]"},  // meta shows only when asked
      {edn("{:a/b 1 :a/c 2}"), ns_maps, "#:a{:b 1, :c 2}"},
      {edn("{:a/b {:x/y 1}}"), ns_maps, "#:a{:b #:x{:y 1}}"},
      {edn("{a/b 1 a/c 2}"), ns_maps, "#:a{b 1, c 2}"},
      {edn("{:a/b 1 :c 2}"), ns_maps, "{:a/b 1, :c 2}"},
      {edn("{:a/b 1 :x/c 2}"), ns_maps, "{:a/b 1, :x/c 2}"},
      {edn("{}"), ns_maps, "{}"},
      {edn("{:a/b 1 :a/c 2}"), PrintOptions{}, "{:a/b 1, :a/c 2}"},
  };
  for (const auto& c : cases) EXPECT_EQ(pr_str(c.v, c.opts), c.printed);
}

TEST(PrStr, RuntimeKindsPrintAsJvmClojureDoes) {
  rt::init_core_vars();
  rt::Namespace* user = rt::create_ns("user");
  EXPECT_EQ(pr_str(user->intern(symbol("x"))), "#'user/x");
  EXPECT_EQ(pr_str(make_pattern(R"(a"b\d)")), R"(#"a"b\d")");
  auto matches = [](const std::string& s, const char* re) { return std::regex_match(s, std::regex(re)); };
  std::string ns = pr_str(rt::ns_value(user));
  EXPECT_TRUE(matches(ns, R"(#object\[clojure\.lang\.Namespace 0x[0-9a-f]+ "user"\])")) << ns;
  Value f = rt::make_native("user/foo-bar?", 0, 0, +[](rt::Args) { return NIL; });
  std::string fs = pr_str(f);
  EXPECT_TRUE(matches(fs, R"(#object\[user\$foo_bar_QMARK_ 0x([0-9a-f]+) "user\$foo_bar_QMARK_@\1"\])")) << fs;
  EXPECT_EQ(munge_fn_name("user/eval12/fn--13"), "user$eval12$fn__13");
  std::string s;
  append_str(s, f);
  EXPECT_TRUE(matches(s, R"(user\$foo_bar_QMARK_@[0-9a-f]+)")) << s;
  // print and println show the toString inside #object[...] unquoted.
  PrintOptions raw;
  raw.readably = false;
  std::string ns_raw = pr_str(rt::ns_value(user), raw), fs_raw = pr_str(f, raw);
  EXPECT_TRUE(matches(ns_raw, R"(#object\[clojure\.lang\.Namespace 0x[0-9a-f]+ user\])")) << ns_raw;
  EXPECT_TRUE(matches(fs_raw, R"(#object\[user\$foo_bar_QMARK_ 0x([0-9a-f]+) user\$foo_bar_QMARK_@\1\])")) << fs_raw;
  // Reader conditionals kept by {:read-cond :preserve} print as they were read.
  Value form = make_list({keyword("clj"), make_vector({Value::integer(1)}), keyword("cljs"), make_string("s")});
  EXPECT_EQ(pr_str(read::make_reader_conditional(form, true)), R"(#?@(:clj [1] :cljs "s"))");
  EXPECT_EQ(pr_str(read::make_reader_conditional(form, false), raw), "#?(:clj [1] :cljs s)");
}

TEST(PrStr, ExceptionsPrintAsErrorMapsWithCauseChainAndTrace) {
  rt::init_core_vars();
  Value cause = rt::make_throwable("java.lang.ArithmeticException", "Divide by zero");
  rt::throwable(cause).set_trace({{"clojure.core//", "", 0}, {"user/f", "src/a/b.clj", 3}});
  Value ex = rt::make_ex_info("boom", edn("{:a 1}"), cause);
  rt::throwable(ex).set_trace({{"user/g", "b.clj", 7}});
  EXPECT_EQ(pr_str(ex),
            "#error {\n"
            " :cause \"Divide by zero\"\n"
            " :via\n"
            " [{:type clojure.lang.ExceptionInfo\n"
            "   :message \"boom\"\n"
            "   :data {:a 1}\n"
            "   :at [user$g invoke \"b.clj\" 7]}\n"
            "  {:type java.lang.ArithmeticException\n"
            "   :message \"Divide by zero\"\n"
            "   :at [clojure.core$_SLASH_ invoke \"NO_SOURCE_FILE\" 0]}]\n"
            " :trace\n"
            " [[clojure.core$_SLASH_ invoke \"NO_SOURCE_FILE\" 0]\n"
            "  [user$f invoke \"b.clj\" 3]]}");
  std::string s;
  append_str(s, ex);
  EXPECT_EQ(s, "clojure.lang.ExceptionInfo: boom {:a 1}");
}

}  // namespace
}  // namespace kelp
