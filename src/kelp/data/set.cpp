#include "kelp/data/set.hpp"

#include <string>

#include "kelp/data/coll_impl.hpp"
#include "kelp/data/error.hpp"
#include "kelp/data/hamt.hpp"
#include "kelp/data/seq.hpp"

namespace kelp {

namespace {

using hamt::K;
using SetNode = hamt::Node<K>;

// A trie of the members other than nil; nil is kept apart and comes first, as in a hash map.
class HashSet final : public Object {
 public:
  // Adopts root.
  HashSet(int64_t count, SetNode* root, bool has_null, Value meta)
      : Object(Kind::HashSet, SET | COUNTED | COLL | META),
        count_(count),
        root_(root),
        has_null_(has_null),
        meta_(std::move(meta)) {}
  ~HashSet() override { hamt::release(root_); }

  int64_t count() const override { return count_; }
  bool each(FunctionRef<bool(const Value&)> f) const override {
    if (has_null_ && !f(NIL)) return false;
    return !root_ || hamt::each(root_, [&](const K& e) { return f(e.key); });
  }
  const Value* lookup(const Value& key) const override {
    if (key.is_nil()) return has_null_ ? &NIL : nullptr;
    const K* e = hamt::find(root_, hamt::key_hash(key), key);
    return e ? &e->key : nullptr;
  }
  Value seq() const override;
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override {
    hamt::retain(root_);
    return Value::adopt(new HashSet(count_, root_, has_null_, m));
  }
  int32_t compute_hash() const override { return coll::set_hash(*this); }
  std::string_view type_name() const override { return "clojure.lang.PersistentHashSet"; }

  int64_t count_;
  SetNode* root_;
  bool has_null_;
  Value meta_;
};

class HashSetSeq final : public SeqObject {
 public:
  HashSetSeq(Value set, bool at_null, hamt::Cursor<K> cursor)
      : SeqObject(Kind::Seq, 0), set_(std::move(set)), at_null_(at_null), cursor_(cursor) {}
  Value first() const override { return at_null_ ? NIL : cursor_.current()->key; }
  Value next() const override {
    hamt::Cursor<K> c = cursor_;
    if (!at_null_) c.advance();
    return c.current() ? Value::adopt(new HashSetSeq(set_, false, c)) : NIL;
  }
  std::string_view type_name() const override { return "clojure.lang.APersistentMap$KeySeq"; }

 private:
  Value set_;  // keeps the trie the cursor walks alive
  bool at_null_;
  hamt::Cursor<K> cursor_;
};

Value HashSet::seq() const {
  hamt::Cursor<K> c(root_);
  if (!has_null_ && !c.current()) return NIL;
  return Value::adopt(new HashSetSeq(Value::share(this), has_null_, c));
}

SetNode* single(uint32_t h, Value x) {
  SetNode* n = hamt::alloc<K>(false, hamt::bitpos(h, 0), 0, 1, 0);
  new (n->entries()) K{std::move(x)};
  return n;
}

// The root after adding x, editing in place when `edit` allows; *added tells whether x is new.
SetNode* add(SetNode* root, Value x, bool edit, bool& added) {
  uint32_t h = hamt::key_hash(x);
  if (!root) {
    added = true;
    return single(h, std::move(x));
  }
  K e{std::move(x)};
  return hamt::assoc(root, 0, h, e, edit, added);
}

Value hash_conj(const HashSet& s, Value x) {
  if (x.is_nil()) {
    if (s.has_null_) return Value::share(&s);
    hamt::retain(s.root_);
    return Value::adopt(new HashSet(s.count_ + 1, s.root_, true, s.meta_));
  }
  bool added = false;
  SetNode* root = add(s.root_, std::move(x), false, added);
  if (root == s.root_) return Value::share(&s);
  return Value::adopt(new HashSet(s.count_ + 1, root, s.has_null_, s.meta_));
}

Value hash_disj(const HashSet& s, const Value& x) {
  if (x.is_nil()) {
    if (!s.has_null_) return Value::share(&s);
    hamt::retain(s.root_);
    return Value::adopt(new HashSet(s.count_ - 1, s.root_, false, s.meta_));
  }
  if (!s.root_) return Value::share(&s);
  bool removed = false;
  SetNode* root = hamt::without(s.root_, 0, hamt::key_hash(x), x, false, removed);
  if (!removed) return Value::share(&s);
  return Value::adopt(new HashSet(s.count_ - 1, root, s.has_null_, s.meta_));
}

// Builds a set in place; answers nothing (and sets *dup) on a repeated member when dup is given.
std::optional<Value> build(std::span<const Value> items, Value* dup, bool fail_on_dup) {
  SetNode* root = nullptr;
  int64_t count = 0;
  bool has_null = false;
  for (const Value& x : items) {
    bool added = false;
    if (x.is_nil()) {
      added = !has_null;
      has_null = true;
    } else {
      SetNode* r = add(root, x, root && hamt::exclusive(true, root), added);
      if (r != root) {
        hamt::release(root);
        root = r;
      }
    }
    if (added) {
      ++count;
    } else if (fail_on_dup) {
      hamt::release(root);
      if (dup) *dup = x;
      return std::nullopt;
    }
  }
  if (count == 0) return empty_set();
  return Value::adopt(new HashSet(count, root, has_null, NIL));
}

}  // namespace

Value empty_set() {
  static const Value empty = [] {
    auto* s = new HashSet(0, nullptr, false, NIL);
    s->make_immortal();
    return Value::adopt(s);
  }();
  return empty;
}

bool is_set(const Value& v) { return v.has(SET); }

Value set_conj(const Value& set, Value x) {
  if (set.is_nil()) return hash_conj(empty_set().as<HashSet>(), std::move(x));
  if (set.is(Kind::HashSet)) return hash_conj(set.as<HashSet>(), std::move(x));
  if (set.is(Kind::SortedSet)) return coll::sorted_conj(set, std::move(x));
  coll::cannot_cast(set, "clojure.lang.IPersistentSet");
}

Value set_disj(const Value& set, const Value& x) {
  if (set.is_nil()) return NIL;
  if (set.is(Kind::HashSet)) return hash_disj(set.as<HashSet>(), x);
  if (set.is(Kind::SortedSet)) return coll::sorted_disj(set, x);
  coll::cannot_cast(set, "clojure.lang.IPersistentSet");
}

Value make_set(std::span<const Value> items) { return *build(items, nullptr, false); }

Value make_set(std::initializer_list<Value> items) { return make_set(std::span(items.begin(), items.size())); }

std::optional<Value> make_set_checked(std::span<const Value> items, Value* dup) { return build(items, dup, true); }

}  // namespace kelp
