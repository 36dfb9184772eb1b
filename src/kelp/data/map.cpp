#include "kelp/data/map.hpp"

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "kelp/data/coll_impl.hpp"
#include "kelp/data/error.hpp"
#include "kelp/data/hamt.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/vector.hpp"

namespace kelp {

namespace coll {
void cannot_cast(const Value& v, const char* java_interface) {
  throw ValueError("java.lang.ClassCastException",
                   std::string(type_name(v)) + " cannot be cast to " + java_interface);
}
}  // namespace coll

namespace {

using hamt::KV;
using MapNode = hamt::Node<KV>;

// --- Array maps: up to eight entries in insertion order, stored right after the object.

class ArrayMap final : public Object {
 public:
  // A map of n entries, each to be constructed by the caller in entries().
  static ArrayMap* create(int n, Value meta) {
    void* p = ::operator new(sizeof(ArrayMap) + n * sizeof(KV));
    return ::new (p) ArrayMap(n, std::move(meta));
  }
  static ArrayMap* create(const KV* kvs, int n, Value meta) {
    ArrayMap* m = create(n, std::move(meta));
    for (int i = 0; i < n; ++i) new (m->entries() + i) KV(kvs[i]);
    return m;
  }
  static void operator delete(void* p) { ::operator delete(p); }
  ~ArrayMap() override {
    for (int i = 0; i < n_; ++i) entries()[i].~KV();
  }

  KV* entries() { return reinterpret_cast<KV*>(this + 1); }
  const KV* entries() const { return reinterpret_cast<const KV*>(this + 1); }
  int size() const { return n_; }
  int index_of(const Value& key) const {
    for (int i = 0; i < n_; ++i)
      if (hamt::key_equiv(entries()[i].key, key)) return i;
    return -1;
  }

  int64_t count() const override { return n_; }
  bool each(FunctionRef<bool(const Value&)> f) const override {
    for (int i = 0; i < n_; ++i)
      if (!f(map_entry(entries()[i].key, entries()[i].val))) return false;
    return true;
  }
  bool each_entry(FunctionRef<bool(const Value&, const Value&)> f) const override {
    for (int i = 0; i < n_; ++i)
      if (!f(entries()[i].key, entries()[i].val)) return false;
    return true;
  }
  const Value* lookup(const Value& key) const override {
    int i = index_of(key);
    return i < 0 ? nullptr : &entries()[i].val;
  }
  Value seq() const override;
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override { return Value::adopt(create(entries(), n_, m)); }
  int32_t compute_hash() const override { return coll::map_hash(*this); }
  std::string_view type_name() const override { return "clojure.lang.PersistentArrayMap"; }

 private:
  ArrayMap(int n, Value meta) : Object(Kind::ArrayMap, MAP | COUNTED | COLL | META), n_(n), meta_(std::move(meta)) {}
  int n_;
  Value meta_;
};
static_assert(sizeof(ArrayMap) % alignof(KV) == 0);

class ArrayMapSeq final : public SeqObject {
 public:
  ArrayMapSeq(Value map, int i) : SeqObject(Kind::Seq, COUNTED), map_(std::move(map)), i_(i) {}
  Value first() const override { return map_entry(entry().key, entry().val); }
  Value next() const override { return i_ + 1 < map().size() ? Value::adopt(new ArrayMapSeq(map_, i_ + 1)) : NIL; }
  int64_t count() const override { return map().size() - i_; }
  std::string_view type_name() const override { return "clojure.lang.PersistentArrayMap$Seq"; }

 private:
  const ArrayMap& map() const { return map_.as<ArrayMap>(); }
  const KV& entry() const { return map().entries()[i_]; }
  Value map_;
  int i_;
};

Value ArrayMap::seq() const { return n_ == 0 ? NIL : Value::adopt(new ArrayMapSeq(Value::share(this), 0)); }

// --- Hash maps: a trie of the entries whose key is not nil; a nil key is kept apart and comes first.

class HashMap final : public Object {
 public:
  // Adopts root.
  HashMap(int64_t count, MapNode* root, bool has_null, Value null_val, Value meta)
      : Object(Kind::HashMap, MAP | COUNTED | COLL | META),
        count_(count),
        root_(root),
        has_null_(has_null),
        null_val_(std::move(null_val)),
        meta_(std::move(meta)) {}
  ~HashMap() override { hamt::release(root_); }

