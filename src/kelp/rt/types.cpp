#include "kelp/rt/types.hpp"

#include <atomic>
#include <mutex>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>

#include "kelp/data/coll_impl.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/host_detail.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::rt::types {

namespace {

// Bumped by every change to any protocol or type: a cached dispatch answer is good only for its epoch.
std::atomic<uint64_t> g_epoch{1};
void retire_caches() { g_epoch.fetch_add(1, std::memory_order_release); }

const host::HostClass& as_class(const Value& c) { return c.as<host::HostClass>(); }

}  // namespace

class Protocol {
 public:
  std::string var_name;  // "user/P"
  Value var;
  std::vector<Value> keys;  // the method keywords, in order
  std::vector<Value> meta_keys;  // with extension through metadata: the methods' qualified symbols
  Value map;                // what the var holds

  mutable std::mutex mu;
  // Extensions in the order they were made; a class extended again keeps its place and takes the new methods.
  std::vector<std::pair<Value, std::vector<Value>>> by_class;
  // Methods replaced by a later extension stay alive: another thread may be calling one through its cache.
  std::vector<Value> retired;

  size_t index_of(const Value& key) const {
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return i;
    return SIZE_MAX;
  }
};

namespace {

struct ProtocolRegistry {
  std::mutex mu;
  std::unordered_map<const Object*, Protocol*> by_var;
};
ProtocolRegistry& protocols() {
  static auto* r = new ProtocolRegistry;
  return *r;
}

Protocol* protocol_for_var(const Value& var) {
  ProtocolRegistry& r = protocols();
  std::lock_guard lock(r.mu);
  auto it = r.by_var.find(var.obj());
  return it == r.by_var.end() ? nullptr : it->second;
}

// --- Choosing an extension for a value

// Interfaces from the most specific to the most general, for a value several extended interfaces admit.
constexpr std::string_view INTERFACE_RANK[] = {
    "clojure.lang.IRecord",           "clojure.lang.IPersistentVector", "clojure.lang.IPersistentList",
    "clojure.lang.IPersistentSet",    "clojure.lang.IPersistentMap",    "clojure.lang.ISeq",
    "clojure.lang.IPersistentStack",  "clojure.lang.Indexed",           "clojure.lang.Associative",
    "clojure.lang.Sorted",            "clojure.lang.Reversible",        "clojure.lang.ILookup",
    "clojure.lang.IPersistentCollection", "clojure.lang.Sequential",   "clojure.lang.Counted",
    "clojure.lang.Seqable",           "java.util.SortedMap",            "java.util.SortedSet",
    "java.util.List",                 "java.util.Map",                  "java.util.Set",
    "java.util.RandomAccess",         "java.util.Collection",           "java.lang.Iterable",
    "clojure.lang.IAtom",             "clojure.lang.IRef",              "clojure.lang.IDeref",
    "clojure.lang.IPending",          "clojure.lang.Fn",                "clojure.lang.IFn",
    "clojure.lang.IObj",              "clojure.lang.IMeta",             "clojure.lang.Named",
    "java.lang.CharSequence",         "java.lang.Comparable",
};
size_t rank_of(const Value& cls) {
  const std::string& n = as_class(cls).name();
  for (size_t i = 0; i < std::size(INTERFACE_RANK); ++i)
    if (INTERFACE_RANK[i] == n) return i;
  return std::size(INTERFACE_RANK);
}

bool is_object_class(const Value& c) { return !c.is_nil() && as_class(c).super() == nullptr &&
                                              as_class(c).name() == "java.lang.Object"; }

// The methods the protocol has for x's class, or null. Caller holds p.mu.
const std::vector<Value>* find_extension(const Protocol& p, const Value& x) {
  if (p.by_class.empty()) return nullptr;
  if (x.is_nil()) {
    for (const auto& [c, fns] : p.by_class)
      if (c.is_nil()) return &fns;
    return nullptr;
  }
  // The class and its superclasses, nearest first, Object aside.
  Value cls = host::class_of(x);
  for (const host::HostClass* c = &as_class(cls); c; c = c->super()) {
    if (c->super() == nullptr && c->name() == "java.lang.Object") break;
    for (const auto& [k, fns] : p.by_class)
      if (!k.is_nil() && k.obj() == c) return &fns;
  }
  // Then the interfaces x has, the most specific first.
  const std::vector<Value>* best = nullptr;
  size_t best_rank = SIZE_MAX;
  const std::vector<Value>* object = nullptr;
  for (const auto& [k, fns] : p.by_class) {
    if (k.is_nil()) continue;
    if (is_object_class(k)) {
      object = &fns;
      continue;
    }
    if (!host::is_instance(k, x)) continue;
    size_t r = rank_of(k);
    if (r < best_rank) {
      best = &fns;
      best_rank = r;
    }
  }
  return best ? best : object;
}

std::string class_name_of(const Value& x) {
  if (x.is_nil()) return "nil";
  return as_class(host::class_of(x)).name();
}

[[noreturn]] void throw_no_impl(const Protocol& p, size_t index, const Value& x) {
  throw_illegal_argument("No implementation of method: " + pr_str(p.keys[index]) + " of protocol: #'" + p.var_name +
                         " found for class: " + class_name_of(x));
}

// --- The per-thread dispatch cache

// A value's type as a cache key: the immediate's type, the kind of collections whose kind fixes their class, the
// type of an instance, and otherwise the class name (held in `name`, compared on each hit).
struct TypeKey {
  uintptr_t key;
  std::string_view name;
};

TypeKey type_key(const Value& v) {
  switch (v.type()) {
    case Type::Nil: return {1, {}};
    case Type::Bool: return {2, {}};
    case Type::Int: return {3, {}};
    case Type::Double: return {4, {}};
    case Type::Char: return {5, {}};
    case Type::Obj: break;
  }
  const Object* o = v.obj();
  switch (o->kind()) {
    case Kind::List: return {0x100 + 2 * static_cast<uintptr_t>(o->kind()) + (o->count() == 0), {}};
    case Kind::BigInt: case Kind::Ratio: case Kind::BigDec: case Kind::String: case Kind::Keyword:
    case Kind::Symbol: case Kind::Vector: case Kind::ArrayMap: case Kind::HashMap: case Kind::HashSet:
    case Kind::SortedMap: case Kind::SortedSet: case Kind::Inst: case Kind::Uuid: case Kind::Pattern:
    case Kind::Fn: case Kind::Var: case Kind::Namespace:
      return {0x100 + 2 * static_cast<uintptr_t>(o->kind()), {}};
    case Kind::Other:
      if (const Instance* i = as_instance(v)) return {reinterpret_cast<uintptr_t>(&i->desc()), {}};
      break;
    default: break;
  }
  return {0, o->type_name()};
}

struct CacheEntry {
  const void* fn = nullptr;
  uintptr_t key = 0;
  uint64_t epoch = 0;
  std::string name;        // for keys by class name
  const Object* impl = nullptr;  // kept alive by the protocol (see Protocol::retired)
};
constexpr size_t CACHE_SIZE = 256;
thread_local std::unique_ptr<CacheEntry[]> t_cache;

CacheEntry& cache_slot(const void* fn, const TypeKey& k) {
  if (!t_cache) t_cache = std::make_unique<CacheEntry[]>(CACHE_SIZE);
  uintptr_t h = (reinterpret_cast<uintptr_t>(fn) >> 4) ^ (k.key * 0x9E3779B97F4A7C15ull);
  if (k.key == 0) h ^= std::hash<std::string_view>{}(k.name);
  return t_cache[(h ^ (h >> 29)) & (CACHE_SIZE - 1)];
}

// A protocol's method as a function.
class ProtocolFn final : public Fn {
 public:
  ProtocolFn(Protocol* p, size_t index, std::string name) : p_(p), index_(index), name_(std::move(name)) {
    retire_caches();
  }

