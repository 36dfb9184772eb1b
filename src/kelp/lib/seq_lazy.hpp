// The lazy sequences clojure.core's sequence functions answer. Each cell is computed once, on first use, by a
// small step state; the cell then keeps its first element and the (still unrealised) rest and drops the state.
#pragma once

#include <atomic>
#include <vector>

#include "kelp/data/seq.hpp"
#include "kelp/data/value.hpp"

namespace kelp::lib::seqs {

class LazyCell : public SeqObject {
 public:
  LazyCell() : SeqObject(Kind::Seq, META) {}
  ~LazyCell() override;
  Value first() const override;
  Value next() const override;
  Value seq() const override;
  bool each(FunctionRef<bool(const Value&)> f) const override;
  std::string_view type_name() const override { return "clojure.lang.LazySeq"; }
  Value meta() const override { return meta_; }
  // A cell with the same elements (computed by this one, still lazily) and the given metadata.
  Value with_meta(const Value& m) const override;

  // The rest without realising it: () when there is none.
  Value more() const;
  bool realized() const { return state_.load(std::memory_order_acquire) == DONE; }
  // Runs the unrealised computation straight into f without caching; `handled` is false when this step kind
  // cannot (the caller then walks the cells).
  virtual bool fold_fused(FunctionRef<bool(const Value&)> f, bool& handled) const {
    handled = false;
    (void)f;
    return true;
  }

 protected:
  // Computes this cell: answers false for an empty sequence, else sets first and rest (a seqable or nil).
  virtual bool compute(Value& first, Value& rest) const = 0;
  // Releases what compute needed, once the cell is realised.
  virtual void drop_state() const = 0;

 private:
  void force() const {
    if (state_.load(std::memory_order_acquire) != DONE) realize();
  }
  void realize() const;
  static constexpr uint8_t PENDING = 0, BUSY = 1, DONE = 2;
  mutable std::atomic<uint8_t> state_{PENDING};
  mutable bool empty_ = false;
  mutable Value first_, rest_;

 protected:
  Value meta_;
};

// Lazy sequence constructors. `coll` arguments are any seqable values, not yet touched.
Value lazy_map(Value f, Value coll);
Value lazy_map_n(Value f, std::vector<Value> colls);
Value lazy_filter(Value pred, Value coll, bool keep_truthy);
Value lazy_keep(Value f, Value coll);
Value lazy_keep_indexed(Value f, Value coll);
Value lazy_map_indexed(Value f, Value coll);
Value lazy_take(int64_t n, Value coll);
Value lazy_drop(int64_t n, Value coll);
Value lazy_take_while(Value pred, Value coll);
Value lazy_drop_while(Value pred, Value coll);
Value lazy_take_nth(int64_t n, Value coll);
Value lazy_iterate(Value f, Value x);
Value lazy_repeat(Value x, int64_t n);  // n < 0: forever
Value lazy_repeatedly(Value f, int64_t n);
Value lazy_cycle(Value coll);
// The elements of each coll of `colls` (a seqable of seqables) in turn.
Value lazy_concat(Value colls);
Value lazy_interleave(std::vector<Value> colls);
Value lazy_interpose(Value sep, Value coll);
Value lazy_distinct(Value coll);
Value lazy_dedupe(Value coll);
// partition (all = false) and partition-all (all = true); pad: a seqable or nil when has_pad is false.
Value lazy_partition(int64_t n, int64_t step, bool has_pad, Value pad, Value coll, bool all);
Value lazy_partition_by(Value f, Value coll);
Value lazy_reductions(Value f, bool has_init, Value init, Value coll);
Value lazy_tree_seq(Value branch, Value children, Value root);
Value lazy_flatten(Value x);
// (range): integers from start by step, below end (above end for a negative step); forever when !bounded.
Value int_range(int64_t start, int64_t end, int64_t step, bool bounded);
// Ranges over other numbers (doubles, big integers, ratios): numbers added with `plus`.
Value num_range(Value start, Value end, Value step, bool bounded, Value plus);

}  // namespace kelp::lib::seqs
