// What runtime children leave in the temporary folder (a failed start's log, a run folder of a killed launch), and
// its prune: anything untouched for a day whose owner is gone. Nothing here throws.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>

namespace orrery::nrepl::leftovers {

inline constexpr std::chrono::milliseconds PRUNE_AGE{86400000};     // a day
inline constexpr std::chrono::milliseconds PIDLESS_AGE{604800000};  // a week
// The file in a run folder naming the process that uses it.
inline constexpr std::string_view PID_FILE = "orrery.pid";

// orrery-(cljs-run|cljs|jank-run|plugin-check)-N or -N-M: a run folder.
bool is_leftover_dir_name(std::string_view name);
// orrery-nrepl-N.log: a kept child log.
bool is_child_log_name(std::string_view name);

// Deletes the stale leftovers in base (default: the temporary folder) as of now; answers how many.
int prune(const std::optional<std::filesystem::path>& base = std::nullopt,
          std::optional<std::chrono::system_clock::time_point> now = std::nullopt);
// Records pid as the process using run_dir.
void write_pid(const std::filesystem::path& run_dir, pid_t pid);

enum class PidState { live, dead, none };
// live: the pid file names a running process; dead: it names one that has gone; none: there is no readable one.
PidState pid_state(const std::filesystem::path& dir);

}  // namespace orrery::nrepl::leftovers
