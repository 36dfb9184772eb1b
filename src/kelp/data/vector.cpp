#include "kelp/data/vector.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "kelp/data/coll_impl.hpp"
#include "kelp/data/error.hpp"
#include "kelp/data/hash.hpp"
#include "kelp/data/seq.hpp"

namespace kelp {

// A trie node: a leaf holds values, a branch holds children; which one follows from its depth. Every node has
// room for 32 slots, of which the first `size` are constructed.
//
// A tail leaf may be shared by several versions of a vector, each reading only as far as its own count. conj
// appends in place when the slot after its last element is still free, claiming it by moving `size` on
// atomically, and copies the tail only when another version got there first. The older versions never see the
// slot; the cost is that a tail may keep up to 31 values of newer versions alive.
struct VectorNode {
  explicit VectorNode(bool is_leaf) : leaf(is_leaf) {}
  VectorNode(const VectorNode&) = delete;
  VectorNode& operator=(const VectorNode&) = delete;
  ~VectorNode() {
    uint32_t n = size.load(std::memory_order_relaxed);
    if (leaf) {
      for (uint32_t i = 0; i < n; ++i) vals[i].~Value();
    } else {
      for (uint32_t i = 0; i < n; ++i) kids[i].~shared_ptr();
    }
  }
  uint32_t used() const { return size.load(std::memory_order_relaxed); }
  // Appends to a node the caller alone can reach.
  void push(Value x) {
    uint32_t n = used();
    new (&vals[n]) Value(std::move(x));
    size.store(n + 1, std::memory_order_relaxed);
  }
  void push(std::shared_ptr<const VectorNode> k) {
    uint32_t n = used();
    new (&kids[n]) std::shared_ptr<const VectorNode>(std::move(k));
    size.store(n + 1, std::memory_order_relaxed);
  }
  // Drops the values from slot n on, in a leaf the caller alone can reach.
  void truncate(uint32_t n) {
    for (uint32_t i = n; i < used(); ++i) vals[i].~Value();
    size.store(std::min(n, used()), std::memory_order_relaxed);
  }
  // Claims slot n of a shared tail for x; false when another version holds it already.
  bool try_append(uint32_t n, Value& x) const {
    uint32_t expected = n;
    if (!size.compare_exchange_strong(expected, n + 1, std::memory_order_acq_rel)) return false;
    new (const_cast<Value*>(&vals[n])) Value(std::move(x));
    return true;
  }

