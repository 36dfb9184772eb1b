// A real nREPL server started for the end-to-end tests and benchmarks: JVM Clojure's nREPL 1.0 or nbb's. Started
// on 127.0.0.1 with port 0; its port is read from the line it prints. Ended with SIGTERM, then SIGKILL.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// The benchmarks have no source folder compiled in: they find build/node from the current folder.
#ifndef ORRERY_SOURCE_DIR
#define ORRERY_SOURCE_DIR "."
#endif

namespace orrery::testing {

class NreplPeer {
 public:
  // Why a peer cannot start here, or nullopt.
  static std::optional<std::string> jvm_missing() {
    if (std::system("command -v java >/dev/null 2>&1") != 0) return "java is not installed";
    for (const char* jar : {"/usr/share/java/clojure.jar", "/usr/share/java/nrepl.jar"})
      if (!std::filesystem::exists(jar)) return std::string(jar) + " is missing (Debian clojure, libnrepl-clojure)";
    return std::nullopt;
  }
  static std::filesystem::path nbb_cli() {
    const char* dir = std::getenv("ORRERY_NODE_DIR");
    std::filesystem::path base = dir ? std::filesystem::path(dir) : std::filesystem::path(ORRERY_SOURCE_DIR) / "build/node";
    return std::filesystem::absolute(base / "node_modules/nbb/cli.js");
  }
  static std::optional<std::string> nbb_missing() {
    if (std::system("command -v node >/dev/null 2>&1") != 0) return "node is not installed";
    if (!std::filesystem::exists(nbb_cli())) return "nbb is not installed (run scripts/setup_node.sh)";
    return std::nullopt;
  }
  static std::vector<std::string> jvm_argv() {
    return {"java", "-cp", "/usr/share/java/clojure.jar:/usr/share/java/nrepl.jar", "clojure.main", "-m",
            "nrepl.cmdline", "--bind", "127.0.0.1", "--port", "0"};
  }
  static std::vector<std::string> nbb_argv() {
    return {"node", nbb_cli().string(), "nrepl-server", ":host", "127.0.0.1", ":port", "0"};
  }

  // Starts argv in dir and waits up to limit for "port P" on its output.
  NreplPeer(const std::vector<std::string>& argv, const std::filesystem::path& dir,
            std::chrono::seconds limit = std::chrono::seconds(60)) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (::posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    fd_ = out[0];
    auto deadline = std::chrono::steady_clock::now() + limit;
    static const std::regex PORT("port (\\d+)");
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      char buf[1024];
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      log_.append(buf, n);
      std::smatch m;
      if (std::regex_search(log_, m, PORT)) {
        port_ = std::stoi(m[1]);
        break;
      }
    }
    // Keep draining its output so the server never blocks on a full pipe.
    drain_ = std::thread([fd = fd_] {
      char buf[1024];
      while (::read(fd, buf, sizeof buf) > 0) {
      }
    });
  }
  ~NreplPeer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
          pid_ = -1;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
      }
    }
    if (drain_.joinable()) drain_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  NreplPeer(const NreplPeer&) = delete;
  NreplPeer& operator=(const NreplPeer&) = delete;

  std::optional<int> port() const { return port_; }
  const std::string& log() const { return log_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::optional<int> port_;
  std::string log_;
  std::thread drain_;
};

}  // namespace orrery::testing
