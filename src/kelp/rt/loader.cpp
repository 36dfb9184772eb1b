#include "kelp/rt/loader.hpp"

#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "kelp/compile/compiler.hpp"
#include "kelp/data/compare.hpp"
#include "kelp/data/sorted.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/embedded.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::rt::loader {

namespace {

struct LoaderState {
  std::mutex mutex;
  std::vector<std::string> roots;
  // Names of the loaded libs; a std::set keeps them in order for loaded-libs.
  std::set<std::string> loaded;
};

LoaderState& state() {
  static LoaderState* s = new LoaderState;  // never destroyed: loads may run while the process exits
  return *s;
}

// The resources being loaded on this thread, innermost last.
thread_local std::vector<std::string> tl_pending;

bool read_file(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buf;
  buf << in.rdbuf();
  *text = std::move(buf).str();
  return true;
}

std::string sym_name(const Value& sym) {
  const Symbol& s = sym.as<Symbol>();
  if (!s.has_ns()) return std::string(s.name());
  return std::string(s.ns()) + "/" + std::string(s.name());
}

// "a/b_c" -> "a": the folder a relative load is resolved against.
std::string folder_of(std::string_view base) {
  size_t slash = base.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(base.substr(0, slash));
}

[[noreturn]] void throw_cyclic(const std::string& path) {
  // Newest first, the repeated resource in brackets: "[ /a ]->/b->[ /a ]", as Clojure reports it.
  std::string chain = "[ " + path + " ]";
  for (auto it = tl_pending.rbegin(); it != tl_pending.rend(); ++it)
    chain += "->" + (*it == path ? "[ " + *it + " ]" : *it);
  throw_error("java.lang.Exception", "Cyclic load dependency: " + chain);
}

struct PendingScope {
  explicit PendingScope(std::string path) { tl_pending.push_back(std::move(path)); }
  ~PendingScope() { tl_pending.pop_back(); }
  PendingScope(const PendingScope&) = delete;
  PendingScope& operator=(const PendingScope&) = delete;
};

}  // namespace

void set_source_roots(std::vector<std::string> roots) {
  std::lock_guard lock(state().mutex);
  state().roots = std::move(roots);
}

void add_source_root(std::string root) {
  std::lock_guard lock(state().mutex);
  for (const std::string& r : state().roots)
    if (r == root) return;
  state().roots.push_back(std::move(root));
}

std::vector<std::string> source_roots() {
  std::lock_guard lock(state().mutex);
  return state().roots;
}

std::string lib_path(std::string_view lib) {
  std::string out(lib);
  for (char& c : out) {
    if (c == '.') c = '/';
    else if (c == '-') c = '_';
  }
  return out;
}

std::optional<Source> find_source(std::string_view base) {
  static constexpr std::string_view EXTENSIONS[] = {".clj", ".cljc", ".kelp"};
  for (const std::string& root : source_roots()) {
    for (std::string_view ext : EXTENSIONS) {
      std::string file = root;
      if (!file.empty() && file.back() != '/') file += '/';
      file.append(base).append(ext);
      Source s;
      if (read_file(file, &s.text)) {
        s.path = std::move(file);
        return s;
      }
    }
  }
  for (std::string_view ext : EXTENSIONS) {
    std::string resource = std::string(base) + std::string(ext);
    if (auto text = lib::embedded_source(resource)) return Source{resource, std::string(*text)};
  }
  return std::nullopt;
}

void load_resource(std::string_view path) {
  std::string absolute = path.starts_with('/')
                             ? std::string(path)
                             : "/" + folder_of(lib_path(current_ns().name_str())) + "/" + std::string(path);
  if (absolute.starts_with("//")) absolute.erase(0, 1);
  for (const std::string& p : tl_pending)
    if (p == absolute) throw_cyclic(absolute);
  std::string base = absolute.substr(1);
  std::optional<Source> src = find_source(base);
  if (!src)
    throw_error("java.io.FileNotFoundException", "Could not locate " + base + "__init.class, " + base +
                                                     ".clj or " + base + ".cljc on classpath.");
  PendingScope pending(absolute);
  compile::load_string(src->text, src->path);
}

void load_lib(const Value& lib_sym, bool reload) {
  std::string name = sym_name(lib_sym);
  if (!reload && is_loaded(lib_sym)) return;
  bool was_loaded = is_loaded(lib_sym);
  std::string base = lib_path(name);
  try {
    if (!find_source(base)) {
      // Clojure's wording, including its hint about dashes and underscores.
      std::string msg = "Could not locate " + base + "__init.class, " + base + ".clj or " + base +
                        ".cljc on classpath.";
      if (name.find('-') != std::string::npos)
        msg += " Please check that namespaces with dashes use underscores in the Clojure file name.";
      throw_error("java.io.FileNotFoundException", msg);
    }
    load_resource("/" + base);
  } catch (...) {
    if (!was_loaded) {
      std::lock_guard lock(state().mutex);
      state().loaded.erase(name);
    }
    throw;
  }
  mark_loaded(lib_sym);
}

bool is_loaded(const Value& lib_sym) {
  std::string name = sym_name(lib_sym);
  std::lock_guard lock(state().mutex);
  return state().loaded.count(name) != 0;
}

void mark_loaded(const Value& lib_sym) {
  std::string name = sym_name(lib_sym);
  std::lock_guard lock(state().mutex);
  state().loaded.insert(std::move(name));
}

void unmark_loaded(const Value& lib_sym) {
  std::string name = sym_name(lib_sym);
  std::lock_guard lock(state().mutex);
  state().loaded.erase(name);
}

Value loaded_libs() {
  std::vector<Value> syms;
  {
    std::lock_guard lock(state().mutex);
    for (const std::string& n : state().loaded) syms.push_back(symbol(n));
  }
  return make_sorted_set(syms);
}

}  // namespace kelp::rt::loader
