#include "orrery/syntax.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kelp/data/string.hpp"

namespace orrery {
namespace {

std::u32string u32(std::string_view s) { return kelp::to_u32(s); }

// Tokens rendered as "type:text" separated by spaces, so a table row reads like the scanner's output.
std::string render(std::string_view utf8) {
  std::u32string text = u32(utf8);
  std::string out;
  for (const Token& t : tokenize(std::u32string_view(text))) {
    if (!out.empty()) out += ' ';
    out += std::string(token_type_name(t.type)) + ":" + kelp::to_utf8(text.substr(t.start, t.end - t.start));
  }
  return out;
}

TEST(Tokenize, RulesInOrder) {
  struct Case {
    const char* text;
    const char* tokens;
  } cases[] = {
      {"", ""},
      {" ,\t\n", ""},
      {"' ` ~ @ ^ # : \\", ""},
      {"(foo \\) ; (\n)", "bracket:( symbol:foo char:\\) comment:; ( bracket:)"},
      {"\"a)\\\"b\" x", "string:\"a)\\\"b\" symbol:x"},
      {"\"open (", "string:\"open ("},
      {"\"ab\\\ncd\"", "string:\"ab symbol:cd string:\""},
      {"#\"[a-z]+\" #?\"x\" #@\"y\"", "regex:#\"[a-z]+\" regex:#?\"x\" regex:#@\"y\""},
      {"\\newline \\nx \\space \\u00e9 \\u12 \\o377 \\o0777 \\o8", "char:\\newline char:\\n symbol:x char:\\space "
       "char:\\u00e9 char:\\u number:12 char:\\o377 char:\\o077 number:7 char:\\o number:8"},
      {":a ::b/c :a.b? :: :\"x\"", "keyword::a keyword:::b/c keyword::a.b? string:\"x\""},
      {"-1 +2 1/2 1.5e10 42N 1.5M 0xFF 1e-3", "number:-1 number:+2 number:1/2 number:1.5e10 number:42N "
       "number:1.5M number:0xFF number:1e-3"},
      {"1. .5 1abc -foo -> 0x1g", "symbol:. symbol:.5 symbol:abc symbol:-foo symbol:-> symbol:x1g"},
      {"(1)[2]{3,}\"4\"5", "bracket:( number:1 bracket:) bracket:[ number:2 bracket:] bracket:{ number:3 "
       "bracket:} string:\"4\" number:5"},
      {"^:private ^String ^{:a 1}", "metatag:^:private metatag:^String bracket:{ keyword::a number:1 bracket:}"},
      {"nil nil? true def fn* set! str foo", "constant:nil builtin:nil? constant:true special-form:def "
       "special-form:fn* special-form:set! builtin:str symbol:foo"},
      {"foo:bar a#b", "symbol:foo keyword::bar symbol:a#b"},
      {"#?(:clj 1) #?@(:x [2])", "symbol:? bracket:( keyword::clj number:1 bracket:) symbol:? bracket:( "
       "keyword::x bracket:[ number:2 bracket:] bracket:)"},
      {"#_ x #_foo #{1} #:ns{} #'f", "symbol:_ symbol:x symbol:_foo bracket:{ number:1 bracket:} keyword::ns "
       "bracket:{ bracket:} symbol:f"},
      {"(a)\r\n(b)\r\n", "bracket:( symbol:a bracket:) bracket:( symbol:b bracket:)"},
      {"λx 名前 x² ٣", "symbol:λx symbol:名前 symbol:x²"},
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.text), c.tokens) << c.text;
}

TEST(Tokenize, OffsetsCountCodePoints) {
  // The emoji is one code point, so everything after it moves by one, not by two UTF-16 units or four bytes.
  std::u32string text = u32("\"😀\" (f)");
  Tokens tokens = tokenize(std::u32string_view(text));
  ASSERT_EQ(tokens.size(), 4u);
  EXPECT_EQ(tokens[0], (Token{TokenType::String, 0, 3}));
  EXPECT_EQ(tokens[1], (Token{TokenType::Bracket, 4, 5}));
  EXPECT_EQ(tokens[2], (Token{TokenType::Symbol, 5, 6}));
}

TEST(Brackets, PairsDepthsAndProblems) {
  std::u32string text = u32("(a [b] \"]\" ;)\n)");
  Brackets b = compute_brackets(std::u32string_view(text));
  std::vector<BracketToken> expected = {
      {0, 1, 0, BracketKind::Open}, {3, 4, 1, BracketKind::Open}, {5, 6, 1, BracketKind::Close},
      {14, 15, 0, BracketKind::Close}};
  EXPECT_EQ(b.bracket_tokens, expected);
  EXPECT_EQ(b.matches.at(0), 14);
  EXPECT_EQ(b.matches.at(14), 0);
  EXPECT_EQ(b.matches.at(5), 3);
  EXPECT_TRUE(b.unmatched.empty());

  // `(]`: the wrong closer is unmatched at depth 0 and does not pop, so the `(` stays open too.
  Brackets mismatched = compute_brackets(std::u32string_view(u32("(]")));
  EXPECT_EQ(mismatched.bracket_tokens[1], (BracketToken{1, 2, 0, BracketKind::Unmatched}));
  EXPECT_EQ(mismatched.unmatched, (std::set<Offset>{0, 1}));
  EXPECT_TRUE(compute_brackets(std::u32string_view()).bracket_tokens.empty());
}

TEST(LineNumber, CountsLineFeedsBefore) {
  std::u32string text = u32("a\nb\r\nc");
  EXPECT_EQ(line_number_at_offset(text, -3), 1);
  EXPECT_EQ(line_number_at_offset(text, 0), 1);
  EXPECT_EQ(line_number_at_offset(text, 1), 1);
  EXPECT_EQ(line_number_at_offset(text, 2), 2);
  EXPECT_EQ(line_number_at_offset(text, 5), 3);
  EXPECT_EQ(line_number_at_offset(text, 99), 3);
}

TEST(SymbolAtPos, DirectAndNearbyHits) {
  struct Case {
    const char* text;
    Offset pos;
    const char* symbol;  // nullptr: no hit
  } cases[] = {
      {"(foo \"x\")", 5, nullptr},     // touching the string's opening quote
      {"(foo \"x\")", 8, nullptr},     // right after its closing quote
      {"(foo)", 0, "foo"},             // the opener binds forward
      {"(foo)", 4, "foo"},             // right after the symbol
      {"(foo) ", 5, "foo"},            // after the closer, which binds backward
      {"(a  b)", 3, "a"},              // equal distance: the earlier wins
      {"(a     b)", 4, nullptr},       // two plain spaces never qualify
      {"x ; y", 5, nullptr},           // end of a comment line
      {"@atom", 0, "atom"},            // a reader prefix binds forward
      {"(f\n a)", 3, "a"},             // the line break is not between caret and token
      {"(f\n a)", 2, "f"},
      {"(f :k)", 4, nullptr},          // keywords are no symbols
      {"(if x)", 2, "if"},
      {"", 0, nullptr},
      {"(foo)", -7, "foo"},            // clamped to 0
  };
  for (const Case& c : cases) {
    std::u32string text = u32(c.text);
    auto hit = symbol_at_pos(std::u32string_view(text), c.pos);
    if (!c.symbol) {
      EXPECT_FALSE(hit) << c.text << " @" << c.pos;
    } else {
      ASSERT_TRUE(hit) << c.text << " @" << c.pos;
      EXPECT_EQ(kelp::to_utf8(hit->symbol), c.symbol) << c.text << " @" << c.pos;
    }
  }
  auto typed = symbol_at_pos(std::u32string_view(u32("(if x)")), 2);
  EXPECT_EQ(typed->type, TokenType::SpecialForm);
  EXPECT_EQ(typed->start, 1);
  EXPECT_EQ(typed->end, 3);
}

TEST(Search, SymbolOccurrencesAndTextMatches) {
  std::u32string text = u32("(foo foo-bar \"foo\" :foo ; foo\n foo)");
  EXPECT_EQ(find_symbol_occurrences(text, U"foo"), (std::vector<Span>{{1, 4}, {31, 34}}));
  EXPECT_TRUE(find_symbol_occurrences(text, U"  ").empty());

  EXPECT_EQ(find_text_matches(U"aAaa", U"aa"), (std::vector<Span>{{0, 2}, {2, 4}}));
  EXPECT_EQ(find_text_matches(U"aAaa", U"aa", true), (std::vector<Span>{{2, 4}}));
  EXPECT_EQ(find_text_matches(U"a.b a*b", U"*"), (std::vector<Span>{{5, 6}}));  // literal, no pattern
  EXPECT_EQ(find_text_matches(U"ÉTÉ été", U"été"), (std::vector<Span>{{0, 3}, {4, 7}}));
  EXPECT_TRUE(find_text_matches(U"abc", U" ").empty());
  EXPECT_TRUE(find_text_matches(U"", U"a").empty());
}

TEST(Blank, WhitespaceOnly) {
  EXPECT_TRUE(is_blank(U""));
  EXPECT_TRUE(is_blank(U" \t\r\n\u2003"));
  EXPECT_FALSE(is_blank(U" x "));
  EXPECT_FALSE(is_blank(U"\u00a0"));  // a no-break space is not whitespace
}

TEST(Caches, IdentityAndEqualityHits) {
  TextPtr a = make_text(U"(a b)");
  TextPtr same_content = make_text(U"(a b)");
  auto first = tokenize(a);
  EXPECT_EQ(tokenize(a), first);
  EXPECT_EQ(tokenize_equal(same_content), first);  // equal text answers from the cache
  auto fresh = tokenize(same_content);             // identity only: a new object computes again
  EXPECT_NE(fresh, first);
  EXPECT_EQ(*fresh, *first);

  auto brackets = compute_brackets(a);
  EXPECT_EQ(compute_brackets(a), brackets);
  EXPECT_EQ(cached_brackets_if_identical(a), brackets);
  EXPECT_EQ(cached_brackets_if_identical(same_content), nullptr);
  EXPECT_EQ(compute_brackets_equal(same_content), brackets);
  EXPECT_TRUE(tokenize(TextPtr())->empty());
  EXPECT_TRUE(compute_brackets(TextPtr())->unmatched.empty());
}

// Many threads hammer the caches with texts made and dropped on the fly: a hit must always be for its own
// text (never an address reused by a freed text), which the token count of each text shows.
TEST(Caches, HitsAreForTheirOwnTextAcrossThreads) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        int n = (i + t) % 7 + 1;
        std::u32string s;
        for (int k = 0; k < n; ++k) s += U"(x) ";
        TextPtr text = make_text(s);
        if (tokenize(text)->size() != static_cast<size_t>(3 * n)) ++wrong;
        if (compute_brackets_equal(text)->matches.size() != static_cast<size_t>(2 * n)) ++wrong;
        if (symbol_at_pos(text, 1, i % 2 == 0)->symbol != U"x") ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace orrery