  Value invoke(Args args) const override {
    if (args.empty()) throw_arity(0, name_);
    const Value& x = args[0];
    if (const Instance* i = as_instance(x))
      if (const Value* f = i->methods().find(p_, index_)) return call(*f, args);
    if (!p_->meta_keys.empty() && x.has(META)) {
      Value m = x.obj()->meta();
      if (m.has(MAP))
        if (const Value* f = m.obj()->lookup(p_->meta_keys[index_])) return call(*f, args);
    }
    TypeKey k = type_key(x);
    CacheEntry& e = cache_slot(this, k);
    uint64_t epoch = g_epoch.load(std::memory_order_acquire);
    if (e.fn == this && e.key == k.key && e.epoch == epoch && (k.key != 0 || e.name == k.name))
      return static_cast<const Fn*>(e.impl)->invoke(args);
    Value impl = resolve(x);
    if (!impl.is(Kind::Fn)) return call(impl, args);
    e.fn = this;
    e.key = k.key;
    e.epoch = epoch;
    if (k.key == 0) e.name.assign(k.name);
    e.impl = impl.obj();
    return impl.as<Fn>().invoke(args);
  }
  std::string display_name() const override { return name_; }

 private:
  Value resolve(const Value& x) const {
    std::lock_guard lock(p_->mu);
    const std::vector<Value>* fns = find_extension(*p_, x);
    if (!fns || (*fns)[index_].is_nil()) throw_no_impl(*p_, index_, x);
    return (*fns)[index_];
  }

