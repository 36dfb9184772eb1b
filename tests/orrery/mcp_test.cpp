#include "orrery/mcp.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/print/printer.hpp"
#include "orrery/mcp/json.hpp"
#include "orrery/version.hpp"

namespace orrery::mcp {
namespace {

using namespace std::chrono_literals;
using kelp::Value;

const std::string PING = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
const std::string INITIALIZED = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";

// Tools that show each way a call can end: an answer, a throw, structured data.
ToolTable fixture_tools() {
  ToolTable t;
  for (const char* name : {"echo", "boom", "data"})
    t.defs.push_back(decode(fmt::format(R"({{"name":"{}","description":"d","inputSchema":{{"type":"object"}}}})", name)));
  t.call = [](const std::string& name, const Json& args) -> ToolResult {
    if (name == "boom") throw std::runtime_error("kaboom");
    if (name == "data") return {"t", false, decode(R"({"status":"ok"})")};
    return {"args " + encode(args), false, Value()};
  };
  t.list_changed = true;
  t.on_unknown = [](const std::string& name) {
    if (name == "explode") throw std::runtime_error("logging failed");
  };
  return t;
}

// Runs serve over the given lines to the end of input and answers what it wrote.
// `out` may be given to watch the writes while the session runs.
std::vector<std::string> serve_lines(std::vector<std::string> lines, ServeOptions opts = {},
                                     std::vector<std::string>* watched = nullptr) {
  std::deque<std::string> in(lines.begin(), lines.end());
  std::vector<std::string> own;
  std::vector<std::string>& out = watched ? *watched : own;
  opts.read_line = [&]() -> std::optional<std::string> {
    if (in.empty()) return std::nullopt;
    std::string line = std::move(in.front());
    in.pop_front();
    return line;
  };
  opts.write_line = [&](std::string_view line) { out.emplace_back(line); };
  if (!opts.tools) opts.tools = fixture_tools;
  serve(opts);
  return out;
}

std::string initialize_answer(std::string_view id, std::string_view version) {
  return fmt::format(R"({{"jsonrpc":"2.0","id":{},"result":{{"protocolVersion":"{}",)"
                     R"("capabilities":{{"tools":{{"listChanged":true}}}},"serverInfo":{{"name":"orrery","version":"{}"}}}}}})",
                     id, version, current_version());
}

std::string error_answer(std::string_view id, int code, std::string_view message) {
  return fmt::format(R"({{"jsonrpc":"2.0","id":{},"error":{{"code":{},"message":"{}"}}}})", id, code, message);
}

std::string result_answer(std::string_view id, std::string_view result) {
  return fmt::format(R"({{"jsonrpc":"2.0","id":{},"result":{}}})", id, result);
}

std::string call(std::string_view id, std::string_view params) {
  return fmt::format(R"({{"jsonrpc":"2.0","id":{},"method":"tools/call","params":{}}})", id, params);
}

TEST(McpServe, AnswersEachLine) {
  struct Case {
    std::string line;
    std::string answer;  // "" when nothing is to be answered
  };
  const std::string text_ok = R"({"content":[{"type":"text","text":"args {}"}],"isError":false})";
  const Case cases[] = {
      {"not json", error_answer("null", -32700, "Parse error")},
      {R"({"id":1,"method":"ping")", error_answer("null", -32700, "Parse error")},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", error_answer("null", -32600, "Invalid Request")},
      {"42", error_answer("null", -32600, "Invalid Request")},
      {R"("ping")", error_answer("null", -32600, "Invalid Request")},
      {R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})", error_answer("1", -32601, "Method not found")},
      {R"({"jsonrpc":"2.0","id":1})", error_answer("1", -32601, "Method not found")},
      {R"({"jsonrpc":"2.0","method":"resources/list"})", ""},
      {R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"boom"}})", ""},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", ""},
      {"", ""},
      {" \t\r", ""},
      // Ids come back exactly as they came.
      {R"({"jsonrpc":"2.0","id":"a-1","method":"ping"})", result_answer(R"("a-1")", "{}")},
      {R"({"jsonrpc":"2.0","id":"7","method":"ping"})", result_answer(R"("7")", "{}")},
      {R"({"jsonrpc":"2.0","id":7,"method":"ping"})", result_answer("7", "{}")},
      {R"({"jsonrpc":"2.0","id":-9007199254740993,"method":"ping"})", result_answer("-9007199254740993", "{}")},
      {R"({"jsonrpc":"2.0","id":2.5,"method":"ping"})", result_answer("2.5", "{}")},
      {R"({"jsonrpc":"2.0","id":null,"method":"ping"})", result_answer("null", "{}")},
      // initialize: a supported version is kept, any other asks for the newest.
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
       initialize_answer("1", "2024-11-05")},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})",
       initialize_answer("1", "2025-03-26")},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})",
       initialize_answer("1", "2025-06-18")},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2099-01-01"}})",
       initialize_answer("1", "2025-06-18")},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize"})", initialize_answer("1", "2025-06-18")},
      {R"({"jsonrpc":"2.0","id":1,"method":"notifications/initialized"})", ""},
      // Tools.
      {R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})",
       result_answer("3", R"({"tools":[)"
                          R"({"name":"echo","description":"d","inputSchema":{"type":"object"}},)"
                          R"({"name":"boom","description":"d","inputSchema":{"type":"object"}},)"
                          R"({"name":"data","description":"d","inputSchema":{"type":"object"}}]})")},
      {call("4", R"({"name":"echo"})"), result_answer("4", text_ok)},
      {call("4", R"({"name":"echo","arguments":null})"), result_answer("4", text_ok)},
      {call("4", R"j({"name":"echo","arguments":{"code":"(+ 1 2)","n":1}})j"),
       result_answer("4", R"j({"content":[{"type":"text","text":"args {\"code\":\"(+ 1 2)\",\"n\":1}"}],"isError":false})j")},
      {call("5", R"({"name":"boom","arguments":{}})"),
       result_answer("5", R"({"content":[{"type":"text","text":"Error: kaboom"}],"isError":true})")},
      {call("6", R"({"name":"data"})"),
       result_answer("6", R"({"content":[{"type":"text","text":"t"}],"isError":false,"structuredContent":{"status":"ok"}})")},
      {call("7", R"({"name":"nope"})"), error_answer("7", -32602, "Unknown tool: nope")},
      {call("7", "{}"), error_answer("7", -32602, "Unknown tool: ")},
      {call("8", R"({"name":"explode"})"), error_answer("8", -32603, "Internal error")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> out = serve_lines({c.line});
    if (c.answer.empty()) {
      EXPECT_TRUE(out.empty()) << out.front();
      continue;
    }
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].find('\n'), std::string::npos);
    EXPECT_EQ(decode(out[0]), decode(c.answer)) << out[0];
  }
}

