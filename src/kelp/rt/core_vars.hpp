// The clojure.core vars the runtime itself reads or binds. Created at boot, before any library is installed.
#pragma once

#include "kelp/data/value.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::rt {

struct CoreVars {
  Namespace* core;       // clojure.core
  Namespace* user;       // user
  Value ns;              // *ns* (dynamic; root: user)
  Value out, err, in;    // *out* *err* *in*
  Value print_length, print_level, print_meta, print_readably, print_namespace_maps, print_dup;
  Value flush_on_newline;
  Value warn_on_reflection, unchecked_math, assert_;
  Value file;            // *file*
  Value command_line_args;
  Value star1, star2, star3, stare;   // *1 *2 *3 *e
  Value data_readers, default_data_reader_fn;
  Value read_eval;
  Value loaded_libs;     // *loaded-libs*: an atom-like ref holding a sorted set of symbols (see lib/ns)
  Value compile_files, compile_path;
  Value clojure_version; // *clojure-version*
  Value kelp_features;   // *reader-features* style: the features reader conditionals try
};

// The vars; boot() fills them once.
const CoreVars& core_vars();
// Creates clojure.core, user and the vars above. Called by boot() before the libraries install.
void init_core_vars();

// The current namespace (*ns* as this thread sees it).
Namespace& current_ns();

}  // namespace kelp::rt