  Protocol* p_;
  size_t index_;
  std::string name_;
};

// --- Types

struct TypeRegistry {
  std::mutex mu;
  std::unordered_map<const Object*, const TypeDesc*> by_class;
  std::unordered_map<std::string, const TypeDesc*> reify_by_name;
};
TypeRegistry& types() {
  static auto* r = new TypeRegistry;
  return *r;
}

// A deftype's mutable field: a cell of its own, so the instance's field list never changes under a reader.
class FieldCell final : public Object {
 public:
  explicit FieldCell(Value v) : Object(Kind::Other, 0), v_(std::move(v)) {}
  Value get() const {
    std::lock_guard lock(mu_);
    return v_;
  }
  void set(Value v) const {
    Value old;
    {
      std::lock_guard lock(mu_);
      old = std::exchange(v_, std::move(v));
    }
  }
  std::string_view type_name() const override { return "kelp.lang.MutableField"; }

 private:
  mutable std::mutex mu_;
  mutable Value v_;
};

const FieldCell& cell_of(const Value& target, size_t i) {
  const Instance* in = as_instance(target);
  if (!in || i >= in->fields().size() || i >= in->desc().mutable_fields.size() || !in->desc().mutable_fields[i])
    throw_illegal_argument("Cannot assign to non-mutable field of " + pr_str(target));
  return static_cast<const FieldCell&>(*in->fields()[i].obj());
}

}  // namespace

Value mutable_field(const Value& target, size_t i) { return cell_of(target, i).get(); }

Value set_mutable_field(const Value& target, size_t i, Value v) {
  cell_of(target, i).set(v);
  return v;
}

// --- Instance

Instance::Instance(const TypeDesc* desc, const Methods* methods, std::vector<Value> fields, const Value& ext,
                   const Value& meta, std::shared_ptr<const Methods> own)
    : ExtensionMap(Kind::Other, desc->of == TypeDesc::Of::Record ? static_cast<uint32_t>(MAP | COUNTED | COLL | META)
                                : desc->of == TypeDesc::Of::Reify ? static_cast<uint32_t>(META) : 0u),
      desc_(desc),
      methods_(methods),
      own_(std::move(own)),
      fields_(std::move(fields)),
      ext_(ext),
      meta_(meta) {}

