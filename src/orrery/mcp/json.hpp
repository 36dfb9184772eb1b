// JSON text of the agent protocol, converted to and from our values at the edge.
#pragma once

#include <string>
#include <string_view>

#include "orrery/mcp.hpp"

namespace orrery::mcp {

// Objects and arrays nested deeper than this are refused: a message from outside never costs unbounded memory.
inline constexpr int MAX_JSON_DEPTH = 512;

// JSON text to data: objects to maps with string keys (in their order while small), arrays to vectors, integers
// that fit 64 bits to integers, other numbers to doubles (an overflowing one clamped to the largest finite double),
// strings with invalid UTF-8 or lone surrogate escapes repaired with U+FFFD, null to nil.
// Throws std::runtime_error "invalid JSON: " + the reader's message.
Json decode(std::string_view text);

// One line of JSON: maps with string or keyword keys to objects, vectors, lists, seqs and sets to arrays, numbers,
// strings, booleans and nil as themselves (a non-finite double as null), anything else as its str text. Characters
// outside ASCII and "/" are written raw; only quotes, backslashes and control characters are escaped.
std::string encode(const Json& value);

}  // namespace orrery::mcp
