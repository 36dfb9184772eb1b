// Test helpers: run a program or a forked body and collect its exit status, standard output and standard error.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace orrery::testing {

struct Finished {
  int exit_code = -1;  // the exit status, or minus the signal that ended the process
  std::string out;
  std::string err;
};

inline void read_both(int out_fd, int err_fd, Finished& finished) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&finished.out, &finished.err};
  int open_count = 2;
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

inline int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Runs `argv` with the environment changed by `env` (a value sets the variable, nullptr removes it).
inline Finished run_program(const std::vector<std::string>& argv,
                            const std::map<std::string, const char*>& env = {}) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) env_strings.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value != nullptr) env_strings.push_back(name + "=" + value);
  }
  std::vector<char*> env_ptrs, arg_ptrs;
  for (auto& s : env_strings) env_ptrs.push_back(s.data());
  env_ptrs.push_back(nullptr);
  std::vector<std::string> args = argv;
  for (auto& s : args) arg_ptrs.push_back(s.data());
  arg_ptrs.push_back(nullptr);

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = 0;
  int spawned = ::posix_spawn(&pid, arg_ptrs[0], &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  Finished finished;
  if (spawned == 0) {
    read_both(out[0], err[0], finished);
    finished.exit_code = wait_for(pid);
  }
  ::close(out[0]);
  ::close(err[0]);
  return finished;
}

// Runs `body` in a forked child whose standard output and error are captured; its answer is the exit status.
// Call it only while the test process has a single thread.
inline Finished run_forked(const std::function<int()>& body) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    int status = body();
    std::fflush(nullptr);
    ::_exit(status);
  }
  ::close(out[1]);
  ::close(err[1]);
  Finished finished;
  read_both(out[0], err[0], finished);
  finished.exit_code = wait_for(pid);
  ::close(out[0]);
  ::close(err[0]);
  return finished;
}

}  // namespace orrery::testing
