// orrery-bin --mcp as a client sees it: the official MCP client library (a node script), and raw lines for what
// that library never sends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "orrery/child_process.hpp"

extern char** environ;

namespace orrery {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

// A fresh folder under the system's temporary directory, removed with the object.
struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "orrery-mcp-XXXXXX").string();
    path = fs::canonical(::mkdtemp(pattern.data()));
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// orrery-bin --mcp DIR with pipes on all three standard streams; standard error is collected on a thread.
class Server {
 public:
  explicit Server(const fs::path& dir) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> args = {ORRERY_BIN, "--mcp", dir.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_reader_ = std::thread([this, fd = err[0]] {
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        std::lock_guard lock(mutex_);
        if (n > 0) err_.append(buffer, static_cast<std::size_t>(n));
      }
      ::close(fd);
    });
  }

  ~Server() {
    close_input();
    close_output();
    if (pid_ > 0 && !exit_code_) {
      ::kill(pid_, SIGKILL);
      testing::wait_for(pid_);
    }
    if (err_reader_.joinable()) err_reader_.join();
  }

  bool started() const { return pid_ > 0; }

  // Writes text and a newline; false when the server no longer reads.
  bool send(std::string_view text) {
    std::string whole = std::string(text) + "\n";
    std::string_view rest = whole;
    while (!rest.empty()) {
      ssize_t n = ::write(in_, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // The next line of standard output, or nothing at its end or after the timeout.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = 30s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto nl = pending_.find('\n'); nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char buffer[65536];
      ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // True once standard output has bytes to read (within the timeout); reads none of them.
  bool output_arrives(std::chrono::milliseconds timeout = 30s) {
    pollfd p{out_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
  }

  // A request's answer, parsed; a line that is not JSON comes back as a string, nothing as null.
  json ask(const json& request) {
    send(request.dump());
    auto line = read_line();
    if (!line) return json();
    json parsed = json::parse(*line, nullptr, false);
    return parsed.is_discarded() ? json(*line) : parsed;
  }

  void close_input() { close_fd(in_); }
  void close_output() { close_fd(out_); }

  // The exit status (minus the signal that ended it), waiting at most the timeout; nothing when still running.
  std::optional<int> wait(std::chrono::milliseconds timeout = 30s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_code_) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      } else if (std::chrono::steady_clock::now() > deadline) {
        return std::nullopt;
      } else {
        std::this_thread::sleep_for(5ms);
      }
    }
    return exit_code_;
  }

  std::string err() {
    std::lock_guard lock(mutex_);
    return err_;
  }

 private:
  static void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string pending_;
  std::optional<int> exit_code_;
  std::thread err_reader_;
  std::mutex mutex_;
  std::string err_;  // guarded by mutex_
};

json call(int id, const std::string& tool, const json& args) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", {{"name", tool}, {"arguments", args}}}};
}

json ping(const json& id) { return {{"jsonrpc", "2.0"}, {"id", id}, {"method", "ping"}}; }

json error_answer(const json& id, int code, const std::string& message) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

class McpServer : public ::testing::Test {
 protected:
  // The test writes into the server's standard input after it may have gone: a failed write must be an error
  // here, not the end of the test program.
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }
  TempDir project;
};

struct LinesCase {
  const char* name;
  std::vector<std::string> lines;
  std::vector<json> answers;  // in order; a line that gets no answer adds none
};

