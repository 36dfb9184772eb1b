// Namespaces: maps from unqualified symbols to vars (and host classes), with aliases to other namespaces.
// All namespaces live in one process-wide registry.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kelp/data/value.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::rt {

class Namespace final : public Object {
 public:
  explicit Namespace(Value name_sym);
  const Value& name() const { return name_; }     // a symbol
  std::string_view name_str() const;

  // What sym maps to here: a Var value, a host class value, or nil.
  Value find(const Value& sym) const;
  // The var named sym interned in this namespace, created when missing. When sym currently refers to a var of
  // another namespace, the mapping is replaced (a warning goes to *err* for clojure.core vars, as JVM Clojure does).
  Value intern(const Value& sym);
  // The var interned here under sym (not a referred one), or nil.
  Value find_interned(const Value& sym) const;
  // Maps sym to a var of another namespace. Throws IllegalStateException when sym already names a var interned
  // here ("f already refers to: #'user/f in namespace: user").
  void refer(const Value& sym, const Value& var);
  void import_class(const Value& sym, const Value& cls);
  void unmap(const Value& sym);
  // Every mapping (symbol -> var or class), in no particular order.
  std::vector<std::pair<Value, Value>> mappings() const;

  void add_alias(const Value& alias, Namespace* ns);  // throws when alias already names another namespace
  void remove_alias(const Value& alias);
  Namespace* lookup_alias(const Value& alias) const;
  Namespace* lookup_alias(std::string_view alias) const;
  std::vector<std::pair<Value, Namespace*>> aliases() const;

  Value meta() const override;
  void set_meta(Value m);
  std::string_view type_name() const override { return "clojure.lang.Namespace"; }

 private:
  Value name_;
  mutable std::mutex mutex_;
  std::unordered_map<Value, Value, ValueHash, ValueEq> mappings_;
  std::unordered_map<Value, Namespace*, ValueHash, ValueEq> aliases_;
  Value meta_;
};

inline Namespace& as_ns(const Value& v) { return const_cast<Namespace&>(v.as<Namespace>()); }

// The registry. Namespaces are never freed while registered; remove_ns unregisters (the object lives on while
// referenced).
Namespace* find_ns(const Value& sym);
Namespace* find_ns(std::string_view name);
Namespace* create_ns(const Value& sym);     // find or create
Namespace* create_ns(std::string_view name);
bool remove_ns(const Value& sym);
std::vector<Namespace*> all_ns();
// The namespace as a value (keeps it alive).
Value ns_value(Namespace* ns);

}  // namespace kelp::rt
