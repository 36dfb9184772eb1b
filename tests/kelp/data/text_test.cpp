// Strings by code point, interned names, instants and uuids, and Clojure's compare.
#include <gtest/gtest.h>

#include "kelp/data/compare.hpp"
#include "kelp/data/error.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"

namespace kelp {
namespace {

TEST(Strings, IndexByCodePoint) {
  // An astral character counts once, so offsets after it move by one.
  Value s = make_string("a😀b");
  const auto& str = s.as<String>();
  EXPECT_EQ(str.count(), 3);
  EXPECT_EQ(str.at(1), U'😀');
  EXPECT_EQ(str.at(2), U'b');
  EXPECT_EQ(str_view(substring(s, 1, 2)), "😀");
  // Long non-ASCII text indexes through its marks.
  std::string long_text;
  for (int i = 0; i < 1000; ++i) long_text += (i % 3 == 0) ? "é" : "x";
  Value l = make_string(long_text);
  EXPECT_EQ(l.as<String>().count(), 1000);
  for (int i : {0, 63, 64, 65, 500, 999}) EXPECT_EQ(l.as<String>().at(i), i % 3 == 0 ? U'é' : U'x') << i;
  EXPECT_THROW(substring(s, 2, 4), ValueError);
}

TEST(Strings, InvalidUtf8BecomesReplacementCharacters) {
  struct Case {
    std::string bytes;
    std::u32string expect;
  } cases[] = {
      {"ok", U"ok"},
      {"\xff", U"\uFFFD"},
      {"a\xc3", U"a\uFFFD"},                // truncated sequence
      {"\xed\xa0\x80", U"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xc0\xaf", U"\uFFFD\uFFFD"},          // overlong
      {"\xf4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
  };
  for (const auto& c : cases) {
    EXPECT_EQ(valid_utf8(c.bytes), c.bytes == "ok");
    EXPECT_EQ(to_u32(str_view(make_string(c.bytes))), c.expect);
  }
}

TEST(Names, InternAndSplit) {
  EXPECT_EQ(keyword_from("a/b").obj(), keyword("a", "b").obj());
  EXPECT_NE(keyword("a/b").obj(), keyword("a", "b").obj());  // a name with a slash is not a namespace
  Value slash = symbol_from("/");
  EXPECT_FALSE(slash.as<Symbol>().has_ns());
  EXPECT_EQ(slash.as<Symbol>().name(), "/");
  Value qualified = symbol_from("clojure.core//");
  EXPECT_EQ(qualified.as<Symbol>().ns(), "clojure.core");
  EXPECT_EQ(qualified.as<Symbol>().name(), "/");
}

TEST(Inst, ParsesRfc3339AndPrintsAsJvmClojure) {
  struct Case {
    const char* text;
    const char* printed;
  } cases[] = {
      {"2020", "2020-01-01T00:00:00.000-00:00"},
      {"2020-02", "2020-02-01T00:00:00.000-00:00"},
      {"2020-02-29T23:59:59.999Z", "2020-02-29T23:59:59.999-00:00"},
      {"2020-01-01T00:00:00.123456789+01:30", "2019-12-31T22:30:00.123-00:00"},
      {"1969-12-31T23:59:59.5Z", "1969-12-31T23:59:59.500-00:00"},
      {"0001-01-01T00:00:00Z", "0001-01-01T00:00:00.000-00:00"},
  };
  for (const auto& c : cases) {
    std::string err;
    auto ms = parse_inst(c.text, &err);
    ASSERT_TRUE(ms.has_value()) << c.text << ": " << err;
    EXPECT_EQ(format_inst(*ms), c.printed) << c.text;
  }
  for (const char* bad : {"", "20", "2021-02-29", "2020-13", "2020-01-01T24:00", "2020-01-01T00:00:00+1:00", "nope"}) {
    std::string err;
    EXPECT_FALSE(parse_inst(bad, &err).has_value()) << bad;
    EXPECT_NE(err.find("Unrecognized date/time syntax"), std::string::npos) << bad;
  }
}

TEST(Uuid, RoundTripsCanonicalText) {
  auto u = parse_uuid("550E8400-e29b-41d4-a716-446655440000");
  ASSERT_TRUE(u.has_value());
  EXPECT_EQ(format_uuid(u->as<Uuid>()), "550e8400-e29b-41d4-a716-446655440000");
  for (const char* bad : {"", "550e8400e29b41d4a716446655440000", "550e8400-e29b-41d4-a716-44665544000g"})
    EXPECT_FALSE(parse_uuid(bad).has_value()) << bad;
}

TEST(Compare, OrdersAsClojure) {
  auto n = [](int64_t i) { return Value::integer(i); };
  struct Case {
    const char* shown;
    Value a, b;
    int expect;  // JVM Clojure's (compare a b)
  } cases[] = {
      {"nil first", NIL, n(0), -1},
      {"numbers across kinds", n(2), Value::real(1.5), 1},
      {"strings give the code unit difference", make_string("a"), make_string("c"), -2},
      {"string prefix gives the length difference", make_string("abc"), make_string("a"), 2},
      {"astral sorts as surrogates, below U+FFFF", make_string("😀"), make_string("\uffff"), 0xD83D - 0xFFFF},
      {"keywords without namespace first", keyword("z"), keyword("a", "a"), -1},
      {"keywords by namespace then name", keyword("a", "b"), keyword("a", "c"), -1},
      {"symbols", symbol("b"), symbol("a"), 1},
      {"booleans", Value::boolean(false), Value::boolean(true), -1},
      {"characters", Value::character('b'), Value::character('a'), 1},
      {"shorter vector first", make_vector({n(9)}), make_vector({n(1), n(1)}), -1},
      {"vectors element-wise", make_vector({n(1), n(2)}), make_vector({n(1), n(3)}), -1},
      {"instants", make_inst(1), make_inst(2), -1},
  };
  for (const auto& c : cases) EXPECT_EQ(compare(c.a, c.b), c.expect) << c.shown;
  EXPECT_THROW(compare(make_string("a"), keyword("a")), ValueError);
  EXPECT_THROW(compare(make_list({n(1)}), make_list({n(2)})), ValueError);
}

}  // namespace
}  // namespace kelp
