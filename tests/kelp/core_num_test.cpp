// clojure.core's numbers, called through their vars. Expected values are what JVM Clojure 1.11 answers.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp {
namespace {

void install_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    rt::init_core_vars();
    lib::install_core_num();
  });
}

// An argument written as Clojure would: "1/2", "1.5M", "3N", "##NaN", "\"text\"", "nil", "\\a".
Value arg(const std::string& text) {
  if (text == "nil") return NIL;
  if (text == "##NaN") return Value::real(NAN);
  if (text == "##Inf") return Value::real(INFINITY);
  if (text.size() == 2 && text[0] == '\\') return Value::character(static_cast<char32_t>(text[1]));
  if (text.front() == '"') return make_string(text.substr(1, text.size() - 2));
  std::optional<Value> v = parse_number(text, nullptr);
  EXPECT_TRUE(v) << text;
  return v.value_or(NIL);
}

Value invoke(const std::string& fn, const std::vector<std::string>& args) {
  install_once();
  Value var = rt::core_vars().core->find(symbol(fn));
  EXPECT_TRUE(var.is(Kind::Var)) << fn;
  std::vector<Value> argv;
  for (const std::string& a : args) argv.push_back(arg(a));
  return rt::call(rt::as_var(var).deref(), rt::Args(argv));
}

std::string show(const std::string& fn, const std::vector<std::string>& args) {
  std::string call = "(" + fn;
  for (const std::string& a : args) call += " " + a;
  return call + ")";
}

struct Case {
  std::string fn;
  std::vector<std::string> args;
  std::string expected;  // pr-str of the result
};

void expect_results(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    try {
      EXPECT_EQ(pr_str(invoke(c.fn, c.args)), c.expected) << show(c.fn, c.args);
    } catch (const rt::Thrown& t) {
      ADD_FAILURE() << show(c.fn, c.args) << " threw " << t.what();
    }
  }
}

TEST(CoreNum, ArithmeticFollowsClojuresContagionAndExactness) {
  expect_results({
      {"+", {}, "0"}, {"*", {}, "1"}, {"-", {"1"}, "-1"}, {"/", {"2"}, "1/2"},
      {"+", {"1", "2", "3", "4"}, "10"},
      {"/", {"1", "3"}, "1/3"}, {"/", {"4", "2"}, "2"}, {"/", {"4N", "2"}, "2N"},
      {"/", {"-9223372036854775808", "-1"}, "-9223372036854775808"},
      {"+", {"1/2", "1/2"}, "1N"}, {"*", {"2", "1/2"}, "1N"}, {"+", {"1/2", "0.5"}, "1.0"},
      {"+", {"1N", "1"}, "2N"}, {"+", {"1.0", "1N"}, "2.0"}, {"-", {"0.0"}, "-0.0"},
      {"*", {"1.5M", "2"}, "3.0M"}, {"*", {"2", "0.5M"}, "1.0M"}, {"+", {"1/2", "1M"}, "1.5M"},
      {"+", {"0.1M", "0.25"}, "0.35"},
      {"/", {"1M", "4"}, "0.25M"}, {"/", {"6M", "2"}, "3M"}, {"/", {"1.0M", "4"}, "0.25M"},
      {"/", {"1.0", "0"}, "##Inf"}, {"/", {"0", "0.0"}, "##NaN"},
      {"+'", {"9223372036854775807", "1"}, "9223372036854775808N"},
      {"-'", {"-9223372036854775808"}, "9223372036854775808N"},
      {"*'", {"1/2", "4"}, "2N"}, {"+'", {"1", "1.5"}, "2.5"},
      {"inc'", {"9223372036854775807"}, "9223372036854775808N"},
      {"dec'", {"-9223372036854775808"}, "-9223372036854775809N"},
      {"quot", {"-7", "2"}, "-3"}, {"rem", {"-7", "2"}, "-1"}, {"mod", {"-7", "2"}, "1"}, {"mod", {"7", "-2"}, "-1"},
      {"quot", {"-9223372036854775808", "-1"}, "-9223372036854775808"},
      {"quot", {"7.5", "2"}, "3.0"}, {"rem", {"-7.5", "2"}, "-1.5"}, {"mod", {"-7.5", "2"}, "0.5"},
      {"mod", {"5.5", "-2"}, "-0.5"},
      {"quot", {"7/2", "1"}, "3N"}, {"rem", {"7/2", "1"}, "1/2"}, {"mod", {"-7/2", "2"}, "1/2"},
      {"quot", {"7.5M", "2"}, "3.0M"}, {"quot", {"12M", "0.5M"}, "24M"}, {"quot", {"1.05M", "0.5M"}, "2.0M"},
      {"rem", {"7", "2.5M"}, "2.0M"}, {"/", {"1M", "0.1M"}, "1E+1M"}, {"rem", {"7.5M", "2"}, "1.5M"}, {"mod", {"1.5M", "1"}, "0.5M"},
      {"mod", {"-7N", "2"}, "1N"},
      {"max", {"1", "2.0", "3N"}, "3N"}, {"max", {"1", "##NaN", "2"}, "##NaN"}, {"max", {"1N", "2"}, "2"},
      {"min", {"1", "2.0"}, "1"}, {"min", {"1/2", "1"}, "1/2"}, {"max", {"\"a\""}, "\"a\""},
      {"abs", {"-5"}, "5"}, {"abs", {"-9223372036854775808"}, "-9223372036854775808"}, {"abs", {"-1/2"}, "1/2"},
      {"abs", {"-1.5M"}, "1.5M"}, {"abs", {"-2N"}, "2N"},
  });
}

