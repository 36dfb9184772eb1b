#include "kelp/lib/deps.hpp"

#include <fstream>
#include <set>
#include <sstream>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "kelp/rt/lazy.hpp"

namespace kelp::deps {

namespace fs = std::filesystem;

namespace {

// The library kelp carries built in, whatever coordinate names it.
constexpr std::string_view BUILT_IN = "nrepl/nrepl";

struct Failed {
  std::string sentence;
};

const Value* field(const Value& m, std::string_view ns, std::string_view name) {
  return get(m, ns.empty() ? keyword(name) : keyword(ns, name));
}

Value read_map(std::string_view text, const std::string& what) {
  Result<Value> r = read_edn(text);
  if (!r) throw Failed{what + " is not valid EDN: " + r.failure().message};
  if (!is_map(*r)) throw Failed{what + " must hold a map, not " + pr_str(*r) + "."};
  return *r;
}

// dir/deps.edn as a map, or nil when the folder has none.
Value read_deps_file(const fs::path& dir) {
  fs::path file = dir / "deps.edn";
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return {};
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) throw Failed{"Could not read " + file.string() + "."};
  return read_map(text.str(), file.string());
}

template <class F>
void each(const Value& coll, F&& f) {
  for (Value s = rt::seq(coll); !s.is_nil(); s = rt::next(s)) f(rt::first(s));
}

std::vector<std::string> paths_of(const Value& deps_map, const fs::path& base, const std::string& what) {
  const Value* paths = deps_map.is_nil() ? nullptr : field(deps_map, "", "paths");
  if (!paths) return {(base / "src").lexically_normal().string()};
  if (!paths->is(Kind::Vector) && !paths->is(Kind::List))
    throw Failed{what + ": :paths must be a vector of folder names, not " + pr_str(*paths) + "."};
  std::vector<std::string> out;
  each(*paths, [&](const Value& p) {
    if (p.is(Kind::Keyword)) return;  // an alias of paths: kelp has no aliases to expand
    if (!p.is(Kind::String)) throw Failed{what + ": :paths must name folders as strings, not " + pr_str(p) + "."};
    fs::path entry(std::string(str_view(p)));
    out.push_back((entry.is_absolute() ? entry : base / entry).lexically_normal().string());
  });
  return out;
}

class Resolver {
 public:
  std::vector<std::string> roots;

  void add_paths(const std::vector<std::string>& paths) {
    for (const auto& p : paths)
      if (seen_paths_.insert(p).second) roots.push_back(p);
  }

  void add_deps(const Value& deps, const fs::path& base, const std::string& what) {
    if (deps.is_nil()) return;
    if (!is_map(deps)) throw Failed{what + ": :deps must be a map of library to coordinate, not " + pr_str(deps) + "."};
    each(deps, [&](const Value& entry) { add_dep(rt::first(entry), rt::first(rt::next(entry)), base, what); });
  }

 private:
  void add_dep(const Value& lib, const Value& coord, const fs::path& base, const std::string& what) {
    if (!is_symbol(lib)) throw Failed{what + ": a dependency must be named by a symbol, not " + pr_str(lib) + "."};
    std::string name = pr_str(lib);
    if (name == BUILT_IN) return;
    if (!is_map(coord)) throw Failed{what + ": the coordinate of " + name + " must be a map, not " + pr_str(coord) + "."};
    if (const Value* root = field(coord, "local", "root")) {
      if (!root->is(Kind::String)) throw Failed{what + ": :local/root of " + name + " must be a string."};
      fs::path dir(std::string(str_view(*root)));
      if (!dir.is_absolute()) dir = base / dir;
      return add_local(dir, name);
    }
    if (field(coord, "git", "url") || field(coord, "git", "sha") || field(coord, "git", "tag") ||
        field(coord, "", "sha")) {
      const Value* url = field(coord, "git", "url");
      throw Failed{"git dep: kelp can't fetch " + name + (url && url->is(Kind::String) ? " from " + std::string(str_view(*url)) : "") +
                   ": kelp fetches no dependencies (only nrepl/nrepl is built in); use :local/root with a checkout."};
    }
    if (const Value* v = field(coord, "mvn", "version"))
      throw Failed{"kelp can't fetch the Maven dependency " + name + " " + pr_str(*v) +
                   ": kelp runs Clojure source only; use :local/root with the library's source."};
    throw Failed{what + ": " + name + " has no coordinate kelp understands (:local/root, git or Maven): " +
                 pr_str(coord) + "."};
  }

  void add_local(const fs::path& dir, const std::string& name) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) throw Failed{"The :local/root of " + name + " is not a folder: " + dir.string() + "."};
    fs::path canonical = fs::canonical(dir, ec);
    if (ec) canonical = dir;
    if (!seen_roots_.insert(canonical.string()).second) return;  // a cycle, or a folder already added
    std::string what = (dir / "deps.edn").string();
    Value m = read_deps_file(dir);
    add_paths(paths_of(m, dir, what));
    if (!m.is_nil())
      if (const Value* deps = field(m, "", "deps")) add_deps(*deps, dir, what);
  }

  std::set<std::string> seen_paths_, seen_roots_;
};

}  // namespace

Result<std::optional<std::vector<std::string>>> source_roots(const fs::path& dir, std::optional<std::string_view> sdeps) {
  try {
    Value project = read_deps_file(dir);
    Value extra = sdeps ? read_map(*sdeps, "The -Sdeps map") : Value();
    if (project.is_nil() && extra.is_nil()) return std::optional<std::vector<std::string>>();
    Resolver r;
    // The -Sdeps map's :paths replace the file's; its :deps are added to the file's, a library named in both
    // taking the -Sdeps coordinate.
    const Value* extra_paths = extra.is_nil() ? nullptr : field(extra, "", "paths");
    const Value* file_paths = project.is_nil() ? nullptr : field(project, "", "paths");
    const Value* own_paths = extra_paths ? extra_paths : file_paths;
    Value holder = own_paths ? make_map({keyword("paths"), *own_paths}) : Value();
    r.add_paths(paths_of(holder, dir, extra_paths ? "The -Sdeps map" : "deps.edn"));
    Value deps = project.is_nil() || !field(project, "", "deps") ? Value() : *field(project, "", "deps");
    if (!deps.is_nil() && !is_map(deps)) throw Failed{"deps.edn: :deps must be a map, not " + pr_str(deps) + "."};
    if (const Value* more = extra.is_nil() ? nullptr : field(extra, "", "deps"); more && !more->is_nil()) {
      if (!is_map(*more)) throw Failed{"The -Sdeps map: :deps must be a map, not " + pr_str(*more) + "."};
      each(*more, [&](const Value& e) { deps = assoc(deps.is_nil() ? empty_map() : deps, rt::first(e), rt::first(rt::next(e))); });
    }
    r.add_deps(deps, dir, "deps");
    return std::optional<std::vector<std::string>>(std::move(r.roots));
  } catch (const Failed& f) {
    return Failure{f.sentence};
  }
}

}  // namespace kelp::deps
