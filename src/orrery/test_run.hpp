// Running a namespace's clojure.test tests in a project's runtime for an agent: the Clojure code that reloads the
// namespace and runs its tests with a collecting report, reading back the EDN map it answers, and the report built
// from it (failure files located among the project's files) in text and structured form.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/result.hpp"
#include "kelp/data/value.hpp"

namespace orrery::test_run {

inline constexpr int64_t MAX_FAILURES = 100;         // failure rows one run lists; the rest are only counted
inline constexpr int64_t MAX_SHOWN_CHARS = 2000;     // characters kept of a printed expected or actual value
inline constexpr int64_t MAX_LOCATED_FILES = 20000;  // project files listed to locate failing tests' files

// True for the dialects whose runtime runs the snippet: kelp and JVM Clojure.
bool is_supported(std::string_view dialect_id);

struct SnippetOptions {
  std::string ns;
  std::optional<std::string> test;  // one test's name; every test when absent
  // Skips the reload: the caller has just evaluated the namespace's text itself after mark_snippet, and the tests
  // still carrying the mark are the ones that text no longer defines.
  bool drop_marked = false;
};

// The code the runtime evaluates; its value is a string holding one EDN map (read it with read_value). Fails with
// "Not a namespace name: X" or "Not a test name: X" for a name that is not a plain symbol.
kelp::Result<std::string> snippet(const SnippetOptions& opts);
// Code that marks ns's current tests, so a later snippet with drop_marked unmaps those not defined again.
kelp::Result<std::string> mark_snippet(std::string_view ns);

// The map inside the printed string value of a snippet's evaluation; nullopt when it is not one.
std::optional<kelp::Value> read_value(std::string_view printed);

// Files under root, relative to it, at most MAX_LOCATED_FILES, skipping dot folders, target and node_modules.
std::vector<std::string> project_files(const std::filesystem::path& root);
// The one file equal to path or ending with "/" and path; nullopt when none or several.
std::optional<std::string> locate(const std::vector<std::string>& files, std::string_view path);

struct Counts {
  int64_t tests = 0, pass = 0, fail = 0, error = 0;
};

struct Failure {
  bool error = false;  // a throw rather than a failed assertion
  std::string test;
  std::string file;    // project-relative when located
  int64_t line = 0;    // 0 when unknown
  std::vector<std::string> contexts;  // outermost first
  std::optional<std::string> message;
  std::string expected;
  std::string actual;
};

struct Report {
  std::string status;  // "ok", "failed", "no-tests" or "error"
  std::string ns;
  Counts counts;
  std::vector<Failure> failures;  // sorted by file, line, test
  int64_t failures_dropped = 0;
  std::optional<std::string> message;  // for "error"
};

// The report of a snippet's value (from read_value). root, when given, is the project folder whose files (listed
// once, only when a failure has a file) locate failures' files.
Report report(const kelp::Value& run, std::string_view ns, const std::optional<std::string>& test,
              const std::optional<std::filesystem::path>& root);

std::string summary_line(const Report& r);
// The three lines of one failure.
std::vector<std::string> failure_lines(const Failure& f);
// Every line of the answer: the summary, the failures, and how many more were left out.
std::vector<std::string> console_lines(const Report& r);
// The console lines joined by newlines.
std::string text(const Report& r);

// What the evaluation that ran the snippet printed and took.
struct RunInfo {
  std::string output;
  std::string err;
  int64_t dropped_chars = 0;
  int64_t ms = 0;
};
// The structured answer: the report with string keys, plus the evaluation's "output", "err" (when non-empty),
// "dropped_chars" (when positive) and "ms".
kelp::Value data(const Report& r, const RunInfo& run);

}  // namespace orrery::test_run
