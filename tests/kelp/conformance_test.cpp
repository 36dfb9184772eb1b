// The conformance suite: each tests/kelp/conformance/AREA.clj runs under the kelp tool and must print exactly what
// JVM Clojure printed for it (AREA.out). When JVM Clojure is installed, the expected outputs are also checked to be
// what it prints today, so a program edited without regenerating its .out is caught.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelp/conformance/run_process.hpp"

namespace {

namespace fs = std::filesystem;
using kelp::testing::run_process;
using kelp::testing::shell_quote;

const fs::path DIR = fs::path(ORRERY_SOURCE_DIR) / "tests/kelp/conformance";
// Both runs see the fixture sources under src/ and the same command-line arguments.
const std::string ARGS = " a b";
const std::string JAR = "/usr/share/java/clojure.jar";

std::vector<std::string> areas() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(DIR))
    if (e.path().extension() == ".clj") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// Empty when equal; otherwise where the texts first part, and how many lines differ in all.
std::string first_difference(const std::string& expected, const std::string& actual) {
  if (expected == actual) return "";
  std::vector<std::string> e = lines_of(expected), a = lines_of(actual);
  size_t n = std::max(e.size(), a.size()), first = n, differing = 0;
  for (size_t i = 0; i < n; ++i) {
    bool same = i < e.size() && i < a.size() && e[i] == a[i];
    if (!same) {
      ++differing;
      if (first == n) first = i;
    }
  }
  if (first == n) return "the texts differ only in their final newline";
  auto at = [](const std::vector<std::string>& v, size_t i) { return i < v.size() ? v[i] : "<no line>"; };
  return "first difference at line " + std::to_string(first + 1) + " (" + std::to_string(differing) + " of " +
         std::to_string(e.size()) + " expected lines differ)\n  expected: " + at(e, first) +
         "\n  actual:   " + at(a, first);
}

std::string last_lines(const std::string& text, size_t count) {
  std::vector<std::string> l = lines_of(text);
  std::string out;
  for (size_t i = l.size() > count ? l.size() - count : 0; i < l.size(); ++i) out += "  | " + l[i] + "\n";
  return out;
}

class Conformance : public ::testing::TestWithParam<std::string> {};

TEST_P(Conformance, KelpPrintsWhatJvmClojurePrints) {
  const std::string area = GetParam();
  auto r = run_process("timeout -k 5 120 " + shell_quote(KELP_BIN) + " -cp src " + area + ".clj" + ARGS, DIR);
  std::string diff = first_difference(read_file(DIR / (area + ".out")), r.out);
  EXPECT_TRUE(diff.empty()) << area << ".clj (exit " << r.status << "): " << diff << "\n"
                            << (r.err.empty() ? "" : "stderr ends:\n" + last_lines(r.err, 6));
}

TEST_P(Conformance, ExpectedOutputIsCurrent) {
  if (system("command -v java >/dev/null 2>&1") != 0 || access(JAR.c_str(), R_OK) != 0)
    GTEST_SKIP() << "JVM Clojure is not installed";
  const std::string area = GetParam();
  auto r = run_process("timeout -k 5 300 java -cp " + shell_quote(JAR) + ":src clojure.main " + area + ".clj" + ARGS,
                       DIR);
  std::string diff = first_difference(read_file(DIR / (area + ".out")), r.out);
  EXPECT_TRUE(diff.empty()) << area << ".out is stale (run scripts/conformance_expect.sh " << area << "): " << diff;
}

INSTANTIATE_TEST_SUITE_P(Areas, Conformance, ::testing::ValuesIn(areas()),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

}  // namespace
