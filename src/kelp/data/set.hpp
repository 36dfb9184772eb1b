// Persistent hash sets (hash array mapped tries, iterating in JVM Clojure's order) and generic set operations,
// which also serve sorted sets.
#pragma once

#include <initializer_list>
#include <optional>
#include <span>

#include "kelp/data/value.hpp"

namespace kelp {

Value empty_set();
Value set_conj(const Value& set, Value x);
Value set_disj(const Value& set, const Value& x);
bool is_set(const Value& v);
Value make_set(std::span<const Value> items);
Value make_set(std::initializer_list<Value> items);
// As make_set, but a repeated member is a failure: answers nothing and sets *dup to it.
std::optional<Value> make_set_checked(std::span<const Value> items, Value* dup);

}  // namespace kelp
