// When Orrery dies without running any of its own clean-up (a crash, a kill signal), the kelp child it started must
// not live on: the operating system closes the child's standard-input pipe, and the child ends itself.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "orrery/process.hpp"
#include "support/temp_dir.hpp"

namespace orrery {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The line of out that carries text, reading the pipe until it comes or the deadline passes.
std::optional<std::string> read_line_with(int fd, std::string& buffered, std::string_view text,
                                          Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    for (size_t end; (end = buffered.find('\n')) != std::string::npos;) {
      std::string line = buffered.substr(0, end);
      buffered.erase(0, end + 1);
      if (line.find(text) != std::string::npos) return line;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffered.append(chunk, static_cast<size_t>(n));
  }
  return std::nullopt;
}

// The fields of /proc/PID/stat after the command name: state first, then the parent's pid.
struct Stat {
  char state = '?';
  pid_t ppid = 0;
  std::string comm;
};
std::optional<Stat> stat_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  size_t open = text.find('('), close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return std::nullopt;
  Stat s;
  s.comm = text.substr(open + 1, close - open - 1);
  std::istringstream rest(text.substr(close + 1));
  rest >> s.state >> s.ppid;
  return s;
}

std::optional<pid_t> kelp_child_of(pid_t parent) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = std::stoi(name);
    auto s = stat_of(pid);
    if (s && s->ppid == parent && s->comm == "kelp") return pid;
  }
  return std::nullopt;
}

// Gone, or a zombie waiting for whichever process adopted it.
bool has_ended(pid_t pid) {
  auto s = stat_of(pid);
  return !s || s->state == 'Z' || s->state == 'X';
}

TEST(OrphanedChild, EndsWhenOrreryIsKilled) {
  testing::TempDir project("orphan");
  {
    std::ofstream(project.path() / "deps.edn") << "{:paths [\"src\"]}\n";
    std::filesystem::create_directories(project.path() / "src");
    std::ofstream(project.path() / "src" / "core.clj") << "(ns core)\n";
  }
  process::Options options;
  options.cwd = project.path();
  options.env["ORRERY_KELP"] = std::string(KELP_BIN);
  options.stdin_pipe = true;
  options.out = process::Output::pipe();
  auto orrery = process::spawn({ORRERY_BIN, "--mcp", project.path().string()}, options);
  ASSERT_TRUE(orrery.ok()) << orrery.failure().message;
  process::Process& proc = **orrery;

  std::string file = (project.path() / "src" / "core.clj").string();
  proc.write_stdin(
      R"j({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},)j"
      R"j("clientInfo":{"name":"test","version":"1"}}})j"
      "\n"
      R"j({"jsonrpc":"2.0","method":"notifications/initialized"})j"
      "\n"
      R"j({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"orrery_eval","arguments":{"code":"(+ 1 2)",)j"
      R"j("path":")j" + file + R"j("}}})j"
      "\n");
  std::string buffered;
  auto answer = read_line_with(proc.stdout_fd(), buffered, R"("id":2)", Clock::now() + 60s);
  ASSERT_TRUE(answer) << "the agent server never answered the evaluation";
  EXPECT_NE(answer->find(R"("value":"3")"), std::string::npos) << *answer;

  auto child = kelp_child_of(proc.pid());
  ASSERT_TRUE(child) << "the evaluation ran, but no kelp child of Orrery was found";
  proc.signal(SIGKILL);
  proc.wait_for(10s);

  auto deadline = Clock::now() + 20s;
  while (!has_ended(*child) && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
  bool ended = has_ended(*child);
  if (!ended) ::kill(*child, SIGKILL);  // leave nothing behind, whatever the verdict
  EXPECT_TRUE(ended) << "the kelp child " << *child << " outlived Orrery by 20 s";
}

}  // namespace
}  // namespace orrery
