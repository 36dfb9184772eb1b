#include "orrery/edit.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kelp/data/string.hpp"

namespace orrery {
namespace {

// Snapshots and results are written as text with markers: | is the caret, « and » the selection's ends.
Snapshot parse(std::string_view marked) {
  Snapshot snap;
  bool caret_seen = false;
  bool sel_seen = false;
  for (char32_t c : kelp::to_u32(marked)) {
    Offset here = static_cast<Offset>(snap.text.size());
    if (c == U'|') {
      snap.caret = here;
      caret_seen = true;
    } else if (c == U'«') {
      snap.sel_start = here;
      sel_seen = true;
    } else if (c == U'»') {
      snap.sel_end = here;
    } else {
      snap.text.push_back(c);
    }
  }
  if (!sel_seen) snap.sel_start = snap.sel_end = snap.caret;
  if (!caret_seen) snap.caret = snap.sel_end;
  return snap;
}

std::string render(const Snapshot& before, const std::optional<EditOp>& op) {
  if (!op) return "nil";
  std::optional<std::u32string> text = apply_edits(before.text, op->edits);
  if (!text) return "refused";
  bool selected = op->sel && op->sel->start < op->sel->end;
  std::u32string out;
  for (Offset i = 0; i <= static_cast<Offset>(text->size()); ++i) {
    if (selected && i == op->sel->start) out += U'«';
    if (i == op->caret) out += U'|';
    if (selected && i == op->sel->end) out += U'»';
    if (i < static_cast<Offset>(text->size())) out += (*text)[static_cast<std::size_t>(i)];
  }
  return kelp::to_utf8(out);
}

struct Case {
  std::string before;
  std::string after;
};

template <typename Op>
void check_table(const std::vector<Case>& cases, Op op) {
  for (const Case& c : cases) {
    Snapshot snap = parse(c.before);
    EXPECT_EQ(render(snap, op(snap)), c.after) << "for " << c.before;
  }
}

// The reference: each edit applied to the text by itself, from the last to the first.
std::u32string apply_one_by_one(std::u32string text, const std::vector<Edit>& edits) {
  for (auto it = edits.rbegin(); it != edits.rend(); ++it) {
    text.replace(static_cast<std::size_t>(it->start), static_cast<std::size_t>(it->end - it->start), it->text);
  }
  return text;
}

std::u32string random_text(std::mt19937& rng, std::size_t n) {
  static const std::u32string alphabet = U"ab (\n\r😀";
  std::u32string out;
  for (std::size_t i = 0; i < n; ++i) out += alphabet[rng() % alphabet.size()];
  return out;
}

// Ascending, non-overlapping edits: insertions (also several at one offset), deletions and replacements.
std::vector<Edit> random_edits(std::mt19937& rng, Offset length) {
  std::vector<Edit> edits;
  Offset pos = 0;
  while (true) {
    pos += static_cast<Offset>(rng() % 6);
    if (pos > length) break;
    Offset end = std::min(length, pos + static_cast<Offset>(rng() % 4));
    edits.push_back({pos, end, random_text(rng, rng() % 3)});
    pos = end;
  }
  return edits;
}

TEST(ApplyEdits, MatchesApplyingEachEditFromTheEnd) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::u32string text = random_text(rng, rng() % 40);
    std::vector<Edit> edits = random_edits(rng, static_cast<Offset>(text.size()));
    std::optional<std::u32string> got = apply_edits(text, edits);
    ASSERT_TRUE(got) << *edits_problem(static_cast<Offset>(text.size()), edits);
    std::u32string want = apply_one_by_one(text, edits);
    ASSERT_EQ(*got, want) << "round " << round;

    // Every character outside the replaced spans is found again where shift_offset maps its offset.
    for (Offset pos = 0; pos < static_cast<Offset>(text.size()); ++pos) {
      bool replaced = std::any_of(edits.begin(), edits.end(), [&](const Edit& e) { return e.start <= pos && pos < e.end; });
      if (replaced) continue;
      Offset moved = shift_offset(edits, pos);
      ASSERT_LT(moved, static_cast<Offset>(want.size()));
      ASSERT_EQ(want[static_cast<std::size_t>(moved)], text[static_cast<std::size_t>(pos)]) << "round " << round;
    }
  }
}

