#include "orrery/syntax_defs.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "kelp/data/string.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/namespace.hpp"
#include "orrery/session.hpp"

namespace orrery {
namespace {

std::string u8(std::u32string_view s) { return kelp::to_utf8(s); }

std::vector<std::u32string> names_of(const std::vector<Candidate>& cs) {
  std::vector<std::u32string> out;
  for (const Candidate& c : cs) out.push_back(c.symbol);
  return out;
}

ptrdiff_t index_of(const std::vector<Candidate>& cs, std::u32string_view name) {
  auto it = std::find_if(cs.begin(), cs.end(), [&](const Candidate& c) { return c.symbol == name; });
  return it == cs.end() ? -1 : it - cs.begin();
}

// A namespace of this file's own, so other tests' definitions in user never count as the user's names here.
std::string quiet_ns() {
  kelp::boot();
  kelp::rt::create_ns("sdt.quiet");
  return "sdt.quiet";
}

TEST(SyntaxDefs, FindDefinition) {
  struct Case {
    std::u32string text;
    std::u32string name;
    std::optional<Offset> pos;
    std::optional<DefinitionHit> want;
  };
  const Case cases[] = {
      {U"(defn ^:private foo [])", U"foo", {}, DefinitionHit{U"foo", 16, 19, 1, DefKind::Def, {}}},
      {U"(def ^:a ^:b y 1)", U"y", {}, DefinitionHit{U"y", 13, 14, 1, DefKind::Def, {}}},
      {U"(do\n  (when x\n    (def x 1)))", U"x", {}, DefinitionHit{U"x", 23, 24, 3, DefKind::Def, {}}},
      {U"; (def x 0)\n(def x 1) (def x 2)", U"x", {}, DefinitionHit{U"x", 17, 18, 2, DefKind::Def, {}}},
      // The def wins over an earlier local use.
      {U"(f x) (def x 1)", U"x", 5, DefinitionHit{U"x", 11, 12, 1, DefKind::Def, {}}},
      {U"(let [foo 1] foo)", U"foo", 17, DefinitionHit{U"foo", 13, 16, 1, DefKind::Local, {}}},
      {U"(let [foo 1] foo)", U"foo", 13, DefinitionHit{U"foo", 6, 9, 1, DefKind::Local, {}}},
      {U"(let [foo 1] foo)", U"foo", 6, std::nullopt},
      {U"(let [foo 1] foo)", U"foo", {}, std::nullopt},
      // The scanner calls map a builtin, so no def of it is found; a string or a vector ends the candidate.
      {U"(defn map [])", U"map", {}, std::nullopt},
      {U"(defn \"s\" foo [])", U"foo", {}, std::nullopt},
      {U"(def [foo] 1)", U"foo", {}, std::nullopt},
      {U"(def foo 1)", U"  ", 3, std::nullopt},
      {U"(def foobar 1)", U"foo", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(find_definition(c.text, c.name, c.pos), c.want) << u8(c.text) << " / " << u8(c.name);
  }

  std::u32string text = U"(def a 1)\n(defn- a [])\n(defmacro b [])\n(x (defonce ^:dynamic a 2))";
  std::vector<DefinitionHit> all = find_definitions(text, U"a");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], (DefinitionHit{U"a", 5, 6, 1, DefKind::Def, U"def"}));
  EXPECT_EQ(all[1], (DefinitionHit{U"a", 17, 18, 2, DefKind::Def, U"defn-"}));
  EXPECT_EQ(all[2], (DefinitionHit{U"a", 61, 62, 4, DefKind::Def, U"defonce"}));
  EXPECT_TRUE(find_definitions(text, U"").empty());
}

TEST(SyntaxDefs, BufferDefMetaReadsDocstringAndArglists) {
  struct Case {
    std::u32string text;
    std::u32string name;
    std::optional<BufferDefMeta> want;
  };
  using S = std::u32string;
  const Case cases[] = {
      {U"(defn f \"Doc.\" ([x] x) ([x y] y))", U"f", BufferDefMeta{S(U"Doc."), S(U"([x] [x y])")}},
      {U"(def x 1)", U"x", BufferDefMeta{}},
      {U"(def x \"A doc.\" 1)", U"x", BufferDefMeta{S(U"A doc."), {}}},
      // The docstring is kept as written; metatags are skipped on both sides of it.
      {U"(defn ^:private g \"A \\\"q\\\"\" ^:m [a & more] a)", U"g", BufferDefMeta{S(U"A \\\"q\\\""), S(U"([a & more])")}},
      // A branch's first vector at any depth; a branch without one adds nothing; an attribute map is skipped.
      {U"(defmacro m ([] 1) {:a 1} ((fn [z] z)) ([a [b]] a))", U"m", BufferDefMeta{{}, S(U"([] [z] [a [b]])")}},
      {U"(defn n () ())", U"n", BufferDefMeta{}},
      {U"(defmulti area :shape)", U"area", BufferDefMeta{}},
      {U"(defrecord R [a b])", U"R", BufferDefMeta{}},  // not a function head
      {U"(defn ; note\n  k\n  [x] x)", U"k", BufferDefMeta{{}, S(U"([x])")}},
      // A form never closed has no known end.
      {U"(defn h [x]", U"h", std::nullopt},
  };
  for (const Case& c : cases) {
    std::optional<DefinitionHit> hit = find_definition(c.text, c.name);
    ASSERT_TRUE(hit) << u8(c.text);
    EXPECT_EQ(extract_buffer_def_meta(c.text, *hit), c.want) << u8(c.text);
  }
  // Only a def hit has metadata.
  std::u32string local = U"(let [v 1] v)";
  EXPECT_EQ(extract_buffer_def_meta(local, *find_definition(local, U"v", 13)), std::nullopt);
  EXPECT_EQ(extract_buffer_def_meta(local, DefinitionHit{U"v", 6, 7, 1, DefKind::Def, {}}), std::nullopt);
}

TEST(SyntaxDefs, SymbolDocAsksTheRuntimeThenTheBuffer) {
  kelp::boot();
  kelp::eval_string("(ns sdt.doc) (alias 'cc 'clojure.core)"
                    "(defn shown \"Shows.\" ([a] a) ([a b] b)) (defmacro mac [] nil) (def plain 1)",
                    "NO_SOURCE_PATH", "user");

  std::optional<DocMap> shown = get_symbol_doc(U"shown", std::nullopt, std::nullopt, "sdt.doc");
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->status, DocStatus::Found);
  EXPECT_EQ(shown->ns, "sdt.doc");
  EXPECT_EQ(shown->name, "shown");
  EXPECT_EQ(shown->arglists, "([a] [a b])");
  EXPECT_EQ(shown->doc, "Shows.");
  EXPECT_EQ(shown->file, "unknown");  // defined from no file
  EXPECT_TRUE(shown->line.has_value());
  EXPECT_FALSE(shown->is_macro);
  EXPECT_TRUE(get_symbol_doc(U"mac", {}, {}, "sdt.doc")->is_macro);

