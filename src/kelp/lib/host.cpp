// clojure.core's class functions (class, type, instance?, cast, class?) and the kelp.host namespace: evaluating
// source text, source roots, and the helpers the ns macros expand into.
#include <string>
#include <vector>

#include "kelp/compile/compiler.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/host_detail.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/lib/ns_common.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

using namespace ns_detail;
using rt::Args;
namespace host = rt::host;

namespace {

Value need_class(const Value& c) {
  if (!host::detail::is_class(c)) throw_cannot_cast(c, "java.lang.Class");
  return c;
}

Value class_fn(Args a) { return host::class_of(a[0]); }

Value type_fn(Args a) {
  Value m = meta(a[0]);
  if (!m.is_nil() && is_map(m))
    if (const Value* t = get(m, keyword("type"))) return *t;
  return host::class_of(a[0]);
}

Value instance_fn(Args a) { return Value::boolean(host::is_instance(need_class(a[0]), a[1])); }

Value cast_fn(Args a) {
  need_class(a[0]);
  if (a[1].is_nil() || host::is_instance(a[0], a[1])) return a[1];
  rt::throw_class_cast("Cannot cast " + host::detail::as_class(host::class_of(a[1])).name() + " to " +
                       host::detail::as_class(a[0]).name());
}

Value is_class_fn(Args a) { return Value::boolean(host::detail::is_class(a[0])); }

// ---------------------------------------------------------------------------------------------------------------
// kelp.host

// (eval-string source) / (eval-string source path): every form in turn, in the current namespace, as loading a
// file does (*ns* is bound, so an in-ns inside the text stays inside it). Answers the last value.
Value eval_string(Args a) {
  if (!a[0].is(Kind::String)) throw_cannot_cast(a[0], "java.lang.String");
  std::string path = "NO_SOURCE_PATH";
  if (a.size() > 1 && !a[1].is_nil()) {
    if (!a[1].is(Kind::String)) throw_cannot_cast(a[1], "java.lang.String");
    path = std::string(str_view(a[1]));
  }
  return compile::load_string(str_view(a[0]), path);
}

Value set_source_roots(Args a) {
  std::vector<std::string> roots;
  each_item(a[0], [&](const Value& r) {
    if (!r.is(Kind::String)) throw_cannot_cast(r, "java.lang.String");
    roots.emplace_back(str_view(r));
  });
  rt::loader::set_source_roots(std::move(roots));
  return {};
}

Value source_roots(Args) {
  std::vector<Value> out;
  for (const std::string& r : rt::loader::source_roots()) out.push_back(make_string(r));
  return make_vector(out);
}

Value import_one(const std::string& full) {
  Value cls = host::find_class(full);
  if (cls.is_nil()) host::detail::throw_no_class(full);
  std::string_view simple = host::detail::as_class(cls).simple_name();
  rt::current_ns().import_class(symbol(simple), cls);
  return cls;
}

// (import-classes specs): each spec a class symbol or a (package Class...) list; answers the last class.
Value import_classes(Args a) {
  Value last;
  each_item(a[0], [&](const Value& spec) {
    if (is_symbol(spec)) {
      last = import_one(symbol_text(spec));
      return;
    }
    Value pkg = rt::first(spec);
    need_symbol(pkg);
    each_item(rt::next(spec), [&](const Value& c) {
      need_symbol(c);
      last = import_one(symbol_text(pkg) + "." + symbol_text(c));
    });
  });
  return last;
}

// A var of no namespace, dynamic so that it can be bound on this thread (with-local-vars).
Value local_var(Args) {
  Value v = rt::make_var(nullptr, symbol("local"));
  rt::as_var(v).set_dynamic(true);
  return v;
}

Value mark_loaded(Args a) {
  need_symbol(a[0]);
  rt::loader::mark_loaded(a[0]);
  return {};
}

}  // namespace

void install_host_more();  // host_more.cpp

void install_host() {
  rt::Namespace* core = rt::core_vars().core;
  install_host_more();
  defn(core, "class", 1, 1, class_fn, {"([x])", "Returns the Class of x"});
  defn(core, "type", 1, 1, type_fn, {"([x])", "Returns the :type metadata of x, or its Class if none"});
  defn(core, "instance?", 2, 2, instance_fn, {"([c x])", "Evaluates x and tests if it is an instance of the class c."});
  defn(core, "cast", 2, 2, cast_fn, {"([c x])", "Throws a ClassCastException if x is not a c, else returns x."});
  defn(core, "class?", 1, 1, is_class_fn, {"([x])", "Returns true if x is an instance of Class"});

  rt::Namespace* kh = rt::create_ns("kelp.host");
  defn(kh, "eval-string", 1, 2, eval_string,
       {"([source] [source path])", "Reads and evaluates every form of source in the current namespace, as "
                                    "loading a file named path does, and returns the last value."});
  defn(kh, "set-source-roots!", 1, 1, set_source_roots,
       {"([roots])", "Sets the folders require and load search for source files, in order."});
  defn(kh, "source-roots", 0, 0, source_roots, {"([])", "The folders require and load search, in order."});
  defn(kh, "import-classes", 1, 1, import_classes,
       {"([specs])", "Maps the simple names of the classes to them in the current namespace (what import "
                     "expands into)."});
  defn(kh, "local-var", 0, 0, local_var, {"([])", "A new dynamic var belonging to no namespace."});
  defn(kh, "mark-loaded", 1, 1, mark_loaded, {"([lib])", "Records lib as loaded."});
  rt::loader::mark_loaded(symbol("kelp.host"));
}

}  // namespace kelp::lib
