#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "orrery/commands.hpp"
#include "orrery/mcp/json.hpp"
#include "orrery/parinfer.hpp"
#include "orrery/parinfer_edit.hpp"
#include "support/temp_dir.hpp"

namespace orrery {
namespace {

namespace pi = parinfer;
namespace pe = parinfer_edit;
using kelp::to_u32;
using kelp::to_utf8;

// --- The published reference cases, through the JSON driver --------------------------------------------------

std::filesystem::path cases_path() {
  if (const char* p = std::getenv("PARINFER_CASES")) return p;
  return std::filesystem::path(ORRERY_TEST_DATA) / "parinfer" / "cases.jsonl";
}

const kelp::Value* member(const kelp::Value& m, std::string_view k) {
  return kelp::is_map(m) ? kelp::get(m, kelp::make_string(k)) : nullptr;
}

std::string json_of(const kelp::Value* v) { return v ? mcp::encode(*v) : "null"; }

TEST(Parinfer, EveryReferenceCaseAgreesThroughTheJsonDriver) {
  std::filesystem::path path = cases_path();
  ASSERT_TRUE(std::filesystem::exists(path)) << "no reference cases at " << path;
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty()) lines.push_back(line);
    }
  }
  ASSERT_GT(lines.size(), 200u);
  testing::TempDir dir;
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  std::filesystem::path requests = dir.write("requests.jsonl", all);
  std::string cmd = std::string(PARINFER_JSON) + " < '" + requests.string() + "'";
  std::vector<std::string> answers;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    std::istringstream s(out);
    for (std::string line; std::getline(s, line);) answers.push_back(line);
  }
  ASSERT_EQ(answers.size(), lines.size()) << "the driver answers one line per request";

  static constexpr std::string_view KEYS[] = {"success", "text",     "cursorX",     "cursorLine",
                                              "error",   "tabStops", "parenTrails", "parens"};
  int compared = 0;
  int differing = 0;
  std::string report;
  for (size_t i = 0; i < lines.size(); ++i) {
    kelp::Value c = mcp::decode(lines[i]);
    const kelp::Value* upstream = member(c, "upstream");
    const kelp::Value* agrees = upstream ? member(*upstream, "agrees") : nullptr;
    if (agrees && agrees->is_bool() && !agrees->as_bool()) continue;  // an option the reference version lacks
    ++compared;
    kelp::Value got = mcp::decode(answers[i]);
    const kelp::Value& want = *member(c, "expected");
    std::string diffs;
    for (std::string_view k : KEYS) {
      const kelp::Value* w = member(want, k);
      const kelp::Value* g = member(got, k);
      if (k == "parens" && !w) continue;  // only asked for with returnParens
      bool same = (w && g) ? *w == *g : json_of(w) == json_of(g);
      if (!same) diffs += "  " + std::string(k) + "\n    want " + json_of(w) + "\n    got  " + json_of(g) + "\n";
    }
    if (!diffs.empty() && ++differing <= 5) {
      report += json_of(member(c, "id")) + " (" + json_of(member(c, "mode")) + ") text " + json_of(member(c, "text")) +
                " options " + json_of(member(c, "options")) + "\n" + diffs;
    }
  }
  EXPECT_EQ(differing, 0) << differing << " of " << compared << " cases differ; the first:\n" << report;
}

// --- The engine's own helpers ----------------------------------------------------------------------------------

TEST(Parinfer, OffsetsAndLineColumnsAgreeBothWaysOnLfAndCrlf) {
  for (std::u32string text : {std::u32string(U"(a\n  b)\n\nc"), std::u32string(U"(a\r\n  b)\r\n\r\nc")}) {
    bool crlf = text.find(U'\r') != std::u32string::npos;
    // Every offset that is not a line ending's second half maps to a position and back to itself.
    for (int64_t off = 0; off <= static_cast<int64_t>(text.size()); ++off) {
      if (off > 0 && text[static_cast<size_t>(off) - 1] == U'\r') continue;
      pi::LineCol at = pi::offset_to_line_col(text, off);
      EXPECT_EQ(pi::line_col_to_offset(text, at), off) << "offset " << off << (crlf ? " (CRLF)" : " (LF)");
    }
    // The same columns as LF text, and clamping at both ends.
    EXPECT_EQ(pi::offset_to_line_col(text, 2), (pi::LineCol{0, 2}));
    EXPECT_EQ(pi::offset_to_line_col(text, 1000), (pi::LineCol{3, 1}));
    EXPECT_EQ(pi::line_col_to_offset(text, {1, 99}), crlf ? 8 : 7);
    EXPECT_EQ(pi::line_col_to_offset(text, {99, 0}), static_cast<int64_t>(text.size()) - 1);
  }
}

