// The environment of a release app bundle launch (macOS), cleaned before Orrery starts any child.
//
// The bundle's launcher script sets ORRERY_BUNDLE_FRAMEWORKS to the bundle's Frameworks folder and DYLD_LIBRARY_PATH
// so the executable finds the GTK libraries it carries. Children (git, node, a terminal shell, another Orrery) must not
// inherit either. On Linux neither variable is set by anything of ours, so this is a no-op there.
#pragma once

#include <optional>
#include <string>

namespace orrery {

// The Frameworks folder of the release bundle this process is, or nothing. Set at most once, by drop_bundle_dyld.
std::optional<std::string> frameworks();

// When ORRERY_BUNDLE_FRAMEWORKS is set: remembers its value as frameworks(), then removes it and DYLD_LIBRARY_PATH from
// the process environment. When it is unset, both variables are left alone. Call before any thread but the signal
// thread runs: the environment is not safe to change under other threads.
void drop_bundle_dyld();

// unsetenv(3) by a UTF-8 name; answers its result (0, or -1 for an invalid name).
int unsetenv_star(const std::string& name);

}  // namespace orrery
