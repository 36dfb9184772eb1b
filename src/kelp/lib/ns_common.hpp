// Small helpers shared by the namespace libraries: argument checks and walking sequences.
#pragma once

#include <string>
#include <string_view>

#include "kelp/data/symbol.hpp"
#include "kelp/data/value.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib::ns_detail {

[[noreturn]] inline void throw_cannot_cast(const Value& v, std::string_view to) {
  rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class " + std::string(to));
}

inline const Symbol& need_symbol(const Value& v) {
  if (!is_symbol(v)) throw_cannot_cast(v, "clojure.lang.Symbol");
  return v.as<Symbol>();
}

inline rt::Var& need_var(const Value& v) {
  if (!v.is(Kind::Var)) throw_cannot_cast(v, "clojure.lang.Var");
  return rt::as_var(v);
}

inline std::string symbol_text(const Value& sym) {
  const Symbol& s = sym.as<Symbol>();
  if (!s.has_ns()) return std::string(s.name());
  return std::string(s.ns()) + "/" + std::string(s.name());
}

// (the-ns x): a namespace value itself, or the namespace a symbol names.
inline rt::Namespace& the_ns(const Value& x) {
  if (x.is(Kind::Namespace)) return rt::as_ns(x);
  const Symbol& s = need_symbol(x);
  rt::Namespace* ns = rt::find_ns(x);
  if (!ns) rt::throw_error("java.lang.Exception", "No namespace: " + std::string(s.name()) + " found");
  return *ns;
}

// Calls f on each element of a seqable value, checking for interrupts as it goes.
template <class F>
void each_item(const Value& coll, F&& f) {
  for (Value s = rt::seq(coll); !s.is_nil(); s = rt::next(s)) f(rt::first(s));
}

}  // namespace kelp::lib::ns_detail