int32_t Instance::compute_hash() const {
  if (record()) return kelp::hash(symbol(desc_->name)) ^ coll::map_hash(*this);
  if (const Value* f = methods_->find("hashCode")) {
    Value h = call(*f, {Value::share(this)});
    return h.is_int() ? static_cast<int32_t>(h.as_int()) : kelp::hash(h);
  }
  return Object::compute_hash();
}

bool Instance::equiv_same_category(const Object& other) const {
  if (this == &other) return true;
  const Value* eq = record() ? nullptr : methods_->find("equals");
  if (eq) return call(*eq, {Value::share(this), Value::share(&other)}).truthy();
  if (!record() || typeid(other) != typeid(Instance)) return false;
  const auto& o = static_cast<const Instance&>(other);
  if (o.desc_->name != desc_->name || o.count() != count()) return false;
  return each_entry([&](const Value& k, const Value& v) {
    const Value* w = o.lookup(k);
    return w && *w == v;
  });
}

int64_t Instance::count() const {
  if (!record()) return 0;
  return static_cast<int64_t>(fields_.size()) + (ext_.is_nil() ? 0 : ext_.obj()->count());
}

bool Instance::each_entry(FunctionRef<bool(const Value&, const Value&)> f) const {
  if (!record()) return true;
  for (size_t i = 0; i < fields_.size(); ++i)
    if (!f(desc_->field_keys[i], fields_[i])) return false;
  return ext_.is_nil() || ext_.obj()->each_entry(f);
}

bool Instance::each(FunctionRef<bool(const Value&)> f) const {
  return each_entry([&](const Value& k, const Value& v) { return f(map_entry(k, v)); });
}

const Value* Instance::lookup(const Value& key) const {
  if (!record()) return nullptr;
  if (key.is(Kind::Keyword))
    for (size_t i = 0; i < fields_.size(); ++i)
      if (desc_->field_keys[i].identical(key)) return &fields_[i];
  return ext_.is_nil() ? nullptr : ext_.obj()->lookup(key);
}

Value Instance::seq() const {
  if (!record()) {
    // A type implementing Seqable answers its own seq; anything else is no sequence.
    if (const Value* f = methods_->find("seq")) return kelp::seq(call(*f, {Value::share(this)}));
    return Object::seq();
  }
  std::vector<Value> entries;
  each([&](const Value& e) {
    entries.push_back(e);
    return true;
  });
  return entries.empty() ? Value() : make_list(entries);
}

Value Instance::with_meta(const Value& m) const {
  return Value::adopt(new Instance(desc_, methods_, fields_, ext_, m, own_));
}

Value Instance::assoc(Value key, Value val) const {
  if (key.is(Kind::Keyword))
    for (size_t i = 0; i < fields_.size(); ++i)
      if (desc_->field_keys[i].identical(key)) {
        std::vector<Value> fields = fields_;
        fields[i] = std::move(val);
        return Value::adopt(new Instance(desc_, methods_, std::move(fields), ext_, meta_, own_));
      }
  Value ext = kelp::assoc(ext_.is_nil() ? empty_map() : ext_, std::move(key), std::move(val));
  return Value::adopt(new Instance(desc_, methods_, fields_, ext, meta_, own_));
}

Value Instance::dissoc(const Value& key) const {
  bool field = false;
  for (const Value& k : desc_->field_keys) field = field || k == key;
  if (field) {
    // Without one of its fields a record is a plain map.
    Value out = empty_map();
    each_entry([&](const Value& k, const Value& v) {
      if (!(k == key)) out = kelp::assoc(std::move(out), k, v);
      return true;
    });
    return kelp::with_meta(out, meta_);
  }
  if (ext_.is_nil() || !ext_.obj()->lookup(key)) return Value::share(this);
  Value ext = kelp::dissoc(ext_, key);
  if (ext.obj()->count() == 0) ext = Value();
  return Value::adopt(new Instance(desc_, methods_, fields_, ext, meta_, own_));
}

