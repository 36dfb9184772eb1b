#include "orrery/mcp/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace orrery::mcp {
namespace {

using kelp::Value;

Value edn(std::string_view text) {
  auto r = kelp::read_edn(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? *r : Value();
}

TEST(McpJson, DecodesIntoOurValues) {
  struct Case {
    std::string json;
    std::string printed;  // pr-str of the decoded value
  };
  const Case cases[] = {
      {R"({"b":[true,null,"x"],"a":1,"c":1.5,"d":{}})", R"({"b" [true nil "x"], "a" 1, "c" 1.5, "d" {}})"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"9223372036854775808", "9.223372036854776E18"},      // past int64: a double
      {"123456789012345678901234567890", "1.2345678901234568E29"},
      {"1e400", "1.7976931348623157E308"},                    // overflow clamped, not refused
      {"[-1E+999]", "[-1.7976931348623157E308]"},
      {"1" + std::string(400, '0'), "1.7976931348623157E308"},
      {"1e-400", "0.0"},
      {R"("a/b \"q\" \\ \n é")", R"("a/b \"q\" \\ \n é")"},
      {"\"a\xff" "b\"", "\"a\uFFFDb\""},                      // invalid UTF-8 repaired
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(kelp::pr_str(decode(c.json)), c.printed);
  }
}

TEST(McpJson, SmallObjectsKeepTheirOrderAndBigOnesKeepEveryKey) {
  EXPECT_EQ(kelp::pr_str(decode(R"({"z":1,"y":2,"x":3,"w":4,"v":5,"u":6,"t":7,"s":8})")),
            R"({"z" 1, "y" 2, "x" 3, "w" 4, "v" 5, "u" 6, "t" 7, "s" 8})");
  Value big = decode(R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"a":11})");
  EXPECT_EQ(kelp::count(big), 10);
  EXPECT_EQ(*kelp::get(big, kelp::make_string("a")), Value::integer(11));  // a repeated key: the last wins
}

TEST(McpJson, SurrogateEscapes) {
  struct Case {
    std::string json;
    std::string text;
  };
  const Case cases[] = {
      {R"("\ud83d\ude00")", "😀"},
      {R"("x\uD83D\uDE00y")", "x😀y"},
      {R"("\ud83d")", "\uFFFD"},                  // lone high
      {R"("\ude00x")", "\uFFFDx"},                // lone low
      {R"("\ud83d\u0041")", "\uFFFDA"},           // high then a non-surrogate
      {R"("\ud83d\ud83d\ude00")", "\uFFFD😀"},   // high, then a pair
      {R"("\\ud83d\\ude00")", "\\ud83d\\ude00"},  // escaped backslashes: no escapes at all
      {R"("\\\ud83d\ude00")", "\\😀"},           // an odd run: the last backslash starts the escape
      {R"("\u00e9\u0000")", std::string("é\0", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    Value v = decode(c.json);
    ASSERT_TRUE(v.is(kelp::Kind::String));
    EXPECT_EQ(kelp::str_view(v), c.text);
  }
  EXPECT_EQ(kelp::count(decode(R"("\ud83d\ude00")")), 1);
  EXPECT_EQ(kelp::pr_str(decode(R"({"\ud83d\ude00":"\ud83d"})")), "{\"😀\" \"\uFFFD\"}");
}

TEST(McpJson, RefusesBadTextWithTheReadersMessage) {
  const std::string cases[] = {"", "{", "[1,]", "nul", R"({"a" 1})", "1 2", "'a'", "\"\x01\"",
                               std::string(MAX_JSON_DEPTH + 1, '[') + std::string(MAX_JSON_DEPTH + 1, ']')};
  for (const auto& text : cases) {
    SCOPED_TRACE(text);
    try {
      decode(text);
      ADD_FAILURE() << "decoded";
    } catch (const std::runtime_error& e) {
      std::string message = e.what();
      EXPECT_EQ(message.rfind("invalid JSON: ", 0), 0u) << message;
      EXPECT_GT(message.size(), std::string("invalid JSON: ").size());
    }
  }
  std::string deepest = std::string(MAX_JSON_DEPTH, '[') + std::string(MAX_JSON_DEPTH, ']');
  EXPECT_NO_THROW(decode(deepest));
}

TEST(McpJson, EncodesOneLineWithOnlyTheNeededEscapes) {
  struct Case {
    Value value;
    std::string json;
  };
  const Case cases[] = {
      {edn(R"({"a" [1 -2.5 nil true false] :k "v" :n/k ()})"), R"({"a":[1,-2.5,null,true,false],"k":"v","n/k":[]})"},
      {edn(R"(#{"s"})"), R"(["s"])"},
      {edn("(1 (2))"), "[1,[2]]"},
      {edn(":kw"), R"("kw")"},
      {edn(R"({1 2})"), R"({"1":2})"},
      {edn("12345678901234567890123N"), "12345678901234567890123"},
      {edn("1/4"), "0.25"},
      {edn("3.0"), "3.0"},
      {edn("1e300"), "1.0E300"},
      {Value::real(std::numeric_limits<double>::quiet_NaN()), "null"},
      {Value::real(-std::numeric_limits<double>::infinity()), "null"},
      {Value::character(U'é'), R"("é")"},
      {kelp::make_string("a/b \"q\" \\ \n\r\t\b\f\x01\x1f é 😀 \u2028"),
       R"("a/b \"q\" \\ \n\r\t\b\f\u0001\u001f é 😀 )" "\u2028\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(encode(c.value), c.json);
  }
}

TEST(McpJson, DecodingWhatWasEncodedGivesTheSameData) {
  Value v = edn(R"({"id" 7 "params" {"text" "(+ 1 2)\n😀" "list" [1 2.5 "x" nil [] {}]} "big" -9223372036854775808})");
  EXPECT_EQ(decode(encode(v)), v);
  EXPECT_EQ(encode(decode(R"(["\ud83d\ude00"])")), "[\"😀\"]");  // an escaped pair is written back raw
}

}  // namespace
}  // namespace orrery::mcp