  const bool leaf;
  mutable std::atomic<uint32_t> size{0};
  union {
    Value vals[32];
    std::shared_ptr<const VectorNode> kids[32];
  };
};

namespace {

using NodePtr = std::shared_ptr<const VectorNode>;
constexpr int64_t WIDTH = 32;
constexpr int64_t MASK = 31;

int64_t tail_offset(int64_t count) { return count < WIDTH ? 0 : ((count - 1) >> 5) << 5; }

// A copy of src's first n slots (an empty node when src is null).
std::shared_ptr<VectorNode> copy_node(const VectorNode* src, bool leaf, uint32_t n) {
  auto out = std::make_shared<VectorNode>(leaf);
  if (!src) return out;
  if (leaf) {
    for (uint32_t i = 0; i < n; ++i) new (&out->vals[i]) Value(src->vals[i]);
  } else {
    for (uint32_t i = 0; i < n; ++i) new (&out->kids[i]) NodePtr(src->kids[i]);
  }
  out->size.store(n, std::memory_order_relaxed);
  return out;
}
// A branch's copy (branches are never shared while growing, so all their slots count).
std::shared_ptr<VectorNode> copy_branch(const VectorNode* src) { return copy_node(src, false, src ? src->used() : 0); }

// A node of n slots the caller may change: p itself when nobody else holds it, else p replaced by a copy.
VectorNode* editable(NodePtr& p, bool leaf, uint32_t n) {
  if (p && p.use_count() == 1) {
    std::atomic_thread_fence(std::memory_order_acquire);  // pairs with the release of the last other holder
    auto* node = const_cast<VectorNode*>(p.get());
    if (leaf) node->truncate(n);  // slots claimed by versions now gone
    return node;
  }
  auto copy = copy_node(p.get(), leaf, n);
  VectorNode* raw = copy.get();
  p = std::move(copy);
  return raw;
}

// A chain of single-child branches from `level` down to the leaf.
NodePtr new_path(int level, NodePtr leaf) {
  if (level == 0) return leaf;
  auto branch = std::make_shared<VectorNode>(false);
  branch->push(new_path(level - 5, std::move(leaf)));
  return branch;
}

// parent with the full tail appended as the leaf for elements [count-32, count).
NodePtr push_tail(int64_t count, int level, const VectorNode* parent, NodePtr tail) {
  uint32_t sub = static_cast<uint32_t>(((count - 1) >> level) & MASK);
  auto out = copy_branch(parent);
  NodePtr node;
  if (level == 5) {
    node = std::move(tail);
  } else if (sub < out->size) {
    node = push_tail(count, level - 5, out->kids[sub].get(), std::move(tail));
  } else {
    node = new_path(level - 5, std::move(tail));
  }
  if (sub < out->size) out->kids[sub] = std::move(node); else out->push(std::move(node));
  return out;
}

NodePtr assoc_in(int level, const VectorNode* node, int64_t i, Value x) {
  auto out = copy_node(node, node->leaf, node->used());  // a trie leaf is full
  if (level == 0) {
    out->vals[i & MASK] = std::move(x);
  } else {
    auto sub = (i >> level) & MASK;
    out->kids[sub] = assoc_in(level - 5, node->kids[sub].get(), i, std::move(x));
  }
  return out;
}

// node without its last leaf (the one holding element count-2 onward), or null when nothing is left.
NodePtr pop_tail(int64_t count, int level, const VectorNode* node) {
  uint32_t sub = static_cast<uint32_t>(((count - 2) >> level) & MASK);
  if (level > 5) {
    NodePtr child = pop_tail(count, level - 5, node->kids[sub].get());
    if (!child && sub == 0) return nullptr;
    auto out = copy_node(node, false, child ? sub + 1 : sub);
    if (child) out->kids[sub] = std::move(child);
    return out;
  }
  if (sub == 0) return nullptr;
  return copy_node(node, false, sub);
}

[[noreturn]] void out_of_bounds(int64_t i, int64_t count) {
  throw ValueError("java.lang.IndexOutOfBoundsException",
                   fmt::format("Index {} is out of bounds for a vector of {} elements.", i, count));
}

const Vector& as_vector(const Value& v) {
  if (v.is_nil()) return empty_vector().as<Vector>();
  if (!v.is(Kind::Vector)) {
    throw ValueError("java.lang.ClassCastException",
                     std::string(type_name(v)) + " cannot be cast to clojure.lang.IPersistentVector");
  }
  return v.as<Vector>();
}

// The leaf holding element i.
const VectorNode* leaf_for(const Vector& v, int64_t i) {
  if (i >= tail_offset(v.count_)) return v.tail_.get();
  const VectorNode* node = v.root_.get();
  for (int level = v.shift_; level > 0; level -= 5) node = node->kids[(i >> level) & MASK].get();
  return node;
}

// The trie's leaf holding element i (i < the tail's offset), shared.
NodePtr trie_leaf(const Vector& v, int64_t i) {
  const NodePtr* node = &v.root_;
  for (int level = v.shift_; level > 0; level -= 5) node = &(*node)->kids[(i >> level) & MASK];
  return *node;
}

// The elements from index `start` on, without allocating a sequence per element.
class VectorSeq final : public SeqObject {
 public:
  VectorSeq(Value vec, int64_t i) : SeqObject(Kind::Seq, COUNTED), vec_(std::move(vec)), i_(i) {}
  Value first() const override { return vector().nth(i_); }
  Value next() const override {
    return i_ + 1 < vector().count() ? Value::adopt(new VectorSeq(vec_, i_ + 1)) : NIL;
  }
  int64_t count() const override { return vector().count() - i_; }
  bool each(FunctionRef<bool(const Value&)> f) const override {
    const Vector& v = vector();
    for (int64_t i = i_; i < v.count(); ++i)
      if (!f(v.nth(i))) return false;
    return true;
  }
  std::string_view type_name() const override { return "clojure.lang.PersistentVector$ChunkedSeq"; }