  int64_t count() const override { return count_; }
  bool each(FunctionRef<bool(const Value&)> f) const override {
    return each_entry([&](const Value& k, const Value& v) { return f(map_entry(k, v)); });
  }
  bool each_entry(FunctionRef<bool(const Value&, const Value&)> f) const override {
    if (has_null_ && !f(NIL, null_val_)) return false;
    return !root_ || hamt::each(root_, [&](const KV& e) { return f(e.key, e.val); });
  }
  const Value* lookup(const Value& key) const override {
    if (key.is_nil()) return has_null_ ? &null_val_ : nullptr;
    const KV* e = hamt::find(root_, hamt::key_hash(key), key);
    return e ? &e->val : nullptr;
  }
  Value seq() const override;
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override {
    hamt::retain(root_);
    return Value::adopt(new HashMap(count_, root_, has_null_, null_val_, m));
  }
  int32_t compute_hash() const override { return coll::map_hash(*this); }
  std::string_view type_name() const override { return "clojure.lang.PersistentHashMap"; }

  int64_t count_;
  MapNode* root_;
  bool has_null_;
  Value null_val_;
  Value meta_;
};

class HashMapSeq final : public SeqObject {
 public:
  HashMapSeq(Value map, bool at_null, hamt::Cursor<KV> cursor)
      : SeqObject(Kind::Seq, 0), map_(std::move(map)), at_null_(at_null), cursor_(cursor) {}
  Value first() const override {
    if (at_null_) return map_entry(NIL, map_.as<HashMap>().null_val_);
    return map_entry(cursor_.current()->key, cursor_.current()->val);
  }
  Value next() const override {
    hamt::Cursor<KV> c = cursor_;
    if (!at_null_) c.advance();
    return c.current() ? Value::adopt(new HashMapSeq(map_, false, c)) : NIL;
  }
  std::string_view type_name() const override { return "clojure.lang.PersistentHashMap$NodeSeq"; }

 private:
  Value map_;  // keeps the trie the cursor walks alive
  bool at_null_;
  hamt::Cursor<KV> cursor_;
};

Value HashMap::seq() const {
  hamt::Cursor<KV> c(root_);
  if (!has_null_ && !c.current()) return NIL;
  return Value::adopt(new HashMapSeq(Value::share(this), has_null_, c));
}

// A trie of one entry.
MapNode* single(uint32_t h, KV&& e) {
  MapNode* n = hamt::alloc<KV>(false, hamt::bitpos(h, 0), 0, 1, 0);
  new (n->entries()) KV(std::move(e));
  return n;
}

Value hash_assoc(const HashMap& m, Value key, Value val) {
  if (key.is_nil()) {
    if (m.has_null_ && m.null_val_.identical(val)) return Value::share(&m);
    hamt::retain(m.root_);
    return Value::adopt(new HashMap(m.count_ + (m.has_null_ ? 0 : 1), m.root_, true, std::move(val), m.meta_));
  }
  uint32_t h = hamt::key_hash(key);
  KV e{std::move(key), std::move(val)};
  bool added = false;
  MapNode* root;
  if (m.root_) {
    root = hamt::assoc(m.root_, 0, h, e, false, added);
    if (root == m.root_) return Value::share(&m);
  } else {
    root = single(h, std::move(e));
    added = true;
  }
  return Value::adopt(new HashMap(m.count_ + (added ? 1 : 0), root, m.has_null_, m.null_val_, m.meta_));
}

Value hash_dissoc(const HashMap& m, const Value& key) {
  if (key.is_nil()) {
    if (!m.has_null_) return Value::share(&m);
    hamt::retain(m.root_);
    return Value::adopt(new HashMap(m.count_ - 1, m.root_, false, NIL, m.meta_));
  }
  if (!m.root_) return Value::share(&m);
  bool removed = false;
  MapNode* root = hamt::without(m.root_, 0, hamt::key_hash(key), key, false, removed);
  if (!removed) return Value::share(&m);
  return Value::adopt(new HashMap(m.count_ - 1, root, m.has_null_, m.null_val_, m.meta_));
}

// Builds a hash map in place: the trie nodes it alone holds are edited rather than copied.
struct HashBuilder {
  MapNode* root = nullptr;
  int64_t count = 0;
  bool has_null = false;
  Value null_val;