TEST(CoreNum, CoercionsAndBitsMatchTheJvm) {
  expect_results({
      {"long", {"\\a"}, "97"}, {"int", {"\\a"}, "97"}, {"long", {"1.9"}, "1"}, {"int", {"-1.9"}, "-1"},
      {"long", {"7/2"}, "3"}, {"byte", {"-128"}, "-128"}, {"double", {"1/3"}, "0.3333333333333333"},
      {"double", {"2/3"}, "0.6666666666666667"},
      {"double", {"1/7"}, "0.1428571428571429"}, {"double", {"12345678901234567890N"}, "1.2345678901234567E19"},
      {"float", {"1.1"}, "1.1"}, {"num", {"nil"}, "nil"},
      {"bigint", {"1.5"}, "1N"}, {"bigint", {"1/2"}, "0N"}, {"bigint", {"\"123\""}, "123N"}, {"biginteger", {"5"}, "5"},
      {"bigdec", {"1"}, "1M"}, {"bigdec", {"1.5"}, "1.5M"}, {"bigdec", {"1/4"}, "0.25M"}, {"bigdec", {"\"1.50\""}, "1.50M"},
      {"numerator", {"3/4"}, "3"}, {"denominator", {"3/4"}, "4"},
      {"rationalize", {"1.5"}, "3/2"}, {"rationalize", {"0.1"}, "1/10"}, {"rationalize", {"1.50M"}, "3/2"},
      {"rationalize", {"3"}, "3"}, {"rationalize", {"1.0E20"}, "100000000000000000000N"},
      {"unchecked-int", {"3000000000"}, "-1294967296"}, {"unchecked-long", {"1.9"}, "1"},
      {"unchecked-int", {"1.0E10"}, "2147483647"}, {"unchecked-long", {"1.0E20"}, "9223372036854775807"},
      {"unchecked-add", {"9223372036854775807", "1"}, "-9223372036854775808"}, {"unchecked-add", {"1.5", "1"}, "2.5"},
      {"unchecked-negate", {"-9223372036854775808"}, "-9223372036854775808"},
      {"unchecked-multiply", {"4611686018427387904", "2"}, "-9223372036854775808"},
      {"bit-and", {"12", "10"}, "8"}, {"bit-or", {"12", "10", "1"}, "15"}, {"bit-xor", {"12", "10"}, "6"},
      {"bit-and-not", {"15", "4", "1"}, "10"}, {"bit-not", {"5"}, "-6"},
      {"bit-shift-left", {"1", "64"}, "1"}, {"bit-shift-left", {"1", "63"}, "-9223372036854775808"},
      {"bit-shift-right", {"-8", "1"}, "-4"}, {"unsigned-bit-shift-right", {"-8", "60"}, "15"},
      {"bit-set", {"0", "3"}, "8"}, {"bit-test", {"8", "3"}, "true"}, {"bit-flip", {"8", "3"}, "0"},
      {"bit-clear", {"8", "3"}, "0"},
  });
}

