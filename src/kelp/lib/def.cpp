#include "kelp/lib/def.hpp"

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/read/reader.hpp"

namespace kelp::lib {

namespace {

Value native_meta(rt::Namespace* ns, std::string_view name, NativeDoc doc) {
  static const Value NS = keyword("ns"), NAME = keyword("name"), DOC = keyword("doc");
  Value meta = make_map({NS, rt::ns_value(ns), NAME, symbol(name)});
  if (doc.doc) meta = assoc(meta, DOC, make_string(doc.doc));
  return meta;
}

Value define(rt::Namespace* ns, std::string_view name, Value fn, NativeDoc doc) {
  Value v = ns->intern(symbol(name));
  rt::Var& var = rt::as_var(v);
  var.bind_root(std::move(fn));
  // Hundreds of natives are defined at every start; their arglists are read only when someone looks.
  var.set_meta(native_meta(ns, name, doc), doc.arglists);
  return v;
}

std::string qualified(rt::Namespace* ns, std::string_view name) {
  std::string s(ns->name_str());
  s += '/';
  s += name;
  return s;
}

}  // namespace

Value defn(rt::Namespace* ns, std::string_view name, int min_args, int max_args, rt::NativeBody body,
           NativeDoc doc) {
  return define(ns, name, rt::make_native(qualified(ns, name), min_args, max_args, body), doc);
}

Value defn(rt::Namespace* ns, std::string_view name, int min_args, int max_args,
           std::function<Value(rt::Args)> body, NativeDoc doc) {
  return define(ns, name, rt::make_native(qualified(ns, name), min_args, max_args, std::move(body)), doc);
}

Value defvar(rt::Namespace* ns, std::string_view name, Value v, bool dynamic, const char* doc) {
  Value var = ns->intern(symbol(name));
  rt::Var& cell = rt::as_var(var);
  cell.bind_root(std::move(v));
  cell.set_dynamic(dynamic);
  Value meta = make_map({keyword("ns"), rt::ns_value(ns), keyword("name"), symbol(name)});
  if (dynamic) meta = assoc(meta, keyword("dynamic"), Value::boolean(true));
  if (doc) meta = assoc(meta, keyword("doc"), make_string(doc));
  cell.set_meta(std::move(meta));
  return var;
}

}  // namespace kelp::lib
