// Sequences: anything with first and next. Lists are sequences; collections hand out sequence objects;
// the runtime adds lazy sequences and cons cells as further SeqObject kinds.
#pragma once

#include "kelp/data/value.hpp"

namespace kelp {

class SeqObject : public Object {
 public:
  SeqObject(Kind kind, uint32_t traits) : Object(kind, traits | SEQ | SEQUENTIAL | COLL) {}
  virtual Value first() const = 0;
  // The rest as a sequence, or nil when there is none.
  virtual Value next() const = 0;
  int32_t compute_hash() const override;
  bool each(FunctionRef<bool(const Value&)> f) const override;
  int64_t count() const override;
  Value seq() const override;
  std::string_view type_name() const override { return "clojure.lang.ASeq"; }
};

// first and next of any seqable value (nil for nil or empty).
Value first(const Value& coll);
Value next(const Value& coll);

}  // namespace kelp
