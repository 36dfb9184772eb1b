// The classes kelp knows: a registry of HostClass values with their superclasses, the interfaces (answered by
// predicates over values, since every kelp value has a fixed kind and traits), class_of and instance?.
#include "kelp/rt/host.hpp"

#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "kelp/data/pattern.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/lib/host_detail.hpp"
#include "kelp/lib/str_regex.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/types.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::rt::host {

HostClass::HostClass(std::string name, const HostClass* super)
    : Object(Kind::Host, 0), name_(std::move(name)), super_(super) {}

std::string_view HostClass::simple_name() const {
  std::string_view n = name_;
  size_t dot = n.rfind('.');
  return dot == std::string_view::npos ? n : n.substr(dot + 1);
}

namespace {

using Predicate = bool (*)(const Value&);

bool type_is(const Value& v, std::string_view name) { return v.is_obj() && v.obj()->type_name() == name; }
bool is_number_value(const Value& v) { return v.is_int() || v.is_double() || v.has(NUMBER); }

// Interfaces, answered from what a value is rather than from a declared list.
struct Interface {
  const char* name;
  Predicate pred;
};
const Interface INTERFACES[] = {
    {"clojure.lang.IFn", [](const Value& v) { return is_callable(v); }},
    {"clojure.lang.Fn", [](const Value& v) { return v.is(Kind::Fn); }},
    {"clojure.lang.ISeq", [](const Value& v) { return v.has(SEQ); }},
    {"clojure.lang.Seqable", [](const Value& v) { return v.has(COLL) || v.has(SEQ); }},
    {"clojure.lang.Sequential", [](const Value& v) { return v.has(SEQUENTIAL); }},
    {"clojure.lang.Counted", [](const Value& v) { return v.has(COUNTED); }},
    {"clojure.lang.IPersistentCollection", [](const Value& v) { return v.has(COLL); }},
    {"clojure.lang.IPersistentMap", [](const Value& v) { return v.has(MAP); }},
    {"clojure.lang.IPersistentVector", [](const Value& v) { return v.is(Kind::Vector); }},
    {"clojure.lang.IPersistentList", [](const Value& v) { return v.is(Kind::List); }},
    {"clojure.lang.IPersistentSet", [](const Value& v) { return v.has(SET); }},
    {"clojure.lang.IPersistentStack", [](const Value& v) { return v.is(Kind::Vector) || v.is(Kind::List); }},
    {"clojure.lang.Associative", [](const Value& v) { return v.has(MAP) || v.is(Kind::Vector); }},
    {"clojure.lang.ILookup", [](const Value& v) { return v.has(MAP) || v.is(Kind::Vector); }},
    {"clojure.lang.Indexed", [](const Value& v) { return v.is(Kind::Vector); }},
    {"clojure.lang.Reversible", [](const Value& v) { return v.is(Kind::Vector) || v.has(SORTED); }},
    {"clojure.lang.Sorted", [](const Value& v) { return v.has(SORTED); }},
    {"clojure.lang.IMeta", [](const Value& v) { return v.has(META); }},
    {"clojure.lang.IObj",
     [](const Value& v) { return v.has(META) && !v.is(Kind::Var) && !v.is(Kind::Namespace); }},
    {"clojure.lang.IReference", [](const Value& v) { return v.is(Kind::Var) || v.is(Kind::Namespace); }},
    {"clojure.lang.IDeref",
     [](const Value& v) { return v.is(Kind::Reference) || v.is(Kind::Var) || types::instance_method(v, "deref"); }},
    {"clojure.lang.IRecord", [](const Value& v) { return types::is_record(v); }},
    {"clojure.lang.IType", [](const Value& v) { return types::is_deftype(v); }},
    {"clojure.lang.IRef",
     [](const Value& v) {
       return v.is(Kind::Var) || type_is(v, "clojure.lang.Atom") || type_is(v, "clojure.lang.Agent") ||
              type_is(v, "clojure.lang.Ref");
     }},
    {"clojure.lang.IAtom", [](const Value& v) { return type_is(v, "clojure.lang.Atom"); }},
    {"clojure.lang.IPending",
     [](const Value& v) {
       return type_is(v, "clojure.lang.LazySeq") || type_is(v, "clojure.lang.Delay") ||
              type_is(v, "clojure.lang.Promise") || type_is(v, "clojure.lang.Future");
     }},
    {"clojure.lang.Named", [](const Value& v) { return v.is(Kind::Keyword) || v.is(Kind::Symbol); }},
    {"clojure.lang.IExceptionInfo",
     [](const Value& v) { return v.is(Kind::Throwable) && !throwable(v).data().is_nil(); }},
    {"java.util.Map", [](const Value& v) { return v.has(MAP); }},
    {"java.util.List", [](const Value& v) { return v.has(SEQUENTIAL) && v.has(COLL); }},
    {"java.util.Collection", [](const Value& v) { return v.has(COLL) && !v.has(MAP); }},
    {"java.util.Set", [](const Value& v) { return v.has(SET); }},
    {"java.util.SortedMap", [](const Value& v) { return v.has(SORTED) && v.has(MAP); }},
    {"java.util.SortedSet", [](const Value& v) { return v.has(SORTED) && v.has(SET); }},
    {"java.util.RandomAccess", [](const Value& v) { return v.is(Kind::Vector); }},
    {"java.lang.Iterable", [](const Value& v) { return v.has(COLL); }},
    {"java.lang.Comparable",
     [](const Value& v) {
       return is_number_value(v) || v.is_char() || v.is_bool() || v.is(Kind::String) || v.is(Kind::Keyword) ||
              v.is(Kind::Symbol) || v.is(Kind::Vector) || v.is(Kind::Uuid) || v.is(Kind::Inst);
     }},
    {"java.lang.CharSequence", [](const Value& v) { return v.is(Kind::String) || detail::is_string_builder(v); }},
    {"java.lang.Appendable",
     [](const Value& v) { return detail::is_string_builder(v) || (v.is(Kind::Host) && is_writer(v)); }},
    {"java.lang.Runnable", [](const Value& v) { return v.is(Kind::Fn); }},
    {"java.util.concurrent.Callable", [](const Value& v) { return v.is(Kind::Fn); }},
};

// Concrete classes and their superclasses, a superclass always before its subclasses.
const std::pair<const char*, const char*> CLASSES[] = {
    {"java.lang.Object", nullptr},
    {"java.lang.Number", "java.lang.Object"},
    {"java.lang.Long", "java.lang.Number"},
    {"java.lang.Integer", "java.lang.Number"},
    {"java.lang.Short", "java.lang.Number"},
    {"java.lang.Byte", "java.lang.Number"},
    {"java.lang.Double", "java.lang.Number"},
    {"java.lang.Float", "java.lang.Number"},
    {"java.math.BigInteger", "java.lang.Number"},
    {"java.math.BigDecimal", "java.lang.Number"},
    {"clojure.lang.BigInt", "java.lang.Number"},
    {"clojure.lang.Ratio", "java.lang.Number"},
    {"java.lang.String", "java.lang.Object"},
    {"java.lang.Boolean", "java.lang.Object"},
    {"java.lang.Character", "java.lang.Object"},
    {"java.lang.Math", "java.lang.Object"},
    {"java.lang.System", "java.lang.Object"},
    {"java.lang.Thread", "java.lang.Object"},
    {"java.lang.Class", "java.lang.Object"},
    {"java.lang.StringBuilder", "java.lang.Object"},
    {"clojure.lang.Keyword", "java.lang.Object"},
    {"clojure.lang.Symbol", "java.lang.Object"},
    {"clojure.lang.AFn", "java.lang.Object"},
    {"clojure.lang.AFunction", "clojure.lang.AFn"},
    {"kelp.lang.Fn", "clojure.lang.AFunction"},
    {"clojure.lang.MultiFn", "clojure.lang.AFn"},
    {"clojure.lang.Obj", "java.lang.Object"},
    {"clojure.lang.ASeq", "clojure.lang.Obj"},
    {"clojure.lang.PersistentList", "clojure.lang.ASeq"},
    {"clojure.lang.PersistentList$EmptyList", "clojure.lang.Obj"},
    {"clojure.lang.Cons", "clojure.lang.ASeq"},
    {"clojure.lang.LazySeq", "clojure.lang.Obj"},
    {"clojure.lang.APersistentVector", "clojure.lang.AFn"},
    {"clojure.lang.PersistentVector", "clojure.lang.APersistentVector"},
    {"clojure.lang.MapEntry", "clojure.lang.APersistentVector"},
    {"clojure.lang.APersistentMap", "clojure.lang.AFn"},
    {"clojure.lang.PersistentArrayMap", "clojure.lang.APersistentMap"},
    {"clojure.lang.PersistentHashMap", "clojure.lang.APersistentMap"},
    {"clojure.lang.PersistentTreeMap", "clojure.lang.APersistentMap"},
    {"clojure.lang.APersistentSet", "clojure.lang.AFn"},
    {"clojure.lang.PersistentHashSet", "clojure.lang.APersistentSet"},
    {"clojure.lang.PersistentTreeSet", "clojure.lang.APersistentSet"},
    {"clojure.lang.AReference", "java.lang.Object"},
    {"clojure.lang.ARef", "clojure.lang.AReference"},
    {"clojure.lang.Var", "clojure.lang.ARef"},
    {"clojure.lang.Atom", "clojure.lang.ARef"},
    {"clojure.lang.Agent", "clojure.lang.ARef"},
    {"clojure.lang.Ref", "clojure.lang.ARef"},
    {"clojure.lang.Namespace", "clojure.lang.AReference"},
    {"clojure.lang.Volatile", "java.lang.Object"},
    {"clojure.lang.Delay", "java.lang.Object"},
    {"clojure.lang.Reduced", "java.lang.Object"},
    {"java.util.UUID", "java.lang.Object"},
    {"java.util.Arrays", "java.lang.Object"},
    {"java.util.Collections", "java.lang.Object"},
    // The primitive types, as Long/TYPE names them (for make-array).
    {"long", nullptr}, {"int", nullptr}, {"short", nullptr}, {"byte", nullptr},
    {"double", nullptr}, {"float", nullptr}, {"char", nullptr}, {"boolean", nullptr},
    {"java.util.AbstractList", "java.lang.Object"},
    {"java.util.ArrayList", "java.util.AbstractList"},
    {"java.util.AbstractMap", "java.lang.Object"},
    {"java.util.HashMap", "java.util.AbstractMap"},
    {"java.util.Date", "java.lang.Object"},
    {"java.util.regex.Pattern", "java.lang.Object"},
    {"java.io.Writer", "java.lang.Object"},
    {"java.io.StringWriter", "java.io.Writer"},
    {"java.io.PrintWriter", "java.io.Writer"},
    {"java.io.Reader", "java.lang.Object"},
    {"java.io.PushbackReader", "java.io.Reader"},
    {"java.io.StringReader", "java.io.Reader"},
    {"clojure.lang.LineNumberingPushbackReader", "java.io.PushbackReader"},
};

// Simple names that resolve without an import: java.lang's, plus the few others Clojure imports by default.
bool resolves_simply(std::string_view full) {
  if (full.starts_with("java.lang.")) return full.find('.', 10) == std::string_view::npos;
  return full == "java.math.BigInteger" || full == "java.math.BigDecimal" ||
         full == "java.util.concurrent.Callable";
}

struct Registry {
  std::mutex mutex;
  std::unordered_map<std::string, Value> by_name;    // full names
  std::unordered_map<std::string, Value> by_simple;  // names usable without an import
  std::unordered_map<const HostClass*, Predicate> interfaces;

