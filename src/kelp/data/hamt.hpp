// The hash array mapped trie behind hash maps and hash sets.
//
// A key's 32-bit hash is read 5 bits at a time, low group first. Each of the first three groups takes two levels of
// the trie: a node of 8 slots picked by the group's high 3 bits, then one of 4 slots picked by its low 2 bits.
// Copying a node on a persistent change retains every child it shares with the old version, an atomic increment
// on a different cache line each, and the nodes of those first groups fill up with children as a map grows: a
// path through two small nodes shares at most 10 children per group where one 32-slot node would share 31. Each
// later group takes one level of 32 slots, where nodes hold few children in all but huge maps and a lookup saves
// a level. A node keeps a bitmap of the slots that hold an entry and a bitmap of the slots that hold a child node,
// with the children and entries packed after its header. Keys whose whole hashes are equal share a collision node
// that keeps them in insertion order. Iterating slots in ascending order level by level visits each group's values
// in ascending order (a split group's high bits, then its low bits), which is the order JVM Clojure's
// PersistentHashMap iterates in: that order depends only on the hashes (and on insertion order within a
// collision), not on where an entry sits in the trie.
//
// Nodes carry an atomic reference count. Operations take a node they do not own and answer the node after the
// change: the same node when nothing changed, otherwise a new one. In edit mode (a transient that holds the only
// reference to the node) a node may be changed in place and answered as itself, or emptied into a new node: the
// caller then releases the old one, whose remaining contents are exactly what the change dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "kelp/data/alloc.hpp"
#include "kelp/data/value.hpp"

namespace kelp::hamt {

inline bool key_equiv(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() == b.as_int();
  return a.identical(b) || equiv(a, b);
}
inline uint32_t key_hash(const Value& k) { return static_cast<uint32_t>(hash(k)); }

// The slot a hash takes at a depth. The first SPLIT_GROUPS groups take two levels each: the group's high 3 bits,
// then its low 2 bits. Each later group takes one level of 32 slots; depth MAX_DEPTH reads the last group (2 bits),
// and hashes that agree at every depth are equal.
inline constexpr int SPLIT_GROUPS = 3;
static_assert(SPLIT_GROUPS < 7);
inline constexpr int MAX_DEPTH = 6 + SPLIT_GROUPS;
inline constexpr struct Levels {
  uint8_t shift[MAX_DEPTH + 1];
  uint8_t mask[MAX_DEPTH + 1];
  constexpr Levels() : shift(), mask() {
    for (int d = 0; d <= MAX_DEPTH; ++d) {
      bool split = d < 2 * SPLIT_GROUPS, high = split && d % 2 == 0;
      int group = split ? d / 2 : d - SPLIT_GROUPS;
      shift[d] = static_cast<uint8_t>(5 * group + (high ? 2 : 0));
      mask[d] = !split ? 31 : high ? 7 : 3;
    }
  }
} LEVELS;
inline uint32_t chunk(uint32_t h, int depth) { return (h >> LEVELS.shift[depth]) & LEVELS.mask[depth]; }
inline uint32_t bitpos(uint32_t h, int depth) { return 1u << chunk(h, depth); }
// The build targets plain x86-64, without the popcnt instruction: a table counts the bits of the small nodes'
// bitmaps in one load, arithmetic those of the wide ones.
inline constexpr struct BitCounts {
  uint8_t of[256];
  constexpr BitCounts() : of() {
    for (int i = 1; i < 256; ++i) of[i] = static_cast<uint8_t>(of[i >> 1] + (i & 1));
  }
} BIT_COUNTS;
inline int popcount(uint32_t x) {
  if (x < 256) return BIT_COUNTS.of[x];
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0Fu;
  return static_cast<int>((x * 0x01010101u) >> 24);
}
inline int index_of(uint32_t map, uint32_t bit) { return popcount(map & (bit - 1)); }
inline uint32_t lowest(uint32_t m) { return m & (~m + 1); }

// A map entry. Replacing the value of an equal key keeps the key first stored, as Clojure does.
struct KV {
  Value key;
  Value val;
  static bool same(const KV& stored, const KV& incoming) { return stored.val.identical(incoming.val); }
  static void replace(KV& stored, KV&& incoming) { stored.val = std::move(incoming.val); }
  static KV replaced(const KV& stored, KV&& incoming) { return KV{stored.key, std::move(incoming.val)}; }
};

// A set member: adding a member that is already there changes nothing.
struct K {
  Value key;
  static bool same(const K&, const K&) { return true; }
  static void replace(K&, K&&) {}
  static K replaced(const K& stored, K&&) { return stored; }
};

template <class E>
struct Node {
  mutable std::atomic<uint32_t> rc{1};
  bool collision = false;
  uint32_t datamap = 0;  // bitmap node: slots holding an entry;  collision node: the number of entries
  uint32_t nodemap = 0;  // bitmap node: slots holding a child;     collision node: the shared hash

