#include "orrery/process.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/temp_dir.hpp"

namespace orrery::process {
namespace {

using namespace std::chrono_literals;

std::string read_all(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

std::shared_ptr<Process> spawn_ok(const std::vector<std::string>& argv, Options options = {}) {
  auto spawned = spawn(argv, options);
  EXPECT_TRUE(spawned.ok()) << (spawned.ok() ? "" : spawned.failure().message);
  return spawned.ok() ? *spawned : nullptr;
}

// Running, or a zombie nobody reaps yet, counts as still there; gone means no such process.
bool is_gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  if (text.empty()) return true;
  auto paren = text.rfind(')');
  return paren != std::string::npos && text.size() > paren + 2 && text[paren + 2] == 'Z';
}

bool becomes_gone(pid_t pid) {
  for (int i = 0; i < 200 && !is_gone(pid); ++i) ::usleep(25000);
  return is_gone(pid);
}

TEST(Process, ExitCodes) {
  struct Case {
    std::string script;
    int code;
  } cases[] = {
      {"exit 0", 0},
      {"exit 7", 7},
      {"kill -9 $$", 128 + SIGKILL},
      {"kill -TERM $$", 128 + SIGTERM},
  };
  for (const auto& c : cases) {
    auto proc = spawn_ok({"/bin/sh", "-c", c.script});
    ASSERT_TRUE(proc);
    EXPECT_EQ(proc->wait_for(10s), c.code) << c.script;
    EXPECT_FALSE(proc->is_alive());
    EXPECT_EQ(proc->exit_code(), c.code);
    EXPECT_FALSE(proc->signal_group(SIGTERM)) << "a reaped child's group id is no longer ours to signal";
  }
}

TEST(Process, StdinPipeAndStdoutPipe) {
  Options options;
  options.stdin_pipe = true;
  options.out = Output::pipe();
  auto proc = spawn_ok({"cat"}, options);  // a bare name is found on our PATH
  ASSERT_TRUE(proc);
  EXPECT_TRUE(proc->write_stdin("hello\n"));
  EXPECT_TRUE(proc->write_stdin("world\n"));
  EXPECT_FALSE(proc->wait_for(100ms)) << "cat waits while we hold its input open";
  proc->close_stdin();
  EXPECT_EQ(read_all(proc->stdout_fd()), "hello\nworld\n");
  EXPECT_EQ(proc->wait_for(10s), 0);
  EXPECT_FALSE(proc->write_stdin("late")) << "the pipe is closed once the child has ended";
}

TEST(Process, StdinPipeIsClosedWhenTheChildEnds) {
  Options options;
  options.stdin_pipe = true;
  auto proc = spawn_ok({"/bin/sh", "-c", "exit 0"}, options);
  ASSERT_TRUE(proc);
  ASSERT_EQ(proc->wait_for(10s), 0);
  EXPECT_FALSE(proc->write_stdin("x"));
}

TEST(Process, WorkingFolderEnvironmentAndFileOutput) {
  orrery::testing::TempDir dir;
  ::setenv("ORRERY_PROCESS_TEST_DROP", "dropped", 1);
  Options options;
  options.cwd = dir.path();
  options.env["ORRERY_PROCESS_TEST_SET"] = "set";
  options.env["ORRERY_PROCESS_TEST_DROP"] = std::nullopt;
  auto log = dir.path() / "out.log";
  options.out = Output::to_file(log);
  options.err = Output::to_file(log);
  auto proc = spawn_ok({"/bin/sh", "-c",
                        "pwd; echo \"[$ORRERY_PROCESS_TEST_SET][${ORRERY_PROCESS_TEST_DROP-unset}]\"; echo err >&2"},
                       options);
  ::unsetenv("ORRERY_PROCESS_TEST_DROP");
  ASSERT_TRUE(proc);
  ASSERT_EQ(proc->wait_for(10s), 0);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), dir.path().string() + "\n[set][unset]\nerr\n");
}