TEST(McpServe, EmptyDataSendsNoStructuredContent) {
  EXPECT_EQ(tool_result({"x", true, kelp::empty_map()}), text_result("x", true));
  EXPECT_EQ(tool_result({"x", true, Value::integer(1)}), text_result("x", true));
}

TEST(McpServe, BadLinesNeverEndTheSession) {
  std::string huge = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":")" + std::string(16u << 20, 'x') +
                     R"("}})";
  std::vector<std::string> out =
      serve_lines({"{", huge, "[]", R"({"jsonrpc":"2.0","id":9,"method":"ping"})"});
  ASSERT_EQ(out.size(), 4u);
  Value refusal = decode(out[1]);
  EXPECT_EQ(encode(*kelp::get(refusal, kelp::make_string("id"))), "null");
  Value error = *kelp::get(refusal, kelp::make_string("error"));
  EXPECT_EQ(*kelp::get(error, kelp::make_string("code")), Value::integer(-32600));
  EXPECT_NE(encode(error).find(std::to_string(huge.size())), std::string::npos) << out[1];  // names the size
  EXPECT_EQ(decode(out[3]), decode(result_answer("9", "{}")));
}

TEST(McpServe, ATableThatCannotBeHadIsAnInternalErrorForARequest) {
  ServeOptions opts;
  opts.tools = []() -> ToolTable { throw std::runtime_error("window gone"); };
  std::vector<std::string> out = serve_lines(
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})", R"({"jsonrpc":"2.0","method":"x"})", "oops"}, opts);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(decode(out[0]), decode(error_answer("1", -32603, "Internal error")));
  EXPECT_EQ(decode(out[1]), decode(error_answer("null", -32700, "Parse error")));
}

TEST(McpServe, OnInitializeNamesTheClientBeforeTheAnswerAndMayThrow) {
  std::vector<std::string> seen;
  std::vector<std::string> out;
  ServeOptions opts;
  opts.on_initialize = [&](const Json& client) {
    seen.push_back(kelp::pr_str(client) + " after " + std::to_string(out.size()));
    throw std::runtime_error("ignored");
  };
  serve_lines(
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"clientInfo":{"name":"c","version":"1"}}})",
       R"({"jsonrpc":"2.0","id":2,"method":"initialize"})", PING},
      opts, &out);
  EXPECT_EQ(seen, (std::vector<std::string>{R"({"name" "c", "version" "1"} after 0)", "nil after 1"}));
  EXPECT_EQ(out.size(), 3u);
}

