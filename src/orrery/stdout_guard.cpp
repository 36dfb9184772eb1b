#include "orrery/stdout_guard.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace orrery {

namespace {

bool duplicate_onto(int from, int to) {
  while (::dup2(from, to) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Descriptor 1 must stop being the protocol stream even when standard error is closed: then prints go nowhere.
bool point_standard_output_away() {
  if (duplicate_onto(2, 1)) return true;
  int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) return false;
  bool done = duplicate_onto(null_fd, 1);
  ::close(null_fd);
  return done;
}

}  // namespace

ProtocolOutput::ProtocolOutput(int fd) : fd_(fd) {}

ProtocolOutput::~ProtocolOutput() {
  if (fd_ >= 0) ::close(fd_);
}

ProtocolOutput::Write ProtocolOutput::write_line(std::string_view line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line);
  whole.push_back('\n');
  std::lock_guard lock(mutex_);
  std::string_view rest = whole;
  while (!rest.empty()) {
    ssize_t n = ::write(fd_, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EPIPE ? Write::closed : Write::failed;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  return Write::written;
}

kelp::Result<std::shared_ptr<ProtocolOutput>> take_standard_output() {
  // Whatever was printed before the switch belongs to ordinary output and is already on its way; flush it first so it
  // is not written later through the redirected descriptor, out of order.
  std::cout.flush();
  std::fflush(stdout);
  // At 3 or above, so the copy never takes the place of a closed standard descriptor.
  int kept = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (kept < 0) {
    return kelp::Failure{std::string("Standard output cannot be kept for the protocol: ") + std::strerror(errno) + "."};
  }
  if (!point_standard_output_away()) {
    int error = errno;
    ::close(kept);
    return kelp::Failure{std::string("Standard output cannot be pointed at standard error: ") + std::strerror(error) +
                         "."};
  }
  // Standard output now shows on standard error: line buffering keeps a print next to the lines around it.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return std::make_shared<ProtocolOutput>(kept);
}

}  // namespace orrery
