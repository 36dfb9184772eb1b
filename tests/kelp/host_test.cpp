// The host layer: classes of values, instance?, static members, instance methods and constructors. Expected values
// are what JVM Clojure 1.11 answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp {
namespace {

namespace host = rt::host;

void boot_kelp() { boot(); }  // natives call each other through clojure.core's vars, so the whole runtime

Value cls(const char* name) {
  boot_kelp();
  Value c = host::find_class(name);
  EXPECT_FALSE(c.is_nil()) << name;
  return c;
}

std::string class_name(const Value& v) { return host::to_string(host::class_of(v)); }

// "ClassName: message" of what f throws, or "no throw".
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const rt::Thrown& t) {
    const rt::Throwable& e = rt::throwable(t.value());
    return std::string(e.cls().simple_name()) + ": " + host::to_string(e.message());
  }
  return "no throw";
}

TEST(Host, ClassOfEveryKindOfValue) {
  boot_kelp();
  struct Case {
    Value v;
    const char* cls;
  } cases[] = {
      {Value::integer(1), "class java.lang.Long"},
      {Value::real(1.0), "class java.lang.Double"},
      {TRUE_V(), "class java.lang.Boolean"},
      {Value::character('a'), "class java.lang.Character"},
      {make_string("a"), "class java.lang.String"},
      {keyword("a"), "class clojure.lang.Keyword"},
      {symbol("a"), "class clojure.lang.Symbol"},
      {make_vector({Value::integer(1)}), "class clojure.lang.PersistentVector"},
      {empty_map(), "class clojure.lang.PersistentArrayMap"},
      {empty_set(), "class clojure.lang.PersistentHashSet"},
      {empty_list(), "class clojure.lang.PersistentList$EmptyList"},
      {make_list({Value::integer(1)}), "class clojure.lang.PersistentList"},
      {make_ratio(1, 2), "class clojure.lang.Ratio"},
      {host::find_class("String"), "class java.lang.Class"},
      {rt::make_throwable("IllegalArgumentException", "x"), "class java.lang.IllegalArgumentException"},
  };
  for (const Case& c : cases) EXPECT_EQ(class_name(c.v), c.cls) << pr_str(c.v);
  EXPECT_TRUE(host::class_of(NIL).is_nil());
}

TEST(Host, FindClassResolvesJavaLangByItsSimpleNameOnly) {
  boot_kelp();
  EXPECT_EQ(host::to_string(host::find_class("String")), "class java.lang.String");
  EXPECT_EQ(host::to_string(host::find_class("java.util.UUID")), "class java.util.UUID");
  EXPECT_EQ(host::to_string(host::find_class("Exception")), "class java.lang.Exception");
  EXPECT_TRUE(host::find_class("UUID").is_nil());  // needs an import, as on the JVM
  EXPECT_TRUE(host::find_class("java.awt.Frame").is_nil());
}

TEST(Host, InstanceFollowsSuperclassesAndInterfaces) {
  Value vec = make_vector({Value::integer(1)});
  struct Case {
    const char* cls;
    Value x;
    bool expected;
  } cases[] = {
      {"java.lang.Number", Value::integer(1), true},
      {"java.lang.Object", make_string("a"), true},
      {"java.lang.Comparable", make_string("a"), true},
      {"java.lang.String", Value::integer(1), false},
      {"clojure.lang.IFn", vec, true},
      {"clojure.lang.ISeq", vec, false},
      {"java.util.List", vec, true},
      {"clojure.lang.Associative", vec, true},
      {"java.util.Map", vec, false},
      {"java.util.Map", empty_map(), true},
      {"clojure.lang.Sequential", make_list({Value::integer(1)}), true},
      {"java.lang.RuntimeException", rt::make_throwable("IllegalArgumentException", "x"), true},
      {"java.lang.Exception", rt::make_throwable("Throwable", "x"), false},
      {"java.lang.Object", NIL, false},
  };
  for (const Case& c : cases) EXPECT_EQ(host::is_instance(cls(c.cls), c.x), c.expected) << c.cls << " " << pr_str(c.x);
}

Value call_static(const char* c, const char* m, std::vector<Value> args) {
  Value f = host::static_method(cls(c), m);
  EXPECT_FALSE(f.is_nil()) << c << "/" << m;
  return rt::call(f, rt::Args(args));
}

