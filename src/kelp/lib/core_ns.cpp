// clojure.core's namespaces and vars: in-ns, the ns-* queries, resolve, intern, var access, metadata and thread
// bindings. Requiring and loading live in ns_loading.cpp.
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/lib/ns_common.hpp"
#include "kelp/lib/ns_loading.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

using namespace ns_detail;
using rt::Args;
using rt::Namespace;

namespace {

Value ns_val(Namespace& ns) { return rt::ns_value(&ns); }

// Where a key stands when a hash map iterates: its hash's 5-bit chunks, lowest first, as the trie levels take them.
uint64_t trie_order(const Value& key) {
  const auto h = static_cast<uint32_t>(hash(key));
  uint64_t order = 0;
  for (int level = 0; level < 7; ++level) order = (order << 5) | ((h >> (5 * level)) & 31);
  return order;
}

// A map of the mappings of ns that pass keep(target); with_defaults puts them over the classes every namespace
// sees without an import (String, Math ...), as ns-map and ns-imports show them.
// The entries come in JVM Clojure's order: it filters the namespace's whole mapping table, a hash map, in
// that map's order, so even a small result (an array map) lists its entries in hash order. run-tests runs a
// namespace's tests in this order.
template <class Keep>
Value mappings_where(Namespace& ns, Keep keep, bool with_defaults = false) {
  std::vector<std::pair<Value, Value>> kept;
  if (with_defaults)
    for (auto& [sym, cls] : rt::host::default_imports()) kept.emplace_back(sym, cls);
  for (auto& [sym, target] : ns.mappings())
    if (keep(target)) kept.emplace_back(sym, target);
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto& a, const auto& b) { return trie_order(a.first) < trie_order(b.first); });
  TransientMap m;
  for (auto& [sym, target] : kept) m.assoc(sym, target);
  return m.persistent();
}

bool interned_in(const Value& target, const Namespace& ns) {
  return target.is(Kind::Var) && target.as<rt::Var>().ns() == &ns;
}

// ---------------------------------------------------------------------------------------------------------------
// Namespaces

Value in_ns(Args a) {
  need_symbol(a[0]);
  Namespace* ns = rt::create_ns(a[0]);
  Value v = ns_val(*ns);
  rt::as_var(rt::core_vars().ns).set(v);
  return v;
}

Value create_ns(Args a) {
  need_symbol(a[0]);
  return ns_val(*rt::create_ns(a[0]));
}

Value find_ns(Args a) {
  need_symbol(a[0]);
  Namespace* ns = rt::find_ns(a[0]);
  return ns ? ns_val(*ns) : Value();
}

Value remove_ns(Args a) {
  need_symbol(a[0]);
  Namespace* ns = rt::find_ns(a[0]);
  if (!ns) return {};
  // clojure.core cannot go: everything refers to it.
  if (ns->name_str() == "clojure.core") rt::throw_illegal_argument("Cannot remove clojure namespace");
  Value v = ns_val(*ns);
  rt::remove_ns(a[0]);
  return v;
}

Value all_ns(Args) {
  std::vector<Value> out;
  for (Namespace* ns : rt::all_ns()) out.push_back(ns_val(*ns));
  return make_list(out);
}

Value the_ns_fn(Args a) { return ns_val(the_ns(a[0])); }
Value ns_name(Args a) { return the_ns(a[0]).name(); }

Value ns_map(Args a) {
  return mappings_where(the_ns(a[0]), [](const Value&) { return true; }, true);
}
Value ns_interns(Args a) {
  Namespace& ns = the_ns(a[0]);
  return mappings_where(ns, [&](const Value& t) { return interned_in(t, ns); });
}
Value ns_publics(Args a) {
  Namespace& ns = the_ns(a[0]);
  return mappings_where(ns, [&](const Value& t) { return interned_in(t, ns) && !t.as<rt::Var>().is_private(); });
}
Value ns_refers(Args a) {
  Namespace& ns = the_ns(a[0]);
  return mappings_where(ns, [&](const Value& t) { return t.is(Kind::Var) && !interned_in(t, ns); });
}
Value ns_imports(Args a) {
  return mappings_where(the_ns(a[0]), [](const Value& t) { return !t.is(Kind::Var); }, true);
}

Value ns_aliases(Args a) {
  std::vector<Value> kvs;
  for (auto& [alias, target] : the_ns(a[0]).aliases()) {
    kvs.push_back(alias);
    kvs.push_back(ns_val(*target));
  }
  return make_map(kvs);
}

