// A scratch folder of files for one test: made fresh (mkdtemp, so never shared with another run), canonical, and
// removed with everything in it when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace orrery::testing {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "orrery-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("couldn't make a temporary folder: " + pattern);
    path_ = std::filesystem::canonical(pattern);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes text to rel (folders made as needed); answers the file's path.
  std::filesystem::path write(const std::string& rel, const std::string& text) const {
    std::filesystem::path p = path_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace orrery::testing
