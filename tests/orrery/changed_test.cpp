#include "orrery/changed.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/data/string.hpp"

namespace orrery {
namespace {

std::u32string u(std::string_view s) { return kelp::to_u32(s); }

std::vector<std::string> keys_of(std::string_view text) {
  std::vector<std::string> out;
  for (const FormEntry& e : forms(u(text))) out.push_back(kelp::to_utf8(e.key));
  return out;
}

std::vector<std::string> changed_texts(std::string_view text, const RanSet& ran) {
  std::u32string t = u(text);
  std::vector<std::string> out;
  for (const FormEntry& e : changed(t, ran)) {
    out.push_back(kelp::to_utf8(t.substr(static_cast<std::size_t>(e.start), static_cast<std::size_t>(e.end - e.start))));
  }
  return out;
}

TEST(ChangedForms, KeysIgnoreLayoutCommentsAndCommas) {
  const std::vector<std::pair<std::string, std::string>> same = {
      {"'(a  b)", "' ( a b )"},
      {"(a b)", "(a ,b)"},
      {"(defn f [x]\n  x)", "(defn f\n      [x] x)"},
      {"(a ; a note\n b)", "(a b)"},
      {"(a \"😀 b\")", "(a\r\n \"😀 b\")"},
      {"@x", "@ x"},
  };
  for (auto& [a, b] : same) EXPECT_EQ(keys_of(a), keys_of(b)) << a << " vs " << b;
  const std::vector<std::pair<std::string, std::string>> different = {
      {"(a b)", "(a c)"}, {"'(a)", "(a)"}, {"(a #_b)", "(a b)"}, {"(a \"x y\")", "(a \"x  y\")"}, {"@x", "x"},
  };
  for (auto& [a, b] : different) EXPECT_NE(keys_of(a), keys_of(b)) << a << " vs " << b;

  EXPECT_EQ(keys_of("(defn f [x] (g x))"), (std::vector<std::string>{"( defn f [ x ] ( g x ) )"}));
  EXPECT_EQ(keys_of("  \n ; only a comment\n"), (std::vector<std::string>{}));
}

TEST(ChangedForms, FormsLeaveOutCommentBlocksAndDiscards) {
  const std::u32string text = u("(a)\n(comment (boom))\n#_(b)\n\"😀\" (c ;x\n)");
  std::vector<FormEntry> got = forms(text);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (FormEntry{0, 3, U"( a )"}));
  EXPECT_EQ(got[1], (FormEntry{27, 30, U"\"😀\""}));
  EXPECT_EQ(got[2], (FormEntry{31, 38, U"( c )"}));
  EXPECT_TRUE(forms(U"").empty());
}

TEST(ChangedForms, RanSetFlow) {
  const std::string ran_text = "(ns demo)\n(defn f [] 1)\n(def x 2)\n(comment (f))\n";
  EXPECT_EQ(changed_texts(ran_text, std::nullopt), (std::vector<std::string>{}));  // never ran

  RanSet ran = record(std::nullopt, RunKind::Run, u(ran_text));
  EXPECT_EQ(changed_texts(ran_text, ran), (std::vector<std::string>{}));

  // Reformatting, commas, comments and the comment block's insides are not changes.
  EXPECT_EQ(changed_texts("(ns demo)\n(defn f\n  []\n  ; one\n  1)\n(def x, 2)\n(comment (f) (g))\n", ran),
            (std::vector<std::string>{}));
  // Renaming a symbol is.
  EXPECT_EQ(changed_texts("(ns demo)\n(defn f [] 1)\n(def y 2)\n", ran), (std::vector<std::string>{"(def y 2)"}));

  // Run Form of a new version replaces the old one: going back to the old version shows as changed again.
  ran = record(ran, RunKind::Form, u("(defn f [] 2)"));
  EXPECT_EQ(changed_texts("(ns demo)\n(defn f [] 2)\n(def x 2)\n", ran), (std::vector<std::string>{}));
  EXPECT_EQ(changed_texts(ran_text, ran), (std::vector<std::string>{"(defn f [] 1)"}));

  // A selection records each of its forms; identical forms share a key.
  ran = record(ran, RunKind::Selection, u("(println :a)\n(def z 3)"));
  EXPECT_EQ(changed_texts("(println :a)\n(def z 3)\n(println :a)\n(println :b)", ran),
            (std::vector<std::string>{"(println :b)"}));

  // A whole Run starts over from the text that ran.
  ran = record(ran, RunKind::Run, u("(def z 3)"));
  EXPECT_EQ(changed_texts("(def z 3)\n(println :a)", ran), (std::vector<std::string>{"(println :a)"}));
}

TEST(ChangedForms, PrivateDefinitionsKeepTheirOwnIdentity) {
  RanSet ran = record(std::nullopt, RunKind::Run, u(""));
  ran = record(ran, RunKind::Form, u("(def ^:private a 1)"));
  ran = record(ran, RunKind::Form, u("(def ^:private b 2)"));
  ran = record(ran, RunKind::Form, u("(defn ^{:doc \"x y\"} c [] 3)"));
  ran = record(ran, RunKind::Form, u("(defn ^String d [] 4)"));
  EXPECT_EQ(changed_texts("(def ^:private a 1)\n(def ^:private b 2)\n(defn ^{:doc \"x y\"} c [] 3)\n"
                          "(defn ^String d [] 4)",
                          ran),
            (std::vector<std::string>{}));
}

TEST(ChangedForms, FormsAfterAnUnclosedBracketAreNotForms) {
  RanSet ran = std::set<std::u32string>{};
  EXPECT_EQ(changed_texts("(a)\n(b\n(c)", ran), (std::vector<std::string>{"(a)"}));
}

TEST(ChangedForms, IdentFindsTheDefinedName) {
  struct Case {
    std::string form;
    std::optional<Ident> want;
  };
  const std::vector<Case> cases = {
      {"(defn f [] 1)", Ident{U"defn", U"f"}},
      {"(def ^:private x 1)", Ident{U"def", U"x"}},
      {"(def ^:private ^:dynamic *z* 1)", Ident{U"def", U"*z*"}},
      {"(defn- ^{:doc \"a (b) c\"} g [] 1)", Ident{U"defn-", U"g"}},
      {"(defn ^String h [] 1)", Ident{U"defn", U"h"}},
      {"(defmethod area :circle [c] 1)", Ident{U"defmethod", U"area"}},
      {"(defprotocol жP (m [x]))", Ident{U"defprotocol", U"жP"}},
      {"(foo x)", std::nullopt},
      {"'(def x)", std::nullopt},
      {"(def)", std::nullopt},
      {"(def ^:private)", std::nullopt},
      {"[def x]", std::nullopt},
  };
  for (const Case& c : cases) {
    std::vector<FormEntry> f = forms(u(c.form));
    ASSERT_EQ(f.size(), 1u) << c.form;
    EXPECT_EQ(ident(f[0].key), c.want) << c.form;
  }
}

TEST(ChangedForms, LastRunTextAndRunChangedPlan) {
  std::optional<std::u32string> prev = U"old";
  EXPECT_EQ(last_run_after(prev, RunKind::Run, RunStatus::Ok, U"new"), U"new");
  EXPECT_EQ(last_run_after(prev, RunKind::Run, RunStatus::Error, U"new"), U"old");
  EXPECT_EQ(last_run_after(prev, RunKind::Form, RunStatus::Ok, U"new"), U"old");
  EXPECT_EQ(last_run_after(prev, RunKind::Run, RunStatus::Ok, std::nullopt), U"old");
  EXPECT_EQ(last_run_after(std::nullopt, RunKind::Selection, RunStatus::Ok, U"x"), std::nullopt);

  EXPECT_EQ(run_changed_plan(U"(a)", std::nullopt).note, "; Run the tab once first.");
  RanSet ran = record(std::nullopt, RunKind::Run, U"(a)\n(b)");
  RunChangedPlan none = run_changed_plan(U"(a)\n(b)", ran);
  EXPECT_EQ(none.note, "; Nothing has changed since the last run.");
  EXPECT_EQ(none.code, std::nullopt);
  RunChangedPlan one = run_changed_plan(U"(a)\n(b 2)", ran);
  EXPECT_EQ(one.note, "; Running 1 changed form.");
  EXPECT_EQ(one.code, U"(b 2)");
  RunChangedPlan two = run_changed_plan(U"(a 1)\n(b)\n(c)", ran);
  EXPECT_EQ(two.note, "; Running 2 changed forms.");
  EXPECT_EQ(two.code, U"(a 1)\n(c)");
}

}  // namespace
}  // namespace orrery
