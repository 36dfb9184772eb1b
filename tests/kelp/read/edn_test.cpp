// Reading EDN text: every syntax, the failures, and the limits that keep bad input from crashing the reader.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace kelp {
namespace {

std::string read_and_print(std::string_view text) {
  Result<Value> r = read_edn(text);
  if (!r) return "FAILED: " + r.failure().message;
  return pr_str(*r);
}

TEST(ReadEdn, ReadsEverySyntax) {
  struct Case {
    std::string text, printed;
  } cases[] = {
      {"nil", "nil"}, {"true", "true"}, {"false", "false"}, {"  42 ", "42"}, {"-7", "-7"}, {"+5", "5"},
      {"0x1F", "31"}, {"017", "15"}, {"2r101", "5"}, {"42N", "42N"}, {"123456789012345678901234567890", "123456789012345678901234567890N"},
      {"1/2", "1/2"}, {"4/2", "2"}, {"-3/6", "-1/2"}, {"1.5", "1.5"}, {"1e10", "1.0E10"}, {"-0.0", "-0.0"},
      {"1.5M", "1.5M"}, {"##Inf", "##Inf"}, {"##-Inf", "##-Inf"}, {"##NaN", "##NaN"},
      {R"("a\tb\r\n\\\"\b\f")", R"("a\tb\r\n\\\"\b\f")"}, {R"("\u00e9\u00E9")", "\"éé\""},
      {R"("\uD83D\uDE00")", "\"😀\""}, {R"("\uD800x")", "\"\uFFFDx\""}, {R"("\uDE00")", "\"\uFFFD\""},
      {R"("\101\0\377")", "\"A\\u0000ÿ\""}, {R"("\1 ")", "\"\\u0001 \""}, {"\"😀 raw\"", "\"😀 raw\""},
      {"\\a", "\\a"}, {"\\newline", "\\newline"}, {"\\space", "\\space"}, {"\\tab", "\\tab"},
      {"\\backspace", "\\backspace"}, {"\\formfeed", "\\formfeed"}, {"\\return", "\\return"},
      {"\\u0041", "\\A"}, {"\\o101", "\\A"}, {"\\u", "\\u"}, {"\\(", "\\("}, {"[\\a\\b]", "[\\a \\b]"},
      {":a", ":a"}, {":a/b", ":a/b"}, {":a/b/c", ":a/b/c"}, {":1", ":1"}, {":/", ":/"},
      {"/", "/"}, {"a/b", "a/b"}, {"+", "+"}, {"-", "-"}, {"->x", "->x"}, {".5", ".5"}, {"a#b", "a#b"},
      {"nil/a", "nil/a"}, {"a:b", "a:b"},
      {"()", "()"}, {"(1 (2))", "(1 (2))"}, {"[]", "[]"}, {"[1 [2 [3]]]", "[1 [2 [3]]]"},
      {"{}", "{}"}, {"{:a 1 :b [2]}", "{:a 1, :b [2]}"}, {"#{}", "#{}"}, {"#{1}", "#{1}"},
      {"[1 #_ 2 3]", "[1 3]"}, {"[1 #_ #_ 2 3 4]", "[1 4]"}, {"#_ 1 2", "2"}, {"2 #_ 1", "2"},
      {"; comment\n[1 ; x\n 2] ; after", "[1 2]"}, {"[1,2,,3]", "[1 2 3]"}, {"[1\u2028 2]", "[1 2]"},
      {"#:ns{:a 1 :_/b 2 :c/d 3 x 4}", "{:ns/a 1, :b 2, :c/d 3, ns/x 4}"}, {"#:ns {:a 1}", "{:ns/a 1}"},
      {"#inst \"2020-01-02T03:04:05.678+01:00\"", "#inst \"2020-01-02T02:04:05.678-00:00\""},
      {"#inst\"2020\"", "#inst \"2020-01-01T00:00:00.000-00:00\""},
      {"#uuid \"f81d4fae-7dec-11d0-a765-00a0c91e6bf6\"", "#uuid \"f81d4fae-7dec-11d0-a765-00a0c91e6bf6\""},
      {"^:k [1]", "[1]"}, {"[1 2)3]", "FAILED: Unmatched delimiter ) at line 1, column 5: the vector opened at line 1, column 1 is closed by ]."},
  };
  for (const auto& c : cases) EXPECT_EQ(read_and_print(c.text), c.printed) << c.text;
}

TEST(ReadEdn, MapsKeepWrittenOrderUpToEightEntries) {
  EXPECT_EQ(read_and_print("{:h 8 :g 7 :f 6 :e 5 :d 4 :c 3 :b 2 :a 1}"), "{:h 8, :g 7, :f 6, :e 5, :d 4, :c 3, :b 2, :a 1}");
  Result<Value> big = read_edn("{:i 9 :h 8 :g 7 :f 6 :e 5 :d 4 :c 3 :b 2 :a 1}");
  ASSERT_TRUE(big.ok());
  EXPECT_TRUE(big->is(Kind::HashMap));
}

TEST(ReadEdn, MetadataMergesOntoCollectionsAndSymbols) {
  Result<Value> v = read_edn("^:k ^{:x 1} [1]");
  ASSERT_TRUE(v.ok()) << v.failure().message;
  EXPECT_EQ(pr_str(meta(*v)), "{:x 1, :k true}");
  Result<Value> s = read_edn("^Cls ^\"str\" sym");
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(pr_str(meta(*s)), "{:tag Cls}");
  EXPECT_FALSE(read_edn("^:k 1").ok());
  EXPECT_FALSE(read_edn("^:k :kw").ok());
  EXPECT_FALSE(read_edn("^1 [1]").ok());
}

