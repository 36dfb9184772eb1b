// Regular expressions (java.util.regex.Pattern) with Java's syntax, compiled once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"

namespace kelp {

class Pattern;

// Compiles a pattern. Throws ValueError("java.util.regex.PatternSyntaxException", message) for bad syntax.
Value make_pattern(std::string_view source);
// Pattern.compile(source, flags) with java.util.regex.Pattern's flag bits (CASE_INSENSITIVE 2, COMMENTS 4,
// MULTILINE 8, LITERAL 16, DOTALL 32, UNICODE_CASE 64, UNICODE_CHARACTER_CLASS 256).
Value make_pattern(std::string_view source, int32_t java_flags);
int32_t pattern_flags(const Value& p);
// The source text as written (what #"..." prints between the quotes).
std::string_view pattern_source(const Value& p);
inline bool is_pattern(const Value& v) { return v.is(Kind::Pattern); }
// How many capturing groups the pattern has (group 0, the whole match, not counted).
size_t pattern_group_count(const Value& p);

// One match: byte offsets into the subject of the whole match (group 0) and of each group; an unmatched group has
// start == npos. Reused across searches, so a loop over matches allocates once.
struct RegexMatch {
  static constexpr size_t npos = static_cast<size_t>(-1);
  std::vector<size_t> offsets;  // start and end for each group, group 0 first
  size_t groups() const { return offsets.size() / 2; }  // group count + 1
  size_t start(size_t g = 0) const { return offsets[2 * g]; }
  size_t end(size_t g = 0) const { return offsets[2 * g + 1]; }
  bool matched(size_t g) const { return offsets[2 * g] != npos; }
  std::string_view group(std::string_view subject, size_t g = 0) const {
    return matched(g) ? subject.substr(start(g), end(g) - start(g)) : std::string_view{};
  }
};

// Matcher.find: the first match starting at or after byte offset `from`. Answers false when there is none.
bool regex_find(const Value& p, std::string_view subject, size_t from, RegexMatch& m);
// Matcher.lookingAt: whether a prefix of the subject matches.
bool regex_looking_at(const Value& p, std::string_view subject, RegexMatch& m);
// Matcher.matches: whether the whole subject matches.
bool regex_matches(const Value& p, std::string_view subject, RegexMatch& m);
// Where a find should resume after m, as Java's Matcher does: the end of the match, or one character further when
// the match was empty (so an empty match is never found twice).
size_t regex_resume(std::string_view subject, const RegexMatch& m);
// The capture group named `name`, or -1.
int pattern_group_index(const Value& p, std::string_view name);

// Matcher.appendReplacement's replacement text: $n and ${name} refer to groups, a backslash quotes the next
// character. Throws ValueError IndexOutOfBoundsException "No group 3" or IllegalArgumentException for a malformed
// reference.
void append_replacement(std::string& out, const Value& p, std::string_view subject, const RegexMatch& m,
                        std::string_view replacement);

}  // namespace kelp
