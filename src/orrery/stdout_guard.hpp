// Standard output discipline of the agent modes: the protocol owns the real standard output, everything else goes to
// standard error.
//
// The discipline works on file descriptors, not on C++ streams: descriptor 1 itself is pointed at standard error, so a
// print from any thread, any library (printf, std::cout, a raw write(1, ...)) and any child process (which inherits
// descriptor 1) lands on standard error. The protocol writes through a private duplicate of the real output, which
// children never inherit.
#pragma once

#include <memory>
#include <mutex>
#include <string_view>

#include "kelp/data/result.hpp"

namespace orrery {

// The kept real standard output: whole lines, one writer at a time, from any thread.
class ProtocolOutput {
 public:
  enum class Write { written, closed, failed };

  // Takes ownership of `fd`.
  explicit ProtocolOutput(int fd);
  ~ProtocolOutput();
  ProtocolOutput(const ProtocolOutput&) = delete;
  ProtocolOutput& operator=(const ProtocolOutput&) = delete;

  // Writes `line` and "\n" completely (through partial writes and interrupts). `closed` when the reader has gone
  // (EPIPE): the protocol's end. Lines from concurrent callers never interleave.
  Write write_line(std::string_view line);

  int descriptor() const { return fd_; }

 private:
  int fd_;
  std::mutex mutex_;
};

// Applies the discipline, once per process: flushes C and C++ standard output, keeps a private close-on-exec
// duplicate of descriptor 1, then points descriptor 1 at standard error (or at /dev/null when standard error is
// closed) and makes the C standard output line-buffered. Answers the kept output, or a failure when there is no
// standard output to keep.
kelp::Result<std::shared_ptr<ProtocolOutput>> take_standard_output();

}  // namespace orrery
