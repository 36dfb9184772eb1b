// Placeholder until this library lands.
#include "kelp/lib/install.hpp"

namespace kelp::lib {

void install_host() {}

}  // namespace kelp::lib
