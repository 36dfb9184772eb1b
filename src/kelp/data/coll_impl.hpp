// Pieces the collection files share: the hashes of maps and sets, and the sorted collections' operations that
// the generic map and set functions dispatch to.
#pragma once

#include <memory>

#include "kelp/data/error.hpp"
#include "kelp/data/hash.hpp"
#include "kelp/data/value.hpp"

namespace kelp::coll {

// A map entry hashes as the vector [k v] would.
inline int32_t entry_hash(const Value& k, const Value& v) {
  murmur3::Ordered o;
  o.add(hash(k));
  o.add(hash(v));
  return o.finish();
}

inline int32_t map_hash(const Object& m) {
  murmur3::Unordered h;
  m.each_entry([&](const Value& k, const Value& v) { h.add(entry_hash(k, v)); return true; });
  return h.finish();
}

// A transient's state, or the error of a transient used after persistent!. A template, so that it can name the
// transient's private state by deduction.
template <class Impl>
Impl& live(const std::unique_ptr<Impl>& impl) {
  if (!impl) throw ValueError("java.lang.IllegalAccessError", "Transient used after persistent! call.");
  return *impl;
}

inline int32_t set_hash(const Object& s) {
  murmur3::Unordered h;
  s.each([&](const Value& x) { h.add(hash(x)); return true; });
  return h.finish();
}

// Sorted maps and sets (sorted.cpp).
Value sorted_assoc(const Value& map, Value key, Value val);
Value sorted_dissoc(const Value& map, const Value& key);
Value sorted_conj(const Value& set, Value x);
Value sorted_disj(const Value& set, const Value& x);

[[noreturn]] void cannot_cast(const Value& v, const char* java_interface);

}  // namespace kelp::coll
