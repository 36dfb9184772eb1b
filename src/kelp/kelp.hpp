// kelp's embedding interface: boot the runtime and evaluate source text.
#pragma once

#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp {

// Boots the runtime once per process: core vars, the native libraries, then the embedded clojure.core prelude.
// Thread-safe and idempotent.
void boot();

// Evaluates every form of source text in namespace ns (created when missing) and answers the last value.
// path names the source in metadata and errors. Throws rt::Thrown.
Value eval_string(std::string_view source, std::string_view path = "NO_SOURCE_PATH", std::string_view ns = "user");

}  // namespace kelp
