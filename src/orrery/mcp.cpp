#include "orrery/mcp.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/vector.hpp"
#include "orrery/failure.hpp"
#include "orrery/mcp/json.hpp"
#include "orrery/version.hpp"

namespace orrery::mcp {
namespace {

using kelp::make_map;
using kelp::make_string;
using kelp::Value;

// A line longer than this is refused unread: decoding it would cost memory in proportion to what a client sends.
constexpr size_t MAX_LINE_BYTES = 16u << 20;

constexpr int PARSE_ERROR = -32700;
constexpr int INVALID_REQUEST = -32600;
constexpr int METHOD_NOT_FOUND = -32601;
constexpr int INVALID_PARAMS = -32602;
constexpr int INTERNAL_ERROR = -32603;

Value str(std::string_view s) { return make_string(s); }

Json rpc_result(const Json& id, Json result) {
  return make_map({str("jsonrpc"), str("2.0"), str("id"), id, str("result"), std::move(result)});
}

Json rpc_error(const Json& id, int code, std::string_view message) {
  return make_map({str("jsonrpc"), str("2.0"), str("id"), id, str("error"),
                   make_map({str("code"), Value::integer(code), str("message"), str(message)})});
}

// The member k of a map, nil when absent or when m is not a map.
Json member(const Json& m, std::string_view k) {
  if (!kelp::is_map(m)) return Value();
  const Value* v = kelp::get(m, str(k));
  return v ? *v : Value();
}

std::string string_or_empty(const Json& v) { return v.is(kelp::Kind::String) ? std::string(kelp::str_view(v)) : ""; }

Json initialize_result(const ToolTable& tools, const Json& params) {
  std::string asked = string_or_empty(member(params, "protocolVersion"));
  bool known = std::find(PROTOCOL_VERSIONS.begin(), PROTOCOL_VERSIONS.end(), asked) != PROTOCOL_VERSIONS.end();
  Json capabilities = make_map({str("tools"), make_map({str("listChanged"), Value::boolean(tools.list_changed)})});
  return make_map({str("protocolVersion"), str(known ? asked : PROTOCOL_VERSIONS.back()), str("capabilities"),
                   capabilities, str("serverInfo"), server_info()});
}

bool has_tool(const ToolTable& tools, const std::string& name) {
  return std::any_of(tools.defs.begin(), tools.defs.end(),
                     [&](const Json& def) { return string_or_empty(member(def, "name")) == name; });
}

// A name that is not a string is shown as its JSON text in the unknown-tool answer; a missing one as nothing.
std::string tool_name(const Json& name) {
  if (name.is_nil()) return "";
  return name.is(kelp::Kind::String) ? std::string(kelp::str_view(name)) : encode(name);
}

Json call_tool(const ToolTable& tools, const Json& id, const Json& params) {
  std::string name = tool_name(member(params, "name"));
  if (!has_tool(tools, name)) {
    if (tools.on_unknown) tools.on_unknown(name);
    return rpc_error(id, INVALID_PARAMS, "Unknown tool: " + name);
  }
  Json args = member(params, "arguments");
  if (args.is_nil()) args = kelp::empty_map();
  ToolResult r;
  try {
    r = tools.call(name, args);
  } catch (...) {
    r = {"Error: " + failure_message(std::current_exception()), true, Value()};
  }
  return rpc_result(id, tool_result(r));
}

bool is_initialized_notice(const Json& msg) {
  return string_or_empty(member(msg, "method")) == "notifications/initialized";
}

bool is_initialize(const Json& msg) { return string_or_empty(member(msg, "method")) == "initialize"; }

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// Whether a change waits to be told, shared between notify (which may outlive the session) and the sender.
struct NoticeState {
  std::mutex mutex;
  std::condition_variable wake;
  bool ready = false;
  bool pending = false;
  bool stopped = false;

  // Before the session is ready a change is not worth telling: the client lists the tools after it initializes.
  void notify() {
    {
      std::lock_guard lock(mutex);
      if (!ready || stopped) return;
      pending = true;
    }
    wake.notify_one();
  }
};

// Sends "tools changed" notifications for one session from a worker thread, so that whoever notices a change never
// waits on a slow client. A burst costs one write in flight plus one pending: the pending flag is cleared under the
// write lock just before the write, so a change made during a write is sent once more after it, while a stuck
// write holds back every later one without a thread each.
class Notifier {
 public:
  Notifier(std::mutex& write_lock, std::function<void(std::string_view)> write_line)
      : write_lock_(write_lock), write_line_(std::move(write_line)), worker_([this] { run(); }) {}
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;
  ~Notifier() {
    {
      std::lock_guard lock(state_->mutex);
      state_->stopped = true;
    }
    state_->wake.notify_one();
    worker_.join();
  }

  // Safe from any thread, returns at once, and harmless after the session ends.
  std::function<void()> notify_fn() const {
    return [state = state_] { state->notify(); };
  }

  void mark_ready() {
    std::lock_guard lock(state_->mutex);
    state_->ready = true;
  }

 private:
  void run() {
    std::unique_lock lock(state_->mutex);
    for (;;) {
      state_->wake.wait(lock, [&] { return state_->pending || state_->stopped; });
      if (state_->stopped) return;
      lock.unlock();
      send();
      lock.lock();
    }
  }

  void send() {
    try {
      std::lock_guard write(write_lock_);
      {
        std::lock_guard lock(state_->mutex);
        state_->pending = false;
      }
      write_line_(R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
    } catch (...) {
      // The serve loop finds the dead client on its own read.
      std::string message = failure_message(std::current_exception());
      std::fprintf(stderr, "orrery: couldn't send tools/list_changed: %s\n", message.c_str());
    }
  }

  std::mutex& write_lock_;
  std::function<void(std::string_view)> write_line_;
  std::shared_ptr<NoticeState> state_ = std::make_shared<NoticeState>();
  std::thread worker_;  // last: it starts running once everything above is built
};

// Runs the subscriber's unsubscribe however the loop ends.
struct Unsubscribe {
  std::function<void()> fn;
  ~Unsubscribe() {
    if (!fn) return;
    try {
      fn();
    } catch (...) {
      // The session is over either way; a failing unsubscribe has nothing left to tell.
    }
  }
};

Json refusal_of_long_line(size_t bytes) {
  return rpc_error(Value(), INVALID_REQUEST,
                   fmt::format("Invalid Request: a line of {} bytes is over the limit of {} bytes", bytes,
                               MAX_LINE_BYTES));
}

// The response to a line when the tool table itself could not be had: an internal error for a request.
Responded without_tools(std::string_view line) {
  Responded r = respond(ToolTable{}, line);
  if (!r.resp.is_nil() && kelp::is_map(r.msg) && kelp::get(r.msg, str("id")))
    r.resp = rpc_error(member(r.msg, "id"), INTERNAL_ERROR, "Internal error");
  return r;
}

Responded respond_with(const ServeOptions& opts, std::string_view line) {
  if (line.size() > MAX_LINE_BYTES) return {Value(), refusal_of_long_line(line.size())};
  ToolTable tools;
  try {
    tools = opts.tools();
  } catch (...) {
    return without_tools(line);
  }
  return respond(tools, line);
}

// Writes one line under the write lock; false when the write failed: nobody is listening, so the session is over.
bool write_locked(const ServeOptions& opts, std::mutex& write_lock, const std::string& text) {
  std::lock_guard lock(write_lock);
  try {
    opts.write_line(text);
    return true;
  } catch (...) {
    return false;
  }
}

// A tool's data that cannot be written (a lazy sequence that throws as it is realised) answers an internal error
// rather than ending the session.
std::string encoded_answer(const Json& resp) {
  try {
    return encode(resp);
  } catch (...) {
    return encode(rpc_error(member(resp, "id"), INTERNAL_ERROR, "Internal error"));
  }
}

void tell_initialize(const ServeOptions& opts, const Json& msg) {
  if (!opts.on_initialize) return;
  try {
    opts.on_initialize(member(member(msg, "params"), "clientInfo"));
  } catch (...) {
    // It only names the client.
  }
}

}  // namespace

Json server_info() { return make_map({str("name"), str("orrery"), str("version"), str(current_version())}); }

Json text_result(const std::string& text, bool is_error) {
  Json content = kelp::make_vector({make_map({str("type"), str("text"), str("text"), str(text)})});
  return make_map({str("content"), content, str("isError"), Value::boolean(is_error)});
}

Json tool_result(const ToolResult& r) {
  Json result = text_result(r.text, r.is_error);
  if (kelp::is_map(r.data) && kelp::count(r.data) > 0) result = kelp::assoc(result, str("structuredContent"), r.data);
  return result;
}

Json handle_message(const ToolTable& tools, const Json& decoded) {
  if (!kelp::is_map(decoded)) return rpc_error(Value(), INVALID_REQUEST, "Invalid Request");
  const Value* id = kelp::get(decoded, str("id"));
  if (!id) return Value();  // a notification is never answered
  std::string method = string_or_empty(member(decoded, "method"));
  Json params = member(decoded, "params");
  if (method == "initialize") return rpc_result(*id, initialize_result(tools, params));
  if (method == "notifications/initialized") return Value();
  if (method == "ping") return rpc_result(*id, kelp::empty_map());
  if (method == "tools/list") return rpc_result(*id, make_map({str("tools"), kelp::make_vector(tools.defs)}));
  if (method == "tools/call") return call_tool(tools, *id, params);
  return rpc_error(*id, METHOD_NOT_FOUND, "Method not found");
}

Responded respond(const ToolTable& tools, std::string_view line) {
  Json msg;
  try {
    msg = decode(line);
  } catch (...) {
    return {Value(), rpc_error(Value(), PARSE_ERROR, "Parse error")};
  }
  try {
    return {msg, handle_message(tools, msg)};
  } catch (...) {
    const Value* id = kelp::is_map(msg) ? kelp::get(msg, str("id")) : nullptr;
    return {msg, id ? rpc_error(*id, INTERNAL_ERROR, "Internal error") : Value()};
  }
}

void serve(const ServeOptions& opts) {
  std::mutex write_lock;
  std::optional<Notifier> notifier;
  Unsubscribe unsubscribe;  // declared after the notifier: it runs before the notifier's worker stops
  if (opts.subscribe) {
    notifier.emplace(write_lock, opts.write_line);
    unsubscribe.fn = opts.subscribe(notifier->notify_fn());
  }
  while (std::optional<std::string> line = opts.read_line()) {
    if (is_blank(*line)) continue;
    Responded r = respond_with(opts, *line);
    if (is_initialize(r.msg) && !r.resp.is_nil()) tell_initialize(opts, r.msg);
    if (!r.resp.is_nil() && !write_locked(opts, write_lock, encoded_answer(r.resp))) return;
    if (notifier && is_initialized_notice(r.msg)) notifier->mark_ready();
  }
}

}  // namespace orrery::mcp
