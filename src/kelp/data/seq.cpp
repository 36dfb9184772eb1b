#include "kelp/data/seq.hpp"

#include <string>

#include "kelp/data/error.hpp"
#include "kelp/data/hash.hpp"

namespace kelp {

namespace {

const SeqObject& as_seq(const Value& s) {
  if (!s.has(SEQ)) {
    throw ValueError("java.lang.ClassCastException",
                     std::string(type_name(s)) + " cannot be cast to clojure.lang.ISeq");
  }
  return s.as<SeqObject>();
}

}  // namespace

bool SeqObject::each(FunctionRef<bool(const Value&)> f) const {
  if (!f(first())) return false;
  // Only the current cell is held, so a long sequence is walked in constant space.
  for (Value s = next(); !s.is_nil();) {
    const SeqObject& cell = as_seq(s);
    if (!f(cell.first())) return false;
    Value rest = cell.next();
    s = std::move(rest);
  }
  return true;
}

int64_t SeqObject::count() const {
  int64_t n = 0;
  each([&](const Value&) { ++n; return true; });
  return n;
}

int32_t SeqObject::compute_hash() const {
  murmur3::Ordered h;
  each([&](const Value& x) { h.add(kelp::hash(x)); return true; });
  return h.finish();
}

Value SeqObject::seq() const { return Value::share(this); }

Value first(const Value& coll) {
  if (coll.is_nil()) return NIL;
  if (coll.has(SEQ)) return coll.as<SeqObject>().first();
  Value s = seq(coll);
  return s.is_nil() ? NIL : as_seq(s).first();
}

Value next(const Value& coll) {
  if (coll.is_nil()) return NIL;
  if (coll.has(SEQ)) return coll.as<SeqObject>().next();
  Value s = seq(coll);
  return s.is_nil() ? NIL : as_seq(s).next();
}

}  // namespace kelp
