#include "orrery/help.hpp"

#include <gtest/gtest.h>

#include "kelp/data/string.hpp"
#include "orrery/edit.hpp"
#include "orrery/keymap.hpp"
#include "orrery/syntax.hpp"

namespace orrery::help {
namespace {

std::string u8(std::u32string_view s) { return kelp::to_utf8(s); }

Snapshot at(std::u32string text, Offset caret) { return Snapshot{std::move(text), caret, caret, caret}; }
Snapshot selecting(std::u32string text, Offset from, Offset to) { return Snapshot{std::move(text), to, from, to}; }

Candidate user(std::u32string s) { return {std::move(s), Category::User}; }
Candidate builtin(std::u32string s) { return {std::move(s), Category::Builtin}; }

std::vector<std::u32string> names(const PopupState& s) {
  std::vector<std::u32string> out;
  for (const Candidate& c : s.candidates) out.push_back(c.symbol);
  return out;
}

// The start of the k-th symbol token spelled name.
Offset nth(std::u32string_view text, std::u32string_view name, size_t k) {
  std::vector<Span> all = find_symbol_occurrences(text, name);
  EXPECT_LT(k, all.size()) << u8(name) << " in " << u8(text);
  return k < all.size() ? all[k].start : -1;
}

TEST(HelpPopup, PrefixAtNeedsAWordAndNoSelection) {
  EXPECT_EQ(prefix_at(at(U"(ma xs)", 3)), (SymbolPrefix{U"ma", 1, 3, 3}));
  EXPECT_EQ(prefix_at(at(U"(map xs)", 2)), (SymbolPrefix{U"m", 1, 2, 4}));
  EXPECT_EQ(prefix_at(at(U"(:ke", 4)), (SymbolPrefix{U"ke", 2, 4, 4}));  // a keyword's colon is not completed
  EXPECT_EQ(prefix_at(at(U"(ma xs)", 4)), std::nullopt);
  EXPECT_EQ(prefix_at(at(U"", 0)), std::nullopt);
  EXPECT_EQ(prefix_at(selecting(U"(ma xs)", 1, 3)), std::nullopt);
}

TEST(HelpPopup, OpenMoveAndWait) {
  SymbolPrefix p{U"ma", 1, 3, 3};
  EXPECT_EQ(open_state(p, {}), std::nullopt);

  std::optional<PopupState> one = open_state(p, {user(U"make-thing")});
  ASSERT_TRUE(one);
  EXPECT_TRUE(one->single);

  std::optional<PopupState> s = open_state(p, {user(U"make-thing"), builtin(U"map"), builtin(U"max")});
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->single);
  EXPECT_EQ(s->index, 0u);
  EXPECT_EQ(move(*s, -1).index, 0u);
  EXPECT_EQ(move(*s, 2).index, 2u);
  EXPECT_EQ(move(*s, 9).index, 2u);
  EXPECT_EQ(move(move(*s, 2), -1).index, 1u);
  EXPECT_EQ(selected(move(*s, 1)), builtin(U"map"));

