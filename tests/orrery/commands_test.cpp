#include "orrery/commands.hpp"

#include <gtest/gtest.h>

#include "kelp/data/string.hpp"

namespace orrery {
namespace {

std::u32string u32(std::string_view s) { return kelp::to_u32(s); }

// Forms rendered as their text; a bracketed form's kids follow in braces: "(a (b))" -> "(a (b)){a (b){b}}".
std::string render(std::u32string_view text, const std::vector<FormNode>& forms) {
  std::string out;
  for (const FormNode& f : forms) {
    if (!out.empty()) out += ' ';
    out += kelp::to_utf8(text.substr(f.start, f.end - f.start));
    if (f.bracketed()) out += "{" + render(text, f.kids) + "}";
  }
  return out;
}

TEST(FormTree, PrefixesMetadataAndDiscards) {
  struct Case {
    const char* text;
    const char* forms;
  } cases[] = {
      {"", ""},
      {"  \n ", ""},
      {"(a (b) [c])", "(a (b) [c]){a (b){b} [c]{c}}"},
      {"(a (b) (c)", ""},                    // unclosed: nothing from the first unclosed bracket on
      {"(x) (a (b)", "(x){x}"},
      {") (a)", "(a){a}"},
      {"(a ] b)", "(a ] b){a b}"},
      {"#_ (x) (y)", "(y){y}"},
      {"#_foo bar", "#_foo bar"},           // `_foo` is an ordinary symbol, `#` its prefix
      {"#_ #_ a b c", "c"},
      {"(f #_ x) (g #_) (h)", "(f #_ x){f} (g #_){g} (h){h}"},  // a pending discard dies with its frame
      {"'(a) `b ~c ~@d @e #'f", "'(a){a} `b ~c ~@d @e #'f"},
      {"#{1} #(f %) #\"re\"", "#{1}{1} #(f %){f %} #\"re\""},
      {"#?(:clj 1 :cljs 2) #?@(:clj [3])", "#?(:clj 1 :cljs 2){:clj 1 :cljs 2} #?@(:clj [3]){:clj [3]{3}}"},
      {"^:a ^:b (def x 1)", "^:a ^:b (def x 1){def x 1}"},
      {"^{:doc \"d\"} x ^[a] y", "^{:doc \"d\"} x ^[a] y"},
      {"#_ ^:m x y", "y"},
      {"(a ; (b\n c)", "(a ; (b\n c){a c}"},
      {"(a)\r\n\r\n(b \\))\r\n", "(a){a} (b \\)){b \\)}"},
      {"(\"😀\" x) y", "(\"😀\" x){\"😀\" x} y"},
  };
  for (const Case& c : cases) {
    std::u32string text = u32(c.text);
    EXPECT_EQ(render(text, top_level_forms(text)), c.forms) << c.text;
  }
}

TEST(FormTree, StartIncludesMetadataButOpenIsTheBracket) {
  std::u32string text = u32("  ^:private (defn f [] 1)");
  auto forms = top_level_forms(text);
  ASSERT_EQ(forms.size(), 1u);
  EXPECT_EQ(forms[0].start, 2);
  EXPECT_EQ(forms[0].open, 12);
  EXPECT_EQ(forms[0].end, 25);
  // An emoji before a form moves its offsets by exactly one.
  auto shifted = top_level_forms(u32("😀 (a)"));
  ASSERT_EQ(shifted.size(), 1u);
  EXPECT_EQ(shifted[0].open, 2);
}

TEST(RunForm, FormAtTheCaret) {
  struct Case {
    const char* text;
    Offset caret;
    const char* target;  // nullptr: nothing runs
  } cases[] = {
      {"(a)(b)", 3, "(b)"},
      {"(a)(b)", 6, "(b)"},
      {"(a)(b)", 1, "(a)"},
      {"(a) (b)", 4, "(b)"},
      {"(a) (b)", 3, "(a)"},
      {"(a)\n\n(b)", 4, nullptr},
      {"(a) ; note\n(b)", 6, nullptr},
      {"  ", 0, nullptr},
      {"^:x (f 1)", 1, "^:x (f 1)"},
      {"'(a b)", 3, "'(a b)"},
      {"(comment (+ 1 2) (inc 3))", 12, "(+ 1 2)"},
      {"(comment (+ 1 2) (inc 3))", 3, nullptr},   // on `comment`
      {"(comment (+ 1 2) (inc 3))", 17, "(inc 3)"},
      {"(comment (+ 1 2)  (inc 3))", 17, nullptr},  // between the inner forms
      {"(comment (+ 1 2) (inc 3))", 25, nullptr},   // right after the block
      {"(comment (f (g x)))", 15, "(f (g x))"},      // the block's direct child, however deep the caret
      {"^:x (comment (a))", 14, "^:x (comment (a))"},
      {"(a (b)", 4, nullptr},
  };
  for (const Case& c : cases) {
    std::u32string text = u32(c.text);
    auto target = run_form(text, c.caret);
    if (!c.target) {
      EXPECT_FALSE(target) << c.text << " @" << c.caret;
    } else {
      ASSERT_TRUE(target) << c.text << " @" << c.caret;
      EXPECT_EQ(kelp::to_utf8(target->text), c.target) << c.text << " @" << c.caret;
      EXPECT_EQ(std::u32string_view(text).substr(target->start, target->end - target->start), target->text);
    }
  }
}

TEST(RunForm, CommentBlockRecognition) {
  std::u32string text = u32("(comment 1) '(comment 2) (comments 3) [comment 4]");
  auto forms = top_level_forms(text);
  ASSERT_EQ(forms.size(), 4u);
  EXPECT_TRUE(is_comment_form(text, forms[0]));
  EXPECT_FALSE(is_comment_form(text, forms[1]));
  EXPECT_FALSE(is_comment_form(text, forms[2]));
  EXPECT_FALSE(is_comment_form(text, forms[3]));
}

TEST(PreRunProblem, NamesTheFirstBracketProblem) {
  struct Case {
    const char* text;
    const char* problem;  // nullptr: none
  } cases[] = {
      {"(foo \\) ; (\n)", nullptr},
      {"(a \")\" [b])", nullptr},
      {"", nullptr},
      {"(a)\n\n(b\n", "The ( on line 3 is never closed."},
      {"]", "The ] on line 1 has no matching opener."},
      {"(]", "The ( on line 1 is never closed."},
      {"(a)\r\n}", "The } on line 2 has no matching opener."},
      {"(a \"b)", "The ( on line 1 is never closed."},  // the unterminated string swallows the closer
      {"{[\n]", "The { on line 1 is never closed."},
  };
  for (const Case& c : cases) {
    auto problem = pre_run_problem(u32(c.text));
    if (!c.problem) {
      EXPECT_FALSE(problem) << c.text;
    } else {
      EXPECT_EQ(problem.value_or("(none)"), c.problem) << c.text;
    }
  }
}

Snapshot snap(std::string_view text, Offset caret, Offset sel_start = 0, Offset sel_end = 0) {
  return Snapshot{u32(text), caret, sel_start, sel_end};
}

TEST(RunSelectionText, SelectionElseCaretLine) {
  EXPECT_EQ(run_selection_text(snap("(a)\n(b c)\n", 0, 5, 8)), U"b c");
  EXPECT_EQ(run_selection_text(snap("(a)\n(b c)\n", 0, 8, 5)), U"b c");  // dragged backwards
  EXPECT_EQ(run_selection_text(snap("(a)\n(b c)\n", 6)), U"(b c)");
  EXPECT_EQ(run_selection_text(snap("(a)\n(b c)", 4)), U"(b c)");         // at the start of the last line
  EXPECT_EQ(run_selection_text(snap("(a)\n(b c)", 3)), U"(a)");           // at the end of the first
  EXPECT_FALSE(run_selection_text(snap("(a)\n  \n(b)", 5)));             // a blank line sends nothing
  EXPECT_FALSE(run_selection_text(snap("(a) ", 0, 3, 4)));
  EXPECT_FALSE(run_selection_text(snap("", 0)));
}

TEST(FindStepping, WrapsAtEitherEnd) {
  std::vector<Span> m = {{2, 4}, {6, 8}, {10, 12}};
  EXPECT_EQ(next_match(m, 0), (Span{2, 4}));
  EXPECT_EQ(next_match(m, 6), (Span{6, 8}));
  EXPECT_EQ(next_match(m, 7), (Span{10, 12}));
  EXPECT_EQ(next_match(m, 11), (Span{2, 4}));
  EXPECT_EQ(prev_match(m, 8), (Span{6, 8}));
  EXPECT_EQ(prev_match(m, 7), (Span{2, 4}));
  EXPECT_EQ(prev_match(m, 3), (Span{10, 12}));
  EXPECT_FALSE(next_match({}, 0));
  EXPECT_FALSE(prev_match({}, 0));
}

TEST(Replace, CurrentSelectsTheNextMatchInTheEditedText) {
  // "ab ab ab": replacing the middle "ab" with "xyz" selects the last one, one character further on.
  std::vector<Span> m = {{0, 2}, {3, 5}, {6, 8}};
  auto op = replace_current(snap("ab ab ab", 5, 3, 5), m, U"xyz");
  ASSERT_TRUE(op);
  EXPECT_EQ(op->edits, (std::vector<Edit>{{3, 5, U"xyz"}}));
  EXPECT_EQ(op->sel, (Span{7, 9}));
  EXPECT_EQ(op->caret, 9);
  // The last match wraps to the first, which the edit does not move.
  auto wrapped = replace_current(snap("ab ab ab", 8, 6, 8), m, U"");
  EXPECT_EQ(wrapped->sel, (Span{0, 2}));
  // The only match: the caret goes after the replacement.
  auto only = replace_current(snap("ab", 2, 0, 2), {{0, 2}}, U"xyz");
  EXPECT_EQ(only->caret, 3);
  EXPECT_EQ(only->sel, (Span{3, 3}));
  // A selection that is no match, or none at all, replaces nothing.
  EXPECT_FALSE(replace_current(snap("ab ab ab", 4, 3, 4), m, U"x"));
  EXPECT_FALSE(replace_current(snap("ab ab ab", 3), m, U"x"));
}

TEST(Replace, AllInOneStep) {
  auto all = replace_all({{0, 2}, {3, 5}}, U"xyz");
  ASSERT_TRUE(all);
  EXPECT_EQ(all->count, 2);
  EXPECT_EQ(all->op.edits, (std::vector<Edit>{{0, 2, U"xyz"}, {3, 5, U"xyz"}}));
  EXPECT_EQ(all->op.caret, 3);
  EXPECT_FALSE(all->op.sel);
  EXPECT_FALSE(replace_all({}, U"x"));
}

TEST(Zoom, StepsThroughTheSizes) {
  struct Case {
    int from;
    ZoomDirection dir;
    int to;
  } cases[] = {
      {13, ZoomDirection::In, 14}, {14, ZoomDirection::In, 16}, {15, ZoomDirection::In, 16},
      {32, ZoomDirection::In, 32}, {40, ZoomDirection::In, 32}, {13, ZoomDirection::Out, 12},
      {15, ZoomDirection::Out, 14}, {9, ZoomDirection::Out, 9}, {3, ZoomDirection::Out, 9},
      {28, ZoomDirection::Reset, 13},
  };
  for (const Case& c : cases) EXPECT_EQ(zoom(c.from, c.dir), c.to) << c.from;
}

}  // namespace
}  // namespace orrery