  // Referred, aliased and fully qualified names resolve; the runtime wins over a buffer definition.
  std::u32string buffer = U"(defn map \"mine\" [q])\n(defn sdt-local-only \"Local.\" [q] q)";
  for (std::u32string_view name : {U"map", U"cc/map", U"clojure.core/map"}) {
    std::optional<DocMap> d = get_symbol_doc(name, buffer, {}, "sdt.doc");
    ASSERT_TRUE(d) << u8(name);
    EXPECT_EQ(d->status, DocStatus::Found) << u8(name);
    EXPECT_EQ(d->ns, "clojure.core") << u8(name);
    EXPECT_EQ(d->name, "map") << u8(name);
  }

  std::optional<DocMap> special = get_symbol_doc(U"if");
  ASSERT_TRUE(special);
  EXPECT_EQ(*special, (DocMap{.status = DocStatus::Found, .symbol = "if", .name = "if", .special_form = true}));

  std::optional<DocMap> local = get_symbol_doc(U"sdt-local-only", buffer, {}, "sdt.doc");
  ASSERT_TRUE(local);
  EXPECT_EQ(*local, (DocMap{.status = DocStatus::BufferDef, .symbol = "sdt-local-only", .arglists = "([q])",
                            .doc = "Local.", .line = 2, .kind = DefKind::Def}));

  EXPECT_EQ(*get_symbol_doc(U"sdt-nowhere", buffer), (DocMap{.status = DocStatus::NotFound, .symbol = "sdt-nowhere"}));
  EXPECT_EQ(get_symbol_doc(U"  "), std::nullopt);
  EXPECT_EQ(runtime_doc(U"sdt-local-only", "sdt.doc"), std::nullopt);
  EXPECT_EQ(runtime_doc(U"no.such.ns/x"), std::nullopt);

