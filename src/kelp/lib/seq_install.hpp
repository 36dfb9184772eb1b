// The parts of the sequence and collection library, installed together by install_core_seq().
#pragma once

#include <optional>

#include "kelp/data/value.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/namespace.hpp"

namespace kelp::lib {

void install_core_coll(rt::Namespace* core);  // core_coll.cpp
void install_core_fns(rt::Namespace* core);   // seq_fns.cpp

// Defines a native with its :arglists and one-line :doc.
void def_native(rt::Namespace* ns, const char* name, int min_args, int max_args, rt::NativeBody body,
                const char* arglists, const char* doc);

// An integer argument as Clojure's Number.intValue/longValue would take it; ClassCastException otherwise.
int64_t long_arg(const Value& v);
// Element i of a transient vector (nullptr out of range), or nothing when coll is not one; a transient used after
// persistent! throws.
std::optional<const Value*> transient_vector_get(const Value& coll, int64_t i);  // core_coll.cpp

// IndexOutOfBoundsException without a message, as the JVM throws from collections.
[[noreturn]] void throw_index_oob();

}  // namespace kelp::lib
