#include "kelp/kelp.hpp"

#include <algorithm>
#include <mutex>

#include "kelp/compile/compiler.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/embedded.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/lib/ns_loading.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"

namespace kelp {

namespace {

// The clojure.core prelude: clojure/core.clj, then the other clojure/core_*.clj parts. Namespaces under
// clojure/core/ (clojure.core.protocols) load on require like any library.
void load_prelude() {
  std::vector<lib::EmbeddedSource> sources;
  for (const lib::EmbeddedSource& s : lib::embedded_sources())
    if (s.path == "clojure/core.clj" || s.path.starts_with("clojure/core_")) sources.push_back(s);
  std::sort(sources.begin(), sources.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  // The prelude reads and defines in clojure.core; user then sees all of clojure.core, as at a JVM start.
  rt::BindingScope in_core({{&rt::as_var(rt::core_vars().ns), rt::ns_value(rt::core_vars().core)}});
  for (const lib::EmbeddedSource& s : sources) compile::load_string(s.text, s.path);
  lib::refer_all(*rt::core_vars().user, *rt::core_vars().core);
}

}  // namespace

void boot() {
  static std::once_flag once;
  std::call_once(once, [] {
    rt::init_core_vars();
    lib::install_all();
    load_prelude();
  });
}

Value eval_string(std::string_view source, std::string_view path, std::string_view ns) {
  boot();
  rt::Namespace* target = rt::find_ns(ns);
  if (!target) {
    // A namespace made here sees clojure.core, as one made by the ns macro does.
    target = rt::create_ns(ns);
    lib::refer_all(*target, *rt::core_vars().core);
  }
  rt::BindingScope scope({{&rt::as_var(rt::core_vars().ns), rt::ns_value(target)}});
  return compile::load_string(source, path);
}

}  // namespace kelp