TEST(Host, StaticMethodsAndFields) {
  struct Case {
    const char* cls;
    const char* method;
    std::vector<Value> args;
    const char* printed;
  } cases[] = {
      {"Math", "abs", {Value::integer(-3)}, "3"},
      {"Math", "abs", {Value::real(-1.5)}, "1.5"},
      {"Math", "abs", {Value::integer(INT64_MIN)}, "-9223372036854775808"},
      {"Math", "max", {Value::integer(1), Value::integer(2)}, "2"},
      {"Math", "pow", {Value::integer(2), Value::integer(10)}, "1024.0"},
      {"Math", "round", {Value::real(2.5)}, "3"},
      {"Math", "round", {Value::real(-2.5)}, "-2"},
      {"Math", "floorDiv", {Value::integer(-7), Value::integer(2)}, "-4"},
      {"Math", "floorMod", {Value::integer(-7), Value::integer(2)}, "1"},
      {"Integer", "parseInt", {make_string("-42")}, "-42"},
      {"Integer", "parseInt", {make_string("ff"), Value::integer(16)}, "255"},
      {"Long", "parseLong", {make_string("9223372036854775807")}, "9223372036854775807"},
      {"Double", "parseDouble", {make_string("1e3")}, "1000.0"},
      {"Boolean", "parseBoolean", {make_string("TRUE")}, "true"},
      {"Character", "isDigit", {Value::character('7')}, "true"},
      {"Character", "toUpperCase", {Value::character('a')}, "\\A"},
      {"String", "valueOf", {NIL}, "\"null\""},
      {"String", "join", {make_string(","), make_vector({make_string("a"), make_string("b")})}, "\"a,b\""},
      {"java.util.UUID", "fromString", {make_string("00000000-0000-0000-0000-000000000001")},
       "#uuid \"00000000-0000-0000-0000-000000000001\""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(pr_str(call_static(c.cls, c.method, c.args)), c.printed) << c.cls << "/" << c.method;

  bool found = false;
  EXPECT_EQ(pr_str(host::static_field(cls("Long"), "MIN_VALUE", &found)), "-9223372036854775808");
  EXPECT_TRUE(found);
  EXPECT_EQ(pr_str(host::static_field(cls("Double"), "POSITIVE_INFINITY", &found)), "##Inf");
  host::static_field(cls("Math"), "FOO", &found);
  EXPECT_FALSE(found);
  EXPECT_TRUE(host::static_method(cls("Math"), "nope").is_nil());
}

TEST(Host, StaticMethodErrorsReadAsJava) {
  EXPECT_EQ(thrown([] { call_static("Math", "abs", {Value::integer(1), Value::integer(2), Value::integer(3)}); }),
            "IllegalArgumentException: No matching method abs found taking 3 args for class java.lang.Math");
  EXPECT_EQ(thrown([] { call_static("Math", "abs", {make_string("x")}); }),
            "IllegalArgumentException: No matching method abs found taking 1 args for class java.lang.Math");
  EXPECT_EQ(thrown([] { call_static("Integer", "parseInt", {make_string("x")}); }),
            "NumberFormatException: For input string: \"x\"");
  EXPECT_EQ(thrown([] { call_static("Integer", "parseInt", {make_string("2147483648")}); }),
            "NumberFormatException: For input string: \"2147483648\"");
  EXPECT_EQ(thrown([] { call_static("Math", "floorDiv", {Value::integer(1), Value::integer(0)}); }),
            "ArithmeticException: / by zero");
  EXPECT_EQ(thrown([] { call_static("Thread", "sleep", {Value::integer(-1)}); }),
            "IllegalArgumentException: timeout value is negative");
}

// The innermost cause of what evaluating source throws, as "ClassName: message".
std::string eval_thrown(const char* source) {
  boot_kelp();
  try {
    eval_string(source);
  } catch (const rt::Thrown& t) {
    Value e = t.value();
    while (!rt::throwable(e).cause().is_nil()) e = rt::throwable(e).cause();
    return std::string(rt::throwable(e).cls().simple_name()) + ": " + host::to_string(rt::throwable(e).message());
  }
  return "no throw";
}

TEST(Host, AClassKelpLacksIsNamedInEveryFormThatReachesIt) {
  const std::string lacks = "ClassNotFoundException: kelp has no class java.awt.Frame";
  for (const char* form : {"(java.awt.Frame.)", "(new java.awt.Frame \"t\")", "(java.awt.Frame/getFrames)",
                           "java.awt.Frame/NORMAL", "java.awt.Frame", "(. java.awt.Frame getFrames)",
                           "(import java.awt.Frame)", "(import '[java.awt Frame])", "(Class/forName \"java.awt.Frame\")",
                           "(instance? java.awt.Frame 1)"})
    EXPECT_EQ(eval_thrown(form), lacks) << form;
  // A bare name, a namespace not loaded and a lower-case dotted symbol keep their own errors.
  EXPECT_EQ(eval_thrown("(Frame.)"), "IllegalArgumentException: Unable to resolve classname: Frame");
  EXPECT_EQ(eval_thrown("(not.loaded/f)"), "RuntimeException: No such namespace: not.loaded");
  EXPECT_EQ(eval_thrown("no.such.thing"), "RuntimeException: Unable to resolve symbol: no.such.thing in this context");
}

Value invoke(const Value& target, const char* method, std::vector<Value> args = {}) {
  boot_kelp();
  return host::invoke_method(target, method, rt::Args(args));
}

TEST(Host, StringMethodsCountCodePoints) {
  Value s = make_string("h\u00e9llo");
  struct Case {
    const char* method;
    std::vector<Value> args;
    const char* printed;
  } cases[] = {
      {"length", {}, "5"},
      {"charAt", {Value::integer(1)}, "\\\u00e9"},
      {"substring", {Value::integer(1), Value::integer(3)}, "\"\u00e9l\""},
      {"indexOf", {make_string("l")}, "2"},
      {"indexOf", {Value::character('l'), Value::integer(3)}, "3"},
      {"lastIndexOf", {make_string("l")}, "3"},
      {"toUpperCase", {}, "\"H\u00c9LLO\""},
      {"startsWith", {make_string("h\u00e9")}, "true"},
      {"contains", {make_string("ll")}, "true"},
      {"replace", {make_string("l"), make_string("L")}, "\"h\u00e9LLo\""},
      {"split", {make_string("l")}, "[\"h\u00e9\" \"\" \"o\"]"},
      {"equalsIgnoreCase", {make_string("H\u00c9LLO")}, "true"},
      {"compareTo", {make_string("h")}, "4"},
      {"hashCode", {}, "103094734"},
  };
  for (const Case& c : cases) EXPECT_EQ(pr_str(invoke(s, c.method, c.args)), c.printed) << c.method;
  EXPECT_EQ(pr_str(invoke(make_string("a,b,,c,,"), "split", {make_string(",")})), "[\"a\" \"b\" \"\" \"c\"]");
  EXPECT_EQ(pr_str(invoke(make_string("  a \n"), "trim")), "\"a\"");
}

TEST(Host, InstanceMethodErrors) {
  EXPECT_EQ(thrown([] { invoke(make_string("abc"), "substring", {Value::integer(5)}); }),
            "StringIndexOutOfBoundsException: begin 5, end 3, length 3");
  EXPECT_EQ(thrown([] { invoke(make_string("a"), "foo", {Value::integer(1)}); }),
            "IllegalArgumentException: No matching method foo found taking 1 args for class java.lang.String");
  EXPECT_EQ(thrown([] { invoke(make_string("a"), "foo"); }),
            "IllegalArgumentException: No matching field found: foo for class java.lang.String");
  EXPECT_EQ(thrown([] { host::construct(cls("String"), std::vector<Value>(5, NIL)); }),
            "IllegalArgumentException: No matching ctor found for class java.lang.String");
}

TEST(Host, StringBuilderNumbersCollectionsAndObject) {
  Value sb = host::construct(cls("StringBuilder"), std::vector<Value>{make_string("ab")});
  invoke(sb, "append", {Value::integer(1)});
  invoke(sb, "append", {Value::character(U'\u00e9')});
  EXPECT_EQ(host::to_string(sb), "ab1\u00e9");
  EXPECT_EQ(pr_str(invoke(sb, "length")), "4");
  invoke(sb, "reverse");
  invoke(sb, "insert", {Value::integer(0), make_string("X")});
  EXPECT_EQ(host::to_string(sb), "X\u00e91ba");
  invoke(sb, "setLength", {Value::integer(2)});
  EXPECT_EQ(host::to_string(sb), "X\u00e9");

  EXPECT_EQ(pr_str(invoke(Value::real(3.9), "intValue")), "3");
  EXPECT_EQ(pr_str(invoke(Value::integer(1), "doubleValue")), "1.0");
  Value m = make_map({keyword("a"), Value::integer(1)});
  EXPECT_EQ(pr_str(invoke(m, "containsKey", {keyword("a")})), "true");
  EXPECT_EQ(pr_str(invoke(make_vector({Value::integer(1), Value::integer(2)}), "size")), "2");
  EXPECT_EQ(pr_str(invoke(make_vector({Value::integer(7)}), "contains", {Value::integer(7)})), "true");
  EXPECT_EQ(pr_str(invoke(keyword("a"), "equals", {keyword("a")})), "true");
  EXPECT_EQ(host::to_string(invoke(Value::integer(1), "getClass")), "class java.lang.Long");
}

TEST(Host, ExceptionsAreConstructedAndInspected) {
  Value cause = host::construct(cls("RuntimeException"), std::vector<Value>{make_string("c")});
  Value e = host::construct(cls("Exception"), std::vector<Value>{make_string("m"), cause});
  EXPECT_EQ(class_name(e), "class java.lang.Exception");
  EXPECT_EQ(pr_str(invoke(e, "getMessage")), "\"m\"");
  EXPECT_EQ(pr_str(invoke(invoke(e, "getCause"), "getMessage")), "\"c\"");
  EXPECT_EQ(host::to_string(e), "java.lang.Exception: m");
  // A cause alone lends its text as the message.
  Value wrapped = host::construct(cls("Exception"), std::vector<Value>{cause});
  EXPECT_EQ(pr_str(invoke(wrapped, "getMessage")), "\"java.lang.RuntimeException: c\"");
  Value info = host::construct(cls("clojure.lang.ExceptionInfo"),
                               std::vector<Value>{make_string("x"), make_map({keyword("a"), Value::integer(1)})});
  EXPECT_EQ(pr_str(invoke(info, "getData")), "{:a 1}");
  EXPECT_TRUE(host::is_instance(cls("clojure.lang.IExceptionInfo"), info));
}

}  // namespace
}  // namespace kelp

