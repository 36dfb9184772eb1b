#include "kelp/rt/lazy.hpp"

#include "kelp/data/list.hpp"
#include "kelp/data/string.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::rt {

namespace {
constexpr uint32_t LAZY_TRAITS = META;
}

LazySeq::LazySeq(Value thunk, Value meta)
    : SeqObject(Kind::Seq, LAZY_TRAITS), thunk_(std::move(thunk)), meta_(std::move(meta)) {}

Value LazySeq::realize() const {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  if (realized_) return seq_;
  safe_point();
  check_stack();
  Value v = call(thunk_);
  // A body answering another lazy seq: take that one's realised sequence (it unwraps its own chain likewise).
  while (v.is(Kind::Seq) && dynamic_cast<const LazySeq*>(v.obj())) {
    Value inner = static_cast<const LazySeq*>(v.obj())->seq();
    v = std::move(inner);
  }
  seq_ = kelp::seq(v);
  realized_ = true;
  thunk_ = Value();
  return seq_;
}

Value LazySeq::seq() const { return realize(); }

Value LazySeq::first() const {
  Value s = realize();
  return s.is_nil() ? Value() : kelp::first(s);
}

Value LazySeq::next() const {
  Value s = realize();
  return s.is_nil() ? Value() : kelp::next(s);
}

bool LazySeq::each(FunctionRef<bool(const Value&)> f) const {
  Value s = realize();
  return s.is_nil() || s.obj()->each(f);
}

bool LazySeq::is_realized() const {
  std::lock_guard<std::recursive_mutex> g(mutex_);
  return realized_;
}

Value LazySeq::with_meta(const Value& m) const {
  Value s = realize();
  auto* copy = new LazySeq(Value(), m);
  copy->seq_ = std::move(s);
  copy->realized_ = true;
  return Value::adopt(copy);
}

int32_t LazySeq::compute_hash() const { return SeqObject::compute_hash(); }

Cons::Cons(Value first, Value more, Value meta)
    : SeqObject(Kind::Seq, META), first_(std::move(first)), more_(std::move(more)), meta_(std::move(meta)) {}

Value Cons::next() const { return kelp::seq(more_); }

Value Cons::with_meta(const Value& m) const { return Value::adopt(new Cons(first_, more_, m)); }

Value make_lazy_seq(Value thunk) { return Value::adopt(new LazySeq(std::move(thunk))); }

Value make_lazy_seq(std::function<Value()> body) {
  Value thunk = make_native("clojure.core/lazy-seq", 0, 0,
                            std::function<Value(Args)>([body = std::move(body)](Args) { return body(); }));
  return make_lazy_seq(std::move(thunk));
}

Value cons(Value x, const Value& coll) {
  if (coll.is_nil()) return make_list({std::move(x)});
  if (coll.has(SEQ)) return Value::adopt(new Cons(std::move(x), coll));
  return Value::adopt(new Cons(std::move(x), kelp::seq(coll)));
}

Value seq(const Value& coll) { return kelp::seq(coll); }
Value first(const Value& coll) { return kelp::first(coll); }
Value next(const Value& coll) { return kelp::next(coll); }

Value rest(const Value& coll) {
  if (coll.is(Kind::Seq)) {
    if (auto* c = dynamic_cast<const Cons*>(coll.obj())) return c->more().is_nil() ? empty_list() : c->more();
  }
  Value n = kelp::next(coll);
  return n.is_nil() ? empty_list() : n;
}

Value second(const Value& coll) { return kelp::first(kelp::next(coll)); }

bool is_seqable(const Value& v) {
  if (v.is_nil()) return true;
  if (!v.is_obj()) return false;
  const Object* o = v.obj();
  return o->has(COLL) || o->has(SEQ) || o->has(MAP) || o->has(SET) || o->kind() == Kind::String ||
         o->kind() == Kind::Vector || o->kind() == Kind::List;
}

bool is_seq(const Value& v) { return v.has(SEQ); }

}  // namespace kelp::rt
