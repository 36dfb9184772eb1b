#include "kelp/lib/seq_util.hpp"

#include <string>

#include "kelp/data/list.hpp"
#include "kelp/data/string.hpp"
#include "kelp/lib/seq_array.hpp"
#include "kelp/lib/seq_lazy.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/types.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib::seqs {

namespace {

class Reduced final : public Object {
 public:
  explicit Reduced(Value v) : Object(Kind::Reduced, 0), val(std::move(v)) {}
  std::string_view type_name() const override { return "clojure.lang.Reduced"; }
  Value val;
};

// A string's characters, without making a sequence of them.
bool each_char(const String& s, FunctionRef<bool(const Value&)> f) {
  std::string_view bytes = s.utf8();
  for (size_t i = 0; i < bytes.size();) {
    if (!f(Value::character(decode_utf8(bytes, i)))) return false;
  }
  return true;
}

}  // namespace

std::string_view simple_type_name(const Value& v) {
  std::string_view n = type_name(v);
  size_t dot = n.rfind('.');
  return dot == std::string_view::npos ? n : n.substr(dot + 1);
}

void not_seqable(const Value& v) {
  rt::throw_illegal_argument("Don't know how to create ISeq from: " + std::string(type_name(v)));
}

Value seq_of(const Value& coll) {
  if (coll.is_nil()) return NIL;
  if (!coll.is_obj()) not_seqable(coll);
  return coll.obj()->seq();
}

Value first_of(const Value& coll) {
  if (coll.is_nil()) return NIL;
  if (coll.has(SEQ)) return coll.as<SeqObject>().first();
  Value s = seq_of(coll);
  return s.is_nil() ? NIL : s.as<SeqObject>().first();
}

Value rest_of(const Value& coll) {
  if (coll.has(SEQ)) {
    const Object* o = coll.obj();
    if (o->kind() == Kind::List) {
      const Value& r = static_cast<const List*>(o)->rest_list();
      return r.is_nil() ? empty_list() : r;
    }
    if (auto* lazy = dynamic_cast<const LazyCell*>(o)) return lazy->more();
    if (auto* c = dynamic_cast<const rt::Cons*>(o)) return c->more().is_nil() ? empty_list() : c->more();
  }
  Value s = seq_of(coll);
  if (s.is_nil()) return empty_list();
  Value n = s.as<SeqObject>().next();
  return n.is_nil() ? empty_list() : n;
}

Value next_of(const Value& coll) {
  if (coll.has(SEQ)) return coll.as<SeqObject>().next();
  Value s = seq_of(coll);
  return s.is_nil() ? NIL : s.as<SeqObject>().next();
}

bool each_of(const Value& coll, FunctionRef<bool(const Value&)> f) {
  if (coll.is_nil()) return true;
  if (!coll.is_obj()) not_seqable(coll);
  const Object* o = coll.obj();
  if (o->kind() == Kind::String) return each_char(static_cast<const String&>(*o), f);
  if (o->has(SEQ)) {
    // A lazy sequence may turn out empty; ask for its sequence before visiting.
    if (dynamic_cast<const LazyCell*>(o)) return o->each(f);
    Value s = o->seq();
    return s.is_nil() || s.obj()->each(f);
  }
  if (o->has(COLL)) return o->each(f);
  Value s = o->seq();  // throws for values that are not seqable
  return s.is_nil() || s.obj()->each(f);
}

bool fold(const Value& coll, FunctionRef<bool(const Value&)> f) {
  if (coll.is(Kind::Seq) && coll.obj()->ref_count() == 1) {
    if (auto* lazy = dynamic_cast<const LazyCell*>(coll.obj()); lazy && !lazy->realized()) {
      bool handled = false;
      bool r = lazy->fold_fused(f, handled);
      if (handled) return r;
    }
  }
  return each_of(coll, f);
}

std::vector<Value> to_vector(const Value& coll) {
  std::vector<Value> out;
  int64_t n = count(coll);
  if (n > 0 && !coll.has(SEQ)) out.reserve(static_cast<size_t>(n));
  size_t steps = 0;
  fold(coll, [&](const Value& x) {
    if ((++steps & 1023) == 0) rt::safe_point();
    out.push_back(x);
    return true;
  });
  return out;
}

int64_t count_of(const Value& coll) {
  if (coll.is_nil()) return 0;
  if (coll.is_obj()) {
    const Object* o = coll.obj();
    if (o->kind() == Kind::String) return o->count();
    if (o->has(SEQ) && !o->has(COUNTED)) {
      int64_t n = 0;
      fold(coll, [&](const Value&) {
        if ((++n & 1023) == 0) rt::safe_point();
        return true;
      });
      return n;
    }
    if (o->has(COLL) || o->has(COUNTED) || as_array(coll)) return o->count();
    if (const Value* f = rt::types::instance_method(coll, "count")) {  // a deftype that is Counted
      Value n = rt::call(*f, {coll});
      if (n.is_int()) return n.as_int();
    }
  }
  rt::throw_unsupported("count not supported on this type: " + std::string(simple_type_name(coll)));
}

Value make_reduced(Value x) { return Value::adopt(new Reduced(std::move(x))); }

const Value& reduced_value(const Value& r) { return static_cast<const Reduced&>(*r.obj()).val; }

}  // namespace kelp::lib::seqs
