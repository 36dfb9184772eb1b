#include "kelp/compile/reader_context.hpp"

#include "kelp/compile/analyzer.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/namespace.hpp"

namespace kelp::compile {

std::string RuntimeReaderContext::current_ns() const { return std::string(rt::current_ns().name_str()); }

std::optional<std::string> RuntimeReaderContext::resolve_alias(std::string_view alias) const {
  rt::Namespace* ns = rt::current_ns().lookup_alias(alias);
  if (!ns) return std::nullopt;
  return std::string(ns->name_str());
}

Value RuntimeReaderContext::resolve_symbol(const Value& sym) const {
  const Symbol& s = sym.as<Symbol>();
  rt::Namespace& cur = rt::current_ns();
  if (s.has_ns()) {
    if (rt::Namespace* ns = cur.lookup_alias(s.ns())) return symbol(ns->name_str(), s.name());
    if (!rt::find_ns(s.ns())) {
      Value cls = cur.find(symbol(s.ns()));
      if (cls.is_nil() || cls.is(Kind::Var)) cls = rt::host::find_class(s.ns());
      if (!cls.is_nil() && !cls.is(Kind::Var))
        return symbol(cls.as<rt::host::HostClass>().name(), s.name());
    }
    return sym;
  }
  Value m = cur.find(symbol(s.name()));
  if (m.is(Kind::Var)) {
    const rt::Var& v = m.as<rt::Var>();
    return symbol(v.ns() ? v.ns()->name_str() : cur.name_str(), s.name());
  }
  if (!m.is_nil()) return symbol(m.as<rt::host::HostClass>().name());
  // Classes every namespace sees (java.lang, clojure.lang) and dotted class names.
  Value cls = rt::host::find_class(s.name());
  if (!cls.is_nil()) return symbol(cls.as<rt::host::HostClass>().name());
  if (s.name().find('.') != std::string_view::npos) return sym;
  return symbol(cur.name_str(), s.name());
}

int64_t RuntimeReaderContext::next_id() { return compile::next_id(); }

std::optional<Value> RuntimeReaderContext::read_tagged(const Value& tag, const Value& form) const {
  const rt::CoreVars& cv = rt::core_vars();
  Value readers = cv.data_readers.as<rt::Var>().deref();
  if (const Value* f = readers.is_nil() ? nullptr : get(readers, tag)) return rt::call(*f, {form});
  Value fallback = cv.default_data_reader_fn.as<rt::Var>().deref();
  if (!fallback.is_nil()) return rt::call(fallback, {tag, form});
  return std::nullopt;
}

}  // namespace kelp::compile
