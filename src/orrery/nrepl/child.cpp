#include "orrery/nrepl/child.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "orrery/login_path.hpp"
#include "orrery/nrepl/leftovers.hpp"
#include "orrery/process.hpp"
#include "orrery/tool_path.hpp"

namespace orrery::nrepl::child {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view READY_LINE = "nREPL server started on port ";
constexpr std::string_view BIND_FAILED = "bind() failed";
constexpr int TAIL_LINES = 20;
constexpr std::size_t TAIL_BYTES = 16384;

std::string env_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::optional<fs::path> checkout_at(const fs::path& dir) {
  std::error_code ec;
  if (dir.empty() || !fs::is_regular_file(dir / "deps.edn", ec)) return std::nullopt;
  auto canonical = fs::canonical(dir, ec);
  if (ec) return std::nullopt;
  return canonical;
}

// EDN of a coordinate map; namespaced keys stay written out ({:local/root ...}, never #:local{...}).
std::string edn(const kelp::Value& v) {
  kelp::PrintOptions opts;
  opts.namespace_maps = false;
  return kelp::pr_str(v, opts);
}

std::string quoted(const std::string& text) { return edn(kelp::make_string(text)); }

std::string library_coordinate(const MiddlewareSource& source) {
  if (source.local) return edn(kelp::make_map({kelp::keyword("local", "root"), kelp::make_string(source.local->string())}));
  const GitCoord& git = *source.git;
  return edn(kelp::make_map({kelp::keyword("git", "url"), kelp::make_string(git.url),
                             kelp::keyword("git", "tag"), kelp::make_string(git.tag),
                             kelp::keyword("git", "sha"), kelp::make_string(git.sha)}));
}

std::string join(const std::vector<std::string>& parts, const char* sep) {
  std::string out;
  for (const auto& part : parts) {
    if (!out.empty()) out += sep;
    out += part;
  }
  return out;
}

process::Options process_options(const fs::path& dir, const fs::path& log) {
  process::Options options;
  options.cwd = dir;
  options.out = process::Output::to_file(log);
  options.err = process::Output::to_file(log);
  // Held open for the child's whole life: when Orrery ends in a way that runs no hook, the kernel closes it and the
  // child's watcher sees the end of input and exits.
  options.stdin_pipe = true;
  std::string path = login_path::path();
  if (!path.empty()) options.env["PATH"] = path;  // so kelp's own tool lookups see the login shell's folders
  return options;
}

// A fresh log in the temporary folder, ours alone.
fs::path create_log(const fs::path& dir) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    auto stamp = std::chrono::system_clock::now().time_since_epoch();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(stamp).count();
    fs::path log = dir / ("orrery-nrepl-" + std::to_string(ns) + ".log");
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return log;
    }
    if (errno != EEXIST) {
      throw StartError("couldn't create the child's log " + log.string() + ": " + std::strerror(errno), std::nullopt);
    }
  }
  throw StartError("couldn't create a child's log in " + dir.string(), std::nullopt);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// True when the log says the server listens on port (and not on a longer number that starts with it).
bool is_started(const std::string& log_text, int port) {
  std::string line = std::string(READY_LINE) + std::to_string(port);
  for (std::size_t at = log_text.find(line); at != std::string::npos; at = log_text.find(line, at + 1)) {
    std::size_t after = at + line.size();
    if (after == log_text.size() || !std::isdigit(static_cast<unsigned char>(log_text[after]))) return true;
  }
  return false;
}

enum class Readiness { ready, exited, timeout };

Readiness wait_ready(process::Process& proc, const fs::path& log, int port, std::chrono::milliseconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    bool exited = !proc.is_alive();  // looked at before the log, so an exited child's log is read whole
    if (is_started(read_file(log), port)) return Readiness::ready;
    if (exited) return Readiness::exited;
    if (std::chrono::steady_clock::now() >= until) return Readiness::timeout;
    proc.wait_for(READY_POLL);
  }
}