namespace kelp {
namespace {

// What evaluating src prints readably, or "Class: message" of what it throws.
std::string run(const char* src) {
  boot_kelp();
  try {
    return pr_str(eval_string(src));
  } catch (const rt::Thrown& t) {
    const rt::Throwable& e = rt::throwable(t.value());
    return std::string(e.cls().simple_name()) + ": " + host::to_string(e.message());
  }
}

TEST(Host, RegexMethodsOnMatcherPatternAndString) {
  struct Case {
    const char* src;
    const char* want;
  } cases[] = {
      // find walks the text; group, start and end describe the last match in code points.
      {R"c((let [m (re-matcher #"(\d)(x)?" "é1 2x")]
            [(.find m) (.group m) (.group m 1) (.group m 2) (.start m) (.end m) (.start m 2)
             (.find m) (.group m 2) (.start m 2) (.groupCount m) (.find m)]))c",
       R"c([true "1" "1" nil 1 2 -1 true "x" 4 2 false])c"},
      {R"c((let [m (re-matcher #"(?<y>\d+)-(?<m>\d+)" "2024-05")] [(.matches m) (.group m "m") (re-groups m)]))c",
       R"c([true "05" ["2024-05" "2024" "05"]])c"},
      // re-find and .find share the matcher's position; find(start) starts over from there.
      {R"c((let [m (re-matcher #"\d" "1a2b3")] [(re-find m) (.find m) (.group m) (.find m 0) (.group m)]))c",
       R"c(["1" true "2" true "1"])c"},
      {R"c((let [m (re-matcher #"a" "b")] (.group m)))c", "IllegalStateException: No match found"},
      {R"c((let [m (re-matcher #"a" "a")] (.find m) (.group m 1)))c", "IndexOutOfBoundsException: No group 1"},
      {R"c((let [m (re-matcher #"a" "a")] (.find m) (.group m "x")))c",
       "IllegalArgumentException: No group with name <x>"},
      {R"c([(vec (.split #"," "a,b,,")) (vec (.split #"," "a,b,c" 2)) (.pattern #"a+") (str #"a+")])c",
       R"c([["a" "b"] ["a" "b,c"] "a+" "a+"])c"},
      {R"c((let [m (.matcher #"b" "abc")] [(.find m) (.start m) (str m)]))c",
       R"c([true 1 "java.util.regex.Matcher[pattern=b region=0,3 lastmatch=b]"])c"},
      // String's regex methods compile their pattern argument.
      {R"c([(.replaceAll "a1b22" "\\d+" "<$0>") (.replaceFirst "a1b2" "\\d" "#") (.matches "123" "\\d+")
           (.matches "12a" "\\d+") (vec (.split "a1b22c" "\\d+")) (vec (.split "abc" ""))])c",
       R"c(["a<1>b<22>" "a#b2" true false ["a" "b" "c"] ["a" "b" "c"]])c"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.src), c.want) << c.src;
}

