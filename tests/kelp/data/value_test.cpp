// Equality and hashing of scalar values, checked against what JVM Clojure 1.11 answers for (hash x).
#include <gtest/gtest.h>

#include <cmath>

#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/data/list.hpp"

namespace kelp {
namespace {

Value num(std::string_view text) {
  std::string err;
  auto v = parse_number(text, &err);
  EXPECT_TRUE(v.has_value()) << text << ": " << err;
  return v ? *v : NIL;
}

TEST(ValueHash, MatchesJvmClojure) {
  Value i = Value::integer(1);
  struct Case {
    const char* shown;
    Value v;
    int32_t jvm;
  } cases[] = {
      {"nil", NIL, 0},
      {"true", Value::boolean(true), 1231},
      {"false", Value::boolean(false), 1237},
      {"0", Value::integer(0), 0},
      {"1", Value::integer(1), 1392991556},
      {"-1", Value::integer(-1), 1651860712},
      {"42", Value::integer(42), 1871679806},
      {"Long/MAX_VALUE", Value::integer(INT64_MAX), -2106506049},
      {"Long/MIN_VALUE", Value::integer(INT64_MIN), 1366273829},
      {"1.0", Value::real(1.0), 1072693248},
      {"-0.0", Value::real(-0.0), 0},
      {"0.5", Value::real(0.5), 1071644672},
      {"##NaN", Value::real(NAN), 2146959360},
      {"##Inf", Value::real(INFINITY), 2146435072},
      {"1e300", Value::real(1e300), -164130400},
      {"1N", num("1N"), 1392991556},
      {"big", num("123456789012345678901234567890N"), 1915528825},
      {"-big", num("-123456789012345678901234567890N"), -1915528825},
      {"1/2", num("1/2"), 3},
      {"-3/7", num("-3/7"), -6},
      {"22/7", num("22/7"), 17},
      {"1.5M", num("1.5M"), 466},
      {"1.50M", num("1.50M"), 466},
      {"0M", num("0M"), 0},
      {"1E+10M", num("1e10M"), 21},
      {"123.456M", num("123.456M"), 3827139},
      {"\\a", Value::character('a'), 97},
      {"\"\"", make_string(""), 0},
      {"\"a\"", make_string("a"), 1455541201},
      {"\"hello\"", make_string("hello"), 1715862179},
      {"\"héllo\"", make_string("héllo"), 162369042},
      {"\"😀\"", make_string("😀"), -1934073014},
      {"\"😀x\"", make_string("😀x"), -1998616508},
      {":a", keyword("a"), -2123407586},
      {":a/b", keyword("a", "b"), 1482224565},
      {":user/hello", keyword_from("user/hello"), -249687704},
      {"a", symbol("a"), -482876059},
      {"a/b", symbol_from("a/b"), -1172211204},
      {"clojure.core/map", symbol("clojure.core", "map"), -505055043},
      {"[]", empty_vector(), -2017569654},
      {"[1 2 3]", make_vector({i, Value::integer(2), Value::integer(3)}), 736442005},
      {"()", empty_list(), -2017569654},
      {"(1 2 3)", make_list({i, Value::integer(2), Value::integer(3)}), 736442005},
      {"{}", empty_map(), -15128758},
      {"{:a 1}", make_map({keyword("a"), i}), 1772842048},
      {"{:a 1 :b 2}", make_map({keyword("a"), i, keyword("b"), Value::integer(2)}), 161871944},
      {"#{}", empty_set(), -15128758},
      {"#{1 2 3}", make_set({i, Value::integer(2), Value::integer(3)}), 439094965},
      {"[[1] {:a [2]}]", make_vector({make_vector({i}), make_map({keyword("a"), make_vector({Value::integer(2)})})}),
       55495347},
      {"#inst", make_inst(*parse_inst("2020-01-02T03:04:05.678Z", nullptr)), 1681247809},
      {"#uuid", *parse_uuid("550e8400-e29b-41d4-a716-446655440000"), 1170702770},
  };
  for (const auto& c : cases) EXPECT_EQ(hash(c.v), c.jvm) << c.shown;
}

TEST(ValueEquiv, FollowsClojureEquals) {
  Value one = Value::integer(1);
  struct Case {
    const char* shown;
    Value a, b;
    bool equal;
  } cases[] = {
      {"1 = 1N", one, num("1N"), true},
      {"1 != 1.0", one, Value::real(1.0), false},
      {"1.0M = 1.00M", num("1.0M"), num("1.00M"), true},
      {"1M != 1", num("1M"), one, false},
      {"1/2 != 0.5", num("1/2"), Value::real(0.5), false},
      {"2/4 = 1/2", num("2/4"), num("1/2"), true},
      {"4/2 is the integer 2", num("4/2"), Value::integer(2), true},
      {"NaN != NaN", Value::real(NAN), Value::real(NAN), false},
      {"0.0 = -0.0", Value::real(0.0), Value::real(-0.0), true},
      {"nil != false", NIL, Value::boolean(false), false},
      {"strings by content", make_string("héllo"), make_string("héllo"), true},
      {"string != char", make_string("a"), Value::character('a'), false},
      {":a = :a", keyword("a"), keyword_from("a"), true},
      {":a != 'a", keyword("a"), symbol("a"), false},
      {"symbols ignore metadata", symbol("x"), with_meta(symbol("x"), make_map({keyword("m"), one})), true},
      {"[1] = (1)", make_vector({one}), make_list({one}), true},
      {"[1] != #{1}", make_vector({one}), make_set({one}), false},
      {"[] = ()", empty_vector(), empty_list(), true},
      {"{} != #{}", empty_map(), empty_set(), false},
      {"[1 2] != [1]", make_vector({one, Value::integer(2)}), make_vector({one}), false},
      {"#inst by instant", make_inst(5), make_inst(5), true},
      {"#uuid by value", make_uuid(1, 2), make_uuid(1, 2), true},
      {"#uuid differs", make_uuid(1, 2), make_uuid(1, 3), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(equiv(c.a, c.b), c.equal) << c.shown;
    EXPECT_EQ(equiv(c.b, c.a), c.equal) << c.shown << " (swapped)";
    if (c.equal && !c.a.is_double()) {
      EXPECT_EQ(hash(c.a), hash(c.b)) << c.shown;
    }
  }
}

TEST(ValueSharing, CountsReferencesAndFreesOnce) {
  Value s = make_string("shared");
  const Object* o = s.obj();
  {
    Value copy = s;
    Value moved = std::move(copy);
    EXPECT_EQ(o->ref_count(), 2u);
  }
  EXPECT_EQ(o->ref_count(), 1u);
  // Keywords are interned and never counted.
  EXPECT_EQ(keyword("k").obj(), keyword("k").obj());
  EXPECT_TRUE(keyword("k").obj()->immortal());
}

}  // namespace
}  // namespace kelp