std::string port_range() {
  return std::to_string(PORT_BASE) + "-" + std::to_string(PORT_BASE + PORT_SPAN - 1);
}

// Everything a start spawned; whatever is still running when the start throws is ended.
struct Spawned {
  std::vector<std::shared_ptr<process::Process>> procs;
  bool keep = false;
  ~Spawned() {
    if (keep) return;
    for (auto& proc : procs) terminate(*proc);
  }
};

void remove_quietly(const fs::path& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

}  // namespace

const GitCoord& nrepl_git_coord() {
  static const GitCoord coord{"kelp-lang/nrepl", "v0.4.2", "927dc28"};
  return coord;
}

std::optional<fs::path> middleware_root() {
  if (auto root = checkout_at(env_or_empty("ORRERY_KELP_NREPL"))) return root;
  std::string home = env_or_empty("HOME");
  if (home.empty()) return std::nullopt;
  return checkout_at(fs::path(home) / "dev/kelp-lang/nrepl");
}

MiddlewareSource middleware_source() {
  MiddlewareSource source;
  if (auto root = middleware_root()) source.local = root;
  else source.git = nrepl_git_coord();
  return source;
}

std::string kelp_program() {
  std::string knob = env_or_empty("ORRERY_KELP");
  if (!knob.empty() && login_path::is_executable_file(knob)) return knob;
  if (auto found = tool_path::resolve_program("kelp", login_path::path(), login_path::is_executable_file)) {
    return *found;
  }
  // The kelp built and installed with Orrery sits beside its program.
  std::error_code ec;
  fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "kelp";
  if (!ec && login_path::is_executable_file(beside.string())) return beside.string();
  return "kelp";
}

std::vector<std::string> middleware_entries(const std::optional<MiddlewareSource>& source) {
  std::vector<std::string> out;
  if (!source) return out;
  bool library = source->has_library();
  bool orrery = source->orrery.has_value();
  // stdin and break wrap the library's session middleware, whose clone they intercept.
  if (library && orrery) {
    out.push_back("orrery.nrepl.stdin-middleware/stdin");
    out.push_back("orrery.nrepl.break-middleware/break");
  }
  if (library) out.push_back("nrepl.middleware/default-middleware");
  // Last, so that even a plain server answers their ops.
  if (orrery) {
    out.push_back("orrery.nrepl.inspect-middleware/inspect");
    out.push_back("orrery.nrepl.info-middleware/orrery-info");
  }
  return out;
}

std::string server_form(int port, const std::vector<std::string>& middleware) {
  std::vector<std::string> symbols;
  for (const auto& name : middleware) symbols.push_back(kelp::pr_str(kelp::symbol(name)));
  return "(do (require 'kelp.nrepl) (kelp.host/block-sigint) "
         "(alter-var-root #'*in* (constantly (clojure.lang.LineNumberingPushbackReader. (java.io.StringReader. \"\")))) "
         "(let [server (kelp.nrepl/start " +
         std::to_string(port) + " '[" + join(symbols, " ") +
         "] {:port-file nil})] "
         "(kelp.host/add-shutdown-hook (fn [] (kelp.nrepl/stop server))) "
         "(doto (Thread. (fn [] (try (loop [] (when-not (neg? (.read System/in)) (recur))) (catch Throwable _ nil)) "
         "(System/exit 0))) "
         "(.setDaemon true) (.start)) "
         "(kelp.host/park-until-interrupt) "
         "(kelp.nrepl/stop server)))";
}

std::vector<std::string> deps_entries(const std::optional<MiddlewareSource>& source) {
  std::vector<std::string> out;
  if (!source) return out;
  if (source->has_library()) out.push_back("nrepl/nrepl " + library_coordinate(*source));
  if (source->orrery) out.push_back("orrery/nrepl-middleware {:local/root " + quoted(source->orrery->string()) + "}");
  return out;
}

