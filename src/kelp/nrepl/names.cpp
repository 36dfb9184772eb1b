#include "kelp/nrepl/names.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "kelp/compile/compiler.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::nrepl {

namespace {

constexpr const char* SPECIAL_FORMS[] = {"def",  "if",    "do",      "let*",  "letfn*",  "quote", "var",
                                         "fn*",  "loop*", "recur",   "throw", "try",     "catch", "finally",
                                         "new",  "set!",  ".",       "case*", "import*", "monitor-enter",
                                         "monitor-exit", "deftype*", "reify*", "&"};

struct Candidate {
  std::string type;
  std::string home;  // the var's namespace, "" for none
};

std::string var_type(const rt::Var& v) {
  if (v.is_macro()) return "macro";
  if (v.has_root() && rt::is_fn(v.root())) return "function";
  return "var";
}

bool is_public_here(const rt::Var& v, const rt::Namespace& ns) { return !v.is_private() || v.ns() == &ns; }

// The namespace a qualifier names from ns: an alias, else a namespace's full name.
rt::Namespace* qualifier_ns(rt::Namespace& ns, std::string_view q) {
  if (rt::Namespace* aliased = ns.lookup_alias(q)) return aliased;
  return rt::find_ns(q);
}

Value candidate_map(const std::string& name, const Candidate& c) {
  std::vector<Value> kvs{make_string("candidate"), make_string(name), make_string("type"), make_string(c.type)};
  if (!c.home.empty()) {
    kvs.push_back(make_string("ns"));
    kvs.push_back(make_string(c.home));
  }
  return make_map(kvs);
}

void add_mapping(std::map<std::string, Candidate>& out, const std::string& name, const Value& target,
                 const rt::Namespace& ns, bool publics_only) {
  if (target.is(Kind::Var)) {
    const rt::Var& v = rt::as_var(target);
    if (publics_only ? v.is_private() : !is_public_here(v, ns)) return;
    out.emplace(name, Candidate{var_type(v), v.ns() ? std::string(v.ns()->name_str()) : ""});
  } else if (!target.is_nil()) {
    out.emplace(name, Candidate{"class", ""});
  }
}

std::string text(const Value& v) {
  if (v.is(Kind::String)) return std::string(str_view(v));
  std::string s;
  append_str(s, v);
  return s;
}

}  // namespace

Value completions(std::string_view prefix, rt::Namespace& ns) {
  std::map<std::string, Candidate> found;  // sorted by name
  size_t slash = prefix.find('/');
  if (slash != std::string_view::npos && slash > 0) {
    std::string_view q = prefix.substr(0, slash);
    std::string_view rest = prefix.substr(slash + 1);
    if (rt::Namespace* other = qualifier_ns(ns, q))
      for (const auto& [sym, target] : other->mappings()) {
        std::string_view name = sym.as<Symbol>().name();
        if (!name.starts_with(rest) || !target.is(Kind::Var) || rt::as_var(target).ns() != other) continue;
        add_mapping(found, std::string(q) + "/" + std::string(name), target, ns, true);
      }
  } else {
    for (const auto& [sym, target] : ns.mappings()) {
      std::string_view name = sym.as<Symbol>().name();
      if (name.starts_with(prefix)) add_mapping(found, std::string(name), target, ns, false);
    }
    for (const char* special : SPECIAL_FORMS)
      if (std::string_view(special).starts_with(prefix) && compile::is_special(symbol(special)))
        found.emplace(special, Candidate{"special-form", "clojure.core"});
    for (rt::Namespace* n : rt::all_ns())
      if (n->name_str().starts_with(prefix)) found.emplace(std::string(n->name_str()), Candidate{"namespace", ""});
    for (const auto& [alias, target] : ns.aliases()) {
      std::string name(alias.as<Symbol>().name());
      if (name.starts_with(prefix)) found.emplace(name, Candidate{"namespace", ""});
    }
  }
  std::vector<Value> items;
  for (const auto& [name, c] : found) items.push_back(candidate_map(name, c));
  return make_vector(items);
}

Value lookup_info(std::string_view sym_text, rt::Namespace& ns) {
  if (sym_text.empty()) return {};
  Value sym = symbol_from(sym_text);
  const Symbol& s = sym.as<Symbol>();
  if (!s.has_ns() && compile::is_special(sym))
    return make_map({make_string("ns"), make_string("clojure.core"), make_string("name"), make_string(s.name()),
                     make_string("special-form"), make_string("true"), make_string("arglists-str"), make_string("")});
  Value target;
  if (s.has_ns()) {
    if (rt::Namespace* other = qualifier_ns(ns, s.ns())) target = other->find_interned(symbol(s.name()));
  } else {
    target = ns.find(sym);
  }
  if (target.is(Kind::Var)) {
    const rt::Var& v = rt::as_var(target);
    Value meta = v.meta();
    std::vector<Value> kvs{make_string("ns"), make_string(v.ns() ? v.ns()->name_str() : ""), make_string("name"),
                           make_string(v.sym().as<Symbol>().name())};
    auto field = [&](const char* key) -> const Value* {
      const Value* x = get(meta, keyword(key));
      return x && !x->is_nil() ? x : nullptr;
    };
    std::string arglists = field("arglists") ? pr_str(*field("arglists")) : "";
    kvs.insert(kvs.end(), {make_string("arglists-str"), make_string(arglists), make_string("arglists"),
                           make_string(arglists)});
    if (const Value* doc = field("doc")) kvs.insert(kvs.end(), {make_string("doc"), make_string(text(*doc))});
    if (const Value* file = field("file")) kvs.insert(kvs.end(), {make_string("file"), make_string(text(*file))});
    for (const char* key : {"line", "column"})
      if (const Value* n = field(key); n && n->is_int()) kvs.insert(kvs.end(), {make_string(key), *n});
    if (v.is_macro()) kvs.insert(kvs.end(), {make_string("macro"), make_string("true")});
    return make_map(kvs);
  }
  if (!s.has_ns())
    if (rt::Namespace* named = qualifier_ns(ns, s.name())) {
      std::vector<Value> kvs{make_string("ns"), make_string(named->name_str()), make_string("name"),
                             make_string(named->name_str())};
      if (const Value* doc = get(named->meta(), keyword("doc")); doc && !doc->is_nil())
        kvs.insert(kvs.end(), {make_string("doc"), make_string(text(*doc))});
      return make_map(kvs);
    }
  return {};
}

}  // namespace kelp::nrepl