  int entry_count() const { return collision ? static_cast<int>(datamap) : popcount(datamap); }
  int child_count() const { return collision ? 0 : popcount(nodemap); }
  // Children come first: a lookup passes through several nodes' children and reads one node's entries.
  Node** children() { return reinterpret_cast<Node**>(this + 1); }
  Node* const* children() const { return reinterpret_cast<Node* const*>(this + 1); }
  E* entries() { return reinterpret_cast<E*>(children() + child_count()); }
  const E* entries() const { return reinterpret_cast<const E*>(children() + child_count()); }
  E& entry_at(uint32_t bit) { return entries()[index_of(datamap, bit)]; }
  const E& entry_at(uint32_t bit) const { return entries()[index_of(datamap, bit)]; }
  Node*& child_at(uint32_t bit) { return children()[index_of(nodemap, bit)]; }
  Node* child_at(uint32_t bit) const { return children()[index_of(nodemap, bit)]; }
  static size_t bytes(int entries, int children) {
    return sizeof(Node) + entries * sizeof(E) + children * sizeof(Node*);
  }
};

template <class E>
Node<E>* alloc(bool collision, uint32_t datamap, uint32_t nodemap, int entries, int children) {
  static_assert(sizeof(Node<E>) % alignof(E) == 0);
  // Nodes are small and a persistent change frees as many as it makes: the per-thread free lists suit them.
  void* p = small_alloc(Node<E>::bytes(entries, children));
  auto* n = new (p) Node<E>;
  n->collision = collision;
  n->datamap = datamap;
  n->nodemap = nodemap;
  return n;
}

template <class E>
void retain(const Node<E>* n) {
  if (n) n->rc.fetch_add(1, std::memory_order_relaxed);
}

template <class E>
void release(const Node<E>* node) {
  if (!node || node->rc.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  auto* n = const_cast<Node<E>*>(node);
  int ne = n->entry_count(), nc = n->child_count();
  Node<E>** kids = n->children();
  for (int i = 0; i < nc; ++i) release(kids[i]);  // at most MAX_DEPTH + 2 levels deep
  E* es = n->entries();
  for (int i = 0; i < ne; ++i) es[i].~E();
  n->~Node();
  small_free(n, Node<E>::bytes(ne, nc));
}

// Whether the caller may change n in place: it is editing and holds the only reference.
template <class E>
bool exclusive(bool edit, const Node<E>* n) {
  return edit && n->rc.load(std::memory_order_acquire) == 1;
}

// A bitmap node with the given bitmaps, its slots taken from src (copied, or moved out when steal), except the
// slot at `bit`, which takes *entry or child when given.
template <class E>
Node<E>* rebuild(Node<E>* src, bool steal, uint32_t datamap, uint32_t nodemap, uint32_t bit, E* entry,
                 Node<E>* child) {
  Node<E>* n = alloc<E>(false, datamap, nodemap, popcount(datamap), popcount(nodemap));
  if (!steal && datamap == src->datamap && nodemap == src->nodemap) {
    // One slot changes, the commonest step on a path: straight copies.
    int ne = n->entry_count(), nc = n->child_count();
    int at_entry = entry && (datamap & bit) ? index_of(datamap, bit) : -1;
    int at_child = child && (nodemap & bit) ? index_of(nodemap, bit) : -1;
    E* out = n->entries();
    const E* in = src->entries();
    for (int i = 0; i < ne; ++i) {
      if (i == at_entry) new (out + i) E(std::move(*entry)); else new (out + i) E(in[i]);
    }
    Node<E>** kids = n->children();
    Node<E>* const* from = src->children();
    // The children's counts are scattered over memory: fetch them all at once rather than miss one by one.
    for (int i = 0; i < nc; ++i) {
      kids[i] = from[i];
      __builtin_prefetch(kids[i], 1);
    }
    for (int i = 0; i < nc; ++i) {
      if (i == at_child) kids[i] = child; else retain(kids[i]);
    }
    return n;
  }
  // Walks the slots of both nodes in order, counting positions as it goes.
  E* out = n->entries();
  E* in = src->entries();
  for (uint32_t m = datamap | src->datamap; m; m &= m - 1) {
    uint32_t b = lowest(m);
    if (datamap & b) {
      if (b == bit && entry) {
        new (out++) E(std::move(*entry));
      } else if (steal) {
        new (out++) E(std::move(*in));
      } else {
        new (out++) E(*in);
      }
    }
    if (src->datamap & b) ++in;
  }
  Node<E>** kids = n->children();
  Node<E>** from = src->children();
  for (uint32_t m = nodemap | src->nodemap; m; m &= m - 1) {
    uint32_t b = lowest(m);
    if (nodemap & b) {
      if (b == bit && child) {
        *kids++ = child;
      } else {
        *kids++ = *from;
        if (steal) *from = nullptr; else retain(*from);
      }
    }
    if (src->nodemap & b) ++from;
  }
  return n;
}

// A collision node of src's entries (copied, or moved when steal) without entry `skip` (-1: none), plus *extra.
template <class E>
Node<E>* rebuild_collision(Node<E>* src, bool steal, int skip, E* extra) {
  int n = src->entry_count();
  int count = n - (skip >= 0 ? 1 : 0) + (extra ? 1 : 0);
  Node<E>* c = alloc<E>(true, static_cast<uint32_t>(count), src->nodemap, count, 0);
  E* out = c->entries();
  for (int i = 0; i < n; ++i) {
    if (i == skip) continue;
    if (steal) new (out++) E(std::move(src->entries()[i])); else new (out++) E(src->entries()[i]);
  }
  if (extra) new (out) E(std::move(*extra));
  return c;
}

// The smallest subtrie at `depth` holding a (hash ha) and b (hash hb), a being the earlier.
template <class E>
Node<E>* merge(int depth, E&& a, uint32_t ha, E&& b, uint32_t hb) {
  if (ha == hb) {
    Node<E>* c = alloc<E>(true, 2, ha, 2, 0);
    new (c->entries()) E(std::move(a));
    new (c->entries() + 1) E(std::move(b));
    return c;
  }
  uint32_t ca = chunk(ha, depth), cb = chunk(hb, depth);
  if (ca == cb) {
    Node<E>* n = alloc<E>(false, 0, 1u << ca, 0, 1);
    n->children()[0] = merge(depth + 1, std::move(a), ha, std::move(b), hb);
    return n;
  }
  Node<E>* n = alloc<E>(false, (1u << ca) | (1u << cb), 0, 2, 0);
  bool a_first = ca < cb;
  new (n->entries()) E(std::move(a_first ? a : b));
  new (n->entries() + 1) E(std::move(a_first ? b : a));
  return n;
}

template <class E>
Node<E>* assoc(Node<E>* n, int depth, uint32_t h, E& e, bool edit, bool& added);

template <class E>
Node<E>* assoc_collision(Node<E>* n, int depth, uint32_t h, E& e, bool edit, bool& added) {
  if (h == n->nodemap) {
    E* es = n->entries();
    for (int i = 0; i < n->entry_count(); ++i) {
      if (!key_equiv(es[i].key, e.key)) continue;
      if (E::same(es[i], e)) return n;
      if (edit) { E::replace(es[i], std::move(e)); return n; }
      Node<E>* c = rebuild_collision(n, false, -1, static_cast<E*>(nullptr));
      E::replace(c->entries()[i], std::move(e));
      return c;
    }
    added = true;
    return rebuild_collision(n, edit, -1, &e);
  }
  // A different hash: put the collision node one level down in a new bitmap node, then add there.
  Node<E>* w = alloc<E>(false, 0, bitpos(n->nodemap, depth), 0, 1);
  retain(n);
  w->children()[0] = n;
  Node<E>* r = assoc(w, depth, h, e, true, added);
  if (r != w) release(w);
  return r;
}

template <class E>
Node<E>* assoc(Node<E>* n, int depth, uint32_t h, E& e, bool edit, bool& added) {
  if (n->collision) return assoc_collision(n, depth, h, e, edit, added);
  uint32_t bit = bitpos(h, depth);
  if (n->datamap & bit) {
    E& cur = n->entry_at(bit);
    if (key_equiv(cur.key, e.key)) {
      if (E::same(cur, e)) return n;
      if (edit) { E::replace(cur, std::move(e)); return n; }
      E r = E::replaced(cur, std::move(e));
      return rebuild(n, false, n->datamap, n->nodemap, bit, &r, static_cast<Node<E>*>(nullptr));
    }
    uint32_t hc = key_hash(cur.key);
    E old = edit ? E(std::move(cur)) : E(cur);
    Node<E>* sub = merge(depth + 1, std::move(old), hc, std::move(e), h);
    added = true;
    return rebuild(n, edit, n->datamap ^ bit, n->nodemap | bit, bit, static_cast<E*>(nullptr), sub);
  }
  if (n->nodemap & bit) {
    Node<E>*& slot = n->child_at(bit);
    Node<E>* c = slot;
    Node<E>* r = assoc(c, depth + 1, h, e, exclusive(edit, c), added);
    if (r == c) return n;
    if (edit) { slot = r; release(c); return n; }
    return rebuild(n, false, n->datamap, n->nodemap, bit, static_cast<E*>(nullptr), r);
  }
  added = true;
  return rebuild(n, edit, n->datamap | bit, n->nodemap, bit, &e, static_cast<Node<E>*>(nullptr));
}

// Answers n, a new node, or nullptr when the node ends up empty.
template <class E>
Node<E>* without(Node<E>* n, int depth, uint32_t h, const Value& key, bool edit, bool& removed) {
  if (n->collision) {
    if (h != n->nodemap) return n;
    for (int i = 0; i < n->entry_count(); ++i) {
      if (!key_equiv(n->entries()[i].key, key)) continue;
      removed = true;
      if (n->entry_count() == 1) return nullptr;
      return rebuild_collision(n, edit, i, static_cast<E*>(nullptr));
    }
    return n;
  }
  uint32_t bit = bitpos(h, depth);
  if (n->datamap & bit) {
    if (!key_equiv(n->entry_at(bit).key, key)) return n;
    removed = true;
    if (n->datamap == bit && n->nodemap == 0) return nullptr;
    return rebuild(n, edit, n->datamap ^ bit, n->nodemap, 0, static_cast<E*>(nullptr),
                   static_cast<Node<E>*>(nullptr));
  }
  if (n->nodemap & bit) {
    Node<E>*& slot = n->child_at(bit);
    Node<E>* c = slot;
    Node<E>* r = without(c, depth + 1, h, key, exclusive(edit, c), removed);
    if (r == c) return n;
    if (r == nullptr) {
      if (n->nodemap == bit && n->datamap == 0) return nullptr;
      return rebuild(n, edit, n->datamap, n->nodemap ^ bit, 0, static_cast<E*>(nullptr),
                     static_cast<Node<E>*>(nullptr));
    }
    if (edit) { slot = r; release(c); return n; }
    return rebuild(n, false, n->datamap, n->nodemap, bit, static_cast<E*>(nullptr), r);
  }
  return n;
}

template <class E>
const E* find(const Node<E>* n, uint32_t h, const Value& key) {
  for (int depth = 0; n; ++depth) {
    if (n->collision) {
      if (h != n->nodemap) return nullptr;
      for (int i = 0; i < n->entry_count(); ++i)
        if (key_equiv(n->entries()[i].key, key)) return &n->entries()[i];
      return nullptr;
    }
    uint32_t bit = bitpos(h, depth);
    if (n->datamap & bit) {
      const E& e = n->entry_at(bit);
      return key_equiv(e.key, key) ? &e : nullptr;
    }
    if (!(n->nodemap & bit)) return nullptr;
    n = n->child_at(bit);
  }
  return nullptr;
}

// Visits entries in iteration order; answers false when f stopped it.
template <class E, class F>
bool each(const Node<E>* n, F&& f) {
  if (n->collision) {
    for (int i = 0; i < n->entry_count(); ++i)
      if (!f(n->entries()[i])) return false;
    return true;
  }
  for (uint32_t m = n->datamap | n->nodemap; m; m &= m - 1) {
    uint32_t b = lowest(m);
    if (n->datamap & b) {
      if (!f(n->entry_at(b))) return false;
    } else if (!each(n->child_at(b), f)) {
      return false;
    }
  }
  return true;
}

// A position in a trie, for sequences: the current entry and the slots still to visit on the way back up. It
// holds no references; whoever holds a cursor keeps the trie alive.
template <class E>
class Cursor {
 public:
  explicit Cursor(const Node<E>* root) {
    if (root) push(root);
    advance();
  }
  const E* current() const { return cur_; }
  void advance() {
    while (depth_ > 0) {
      Frame& f = stack_[depth_ - 1];
      if (f.rest == 0) {
        --depth_;
        continue;
      }
      if (f.node->collision) {
        cur_ = &f.node->entries()[f.node->entry_count() - static_cast<int>(f.rest)];
        --f.rest;
        return;
      }
      uint32_t b = lowest(f.rest);
      f.rest ^= b;
      if (f.node->datamap & b) {
        cur_ = &f.node->entry_at(b);
        return;
      }
      push(f.node->child_at(b));
    }
    cur_ = nullptr;
  }

 private:
  void push(const Node<E>* n) {
    stack_[depth_++] = Frame{n, n->collision ? n->datamap : (n->datamap | n->nodemap)};
  }
  struct Frame {
    const Node<E>* node;
    uint32_t rest;  // bitmap node: slots not yet visited; collision node: entries not yet visited
  };
  Frame stack_[MAX_DEPTH + 2];  // the bitmap levels and a collision node below them at most
  int depth_ = 0;
  const E* cur_ = nullptr;
};

}  // namespace kelp::hamt