Value ns_unmap(Args a) {
  need_symbol(a[1]);
  the_ns(a[0]).unmap(a[1]);
  return {};
}

Value ns_unalias(Args a) {
  need_symbol(a[1]);
  the_ns(a[0]).remove_alias(a[1]);
  return {};
}

Value alias(Args a) {
  need_symbol(a[0]);
  rt::current_ns().add_alias(a[0], &the_ns(a[1]));
  return {};
}

// ---------------------------------------------------------------------------------------------------------------
// Resolving symbols

Value resolve_in(Namespace& ns, const Value& sym) {
  const Symbol& s = need_symbol(sym);
  if (s.has_ns()) {
    Namespace* target = ns.lookup_alias(s.ns());
    if (!target) target = rt::find_ns(s.ns());
    if (!target) return {};
    return target->find_interned(symbol(s.name()));
  }
  std::string_view name = s.name();
  // A dotted name is a class name ("java.util.UUID"), never a var.
  if (name.find('.') != std::string_view::npos && name.front() != '.' && name.back() != '.')
    return rt::host::find_class(name);
  Value found = ns.find(sym);
  if (!found.is_nil()) return found;
  return rt::host::find_class(name);
}

bool env_has(const Value& env, const Value& sym) { return !env.is_nil() && get(env, sym) != nullptr; }

Value resolve(Args a) {
  if (a.size() == 2) {
    if (env_has(a[0], a[1])) return {};
    return resolve_in(rt::current_ns(), a[1]);
  }
  return resolve_in(rt::current_ns(), a[0]);
}

Value ns_resolve(Args a) {
  Namespace& ns = the_ns(a[0]);
  if (a.size() == 3) {
    if (env_has(a[1], a[2])) return {};
    return resolve_in(ns, a[2]);
  }
  return resolve_in(ns, a[1]);
}

// ---------------------------------------------------------------------------------------------------------------
// Vars

Value intern(Args a) {
  Namespace& ns = the_ns(a[0]);
  need_symbol(a[1]);
  Value v = ns.intern(a[1]);
  rt::Var& var = rt::as_var(v);
  if (a.size() == 3) var.bind_root(a[2]);
  Value m = meta(a[1]);
  if (!m.is_nil()) var.set_meta(m);
  return v;
}

Value find_var(Args a) {
  const Symbol& s = need_symbol(a[0]);
  if (!s.has_ns()) rt::throw_illegal_argument("Symbol must be namespace-qualified");
  Namespace* ns = rt::find_ns(s.ns());
  if (!ns) rt::throw_illegal_argument("No such namespace: " + std::string(s.ns()));
  return ns->find_interned(symbol(s.name()));
}

Value var_get(Args a) { return need_var(a[0]).deref(); }

Value var_set(Args a) {
  need_var(a[0]).set(a[1]);
  return a[1];
}

Value is_var(Args a) { return Value::boolean(a[0].is(Kind::Var)); }

Value is_bound(Args a) {
  for (const Value& v : a)
    if (!need_var(v).is_bound()) return FALSE_V();
  return TRUE_V();
}

Value is_thread_bound(Args a) {
  for (const Value& v : a)
    if (!rt::find_binding(&need_var(v))) return FALSE_V();
  return TRUE_V();
}

Value alter_var_root(Args a) { return need_var(a[0]).alter_root(a[1], a.subspan(2)); }

// ---------------------------------------------------------------------------------------------------------------
// Metadata

void set_reference_meta(const Value& ref, const Value& m) {
  if (ref.is(Kind::Var)) rt::as_var(ref).set_meta(m);
  else if (ref.is(Kind::Namespace)) rt::as_ns(ref).set_meta(m);
  else throw_cannot_cast(ref, "clojure.lang.IReference");
}

Value reset_meta(Args a) {
  set_reference_meta(a[0], a[1]);
  return a[1];
}

Value alter_meta(Args a) {
  if (!a[0].is(Kind::Var) && !a[0].is(Kind::Namespace)) throw_cannot_cast(a[0], "clojure.lang.IReference");
  // Vars and namespaces guard their own metadata; altering is read, apply, write, as Clojure's is per reference.
  std::vector<Value> args;
  args.reserve(a.size() - 1);
  args.push_back(meta(a[0]));
  args.insert(args.end(), a.begin() + 2, a.end());
  Value m = rt::call(a[1], Args(args));
  set_reference_meta(a[0], m);
  return m;
}

Value meta_fn(Args a) { return meta(a[0]); }

