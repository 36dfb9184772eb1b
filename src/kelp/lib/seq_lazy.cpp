#include "kelp/lib/seq_lazy.hpp"

#include <thread>
#include <unordered_set>

#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/set.hpp"
#include "kelp/lib/seq_util.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib::seqs {

// --- The cell

LazyCell::~LazyCell() {
  // A long realised chain is freed in a loop rather than by each cell's destructor calling the next one's.
  Value r = std::move(rest_);
  while (r.is(Kind::Seq) && r.obj()->ref_count() == 1) {
    auto* cell = dynamic_cast<const LazyCell*>(r.obj());
    if (!cell) break;
    std::atomic_thread_fence(std::memory_order_acquire);
    Value after = std::move(cell->rest_);
    r = std::move(after);
  }
}

void LazyCell::realize() const {
  uint8_t expected = PENDING;
  while (!state_.compare_exchange_weak(expected, BUSY, std::memory_order_acq_rel)) {
    if (expected == DONE) return;
    expected = PENDING;
    std::this_thread::yield();  // another thread is computing this cell
  }
  try {
    rt::safe_point();
    rt::check_stack();
    Value f, r;
    empty_ = !compute(f, r);
    first_ = std::move(f);
    rest_ = std::move(r);
    drop_state();
  } catch (...) {
    state_.store(PENDING, std::memory_order_release);  // a later use tries again, as Clojure's lazy seqs do
    throw;
  }
  state_.store(DONE, std::memory_order_release);
}

Value LazyCell::first() const {
  force();
  return first_;
}

Value LazyCell::next() const {
  force();
  return empty_ ? NIL : seq_of(rest_);
}

Value LazyCell::seq() const {
  force();
  return empty_ ? NIL : Value::share(this);
}

Value LazyCell::more() const {
  force();
  return empty_ || rest_.is_nil() ? empty_list() : rest_;
}

bool LazyCell::each(FunctionRef<bool(const Value&)> f) const {
  Value s = seq();
  size_t steps = 0;
  while (!s.is_nil()) {
    if ((++steps & 1023) == 0) rt::safe_point();
    const SeqObject& cell = s.as<SeqObject>();
    if (!f(cell.first())) return false;
    Value n = cell.next();
    s = std::move(n);
  }
  return true;
}

namespace {

// A cell computed by a step state S: S::step(first, rest) answers false when the sequence ends; S::fold(f), when
// present, runs the whole computation into f.
template <class S>
class OpSeq final : public LazyCell {
 public:
  explicit OpSeq(S s) : st_(std::move(s)) {}
  bool fold_fused(FunctionRef<bool(const Value&)> f, bool& handled) const override {
    if constexpr (requires(S& s) { s.fold(f); }) {
      handled = true;
      return st_.fold(f);
    } else {
      return LazyCell::fold_fused(f, handled);
    }
  }

 protected:
  bool compute(Value& first, Value& rest) const override { return st_.step(first, rest); }
  void drop_state() const override { st_ = S{}; }

 private:
  mutable S st_;
};

template <class S>
Value make(S s) {
  return Value::adopt(new OpSeq<S>(std::move(s)));
}

// first and rest of a value known to be a non-empty sequence.
Value sfirst(const Value& s) { return s.as<SeqObject>().first(); }
Value snext(const Value& s) { return s.as<SeqObject>().next(); }

// Folds that stop when a count runs out must tell that apart from f stopping.
struct Stop {
  bool by_f = false;
};

struct Map1 {
  Value f, src;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    if (s.is_nil()) return false;
    first = call1(f, sfirst(s));
    rest = make(Map1{f, rest_of(s)});
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    return seqs::fold(src, [&](const Value& x) { return g(call1(f, x)); });
  }
};

struct MapN {
  Value f;
  std::vector<Value> srcs;
  bool step(Value& first, Value& rest) {
    std::vector<Value> heads, tails;
    heads.reserve(srcs.size());
    tails.reserve(srcs.size());
    for (const Value& c : srcs) {
      Value s = seq_of(c);
      if (s.is_nil()) return false;
      heads.push_back(sfirst(s));
      tails.push_back(rest_of(s));
    }
    first = rt::call(f, rt::Args(heads.data(), heads.size()));
    rest = make(MapN{f, std::move(tails)});
    return true;
  }
};

struct Filter {
  Value pred, src;
  bool keep = true;
  bool step(Value& first, Value& rest) {
    for (Value s = seq_of(src); !s.is_nil(); s = snext(s)) {
      rt::safe_point();
      Value x = sfirst(s);
      if (call1(pred, x).truthy() == keep) {
        first = std::move(x);
        rest = make(Filter{pred, rest_of(s), keep});
        return true;
      }
    }
    return false;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    return seqs::fold(src, [&](const Value& x) { return call1(pred, x).truthy() != keep || g(x); });
  }
};

