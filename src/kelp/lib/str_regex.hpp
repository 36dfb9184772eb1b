// Regular-expression objects and operations shared by clojure.core (re-matcher, re-find ...), clojure.string and
// the host methods on Pattern, Matcher and String (.find, .group, .split, .replaceAll ...).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "kelp/data/pattern.hpp"
#include "kelp/data/value.hpp"

namespace kelp::lib::strs {

// java.util.regex.Matcher: a pattern over one string, remembering where the last find ended and what it matched.
// Clojure's re-find and Java's .find share one position, as on the JVM.
class Matcher final : public Object {
 public:
  Matcher(Value pattern, Value text);
  std::string_view type_name() const override { return "java.util.regex.Matcher"; }
  const Value& pattern() const { return pattern_; }

  // Matcher.find(): the next match, or false (and the matcher is spent).
  bool find() const;
  // Matcher.find(start): resets, then searches from code-point index start.
  bool find_from(int64_t start) const;
  // Matcher.matches(): whether the whole text matches.
  bool matches() const;
  // Matcher.lookingAt(): whether a prefix of the text matches.
  bool looking_at() const;
  // Matcher.reset(): the next find starts over.
  void reset() const;
  // re-groups of the last match. Throws IllegalStateException "No match found" when there is none.
  Value groups() const;
  // Matcher.group(g): the text of group g of the last match, nil when it took no part. Throws
  // IllegalStateException without a match, IndexOutOfBoundsException "No group g" past the pattern's groups.
  Value group(int64_t g) const;
  // Matcher.group(name), by a named group; IllegalArgumentException "No group with name <x>" for an unknown one.
  Value group(std::string_view name) const;
  // Matcher.start(g) / end(g): code-point indexes into the text, -1 for a group that took no part.
  int64_t start(int64_t g) const;
  int64_t end(int64_t g) const;
  // Java's toString: "java.util.regex.Matcher[pattern=a region=0,1 lastmatch=a]".
  std::string java_string() const;

 private:
  size_t checked_group(int64_t g) const;  // with the lock held
  Value pattern_, text_;
  mutable std::mutex mutex_;
  mutable size_t pos_ = 0;
  mutable RegexMatch last_;
  mutable bool matched_ = false;
};

// The matcher a value is, or nullptr.
const Matcher* as_matcher(const Value& v);

// Pattern.split: a vector of the pieces of string s between matches of p. No empty leading piece from a
// zero-width match at the start; a positive limit caps the pieces; limit 0 drops trailing empty pieces.
Value split_by(const Value& s, const Value& p, int64_t limit);
// Replaces every (or the first) match of p in string s: rep is a replacement string with $n and ${name}
// references, or a function of the match's groups whose result is taken literally.
Value replace_pattern(const Value& s, const Value& p, const Value& rep, bool all);

}  // namespace kelp::lib::strs