  // Waiting for the server: may be empty, never single, even with one name known so far.
  EXPECT_EQ(waiting_state(std::nullopt), std::nullopt);
  std::optional<PopupState> w = waiting_state(p, {user(U"make-thing")});
  ASSERT_TRUE(w);
  EXPECT_TRUE(w->waiting);
  EXPECT_FALSE(w->single);
  std::optional<PopupState> empty = waiting_state(p);
  ASSERT_TRUE(empty);
  EXPECT_EQ(selected(*empty), std::nullopt);
  EXPECT_EQ(move(*empty, 1).index, 0u);
  EXPECT_EQ(commit_op(*empty, at(U"(ma", 3)), std::nullopt);
}

TEST(HelpPopup, LateAnswerKeepsTheSelectedName) {
  PopupState w = *waiting_state(SymbolPrefix{U"ma", 1, 3, 3}, {user(U"make-thing"), builtin(U"map")});
  w = move(w, 1);  // on map

  PopupState merged = arrive(w, {user(U"make-thing"), user(U"mash"), builtin(U"map")});
  EXPECT_EQ(selected(merged), builtin(U"map"));
  EXPECT_FALSE(merged.waiting);

  PopupState gone = arrive(w, {user(U"mash"), builtin(U"max")});
  EXPECT_EQ(gone.index, 0u);

  PopupState lone = arrive(*waiting_state(SymbolPrefix{U"ma", 1, 3, 3}), {builtin(U"map")});
  EXPECT_FALSE(lone.single);  // an answer landing late never commits by itself
}

TEST(HelpPopup, RefineFollowsTheWordAndClosesWhenTheCaretLeavesIt) {
  PopupState s = *open_state(SymbolPrefix{U"ma", 1, 3, 3}, {user(U"make-thing"), builtin(U"map")});

  std::optional<PopupState> typed = refine(s, at(U"(mak xs)", 4), {user(U"make-thing")});
  ASSERT_TRUE(typed);
  EXPECT_EQ(typed->prefix_info, (SymbolPrefix{U"mak", 1, 4, 4}));
  EXPECT_EQ(names(*typed), std::vector<std::u32string>{U"make-thing"});
  EXPECT_FALSE(typed->single);  // narrowing to one name while typing does not insert it

  struct Case {
    const char* why;
    Snapshot snap;
  };
  const Case closes[] = {
      {"caret after a space", at(U"(ma xs)", 4)},
      {"prefix deleted", at(U"( xs)", 1)},
      {"caret before the word", at(U"(ma xs)", 1)},
      {"caret in another word", at(U"(ma xs)", 6)},
      {"a word starting elsewhere", at(U"( ma xs)", 4)},
      {"a selection", selecting(U"(ma xs)", 1, 3)},
  };
  for (const Case& c : closes) {
    EXPECT_FALSE(is_still_valid(s, c.snap)) << c.why;
    EXPECT_EQ(refine(s, c.snap, {builtin(U"map")}), std::nullopt) << c.why;
  }
  EXPECT_EQ(refine(s, at(U"(mak xs)", 4), {}), std::nullopt);  // nothing matches

  PopupState w = move(*waiting_state(SymbolPrefix{U"ma", 1, 3, 3}, {user(U"mash"), builtin(U"map"), user(U"Mapper")}), 1);
  std::optional<PopupState> narrowed = refine_waiting(w, at(U"(map", 4));
  ASSERT_TRUE(narrowed);
  EXPECT_TRUE(narrowed->waiting);
  EXPECT_EQ(narrowed->prefix_info.prefix, U"map");
  EXPECT_EQ(names(*narrowed), (std::vector<std::u32string>{U"map", U"Mapper"}));
  EXPECT_EQ(selected(*narrowed), builtin(U"map"));
  EXPECT_EQ(refine_waiting(w, at(U"(ma ", 4)), std::nullopt);
}

TEST(HelpPopup, CommitReplacesTheWholeWord) {
  PopupState s = *open_state(SymbolPrefix{U"ma", 1, 3, 3}, {user(U"make-thing"), builtin(U"map")});
  struct Case {
    Snapshot snap;
    size_t row;
    Edit edit;
    Offset caret;
  };
  const Case cases[] = {
      {at(U"(ma xs)", 3), 1, {1, 3, U"map"}, 4},
      {at(U"(maXYZ xs)", 3), 0, {1, 6, U"make-thing"}, 11},  // the rest of the word after the caret goes too
      {at(U"(mak", 4), 0, {1, 4, U"make-thing"}, 11},
  };
  for (const Case& c : cases) {
    std::optional<EditOp> op = commit_op(move(s, static_cast<int64_t>(c.row)), c.snap);
    ASSERT_TRUE(op) << u8(c.snap.text);
    EXPECT_EQ(op->edits, std::vector<Edit>{c.edit}) << u8(c.snap.text);
    EXPECT_EQ(op->caret, c.caret);
    EXPECT_EQ(op->sel, std::nullopt);
    EXPECT_EQ(apply_edits(c.snap.text, op->edits)->substr(static_cast<size_t>(c.caret) - c.edit.text.size(),
                                                          c.edit.text.size()),
              c.edit.text);
  }
  // A snapshot the popup no longer fits (the caret left the word) is never edited.
  EXPECT_EQ(commit_op(s, at(U"(ma xs)", 6)), std::nullopt);
}

TEST(HelpPopup, CandidateLabels) {
  const std::set<std::u32string> defs{U"helper"};
  EXPECT_EQ(candidate_label(user(U"helper"), defs), "buffer");
  EXPECT_EQ(candidate_label(user(U"other"), defs), "user");
  EXPECT_EQ(candidate_label({U"if", Category::Special}, defs), "special");
  EXPECT_EQ(candidate_label(builtin(U"map"), defs), "builtin");
}

TEST(HelpTarget, AtCaretsAndSelections) {
  const std::u32string text = U"(defn f [xs] (map inc xs)) ; map here\n\"map\" (g    h)";
  struct Case {
    const char* why;
    Snapshot snap;
    std::optional<Target> want;
  };
  const Case cases[] = {
      {"inside a symbol", at(text, 15), Target{U"map", 14, 17}},
      {"at its start", at(text, 14), Target{U"map", 14, 17}},
      {"at its end", at(text, 17), Target{U"map", 14, 17}},
      {"before a closer", at(text, 24), Target{U"xs", 22, 24}},
      {"in a comment", at(text, 31), std::nullopt},
      {"in a string", at(text, 41), std::nullopt},
      {"between spaces", at(text, 48), std::nullopt},
      {"a selection of exactly one symbol", selecting(text, 18, 21), Target{U"inc", 18, 21}},
      {"a selection made right to left", Snapshot{text, 18, 21, 18}, Target{U"inc", 18, 21}},
      {"a wider selection: the caret's symbol", selecting(text, 14, 21), Target{U"inc", 18, 21}},
      {"part of a symbol selected", Snapshot{text, 6, 14, 16}, Target{U"f", 6, 7}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(target(c.snap), c.want) << c.why;
    EXPECT_EQ(target_symbol(c.snap), c.want ? std::optional(c.want->symbol) : std::nullopt) << c.why;
  }
}

TEST(HelpScope, LocalBindingsRespectScopeAndBindingOrder) {
  struct Case {
    const char* why;
    std::u32string text;
    std::u32string name;
    size_t use;                    // which occurrence of name asks
    std::optional<size_t> bound;   // which occurrence binds it
  };
  const Case cases[] = {
      {"inner let shadows", U"(let [x 1] (let [x 2] x))", U"x", 2, 1},
      {"a repeated name: the later", U"(let [x 1 x 2] x)", U"x", 2, 1},
      {"own value sees the outer", U"(let [x 1] (let [x (inc x)] x))", U"x", 2, 0},
      {"body sees the inner", U"(let [x 1] (let [x (inc x)] x))", U"x", 3, 1},
      {"used before it is bound", U"(let [a b b 1] b)", U"b", 0, std::nullopt},
      {"bound after its use", U"(let [a b b 1] b)", U"b", 2, 1},
      {"later binding sees earlier", U"(loop [a 1 b a] b)", U"a", 1, 0},
      {"the binding itself", U"(let [x 1] x)", U"x", 0, 0},
      {"if-let then branch", U"(if-let [v (f)] v v)", U"v", 1, 0},
      {"if-let else branch", U"(if-let [v (f)] v v)", U"v", 2, std::nullopt},
      {"rest parameter", U"(defn f [a & more] more)", U"more", 1, 0},
      {"& never binds", U"(defn f [a & more] more)", U"&", 0, std::nullopt},
      {"a fn's own name", U"(fn self [n] (self n))", U"self", 1, std::nullopt},
      {"fn parameter", U"(fn self [n] (self n))", U"n", 1, 0},
      {"defn with docstring and attributes", U"(defn f \"d\" {:a 1} [p] p)", U"p", 1, 0},
      {"metadata before the name", U"(defn ^:private ^{:a 1} f [p] p)", U"p", 1, 0},
      {"arity clauses", U"(defn g ([a] a) ([a b] (+ a b)))", U"a", 3, 2},
      {"first arity", U"(defn g ([a] a) ([a b] (+ a b)))", U"a", 1, 0},
      {"quoted data is no arity clause", U"(defn h ([a] a) '([q] q))", U"q", 1, std::nullopt},
      {"for :let", U"(for [x xs :let [y (inc x)] :when (odd? y)] y)", U"y", 2, 0},
      {"for :when sees :let", U"(for [x xs :let [y (inc x)] :when (odd? y)] y)", U"y", 1, 0},
      {"for :let value sees the pattern", U"(for [x xs :let [y (inc x)] :when (odd? y)] y)", U"x", 1, 0},
      {"doseq sequence is not in scope", U"(doseq [x (range x)] x)", U"x", 1, std::nullopt},
      {"doseq body", U"(doseq [x (range x)] x)", U"x", 2, 0},
      {"letfn names see each other", U"(letfn [(f [n] (g n)) (g [m] m)] (f 1))", U"g", 0, 1},
      {"letfn body", U"(letfn [(f [n] (g n)) (g [m] m)] (f 1))", U"f", 1, 0},
      {"letfn entry parameters", U"(letfn [(f [n] (g n)) (g [m] m)] (f 1))", U"n", 1, 0},
      {"letfn multi-arity entry", U"(letfn [(f ([n] n) ([n k] k))] (f 1))", U"k", 1, 0},
      {":keys, not :or", U"(fn [{:keys [a b] :or {a 1} :as m}] [a b m])", U"a", 2, 0},
      {":as of a map", U"(fn [{:keys [a b] :or {a 1} :as m}] [a b m])", U"m", 1, 0},
      {":or never binds", U"(let [{:keys [x] :or {y 2}} m] y)", U"y", 1, std::nullopt},
      {"vector :as and rest", U"(let [[p & ps :as all] xs] [ps all])", U"all", 1, 0},
      {"plain map entries", U"(let [{x :x [y] :y} m] y)", U"y", 1, 0},
      {"nested destructuring", U"(let [[a {b :b}] v] b)", U"b", 1, 0},
      {"a local named like a builtin", U"(defn f [map] (map 1))", U"map", 1, 0},
      {"comments are not code", U"(let [x 1] ; (let [x 2]\n x)", U"x", 1, 0},
      {"outside the form", U"(let [x 1] x) x", U"x", 2, std::nullopt},
      {"a form never closed", U"(let [x 1] (f x", U"x", 1, 0},
      {"defmethod parameters", U"(def r 0) (defmethod area :c [{:keys [r]}] r)", U"r", 2, 1},
      {"catch", U"(try (f) (catch Exception e e))", U"e", 1, 0},
  };
  for (const Case& c : cases) {
    std::optional<Target> got = local_binding(c.text, c.name, nth(c.text, c.name, c.use));
    std::optional<Target> want;
    if (c.bound) {
      Offset start = nth(c.text, c.name, *c.bound);
      want = Target{c.name, start, start + static_cast<Offset>(c.name.size())};
    }
    EXPECT_EQ(got, want) << c.why << ": " << u8(c.text);
  }

  // Names bound by keywords, and the argument names of #( ... ).
  const std::u32string keyed = U"(fn [{:keys [:k :n/j]}] [k j])";
  EXPECT_EQ(local_binding(keyed, U"k", 25), (Target{U"k", 14, 15}));
  EXPECT_EQ(local_binding(keyed, U"j", 27), (Target{U"j", 19, 20}));
  const std::u32string anon = U"(map #(+ % %2) (let [% 1] %))";
  EXPECT_EQ(local_binding(anon, U"%", 9), (Target{U"%", 5, 7}));
  EXPECT_EQ(local_binding(anon, U"%2", 11), (Target{U"%2", 5, 7}));
  EXPECT_EQ(local_binding(anon, U"%", 26), (Target{U"%", 21, 22}));
  EXPECT_EQ(local_binding(U"(f % x)", U"%", 3), std::nullopt);
  EXPECT_EQ(local_binding(U"(let [x 1] x)", U"", 11), std::nullopt);
}

TEST(HelpJump, TargetsInOrder) {
  const std::u32string text =
      U"(def y 0)\n(defn helper [] 1)\n(let [a y y 1] (helper y))\n(defn f [y] (map y))\n; helper";
  DocMap map_doc;
  map_doc.status = DocStatus::Found;
  map_doc.symbol = "map";
  map_doc.ns = "clojure.core";
  map_doc.name = "map";
  DocMap special = map_doc;
  special.special_form = true;
  DocMap unknown;
  unknown.symbol = "map";

  const JumpTarget to_def_y{JumpTarget::Kind::Buffer, 5, std::nullopt};
  const JumpTarget to_helper{JumpTarget::Kind::Buffer, nth(text, U"helper", 0), std::nullopt};
  const JumpTarget to_let_y{JumpTarget::Kind::Buffer, nth(text, U"y", 2), std::nullopt};
  const JumpTarget to_param_y{JumpTarget::Kind::Buffer, nth(text, U"y", 4), std::nullopt};
  const JumpTarget to_runtime{JumpTarget::Kind::External, 0, map_doc};
  struct Case {
    const char* why;
    Offset caret;
    std::optional<DocMap> doc;
    std::optional<JumpTarget> want;
  };
  const Case cases[] = {
      {"a buffer definition", nth(text, U"helper", 1) + 2, std::nullopt, to_helper},
      {"the runtime's doc does not override the buffer", nth(text, U"helper", 1), map_doc, to_helper},
      {"used before bound: the def", nth(text, U"y", 1), std::nullopt, to_def_y},
      {"the let binding", nth(text, U"y", 3), std::nullopt, to_let_y},
      {"a parameter shadowing the def", nth(text, U"y", 5), std::nullopt, to_param_y},
      {"the runtime's var", nth(text, U"map", 0) + 1, map_doc, to_runtime},
      {"no doc", nth(text, U"map", 0), std::nullopt, std::nullopt},
      {"not found", nth(text, U"map", 0), unknown, std::nullopt},
      {"a special form has no var", nth(text, U"map", 0), special, std::nullopt},
      {"in a comment", static_cast<Offset>(text.size()) - 2, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(jump_target(at(text, c.caret), c.doc), c.want) << c.why;
}

TEST(HelpDoc, QuickDocTexts) {
  DocMap inc;
  inc.status = DocStatus::Found;
  inc.symbol = "inc";
  inc.ns = "clojure.core";
  inc.name = "inc";
  inc.arglists = "([x])";
  inc.doc = "  Returns a number one greater than num.  ";
  const std::string rule(40, '-');
  EXPECT_EQ(doc_text(inc, "clojure/core.clj:881"),
            "clojure.core/inc\n([x])\n" + rule + "\nReturns a number one greater than num.\n\nclojure/core.clj:881");
  EXPECT_EQ(doc_text(inc), "clojure.core/inc\n([x])\n" + rule + "\nReturns a number one greater than num.");
  EXPECT_EQ(doc_text(std::nullopt), "\n\n(No documentation found)");

  const std::pair<std::optional<std::string>, std::optional<std::string>> locations[] = {
      {"jar:file:/home/me/.m2/repository/org/clojure/clojure/1.11.1/clojure-1.11.1.jar!/clojure/core.clj",
       "Defined in clojure-1.11.1.jar!/clojure/core.clj"},
      {"/home/me/proj/src/app/core.clj", "Defined in /home/me/proj/src/app/core.clj"},
      {"lib.jar!/a/b.clj", "Defined in lib.jar!/a/b.clj"},
      {std::nullopt, std::nullopt},
  };
  for (const auto& [in, want] : locations) EXPECT_EQ(location_line(in), want) << in.value_or("nil");

  const std::pair<FullDocResult, std::optional<std::string>> statuses[] = {
      {{FullDocStatus::Ok, "map", "user"}, std::nullopt},
      {{FullDocStatus::NoOp, "map", "user"}, "This server has no full-doc op."},
      {{FullDocStatus::Timeout, "map", "user"}, "Full docs for map timed out."},
      {{FullDocStatus::NotAttached, "map", "user"},
       "No docs: Orrery isn't attached to the server yet. Run something first."},
      {{FullDocStatus::NotLoaded, "map", "app.core"},
       "No docs: app.core isn't loaded in the server yet. Run the file first."},
      {{FullDocStatus::NotFound, "frob", "user"}, "No full docs: the server doesn't know frob."},
  };
  for (const auto& [result, want] : statuses) EXPECT_EQ(full_doc_status(result), want);
}

TEST(HelpRename, ProblemsAndTheRename) {
  const std::u32string text = U"(defn f [a] (+ a a)) ; a";
  struct Case {
    Snapshot snap;
    std::u32string entry;
    std::optional<std::string> problem;
  };
  const Case cases[] = {
      {at(text, 21), U"b", "Put the caret on a symbol first."},
      {at(text, 9), U"   ", "Type a new name."},
      {at(text, 9), U" a ", "That's the current name."},
      {at(text, 9), U"a b", "Can't rename 'a' to 'a b'."},
      {at(text, 9), U" total ", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rename_problem(c.snap, c.entry), c.problem) << u8(c.entry);
    EXPECT_EQ(rename_op(c.snap, c.entry).has_value(), !c.problem) << u8(c.entry);
  }

  // A selection wider than one symbol renames the caret's symbol, not the selected text.
  Snapshot wide{text, 9, 6, 9};
  std::optional<EditOp> op = rename_op(wide, U"n");
  ASSERT_TRUE(op);
  EXPECT_EQ(*apply_edits(text, op->edits), U"(defn f [n] (+ n n)) ; a");
  EXPECT_EQ(op->caret, 9);
  EXPECT_EQ(op->sel, (Span{6, 9}));

  EXPECT_EQ(renamed_status(U"a", U"n", 3), "Renamed 3 occurrences of 'a' to 'n'.");
  EXPECT_EQ(renamed_status(U"a", U"n", 1), "Renamed 1 occurrence of 'a' to 'n'.");
}

TEST(HelpClick, JumpClicks) {
  constexpr uint32_t BUTTON1 = 1u << 8, CAPS = 1u << 1;
  struct Case {
    Click click;
    bool want;
  };
  const Case cases[] = {
      {{"Linux", 1, keymap::MASK_CTRL, false}, true},
      {{"Linux", 1, keymap::MASK_CTRL | BUTTON1 | CAPS, false}, true},
      {{"Linux", 1, keymap::MASK_META, false}, false},
      {{"Linux", 1, keymap::MASK_CTRL | keymap::MASK_SHIFT, false}, false},
      {{"Linux", 2, keymap::MASK_CTRL, false}, false},
      {{"Linux", 1, keymap::MASK_CTRL, true}, false},  // a drag that selected text
      {{"Linux", 1, 0, false}, false},
      {{"Mac OS X", 1, keymap::MASK_META, false}, true},
      {{"Mac OS X", 1, keymap::MASK_CTRL, false}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_jump_click(c.click), c.want) << c.click.os << " " << c.click.n_press << " " << c.click.state;
  }
}

}  // namespace
}  // namespace orrery::help