TEST(Process, SpawnErrorsAreSentences) {
  orrery::testing::TempDir dir;
  dir.write("file", "");
  struct Case {
    std::vector<std::string> argv;
    std::filesystem::path cwd;
    std::string says;
  } cases[] = {
      {{}, "", "no program was given to start"},
      {{"/bin/true"}, "relative/dir", "is not an absolute path"},
      {{"/bin/true"}, dir.path() / "missing", "can't be used: No such file or directory"},
      {{"/bin/true"}, dir.path() / "file", "is not a folder"},
      {{"/no/such/program"}, "", "couldn't start /no/such/program: No such file or directory"},
      {{"orrery-no-such-program-anywhere"}, "", "couldn't start orrery-no-such-program-anywhere"},
  };
  for (const auto& c : cases) {
    Options options;
    options.cwd = c.cwd;
    auto spawned = spawn(c.argv, options);
    ASSERT_FALSE(spawned.ok()) << c.says;
    EXPECT_NE(spawned.failure().message.find(c.says), std::string::npos) << spawned.failure().message;
  }
}

TEST(Process, GroupSignalEndsWhatTheChildStarted) {
  Options options;
  options.out = Output::pipe();
  auto proc = spawn_ok({"/bin/sh", "-c", "sleep 30 & echo $!; wait"}, options);
  ASSERT_TRUE(proc);
  std::string line;
  char c;
  while (::read(proc->stdout_fd(), &c, 1) == 1 && c != '\n') line += c;
  pid_t grandchild = std::stoi(line);
  EXPECT_TRUE(proc->signal_group(SIGTERM));
  EXPECT_EQ(proc->wait_for(10s), 128 + SIGTERM);
  EXPECT_TRUE(becomes_gone(grandchild));
}

// The child starts clean: no signal blocked or ignored (we ignore SIGPIPE; the calling thread may block some), no
// descriptor of ours but its three streams, and a process group of its own.
TEST(Process, ChildStartsWithCleanSignalsDescriptorsAndItsOwnGroup) {
  sigset_t usr1, old;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &old);
  int leaked = ::dup2(::open("/dev/null", O_RDONLY), 100);  // not close-on-exec, as careless code would open it
  Options options;
  options.out = Output::pipe();
  auto proc = spawn_ok({"/bin/sh", "-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status; ls /proc/$$/fd; ps -o pgid= -p $$"},
                       options);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::close(leaked);
  ASSERT_TRUE(proc);
  std::string out = read_all(proc->stdout_fd());
  EXPECT_EQ(proc->wait_for(10s), 0);
  EXPECT_NE(out.find("SigBlk:\t0000000000000000\n"), std::string::npos) << out;
  // Standard signals (1-31) only: glibc's spawn keeps its own internal real-time signals ignored.
  auto ign = out.find("SigIgn:\t");
  ASSERT_NE(ign, std::string::npos) << out;
  EXPECT_EQ(std::stoull(out.substr(ign + 8, 16), nullptr, 16) & 0x7fffffffull, 0u) << "SIGPIPE stays ignored: " << out;
  EXPECT_EQ(out.find("\n100\n"), std::string::npos) << out;
  EXPECT_NE(out.find(std::to_string(proc->pid())), std::string::npos) << "its group id is its own pid: " << out;
}

TEST(Process, ChildrenAreReapedWithoutAWait) {
  pid_t pid;
  {
    auto proc = spawn_ok({"/bin/sh", "-c", "exit 0"});
    ASSERT_TRUE(proc);
    pid = proc->pid();
  }  // dropped while running: the reaper still reaps it
  // Reaped, not a zombie: the /proc entry itself goes.
  auto entry = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 200 && std::filesystem::exists(entry); ++i) ::usleep(25000);
  EXPECT_FALSE(std::filesystem::exists(entry));
}

}  // namespace
}  // namespace orrery::process
