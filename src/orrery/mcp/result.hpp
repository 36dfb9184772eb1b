// The answers of the evaluation tools: a capped collector of what a program prints, the parsed shape of an error
// text, and the structured content of an evaluation answer. Sizes count characters (code points), not bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/eval.hpp"
#include "orrery/mcp.hpp"

namespace orrery::mcp {

inline constexpr int64_t DEFAULT_MAX_OUTPUT_CHARS = 100000;
inline constexpr int64_t HARD_MAX_OUTPUT_CHARS = 1000000;
inline constexpr int64_t DEFAULT_TIMEOUT_MS = 30000;
inline constexpr int64_t INTERRUPT_GRACE_MS = 5000;
inline constexpr int64_t MAX_COMPLETIONS = 50;
inline constexpr int64_t MAX_FAILURES = 100;
inline constexpr int64_t MAX_SHOWN_CHARS = 2000;
inline constexpr int64_t MAX_LOCATED_FILES = 20000;

struct OutputChunk {
  eval::OutputKind kind;
  std::string text;
};

// What an evaluation printed so far, both streams in arrival order.
struct Output {
  std::vector<OutputChunk> chunks;
  int64_t size = 0;     // characters in chunks
  int64_t dropped = 0;  // characters already thrown away from the front
};

// The output a finished evaluation answers with.
struct Collected {
  std::string output;  // the last cap characters
  std::string err;     // the standard-error chunks among them
  int64_t dropped = 0; // characters before them
};

// The number of code points in UTF-8 text.
int64_t char_count(std::string_view s);

// The call's "max_output_chars" when it is a positive number, at most HARD_MAX_OUTPUT_CHARS; else the default.
int64_t max_output_of(const Json& args);

// Appends a chunk. Once more than twice cap characters are held, keeps only the last cap of them, so a program
// that prints without end costs bounded memory.
void add_output(Output& state, int64_t cap, eval::OutputKind kind, std::string_view s);

Collected output_of(const Output& state, int64_t cap);

struct Clipped {
  std::string output;
  int64_t dropped = 0;
};
// The last cap characters of text already collected as one string.
Clipped clip(std::string_view text, int64_t cap);

// "; N earlier characters of output dropped\n", or "" for zero.
std::string dropped_line(int64_t n);

// {"message" "type" "line" "column"} from an "Error [Type]: message\nLocation: line L, col C" text; only "message"
// (the trimmed text) for a text of any other shape.
Json error_fields(std::string_view text);

// The structured content of an evaluation answer. result is the evaluation's own when it finished (nullptr for a
// timeout or a refusal); it gives "value", "ns" and "error".
Json eval_data(std::string_view status, const Collected& out, int64_t ms, const eval::Result* result);

// The status word of a finished evaluation: "ok", "error", "interrupted", "notice".
std::string_view status_name(eval::Status s);

}  // namespace orrery::mcp
