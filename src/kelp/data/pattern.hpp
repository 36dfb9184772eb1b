// Regular expressions (java.util.regex.Pattern) with Java's syntax, compiled once.
#pragma once

#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp {

class Pattern;

// Compiles a pattern. Throws ValueError("java.util.regex.PatternSyntaxException", message) for bad syntax.
Value make_pattern(std::string_view source);
// The source text as written (what #"..." prints between the quotes).
std::string_view pattern_source(const Value& p);
inline bool is_pattern(const Value& v) { return v.is(Kind::Pattern); }

}  // namespace kelp
