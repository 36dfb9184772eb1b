#include "orrery/version.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "orrery/version_config.hpp"
#include "orrery/version_described.hpp"

extern char** environ;

namespace orrery {

namespace {

// Enough for any describe output; anything longer is not a version.
constexpr std::size_t MAX_DESCRIBE_BYTES = 1024;

std::string trim(std::string_view text) {
  auto is_space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return std::string(text);
}

bool open_cloexec_pipe(int fds[2]) {
#if defined(__linux__)
  return ::pipe2(fds, O_CLOEXEC) == 0;
#else
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

// The environment git runs with: ours without GIT_* variables, so a GIT_DIR or GIT_WORK_TREE set around us (a hook,
// a test harness) cannot make git describe some other repository than the folder we name.
std::vector<std::string> environment_for_git() {
  std::vector<std::string> kept;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "GIT_", 4) != 0) kept.emplace_back(*entry);
  }
  return kept;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    // Keep draining past the cap so git never blocks on a full pipe.
    if (text.size() < MAX_DESCRIBE_BYTES) text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

bool exited_cleanly(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs `argv` (found on PATH) with standard output captured and standard error discarded; no shell is involved.
// Answers the output when the program exits with status 0.
std::optional<std::string> run_for_output(std::vector<std::string> argv) {
  int out[2];
  if (!open_cloexec_pipe(out)) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  auto env = environment_for_git();
  auto env_pointers = pointers_to(env);
  auto arg_pointers = pointers_to(argv);
  pid_t pid = 0;
  int spawned = ::posix_spawnp(&pid, arg_pointers[0], &actions, nullptr, arg_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return std::nullopt;
  }
  std::string text = read_all(out[0]);
  ::close(out[0]);
  if (!exited_cleanly(pid)) return std::nullopt;
  return text;
}

}  // namespace

std::string strip_version_v(std::string_view version) {
  if (version.size() >= 2 && version[0] == 'v' && std::isdigit(static_cast<unsigned char>(version[1]))) {
    version.remove_prefix(1);
  }
  return std::string(version);
}

std::string choose_version(std::string_view baked, const std::optional<std::string>& described) {
  if (!baked.empty()) return strip_version_v(baked);
  if (described && !described->empty()) return strip_version_v(*described);
  return "dev";
}

bool has_own_git(const std::filesystem::path& dir) {
  std::error_code ec;
  auto status = std::filesystem::status(dir / ".git", ec);
  return !ec && (std::filesystem::is_directory(status) || std::filesystem::is_regular_file(status));
}

std::optional<std::string> git_describe(const std::filesystem::path& dir) {
  if (!has_own_git(dir)) return std::nullopt;
  auto output = run_for_output({"git", "-C", dir.string(), "describe", "--tags", "--always"});
  if (!output) return std::nullopt;
  std::string described = trim(*output);
  if (described.empty()) return std::nullopt;
  return described;
}

std::string current_version() {
  // Asked once per process: a checkout's describe does not change under a running program worth showing.
  static const std::string version = [] {
    std::string_view baked = ORRERY_BAKED_VERSION;
    std::string described = ORRERY_DESCRIBED_VERSION;
    return choose_version(baked, described.empty() ? std::nullopt : std::optional<std::string>(described));
  }();
  return version;
}

std::string version_line() { return "Orrery " + current_version(); }

}  // namespace orrery