  const HostClass* add(const std::string& name, const HostClass* super) {
    auto* c = new HostClass(name, super);
    c->make_immortal();
    Value v = Value::adopt(c);
    by_name.emplace(name, v);
    if (resolves_simply(name)) by_simple.emplace(std::string(c->simple_name()), v);
    return c;
  }
  const HostClass* get(const std::string& name) const {
    auto it = by_name.find(name);
    return it == by_name.end() ? nullptr : &detail::as_class(it->second);
  }
  // The class for an exception class, with its ancestors.
  const HostClass* add_exception(const ExceptionClass* ex) {
    if (const HostClass* c = get(ex->name)) return c;
    const HostClass* super = ex->super ? add_exception(ex->super) : get("java.lang.Object");
    return add(ex->name, super);
  }
};

Registry& registry() {
  static Registry* r = [] {
    auto* reg = new Registry;
    for (auto& [name, super] : CLASSES) reg->add(name, super ? reg->get(super) : nullptr);
    const HostClass* object = reg->get("java.lang.Object");
    for (const Interface& i : INTERFACES) reg->interfaces.emplace(reg->add(i.name, object), i.pred);
    for (const ExceptionClass* ex : exception_classes()) reg->add_exception(ex);
    return reg;
  }();
  return *r;
}

// The class named by a value's type, made on first sight for runtime types this table does not list (a new
// sequence type is an ASeq, anything else an Object).
Value class_named(std::string_view name, Kind kind) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::string key(name);
  auto it = r.by_name.find(key);
  if (it != r.by_name.end()) return it->second;
  const HostClass* super = r.get(kind == Kind::Seq ? "clojure.lang.ASeq" : "java.lang.Object");
  r.add(key, super);
  return r.by_name.at(key);
}