Value with_meta_fn(Args a) {
  if (!a[0].has(META) || a[0].is(Kind::Var) || a[0].is(Kind::Namespace))
    throw_cannot_cast(a[0], "clojure.lang.IObj");
  if (!a[1].is_nil() && !is_map(a[1])) throw_cannot_cast(a[1], "clojure.lang.IPersistentMap");
  return with_meta(a[0], a[1]);
}

Value vary_meta(Args a) {
  std::vector<Value> args;
  args.reserve(a.size() - 1);
  args.push_back(meta(a[0]));
  args.insert(args.end(), a.begin() + 2, a.end());
  Value fa[2] = {a[0], rt::call(a[1], Args(args))};
  return with_meta_fn(Args(fa, 2));
}

// ---------------------------------------------------------------------------------------------------------------
// Thread bindings pushed and popped by hand (binding, with-bindings): a stack of scopes per thread.

thread_local std::vector<std::unique_ptr<rt::BindingScope>> tl_pushed;

Value push_thread_bindings(Args a) {
  std::vector<rt::BindingFrame::Entry> entries;
  if (!a[0].is_nil()) {
    if (!is_map(a[0])) throw_cannot_cast(a[0], "clojure.lang.Associative");
    a[0].obj()->each_entry([&](const Value& k, const Value& v) {
      entries.push_back({&need_var(k), v});
      return true;
    });
  }
  tl_pushed.push_back(std::make_unique<rt::BindingScope>(std::move(entries)));
  return {};
}

Value pop_thread_bindings(Args) {
  if (tl_pushed.empty()) rt::throw_illegal_state("Pop without matching push");
  tl_pushed.pop_back();
  return {};
}

Value get_thread_bindings(Args) { return rt::thread_bindings_map(); }

// (-autoload lib macro-names fn-names): clojure.core vars whose real definitions live in lib. Each var starts out
// bound to a stub that loads lib (which redefines the var) and then calls the real function with the same
// arguments, so a macro's stub passes &form and &env along too.
Value autoload(Args a) {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<rt::Autoload>> libs;  // one per library, alive as long as the program
  rt::Autoload* lib = nullptr;
  {
    std::lock_guard g(mutex);
    libs.push_back(std::make_unique<rt::Autoload>(a[0]));
    lib = libs.back().get();
  }
  Namespace* core = rt::core_vars().core;
  auto stubs = [&](const Value& names, bool macro) {
    for (Value s = seq(names); !s.is_nil(); s = next(s)) {
      Value name = first(s);
      Value var = core->intern(name);
      rt::Var* cell = &rt::as_var(var);
      auto self = std::make_shared<const Object*>(nullptr);
      Value stub = rt::make_native(cell->full_name(), 0, -1, [lib, cell, self](Args args) {
        lib->ensure();
        Value f = cell->deref();
        if (f.is_obj() && f.obj() == *self)
          rt::throw_error("java.lang.IllegalStateException",
                          "Loading " + pr_str(lib->lib()) + " didn't define " + cell->full_name() + ".");
        return rt::call(f, args);
      });
      *self = stub.obj();
      Value meta = make_map({keyword("ns"), rt::ns_value(core), keyword("name"), name, keyword("autoload"), a[0]});
      if (macro) meta = assoc(meta, keyword("macro"), Value::boolean(true));
      cell->set_meta(std::move(meta));
      cell->bind_root(std::move(stub));
      cell->set_autoload(lib);
    }
  };
  stubs(a[1], true);
  stubs(a[2], false);
  return Value();
}

}  // namespace

