// Host interop forms: (new Class args), (. target member args), (import* "java.util.UUID").
#include "kelp/compile/analyzer.hpp"
#include "kelp/compile/forms.hpp"
#include "kelp/data/string.hpp"
#include "kelp/exec/nodes.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/namespace.hpp"

namespace kelp::compile {

using exec::NodePtr;
using exec::Nodes;

namespace {

constexpr std::string_view IAE = "java.lang.IllegalArgumentException";

const std::string& class_name(const Value& cls) { return cls.as<rt::host::HostClass>().name(); }

}  // namespace

NodePtr Analyzer::analyze_new(const Items& items, const Ctx& ctx) {
  if (items.size() < 2) syntax_error("wrong number of arguments, expecting: (new Classname args...)");
  Value cls = resolve_class(items[1]);
  if (cls.is_nil()) {
    std::string name = pr_str(items[1]);
    if (rt::host::names_missing_class(name))
      syntax_error("java.lang.ClassNotFoundException", rt::host::missing_class_message(name));
    syntax_error(IAE, "Unable to resolve classname: " + name);
  }
  Nodes args;
  for (size_t i = 2; i < items.size(); ++i) args.push_back(analyze(items[i], ctx.value()));
  return std::make_unique<exec::NewNode>(cls, std::move(args));
}

NodePtr Analyzer::analyze_dot(const Items& items, const Ctx& ctx) {
  if (items.size() < 3) syntax_error(IAE, "Malformed member expression, expecting (. target member ...)");
  const Value& target = items[1];
  Value member;
  Items arg_forms;
  if (items[2].has(SEQ)) {
    // (. target (method args...))
    Items m = form_items(items[2]);
    if (m.empty()) syntax_error(IAE, "Malformed member expression, expecting (. target member ...)");
    member = m[0];
    arg_forms.assign(m.begin() + 1, m.end());
  } else {
    member = items[2];
    arg_forms.assign(items.begin() + 3, items.end());
  }
  if (!is_symbol(member)) syntax_error(IAE, "Malformed member expression, expecting (. target member ...)");
  std::string name(sym_name(member));
  bool field = !name.empty() && name[0] == '-';
  Ctx vctx = ctx.value();
  Nodes args;
  for (const Value& a : arg_forms) args.push_back(analyze(a, vctx));

  Value cls = is_symbol(target) && !is_local(&ctx, target) ? resolve_class(target) : Value();
  if (!cls.is_nil()) {
    if (field) return std::make_unique<exec::StaticFieldNode>(cls, name.substr(1));
    Value method = rt::host::static_method(cls, name);
    if (!method.is_nil()) return std::make_unique<exec::StaticCallNode>(method, std::move(args));
    if (args.empty()) {
      bool found = false;
      rt::host::static_field(cls, name, &found);
      if (found) return std::make_unique<exec::StaticFieldNode>(cls, name);
      syntax_error(IAE, "Unable to find static field: " + name + " in class " + class_name(cls));
    }
    syntax_error(IAE, "No matching method " + name + " found taking " + std::to_string(args.size()) +
                          " args for class " + class_name(cls));
  }
  NodePtr target_node = analyze(target, vctx);
  if (field && args.empty()) return std::make_unique<exec::FieldNode>(std::move(target_node), name.substr(1));
  return std::make_unique<exec::MethodCallNode>(std::move(target_node), name, std::move(args));
}

NodePtr Analyzer::analyze_import(const Items& items) {
  if (items.size() != 2 || !items[1].is(Kind::String)) syntax_error(IAE, "import* expects a class name string");
  std::string_view name = str_view(items[1]);
  Value cls = rt::host::find_class(name);
  if (cls.is_nil()) syntax_error("java.lang.ClassNotFoundException", name);
  rt::current_ns().import_class(symbol(cls.as<rt::host::HostClass>().simple_name()), cls);
  return std::make_unique<exec::ConstNode>(cls);
}

}  // namespace kelp::compile