TEST(Parinfer, ComputeTextChangeFindsTheOneReplacedStretch) {
  struct Case {
    std::u32string before, after;
    pi::Change want;
  } cases[] = {
      {U"(foo\n  bar)", U"(foo\n  baz)", {1, 4, U"r", U"z"}},
      {U"(a)", U"(a b)", {0, 2, U"", U" b"}},
      {U"(a\nb)", U"(ab)", {0, 2, U"\n", U""}},
      {U"same", U"same", {0, 4, U"", U""}},
  };
  for (const Case& c : cases) EXPECT_EQ(pi::compute_text_change(c.before, c.after), c.want) << to_utf8(c.after);
}

TEST(Parinfer, ChangesThatDoNotDescribeTheTextFailAsUnhandledNotACrash) {
  // A change whose shift lands on a line the output does not have yet.
  pi::Options o;
  o.changes.push_back({0, 0, U"", U"xxxxxxxxxx"});
  o.changes.push_back({0, 1, U"", U""});
  pi::Result r = pi::smart_mode(U"(a\n b\n  c", o);
  if (!r.success) {
    ASSERT_TRUE(r.error);
    EXPECT_FALSE(r.text.empty());
  }
  // Whatever the options, every mode answers, and the text survives a failure.
  for (auto run : {pi::indent_mode, pi::paren_mode, pi::smart_mode}) {
    pi::Result bad = run(U"(a \"b", {});
    EXPECT_FALSE(bad.success);
    EXPECT_EQ(bad.text, U"(a \"b");
    ASSERT_TRUE(bad.error);
    EXPECT_EQ(pi::error_name(bad.error->name), "unclosed-quote");
    EXPECT_EQ(bad.error->message, "String is missing a closing quote.");
  }
}

// --- Parinfer after an edit ------------------------------------------------------------------------------------

// A top-level form of n lines: (defn f\n  [x]\n  (+ x 1)\n ... ).
std::u32string form_of_lines(int n, std::u32string name = U"f") {
  std::u32string s = U"(defn " + name + U"\n";
  for (int i = 1; i < n; ++i) s += U"  (g " + to_u32(std::to_string(i)) + U")" + (i + 1 == n ? U")" : U"\n");
  return s;
}

std::u32string applied(std::u32string_view text, const pe::Adjusted& a) {
  const EditOp* op = std::get_if<EditOp>(&a);
  if (!op) return std::u32string(text);
  std::u32string out(text);
  for (auto it = op->edits.rbegin(); it != op->edits.rend(); ++it) {
    out.replace(static_cast<size_t>(it->start), static_cast<size_t>(it->end - it->start), it->text);
  }
  return out;
}

// The text after typing `typed` at `at` in prev, the caret after it.
struct Typed {
  std::u32string text;
  Offset caret;
};
Typed type_at(std::u32string_view prev, Offset at, std::u32string_view typed, Offset erase = 0) {
  std::u32string t(prev);
  t.replace(static_cast<size_t>(at), static_cast<size_t>(erase), typed);
  return {t, at + static_cast<Offset>(typed.size())};
}

TEST(ParinferEdit, AdjustAnswersForEachModeAndKindOfEdit) {
  struct Case {
    const char* name;
    pe::Mode mode;
    std::u32string prev;
    Offset at;
    std::u32string typed;
    Offset erase;
    std::optional<std::u32string> want;  // nothing: adjust changes nothing
  } cases[] = {
      {"an opening bracket is closed by indentation", pe::Mode::Indent, U"(def a 1)\n\n(def b 2)", 7, U"(", 0,
       U"(def a (1))\n\n(def b 2)"},
      {"smart: a closer typed early ends the list there", pe::Mode::Smart, U"(let [a 1\n      b 2])", 9, U"]", 0,
       U"(let [a 1]\n      b 2)"},
      {"paren mode keeps children inside a moved opener", pe::Mode::Paren, U"(foo\n bar)", 0, U"xx", 0,
       U"xx(foo\n   bar)"},
      {"paren mode refuses an unmatched closer", pe::Mode::Paren, U"(foo\n  bar)", 4, U")", 0, std::nullopt},
      {"smart: dedenting a line closes its parent", pe::Mode::Smart, U"(foo\n  bar)", 5, U"", 2, U"(foo)\nbar"},
      {"a consistent edit changes nothing", pe::Mode::Smart, U"(foo bar)\n(baz)", 4, U"x", 0, std::nullopt},
      {"indenting a top-level line joins the form above", pe::Mode::Indent, U"(foo)\n\nbar", 7, U"  ", 0,
       U"(foo\n\n  bar)"},
      {"parinfer refusing leaves the text as typed", pe::Mode::Indent, U"(a)\n(b)", 3, U" \"", 0, std::nullopt},
      {"unbalanced: only the edited form is closed", pe::Mode::Indent, U"(a\n b\n(c\n d", 2, U" x", 0,
       U"(a x\n b)\n(c\n d"},
  };
  for (const Case& c : cases) {
    Typed t = type_at(c.prev, c.at, c.typed, c.erase);
    pe::Adjusted got = pe::adjust(c.mode, c.prev, c.at, t.text, t.caret);
    if (!c.want) {
      EXPECT_TRUE(std::holds_alternative<std::monostate>(got)) << c.name << ": " << to_utf8(applied(t.text, got));
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<EditOp>(got)) << c.name;
    EXPECT_EQ(to_utf8(applied(t.text, got)), to_utf8(*c.want)) << c.name;
    // Same answer when the editor supplies the edit's bounds, and when it says the form was consistent.
    Offset suffix = static_cast<Offset>(c.prev.size()) - c.at - c.erase;
    pe::Adjusted bounded = pe::adjust(c.mode, c.prev, c.at, t.text, t.caret, {.bounds = std::pair{c.at, suffix}, .prev_consistent = false, .max_lines = pe::DEFAULT_MAX_LINES});
    EXPECT_EQ(to_utf8(applied(t.text, bounded)), to_utf8(*c.want)) << c.name << " (with bounds)";
  }
}

