#include "orrery/structural.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <iostream>
#include <random>
#include <set>

#include "kelp/data/string.hpp"
#include "orrery/command_registry.hpp"
#include "orrery/edit.hpp"
#include "orrery/syntax.hpp"
#include "support/corpus.hpp"

namespace orrery::structural {
namespace {

// Texts in the tests mark the caret with | and a selection with « and ».
Snapshot snap(std::string_view marked) {
  std::u32string in = kelp::to_u32(marked), text;
  Snapshot s;
  for (char32_t c : in) {
    const Offset at = static_cast<Offset>(text.size());
    if (c == U'|') s.caret = s.sel_start = s.sel_end = at;
    else if (c == U'«') s.sel_start = at;
    else if (c == U'»') s.caret = s.sel_end = at;
    else text.push_back(c);
  }
  s.text = std::move(text);
  return s;
}

std::string render(const Snapshot& before, const std::optional<Result>& r) {
  if (!r) return "nil";
  auto text = apply_edits(before.text, r->op.edits);
  if (!text) return "bad edits";
  std::vector<std::pair<Offset, char32_t>> marks;
  if (r->op.sel && r->op.sel->start != r->op.sel->end) {
    marks = {{r->op.sel->end, U'»'}, {r->op.sel->start, U'«'}};
  } else {
    marks = {{r->op.caret, U'|'}};
  }
  for (auto [at, mark] : marks) {
    if (at < 0 || at > static_cast<Offset>(text->size())) return "caret out of the text";
    text->insert(text->begin() + at, mark);
  }
  return kelp::to_utf8(*text);
}

std::optional<Result> run(std::string_view op, const Snapshot& s) {
  const Operation* found = find_operation(op);
  if (!found) throw std::invalid_argument("no operation " + std::string(op));
  return found->run(s);
}

struct Case {
  const char* op;
  const char* before;
  const char* after;
  const char* copy = nullptr;  // the clipboard text a kill or copy must answer
};

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    Snapshot s = snap(c.before);
    auto r = run(c.op, s);
    EXPECT_EQ(render(s, r), c.after) << c.op << " on " << c.before;
    if (c.copy && r) {
      EXPECT_EQ(r->copy ? kelp::to_utf8(*r->copy) : "no copy", c.copy) << c.op << " on " << c.before;
    }
  }
}

TEST(Structural, SlurpAndBarf) {
  check({
      {"slurp-forward", "(a|) b", "(a| b)"},
      {"slurp-forward", "((a|)) b", "((a|) b)"},  // the inner list has nothing after it: the outer one slurps
      {"slurp-forward", "(a|) ; note\n b", "(a| ; note\n b)"},
      {"slurp-forward", "[(a|) #{b}]", "[(a| #{b})]"},
      {"slurp-forward", "(a|)", "nil"},
      {"slurp-forward", "\"(x|\" y", "nil"},  // a bracket in a string is no list
      {"barf-forward", "(a| b)", "(a|) b"},
      {"barf-forward", "(a b|)", "(a) b|"},
      {"barf-forward", "(|a)", "(|) a"},
      {"barf-forward", "(|)", "nil"},
      {"slurp-backward", "a (|b)", "(a |b)"},
      {"slurp-backward", "a '(|b)", "'(a |b)"},
      {"slurp-backward", "a ((|b))", "(a (|b))"},
      {"slurp-backward", "(|b)", "nil"},
      {"barf-backward", "(a |b)", "a (|b)"},
      {"barf-backward", "(a| b)", "a| (b)"},
      {"barf-backward", "^:m #{a |b}", "a ^:m #{|b}"},
      {"barf-backward", "(a|)", "a| ()"},
  });
}

TEST(Structural, RaiseSpliceConvolute) {
  check({
      {"raise", "(a |b c)", "|b"},
      {"raise", "(x (a |b c) y)", "(x |b y)"},
      {"raise", "[x| y]", "x|"},
      {"raise", "f(a |b)g", "f |b g"},  // never glued to its neighbours
      {"raise", "x|", "nil"},
      {"splice", "(a |b)", "a |b"},
      {"splice", "(x (a)| b)", "x (a)| b"},  // right after a closer is outside that list
      {"splice", "(a)|", "nil"},
      {"splice", "#{1 |2}", "1 |2"},
      {"splice", "^:m (a |b)", "^:m a |b"},  // metadata stays rather than vanish
      {"splice", "x(|a)", "x |a"},
      {"splice-killing-forward", "(a |b c)", "a |", "b c"},
      {"splice-killing-backward", "(a |b c)", "|b c", "a "},
      {"splice-killing-forward", "(a \"b|c\")", "nil"},
      {"convolute", "(let [x 1] (frob |a b))", "(frob (let [x 1] |a b))"},
      {"convolute", "(let [x 1]\n  (frob ; why\n   |a))", "(frob ; why\n(let [x 1]\n  |a))"},
      {"convolute", "(let [x] (fr|ob a))", "nil"},  // never through a symbol
      {"convolute", "(frob |a)", "nil"},
  });
}

