#include "orrery/nrepl/child.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "orrery/child_process.hpp"
#include "orrery/nrepl/leftovers.hpp"
#include "orrery/process.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl::child {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using orrery::testing::TempDir;

// Sets (or, with nullopt, removes) an environment variable for one test.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) ::setenv(name_.c_str(), value->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A stand-in for the kelp tool: finds the port in the server form it is given, then runs body.
fs::path fake_kelp(const TempDir& dir, const std::string& body) {
  auto path = dir.write("bin/kelp",
                        "#!/bin/sh\n"
                        "while [ $# -gt 0 ]; do if [ \"$1\" = -e ]; then form=\"$2\"; fi; shift; done\n"
                        "port=$(printf '%s\\n' \"$form\" | sed -n 's/.*(kelp\\.nrepl\\/start \\([0-9][0-9]*\\) .*/\\1/p')\n" +
                            body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

// Says it listens, then lives until its standard input ends, as the real child's watcher does.
const std::string LISTENS = "echo \"nREPL server started on port $port on host 127.0.0.1\"; pwd; exec cat >/dev/null";

// A server socket listening on address:port for the test's length, as another program's server would.
class PortHolder {
 public:
  PortHolder(const char* address, int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;  // as servers bind: an earlier connection's TIME_WAIT on the port doesn't stop it
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &addr.sin_addr);
    held_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 1) == 0;
  }
  ~PortHolder() { ::close(fd_); }
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool is_gone(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    if (!fs::exists("/proc/" + std::to_string(pid))) return true;
    ::usleep(25000);
  }
  return false;
}