TEST(ParinferEdit, SmartFixesIndentationThatDisagreedBeforeTheEditInsteadOfMovingClosers) {
  // `baz` is indented as if inside (bar ...) but the brackets close it before: typing elsewhere in the form must
  // not pull it into (bar).
  std::u32string prev = U"(foo (bar)\n      baz)";
  Typed t = type_at(prev, 9, U"x");  // (barx)
  pe::Adjusted got = pe::adjust(pe::Mode::Smart, prev, 9, t.text, t.caret);
  ASSERT_TRUE(std::holds_alternative<EditOp>(got));
  EXPECT_EQ(to_utf8(applied(t.text, got)), "(foo (barx)\n     baz)");
  // Told the form was consistent, the probe is skipped and Smart mode reads the indentation as typed.
  pe::Adjusted trusting = pe::adjust(pe::Mode::Smart, prev, 9, t.text, t.caret, {.bounds = std::nullopt, .prev_consistent = true, .max_lines = pe::DEFAULT_MAX_LINES});
  EXPECT_EQ(to_utf8(applied(t.text, trusting)), "(foo (barx\n      baz))");
}

TEST(ParinferEdit, TheLineCapLeavesLongFormsAsTyped) {
  for (int lines : {300, 301}) {
    std::u32string prev = form_of_lines(lines) + U"\n\n" + form_of_lines(3, U"small");
    // Type an opening bracket inside the long form's first line: Indent mode would close it.
    Offset at = 5;
    Typed t = type_at(prev, at, U"(");
    pe::Adjusted got = pe::adjust(pe::Mode::Indent, prev, at, t.text, t.caret);
    if (lines > static_cast<int>(pe::DEFAULT_MAX_LINES)) {
      EXPECT_TRUE(std::holds_alternative<pe::TooLong>(got)) << lines;
    } else {
      ASSERT_TRUE(std::holds_alternative<EditOp>(got)) << lines;
      const EditOp& op = std::get<EditOp>(got);
      ASSERT_EQ(op.edits.size(), 1u);
      // The region is the long form only: the small form after it is outside the edit.
      EXPECT_EQ(op.edits[0].start, 0);
      EXPECT_EQ(op.edits[0].end, static_cast<Offset>(form_of_lines(lines).size()) + 1);
      EXPECT_EQ(op.caret, at + 1);
    }
    // A smaller cap applies to the small form too.
    std::u32string small = form_of_lines(3);
    Typed ts = type_at(small, 5, U"(");
    EXPECT_TRUE(std::holds_alternative<pe::TooLong>(pe::adjust(pe::Mode::Indent, small, 5, ts.text, ts.caret,
                                                               {.bounds = std::nullopt, .prev_consistent = false, .max_lines = 2})));
  }
}

