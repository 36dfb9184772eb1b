#include "orrery/format.hpp"

#include <gtest/gtest.h>

#include <string>

#include "kelp/data/string.hpp"
#include "orrery/syntax.hpp"
#include "support/corpus.hpp"

namespace orrery {
namespace {

std::u32string u(std::string_view s) { return kelp::to_u32(s); }
std::string utf8(std::u32string_view s) { return kelp::to_utf8(s); }

std::string format(std::string_view s) { return utf8(format_code(u(s))); }

TEST(FormatCode, IndentsEachLineByItsEnclosingForm) {
  const std::pair<const char*, const char*> cases[] = {
      // body forms indent by two; other calls align under their first argument
      {"(defn f [x]\nx)", "(defn f [x]\n  x)"},
      {"(let [x 1\ny 2]\nx)", "(let [x 1\n      y 2]\n  x)"},
      {"(when ok\n(run))", "(when ok\n  (run))"},
      {"(when-ready x\ny)", "(when-ready x\n  y)"},
      {"(if-x a\nb)", "(if-x a\n  b)"},
      {"(foo a\nb)", "(foo a\n     b)"},
      {"(foo\na)", "(foo\n  a)"},
      {"(-> x\ninc)", "(-> x\n    inc)"},
      {"(foo (bar)\nbaz)", "(foo (bar)\n  baz)"},  // a bracketed first argument does not set the column
      {"((comp f g)\nx)", "((comp f g)\n  x)"},
      // vectors and maps align under their first element, else one level in
      {"[1\n2]", "[1\n 2]"},
      {"[\n1]", "[\n  1]"},
      {"{:a 1\n:b 2}", "{:a 1\n :b 2}"},
      {"{:a 1\n, :b 2}", "{:a 1\n , :b 2}"},  // a leading comma is kept as written
      // nested forms, closers on their own line, a closer that matches nothing
      {"(defn f [x]\n(let [y (inc x)\nz (foo y\nx)]\n(+ y z)))",
       "(defn f [x]\n  (let [y (inc x)\n        z (foo y\n               x)]\n    (+ y z)))"},
      {"(foo\n  bar\n    )", "(foo\n  bar\n)"},
      {"  [a\n  (b\n      ]", "[a\n (b\n   ]"},  // ] is not the top frame's closer: it is a line of the list
      {"(foo]\nbar)", "(foo]\n  bar)"},
      {"x)\n   y", "x)\ny"},
      // earlier lines count as re-indented
      {"    (foo a\nb)", "(foo a\n     b)"},
      // comments are not operators or arguments; brackets in them do not count
      {"(foo ; note (\nbar)", "(foo ; note (\n  bar)"},
      {"(defn f []\n;; c   \nx)", "(defn f []\n  ;; c\n  x)"},
      // strings: brackets inside do not count, trailing spaces before an inner line feed stay, continuation
      // lines are kept exactly
      {"(foo \"(\" a\nb)", "(foo \"(\" a\n     b)"},
      {"(foo \"a  \n   b\"\n  c)", "(foo \"a  \n   b\"\n     c)"},
      {"  (re-find #\"a \n  b\" s)", "(re-find #\"a \n  b\" s)"},
      {"(foo \"abc  ", "(foo \"abc  "},
      {"(str \\ \nx)", "(str \\ \n     x)"},  // the space character literal keeps its space
      // whitespace: trailing spaces go, blank lines become empty, CRLF line ends stay
      {"(foo   \n   \n  bar)  ", "(foo\n\n  bar)"},
      {"(defn f []\r\n   \r\nx)  \r\n", "(defn f []\r\n\r\n  x)\r\n"},
      {"(foo \r \n \r\n)", "(foo\r\n\r\n)"},  // spaces after a \r go, then the ones before it
      {"\t(foo\n\t\ta)", "(foo\n  a)"},
      // columns count code points: an emoji is one character
      {"\"😀\" (foo a\nb)", "\"😀\" (foo a\n         b)"},
      {"(f 😀 a\nb)", "(f 😀 a\n     b)"},
      // blank texts are returned as they are
      {"", ""},
      {"  \n  ", "  \n  "},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(format(in), out) << in;
}

TEST(FormatCode, LineIndentationsMarkLinesInsideStringsVerbatim) {
  EXPECT_TRUE(compute_line_indentations(U"").empty());
  const std::vector<LineIndent> want = {{0, false}, {0, true}, {0, true}, {5, false}, {0, false}};
  EXPECT_EQ(compute_line_indentations(U"(foo \"a\nb\nc\"\nd)\n"), want);
}

TEST(SmartIndent, GivesTheNewLinesIndentation) {
  struct Case {
    const char* text;
    int pos;  // -1: the end
    int spaces;
  };
  const Case cases[] = {
      {"  (let [x 1]", -1, 4},  // one level for one net opener
      {"  (a (b (c", -1, 4},    // one level however many
      {"  x))", -1, 0},          // 2 - 2 per excess closer, floored
      {"    a)", -1, 2},
      {"(foo\n  bar)", 10, 2},   // before the ) of a list opened earlier: keep the line's indent
      {"    )", 4, 2},           // before a stray ) at top level: one level out
      {"(foo)", 4, 2},           // the line still opens a form
      {"  \"((\" x", -1, 2},     // brackets in strings do not count
      {"  ; ((", -1, 2},         // nor in comments
      {"\t  (foo", -1, 2},       // a tab ends the base indent
      {"  (foo", 99, 4},         // clamped to the text
      {"(foo", 0, 0},
      {"", 0, 0},
      {"(a\n  (b c)\n  d", -1, 2},
  };
  for (const Case& c : cases) {
    std::u32string text = u(c.text);
    Offset pos = c.pos < 0 ? static_cast<Offset>(text.size()) : c.pos;
    EXPECT_EQ(compute_smart_indent(text, pos), std::u32string(static_cast<size_t>(c.spaces), U' '))
        << c.text << " @" << pos;
  }
}

TEST(FormatSelection, RewritesOnlyTheLinesTheRangeTouches) {
  const std::u32string text = U"(defn f []\nx   \ny)";
  // the second line only; the range ending at the third line's start does not touch it
  EXPECT_EQ(format_selection_text(text, 11, 16), U"(defn f []\n  x\ny)");
  EXPECT_EQ(format_selection_text(text, 12, 13), U"(defn f []\n  x\ny)");
  EXPECT_EQ(format_selection_text(text, 11, 17), U"(defn f []\n  x\n  y)");
  EXPECT_EQ(format_selection_text(text, 0, 99), format_code(text));
  EXPECT_EQ(format_selection_text(text, 12, 12), text);
  EXPECT_EQ(format_selection_text(text, 13, 12), text);
}

TEST(CarryCaret, KeepsTheCaretBeforeTheSameCode) {
  struct Case {
    const char* old_text;
    const char* new_text;
    int caret;
    int want;
  };
  const Case cases[] = {
      {"(foo\nbar)", "(foo\n  bar)", 5, 7},          // right before code: stays before it
      {"(foo\nbar)", "(foo\n  bar)", 7, 9},          // mid-line
      {"(foo\n    bar)", "(foo\n  bar)", 7, 7},      // in the indentation: same column, at most its end
      {"(foo\n    bar)", "(foo\n  bar)", 6, 6},
      {"(foo\n    bar)", "(foo\n  bar)", 8, 7},
      {"(foo   \nbar)", "(foo\n  bar)", 5, 4},        // spaces after code that formatting removed
      {"(a b\nc)", "(a b\n   c)", 3, 3},             // spacing inside a line is kept
      {"(a\n   \nb)", "(a\n\n  b)", 5, 3},          // on a blank line
      {"(a\r\n   \r\nb)", "(a\r\n\r\n  b)", 7, 4},  // on a CRLF blank line: before its \r
      {"(foo\nbar)", "(foo\n  bar)", 9, 11},         // at the end
      {"(foo\nbar)", "(foo\n  bar)", 99, 11},        // clamped
      {"x\n\ny", "xy", 3, 1},                        // code reached before the line count: before it
  };
  for (const Case& c : cases) {
    EXPECT_EQ(carry_caret(u(c.old_text), u(c.new_text), c.caret), c.want) << c.old_text << " @" << c.caret;
  }
}

TEST(FormatAll, OneWholeTextEditOrNothing) {
  Snapshot snap{U"(defn f [x]\nx)", 12, 0, 0};
  auto op = format_all_op(snap);
  ASSERT_TRUE(op);
  ASSERT_EQ(op->edits.size(), 1u);
  EXPECT_EQ(op->edits[0], (Edit{0, 14, U"(defn f [x]\n  x)"}));
  EXPECT_EQ(op->caret, 14);
  EXPECT_FALSE(op->sel);
  EXPECT_FALSE(format_all_op(Snapshot{U"(defn f [x]\n  x)", 3, 0, 0}));
}

TEST(FormatAll, AppliesTheStabilizerOverTheWholeOutput) {
  std::vector<Span> seen;
  FormatOptions options;
  options.stabilize = [&](std::u32string_view text, Offset a, Offset b) {
    seen.push_back({a, b});
    return std::u32string(text) + U")";
  };
  auto op = format_all_op(Snapshot{U"(foo\nx", 0, 0, 0}, options);
  ASSERT_TRUE(op);
  EXPECT_EQ(op->edits[0].text, U"(foo\n  x)");
  EXPECT_EQ(seen, (std::vector<Span>{{0, 8}}));
  // a stabilizer that changes nothing on formatted text: still nothing to do
  options.stabilize = [](std::u32string_view text, Offset, Offset) { return std::u32string(text); };
  EXPECT_FALSE(format_all_op(Snapshot{U"(foo\n  x)", 0, 0, 0}, options));
}

TEST(FormatSelectionOp, FormatsTheSelectionOrTheCaretsLine) {
  const std::u32string text = U"(let [a 1]\nb\nc\nd)";
  // no selection: the caret's line
  auto op = format_selection_op(Snapshot{text, 12, 0, 0});
  ASSERT_TRUE(op);
  EXPECT_EQ(op->edits[0], (Edit{0, 17, U"(let [a 1]\n  b\nc\nd)"}));
  EXPECT_EQ(op->caret, 14);
  EXPECT_FALSE(op->sel);
  // a selection from the middle of line 2 into line 3, given backwards
  op = format_selection_op(Snapshot{text, 0, 14, 12});
  ASSERT_TRUE(op);
  EXPECT_EQ(op->edits[0].text, U"(let [a 1]\n  b\n  c\nd)");
  // an empty line, or a line already formatted, does nothing
  EXPECT_FALSE(format_selection_op(Snapshot{U"(a\n\nb)", 3, 0, 0}));
  EXPECT_FALSE(format_selection_op(Snapshot{text, 3, 0, 0}));
}

TEST(FormatSelectionOp, StabilizesTheSameLinesInTheOutput) {
  std::vector<Span> seen;
  FormatOptions options;
  options.stabilize = [&](std::u32string_view text, Offset a, Offset b) {
    seen.push_back({a, b});
    return std::u32string(text);
  };
  // lines 2 and 3 of "(let [a 1]\nb\nc\nd)" are "  b" and "  c" in the output: [11, 18)
  auto op = format_selection_op(Snapshot{U"(let [a 1]\nb\nc\nd)", 0, 11, 14}, options);
  ASSERT_TRUE(op);
  EXPECT_EQ(seen, (std::vector<Span>{{11, 18}}));
  seen.clear();
  EXPECT_FALSE(format_selection_op(Snapshot{U"(a\n\nb)", 3, 0, 0}, options));
  EXPECT_TRUE(seen.empty());  // an empty range is not stabilized
}

// Token texts in order, a comment's trailing whitespace aside (trimming it is the formatter's job).
std::vector<std::u32string> token_texts(std::u32string_view text) {
  std::vector<std::u32string> out;
  for (const Token& t : tokenize(text)) {
    std::u32string s(text.substr(t.start, t.end - t.start));
    if (t.type == TokenType::Comment) {
      while (!s.empty() && (s.back() == U' ' || s.back() == U'\t' || s.back() == U'\r')) s.pop_back();
    }
    out.push_back(std::move(s));
  }
  return out;
}

size_t line_count(std::u32string_view text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), U'\n')) + 1;
}

