// The printed (readable) form of values, as Clojure's pr-str prints them, with length and depth bounds.
#pragma once

#include <cstdint>
#include <string>

#include "kelp/data/value.hpp"

namespace kelp {

struct PrintOptions {
  int64_t length = -1;  // *print-length*: a collection prints at most this many elements, then "..."; -1: no bound
  int64_t depth = -1;   // *print-level*: a collection nested deeper than this prints as "#"; -1: no bound
  bool readably = true;         // *print-readably*: strings and characters quoted; false prints them raw
  bool meta = false;            // *print-meta*: ^{...} before a value that carries metadata
  bool namespace_maps = false;  // *print-namespace-maps*: #:a{:b 1} when every key has namespace a
};

std::string pr_str(const Value& v, const PrintOptions& opts = {});
// Asked first for a record, deftype or reify value: appends the value as a print-method of the program's own
// prints it and answers true, or answers false to print it as usual. Set by the runtime once a program defines
// print methods.
using PrintHook = bool (*)(const Value& v, std::string& out, const PrintOptions& opts);
void set_print_hook(PrintHook hook);
void pr(std::string& out, const Value& v, const PrintOptions& opts = {});
// The options the print vars (*print-length* ...) hold on this thread; the defaults before the runtime boots.
PrintOptions current_print_options();
// What (str v) appends: strings and characters raw, nil nothing, numbers as Java prints them (no N or M),
// collections as pr-str prints them, other objects as Java's toString ("clojure.lang.LazySeq@402").
void append_str(std::string& out, const Value& v);
// The name a function's class has on the JVM: "user/my-fn?" is "user$my_fn_QMARK_".
std::string munge_fn_name(std::string_view display_name);
// Java's hashCode of a value (what Object.toString shows after the @).
int32_t java_hash_code(const Value& v);
// EDN text that read_edn gives back as an equal value (unbounded, never the namespaced-map shorthand).
std::string print_edn(const Value& v);

}  // namespace kelp
