// Persistent maps: array maps that keep insertion order up to 8 entries, hash array mapped tries above that
// (as Clojure's PersistentArrayMap and PersistentHashMap, iterating in the same order), and the generic map
// operations, which also serve sorted maps.
#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "kelp/data/value.hpp"

namespace kelp {

inline constexpr int64_t ARRAY_MAP_MAX = 8;

// A map the runtime defines beyond the data layer (a record): an object of Kind::Other with the MAP trait, which
// answers assoc and dissoc itself.
class ExtensionMap : public Object {
 public:
  using Object::Object;
  virtual Value assoc(Value key, Value val) const = 0;
  virtual Value dissoc(const Value& key) const = 0;
};
inline const ExtensionMap* as_extension_map(const Value& v) {
  return v.is(Kind::Other) && v.has(MAP) ? static_cast<const ExtensionMap*>(v.obj()) : nullptr;
}

Value empty_map();
// Generic over array, hash and sorted maps. assoc on nil makes a map.
Value assoc(const Value& map, Value key, Value val);
// The same, for a map handed over: when the caller gave up the only reference to a hash map, its trie is edited
// in place instead of copied along the key's path (`m = assoc(std::move(m), k, v)`).
Value assoc(Value&& map, Value key, Value val);
Value dissoc(const Value& map, const Value& key);
// The value for key, or nullptr (nil map: nullptr).
const Value* get(const Value& map, const Value& key);
bool contains(const Value& map_or_set, const Value& key);
// All keys, in iteration order.
Value keys(const Value& map);
// A two-element vector, as Clojure's MapEntry.
Value map_entry(Value k, Value v);

// A map from alternating keys and values in `kvs`; the last value of a repeated key wins. Up to 8 entries make
// an array map in the given order, more a hash map.
Value make_map(std::span<const Value> kvs);
Value make_map(std::initializer_list<Value> kvs);
// As make_map, but a repeated key is a failure: answers nothing and sets *dup to the key.
std::optional<Value> make_map_checked(std::span<const Value> kvs, Value* dup);

// Whether a map is an array map (insertion order) or a hash map.
bool is_map(const Value& v);

// A transient hash map for building big maps quickly.
class TransientMap {
 public:
  TransientMap();
  explicit TransientMap(const Value& map);
  ~TransientMap();
  TransientMap(TransientMap&&) noexcept;
  TransientMap& operator=(TransientMap&&) noexcept;
  void assoc(Value key, Value val);
  void dissoc(const Value& key);
  const Value* get(const Value& key) const;
  int64_t count() const;
  Value persistent();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelp
