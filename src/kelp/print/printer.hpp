// The printed (readable) form of values, as Clojure's pr-str prints them, with length and depth bounds.
#pragma once

#include <cstdint>
#include <string>

#include "kelp/data/value.hpp"

namespace kelp {

struct PrintOptions {
  int64_t length = -1;  // *print-length*: a collection prints at most this many elements, then "..."; -1: no bound
  int64_t depth = -1;   // *print-level*: a collection nested deeper than this prints as "#"; -1: no bound
};

std::string pr_str(const Value& v, const PrintOptions& opts = {});
void pr(std::string& out, const Value& v, const PrintOptions& opts = {});
// EDN text that read_edn gives back as an equal value (unbounded, never the namespaced-map shorthand).
std::string print_edn(const Value& v);

}  // namespace kelp
