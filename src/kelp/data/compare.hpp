// Clojure's compare: total order within numbers, strings, keywords, symbols, characters, booleans, vectors
// (shorter first, then element-wise), instants and uuids; nil before everything. Throws ValueError
// (ClassCastException) for values of kinds that do not compare.
#pragma once

#include "kelp/data/value.hpp"

namespace kelp {

int compare(const Value& a, const Value& b);

}  // namespace kelp