TEST(ReadEdn, FailuresAreSentencesWithAPlace) {
  struct Case {
    std::string text;
    std::string message;  // exact, or empty to check only that it fails with a placed sentence
    int line, column;
  } cases[] = {
      {"", "Unexpected end of text at line 1, column 1: the text holds no value.", 1, 1},
      {";; only a comment", "Unexpected end of text at line 1, column 18: the text holds no value.", 1, 18},
      {"{:a 1 :a 2}", "Duplicate key :a in the map opened at line 1, column 1.", 1, 1},
      {"#{1 1}", "Duplicate member 1 in the set opened at line 1, column 1.", 1, 1},
      {"#:n{:a 1 :n/a 2}", "Duplicate key :n/a in the namespaced map opened at line 1, column 1.", 1, 1},
      {"#foo 1", "No reader function for tag #foo at line 1, column 1.", 1, 1},
      {"(1 2", "Unexpected end of text: the list opened at line 1, column 1 is never closed.", 1, 1},
      {"1)", "Unmatched delimiter ) at line 1, column 2.", 1, 2},
      {"[1\n 2\n  )", "", 3, 3},
      {"[1 2] 3", "Unexpected text at line 1, column 7: the text holds more than one value.", 1, 7},
      {"\"abc", "Unexpected end of text: the string opened at line 1, column 1 is never closed.", 1, 1},
      {"[\"é😀\" \xff]", "Invalid UTF-8 at line 1, column 7: the text is not valid Unicode text.", 1, 7},
      {"\xc0\x80", "", 1, 1},
      {"\xed\xa0\x80", "", 1, 1},
      {"#inst \"nope\"", "", 1, 7},
      {"#uuid 1", "", 1, 7},
      {"::a", "Invalid token ::a at line 1, column 1.", 1, 1},
      {"1/0", "", 1, 1},
      {"{:a}", "The map opened at line 1, column 1 has a key with no value.", 1, 1},
      {"[#_]", "", 1, 4},
      {"#_", "", 1, 1},
      {"[1 ^:a]", "", 1, 7},
      {"##Foo", "", 1, 1},
      {"#<x>", "", 1, 1},
      {"#!x", "", 1, 1},
      {"\"\\q\"", "", 1, 2},
      {"\"\\u12\"", "", 1, 2},
      {"\"\\400\"", "", 1, 2},
      {"\"\\1a\"", "", 1, 2},
      {"\\uD800", "", 1, 1},
      {"\\foo", "", 1, 1},
      {"a/", "", 1, 1}, {":a:", "", 1, 1}, {"a/1", "", 1, 1}, {":a/1", "", 1, 1}, {"1a", "", 1, 1},
      {"#:a/b{}", "", 1, 1}, {"#:a [1]", "", 1, 1}, {"#:ns{:2a 1}", "", 1, 1}, {"#:ns{_/nil 1}", "", 1, 1}, {"#:#a{b 1}", "", 1, 1},
  };
  for (const auto& c : cases) {
    Result<Value> r = read_edn(c.text);
    ASSERT_FALSE(r.ok()) << c.text << " read as " << pr_str(*r);
    const Failure& f = r.failure();
    if (!c.message.empty()) {
      EXPECT_EQ(f.message, c.message) << c.text;
    }
    EXPECT_NE(f.message.find("line"), std::string::npos) << f.message;
    EXPECT_EQ(f.message.back(), '.') << f.message;
    EXPECT_EQ(f.line, c.line) << c.text << ": " << f.message;
    EXPECT_EQ(f.column, c.column) << c.text << ": " << f.message;
  }
}

TEST(ReadEdn, DeepNestingFailsInsteadOfOverflowing) {
  Result<Value> r = read_edn(std::string(100000, '['));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().message, "Nesting deeper than 10000 levels at line 1, column 10001.");
  EXPECT_FALSE(read_edn(std::string(100000, '^')).ok());
  std::string discards;
  for (int i = 0; i < 100000; ++i) discards += "#_";
  EXPECT_FALSE(read_edn(discards + "1").ok());

  std::string deep = std::string(9999, '[') + std::string(9999, ']');
  Result<Value> ok = read_edn(deep);
  ASSERT_TRUE(ok.ok()) << ok.failure().message;
  EXPECT_EQ(print_edn(*ok), deep);
}

TEST(ReadEdn, LargeStringReadsQuickly) {
  std::string big(10 * 1024 * 1024, 'x');
  big[12345] = '\\';
  big[12346] = 'n';
  std::string text = "\"" + big + "\"";
  auto t0 = std::chrono::steady_clock::now();
  Result<Value> r = read_edn(text);
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(r.ok()) << r.failure().message;
  EXPECT_EQ(count(*r), static_cast<int64_t>(big.size()) - 1);
  EXPECT_LT(secs, 2.0);
}

TEST(ReadEdn, ColumnsCountCodePoints) {
  Result<Value> r = read_edn("\"😀é\" x");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().column, 6);
  Result<Value> s = read_edn("\"😀\"");
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(count(*s), 1);
}

}  // namespace
}  // namespace kelp
