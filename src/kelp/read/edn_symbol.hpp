// Which tokens are symbols and keywords, by Clojure's reader rules.
#pragma once

#include <optional>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp::edn {

// The symbol or keyword a token names, or nothing when the token is not a valid one (for example "::a", "a/",
// ":a:" or "a/1"). nil, true and false are the caller's to recognise first.
std::optional<Value> match_symbol(std::string_view token);

// A key of #:ns{...} as the map holds it: plain keywords and symbols take the namespace, the namespace _ means
// none, and every other key stays as written.
Value qualify_key(const Value& key, std::string_view ns);

}  // namespace kelp::edn
