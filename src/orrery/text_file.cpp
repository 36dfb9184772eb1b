#include "orrery/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "kelp/data/string.hpp"
#include "orrery/tabs.hpp"

namespace orrery::text_file {

namespace fs = std::filesystem;

namespace {

std::string reason_of(int err) { return std::error_code(err, std::generic_category()).message(); }

// Closes a descriptor when it goes out of scope, unless it was released.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and answers close's result, so a write error that only shows at close is not lost.
  int close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

int retry_eintr(auto&& call) {
  int r;
  do r = call();
  while (r < 0 && errno == EINTR);
  return r;
}

// Every occurrence of each needle in s replaced by with; the scan moves past each replacement, so a replacement that
// contains a needle is left alone.
std::string replace_all(std::string s, const std::string& needle, const std::string& with) {
  if (needle.empty()) return s;
  for (std::size_t at = s.find(needle); at != std::string::npos; at = s.find(needle, at + with.size()))
    s.replace(at, needle.size(), with);
  return s;
}

// The process's umask, read without changing it: umask(2) can only be read by setting it, which would race with
// other threads creating files.
mode_t current_umask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      try {
        return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
      } catch (const std::exception&) {
        break;
      }
    }
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

constexpr int max_link_hops = 40;  // the kernel's own limit

struct Resolved {
  fs::path path;
  int error = 0;  // an errno when the links could not be followed
};

Resolved follow_links(const fs::path& path) {
  fs::path p = path;
  for (int hop = 0; hop <= max_link_hops; ++hop) {
    struct stat st {};
    // A missing file (or one behind a missing folder) is where the save creates it; any other lstat failure shows
    // again, with its reason, when the save opens the folder.
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return {p};
    // A link's target is shorter than PATH_MAX, so a full buffer means a target no path could hold.
    std::string target(static_cast<std::size_t>(std::max<off_t>(st.st_size, PATH_MAX)) + 1, '\0');
    const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
    if (n < 0) return {p, errno};
    if (static_cast<std::size_t>(n) == target.size()) return {p, ENAMETOOLONG};
    target.resize(static_cast<std::size_t>(n));
    const fs::path t(target);
    p = t.is_absolute() ? t : p.parent_path() / t;
  }
  return {p, ELOOP};
}

// A hidden name for the temporary file beside base, within the file system's name length.
std::string temp_name(const std::string& base) {
  thread_local std::mt19937_64 random([] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^ static_cast<std::uint64_t>(::getpid());
  }());
  static constexpr char hex[] = "0123456789abcdef";
  std::string suffix = ".";
  std::uint64_t bits = random();
  for (int i = 0; i < 10; ++i, bits >>= 4) suffix += hex[bits & 15];
  const std::size_t room = NAME_MAX - 1 - suffix.size();
  return "." + base.substr(0, room) + suffix;
}

}  // namespace

Bytes read_regular(const fs::path& path) {
  // O_NONBLOCK so a FIFO opens at once and is refused below instead of waiting for a writer.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return {std::nullopt, errno};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return {std::nullopt, errno};
  if (S_ISDIR(st.st_mode)) return {std::nullopt, EISDIR};
  if (!S_ISREG(st.st_mode)) return {std::nullopt, EINVAL};
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {std::nullopt, errno};
    if (n == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  return {std::move(bytes), 0};
}

std::variant<Loaded, Refused> read_for_tab(const fs::path& path) {
  const std::string shown = path.string();
  Bytes read = read_regular(path);
  if (!read.text) {
    if (read.error == EISDIR) return Refused{shown + " is a folder, so it wasn't opened."};
    if (read.error == EINVAL) return Refused{shown + " isn't a regular file, so it wasn't opened."};
    return Refused{"Couldn't open " + shown + ": " + reason_of(read.error) + "."};
  }
  std::string bytes = std::move(*read.text);

  if (const auto line = tabs::nul_line(bytes))
    return Refused{shown + " holds a NUL byte on line " + std::to_string(*line) +
                   ", which Orrery can't edit, so it wasn't opened."};
  if (kelp::valid_utf8(bytes)) return Loaded{std::move(bytes), false};
  return Loaded{kelp::sanitize_utf8(bytes), true};
}

fs::path resolve_links(const fs::path& path) {
  const Resolved r = follow_links(path);
  if (r.error != 0)
    throw std::runtime_error("Couldn't follow the links at " + path.string() + ": " + reason_of(r.error) + ".");
  return r.path;
}

std::optional<std::string> save(const fs::path& path, std::string_view text) {
  const std::string shown = path.string();
  const Resolved resolved = follow_links(path);
  const fs::path& real = resolved.path;
  fs::path temp;
  bool temp_exists = false;

  // The reason is scrubbed of the temporary file's name and the link's target, which the user never chose.
  const auto fail = [&](std::string reason) -> std::optional<std::string> {
    if (temp_exists) ::unlink(temp.c_str());
    if (!temp.empty()) {
      reason = replace_all(std::move(reason), temp.string(), shown);
      reason = replace_all(std::move(reason), temp.filename().string(), shown);
    }
    reason = replace_all(std::move(reason), real.string(), shown);
    return "Couldn't save " + shown + ": " + reason + ".";
  };

  if (resolved.error != 0) return fail(reason_of(resolved.error));
  const fs::path name = real.filename();
  if (name.empty() || name == "." || name == "..") return fail(reason_of(EISDIR));

  struct stat existing {};
  const bool exists = ::stat(real.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT) return fail(reason_of(errno));
  if (exists && S_ISDIR(existing.st_mode)) return fail(reason_of(EISDIR));
  // Renaming over a FIFO or a device would replace the node itself with a plain file.
  if (exists && !S_ISREG(existing.st_mode)) return fail("it isn't a regular file");

  const fs::path folder = real.has_parent_path() ? real.parent_path() : fs::path(".");
  Fd fd;
  for (int attempt = 0;; ++attempt) {
    temp = folder / temp_name(name.string());
    const int opened = retry_eintr(
        [&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); });
    if (opened >= 0) {
      fd.reset(opened);
      break;
    }
    if (errno != EEXIST || attempt >= 100) return fail(reason_of(errno));
  }
  temp_exists = true;

  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(reason_of(errno));
    done += static_cast<std::size_t>(n);
  }

  if (exists) {
    // Only root (or a member of the group, for the group) may give the file away; a failure leaves the saver as
    // owner, as any editor that writes a new file would. The mode comes after, since a change of owner clears the
    // set-id bits.
    if ((existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
        ::fchown(fd.get(), existing.st_uid, existing.st_gid) != 0)
      (void)::fchown(fd.get(), static_cast<uid_t>(-1), existing.st_gid);
    if (::fchmod(fd.get(), existing.st_mode & 07777) != 0) return fail(reason_of(errno));
  } else if (::fchmod(fd.get(), 0666 & ~current_umask()) != 0) {
    return fail(reason_of(errno));
  }

  if (retry_eintr([&] { return ::fsync(fd.get()); }) != 0) return fail(reason_of(errno));
  if (fd.close() != 0 && errno != EINTR) return fail(reason_of(errno));
  if (::rename(temp.c_str(), real.c_str()) != 0) return fail(reason_of(errno));
  temp_exists = false;

  // The rename is only durable once the folder is on disk too. A file system that can't sync a folder (EINVAL)
  // has nothing more to do.
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0 && retry_eintr([&] { return ::fsync(dir.get()); }) != 0 && errno != EINVAL && errno != ENOTSUP)
    return fail(reason_of(errno));
  return std::nullopt;
}

}  // namespace orrery::text_file
