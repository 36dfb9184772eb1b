#include "orrery/mcp/tools.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <set>

#include "orrery/fakes.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "orrery/session.hpp"
#include "support/temp_dir.hpp"

namespace orrery::mcp {
namespace {

namespace fs = std::filesystem;

Json str(std::string_view s) { return kelp::make_string(s); }

std::string text_at(const Json& map, std::string_view key) {
  const Json* v = kelp::get(map, str(key));
  return v && v->is(kelp::Kind::String) ? std::string(kelp::str_view(*v)) : "";
}

using orrery::testing::TempDir;

// A table over a temporary server folder with the real in-process kelp evaluator.
class McpTools : public ::testing::Test {
 protected:
  void SetUp() override {
    kelp::boot();
    session::register_in_process();
    opts.dir = dir.path();
    opts.cache = cache;
    opts.grace_ms = 200;
    table = make_tools(opts);
  }

  ToolResult call(const std::string& name, std::initializer_list<Json> kvs) {
    return table.call(name, kelp::make_map(kvs));
  }
  std::string thrown(const std::string& name, std::initializer_list<Json> kvs) {
    try {
      call(name, kvs);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(nothing thrown)";
  }

  TempDir dir;
  std::shared_ptr<EvaluatorCache> cache = std::make_shared<EvaluatorCache>();
  ToolsOptions opts;
  ToolTable table;
};

TEST_F(McpTools, SevenDefinitionsWithObjectSchemasWhoseRequiredKeysAreProperties) {
  std::set<std::string> names;
  for (const Json& def : table.defs) {
    std::string name = text_at(def, "name");
    names.insert(name);
    EXPECT_FALSE(text_at(def, "description").empty()) << name;
    const Json& schema = *kelp::get(def, str("inputSchema"));
    EXPECT_EQ(text_at(schema, "type"), "object") << name;
    const Json& props = *kelp::get(schema, str("properties"));
    props.obj()->each_entry([&](const Json&, const Json& p) {
      EXPECT_TRUE(text_at(p, "type") == "string" || text_at(p, "type") == "integer") << name;
      EXPECT_FALSE(text_at(p, "description").empty()) << name;
      return true;
    });
    kelp::get(schema, str("required"))->obj()->each([&](const Json& k) {
      EXPECT_NE(kelp::get(props, k), nullptr) << name << " requires " << kelp::pr_str(k);
      return true;
    });
  }
  EXPECT_EQ(names, (std::set<std::string>{"orrery_eval", "orrery_run_file", "orrery_test", "orrery_check_brackets",
                                          "orrery_doc", "orrery_complete", "orrery_project"}));
}

TEST_F(McpTools, EvalAnswersTheResultLineAfterTheOutputAndDefinitionsPersist) {
  ToolResult r = call("orrery_eval", {str("code"), str("(+ 1 2)")});
  EXPECT_EQ(r.text, "=> 3");
  EXPECT_FALSE(r.is_error);
  EXPECT_EQ(text_at(r.data, "status"), "ok");
  EXPECT_EQ(text_at(r.data, "value"), "3");
  EXPECT_EQ(text_at(r.data, "ns"), "user");

  r = call("orrery_eval", {str("code"), str("(defn tools-greet [n] (println \"hi\" n) (binding [*out* *err*] (println \"warn\")) n)")});
  ASSERT_FALSE(r.is_error) << r.text;
  r = call("orrery_eval", {str("code"), str("(tools-greet 7)")});
  EXPECT_EQ(r.text, "hi 7\nwarn\n=> 7");
  EXPECT_EQ(text_at(r.data, "output"), "hi 7\nwarn\n");
  EXPECT_EQ(text_at(r.data, "err"), "warn\n");

  // Output that does not end a line is still followed by the result on a line of its own.
  EXPECT_EQ(call("orrery_eval", {str("code"), str("(print \"x\")")}).text, "x\n=> nil");
}

TEST_F(McpTools, AThrowIsAnErrorResultWithParsedFields) {
  ToolResult r = call("orrery_eval", {str("code"), str("(throw (ex-info \"boom\" {:a 1}))")});
  EXPECT_TRUE(r.is_error);
  EXPECT_EQ(text_at(r.data, "status"), "error");
  const Json& error = *kelp::get(r.data, str("error"));
  EXPECT_EQ(text_at(error, "message"), "boom");
  EXPECT_EQ(text_at(error, "type"), "clojure.lang.ExceptionInfo");
  EXPECT_NE(r.text.find("boom"), std::string::npos);

  r = call("orrery_eval", {str("code"), str("\n\n  (undefined-thing-xyz 1)")});
  EXPECT_TRUE(r.is_error);
  const Json& located = *kelp::get(r.data, str("error"));
  EXPECT_NE(text_at(located, "message").find("undefined-thing-xyz"), std::string::npos);
  ASSERT_NE(kelp::get(located, str("line")), nullptr) << r.text;
  EXPECT_EQ(kelp::get(located, str("line"))->as_int(), 3);
}

TEST_F(McpTools, ReadLineSeesTheEndOfInputAtOnce) {
  auto start = std::chrono::steady_clock::now();
  ToolResult r = call("orrery_eval", {str("code"), str("(read-line)"), str("timeout_ms"), Json::integer(20000)});
  EXPECT_EQ(r.text, "=> nil");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(McpTools, AMillionLinesKeepTheLastCharactersBehindTheDroppedLine) {
  ToolResult r = call("orrery_eval", {str("code"), str("(dotimes [i 1000000] (println i))")});
  ASSERT_FALSE(r.is_error) << r.text.substr(0, 200);
  int64_t dropped = kelp::get(r.data, str("dropped_chars"))->as_int();
  // 0..999999 on lines of their own: 6888890 characters.
  EXPECT_EQ(dropped, 6888890 - DEFAULT_MAX_OUTPUT_CHARS);
  std::string output = text_at(r.data, "output");
  EXPECT_EQ(static_cast<int64_t>(output.size()), DEFAULT_MAX_OUTPUT_CHARS);
  EXPECT_TRUE(output.ends_with("999998\n999999\n"));
  EXPECT_EQ(r.text, dropped_line(dropped) + output + "=> nil");

  r = call("orrery_eval", {str("code"), str("(print \"abcdefgh\")"), str("max_output_chars"), Json::integer(5)});
  EXPECT_EQ(r.text, "; 3 earlier characters of output dropped\ndefgh\n=> nil");
}

TEST_F(McpTools, AnEndlessLoopIsInterruptedAtTheDeadlineAndTheRuntimeStaysUsable) {
  ToolResult r = call("orrery_eval", {str("code"), str("(println \"start\") (loop [] (recur))"), str("timeout_ms"),
                                      Json::integer(300)});
  EXPECT_TRUE(r.is_error);
  EXPECT_EQ(r.text, "start\nTimed out after 300 ms; interrupted.");
  EXPECT_EQ(text_at(r.data, "status"), "timeout");
  EXPECT_EQ(cache->by_key.size(), 1u);
  EXPECT_EQ(call("orrery_eval", {str("code"), str("(+ 1 1)")}).text, "=> 2");
}

// An evaluator that starts every evaluation and never finishes one, whatever it is told.
class StuckEvaluator : public testing::FakeEvaluator {};

TEST_F(McpTools, AnEvaluatorThatIgnoresTheInterruptIsEvictedAndStopped) {
  auto stuck = std::make_shared<StuckEvaluator>();
  cache->by_key[cache_key(selection_for(opts, std::nullopt))] = stuck;
  ToolResult r = call("orrery_eval", {str("code"), str("(+ 1 1)"), str("timeout_ms"), Json::integer(100)});
  EXPECT_TRUE(r.is_error);
  EXPECT_EQ(r.text,
            "Timed out after 100 ms; interrupted, but the evaluation has not stopped. The runtime was stopped; a "
            "fresh one will be started on the next call.");
  EXPECT_EQ(stuck->stops, 1);
  EXPECT_TRUE(cache->by_key.empty());
  EXPECT_EQ(call("orrery_eval", {str("code"), str("(+ 1 1)")}).text, "=> 2");
}

class BusyEvaluator : public testing::FakeEvaluator {
 public:
  std::optional<std::string> eval(std::string, evaluator::EvalOptions) override {
    return std::string(eval::BUSY_WARNING);
  }
};

TEST_F(McpTools, ABusyEvaluatorRefusesAtOnce) {
  cache->by_key[cache_key(selection_for(opts, std::nullopt))] = std::make_shared<BusyEvaluator>();
  ToolResult r = call("orrery_eval", {str("code"), str("(+ 1 1)")});
  EXPECT_TRUE(r.is_error);
  EXPECT_EQ(r.text, eval::BUSY_WARNING);
  EXPECT_EQ(text_at(r.data, "status"), "refused");
}

TEST_F(McpTools, RunFileAddsToTheSessionWithoutResetting) {
  ASSERT_FALSE(call("orrery_eval", {str("code"), str("(def tools-base 40)")}).is_error);
  fs::path file = dir.write("src/run_me.clj", "(def tools-more 2)\n(+ tools-base tools-more)\n");
  EXPECT_EQ(call("orrery_run_file", {str("path"), str("src/run_me.clj")}).text, "=> 42");
  EXPECT_EQ(call("orrery_eval", {str("code"), str("tools-more")}).text, "=> 2");

  struct Case {
    std::string path;
    std::string expected;
  };
  const Case errors[] = {
      {"src", "Not a file, a directory: " + (dir.path() / "src").string()},
      {"nope.clj", "No such file: " + (dir.path() / "nope.clj").string()},
  };
  for (const Case& c : errors) {
    ToolResult r = call("orrery_run_file", {str("path"), str(c.path)});
    EXPECT_TRUE(r.is_error);
    EXPECT_EQ(r.text, c.expected);
  }
  EXPECT_EQ(thrown("orrery_run_file", {}), "Missing required argument: path");
  EXPECT_EQ(thrown("orrery_eval", {str("code"), str("  \n")}), "Missing required argument: code");
}

TEST_F(McpTools, CheckBracketsNamesTheFirstProblemInTextOrder) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"(defn f [x] {:a (inc x)})", "ok"},
      {"(str \"(\" \\( ) ; [ unclosed in a comment", "ok"},
      {"(defn f [x]\n  (+ x 1)", "The ( on line 1 is never closed."},
      {"(+ 1 2)\n\n  x)", "The ) on line 3 has no matching opener."},
      {"(a\n [b\n (c)", "The ( on line 1 is never closed."},
      // A closer of the wrong kind pops nothing: the opener stays open and comes first in text order.
      {"(]", "The ( on line 1 is never closed."},
  };
  for (const Case& c : cases) {
    ToolResult r = call("orrery_check_brackets", {str("text"), str(c.text)});
    EXPECT_EQ(r.text, c.expected) << c.text;
    EXPECT_FALSE(r.is_error);
  }
  dir.write("open.clj", "(ns a)\n\n(defn g [\n");
  EXPECT_EQ(call("orrery_check_brackets", {str("path"), str("open.clj")}).text, "The ( on line 3 is never closed.");
  EXPECT_TRUE(call("orrery_check_brackets", {str("path"), str("gone.clj")}).is_error);
  EXPECT_EQ(thrown("orrery_check_brackets", {}), "Give text or path.");
}

TEST_F(McpTools, DocFromTheRuntimeThenTheFile) {
  ASSERT_FALSE(call("orrery_eval", {str("code"), str("(defn tools-doc-fn \"Says hi.\" [n] n)")}).is_error);
  EXPECT_EQ(call("orrery_doc", {str("symbol"), str("tools-doc-fn")}).text,
            "user/tools-doc-fn\n([n])\n" + std::string(40, '-') + "\nSays hi.");
  EXPECT_TRUE(call("orrery_doc", {str("symbol"), str("map")}).text.starts_with("clojure.core/map\n"));
  EXPECT_EQ(call("orrery_doc", {str("symbol"), str("tools-nowhere")}).text,
            "tools-nowhere\n\n(No documentation found)");

  dir.write("later.clj", "(ns later)\n\n(defn tools-unrun\n  \"Not evaluated yet.\"\n  ([x] x)\n  ([x y] y))\n");
  EXPECT_EQ(call("orrery_doc", {str("symbol"), str("tools-unrun"), str("path"), str("later.clj")}).text,
            "tools-unrun  [buffer def, line 3]\n([x] [x y])\n" + std::string(40, '-') + "\nNot evaluated yet.");
}

TEST_F(McpTools, CompleteAnswersAtMostFiftyNamesOnePerLine) {
  std::string text = call("orrery_complete", {str("prefix"), str("mapc")}).text;
  EXPECT_EQ(text, "mapcat");
  const char* sixty = "(doseq [i (range 60)] (intern *ns* (symbol (str \"tools-many-\" i)) i))";
  ASSERT_FALSE(call("orrery_eval", {str("code"), str(sixty)}).is_error);
  std::string many = call("orrery_complete", {str("prefix"), str("tools-many-")}).text;
  EXPECT_EQ(std::count(many.begin(), many.end(), '\n'), MAX_COMPLETIONS - 1);
  EXPECT_EQ(call("orrery_complete", {str("prefix"), str("zzqq")}).text, "No completions for zzqq");

  dir.write("defs.clj", "(defn tools-complete-me [] 1)\n");
  EXPECT_EQ(call("orrery_complete", {str("prefix"), str("tools-complete"), str("path"), str("defs.clj")}).text,
            "tools-complete-me");
}

TEST_F(McpTools, ProjectDescribesTheSelectionAndStartsNothing) {
  EXPECT_EQ(call("orrery_project", {}).text,
            "Dialect: Kelp\nRuntime: in-process\nProject directory: none\nChosen by: fallback");
  dir.write("proj/.orrery.edn", "{:dialect :kelp :runtime :in-process :cljs {}}");
  dir.write("proj/src/a.clj", "");
  EXPECT_EQ(call("orrery_project", {str("path"), str("proj/src/a.clj")}).text,
            "Dialect: Kelp\nRuntime: in-process\nProject directory: " + (dir.path() / "proj").string() +
                "\nChosen by: config\nWarning: .orrery.edn :cljs only applies to ClojureScript, not Kelp, so it is "
                "ignored");
  EXPECT_TRUE(cache->by_key.empty());
}

TEST_F(McpTools, TestRunsTheNamespaceOfAFileAndReportsItsFailures) {
  dir.write("proj/.orrery.edn", "{:dialect :kelp :runtime :in-process}");
  dir.write("proj/src/tools_sample_test.clj",
            "(ns tools-sample-test (:require [clojure.test :refer [deftest is]]))\n"
            "(deftest passes (is (= 1 1)))\n"
            "(deftest fails (is (= 1 2)))\n");
  ToolResult r = call("orrery_test", {str("path"), str("proj/src/tools_sample_test.clj")});
  EXPECT_FALSE(r.is_error) << r.text;
  EXPECT_TRUE(r.text.starts_with("1 failure in tools-sample-test: 2 tests, 2 assertions, 1 passed, 1 failed, "
                                 "0 errors"))
      << r.text;
  EXPECT_NE(r.text.find("FAIL fails (src/tools_sample_test.clj:3)"), std::string::npos) << r.text;
  EXPECT_EQ(text_at(r.data, "status"), "failed");

  r = call("orrery_test", {str("ns"), str("tools-sample-test"), str("test"), str("passes"), str("path"), str("proj")});
  EXPECT_EQ(r.text, "All passed in tools-sample-test: 1 test, 1 assertion") << r.text;

  EXPECT_EQ(thrown("orrery_test", {}), "Give ns, or the path of a test file.");
  dir.write("proj/src/bare.clj", "(+ 1 2)\n");
  EXPECT_EQ(thrown("orrery_test", {str("path"), str("proj/src/bare.clj")}),
            "No ns form in " + (dir.path() / "proj/src/bare.clj").string());
  EXPECT_EQ(thrown("orrery_test", {str("ns"), str("a b"), str("path"), str("proj")}), "Not a namespace name: a b");

  dir.write("web/.orrery.edn", "{:dialect :cljs}");
  r = call("orrery_test", {str("ns"), str("app.core-test"), str("path"), str("web")});
  EXPECT_TRUE(r.is_error);
  EXPECT_TRUE(r.text.starts_with("orrery_test runs Kelp and JVM Clojure tests for now. This project is ")) << r.text;
}

}  // namespace
}  // namespace orrery::mcp