TEST(ApplyEdits, RefusesWholeListsItCannotApply) {
  const std::u32string text = U"(a 😀 b)";  // 7 characters
  struct Bad {
    std::vector<Edit> edits;
    std::string problem;
  };
  const std::vector<Bad> cases = {
      {{{-1, 0, U"x"}}, "Edit 1 covers -1..0, outside the text's 0..7."},
      {{{6, 8, U""}}, "Edit 1 covers 6..8, outside the text's 0..7."},
      {{{3, 2, U""}}, "Edit 1 covers 3..2, outside the text's 0..7."},
      {{{4, 5, U"x"}, {1, 2, U"y"}}, "Edit 2 starts at 1, before the previous edit ends at 5."},
      {{{1, 4, U"x"}, {3, 5, U"y"}}, "Edit 2 starts at 3, before the previous edit ends at 4."},
      {{{0, 0, U"ok"}, {2, 2, std::u32string(U"a\0b", 3)}}, "Edit 2 holds a NUL character."},
  };
  for (const Bad& c : cases) {
    EXPECT_EQ(edits_problem(static_cast<Offset>(text.size()), c.edits), c.problem);
    EXPECT_EQ(apply_edits(text, c.edits), std::nullopt) << c.problem;
  }

  // Touching edits and several insertions at one offset are fine and land in list order.
  EXPECT_EQ(apply_edits(text, {{1, 1, U"x"}, {1, 1, U"y"}, {1, 2, U"A"}, {2, 2, U"z"}, {7, 7, U"!"}}),
            U"(xyAz 😀 b)!");
  EXPECT_EQ(apply_edits(text, {}), text);
  EXPECT_EQ(apply_edits(U"", {{0, 0, U"😀"}}), U"😀");
}

TEST(ShiftOffset, MapsPositionsThroughEdits) {
  const std::vector<Edit> edits = {{2, 2, U"xyz"}, {5, 8, U""}, {10, 12, U"Q"}};
  const std::vector<std::pair<Offset, Offset>> cases = {
      {0, 0}, {1, 1},          // before every edit
      {2, 5},                  // an insertion exactly at pos moves pos after it
      {5, 8}, {6, 8}, {7, 8},  // at or inside a deleted span: the deletion point
      {8, 8}, {9, 9},          // after the deletion
      {11, 11},                // inside a replacement: its end
      {12, 11}, {20, 19},
  };
  for (auto [pos, want] : cases) EXPECT_EQ(shift_offset(edits, pos), want) << "pos " << pos;
}

TEST(Lines, StartsIndexSpansAndSelections) {
  const std::u32string text = U"a😀\r\n\nbc\n";
  EXPECT_EQ(line_starts(text), (std::vector<Offset>{0, 4, 5, 8}));
  EXPECT_EQ(line_starts(U""), (std::vector<Offset>{0}));
  auto starts = line_starts(text);
  EXPECT_EQ(line_idx_at(starts, 0), 0u);
  EXPECT_EQ(line_idx_at(starts, 3), 0u);  // the line feed belongs to its line
  EXPECT_EQ(line_idx_at(starts, 4), 1u);
  EXPECT_EQ(line_idx_at(starts, 99), 3u);
  EXPECT_EQ(line_span(text, starts, 0), (Span{0, 3}));  // the carriage return stays in the content
  EXPECT_EQ(line_span(text, starts, 1), (Span{4, 4}));
  EXPECT_EQ(line_span(text, starts, 3), (Span{8, 8}));

  struct Sel {
    Offset a, b;
    std::size_t first, last;
  };
  const std::vector<Sel> cases = {
      {6, 6, 2, 2},  // no selection: the caret's line
      {4, 8, 1, 2},  // ending at a line start leaves that line out
      {8, 4, 1, 2},  // either order
      {5, 5, 2, 2},  // an empty selection at a line start is that line
      {4, 5, 1, 1},
      {2, 9, 0, 2},  // clamped to the end, which starts the last, empty line
  };
  for (const Sel& c : cases) {
    SelectionLines lines = selection_lines(text, c.a, c.b);
    EXPECT_EQ(lines.start_line, c.first) << c.a << ".." << c.b;
    EXPECT_EQ(lines.end_line, c.last) << c.a << ".." << c.b;
  }
}

TEST(SmartEnter, SplitsPairsAndIndents) {
  check_table({{"    (|)", "    (\n      |\n    )"},
               {"[😀 {|}]", "[😀 {\n  |\n}]"},
               {"\"|\"", "\"\n|\""},  // a pair of quotes is not split
               {"  (let [x 1]|", "  (let [x 1]\n    |"},
               {"(a «bc»d)", "(a \n  |d)"},
               {"(x)|", "(x)\n|"},
               {"(a\r\n  b|)", "(a\r\n  b\n  |)"}},
              [](const Snapshot& s) { return smart_enter(s); });
  check_table({{"    (|)", "    (\n      |)"}},
              [](const Snapshot& s) { return smart_enter(s, {.between_pair = false}); });
}

TEST(Indent, CaretOrSelectedLines) {
  check_table({{"(a|b)", "(a  |b)"},
               {"😀|", "😀  |"},
               {"x\n«a\nb\n»c", "x\n  «a\n  b\n|»c"},  // up to, not past, a line start
               {"«a\n\n😀b»", "  «a\n  \n  😀b|»"},      // blank lines included
               {"«a\r\nb|»", "  «a\r\n  b|»"}},
              indent);
}

TEST(Unindent, RemovesUpToTwoSpacesOrOneTab) {
  check_table({{"   x|", " x|"},
               {"\t  x|", "  x|"},
               {" |  x", "| x"},  // a caret inside the removed spaces lands where they were
               {"x|", "nil"},
               {"«a\nb»", "nil"},
               {"«  a\n\tb\n😀»", "«a\nb\n😀|»"},
               {"  a\n«  b\n  c\n»  d", "  a\n«b\nc\n|»  d"},
               {"  a\r\n|  b\r\n", "  a\r\n|b\r\n"}},
              unindent);
}

