// require, use, refer, load and load-file: the clojure.core functions that bring libs and their names in.
#pragma once

#include <vector>

#include "kelp/data/value.hpp"
#include "kelp/rt/namespace.hpp"

namespace kelp::lib {

void install_ns_loading(rt::Namespace* core);

// Maps every public var of `from` into `to` under its own name, as (refer 'from) does in `to`. A name `to`
// already interns is kept when the incoming var is clojure.core's (a namespace may shadow core functions).
void refer_all(rt::Namespace& to, rt::Namespace& from);

// A library and the names a REPL refers from it.
struct ReplRefers {
  const char* lib;
  std::vector<const char*> names;
};
// What JVM Clojure's REPL refers into user: source apropos dir pst doc find-doc from clojure.repl, pp and pprint
// from clojure.pprint.
const std::vector<ReplRefers>& repl_requires();
// Loads each library (only kelp's own copies, found without touching the disk) and refers the names into ns,
// keeping any name ns already has.
void refer_repl(rt::Namespace& ns, const std::vector<ReplRefers>& refers);

}  // namespace kelp::lib
