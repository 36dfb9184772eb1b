// Decisions about the PATH given to the tools Orrery starts: whether a launch's PATH needs the login shell's, the
// probe that asks the shell for it and how its answer is read, and the fallback when it doesn't answer. Pure: reads
// no files and runs nothing; whether a path exists comes in as a test.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orrery::tool_path {

inline constexpr std::string_view MARKER_START = "__ORRERY_PATH__";
inline constexpr std::string_view MARKER_END = "__END__";

using Exists = std::function<bool(const std::string&)>;

// The well-known folders of tools, in the order they are tried.
std::vector<std::string> well_known_dirs(const std::string& home);
// The non-empty entries of a colon-separated PATH.
std::vector<std::string> entries(std::string_view path);
// True when no well-known folder is on path: what a launch from a desktop (PATH /usr/bin:/bin:...) looks like.
bool needs_lookup(std::string_view path, const std::string& home);

struct ShellFacts {
  std::string os;           // "Mac OS X" on macOS
  std::string passwd_text;  // the text of /etc/passwd
  unsigned uid = 0;
};
std::string default_shell(const ShellFacts& facts);
// The trimmed seventh field of the passwd line whose third field is uid; nullopt when there is none or it is blank.
std::optional<std::string> passwd_shell(std::string_view passwd_text, unsigned uid);
std::optional<std::string> uid_shell(std::string_view line, unsigned uid);

// The probe's argv: an interactive login shell printing PATH between the markers.
std::vector<std::string> shell_command(const std::string& shell);
// The text between the last pair of markers (an rc file may print a pair of its own first); nullopt when none or
// empty.
std::optional<std::string> parse_answer(std::string_view out);
// current followed by each well-known folder that exists and is not already on it.
std::string fallback_path(const std::string& current, const std::string& home, const Exists& exists);
// The first entry/name on path that exists; an absolute name as is when it exists; else nullopt.
std::optional<std::string> resolve_program(const std::string& name, std::string_view path, const Exists& exists);

}  // namespace orrery::tool_path
