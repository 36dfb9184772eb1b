#include "orrery/tool_path.hpp"

#include <gtest/gtest.h>

#include <set>

#include "orrery/child_process.hpp"

namespace orrery::tool_path {
namespace {

Exists exists_in(std::set<std::string> present) {
  return [present](const std::string& p) { return present.count(p) > 0; };
}

TEST(ToolPath, EntriesDropEmptyOnes) {
  EXPECT_EQ(entries(""), std::vector<std::string>{});
  EXPECT_EQ(entries("/a::/b:"), (std::vector<std::string>{"/a", "/b"}));
}

TEST(ToolPath, NeedsLookupWhenNoWellKnownFolderIsOnPath) {
  struct Case {
    std::string path;
    bool needs;
  } cases[] = {
      {"/usr/bin:/bin:/usr/sbin:/sbin", true},  // a desktop launch
      {"", true},
      {"/usr/bin:/opt/homebrew/bin", false},  // a terminal launch
      {"/usr/local/bin", false},
      {"/home/u/.local/bin:/usr/bin", false},
      {"/home/u/bin", false},
      {"/home/other/bin:/usr/local/bin/x", true},  // near misses are not the folders
  };
  for (const auto& c : cases) EXPECT_EQ(needs_lookup(c.path, "/home/u"), c.needs) << c.path;
}

TEST(ToolPath, DefaultShellFromThePasswdLineOfTheUid) {
  std::string passwd =
      "root:x:0:0:root:/root:/bin/bash\n"
      "short:x:1000\n"                       // fewer than seven fields: skipped
      "me:x:1000:1000::/home/me: /usr/bin/fish \n"
      "blank:x:1001:1001::/home/b:  \n";
  struct Case {
    std::string os;
    unsigned uid;
    std::string shell;
  } cases[] = {
      {"Mac OS X", 1000, "/bin/zsh"},
      {"Linux", 1000, "/usr/bin/fish"},
      {"Linux", 0, "/bin/bash"},
      {"Linux", 1001, "/bin/sh"},  // blank shell field
      {"Linux", 4242, "/bin/sh"},  // no line
  };
  for (const auto& c : cases) EXPECT_EQ(default_shell({c.os, passwd, c.uid}), c.shell) << c.os << " " << c.uid;
  EXPECT_EQ(uid_shell("a:x:10:10::/h:/bin/ksh", 1), std::nullopt);  // the uid is the third field, not a prefix
  EXPECT_EQ(uid_shell("a:x:10:10::/h:/bin/ksh", 10), "/bin/ksh");
}

TEST(ToolPath, ParseAnswerTakesTheLastCompletePair) {
  struct Case {
    std::string out;
    std::optional<std::string> path;
  } cases[] = {
      {"", std::nullopt},
      {"hello from .zshrc\n", std::nullopt},
      {"\n__ORRERY_PATH____END__\n", std::nullopt},  // empty PATH
      {"\n__ORRERY_PATH__/a:/b__END__\n", "/a:/b"},
      {"__ORRERY_PATH__/rc__END__\nmotd\n__ORRERY_PATH__/real__END__\n", "/real"},  // an rc file's own pair first
      {"__ORRERY_PATH__/whole__END__\n__ORRERY_PATH__/cut-off", "/whole"},        // the last start never ended
      {"__END__ __ORRERY_PATH__/x", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_answer(c.out), c.path) << c.out;
}

// The probe command is shell text: running it through a real shell shows its quoting prints PATH as it is.
TEST(ToolPath, ShellCommandPrintsPathBetweenMarkers) {
  auto argv = shell_command("/bin/sh");
  ASSERT_EQ(argv.size(), 4u);
  EXPECT_EQ(argv[0], "/bin/sh");
  EXPECT_EQ(argv[1], "-il");
  EXPECT_EQ(argv[2], "-c");
  std::string odd = "/a b/bin:/it's/%s:/usr/bin:/bin";
  auto run = orrery::testing::run_program({"/bin/sh", "-c", argv[3]}, {{"PATH", odd.c_str()}});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "\n__ORRERY_PATH__" + odd + "__END__\n");
  EXPECT_EQ(parse_answer(run.out), odd);
}

TEST(ToolPath, FallbackAppendsExistingWellKnownFoldersNotAlreadyThere) {
  auto exists = exists_in({"/usr/local/bin", "/h/bin", "/opt/homebrew/bin"});
  EXPECT_EQ(fallback_path("/usr/bin:/bin", "/h", exists), "/usr/bin:/bin:/opt/homebrew/bin:/usr/local/bin:/h/bin");
  EXPECT_EQ(fallback_path("/usr/local/bin:/bin", "/h", exists), "/usr/local/bin:/bin:/opt/homebrew/bin:/h/bin");
  EXPECT_EQ(fallback_path("", "/h", exists_in({"/h/.local/bin"})), "/h/.local/bin");
}

TEST(ToolPath, ResolveProgram) {
  auto exists = exists_in({"/b/kelp", "/c/kelp", "/abs/tool"});
  EXPECT_EQ(resolve_program("kelp", "/a:/b:/c", exists), "/b/kelp");
  EXPECT_EQ(resolve_program("kelp", "/a", exists), std::nullopt);
  EXPECT_EQ(resolve_program("/abs/tool", "", exists), "/abs/tool");
  EXPECT_EQ(resolve_program("/abs/missing", "/b", exists), std::nullopt);
}

}  // namespace
}  // namespace orrery::tool_path
