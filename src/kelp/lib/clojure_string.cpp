// Placeholder until this library lands.
#include "kelp/lib/install.hpp"

namespace kelp::lib {

void install_clojure_string() {}

}  // namespace kelp::lib
