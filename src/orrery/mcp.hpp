// The agent protocol layer: JSON-RPC 2.0, one message per line, serving a table of tools. It is transport-free:
// serve reads and writes lines through the functions it is given and never touches standard input or output.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"

namespace orrery::mcp {

// JSON data is kelp data with string keys: objects are maps, arrays vectors, strings, numbers (integers when the
// JSON number is integral and fits, else doubles), true/false and nil for null.
using Json = kelp::Value;

// What a tool call answers.
struct ToolResult {
  std::string text;
  bool is_error = false;
  Json data;  // a map with string keys sent as "structuredContent" when non-empty; nil for none
};

// The tools a session serves.
struct ToolTable {
  std::vector<Json> defs;  // each {"name" "description" "inputSchema"}
  // Runs a tool; args is the call's "arguments" object (an empty map when absent). May throw: the exception's
  // message becomes an error result "Error: " + message.
  std::function<ToolResult(const std::string& name, const Json& args)> call;
  bool list_changed = false;
  std::function<void(const std::string& name)> on_unknown;  // optional
};

inline const std::vector<std::string> PROTOCOL_VERSIONS = {"2024-11-05", "2025-03-26", "2025-06-18"};

struct ServeOptions {
  // The next line without its newline; nullopt at the end of input.
  std::function<std::optional<std::string>()> read_line;
  // Writes one line (the function adds the newline and flushes). A throw ends the loop: nobody is listening.
  std::function<void(std::string_view)> write_line;
  // The tool table, asked once per incoming message (a window's tools can change between messages).
  std::function<ToolTable()> tools;
  // Optional: called once before the loop with notify (safe from any thread); answers the unsubscribe function,
  // run when the loop ends however it ends.
  std::function<std::function<void()>(std::function<void()> notify)> subscribe;
  // Optional: the initialize request's params.clientInfo (nil when absent), before the answer is written.
  std::function<void(const Json& client_info)> on_initialize;
};

// Runs the loop until read_line answers nullopt or write_line throws.
void serve(const ServeOptions& opts);

// One decoded message to its response, or nil when nothing is answered.
Json handle_message(const ToolTable& tools, const Json& decoded);

struct Responded {
  Json msg;   // the decoded message (nil when it did not decode)
  Json resp;  // the response, or nil
};
Responded respond(const ToolTable& tools, std::string_view line);

// {"name" "orrery" "version" v}, v the program's version now.
Json server_info();

// {"content" [{"type" "text" "text" s}] "isError" b}, plus "structuredContent" when data is a non-empty map.
Json text_result(const std::string& text, bool is_error);
Json tool_result(const ToolResult& r);

}  // namespace orrery::mcp