struct Keep {
  Value f, src;
  int64_t index = -1;  // >= 0: keep-indexed, f takes the index first
  Value apply(const Value& x) const { return index < 0 ? call1(f, x) : call2(f, Value::integer(index), x); }
  bool step(Value& first, Value& rest) {
    for (Value s = seq_of(src); !s.is_nil(); s = snext(s)) {
      rt::safe_point();
      Value v = apply(sfirst(s));
      if (index >= 0) ++index;
      if (!v.is_nil()) {
        first = std::move(v);
        rest = make(Keep{f, rest_of(s), index});
        return true;
      }
    }
    return false;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    return seqs::fold(src, [&](const Value& x) {
      Value v = apply(x);
      if (index >= 0) ++index;
      return v.is_nil() || g(v);
    });
  }
};

struct MapIndexed {
  Value f, src;
  int64_t index = 0;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    if (s.is_nil()) return false;
    first = call2(f, Value::integer(index), sfirst(s));
    rest = make(MapIndexed{f, rest_of(s), index + 1});
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    return seqs::fold(src, [&](const Value& x) { return g(call2(f, Value::integer(index++), x)); });
  }
};

struct Take {
  int64_t n = 0;
  Value src;
  bool step(Value& first, Value& rest) {
    if (n <= 0) return false;
    Value s = seq_of(src);
    if (s.is_nil()) return false;
    first = sfirst(s);
    if (n > 1) rest = make(Take{n - 1, rest_of(s)});
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    if (n <= 0) return true;
    Stop stop;
    seqs::fold(src, [&](const Value& x) {
      if (!g(x)) return !(stop.by_f = true);
      return --n > 0;
    });
    return !stop.by_f;
  }
};

struct Drop {
  int64_t n = 0;
  Value src;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    for (int64_t i = 0; i < n && !s.is_nil(); ++i) {
      rt::safe_point();
      s = snext(s);
    }
    if (s.is_nil()) return false;
    first = sfirst(s);
    rest = rest_of(s);
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    int64_t skipped = 0;
    return seqs::fold(src, [&](const Value& x) { return skipped++ < n || g(x); });
  }
};

struct TakeWhile {
  Value pred, src;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    if (s.is_nil()) return false;
    Value x = sfirst(s);
    if (!call1(pred, x).truthy()) return false;
    first = std::move(x);
    rest = make(TakeWhile{pred, rest_of(s)});
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    Stop stop;
    seqs::fold(src, [&](const Value& x) {
      if (!call1(pred, x).truthy()) return false;
      if (!g(x)) return !(stop.by_f = true);
      return true;
    });
    return !stop.by_f;
  }
};

struct DropWhile {
  Value pred, src;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    while (!s.is_nil() && call1(pred, sfirst(s)).truthy()) {
      rt::safe_point();
      s = snext(s);
    }
    if (s.is_nil()) return false;
    first = sfirst(s);
    rest = rest_of(s);
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    bool dropping = true;
    return seqs::fold(src, [&](const Value& x) {
      if (dropping && call1(pred, x).truthy()) return true;
      dropping = false;
      return g(x);
    });
  }
};

struct TakeNth {
  int64_t n = 1;
  Value src;
  int64_t skip = 0;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    for (int64_t i = 0; i < skip && !s.is_nil(); ++i) s = snext(s);
    if (s.is_nil()) return false;
    first = sfirst(s);
    rest = make(TakeNth{n, rest_of(s), n - 1});
    return true;
  }
};

struct Iterate {
  Value f, x;
  bool apply = false;  // the first element is f of x rather than x
  bool step(Value& first, Value& rest) {
    Value v = apply ? call1(f, x) : x;
    first = v;
    rest = make(Iterate{f, std::move(v), true});
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    Value v = apply ? call1(f, x) : x;
    for (;;) {
      rt::safe_point();
      if (!g(v)) return false;
      Value n = call1(f, v);
      v = std::move(n);
    }
  }
};

struct Repeat {
  Value x;
  int64_t n = -1;
  Value f;  // repeatedly: called for each element
  Value item() const { return f.is_nil() ? x : rt::call(f); }
  bool step(Value& first, Value& rest) {
    if (n == 0) return false;
    first = item();
    if (n != 1) rest = make(Repeat{x, n < 0 ? -1 : n - 1, f});
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    for (int64_t i = n; i != 0; i = i < 0 ? -1 : i - 1) {
      rt::safe_point();
      if (!g(item())) return false;
    }
    return true;
  }
};

