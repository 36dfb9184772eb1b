// Sorted maps and sets: persistent balanced trees ordered by a comparator (Clojure's compare by default).
#pragma once

#include <memory>
#include <span>

#include "kelp/data/value.hpp"

namespace kelp {

// Orders values for a sorted collection. The runtime supplies comparators that call user functions.
class Comparator {
 public:
  virtual ~Comparator() = default;
  // Negative, zero or positive. May throw ValueError for values it cannot order.
  virtual int compare(const Value& a, const Value& b) const = 0;
};

// Clojure's compare.
std::shared_ptr<const Comparator> default_comparator();

Value empty_sorted_map(std::shared_ptr<const Comparator> cmp = nullptr);
Value empty_sorted_set(std::shared_ptr<const Comparator> cmp = nullptr);
Value make_sorted_map(std::span<const Value> kvs, std::shared_ptr<const Comparator> cmp = nullptr);
Value make_sorted_set(std::span<const Value> items, std::shared_ptr<const Comparator> cmp = nullptr);

// Entries (sorted maps) or members (sorted sets) from `key` onward (ascending) or down to it (descending),
// as subseq and rsubseq need: a sequence or nil.
Value sorted_seq_from(const Value& coll, const Value& key, bool ascending, bool inclusive);
Value sorted_rseq(const Value& coll);

}  // namespace kelp
