// Calls of a few clojure.core functions compiled inline (as Clojure's :inline does): arithmetic and comparison on
// longs and doubles without a call, falling back to the function itself for every other kind of number.
#pragma once

#include <string_view>

#include "kelp/exec/node.hpp"

namespace kelp::exec {

// The inline node for (name args...) when name is a clojure.core function with an inline form for that many
// arguments; null otherwise. var is the clojure.core var, called for operands the fast path does not cover.
NodePtr make_intrinsic(std::string_view name, const Value& var, Nodes& args);

}  // namespace kelp::exec