std::vector<ClassExtension>& extensions() {
  static std::vector<ClassExtension> all;
  return all;
}

// The names of the classes libraries added that the host layer did not have.
std::unordered_set<std::string>& new_classes() {
  static std::unordered_set<std::string> names;
  return names;
}

const ClassExtension* extension_for(std::string_view name) {
  for (const ClassExtension& e : extensions())
    if (e.name == name) return &e;
  return nullptr;
}

Value class_by_name(const char* name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.by_name.at(name);
}

}  // namespace

Value find_class(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::string key(name);
  if (auto it = r.by_name.find(key); it != r.by_name.end()) return it->second;
  if (auto it = r.by_simple.find(key); it != r.by_simple.end()) return it->second;
  return {};
}

bool names_missing_class(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size() || name.find('/') != std::string_view::npos)
    return false;
  char c = name[dot + 1];
  return c >= 'A' && c <= 'Z' && find_class(name).is_nil();
}

std::string missing_class_message(std::string_view name) { return "kelp has no class " + std::string(name); }

std::vector<std::pair<Value, Value>> default_imports() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<std::pair<Value, Value>> out;
  out.reserve(r.by_simple.size());
  for (auto& [name, cls] : r.by_simple) out.emplace_back(symbol(name), cls);
  return out;
}