// --- Protocols

Value define_protocol(const Value& var, const Value& sigs, const std::vector<Value>& method_keys, bool via_metadata) {
  auto* p = new Protocol;  // never freed: protocol functions and types point at it
  p->var = var;
  p->var_name = var.as<Var>().full_name();
  p->keys = method_keys;
  if (via_metadata)
    for (const Value& k : method_keys)
      p->meta_keys.push_back(symbol(var.as<Var>().ns()->name_str(), k.as<Keyword>().name()));
  std::string name = p->var_name;
  if (size_t slash = name.find('/'); slash != std::string::npos) name[slash] = '.';
  Value on = symbol(name);
  std::vector<Value> method_map;
  for (const Value& k : method_keys) {
    method_map.push_back(k);
    method_map.push_back(k);
  }
  std::vector<Value> entries{keyword("on"), on, keyword("on-interface"), on, keyword("sigs"), sigs,
                             keyword("var"), var, keyword("method-map"), make_map(method_map)};
  if (via_metadata) {
    entries.push_back(keyword("extend-via-metadata"));
    entries.push_back(TRUE_V());
  }
  p->map = make_map(entries);
  {
    ProtocolRegistry& r = protocols();
    std::lock_guard lock(r.mu);
    r.by_var[var.obj()] = p;
  }
  retire_caches();
  return p->map;
}

Value protocol_method(const Value& var, const Value& key) {
  Protocol* p = protocol_for_var(var);
  if (!p) throw_illegal_argument(pr_str(var) + " is not a protocol");
  size_t i = p->index_of(key);
  if (i == SIZE_MAX) throw_illegal_argument("No method " + pr_str(key) + " in protocol " + p->var_name);
  std::string ns = p->var_name.substr(0, p->var_name.find('/'));
  return Value::adopt(new ProtocolFn(p, i, ns + "/" + std::string(key.as<Keyword>().name())));
}

Protocol* protocol_of(const Value& m) {
  if (m.has(MAP)) {
    if (const Value* v = m.obj()->lookup(keyword("var")); v && v->is(Kind::Var))
      if (Protocol* p = protocol_for_var(*v)) return p;
  }
  if (m.is(Kind::Var))
    if (Protocol* p = protocol_for_var(m)) return p;
  throw_illegal_argument(pr_str(m) + " is not a protocol");
}

void extend(Protocol* p, const Value& cls, const Value& fn_map) {
  if (!cls.is_nil() && !host::detail::is_class(cls))
    throw_illegal_argument("Can't extend protocol " + p->var_name + " to " + pr_str(cls) + ": not a class");
  if (!fn_map.is_nil() && !fn_map.has(MAP)) throw_illegal_argument("extend expects a map of method keywords to fns");
  std::vector<Value> fns(p->keys.size());
  if (!fn_map.is_nil())
    fn_map.obj()->each_entry([&](const Value& k, const Value& f) {
      size_t i = p->index_of(k);
      if (i == SIZE_MAX) throw_illegal_argument("No method " + pr_str(k) + " in protocol " + p->var_name);
      fns[i] = f;
      return true;
    });
  {
    std::lock_guard lock(p->mu);
    bool replaced = false;
    for (auto& [c, old] : p->by_class)
      if (c.identical(cls)) {
        for (Value& f : old) p->retired.push_back(std::move(f));
        old = std::move(fns);
        replaced = true;
        break;
      }
    if (!replaced) p->by_class.emplace_back(cls, std::move(fns));
  }
  retire_caches();
}

bool satisfies(const Protocol* p, const Value& x) {
  if (const Instance* i = as_instance(x); i && i->methods().implements(p)) return true;
  std::lock_guard lock(p->mu);
  return find_extension(*p, x) != nullptr;
}

