// Which tokens are symbols and keywords, by Clojure's reader rules.
#pragma once

#include <optional>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp::edn {

// The symbol or keyword a token names, or nothing when the token is not a valid one (for example "::a", "a/",
// ":a:" or "a/1"). nil, true and false are the caller's to recognise first.
std::optional<Value> match_symbol(std::string_view token);

}  // namespace kelp::edn
