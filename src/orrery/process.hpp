// Child processes: spawned with posix_spawn in their own process group, with every descriptor we create marked
// close-on-exec, and reaped by one reaper thread that waits on our own children only (never waitpid(-1): other code
// in this process spawns too and reaps its own).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/result.hpp"

namespace orrery::process {

// Where one of the child's output streams goes.
struct Output {
  enum class Kind { inherit, null, file, pipe };
  Kind kind = Kind::null;
  std::filesystem::path file;  // for Kind::file: created if missing, truncated

  static Output inherit() { return {Kind::inherit, {}}; }
  static Output null() { return {Kind::null, {}}; }
  static Output to_file(std::filesystem::path path) { return {Kind::file, std::move(path)}; }
  static Output pipe() { return {Kind::pipe, {}}; }
};

struct Options {
  // The child's working directory; empty keeps ours. It must be absolute: the spawn fails with a sentence otherwise.
  std::filesystem::path cwd;
  // Changes to our environment: a value sets the variable, nullopt removes it.
  std::map<std::string, std::optional<std::string>> env;
  Output out = Output::null();
  Output err = Output::null();
  // Standard input: a pipe whose writing end the Process holds until close_stdin or the child's end; else /dev/null.
  bool stdin_pipe = false;
};

class Process {
 public:
  Process(pid_t pid, int stdin_fd, int stdout_fd, int stderr_fd);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool is_alive() const;
  // The exit code once reaped: the exit status, or 128 + the signal for a signal death.
  std::optional<int> exit_code() const;
  // Waits at most timeout for the exit; the exit code, or nullopt when the child still runs.
  std::optional<int> wait_for(std::chrono::milliseconds timeout) const;
  int wait() const;
  // Sends sig to the child's process group. False when the child has already been reaped (its group id may
  // belong to someone else by now, so nothing is sent).
  bool signal_group(int sig);
  // Sends sig to the child alone; false when it has already been reaped.
  bool signal(int sig);

  // Writes all of text to the child's standard input; false when there is no pipe, it was closed, or the child
  // stopped reading.
  bool write_stdin(std::string_view text);
  void close_stdin();
  // The reading ends of piped output (-1 when not piped). The Process owns them.
  int stdout_fd() const { return stdout_fd_; }
  int stderr_fd() const { return stderr_fd_; }

  // Reaps the child when it has exited (waitpid WNOHANG); true when it is reaped now or was before.
  bool try_reap();

 private:
  pid_t pid_;
  mutable std::mutex mutex_;  // guards exit_ and the reap itself, so no signal is sent after the reap
  mutable std::condition_variable exited_;
  std::optional<int> exit_;
  std::mutex stdin_mutex_;
  int stdin_fd_;
  int stdout_fd_;
  int stderr_fd_;
};

// Spawns argv[0], searched on this process's own PATH when it holds no slash (a PATH in options.env is the child's,
// not the search's: pass an absolute program to use it).
// Errors are sentences: an empty argv, a relative or missing working directory, a program that cannot be started.
kelp::Result<std::shared_ptr<Process>> spawn(const std::vector<std::string>& argv, const Options& options = {});

// The exit code a wait status stands for: the exit status, or 128 + the signal.
int exit_code_of(int status);

}  // namespace orrery::process
