// The scanner and form reader over a real corpus: Clojure's own core.clj.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <utility>

#include "orrery/commands.hpp"
#include "orrery/syntax.hpp"
#include "support/corpus.hpp"

namespace orrery {
namespace {

const std::u32string& corpus() {
  std::string error;
  testing::core_clj_utf8(&error);
  if (!error.empty()) ADD_FAILURE() << error;
  return testing::core_clj();
}

// Characters that no rule turns into a token on their own.
bool produces_no_token(char32_t c) {
  switch (c) {
    case U' ': case U'\t': case U'\n': case U'\r': case U'\f': case U'\v': case U',':
    case U'\'': case U'`': case U'~': case U'@': case U'^': case U'#': case U':': case U'\\':
      return true;
    default:
      return false;
  }
}

TEST(CoreClj, TokensAreOrderedAndCoverAllButTokenlessCharacters) {
  const std::u32string& text = corpus();
  ASSERT_FALSE(text.empty());
  Tokens tokens = tokenize(std::u32string_view(text));
  ASSERT_GT(tokens.size(), 30000u);
  Offset covered_to = 0;
  std::string stray;
  for (const Token& t : tokens) {
    ASSERT_LE(covered_to, t.start) << "tokens overlap or go backwards at " << t.start;
    ASSERT_LT(t.start, t.end);
    ASSERT_LE(t.end, static_cast<Offset>(text.size()));
    for (Offset i = covered_to; i < t.start; ++i) {
      if (!produces_no_token(text[i])) stray += kelp::to_utf8(text.substr(i, 1)) + "@" + std::to_string(i) + " ";
    }
    covered_to = t.end;
  }
  for (Offset i = covered_to; i < static_cast<Offset>(text.size()); ++i) {
    if (!produces_no_token(text[i])) stray += kelp::to_utf8(text.substr(i, 1)) + "@" + std::to_string(i) + " ";
  }
  EXPECT_EQ(stray, "") << "characters skipped that should have been tokens";

  Brackets b = compute_brackets(std::u32string_view(text));
  EXPECT_TRUE(b.unmatched.empty());
  EXPECT_FALSE(pre_run_problem(text));
}

// "start end" line pairs of each top-level form as JVM Clojure reads core.clj.
std::vector<std::pair<int64_t, int64_t>> jvm_top_level_lines() {
  std::string cmd = std::string("java -cp ") + testing::CLOJURE_JAR + " clojure.main " + ORRERY_TEST_DATA +
                    "/top_level_lines.clj 2>&1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  std::vector<std::pair<int64_t, int64_t>> lines;
  std::istringstream in(out);
  int64_t start, end;
  while (in >> start >> end) lines.emplace_back(start, end);
  if (lines.empty()) ADD_FAILURE() << "JVM Clojure printed no form lines:\n" << out.substr(0, 2000);
  return lines;
}

TEST(CoreClj, TopLevelFormsAgreeWithJvmRead) {
  const std::u32string& text = corpus();
  ASSERT_FALSE(text.empty());
  // core.clj has two top-level #_ discards; the script skips them as blank, as the form reader drops them.
  auto jvm = jvm_top_level_lines();
  std::vector<std::pair<int64_t, int64_t>> ours;
  for (const FormNode& f : top_level_forms(text)) {
    ours.emplace_back(line_number_at_offset(text, f.start), line_number_at_offset(text, f.end));
  }
  ASSERT_EQ(ours.size(), jvm.size());
  for (size_t i = 0; i < ours.size(); ++i) {
    EXPECT_EQ(ours[i], jvm[i]) << "top-level form " << i;
  }
}

TEST(CoreClj, FormTreeNestsWithinParents) {
  const std::u32string& text = corpus();
  size_t forms = 0;
  auto check = [&](auto& self, const std::vector<FormNode>& kids, Offset lo, Offset hi) -> void {
    Offset prev_end = lo;
    for (const FormNode& f : kids) {
      ++forms;
      ASSERT_LE(prev_end, f.start);
      ASSERT_LT(f.start, f.end);
      ASSERT_LE(f.end, hi);
      if (f.bracketed()) {
        ASSERT_LE(f.start, f.open);
        self(self, f.kids, f.open + 1, f.end - 1);
      }
      prev_end = f.end;
    }
  };
  check(check, form_tree(text), 0, static_cast<Offset>(text.size()));
  EXPECT_GT(forms, 20000u);
}

}  // namespace
}  // namespace orrery
