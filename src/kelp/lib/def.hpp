// Helpers the native libraries use to define their functions in namespaces.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "kelp/data/value.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/namespace.hpp"

namespace kelp::lib {

struct NativeDoc {
  const char* arglists = nullptr;  // "([x] [x y])": read as data into :arglists
  const char* doc = nullptr;
};

// Interns ns/name bound to a native function with :arglists and :doc metadata; answers the var.
Value defn(rt::Namespace* ns, std::string_view name, int min_args, int max_args, rt::NativeBody body,
           NativeDoc doc = {});
Value defn(rt::Namespace* ns, std::string_view name, int min_args, int max_args,
           std::function<Value(rt::Args)> body, NativeDoc doc = {});
// A lambda without captures becomes a plain function pointer (no std::function on the call path).
template <class F>
  requires std::is_convertible_v<F, rt::NativeBody>
Value defn(rt::Namespace* ns, std::string_view name, int min_args, int max_args, F body, NativeDoc doc = {}) {
  return defn(ns, name, min_args, max_args, static_cast<rt::NativeBody>(body), doc);
}
// Interns ns/name bound to a value (dynamic when asked).
Value defvar(rt::Namespace* ns, std::string_view name, Value v, bool dynamic = false, const char* doc = nullptr);

}  // namespace kelp::lib
