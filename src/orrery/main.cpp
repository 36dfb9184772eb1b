#include "orrery/main.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

#include "orrery/bundle_env.hpp"
#include "orrery/version.hpp"

namespace orrery {

namespace {

// Status of a mode this build does not carry yet.
constexpr int NOT_IN_THIS_BUILD = 2;

int not_in_this_build(const char* sentence) {
  std::fputs(sentence, stderr);
  std::fputc('\n', stderr);
  return NOT_IN_THIS_BUILD;
}

int print_version() {
  std::string line = version_line() + "\n";
  std::fputs(line.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

std::optional<std::filesystem::path> working_directory() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  if (ec) {
    std::string line = "orrery: the working directory cannot be read: " + ec.message() + "\n";
    std::fputs(line.c_str(), stderr);
    return std::nullopt;
  }
  return cwd;
}

}  // namespace

PluginFlags plugin_flags(Args args, std::optional<std::string_view> no_plugins_env) {
  auto flag = std::remove(args.begin(), args.end(), "--no-plugins");
  bool flag_given = flag != args.end();
  args.erase(flag, args.end());
  bool env_off = no_plugins_env && *no_plugins_env == "1";
  return PluginFlags{std::move(args), !(flag_given || env_off)};
}

PluginFlags plugin_flags(Args args) {
  const char* env = std::getenv("ORRERY_NO_PLUGINS");
  return plugin_flags(std::move(args), env ? std::optional<std::string_view>(env) : std::nullopt);
}

bool is_version_arg(const Args& args) { return !args.empty() && args[0] == "--version"; }

std::filesystem::path absolute_against(const std::filesystem::path& cwd, const std::filesystem::path& path) {
  return path.is_absolute() ? path : cwd / path;
}

std::optional<McpArgs> mcp_args(const Args& args, const std::filesystem::path& cwd) {
  if (args.empty() || args[0] != "--mcp") return std::nullopt;
  bool window = args.size() > 1 && args[1] == "--window";
  std::size_t dir_index = window ? 2 : 1;
  auto dir = args.size() > dir_index ? absolute_against(cwd, args[dir_index]) : cwd;
  return McpArgs{dir, window};
}

std::optional<AttachArgs> attach_args(const Args& args, const std::filesystem::path& cwd) {
  if (args.empty() || args[0] != "--mcp-attach") return std::nullopt;
  if (args.size() < 2) return AttachArgs{};
  return AttachArgs{absolute_against(cwd, args[1])};
}

Args gtk_argv(const std::filesystem::path& cwd, const Args& args) {
  Args argv{"orrery"};
  for (const auto& arg : args) argv.push_back(absolute_against(cwd, arg).string());
  return argv;
}

// The modes below are not part of this build yet: each says so in one sentence on standard error and answers 2.
// The agent modes must apply take_standard_output (stdout_guard.hpp) before anything else once they are real.

int serve_mcp(const ServeMcpOptions&) {
  return not_in_this_build("orrery: the agent server is not in this build yet.");
}

int serve_mcp_window(const ServeMcpWindowOptions&) {
  return not_in_this_build("orrery: the agent server with a window is not in this build yet.");
}

int attach_mcp(const AttachArgs&) {
  return not_in_this_build("orrery: attaching to a window is not in this build yet.");
}

int open_window(const WindowOptions&) {
  return not_in_this_build("orrery: the window is not in this build yet.");
}

int run_main(const Args& args, bool plugins) {
  drop_bundle_dyld();
  if (is_version_arg(args)) return print_version();
  auto cwd = working_directory();
  if (!cwd) return 1;
  if (auto attach = attach_args(args, *cwd)) return attach_mcp(*attach);
  if (auto mcp = mcp_args(args, *cwd)) {
    return mcp->window ? serve_mcp_window({mcp->dir, plugins}) : serve_mcp({mcp->dir, std::nullopt});
  }
  return open_window({*cwd, gtk_argv(*cwd, args), std::nullopt, plugins});
}

}  // namespace orrery
