#include "kelp/rt/namespace.hpp"

#include <fmt/format.h>

#include <map>

#include "kelp/data/symbol.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::rt {

namespace {

struct NsRegistry {
  std::mutex mutex;
  std::map<std::string, Value, std::less<>> by_name;
};

NsRegistry& ns_registry() {
  static NsRegistry* r = new NsRegistry();  // lives to the end of the process: vars point into namespaces
  return *r;
}

std::string_view sym_name(const Value& sym) { return sym.as<Symbol>().name(); }

}  // namespace

Namespace::Namespace(Value name_sym) : Object(Kind::Namespace, META), name_(std::move(name_sym)) {}

std::string_view Namespace::name_str() const { return sym_name(name_); }

Value Namespace::find(const Value& sym) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = mappings_.find(sym);
  return it == mappings_.end() ? Value() : it->second;
}

Value Namespace::find_interned(const Value& sym) const {
  Value v = find(sym);
  if (v.is(Kind::Var) && v.as<Var>().ns() == this) return v;
  return Value();
}

Value Namespace::intern(const Value& sym) {
  Value replaced;
  Value var;
  {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = mappings_.find(sym);
    if (it != mappings_.end() && it->second.is(Kind::Var) && it->second.as<Var>().ns() == this) return it->second;
    var = make_var(this, sym);
    if (it != mappings_.end()) {
      replaced = it->second;
      it->second = var;
    } else {
      mappings_.emplace(sym, var);
    }
  }
  if (replaced.is(Kind::Var)) {
    const Var& old = replaced.as<Var>();
    if (old.ns() && old.ns()->name_str() == "clojure.core")
      err_write(fmt::format("WARNING: {} already refers to: #'{} in namespace: {}, being replaced by: #'{}/{}\n",
                            sym_name(sym), old.full_name(), name_str(), name_str(), sym_name(sym)));
  }
  return var;
}

void Namespace::refer(const Value& sym, const Value& var) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = mappings_.find(sym);
  if (it != mappings_.end()) {
    if (it->second.identical(var)) return;
    if (it->second.is(Kind::Var) && it->second.as<Var>().ns() == this)
      throw_illegal_state(fmt::format("{} already refers to: #'{} in namespace: {}", sym_name(sym),
                                      it->second.as<Var>().full_name(), name_str()));
    it->second = var;
    return;
  }
  mappings_.emplace(sym, var);
}

void Namespace::import_class(const Value& sym, const Value& cls) {
  std::lock_guard<std::mutex> g(mutex_);
  mappings_[sym] = cls;
}

void Namespace::unmap(const Value& sym) {
  Value old;
  std::lock_guard<std::mutex> g(mutex_);
  auto it = mappings_.find(sym);
  if (it == mappings_.end()) return;
  old = std::move(it->second);
  mappings_.erase(it);
}

std::vector<std::pair<Value, Value>> Namespace::mappings() const {
  std::lock_guard<std::mutex> g(mutex_);
  return {mappings_.begin(), mappings_.end()};
}

void Namespace::add_alias(const Value& alias, Namespace* ns) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = aliases_.find(alias);
  if (it != aliases_.end() && it->second != ns)
    throw_illegal_state(fmt::format("Alias {} already exists in namespace {}, aliasing {}", sym_name(alias),
                                    name_str(), it->second->name_str()));
  aliases_[alias] = ns;
}

void Namespace::remove_alias(const Value& alias) {
  std::lock_guard<std::mutex> g(mutex_);
  aliases_.erase(alias);
}

Namespace* Namespace::lookup_alias(const Value& alias) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = aliases_.find(alias);
  return it == aliases_.end() ? nullptr : it->second;
}

Namespace* Namespace::lookup_alias(std::string_view alias) const { return lookup_alias(symbol(alias)); }

std::vector<std::pair<Value, Namespace*>> Namespace::aliases() const {
  std::lock_guard<std::mutex> g(mutex_);
  return {aliases_.begin(), aliases_.end()};
}

Value Namespace::meta() const {
  std::lock_guard<std::mutex> g(mutex_);
  return meta_;
}

void Namespace::set_meta(Value m) {
  std::lock_guard<std::mutex> g(mutex_);
  meta_ = std::move(m);
}

Namespace* find_ns(std::string_view name) {
  NsRegistry& r = ns_registry();
  std::lock_guard<std::mutex> g(r.mutex);
  auto it = r.by_name.find(name);
  return it == r.by_name.end() ? nullptr : const_cast<Namespace*>(&it->second.as<Namespace>());
}

Namespace* find_ns(const Value& sym) { return sym.is(Kind::Symbol) ? find_ns(sym_name(sym)) : nullptr; }

Namespace* create_ns(std::string_view name) {
  NsRegistry& r = ns_registry();
  std::lock_guard<std::mutex> g(r.mutex);
  auto it = r.by_name.find(name);
  if (it != r.by_name.end()) return const_cast<Namespace*>(&it->second.as<Namespace>());
  Value ns = Value::adopt(new Namespace(symbol(name)));
  auto* p = const_cast<Namespace*>(&ns.as<Namespace>());
  r.by_name.emplace(std::string(name), std::move(ns));
  return p;
}

Namespace* create_ns(const Value& sym) { return create_ns(sym_name(sym)); }

bool remove_ns(const Value& sym) {
  if (!sym.is(Kind::Symbol)) return false;
  if (sym_name(sym) == "clojure.core") throw_illegal_argument("Cannot remove clojure namespace");
  Value gone;
  NsRegistry& r = ns_registry();
  std::lock_guard<std::mutex> g(r.mutex);
  auto it = r.by_name.find(sym_name(sym));
  if (it == r.by_name.end()) return false;
  gone = std::move(it->second);  // kept alive by anyone still holding it; released after the lock
  r.by_name.erase(it);
  // Vars keep a raw pointer to their namespace, so a removed namespace is kept for the process's life.
  gone.obj()->retain();
  return true;
}

std::vector<Namespace*> all_ns() {
  NsRegistry& r = ns_registry();
  std::lock_guard<std::mutex> g(r.mutex);
  std::vector<Namespace*> out;
  for (auto& [name, v] : r.by_name) out.push_back(const_cast<Namespace*>(&v.as<Namespace>()));
  return out;
}

Value ns_value(Namespace* ns) { return Value::share(ns); }

}  // namespace kelp::rt
