// Java arrays: fixed-size, mutable sequences of elements of one type (made by int-array, object-array, to-array,
// into-array, ...). They count, seq and index like collections but are not Clojure collections.
#pragma once

#include <string>
#include <vector>

#include "kelp/data/value.hpp"
#include "kelp/rt/namespace.hpp"

namespace kelp::lib {

class JavaArray final : public Object {
 public:
  // type: the JVM's name for the array class ("[J", "[Ljava.lang.Object;").
  JavaArray(std::string type, std::vector<Value> items);
  int64_t count() const override { return static_cast<int64_t>(items_.size()); }
  bool each(FunctionRef<bool(const Value&)> f) const override;
  Value seq() const override;  // the elements as they are now; nil when empty
  std::string_view type_name() const override { return type_; }

  // The element code: J I S B D F C Z, or L for objects.
  char element() const { return type_.size() > 1 ? type_[1] : 'L'; }
  const Value& at(int64_t i) const;  // ArrayIndexOutOfBoundsException when out of range
  void set(int64_t i, Value v) const;
  std::vector<Value>& items() const { return items_; }

 private:
  std::string type_;
  mutable std::vector<Value> items_;  // arrays are mutable in place, as Java's
};

// The array v is, or null.
const JavaArray* as_array(const Value& v);

void install_arrays(rt::Namespace* core);

}  // namespace kelp::lib
