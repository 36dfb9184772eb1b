// The frames of the last error in a JVM server, built by one eval on the person's session: the deepest cause that
// has frames of the program's own code, its frames in the loaded namespaces, and a title. The history stays as it
// was, and *e stays the person's.
#pragma once

#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace orrery::nrepl::jvm_frames {

// The eval text; it prints a newline, token and the frames data last.
std::string code(std::string_view token);
// The data printed after the last token line of out, or {:error "The server didn't send the frames."}.
kelp::Value parse(std::string_view out, std::string_view token);

}  // namespace orrery::nrepl::jvm_frames
