#include "kelp/data/sorted.hpp"

#include <algorithm>
#include <atomic>
#include <vector>

#include "kelp/data/coll_impl.hpp"
#include "kelp/data/compare.hpp"
#include "kelp/data/error.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/seq.hpp"

namespace kelp {

namespace {

// --- A persistent AVL tree. Functions answer new nodes they own; "take" parameters pass ownership in.

struct TNode {
  mutable std::atomic<uint32_t> rc{1};
  int32_t height;
  Value key, val;
  const TNode* left;
  const TNode* right;
};

const TNode* retain(const TNode* t) {
  if (t) t->rc.fetch_add(1, std::memory_order_relaxed);
  return t;
}

void release(const TNode* t) {
  // Recursion depth is the tree's height, under 1.5 log2(n).
  if (!t || t->rc.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  release(t->left);
  release(t->right);
  delete t;
}

// Names usable inside Object subclasses, whose own retain and release hide these.
const TNode* tree_retain(const TNode* t) { return retain(t); }
void tree_release(const TNode* t) { release(t); }

int32_t height(const TNode* t) { return t ? t->height : 0; }

const TNode* make(Value key, Value val, const TNode* take_left, const TNode* take_right) {
  int32_t h = 1 + std::max(height(take_left), height(take_right));
  return new TNode{{1}, h, std::move(key), std::move(val), take_left, take_right};
}

// A node over subtrees whose heights differ by at most two, rotated back into balance.
const TNode* balance(const Value& key, const Value& val, const TNode* take_l, const TNode* take_r) {
  int32_t hl = height(take_l), hr = height(take_r);
  if (hl > hr + 1) {
    const TNode* l = take_l;
    const TNode* out;
    if (height(l->left) >= height(l->right)) {
      out = make(l->key, l->val, retain(l->left), make(key, val, retain(l->right), take_r));
    } else {
      const TNode* lr = l->right;
      out = make(lr->key, lr->val, make(l->key, l->val, retain(l->left), retain(lr->left)),
                 make(key, val, retain(lr->right), take_r));
    }
    release(l);
    return out;
  }
  if (hr > hl + 1) {
    const TNode* r = take_r;
    const TNode* out;
    if (height(r->right) >= height(r->left)) {
      out = make(r->key, r->val, make(key, val, take_l, retain(r->left)), retain(r->right));
    } else {
      const TNode* rl = r->left;
      out = make(rl->key, rl->val, make(key, val, take_l, retain(rl->left)),
                 make(r->key, r->val, retain(rl->right), retain(r->right)));
    }
    release(r);
    return out;
  }
  return make(key, val, take_l, take_r);
}

// t with key set to val; nullptr when that changes nothing. Comparisons all happen on the way down, before
// anything is allocated, so a comparator that throws leaks nothing.
const TNode* insert(const TNode* t, const Value& key, const Value& val, const Comparator& cmp, bool is_set,
                    bool& added) {
  if (!t) {
    added = true;
    return make(key, val, nullptr, nullptr);
  }
  int c = cmp.compare(key, t->key);
  if (c == 0) {
    if (is_set || t->val.identical(val)) return nullptr;
    return make(t->key, val, retain(t->left), retain(t->right));
  }
  if (c < 0) {
    const TNode* l = insert(t->left, key, val, cmp, is_set, added);
    return l ? balance(t->key, t->val, l, retain(t->right)) : nullptr;
  }
  const TNode* r = insert(t->right, key, val, cmp, is_set, added);
  return r ? balance(t->key, t->val, retain(t->left), r) : nullptr;
}

const TNode* find(const TNode* t, const Value& key, const Comparator& cmp) {
  while (t) {
    int c = cmp.compare(key, t->key);
    if (c == 0) return t;
    t = c < 0 ? t->left : t->right;
  }
  return nullptr;
}

const TNode* remove_min(const TNode* t) {
  if (!t->left) return retain(t->right);
  return balance(t->key, t->val, remove_min(t->left), retain(t->right));
}

// t without key, which it holds.
const TNode* remove(const TNode* t, const Value& key, const Comparator& cmp) {
  int c = cmp.compare(key, t->key);
  if (c < 0) return balance(t->key, t->val, remove(t->left, key, cmp), retain(t->right));
  if (c > 0) return balance(t->key, t->val, retain(t->left), remove(t->right, key, cmp));
  if (!t->left) return retain(t->right);
  if (!t->right) return retain(t->left);
  const TNode* successor = t->right;
  while (successor->left) successor = successor->left;
  return balance(successor->key, successor->val, retain(t->left), remove_min(t->right));
}

template <class F>
bool each_node(const TNode* t, F&& f) {
  if (!t) return true;
  return each_node(t->left, f) && f(*t) && each_node(t->right, f);
}

class DefaultComparator final : public Comparator {
 public:
  int compare(const Value& a, const Value& b) const override { return kelp::compare(a, b); }
};

// --- Sorted maps and sets: one class, the kind telling which.

class Sorted final : public Object {
 public:
  // Adopts root.
  Sorted(bool is_set, const TNode* root, int64_t count, std::shared_ptr<const Comparator> cmp, Value meta)
      : Object(is_set ? Kind::SortedSet : Kind::SortedMap,
               (is_set ? SET : MAP) | SORTED | COUNTED | COLL | META),
        root_(root),
        count_(count),
        cmp_(std::move(cmp)),
        meta_(std::move(meta)) {}
  ~Sorted() override { tree_release(root_); }

  bool is_set() const { return kind() == Kind::SortedSet; }
  int64_t count() const override { return count_; }
  bool each(FunctionRef<bool(const Value&)> f) const override {
    if (is_set()) return each_node(root_, [&](const TNode& n) { return f(n.key); });
    return each_node(root_, [&](const TNode& n) { return f(map_entry(n.key, n.val)); });
  }
  bool each_entry(FunctionRef<bool(const Value&, const Value&)> f) const override {
    if (is_set()) return true;
    return each_node(root_, [&](const TNode& n) { return f(n.key, n.val); });
  }
  const Value* lookup(const Value& key) const override {
    const TNode* n = find(root_, key, *cmp_);
    if (!n) return nullptr;
    return is_set() ? &n->key : &n->val;
  }
  Value seq() const override;
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override {
    return Value::adopt(new Sorted(is_set(), tree_retain(root_), count_, cmp_, m));
  }
  int32_t compute_hash() const override { return is_set() ? coll::set_hash(*this) : coll::map_hash(*this); }
  std::string_view type_name() const override {
    return is_set() ? "clojure.lang.PersistentTreeSet" : "clojure.lang.PersistentTreeMap";
  }

  Value with_root(const TNode* root, int64_t count) const {
    return Value::adopt(new Sorted(is_set(), root, count, cmp_, meta_));
  }

  const TNode* root_;
  int64_t count_;
  std::shared_ptr<const Comparator> cmp_;
  Value meta_;
};

// A walk in either direction: the stack holds the nodes still to visit whose subtree on the far side is done.
// Holding the collection keeps every node alive, so the stack holds plain pointers.
class SortedSeq final : public SeqObject {
 public:
  SortedSeq(Value coll, std::vector<const TNode*> stack, bool ascending)
      : SeqObject(Kind::Seq, 0), coll_(std::move(coll)), stack_(std::move(stack)), ascending_(ascending) {}
  Value first() const override {
    const TNode* n = stack_.back();
    return coll_.is(Kind::SortedSet) ? n->key : map_entry(n->key, n->val);
  }
  Value next() const override {
    std::vector<const TNode*> stack = stack_;
    const TNode* n = stack.back();
    stack.pop_back();
    push_spine(stack, ascending_ ? n->right : n->left, ascending_);
    return stack.empty() ? NIL : Value::adopt(new SortedSeq(coll_, std::move(stack), ascending_));
  }
  std::string_view type_name() const override { return "clojure.lang.PersistentTreeMap$Seq"; }

  static void push_spine(std::vector<const TNode*>& stack, const TNode* t, bool ascending) {
    for (; t; t = ascending ? t->left : t->right) stack.push_back(t);
  }

 private:
  Value coll_;
  std::vector<const TNode*> stack_;
  bool ascending_;
};

Value Sorted::seq() const {
  std::vector<const TNode*> stack;
  SortedSeq::push_spine(stack, root_, true);
  return stack.empty() ? NIL : Value::adopt(new SortedSeq(Value::share(this), std::move(stack), true));
}

const Sorted& as_sorted(const Value& v) {
  if (!v.is(Kind::SortedMap) && !v.is(Kind::SortedSet)) coll::cannot_cast(v, "clojure.lang.Sorted");
  return v.as<Sorted>();
}

std::shared_ptr<const Comparator> or_default(std::shared_ptr<const Comparator> cmp) {
  return cmp ? std::move(cmp) : default_comparator();
}

Value sorted_put(const Value& coll, const Value& key, const Value& val) {
  const Sorted& s = as_sorted(coll);
  bool added = false;
  const TNode* root = insert(s.root_, key, val, *s.cmp_, s.is_set(), added);
  if (!root) return coll;
  return s.with_root(root, s.count_ + (added ? 1 : 0));
}

Value sorted_remove(const Value& coll, const Value& key) {
  const Sorted& s = as_sorted(coll);
  if (!find(s.root_, key, *s.cmp_)) return coll;
  return s.with_root(remove(s.root_, key, *s.cmp_), s.count_ - 1);
}

}  // namespace

namespace coll {
Value sorted_assoc(const Value& map, Value key, Value val) { return sorted_put(map, key, val); }
Value sorted_dissoc(const Value& map, const Value& key) { return sorted_remove(map, key); }
Value sorted_conj(const Value& set, Value x) { return sorted_put(set, x, NIL); }
Value sorted_disj(const Value& set, const Value& x) { return sorted_remove(set, x); }
}  // namespace coll

std::shared_ptr<const Comparator> default_comparator() {
  static const std::shared_ptr<const Comparator> cmp = std::make_shared<DefaultComparator>();
  return cmp;
}

Value empty_sorted_map(std::shared_ptr<const Comparator> cmp) {
  return Value::adopt(new Sorted(false, nullptr, 0, or_default(std::move(cmp)), NIL));
}

Value empty_sorted_set(std::shared_ptr<const Comparator> cmp) {
  return Value::adopt(new Sorted(true, nullptr, 0, or_default(std::move(cmp)), NIL));
}

Value make_sorted_map(std::span<const Value> kvs, std::shared_ptr<const Comparator> cmp) {
  if (kvs.size() % 2 != 0) throw ValueError("java.lang.IllegalArgumentException", "No value supplied for the last key.");
  Value m = empty_sorted_map(std::move(cmp));
  for (size_t i = 0; i < kvs.size(); i += 2) m = sorted_put(m, kvs[i], kvs[i + 1]);
  return m;
}

Value make_sorted_set(std::span<const Value> items, std::shared_ptr<const Comparator> cmp) {
  Value s = empty_sorted_set(std::move(cmp));
  for (const Value& x : items) s = sorted_put(s, x, NIL);
  return s;
}

Value sorted_seq_from(const Value& coll, const Value& key, bool ascending, bool inclusive) {
  const Sorted& s = as_sorted(coll);
  std::vector<const TNode*> stack;
  for (const TNode* t = s.root_; t;) {
    int c = s.cmp_->compare(t->key, key);
    bool in = ascending ? (c > 0 || (c == 0 && inclusive)) : (c < 0 || (c == 0 && inclusive));
    if (in) {
      stack.push_back(t);
      t = ascending ? t->left : t->right;
    } else {
      t = ascending ? t->right : t->left;
    }
  }
  return stack.empty() ? NIL : Value::adopt(new SortedSeq(coll, std::move(stack), ascending));
}

Value sorted_rseq(const Value& coll) {
  const Sorted& s = as_sorted(coll);
  std::vector<const TNode*> stack;
  SortedSeq::push_spine(stack, s.root_, false);
  return stack.empty() ? NIL : Value::adopt(new SortedSeq(coll, std::move(stack), false));
}

}  // namespace kelp
