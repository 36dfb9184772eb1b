#include "kelp/data/value.hpp"

#include <vector>

#include "kelp/data/error.hpp"
#include "kelp/data/hash.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/vector.hpp"

namespace kelp {

// --- Object defaults

int32_t Object::hash() const {
  int64_t h = hash_.load(std::memory_order_relaxed);
  if (h != INT64_MIN) return static_cast<int32_t>(h);
  int32_t computed = compute_hash();
  hash_.store(computed, std::memory_order_relaxed);
  return computed;
}

int32_t Object::compute_hash() const {
  // Identity hash, as Object.hashCode: stable for the object's life.
  auto bits = reinterpret_cast<uintptr_t>(this);
  return murmur3::hash_long(static_cast<int64_t>(bits));
}

bool Object::each(FunctionRef<bool(const Value&)>) const { return true; }
bool Object::each_entry(FunctionRef<bool(const Value&, const Value&)>) const { return true; }
const Value* Object::lookup(const Value&) const { return nullptr; }
Value Object::seq() const {
  throw ValueError("java.lang.IllegalArgumentException",
                   "Don't know how to create ISeq from: " + std::string(type_name()));
}
Value Object::meta() const { return NIL; }
Value Object::with_meta(const Value&) const {
  throw ValueError("java.lang.ClassCastException",
                   std::string(type_name()) + " cannot be cast to clojure.lang.IObj");
}
std::string_view Object::type_name() const { return "java.lang.Object"; }

// --- Equality

namespace {

bool is_numeric(const Value& v) {
  return v.is_int() || v.is_double() || v.has(NUMBER);
}

bool sequential_equiv(const Object& a, const Object& b) {
  if (a.has(COUNTED) && b.has(COUNTED) && !a.has(SEQ) && !b.has(SEQ) && a.count() != b.count()) return false;
  if (a.kind() == Kind::Vector && b.kind() == Kind::Vector) {
    const auto& va = static_cast<const Vector&>(a);
    const auto& vb = static_cast<const Vector&>(b);
    for (int64_t i = 0; i < va.count(); ++i)
      if (!equiv(va.nth(i), vb.nth(i))) return false;
    return true;
  }
  std::vector<Value> left;
  a.each([&](const Value& x) { left.push_back(x); return true; });
  size_t i = 0;
  bool same = b.each([&](const Value& y) {
    if (i >= left.size() || !equiv(left[i], y)) return false;
    ++i;
    return true;
  });
  return same && i == left.size();
}

bool map_equiv(const Object& a, const Object& b) {
  if (a.count() != b.count()) return false;
  return a.each_entry([&](const Value& k, const Value& v) {
    const Value* other = b.lookup(k);
    return other && equiv(v, *other);
  });
}

bool set_equiv(const Object& a, const Object& b) {
  if (a.count() != b.count()) return false;
  return a.each([&](const Value& x) { return b.lookup(x) != nullptr; });
}

}  // namespace

bool equiv(const Value& a, const Value& b) {
  if (a.type() == Type::Obj && b.type() == Type::Obj && a.obj() == b.obj()) return true;
  if (is_numeric(a) || is_numeric(b)) return is_numeric(a) && is_numeric(b) && number_equiv(a, b);
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Type::Nil: return true;
    case Type::Bool: return a.as_bool() == b.as_bool();
    case Type::Char: return a.as_char() == b.as_char();
    case Type::Int:
    case Type::Double: return false;  // handled above
    case Type::Obj: break;
  }
  const Object& oa = *a.obj();
  const Object& ob = *b.obj();
  if (oa.has(SEQUENTIAL) || ob.has(SEQUENTIAL)) return oa.has(SEQUENTIAL) && ob.has(SEQUENTIAL) && sequential_equiv(oa, ob);
  // A record equals only a record of its own type (it answers for itself); never a plain map.
  if ((oa.kind() == Kind::Other && oa.has(MAP)) || (ob.kind() == Kind::Other && ob.has(MAP)))
    return oa.kind() == ob.kind() && oa.equiv_same_category(ob);
  if (oa.has(MAP) || ob.has(MAP)) return oa.has(MAP) && ob.has(MAP) && map_equiv(oa, ob);
  if (oa.has(SET) || ob.has(SET)) return oa.has(SET) && ob.has(SET) && set_equiv(oa, ob);
  if (oa.kind() != ob.kind()) return false;
  return oa.equiv_same_category(ob);
}

int32_t hash(const Value& v) {
  switch (v.type()) {
    case Type::Nil: return 0;
    case Type::Bool: return v.as_bool() ? 1231 : 1237;
    case Type::Int: return murmur3::hash_long(v.as_int());
    case Type::Double: return number_hash(v);
    case Type::Char: return static_cast<int32_t>(v.as_char());
    case Type::Obj: return v.obj()->hash();
  }
  return 0;
}

int64_t count(const Value& v) {
  if (v.is_nil()) return 0;
  if (!v.is_obj()) return -1;
  const Object* o = v.obj();
  if (o->has(COLL) || o->kind() == Kind::String) return o->count();
  return -1;
}

Value seq(const Value& v) {
  if (v.is_nil()) return NIL;
  if (!v.is_obj()) {
    throw ValueError("java.lang.IllegalArgumentException",
                     "Don't know how to create ISeq from: " + std::string(type_name(v)));
  }
  return v.obj()->seq();
}

Value meta(const Value& v) { return v.is_obj() ? v.obj()->meta() : NIL; }

Value with_meta(const Value& v, const Value& m) {
  if (!v.has(META)) return v;
  return v.obj()->with_meta(m);
}

std::string_view type_name(const Value& v) {
  switch (v.type()) {
    case Type::Nil: return "nil";
    case Type::Bool: return "java.lang.Boolean";
    case Type::Int: return "java.lang.Long";
    case Type::Double: return "java.lang.Double";
    case Type::Char: return "java.lang.Character";
    case Type::Obj: return v.obj()->type_name();
  }
  return "nil";
}

}  // namespace kelp
