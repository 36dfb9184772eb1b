// require, use, refer, load, load-file and loaded-libs.
#include "kelp/lib/ns_loading.hpp"

#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "kelp/compile/compiler.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/embedded.hpp"
#include "kelp/lib/ns_common.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/loader.hpp"

namespace kelp::lib {

using namespace ns_detail;
using rt::Args;
using rt::Namespace;

namespace {

const Value& kw(std::string_view name) {
  // The option keywords, interned once.
  static const std::vector<std::pair<std::string_view, Value>> table = [] {
    std::vector<std::pair<std::string_view, Value>> t;
    for (std::string_view n : {"as", "as-alias", "refer", "rename", "exclude", "only", "all", "reload", "reload-all",
                               "verbose", "use"})
      t.emplace_back(n, keyword(n));
    return t;
  }();
  for (auto& [n, k] : table)
    if (n == name) return k;
  static const Value none;
  return none;
}

const Value* opt(const Value& opts, std::string_view name) { return get(opts, kw(name)); }

// ---------------------------------------------------------------------------------------------------------------
// refer

void refer_var(Namespace& to, const Value& sym, const Value& var) {
  Value mine = to.find_interned(sym);
  if (!mine.is_nil()) {
    if (mine.identical(var)) return;
    // A clojure.core var quietly yields to a name this namespace defines itself; a var of any other namespace
    // replaces it, as JVM Clojure 1.11 does.
    if (var.as<rt::Var>().ns() == rt::core_vars().core) return;
    to.unmap(sym);
  }
  to.refer(sym, var);
}

bool is_public_var_of(const Value& target, const Namespace& ns) {
  return target.is(Kind::Var) && target.as<rt::Var>().ns() == &ns && !target.as<rt::Var>().is_private();
}

// (refer from :exclude [...] :only [...] :rename {...}) into `to`; `:refer` is :only by another name (or :all).
void refer_filtered(Namespace& to, Namespace& from, const Value& filters) {
  const Value* exclude = opt(filters, "exclude");
  const Value* rename = opt(filters, "rename");
  const Value* only = opt(filters, "refer");
  if (only && only->identical(kw("all"))) only = nullptr;
  if (!only) only = opt(filters, "only");
  std::vector<Value> excluded;
  if (exclude) each_item(*exclude, [&](const Value& s) { excluded.push_back(s); });
  auto refer_one = [&](const Value& sym, const Value& var) {
    for (const Value& e : excluded)
      if (e == sym) return;
    const Value* renamed = rename && !rename->is_nil() ? get(*rename, sym) : nullptr;
    refer_var(to, renamed ? *renamed : sym, var);
  };
  if (only) {
    each_item(*only, [&](const Value& sym) {
      need_symbol(sym);
      Value var = from.find_interned(sym);
      if (!is_public_var_of(var, from))
        rt::throw_error("java.lang.IllegalAccessError",
                        symbol_text(sym) + (var.is_nil() ? " does not exist" : " is not public"));
      refer_one(sym, var);
    });
    return;
  }
  for (auto& [sym, target] : from.mappings())
    if (is_public_var_of(target, from)) refer_one(sym, target);
}

Value filters_map(Args kvs) {
  if (kvs.size() % 2) rt::throw_illegal_argument("No value supplied for key: " + pr_str(kvs.back()));
  return make_map(kvs);
}

Value refer(Args a) {
  need_symbol(a[0]);
  Namespace* from = rt::find_ns(a[0]);
  if (!from) rt::throw_error("java.lang.Exception", "No namespace: " + symbol_text(a[0]));
  refer_filtered(rt::current_ns(), *from, filters_map(a.subspan(1)));
  return {};
}

// ---------------------------------------------------------------------------------------------------------------
// require and use

// The libs reloaded so far by a :reload-all on this thread (null outside one): each loads once per pass.
thread_local std::set<std::string>* tl_reload_pass = nullptr;

void load_one(const Value& lib, bool reload, bool verbose) {
  if (tl_reload_pass) reload = tl_reload_pass->insert(symbol_text(lib)).second || reload;
  if (verbose && (reload || !rt::loader::is_loaded(lib)))
    rt::out_write("(clojure.core/load \"/" + rt::loader::lib_path(symbol_text(lib)) + "\")\n");
  rt::loader::load_lib(lib, reload);
}

struct Flags {
  bool reload = false, reload_all = false, verbose = false, use = false;
};

void load_libspec(const Value& lib, const Value& opts, const Flags& flags) {
  need_symbol(lib);
  const Value* as = opt(opts, "as");
  const Value* as_alias = opt(opts, "as-alias");
  bool refers = flags.use || opt(opts, "refer");
  bool need_ns = as || flags.use;
  bool was_loaded = rt::loader::is_loaded(lib);
  if (flags.reload_all) {
    std::set<std::string> pass;
    std::set<std::string>* saved = tl_reload_pass;
    tl_reload_pass = &pass;
    try {
      load_one(lib, true, flags.verbose);
    } catch (...) {
      tl_reload_pass = saved;
      throw;
    }
    tl_reload_pass = saved;
  } else if (flags.reload || !was_loaded) {
    // :as-alias alone names a namespace without loading anything.
    if (as_alias && !need_ns && !refers) rt::create_ns(lib);
    else load_one(lib, flags.reload, flags.verbose);
  }
  Namespace* ns = rt::find_ns(lib);
  if (need_ns && !ns) {
    std::string name = symbol_text(lib);
    bool loaded_now = flags.reload || flags.reload_all || !was_loaded;
    rt::throw_error("java.lang.Exception",
                    "namespace '" + name + "' not found" +
                        (loaded_now ? " after loading '/" + rt::loader::lib_path(name) + "'" : std::string()));
  }
  Namespace& here = rt::current_ns();
  if (as) here.add_alias(*as, ns ? ns : rt::create_ns(lib));
  if (as_alias) here.add_alias(*as_alias, ns ? ns : rt::create_ns(lib));
  if (refers) {
    if (!ns) rt::throw_error("java.lang.Exception", "No namespace: " + symbol_text(lib));
    refer_filtered(here, *ns, opts);
  }
}

// A libspec is a symbol or a vector whose second element, if any, is an option keyword; anything else
// sequential is a prefix list: (prefix lib-or-libspec...).
bool is_libspec(const Value& spec) {
  if (is_symbol(spec)) return true;
  if (!spec.is(Kind::Vector)) return false;
  Value second = rt::second(spec);
  return second.is_nil() || is_keyword(second);
}

void load_spec(const Value& spec, const Value& prefix, const Flags& flags) {
  auto qualify = [&](const Value& lib) {
    need_symbol(lib);
    if (prefix.is_nil()) return lib;
    return symbol(symbol_text(prefix) + "." + symbol_text(lib));
  };
  if (is_symbol(spec)) return load_libspec(qualify(spec), Value(), flags);
  if (is_libspec(spec)) {
    std::vector<Value> kvs;
    each_item(rt::next(spec), [&](const Value& x) { kvs.push_back(x); });
    return load_libspec(qualify(rt::first(spec)), filters_map(kvs), flags);
  }
  if (!prefix.is_nil())
    rt::throw_error("java.lang.Exception", "Prefix lists can only have two levels: " + pr_str(spec));
  if (!spec.has(SEQUENTIAL)) rt::throw_error("java.lang.Exception", "Unsupported libspec: " + pr_str(spec));
  Value inner_prefix = rt::first(spec);
  if (!is_symbol(inner_prefix)) rt::throw_error("java.lang.Exception", "prefix cannot be nil");
  each_item(rt::next(spec), [&](const Value& s) { load_spec(s, inner_prefix, flags); });
}

Value load_libs(Args a, bool use) {
  Flags flags;
  flags.use = use;
  std::string unsupported;
  for (const Value& x : a) {
    if (!is_keyword(x)) continue;
    std::string_view k = x.as<Keyword>().name();
    if (k == "reload") flags.reload = true;
    else if (k == "reload-all") flags.reload_all = true;
    else if (k == "verbose") flags.verbose = true;
    else unsupported += (unsupported.empty() ? "" : ",") + pr_str(x);
  }
  if (!unsupported.empty()) rt::throw_error("java.lang.Exception", "Unsupported option(s) supplied: " + unsupported);
  for (const Value& x : a)
    if (!is_keyword(x)) load_spec(x, Value(), flags);
  return {};
}

Value require(Args a) { return load_libs(a, false); }
Value use(Args a) { return load_libs(a, true); }

// ---------------------------------------------------------------------------------------------------------------
// load, load-file

Value load(Args a) {
  for (const Value& p : a) {
    if (!p.is(Kind::String)) throw_cannot_cast(p, "java.lang.String");
    rt::loader::load_resource(str_view(p));
  }
  return {};
}

Value load_file(Args a) {
  if (!a[0].is(Kind::String)) throw_cannot_cast(a[0], "java.lang.String");
  std::string path(str_view(a[0]));
  std::ifstream in(path, std::ios::binary);
  if (!in) rt::throw_error("java.io.FileNotFoundException", path + " (No such file or directory)");
  std::ostringstream text;
  text << in.rdbuf();
  return compile::load_string(text.str(), path);
}

Value loaded_libs(Args) { return rt::loader::loaded_libs(); }

}  // namespace

void refer_all(Namespace& to, Namespace& from) { refer_filtered(to, from, Value()); }

const std::vector<ReplRefers>& repl_requires() {
  static const std::vector<ReplRefers> refers = {
      {"clojure.repl", {"source", "apropos", "dir", "pst", "doc", "find-doc"}},
      {"clojure.pprint", {"pp", "pprint"}},
  };
  return refers;
}

void refer_repl(Namespace& ns, const std::vector<ReplRefers>& refers) {
  for (const auto& [lib, names] : refers) {
    Namespace* from = rt::find_ns(lib);
    if (!from) {
      const std::string base = rt::loader::lib_path(lib);
      if (!embedded_source(base + ".clj") && !embedded_source(base + ".cljc")) continue;
      rt::loader::load_lib(symbol(lib), false);
      from = rt::find_ns(lib);
      if (!from) continue;
    }
    for (const char* name : names) {
      Value sym = symbol(name);
      if (!ns.find(sym).is_nil()) continue;  // the namespace has its own, or already refers one
      Value var = from->find_interned(sym);
      if (!var.is_nil()) ns.refer(sym, var);
    }
  }
}

void install_ns_loading(Namespace* core) {
  defn(core, "refer", 1, -1, refer,
       {"([ns-sym & filters])", "refers to all public vars of ns, subject to filters. filters can include at most "
                                "one each of: :exclude list-of-symbols, :only list-of-symbols, :rename map-of-"
                                "fromsymbol-tosymbol"});
  defn(core, "require", 0, -1, require,
       {"([& args])", "Loads libs, skipping any that are already loaded. Each argument is either a libspec that "
                      "identifies a lib, a prefix list that identifies multiple libs whose names share a common "
                      "prefix, or a flag that modifies how all the identified libs are loaded (:reload, "
                      ":reload-all, :verbose)."});
  defn(core, "use", 0, -1, use,
       {"([& args])", "Like 'require, but also refers to each lib's namespace using clojure.core/refer."});
  defn(core, "load", 0, -1, load,
       {"([& paths])", "Loads Clojure code from resources in the source roots. A path is interpreted as "
                       "root-relative if it begins with a slash or relative to the root directory for the "
                       "current namespace otherwise."});
  defn(core, "load-file", 1, 1, load_file,
       {"([name])", "Sequentially read and evaluate the set of forms contained in the file."});
  defn(core, "loaded-libs", 0, 0, loaded_libs, {"([])", "Returns a sorted set of symbols naming the currently "
                                                        "loaded libs"});
}

}  // namespace kelp::lib
