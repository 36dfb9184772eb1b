#include "kelp/nrepl/bencode.hpp"

#include <gtest/gtest.h>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace kelp::nrepl {
namespace {

using kelp::Value;

Value edn(std::string_view text) {
  auto r = kelp::read_edn(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? r.value() : Value();
}

std::string decoded(const std::string& bytes) {
  StringSource in(bytes);
  std::optional<Value> v = decode(in);
  return v ? kelp::pr_str(*v) : "<eof>";
}

std::string failure(const std::string& bytes) {
  StringSource in(bytes);
  try {
    decode(in);
  } catch (const BencodeError& e) {
    return std::string(e.truncated() ? "truncated: " : "") + e.what();
  }
  return "<no error>";
}

TEST(Bencode, Encodes) {
  struct Case {
    const char* value;
    const char* bytes;
  };
  for (const Case& c : {
           // nil values are left out; keys sorted by their text
           Case{R"x({:op "eval" :code "(+ 1 2)" :ns nil :session "s" :id "vq-1"})x",
                "d4:code7:(+ 1 2)2:id4:vq-12:op4:eval7:session1:se"},
           Case{":a/b", "3:a/b"},
           Case{"my.ns/sym", "9:my.ns/sym"},
           Case{R"x("héllo")x", "6:héllo"},  // the byte count, not the character count
           Case{"-42", "i-42e"},
           Case{R"x([1 ("x" [])])x", "li1el1:xleee"},
           Case{R"x({"b" 1 a 2 :c {}})x", "d1:ai2e1:bi1e1:cdee"},
       }) {
    EXPECT_EQ(encode(edn(c.value)), c.bytes) << c.value;
  }
  for (const auto& [value, message] : std::initializer_list<std::pair<const char*, const char*>>{
           {"nil", "bencode: can't encode nil"},
           {"1.5", "bencode: can't encode 1.5"},
           {"#{1}", "bencode: can't encode #{1}"},
           {"[true]", "bencode: can't encode true"},
           {"{1 2}", "bencode: unsupported key 1"}}) {
    try {
      encode(edn(value));
      ADD_FAILURE() << value << " encoded";
    } catch (const BencodeError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

TEST(Bencode, DecodesAndRoundTrips) {
  EXPECT_EQ(decoded(""), "<eof>");
  EXPECT_EQ(decoded("d2:id4:vq-16:statusl4:doneee"), R"x({"id" "vq-1", "status" ["done"]})x");
  EXPECT_EQ(decoded("i-9223372036854775808e"), "-9223372036854775808");
  EXPECT_EQ(decoded("3:a\xff" "b"), "\"a\xEF\xBF\xBD" "b\"");  // invalid UTF-8 replaced
  Value message = edn(R"x({:id "vq-2" :value "héllo 🌍" :status ["done" "eval-error"] :n 7})x");
  StringSource in(encode(message));
  std::optional<Value> back = decode(in);
  ASSERT_TRUE(back);
  EXPECT_EQ(kelp::pr_str(*back), R"x({"id" "vq-2", "n" 7, "status" ["done" "eval-error"], "value" "héllo 🌍"})x");
  EXPECT_EQ(decode(in), std::nullopt);  // and then the end of input

  // Two messages back to back come out one at a time.
  StringSource two("i1ei2e");
  EXPECT_EQ(kelp::pr_str(*decode(two)), "1");
  EXPECT_EQ(kelp::pr_str(*decode(two)), "2");
}

TEST(Bencode, MalformedInputIsAnErrorNeverACrash) {
  struct Case {
    std::string bytes;
    const char* error;
  };
  for (const Case& c : {
           Case{"d2:id", "truncated: bencode: input ended inside a value"},
           Case{"5:ab", "truncated: bencode: input ended inside a value"},
           Case{"ie", "bencode: malformed integer"},
           Case{"i-e", "bencode: malformed integer"},
           Case{"i99999999999999999999e", "bencode: malformed integer"},
           Case{"i1x2e", "bencode: unexpected byte 120 in a number"},
           Case{"x", "bencode: unexpected byte 120 in a number"},
           Case{"67108865:", "bencode: string length out of range"},  // refused before anything is allocated
           Case{"di1ei2ee", "bencode: a dictionary key must be a byte string"},  // could never be sent back
           Case{std::string(100000, 'l'), "bencode: nested deeper than 256 levels"},
       }) {
    EXPECT_EQ(failure(c.bytes), c.error) << c.bytes.substr(0, 40);
  }
}

}  // namespace
}  // namespace kelp::nrepl