TEST(Structural, WrapAndRewrap) {
  check({
      {"wrap-round", "(a |b)", "(a (|b))"},
      {"wrap-round", "foo|", "(foo|)"},
      {"wrap-square", "'|x", "['|x]"},
      {"wrap-curly", "(a |)", "(a {|})"},
      {"wrap-set", "|x", "#{|x}"},
      {"wrap-quote", "|(str \"x\\n\")", "\"|(str \\\"x\\\\n\\\")\""},
      {"wrap-round", "(a ; c|\n)", "nil"},  // an empty pair never goes into a comment
      {"rewrap-square", "(1 |2)", "[1 |2]"},
      {"rewrap-round", "#{1 |2}", "(1 |2)"},
      {"rewrap-set", "'(1 |2)", "'#{1 |2}"},
      {"rewrap-set", "#(1 |2)", "#{1 |2}"},
      {"rewrap-curly", "x|", "nil"},
      {"rewrap-round", "(1 |2)", "nil"},
  });
}

TEST(Structural, DragTransposeJoinSplit) {
  check({
      {"drag-forward", "(|a b c)", "(b |a c)"},
      {"drag-forward", "(a b |c)", "nil"},
      {"drag-backward", "(a |bb c)", "(|bb a c)"},
      {"drag-backward", "(|a b)", "nil"},
      {"drag-forward", "(f |inc' 0)", "(f 0 |inc')"},            // the quote is part of the symbol
      {"drag-forward", "[^\"[C\" |buf 1]", "[1 ^\"[C\" |buf]"},  // a string type hint goes with its form
      {"transpose", "(a |b)", "(b a|)"},
      {"transpose", "(x  |[y z])", "([y z]  x|)"},
      {"transpose", "(|a b)", "nil"},
      {"join", "(a)| (b)", "(a| b)"},
      {"join", "[a] |[b]", "[a| b]"},
      {"join", "\"ab\"| \"cd\"", "\"ab|cd\""},  // no space inside the string
      {"join", "(a) ; c\n|(b)", "(a| ; c\nb)"},
      {"join", "\"ab\" ; c\n|\"cd\"", "nil"},
      {"join", "(a)| [b]", "nil"},
      {"join", "(a)| ^:m (b)", "nil"},
      {"join", "a| b", "nil"},
      {"split", "(a |b)", "(a)| (b)"},
      {"split", "'[x| y]", "'[x]| '[y]"},
      {"split", "\"ab|cd\"", "\"ab\"| \"cd\""},
      {"split", "\"a\\|\"b\"", "\"a\"| \"\\\"b\""},  // never between a backslash and what it escapes
      {"split", "\"\\u00|e9\"", "\"\"| \"\\u00e9\""},
      {"split", "(fo|o)", "nil"},
      {"split", "x| y", "nil"},
  });
}

TEST(Structural, Kills) {
  check({
      {"kill-form", "(a |b c)", "(a |c)", "b"},
      {"kill-form", "(a b |c)", "(a b|)", "c"},
      {"kill-form", "(a |b ; keep\n c)", "(a |; keep\n c)", "b"},
      {"kill-form", "(a ; keep\n |b)", "(a ; keep|\n)", "b"},  // the closer never joins the comment's line
      {"kill-form", "(a b|)", "nil"},
      {"kill-form-backward", "(a b|)", "(a |)", "b"},
      {"kill-form-backward", "(a| b)", "(| b)", "a"},
      {"kill-form-backward", "(|a)", "nil"},
      {"kill-right", "(a |b c) d", "(a |) d", "b c"},
      {"kill-right", "|(a\n b) c\nd", "| c\nd", "(a\n b)"},
      {"kill-right", "(foo |#_(a\n b) c)", "(foo | c)", "#_(a\n b)"},
      {"kill-right", "(x \"ab|cd\" y)", "(x \"ab|\" y)", "cd"},
      {"kill-right", "(x \"a\\|\"b\")", "(x \"a|\")", "\\\"b"},  // never through an escape
      {"kill-right", "(a |b ; c\n d)", "(a |\n d)", "b ; c"},
      {"kill-right", "(a|\n b)", "nil"},
      {"kill-left", "(a b|)", "(|)", "a b"},
      {"kill-left", "x (a\n b) c|", "x |", "(a\n b) c"},
      {"kill-left", "(let [x 1]\n  (f| y))", "(let [x 1]\n  (| y))", "f"},
      {"kill-left", "\"ab|cd\"", "\"|cd\"", "ab"},
      {"kill-left", "(a ; co|mment\n)", "(a ;|mment\n)", " co"},
      {"kill-list-forward", "(a |b c)", "(a |)", "b c"},
      {"kill-list-forward", "(a \"b|c\" d)", "(a \"b|\" d)", "c"},
      {"kill-list-forward", "(a ; x|y\n b)", "(a ; x|\n b)", "y"},
      {"kill-list-forward", "|a b", "nil"},
      {"kill-list-backward", "(a b |c)", "(|c)", "a b "},
      {"copy-form", "(a |b)", "(a |b)", "b"},
      {"copy-form", "|", "nil"},
  });
}

