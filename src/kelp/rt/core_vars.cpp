#include "kelp/rt/core_vars.hpp"

#include <mutex>

#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/sorted.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/rt/io.hpp"

namespace kelp::rt {

namespace {
CoreVars* g_vars = nullptr;

Value core_var(Namespace* core, std::string_view name, Value root, bool dynamic) {
  Value v = core->intern(symbol(name));
  Var& var = as_var(v);
  var.bind_root(std::move(root));
  var.set_dynamic(dynamic);
  Value meta = make_map({keyword("ns"), ns_value(core), keyword("name"), symbol(name)});
  if (dynamic) meta = assoc(meta, keyword("dynamic"), Value::boolean(true));
  var.set_meta(std::move(meta));
  return v;
}
}  // namespace

const CoreVars& core_vars() { return *g_vars; }

void init_core_vars() {
  static std::once_flag once;
  std::call_once(once, [] {
    auto* cv = new CoreVars();
    Namespace* core = create_ns("clojure.core");
    Namespace* user = create_ns("user");
    cv->core = core;
    cv->user = user;
    cv->ns = core_var(core, "*ns*", ns_value(user), true);
    cv->out = core_var(core, "*out*", Value::adopt(new FdWriter(1)), true);
    cv->err = core_var(core, "*err*", Value::adopt(new FdWriter(2)), true);
    cv->in = core_var(core, "*in*", Value::adopt(new FdInput(0)), true);
    cv->print_length = core_var(core, "*print-length*", Value(), true);
    cv->print_level = core_var(core, "*print-level*", Value(), true);
    cv->print_meta = core_var(core, "*print-meta*", Value::boolean(false), true);
    cv->print_readably = core_var(core, "*print-readably*", Value::boolean(true), true);
    cv->print_namespace_maps = core_var(core, "*print-namespace-maps*", Value::boolean(false), true);
    cv->print_dup = core_var(core, "*print-dup*", Value::boolean(false), true);
    cv->flush_on_newline = core_var(core, "*flush-on-newline*", Value::boolean(true), true);
    cv->warn_on_reflection = core_var(core, "*warn-on-reflection*", Value::boolean(false), true);
    cv->unchecked_math = core_var(core, "*unchecked-math*", Value::boolean(false), true);
    cv->assert_ = core_var(core, "*assert*", Value::boolean(true), true);
    cv->file = core_var(core, "*file*", make_string("NO_SOURCE_PATH"), true);
    cv->command_line_args = core_var(core, "*command-line-args*", Value(), true);
    cv->star1 = core_var(core, "*1", Value(), true);
    cv->star2 = core_var(core, "*2", Value(), true);
    cv->star3 = core_var(core, "*3", Value(), true);
    cv->stare = core_var(core, "*e", Value(), true);
    cv->data_readers = core_var(core, "*data-readers*", empty_map(), true);
    cv->default_data_reader_fn = core_var(core, "*default-data-reader-fn*", Value(), true);
    cv->read_eval = core_var(core, "*read-eval*", Value::boolean(true), true);
    cv->loaded_libs = core_var(core, "*loaded-libs*", Value(), true);
    cv->compile_files = core_var(core, "*compile-files*", Value::boolean(false), true);
    cv->compile_path = core_var(core, "*compile-path*", Value(), true);
    cv->clojure_version =
        core_var(core, "*clojure-version*",
                 make_map({keyword("major"), Value::integer(1), keyword("minor"), Value::integer(11),
                           keyword("incremental"), Value::integer(1), keyword("qualifier"), Value()}),
                 false);
    cv->kelp_features = core_var(core, "*kelp-features*", make_list({keyword("kelp"), keyword("clj")}), false);
    g_vars = cv;
  });
}

Namespace& current_ns() {
  Value ns = as_var(g_vars->ns).deref();
  if (ns.is(Kind::Namespace)) return as_ns(ns);
  return *g_vars->user;
}

}  // namespace kelp::rt