bool extends(const Protocol* p, const Value& cls) {
  if (const TypeDesc* d = type_for_class(cls); d && d->methods && d->methods->implements(p)) return true;
  std::lock_guard lock(p->mu);
  for (const auto& [c, fns] : p->by_class)
    if (c.identical(cls)) return true;
  return false;
}

std::vector<Value> extenders(const Protocol* p) {
  std::lock_guard lock(p->mu);
  std::vector<Value> out;
  for (const auto& [c, fns] : p->by_class) out.push_back(c);
  return out;
}

std::unique_ptr<Methods> build_methods(const Value& specs) {
  auto m = std::make_unique<Methods>();
  std::vector<Value> items;
  if (!specs.is_nil())
    specs.obj()->each([&](const Value& x) {
      items.push_back(x);
      return true;
    });
  for (size_t i = 0; i + 1 < items.size(); i += 2) {
    const Value& head = items[i];
    const Value& fns = items[i + 1];
    Protocol* p = head.is(Kind::String) ? nullptr : protocol_of(head);
    Methods::ProtocolImpl impl{p, std::vector<Value>(p ? p->keys.size() : 0)};
    fns.obj()->each_entry([&](const Value& name, const Value& f) {
      std::string_view n = str_view(name);
      m->named.emplace_back(std::string(n), f);
      if (p) {
        size_t idx = p->index_of(keyword(n));
        if (idx == SIZE_MAX)
          throw_illegal_argument("Can't define method not in interfaces: " + std::string(n));
        impl.fns[idx] = f;
      }
      return true;
    });
    if (p) m->protocols.push_back(std::move(impl));
  }
  return m;
}

// --- Types

Value define_type(std::string_view name, const Value& fields, TypeDesc::Of of, const Value& specs) {
  auto* d = new TypeDesc;  // never freed: its instances and the caches point at it
  d->name = std::string(name);
  d->of = of;
  if (!fields.is_nil())
    fields.obj()->each([&](const Value& f) {
      std::string_view n = f.as<Symbol>().name();
      d->field_syms.push_back(symbol(n));
      Value m = kelp::meta(f);
      auto flag = [&](const char* k) {
        const Value* v = m.has(MAP) ? m.obj()->lookup(keyword(k)) : nullptr;
        return v && v->truthy();
      };
      d->mutable_fields.push_back(of == TypeDesc::Of::Type &&
                                  (flag("volatile-mutable") || flag("unsynchronized-mutable")));
      d->field_keys.push_back(keyword(n));
      std::string munged = munge_fn_name(n);
      d->munged.push_back(munged);
      return true;
    });
  d->methods = specs.is_nil() ? std::make_unique<Methods>() : build_methods(specs);
  // The class comes from the host's registry, which names a class for every type it meets.
  Instance probe(d, d->methods.get(), std::vector<Value>(d->field_syms.size()), NIL, NIL);
  probe.make_immortal();
  d->cls = host::class_of(Value::share(&probe));
  {
    TypeRegistry& r = types();
    std::lock_guard lock(r.mu);
    r.by_class[d->cls.obj()] = d;
  }
  size_t dot = d->name.rfind('.');
  current_ns().import_class(symbol(dot == std::string::npos ? d->name : d->name.substr(dot + 1)), d->cls);
  retire_caches();
  return d->cls;
}

const TypeDesc* type_for_class(const Value& cls) {
  if (!cls.is_obj()) return nullptr;
  TypeRegistry& r = types();
  std::lock_guard lock(r.mu);
  auto it = r.by_class.find(cls.obj());
  return it == r.by_class.end() ? nullptr : it->second;
}