TEST(ParinferEdit, TheCaretFollowsTheFixAndSelectionsRemapByLineAndColumn) {
  // Dedenting out of (b moves its closer up; the caret stays at its line and column.
  std::u32string prev = U"(a\n  (b\n    c))";
  Typed t = type_at(prev, 8, U"", 2);  // "    c" -> "  c", level with (b
  pe::Adjusted got = pe::adjust(pe::Mode::Indent, prev, 10, t.text, 10);
  ASSERT_TRUE(std::holds_alternative<EditOp>(got));
  std::u32string fixed = applied(t.text, got);
  EXPECT_EQ(to_utf8(fixed), "(a\n  (b)\n  c)");
  EXPECT_EQ(std::get<EditOp>(got).caret, pe::offset(fixed, {2, 2}));

  struct Case {
    std::u32string from, to;
    Offset x, want;
  } cases[] = {
      {U"(a\n  bcd)", U"(a)\nbcd", 8, 7},       // line 1 column 5 -> clamped to column 3
      {U"ab\ncd", U"ab\r\ncd", 4, 5},          // a CRLF text keeps the line and column
      {U"a\nb\nc", U"ab", 5, 1},              // line 2 column 1 -> the last line, column 1
      {U"abc", U"abc", -5, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(pe::remap_offset(c.from, c.to, c.x), c.want) << to_utf8(c.from);
}

TEST(ParinferEdit, RegionWidensOverFormsOrSplitsByColumnZeroLines) {
  std::u32string balanced = U"(a\n b) (c\n d)\n\n;; note\n(e)";
  // Forms sharing a line are one span; the blank and comment lines between forms are their own region.
  EXPECT_EQ(pe::region(balanced, 1, 1), (Span{0, 13}));
  EXPECT_EQ(pe::region(balanced, 14, 14), (Span{14, 14}));
  EXPECT_EQ(pe::region(balanced, 15, 15), (Span{15, 22}));
  EXPECT_EQ(pe::region(balanced, 15, 24), (Span{15, 26}));
  std::u32string unbalanced = U"(a\n  (b\n\"str\n(not a form\"\n(c\n)";
  // Unmatched: column-0 lines start regions, except inside a string and a leading closer.
  EXPECT_EQ(pe::region(unbalanced, 4, 4), (Span{0, 7}));
  EXPECT_EQ(pe::region(unbalanced, 10, 10), (Span{8, 25}));
  EXPECT_EQ(pe::region(unbalanced, 27, 27), (Span{26, 30}));
}

TEST(ParinferEdit, ParenStableReindentsWhereWhitespaceAloneChanges) {
  struct Case {
    const char* name;
    std::u32string text;
    std::u32string want;
  } cases[] = {
      {"indentation follows brackets", U"(foo\nbar)\n(baz\n      q)\n(x (y)\n      z)",
       U"(foo\n bar)\n(baz\n      q)\n(x (y)\n   z)"},
      {"trail spaces and tabs are tidied", U"(a\n\tb )", U"(a\n  b)"},
      {"an unmatched bracket leaves everything", U"(foo\nbar))\n(baz\n      q)", U"(foo\nbar))\n(baz\n      q)"},
      {"text outside forms stays", U"  ;; c\n  x\n(a\nb)", U"  ;; c\n  x\n(a\n b)"},
  };
  for (const Case& c : cases) EXPECT_EQ(to_utf8(pe::paren_stable(c.text)), to_utf8(c.want)) << c.name;
  // Only the touched form takes the pass.
  std::u32string two = U"(foo\nbar)\n(baz\nq)";
  EXPECT_EQ(to_utf8(pe::paren_stable(two, 12, 12)), "(foo\nbar)\n(baz\n q)");
}

// --- The mode choice -------------------------------------------------------------------------------------------

TEST(ParinferModes, StepEffectiveAndStatusTexts) {
  EXPECT_EQ(parinfer_step("off", "next"), "smart");
  EXPECT_EQ(parinfer_step("smart", "next"), "indent");
  EXPECT_EQ(parinfer_step("indent", "next"), "paren");
  EXPECT_EQ(parinfer_step("paren", "next"), "off");
  EXPECT_EQ(parinfer_step("bogus", "next"), "smart");
  EXPECT_EQ(parinfer_step("smart", "paren"), "paren");
  EXPECT_EQ(parinfer_effective(std::string("off"), "smart"), "off");
  EXPECT_EQ(parinfer_effective(std::nullopt, "indent"), "indent");

  struct Status {
    std::string effective;
    bool overridden;
    std::string global;
    std::optional<std::string> want;
  } statuses[] = {
      {"off", true, "smart", "Parinfer: off (project)"},
      {"off", true, "off", std::nullopt},
      {"paren", true, "smart", "Parinfer: Paren (project)"},
      {"indent", false, "indent", "Parinfer: Indent"},
      {"off", false, "off", std::nullopt},
  };
  for (const Status& s : statuses) {
    EXPECT_EQ(parinfer_status_text(s.effective, s.overridden, s.global), s.want) << s.effective << " " << s.global;
  }
  EXPECT_EQ(parinfer_mode_word("off"), "off");
  EXPECT_EQ(parinfer_mode_word("smart"), "Smart");
  EXPECT_EQ(parinfer_pinned_note("smart", std::string("paren")), " (this project says Paren)");
  EXPECT_EQ(parinfer_pinned_note("paren", std::string("paren")), std::nullopt);
  EXPECT_EQ(parinfer_pinned_note("paren", std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace orrery
