// The completions and lookup ops: what names a prefix can grow into in a namespace, and what a name refers to.
#pragma once

#include <string_view>

#include "kelp/data/value.hpp"
#include "kelp/rt/namespace.hpp"

namespace kelp::nrepl {

// The candidates for prefix in ns, sorted: a vector of {"candidate" name, "type" t, "ns" home} maps (string keys).
// Names come from ns's mappings, the special forms and the loaded namespaces; "alias/pre" completes the public
// vars of the namespace alias (or a full namespace name) stands for. type is "function", "macro", "var",
// "special-form", "namespace" or "class"; ns is given for vars and special forms.
Value completions(std::string_view prefix, rt::Namespace& ns);
// What sym names in ns: {"ns" "name" "arglists-str" "doc" "file" "line" "column" ...} for a var, a short map for a
// special form or a namespace; nil when it names nothing.
Value lookup_info(std::string_view sym, rt::Namespace& ns);

}  // namespace kelp::nrepl