 private:
  const Vector& vector() const { return vec_.as<Vector>(); }
  Value vec_;
  int64_t i_;
};

}  // namespace

Vector::Vector(int64_t count, int32_t shift, std::shared_ptr<const VectorNode> root,
               std::shared_ptr<const VectorNode> tail, Value meta)
    : Object(Kind::Vector, SEQUENTIAL | COUNTED | COLL | META),
      count_(count),
      shift_(shift),
      root_(std::move(root)),
      tail_(std::move(tail)),
      meta_(std::move(meta)) {}

const Value& Vector::nth(int64_t i) const { return leaf_for(*this, i)->vals[i & MASK]; }

bool Vector::each(FunctionRef<bool(const Value&)> f) const {
  for (int64_t i = 0; i < count_; i += WIDTH) {
    const VectorNode* leaf = leaf_for(*this, i);
    for (int64_t j = 0; j < WIDTH && i + j < count_; ++j)
      if (!f(leaf->vals[j])) return false;
  }
  return true;
}

Value Vector::seq() const { return count_ == 0 ? NIL : Value::adopt(new VectorSeq(Value::share(this), 0)); }

Value Vector::with_meta(const Value& m) const { return Value::adopt(new Vector(count_, shift_, root_, tail_, m)); }

int32_t Vector::compute_hash() const {
  murmur3::Ordered h;
  each([&](const Value& x) { h.add(kelp::hash(x)); return true; });
  return h.finish();
}

Value empty_vector() {
  static const Value empty = [] {
    auto* v = new Vector(0, 5, nullptr, nullptr, NIL);
    v->make_immortal();
    return Value::adopt(v);
  }();
  return empty;
}

Value make_vector(std::span<const Value> items) {
  TransientVector t;
  for (const Value& x : items) t.conj(x);
  return t.persistent();
}

Value make_vector(std::initializer_list<Value> items) { return make_vector(std::span(items.begin(), items.size())); }

Value vector_conj(const Value& v, Value x) {
  const Vector& vec = as_vector(v);
  int64_t n = vec.count_;
  int64_t in_tail = n - tail_offset(n);
  if (in_tail < WIDTH) {
    if (vec.tail_ && vec.tail_->try_append(static_cast<uint32_t>(in_tail), x))
      return Value::adopt(new Vector(n + 1, vec.shift_, vec.root_, vec.tail_, vec.meta_));
    auto tail = copy_node(vec.tail_.get(), true, static_cast<uint32_t>(in_tail));
    tail->push(std::move(x));
    return Value::adopt(new Vector(n + 1, vec.shift_, vec.root_, std::move(tail), vec.meta_));
  }
  // The tail is full: it goes into the trie, which grows a level when its root is full.
  NodePtr root;
  int32_t shift = vec.shift_;
  if ((n >> 5) > (int64_t{1} << shift)) {
    auto grown = std::make_shared<VectorNode>(false);
    grown->push(vec.root_);
    grown->push(new_path(shift, vec.tail_));
    root = std::move(grown);
    shift += 5;
  } else {
    root = push_tail(n, shift, vec.root_.get(), vec.tail_);
  }
  auto tail = std::make_shared<VectorNode>(true);
  tail->push(std::move(x));
  return Value::adopt(new Vector(n + 1, shift, std::move(root), std::move(tail), vec.meta_));
}

Value vector_assoc(const Value& v, int64_t i, Value x) {
  const Vector& vec = as_vector(v);
  if (i == vec.count_) return vector_conj(v, std::move(x));
  if (i < 0 || i > vec.count_) out_of_bounds(i, vec.count_);
  if (i >= tail_offset(vec.count_)) {
    auto tail = copy_node(vec.tail_.get(), true, static_cast<uint32_t>(vec.count_ - tail_offset(vec.count_)));
    tail->vals[i & MASK] = std::move(x);
    return Value::adopt(new Vector(vec.count_, vec.shift_, vec.root_, std::move(tail), vec.meta_));
  }
  return Value::adopt(new Vector(vec.count_, vec.shift_, assoc_in(vec.shift_, vec.root_.get(), i, std::move(x)),
                                 vec.tail_, vec.meta_));
}

Value vector_pop(const Value& v) {
  const Vector& vec = as_vector(v);
  int64_t n = vec.count_;
  if (n == 0) throw ValueError("java.lang.IllegalStateException", "Can't pop an empty vector.");
  if (n == 1) return with_meta(empty_vector(), vec.meta_);
  if (n - tail_offset(n) > 1) {
    auto tail = copy_node(vec.tail_.get(), true, static_cast<uint32_t>(n - tail_offset(n) - 1));
    return Value::adopt(new Vector(n - 1, vec.shift_, vec.root_, std::move(tail), vec.meta_));
  }
  // The tail empties: the trie's last leaf becomes the tail.
  NodePtr tail = trie_leaf(vec, n - 2);
  NodePtr root = pop_tail(n, vec.shift_, vec.root_.get());
  int32_t shift = vec.shift_;
  if (shift > 5 && root && root->size == 1) {
    root = root->kids[0];
    shift -= 5;
  }
  return Value::adopt(new Vector(n - 1, shift, std::move(root), std::move(tail), vec.meta_));
}

const Value* vector_get(const Value& v, int64_t i) {
  if (!v.is(Kind::Vector)) return nullptr;
  const Vector& vec = v.as<Vector>();
  if (i < 0 || i >= vec.count_) return nullptr;
  return &vec.nth(i);
}

// --- Transient

struct TransientVector::Impl {
  int64_t count = 0;
  int32_t shift = 5;
  NodePtr root, tail;

