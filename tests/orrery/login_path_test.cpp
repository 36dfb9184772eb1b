#include "orrery/login_path.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.hpp"

namespace orrery::login_path {
namespace {

using namespace std::chrono_literals;

const std::string FINDER_PATH = "/usr/bin:/bin:/usr/sbin:/sbin";

// A fake login shell: a script called as `shell -il -c COMMAND`.
std::string fake_shell(const orrery::testing::TempDir& dir, const std::string& name, const std::string& body) {
  auto path = dir.write(name, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path.string();
}

// Gone, or a zombie that only init has left to reap.
bool is_gone(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto paren = text.rfind(')');
    if (text.empty() || (paren != std::string::npos && text.substr(paren + 2, 1) == "Z")) return true;
    ::usleep(20000);
  }
  return false;
}

tool_path::Exists only(const std::string& dir) {
  return [dir](const std::string& p) { return p == dir; };
}

TEST(LoginPath, ProbeOutcomes) {
  orrery::testing::TempDir dir;
  // The real command, run with the PATH a login shell would have set.
  std::string real = "PATH=/from/the/shell:/usr/bin; export PATH; exec /bin/sh -c \"$3\"";
  struct Case {
    std::string name;
    std::string body;
    Source source;
    std::string path_or_reason;
  } cases[] = {
      {"plain", real, Source::shell, "/from/the/shell:/usr/bin"},
      {"rc-pair", "printf '__ORRERY_PATH__/rc/own__END__\\nwelcome\\n'\n" + real, Source::shell,
       "/from/the/shell:/usr/bin"},
      {"prints-then-hangs", "PATH=/printed/first; export PATH; /bin/sh -c \"$3\"; /bin/sleep 30", Source::shell,
       "/printed/first"},
      {"no-path", "echo hello from rc", Source::fallback, "printed no PATH"},
      {"fails", "exit 3", Source::fallback, "failed"},
      {"hangs", "/bin/sleep 30", Source::fallback, "timed out"},
      {"floods", "/usr/bin/head -c 2000000 /dev/zero; /bin/sleep 30", Source::fallback, "printed no PATH"},
      {"size-limit-after-path", "PATH=/before/the/limit; /bin/sh -c \"$3\"; kill -XFSZ $$", Source::shell,
       "/before/the/limit"},
      {"size-limit", "kill -XFSZ $$", Source::fallback, "stopped at a file size limit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string shell = fake_shell(dir, c.name, c.body);
    Answer a = probe(shell, FINDER_PATH, "/home/u", 1500ms, only("/usr/local/bin"));
    EXPECT_EQ(a.source, c.source);
    EXPECT_EQ(a.shell, shell);
    if (c.source == Source::shell) {
      EXPECT_EQ(a.path, c.path_or_reason);
    } else {
      EXPECT_EQ(a.reason, c.path_or_reason);
      EXPECT_EQ(a.path, FINDER_PATH + ":/usr/local/bin");
    }
  }
  // Every probe's output file is gone.
  std::string prefix = "orrery-login-path-" + std::to_string(::getpid()) + "-";
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
    EXPECT_NE(entry.path().filename().string().rfind(prefix, 0), 0u) << entry.path();
  }
}

// A shell that ignores the termination signal, and hands that on to what it started, is still ended, with its
// children, when it hangs.
TEST(LoginPath, HangingShellTreeIsKilled) {
  orrery::testing::TempDir dir;
  auto pids = dir.path() / "pids";
  std::string shell = fake_shell(dir, "stubborn",
                                 "trap '' TERM\nsleep 30 &\necho $$ $! > '" + pids.string() + "'\nwait\nsleep 30");
  Answer a = probe(shell, FINDER_PATH, "/home/u", 500ms, only("/usr/local/bin"));
  EXPECT_EQ(a.reason, "timed out");
  std::ifstream in(pids);
  pid_t shell_pid = 0, sleeper = 0;
  ASSERT_TRUE(in >> shell_pid >> sleeper);
  EXPECT_TRUE(is_gone(shell_pid));
  EXPECT_TRUE(is_gone(sleeper));
}

TEST(LoginPath, StartsOnlyForABarePathAndOnlyOnce) {
  orrery::testing::TempDir dir;
  std::string shell = fake_shell(dir, "zsh", "PATH=/opt/homebrew/bin:/usr/bin; exec /bin/sh -c \"$3\"");

  Lookup terminal;
  Options from_terminal;
  from_terminal.env = std::map<std::string, std::string>{{"PATH", "/opt/homebrew/bin:/usr/bin"}};
  from_terminal.home = "/home/u";
  from_terminal.shell = shell;
  EXPECT_EQ(terminal.start(from_terminal), Started::not_needed);
  EXPECT_EQ(terminal.answer().path, "/opt/homebrew/bin:/usr/bin");
  EXPECT_EQ(terminal.answer().source, Source::process);
  EXPECT_EQ(console_line(terminal.answer()), std::nullopt);

  Lookup finder;
  EXPECT_EQ(finder.answer().source, Source::process) << "before start: the process's own PATH";
  Options from_finder = from_terminal;
  from_finder.env = std::map<std::string, std::string>{{"PATH", FINDER_PATH}};
  EXPECT_EQ(finder.start(from_finder), Started::started);
  EXPECT_EQ(finder.start(from_terminal), std::nullopt) << "a second start changes nothing";
  Answer a = finder.answer();
  EXPECT_EQ(a.path, "/opt/homebrew/bin:/usr/bin");
  EXPECT_EQ(console_line(a), "; PATH from your login shell (" + shell + ").");
}

TEST(LoginPath, ConsoleLineForTheFallback) {
  Answer a{"/usr/bin:/usr/local/bin", Source::fallback, "/bin/zsh", "timed out"};
  EXPECT_EQ(console_line(a), "; PATH from well-known folders (your login shell timed out).");
}

TEST(LoginPath, ExistenceTests) {
  orrery::testing::TempDir dir;
  auto plain = dir.write("plain", "");
  auto runnable = dir.write("runnable", "");
  ::chmod(runnable.c_str(), 0755);
  EXPECT_TRUE(is_executable_file(runnable.string()));
  EXPECT_FALSE(is_executable_file(plain.string()));
  EXPECT_FALSE(is_executable_file(dir.path().string())) << "a folder is searchable, not runnable";
  EXPECT_TRUE(is_directory(dir.path().string()));
  EXPECT_FALSE(is_directory(runnable.string()));
  EXPECT_FALSE(is_directory((dir.path() / "missing").string()));
}

}  // namespace
}  // namespace orrery::login_path