Value construct(const Value& cls, Args args, bool* found) {
  const TypeDesc* d = type_for_class(cls);
  *found = d != nullptr;
  if (!d) return {};
  size_t n = d->field_syms.size();
  bool record = d->of == TypeDesc::Of::Record;
  if (args.size() != n && !(record && args.size() == n + 2))
    throw_illegal_argument("No matching ctor found for class " + d->name);
  std::vector<Value> fields(args.begin(), args.begin() + static_cast<ptrdiff_t>(n));
  for (size_t i = 0; i < n; ++i)
    if (d->mutable_fields[i]) fields[i] = Value::adopt(new FieldCell(std::move(fields[i])));
  Value meta, ext;
  if (args.size() == n + 2) {
    meta = args[n];
    ext = args[n + 1];
    if (!ext.is_nil() && (!ext.has(MAP) || ext.obj()->count() == 0)) ext = Value();
  }
  return Value::adopt(new Instance(d, d->methods.get(), std::move(fields), ext, meta));
}

Value record_from_map(const Value& cls, const Value& m) {
  const TypeDesc* d = type_for_class(cls);
  if (!d) throw_illegal_argument(pr_str(cls) + " is not a record class");
  std::vector<Value> fields(d->field_keys.size());
  Value ext;
  if (!m.is_nil()) {
    if (!m.has(MAP)) throw_class_cast("class " + std::string(type_name(m)) + " cannot be cast to class java.util.Map");
    m.obj()->each_entry([&](const Value& k, const Value& v) {
      for (size_t i = 0; i < fields.size(); ++i)
        if (d->field_keys[i] == k) {
          fields[i] = v;
          return true;
        }
      ext = kelp::assoc(ext.is_nil() ? empty_map() : ext, k, v);
      return true;
    });
  }
  return Value::adopt(new Instance(d, d->methods.get(), std::move(fields), ext, NIL));
}

Value reify(std::string_view name, const Value& specs) {
  const TypeDesc* d;
  {
    TypeRegistry& r = types();
    std::lock_guard lock(r.mu);
    auto it = r.reify_by_name.find(std::string(name));
    if (it == r.reify_by_name.end()) {
      auto* nd = new TypeDesc;  // one per reify form, never freed
      nd->name = std::string(name);
      nd->of = TypeDesc::Of::Reify;
      nd->methods = std::make_unique<Methods>();
      it = r.reify_by_name.emplace(nd->name, nd).first;
    }
    d = it->second;
  }
  std::shared_ptr<const Methods> own = build_methods(specs);
  const Methods* m = own.get();
  return Value::adopt(new Instance(d, m, {}, NIL, NIL, std::move(own)));
}

Value get_field(const Value& target, std::string_view field, bool* found) {
  *found = false;
  const Instance* i = as_instance(target);
  if (!i) return {};
  const TypeDesc& d = i->desc();
  for (size_t k = 0; k < d.munged.size(); ++k)
    if (d.munged[k] == field || d.field_syms[k].as<Symbol>().name() == field) {
      if (d.mutable_fields[k]) return {};  // private to the type's own methods
      *found = true;
      return i->fields()[k];
    }
  return {};
}

Value invoke_method(const Value& target, std::string_view method, Args args, bool* found) {
  *found = false;
  const Instance* i = as_instance(target);
  if (!i) return {};
  if (const Value* f = i->methods().find(method)) {
    *found = true;
    std::vector<Value> all;
    all.reserve(args.size() + 1);
    all.push_back(target);
    all.insert(all.end(), args.begin(), args.end());
    return call(*f, Args(all.data(), all.size()));
  }
  if (args.empty()) return get_field(target, method, found);
  return {};
}

bool append_to_string(std::string& out, const Value& v) {
  const Value* f = instance_method(v, "toString");
  if (!f) return false;
  Value s = call(*f, {v});
  append_str(out, s);
  return true;
}

const Value* instance_method(const Value& v, std::string_view name) {
  const Instance* i = as_instance(v);
  return i ? i->methods().find(name) : nullptr;
}

}  // namespace kelp::rt::types
