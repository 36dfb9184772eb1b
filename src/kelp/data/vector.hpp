// Persistent vectors: 32-way tries with a tail, as Clojure's PersistentVector.
#pragma once

#include <initializer_list>
#include <memory>
#include <span>

#include "kelp/data/value.hpp"

namespace kelp {

struct VectorNode;

class Vector final : public Object {
 public:
  Vector(int64_t count, int32_t shift, std::shared_ptr<const VectorNode> root, std::shared_ptr<const VectorNode> tail,
         Value meta);
  int64_t count() const override { return count_; }
  // Element i, 0 <= i < count().
  const Value& nth(int64_t i) const;
  bool each(FunctionRef<bool(const Value&)> f) const override;
  Value seq() const override;
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override;
  int32_t compute_hash() const override;
  std::string_view type_name() const override { return "clojure.lang.PersistentVector"; }

  // Internals shared with the transient.
  int64_t count_;
  int32_t shift_;
  std::shared_ptr<const VectorNode> root_, tail_;
  Value meta_;
};

Value empty_vector();
Value make_vector(std::span<const Value> items);
Value make_vector(std::initializer_list<Value> items);
Value vector_conj(const Value& v, Value x);
// Replaces element i; i == count appends. Throws ValueError (IndexOutOfBoundsException) otherwise.
Value vector_assoc(const Value& v, int64_t i, Value x);
// Without the last element; throws ValueError on an empty vector.
Value vector_pop(const Value& v);
// Element i, or nullptr when out of range.
const Value* vector_get(const Value& v, int64_t i);

// A transient vector: conj and assoc in place, then persistent() once.
class TransientVector {
 public:
  TransientVector();
  explicit TransientVector(const Value& vector);
  ~TransientVector();
  TransientVector(TransientVector&&) noexcept;
  TransientVector& operator=(TransientVector&&) noexcept;
  void conj(Value x);
  void assoc(int64_t i, Value x);
  int64_t count() const;
  // Element i, or nullptr when out of range.
  const Value* get(int64_t i) const;
  // The persistent vector; the transient must not be used afterwards.
  Value persistent();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelp
