#include "kelp/lib/embedded.hpp"

namespace kelp::lib {

std::optional<std::string_view> embedded_source(std::string_view path) {
  for (const EmbeddedSource& s : embedded_sources())
    if (s.path == path) return s.text;
  return std::nullopt;
}

}  // namespace kelp::lib