TEST(Structural, Moves) {
  check({
      {"forward", "(|a b)", "(a| b)"},
      {"forward", "(a b|)", "(a b)|"},
      {"forward", "x|", "nil"},
      {"backward", "(a b|)", "(a |b)"},
      {"backward", "(|a)", "|(a)"},
      {"up", "(a (b |c))", "(a |(b c))"},
      {"up", "|a", "nil"},
      {"down", "|x (a (b))", "x (|a (b))"},
      {"down", "(a |b)", "nil"},
      {"forward-up", "(a (b |c) d)", "(a (b c)| d)"},
      {"backward-down", "(a) b|", "(a|) b"},
      {"backward-down", "a b|", "nil"},
      {"list-start", "(a b |c)", "(|a b c)"},
      {"list-end", "[|a b]", "[a b|]"},
      {"select-forward", "(|a b c)", "(«a» b c)"},
      {"select-forward", "(«a» b c)", "(«a b» c)"},
      {"select-forward", "(a b c|)", "nil"},
      {"select-backward", "(a b c|)", "(a b «c»)"},
      {"select-backward", "(a «b»)", "(«a b»)"},
  });
}

TEST(Structural, NothingAppliesInsideAListNeverClosed) {
  for (const char* text : {"(a (b|) c", "(x) (a [b c|]", "(a|"}) {
    forget_selection();
    for (const Operation& op : operations()) {
      Snapshot s = snap(text);
      EXPECT_EQ(render(s, op.run(s)), "nil") << op.name << " on " << text;
    }
  }
}

TEST(Structural, ExpandAndShrinkWalkOneHistory) {
  forget_selection();
  Snapshot s = snap("(a (b |c))");
  std::vector<std::string> seen;
  for (int i = 0; i < 4; ++i) {
    auto r = expand_selection(s);
    seen.push_back(render(s, r));
    if (!r) break;
    s.sel_start = r->op.sel->start;
    s.sel_end = s.caret = r->op.sel->end;
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"(a (b «c»))", "(a «(b c)»)", "«(a (b c))»", "nil"}));

  seen.clear();
  for (int i = 0; i < 4; ++i) {
    auto r = shrink_selection(s);
    seen.push_back(render(s, r));
    if (!r) break;
    s.sel_start = r->op.sel->start;
    s.sel_end = s.caret = r->op.sel->end;
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"(a «(b c)»)", "(a (b «c»))", "(a (b |c))", "nil"}));

  // After any other edit or selection change the history is stale and Shrink has nothing to go back to.
  Snapshot grown_once = snap("(a (b |c))");
  auto r = expand_selection(grown_once);
  ASSERT_TRUE(r);
  Snapshot typed = snap("(a (b «cx»))");
  EXPECT_FALSE(shrink_selection(typed));
  Snapshot elsewhere = snap("(a «(b c)»)");
  EXPECT_FALSE(shrink_selection(elsewhere));
  forget_selection();
  EXPECT_FALSE(shrink_selection(snap("(a (b «c»))")));
}

TEST(Structural, EveryOperationIsAnEditorCommandWithItsDoc) {
  const auto& commands = command_registry::editor_commands();
  std::map<std::string, std::string> ours;
  for (const Operation& op : operations()) {
    ours[std::string(op.name)] = std::string(op.doc);
    const auto* c = commands.find("paredit/" + std::string(op.name));
    ASSERT_NE(c, nullptr) << op.name;
    EXPECT_EQ(c->doc, op.doc);
    EXPECT_TRUE(c->run) << op.name;
  }
  EXPECT_EQ(ours.size(), operations().size()) << "an operation is listed twice";
  for (const auto& c : commands.all()) {
    if (c.id.rfind("paredit/", 0) != 0) continue;
    EXPECT_TRUE(ours.count(c.id.substr(8))) << c.id << " has no operation";
  }
  EXPECT_EQ(find_operation("wrap-quote")->label, "Wrap in \"\"");
}

