// The PATH of the user's login shell, for the tools Orrery starts. A launch from a desktop gets a bare PATH without
// the folders where kelp, node or java usually live; then an interactive login shell is asked for its PATH once, on
// a worker thread at start-up, bounded in time and in what it may write, with the well-known folders as the fallback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "orrery/tool_path.hpp"

namespace orrery::login_path {

inline constexpr std::chrono::milliseconds TIMEOUT{5000};
inline constexpr std::chrono::milliseconds GRACE{1500};  // past TIMEOUT: longer than KILL_WAIT plus a POLL step
inline constexpr std::chrono::milliseconds KILL_WAIT{300};
inline constexpr std::chrono::milliseconds POLL{100};
inline constexpr std::size_t READ_CAP = 1048576;
inline constexpr long WRITE_LIMIT_BLOCKS = 2097152;  // ulimit -f: 1 GiB or 2 GiB, by the shell's block size

enum class Source { process, shell, fallback };

struct Answer {
  std::string path;
  Source source = Source::process;
  std::string shell;   // the shell asked, when one was
  std::string reason;  // why the fallback was used: "timed out", "failed", ...
};

struct Options {
  std::optional<std::map<std::string, std::string>> env;  // PATH and SHELL; default: this process's environment
  std::optional<std::string> home;                        // default: HOME, else the passwd entry
  std::optional<std::string> shell;                       // default: SHELL, else default_shell
  std::optional<std::chrono::milliseconds> timeout;       // default: TIMEOUT
  tool_path::Exists dir_exists;                           // default: is_directory
};

enum class Started { started, not_needed };

// One lookup: started at most once; its answer a one-shot value every later answer() reads. Never throws.
class Lookup {
 public:
  Lookup();
  // :started when a probe runs now on a worker thread, :not_needed when the current PATH is recorded as it is;
  // nullopt (changing nothing) on a second call.
  std::optional<Started> start(const Options& opts = {});
  // The lookup's answer, waiting at most the timeout plus GRACE from start; before start, the current PATH.
  Answer answer();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The process-wide lookup behind start, answer and path.
std::optional<Started> start(const Options& opts = {});
Answer answer();
// The PATH to give child tools.
std::string path();
// "; PATH from your login shell (zsh)." or "; PATH from well-known folders (your login shell timed out)."; nullopt
// when the launch's own PATH was kept.
std::optional<std::string> console_line(const Answer& answer);

// Runs the probe now, on this thread, and answers what it found (or the fallback).
Answer probe(const std::string& shell, const std::string& current_path, const std::string& home,
             std::chrono::milliseconds timeout, const tool_path::Exists& dir_exists);

bool is_executable_file(const std::string& path);
bool is_directory(const std::string& path);

}  // namespace orrery::login_path
