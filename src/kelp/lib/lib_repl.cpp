// clojure.repl's natives: the source text of a definition, from the file it was loaded from or, for definitions
// typed at the REPL or evaluated without a file, from the text kept when they were read.
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "kelp/compile/compiler.hpp"
#include "kelp/compile/reader_context.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/embedded.hpp"
#include "kelp/lib/lib_install.hpp"
#include "kelp/read/reader.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

namespace {

std::optional<std::string> read_whole(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text of a file a var names: one built into kelp, one on the source roots (by a path relative to a root or
// starting with one), or an absolute path. A file found only relative to the working folder is not a source.
std::optional<std::string> source_file(const std::string& file) {
  if (auto embedded = embedded_source(file)) return std::string(*embedded);
  if (file.starts_with("/")) return read_whole(file);
  for (const std::string& root : rt::loader::source_roots()) {
    std::string prefix = root.ends_with("/") ? root : root + "/";
    if (file.starts_with(prefix)) return read_whole(file);
    if (auto text = read_whole(prefix + file)) return text;
  }
  return std::nullopt;
}

// From the start of the line to the end of the one form that begins there, as JVM's source-fn reads it.
std::optional<std::string> form_at_line(const std::string& text, int64_t line, bool cljc) {
  size_t at = 0;
  for (int64_t l = 1; l < line; ++l) {
    at = text.find('\n', at);
    if (at == std::string::npos) return std::nullopt;
    ++at;
  }
  std::string_view rest = std::string_view(text).substr(at);
  read::ReadOptions opts;
  opts.allow_reader_conditionals = cljc;
  compile::RuntimeReaderContext context;
  try {
    read::Reader reader(rest, opts, &context);
    if (!reader.next()) return std::nullopt;
    return std::string(rest.substr(0, reader.offset()));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// (source-text var): its definition's text, or nil.
Value source_text(rt::Args a) {
  if (!a[0].is(Kind::Var)) return {};
  Value m = rt::as_var(a[0]).meta();
  const Value* file = m.is_nil() ? nullptr : get(m, keyword("file"));
  const Value* line = m.is_nil() ? nullptr : get(m, keyword("line"));
  if (file && file->is(Kind::String) && line && line->is_int() && str_view(*file) != "NO_SOURCE_PATH") {
    std::string path(str_view(*file));
    if (auto text = source_file(path))
      if (auto form = form_at_line(*text, line->as_int(), path.ends_with(".cljc"))) return make_string(*form);
  }
  if (auto kept = compile::definition_source(a[0])) return make_string(*kept);
  return {};
}

}  // namespace

void install_lib_repl(rt::Namespace* ns) {
  defn(ns, "source-text", 1, 1, source_text, {"([v])", "The text that defined the var v, or nil."});
}

}  // namespace kelp::lib