struct Cycle {
  Value coll, cur;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(cur);
    if (s.is_nil()) s = seq_of(coll);
    if (s.is_nil()) return false;
    first = sfirst(s);
    rest = make(Cycle{coll, rest_of(s)});
    return true;
  }
};

struct Concat {
  Value cur, colls;
  bool step(Value& first, Value& rest) {
    for (;;) {
      rt::safe_point();
      Value s = seq_of(cur);
      if (!s.is_nil()) {
        first = sfirst(s);
        rest = make(Concat{rest_of(s), colls});
        return true;
      }
      Value cs = seq_of(colls);
      if (cs.is_nil()) return false;
      cur = sfirst(cs);
      colls = rest_of(cs);
    }
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    if (!seqs::fold(cur, g)) return false;
    Stop stop;
    seqs::fold(colls, [&](const Value& c) {
      if (!seqs::fold(c, g)) return !(stop.by_f = true);
      return true;
    });
    return !stop.by_f;
  }
};

struct Interleave {
  std::vector<Value> srcs;
  size_t index = 0;
  bool step(Value& first, Value& rest) {
    if (index == 0) {
      for (Value& c : srcs) {
        Value s = seq_of(c);
        if (s.is_nil()) return false;
        c = std::move(s);
      }
    }
    first = sfirst(srcs[index]);
    std::vector<Value> after = srcs;
    after[index] = rest_of(srcs[index]);
    rest = make(Interleave{std::move(after), (index + 1) % srcs.size()});
    return true;
  }
};

struct Interpose {
  Value sep, src;
  bool sep_next = false;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    if (s.is_nil()) return false;
    if (sep_next) {
      first = sep;
      rest = make(Interpose{sep, std::move(s), false});
    } else {
      first = sfirst(s);
      rest = make(Interpose{sep, rest_of(s), true});
    }
    return true;
  }
};

struct Distinct {
  Value src, seen;
  bool step(Value& first, Value& rest) {
    if (seen.is_nil()) seen = empty_set();
    for (Value s = seq_of(src); !s.is_nil(); s = snext(s)) {
      rt::safe_point();
      Value x = sfirst(s);
      if (!contains(seen, x)) {
        rest = make(Distinct{rest_of(s), set_conj(seen, x)});
        first = std::move(x);
        return true;
      }
    }
    return false;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    std::unordered_set<Value, ValueHash, ValueEq> set;
    if (!seen.is_nil()) each_of(seen, [&](const Value& x) { set.insert(x); return true; });
    return seqs::fold(src, [&](const Value& x) { return !set.insert(x).second || g(x); });
  }
};

struct Dedupe {
  Value src, prev;
  bool has_prev = false;
  bool step(Value& first, Value& rest) {
    for (Value s = seq_of(src); !s.is_nil(); s = snext(s)) {
      rt::safe_point();
      Value x = sfirst(s);
      if (!has_prev || !equiv(x, prev)) {
        rest = make(Dedupe{rest_of(s), x, true});
        first = std::move(x);
        return true;
      }
    }
    return false;
  }
};

struct Partition {
  int64_t n = 0, step_by = 0;
  bool has_pad = false;
  Value pad, src;
  bool all = false;
  int64_t skip = 0;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    for (int64_t i = 0; i < skip && !s.is_nil(); ++i) {
      rt::safe_point();
      s = snext(s);
    }
    if (s.is_nil()) return false;
    std::vector<Value> items;
    for (Value t = s; !t.is_nil() && static_cast<int64_t>(items.size()) < n; t = snext(t)) items.push_back(sfirst(t));
    if (static_cast<int64_t>(items.size()) < n && !all) {
      if (!has_pad) return false;
      each_of(pad, [&](const Value& x) {
        items.push_back(x);
        return static_cast<int64_t>(items.size()) < n;
      });
      first = make_list(items);
      return true;  // a padded partition is the last
    }
    first = make_list(items);
    rest = make(Partition{n, step_by, has_pad, pad, std::move(s), all, step_by});
    return true;
  }
};

struct PartitionBy {
  Value f, src;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    if (s.is_nil()) return false;
    std::vector<Value> run{sfirst(s)};
    Value key = call1(f, run.front());
    Value t = snext(s);
    for (; !t.is_nil(); t = snext(t)) {
      rt::safe_point();
      Value x = sfirst(t);
      if (!equiv(call1(f, x), key)) break;
      run.push_back(std::move(x));
    }
    first = make_list(run);
    rest = make(PartitionBy{f, std::move(t)});
    return true;
  }
};

