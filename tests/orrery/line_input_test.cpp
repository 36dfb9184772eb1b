#include "orrery/line_input.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace orrery {
namespace {

// Every line of input as next() answers it, a skipped line as "<N bytes>".
std::vector<std::string> lines_of(const std::string& input, std::size_t max_bytes, std::size_t chunk_bytes) {
  std::FILE* file = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), file);
  std::fflush(file);
  std::rewind(file);
  LineInput reader(::fileno(file), max_bytes, chunk_bytes);
  std::vector<std::string> lines;
  while (auto line = reader.next()) {
    lines.push_back(line->too_long ? "<" + std::to_string(line->bytes) + " bytes>" : line->text);
  }
  std::fclose(file);
  return lines;
}

TEST(LineInput, LinesAcrossChunkBoundsWithLongOnesSkipped) {
  struct Case {
    std::string input;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a\nbb\n", {"a", "bb"}},
      {"a\n\nlast", {"a", "", "last"}},
      {"12345678\n", {"12345678"}},                         // exactly the limit
      {"123456789\nok\n", {"<9 bytes>", "ok"}},                // one byte over
      {std::string(50, 'x') + "\n\nok", {"<50 bytes>", "", "ok"}},  // over many chunks
      {"ok\n" + std::string(30, 'x'), {"ok", "<30 bytes>"}},   // over, and the input ends inside it
  };
  for (std::size_t chunk : {1, 3, 8, 4096}) {
    for (const auto& c : cases) {
      EXPECT_EQ(lines_of(c.input, 8, chunk), c.lines) << "chunk " << chunk << ", input " << c.input;
    }
  }
}

}  // namespace
}  // namespace orrery
