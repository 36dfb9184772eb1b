#include "orrery/text_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"

namespace orrery::text_file {
namespace {

namespace fs = std::filesystem;
using orrery::testing::TempDir;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> entries(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Sets the umask for one scope.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(TextFileRead, LoadsTextAndReplacesInvalidUtf8) {
  struct Case {
    std::string bytes;
    std::string text;
    bool had_invalid;
  };
  const std::vector<Case> cases = {
      {"", "", false},
      {"(ns a)\r\n(def λ \"→ 🌍\")\n", "(ns a)\r\n(def λ \"→ 🌍\")\n", false},
      {"a\xff" "b\n", "a\uFFFD" "b\n", true},
      {"(def x \"\xe9t\xe9\")", "(def x \"\uFFFDt\uFFFD\")", true},
      {"ok\xed\xa0\x80", "ok\uFFFD\uFFFD\uFFFD", true},  // a UTF-16 surrogate is not a character
  };
  TempDir dir;
  for (const auto& c : cases) {
    const auto path = dir.write("a.clj", c.bytes);
    const auto result = read_for_tab(path);
    ASSERT_TRUE(std::holds_alternative<Loaded>(result)) << std::get<Refused>(result).message;
    const auto& loaded = std::get<Loaded>(result);
    EXPECT_EQ(loaded.text, c.text) << c.bytes;
    EXPECT_EQ(loaded.had_invalid_utf8, c.had_invalid) << c.bytes;
  }
}

TEST(TextFileRead, RefusesWhatTheEditorCannotHold) {
  TempDir dir;
  const std::string nul(1, '\0');
  const auto lf = dir.write("lf.clj", "(ns a)\n(def b 1)\n(def" + nul + " c)\n");
  const auto crlf = dir.write("crlf.clj", "(ns a)\r\n(def b 1)\r\n(def" + nul + " c)\r\n");
  const auto first = dir.write("first.bin", nul + "\n\n");
  fs::create_directory(dir.path() / "src");
  const auto fifo = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto missing = dir.path() / "missing.clj";

  const std::vector<std::pair<fs::path, std::string>> cases = {
      {lf, lf.string() + " holds a NUL byte on line 3, which Orrery can't edit, so it wasn't opened."},
      {crlf, crlf.string() + " holds a NUL byte on line 3, which Orrery can't edit, so it wasn't opened."},
      {first, first.string() + " holds a NUL byte on line 1, which Orrery can't edit, so it wasn't opened."},
      {dir.path() / "src", (dir.path() / "src").string() + " is a folder, so it wasn't opened."},
      {fifo, fifo.string() + " isn't a regular file, so it wasn't opened."},
      {missing, "Couldn't open " + missing.string() + ": No such file or directory."},
  };
  for (const auto& [path, message] : cases) {
    const auto result = read_for_tab(path);
    ASSERT_TRUE(std::holds_alternative<Refused>(result)) << path;
    EXPECT_EQ(std::get<Refused>(result).message, message);
  }
}

TEST(TextFileResolve, FollowsLinksOneAtATime) {
  TempDir dir;
  const fs::path d = dir.path();
  const auto real = dir.write("src/real.clj", "x");
  fs::create_symlink(real, d / "absolute");
  fs::create_symlink("src/real.clj", d / "relative");
  fs::create_symlink("../relative", d / "src/up");  // counts from the link's own folder, not the first link's
  fs::create_symlink("up", d / "src/chain");
  fs::create_symlink("gone/new.clj", d / "src/dangling");

  const std::vector<std::pair<fs::path, fs::path>> cases = {
      {real, real},
      {d / "absolute", real},
      {d / "relative", d / "src/real.clj"},
      {d / "src/chain", d / "src/real.clj"},
      {d / "src/dangling", d / "src/gone/new.clj"},
      {d / "nothing.clj", d / "nothing.clj"},
  };
  for (const auto& [from, to] : cases) EXPECT_EQ(fs::weakly_canonical(resolve_links(from)), to) << from;

  fs::create_symlink("loop-b", d / "loop-a");
  fs::create_symlink("loop-a", d / "loop-b");
  EXPECT_THROW(resolve_links(d / "loop-a"), std::runtime_error);
}

TEST(TextFileSave, NewFileGetsTheUmasksMode) {
  const std::vector<std::pair<mode_t, mode_t>> cases = {{022, 0644}, {077, 0600}, {002, 0664}};
  for (const auto& [mask, mode] : cases) {
    TempDir dir;
    const auto path = dir.path() / "new.clj";
    {
      Umask umask(mask);
      ASSERT_EQ(save(path, "(ns new)\n"), std::nullopt);
    }
    EXPECT_EQ(slurp(path), "(ns new)\n");
    EXPECT_EQ(mode_of(path), mode) << std::oct << mask;
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"new.clj"});
  }
}

TEST(TextFileSave, ReplacesTextAndKeepsTheMode) {
  for (const mode_t mode : {0755, 0600, 0640, 0444}) {
    TempDir dir;
    const auto path = dir.write("run.sh", "a much longer old text than the new one\n");
    fs::permissions(path, static_cast<fs::perms>(mode));
    ASSERT_EQ(save(path, "new\n"), std::nullopt);
    EXPECT_EQ(slurp(path), "new\n");
    EXPECT_EQ(mode_of(path), mode) << std::oct << mode;
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"run.sh"});
  }
}

