// clojure.core's collection functions: building, reading and updating collections, transients, and the
// collection predicates and equality.
#include <optional>
#include <string>
#include <unordered_set>

#include "kelp/data/compare.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/sorted.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/seq_install.hpp"
#include "kelp/lib/seq_lazy.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/lib/seq_util.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/types.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

using namespace seqs;
using rt::Args;

namespace {

[[noreturn]] void cannot_cast(const Value& v, std::string_view to) {
  rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class " + std::string(to));
}

// --- conj and assoc

// The entries of a seq conjoined onto a map: each must be an entry (a key and value pair).
template <class F>
void each_entry_of(const Value& entries, F f) {
  each_of(rt::seq(entries), [&](const Value& e) {
    if (!e.is(Kind::Vector) || e.obj()->count() != 2) cannot_cast(e, "java.util.Map$Entry");
    f(e.as<Vector>().nth(0), e.as<Vector>().nth(1));
    return true;
  });
}

Value conj1(const Value& coll, Value x) {
  if (coll.is_nil()) return make_list({std::move(x)});
  if (!coll.is_obj()) cannot_cast(coll, "clojure.lang.IPersistentCollection");
  const Object* o = coll.obj();
  switch (o->kind()) {
    case Kind::Vector: return vector_conj(coll, std::move(x));
    case Kind::List: return list_conj(coll, std::move(x));
    case Kind::HashSet:
    case Kind::SortedSet: return set_conj(coll, std::move(x));
    default: break;
  }
  if (o->has(MAP)) {
    if (x.is(Kind::Vector)) {
      if (x.obj()->count() != 2) rt::throw_illegal_argument("Vector arg to map conj must be a pair");
      const auto& e = x.as<Vector>();
      return assoc(coll, e.nth(0), e.nth(1));
    }
    if (x.has(MAP)) {
      Value out = coll;
      x.obj()->each_entry([&](const Value& k, const Value& v) {
        out = assoc(std::move(out), k, v);
        return true;
      });
      return out;
    }
    // Anything else is taken as a seq of entries.
    Value out = coll;
    each_entry_of(x, [&](const Value& k, const Value& v) { out = assoc(std::move(out), k, v); });
    return out;
  }
  if (o->has(SEQ)) return rt::cons(std::move(x), coll);
  cannot_cast(coll, "clojure.lang.IPersistentCollection");
}

Value assoc1(const Value& coll, const Value& k, const Value& v) {
  if (coll.is(Kind::Vector)) {
    if (!k.is_int()) rt::throw_illegal_argument("Key must be integer");
    int64_t i = k.as_int();
    if (i < 0 || i > coll.obj()->count()) throw_index_oob();
    return vector_assoc(coll, i, v);
  }
  if (!coll.is_nil() && !coll.has(MAP)) cannot_cast(coll, "clojure.lang.Associative");
  return assoc(coll, k, v);
}

Value get_of(const Value& coll, const Value& key, const Value& not_found);

Value get_in(const Value& m, const Value& ks, const Value& not_found) {
  Value cur = m;
  static const Value missing = make_reduced(NIL);  // a value no collection holds
  bool found = each_of(ks, [&](const Value& k) {
    Value next = get_of(cur, k, missing);
    if (next.identical(missing)) return false;
    cur = std::move(next);
    return true;
  });
  return found ? cur : not_found;
}

Value assoc_in(const Value& m, const Value& ks, const Value& v) {
  Value s = seq_of(ks);
  Value k = s.is_nil() ? NIL : first_of(s);
  Value more = s.is_nil() ? NIL : next_of(s);
  if (more.is_nil()) return assoc1(m, k, v);
  rt::check_stack();
  return assoc1(m, k, assoc_in(get_of(m, k, NIL), more, v));
}

Value update_with(const Value& old, const Value& f, Args extra) {
  if (extra.empty()) return call1(f, old);
  std::vector<Value> args;
  args.reserve(extra.size() + 1);
  args.push_back(old);
  args.insert(args.end(), extra.begin(), extra.end());
  return rt::call(f, Args(args.data(), args.size()));
}

Value update_in(const Value& m, const Value& ks, const Value& f, Args extra) {
  Value s = seq_of(ks);
  Value k = s.is_nil() ? NIL : first_of(s);
  Value more = s.is_nil() ? NIL : next_of(s);
  Value old = get_of(m, k, NIL);
  if (more.is_nil()) return assoc1(m, k, update_with(old, f, extra));
  rt::check_stack();
  return assoc1(m, k, update_in(old, more, f, extra));
}

// --- Transients

class Transient final : public Object {
 public:
  enum class Of { Vector, Map, Set };
  explicit Transient(Of of) : Object(Kind::Host, 0), of_(of) {}
  std::string_view type_name() const override {
    switch (of_) {
      case Of::Vector: return "clojure.lang.PersistentVector$TransientVector";
      case Of::Map: return "clojure.lang.PersistentArrayMap$TransientArrayMap";
      case Of::Set: return "clojure.lang.PersistentHashSet$TransientHashSet";
    }
    return "clojure.lang.ATransientCollection";
  }
  Of of_;
  mutable bool done = false;
  mutable std::optional<TransientVector> vec;
  mutable std::optional<TransientMap> map;
  mutable Value set;
};

const Transient* as_transient(const Value& v) {
  if (v.is(Kind::Host)) {
    if (auto* t = dynamic_cast<const Transient*>(v.obj())) return t;
  }
  return nullptr;
}

const Transient& live(const Value& v, const char* iface) {
  const Transient* t = as_transient(v);
  if (!t) cannot_cast(v, iface);
  if (t->done) rt::throw_error("java.lang.IllegalAccessError", "Transient used after persistent! call");
  return *t;
}

Value make_transient(const Value& coll) {
  if (coll.is(Kind::Vector)) {
    auto* t = new Transient(Transient::Of::Vector);
    t->vec.emplace(coll);
    return Value::adopt(t);
  }
  if (coll.is(Kind::ArrayMap) || coll.is(Kind::HashMap)) {
    auto* t = new Transient(Transient::Of::Map);
    t->map.emplace(coll);
    return Value::adopt(t);
  }
  if (coll.is(Kind::HashSet)) {
    auto* t = new Transient(Transient::Of::Set);
    t->set = coll;
    return Value::adopt(t);
  }
  cannot_cast(coll, "clojure.lang.IEditableCollection");
}

Value persistent(const Value& v) {
  const Transient& t = live(v, "clojure.lang.ITransientCollection");
  t.done = true;
  switch (t.of_) {
    case Transient::Of::Vector: return t.vec->persistent();
    case Transient::Of::Map: return t.map->persistent();
    case Transient::Of::Set: return std::move(t.set);
  }
  return NIL;
}

void transient_conj(const Transient& t, const Value& x) {
  switch (t.of_) {
    case Transient::Of::Vector: t.vec->conj(x); return;
    case Transient::Of::Set: t.set = set_conj(t.set, x); return;
    case Transient::Of::Map:
      if (x.is(Kind::Vector)) {
        if (x.obj()->count() != 2) rt::throw_illegal_argument("Vector arg to map conj must be a pair");
        t.map->assoc(x.as<Vector>().nth(0), x.as<Vector>().nth(1));
      } else if (x.has(MAP)) {
        x.obj()->each_entry([&](const Value& k, const Value& v) { t.map->assoc(k, v); return true; });
      } else {
        each_entry_of(x, [&](const Value& k, const Value& v) { t.map->assoc(k, v); });
      }
      return;
  }
}

void transient_assoc(const Transient& t, const Value& k, const Value& v) {
  if (t.of_ == Transient::Of::Map) return t.map->assoc(k, v);
  if (t.of_ != Transient::Of::Vector) cannot_cast(Value::share(&t), "clojure.lang.ITransientAssociative");
  if (!k.is_int()) rt::throw_illegal_argument("Key must be integer");
  if (k.as_int() < 0 || k.as_int() > t.vec->count()) throw_index_oob();
  t.vec->assoc(k.as_int(), v);
}

// --- Building

// Conjoins every item of from onto to, in place where `to` can be edited.
Value into(const Value& to, const Value& from) {
  if (to.is(Kind::Vector) || to.is(Kind::ArrayMap) || to.is(Kind::HashMap) || to.is(Kind::HashSet)) {
    Value t = make_transient(to);
    const Transient& tr = *as_transient(t);
    size_t steps = 0;
    fold(from, [&](const Value& x) {
      if ((++steps & 1023) == 0) rt::safe_point();
      transient_conj(tr, x);
      return true;
    });
    return with_meta(persistent(t), meta(to));
  }
  Value out = to;
  fold(from, [&](const Value& x) {
    out = conj1(out, x);
    return true;
  });
  return out;
}

// A PersistentHashMap whatever its size, as hash-map makes.
Value hash_map_of(Args kvs) {
  TransientMap t;
  // Keys no other value equals push the transient past its array stage; they are removed again below.
  std::vector<Value> spare;
  if (kvs.size() / 2 <= static_cast<size_t>(ARRAY_MAP_MAX)) {
    for (int64_t i = 0; i <= ARRAY_MAP_MAX; ++i) {
      spare.push_back(make_reduced(NIL));
      t.assoc(spare.back(), NIL);
    }
  }
  for (size_t i = 0; i < kvs.size(); i += 2) t.assoc(kvs[i], kvs[i + 1]);
  for (const Value& s : spare) t.dissoc(s);
  return t.persistent();
}

Value empty_of(const Value& coll) {
  if (!coll.is_obj()) return NIL;
  const Object* o = coll.obj();
  Value m = o->meta();
  switch (o->kind()) {
    case Kind::Vector: return with_meta(empty_vector(), m);
    case Kind::List:
    case Kind::Seq: return with_meta(empty_list(), m);
    case Kind::ArrayMap:
    case Kind::HashMap: return with_meta(empty_map(), m);
    case Kind::HashSet: return with_meta(empty_set(), m);
    case Kind::SortedMap: {
      Value out = coll;
      o->each_entry([&](const Value& k, const Value&) {
        out = dissoc(out, k);
        return true;
      });
      return out;
    }
    case Kind::SortedSet: {
      Value out = coll;
      o->each([&](const Value& x) {
        out = set_disj(out, x);
        return true;
      });
      return out;
    }
    case Kind::Other:
      if (as_extension_map(coll))
        rt::throw_error("java.lang.UnsupportedOperationException", "Can't create empty: " + std::string(o->type_name()));
      return NIL;
    default: return NIL;
  }
}

class FnComparator final : public Comparator {
 public:
  explicit FnComparator(Value f) : f_(std::move(f)) {}
  int compare(const Value& a, const Value& b) const override { return fn_compare(f_, a, b); }

