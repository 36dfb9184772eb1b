// Finding and loading Clojure libs: `a.b-c` lives in a/b_c.clj (then .cljc, then .kelp) under one of the source
// roots, or among the sources built into kelp. Loaded libs are recorded so that require loads each once.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"

namespace kelp::rt::loader {

// The folders searched for source files, in order. Empty by default: only the built-in sources are found.
void set_source_roots(std::vector<std::string> roots);
void add_source_root(std::string root);
std::vector<std::string> source_roots();

// "a.b-c" -> "a/b_c": the resource path of a lib without its extension.
std::string lib_path(std::string_view lib);

// A source file found for a resource path.
struct Source {
  std::string path;   // the file's path, or the resource path of a built-in source
  std::string text;
};
// The first of base.clj, base.cljc, base.kelp under each root in turn, then among the built-in sources.
// base has no leading slash ("a/b_c").
std::optional<Source> find_source(std::string_view base);

// (load "a/b_c") / (load "/a/b_c"): loads the resource. A path without a leading slash is relative to the
// current namespace's folder. Throws FileNotFoundException when no file has it, and a clear error when the
// resource is already being loaded further up this thread (a cyclic dependency).
void load_resource(std::string_view path);

// Loads lib unless it is loaded already (or always, when reload is set). A lib that fails to load stays unloaded.
void load_lib(const Value& lib_sym, bool reload);

bool is_loaded(const Value& lib_sym);
void mark_loaded(const Value& lib_sym);
// Forgets that lib was loaded (its namespace was removed), so the next require loads it again.
void unmark_loaded(const Value& lib_sym);
// The loaded libs as a sorted set of symbols.
Value loaded_libs();

}  // namespace kelp::rt::loader