// --- Every operation over Clojure's own core.clj --------------------------------------------------------------

using TokenBag = std::map<std::pair<TokenType, std::u32string>, int>;

TokenBag bag(std::u32string_view text, bool with_strings) {
  TokenBag out;
  for (const Token& t : tokenize(text)) {
    if (t.type == TokenType::Bracket || (!with_strings && t.type == TokenType::String)) continue;
    ++out[{t.type, std::u32string(text.substr(t.start, t.end - t.start))}];
  }
  return out;
}

// The tokens of `before` lying wholly outside every removed span must all still be in `after`.
std::string lost_tokens(std::u32string_view before, const std::vector<Edit>& edits, std::u32string_view after) {
  TokenBag kept = bag(after, true);
  std::string lost;
  for (const Token& t : tokenize(before)) {
    if (t.type == TokenType::Bracket) continue;
    bool touched = std::any_of(edits.begin(), edits.end(), [&](const Edit& e) {
      return e.start < e.end && t.start < e.end && e.start < t.end;
    });
    if (touched) continue;
    auto key = std::make_pair(t.type, std::u32string(before.substr(t.start, t.end - t.start)));
    if (kept[key]-- <= 0) lost += kelp::to_utf8(key.second) + " ";
  }
  return lost;
}

TEST(Structural, EveryOperationOnCoreKeepsBracketsAndTokens) {
  const std::u32string& core = testing::core_clj();
  if (core.empty()) GTEST_SKIP() << "clojure/core.clj is not to be had from " << testing::CLOJURE_JAR;
  // Operations that may remove forms; the rest only move text, so every token stays.
  const std::set<std::string_view> removing = {"raise",     "kill-form",         "kill-form-backward",
                                               "kill-right", "kill-left",        "kill-list-forward",
                                               "kill-list-backward", "splice-killing-forward",
                                               "splice-killing-backward"};
  std::mt19937 random(20240611);
  int64_t applied = 0, runs = 0, forms = 0;
  for (const FormNode& top : top_level_forms(core)) {
    ++forms;
    const std::u32string text = core.substr(top.start, top.end - top.start);
    for (int k = 0; k < 3; ++k) {
      Offset caret = std::uniform_int_distribution<Offset>(0, static_cast<Offset>(text.size()))(random);
      Snapshot s{text, caret, caret, caret};
      forget_selection();
      for (const Operation& op : operations()) {
        ++runs;
        auto r = op.run(s);
        if (!r) continue;
        ++applied;
        const std::string where = std::string(op.name) + " at " + std::to_string(caret) + " in\n" + kelp::to_utf8(text);
        auto after = apply_edits(text, r->op.edits);
        ASSERT_TRUE(after) << where;
        ASSERT_GE(r->op.caret, 0) << where;
        ASSERT_LE(r->op.caret, static_cast<Offset>(after->size())) << where;
        ASSERT_TRUE(compute_brackets(*after).unmatched.empty()) << where << "\nbecame\n" << kelp::to_utf8(*after);
        if (op.name == "wrap-quote") continue;  // the form becomes a string's text
        if (removing.count(op.name)) {
          ASSERT_EQ(lost_tokens(text, r->op.edits, *after), "") << where << "\nbecame\n" << kelp::to_utf8(*after);
          // A kill's clipboard holds exactly what it removed (Kill Form's holds the form without its gap).
          if (op.name.starts_with("kill-") && op.name != "kill-form") {
            ASSERT_TRUE(r->copy && r->op.edits.size() == 1) << where;
            const Edit& e = r->op.edits.front();
            EXPECT_EQ(*r->copy, text.substr(e.start, e.end - e.start)) << where;
          }
        } else {
          // Splitting or joining a string changes its pieces, never anything else.
          const bool strings = op.name != "split" && op.name != "join";
          ASSERT_EQ(bag(text, strings), bag(*after, strings)) << where << "\nbecame\n" << kelp::to_utf8(*after);
        }
      }
    }
  }
  EXPECT_GT(forms, 500);
  EXPECT_GT(applied, runs / 4) << "too few operations applied for the sample to mean much";
  std::cout << "[ core.clj ] " << forms << " forms, " << runs << " runs, " << applied << " applied\n";
}

}  // namespace
}  // namespace orrery::structural