TEST_F(McpServer, RawLinesGetTheirErrorsOrNoAnswer) {
  std::string twenty_mb = R"({"jsonrpc":"2.0","id":5,"method":"ping","params":{"pad":")" +
                          std::string(20 * 1024 * 1024, 'x') + "\"}}";
  const std::vector<LinesCase> cases = {
      {"malformed JSON", {R"({"jsonrpc":"2.0","id":1,)"}, {error_answer(nullptr, -32700, "Parse error")}},
      {"not an object", {"42"}, {error_answer(nullptr, -32600, "Invalid Request")}},
      {"a batch", {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])"}, {error_answer(nullptr, -32600, "Invalid Request")}},
      {"unknown method", {R"({"jsonrpc":"2.0","id":"m-1","method":"resources/list"})"},
       {error_answer("m-1", -32601, "Method not found")}},
      {"unknown tool", {call(7, "orrery_nope", json::object()).dump()},
       {error_answer(7, -32602, "Unknown tool: orrery_nope")}},
      {"notifications, known and unknown", {R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                                             R"({"jsonrpc":"2.0","method":"tools/call","params":{}})",
                                             R"({"jsonrpc":"2.0","method":"no/such"})"}, {}},
      {"blank lines", {"", "   ", "\t"}, {}},
      {"ids echoed as sent", {ping(0).dump(), ping("0").dump(), ping(-9007199254740993).dump()},
       {{{"jsonrpc", "2.0"}, {"id", 0}, {"result", json::object()}},
        {{"jsonrpc", "2.0"}, {"id", "0"}, {"result", json::object()}},
        {{"jsonrpc", "2.0"}, {"id", -9007199254740993}, {"result", json::object()}}}},
      {"a 20 MB line", {twenty_mb},
       {error_answer(nullptr, -32600, "Invalid Request: a line of " + std::to_string(twenty_mb.size()) +
                                          " bytes is over the limit of 16777216 bytes")}},
  };
  Server server(project.path);
  ASSERT_TRUE(server.started());
  int marker = 1000;
  for (const auto& c : cases) {
    for (const auto& line : c.lines) ASSERT_TRUE(server.send(line)) << c.name;
    // A ping after the case's lines: every answer before its own belongs to the case.
    ++marker;
    server.send(ping(marker).dump());
    std::vector<json> got;
    while (auto line = server.read_line()) {
      json answer = json::parse(*line, nullptr, false);
      if (answer.is_object() && answer.value("id", json()) == marker && answer.contains("result")) break;
      got.push_back(answer);
    }
    EXPECT_EQ(json(got), json(c.answers)) << c.name;
  }
  server.close_input();
  EXPECT_EQ(server.wait(), 0) << server.err();
}

TEST_F(McpServer, StandardOutputCarriesOnlyTheProtocol) {
  Server server(project.path);
  ASSERT_TRUE(server.started());
  // The roots of *out* and *err* (what code prints to outside an evaluation's capture), and *out* captured.
  const char* code =
      "(do (binding [*out* (.getRawRoot #'*out*)] (println \"printed to root out\") (flush))"
      "    (binding [*out* (.getRawRoot #'*err*)] (println \"printed to root err\") (flush))"
      "    (.println System/out \"printed to System/out\") (.println System/err \"printed to System/err\")"
      "    (println \"captured out\")"
      "    :done)";
  json answer = server.ask(call(1, "orrery_eval", {{"code", code}}));
  ASSERT_TRUE(answer.is_object() && answer["result"]["isError"] == false) << answer.dump();
  EXPECT_EQ(answer["result"]["structuredContent"]["value"], ":done");
  EXPECT_EQ(answer["result"]["structuredContent"]["output"], "captured out\n");
  server.close_input();
  ASSERT_EQ(server.wait(), 0);
  // Every byte left on standard output is whole protocol lines.
  while (auto line = server.read_line(1s)) {
    json parsed = json::parse(*line, nullptr, false);
    EXPECT_TRUE(parsed.is_object() && parsed["jsonrpc"] == "2.0") << *line;
  }
  std::string err = server.err();
  EXPECT_NE(err.find("orrery: MCP server on stdio, default directory " + project.path.string() + "\n"),
            std::string::npos) << err;
  EXPECT_NE(err.find("printed to root out\n"), std::string::npos) << err;
  EXPECT_NE(err.find("printed to root err\n"), std::string::npos) << err;
  EXPECT_NE(err.find("printed to System/out\n"), std::string::npos) << err;
  EXPECT_NE(err.find("printed to System/err\n"), std::string::npos) << err;
}

TEST_F(McpServer, AClientThatStopsReadingMidAnswerEndsTheServerCleanly) {
  Server server(project.path);
  ASSERT_TRUE(server.started());
  ASSERT_EQ(server.ask(ping(1))["result"], json::object());
  // An answer of megabytes cannot fit in the pipe: once its first bytes arrive, the server is still writing it when
  // the reader goes.
  server.send(call(2, "orrery_eval", {{"code", "(apply str (repeat 1000000 \"x\"))"}}).dump());
  ASSERT_TRUE(server.output_arrives());
  server.close_output();
  EXPECT_EQ(server.wait(), 0) << server.err();
}

// Finds a program on PATH.
std::optional<fs::path> on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    auto colon = rest.find(':');
    fs::path candidate = fs::path(rest.substr(0, colon)) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
  }
  return std::nullopt;
}

TEST(McpSdk, OfficialClientDrivesEveryTool) {
  auto node = on_path("node");
  if (!node) GTEST_SKIP() << "node is not installed: the MCP client library cannot run";
  auto run = testing::run_program(
      {node->string(), std::string(ORRERY_SOURCE_DIR) + "/tests/e2e/mcp_sdk_client.mjs", ORRERY_BIN});
  constexpr int SKIPPED = 77;  // the script's status when the library is not installed
  if (run.exit_code == SKIPPED) GTEST_SKIP() << run.err;
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
}

}  // namespace
}  // namespace orrery