TEST(CoreNum, ComparisonsChainAcrossKindsAndNaNComparesFalse) {
  expect_results({
      {"<", {"1", "2", "3"}, "true"}, {"<", {"1", "3", "2"}, "false"}, {"<", {"1"}, "true"},
      {"<=", {"1", "1", "2"}, "true"}, {">", {"3", "2N", "3/2", "1.4"}, "true"}, {">=", {"1", "1.0", "1N"}, "true"},
      {"<", {"1/3", "0.34"}, "true"}, {"<", {"0.33M", "1/3"}, "true"},
      {"<", {"99999999999999999999", "100000000000000000000"}, "true"},
      {"<", {"1", "##NaN"}, "false"}, {">", {"1", "##NaN"}, "false"}, {">=", {"##NaN", "##NaN"}, "false"},
      {"==", {"1", "1.0"}, "true"}, {"==", {"1/2", "0.5"}, "true"}, {"==", {"1.0M", "1.00M"}, "true"},
      {"==", {"1", "1N", "1.0M"}, "true"}, {"==", {"##NaN", "##NaN"}, "false"}, {"==", {"1", "2"}, "false"},
      {"zero?", {"0.0"}, "true"}, {"zero?", {"0.00M"}, "true"}, {"pos?", {"1/2"}, "true"}, {"neg?", {"##NaN"}, "false"},
      {"even?", {"2N"}, "true"}, {"odd?", {"-3"}, "true"},
      {"int?", {"1"}, "true"}, {"int?", {"1N"}, "false"}, {"integer?", {"1N"}, "true"}, {"rational?", {"1.5M"}, "true"},
      {"rational?", {"1.5"}, "false"}, {"decimal?", {"1.5M"}, "true"}, {"float?", {"1.5"}, "true"},
      {"ratio?", {"1"}, "false"}, {"nat-int?", {"0"}, "true"}, {"pos-int?", {"0"}, "false"}, {"neg-int?", {"-1"}, "true"},
      {"number?", {"\"1\""}, "false"}, {"NaN?", {"##NaN"}, "true"}, {"NaN?", {"1"}, "false"},
      {"infinite?", {"##Inf"}, "true"},
  });
}

TEST(CoreNum, ParsingAnswersNilForMalformedText) {
  expect_results({
      {"parse-long", {"\"12\""}, "12"}, {"parse-long", {"\"+12\""}, "12"}, {"parse-long", {"\"-12\""}, "-12"},
      {"parse-long", {"\" 12\""}, "nil"}, {"parse-long", {"\"1.0\""}, "nil"},
      {"parse-long", {"\"-9223372036854775808\""}, "-9223372036854775808"},
      {"parse-long", {"\"9223372036854775808\""}, "nil"}, {"parse-long", {"\"\""}, "nil"},
      {"parse-double", {"\"1e5\""}, "100000.0"}, {"parse-double", {"\" 1.5 \""}, "1.5"},
      {"parse-double", {"\"NaN\""}, "##NaN"}, {"parse-double", {"\"-Infinity\""}, "##-Inf"},
      {"parse-double", {"\"1.5f\""}, "1.5"}, {"parse-double", {"\".5\""}, "0.5"}, {"parse-double", {"\"5.\""}, "5.0"},
      {"parse-double", {"\"0x10\""}, "nil"}, {"parse-double", {"\"abc\""}, "nil"}, {"parse-double", {"\".\""}, "nil"},
      {"parse-double", {"\"1e\""}, "nil"},
      {"parse-boolean", {"\"true\""}, "true"}, {"parse-boolean", {"\"True\""}, "nil"},
      {"parse-uuid", {"\"1-1-1-1-1\""}, "#uuid \"00000001-0001-0001-0001-000000000001\""},
      {"parse-uuid", {"\"00000000-0000-0000-0000-00000000000g\""}, "nil"}, {"parse-uuid", {"\"1-1-1-1\""}, "nil"},
  });
}