struct Reductions {
  Value f, acc, src;
  bool has_acc = false;  // false: the first element (or (f)) seeds the sums
  bool emitted = false;  // acc has been given out
  bool step(Value& first, Value& rest) {
    if (!has_acc) {
      Value s = seq_of(src);
      if (s.is_nil()) {
        first = rt::call(f);
        return true;
      }
      return Reductions{f, sfirst(s), rest_of(s), true, false}.step(first, rest);
    }
    if (!emitted) {
      first = is_reduced(acc) ? reduced_value(acc) : acc;
      if (!is_reduced(acc)) rest = make(Reductions{f, acc, src, true, true});
      return true;
    }
    Value s = seq_of(src);
    if (s.is_nil()) return false;
    Value next = call2(f, acc, sfirst(s));
    if (is_reduced(next)) {
      first = reduced_value(next);
      return true;
    }
    first = next;
    rest = make(Reductions{f, std::move(next), rest_of(s), true, true});
    return true;
  }
};

// Depth first over a tree, with the seqs of siblings still to visit on a stack.
struct TreeSeq {
  Value branch, children;
  std::vector<Value> stack;
  Value pending;  // the node given out last, whose children come next
  bool has_pending = false;
  bool step(Value& first, Value& rest) {
    if (has_pending && call1(branch, pending).truthy()) stack.push_back(call1(children, pending));
    while (!stack.empty()) {
      rt::safe_point();
      Value s = seq_of(stack.back());
      if (s.is_nil()) {
        stack.pop_back();
        continue;
      }
      Value node = sfirst(s);
      stack.back() = rest_of(s);
      first = node;
      rest = make(TreeSeq{branch, children, stack, std::move(node), true});
      return true;
    }
    return false;
  }
};

struct Flatten {
  std::vector<Value> stack;
  bool step(Value& first, Value& rest) {
    while (!stack.empty()) {
      rt::safe_point();
      Value s = seq_of(stack.back());
      if (s.is_nil()) {
        stack.pop_back();
        continue;
      }
      Value x = sfirst(s);
      stack.back() = rest_of(s);
      if (x.has(SEQUENTIAL)) {
        stack.push_back(std::move(x));
        continue;
      }
      first = std::move(x);
      rest = make(Flatten{stack});
      return true;
    }
    return false;
  }
};

struct NumRange {
  Value cur, end, by, plus;
  bool bounded = true;
  bool in_range() const {
    if (!bounded) return true;
    int dir = number_compare(by, Value::integer(0));
    if (dir > 0) return number_compare(cur, end) < 0;
    if (dir < 0) return number_compare(cur, end) > 0;
    return number_compare(cur, end) != 0;  // a zero step repeats start forever, unless start is end
  }
  bool step(Value& first, Value& rest) {
    if (!in_range()) return false;
    first = cur;
    rest = make(NumRange{call2(plus, cur, by), end, by, plus, bounded});
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) {
    for (; in_range(); cur = call2(plus, cur, by)) {
      rt::safe_point();
      if (!g(cur)) return false;
    }
    return true;
  }
};

// Integer ranges are not lazy cells: every cell is computed in constant time, and the range counts and folds
// itself without making cells at all.
class IntRange final : public SeqObject {
 public:
  IntRange(int64_t start, int64_t end, int64_t step, bool bounded, Value meta = {})
      : SeqObject(Kind::Seq, (bounded ? uint32_t{COUNTED} : 0u) | META),
        start_(start), end_(end), step_(step), bounded_(bounded), meta_(std::move(meta)) {}
  Value first() const override { return Value::integer(start_); }
  Value next() const override {
    int64_t n;
    if (__builtin_add_overflow(start_, step_, &n) || !contains(n)) return NIL;
    return Value::adopt(new IntRange(n, end_, step_, bounded_));
  }
  int64_t count() const override {
    if (!bounded_) rt::throw_arithmetic("integer overflow");
    __int128 span = static_cast<__int128>(end_) - start_;
    __int128 n = (span + step_ - (step_ > 0 ? 1 : -1)) / step_;
    return static_cast<int64_t>(n);
  }
  bool each(FunctionRef<bool(const Value&)> f) const override {
    int64_t i = start_;
    for (uint32_t steps = 0;; ++steps) {
      if ((steps & 4095) == 0) rt::safe_point();
      if (!f(Value::integer(i))) return false;
      if (__builtin_add_overflow(i, step_, &i) || !contains(i)) return true;
    }
  }
  std::string_view type_name() const override { return bounded_ ? "clojure.lang.LongRange" : "clojure.lang.Iterate"; }
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override {
    return Value::adopt(new IntRange(start_, end_, step_, bounded_, m));
  }

