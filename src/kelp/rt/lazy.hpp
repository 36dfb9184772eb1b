// Lazy sequences and cons cells, and the sequence operations of the runtime.
#pragma once

#include <functional>
#include <mutex>

#include "kelp/data/seq.hpp"
#include "kelp/data/value.hpp"

namespace kelp::rt {

// (lazy-seq body): realised once, thread-safely, by calling a function of no arguments. A lazy seq whose
// body answers another lazy seq is unwrapped in a loop, not by recursion.
class LazySeq final : public SeqObject {
 public:
  explicit LazySeq(Value thunk, Value meta = {});
  Value first() const override;
  Value next() const override;
  Value seq() const override;     // the realised sequence, or nil when empty
  bool is_realized() const;
  bool each(FunctionRef<bool(const Value&)> f) const override;  // visits nothing when empty
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override;
  int32_t compute_hash() const override;
  std::string_view type_name() const override { return "clojure.lang.LazySeq"; }

 private:
  Value realize() const;
  mutable std::recursive_mutex mutex_;  // a body may look at its own seq, as the JVM's monitor allows
  mutable Value thunk_;   // nil once realised
  mutable Value seq_;
  mutable bool realized_ = false;
  Value meta_;
};

// (cons x seq)
class Cons final : public SeqObject {
 public:
  Cons(Value first, Value more, Value meta = {});
  Value first() const override { return first_; }
  Value next() const override;
  const Value& more() const { return more_; }
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override;
  std::string_view type_name() const override { return "clojure.lang.Cons"; }

 private:
  Value first_, more_;
  Value meta_;
};

Value make_lazy_seq(Value thunk);
// A lazy seq whose body is a C++ function.
Value make_lazy_seq(std::function<Value()> body);
Value cons(Value x, const Value& coll);

// Clojure's seq functions over any seqable value; all throw IllegalArgumentException "Don't know how to create
// ISeq from: java.lang.Long" for values that are not seqable.
Value seq(const Value& coll);
Value first(const Value& coll);
Value next(const Value& coll);
Value rest(const Value& coll);     // never nil: () when there is nothing more
Value second(const Value& coll);
bool is_seqable(const Value& v);
bool is_seq(const Value& v);       // seq?: an ISeq

}  // namespace kelp::rt
