#include "orrery/paint.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "kelp/data/string.hpp"
#include "support/corpus.hpp"

namespace orrery {
namespace {

std::u32string u32(std::string_view s) { return kelp::to_u32(s); }

// "[:keyword 0 2] [[:rainbow 0] 3 4]"
std::string show(std::span<const PaintSpan> plan) {
  std::string out;
  for (const PaintSpan& s : plan) {
    if (!out.empty()) out += ' ';
    out += "[" + style_key_name(s.key) + " " + std::to_string(s.start) + " " + std::to_string(s.end) + "]";
  }
  return out;
}

TEST(PaintPlan, TokenSpansThenBracketSpans) {
  struct Case {
    const char* text;
    const char* plan;
  };
  const Case cases[] = {
      // a closer without a partner is red; the opener it failed to close keeps its depth colour
      {"(a]", "[[:rainbow 0] 0 1] [:unmatched 2 3]"},
      // brackets inside a comment are the comment's
      {"; (a [b)\n(c)", "[:comment 0 8] [[:rainbow 0] 9 10] [[:rainbow 0] 11 12]"},
      // symbols get no span; every other kind does
      {"(map f #\"x\" \\a ^:p nil 1.5 :k \"s\")",
       "[:builtin 1 4] [:regex 7 11] [:char 12 14] [:metatag 15 18] [:constant 19 22] [:number 23 26] "
       "[:keyword 27 29] [:string 30 33] [[:rainbow 0] 0 1] [[:rainbow 0] 33 34]"},
      // an emoji is one character: everything after it moves by one, not two
      {"\"😀\" :k [😀]", "[:string 0 3] [:keyword 4 6] [[:rainbow 0] 7 8] [[:rainbow 0] 9 10]"},
      // CRLF line ends: a comment runs to the line feed, so it holds the \r; other tokens stop before it
      {"(def x 1)\r\n; c\r\n:a\r\n",
       "[:special-form 1 4] [:number 7 8] [:comment 11 15] [:keyword 16 18] [[:rainbow 0] 0 1] [[:rainbow 0] 8 9]"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(paint_plan(u32(c.text))), c.plan) << c.text;
  }
}

TEST(PaintPlan, RainbowColourIsDepthModSevenAndUnclosedOpenersKeepTheirs) {
  auto plan = paint_plan(std::u32string(U"(((((((((x))))))))"));  // nine openers, the last unclosed
  ASSERT_EQ(plan.size(), 17u);
  EXPECT_EQ(plan[8], (PaintSpan{StyleKey::rainbow(8), 8, 9}));
  EXPECT_EQ(plan[8].key, StyleKey::rainbow(1));
  EXPECT_EQ(plan[9], (PaintSpan{StyleKey::rainbow(1), 10, 11}));  // the closer right after x closes depth 8
  EXPECT_EQ(plan[0].key, StyleKey::rainbow(0));   // the outermost opener is never closed
  EXPECT_EQ(plan[16], (PaintSpan{StyleKey::rainbow(1), 17, 18}));
}

TEST(PaintPlan, CachedAndUncachedPlansAgree) {
  TextPtr text = make_text(U"(defn f [x] (inc x)) ; done\n#\"re\"");
  EXPECT_EQ(paint_plan(text), paint_plan(std::u32string_view(*text)));
  EXPECT_EQ(paint_plan(text), paint_plan(text));
  EXPECT_TRUE(paint_plan(TextPtr{}).empty());
}

// The cljd profile's extra special forms, as the dialect profiles supply them.
WordSets cljd_words() {
  WordSets w = kelp_word_sets();
  w.id = "cljd";
  for (auto s : {U".", U"new", U"letfn", U"dart/await", U"await", U"widget", U"f/widget"}) w.special_forms.emplace(s);
  return w;
}

WordSets jank_words() {
  WordSets w = kelp_word_sets();
  w.id = "jank";
  for (auto s : {U"let*", U"loop*", U"cpp/raw", U"cpp/box"}) w.special_forms.emplace(s);
  return w;
}

TEST(PaintPlan, ADialectPaintsItsOwnWordsButConstantsStay) {
  std::u32string text = U"(await (widget x) nil true false :await map)";
  EXPECT_EQ(show(paint_plan(text)),
            "[:constant 18 21] [:constant 22 26] [:constant 27 32] [:keyword 33 39] [:builtin 40 43] "
            "[[:rainbow 0] 0 1] [[:rainbow 1] 7 8] [[:rainbow 1] 16 17] [[:rainbow 0] 43 44]");
  WordSets cljd = cljd_words();
  EXPECT_EQ(show(paint_plan(text, &cljd)),
            "[:special-form 1 6] [:special-form 8 14] [:constant 18 21] [:constant 22 26] [:constant 27 32] "
            "[:keyword 33 39] [:builtin 40 43] "
            "[[:rainbow 0] 0 1] [[:rainbow 1] 7 8] [[:rainbow 1] 16 17] [[:rainbow 0] 43 44]");
  WordSets jank = jank_words();
  EXPECT_EQ(show(paint_plan(std::u32string(U"(let* [a nil] (cpp/raw \"\"))"), &jank)),
            "[:special-form 1 5] [:constant 9 12] [:special-form 15 22] [:string 23 25] "
            "[[:rainbow 0] 0 1] [[:rainbow 1] 6 7] [[:rainbow 1] 12 13] [[:rainbow 1] 14 15] [[:rainbow 1] 25 26] "
            "[[:rainbow 0] 26 27]");
}

TEST(Reclassify, UsesTheProfilesWordsForSymbolLikeTokensOnly) {
  std::u32string text = U"defn map await nil :defn";
  WordSets odd;  // a dialect whose only special form is map and whose only builtin is defn
  odd.id = "odd";
  odd.special_forms.emplace(U"map");
  odd.builtins.emplace(U"defn");
  struct Case {
    Token in;
    TokenType out;
  };
  const Case cases[] = {
      {{TokenType::SpecialForm, 0, 4}, TokenType::Builtin},
      {{TokenType::Builtin, 5, 8}, TokenType::SpecialForm},
      {{TokenType::Symbol, 9, 14}, TokenType::Symbol},
      {{TokenType::Constant, 15, 18}, TokenType::Constant},
      {{TokenType::Keyword, 19, 24}, TokenType::Keyword},
  };
  for (const Case& c : cases) {
    Token got = reclassify(odd, c.in, text);
    EXPECT_EQ(got, (Token{c.out, c.in.start, c.in.end})) << c.in.start;
  }
}

TEST(Reclassify, KelpWordsAreTheScannersWords) {
  const WordSets& kelp = kelp_word_sets();
  EXPECT_EQ(kelp.special_forms.size(), 52u);
  EXPECT_EQ(kelp.builtins.size(), 134u);
  for (const auto& w : kelp.special_forms) EXPECT_TRUE(is_special_form_word(w)) << kelp::to_utf8(w);
  for (const auto& w : kelp.builtins) EXPECT_TRUE(is_core_builtin_word(w)) << kelp::to_utf8(w);
  // Repainting with kelp's words under another id changes nothing on a real file.
  WordSets same = kelp;
  same.id = "clj";
  std::u32string_view core = testing::core_clj();
  ASSERT_FALSE(core.empty());
  EXPECT_EQ(paint_plan(core, &same), paint_plan(core));
}

PaintTheme light() {
  PaintTheme t;
  t.text = "#24292f";
  t.red = "#cf222e";
  t.tokens = {{"comment", "#8c95a0"}, {"string", "#0a3069"}, {"keyword", "#cf222e"}, {"number", "#0550ae"}};
  t.rainbow = {"#953800", "#0550ae", "#6639ba", "#116329", "#0a3069", "#a54a85", "#9a6700"};
  return t;
}

TEST(Style, ColoursAndFlagsByKey) {
  PaintTheme t = light();
  EXPECT_EQ(style(t, StyleKey::token(TokenType::Comment)), (StyleMap{"#8c95a0", false, true}));
  EXPECT_EQ(style(t, StyleKey::token(TokenType::Keyword)), (StyleMap{"#cf222e", false, false}));
  EXPECT_EQ(style(t, StyleKey::token(TokenType::Metatag)), (StyleMap{"#24292f", false, false}));  // no colour
  EXPECT_EQ(style(t, StyleKey::rainbow(9)), (StyleMap{"#6639ba", false, false}));
  EXPECT_EQ(style(t, StyleKey::unmatched()), (StyleMap{"#cf222e", true, false}));
  EXPECT_FALSE(token_style(TokenType::Symbol));
  EXPECT_FALSE(token_style(TokenType::Bracket));
}

TEST(Style, StyleAtIsTheLastSpanCoveringThePosition) {
  PaintTheme t = light();
  std::u32string text = U"(f \"s\" ;c\n)]";
  PaintPlan plan = paint_plan(text);
  struct Case {
    Offset pos;
    std::optional<StyleMap> style;
  };
  const Case cases[] = {
      {0, StyleMap{"#953800", false, false}}, {1, std::nullopt},  // f is a plain symbol
      {3, StyleMap{"#0a3069", false, false}}, {5, StyleMap{"#0a3069", false, false}},
      {6, std::nullopt},                      {7, StyleMap{"#8c95a0", false, true}},
      {10, StyleMap{"#953800", false, false}}, {11, StyleMap{"#cf222e", true, false}},
      {12, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(style_at(t, plan, c.pos), c.style) << c.pos;
  // Where spans overlap the later one wins.
  PaintPlan overlapping{{StyleKey::token(TokenType::String), 0, 5}, {StyleKey::rainbow(1), 2, 3}};
  EXPECT_EQ(style_at(t, overlapping, 2)->fg, "#0550ae");
  EXPECT_EQ(style_at(t, overlapping, 3)->fg, "#0a3069");
}

// ----- plan_diff -------------------------------------------------------------------------------------------------

std::optional<PlanDiff> diff(std::u32string_view a, std::u32string_view b, std::optional<EditBounds> bounds) {
  PaintPlan pa = paint_plan(a), pb = paint_plan(b);
  return plan_diff({a, pa, b, pb, bounds});
}

TEST(PlanDiff, TypingAnOpenerBeforeAnOpenerRetagsFromTheRealStart) {
  // "x (b)" -> "x ((b)": the texts share "x (", but the new ( was typed at 2 and took the untagged space's tags.
  auto d = diff(U"x (b)", U"x ((b)", EditBounds{2, 3});
  ASSERT_TRUE(d);
  EXPECT_EQ(d->range, (Span{2, 6}));
  EXPECT_EQ(show(d->apply), "[[:rainbow 0] 2 3] [[:rainbow 1] 3 4] [[:rainbow 1] 5 6]");
  // Comparing the texts alone would start one character late and leave the typed ( untagged.
  auto late = diff(U"x (b)", U"x ((b)", EditBounds{5, 5});
  ASSERT_TRUE(late);
  EXPECT_EQ(late->range.start, 3);
}

TEST(PlanDiff, NothingChangedIsNothingAndNoBoundsIsEverything) {
  struct Case {
    const char* old_text;
    const char* new_text;
    EditBounds bounds;
  };
  const Case unchanged[] = {
      {"(a b)", "(a  b)", {3, 2}},   // a space between symbols
      {"(ab)", "(abc)", {3, 1}},     // a symbol grows at its end
      {"(ab)", "(a)", {2, 1}},       // a symbol shrinks
      {":a 😀 1", ":a 😀😀 1", {4, 2}},  // an astral character typed in plain text
      {"a\r\nb", "a\r\n\r\nb", {3, 1}},  // a CRLF line break
  };
  for (const Case& c : unchanged) {
    std::u32string a = u32(c.old_text), b = u32(c.new_text);
    EXPECT_FALSE(diff(a, b, c.bounds)) << c.old_text << " -> " << c.new_text;
    auto all = diff(a, b, std::nullopt);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->range, (Span{0, static_cast<Offset>(b.size())}));
    EXPECT_EQ(all->apply, paint_plan(b));
  }
}

TEST(PlanDiff, SmallestRangeCoversChangedAndCrossedSpans) {
  struct Case {
    const char* old_text;
    const char* new_text;
    EditBounds bounds;
    Span range;
    const char* apply;
  };
  const Case cases[] = {
      // a keyword typed into: the old keyword crossed the edit
      {"(:ab x)", "(:aXb x)", {3, 4}, {1, 5}, "[:keyword 1 5]"},
      // an opener deleted: the inner closer now closes depth 0 and the outer one has no partner
      {"((a)) 1", "(a)) 1", {1, 5}, {1, 4}, "[[:rainbow 0] 2 3] [:unmatched 3 4]"},
      // a quote opens a string that swallows the rest
      {"(a) :k", "\"(a) :k", {0, 6}, {0, 7}, "[:string 0 7]"},
      // an emoji inside a comment: the comment span is re-applied whole, in character offsets
      {"; ab\n(x)", "; a😀b\n(x)", {3, 5}, {0, 5}, "[:comment 0 5]"},
      // typed between a bracket pair: the buffer would give it the pair's colour, which no span crosses
      {"([])", "([x])", {2, 2}, {2, 3}, ""},
      // a CRLF break inside a string moves the spans after it by two
      {"\"ab\" 1", "\"a\r\nb\" 1", {2, 4}, {0, 6}, "[:string 0 6]"},
  };
  for (const Case& c : cases) {
    auto d = diff(u32(c.old_text), u32(c.new_text), c.bounds);
    ASSERT_TRUE(d) << c.old_text;
    EXPECT_EQ(d->range, c.range) << c.old_text;
    EXPECT_EQ(show(d->apply), c.apply) << c.old_text;
  }
}

TEST(PlanDiff, AMalformedPlanIsRetaggedWhole) {
  std::u32string a = U"(a)", b = U"(ab)";
  PaintPlan pa = paint_plan(a);
  PaintPlan pb{{StyleKey::rainbow(0), 3, 4}, {StyleKey::rainbow(0), 0, 1}};  // brackets out of order
  auto d = plan_diff({a, pa, b, pb, EditBounds{2, 1}});
  ASSERT_TRUE(d);
  EXPECT_EQ(d->range, (Span{0, 4}));
  EXPECT_EQ(d->apply, pb);
}

// ----- the corpus property: diffs applied to carried tags equal a full repaint --------------------------------

using Tags = std::vector<int>;  // per character: 0 for no tag, else 1 + the key's code

int code(StyleKey k) { return 1 + static_cast<int>(k.tag) * 32 + k.n; }

Tags full_tags(size_t length, std::span<const PaintSpan> plan) {
  Tags tags(length, 0);
  for (const PaintSpan& s : plan)
    for (Offset i = s.start; i < s.end; ++i) tags[i] = code(s.key);
  return tags;
}

// The buffer replaced old[s, s + removed) by `inserted`. Tags stay on the characters they were on; inserted text
// takes a tag only where one runs on through the insertion point (a tag starting or ending there has its toggle on
// the far side), as a text buffer's tag toggles behave.
Tags carry_tags(const Tags& old, Offset s, Offset removed, size_t inserted) {
  int inherited = (s > 0 && s + removed < static_cast<Offset>(old.size()) && old[s - 1] == old[s + removed])
                      ? old[s - 1]
                      : 0;
  Tags out(old.begin(), old.begin() + s);
  out.insert(out.end(), inserted, inherited);
  out.insert(out.end(), old.begin() + s + removed, old.end());
  return out;
}

// Removes the tags over the range and applies the spans; a character left holding two different tags fails.
::testing::AssertionResult apply_diff(Tags& tags, const PlanDiff& d) {
  for (Offset i = d.range.start; i < d.range.end; ++i) tags[i] = 0;
  std::vector<bool> applied(tags.size(), false);
  for (const PaintSpan& s : d.apply) {
    for (Offset i = s.start; i < s.end; ++i) {
      bool kept_outside = i < d.range.start || i >= d.range.end;
      if ((kept_outside || applied[i]) && tags[i] != 0 && tags[i] != code(s.key))
        return ::testing::AssertionFailure() << "two tags at " << i;
      tags[i] = code(s.key);
      applied[i] = true;
    }
  }
  return ::testing::AssertionSuccess();
}

// The range as a straightforward reading of the rule computes it: hash sets of kept and new spans.
std::optional<Span> reference_range(std::u32string_view a, std::span<const PaintSpan> pa, std::u32string_view b,
                                    std::span<const PaintSpan> pb, EditBounds bounds) {
  Offset la = a.size(), lb = b.size();
  Offset p = 0;
  while (p < std::min({la, lb, bounds.prefix}) && a[p] == b[p]) ++p;
  Offset q = 0;
  while (q < std::min({la - p, lb - p, bounds.suffix}) && a[la - 1 - q] == b[lb - 1 - q]) ++q;
  Offset delta = lb - la;
  auto key = [](const PaintSpan& s) {
    return (static_cast<uint64_t>(code(s.key)) << 56) | (static_cast<uint64_t>(s.start) << 28) |
           static_cast<uint64_t>(s.end);
  };
  std::unordered_set<uint64_t> kept, fresh;
  std::vector<Span> changed;
  for (const PaintSpan& s : pa) {
    if (s.end <= p) kept.insert(key(s));
    else if (s.start >= la - q) kept.insert(key({s.key, s.start + delta, s.end + delta}));
    else changed.push_back({s.start <= p ? s.start : p, s.end >= la - q ? s.end + delta : lb - q});
  }
  for (const PaintSpan& s : pb) {
    fresh.insert(key(s));
    if (!kept.contains(key(s))) changed.push_back({s.start, s.end});
  }
  for (const PaintSpan& s : pa) {
    PaintSpan k = s.end <= p ? s : PaintSpan{s.key, s.start + delta, s.end + delta};
    if ((s.end <= p || s.start >= la - q) && !fresh.contains(key(k))) changed.push_back({k.start, k.end});
  }
  // Inserted text that inherits a tag running through the insertion point is re-tagged too.
  auto key_at = [&](Offset x) {
    int k = 0;
    for (const PaintSpan& s : pa)
      if (s.start <= x && x < s.end) k = code(s.key);
    return k;
  };
  if (lb - q > p && p > 0 && la - q < la && key_at(p - 1) != 0 && key_at(p - 1) == key_at(la - q))
    changed.push_back({p, lb - q});
  if (changed.empty()) return std::nullopt;
  Span r = changed[0];
  for (Span c : changed) r = {std::min(r.start, c.start), std::max(r.end, c.end)};
  return r;
}

TEST(PlanDiff, RandomEditsOnCoreCljMatchAFullRepaint) {
  const int STEPS = 120;
  std::u32string text = testing::core_clj();
  ASSERT_FALSE(text.empty());
  std::mt19937 rng(20240611);
  const std::u32string inserts = U"a (){}[]\"\\;#:\n\r😀";
  PaintPlan plan = paint_plan(text);
  Tags tags = full_tags(text.size(), plan);
  for (int step = 0; step < STEPS; ++step) {
    Offset s = std::uniform_int_distribution<Offset>(0, text.size())(rng);
    bool erase = s < static_cast<Offset>(text.size()) && rng() % 3 == 0;
    std::u32string next = text;
    std::u32string inserted;
    if (erase) {
      next.erase(s, 1);
    } else {
      inserted = std::u32string(1, inserts[rng() % inserts.size()]);
      next.insert(next.begin() + s, inserted[0]);
    }
    Offset removed = erase ? 1 : 0;
    EditBounds bounds{s, static_cast<Offset>(text.size()) - s - removed};
    PaintPlan next_plan = paint_plan(next);
    auto d = plan_diff({text, plan, next, next_plan, bounds});
    auto want = reference_range(text, plan, next, next_plan, bounds);
    ASSERT_EQ(d.has_value(), want.has_value()) << "step " << step;
    tags = carry_tags(tags, s, removed, inserted.size());
    if (d) {
      ASSERT_EQ(d->range, *want) << "step " << step;
      ASSERT_TRUE(apply_diff(tags, *d)) << "step " << step;
    }
    Tags want_tags = full_tags(next.size(), next_plan);
    if (tags != want_tags) {
      size_t k = 0;
      while (tags[k] == want_tags[k]) ++k;
      std::string ctx = kelp::to_utf8(std::u32string_view(next).substr(k >= 20 ? k - 20 : 0, 40));
      std::string octx = kelp::to_utf8(std::u32string_view(text).substr(s >= 20 ? s - 20 : 0, 40));
      FAIL() << "step " << step << " edit at " << s << (erase ? " erase" : " insert ") << kelp::to_utf8(inserted)
             << " first wrong tag at " << k << " got " << tags[k] << " want " << want_tags[k] << " range "
             << (d ? d->range.start : -1) << ".." << (d ? d->range.end : -1) << "\nnew: " << ctx << "\nold: " << octx;
    }
    text = std::move(next);
    plan = std::move(next_plan);
  }
}

}  // namespace
}  // namespace orrery