TEST(ToggleComment, CommentsOrUncommentsNonBlankLines) {
  check_table({{"(a|)", "; (a|)"},
               {"  (a|)", ";   (a|)"},
               {"; (a|)", "(a|)"},
               {";;  x|", " x|"},
               {"«;x\ny»", "; «;x\n; y|»"},  // a mix: every line gets a marker
               {"«  ;; a\n;b\n\n    ; c»", "«  a\nb\n\n    c|»"},
               {"«|x\ny»", "; «|x\n; y»"},   // the caret stays on the end the user dragged to
               {"x\n«y\n»z", "x\n; «y\n|»z"},
               {"a\r\n|😀\r\n", "a\r\n; |😀\r\n"},
               {"«a\r\n\r\nb»", "; «a\r\n\r\n; b|»"},  // a CRLF blank line stays as it is
               {"  |", "nil"}},
              toggle_comment);
}

TEST(InsertOpen, PairsWrapsAndStepsOverQuotes) {
  auto with = [](char32_t ch) { return [ch](const Snapshot& s) { return insert_open(s, ch); }; };
  check_table({{"a|b", "a(|)b"}, {"😀|", "😀(|)"}, {"«x y»", "(«x y|»)"}}, with(U'('));
  check_table({{"«😀 a»", "[«😀 a|»]"}}, with(U'['));
  check_table({{"|", "{|}"}}, with(U'{'));
  check_table({{"a|", "a\"|\""},
               {"\"ab|\"", "\"ab\"|"},
               // the wrapped text keeps its meaning inside the new string
               {"«say \"hi\" \\n»", "\"«say \\\"hi\\\" \\\\n|»\""}},
              with(U'"'));
  check_table({{"a|", "nil"}}, with(U'x'));
}

TEST(InsertClose, StepsOverTheSameCloser) {
  check_table({{"(a|)", "(a)|"}, {"(😀|)", "(😀)|"}, {"(a|]", "nil"}, {"(a|", "nil"}, {"«(a)»", "nil"}},
              [](const Snapshot& s) { return insert_close(s, U')'); });
  check_table({{"[|]", "nil"}}, [](const Snapshot& s) { return insert_close(s, U'x'); });
}

TEST(BackspacePair, DeletesAnEmptyPair) {
  check_table({{"(|)", "|"},
               {"😀[|]", "😀|"},
               {"{|}", "|"},
               {"\"|\"", "|"},
               {"(|]", "nil"},
               {"|()", "nil"},
               {"()|", "nil"},
               {"«(»)", "nil"}},
              backspace_pair);
}

TEST(MatchingBracket, PairsFromTheBracketAnalysis) {
  const std::u32string text = U"(😀 [b] \"(\") x]";
  const std::vector<std::pair<Offset, std::optional<Offset>>> cases = {
      {0, 10}, {10, 0}, {3, 5}, {5, 3},
      {8, std::nullopt},   // inside a string
      {1, std::nullopt},   // not a bracket
      {13, std::nullopt},  // unmatched
      {14, std::nullopt},  // the end of the text
  };
  for (auto [pos, match] : cases) {
    auto got = matching_bracket(Snapshot{text, pos, pos, pos});
    if (!match) {
      EXPECT_EQ(got, std::nullopt) << "pos " << pos;
    } else {
      EXPECT_EQ(got, (std::pair<Offset, Offset>{pos, *match})) << "pos " << pos;
    }
  }
}

TEST(Rename, EveryOccurrenceOfTheSymbolOnly) {
  const std::string code = "\"😀\" (defn f| [x] (f x)) ; f\n\"f\" :f ff #\"f\"";
  auto to = [](std::string name) {
    return [name](const Snapshot& s) { return rename(s, kelp::to_u32(name)); };
  };
  check_table({{code, "\"😀\" (defn g| [x] (g x)) ; f\n\"f\" :f ff #\"f\""}}, to("g"));
  check_table({{code, "\"😀\" (defn 1abc| [x] (1abc x)) ; f\n\"f\" :f ff #\"f\""}}, to("1abc"));
  check_table({{code, "\"😀\" (defn жар-птица| [x] (жар-птица x)) ; f\n\"f\" :f ff #\"f\""}},
              to("жар-птица"));
  for (std::string refused : {"a b", "a:b", "a'b", "a\"b", "", "  ", "f", "😀"}) {
    check_table({{code, "nil"}}, to(refused));
  }
  // The selection, trimmed, names the symbol; it stays selected over the new name.
  check_table({{"(let [«x »1] x)", "(let [«y |»1] y)"}}, to("y"));
  check_table({{"(a «b c»)", "nil"}, {"|   ", "nil"}}, to("z"));
}

}  // namespace
}  // namespace orrery