// Whether the first count ports are free, waiting up to 10 s for a kelp child of a test running alongside to end.
bool first_ports_free(int count) {
  for (int tries = 0; tries < 200; ++tries) {
    bool free = true;
    for (int port = PORT_BASE; free && port < PORT_BASE + count; ++port) free = is_port_free(port);
    if (free) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Whether the built kelp tool carries its nREPL server yet.
bool real_kelp_serves() {
  static const bool serves = orrery::testing::run_program({KELP_BIN, "-e", "(require 'kelp.nrepl)"}).exit_code == 0;
  return serves;
}

MiddlewareSource local(const std::string& root) { return MiddlewareSource{fs::path(root), std::nullopt, std::nullopt}; }

TEST(Child, LaunchArgs) {
  GitCoord git = nrepl_git_coord();
  MiddlewareSource from_git{std::nullopt, git, std::nullopt};
  MiddlewareSource local_and_orrery{fs::path("/src/nrepl"), std::nullopt, fs::path("/cache/orrery \"mw\"")};
  MiddlewareSource orrery_only{std::nullopt, std::nullopt, fs::path("/cache/mw")};
  MiddlewareSource nothing{};
  struct Case {
    std::string name;
    std::optional<MiddlewareSource> source;
    std::optional<std::string> deps;  // nullopt: no -Sdeps at all
    std::vector<std::string> middleware;
  } cases[] = {
      {"plain", std::nullopt, std::nullopt, {}},
      {"neither library nor folder", nothing, std::nullopt, {}},
      {"git",
       from_git,
       "{:deps {nrepl/nrepl {:git/url \"kelp-lang/nrepl\", :git/tag \"v0.4.2\", :git/sha \"927dc28\"}}}",
       {"nrepl.middleware/default-middleware"}},
      {"local", local("/src/nrepl"), "{:deps {nrepl/nrepl {:local/root \"/src/nrepl\"}}}",
       {"nrepl.middleware/default-middleware"}},
      {"local and orrery",
       local_and_orrery,
       "{:deps {nrepl/nrepl {:local/root \"/src/nrepl\"} "
       "orrery/nrepl-middleware {:local/root \"/cache/orrery \\\"mw\\\"\"}}}",
       {"orrery.nrepl.stdin-middleware/stdin", "orrery.nrepl.break-middleware/break",
        "nrepl.middleware/default-middleware", "orrery.nrepl.inspect-middleware/inspect",
        "orrery.nrepl.info-middleware/orrery-info"}},
      {"orrery only",
       orrery_only,
       "{:deps {orrery/nrepl-middleware {:local/root \"/cache/mw\"}}}",
       {"orrery.nrepl.inspect-middleware/inspect", "orrery.nrepl.info-middleware/orrery-info"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(middleware_entries(c.source), c.middleware);
    std::vector<std::string> expected{"/bin/kelp"};
    if (c.deps) expected.insert(expected.end(), {"-Sdeps", *c.deps});
    expected.insert(expected.end(), {"-e", server_form(7952, c.middleware)});
    EXPECT_EQ(launch_args("/bin/kelp", 7952, c.source), expected);
  }
}

TEST(Child, ServerForm) {
  EXPECT_EQ(server_form(7952, {"nrepl.middleware/default-middleware", "a.b/c"}),
            "(do (require 'kelp.nrepl) (kelp.host/block-sigint) "
            "(alter-var-root #'*in* (constantly (clojure.lang.LineNumberingPushbackReader. (java.io.StringReader. "
            "\"\")))) "
            "(let [server (kelp.nrepl/start 7952 '[nrepl.middleware/default-middleware a.b/c] {:port-file nil})] "
            "(kelp.host/add-shutdown-hook (fn [] (kelp.nrepl/stop server))) "
            "(doto (Thread. (fn [] (try (loop [] (when-not (neg? (.read System/in)) (recur))) "
            "(catch Throwable _ nil)) (System/exit 0))) (.setDaemon true) (.start)) "
            "(kelp.host/park-until-interrupt) (kelp.nrepl/stop server)))");
  EXPECT_NE(server_form(7950, {}).find("(kelp.nrepl/start 7950 '[] {:port-file nil})"), std::string::npos);
}

TEST(Child, MiddlewareSourceAndProgram) {
  TempDir dir;
  auto checkout = dir.path() / "checkout";
  dir.write("checkout/deps.edn", "{}");
  dir.write("home/dev/kelp-lang/nrepl/deps.edn", "{}");
  dir.write("empty-home/.keep", "");
  {
    ScopedEnv knob("ORRERY_KELP_NREPL", checkout.string() + "/../checkout");
    ScopedEnv home("HOME", (dir.path() / "home").string());
    EXPECT_EQ(middleware_root(), checkout) << "the knob first, canonical";
  }
  {
    ScopedEnv knob("ORRERY_KELP_NREPL", (dir.path() / "empty-home").string());  // no deps.edn: ignored
    ScopedEnv home("HOME", (dir.path() / "home").string());
    EXPECT_EQ(middleware_root(), dir.path() / "home/dev/kelp-lang/nrepl");
  }
  {
    ScopedEnv knob("ORRERY_KELP_NREPL", std::nullopt);
    ScopedEnv home("HOME", (dir.path() / "empty-home").string());
    auto source = middleware_source();
    EXPECT_FALSE(source.local);
    ASSERT_TRUE(source.git);
    EXPECT_EQ(source.git->tag, "v0.4.2");
    EXPECT_EQ(source.git->sha, "927dc28");
  }
  auto program = fake_kelp(dir, "exit 0");
  auto not_runnable = dir.write("not-runnable", "");
  {
    ScopedEnv knob("ORRERY_KELP", program.string());
    EXPECT_EQ(kelp_program(), program.string());
  }
  {
    ScopedEnv knob("ORRERY_KELP", not_runnable.string());
    EXPECT_NE(kelp_program(), not_runnable.string());
  }
}

TEST(Child, PortFreeNeedsBothAddresses) {
  // Find two free ports past our range, so no child of ours is in the way.
  int port = 8990;
  while (port < 9100 && !is_port_free(port)) ++port;
  ASSERT_LT(port, 9100);
  {
    PortHolder wildcard("0.0.0.0", port);
    ASSERT_TRUE(wildcard.held());
    EXPECT_FALSE(binds(port, "0.0.0.0"));
    EXPECT_FALSE(is_port_free(port));
  }
  {
    PortHolder loopback("127.0.0.1", port);
    ASSERT_TRUE(loopback.held());
    EXPECT_FALSE(binds(port, "127.0.0.1"));
    EXPECT_FALSE(is_port_free(port));
  }
  EXPECT_TRUE(is_port_free(port)) << "each test socket is closed at once";
}

TEST(Child, TailKeepsTheLastLines) {
  TempDir dir;
  std::string text;
  for (int i = 1; i <= 30; ++i) text += "line " + std::to_string(i) + "\n";
  auto log = dir.write("log", text);
  std::string t = tail(log);
  EXPECT_EQ(t.substr(0, 8), "line 11\n");
  EXPECT_EQ(t.substr(t.size() - 7), "line 30");
  EXPECT_EQ(tail(dir.write("short", "only\n")), "only");
  EXPECT_EQ(tail(dir.path() / "missing"), "");
}

// The start scans past a port held on loopback and one held on the wildcard address only.
TEST(Child, StartsOnTheFirstFreePortAndKillEndsIt) {
  if (!first_ports_free(3)) GTEST_SKIP() << "ports 7950-7952 are in use by something else on this machine";
  TempDir dir;
  std::optional<ScopedEnv> knob;
  if (real_kelp_serves()) knob.emplace("ORRERY_KELP", KELP_BIN);
  else knob.emplace("ORRERY_KELP", fake_kelp(dir, LISTENS).string());
  PortHolder loopback("127.0.0.1", 7950);
  PortHolder wildcard("0.0.0.0", 7951);
  ASSERT_TRUE(loopback.held() && wildcard.held());
  StartOptions options;
  options.log_dir = dir.path();
  fs::path project = dir.path() / "project";
  fs::create_directories(project);
  Child child = start(dir.path() / "project/../project", std::nullopt, options);
  // 7952 when nothing else runs; a kelp child of a test running alongside may hold it first.
  EXPECT_GE(child.port, 7952);
  EXPECT_EQ(child.dir, project);
  EXPECT_EQ(child.pid, child.proc->pid());
  EXPECT_TRUE(is_alive(child));
  EXPECT_EQ(child.log.parent_path(), dir.path());
  EXPECT_TRUE(leftovers::is_child_log_name(child.log.filename().string())) << child.log;
  if (!real_kelp_serves()) {
    EXPECT_NE(read_file(child.log).find(project.string()), std::string::npos) << "runs in the project folder";
  }
  struct stat st {};
  ASSERT_EQ(::stat(child.log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(kill(child).has_value());
  EXPECT_FALSE(is_alive(child));
  EXPECT_FALSE(fs::exists(child.log));
  EXPECT_EQ(kill(child), std::nullopt) << "already gone";
}

TEST(Child, BindFailedMovesToTheNextPortAndDropsItsLog) {
  if (!first_ports_free(2)) GTEST_SKIP() << "ports 7950-7951 are in use by something else on this machine";
  TempDir dir;
  auto marker = dir.path() / "tried";
  ScopedEnv knob("ORRERY_KELP",
                 fake_kelp(dir, "if [ ! -e '" + marker.string() + "' ]; then touch '" + marker.string() +
                                    "'; echo \"bind() failed\" >&2; exit 1; fi\n" + LISTENS)
                     .string());
  fs::path logs = dir.path() / "logs";
  fs::create_directories(logs);
  Child child = start(dir.path(), std::nullopt, {READY_DEADLINE, logs});
  EXPECT_EQ(child.port, 7951);
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(logs)) left.push_back(entry.path());
  EXPECT_EQ(left, std::vector<fs::path>{child.log}) << "the failed attempt's log is gone";
  kill(child);
}

TEST(Child, FailedStartsKeepTheLogAndEndTheChild) {
  TempDir dir;
  auto pid_file = dir.path() / "pid";
  struct Case {
    std::string name;
    std::string body;
    std::string message;
  } cases[] = {
      {"exits", "echo 'Unhandled exception: no such namespace' >&2; exit 1",
       "kelp nrepl-server exited: Unhandled exception: no such namespace"},
      {"silent", "echo $$ > '" + pid_file.string() + "'; echo still loading; exec cat >/dev/null",
       "kelp nrepl-server didn't answer within 300 ms: still loading"},
      {"silent, ignoring SIGTERM", "trap '' TERM; echo $$ > '" + pid_file.string() + "'; echo stuck; while :; do :; done",
       "kelp nrepl-server didn't answer within 300 ms: stuck"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(pid_file);
    ScopedEnv knob("ORRERY_KELP", fake_kelp(dir, c.body).string());
    fs::path logs = dir.path() / ("logs-" + std::to_string(&c - cases));
    fs::create_directories(logs);
    try {
      start(dir.path(), std::nullopt, {300ms, logs});
      ADD_FAILURE() << "started";
    } catch (const StartError& e) {
      EXPECT_EQ(e.what(), c.message);
      ASSERT_TRUE(e.log());
      EXPECT_EQ(e.log()->parent_path(), logs);
      EXPECT_TRUE(fs::exists(*e.log())) << "a failed start keeps its log";
    }
    if (fs::exists(pid_file)) {
      std::ifstream in(pid_file);
      pid_t pid = 0;
      in >> pid;
      EXPECT_TRUE(is_gone(pid)) << "the spawned child was ended";
    }
  }
}

TEST(Child, NoFreePort) {
  TempDir dir;
  ScopedEnv knob("ORRERY_KELP", fake_kelp(dir, "echo 'bind() failed'; exit 1").string());
  try {
    start(dir.path(), std::nullopt, {5s, dir.path()});
    ADD_FAILURE() << "started";
  } catch (const StartError& e) {
    EXPECT_EQ(std::string(e.what()), "no free port in 7950-7999");
  }
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_FALSE(entry.path().extension() == ".log") << entry.path();
  }
}

// When Orrery dies without running any hook, the kernel closes the child's standard input; the child's watcher
// sees the end and the child exits by itself.
TEST(Child, RealChildExitsWhenItsInputCloses) {
  if (!real_kelp_serves()) GTEST_SKIP() << "the kelp tool has no nREPL server in this build";
  TempDir dir;
  TempDir home;
  ScopedEnv knob("ORRERY_KELP", KELP_BIN);
  ScopedEnv no_checkout("ORRERY_KELP_NREPL", std::nullopt);
  ScopedEnv empty_home("HOME", home.path().string());
  for (const auto& source : {std::optional<MiddlewareSource>(), std::optional(middleware_source())}) {
    SCOPED_TRACE(source ? "with the library" : "plain");
    Child child = start(dir.path(), source, {10s, dir.path()});
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(child.port));
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << "it listens on loopback";
    ::close(fd);
    child.proc->close_stdin();
    EXPECT_EQ(child.proc->wait_for(10s), 0) << tail(child.log);
    kill(child);
  }
}

}  // namespace
}  // namespace orrery::nrepl::child
