#include "orrery/version.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace orrery {
namespace {

namespace fs = std::filesystem;

TEST(Version, StripsTheVBeforeADigit) {
  const std::pair<std::string, std::string> cases[] = {
      {"v0.1.0", "0.1.0"},     {"v1", "1"},           {"v0.5.0-3-gabc1234", "0.5.0-3-gabc1234"},
      {"0.5.0", "0.5.0"},      {"v", "v"},            {"vx1", "vx1"},
      {"version-2", "version-2"}, {"V1.0", "V1.0"},   {"", ""},
      {"abc1234", "abc1234"},  {"vv1", "vv1"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(strip_version_v(in), out) << in;
}

TEST(Version, PrefersBakedThenDescribedThenDev) {
  EXPECT_EQ(choose_version("0.5.0", std::string("v9.9.9")), "0.5.0");
  EXPECT_EQ(choose_version("v0.5.0", std::nullopt), "0.5.0");
  EXPECT_EQ(choose_version("", std::string("v0.1.0-2-gdeadbee")), "0.1.0-2-gdeadbee");
  EXPECT_EQ(choose_version("", std::string("deadbee")), "deadbee");
  EXPECT_EQ(choose_version("", std::string("")), "dev");
  EXPECT_EQ(choose_version("", std::nullopt), "dev");
}

TEST(Version, LineStartsWithTheProductName) {
  EXPECT_EQ(version_line(), "Orrery " + current_version());
  EXPECT_FALSE(current_version().empty());
}

// A scratch folder holding a git repository with one tagged commit, a folder nested in it, and a folder outside it.
class GitDescribe : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orrery-version-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    repo_ = root_ / "repo";
    fs::create_directories(repo_ / "nested");
    fs::create_directories(root_ / "plain");
    std::string git = "git -C '" + repo_.string() + "' -c user.name=t -c user.email=t@example.invalid ";
    ASSERT_EQ(std::system((git + "init -q").c_str()), 0);
    ASSERT_EQ(std::system((git + "commit -q --allow-empty -m one").c_str()), 0);
    ASSERT_EQ(std::system((git + "tag v1.2.3").c_str()), 0);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_, repo_;
};

TEST_F(GitDescribe, OnlyAFolderWithItsOwnGitIsDescribed) {
  EXPECT_EQ(git_describe(repo_), std::optional<std::string>("v1.2.3"));
  EXPECT_EQ(choose_version("", git_describe(repo_)), "1.2.3");
  // Inside the repository, but without a .git of its own: a tree unpacked there must not take the parent's version.
  EXPECT_EQ(git_describe(repo_ / "nested"), std::nullopt);
  EXPECT_EQ(git_describe(root_ / "plain"), std::nullopt);
  EXPECT_EQ(git_describe(root_ / "missing"), std::nullopt);
}

TEST_F(GitDescribe, UntaggedCommitsAndWorktrees) {
  std::string git = "git -C '" + repo_.string() + "' -c user.name=t -c user.email=t@example.invalid ";
  ASSERT_EQ(std::system((git + "commit -q --allow-empty -m two").c_str()), 0);
  auto described = git_describe(repo_);
  ASSERT_TRUE(described);
  EXPECT_EQ(described->rfind("v1.2.3-1-g", 0), 0u) << *described;

  // A linked worktree has a .git file, not a folder.
  auto tree = root_ / "tree";
  ASSERT_EQ(std::system((git + "worktree add -q '" + tree.string() + "' v1.2.3 2>/dev/null").c_str()), 0);
  ASSERT_TRUE(fs::is_regular_file(tree / ".git"));
  EXPECT_EQ(git_describe(tree), std::optional<std::string>("v1.2.3"));
}

TEST_F(GitDescribe, ABrokenGitFolderGivesNothing) {
  // A .git that is no repository: git fails, and that is not an error for the caller.
  std::ofstream(root_ / "plain" / ".git") << "gitdir: /nonexistent\n";
  EXPECT_TRUE(has_own_git(root_ / "plain"));
  EXPECT_EQ(git_describe(root_ / "plain"), std::nullopt);
}

}  // namespace
}  // namespace orrery