TEST(Host, VarNamespaceAndIteratorMethods) {
  struct Case {
    const char* src;
    const char* want;
  } cases[] = {
      {"(do (def ^:dynamic *hv* 1) (def hv-unbound) [(.isDynamic #'*hv*) (.isBound #'*hv*) (.isDynamic #'hv-unbound)"
       " (.isBound #'hv-unbound) (.hasRoot #'hv-unbound) (.toSymbol #'*hv*) (.isMacro #'when)])",
       "[true true false false false user/*hv* true]"},
      {"[(.getName *ns*) (str *ns*) (.toString *ns*)]", "[user \"user\" \"user\"]"},
      {"(let [it (.iterator [1 2])] [(.hasNext it) (.next it) (.next it) (.hasNext it)])", "[true 1 2 false]"},
      {"(.next (.iterator []))", "NoSuchElementException: null"},
      {"(.remove (.iterator '(1)))", "UnsupportedOperationException: null"},
      {"(.toString nil)", "NullPointerException: Cannot invoke \"Object.getClass()\" because \"target\" is null"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.src), c.want) << c.src;
}

TEST(Host, JavaUtilCollectionsArraysAndBoxes) {
  struct Case {
    const char* src;
    const char* want;
  } cases[] = {
      {"(let [al (java.util.ArrayList. [1])] [(.add al 2) (.add al 0 :z) (.get al 2) (.set al 0 :y) (vec al)"
       " (.size al) (.contains al 2) (.remove al 0) (str al) (seq (java.util.ArrayList.))])",
       R"c([true nil 2 :z [:y 1 2] 3 true :y "[1, 2]" nil])c"},
      {"(.get (java.util.ArrayList.) 0)", "IndexOutOfBoundsException: Index 0 out of bounds for length 0"},
      {R"c((let [hm (java.util.HashMap.)] [(.put hm "k" 1) (.put hm "k" 2) (.get hm "k") (.containsKey hm "q")
            (into {} hm) (str hm) (.remove hm "k") (.isEmpty hm)]))c",
       R"c([nil 1 2 false {"k" 2} "{k=2}" 2 true])c"},
      {"(let [a (long-array [3 1 2])] (java.util.Arrays/sort a) (java.util.Arrays/fill (object-array 1) 0) (vec a))",
       "[1 2 3]"},
      {"[(alength (make-array Long/TYPE 2)) (str Long/TYPE) (Long/compare 1 2) (Integer/signum -9)"
       " (Integer/bitCount -1) (Long/bitCount -1)]",
       R"c([2 "class long" -1 -1 32 64])c"},
      {R"c([(Boolean. true) (Boolean. "TRUE") (Boolean. "yes") (String/format "%s-%d" (to-array ["a" 1]))
           (.getName (Thread/currentThread))])c",
       R"c([true true false "a-1" "main"])c"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.src), c.want) << c.src;
}

