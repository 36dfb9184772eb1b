// EDN text: reading exactly one value, and editing keys of a map text in place.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kelp/data/result.hpp"
#include "kelp/data/value.hpp"

namespace kelp {

struct EdnLimits {
  int max_depth = 10000;               // nesting deeper than this is a failure, never a stack overflow
  size_t max_bytes = size_t(1) << 30;  // texts longer than this are refused
};

// Reads exactly one value: #inst and #uuid tags, comments and #_ discards skipped; fails (with a sentence and
// its line and column) on empty text, any other tag, unbalanced delimiters, duplicate map keys or set members,
// invalid UTF-8 and anything after the value but whitespace and comments. Never throws.
Result<Value> read_edn(std::string_view text, const EdnLimits& limits = {});

// The text with each top-level key of its map that `m` names set to m's value (new keys added at the end),
// comments, blank lines and the layout of everything else untouched. Nothing when the text holds no map, or
// when the edited text would not read back as the old map merged with m.
std::optional<std::string> edit_edn_keys(std::string_view text, const Value& m);

}  // namespace kelp
