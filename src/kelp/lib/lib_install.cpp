#include "kelp/lib/lib_install.hpp"

#include "kelp/data/symbol.hpp"
#include "kelp/rt/loader.hpp"

namespace kelp::lib {

void install_libs() {
  rt::Namespace* ns = rt::create_ns(symbol("kelp.libs"));
  install_lib_edn(ns);
  install_lib_io(ns);
  install_lib_repl(ns);
  rt::loader::mark_loaded(symbol("kelp.libs"));
}

}  // namespace kelp::lib
