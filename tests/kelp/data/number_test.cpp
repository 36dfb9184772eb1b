// Number text: what the reader makes of it, and how numbers print.
#include <gtest/gtest.h>

#include <cmath>

#include "kelp/data/number.hpp"

namespace kelp {
namespace {

std::string shown(const Value& v) {
  if (v.is_int()) return std::to_string(v.as_int());
  if (v.is_double()) return format_double(v.as_double());
  switch (v.obj()->kind()) {
    case Kind::BigInt: return v.as<BigInt>().value().get_str() + "N";
    case Kind::Ratio: return v.as<Ratio>().value().get_str();
    case Kind::BigDec: return format_bigdec(v.as<BigDec>()) + "M";
    default: return "?";
  }
}

TEST(ParseNumber, ReadsClojureNumberSyntax) {
  struct Case {
    const char* text;
    const char* expect;  // as JVM Clojure prints the value read
  } cases[] = {
      {"0", "0"}, {"-0", "0"}, {"+5", "5"}, {"42", "42"}, {"-7", "-7"},
      {"9223372036854775807", "9223372036854775807"},
      {"9223372036854775808", "9223372036854775808N"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"1N", "1N"}, {"0N", "0N"}, {"0x1F", "31"}, {"0XffN", "255N"}, {"-0x10", "-16"},
      {"017", "15"}, {"2r101", "5"}, {"36rZZ", "1295"}, {"-16rFF", "-255"},
      {"1/2", "1/2"}, {"-3/6", "-1/2"}, {"4/2", "2"}, {"+1/3", "1/3"},
      {"1.5", "1.5"}, {"1.", "1.0"}, {"-0.0", "-0.0"}, {"1e10", "1.0E10"}, {"1E-5", "1.0E-5"},
      {"0.001", "0.001"}, {"1234567.0", "1234567.0"}, {"12345678.9", "1.23456789E7"}, {"0.1", "0.1"},
      {"1e400", "##Inf"}, {"-1e400", "##-Inf"}, {"08.5", "8.5"},
      {"1.5M", "1.5M"}, {"1.50M", "1.50M"}, {"1e10M", "1E+10M"}, {"1M", "1M"}, {"0.0000001M", "1E-7M"},
      {"123.456e2M", "12345.6M"}, {"-2.5e-3M", "-0.0025M"},
  };
  for (const auto& c : cases) {
    std::string err;
    auto v = parse_number(c.text, &err);
    ASSERT_TRUE(v.has_value()) << c.text << ": " << err;
    EXPECT_EQ(shown(*v), c.expect) << c.text;
  }
}

TEST(ParseNumber, RejectsMalformedNumbersWithASentence) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"09", "Invalid number: 09"},   {"0x", "Invalid number: 0x"}, {"1e", "Invalid number: 1e"},
      {"1/0", "Divide by zero"},      {"1r0", "Radix out of range: 1"}, {"2r3", "Invalid number: 2r3"},
      {"1.2.3", "Invalid number: 1.2.3"}, {"12abc", "Invalid number: 12abc"},
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_FALSE(parse_number(c.text, &err).has_value()) << c.text;
    EXPECT_EQ(err, c.error) << c.text;
  }
}

TEST(FormatDouble, ShortestDigitsInJavaLayout) {
  struct Case {
    double d;
    const char* expect;
  } cases[] = {
      {1.0, "1.0"}, {100.0, "100.0"}, {0.1 + 0.2, "0.30000000000000004"}, {1e7, "1.0E7"}, {9999999.0, "9999999.0"},
      {1e-3, "0.001"}, {9.99e-4, "9.99E-4"}, {1e300, "1.0E300"}, {-1.5e-300, "-1.5E-300"}, {5e-324, "5.0E-324"},
      {1.7976931348623157e308, "1.7976931348623157E308"}, {NAN, "##NaN"}, {-INFINITY, "##-Inf"}, {-0.0, "-0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_double(c.d), c.expect) << c.expect;
  // Every printed double reads back as the same bits.
  for (double d : {0.1, 1.0 / 3, 2e-3, 123456.789, 6.02214076e23, 1e-310}) {
    auto back = parse_number(format_double(d), nullptr);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->as_double(), d) << format_double(d);
  }
}

TEST(NumberCompare, OrdersAcrossKinds) {
  auto n = [](const char* t) { return *parse_number(t, nullptr); };
  EXPECT_LT(number_compare(n("1/3"), n("0.34")), 0);
  EXPECT_GT(number_compare(n("99999999999999999999"), n("1")), 0);
  EXPECT_EQ(number_compare(n("1.0M"), n("1")), 0);
  EXPECT_LT(number_compare(n("-1/2"), n("-0.4M")), 0);
  EXPECT_EQ(number_compare(Value::real(NAN), n("1")), 0);  // as JVM Clojure: NaN is neither less nor greater
}

}  // namespace
}  // namespace kelp