TEST(McpServe, AFailedWriteEndsTheSessionAndUnsubscribes) {
  for (bool fail_writes : {true, false}) {
    SCOPED_TRACE(fail_writes);
    int reads = 0, subscribes = 0, unsubscribes = 0;
    ServeOptions opts;
    opts.tools = fixture_tools;
    opts.read_line = [&]() -> std::optional<std::string> {
      if (++reads > 3) return std::nullopt;
      return R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    };
    opts.write_line = [&](std::string_view) {
      if (fail_writes) throw std::runtime_error("Broken pipe");
    };
    opts.subscribe = [&](std::function<void()>) {
      ++subscribes;
      return [&] { ++unsubscribes; };
    };
    EXPECT_NO_THROW(serve(opts));
    EXPECT_EQ(reads, fail_writes ? 1 : 4);
    EXPECT_EQ(subscribes, 1);
    EXPECT_EQ(unsubscribes, 1);
  }
}

// A session on its own thread, fed line by line, whose writes the test can hold up.
class LiveSession {
 public:
  LiveSession() {
    ServeOptions opts;
    opts.tools = fixture_tools;
    opts.read_line = [this]() -> std::optional<std::string> {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return !in_.empty() || closed_; });
      if (in_.empty()) return std::nullopt;
      std::string line = std::move(in_.front());
      in_.pop_front();
      return line;
    };
    opts.write_line = [this](std::string_view line) { write(line); };
    opts.subscribe = [this](std::function<void()> notify) {
      notify_ = notify;
      return [] {};
    };
    thread_ = std::thread([opts] { serve(opts); });
    wait_until([&] { return static_cast<bool>(notify_); });
  }
  ~LiveSession() {
    hold_notices(false);
    close();
    if (thread_.joinable()) thread_.join();
  }

  void send(std::string line) {
    std::lock_guard lock(mutex_);
    in_.push_back(std::move(line));
    changed_.notify_all();
  }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }
  void join() { thread_.join(); }
  void notify() { notify_(); }
  // While held, a notification's write waits, as on a client that does not read.
  void hold_notices(bool held) {
    std::lock_guard lock(mutex_);
    held_ = held;
    changed_.notify_all();
  }
  int notices() {
    std::lock_guard lock(mutex_);
    return count_if_locked(true);
  }
  int answers() {
    std::lock_guard lock(mutex_);
    return count_if_locked(false);
  }
  bool notice_in_write() {
    std::lock_guard lock(mutex_);
    return notice_writing_;
  }
  bool overlapped() const { return overlapped_; }

  template <class Pred>
  bool wait_until(Pred done) {
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
      if (done()) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

 private:
  static bool is_notice(std::string_view line) { return line.find("list_changed") != std::string_view::npos; }
  int count_if_locked(bool notices) {
    int n = 0;
    for (const auto& l : out_) n += is_notice(l) == notices;
    return n;
  }
  void write(std::string_view line) {
    if (writing_.exchange(true)) overlapped_ = true;
    std::this_thread::sleep_for(100us);  // widens the window in which an unlocked write would overlap
    std::unique_lock lock(mutex_);
    if (is_notice(line)) {
      notice_writing_ = true;
      changed_.wait(lock, [&] { return !held_; });
      notice_writing_ = false;
    }
    out_.emplace_back(line);
    writing_ = false;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> in_;
  bool closed_ = false;
  bool held_ = false;
  bool notice_writing_ = false;
  std::vector<std::string> out_;
  std::atomic<bool> writing_{false};
  std::atomic<bool> overlapped_{false};
  std::function<void()> notify_;
  std::thread thread_;
};

TEST(McpNotifier, SendsNothingBeforeInitializedAndCoalescesABurst) {
  LiveSession s;
  for (int i = 0; i < 3; ++i) s.notify();
  s.send(INITIALIZED);
  s.send(PING);
  ASSERT_TRUE(s.wait_until([&] { return s.answers() == 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(s.notices(), 0);  // the changes before the session was ready are not told

  s.hold_notices(true);
  s.notify();
  ASSERT_TRUE(s.wait_until([&] { return s.notice_in_write(); }));
  for (int i = 0; i < 20; ++i) s.notify();  // during the stuck write: one more send, not twenty
  s.hold_notices(false);
  ASSERT_TRUE(s.wait_until([&] { return s.notices() == 2; }));
  s.close();
  s.join();
  EXPECT_EQ(s.notices(), 2);
}

TEST(McpNotifier, NoticesAndAnswersNeverOverlap) {
  LiveSession s;
  s.send(INITIALIZED);
  s.send(PING);
  ASSERT_TRUE(s.wait_until([&] { return s.answers() == 1; }));
  for (int i = 0; i < 50; ++i) {
    s.send(PING);
    s.notify();
    std::this_thread::sleep_for(200us);
  }
  ASSERT_TRUE(s.wait_until([&] { return s.answers() == 51; }));
  EXPECT_TRUE(s.wait_until([&] { return s.notices() >= 1; }));
  EXPECT_FALSE(s.overlapped());
}

}  // namespace
}  // namespace orrery::mcp