  // The kelp edge: a map that reads back as the entry it was written from.
  for (const DocMap& d : {*shown, *special, *local}) EXPECT_EQ(doc_map_of(doc_map_value(d)), d) << d.symbol;
  EXPECT_EQ(kelp::pr_str(doc_map_value(*special)),
            "{:status :found, :symbol \"if\", :name \"if\", :special-form true}");
  EXPECT_EQ(doc_map_of(kelp::Value()), std::nullopt);
}

TEST(SyntaxDefs, PreviewText) {
  const std::string rule(40, '-');
  struct Case {
    std::optional<DocMap> doc;
    DocFormatOptions opts;
    std::string want;
  };
  const Case cases[] = {
      {std::nullopt, {.symbol = "zzz"}, "zzz\n\n(No documentation found)"},
      {std::nullopt, {}, "\n\n(No documentation found)"},
      {DocMap{.symbol = "q"}, {}, "q\n\n(No documentation found)"},
      {DocMap{.symbol = "q"}, {.symbol = "typed"}, "typed\n\n(No documentation found)"},
      {DocMap{.status = DocStatus::Found, .symbol = "plus", .ns = "m", .name = "plus", .arglists = "([x y])",
              .doc = "  Adds.\n  "},
       {},
       "m/plus\n([x y])\n" + rule + "\nAdds."},
      {DocMap{.status = DocStatus::Found, .symbol = "w", .ns = "m", .name = "w", .arglists = "([& body])",
              .is_macro = true},
       {},
       "m/w  [macro]\n([& body])\n" + rule + "\n(No documentation string)"},
      {DocMap{.status = DocStatus::Found, .symbol = "w", .name = "w", .is_macro = true}, {},
       "w  [macro]\n" + rule + "\n(No documentation string)"},
      {DocMap{.status = DocStatus::Found, .symbol = "if", .name = "if", .special_form = true}, {},
       "if  [special form]\n" + rule + "\n(No documentation string)"},
      // The popup's category makes a special form of an entry that does not say so itself.
      {DocMap{.status = DocStatus::Found, .symbol = "do", .ns = "clojure.core", .name = "do", .arglists = " "},
       {.category = Category::Special, .symbol = std::nullopt},
       "do  [special form]\n" + rule + "\n(No documentation string)"},
      {DocMap{.status = DocStatus::BufferDef, .symbol = "f", .arglists = "([x])", .doc = "Doc.", .line = 3}, {},
       "f  [buffer def, line 3]\n([x])\n" + rule + "\nDoc."},
      {DocMap{.status = DocStatus::BufferDef, .symbol = "f"}, {}, "f  [buffer def]\n" + rule + "\n(No documentation string)"},
      {DocMap{.status = DocStatus::Found, .symbol = "x", .doc = " \n "}, {}, "x\n" + rule + "\n(No documentation string)"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_autocomplete_doc(c.doc, c.opts), c.want);
}

TEST(SyntaxDefs, BufferSymbols) {
  std::u32string text = U"(defn ^:private a [b] (+ b c)) ; (def z 1)\n(def map 2) (defprotocol P) (def :k 3) (b)";
  BufferSymbols s = extract_text_symbols(text);
  EXPECT_EQ(s.defs, (std::set<std::u32string>{U"a", U"map", U"P"}));
  EXPECT_EQ(s.spans, (std::vector<SymbolSpan>{{U"a", 16, 17}, {U"b", 19, 20}, {U"b", 25, 26}, {U"c", 27, 28},
                                              {U"P", 68, 69}, {U"b", 83, 84}}));
  EXPECT_EQ(s.all_tokens, (std::set<std::u32string>{U"a", U"b", U"c", U"P"}));
  EXPECT_EQ(s.token_counts, (std::map<std::u32string, int64_t>{{U"a", 1}, {U"b", 3}, {U"c", 1}, {U"P", 1}}));
  EXPECT_EQ(find_buffer_definitions(text), s.defs);
  EXPECT_TRUE(find_buffer_definitions(U" \n ").empty());
}

TEST(SyntaxDefs, BufferSymbolsCacheKeepsTheNewestTexts) {
  auto text_n = [](int i) { return U"(def sdt-cached-" + kelp::to_u32(std::to_string(i)) + U" 1)"; };
  std::shared_ptr<const BufferSymbols> first = get_cached_or_compute_buffer_symbols(text_n(0));
  EXPECT_GT(first->timestamp, 0);
  EXPECT_EQ(get_cached_or_compute_buffer_symbols(text_n(0)), first);  // a hit is the stored entry
  for (int i = 1; i < 40; ++i) get_cached_or_compute_buffer_symbols(text_n(i));
  EXPECT_EQ(buffer_symbols_cache_count(), BUFFER_SYMBOLS_CACHE_SIZE);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(cached_buffer_symbols(text_n(i)) != nullptr, i >= 8) << i;
  // A blank text is answered, never stored.
  EXPECT_TRUE(get_cached_or_compute_buffer_symbols(U"   ")->defs.empty());
  EXPECT_EQ(cached_buffer_symbols(U"   "), nullptr);
}

TEST(SyntaxDefs, SymbolPrefixAtPos) {
  for (char32_t c : std::u32string_view(U"()[]{}\"'`~@^\\,;: \t\n"))
    EXPECT_FALSE(is_symbol_char(c)) << static_cast<uint32_t>(c);
  for (char32_t c : std::u32string_view(U"a-?!*/.#<>=λ0")) EXPECT_TRUE(is_symbol_char(c)) << static_cast<uint32_t>(c);

  struct Case {
    std::u32string text;
    Offset pos;
    SymbolPrefix want;
  };
  const Case cases[] = {
      {U"(map inc xs)", 4, {U"map", 1, 4, 4}},
      {U"(map inc xs)", 2, {U"m", 1, 2, 4}},
      {U"(map inc xs)", 5, {U"", 5, 5, 8}},
      {U"(:kw x)", 4, {U"kw", 2, 4, 4}},
      {U"@atom", 3, {U"at", 1, 3, 5}},
      {U"str/jo x", 6, {U"str/jo", 0, 6, 6}},
      {U"λx y", 2, {U"λx", 0, 2, 2}},
      {U"abc", 99, {U"abc", 0, 3, 3}},
      {U"abc", -4, {U"", 0, 0, 3}},
      {U"", 5, {U"", 0, 0, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(get_symbol_prefix_at_pos(c.text, c.pos), c.want) << u8(c.text) << " @" << c.pos;
}

TEST(SyntaxDefs, CandidatesOrderUserThenExactCaseThenCategory) {
  std::string ns = quiet_ns();
  std::u32string text = U"(defn make-thing [])\n(ma";
  std::vector<Candidate> ma = get_autocomplete_candidates({U"ma", text, static_cast<Offset>(text.size()), {}, ns});
  ASSERT_FALSE(ma.empty());
  EXPECT_EQ(ma[0], (Candidate{U"make-thing", Category::User}));
  EXPECT_EQ(ma[index_of(ma, U"map")].category, Category::Builtin);
  EXPECT_LT(index_of(ma, U"map"), index_of(ma, U"mapv"));
  EXPECT_EQ(index_of(ma, U"ma"), -1);  // the prefix itself is no candidate
  for (const Candidate& c : ma) EXPECT_EQ(u8(c.symbol).substr(0, 2), "ma") << u8(c.symbol);

  std::u32string text2 = U"(defn make-thing [])\n(def Matrix 1)\n(Ma";
  std::vector<Candidate> upper = get_autocomplete_candidates({U"Ma", text2, static_cast<Offset>(text2.size()), {}, ns});
  ASSERT_GE(upper.size(), 3u);
  EXPECT_EQ(upper[0], (Candidate{U"Matrix", Category::User}));
  EXPECT_EQ(upper[1], (Candidate{U"make-thing", Category::User}));
  EXPECT_GT(index_of(upper, U"map"), 1);

  // Special forms come before builtins of the same standing; a name in both lists is a special form once.
  std::vector<Candidate> d = get_autocomplete_candidates({U"d", {}, {}, {}, ns});
  ASSERT_GE(index_of(d, U"def"), 0);
  EXPECT_EQ(d[index_of(d, U"def")].category, Category::Special);
  EXPECT_LT(index_of(d, U"do"), index_of(d, U"dec"));
  std::vector<std::u32string> all = names_of(static_candidates());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

TEST(SyntaxDefs, TheWordAtTheCaretIsNotOfferedToItself) {
  std::string ns = quiet_ns();
  struct Case {
    std::u32string text;
    Offset pos;
    bool offered;
  };
  const Case cases[] = {
      {U"(zorblax)", 3, false},              // typed once, caret inside it
      {U"(zorblax)", 8, false},              // caret at its end
      {U"(zorblax) (zorblax)", 3, true},     // it is also a word elsewhere
      {U"(def zorblax 1) (zorblax)", 19, true},  // defined in the buffer
      {U"(zorblax) (zo", 13, true},          // the caret is in another word
  };
  for (const Case& c : cases) {
    std::vector<Candidate> got = get_autocomplete_candidates({U"zo", c.text, c.pos, {}, ns});
    EXPECT_EQ(index_of(got, U"zorblax") >= 0, c.offered) << u8(c.text) << " @" << c.pos;
  }
}

TEST(SyntaxDefs, CandidatesWithoutPrefixAndFromOtherSources) {
  std::string ns = quiet_ns();
  EXPECT_EQ(get_autocomplete_candidates({U"", {}, {}, {}, ns}), static_candidates());
  EXPECT_EQ(static_candidates().front().category, Category::Special);
  EXPECT_EQ(static_candidates().back().category, Category::Builtin);

  std::vector<Candidate> none = get_autocomplete_candidates({U" ", U"(def Zeta 1) (def alpha 2)", {}, {}, ns});
  ASSERT_GT(none.size(), 2u);
  EXPECT_EQ(none[0], (Candidate{U"alpha", Category::User}));
  EXPECT_EQ(none[1], (Candidate{U"Zeta", Category::User}));
  EXPECT_EQ(none[2], static_candidates().front());

  // The runtime namespace's public vars and the extra context's words count as the user's; private vars do not.
  kelp::eval_string("(ns sdt.cands) (defn sdt-pub [] 1) (defn- sdt-priv [] 2)", "NO_SOURCE_PATH", "user");
  CompletionQuery q{U"sdt-", U"(sdt-word)", 0, [] { return std::optional<std::u32string>(U"(defn sdt-extra [])"); },
                    "sdt.cands"};
  EXPECT_EQ(get_autocomplete_candidates(q), (std::vector<Candidate>{{U"sdt-extra", Category::User},
                                                                    {U"sdt-pub", Category::User},
                                                                    {U"sdt-word", Category::User}}));
  // A clojure.core name the scanner reads as a plain symbol stays a builtin when the text uses it.
  auto plain = std::find_if(static_candidates().begin(), static_candidates().end(), [](const Candidate& c) {
    Tokens t = tokenize(c.symbol);
    return t.size() == 1 && t[0].type == TokenType::Symbol;
  });
  ASSERT_NE(plain, static_candidates().end());
  std::vector<Candidate> used = get_autocomplete_candidates({plain->symbol.substr(0, 1), U"(" + plain->symbol + U")", 0, {}, ns});
  ASSERT_GE(index_of(used, plain->symbol), 0) << u8(plain->symbol);
  EXPECT_EQ(used[index_of(used, plain->symbol)].category, Category::Builtin);
}

TEST(SyntaxDefs, InProcessSessionAnswersThroughTheseLookups) {
  kelp::boot();
  kelp::eval_string("(defn sdt-session-fn \"Doc.\" [x] x)", "NO_SOURCE_PATH", "user");
  auto s = session::make_session({});
  EXPECT_EQ(kelp::pr_str(s->complete({"sdt-session", "", 0, {}})),
            "[{:candidate \"sdt-session-fn\", :type :user}]");
  std::string doc = kelp::pr_str(s->lookup("sdt-session-fn", 0));
  EXPECT_NE(doc.find(":status :found"), std::string::npos) << doc;
  EXPECT_NE(doc.find(":arglists \"([x])\""), std::string::npos) << doc;
  EXPECT_EQ(format_autocomplete_doc(doc_map_of(s->lookup("sdt-session-fn", 0))),
            "user/sdt-session-fn\n([x])\n" + std::string(40, '-') + "\nDoc.");
  EXPECT_TRUE(s->lookup("sdt-no-such-thing", 0).is_nil());
}

}  // namespace
}  // namespace orrery
