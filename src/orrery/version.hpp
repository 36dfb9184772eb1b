// The version Orrery shows: on "--version" and in the Show Version command.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orrery {

// The version: the one given when the build was configured, else `git describe` of the checkout this binary was built
// from (only when that folder has its own .git), else "dev". Never throws; never reads the environment.
std::string current_version();

// "Orrery " followed by the current version.
std::string version_line();

// The shown version from its sources, in order of preference: a non-empty baked version, then a described one,
// then "dev". Each loses a leading "v" that comes before a digit.
std::string choose_version(std::string_view baked, const std::optional<std::string>& described);

// "v0.1.0" -> "0.1.0": a tag's "v" goes when a digit follows it; anything else passes through.
std::string strip_version_v(std::string_view version);

// True when `dir` holds its own ".git": a directory, or a file as in a linked worktree.
bool has_own_git(const std::filesystem::path& dir);

// `git describe --tags --always` run in `dir`, trimmed; nothing when `dir` has no .git of its own, git is missing,
// or git fails or prints nothing.
std::optional<std::string> git_describe(const std::filesystem::path& dir);

}  // namespace orrery
