#include "orrery/main.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <unistd.h>

#include <fmt/core.h>

#include "orrery/bundle_env.hpp"
#include "orrery/line_input.hpp"
#include "orrery/login_path.hpp"
#include "orrery/mcp.hpp"
#include "orrery/mcp/tools.hpp"
#include "orrery/nrepl/connection.hpp"
#include "orrery/nrepl/evaluator.hpp"
#include "orrery/session.hpp"
#include "orrery/stdout_guard.hpp"
#include "orrery/version.hpp"

namespace orrery {

namespace fs = std::filesystem;

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

namespace {

// The answer to a line too long to read, the same the serve loop gives a line over its limit (which this reader never
// hands it).
std::string too_long_answer(std::size_t bytes) {
  return fmt::format(
      R"({{"jsonrpc":"2.0","id":null,"error":{{"code":-32600,"message":"Invalid Request: a line of {} bytes is over )"
      R"(the limit of {} bytes"}}}})",
      bytes, MAX_LINE_BYTES);
}

// The protocol's line writer: a failed write (the client has gone; SIGPIPE is ignored, so it is EPIPE) throws, which
// ends the serve loop.
std::function<void(std::string_view)> protocol_writer(std::shared_ptr<ProtocolOutput> out) {
  return [out = std::move(out)](std::string_view line) {
    if (out->write_line(line) != ProtocolOutput::Write::written) {
      throw std::runtime_error("standard output is closed");
    }
  };
}

// The protocol's line reader over standard input. A line over the limit is refused with an error answer here and
// never handed on, so no more than the limit is ever held for one message.
std::function<std::optional<std::string>()> protocol_reader(std::function<void(std::string_view)> write_line) {
  auto input = std::make_shared<LineInput>(0);
  return [input, write_line = std::move(write_line)]() -> std::optional<std::string> {
    while (auto line = input->next()) {
      if (!line->too_long) return std::move(line->text);
      write_line(too_long_answer(line->bytes));
    }
    return std::nullopt;
  };
}

// Every runtime an evaluator can be made for: kelp in process, the kelp child over nREPL, and the nREPL servers
// a person starts (JVM Clojure, any other).
}  // namespace

void register_runtimes() {
  session::register_in_process();
  nrepl::register_nrepl();
  nrepl::register_attach();
}

int serve_mcp(const ServeMcpOptions& options) {
  // First of all, before anything can print: descriptor 1 goes to standard error, so a println from user code
  // (kelp's *out* root writes to descriptor 1), a child process and any library's logging land there, and only the
  // protocol writes to the kept real output.
  auto kept = take_standard_output();
  if (!kept) {
    std::string line = "orrery: " + kept.failure().message + "\n";
    std::fputs(line.c_str(), stderr);
    return 1;
  }
  std::string banner = "orrery: MCP server on stdio, default directory " + options.dir.string() + "\n";
  std::fputs(banner.c_str(), stderr);
  register_runtimes();
  mcp::ToolsOptions tools_options;
  tools_options.dir = options.dir;
  tools_options.settings_path = options.settings_path;
  mcp::ToolTable tools = mcp::make_tools(tools_options);
  auto write_line = protocol_writer(*kept);
  mcp::ServeOptions serve_options;
  serve_options.read_line = protocol_reader(write_line);
  serve_options.write_line = write_line;
  serve_options.tools = [tools] { return tools; };
  try {
    mcp::serve(serve_options);
  } catch (const std::exception& e) {
    // Only a failed write gets here: nobody is listening any more, which ends the session like the end of input.
    std::string line = std::string("orrery: the MCP client has gone: ") + e.what() + "\n";
    std::fputs(line.c_str(), stderr);
  }
  return 0;
}

// The modes below are not part of this build yet: each says so in one sentence on standard error and answers 2.
// The agent modes must apply take_standard_output (stdout_guard.hpp) before anything else once they are real.

int serve_mcp_window(const ServeMcpWindowOptions&) {
  return not_in_this_build("orrery: the agent server with a window is not in this build yet.");
}

int attach_mcp(const AttachArgs&) {
  return not_in_this_build("orrery: attaching to a window is not in this build yet.");
}

int open_window(const WindowOptions& options) {
  // The window is its own program beside this one, run in this process's place: linking GTK here would cost every
  // agent-server start tens of milliseconds.
  std::error_code ec;
  fs::path window = fs::read_symlink("/proc/self/exe", ec).parent_path() / "orrery-window";
  if (ec) window = "orrery-window";
  std::vector<std::string> args{window.string()};
  if (!options.plugins) args.push_back("--no-plugins");
  args.insert(args.end(), options.argv.begin() + (options.argv.empty() ? 0 : 1), options.argv.end());
  std::vector<char*> cargs;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  ::execv(window.c_str(), cargs.data());
  std::string line = "orrery: couldn't start the window program " + window.string() + ": " +
                     std::error_code(errno, std::generic_category()).message() + "\n";
  std::fputs(line.c_str(), stderr);
  return 1;
}

int run_main(const Args& args, bool plugins) {
  drop_bundle_dyld();
  if (is_version_arg(args)) return print_version();
  auto cwd = working_directory();
  if (!cwd) return 1;
  // The window program asks the login shell itself; starting the lookup here would leave its shell behind.
  const bool window = !attach_args(args, *cwd) && !mcp_args(args, *cwd);
  if (!window) login_path::start();  // a desktop launch's bare PATH: ask the login shell on a worker thread, once
  if (auto attach = attach_args(args, *cwd)) return attach_mcp(*attach);
  if (auto mcp = mcp_args(args, *cwd)) {
    return mcp->window ? serve_mcp_window({mcp->dir, plugins}) : serve_mcp({mcp->dir, std::nullopt});
  }
  return open_window({*cwd, gtk_argv(*cwd, args), std::nullopt, plugins});
}

}  // namespace orrery