void install_core_ns() {
  Namespace* core = rt::core_vars().core;
  defn(core, "-autoload", 3, 3, autoload);
  defn(core, "in-ns", 1, 1, in_ns,
       {"([name])", "Sets *ns* to the namespace named by the symbol, creating it if needed."});
  defn(core, "create-ns", 1, 1, create_ns,
       {"([sym])", "Create a new namespace named by the symbol if one doesn't already exist, returns it or the "
                   "already-existing namespace of the same name."});
  defn(core, "find-ns", 1, 1, find_ns, {"([sym])", "Returns the namespace named by the symbol or nil if it "
                                                   "doesn't exist."});
  defn(core, "remove-ns", 1, 1, remove_ns, {"([sym])", "Removes the namespace named by the symbol."});
  defn(core, "all-ns", 0, 0, all_ns, {"([])", "Returns a sequence of all namespaces."});
  defn(core, "the-ns", 1, 1, the_ns_fn,
       {"([x])", "If passed a namespace, returns it. Else, when passed a symbol, returns the namespace named by "
                 "it, throwing an exception if not found."});
  defn(core, "ns-name", 1, 1, ns_name, {"([ns])", "Returns the name of the namespace, a symbol."});
  defn(core, "ns-map", 1, 1, ns_map, {"([ns])", "Returns a map of all the mappings for the namespace."});
  defn(core, "ns-interns", 1, 1, ns_interns, {"([ns])", "Returns a map of the intern mappings for the namespace."});
  defn(core, "ns-publics", 1, 1, ns_publics,
       {"([ns])", "Returns a map of the public intern mappings for the namespace."});
  defn(core, "ns-refers", 1, 1, ns_refers, {"([ns])", "Returns a map of the refer mappings for the namespace."});
  defn(core, "ns-imports", 1, 1, ns_imports, {"([ns])", "Returns a map of the import mappings for the namespace."});
  defn(core, "ns-aliases", 1, 1, ns_aliases, {"([ns])", "Returns a map of the aliases for the namespace."});
  defn(core, "ns-unmap", 2, 2, ns_unmap, {"([ns sym])", "Removes the mappings for the symbol from the namespace."});
  defn(core, "ns-unalias", 2, 2, ns_unalias, {"([ns sym])", "Removes the alias for the symbol from the namespace."});
  defn(core, "alias", 2, 2, alias,
       {"([alias namespace-sym])", "Add an alias in the current namespace to another namespace."});
  defn(core, "resolve", 1, 2, resolve,
       {"([sym] [env sym])", "same as (ns-resolve *ns* symbol) or (ns-resolve *ns* &env symbol)"});
  defn(core, "ns-resolve", 2, 3, ns_resolve,
       {"([ns sym] [ns env sym])", "Returns the var or Class to which a symbol will be resolved in the namespace "
                                   "(unless found in the environment), else nil."});
  defn(core, "intern", 2, 3, intern,
       {"([ns name] [ns name val])", "Finds or creates a var named by the symbol name in the namespace ns, "
                                     "setting its root binding to val if supplied."});
  defn(core, "find-var", 1, 1, find_var,
       {"([sym])", "Returns the global var named by the namespace-qualified symbol, or nil if no var with that "
                   "name."});
  defn(core, "var-get", 1, 1, var_get, {"([x])", "Gets the value in the var object"});
  defn(core, "var-set", 2, 2, var_set, {"([x val])", "Sets the value in the var object to val. The var must be "
                                                     "thread-locally bound."});
  defn(core, "var?", 1, 1, is_var, {"([v])", "Returns true if v is of type clojure.lang.Var"});
  defn(core, "bound?", 1, -1, is_bound,
       {"([& vars])", "Returns true if all of the vars provided as arguments have any bound value, root or thread-"
                      "local."});
  defn(core, "thread-bound?", 1, -1, is_thread_bound,
       {"([& vars])", "Returns true if all of the vars provided as arguments have thread-local bindings."});
  defn(core, "alter-var-root", 2, -1, alter_var_root,
       {"([v f & args])", "Atomically alters the root binding of var v by applying f to its current value plus "
                          "any args."});
  defn(core, "alter-meta!", 2, -1, alter_meta,
       {"([iref f & args])", "Atomically sets the metadata for a namespace/var/ref/agent/atom to be: (apply f "
                             "its-current-meta args)"});
  defn(core, "reset-meta!", 2, 2, reset_meta,
       {"([iref metadata-map])", "Atomically resets the metadata for a namespace/var/ref/agent/atom"});
  defn(core, "meta", 1, 1, meta_fn, {"([obj])", "Returns the metadata of obj, returns nil if there is no metadata."});
  defn(core, "with-meta", 2, 2, with_meta_fn,
       {"([obj m])", "Returns an object of the same type and value as obj, with map m as its metadata."});
  defn(core, "vary-meta", 2, -1, vary_meta,
       {"([obj f & args])", "Returns an object of the same type and value as obj, with (apply f (meta obj) args) "
                            "as its metadata."});
  defn(core, "push-thread-bindings", 1, 1, push_thread_bindings,
       {"([bindings])", "Takes a map of Var/value pairs and binds them thread-locally. Each call must be matched "
                        "by a call to pop-thread-bindings wrapped in a try-finally."});
  defn(core, "pop-thread-bindings", 0, 0, pop_thread_bindings,
       {"([])", "Pop one set of bindings pushed with push-binding before."});
  defn(core, "get-thread-bindings", 0, 0, get_thread_bindings,
       {"([])", "Get a map with the Var/value pairs which is currently in effect for the current thread."});
  install_ns_loading(core);
}

}  // namespace kelp::lib
