#include "orrery/test_run.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "kelp/rt/loader.hpp"

namespace orrery::test_run {
namespace {

namespace fs = std::filesystem;
using kelp::Value;

// A project folder that goes away with the test; its src folder is a source root of the runtime.
class Project {
 public:
  Project() {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("orrery-test-run-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(root_ / "src");
    kelp::boot();
    kelp::rt::loader::add_source_root((root_ / "src").string());
  }
  ~Project() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& root() const { return root_; }
  void write(const std::string& rel, const std::string& text) const {
    fs::path p = root_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }

  // Runs the snippet as the runtime would and reads its printed value back.
  Value run(const SnippetOptions& opts) const {
    auto code = snippet(opts);
    EXPECT_TRUE(code.ok()) << code.failure().message;
    auto value = read_value(kelp::pr_str(kelp::eval_string(*code)));
    EXPECT_TRUE(value.has_value());
    return value.value_or(Value());
  }
  Report run_report(const std::string& ns, const std::optional<std::string>& test = std::nullopt) const {
    return report(run({ns, test}), ns, test, root_);
  }

 private:
  fs::path root_;
};

// Each test gets namespaces of its own: the runtime is shared by the whole test program.
std::string unique_ns(const std::string& stem) {
  static int n = 0;
  return stem + std::to_string(++n) + "-test";
}

std::string file_of(const std::string& ns) {
  std::string f = ns;
  for (char& c : f) c = c == '.' ? '/' : c == '-' ? '_' : c;
  return "src/" + f + ".clj";
}

const char* MIXED_TESTS = R"(
(deftest passes
  (is (= 2 (+ 1 1))))

(deftest fails
  (testing "math"
    (testing "sums"
      (is (= 3 (+ 1 1)) "one and one"))))

(defn helper [] (throw (ex-info "boom" {})))

(deftest throws
  (is (= 1 1))
  (helper))

(deftest early
  (is (= :a :b)))
)";

std::string test_ns_text(const std::string& ns, const std::string& body) {
  return "(ns " + ns + " (:require [clojure.test :refer [deftest is testing]]))\n" + body;
}

TEST(TestRun, ANamespaceRunsWithCountsAndSortedFailureRows) {
  Project p;
  const std::string ns = unique_ns("demo.mixed");
  p.write(file_of(ns), test_ns_text(ns, MIXED_TESTS));
  Report r = p.run_report(ns);

  EXPECT_EQ(r.status, "failed");
  EXPECT_EQ(r.counts.tests, 4);
  EXPECT_EQ(r.counts.pass, 2);
  EXPECT_EQ(r.counts.fail, 2);
  EXPECT_EQ(r.counts.error, 1);
  ASSERT_EQ(r.failures.size(), 3u);
  const std::string file = file_of(ns);
  // Sorted by line; a throw from a helper in the same file is placed at the helper.
  EXPECT_EQ(failure_lines(r.failures[0]),
            (std::vector<std::string>{"FAIL fails (" + file + ":9) > math > sums: one and one",
                                      "  expected: (= 3 (+ 1 1))", "  actual:   (not (= 3 2))"}));
  EXPECT_TRUE(r.failures[1].error);
  EXPECT_EQ(r.failures[1].test, "throws");
  EXPECT_EQ(r.failures[1].line, 11);
  EXPECT_EQ(r.failures[1].message, "Uncaught exception, not in assertion.");
  EXPECT_EQ(r.failures[1].actual, "clojure.lang.ExceptionInfo: boom {}");
  EXPECT_EQ(failure_lines(r.failures[1])[0], "ERROR throws (" + file + ":11): Uncaught exception, not in assertion.");
  EXPECT_EQ(r.failures[2].line, 18);
  EXPECT_EQ(r.failures[2].file, file);

  EXPECT_EQ(summary_line(r),
            "3 failures in " + ns + ": 4 tests, 5 assertions, 2 passed, 2 failed, 1 error");
  const std::string t = text(r);
  EXPECT_EQ(t.substr(0, t.find('\n')), summary_line(r));
  EXPECT_EQ(console_lines(r).size(), 10u);

  Value d = data(r, {"printed\n", "", 0, 12});
  EXPECT_EQ(kelp::pr_str(*kelp::get(d, kelp::make_string("counts"))),
            R"({"tests" 4, "pass" 2, "fail" 2, "error" 1})");
  EXPECT_EQ(kelp::pr_str(*kelp::get(d, kelp::make_string("output"))), R"("printed\n")");
  EXPECT_EQ(kelp::get(d, kelp::make_string("err")), nullptr);
}

TEST(TestRun, OneTestOrNoneAndTheirSentences) {
  Project p;
  const std::string ns = unique_ns("demo.one");
  p.write(file_of(ns), test_ns_text(ns, MIXED_TESTS));
  Report one = p.run_report(ns, "passes");
  EXPECT_EQ(one.status, "ok");
  EXPECT_EQ(text(one), "All passed in " + ns + ": 1 test, 1 assertion");

  Report missing = p.run_report(ns, "t");
  EXPECT_EQ(missing.status, "error");
  EXPECT_EQ(text(missing), "No test named t in " + ns);

  const std::string empty = unique_ns("demo.empty");
  p.write(file_of(empty), "(ns " + empty + ")\n(defn f [] 1)\n");
  Report none = p.run_report(empty);
  EXPECT_EQ(none.status, "no-tests");
  EXPECT_EQ(text(none), "No tests in " + empty + ".");
}

TEST(TestRun, AReloadUnmapsTestsTheFileNoLongerDefines) {
  Project p;
  const std::string ns = unique_ns("demo.reload");
  p.write(file_of(ns), test_ns_text(ns, "(deftest a (is true))\n(deftest b (is false))\n"));
  EXPECT_EQ(p.run_report(ns).counts.tests, 2);
  p.write(file_of(ns), test_ns_text(ns, "(deftest a (is true))\n(deftest renamed (is true))\n"));
  Report r = p.run_report(ns);
  EXPECT_EQ(r.status, "ok");
  EXPECT_EQ(r.counts.tests, 2);
  EXPECT_EQ(p.run_report(ns, "b").status, "error");
}

TEST(TestRun, MarkedTestsThatTheCallersOwnRunDidNotDefineAreDropped) {
  Project p;
  const std::string ns = unique_ns("demo.marked");
  p.write(file_of(ns), test_ns_text(ns, "(deftest kept (is true))\n(deftest gone (is false))\n"));
  EXPECT_EQ(p.run_report(ns).counts.tests, 2);
  kelp::eval_string(*mark_snippet(ns));
  // The caller evaluates the buffer's new text itself, which no longer has gone; the file on disk still does.
  kelp::eval_string(test_ns_text(ns, "(deftest kept (is true))\n"));
  SnippetOptions opts{ns, std::nullopt, true};
  Report r = report(p.run(opts), ns, std::nullopt, p.root());
  EXPECT_EQ(r.status, "ok");
  EXPECT_EQ(r.counts.tests, 1);
}

TEST(TestRun, FailureRowsStopAtTheCapAndTheRestAreCounted) {
  Project p;
  const std::string ns = unique_ns("demo.many");
  p.write(file_of(ns), test_ns_text(ns, "(deftest many (dotimes [i 130] (is (= -1 i))))\n"
                                        "(deftest long-value (is (= (vec (range 1000)) [])))\n"));
  Report r = p.run_report(ns);
  EXPECT_EQ(r.counts.fail, 131);
  EXPECT_EQ(r.failures.size(), static_cast<size_t>(MAX_FAILURES));
  EXPECT_EQ(r.failures_dropped, 31);
  EXPECT_EQ(console_lines(r).back(), "31 more failures not listed.");
  Report one = p.run_report(ns, "long-value");
  ASSERT_EQ(one.failures.size(), 1u);
  EXPECT_EQ(one.failures[0].actual.size(), static_cast<size_t>(MAX_SHOWN_CHARS));
}

TEST(TestRun, ALoadErrorIsLeftToThrow) {
  Project p;
  const std::string ns = unique_ns("demo.broken");
  p.write(file_of(ns), "(ns " + ns + ")\n(deftest x (is (= 1 1))\n");
  EXPECT_ANY_THROW(kelp::eval_string(*snippet({ns, std::nullopt})));
}

TEST(TestRun, NamesMustBePlainSymbols) {
  struct Case {
    std::string ns;
    std::optional<std::string> test;
    std::string error;  // empty when the snippet is made
  };
  const std::vector<Case> cases = {
      {"my.app-test", "adds-up?", ""},
      {"my.app test", std::nullopt, "Not a namespace name: my.app test"},
      {"nil", std::nullopt, "Not a namespace name: nil"},
      {"true", std::nullopt, "Not a namespace name: true"},
      {"a/b", std::nullopt, "Not a namespace name: a/b"},
      {"(x)", std::nullopt, "Not a namespace name: (x)"},
      {"", std::nullopt, "Not a namespace name: "},
      {"my.app", "a.b", "Not a test name: a.b"},
      {"my.app", "x\"y", "Not a test name: x\"y"},
      {"my.app", "nil", "Not a test name: nil"},
  };
  for (const Case& c : cases) {
    auto s = snippet({c.ns, c.test});
    EXPECT_EQ(s.ok() ? "" : s.failure().message, c.error) << c.ns;
  }
  EXPECT_EQ(mark_snippet("a b").failure().message, "Not a namespace name: a b");
}

TEST(TestRun, ReadValueWantsAStringHoldingOneMap) {
  EXPECT_TRUE(read_value(R"("{:outcome :ran}")").has_value());
  for (const char* bad : {"{:outcome :ran}", R"("[1 2]")", R"("{:a")", "nil", ""})
    EXPECT_FALSE(read_value(bad).has_value()) << bad;
}

TEST(TestRun, AnEventOutsideTheTestsFileIsPlacedAtTheDeftest) {
  auto run = kelp::read_edn(R"({:outcome :ran :tests 1 :error 1 :failures-dropped 0
    :failures [{:kind :error :test "t" :file "core.clj" :line 500 :test-file "/elsewhere/x/y_test.clj"
                :test-line 13 :contexts [] :expected "nil" :actual "java.lang.Exception: e"}]})");
  ASSERT_TRUE(run.ok());
  Report r = report(*run, "x.y-test", std::nullopt, std::nullopt);
  ASSERT_EQ(r.failures.size(), 1u);
  EXPECT_EQ(failure_lines(r.failures[0])[0], "ERROR t (/elsewhere/x/y_test.clj:13)");
}

TEST(TestRun, SummaryLinesCountInWords) {
  Report r{"failed", "n", {1, 0, 1, 0}, {}, 0, std::nullopt};
  EXPECT_EQ(summary_line(r), "1 failure in n: 1 test, 1 assertion, 0 passed, 1 failed, 0 errors");
  r = {"ok", "n", {2, 0, 0, 0}, {}, 0, std::nullopt};
  EXPECT_EQ(summary_line(r), "All passed in n: 2 tests, 0 assertions");
}

TEST(TestRun, ProjectFilesSkipHiddenAndBuildFoldersAndLocateNeedsOneMatch) {
  Project p;
  for (const char* f : {"src/a/core_test.clj", "test/a/core_test.clj", "src/b/only_test.clj", ".git/x_test.clj",
                        "target/y_test.clj", "node_modules/m/z_test.clj"})
    p.write(f, "");
  std::vector<std::string> files = project_files(p.root());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"src/a/core_test.clj", "src/b/only_test.clj", "test/a/core_test.clj"}));
  EXPECT_EQ(locate(files, "b/only_test.clj"), "src/b/only_test.clj");
  EXPECT_EQ(locate(files, "src/a/core_test.clj"), "src/a/core_test.clj");
  EXPECT_EQ(locate(files, "a/core_test.clj"), std::nullopt);  // two candidates
  EXPECT_EQ(locate(files, "only_test.clj"), "src/b/only_test.clj");
  EXPECT_EQ(locate(files, "y_test.clj"), std::nullopt);
  EXPECT_EQ(locate(files, "ly_test.clj"), std::nullopt);  // a whole name, not a name's tail
}

TEST(TestRun, SupportedDialects) {
  for (const char* id : {"kelp", "clj"}) EXPECT_TRUE(is_supported(id)) << id;
  for (const char* id : {"cljs", "cljd", "jank", "nrepl"}) EXPECT_FALSE(is_supported(id)) << id;
}

}  // namespace
}  // namespace orrery::test_run