TEST(CoreNum, ErrorsCarryTheJvmClassAndMessage) {
  struct Err {
    std::string fn;
    std::vector<std::string> args;
    std::string cls, message;
  };
  const std::string overflow = "9223372036854775807", min = "-9223372036854775808";
  const std::vector<Err> cases = {
      {"+", {overflow, "1"}, "java.lang.ArithmeticException", "long overflow"},
      {"-", {min}, "java.lang.ArithmeticException", "long overflow"},
      {"*", {min, "-1"}, "java.lang.ArithmeticException", "long overflow"},
      {"inc", {overflow}, "java.lang.ArithmeticException", "long overflow"},
      {"/", {"1", "0"}, "java.lang.ArithmeticException", "Divide by zero"},
      {"/", {"0.0"}, "java.lang.ArithmeticException", "Divide by zero"},
      {"/", {"1N", "0"}, "java.lang.ArithmeticException", "Divide by zero"},
      {"quot", {"1", "0"}, "java.lang.ArithmeticException", "/ by zero"},
      {"rem", {"1.0", "0"}, "java.lang.ArithmeticException", "Divide by zero"},
      {"/", {"1M", "3"}, "java.lang.ArithmeticException",
       "Non-terminating decimal expansion; no exact representable decimal result."},
      {"+", {"1/3", "1M"}, "java.lang.ArithmeticException",
       "Non-terminating decimal expansion; no exact representable decimal result."},
      {"+", {"1", "\"a\""}, "java.lang.ClassCastException",
       "class java.lang.String cannot be cast to class java.lang.Number"},
      {"<", {"1", "nil"}, "java.lang.NullPointerException", "Cannot invoke \"Object.getClass()\" because \"x\" is null"},
      {"even?", {"1.5"}, "java.lang.IllegalArgumentException", "Argument must be an integer: 1.5"},
      {"odd?", {"nil"}, "java.lang.IllegalArgumentException", "Argument must be an integer: "},
      {"int", {"3000000000"}, "java.lang.ArithmeticException", "integer overflow"},
      {"long", {"1.0E20"}, "java.lang.IllegalArgumentException", "Value out of range for long: 1.0E20"},
      {"long", {"3000000000000000000000N"}, "java.lang.IllegalArgumentException",
       "Value out of range for long: 3000000000000000000000"},
      {"short", {"40000"}, "java.lang.IllegalArgumentException", "Value out of range for short: 40000"},
      {"byte", {"200"}, "java.lang.IllegalArgumentException", "Value out of range for byte: 200"},
      {"float", {"1.0E39"}, "java.lang.IllegalArgumentException", "Value out of range for float: 1.0E39"},
      {"bigdec", {"1/3"}, "java.lang.ArithmeticException",
       "Non-terminating decimal expansion; no exact representable decimal result."},
      {"numerator", {"3"}, "java.lang.ClassCastException", "class java.lang.Long cannot be cast to class clojure.lang.Ratio"},
      {"bit-and", {"1", "2.0"}, "java.lang.IllegalArgumentException", "bit operation not supported for: class java.lang.Double"},
      {"bit-or", {"1N", "2"}, "java.lang.IllegalArgumentException", "bit operation not supported for: class clojure.lang.BigInt"},
      {"parse-long", {"1"}, "java.lang.IllegalArgumentException", "Expected string, got java.lang.Long"},
      {"parse-double", {"nil"}, "java.lang.IllegalArgumentException", "Expected string, got nil"},
  };
  for (const Err& c : cases) {
    try {
      Value v = invoke(c.fn, c.args);
      ADD_FAILURE() << show(c.fn, c.args) << " answered " << pr_str(v);
    } catch (const rt::Thrown& t) {
      const rt::Throwable& ex = rt::throwable(t.value());
      EXPECT_EQ(ex.cls().name, c.cls) << show(c.fn, c.args);
      EXPECT_EQ(ex.message().is_nil() ? "" : std::string(str_view(ex.message())), c.message) << show(c.fn, c.args);
    }
  }
}

TEST(CoreNum, RandomNumbersStayInRange) {
  for (int i = 0; i < 200; ++i) {
    Value r = invoke("rand", {});
    ASSERT_TRUE(r.is_double());
    EXPECT_TRUE(r.as_double() >= 0.0 && r.as_double() < 1.0);
    Value n = invoke("rand-int", {"10"});
    ASSERT_TRUE(n.is_int());
    EXPECT_TRUE(n.as_int() >= 0 && n.as_int() < 10);
  }
  EXPECT_EQ(pr_str(invoke("rand-int", {"0"})), "0");
}

}  // namespace
}  // namespace kelp
