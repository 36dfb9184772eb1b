// The entry of orrery-bin: the command line, the choice of mode, and the modes.
//
//   orrery-bin [--no-plugins] --version              print the version
//   orrery-bin [--no-plugins] --mcp-attach [DIR]     relay the agent protocol to a window already listening
//   orrery-bin [--no-plugins] --mcp [--window] [DIR] serve the agent protocol on standard input and output
//   orrery-bin [--no-plugins] [FILE-OR-DIR ...]      open the window
//
// Only the first argument selects the mode. The argument functions are pure: the working directory comes in as a
// parameter, paths are made absolute against it without any file-system check or canonicalisation.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orrery {

using Args = std::vector<std::string>;

struct PluginFlags {
  Args args;            // the arguments without any "--no-plugins"
  bool plugins = true;  // false when "--no-plugins" was given or ORRERY_NO_PLUGINS is "1"
};

// Removes every "--no-plugins" wherever it stands. `no_plugins_env` is the value of ORRERY_NO_PLUGINS, if set.
PluginFlags plugin_flags(Args args, std::optional<std::string_view> no_plugins_env);
// The same, reading ORRERY_NO_PLUGINS from the process environment.
PluginFlags plugin_flags(Args args);

// True when the first argument is "--version".
bool is_version_arg(const Args& args);

struct McpArgs {
  std::filesystem::path dir;  // absolute
  bool window = false;
};

// When the first argument is "--mcp": an optional "--window" second, then an optional directory (made absolute
// against `cwd`; `cwd` itself when absent).
std::optional<McpArgs> mcp_args(const Args& args, const std::filesystem::path& cwd);

struct AttachArgs {
  std::optional<std::filesystem::path> dir;  // absolute; none means "the only listening window"
};

// When the first argument is "--mcp-attach": the second argument, made absolute against `cwd`, if there is one.
std::optional<AttachArgs> attach_args(const Args& args, const std::filesystem::path& cwd);

// The argument vector handed to GTK: "orrery", then every argument made absolute against `cwd`. An absolute path
// never starts with a dash, so GTK's option parser never takes a file named "--help" for an option.
Args gtk_argv(const std::filesystem::path& cwd, const Args& args);

// `path` when absolute, else `cwd` / `path`; no canonicalisation.
std::filesystem::path absolute_against(const std::filesystem::path& cwd, const std::filesystem::path& path);

// Options of the modes.
struct ServeMcpOptions {
  std::filesystem::path dir;
  std::optional<std::filesystem::path> settings_path;  // none: the default settings path
};

struct ServeMcpWindowOptions {
  std::filesystem::path dir;
  bool plugins = true;
};

struct WindowOptions {
  std::filesystem::path cwd;
  Args argv;  // from gtk_argv
  std::optional<std::filesystem::path> settings_path;
  bool plugins = true;
};

// The modes; each answers the process's exit status.
int serve_mcp(const ServeMcpOptions& options);
int serve_mcp_window(const ServeMcpWindowOptions& options);
int attach_mcp(const AttachArgs& options);
int open_window(const WindowOptions& options);

// Registers every runtime's evaluator factory: in process, the kelp child over nREPL, and attaching.
void register_runtimes();

// Chooses and runs the mode for `args` (already without "--no-plugins"); answers the exit status. The caller ends
// the process through the shutdown.
int run_main(const Args& args, bool plugins);

}  // namespace orrery