Value class_of(const Value& v) {
  static const Value LONG = class_by_name("java.lang.Long"), DOUBLE = class_by_name("java.lang.Double"),
                     BOOLEAN = class_by_name("java.lang.Boolean"), CHARACTER = class_by_name("java.lang.Character"),
                     FN = class_by_name("kelp.lang.Fn"), CLASS = class_by_name("java.lang.Class"),
                     EMPTY_LIST = class_by_name("clojure.lang.PersistentList$EmptyList");
  switch (v.type()) {
    case Type::Nil: return {};
    case Type::Bool: return BOOLEAN;
    case Type::Int: return LONG;
    case Type::Double: return DOUBLE;
    case Type::Char: return CHARACTER;
    case Type::Obj: break;
  }
  switch (v.obj()->kind()) {
    case Kind::Fn: return FN;
    case Kind::List:
      if (v.obj()->count() == 0) return EMPTY_LIST;
      break;
    case Kind::Throwable: {
      Registry& r = registry();
      std::lock_guard lock(r.mutex);
      auto it = r.by_name.find(throwable(v).cls().name);
      if (it != r.by_name.end()) return it->second;
      r.add_exception(&throwable(v).cls());
      return r.by_name.at(throwable(v).cls().name);
    }
    case Kind::Host:
      if (detail::is_class(v)) return CLASS;
      break;
    default: break;
  }
  return class_named(v.obj()->type_name(), v.obj()->kind());
}

bool is_instance(const Value& cls, const Value& x) {
  if (!detail::is_class(cls) || x.is_nil()) return false;
  const HostClass* want = &detail::as_class(cls);
  Registry& r = registry();
  {
    std::lock_guard lock(r.mutex);
    if (auto it = r.interfaces.find(want); it != r.interfaces.end()) return it->second(x);
  }
  Value have = class_of(x);
  for (const HostClass* c = &detail::as_class(have); c; c = c->super())
    if (c == want) return true;
  return false;
}

void add_class(ClassExtension ext) {
  Registry& r = registry();
  {
    std::lock_guard lock(r.mutex);
    if (!r.get(ext.name)) {
      r.add(ext.name, r.get(ext.super));
      new_classes().insert(ext.name);
    }
  }
  extensions().push_back(std::move(ext));
}

