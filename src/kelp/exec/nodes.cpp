#include "kelp/exec/nodes.hpp"

#include "kelp/exec/call_trace.hpp"

#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/exec/arg_buffer.hpp"
#include "kelp/exec/call_trace.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/types.hpp"

namespace kelp::exec {

namespace {

Value call_value(const Value& fn, rt::Args args) {
  if (fn.is(Kind::Fn)) return fn.as<rt::Fn>().invoke(args);
  return rt::call(fn, args);
}

Value captured_value(Frame& f, const CaptureSource& src) {
  switch (src.kind) {
    case CaptureSource::SLOT: return f.slots[src.index];
    case CaptureSource::CAPTURED: return resolve_captured(f.captured[src.index], f.self);
    case CaptureSource::SELF: return Value::share(f.self);
  }
  return {};
}

}  // namespace

Value SelfNode::eval(Frame& f) const { return Value::share(f.self); }

Value LoopNode::eval(Frame& f) const {
  for (const SlotInit& b : bindings_) f.slots[b.slot] = b.init->eval(f);
  for (;;) {
    Value v = body_->eval(f);
    if (!f.recur) return v;
    f.recur = false;
    rt::safe_point();
  }
}

Value RecurNode::eval(Frame& f) const {
  // New values are all computed before any slot changes: (recur (inc i) (+ s i)) reads the old i twice.
  switch (args_.size()) {
    case 0: break;
    case 1: f.slots[slots_[0]] = args_[0]->eval(f); break;
    case 2: {
      Value a = args_[0]->eval(f);
      Value b = args_[1]->eval(f);
      f.slots[slots_[0]] = std::move(a);
      f.slots[slots_[1]] = std::move(b);
      break;
    }
    default: {
      KELP_EVAL_ARGS(buf, args_, f);
      rt::Args vals = buf.args();
      for (size_t i = 0; i < slots_.size(); ++i) f.slots[slots_[i]] = vals[i];
    }
  }
  f.recur = true;
  return {};
}

Value DefNode::eval(Frame& f) const {
  rt::Var& v = rt::as_var(var_);
  Value m = meta_->eval(f);
  v.set_meta(m);
  const Value* dyn = get(m, keyword("dynamic"));
  v.set_dynamic(dyn && dyn->truthy());
  if (init_) v.bind_root(init_->eval(f));
  return var_;
}

std::vector<Value> FnNode::capture(Frame& f) const {
  std::vector<Value> caps;
  caps.reserve(code_->captures.size());
  for (const CaptureSource& src : code_->captures) caps.push_back(captured_value(f, src));
  return caps;
}

Value FnNode::eval(Frame& f) const { return Value::adopt(new Closure(code_, capture(f), meta_)); }

Value LetFnNode::eval(Frame& f) const {
  // While the group is made, each function's slot holds its marker, so siblings capture markers, not closures.
  for (size_t i = 0; i < fns_.size(); ++i) f.slots[slots_[i]] = sibling_marker(i);
  auto group = std::make_shared<LetfnGroup>();
  for (const auto& fn : fns_) {
    group->codes.push_back(fn->code());
    group->captured.push_back(fn->capture(f));
    group->metas.push_back(fn->meta());
  }
  for (size_t i = 0; i < fns_.size(); ++i)
    f.slots[slots_[i]] = Value::adopt(new Closure(group->codes[i], group->captured[i], group->metas[i], group));
  return body_->eval(f);
}

Value InvokeNode::eval(Frame& f) const {
  Value fn = fn_->eval(f);
  KELP_EVAL_ARGS(buf, args_, f);
  note_line(line);
  return call_value(fn, buf.args());
}

Value VarInvokeNode::eval(Frame& f) const {
  const rt::Var& var = var_.as<rt::Var>();
  Value fn = var.deref();
  KELP_EVAL_ARGS(buf, args_, f);
  note_line(line);
  if (fn.is(Kind::Fn)) return fn.as<rt::Fn>().invoke(buf.args());
  if (rt::is_unbound(fn)) rt::throw_illegal_state("Attempting to call unbound fn: #'" + var.full_name());
  return rt::call(fn, buf.args());
}

Value ThrowNode::eval(Frame& f) const {
  Value ex = ex_->eval(f);
  note_line(line);
  if (ex.is_nil()) rt::throw_null_pointer("Cannot throw exception because \"null\" is null");
  if (!rt::is_throwable(ex))
    rt::throw_class_cast("class " + std::string(type_name(ex)) + " cannot be cast to class java.lang.Throwable");
  rt::throw_value(std::move(ex));
}

Value TryNode::run_catching(Frame& f) const {
  if (catches_.empty()) return body_->eval(f);
  const size_t depth = call_depth();
  try {
    return body_->eval(f);
  } catch (...) {
    Value ex = rt::as_throwable(std::current_exception());
    record_trace(ex, depth);
    for (const CatchClause& c : catches_) {
      if (rt::is_instance(ex, c.cls)) {
        f.slots[c.slot] = std::move(ex);
        return c.body->eval(f);
      }
    }
    throw;
  }
}

Value TryNode::eval(Frame& f) const {
  if (!finally_) return run_catching(f);
  Value v;
  try {
    v = run_catching(f);
  } catch (...) {
    finally_->eval(f);
    throw;
  }
  finally_->eval(f);
  return v;
}

Value CaseNode::eval(Frame& f) const {
  Value v = expr_->eval(f);
  auto it = table_.find(v);
  return it == table_.end() ? else_->eval(f) : branches_[it->second]->eval(f);
}

Value SetVarNode::eval(Frame& f) const {
  Value v = val_->eval(f);
  rt::as_var(var_).set(v);
  return v;
}

Value VectorNode::eval(Frame& f) const {
  KELP_EVAL_ARGS(buf, items_, f);
  Value v = make_vector(buf.args());
  return meta_ ? with_meta(v, meta_->eval(f)) : v;
}

namespace {
[[noreturn]] void duplicate_key(const Value& k) { rt::throw_illegal_argument("Duplicate key: " + pr_str(k)); }
}  // namespace

Value MapNode::eval(Frame& f) const {
  KELP_EVAL_ARGS(buf, kvs_, f);
  Value dup;
  std::optional<Value> m = make_map_checked(buf.args(), &dup);
  if (!m) duplicate_key(dup);
  return meta_ ? with_meta(*m, meta_->eval(f)) : *m;
}

Value SetNode::eval(Frame& f) const {
  KELP_EVAL_ARGS(buf, items_, f);
  Value dup;
  std::optional<Value> s = make_set_checked(buf.args(), &dup);
  if (!s) duplicate_key(dup);
  return meta_ ? with_meta(*s, meta_->eval(f)) : *s;
}

Value NewNode::eval(Frame& f) const {
  KELP_EVAL_ARGS(buf, args_, f);
  note_line(line);
  bool found = false;
  Value made = rt::types::construct(cls_, buf.args(), &found);
  return found ? made : rt::host::construct(cls_, buf.args());
}

Value StaticCallNode::eval(Frame& f) const {
  KELP_EVAL_ARGS(buf, args_, f);
  note_line(line);
  return call_value(method_, buf.args());
}

Value StaticFieldNode::eval(Frame&) const {
  bool found = false;
  return rt::host::static_field(cls_, field_, &found);
}

Value MethodCallNode::eval(Frame& f) const {
  Value target = target_->eval(f);
  KELP_EVAL_ARGS(buf, args_, f);
  note_line(line);
  bool found = false;
  Value out = rt::types::invoke_method(target, method_, buf.args(), &found);
  return found ? out : rt::host::invoke_method(target, method_, buf.args());
}

Value FieldNode::eval(Frame& f) const {
  Value target = target_->eval(f);
  bool found = false;
  Value out = rt::types::get_field(target, field_, &found);
  return found ? out : rt::host::get_field(target, field_);
}

}  // namespace kelp::exec
