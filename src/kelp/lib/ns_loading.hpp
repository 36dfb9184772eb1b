// require, use, refer, load and load-file: the clojure.core functions that bring libs and their names in.
#pragma once

#include "kelp/data/value.hpp"
#include "kelp/rt/namespace.hpp"

namespace kelp::lib {

void install_ns_loading(rt::Namespace* core);

// Maps every public var of `from` into `to` under its own name, as (refer 'from) does in `to`. A name `to`
// already interns is kept when the incoming var is clojure.core's (a namespace may shadow core functions).
void refer_all(rt::Namespace& to, rt::Namespace& from);

}  // namespace kelp::lib
