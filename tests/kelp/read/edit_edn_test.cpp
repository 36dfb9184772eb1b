// Editing keys of a map written as EDN text while keeping everything else byte for byte.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "kelp/data/map.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace kelp {
namespace {

Value edn(std::string_view text) {
  Result<Value> r = read_edn(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? *r : NIL;
}

TEST(EditEdnKeys, EditsInPlaceAndKeepsTheRest) {
  struct Case {
    std::string text;
    std::string m;
    std::optional<std::string> expect;
  } cases[] = {
      // Replacing values keeps comments, blank lines and odd layout.
      {";; settings\n{:theme :dark   ; the look\n\n   :font-size  12,,\n :keep \"x\"} ; end\n", "{:font-size 14}",
       ";; settings\n{:theme :dark   ; the look\n\n   :font-size  14,,\n :keep \"x\"} ; end\n"},
      {"{:a {:b 1 :c 2} ; nested\n :d 3}", "{:a {:b 9}}", "{:a {:b 9} ; nested\n :d 3}"},
      {"{:a 1 :b 2}", "{:b [1 \"two\"] :a nil}", "{:a nil :b [1 \"two\"]}"},
      // Adding keys follows the layout of the existing entries.
      {"{:a 1\n :b 2}", "{:c 3}", "{:a 1\n :b 2\n :c 3}"},
      {"{:a 1\n :b 2 ; last\n}", "{:c 3 :d 4}", "{:a 1\n :b 2 ; last\n :c 3\n :d 4\n}"},
      {"  {:a 1\n\t:b 2}", "{:c 3}", "  {:a 1\n\t:b 2\n   :c 3}"},
      {"{:a 1 :b 2}", "{:c 3}", "{:a 1 :b 2 :c 3}"},
      {"{:a 1, :b 2}", "{:c 3}", "{:a 1, :b 2, :c 3}"},
      {"{}", "{:k \"v\"}", "{:k \"v\"}"},
      {"; empty\n{ }\n", "{:k 1 :j 2}", "; empty\n{ :k 1 :j 2}\n"},
      {"{:a 1}", "{}", "{:a 1}"},
      // A key written again inside a discard is not a key of the map.
      {"{:a 1\n #_ :a #_ 5\n :b 2}", "{:a 9}", "{:a 9\n #_ :a #_ 5\n :b 2}"},
      {"{:a 1 #_:b #_2}", "{:b 3}", "{:a 1 :b 3 #_:b #_2}"},
      // CRLF text gets CRLF lines.
      {"{:a 1\r\n :b 2}\r\n", "{:c 3}", "{:a 1\r\n :b 2\r\n :c 3}\r\n"},
      // Metadata and namespaced maps.
      {"^:meta {:a 1}", "{:a 2}", "^:meta {:a 2}"},
      {"#:ns{:a 1}", "{:ns/a 2 :b 3 :ns/c 4}", "#:ns{:a 2 :_/b 3 :ns/c 4}"},
      // No map: nothing.
      {"", "{:a 1}", std::nullopt},
      {";; only comments\n", "{:a 1}", std::nullopt},
      {"[1 2]", "{:a 1}", std::nullopt},
      {"{:a 1} {:b 2}", "{:a 1}", std::nullopt},
      {"{:a 1", "{:a 2}", std::nullopt},
      {"{:a 1}", "{:a ##NaN}", std::nullopt},
  };
  for (const auto& c : cases) {
    std::optional<std::string> out = edit_edn_keys(c.text, edn(c.m));
    EXPECT_EQ(out, c.expect) << c.text << " with " << c.m;
  }
}

TEST(EditEdnKeys, LargeMapsKeepEveryUntouchedEntry) {
  std::string text = "{";
  for (int i = 0; i < 40; ++i) text += ":k" + std::to_string(i) + " " + std::to_string(i) + "\n ";
  text += "}";
  std::optional<std::string> out = edit_edn_keys(text, edn("{:k7 \"seven\" :new true}"));
  ASSERT_TRUE(out);
  Value expected = assoc(assoc(edn(text), edn(":k7"), edn("\"seven\"")), edn(":new"), TRUE_V());
  EXPECT_TRUE(equiv(edn(*out), expected));
  EXPECT_NE(out->find(":k6 6\n :k7 \"seven\"\n :k8 8"), std::string::npos) << *out;
}

}  // namespace
}  // namespace kelp