TEST(TextFileSave, KeepsAnotherUsersOwnership) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file to another user";
  TempDir dir;
  const auto path = dir.write("theirs.clj", "old\n");
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(save(path, "new\n"), std::nullopt);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(slurp(path), "new\n");
}

TEST(TextFileSave, ThroughALinkChangesTheTargetAndKeepsTheLink) {
  struct Case {
    std::string name;
    fs::path link_target;  // as stored in the link
    std::string written;   // the file, relative to the folder, that gets the text
  };
  const std::vector<Case> cases = {
      {"absolute", "", "src/real.clj"},  // empty: the real file's absolute path
      {"relative", "src/real.clj", "src/real.clj"},
      {"dangling", "src/new.clj", "src/new.clj"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const auto real = dir.write("src/real.clj", "old\n");
    const fs::path stored = c.link_target.empty() ? real : c.link_target;
    const auto link = dir.path() / "link.clj";
    fs::create_symlink(stored, link);

    ASSERT_EQ(save(link, "new\n"), std::nullopt) << c.name;
    EXPECT_TRUE(fs::is_symlink(link)) << c.name;
    EXPECT_EQ(fs::read_symlink(link), stored) << c.name;
    EXPECT_EQ(slurp(dir.path() / c.written), "new\n") << c.name;
    if (c.written != "src/real.clj") {
      EXPECT_EQ(slurp(real), "old\n") << c.name;
    }
    std::set<std::string> expected = {"real.clj"};
    expected.insert(fs::path(c.written).filename().string());
    EXPECT_EQ(entries(dir.path() / "src"), expected) << c.name;
  }
}

TEST(TextFileSave, ReadOnlyFolderReportsTheUsersPathAndLeavesTheFile) {
  TempDir dir;
  const auto ro = dir.path() / "ro";
  const auto real = dir.write("ro/a.clj", "old\n");
  const auto link = dir.path() / "link.clj";
  fs::create_symlink(real, link);
  fs::permissions(ro, fs::perms(0555));
  const bool writable = std::ofstream(ro / "probe").good();
  if (writable) {
    fs::permissions(ro, fs::perms(0755));
    GTEST_SKIP() << "this process may write into a read-only folder (it runs as root), so nothing refuses the save";
  }
  for (const auto& path : {real, link}) {
    const auto error = save(path, "new\n");
    ASSERT_TRUE(error.has_value()) << path;
    // Through the link, the message names the link, not the folder the user never mentioned.
    EXPECT_EQ(*error, "Couldn't save " + path.string() + ": Permission denied.");
    EXPECT_EQ(slurp(real), "old\n");
    EXPECT_EQ(entries(ro), std::set<std::string>{"a.clj"});
  }
  fs::permissions(ro, fs::perms(0755));
}

TEST(TextFileSave, RefusalsLeaveNoTemporaryFile) {
  TempDir dir;
  const fs::path d = dir.path();
  fs::create_directory(d / "src");
  fs::create_symlink("loop-b", d / "loop-a");
  fs::create_symlink("loop-a", d / "loop-b");
  ASSERT_EQ(::mkfifo((d / "pipe").c_str(), 0600), 0);
  fs::create_symlink("src", d / "folder-link");

  const std::vector<std::pair<fs::path, std::string>> cases = {
      {d / "src", "Is a directory"},
      {d / "folder-link", "Is a directory"},
      {d / "loop-a", "Too many levels of symbolic links"},
      {d / "pipe", "it isn't a regular file"},
      {d / "gone/a.clj", "No such file or directory"},
  };
  const auto before = entries(d);
  for (const auto& [path, reason] : cases) {
    EXPECT_EQ(save(path, "text"), "Couldn't save " + path.string() + ": " + reason + ".");
    EXPECT_EQ(entries(d), before) << path;
    EXPECT_TRUE(entries(d / "src").empty()) << path;
  }
}

// A save killed at any moment leaves the file holding one whole text or the other. The saver is a process of its
// own, killed with SIGKILL at random moments once its saves are under way.
TEST(TextFileSave, AKilledSaveNeverLosesText) {
  TempDir dir;
  std::string a, b;
  for (int i = 0; a.size() < 64 * 1024; ++i) a += "(def a-" + std::to_string(i) + " \"first text\")\n";
  for (int i = 0; b.size() < 100 * 1024; ++i) b += ";; second text, line " + std::to_string(i) + "\n";
  const auto a_file = dir.write("texts/a", a);
  const auto b_file = dir.write("texts/b", b);
  const auto work = dir.path() / "work";
  fs::create_directory(work);
  const auto target = dir.write("work/core.clj", a);

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delay_us(0, 4000);
  std::string program = TEXT_FILE_SAVE_LOOP;
  std::vector<std::string> args = {program, target.string(), a_file.string(), b_file.string()};
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);

  for (int round = 0; round < 200; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    ASSERT_EQ(spawned, 0) << program;

    char byte = 0;
    ssize_t n;
    do n = ::read(ready[0], &byte, 1);
    while (n < 0 && errno == EINTR);
    ::close(ready[0]);
    if (n != 1) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      FAIL() << "the saver stopped before its first save (wait status " << status << ")";
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);

    const std::string now = slurp(target);
    ASSERT_TRUE(now == a || now == b) << "round " << round << ": the file holds " << now.size() << " bytes";
  }
  for (const auto& name : entries(work)) {
    if (name != "core.clj") {
      EXPECT_EQ(name[0], '.') << name;
    }
  }
}

}  // namespace
}  // namespace orrery::text_file