 private:
  Value f_;
};

void check_pairs(Args kvs) {
  if (kvs.size() % 2) rt::throw_illegal_argument("No value supplied for key: " + pr_str(kvs.back()));
}

Value rseq_of(const Value& coll) {
  if (coll.is(Kind::Vector)) {
    const auto& v = coll.as<Vector>();
    if (v.count() == 0) return NIL;
    std::vector<Value> items;
    items.reserve(static_cast<size_t>(v.count()));
    for (int64_t i = v.count() - 1; i >= 0; --i) items.push_back(v.nth(i));
    return seq_of(make_vector(items));
  }
  if (coll.is(Kind::SortedMap) || coll.is(Kind::SortedSet)) return sorted_rseq(coll);
  cannot_cast(coll, "clojure.lang.Reversible");
}

Value merge_with(const Value* f, Args maps) {
  Value out;
  bool any = false;
  for (const Value& m : maps) {
    if (m.is_nil()) continue;
    if (!any) {
      out = m;
      any = true;
      continue;
    }
    if (!f) {
      out = conj1(out, m);
      continue;
    }
    if (!m.has(MAP)) cannot_cast(m, "java.util.Map$Entry");
    m.obj()->each_entry([&](const Value& k, const Value& v) {
      const Value* old = get(out, k);
      out = assoc(std::move(out), k, old ? call2(*f, *old, v) : v);
      return true;
    });
  }
  return out;
}

bool contains_key(const Value& coll, const Value& key) {
  if (coll.is_nil()) return false;
  if (coll.has(MAP) || coll.has(SET)) return contains(coll, key);
  if (coll.is(Kind::Vector) || coll.is(Kind::String)) {
    if (!key.is_int() && !key.is_double()) return false;
    int64_t i = long_arg(key);
    return i >= 0 && i < coll.obj()->count();
  }
  if (const Transient* t = as_transient(coll); t && !t->done) {
    if (t->of_ == Transient::Of::Map) return t->map->get(key) != nullptr;
    if (t->of_ == Transient::Of::Set) return t->set.obj()->lookup(key) != nullptr;
    if (key.is_int()) return t->vec->get(key.as_int()) != nullptr;
    return false;
  }
  rt::throw_illegal_argument("contains? not supported on type: " + std::string(type_name(coll)));
}

Value map_entry_part(const Value& e, int64_t i) {
  if (!e.is(Kind::Vector) || e.obj()->count() != 2) cannot_cast(e, "java.util.Map$Entry");
  return e.as<Vector>().nth(i);
}

Value get_of(const Value& coll, const Value& key, const Value& not_found) {
  if (!coll.is_obj()) return not_found;
  const Object* o = coll.obj();
  if (o->has(MAP) || o->has(SET)) {
    const Value* v = o->lookup(key);
    return v ? *v : not_found;
  }
  if (o->kind() == Kind::Vector) {
    if (!key.is_int()) return not_found;
    const Value* v = vector_get(coll, key.as_int());
    return v ? *v : not_found;
  }
  if (o->kind() == Kind::String) {
    if (!key.is_int() || key.as_int() < 0 || key.as_int() >= o->count()) return not_found;
    return Value::character(coll.as<String>().at(key.as_int()));
  }
  if (const Transient* t = as_transient(coll); t && !t->done) {
    if (t->of_ == Transient::Of::Map) {
      const Value* v = t->map->get(key);
      return v ? *v : not_found;
    }
    if (t->of_ == Transient::Of::Set) return get_of(t->set, key, not_found);
    if (!key.is_int()) return not_found;
    const Value* v = t->vec->get(key.as_int());
    return v ? *v : not_found;
  }
  if (o->kind() == Kind::Host)  // java.util maps and lists: look in a snapshot of their contents
    if (std::optional<Value> snapshot = rt::host::printed_as(coll)) return get_of(*snapshot, key, not_found);
  if (const Value* f = rt::types::instance_method(coll, "valAt")) {  // a deftype that is an ILookup
    if (not_found.is_nil()) return rt::call(*f, {coll, key});
    return rt::call(*f, {coll, key, not_found});
  }
  return not_found;
}

Value keys_or_vals(const Value& m, bool want_keys) {
  std::vector<Value> out;
  each_of(m, [&](const Value& e) {
    out.push_back(map_entry_part(e, want_keys ? 0 : 1));
    return true;
  });
  return out.empty() ? NIL : seq_of(make_vector(out));
}

void install_building(rt::Namespace* ns) {
  def_native(ns, "conj", 0, -1, [](Args a) -> Value {
    if (a.empty()) return empty_vector();
    Value out = a[0];
    for (size_t i = 1; i < a.size(); ++i) out = conj1(out, a[i]);
    return out;
  }, "([] [coll] [coll x] [coll x & xs])", "Returns coll with the xs added where it adds best; nil gives a list.");
  def_native(ns, "assoc", 3, -1, [](Args a) {
    if ((a.size() - 1) % 2)
      rt::throw_illegal_argument("assoc expects even number of arguments after map/vector, found odd number");
    Value out = a[0];
    for (size_t i = 1; i < a.size(); i += 2) out = assoc1(out, a[i], a[i + 1]);
    return out;
  }, "([map key val] [map key val & kvs])", "Returns the map (or vector) with key mapped to val.");
  def_native(ns, "dissoc", 1, -1, [](Args a) {
    Value out = a[0];
    if (!out.is_nil() && !out.has(MAP)) cannot_cast(out, "clojure.lang.IPersistentMap");
    for (size_t i = 1; i < a.size() && !out.is_nil(); ++i) out = dissoc(out, a[i]);
    return out;
  }, "([map] [map key] [map key & ks])", "Returns the map without the keys.");
  def_native(ns, "disj", 1, -1, [](Args a) {
    Value out = a[0];
    if (!out.is_nil() && !out.has(SET)) cannot_cast(out, "clojure.lang.IPersistentSet");
    for (size_t i = 1; i < a.size() && !out.is_nil(); ++i) out = set_disj(out, a[i]);
    return out;
  }, "([set] [set key] [set key & ks])", "Returns the set without the keys.");
  def_native(ns, "get", 2, 3, [](Args a) { return get_of(a[0], a[1], a.size() == 3 ? a[2] : NIL); },
             "([map key] [map key not-found])", "The value mapped to key in a map, set, vector or string; not-found or nil.");
  def_native(ns, "get-in", 2, 3, [](Args a) { return get_in(a[0], a[1], a.size() == 3 ? a[2] : NIL); },
             "([m ks] [m ks not-found])", "The value in nested associative structures at the keys ks.");
  def_native(ns, "assoc-in", 3, 3, [](Args a) { return assoc_in(a[0], a[1], a[2]); }, "([m [k & ks] v])",
             "Associates v at the keys ks in nested structures, creating maps where they are missing.");
  def_native(ns, "update", 3, -1, [](Args a) {
    return assoc1(a[0], a[1], update_with(get_of(a[0], a[1], NIL), a[2], a.subspan(3)));
  }, "([m k f] [m k f x] [m k f x y] [m k f x y z] [m k f x y z & more])",
             "Updates the value at k with (f old & args).");
  def_native(ns, "update-in", 3, -1, [](Args a) { return update_in(a[0], a[1], a[2], a.subspan(3)); },
             "([m ks f & args])", "Updates the value at the keys ks in nested structures with (f old & args).");
  def_native(ns, "into", 0, 3, [](Args a) -> Value {
    if (a.empty()) return empty_vector();
    if (a.size() == 1) return a[0];
    if (a.size() == 2) return into(a[0], a[1]);
    // (into to xform from): run the transducer over a reducing conj.
    static const Value conj_rf = rt::make_native("clojure.core/into/conj", 0, 2, +[](Args b) -> Value {
      if (b.empty()) return empty_vector();
      if (b.size() == 1) return b[0];
      return conj1(b[0], b[1]);
    });
    Value rf = call1(a[1], conj_rf);
    Value acc = a[0];
    fold(a[2], [&](const Value& x) {
      acc = call2(rf, acc, x);
      if (!is_reduced(acc)) return true;
      Value v = reduced_value(acc);
      acc = std::move(v);
      return false;
    });
    return call1(rf, acc);
  }, "([] [to] [to from] [to xform from])", "Returns to with every item of from conjoined.");
  def_native(ns, "merge", 0, -1, [](Args a) { return merge_with(nullptr, a); }, "([& maps])",
             "Returns the maps merged left to right, later keys winning; nil when none is a map.");
  def_native(ns, "merge-with", 1, -1, [](Args a) { return merge_with(&a[0], a.subspan(1)); }, "([f & maps])",
             "As merge, combining the values of a repeated key with (f old new).");
  def_native(ns, "zipmap", 2, 2, [](Args a) {
    TransientMap t;
    Value ks = seq_of(a[0]), vs = seq_of(a[1]);
    for (; !ks.is_nil() && !vs.is_nil(); ks = next_of(ks), vs = next_of(vs)) t.assoc(first_of(ks), first_of(vs));
    return t.persistent();
  }, "([keys vals])", "Returns a map of the keys to the corresponding vals.");
  def_native(ns, "select-keys", 2, 2, [](Args a) {
    TransientMap t;
    each_of(a[1], [&](const Value& k) {
      static const Value missing = make_reduced(NIL);
      Value v = get_of(a[0], k, missing);
      if (!v.identical(missing)) t.assoc(k, v);
      return true;
    });
    return t.persistent();
  }, "([map keyseq])", "Returns a map of only the entries of map whose keys are in keyseq.");
  def_native(ns, "frequencies", 1, 1, [](Args a) {
    TransientMap t;
    fold(a[0], [&](const Value& x) {
      const Value* n = t.get(x);
      t.assoc(x, Value::integer(n ? n->as_int() + 1 : 1));
      return true;
    });
    return t.persistent();
  }, "([coll])", "Returns a map from the distinct items of coll to how many times each appears.");
  def_native(ns, "group-by", 2, 2, [](Args a) {
    TransientMap t;
    fold(a[1], [&](const Value& x) {
      Value k = call1(a[0], x);
      const Value* g = t.get(k);
      t.assoc(k, vector_conj(g ? *g : empty_vector(), x));
      return true;
    });
    return t.persistent();
  }, "([f coll])", "Returns a map from (f item) to the vector of the items with that result, in order.");
}

void install_constructors(rt::Namespace* ns) {
  def_native(ns, "vector", 0, -1, [](Args a) { return make_vector(a); }, "([] [a] [a b] [a b & args])",
             "Returns a new vector of the arguments.");
  def_native(ns, "vec", 1, 1, [](Args a) {
    if (a[0].is(Kind::Vector)) return a[0];
    if (!a[0].is_nil() && !a[0].is_obj()) cannot_cast(a[0], "java.util.Collection");
    TransientVector t;
    fold(a[0], [&](const Value& x) { t.conj(x); return true; });
    return t.persistent();
  }, "([coll])", "Returns a vector of the items of coll.");
  def_native(ns, "list", 0, -1, [](Args a) { return make_list(a); }, "([& items])", "Returns a new list of the items.");
  def_native(ns, "list*", 1, -1, [](Args a) {
    Value out = seq_of(a.back());
    for (size_t i = a.size() - 1; i-- > 0;) out = rt::cons(a[i], out);
    return out;
  }, "([args] [a args] [a b args] [a b c args] [a b c d & more])",
             "Returns a seq of the items followed by the items of the last argument.");
  def_native(ns, "hash-map", 0, -1, [](Args a) {
    if (a.size() % 2) check_pairs(a);
    return hash_map_of(a);
  }, "([] [& keyvals])", "Returns a new hash map of the key/value pairs.");
  def_native(ns, "array-map", 0, -1, [](Args a) {
    if (a.size() % 2) check_pairs(a);
    return make_map(a);
  }, "([] [& keyvals])", "Returns a new array map (insertion order) of the key/value pairs.");
  def_native(ns, "hash-set", 0, -1, [](Args a) { return make_set(a); }, "([] [& keys])",
             "Returns a new hash set of the keys.");
  def_native(ns, "set", 1, 1, [](Args a) {
    if (a[0].is(Kind::HashSet) || a[0].is(Kind::SortedSet)) return with_meta(a[0], NIL);
    std::vector<Value> items = to_vector(a[0]);
    return make_set(items);
  }, "([coll])", "Returns a set of the distinct items of coll.");
  def_native(ns, "sorted-map", 0, -1, [](Args a) {
    if (a.size() % 2) check_pairs(a);
    return make_sorted_map(a);
  }, "([& keyvals])", "Returns a new sorted map of the key/value pairs, ordered by compare.");
  def_native(ns, "sorted-set", 0, -1, [](Args a) { return make_sorted_set(a); }, "([& keys])",
             "Returns a new sorted set of the keys, ordered by compare.");
  def_native(ns, "sorted-map-by", 1, -1, [](Args a) {
    if ((a.size() - 1) % 2) check_pairs(a.subspan(1));
    return make_sorted_map(a.subspan(1), std::make_shared<FnComparator>(a[0]));
  }, "([comparator & keyvals])", "Returns a new sorted map of the key/value pairs, ordered by comparator.");
  def_native(ns, "sorted-set-by", 1, -1, [](Args a) {
    return make_sorted_set(a.subspan(1), std::make_shared<FnComparator>(a[0]));
  }, "([comparator & keys])", "Returns a new sorted set of the keys, ordered by comparator.");
  def_native(ns, "comparator", 1, 1, [](Args a) {
    Value pred = a[0];
    return rt::make_native("comparator", 2, 2, std::function<Value(Args)>([pred](Args xy) {
      if (rt::call(pred, {xy[0], xy[1]}).truthy()) return Value::integer(-1);
      if (rt::call(pred, {xy[1], xy[0]}).truthy()) return Value::integer(1);
      return Value::integer(0);
    }));
  }, "([pred])", "Returns an implementation of java.util.Comparator based upon pred.");
  def_native(ns, "mapv", 2, -1, [](Args a) {
    TransientVector t;
    if (a.size() == 2) {
      fold(a[1], [&](const Value& x) { t.conj(call1(a[0], x)); return true; });
    } else {
      Value mapped = lazy_map_n(a[0], std::vector<Value>(a.begin() + 1, a.end()));
      fold(mapped, [&](const Value& x) { t.conj(x); return true; });
    }
    return t.persistent();
  }, "([f coll] [f c1 c2] [f c1 c2 c3] [f c1 c2 c3 & colls])", "As map, answering a vector.");
  def_native(ns, "filterv", 2, 2, [](Args a) {
    TransientVector t;
    fold(a[1], [&](const Value& x) {
      if (call1(a[0], x).truthy()) t.conj(x);
      return true;
    });
    return t.persistent();
  }, "([pred coll])", "As filter, answering a vector.");
}

void install_reading(rt::Namespace* ns) {
  def_native(ns, "count", 1, 1, [](Args a) {
    if (const Transient* t = as_transient(a[0])) {
      const Transient& l = live(a[0], "clojure.lang.Counted");
      (void)t;
      switch (l.of_) {
        case Transient::Of::Vector: return Value::integer(l.vec->count());
        case Transient::Of::Map: return Value::integer(l.map->count());
        case Transient::Of::Set: return Value::integer(l.set.obj()->count());
      }
    }
    return Value::integer(count_of(a[0]));
  }, "([coll])", "Returns the number of items in the collection; (count nil) is 0.");
  def_native(ns, "empty", 1, 1, [](Args a) { return empty_of(a[0]); }, "([coll])",
             "Returns an empty collection of the same kind as coll (with its metadata), or nil.");
  def_native(ns, "not-empty", 1, 1, [](Args a) { return seq_of(a[0]).is_nil() ? NIL : a[0]; }, "([coll])",
             "Returns coll when it has items, else nil.");
  def_native(ns, "keys", 1, 1, [](Args a) { return keys_or_vals(a[0], true); }, "([map])",
             "Returns a seq of the map's keys, or nil.");
  def_native(ns, "vals", 1, 1, [](Args a) { return keys_or_vals(a[0], false); }, "([map])",
             "Returns a seq of the map's values, or nil.");
  def_native(ns, "key", 1, 1, [](Args a) { return map_entry_part(a[0], 0); }, "([e])", "Returns the key of the map entry.");
  def_native(ns, "val", 1, 1, [](Args a) { return map_entry_part(a[0], 1); }, "([e])", "Returns the value in the map entry.");
  def_native(ns, "peek", 1, 1, [](Args a) -> Value {
    const Value& c = a[0];
    if (c.is_nil()) return NIL;
    if (c.is(Kind::Vector)) return c.obj()->count() ? c.as<Vector>().nth(c.obj()->count() - 1) : NIL;
    if (c.is(Kind::List)) return c.as<List>().first();
    cannot_cast(c, "clojure.lang.IPersistentStack");
  }, "([coll])", "The last item of a vector, the first of a list; nil when empty.");
  def_native(ns, "pop", 1, 1, [](Args a) -> Value {
    const Value& c = a[0];
    if (c.is_nil()) return NIL;
    if (c.is(Kind::Vector)) {
      if (c.obj()->count() == 0) rt::throw_illegal_state("Can't pop empty vector");
      return vector_pop(c);
    }
    if (c.is(Kind::List)) {
      if (c.obj()->count() == 0) rt::throw_illegal_state("Can't pop empty list");
      const Value& r = c.as<List>().rest_list();
      return r.is_nil() ? with_meta(empty_list(), meta(c)) : r;
    }
    cannot_cast(c, "clojure.lang.IPersistentStack");
  }, "([coll])", "A vector without its last item, a list without its first.");
  def_native(ns, "subvec", 2, 3, [](Args a) {
    if (!a[0].is(Kind::Vector)) cannot_cast(a[0], "clojure.lang.IPersistentVector");
    const auto& v = a[0].as<Vector>();
    int64_t start = long_arg(a[1]);
    int64_t end = a.size() == 3 ? long_arg(a[2]) : v.count();
    if (start < 0 || end < start || end > v.count()) throw_index_oob();
    TransientVector t;
    for (int64_t i = start; i < end; ++i) t.conj(v.nth(i));
    return t.persistent();
  }, "([v start] [v start end])", "Returns the vector of the items of v from start (inclusive) to end (exclusive).");
  def_native(ns, "contains?", 2, 2, [](Args a) { return Value::boolean(contains_key(a[0], a[1])); }, "([coll key])",
             "Returns true if key is present in coll: a key of a map or set, an index of a vector or string.");
  def_native(ns, "find", 2, 2, [](Args a) -> Value {
    if (!contains_key(a[0], a[1])) return NIL;
    return map_entry(a[1], get_of(a[0], a[1], NIL));
  }, "([map key])", "Returns the map entry for key, or nil.");
  def_native(ns, "rseq", 1, 1, [](Args a) { return rseq_of(a[0]); }, "([rev])",
             "Returns a seq of the items of a vector or sorted collection in reverse, in constant time; nil when empty.");
}

// --- subseq and rsubseq

// Which of clojure.core's comparison functions a test is: <, <=, > or >=.
enum class Test { Lt, Le, Gt, Ge };

Test test_of(const Value& f) {
  static const char* const names[] = {"<", "<=", ">", ">="};
  for (int i = 0; i < 4; ++i) {
    Value var = rt::core_vars().core->find(symbol(names[i]));
    if (var.is(Kind::Var) && rt::as_var(var).deref().obj() == f.obj() && f.is_obj()) return static_cast<Test>(i);
  }
  rt::throw_illegal_argument("subseq and rsubseq take one of <, <=, > and >= as tests");
}

const Value& sorted_arg(const Value& sc) {
  if (!sc.is(Kind::SortedMap) && !sc.is(Kind::SortedSet)) cannot_cast(sc, "clojure.lang.Sorted");
  return sc;
}

// The first `n` elements of s, lazily (() when n <= 0).
Value take_counted(const Value& s, int64_t n) { return lazy_take(n, s); }

// The elements of the sequence `from` before those of `rest_from`, a tail of it (nil: to the end).
Value up_to(const Value& from, const Value& rest_from) {
  return take_counted(from, count_of(from) - count_of(rest_from));
}

// (subseq sc test key): the elements whose keys pass (test key-of-element key), ascending.
Value subseq1(const Value& sc, Test t, const Value& key) {
  if (t == Test::Gt || t == Test::Ge) return sorted_seq_from(sc, key, true, t == Test::Ge);
  // The elements below the first one that fails the test.
  return up_to(seq_of(sc), sorted_seq_from(sc, key, true, t == Test::Lt));
}

Value subseq2(const Value& sc, Test start_t, const Value& start, Test end_t, const Value& end) {
  Value from = sorted_seq_from(sc, start, true, start_t == Test::Ge || start_t == Test::Le);
  if (from.is_nil()) return NIL;
  return up_to(from, sorted_seq_from(sc, end, true, end_t == Test::Lt || end_t == Test::Gt));
}

Value rsubseq1(const Value& sc, Test t, const Value& key) {
  if (t == Test::Lt || t == Test::Le) return sorted_seq_from(sc, key, false, t == Test::Le);
  return up_to(sorted_rseq(sc), sorted_seq_from(sc, key, false, t == Test::Gt));
}

Value rsubseq2(const Value& sc, Test start_t, const Value& start, Test end_t, const Value& end) {
  Value from = sorted_seq_from(sc, end, false, end_t == Test::Le || end_t == Test::Ge);
  if (from.is_nil()) return NIL;
  return up_to(from, sorted_seq_from(sc, start, false, start_t == Test::Gt || start_t == Test::Lt));
}

void install_subseq(rt::Namespace* ns) {
  def_native(ns, "subseq", 3, 5, [](Args a) -> Value {
    const Value& sc = sorted_arg(a[0]);
    if (a.size() == 3) return subseq1(sc, test_of(a[1]), a[2]);
    if (a.size() != 5) rt::throw_arity(4, "clojure.core/subseq");
    return subseq2(sc, test_of(a[1]), a[2], test_of(a[3]), a[4]);
  }, "([sc test key] [sc start-test start-key end-test end-key])",
     "sc must be a sorted collection, test(s) one of <, <=, > or >=. Returns a seq of those entries with keys ek for "
     "which (test (.. sc comparator (compare ek key)) 0) is true");
  def_native(ns, "rsubseq", 3, 5, [](Args a) -> Value {
    const Value& sc = sorted_arg(a[0]);
    if (a.size() == 3) return rsubseq1(sc, test_of(a[1]), a[2]);
    if (a.size() != 5) rt::throw_arity(4, "clojure.core/rsubseq");
    return rsubseq2(sc, test_of(a[1]), a[2], test_of(a[3]), a[4]);
  }, "([sc test key] [sc start-test start-key end-test end-key])",
     "sc must be a sorted collection, test(s) one of <, <=, > or >=. Returns a reverse seq of those entries with keys "
     "ek for which (test (.. sc comparator (compare ek key)) 0) is true");
}

void install_transients(rt::Namespace* ns) {
  def_native(ns, "transient", 1, 1, [](Args a) { return make_transient(a[0]); }, "([coll])",
             "Returns a transient version of the vector, map or set.");
  def_native(ns, "persistent!", 1, 1, [](Args a) { return persistent(a[0]); }, "([coll])",
             "Returns the persistent version of the transient; the transient may not be used afterwards.");
  def_native(ns, "conj!", 0, 2, [](Args a) -> Value {
    if (a.empty()) return make_transient(empty_vector());
    if (a.size() == 1) return a[0];
    transient_conj(live(a[0], "clojure.lang.ITransientCollection"), a[1]);
    return a[0];
  }, "([] [coll] [coll x])", "Adds x to the transient collection and returns it.");
  def_native(ns, "assoc!", 3, -1, [](Args a) {
    const Transient& t = live(a[0], "clojure.lang.ITransientAssociative");
    if ((a.size() - 1) % 2)
      rt::throw_illegal_argument("assoc! expects even number of arguments after map/vector, found odd number");
    for (size_t i = 1; i < a.size(); i += 2) transient_assoc(t, a[i], a[i + 1]);
    return a[0];
  }, "([coll key val] [coll key val & kvs])", "Sets key to val in the transient map or vector and returns it.");
  def_native(ns, "dissoc!", 2, -1, [](Args a) {
    const Transient& t = live(a[0], "clojure.lang.ITransientMap");
    if (t.of_ != Transient::Of::Map) cannot_cast(a[0], "clojure.lang.ITransientMap");
    for (size_t i = 1; i < a.size(); ++i) t.map->dissoc(a[i]);
    return a[0];
  }, "([map key] [map key & ks])", "Removes the keys from the transient map and returns it.");
  def_native(ns, "disj!", 1, -1, [](Args a) {
    const Transient& t = live(a[0], "clojure.lang.ITransientSet");
    if (t.of_ != Transient::Of::Set) cannot_cast(a[0], "clojure.lang.ITransientSet");
    for (size_t i = 1; i < a.size(); ++i) t.set = set_disj(t.set, a[i]);
    return a[0];
  }, "([set] [set key] [set key & ks])", "Removes the keys from the transient set and returns it.");
  def_native(ns, "pop!", 1, 1, [](Args a) {
    const Transient& t = live(a[0], "clojure.lang.ITransientVector");
    if (t.of_ != Transient::Of::Vector) cannot_cast(a[0], "clojure.lang.ITransientVector");
    if (t.vec->count() == 0) rt::throw_illegal_state("Can't pop empty vector");
    Value v = vector_pop(t.vec->persistent());
    t.vec.emplace(v);
    return a[0];
  }, "([coll])", "Removes the last item of the transient vector and returns it.");
}

bool is_list(const Value& v) { return v.is(Kind::List); }

void install_predicates(rt::Namespace* ns) {
  def_native(ns, "seq?", 1, 1, [](Args a) { return Value::boolean(a[0].has(SEQ)); }, "([x])",
             "Returns true if x is a seq.");
  def_native(ns, "seqable?", 1, 1, [](Args a) { return Value::boolean(rt::is_seqable(a[0])); }, "([x])",
             "Returns true if (seq x) will succeed.");
  def_native(ns, "coll?", 1, 1, [](Args a) { return Value::boolean(a[0].has(COLL) || a[0].has(MAP) || a[0].has(SET)); },
             "([x])", "Returns true if x is a persistent collection.");
  def_native(ns, "list?", 1, 1, [](Args a) { return Value::boolean(is_list(a[0])); }, "([x])",
             "Returns true if x is a list.");
  def_native(ns, "vector?", 1, 1, [](Args a) { return Value::boolean(a[0].is(Kind::Vector)); }, "([x])",
             "Returns true if x is a vector.");
  // Map entries are two-element vectors here, so any pair counts as one.
  def_native(ns, "map-entry?", 1, 1, [](Args a) {
    return Value::boolean(a[0].is(Kind::Vector) && a[0].obj()->count() == 2);
  }, "([x])", "Returns true if x is a map entry.");
  def_native(ns, "map?", 1, 1, [](Args a) { return Value::boolean(a[0].has(MAP)); }, "([x])",
             "Returns true if x is a map.");
  def_native(ns, "set?", 1, 1, [](Args a) { return Value::boolean(a[0].has(SET)); }, "([x])",
             "Returns true if x is a set.");
  def_native(ns, "sequential?", 1, 1, [](Args a) { return Value::boolean(a[0].has(SEQUENTIAL)); }, "([coll])",
             "Returns true if coll is sequential (ordered).");
  def_native(ns, "associative?", 1, 1, [](Args a) { return Value::boolean(a[0].has(MAP) || a[0].is(Kind::Vector)); },
             "([coll])", "Returns true if coll is associative: a map or a vector.");
  def_native(ns, "sorted?", 1, 1, [](Args a) {
    return Value::boolean(a[0].is(Kind::SortedMap) || a[0].is(Kind::SortedSet));
  }, "([coll])", "Returns true if coll is a sorted collection.");
  def_native(ns, "counted?", 1, 1, [](Args a) {
    const Value& c = a[0];
    return Value::boolean(c.is_obj() && (c.obj()->has(COUNTED) || c.is(Kind::Vector) || c.is(Kind::List) ||
                                         c.has(MAP) || c.has(SET)));
  }, "([coll])", "Returns true if coll counts itself in constant time.");
  def_native(ns, "reversible?", 1, 1, [](Args a) {
    return Value::boolean(a[0].is(Kind::Vector) || a[0].is(Kind::SortedMap) || a[0].is(Kind::SortedSet));
  }, "([coll])", "Returns true if coll supports rseq.");
  def_native(ns, "distinct?", 1, -1, [](Args a) {
    std::unordered_set<Value, ValueHash, ValueEq> seen;
    for (const Value& x : a)
      if (!seen.insert(x).second) return FALSE_V();
    return TRUE_V();
  }, "([x] [x y] [x y & more])", "Returns true if no two of the arguments are equal.");
  def_native(ns, "=", 1, -1, [](Args a) {
    for (size_t i = 1; i < a.size(); ++i)
      if (!equiv(a[i - 1], a[i])) return FALSE_V();
    return TRUE_V();
  }, "([x] [x y] [x y & more])", "Equality: numbers by category and value, collections by contents.");
  def_native(ns, "not=", 1, -1, [](Args a) {
    for (size_t i = 1; i < a.size(); ++i)
      if (!equiv(a[i - 1], a[i])) return TRUE_V();
    return FALSE_V();
  }, "([x] [x y] [x y & more])", "Same as (not (= obj1 obj2)).");
  def_native(ns, "identical?", 2, 2, [](Args a) { return Value::boolean(a[0].identical(a[1])); }, "([x y])",
             "Tests if the two arguments are the same object.");
  def_native(ns, "compare", 2, 2, [](Args a) { return Value::integer(kelp::compare(a[0], a[1])); }, "([x y])",
             "Negative, zero or positive as x is less than, equal to or greater than y.");
  def_native(ns, "hash", 1, 1, [](Args a) { return Value::integer(kelp::hash(a[0])); }, "([x])",
             "Returns the hash code of x, consistent with =.");
}

}  // namespace

void install_core_coll(rt::Namespace* core) {
  install_building(core);
  install_constructors(core);
  install_reading(core);
  install_transients(core);
  install_subseq(core);
  install_predicates(core);
}

std::optional<const Value*> transient_vector_get(const Value& coll, int64_t i) {
  const Transient* t = as_transient(coll);
  if (!t || t->of_ != Transient::Of::Vector) return std::nullopt;
  return live(coll, "clojure.lang.Indexed").vec->get(i);
}

}  // namespace kelp::lib
