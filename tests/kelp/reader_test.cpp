// The Clojure reader: every syntax, the expansions that must match JVM Clojure's exactly (syntax-quote, #(),
// reader conditionals), positions carried as metadata, errors with their places, and limits on hostile input.
// Expected texts come from JVM Clojure 1.11's reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <unistd.h>

#include "kelp/data/map.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/reader.hpp"
#include "support/corpus.hpp"

namespace kelp::read {
namespace {

namespace fs = std::filesystem;

// A namespace with an alias and a few names that resolve elsewhere, as the runtime would answer.
struct TestContext : ReaderContext {
  std::string current_ns() const override { return "my.ns"; }
  std::optional<std::string> resolve_alias(std::string_view alias) const override {
    if (alias == "str") return "clojure.string";
    return std::nullopt;
  }
  Value resolve_symbol(const Value& sym) const override {
    const auto& s = sym.as<Symbol>();
    if (!s.has_ns() && s.name() == "map") return symbol("clojure.core", "map");
    if (!s.has_ns() && s.name() == "String") return symbol("java.lang.String");
    if (s.has_ns() && s.ns() == "str") return symbol("clojure.string", s.name());
    return ReaderContext::resolve_symbol(sym);
  }
  std::optional<Value> read_tagged(const Value& tag, const Value& form) const override {
    if (pr_str(tag) == "point") return make_vector({keyword("point"), form});
    return std::nullopt;
  }
};

// Every form of the text printed and joined by spaces, or "ERR: message".
std::string rd(std::string_view text, const ReadOptions& options = {}, ReaderContext* ctx = nullptr) {
  try {
    std::string out;
    for (const Value& v : read_all(text, options, ctx)) {
      if (!out.empty()) out += ' ';
      out += pr_str(v);
    }
    return out;
  } catch (const ReadError& e) {
    return std::string("ERR: ") + e.what();
  }
}

struct Case {
  std::string text, expected;
};

void check_all(const std::vector<Case>& cases, const ReadOptions& options = {}, bool test_context = false) {
  for (const Case& c : cases) {
    TestContext ctx;
    EXPECT_EQ(rd(c.text, options, test_context ? &ctx : nullptr), c.expected) << "reading: " << c.text;
  }
}

TEST(Reader, ReadsAtoms) {
  check_all({
      {"nil true false", "nil true false"}, {"42 -7 +5", "42 -7 5"}, {"0x1F -0x10 017 2r101 36rZZ", "31 -16 15 5 1295"},
      {"42N 1/2 4/2 -3/6", "42N 1/2 2 -1/2"}, {"99999999999999999999", "99999999999999999999N"},
      {"1.5 1e3 1.5M -0.0", "1.5 1000.0 1.5M -0.0"}, {"##Inf ##-Inf ##NaN", "##Inf ##-Inf ##NaN"},
      {R"("a\tb\n\\\"\b\f\r")", R"("a\tb\n\\\"\b\f\r")"}, {R"("\u00e9\101\0" "é")", "\"éA\\u0000\" \"é\""},
      {R"("\uD83D\uDE00")", "\"😀\""}, {R"("\1 x")", "\"\\u0001 x\""}, {"\"multi\nline\"", "\"multi\\nline\""},
      {R"(\a \A \( \newline \space \tab \backspace \formfeed \return)",
       R"(\a \A \( \newline \space \tab \backspace \formfeed \return)"},
      {R"(\u0041 \o101 \u \o \é)", R"(\A \A \u \o \é)"}, {R"([\a\b])", R"([\a \b])"},
      {":a :a/b :a/b/c ::k", ":a :a/b :a/b/c :user/k"}, {"a a/b / clojure.core// nil/a a'b a%b a#b", "a a/b / clojure.core// nil/a a'b a%b a#b"},
      {"a@b 1'a 1%", "a (clojure.core/deref b) 1 (quote a) 1 %"},
  });
}

TEST(Reader, ReadsCollectionsAndPrefixForms) {
  check_all({
      {"(a (b)) [1 [2]] () []", "(a (b)) [1 [2]] () []"}, {"{:a 1 :b 2} {}", "{:a 1, :b 2} {}"}, {"#{1}", "#{1}"},
      {"[1,2,,3]", "[1 2 3]"}, {"(1 . 2)", "(1 . 2)"},
      {"'x @x #'x ~x ~@x", "(quote x) (clojure.core/deref x) (var x) (clojure.core/unquote x) (clojure.core/unquote-splicing x)"},
      {"''x", "(quote (quote x))"},
      {"[1 #_ 2 3] #_#_ a b c (#_x)", "[1 3] c ()"}, {"; comment\n1 ;; more\n2", "1 2"}, {"#!/usr/bin/env kelp\n3", "3"},
      {R"(#"a\d+\"")", R"(#"a\d+\"")"}, {"#:a{:b 1 :_/c 2 d 3 :x/y 4}", "{:a/b 1, :c 2, a/d 3, :x/y 4}"},
      {"#:a {:b 1}", "{:a/b 1}"}, {"#::{:b 1}", "{:user/b 1}"},
      {"#inst \"2020-01-02T03:04:05.678-00:00\"", "#inst \"2020-01-02T03:04:05.678-00:00\""},
      {"#uuid \"0f0e0d0c-0b0a-0908-0706-050403020100\"", "#uuid \"0f0e0d0c-0b0a-0908-0706-050403020100\""},
  });
}

TEST(Reader, ResolvesThroughTheContext) {
  check_all({
      {"::k ::str/k #::{:a 1} #::str{:a 1}", ":my.ns/k :clojure.string/k {:my.ns/a 1} {:clojure.string/a 1}"},
      {"`[map x str/join]", "(clojure.core/apply clojure.core/vector (clojure.core/seq (clojure.core/concat "
                            "(clojure.core/list (quote clojure.core/map)) (clojure.core/list (quote my.ns/x)) "
                            "(clojure.core/list (quote clojure.string/join)))))"},
      {"`String `String. `Foo.", "(quote java.lang.String) (quote java.lang.String.) (quote Foo.)"},
      {"#point [1 2]", "[:point [1 2]]"}, {"#nope 1", "ERR: No reader function for tag nope"},
      {"::nope/k", "ERR: Invalid token: ::nope/k"}, {"#::nope{}", "ERR: Unknown auto-resolved namespace alias: nope"},
  }, {}, true);
}

TEST(Reader, ExpandsSyntaxQuoteAsJvmClojure) {
  check_all({
      {"`(a ~b ~@c)", "(clojure.core/seq (clojure.core/concat (clojure.core/list (quote user/a)) (clojure.core/list b) c))"},
      {"`{:a 1}", "(clojure.core/apply clojure.core/hash-map (clojure.core/seq (clojure.core/concat (clojure.core/list :a) (clojure.core/list 1))))"},
      {"`#{x}", "(clojure.core/apply clojure.core/hash-set (clojure.core/seq (clojure.core/concat (clojure.core/list (quote user/x)))))"},
      {"`() `[]", "(clojure.core/list) (clojure.core/apply clojure.core/vector (clojure.core/seq (clojure.core/concat)))"},
      {"`nil `true `:a `\"s\" `1 `\\a `1.5M", "(quote nil) (quote true) :a \"s\" 1 \\a 1.5M"},
      {"`if `fn* `& `recur `.foo `a/b `clojure.core/import*",
       "(quote if) (quote fn*) (quote &) (quote recur) (quote .foo) (quote a/b) (quote clojure.core/import*)"},
      {"`(x# x# y#) `x#", "(clojure.core/seq (clojure.core/concat (clojure.core/list (quote x__1__auto__)) "
                          "(clojure.core/list (quote x__1__auto__)) (clojure.core/list (quote y__2__auto__)))) "
                          "(quote x__3__auto__)"},
      {"`~x", "x"}, {"`~@x", "ERR: splice not in list"},
      {"``a", "(clojure.core/seq (clojure.core/concat (clojure.core/list (quote quote)) (clojure.core/list (quote user/a))))"},
      {"`^:m [a]", "(clojure.core/with-meta (clojure.core/apply clojure.core/vector (clojure.core/seq (clojure.core/concat "
                   "(clojure.core/list (quote user/a))))) (clojure.core/apply clojure.core/hash-map (clojure.core/seq "
                   "(clojure.core/concat (clojure.core/list :m) (clojure.core/list (quote true))))))"},
      // Positions read onto lists are not metadata the expansion rebuilds.
      {"`(a)", "(clojure.core/seq (clojure.core/concat (clojure.core/list (quote user/a))))"},
  });
}

TEST(Reader, ReadsFunctionLiteralsAsJvmClojure) {
  check_all({
      {"#(+ % %)", "(fn* [p1__1#] (+ p1__1# p1__1#))"},
      {"#(%2 %&)", "(fn* [p1__3# p2__1# & rest__2#] (p2__1# rest__2#))"},
      {"#(+ %2 %1)", "(fn* [p1__2# p2__1#] (+ p2__1# p1__2#))"},
      {"#(x %1 %)", "(fn* [p1__1#] (x p1__1# p1__1#))"},
      {"#()", "(fn* [] ())"}, {"#(%-1)", "(fn* [& rest__1#] (rest__1#))"},
      {"% %a", "% %a"},
      {"#(#(%))", "ERR: Nested #()s are not allowed"}, {"#(%a)", "ERR: arg literal must be %, %& or %integer"},
      {"#(%99999999999)", "ERR: Can't specify more than 20 params"},
  });
}

TEST(Reader, ChoosesReaderConditionalBranches) {
  check_all({
      {"#?(:clj 1 :cljs 2)", "1"}, {"#?(:clj 1 :kelp 2)", "2"}, {"#?(:default 1 :clj 2)", "2"},
      {"#?(:cljs 1 :default 3)", "3"}, {"[#?(:cljs 1)] #?(:cljs 1) 5", "[] 5"},
      {"[0 #?@(:clj [1 2]) 3] (#?@(:clj (1 2))) {#?@(:clj [1 2])}", "[0 1 2 3] (1 2) {1 2}"},
      // A branch not taken may use tags and aliases only its platform knows.
      {"[#?(:cljs #js {} :clj 2) #?(:cljs ::x/y)]", "[2]"},
      {"#?@(:clj [1 2])", "ERR: Reader conditional splicing not allowed at the top level."},
      {"#?(:clj)", "ERR: read-cond requires an even number of forms."}, {"#?[:clj 1]", "ERR: read-cond body must be a list"},
      {"#?(1 2)", "ERR: Feature should be a keyword: 1"},
      {"[#?@(:clj 1)]", "ERR: Spliced form list in read-cond-splicing must implement java.util.List"},
  });
  ReadOptions cljs;
  cljs.features = {"cljs"};
  check_all({{"#?(:clj 1 :cljs 2)", "2"}}, cljs);
  ReadOptions strict;
  strict.allow_reader_conditionals = false;
  check_all({{"#?(:clj 1)", "ERR: Conditional read not allowed"}}, strict);
}

TEST(Reader, ReportsErrorsAsJvmClojure) {
  check_all({
      {"{:a 1 :a 2}", "ERR: Duplicate key: :a"}, {"#{1 1}", "ERR: Duplicate key: 1"}, {"#:a{:b 1 :b 2}", "ERR: Duplicate key: :a/b"},
      {"{:a}", "ERR: Map literal must contain an even number of forms"},
      {"(a", "ERR: EOF while reading, starting at line 1"}, {"[a\n(b", "ERR: EOF while reading, starting at line 2"},
      {"'", "ERR: EOF while reading"}, {"#_", "ERR: EOF while reading"}, {"\"ab", "ERR: EOF while reading string"},
      {"\\", "ERR: EOF while reading character"}, {"#\"ab", "ERR: EOF while reading regex"},
      {")", "ERR: Unmatched delimiter: )"}, {"(]", "ERR: Unmatched delimiter: ]"}, {"[1 #_]", "ERR: Unmatched delimiter: ]"},
      {"1x", "ERR: Invalid number: 1x"}, {"08", "ERR: Invalid number: 08"}, {"1/0", "ERR: Divide by zero"},
      {"a:", "ERR: Invalid token: a:"}, {"a/", "ERR: Invalid token: a/"}, {"/a", "ERR: Invalid token: /a"}, {"::", "ERR: Invalid token: ::"},
      {"\\foo", "ERR: Unsupported character: \\foo"}, {"\\u12", "ERR: Invalid unicode character: \\u12"},
      {"\\uD800", "ERR: Invalid character constant: \\ud800"}, {"\\u004G", "ERR: Invalid digit: G"},
      {"\\o400", "ERR: Octal escape sequence must be in range [0, 377]."},
      {"\\o1234", "ERR: Invalid octal escape sequence length: 4"},
      {R"("\q")", "ERR: Unsupported escape character: \\q"}, {R"("\u12")", "ERR: Invalid character length: 2, should be: 4"},
      {R"("\uZ")", "ERR: Invalid unicode escape: \\uZ"}, {R"("\400")", "ERR: Octal escape sequence must be in range [0, 377]."},
      {R"("\18")", "ERR: Invalid digit: 8"},
      {"#=(+ 1 2)", "ERR: EvalReader not allowed when *read-eval* is false."}, {"#<a>", "ERR: Unreadable form"},
      {"##Foo", "ERR: Unknown symbolic value: ##Foo"}, {"#foo 1", "ERR: No reader function for tag foo"},
      {"#inst \"x\"", "ERR: Unrecognized date/time syntax: x"}, {"#inst 1", "ERR: Instance literal expects a string for its timestamp."},
      {"#uuid \"x\"", "ERR: Invalid UUID string: x"}, {"#1 2", "ERR: Reader tag must be a symbol"},
      {"#:{:a 1}", "ERR: Namespaced map must specify a namespace"}, {"#:a [1]", "ERR: Namespaced map must specify a map"},
      {"#:a{:b}", "ERR: Namespaced map literal must contain an even number of forms"},
  });
}

TEST(Reader, ErrorsNameTheirLineAndColumn) {
  struct Place {
    std::string text;
    int line, column;
  } cases[] = {{"(a\n  1x)", 2, 3}, {"[\n\n)", 3, 1}, {"\"ok\"\r\n  a:", 2, 3}, {"(😀 a:)", 1, 5}};
  for (const Place& c : cases) {
    try {
      read_all(c.text);
      ADD_FAILURE() << "no error reading " << c.text;
    } catch (const ReadError& e) {
      EXPECT_EQ(std::pair(e.line, e.column), std::pair(c.line, c.column)) << c.text << ": " << e.what();
    }
  }
}

TEST(Reader, ListsCarryTheirPositions) {
  struct Meta {
    std::string text, meta_of_form, meta_of_last;  // of the form, and of its last element
  } cases[] = {
      {"(a b)", "{:line 1, :column 1}", "nil"},
      {"\n  (x\n (y))", "{:line 2, :column 3}", "{:line 3, :column 2}"},
      {"\r\n(x\r(y))", "{:line 2, :column 1}", "{:line 3, :column 1}"},
      {"(😀 (b))", "{:line 1, :column 1}", "{:line 1, :column 5}"},  // columns count UTF-16 units, as the JVM's
      {"[1 (a)]", "nil", "{:line 1, :column 4}"}, {"{:k a}", "nil", "nil"}, {"()", "nil", "nil"},
      {"\n\n   ^:k\n (a)", "{:line 3, :column 4, :k true}", "nil"},
      {"^{:line 5} (a)", "{:line 5, :column 1}", "nil"},
      {"^:a ^:b ^String []", "{:tag String, :b true, :a true}", "nil"},
      {"#^:a x", "{:a true}", "nil"}, {"^\"S\" x", "{:tag \"S\"}", "nil"},
      {"#(a)", "nil", "{:line 1, :column 2}"},
  };
  for (const Meta& c : cases) {
    Value v = *read_one(c.text);
    EXPECT_EQ(pr_str(meta(v)), c.meta_of_form) << c.text;
    Value last;
    if (v.has(SEQ) || v.is(Kind::Vector)) v.obj()->each([&](const Value& x) { last = x; return true; });
    EXPECT_EQ(pr_str(meta(last)), c.meta_of_last) << c.text;
  }
  ReadOptions in_file;
  in_file.file = "src/a.clj";
  in_file.start_line = 10;
  in_file.start_column = 5;
  EXPECT_EQ(pr_str(meta(*read_one("(a)\n(b)", in_file))), "{:line 10, :column 5, :file \"src/a.clj\"}");
  EXPECT_EQ(pr_str(meta(read_all("(a)\n(b)", in_file)[1])), "{:line 11, :column 1, :file \"src/a.clj\"}");

  check_all({{"^:k 1", "ERR: Metadata can only be applied to IMetas"}, {"^1 x", "ERR: Metadata must be Symbol,Keyword,String or Map"},
             {"^[a] x", "ERR: Metadata must be Symbol,Keyword,String or Map"}});
}

TEST(Reader, ReadsFormByFormAndKeepsItsPlace) {
  Reader r("1 (a)\n  :k ; tail");
  std::vector<std::string> seen;
  while (std::optional<Value> v = r.next()) seen.push_back(pr_str(*v) + "@" + std::to_string(r.line()) + ":" + std::to_string(r.column()));
  EXPECT_EQ(seen, (std::vector<std::string>{"1@1:2", "(a)@1:6", ":k@2:5"}));
  EXPECT_FALSE(read_one("  ; only a comment\n#_x").has_value());
  // Invalid UTF-8 is repaired, not trusted.
  EXPECT_EQ(rd("\"a\xff\" b\xc3"), "\"a\uFFFD\" b\uFFFD");
}

// Past max_depth, or past what the thread's stack holds in this build, whichever comes first.
bool nesting_error(const std::string& result) {
  return result == "ERR: Nesting deeper than 10000 levels" || result.starts_with("ERR: Nesting too deep");
}

TEST(Reader, DeepNestingIsAnErrorNotACrash) {
  for (std::string open : {"(", "[", "{", "#{", "'", "@", "^:k ", "`", "#?(:clj ", "#_ "}) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += open;
    std::string result = rd(text);
    EXPECT_TRUE(nesting_error(result)) << open << " gave " << result.substr(0, 100);
  }
  std::string result = rd("#(" + std::string(20000, '%'));
  EXPECT_TRUE(nesting_error(result)) << result.substr(0, 100);
  // One syntax-quote over a deep form recurses as deep again after reading.
  result = rd("`" + std::string(9999, '[') + std::string(9999, ']'));
  EXPECT_TRUE(nesting_error(result) || result.starts_with("(clojure.core/apply")) << result.substr(0, 100);
  std::string ok = std::string(1000, '[') + std::string(1000, ']');
  EXPECT_EQ(read_one(ok)->is(Kind::Vector), true);
  ReadOptions shallow;
  shallow.max_depth = 3;
  EXPECT_EQ(rd("[[[1]]]", shallow), "[[[1]]]");
  EXPECT_EQ(rd("[[[[1]]]]", shallow), "ERR: Nesting deeper than 3 levels");
}

// JVM Clojure reads clojure/core.clj in a namespace with no mappings (so syntax-quote resolves every plain name
// to it, as our default context does) and prints each form with its metadata. We must print the same text,
// line and column metadata, syntax-quote and #() expansions included; only gensym numbers may differ.
TEST(Reader, ReadsClojureCoreExactlyAsJvmClojure) {
  std::string error;
  const std::string& core = orrery::testing::core_clj_utf8(&error);
  ASSERT_FALSE(core.empty()) << error;
  ASSERT_EQ(std::system("java -version > /dev/null 2>&1"), 0)
      << "java was not found: this test runs Debian's JVM Clojure (packages default-jre-headless and clojure)";

  fs::path dir = fs::temp_directory_path() / ("reader-jvm-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path script = dir / "read_core.clj", out = dir / "out.txt";
  std::ofstream(script) << R"((let [text (slurp (java.io.InputStreamReader.
                   (.getResourceAsStream (clojure.lang.RT/baseLoader) "clojure/core.clj") "UTF-8"))
      ns (create-ns 'bare)
      _ (doseq [[k _] (ns-map ns)] (ns-unmap ns k))
      r (clojure.lang.LineNumberingPushbackReader. (java.io.StringReader. text))
      forms (binding [*ns* ns]
              (doall (take-while #(not= % ::eof)
                                 (repeatedly #(read {:eof ::eof :read-cond :allow :features #{:kelp}} r)))))]
  (binding [*print-meta* true *print-namespace-maps* false]
    (doseq [f forms] (println (pr-str f))))))";
  const std::string cmd = std::string("java -XX:TieredStopAtLevel=1 -cp ") + orrery::testing::CLOJURE_JAR +
                          " clojure.main '" + script.string() + "' > '" + out.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::vector<std::string> jvm;
  {
    std::ifstream f(out);
    for (std::string line; std::getline(f, line);) jvm.push_back(line);
  }
  fs::remove_all(dir);

  struct Bare : ReaderContext {
    std::string current_ns() const override { return "bare"; }
  } ctx;
  std::vector<Value> forms = read_all(core, {}, &ctx);
  ASSERT_EQ(forms.size(), jvm.size());
  PrintOptions with_meta;
  with_meta.meta = true;
  const std::regex gensym_number(R"(__\d+(__auto__|#))");
  int mismatches = 0;
  for (size_t i = 0; i < forms.size() && mismatches < 3; ++i) {
    std::string ours = std::regex_replace(pr_str(forms[i], with_meta), gensym_number, "__N$1");
    std::string theirs = std::regex_replace(jvm[i], gensym_number, "__N$1");
    if (ours != theirs) {
      ++mismatches;
      ADD_FAILURE() << "form " << i << "\nJVM:  " << theirs << "\nkelp: " << ours;
    }
  }
}

}  // namespace
}  // namespace kelp::read
