// Strings, printing, streams, format, regular expressions and clojure.string, called through their vars.
// Expected values are what JVM Clojure 1.11 answers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/reader.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp {
namespace {

void install_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    rt::init_core_vars();
    lib::install_core_str();
    lib::install_clojure_string();
  });
}

Value fn_named(std::string_view qualified) {
  install_once();
  Value sym = symbol_from(qualified);
  const auto& s = sym.as<Symbol>();
  rt::Namespace* ns = rt::find_ns(s.has_ns() ? s.ns() : "clojure.core");
  EXPECT_TRUE(ns) << qualified;
  Value var = ns ? ns->find(symbol(s.name())) : NIL;
  EXPECT_TRUE(var.is(Kind::Var)) << qualified;
  return var.is(Kind::Var) ? rt::as_var(var).deref() : NIL;
}

// Calls fn with arguments written as Clojure literals ("\"a,b\" #\",\" 2").
Value invoke(std::string_view fn, std::string_view args) {
  std::vector<Value> argv = read::read_all(args);
  return rt::call(fn_named(fn), rt::Args(argv));
}

// "Class: message" of what the call throws, or "no error".
std::string error_of(std::string_view fn, std::string_view args) {
  try {
    invoke(fn, args);
  } catch (...) {
    Value ex = rt::as_throwable(std::current_exception());
    const rt::Throwable& e = rt::throwable(ex);
    return e.cls().name + ": " + (e.message().is_nil() ? "" : std::string(str_view(e.message())));
  }
  return "no error";
}

struct Case {
  const char* fn;
  const char* args;
  const char* expected;  // pr-str of the answer, or "Class: message" of the error
};

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    std::string got;
    try {
      got = pr_str(invoke(c.fn, c.args));
    } catch (...) {
      got = error_of(c.fn, c.args);
    }
    EXPECT_EQ(got, c.expected) << "(" << c.fn << " " << c.args << ")";
  }
}

// What f prints to *out*.
std::string output_of(const std::function<void()>& f) {
  install_once();
  Value writer = Value::adopt(new rt::StringWriter());
  rt::BindingScope scope({{&rt::as_var(rt::core_vars().out), writer}});
  f();
  return static_cast<const rt::StringWriter&>(*writer.obj()).str();
}

