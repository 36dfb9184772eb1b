#include "kelp/rt/fn.hpp"

#include <fmt/format.h>

#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/types.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::rt {

NativeFn::NativeFn(std::string name, int min_args, int max_args, NativeBody body)
    : name_(std::move(name)), min_(min_args), max_(max_args), body_(body) {}

NativeFn::NativeFn(std::string name, int min_args, int max_args, std::function<Value(Args)> body)
    : name_(std::move(name)), min_(min_args), max_(max_args), closure_(std::move(body)) {}

Value NativeFn::invoke(Args args) const {
  const auto n = static_cast<int>(args.size());
  if (n < min_ || (max_ >= 0 && n > max_)) throw_arity(args.size(), name_);
  return body_ ? body_(args) : closure_(args);
}

Value NativeFn::with_meta(const Value& m) const {
  NativeFn* copy = body_ ? new NativeFn(name_, min_, max_, body_) : new NativeFn(name_, min_, max_, closure_);
  copy->meta_ = m;
  return Value::adopt(copy);
}

Value make_native(std::string name, int min_args, int max_args, NativeBody body) {
  return Value::adopt(new NativeFn(std::move(name), min_args, max_args, body));
}

Value make_native(std::string name, int min_args, int max_args, std::function<Value(Args)> body) {
  return Value::adopt(new NativeFn(std::move(name), min_args, max_args, std::move(body)));
}

void throw_arity(size_t n, std::string_view name) {
  throw Thrown(make_throwable("clojure.lang.ArityException",
                              fmt::format("Wrong number of args ({}) passed to: {}", n, name)));
}

namespace {

std::vector<Value> spread(Args fixed, const Value& more) {
  std::vector<Value> all(fixed.begin(), fixed.end());
  size_t steps = 0;
  for (Value s = rt::seq(more); !s.is_nil(); s = rt::next(s)) {
    all.push_back(rt::first(s));
    if ((++steps & 1023) == 0) safe_point();
  }
  return all;
}

Value lookup_or(const Value& coll, const Value& key, const Value& dflt) {
  if (coll.is_obj()) {
    const Object* o = coll.obj();
    if (o->has(MAP) || o->has(SET)) {
      const Value* v = o->lookup(key);
      return v ? *v : dflt;
    }
    if (const Value* f = types::instance_method(coll, "valAt")) {  // a deftype that is an ILookup
      if (dflt.is_nil()) return call(*f, {coll, key});
      return call(*f, {coll, key, dflt});
    }
  }
  return dflt;
}

// The class name a promise gives itself, as the JVM's reify of IFn and IDeref.
constexpr std::string_view PROMISE_TYPE = "clojure.core$promise$reify__8591";

[[noreturn]] void not_callable(const Value& f) {
  throw_class_cast(fmt::format("class {} cannot be cast to class clojure.lang.IFn", type_name(f)));
}

}  // namespace

Value Fn::apply_to(Args fixed, const Value& more) const {
  std::vector<Value> all = spread(fixed, more);
  return invoke(Args(all.data(), all.size()));
}

Value call(const Value& f, Args args) {
  if (!f.is_obj()) not_callable(f);
  const Object* o = f.obj();
  switch (o->kind()) {
    case Kind::Fn: return static_cast<const Fn*>(o)->invoke(args);
    case Kind::Var: {
      Value target = static_cast<const Var*>(o)->deref();
      return call(target, args);
    }
    case Kind::Keyword:
    case Kind::Symbol:
      if (args.size() == 1) return lookup_or(args[0], f, Value());
      if (args.size() == 2) return lookup_or(args[0], f, args[1]);
      throw_illegal_argument(fmt::format("Wrong number of args passed to keyword: {}", pr_str(f)));
    case Kind::Vector: {
      if (args.size() != 1) throw_arity(args.size(), "clojure.lang.PersistentVector");
      if (!args[0].is_int()) throw_illegal_argument("Key must be integer");
      const Value* v = vector_get(f, args[0].as_int());
      if (!v) throw_index_out_of_bounds("");
      return *v;
    }
    default:
      if ((o->has(MAP) || o->has(SET)) && !as_extension_map(f)) {  // records are not functions
        if (args.size() == 1) return lookup_or(f, args[0], Value());
        if (args.size() == 2 && o->has(MAP)) return lookup_or(f, args[0], args[1]);
        throw_arity(args.size(), o->type_name());
      }
      if (const Value* m = types::instance_method(f, "invoke")) {
        std::vector<Value> all{f};
        all.insert(all.end(), args.begin(), args.end());
        return call(*m, Args(all.data(), all.size()));
      }
      if (o->type_name() == PROMISE_TYPE) {  // (p x) delivers x, as deliver does
        if (args.size() != 1) throw_arity(args.size(), PROMISE_TYPE);
        Value deliver = core_vars().core->find(symbol("deliver"));
        return call(deliver, {f, args[0]});
      }
      not_callable(f);
  }
}

Value call(const Value& f, std::initializer_list<Value> args) { return call(f, Args(args.begin(), args.size())); }

Value apply(const Value& f, Args fixed, const Value& more) {
  if (f.is(Kind::Fn)) return f.as<Fn>().apply_to(fixed, more);
  std::vector<Value> all = spread(fixed, more);
  return call(f, Args(all.data(), all.size()));
}

bool is_callable(const Value& v) {
  if (!v.is_obj()) return false;
  const Object* o = v.obj();
  switch (o->kind()) {
    case Kind::Fn:
    case Kind::Var:
    case Kind::Keyword:
    case Kind::Symbol:
    case Kind::Vector: return true;
    default:
      return ((o->has(MAP) || o->has(SET)) && !as_extension_map(v)) || types::instance_method(v, "invoke") ||
             o->type_name() == PROMISE_TYPE;
  }
}

}  // namespace kelp::rt
