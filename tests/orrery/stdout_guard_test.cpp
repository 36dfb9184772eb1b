#include "orrery/stdout_guard.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orrery/child_process.hpp"

extern char** environ;

namespace orrery {
namespace {

int spawn_and_wait(std::vector<std::string> argv) {
  std::vector<char*> pointers;
  for (auto& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0) return -1;
  return testing::wait_for(pid);
}

TEST(StdoutGuard, OnlyProtocolLinesReachStandardOutput) {
  auto run = testing::run_forked([] {
    std::printf("early print\n");  // still buffered: the pipe makes stdout fully buffered
    auto output = take_standard_output();
    if (!output) return 10;
    std::thread printer([] {
      std::printf("printf from a thread\n");
      std::cout << "cout from a thread" << std::endl;
      [[maybe_unused]] auto written = ::write(1, "raw write to 1\n", 15);
    });
    printer.join();
    if (spawn_and_wait({"/bin/echo", "echo from a child"}) != 0) return 11;
    // The kept descriptor is close-on-exec: a child cannot write into the protocol through it.
    std::string leak = "echo leaked >&" + std::to_string((*output)->descriptor());
    spawn_and_wait({"/bin/sh", "-c", leak});
    if ((*output)->write_line(R"({"jsonrpc":"2.0","id":1})") != ProtocolOutput::Write::written) return 12;
    std::printf("print after the protocol line\n");
    return 0;
  });
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "early print\n{\"jsonrpc\":\"2.0\",\"id\":1}\n");
  for (const char* line : {"printf from a thread\n", "cout from a thread\n", "raw write to 1\n",
                           "echo from a child\n", "print after the protocol line\n"}) {
    EXPECT_NE(run.err.find(line), std::string::npos) << line << " missing from: " << run.err;
  }
  EXPECT_EQ(run.err.find("leaked"), std::string::npos);
}

TEST(StdoutGuard, NoStandardOutputToKeepIsAFailure) {
  auto run = testing::run_forked([] {
    ::close(1);
    auto output = take_standard_output();
    return output ? 1 : 0;
  });
  EXPECT_EQ(run.exit_code, 0);
}

TEST(ProtocolOutput, ConcurrentLinesStayWhole) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<std::size_t>(n));
  });
  constexpr int WRITERS = 4, LINES = 50;
  constexpr std::size_t LENGTH = 20000;  // far above PIPE_BUF, where the kernel splits writes
  {
    ProtocolOutput output(fds[1]);
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w) {
      writers.emplace_back([&output, w] {
        std::string line(LENGTH, static_cast<char>('a' + w));
        for (int i = 0; i < LINES; ++i) output.write_line(line);
      });
    }
    for (auto& t : writers) t.join();
  }  // closes the write end
  reader.join();
  ::close(fds[0]);
  std::istringstream lines(received);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.size(), LENGTH);
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "interleaved line " << count;
  }
  EXPECT_EQ(count, WRITERS * LINES);
}

TEST(ProtocolOutput, AGoneReaderIsTheEnd) {
  ::signal(SIGPIPE, SIG_IGN);  // as orrery-bin does process-wide
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  ProtocolOutput output(fds[1]);
  EXPECT_EQ(output.write_line("{}"), ProtocolOutput::Write::closed);
  ProtocolOutput nowhere(-1);
  EXPECT_EQ(nowhere.write_line("{}"), ProtocolOutput::Write::failed);
}

}  // namespace
}  // namespace orrery