  // Appends the full tail as the trie's last leaf, editing in place the nodes nobody else holds.
  void push_tail_in_place(int level, NodePtr& node, NodePtr leaf) {
    VectorNode* n = editable(node, false, node ? node->used() : 0);
    uint32_t sub = static_cast<uint32_t>(((count - 1) >> level) & MASK);
    if (level == 5) {
      if (sub < n->size) n->kids[sub] = std::move(leaf); else n->push(std::move(leaf));
    } else if (sub < n->size) {
      push_tail_in_place(level - 5, n->kids[sub], std::move(leaf));
    } else {
      n->push(new_path(level - 5, std::move(leaf)));
    }
  }
};

TransientVector::TransientVector() : impl_(std::make_unique<Impl>()) {}
TransientVector::TransientVector(const Value& vector) : impl_(std::make_unique<Impl>()) {
  const Vector& v = as_vector(vector);
  impl_->count = v.count_;
  impl_->shift = v.shift_;
  impl_->root = v.root_;
  impl_->tail = v.tail_;
}
TransientVector::~TransientVector() = default;
TransientVector::TransientVector(TransientVector&&) noexcept = default;
TransientVector& TransientVector::operator=(TransientVector&&) noexcept = default;

using coll::live;

void TransientVector::conj(Value x) {
  Impl& t = live(impl_);
  int64_t in_tail = t.count - tail_offset(t.count);
  if (in_tail < WIDTH) {
    VectorNode* tail = editable(t.tail, true, static_cast<uint32_t>(in_tail));
    tail->push(std::move(x));
    ++t.count;
    return;
  }
  if ((t.count >> 5) > (int64_t{1} << t.shift)) {
    auto grown = std::make_shared<VectorNode>(false);
    grown->push(std::move(t.root));
    grown->push(new_path(t.shift, std::move(t.tail)));
    t.root = std::move(grown);
    t.shift += 5;
  } else {
    t.push_tail_in_place(t.shift, t.root, std::move(t.tail));
  }
  auto tail = std::make_shared<VectorNode>(true);
  tail->push(std::move(x));
  t.tail = std::move(tail);
  ++t.count;
}

void TransientVector::assoc(int64_t i, Value x) {
  Impl& t = live(impl_);
  if (i == t.count) return conj(std::move(x));
  if (i < 0 || i > t.count) out_of_bounds(i, t.count);
  if (i >= tail_offset(t.count)) {
    editable(t.tail, true, static_cast<uint32_t>(t.count - tail_offset(t.count)))->vals[i & MASK] = std::move(x);
    return;
  }
  NodePtr* slot = &t.root;
  for (int level = t.shift; level > 0; level -= 5)
    slot = &editable(*slot, false, (*slot)->used())->kids[(i >> level) & MASK];
  editable(*slot, true, WIDTH)->vals[i & MASK] = std::move(x);
}

int64_t TransientVector::count() const { return live(impl_).count; }

const Value* TransientVector::get(int64_t i) const {
  const Impl& t = live(impl_);
  if (i < 0 || i >= t.count) return nullptr;
  if (i >= tail_offset(t.count)) return &t.tail->vals[i & MASK];
  const VectorNode* node = t.root.get();
  for (int level = t.shift; level > 0; level -= 5) node = node->kids[(i >> level) & MASK].get();
  return &node->vals[i & MASK];
}

Value TransientVector::persistent() {
  Impl& t = live(impl_);
  Value out = t.count == 0 ? empty_vector()
                           : Value::adopt(new Vector(t.count, t.shift, std::move(t.root), std::move(t.tail), NIL));
  impl_.reset();
  return out;
}

}  // namespace kelp
