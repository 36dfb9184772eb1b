// A real corpus for property tests: Clojure's own clojure/core.clj, unpacked from Debian's clojure jar (the
// setup script installs the jar and unzip). Tests fail with a sentence when it cannot be had.
#pragma once

#include <cstdio>
#include <string>

#include "kelp/data/string.hpp"

namespace orrery::testing {

inline constexpr const char* CLOJURE_JAR = "/usr/share/java/clojure.jar";

// The UTF-8 text of core.clj, or empty with *error set.
inline const std::string& core_clj_utf8(std::string* error = nullptr) {
  static const std::string text = [] {
    std::string out;
    std::string cmd = std::string("unzip -p ") + CLOJURE_JAR + " clojure/core.clj 2>/dev/null";
    if (FILE* p = popen(cmd.c_str(), "r")) {
      char buf[65536];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      pclose(p);
    }
    return out;
  }();
  if (text.empty() && error) {
    *error = std::string("clojure/core.clj could not be read from ") + CLOJURE_JAR +
             "; install the Debian packages clojure and unzip (scripts/setup.sh does).";
  }
  return text;
}

inline const std::u32string& core_clj() {
  static const std::u32string text = kelp::to_u32(core_clj_utf8());
  return text;
}

}  // namespace orrery::testing