// str, .toString and the text inside #object[...] are one definition of Java's toString; print and println show
// that text unquoted.
TEST(Host, ToStringIsSharedByStrInteropAndPrinting) {
  struct Case {
    const char* src;
    const char* want;
  } cases[] = {
      {"(let [sb (StringBuilder. \"a\")] (.append sb 1) [(str sb) (.toString sb) (str \"<\" sb \">\")])",
       R"c(["a1" "a1" "<a1>"])c"},
      {"(let [e (ex-info \"m\" {:a 1})] [(str e) (.toString e)])",
       R"c(["clojure.lang.ExceptionInfo: m {:a 1}" "clojure.lang.ExceptionInfo: m {:a 1}"])c"},
      {"[(str String) (.toString :k) (.toString 'a/b) (.toString 1.5) (str #'clojure.core/map)]",
       R"c(["class java.lang.String" ":k" "a/b" "1.5" "#'clojure.core/map"])c"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.src), c.want) << c.src;
  std::string readable = run("(pr-str (StringBuilder. \"q\") *ns*)");
  std::string plain = run("(with-out-str (print (StringBuilder. \"q\") *ns*))");
  EXPECT_TRUE(readable.find("\\\"q\\\"]") != std::string::npos && readable.find("\\\"user\\\"]") != std::string::npos)
      << readable;
  EXPECT_TRUE(plain.find(" q]") != std::string::npos && plain.find(" user]") != std::string::npos) << plain;
}

}  // namespace
}  // namespace kelp