  HashBuilder() = default;
  explicit HashBuilder(const HashMap& m) : root(m.root_), count(m.count_), has_null(m.has_null_), null_val(m.null_val_) {
    hamt::retain(root);
  }
  HashBuilder(const HashBuilder&) = delete;
  HashBuilder& operator=(const HashBuilder&) = delete;
  ~HashBuilder() { hamt::release(root); }

  // Answers whether the key is new.
  bool assoc(Value key, Value val) {
    if (key.is_nil()) {
      bool added = !has_null;
      has_null = true;
      null_val = std::move(val);
      count += added ? 1 : 0;
      return added;
    }
    uint32_t h = hamt::key_hash(key);
    KV e{std::move(key), std::move(val)};
    bool added = false;
    if (!root) {
      root = single(h, std::move(e));
      added = true;
    } else {
      MapNode* r = hamt::assoc(root, 0, h, e, hamt::exclusive(true, root), added);
      if (r != root) {
        hamt::release(root);
        root = r;
      }
    }
    count += added ? 1 : 0;
    return added;
  }
  void dissoc(const Value& key) {
    if (key.is_nil()) {
      if (has_null) --count;
      has_null = false;
      null_val = NIL;
      return;
    }
    if (!root) return;
    bool removed = false;
    MapNode* r = hamt::without(root, 0, hamt::key_hash(key), key, hamt::exclusive(true, root), removed);
    if (r != root) {
      hamt::release(root);
      root = r;
    }
    count -= removed ? 1 : 0;
  }
  const Value* get(const Value& key) const {
    if (key.is_nil()) return has_null ? &null_val : nullptr;
    const KV* e = hamt::find(root, hamt::key_hash(key), key);
    return e ? &e->val : nullptr;
  }
  Value persistent(Value meta = NIL) {
    MapNode* r = root;
    root = nullptr;
    return Value::adopt(new HashMap(count, r, has_null, std::move(null_val), std::move(meta)));
  }
};

// --- Array map operations

Value array_map_of(const std::vector<KV>& kvs, const Value& meta) {
  if (kvs.empty() && meta.is_nil()) return empty_map();
  return Value::adopt(ArrayMap::create(kvs.data(), static_cast<int>(kvs.size()), meta));
}

Value array_assoc(const ArrayMap& m, Value key, Value val) {
  int i = m.index_of(key);
  int n = m.size();
  if (i >= 0) {
    if (m.entries()[i].val.identical(val)) return Value::share(&m);
    ArrayMap* out = ArrayMap::create(m.entries(), n, m.meta());
    out->entries()[i].val = std::move(val);
    return Value::adopt(out);
  }
  if (n < ARRAY_MAP_MAX) {
    ArrayMap* out = ArrayMap::create(n + 1, m.meta());
    for (int j = 0; j < n; ++j) new (out->entries() + j) KV(m.entries()[j]);
    new (out->entries() + n) KV{std::move(key), std::move(val)};
    return Value::adopt(out);
  }
  // A ninth key: the entries move to a hash map, in order, then the new one.
  HashBuilder b;
  for (int j = 0; j < n; ++j) b.assoc(m.entries()[j].key, m.entries()[j].val);
  b.assoc(std::move(key), std::move(val));
  return b.persistent(m.meta());
}

Value array_dissoc(const ArrayMap& m, const Value& key) {
  int i = m.index_of(key);
  if (i < 0) return Value::share(&m);
  std::vector<KV> rest;
  rest.reserve(m.size() - 1);
  for (int j = 0; j < m.size(); ++j)
    if (j != i) rest.push_back(m.entries()[j]);
  return array_map_of(rest, m.meta());
}

// Entries as if assoc'ed in order, for the small maps: the first position of a key, its last value.
bool add_small(std::vector<KV>& kvs, const Value& key, const Value& val) {
  for (KV& e : kvs) {
    if (hamt::key_equiv(e.key, key)) {
      e.val = val;
      return false;
    }
  }
  kvs.push_back(KV{key, val});
  return true;
}

void check_pairs(std::span<const Value> kvs) {
  if (kvs.size() % 2 != 0) {
    throw ValueError("java.lang.IllegalArgumentException", "No value supplied for key: " +
                                                               std::string(type_name(kvs.back())) + ".");
  }
}

}  // namespace

Value empty_map() {
  static const Value empty = [] {
    ArrayMap* m = ArrayMap::create(0, NIL);
    m->make_immortal();
    return Value::adopt(m);
  }();
  return empty;
}

Value map_entry(Value k, Value v) { return make_vector({std::move(k), std::move(v)}); }

bool is_map(const Value& v) { return v.has(MAP); }

Value assoc(const Value& map, Value key, Value val) {
  if (map.is_nil()) return array_assoc(empty_map().as<ArrayMap>(), std::move(key), std::move(val));
  switch (map.is_obj() ? map.obj()->kind() : Kind::Other) {
    case Kind::ArrayMap: return array_assoc(map.as<ArrayMap>(), std::move(key), std::move(val));
    case Kind::HashMap: return hash_assoc(map.as<HashMap>(), std::move(key), std::move(val));
    case Kind::SortedMap: return coll::sorted_assoc(map, std::move(key), std::move(val));
    case Kind::Vector:
      if (!key.is_int()) throw ValueError("java.lang.IllegalArgumentException", "Key must be integer.");
      return vector_assoc(map, key.as_int(), std::move(val));
    case Kind::Other:
      if (const ExtensionMap* x = as_extension_map(map)) return x->assoc(std::move(key), std::move(val));
      coll::cannot_cast(map, "clojure.lang.Associative");
    default: coll::cannot_cast(map, "clojure.lang.Associative");
  }
}

Value assoc(Value&& handed_over, Value key, Value val) {
  if (!handed_over.is(Kind::HashMap) || handed_over.obj()->ref_count() != 1 || key.is_nil())
    return assoc(static_cast<const Value&>(handed_over), std::move(key), std::move(val));
  // Take the caller's handle, so it is left nil rather than pointing at the map emptied below.
  Value map = std::move(handed_over);
  // Nobody else can reach this map or the trie nodes only it holds: take its trie and edit it in place.
  std::atomic_thread_fence(std::memory_order_acquire);  // pairs with the release of the last other holder
  auto& m = const_cast<HashMap&>(map.as<HashMap>());
  HashBuilder b;
  b.root = std::exchange(m.root_, nullptr);
  b.count = m.count_;
  b.has_null = m.has_null_;
  b.null_val = m.null_val_;
  b.assoc(std::move(key), std::move(val));
  return b.persistent(m.meta_);
}

Value dissoc(const Value& map, const Value& key) {
  if (map.is_nil()) return NIL;
  switch (map.is_obj() ? map.obj()->kind() : Kind::Other) {
    case Kind::ArrayMap: return array_dissoc(map.as<ArrayMap>(), key);
    case Kind::HashMap: return hash_dissoc(map.as<HashMap>(), key);
    case Kind::SortedMap: return coll::sorted_dissoc(map, key);
    case Kind::Other:
      if (const ExtensionMap* x = as_extension_map(map)) return x->dissoc(key);
      coll::cannot_cast(map, "clojure.lang.IPersistentMap");
    default: coll::cannot_cast(map, "clojure.lang.IPersistentMap");
  }
}

const Value* get(const Value& map, const Value& key) {
  if (!map.is_obj()) return nullptr;
  if (map.has(MAP) || map.has(SET)) return map.obj()->lookup(key);
  if (map.is(Kind::Vector) && key.is_int()) return vector_get(map, key.as_int());
  return nullptr;
}

bool contains(const Value& map_or_set, const Value& key) {
  if (map_or_set.is_nil()) return false;
  if (map_or_set.has(MAP) || map_or_set.has(SET)) return map_or_set.obj()->lookup(key) != nullptr;
  if (map_or_set.is(Kind::Vector)) return key.is_int() && vector_get(map_or_set, key.as_int()) != nullptr;
  throw ValueError("java.lang.IllegalArgumentException",
                   "contains? not supported on type: " + std::string(type_name(map_or_set)));
}

Value keys(const Value& map) {
  if (map.is_nil()) return NIL;
  if (!map.has(MAP)) coll::cannot_cast(map, "java.util.Map$Entry");
  std::vector<Value> ks;
  ks.reserve(static_cast<size_t>(map.obj()->count()));
  map.obj()->each_entry([&](const Value& k, const Value&) { ks.push_back(k); return true; });
  return ks.empty() ? NIL : make_list(ks);
}

Value make_map(std::span<const Value> kvs) {
  check_pairs(kvs);
  if (kvs.size() / 2 <= static_cast<size_t>(ARRAY_MAP_MAX)) {
    KV small[ARRAY_MAP_MAX];  // no heap for the entries being gathered: small maps are made all the time
    int n = 0;
    for (size_t i = 0; i < kvs.size(); i += 2) {
      int j = 0;
      while (j < n && !hamt::key_equiv(small[j].key, kvs[i])) ++j;
      if (j < n) small[j].val = kvs[i + 1];
      else small[n++] = KV{kvs[i], kvs[i + 1]};
    }
    if (n == 0) return empty_map();
    return Value::adopt(ArrayMap::create(small, n, NIL));
  }
  HashBuilder b;
  for (size_t i = 0; i < kvs.size(); i += 2) b.assoc(kvs[i], kvs[i + 1]);
  return b.persistent();
}

Value make_map(std::initializer_list<Value> kvs) { return make_map(std::span(kvs.begin(), kvs.size())); }

std::optional<Value> make_map_checked(std::span<const Value> kvs, Value* dup) {
  check_pairs(kvs);
  auto duplicate = [&](const Value& key) {
    if (dup) *dup = key;
    return std::nullopt;
  };
  if (kvs.size() / 2 <= static_cast<size_t>(ARRAY_MAP_MAX)) {
    std::vector<KV> small;
    for (size_t i = 0; i < kvs.size(); i += 2)
      if (!add_small(small, kvs[i], kvs[i + 1])) return duplicate(kvs[i]);
    return array_map_of(small, NIL);
  }
  HashBuilder b;
  for (size_t i = 0; i < kvs.size(); i += 2)
    if (!b.assoc(kvs[i], kvs[i + 1])) return duplicate(kvs[i]);
  return b.persistent();
}

// --- Transient maps: insertion-ordered up to eight entries, as Clojure's transient array map, then a trie.

struct TransientMap::Impl {
  bool hashed = false;
  std::vector<KV> small;
  HashBuilder big;
};

using coll::live;

TransientMap::TransientMap() : impl_(std::make_unique<Impl>()) {}

TransientMap::TransientMap(const Value& map) : impl_(std::make_unique<Impl>()) {
  if (map.is(Kind::HashMap)) {
    const auto& m = map.as<HashMap>();
    impl_->hashed = true;
    hamt::retain(m.root_);
    impl_->big.root = m.root_;
    impl_->big.count = m.count_;
    impl_->big.has_null = m.has_null_;
    impl_->big.null_val = m.null_val_;
  } else if (map.is(Kind::ArrayMap)) {
    const auto& m = map.as<ArrayMap>();
    impl_->small.assign(m.entries(), m.entries() + m.size());
  } else if (!map.is_nil()) {
    coll::cannot_cast(map, "clojure.lang.IEditableCollection");
  }
}

TransientMap::~TransientMap() = default;
TransientMap::TransientMap(TransientMap&&) noexcept = default;
TransientMap& TransientMap::operator=(TransientMap&&) noexcept = default;

void TransientMap::assoc(Value key, Value val) {
  Impl& t = live(impl_);
  if (t.hashed) {
    t.big.assoc(std::move(key), std::move(val));
    return;
  }
  for (KV& e : t.small) {
    if (hamt::key_equiv(e.key, key)) {
      e.val = std::move(val);
      return;
    }
  }
  if (t.small.size() < static_cast<size_t>(ARRAY_MAP_MAX)) {
    t.small.push_back(KV{std::move(key), std::move(val)});
    return;
  }
  for (KV& e : t.small) t.big.assoc(std::move(e.key), std::move(e.val));
  t.small.clear();
  t.hashed = true;
  t.big.assoc(std::move(key), std::move(val));
}

void TransientMap::dissoc(const Value& key) {
  Impl& t = live(impl_);
  if (t.hashed) {
    t.big.dissoc(key);
    return;
  }
  for (size_t i = 0; i < t.small.size(); ++i) {
    if (hamt::key_equiv(t.small[i].key, key)) {
      t.small.erase(t.small.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

const Value* TransientMap::get(const Value& key) const {
  const Impl& t = live(impl_);
  if (t.hashed) return t.big.get(key);
  for (const KV& e : t.small)
    if (hamt::key_equiv(e.key, key)) return &e.val;
  return nullptr;
}

int64_t TransientMap::count() const {
  const Impl& t = live(impl_);
  return t.hashed ? t.big.count : static_cast<int64_t>(t.small.size());
}

Value TransientMap::persistent() {
  Impl& t = live(impl_);
  Value out = t.hashed ? t.big.persistent() : array_map_of(t.small, NIL);
  impl_.reset();
  return out;
}

}  // namespace kelp
