// The :nrepl dialect: any nREPL server that is not a JVM project's (babashka, Basilisp, nbb, ...). Where it is
// (.orrery.edn's :nrepl map, else a port file), what Orrery says about it, and what such a server lacks.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/dialect.hpp"
#include "orrery/nrepl/connection.hpp"
#include "orrery/nrepl/ops.hpp"

namespace orrery::nrepl::generic {

inline constexpr std::string_view NO_PROJECT =
    "; This file isn't in a project, so there's no .orrery.edn saying where the nREPL server is. Save it in the "
    "folder that has .orrery.edn.";
inline constexpr std::string_view NO_INTERRUPT =
    "This server has no interrupt op, so Stop disconnects: the evaluation keeps running in the server, and the next "
    "Run connects a fresh session.";
inline constexpr std::string_view NO_STDIN =
    "This server has no stdin op, so Orrery can't send a read any input: babashka's read waits until Stop, and "
    "Basilisp's reads the server's own stdin, the terminal it was started in.";
inline constexpr std::string_view NO_COMPLETION =
    "Completion offers only this buffer's names: the server has no completion op.";
inline constexpr std::string_view NO_DOCS = "No quick docs: the server has no lookup or info op.";
inline constexpr std::string_view STDIN_NOTICE =
    "; This server has no stdin op, so Orrery can't answer this read: babashka's waits until Stop, which "
    "disconnects, and Basilisp's reads the terminal you started the server in.\n";

// {:host :port} from the selection's :nrepl map; the host defaults to 127.0.0.1, the port may be absent.
Endpoint endpoint(const dialect::Selection& selection);
// The configuration's :port-file, else the profile's, in the project directory; nullopt without a project.
std::optional<std::filesystem::path> port_file(const dialect::Selection& selection);
// host:port, an IPv6 host in brackets.
std::string at(std::string_view host, int port);
// True for this machine's own addresses: localhost, 127.0.0.0/8, ::1 and IPv4-mapped loopback.
bool is_loopback(std::string_view host);
std::string remote_refused(std::string_view host);
// The policy; a host that isn't loopback is refused with a sentence unless allow_remote.
ConnectPolicy connect_policy(const dialect::Selection& selection, bool allow_remote);
// What the server's advertised ops leave out, plus what always holds.
std::vector<std::string> limitations(const std::set<std::string>& ops);
// Whether a file a server names opens on this machine: a path or a file: URL that exists, or a jar: URL whose jar
// exists.
bool is_local_file(std::string_view file);
// Only the candidates that start with prefix (some servers' completion is fuzzy).
std::vector<ops::Candidate> prefix_filter(std::vector<ops::Candidate> candidates, std::string_view prefix);

}  // namespace orrery::nrepl::generic