Value static_method(const Value& cls, std::string_view member) {
  if (!detail::is_class(cls)) return {};
  if (const ClassExtension* e = extension_for(detail::as_class(cls).name()); e && e->static_member)
    if (Value f = e->static_member(member); !f.is_nil()) return f;
  return detail::find_static_method(detail::as_class(cls).name(), member);
}

Value static_field(const Value& cls, std::string_view field, bool* found) {
  *found = false;
  if (!detail::is_class(cls)) return {};
  if (const ClassExtension* e = extension_for(detail::as_class(cls).name()); e && e->static_field) {
    Value v = e->static_field(field, found);
    if (*found) return v;
  }
  return detail::find_static_field(detail::as_class(cls).name(), field, found);
}

Value invoke_method(const Value& target, std::string_view method, Args args) {
  bool found = false;
  // A class a library added answers first; for a class the host layer has itself, a library only adds the
  // methods the host layer lacks (readLine on any reader).
  const ClassExtension* e = target.is(Kind::Host) ? extension_for(target.obj()->type_name()) : nullptr;
  Value out;
  if (e && e->call && new_classes().contains(e->name) && e->call(target, method, args, &out))
    return out;
  out = detail::call_method(target, method, args, &found);
  if (found) return out;
  if (e && e->call && e->call(target, method, args, &out)) return out;
  std::string cls = target.is_nil() ? "nil" : detail::as_class(class_of(target)).name();
  if (args.empty())
    throw_illegal_argument("No matching field found: " + std::string(method) + " for class " + cls);
  detail::throw_no_method(method, args.size(), cls);
}

Value get_field(const Value& target, std::string_view field) {
  if (target.is_nil()) throw_null_pointer("Cannot read field \"" + std::string(field) + "\" because the target is null");
  throw_illegal_argument("No matching field found: " + std::string(field) + " for class " +
                         detail::as_class(class_of(target)).name());
}

Value construct(const Value& cls, Args args) {
  if (!detail::is_class(cls)) throw_illegal_argument("Unable to construct an instance of " + pr_str(cls));
  if (const ClassExtension* e = extension_for(detail::as_class(cls).name()); e && e->construct) {
    Value out;
    if (e->construct(args, &out)) return out;
    throw_illegal_argument("No matching ctor found for class " + detail::as_class(cls).name());
  }
  bool found = false;
  Value out = detail::construct_instance(detail::as_class(cls), args, &found);
  if (!found) throw_illegal_argument("No matching ctor found for class " + detail::as_class(cls).name());
  return out;
}

std::string to_string(const Value& v) {
  if (v.is_nil()) return "null";
  std::string out;
  append_str(out, v);
  return out;
}

bool append_object_string(std::string& out, const Value& v) {
  if (detail::is_class(v)) {
    out += "class ";
    out += detail::as_class(v).name();
  } else if (detail::is_string_builder(v)) {
    out += v.as<detail::StringBuilder>().str();
  } else if (type_is(v, "java.io.StringWriter")) {
    out += v.as<StringWriter>().str();
  } else if (const auto* m = lib::strs::as_matcher(v)) {
    out += m->java_string();
  } else if (is_unbound(v)) {
    out += unbound_text(v);
  } else if (const ClassExtension* e = v.is(Kind::Host) ? extension_for(v.obj()->type_name()) : nullptr;
             e && e->to_string && e->to_string(v, out)) {
  } else if (detail::append_collection_string(out, v)) {
  } else {
    return false;
  }
  return true;
}

namespace detail {

[[noreturn]] void throw_no_method(std::string_view method, size_t nargs, std::string_view cls) {
  throw_illegal_argument("No matching method " + std::string(method) + " found taking " + std::to_string(nargs) +
                         " args for class " + std::string(cls));
}

[[noreturn]] void throw_no_class(std::string_view name) {
  std::string msg = missing_class_message(name);
  if (exception_class("java.lang.ClassNotFoundException")) throw_error("java.lang.ClassNotFoundException", msg);
  throw_error("java.lang.RuntimeException", msg);
}

}  // namespace detail
}  // namespace kelp::rt::host
