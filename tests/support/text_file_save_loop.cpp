// Saves two texts to one file, alternately, until it is killed: the victim of the test that kills a save at random
// moments. Usage: text-file-save-loop TARGET FIRST_TEXT_FILE SECOND_TEXT_FILE. After the first save it writes one
// byte to standard output, so the killer knows saves are under way.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "orrery/text_file.hpp"

namespace {

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s TARGET FIRST_TEXT_FILE SECOND_TEXT_FILE\n", argv[0]);
    return 2;
  }
  const std::string texts[2] = {slurp(argv[2]), slurp(argv[3])};
  for (unsigned long round = 0;; ++round) {
    if (const auto error = orrery::text_file::save(argv[1], texts[round % 2])) {
      std::fprintf(stderr, "%s\n", error->c_str());
      return 1;
    }
    if (round == 0 && ::write(STDOUT_FILENO, "!", 1) != 1) return 1;
  }
}
