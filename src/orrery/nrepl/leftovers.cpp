#include "orrery/nrepl/leftovers.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <regex>
#include <string>

namespace orrery::nrepl::leftovers {

namespace fs = std::filesystem;

namespace {

using TimePoint = std::chrono::system_clock::time_point;

std::optional<TimePoint> modified(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  auto since_epoch = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(since_epoch));
}

// The newest change to a folder or the files directly in it (compile output deeper down is not looked at).
std::optional<TimePoint> newest_change(const fs::path& dir) {
  auto newest = modified(dir);
  if (!newest) return std::nullopt;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (auto t = modified(it->path()); t && *t > *newest) newest = t;
  }
  return newest;
}

bool is_running(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

bool older_than(const std::optional<TimePoint>& t, TimePoint now, std::chrono::milliseconds age) {
  return t && now - *t > age;
}

bool is_stale_dir(const fs::path& dir, TimePoint now) {
  auto state = pid_state(dir);
  if (state == PidState::live) return false;
  auto age = state == PidState::dead ? PRUNE_AGE : PIDLESS_AGE;
  return older_than(newest_change(dir), now, age);
}

bool is_stale(const fs::directory_entry& entry, TimePoint now) {
  std::error_code ec;
  auto status = entry.symlink_status(ec);
  if (ec || fs::is_symlink(status)) return false;
  std::string name = entry.path().filename().string();
  if (fs::is_directory(status) && is_leftover_dir_name(name)) return is_stale_dir(entry.path(), now);
  if (fs::is_regular_file(status) && is_child_log_name(name)) {
    return older_than(modified(entry.path()), now, PRUNE_AGE);
  }
  return false;
}

}  // namespace

bool is_leftover_dir_name(std::string_view name) {
  static const std::regex pattern(R"(orrery-(cljs-run|cljs|jank-run|plugin-check)-\d+(-\d+)?)");
  return std::regex_match(name.begin(), name.end(), pattern);
}

bool is_child_log_name(std::string_view name) {
  static const std::regex pattern(R"(orrery-nrepl-\d+\.log)");
  return std::regex_match(name.begin(), name.end(), pattern);
}

int prune(const std::optional<fs::path>& base, std::optional<TimePoint> now) {
  try {
    std::error_code ec;
    fs::path dir = base ? *base : fs::temp_directory_path(ec);
    if (ec) return 0;
    TimePoint at = now.value_or(std::chrono::system_clock::now());
    int removed = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      if (!is_stale(*it, at)) continue;
      std::error_code rm;
      fs::remove_all(it->path(), rm);  // removes links inside, never what they point to
      if (!rm) ++removed;
    }
    return removed;
  } catch (...) {
    return 0;
  }
}

void write_pid(const fs::path& run_dir, pid_t pid) {
  try {
    fs::path file = run_dir / PID_FILE;
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::string text = std::to_string(pid) + "\n";
    [[maybe_unused]] auto n = ::write(fd, text.data(), text.size());
    ::close(fd);
  } catch (...) {
  }
}

PidState pid_state(const fs::path& dir) {
  try {
    std::ifstream in(dir / PID_FILE);
    long pid = 0;
    if (!(in >> pid) || pid <= 0) return PidState::none;
    return is_running(static_cast<pid_t>(pid)) ? PidState::live : PidState::dead;
  } catch (...) {
    return PidState::none;
  }
}

}  // namespace orrery::nrepl::leftovers
