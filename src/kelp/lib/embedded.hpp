// The Clojure sources built into kelp (the clojure.core prelude and the libraries written in Clojure), found by
// their resource path ("clojure/core.clj", "clojure/string.clj").
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace kelp::lib {

struct EmbeddedSource {
  std::string_view path;
  std::string_view text;
};

const std::vector<EmbeddedSource>& embedded_sources();
std::optional<std::string_view> embedded_source(std::string_view path);

}  // namespace kelp::lib
