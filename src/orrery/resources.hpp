// Files of the resources directory, compiled into the executable when it is built.
#pragma once

#include <optional>
#include <string_view>

namespace orrery {

// The text of the resource at `name` ("orrery/keymap.edn"), or nothing when the build carried none by that name.
std::optional<std::string_view> resource(std::string_view name);

}  // namespace orrery
