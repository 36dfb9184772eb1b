// clojure.core's state and exceptions: atoms, volatiles, delays, promises, futures, deref, locking, timing, and the
// ex-info family.
#include <chrono>
#include <string>

#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/lib/num_ops.hpp"
#include "kelp/lib/seq_util.hpp"
#include "kelp/lib/state_refs.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/types.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

namespace {

using rt::Args;
using RT = Reference::Type;

[[noreturn]] void cannot_cast(const Value& v, std::string_view to) {
  rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class " + std::string(to));
}

const Atom& atom_of(const Value& v) {
  if (const Reference* r = as_reference(v, RT::Atom)) return static_cast<const Atom&>(*r);
  cannot_cast(v, "clojure.lang.IAtom");
}

const Volatile& volatile_of(const Value& v) {
  if (const Reference* r = as_reference(v, RT::Volatile)) return static_cast<const Volatile&>(*r);
  cannot_cast(v, "clojure.lang.Volatile");
}

const Pending* pending_of(const Value& v) {
  if (const Reference* r = as_reference(v, RT::Promise)) return static_cast<const Pending*>(r);
  if (const Reference* r = as_reference(v, RT::Future)) return static_cast<const Pending*>(r);
  return nullptr;
}

const Future& future_of(const Value& v) {
  if (const Reference* r = as_reference(v, RT::Future)) return static_cast<const Future&>(*r);
  cannot_cast(v, "java.util.concurrent.Future");
}

bool is_ref(const Value& v, RT t) { return as_reference(v, t) != nullptr; }

// --- Atoms

// (atom x & options): :meta m, :validator f.
Value atom(Args a) {
  if (a.size() % 2 == 0) rt::throw_illegal_argument("No value supplied for key: " + std::string(type_name(a.back())));
  Value meta, validator;
  for (size_t i = 1; i + 1 < a.size(); i += 2) {
    if (a[i].identical(keyword("meta"))) meta = a[i + 1];
    else if (a[i].identical(keyword("validator"))) validator = a[i + 1];
  }
  return Value::adopt(new Atom(a[0], std::move(meta), std::move(validator)));
}

Value swap(Args a) { return atom_of(a[0]).swap(a[1], a.subspan(2)).second; }

Value swap_vals(Args a) {
  auto [old_v, new_v] = atom_of(a[0]).swap(a[1], a.subspan(2));
  return make_vector({std::move(old_v), std::move(new_v)});
}

Value reset(Args a) { return atom_of(a[0]).reset(a[1]).second; }

Value reset_vals(Args a) {
  auto [old_v, new_v] = atom_of(a[0]).reset(a[1]);
  return make_vector({std::move(old_v), std::move(new_v)});
}

// The watch and validator functions serve atoms, agents and refs alike.
template <class F>
auto on_iref(const Value& v, F&& f) {
  if (const Reference* r = as_reference(v, RT::Agent)) return f(static_cast<const Agent&>(*r));
  if (const Reference* r = as_reference(v, RT::Ref)) return f(static_cast<const Ref&>(*r));
  return f(atom_of(v));
}

Value add_watch(Args a) {
  if (a[0].is(Kind::Var)) rt::as_var(a[0]).add_watch(a[1], a[2]);
  else on_iref(a[0], [&](const auto& r) { r.add_watch(a[1], a[2]); return 0; });
  return a[0];
}

Value remove_watch(Args a) {
  if (a[0].is(Kind::Var)) rt::as_var(a[0]).remove_watch(a[1]);
  else on_iref(a[0], [&](const auto& r) { r.remove_watch(a[1]); return 0; });
  return a[0];
}

Value set_validator(Args a) {
  on_iref(a[0], [&](const auto& r) { r.set_validator(a[1]); return 0; });
  return NIL;
}

Value get_validator(Args a) {
  return on_iref(a[0], [](const auto& r) { return r.validator(); });
}

// --- deref and realized?

Value deref(Args a) {
  const Value& r = a[0];
  if (a.size() == 3) {
    const Pending* p = pending_of(r);
    if (!p) cannot_cast(r, "clojure.lang.IBlockingDeref");
    int64_t ms = a[1].is_int() ? a[1].as_int() : static_cast<int64_t>(num::to_double(a[1]));
    return p->deref_within(std::chrono::milliseconds(std::max<int64_t>(ms, 0)), a[2]);
  }
  if (r.is(Kind::Reference)) return r.as<Reference>().deref();
  if (r.is(Kind::Var)) return rt::as_var(r).deref();
  if (r.is(Kind::Reduced)) return seqs::reduced_value(r);
  if (const Value* f = rt::types::instance_method(r, "deref")) return rt::call(*f, {r});
  cannot_cast(r, "java.util.concurrent.Future");
}

Value realized(Args a) {
  const Value& r = a[0];
  if (const Pending* p = pending_of(r)) return Value::boolean(p->realized());
  if (const Reference* d = as_reference(r, RT::Delay)) return Value::boolean(static_cast<const Delay*>(d)->realized());
  if (r.is(Kind::Seq)) {
    if (auto* lazy = dynamic_cast<const rt::LazySeq*>(r.obj())) return Value::boolean(lazy->is_realized());
  }
  cannot_cast(r, "clojure.lang.IPending");
}

// --- Exceptions

Value ex_info(Args a) {
  if (!a[0].is_nil() && !a[0].is(Kind::String)) cannot_cast(a[0], "java.lang.String");
  if (a[1].is_nil()) rt::throw_illegal_argument("Additional data must be non-nil.");
  if (!is_map(a[1])) cannot_cast(a[1], "clojure.lang.IPersistentMap");
  Value cause = a.size() > 2 ? a[2] : NIL;
  if (!cause.is_nil() && !rt::is_throwable(cause)) cannot_cast(cause, "java.lang.Throwable");
  return rt::make_throwable(rt::exception_class("clojure.lang.ExceptionInfo"), a[0], a[1], cause);
}

Value ex_data(Args a) { return rt::is_throwable(a[0]) ? rt::throwable(a[0]).data() : NIL; }
Value ex_message(Args a) { return rt::is_throwable(a[0]) ? rt::throwable(a[0]).message() : NIL; }
Value ex_cause(Args a) { return rt::is_throwable(a[0]) ? rt::throwable(a[0]).cause() : NIL; }

// A trace line as the JVM shows one: [class method file line]; kelp's "user/f" shows as user$f.
Value trace_vec(const rt::TraceElement& t) {
  std::string cls = t.fn;
  for (char& c : cls) {
    if (c == '/') c = '$';
    else if (c == '-') c = '_';
  }
  return make_vector({symbol(cls), symbol("invoke"), make_string(t.file.empty() ? "NO_SOURCE_FILE" : t.file),
                      Value::integer(t.line)});
}

Value trace_of(const rt::Throwable& t) {
  Value v = empty_vector();
  for (const rt::TraceElement& e : t.trace()) v = vector_conj(v, trace_vec(e));
  return v;
}

Value via_entry(const rt::Throwable& t) {
  Value m = make_map({keyword("type"), symbol(t.cls().name)});
  if (!t.message().is_nil()) m = assoc(m, keyword("message"), t.message());
  if (!t.data().is_nil()) m = assoc(m, keyword("data"), t.data());
  if (!t.trace().empty()) m = assoc(m, keyword("at"), trace_vec(t.trace().front()));
  return m;
}

Value throwable_to_map(Args a) {
  if (!rt::is_throwable(a[0])) cannot_cast(a[0], "java.lang.Throwable");
  Value via = empty_vector();
  Value root = a[0];
  for (Value t = a[0]; rt::is_throwable(t); t = rt::throwable(t).cause()) {
    via = vector_conj(via, via_entry(rt::throwable(t)));
    root = t;
  }
  const rt::Throwable& r = rt::throwable(root);
  Value m = make_map({keyword("via"), via, keyword("trace"), trace_of(r)});
  if (!r.message().is_nil()) m = assoc(m, keyword("cause"), r.message());
  if (!r.data().is_nil()) m = assoc(m, keyword("data"), r.data());
  const Value& top_data = rt::throwable(a[0]).data();
  if (!top_data.is_nil()) {
    if (const Value* phase = get(top_data, keyword("clojure.error", "phase"))) m = assoc(m, keyword("phase"), *phase);
  }
  return m;
}

// (time* thunk): runs it and prints the elapsed time as (time expr) does.
Value time_call(Args a) {
  auto start = std::chrono::steady_clock::now();
  Value result = rt::call(a[0]);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  rt::out_write("\"Elapsed time: " + format_double(ms) + " msecs\"\n");
  return result;
}

void def(rt::Namespace* ns, std::string_view name, int min, int max, rt::NativeBody body, const char* arglists) {
  defn(ns, name, min, max, body, NativeDoc{arglists, nullptr});
}

void def_atoms(rt::Namespace* ns) {
  def(ns, "atom", 1, -1, atom, "([x] [x & options])");
  def(ns, "swap!", 2, -1, swap, "([atom f] [atom f x] [atom f x y] [atom f x y & args])");
  def(ns, "swap-vals!", 2, -1, swap_vals, "([atom f] [atom f x] [atom f x y] [atom f x y & args])");
  def(ns, "reset!", 2, 2, reset, "([atom newval])");
  def(ns, "reset-vals!", 2, 2, reset_vals, "([atom newval])");
  def(ns, "compare-and-set!", 3, 3,
      [](Args a) { return Value::boolean(atom_of(a[0]).compare_and_set(a[1], a[2])); }, "([atom oldval newval])");
  def(ns, "add-watch", 3, 3, add_watch, "([reference key fn])");
  def(ns, "remove-watch", 2, 2, remove_watch, "([reference key])");
  def(ns, "set-validator!", 2, 2, set_validator, "([iref validator-fn])");
  def(ns, "get-validator", 1, 1, get_validator, "([iref])");
  def(ns, "volatile!", 1, 1, [](Args a) { return Value::adopt(new Volatile(a[0])); }, "([val])");
  def(ns, "vreset!", 2, 2, [](Args a) { return volatile_of(a[0]).reset(a[1]); }, "([vol newval])");
  def(ns, "volatile?", 1, 1, [](Args a) { return Value::boolean(is_ref(a[0], RT::Volatile)); }, "([x])");
}

void def_pending(rt::Namespace* ns) {
  def(ns, "deref", 1, 3, deref, "([ref] [ref timeout-ms timeout-val])");
  def(ns, "realized?", 1, 1, realized, "([x])");
  def(ns, "delay*", 1, 1, [](Args a) { return Value::adopt(new Delay(a[0])); }, "([f])");
  def(ns, "delay?", 1, 1, [](Args a) { return Value::boolean(is_ref(a[0], RT::Delay)); }, "([x])");
  def(ns, "force", 1, 1,
      [](Args a) { return is_ref(a[0], RT::Delay) ? a[0].as<Reference>().deref() : a[0]; }, "([x])");
  def(ns, "promise", 0, 0, [](Args) { return Value::adopt(new Promise()); }, "([])");
  def(ns, "deliver", 2, 2,
      [](Args a) {
        const Reference* p = as_reference(a[0], RT::Promise);
        if (!p) cannot_cast(a[0], "clojure.lang.IFn");
        return static_cast<const Promise*>(p)->deliver(a[1]) ? a[0] : NIL;
      },
      "([promise val])");
  def(ns, "future-call", 1, 1, [](Args a) { return Future::start(a[0]); }, "([f])");
  def(ns, "future?", 1, 1, [](Args a) { return Value::boolean(is_ref(a[0], RT::Future)); }, "([x])");
  def(ns, "future-done?", 1, 1, [](Args a) { return Value::boolean(future_of(a[0]).done()); }, "([f])");
  def(ns, "future-cancel", 1, 1, [](Args a) { return Value::boolean(future_of(a[0]).cancel()); }, "([f])");
  def(ns, "future-cancelled?", 1, 1, [](Args a) { return Value::boolean(future_of(a[0]).cancelled()); }, "([f])");
  def(ns, "locking*", 2, 2, [](Args a) { return call_locked(a[0], a[1]); }, "([x f])");
  def(ns, "time*", 1, 1, time_call, "([f])");
  def(ns, "shutdown-agents", 0, 0, [](Args) { return NIL; }, "([])");
}

void def_exceptions(rt::Namespace* ns) {
  def(ns, "ex-info", 2, 3, ex_info, "([msg map] [msg map cause])");
  def(ns, "ex-data", 1, 1, ex_data, "([ex])");
  def(ns, "ex-message", 1, 1, ex_message, "([ex])");
  def(ns, "ex-cause", 1, 1, ex_cause, "([ex])");
  def(ns, "Throwable->map", 1, 1, throwable_to_map, "([o])");
}

}  // namespace

void install_agents(rt::Namespace* core);  // state_agents.cpp
void install_refs(rt::Namespace* core);    // state_stm.cpp

void install_core_state() {
  rt::Namespace* core = rt::core_vars().core;
  install_agents(core);
  install_refs(core);
  def_atoms(core);
  def_pending(core);
  def_exceptions(core);
}

}  // namespace kelp::lib