TEST(CoreStr, StrPrintsValuesAsJavaToStringDoes) {
  check({
      {"str", "", R"~("")~"},
      {"str", "nil", R"~("")~"},
      {"str", R"~("a" \b nil 1 2.0 :k/w sym true)~", R"~("ab12.0:k/wsymtrue")~"},
      {"str", "1.0E21 1.0E-5 0.1 100.0 -0.0", R"~("1.0E211.0E-50.1100.0-0.0")~"},
      {"str", "##Inf ##-Inf ##NaN", R"~("Infinity-InfinityNaN")~"},
      {"str", "1/2 1N 1.5M 12345678901234567890", R"~("1/211.512345678901234567890")~"},
      {"str", R"~([1 "a" \b] {:a "x"} #{} () nil)~", R"~("[1 \"a\" \\b]{:a \"x\"}#{}()")~"},
      {"str", R"~(#"a\d")~", R"~("a\\d")~"},
      {"str", R"~("é😀")~", R"~("é😀")~"},
  });
  // A lazy sequence is no ASeq on the JVM: Object's toString over the list hash code of (2 3).
  std::vector<Value> two_three{Value::integer(2), Value::integer(3)};
  Value lazy = rt::make_lazy_seq(std::function<Value()>([] {
    return rt::cons(Value::integer(2), rt::cons(Value::integer(3), NIL));
  }));
  EXPECT_EQ(str_view(rt::call(fn_named("str"), {lazy})), "clojure.lang.LazySeq@402");
  EXPECT_EQ(str_view(rt::call(fn_named("str"), {rt::cons(Value::integer(1), NIL)})), "(1)");
}

TEST(CoreStr, StrOfManyArgumentsBuildsOneString) {
  std::vector<Value> args;
  std::string expected;
  for (int i = 0; i < 100000; ++i) {
    args.push_back(Value::integer(i));
    expected += std::to_string(i);
  }
  EXPECT_EQ(str_view(rt::call(fn_named("str"), rt::Args(args))), expected);
}

TEST(CoreStr, NamesKeywordsSymbolsAndSubstrings) {
  check({
      {"subs", R"~("héllo" 1)~", R"~("éllo")~"},
      {"subs", R"~("héllo" 1 3)~", R"~("él")~"},
      {"subs", R"~("abc" 3)~", R"~("")~"},
      {"subs", R"~("abc" 5)~", "java.lang.StringIndexOutOfBoundsException: begin 5, end 3, length 3"},
      {"subs", R"~("abc" 2 1)~", "java.lang.StringIndexOutOfBoundsException: begin 2, end 1, length 3"},
      {"subs", R"~(:a 0)~", "java.lang.ClassCastException: class clojure.lang.Keyword cannot be cast to class java.lang.String"},
      {"name", ":a/b", R"~("b")~"},
      {"name", R"~("s")~", R"~("s")~"},
      {"name", "1", "java.lang.ClassCastException: class java.lang.Long cannot be cast to class clojure.lang.Named"},
      {"namespace", ":a/b", R"~("a")~"},
      {"namespace", "b", "nil"},
      {"keyword", R"~("a/b")~", ":a/b"},
      {"keyword", "x/y", ":x/y"},
      {"keyword", "1", "nil"},
      {"keyword", R"~(nil "b")~", ":b"},
      {"keyword", R"~("n" "b")~", ":n/b"},
      {"symbol", ":a/b", "a/b"},
      {"symbol", R"~("a" "b")~", "a/b"},
      {"symbol", "nil", "java.lang.IllegalArgumentException: no conversion to symbol"},
      {"char", "65", R"~(\A)~"},
      {"char", "-1", "java.lang.IllegalArgumentException: Value out of range for char: -1"},
      {"char", R"~("a")~", "java.lang.ClassCastException: class java.lang.String cannot be cast to class java.lang.Number"},
  });
}

TEST(CoreStr, IdentPredicates) {
  struct Row {
    const char* value;
    const char* answers;  // ident? simple-ident? qualified-ident? simple-keyword? qualified-keyword?
                          // simple-symbol? qualified-symbol? keyword? symbol? string? char?
  } rows[] = {
      {":a", "TTF TF FF TF FF"}, {":a/b", "TFT FT FF TF FF"}, {"a", "TTF FF TF FT FF"},
      {"a/b", "TFT FF FT FT FF"}, {R"~("a")~", "FFF FF FF FF TF"}, {R"~(\a)~", "FFF FF FF FF FT"},
      {"nil", "FFF FF FF FF FF"},
  };
  const char* preds[] = {"ident?", "simple-ident?", "qualified-ident?", "simple-keyword?", "qualified-keyword?",
                         "simple-symbol?", "qualified-symbol?", "keyword?", "symbol?", "string?", "char?"};
  for (const Row& r : rows) {
    std::string answers;
    for (char c : std::string(r.answers))
      if (c != ' ') answers += c;
    for (size_t i = 0; i < std::size(preds); ++i)
      EXPECT_EQ(invoke(preds[i], r.value).truthy(), answers[i] == 'T') << "(" << preds[i] << " " << r.value << ")";
  }
}

TEST(CoreStr, RegularExpressionsWithJavaSemantics) {
  check({
      {"re-find", R"~(#"(\d)(x)?" "a1b")~", R"~(["1" "1" nil])~"},
      {"re-find", R"~(#"\d+" "ab")~", "nil"},
      {"re-matches", R"~(#"a(b)" "ab")~", R"~(["ab" "b"])~"},
      {"re-matches", R"~(#"a" "ab")~", "nil"},
      {"re-matches", R"~(#"a|ab" "ab")~", R"~("ab")~"},
      // After an empty match the next search starts one character on, as java.util.regex.Matcher does.
      {"re-seq", R"~(#"a*" "baaa")~", R"~(("" "aaa" ""))~"},
      {"re-seq", R"~(#"" "aé")~", R"~(("" "" ""))~"},
      {"re-seq", R"~(#"\w+" "")~", "nil"},
      // Java's syntax: POSIX classes, \u escapes, union classes, named groups, Java line terminators for '.'.
      {"re-find", R"~(#"\p{Alpha}+" "12abc3")~", R"~("abc")~"},
      {"re-find", R"~(#"[\p{Digit}x]+" "ab1x2")~", R"~("1x2")~"},
      {"re-find", R"~(#"\P{Alpha}+" "ab12c")~", R"~("12")~"},
      {"re-find", R"~(#"caf\u00e9" "un café")~", R"~("café")~"},
      {"re-find", R"~(#"[a-c[x-z]]+" "qbyz")~", R"~("byz")~"},
      {"re-find", R"~(#"(?<y>\d{4})-(?<m>\d\d)" "on 2024-05")~", R"~(["2024-05" "2024" "05"])~"},
      {"re-find", R"~(#"a.b" "a\u2028b")~", "nil"},
      {"re-find", R"~(#"(?i)straße" "STRAßE")~", R"~("STRAßE")~"},
      {"re-find", R"~(#"\p{javaLowerCase}+" "ABcdé")~", R"~("cdé")~"},
      {"re-pattern", R"~("(")~", "java.util.regex.PatternSyntaxException: Unclosed group near index 1\n("},
      {"re-pattern", R"~("*a")~", "java.util.regex.PatternSyntaxException: Dangling meta character '*' near index 0\n*a\n^"},
      {"re-find", R"~("a" "a")~", "java.lang.ClassCastException: class java.lang.String cannot be cast to class java.util.regex.Pattern"},
  });
}

TEST(CoreStr, MatcherFindsSuccessivelyAndRemembersGroups) {
  Value m = invoke("re-matcher", R"~(#"(a)(b)?" "a ab")~");
  Value find = fn_named("re-find"), groups = fn_named("re-groups");
  EXPECT_EQ(pr_str(rt::call(find, {m})), R"~(["a" "a" nil])~");
  EXPECT_EQ(pr_str(rt::call(groups, {m})), R"~(["a" "a" nil])~");
  EXPECT_EQ(pr_str(rt::call(find, {m})), R"~(["ab" "a" "b"])~");
  EXPECT_EQ(pr_str(rt::call(find, {m})), "nil");
  EXPECT_THROW(rt::call(groups, {invoke("re-matcher", R"~(#"a" "b")~")}), rt::Thrown);
}

TEST(CoreStr, FormatFollowsJavaFormatter) {
  check({
      {"format", R"~("%5.2f|%-6s|%05d|%,d|%x|%o|%e|%b|%c|%%|%n" 3.14159 "ab" 42 1234567 255 8 12345.678 nil \z)~",
       R"~(" 3.14|ab    |00042|1,234,567|ff|10|1.234568e+04|false|z|%|\n")~"},
      {"format", R"~("%.3e %10.1f %S %X %+d %(d % d" 0.000123 -2.5 "hi" 255 5 -7 3)~",
       R"~("1.230e-04       -2.5 HI FF +5 (7)  3")~"},
      // Decimal rounding is HALF_UP on the shortest digits, not half-even on the binary value.
      {"format", R"~("%.2f %.2f %.0f %.1f %.1f" 0.125 1.005 2.5 0.05 -0.04)~", R"~("0.13 1.01 3 0.1 -0.0")~"},
      {"format", R"~("%g|%g|%g|%.3g|%e" 0.0001 123456.0 1234567.0 99.99 0.0)~",
       R"~("0.000100000|123456|1.23457e+06|100|0.000000e+00")~"},
      {"format", R"~("%,.2f|%010.2f|%+.1e|%.2f" 1234567.891 -3.5 12345.0 1.5M)~",
       R"~("1,234,567.89|-000003.50|+1.2e+04|1.50")~"},
      {"format", R"~("%f|%8.1f|%-8d|%(,d|%#x|%#o" ##NaN ##Inf 42 -1234 255 8)~",
       R"~("NaN|Infinity|42      |(1,234)|0xff|010")~"},
      {"format", R"~("%s %s %x %d %h %10.3s|" nil [1 "a"] -1 nil "a" "abcdef")~",
       R"~("null [1 \"a\"] ffffffffffffffff null 61        abc|")~"},
      {"format", R"~("%2$s %1$s %<s" "a" "b")~", R"~("b a a")~"},
      {"format", R"~("%d" "a")~", "java.util.IllegalFormatConversionException: d != java.lang.String"},
      {"format", R"~("%d" 1.5)~", "java.util.IllegalFormatConversionException: d != java.lang.Double"},
      {"format", R"~("%f" 1)~", "java.util.IllegalFormatConversionException: f != java.lang.Long"},
      {"format", R"~("%.2f" 1/3)~", "java.util.IllegalFormatConversionException: f != clojure.lang.Ratio"},
      {"format", R"~("%d|%,d|%x|%#o" 99999999999999999999N -12345678901234567890N 18446744073709551616N 8N)~",
       R"~("99999999999999999999|-12,345,678,901,234,567,890|10000000000000000|010")~"},
      {"format", R"~("%s %s" 1)~", "java.util.MissingFormatArgumentException: Format specifier '%s'"},
      {"format", R"~("%q" 1)~", "java.util.UnknownFormatConversionException: Conversion = 'q'"},
  });
}

TEST(CoreStr, PrintFunctionsWriteToOut) {
  EXPECT_EQ(output_of([] { invoke("pr", R"~("a" \b [\c "d"])~"); }), R"~("a" \b [\c "d"])~");
  EXPECT_EQ(output_of([] { invoke("prn", R"~("a" 1)~"); }), "\"a\" 1\n");
  EXPECT_EQ(output_of([] { invoke("print", R"~("a" \b [\c "d"] nil)~"); }), "a b [c d] nil");
  EXPECT_EQ(output_of([] { invoke("println", R"~("x" :y)~"); }), "x :y\n");
  EXPECT_EQ(output_of([] { invoke("println", ""); }), "\n");
  EXPECT_EQ(output_of([] { invoke("printf", R"~("%d-%s" 1 "a")~"); }), "1-a");
  EXPECT_EQ(output_of([] { invoke("newline", ""); }), "\n");
  check({
      {"pr-str", R"~("a" \b)~", R"~("\"a\" \\b")~"},
      {"prn-str", "1 2", R"~("1 2\n")~"},
      {"print-str", R"~(nil "a" \b 1.0)~", R"~("nil a b 1.0")~"},
      {"println-str", R"~("x")~", R"~("x\n")~"},
  });
}

TEST(CoreStr, PrintVarsBoundOnThisThreadApply) {
  install_once();
  const rt::CoreVars& cv = rt::core_vars();
  rt::BindingScope scope({{&rt::as_var(cv.print_length), Value::integer(2)},
                          {&rt::as_var(cv.print_namespace_maps), TRUE_V()},
                          {&rt::as_var(cv.print_readably), FALSE_V()}});
  EXPECT_EQ(str_view(invoke("pr-str", R"~([1 2 3] {:a/b "x"})~")), "[1 2 ...] #:a{:b x}");
  EXPECT_EQ(str_view(invoke("str", "[1 2 3]")), "[1 2 ...]");
}

TEST(CoreStr, WithOutStrAndWithInStrBindStreams) {
  Value printer = rt::make_native("t/print", 0, 0, +[](rt::Args) -> Value {
    rt::call(fn_named("print"), {make_string("inside")});
    return NIL;
  });
  EXPECT_EQ(str_view(rt::call(fn_named("kelp.io/call-with-out-str"), {printer})), "inside");
  Value lines = rt::make_native("t/lines", 0, 0, +[](rt::Args) -> Value {
    Value read_line = fn_named("read-line");
    std::vector<Value> got{rt::call(read_line), rt::call(read_line), rt::call(read_line), rt::call(read_line)};
    return rt::call(fn_named("str"), rt::Args(got));
  });
  // \r\n and \r end lines too; the end of input answers nil.
  EXPECT_EQ(str_view(rt::call(fn_named("kelp.io/call-with-in-str"), {make_string("l1\r\nl2\rl3"), lines})),
            "l1l2l3");
}

TEST(CoreStr, SlurpAndSpitFiles) {
  std::string path = (std::filesystem::temp_directory_path() / ("kelp-str-" + std::to_string(::getpid()))).string();
  Value p = make_string(path);
  rt::call(fn_named("spit"), {p, make_string("héllo\n")});
  rt::call(fn_named("spit"), {p, Value::integer(42), keyword("append"), TRUE_V()});
  EXPECT_EQ(str_view(rt::call(fn_named("slurp"), {p})), "héllo\n42");
  rt::call(fn_named("spit"), {p, make_string("new")});
  EXPECT_EQ(str_view(rt::call(fn_named("slurp"), {p})), "new");
  std::remove(path.c_str());
  EXPECT_EQ(error_of("slurp", "\"/nonexistent-dir/x\""),
            "java.io.FileNotFoundException: /nonexistent-dir/x (No such file or directory)");
}

TEST(ClojureString, SplitReplaceAndSearch) {
  check({
      {"clojure.string/split", R"~("a,b,,," #",")~", R"~(["a" "b"])~"},
      {"clojure.string/split", R"~("a,b,,c" #"," 2)~", R"~(["a" "b,,c"])~"},
      {"clojure.string/split", R"~("a b  c" #" " -1)~", R"~(["a" "b" "" "c"])~"},
      {"clojure.string/split", R"~("" #",")~", R"~([""])~"},
      {"clojure.string/split", R"~("," #",")~", "[]"},
      {"clojure.string/split", R"~(",a" #",")~", R"~(["" "a"])~"},
      {"clojure.string/split", R"~("aé😀" #"")~", R"~(["a" "é" "😀"])~"},
      {"clojure.string/split-lines", R"~("a\nb\r\nc\n\n")~", R"~(["a" "b" "c"])~"},
      {"clojure.string/replace", R"~("a1b2" #"\d" "<$0>")~", R"~("a<1>b<2>")~"},
      {"clojure.string/replace", R"~("2024-05" #"(?<y>\d+)-(\d+)" "$2/${y}")~", R"~("05/2024")~"},
      {"clojure.string/replace", R"~("a.b.c" "." "$")~", R"~("a$b$c")~"},
      {"clojure.string/replace", R"~("aaa" "aa" "b")~", R"~("ba")~"},
      {"clojure.string/replace", R"~("abc" \b \x)~", R"~("axc")~"},
      {"clojure.string/replace", R"~("abc" "" "-")~", R"~("-a-b-c-")~"},
      {"clojure.string/replace", R"~("a$b" #"\$" "\\$1\\\\")~", R"~("a$1\\b")~"},
      {"clojure.string/replace", R"~("aaa" #"a*" "x")~", R"~("xx")~"},
      {"clojure.string/replace", R"~("x" #"x" "$2")~", "java.lang.IndexOutOfBoundsException: No group 2"},
      {"clojure.string/replace", R"~("x" #"x" "\\")~",
       "java.lang.IllegalArgumentException: character to be escaped is missing"},
      {"clojure.string/replace", R"~("x" 1 "y")~", "java.lang.IllegalArgumentException: Invalid match arg: 1"},
      {"clojure.string/replace-first", R"~("aaa" #"a" "b")~", R"~("baa")~"},
      {"clojure.string/replace-first", R"~("a.a" "." "$1")~", R"~("a$1a")~"},
      {"clojure.string/re-quote-replacement", R"~("$1\\")~", R"~("\\$1\\\\")~"},
      {"clojure.string/index-of", R"~("héllo" "l")~", "2"},
      {"clojure.string/index-of", R"~("abcb" "b" 2)~", "3"},
      {"clojure.string/index-of", R"~("abc" \z)~", "nil"},
      {"clojure.string/index-of", R"~("abc" "a" 9)~", "nil"},
      {"clojure.string/last-index-of", R"~("😀bcb" \b)~", "3"},
      {"clojure.string/last-index-of", R"~("abcb" "b" 2)~", "1"},
      {"clojure.string/includes?", R"~("abc" "bc")~", "true"},
      {"clojure.string/starts-with?", R"~("abc" "ab")~", "true"},
      {"clojure.string/ends-with?", R"~("abc" "ab")~", "false"},
      {"clojure.string/starts-with?", R"~(nil "a")~", "java.lang.NullPointerException: "},
  });
  // A replacement function sees re-groups and its answer is taken literally ($ is no group reference).
  Value doubled = rt::make_native("t/doubled", 1, 1, +[](rt::Args a) -> Value {
    std::string g(str_view(rt::call(a[0], {Value::integer(1)})));
    return make_string("$" + g + g);
  });
  EXPECT_EQ(str_view(rt::call(fn_named("clojure.string/replace"), {make_string("a1b2"), invoke("re-pattern", R"~("(\\d)")~"), doubled})),
            "a$11b$22");
}

TEST(ClojureString, CaseWhitespaceAndBuilding) {
  check({
      {"clojure.string/upper-case", R"~("straße é")~", R"~("STRASSE É")~"},
      {"clojure.string/lower-case", R"~("ÀB")~", R"~("àb")~"},
      {"clojure.string/upper-case", ":a", R"~(":A")~"},
      {"clojure.string/capitalize", R"~("hELLO")~", R"~("Hello")~"},
      {"clojure.string/capitalize", R"~("éCOLE")~", R"~("École")~"},
      {"clojure.string/capitalize", R"~("")~", R"~("")~"},
      {"clojure.string/trim", "\"\u2003 a b\t\n\"", R"~("a b")~"},
      {"clojure.string/trim", "\"\u00a0a\"", "\"\u00a0a\""},  // no-break space is not whitespace to Java
      {"clojure.string/triml", R"~("  a ")~", R"~("a ")~"},
      {"clojure.string/trimr", R"~("  a ")~", R"~("  a")~"},
      {"clojure.string/trim-newline", R"~("a\r\n\n")~", R"~("a")~"},
      {"clojure.string/trim-newline", R"~("a \n b")~", R"~("a \n b")~"},
      {"clojure.string/blank?", "nil", "true"},
      {"clojure.string/blank?", R"~(" \t\n")~", "true"},
      {"clojure.string/blank?", R"~(" x")~", "false"},
      {"clojure.string/join", R"~(", " [1 nil "a" \b])~", R"~("1, , a, b")~"},
      {"clojure.string/join", "[1 2]", R"~("12")~"},
      {"clojure.string/join", R"~("," [])~", R"~("")~"},
      {"clojure.string/escape", R"~("a<b>" {\< "&lt;" \> 1})~", R"~("a&lt;b1")~"},
      {"clojure.string/reverse", R"~("a😀b")~", R"~("b😀a")~"},
  });
}

}  // namespace
}  // namespace kelp
