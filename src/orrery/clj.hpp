// The :clj dialect's attach policy: the sentences Orrery says about a JVM Clojure project's own nREPL server.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/dialect.hpp"
#include "orrery/nrepl/connection.hpp"

namespace orrery::clj {

inline constexpr std::string_view NO_PROJECT =
    "; This file isn't in a project, so there's no .nrepl-port to read. Save it inside the project that has "
    ".orrery.edn.";
inline constexpr std::string_view BAD_PORT_FILE =
    "; .nrepl-port doesn't hold a port number, so Orrery can't reach the server.";
inline constexpr std::string_view INTERRUPT_FAILED =
    "; The server didn't stop the evaluation, so Orrery detached. It may still be running.";
inline constexpr std::string_view EOF_UNKNOWN_VERSION =
    "; This server runs an nREPL older than 1.8, or one that doesn't report its version, so it can't close stdin. "
    "The read keeps waiting for a line.";
inline constexpr std::string_view LOST_CONNECTION = "Lost the connection to the nREPL server.";
inline constexpr std::string_view AUTO_REQUIRE_RETRY = "It runs again on the next connect.";
inline constexpr std::string_view DOCS_NOT_ATTACHED = "No docs: Orrery isn't attached to the server yet. Run something first.";
inline constexpr std::string_view DOCS_NO_OP = "No docs: this server has no lookup or info op.";
inline constexpr std::string_view DOCS_TIMEOUT = "No docs: the server didn't answer in time.";
inline constexpr std::string_view INSPECT_NOT_ATTACHED =
    "Nothing to inspect yet: Orrery isn't attached to the server. Run something first.";
inline constexpr std::string_view FRAMES_WHILE_RUNNING = "Show the frames once the evaluation finishes (or Stop it).";
inline constexpr std::string_view DEBUG_NEEDS_KELP = "Debug mode is Kelp's: the JVM keeps no locals.";
inline constexpr std::string_view FRAME_EVAL_NEEDS_KELP = "Evaluating in a frame needs Kelp: the JVM keeps no locals.";

std::string not_running(const std::filesystem::path& dir);
std::string refused(std::string_view port);
std::string not_server(std::string_view port);
std::string connecting(std::string_view port);
std::string not_loaded(std::string_view ns);
std::string docs_not_loaded(std::string_view ns);
// The EOF sentence for a server on nREPL major.minor.
std::string eof_unsupported(int major, int minor);
std::vector<std::string> limitations();

// The policy for a JVM project: the profile's .nrepl-port in the project directory.
nrepl::ConnectPolicy connect_policy(const dialect::Selection& selection);

}  // namespace orrery::clj
