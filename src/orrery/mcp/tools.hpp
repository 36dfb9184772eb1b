// The headless tool table: seven tools that evaluate, check and look up through one evaluator per project
// selection, with no window. Evaluations block the calling thread, bounded by their deadline plus a grace.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orrery/dialect.hpp"
#include "orrery/evaluator.hpp"
#include "orrery/mcp.hpp"
#include "orrery/mcp/result.hpp"

namespace orrery::mcp {

// Evaluators by their selection's key; shared between tables in tests.
struct EvaluatorCache {
  std::mutex mutex;
  std::map<std::string, evaluator::EvaluatorPtr> by_key;  // key: the printed selection key
};

struct ToolsOptions {
  std::filesystem::path dir;                           // the server's default directory, absolute
  std::optional<std::filesystem::path> settings_path;  // the settings file that may name a default dialect
  std::shared_ptr<EvaluatorCache> cache;               // none: a cache of the table's own
  int64_t grace_ms = INTERRUPT_GRACE_MS;               // the wait after an interrupt before a stop
};

ToolTable make_tools(const ToolsOptions& opts);

// The selection for path (resolved against dir; none means dir): a directory selects its project folder, a file
// through the dialect rules. Never throws: a project that cannot be read adds "couldn't read the project: " and
// the message to the warnings.
dialect::Selection selection_for(const ToolsOptions& opts, const std::optional<std::string>& path);
// The cache key of a selection.
std::string cache_key(const dialect::Selection& s);

struct Limits {
  evaluator::EvalOptions opts;  // the callbacks are filled in by run_eval
  int64_t timeout_ms = DEFAULT_TIMEOUT_MS;
  int64_t max_output = DEFAULT_MAX_OUTPUT_CHARS;
  int64_t grace_ms = INTERRUPT_GRACE_MS;
  std::function<void()> evict;  // removes the evaluator from its cache when it is stuck
};

// Evaluates code on e and waits for the answer, the deadline, or (past it) the grace after an interrupt.
ToolResult run_eval(const evaluator::EvaluatorPtr& e, std::string code, const Limits& limits);

// A finished evaluation's answer: the dropped line, the output, then the result line.
ToolResult done_result(const eval::Result& r, const Collected& out, int64_t ms);

// "timeout_ms" when a positive number, else DEFAULT_TIMEOUT_MS.
int64_t timeout_of(const Json& args);
// args' non-blank string at k; throws "Missing required argument: " + k otherwise.
std::string required_string(const Json& args, std::string_view k);

// The answer of the bracket check for text: "ok", or a sentence naming the first problem in text order.
std::string bracket_report(std::string_view text);

// The documentation text for name from a runtime's lookup map (nil when the runtime does not know it), falling back
// to the definition in buffer, the text of the file the call names.
std::string doc_text(const Json& doc, std::string_view name, const std::optional<std::string>& buffer);
// The first MAX_COMPLETIONS names starting with prefix: the runtime's candidates, then the buffer's definitions.
std::vector<std::string> completion_names(const Json& candidates, std::string_view prefix,
                                          const std::optional<std::string>& buffer);

}  // namespace orrery::mcp
