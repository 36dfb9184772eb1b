// The native libraries, installed in this order at boot (before the clojure.core prelude loads).
#pragma once

namespace kelp::lib {

void install_core_seq();      // sequences and collections (core_seq.cpp, core_coll.cpp)
void install_core_num();      // numbers (core_num.cpp)
void install_core_str();      // strings, printing, streams, format (core_str.cpp, core_print.cpp)
void install_clojure_string(); // clojure.string (clojure_string.cpp)
void install_core_state();    // atoms, volatiles, delays, futures, promises, exceptions, misc (core_state.cpp)
void install_core_ns();       // namespaces, vars, require and loading, eval (core_ns.cpp)
void install_host();          // host interop classes and kelp.host (host.cpp)
void install_host_process();  // kelp.host's process functions: hooks, signals (host_process.cpp)
void install_nrepl();         // kelp.nrepl, the nREPL server, and nrepl.middleware (nrepl_lib.cpp)
void install_types();         // protocols, deftype, defrecord, reify (types.cpp)
void install_compiler_fns();  // macroexpand, eval, load-string, special-symbol? (in compile/)

void install_all();

}  // namespace kelp::lib