 private:
  bool contains(int64_t n) const { return !bounded_ || (step_ > 0 ? n < end_ : n > end_); }
  int64_t start_, end_, step_;
  bool bounded_;
  Value meta_;
};

// The elements of another sequence, as they are: the cell with-meta answers.
struct Same {
  Value src;
  bool step(Value& first, Value& rest) {
    Value s = seq_of(src);
    if (s.is_nil()) return false;
    first = sfirst(s);
    rest = rest_of(s);
    return true;
  }
  bool fold(FunctionRef<bool(const Value&)> g) { return seqs::fold(src, g); }
};

}  // namespace

Value LazyCell::with_meta(const Value& m) const {
  auto* copy = new OpSeq<Same>(Same{Value::share(this)});
  static_cast<LazyCell*>(copy)->meta_ = m;
  return Value::adopt(copy);
}

Value lazy_map(Value f, Value coll) { return make(Map1{std::move(f), std::move(coll)}); }
Value lazy_map_n(Value f, std::vector<Value> colls) { return make(MapN{std::move(f), std::move(colls)}); }
Value lazy_filter(Value pred, Value coll, bool keep_truthy) {
  return make(Filter{std::move(pred), std::move(coll), keep_truthy});
}
Value lazy_keep(Value f, Value coll) { return make(Keep{std::move(f), std::move(coll), -1}); }
Value lazy_keep_indexed(Value f, Value coll) { return make(Keep{std::move(f), std::move(coll), 0}); }
Value lazy_map_indexed(Value f, Value coll) { return make(MapIndexed{std::move(f), std::move(coll), 0}); }
Value lazy_take(int64_t n, Value coll) { return make(Take{n, std::move(coll)}); }
Value lazy_drop(int64_t n, Value coll) { return make(Drop{n, std::move(coll)}); }
Value lazy_take_while(Value pred, Value coll) { return make(TakeWhile{std::move(pred), std::move(coll)}); }
Value lazy_drop_while(Value pred, Value coll) { return make(DropWhile{std::move(pred), std::move(coll)}); }
Value lazy_take_nth(int64_t n, Value coll) { return make(TakeNth{n, std::move(coll), 0}); }
Value lazy_iterate(Value f, Value x) { return make(Iterate{std::move(f), std::move(x), false}); }
Value lazy_repeat(Value x, int64_t n) { return make(Repeat{std::move(x), n, {}}); }
Value lazy_repeatedly(Value f, int64_t n) { return make(Repeat{{}, n, std::move(f)}); }
Value lazy_cycle(Value coll) { return make(Cycle{coll, coll}); }
Value lazy_concat(Value colls) { return make(Concat{{}, std::move(colls)}); }
Value lazy_interleave(std::vector<Value> colls) { return make(Interleave{std::move(colls), 0}); }
Value lazy_interpose(Value sep, Value coll) { return make(Interpose{std::move(sep), std::move(coll), false}); }
Value lazy_distinct(Value coll) { return make(Distinct{std::move(coll), {}}); }
Value lazy_dedupe(Value coll) { return make(Dedupe{std::move(coll), {}, false}); }
Value lazy_partition(int64_t n, int64_t step, bool has_pad, Value pad, Value coll, bool all) {
  return make(Partition{n, step, has_pad, std::move(pad), std::move(coll), all, 0});
}
Value lazy_partition_by(Value f, Value coll) { return make(PartitionBy{std::move(f), std::move(coll)}); }
Value lazy_reductions(Value f, bool has_init, Value init, Value coll) {
  return make(Reductions{std::move(f), std::move(init), std::move(coll), has_init, false});
}
Value lazy_tree_seq(Value branch, Value children, Value root) {
  return make(TreeSeq{std::move(branch), std::move(children), {make_list({std::move(root)})}, {}, false});
}
Value lazy_flatten(Value x) {
  if (!x.has(SEQUENTIAL)) return empty_list();
  return make(Flatten{{std::move(x)}});
}

Value int_range(int64_t start, int64_t end, int64_t step, bool bounded) {
  if (bounded) {
    if (step == 0) return start == end ? empty_list() : lazy_repeat(Value::integer(start), -1);
    if (step > 0 ? start >= end : start <= end) return empty_list();
  }
  return Value::adopt(new IntRange(start, end, step, bounded));
}

Value num_range(Value start, Value end, Value step, bool bounded, Value plus) {
  return make(NumRange{std::move(start), std::move(end), std::move(step), std::move(plus), bounded});
}

}  // namespace kelp::lib::seqs
