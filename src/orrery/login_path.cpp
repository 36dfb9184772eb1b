#include "orrery/login_path.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include "orrery/process.hpp"

namespace orrery::login_path {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::string env_value(const Options& opts, const char* name) {
  if (opts.env) {
    auto it = opts.env->find(name);
    return it == opts.env->end() ? std::string() : it->second;
  }
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string read_text(const fs::path& path, std::size_t cap) {
  std::ifstream in(path, std::ios::binary);
  std::string text(cap, '\0');
  in.read(text.data(), static_cast<std::streamsize>(cap));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::string home_dir(const Options& opts) {
  if (opts.home) return *opts.home;
  return env_value(opts, "HOME");
}

std::string shell_for(const Options& opts) {
  if (opts.shell) return *opts.shell;
  std::string shell = env_value(opts, "SHELL");
  if (!shell.empty()) return shell;
#ifdef __APPLE__
  std::string os = "Mac OS X";
#else
  std::string os = "Linux";
#endif
  return tool_path::default_shell({os, read_text("/etc/passwd", READ_CAP), static_cast<unsigned>(::getuid())});
}

// The probe's output file: fresh in the temporary folder, ours alone (O_EXCL|O_NOFOLLOW, 0600).
std::optional<fs::path> make_output_file() {
  std::error_code ec;
  fs::path dir = fs::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  for (int attempt = 0; attempt < 16; ++attempt) {
    auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
    fs::path candidate =
        dir / ("orrery-login-path-" + std::to_string(::getpid()) + "-" + std::to_string(stamp) + ".out");
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return candidate;
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

// Off macOS the shell runs under a hard file-size limit, inherited by everything its rc files start; exec keeps
// the process tree and the exit status the probe's own.
std::vector<std::string> bounded_command(const std::vector<std::string>& command) {
#ifdef __APPLE__
  return command;
#else
  std::vector<std::string> argv{"/bin/sh", "-c",
                                "ulimit -f " + std::to_string(WRITE_LIMIT_BLOCKS) + " 2>/dev/null; exec \"$@\"", "sh"};
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
#endif
}

// The parent of each process, read from /proc.
std::unordered_map<pid_t, pid_t> parents() {
  std::unordered_map<pid_t, pid_t> out;
  DIR* proc = ::opendir("/proc");
  if (!proc) return out;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close_paren = stat.rfind(')');  // the command name may hold spaces and parentheses
    if (close_paren == std::string::npos) continue;
    std::istringstream rest(stat.substr(close_paren + 1));
    std::string state;
    long ppid = 0;
    if (rest >> state >> ppid) out[static_cast<pid_t>(pid)] = static_cast<pid_t>(ppid);
  }
  ::closedir(proc);
  return out;
}

std::vector<pid_t> descendants(pid_t root) {
  auto parent_of = parents();
  std::vector<pid_t> found{root};
  for (std::size_t i = 0; i < found.size(); ++i) {
    for (const auto& [pid, ppid] : parent_of) {
      if (ppid == found[i]) found.push_back(pid);
    }
  }
  found.erase(found.begin());
  return found;
}

// Ends the shell and everything under it. The descendants are listed first: a shell that ignores the termination
// signal passes it on to its children, and once it is gone they are no longer listed under it.
void kill_tree(process::Process& shell) {
  auto below = descendants(shell.pid());
  shell.signal(SIGTERM);
  for (pid_t pid : below) ::kill(pid, SIGTERM);
  shell.wait_for(KILL_WAIT);
  shell.signal(SIGKILL);
  for (pid_t pid : below) {
    if (::kill(pid, 0) == 0) ::kill(pid, SIGKILL);
  }
  shell.wait_for(KILL_WAIT);
}

enum class Ending { exited, timed_out, too_much };

Ending wait_for_shell(process::Process& shell, const fs::path& out, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (shell.wait_for(std::min(POLL, std::max(left, std::chrono::milliseconds(0))))) return Ending::exited;
    std::error_code ec;
    if (fs::file_size(out, ec) > READ_CAP && !ec) return Ending::too_much;
    if (Clock::now() >= deadline) return Ending::timed_out;
  }
}

// The PATH the shell printed, or why there is none.
struct Outcome {
  std::optional<std::string> path;
  std::string reason;
};

Outcome exit_result(Ending ending, std::optional<int> status, const std::string& out) {
  auto found = tool_path::parse_answer(out);
  if (found) {
    // A PATH printed before a hang or a flood is still the shell's; so is one printed before a stop at the file
    // size limit. Any other failing exit is not trusted.
    bool usable = ending != Ending::exited || status == 0 || status == 128 + SIGXFSZ;
    if (usable) return {found, ""};
  }
  if (ending == Ending::timed_out) return {std::nullopt, "timed out"};
  if (ending == Ending::too_much || status == 0) return {std::nullopt, "printed no PATH"};
  if (status == 128 + SIGXFSZ) return {std::nullopt, "stopped at a file size limit"};
  return {std::nullopt, "failed"};
}

Answer fallback(const std::string& shell, const std::string& current, const std::string& home,
                const tool_path::Exists& exists, std::string reason) {
  return Answer{tool_path::fallback_path(current, home, exists), Source::fallback, shell, std::move(reason)};
}

}  // namespace

Answer probe(const std::string& shell, const std::string& current_path, const std::string& home,
             std::chrono::milliseconds timeout, const tool_path::Exists& dir_exists) {
  auto out = make_output_file();
  if (!out) return fallback(shell, current_path, home, dir_exists, "failed");
  process::Options options;
  options.out = process::Output::to_file(*out);
  auto spawned = process::spawn(bounded_command(tool_path::shell_command(shell)), options);
  if (!spawned) {
    std::error_code ec;
    fs::remove(*out, ec);
    return fallback(shell, current_path, home, dir_exists, "failed");
  }
  auto proc = *spawned;
  Ending ending = wait_for_shell(*proc, *out, timeout);
  if (ending != Ending::exited) kill_tree(*proc);
  std::string text = read_text(*out, READ_CAP);
  std::error_code ec;
  fs::remove(*out, ec);
  auto result = exit_result(ending, proc->exit_code(), text);
  if (result.path) return Answer{*result.path, Source::shell, shell, ""};
  return fallback(shell, current_path, home, dir_exists, result.reason);
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct Lookup::State {
  std::mutex mutex;
  std::condition_variable ready;
  bool started = false;
  std::optional<Answer> answer;
  Clock::time_point deadline;
  // What a late answer falls back to.
  std::string shell, current, home;
  tool_path::Exists dir_exists;
};

Lookup::Lookup() : state_(std::make_shared<State>()) {}

std::optional<Started> Lookup::start(const Options& opts) {
  try {
    std::unique_lock lock(state_->mutex);
    if (state_->started) return std::nullopt;
    state_->started = true;
    state_->current = env_value(opts, "PATH");
    state_->home = home_dir(opts);
    if (!tool_path::needs_lookup(state_->current, state_->home)) {
      state_->answer = Answer{state_->current, Source::process, "", ""};
      return Started::not_needed;
    }
    state_->shell = shell_for(opts);
    state_->dir_exists = opts.dir_exists ? opts.dir_exists : tool_path::Exists(is_directory);
    auto timeout = opts.timeout.value_or(TIMEOUT);
    state_->deadline = Clock::now() + timeout + GRACE;
    std::thread([state = state_, timeout] {
      Answer found;
      try {
        found = probe(state->shell, state->current, state->home, timeout, state->dir_exists);
      } catch (...) {
        found = fallback(state->shell, state->current, state->home, state->dir_exists, "failed");
      }
      std::lock_guard lock(state->mutex);
      if (!state->answer) state->answer = std::move(found);
      state->ready.notify_all();
    }).detach();
    return Started::started;
  } catch (...) {
    return std::nullopt;
  }
}

Answer Lookup::answer() {
  try {
    std::unique_lock lock(state_->mutex);
    if (!state_->started) {
      const char* path = std::getenv("PATH");
      return Answer{path ? path : "", Source::process, "", ""};
    }
    state_->ready.wait_until(lock, state_->deadline, [this] { return state_->answer.has_value(); });
    if (!state_->answer) {
      // The worker is still stuck (it can't be: its own waits are bounded), so the fallback is the answer for good.
      state_->answer = fallback(state_->shell, state_->current, state_->home, state_->dir_exists, "timed out");
    }
    return *state_->answer;
  } catch (...) {
    const char* path = std::getenv("PATH");
    return Answer{path ? path : "", Source::process, "", ""};
  }
}

namespace {
Lookup& process_lookup() {
  static Lookup* lookup = new Lookup();  // never destroyed: its worker may still run at exit
  return *lookup;
}
}  // namespace

std::optional<Started> start(const Options& opts) { return process_lookup().start(opts); }
Answer answer() { return process_lookup().answer(); }
std::string path() { return answer().path; }

std::optional<std::string> console_line(const Answer& answer) {
  switch (answer.source) {
    case Source::shell:
      return "; PATH from your login shell (" + answer.shell + ").";
    case Source::fallback:
      return "; PATH from well-known folders (your login shell " + answer.reason + ").";
    case Source::process:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace orrery::login_path
