// Lines from a file descriptor with a bound on their length: what the agent server reads its messages with.
//
// The reader holds at most the limit (plus one chunk) however long a line is: a line over the limit is skipped to its
// newline as it arrives and reported as too long, so a client that sends a huge line costs bounded memory and the
// lines after it are read as usual.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace orrery {

inline constexpr std::size_t MAX_LINE_BYTES = 16 * 1024 * 1024;

class LineInput {
 public:
  struct Line {
    std::string text;        // without its newline; empty when too_long
    bool too_long = false;   // the line had more than the limit's bytes and was skipped
    std::size_t bytes = 0;   // the line's length without its newline
  };

  // Does not own fd.
  explicit LineInput(int fd, std::size_t max_bytes = MAX_LINE_BYTES, std::size_t chunk_bytes = 64 * 1024);

  // The next line, or nullopt at the end of input (a last line without a newline still counts). A read error ends
  // the input like its end does.
  std::optional<Line> next();

 private:
  // Reads one chunk onto buf_; false at the end of input.
  bool fill();
  // Consumes input up to and including the next newline; answers the bytes before it (to the end of input when
  // there is none).
  std::size_t skip_to_newline();

  int fd_;
  std::size_t max_bytes_;
  std::size_t chunk_bytes_;
  std::string buf_;          // bytes read and not yet answered
  std::size_t scanned_ = 0;  // bytes of buf_ known to hold no newline
  bool eof_ = false;
};

}  // namespace orrery
