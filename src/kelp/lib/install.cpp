#include "kelp/lib/install.hpp"

#include "kelp/lib/lib_install.hpp"

namespace kelp::lib {

void install_all() {
  install_core_seq();
  install_core_num();
  install_core_str();
  install_core_state();
  install_core_ns();
  install_host();
  install_host_process();
  install_libs();
  install_nrepl();
  install_clojure_string();
  install_types();
  install_compiler_fns();
}

}  // namespace kelp::lib