// Half-typed and malformed texts: unbalanced and mismatched brackets, unterminated strings, stray backslashes
// and carets, lone and CRLF carriage returns, astral characters.
TEST(FormatCode, RandomMalformedTextsKeepTokensLinesAndFormatIdempotently) {
  const std::u32string_view pieces[] = {U"(", U")", U"[", U"]", U"{", U"}", U"\"", U"\\", U" ", U" ", U"\t",
                                        U"\n", U"\n", U"\r\n", U"\r", U";", U"a", U"def", U"1", U"#", U"^",
                                        U":k", U",", U"😀", U"x", U"let"};
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 8; };
  for (int round = 0; round < 3000; ++round) {
    std::u32string text;
    for (uint32_t n = next() % 40; n > 0; --n) text += pieces[next() % std::size(pieces)];
    const std::u32string once = format_code(text);
    const std::string shown = utf8(text);
    ASSERT_EQ(format_code(once), once) << shown;
    ASSERT_EQ(line_count(once), line_count(text)) << shown;
    ASSERT_EQ(token_texts(once), token_texts(text)) << shown;
    ASSERT_EQ(format_selection_text(text, 0, static_cast<Offset>(text.size())), once) << shown;
    const Offset caret = static_cast<Offset>(next() % (text.size() + 1));
    const Offset carried = carry_caret(text, once, caret);
    ASSERT_TRUE(carried >= 0 && carried <= static_cast<Offset>(once.size())) << shown;
    ASSERT_EQ(compute_smart_indent(text, caret).find_first_not_of(U' '), std::u32string::npos) << shown;
  }
}

class FormatCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    if (testing::core_clj_utf8(&error).empty()) FAIL() << error;
  }
  const std::u32string& core = testing::core_clj();
};

TEST_F(FormatCorpus, CoreCljFormatsIdempotentlyKeepingTokensAndLines) {
  const std::u32string once = format_code(core);
  EXPECT_NE(once, core);  // core.clj has trailing spaces and its own indentation style: something changes
  EXPECT_EQ(format_code(once), once);
  EXPECT_EQ(line_count(once), line_count(core));
  EXPECT_EQ(token_texts(once), token_texts(core));
}

TEST_F(FormatCorpus, IndentationDoesNotDependOnTheOldIndentation) {
  // Strip every line's indentation except inside strings: formatting gives the same text as before.
  const std::vector<LineIndent> indents = compute_line_indentations(core);
  std::u32string flat;
  size_t line = 0;
  bool at_line_start = true;
  for (char32_t c : core) {
    if (at_line_start && !indents[line].verbatim && (c == U' ' || c == U'\t')) continue;
    at_line_start = false;
    flat += c;
    if (c == U'\n') {
      ++line;
      at_line_start = true;
    }
  }
  EXPECT_EQ(format_code(flat), format_code(core));
}

}  // namespace
}  // namespace orrery
