// Orrery's own kelp child: picks a port, launches the kelp tool in the project folder as an nREPL server, waits
// until it says it listens, and later ends it, signalling only the process it spawned.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp/data/value.hpp"

namespace orrery::process {
class Process;  // orrery/process.hpp
}

namespace orrery::nrepl::child {

inline constexpr int PORT_BASE = 7950;
inline constexpr int PORT_SPAN = 50;
inline constexpr std::chrono::milliseconds READY_DEADLINE{15000};
inline constexpr std::chrono::milliseconds READY_POLL{50};
inline constexpr std::chrono::milliseconds TERM_GRACE{1000};

// The pinned git coordinate of kelp's nREPL library.
struct GitCoord {
  std::string url;
  std::string tag;
  std::string sha;
};
const GitCoord& nrepl_git_coord();

// What the child loads besides a plain server.
struct MiddlewareSource {
  std::optional<std::filesystem::path> local;  // a local checkout of kelp's nREPL library
  std::optional<GitCoord> git;                 // else its pinned git coordinate
  std::optional<std::filesystem::path> orrery; // the folder of Orrery's own middleware files
  bool has_library() const { return local || git; }
};

// The first of ORRERY_KELP_NREPL and ~/dev/kelp-lang/nrepl that holds a deps.edn, canonical; nullopt when neither.
std::optional<std::filesystem::path> middleware_root();
// {:local root} when middleware_root answers, else the git coordinate.
MiddlewareSource middleware_source();

// ORRERY_KELP when it names an executable file; else "kelp" resolved on the login-shell PATH; else the kelp beside
// this program; else "kelp".
std::string kelp_program();
std::vector<std::string> middleware_entries(const std::optional<MiddlewareSource>& source);
std::string server_form(int port, const std::vector<std::string>& middleware);
std::vector<std::string> deps_entries(const std::optional<MiddlewareSource>& source);
std::vector<std::string> launch_args(const std::string& program, int port,
                                     const std::optional<MiddlewareSource>& source);

struct Child {
  std::shared_ptr<process::Process> proc;
  pid_t pid = 0;
  int port = 0;
  std::filesystem::path dir;  // absolute
  std::filesystem::path log;
  std::optional<MiddlewareSource> source;
};

// A failed start: the message, and the log that was kept (when one was).
class StartError : public std::runtime_error {
 public:
  StartError(const std::string& message, std::optional<std::filesystem::path> log)
      : std::runtime_error(message), log_(std::move(log)) {}
  const std::optional<std::filesystem::path>& log() const { return log_; }

 private:
  std::optional<std::filesystem::path> log_;
};

// How a start waits and where its log goes; tests shorten the wait and keep logs in a folder of their own.
struct StartOptions {
  std::chrono::milliseconds ready_deadline = READY_DEADLINE;
  std::optional<std::filesystem::path> log_dir;  // default: the temporary folder
};

// Starts a child in dir. Throws StartError ("kelp nrepl-server exited: " + tail, "kelp nrepl-server didn't answer
// within 15000 ms: " + tail, "no free port in 7950-7999"); on any throw the spawned child has been ended.
Child start(const std::filesystem::path& dir, const std::optional<MiddlewareSource>& source);
Child start(const std::filesystem::path& dir, const std::optional<MiddlewareSource>& source,
            const StartOptions& options);
// terminate, then delete the log. The exit code, or nullopt when the process was already gone.
std::optional<int> kill(const Child& child);
bool is_alive(const Child& child);
// SIGTERM to the child's process group, SIGKILL after TERM_GRACE; waits for the exit. nullopt when already gone.
std::optional<int> terminate(process::Process& proc);

bool is_port_free(int port);
bool binds(int port, const std::string& address);
// The last lines of a log file.
std::string tail(const std::filesystem::path& log);

}  // namespace orrery::nrepl::child