std::vector<std::string> launch_args(const std::string& program, int port,
                                     const std::optional<MiddlewareSource>& source) {
  std::string form = server_form(port, middleware_entries(source));
  auto deps = deps_entries(source);
  if (deps.empty()) return {program, "-e", form};
  return {program, "-Sdeps", "{:deps {" + join(deps, " ") + "}}", "-e", form};
}

bool binds(int port, const std::string& address) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // As a server binds: a connection of an earlier server still in TIME_WAIT doesn't hold the port, a listener on
  // it (on either address) does.
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) == 1 &&
            ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

bool is_port_free(int port) {
  // Both: on macOS a loopback bind succeeds while another process holds the wildcard address on the same port.
  return binds(port, "0.0.0.0") && binds(port, "127.0.0.1");
}

std::string tail(const fs::path& log) {
  std::string text = read_file(log);
  if (text.size() > TAIL_BYTES) text.erase(0, text.size() - TAIL_BYTES);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::size_t start = text.size();
  for (int lines = 0; lines < TAIL_LINES; ++lines) {
    std::size_t nl = start == 0 ? std::string::npos : text.rfind('\n', start - 1);
    if (nl == std::string::npos) return text;
    start = nl;
  }
  return text.substr(start + 1);
}

Child start(const fs::path& dir, const std::optional<MiddlewareSource>& source) { return start(dir, source, {}); }

Child start(const fs::path& dir, const std::optional<MiddlewareSource>& source, const StartOptions& options) {
  leftovers::prune();
  std::error_code ec;
  fs::path project = fs::canonical(fs::absolute(dir, ec), ec);
  if (ec) throw StartError("the project folder " + dir.string() + " can't be used: " + ec.message(), std::nullopt);
  fs::path log_dir = options.log_dir ? *options.log_dir : fs::temp_directory_path();
  std::string program = kelp_program();
  Spawned spawned;
  for (int port = PORT_BASE; port < PORT_BASE + PORT_SPAN; ++port) {
    if (!is_port_free(port)) continue;
    fs::path log = create_log(log_dir);
    auto proc = process::spawn(launch_args(program, port, source), process_options(project, log));
    if (!proc) {
      remove_quietly(log);
      throw StartError(proc.failure().message, std::nullopt);
    }
    spawned.procs.push_back(*proc);
    switch (wait_ready(**proc, log, port, options.ready_deadline)) {
      case Readiness::ready:
        spawned.keep = true;
        return Child{*proc, (*proc)->pid(), port, project, log, source};
      case Readiness::exited:
        // The child's own bind was the real attempt, and someone took the port between our look and its bind.
        if (read_file(log).find(BIND_FAILED) != std::string::npos) {
          remove_quietly(log);
          continue;
        }
        throw StartError("kelp nrepl-server exited: " + tail(log), log);
      case Readiness::timeout:
        terminate(**proc);
        throw StartError("kelp nrepl-server didn't answer within " + std::to_string(options.ready_deadline.count()) +
                             " ms: " + tail(log),
                         log);
    }
  }
  throw StartError("no free port in " + port_range(), std::nullopt);
}

std::optional<int> terminate(process::Process& proc) {
  // The group first, so that what the child started ends too; the child alone if it left its group.
  if (!proc.signal_group(SIGTERM) && !proc.signal(SIGTERM)) return std::nullopt;
  if (!proc.wait_for(TERM_GRACE)) {
    // A stopped child ignores SIGTERM until continued; SIGKILL it never ignores.
    if (!proc.signal_group(SIGKILL)) proc.signal(SIGKILL);
  }
  return proc.wait();
}

std::optional<int> kill(const Child& child) {
  std::optional<int> code = child.proc ? terminate(*child.proc) : std::nullopt;
  if (!child.log.empty()) remove_quietly(child.log);
  return code;
}

bool is_alive(const Child& child) { return child.proc && child.proc->is_alive(); }

}  // namespace orrery::nrepl::child
