#include "orrery/line_input.hpp"

#include <unistd.h>

#include <cerrno>

namespace orrery {

LineInput::LineInput(int fd, std::size_t max_bytes, std::size_t chunk_bytes)
    : fd_(fd), max_bytes_(max_bytes), chunk_bytes_(chunk_bytes == 0 ? 1 : chunk_bytes) {}

bool LineInput::fill() {
  if (eof_) return false;
  std::size_t old_size = buf_.size();
  buf_.resize(old_size + chunk_bytes_);
  for (;;) {
    ssize_t n = ::read(fd_, buf_.data() + old_size, chunk_bytes_);
    if (n < 0 && errno == EINTR) continue;
    buf_.resize(old_size + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n <= 0) eof_ = true;
    return n > 0;
  }
}

std::size_t LineInput::skip_to_newline() {
  std::size_t skipped = 0;
  for (;;) {
    auto newline = buf_.find('\n');
    if (newline != std::string::npos) {
      buf_.erase(0, newline + 1);
      scanned_ = 0;
      return skipped + newline;
    }
    skipped += buf_.size();
    buf_.clear();  // nothing of the long line is kept
    scanned_ = 0;
    if (!fill()) return skipped;
  }
}

std::optional<LineInput::Line> LineInput::next() {
  for (;;) {
    auto newline = buf_.find('\n', scanned_);
    if (newline != std::string::npos && newline <= max_bytes_) {
      Line line{buf_.substr(0, newline), false, newline};
      buf_.erase(0, newline + 1);
      scanned_ = 0;
      return line;
    }
    if (newline != std::string::npos || buf_.size() > max_bytes_) {
      return Line{{}, true, skip_to_newline()};
    }
    scanned_ = buf_.size();
    if (!fill()) break;
  }
  if (buf_.empty()) return std::nullopt;
  std::size_t bytes = buf_.size();
  Line last{std::move(buf_), false, bytes};
  buf_.clear();
  scanned_ = 0;
  return last;
}

}  // namespace orrery
