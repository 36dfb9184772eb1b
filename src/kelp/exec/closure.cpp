#include "kelp/exec/closure.hpp"

#include <mutex>

#include <alloca.h>

#include "kelp/data/list.hpp"
#include "kelp/exec/call_trace.hpp"
#include "kelp/rt/thread.hpp"

namespace kelp::exec {

void FnCode::index_arities() {
  by_argc.fill(-1);
  for (size_t i = 0; i < arities.size(); ++i) {
    const Arity& a = arities[i];
    for (int n = a.required; n < DIRECT; ++n) {
      if (n == a.required || a.variadic) {
        if (by_argc[n] < 0 || (!a.variadic)) by_argc[n] = static_cast<int8_t>(i);
      }
    }
  }
}

const Arity* FnCode::pick(size_t argc) const {
  if (argc < DIRECT) {
    int i = by_argc[argc];
    return i < 0 ? nullptr : &arities[i];
  }
  for (const Arity& a : arities)
    if (static_cast<size_t>(a.required) == argc && !a.variadic) return &a;
  for (const Arity& a : arities)
    if (a.variadic && argc >= static_cast<size_t>(a.required)) return &a;
  return nullptr;
}

Value Closure::invoke(rt::Args args) const {
  rt::check_stack();
  rt::safe_point();
  const Arity* a = code_->pick(args.size());
  if (!a) rt::throw_arity(args.size(), code_->name);
  int n = a->nslots;
  Value* slots = static_cast<Value*>(alloca(sizeof(Value) * (n > 0 ? n : 1)));
  SlotsGuard guard(slots, n);
  for (int i = 0; i < a->required; ++i) slots[i] = args[i];
  if (a->variadic && args.size() > static_cast<size_t>(a->required))
    slots[a->required] = make_list(args.subspan(a->required));
  Frame f{slots, captured_.data(), this, false};
  const size_t depth = enter_call(code_.get());
  for (;;) {
    Value v = a->body->eval(f);
    if (!f.recur) {
      leave_call(depth);
      return v;
    }
    f.recur = false;
    rt::safe_point();
  }
}

Value Closure::with_meta(const Value& m) const {
  return Value::adopt(new Closure(code_, captured_, m, group_));
}

namespace {
class SiblingMarker final : public Object {
 public:
  explicit SiblingMarker(size_t i) : Object(Kind::Other, 0), index(i) {}
  std::string_view type_name() const override { return "letfn sibling"; }
  size_t index;
};
}  // namespace

Value sibling_marker(size_t i) {
  static std::mutex mutex;
  static std::vector<Value>* markers = new std::vector<Value>();
  std::lock_guard<std::mutex> g(mutex);
  while (markers->size() <= i) {
    auto* m = new SiblingMarker(markers->size());
    m->make_immortal();
    markers->push_back(Value::adopt(m));
  }
  return (*markers)[i];
}

Value resolve_captured(const Value& v, const Closure* running) {
  if (!is_sibling_marker(v) || !running || !running->group()) return v;
  const LetfnGroup& g = *running->group();
  size_t i = static_cast<const SiblingMarker&>(*v.obj()).index;
  return Value::adopt(new Closure(g.codes[i], g.captured[i], g.metas[i], running->group()));
}

}  // namespace kelp::exec
