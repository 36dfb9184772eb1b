// Clojure's compare: total order within numbers, strings, keywords, symbols, characters, booleans, vectors
// (shorter first, then element-wise), instants and uuids; nil before everything. Throws ValueError
// (ClassCastException) for values of kinds that do not compare.
#pragma once

#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp {

int compare(const Value& a, const Value& b);
// Asked before compare gives up on a value it doesn't know: a type with its own compareTo answers for itself.
// Set once at start by the runtime.
using CompareFallback = bool (*)(const Value& a, const Value& b, int* result);
void set_compare_fallback(CompareFallback f);
// Java's String.compareTo over UTF-8 texts (UTF-16 code unit order).
int compare_strings(std::string_view a, std::string_view b);

}  // namespace kelp
