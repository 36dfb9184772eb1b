#include "kelp/compile/analyzer.hpp"

#include <atomic>

#include "kelp/compile/compile_error.hpp"
#include "kelp/compile/forms.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/exec/call_trace.hpp"
#include "kelp/exec/intrinsics.hpp"
#include "kelp/exec/nodes.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"

namespace kelp::compile {

using exec::NodePtr;
using exec::Nodes;

namespace {

std::atomic<int64_t> id_counter{0};

constexpr std::string_view SPECIALS[] = {
    "def", "loop*", "recur", "if", "case*", "let*", "letfn*", "do", "fn*", "quote", "var", "import*", ".", "set!",
    "deftype*", "reify*", "try", "throw", "monitor-enter", "monitor-exit", "catch", "finally", "new", "&"};

bool special_name(std::string_view name) {
  for (std::string_view s : SPECIALS)
    if (s == name) return true;
  return false;
}

NodePtr constant(Value v) { return std::make_unique<exec::ConstNode>(std::move(v)); }

// The values of constant nodes ('x inside a literal is x).
std::vector<Value> constants(const Nodes& nodes) {
  std::vector<Value> out;
  out.reserve(nodes.size());
  for (const NodePtr& n : nodes) out.push_back(*n->constant());
  return out;
}

// Keeps the analyzer's current position for the extent of one form.
class PositionScope {
 public:
  PositionScope(Analyzer& a, const Value& form) : a_(a), line_(a.line), column_(a.column) {
    int l, c;
    if (form_position(form, &l, &c)) {
      a.line = l;
      a.column = c;
    }
  }
  ~PositionScope() {
    a_.line = line_;
    a_.column = column_;
  }

 private:
  Analyzer& a_;
  int line_, column_;
};

}  // namespace

int64_t next_id() { return id_counter.fetch_add(1, std::memory_order_relaxed) + 1; }

bool is_special_name(const Value& sym) { return is_plain_symbol(sym) && special_name(sym_name(sym)); }

Analyzer::Analyzer() = default;

void Analyzer::set_position(const Value& form) {
  int l, c;
  if (form_position(form, &l, &c)) {
    line = l;
    column = c;
  }
}

// --- Locals ---------------------------------------------------------------------------------------------------

std::optional<exec::CaptureSource> Analyzer::lookup_local(FnScope& scope, const QualifiedName* name) {
  for (auto it = scope.locals.rbegin(); it != scope.locals.rend(); ++it)
    if (it->name == name) return exec::CaptureSource{exec::CaptureSource::SLOT, it->slot};
  if (scope.self_name == name) return exec::CaptureSource{exec::CaptureSource::SELF, 0};
  if (!scope.parent) return std::nullopt;
  std::optional<exec::CaptureSource> outer = lookup_local(*scope.parent, name);
  if (!outer) return std::nullopt;
  for (size_t i = 0; i < scope.captures.size(); ++i)
    if (scope.captures[i] == *outer) return exec::CaptureSource{exec::CaptureSource::CAPTURED, static_cast<int>(i)};
  scope.captures.push_back(*outer);
  scope.capture_names.push_back(name);
  return exec::CaptureSource{exec::CaptureSource::CAPTURED, static_cast<int>(scope.captures.size() - 1)};
}

bool Analyzer::is_local(const Ctx* ctx, const Value& sym) {
  if (!ctx || !is_plain_symbol(sym)) return false;
  const QualifiedName* n = sym_qname(sym);
  for (FnScope* s = ctx->fn; s; s = s->parent) {
    for (const Local& l : s->locals)
      if (l.name == n) return true;
    if (s->self_name == n) return true;
  }
  return false;
}

int Analyzer::bind_local(FnScope& scope, const Value& sym) {
  if (!is_symbol(sym)) syntax_error("java.lang.IllegalArgumentException", "Bad binding form, expected symbol, got: " + pr_str(sym));
  if (sym.as<Symbol>().has_ns()) syntax_error("Can't let qualified name: " + pr_str(sym));
  int slot = scope.new_slot();
  scope.locals.push_back({sym_qname(sym), slot, bare_symbol(sym)});
  return slot;
}

Value Analyzer::local_env(const Ctx* ctx) {
  std::vector<Value> kvs;
  if (ctx) {
    for (FnScope* s = ctx->fn; s; s = s->parent) {
      for (const Local& l : s->locals) {
        kvs.push_back(l.sym);
        kvs.push_back(l.sym);
      }
      if (s->self_name) {
        Value sym = symbol(s->self_name->name);
        kvs.push_back(sym);
        kvs.push_back(sym);
      }
    }
  }
  return make_map(kvs);
}

// --- Globals --------------------------------------------------------------------------------------------------

Value Analyzer::resolve_class(const Value& sym) {
  if (!is_symbol(sym) || sym.as<Symbol>().has_ns()) return {};
  Value m = rt::current_ns().find(bare_symbol(sym));
  if (!m.is_nil() && !m.is(Kind::Var)) return m;
  if (!m.is_nil()) return {};
  return rt::host::find_class(sym_name(sym));
}

Value Analyzer::resolve_global(const Value& sym, bool throw_missing) {
  const Symbol& s = sym.as<Symbol>();
  rt::Namespace& cur = rt::current_ns();
  if (s.has_ns()) {
    rt::Namespace* target = cur.lookup_alias(s.ns());
    if (!target) target = rt::find_ns(s.ns());
    if (!target) {
      if (!throw_missing) return {};
      if (rt::host::names_missing_class(s.ns()))
        syntax_error("java.lang.ClassNotFoundException", rt::host::missing_class_message(s.ns()));
      syntax_error("No such namespace: " + std::string(s.ns()));
    }
    Value var = target->find_interned(symbol(s.name()));
    if (var.is_nil()) {
      if (!throw_missing) return {};
      syntax_error("No such var: " + std::string(s.ns()) + "/" + std::string(s.name()));
    }
    if (target != &cur && var.as<rt::Var>().is_private() && throw_missing)
      syntax_error("java.lang.IllegalStateException", "var: #'" + var.as<rt::Var>().full_name() + " is not public");
    return var;
  }
  Value m = cur.find(bare_symbol(sym));
  if (!m.is_nil()) return m;
  return rt::host::find_class(s.name());
}

// --- Macroexpansion -------------------------------------------------------------------------------------------

Value Analyzer::call_macro(const Value& var, const Value& form, const Ctx* ctx) {
  std::vector<Value> args{form, local_env(ctx)};
  for (Value s = rt::next(form); !s.is_nil(); s = rt::next(s)) args.push_back(rt::first(s));
  const size_t depth = exec::call_depth();
  try {
    return rt::call(var.as<rt::Var>().deref(), rt::Args(args.data(), args.size()));
  } catch (...) {
    Value ex = rt::as_throwable(std::current_exception());
    exec::record_trace(ex, depth);
    if (rt::is_interrupted_exception(ex) || is_compile_error(ex)) throw;
    const rt::Var& v = var.as<rt::Var>();
    throw_compile_error(ex, line, column, symbol(v.ns() ? v.ns()->name_str() : "", sym_name(v.sym())),
                        Phase::MACROEXPAND);
  }
}

Value Analyzer::macroexpand_1(const Value& form, const Ctx* ctx) {
  if (!form.has(SEQ) || rt::seq(form).is_nil()) return form;
  Value op = rt::first(form);
  if (!is_symbol(op) || is_special_name(op) || is_local(ctx, op)) return form;
  PositionScope pos(*this, form);
  const Symbol& s = op.as<Symbol>();
  Value resolved = resolve_global(op, false);
  if (resolved.is(Kind::Var) && resolved.as<rt::Var>().is_macro()) return call_macro(resolved, form, ctx);

  std::string_view name = s.name();
  Value rest = rt::next(form);
  auto sugar = [&](std::initializer_list<Value> head, const Value& tail) {
    std::vector<Value> items(head);
    for (Value t = tail; !t.is_nil(); t = rt::next(t)) items.push_back(rt::first(t));
    Value out = make_list(items);
    Value m = meta(form);
    return m.is_nil() ? out : with_meta(out, m);
  };
  if (!s.has_ns() && name.size() > 1 && name[0] == '.' && name != "..") {
    // (.method target args) -> (. target method args)
    if (rest.is_nil())
      syntax_error("java.lang.IllegalArgumentException", "Malformed member expression, expecting (.member target ...)");
    // A class named as the target is the Class object itself, (.getName String), not a static member.
    Value target = rt::first(rest);
    if (is_symbol(target) && !is_local(ctx, target) && !resolve_class(target).is_nil())
      target = make_list({symbol("clojure.core", "identity"), target});
    return sugar({symbol("."), target, symbol(name.substr(1))}, rt::next(rest));
  }
  if (!s.has_ns() && name.size() > 1 && name.back() == '.') {
    // (Class. args) -> (new Class args)
    return sugar({symbol("new"), symbol(name.substr(0, name.size() - 1))}, rest);
  }
  if (s.has_ns() && resolved.is_nil() && !rt::current_ns().lookup_alias(s.ns()) && !rt::find_ns(s.ns())) {
    // (Class/member args) -> (. Class member args)
    Value cls_sym = symbol(s.ns());
    if (!resolve_class(cls_sym).is_nil()) return sugar({symbol("."), cls_sym, symbol(name)}, rest);
  }
  return form;
}

Value Analyzer::macroexpand(const Value& form, const Ctx* ctx) {
  Value f = form;
  for (;;) {
    Value e = macroexpand_1(f, ctx);
    if (e.identical(f)) return f;
    f = e;
  }
}

// --- Forms ----------------------------------------------------------------------------------------------------

NodePtr Analyzer::analyze(const Value& form, const Ctx& ctx, std::string_view name_hint) {
  switch (form.type()) {
    case Type::Obj: break;
    default: return constant(form);
  }
  switch (form.obj()->kind()) {
    case Kind::Symbol: return analyze_symbol(form, ctx);
    case Kind::Vector: return analyze_vector(form, ctx);
    case Kind::ArrayMap:
    case Kind::HashMap: return analyze_map(form, ctx);
    case Kind::HashSet: return analyze_set(form, ctx);
    default: break;
  }
  if (form.has(SEQ)) {
    if (form.is(Kind::List) && count(form) == 0) return constant(form);
    if (rt::seq(form).is_nil()) return constant(empty_list());
    return analyze_seq(form, ctx, name_hint);
  }
  return constant(form);
}

NodePtr Analyzer::analyze_symbol(const Value& sym, const Ctx& ctx) {
  const Symbol& s = sym.as<Symbol>();
  if (!s.has_ns()) {
    if (std::optional<exec::CaptureSource> l = lookup_local(*ctx.fn, sym_qname(sym))) {
      switch (l->kind) {
        case exec::CaptureSource::SLOT: return std::make_unique<exec::SlotNode>(l->index);
        case exec::CaptureSource::CAPTURED: return std::make_unique<exec::CapturedNode>(l->index);
        case exec::CaptureSource::SELF: return std::make_unique<exec::SelfNode>();
      }
    }
  } else if (!rt::current_ns().lookup_alias(s.ns()) && !rt::find_ns(s.ns())) {
    // Class/FIELD
    Value cls = resolve_class(symbol(s.ns()));
    if (!cls.is_nil()) {
      bool found = false;
      rt::host::static_field(cls, s.name(), &found);
      if (!found) {
        syntax_error("Unable to find static field: " + std::string(s.name()) + " in class " +
                     cls.as<rt::host::HostClass>().name());
      }
      return std::make_unique<exec::StaticFieldNode>(cls, std::string(s.name()));
    }
  }
  Value g = resolve_global(sym, true);
  if (g.is(Kind::Var)) {
    const rt::Var& v = g.as<rt::Var>();
    if (v.is_macro()) syntax_error("Can't take value of a macro: #'" + v.full_name());
    return std::make_unique<exec::VarNode>(g);
  }
  if (!g.is_nil()) return constant(g);
  if (!s.has_ns() && rt::host::names_missing_class(s.name()))
    syntax_error("java.lang.ClassNotFoundException", rt::host::missing_class_message(s.name()));
  syntax_error("Unable to resolve symbol: " + pr_str(sym) + " in this context");
}

NodePtr Analyzer::analyze_seq(const Value& form, const Ctx& ctx, std::string_view name_hint) {
  PositionScope pos(*this, form);
  try {
    NodePtr n = analyze_seq_inner(form, ctx, name_hint);
    if (n && n->line == 0) {  // where the form stands, for stack traces; expansions keep their call's line
      n->line = line;
      n->column = column;
    }
    return n;
  } catch (...) {
    Value ex = rt::as_throwable(std::current_exception());
    if (is_compile_error(ex) || rt::is_interrupted_exception(ex)) throw;
    Value op = rt::first(form);
    throw_compile_error(ex, line, column, is_special_name(op) ? op : Value(), Phase::COMPILE);
  }
}

NodePtr Analyzer::analyze_seq_inner(const Value& form, const Ctx& ctx, std::string_view name_hint) {
  rt::check_stack();
  Value op = rt::first(form);
  if (is_special_name(op)) return analyze_special(sym_name(op), form, form_items(form), ctx, name_hint);
  Value expanded = macroexpand_1(form, &ctx);
  if (!expanded.identical(form)) return analyze(expanded, ctx, name_hint);
  Items items = form_items(form);
  return analyze_call(items, ctx);
}

NodePtr Analyzer::analyze_call(const Items& items, const Ctx& ctx) {
  const Value& op = items[0];
  Nodes args;
  args.reserve(items.size() - 1);
  Ctx vctx = ctx.value();
  if (is_symbol(op) && !is_local(&ctx, op)) {
    Value g = resolve_global(op, true);
    if (g.is(Kind::Var)) {
      for (size_t i = 1; i < items.size(); ++i) args.push_back(analyze(items[i], vctx));
      const rt::Var& v = g.as<rt::Var>();
      if (v.ns() == rt::core_vars().core) {
        if (NodePtr n = exec::make_intrinsic(sym_name(v.sym()), g, args)) return n;
      }
      return std::make_unique<exec::VarInvokeNode>(g, std::move(args));
    }
  }
  NodePtr fn = analyze(op, vctx);
  for (size_t i = 1; i < items.size(); ++i) args.push_back(analyze(items[i], vctx));
  return std::make_unique<exec::InvokeNode>(std::move(fn), std::move(args));
}

NodePtr Analyzer::analyze_body(const Items& items, size_t from, const Ctx& ctx) {
  if (from >= items.size()) return constant(Value());
  if (from + 1 == items.size()) return analyze(items[from], ctx);
  Nodes stmts;
  Ctx sctx = ctx.value();
  for (size_t i = from; i + 1 < items.size(); ++i) stmts.push_back(analyze(items[i], sctx));
  NodePtr last = analyze(items.back(), ctx);
  return std::make_unique<exec::DoNode>(std::move(stmts), std::move(last));
}

// A literal's metadata is evaluated like the literal itself: ^String [] carries the class java.lang.String under
// :tag, and ^{:k x} {} the value of x. Null when the literal has none beyond its position.
NodePtr Analyzer::analyze_literal_meta(const Value& form, const Ctx& ctx) {
  Value m = user_meta(form);
  return m.is_nil() ? nullptr : analyze(m, ctx.value());
}

namespace {
Value with_literal_meta(Value coll, const NodePtr& m) { return m ? with_meta(coll, *m->constant()) : coll; }
}  // namespace

// Collection literals: constant ones are built once, here; others at run time.
template <class LiteralNode>
NodePtr Analyzer::literal(const Value& form, const Ctx& ctx, Nodes items, Value (*build)(std::span<const Value>)) {
  bool all_const = true;
  for (const NodePtr& n : items) all_const = all_const && n->constant();
  NodePtr m = analyze_literal_meta(form, ctx);
  if (all_const && (!m || m->constant())) return constant(with_literal_meta(build(constants(items)), m));
  return std::make_unique<LiteralNode>(std::move(items), std::move(m));
}

Nodes Analyzer::analyze_elements(const Value& form, const Ctx& ctx) {
  Nodes items;
  Ctx vctx = ctx.value();
  form.obj()->each([&](const Value& x) {
    items.push_back(analyze(x, vctx));
    return true;
  });
  return items;
}

NodePtr Analyzer::analyze_vector(const Value& form, const Ctx& ctx) {
  return literal<exec::VectorNode>(form, ctx, analyze_elements(form, ctx), &make_vector);
}

NodePtr Analyzer::analyze_set(const Value& form, const Ctx& ctx) {
  return literal<exec::SetNode>(form, ctx, analyze_elements(form, ctx), &make_set);
}

NodePtr Analyzer::analyze_map(const Value& form, const Ctx& ctx) {
  Nodes kvs;
  Ctx vctx = ctx.value();
  form.obj()->each_entry([&](const Value& k, const Value& v) {
    kvs.push_back(analyze(k, vctx));
    kvs.push_back(analyze(v, vctx));
    return true;
  });
  return literal<exec::MapNode>(form, ctx, std::move(kvs), &make_map);
}

NodePtr Analyzer::analyze_special(std::string_view op, const Value& form, const Items& items, const Ctx& ctx,
                                  std::string_view hint) {
  if (op == "if") return analyze_if(items, ctx);
  if (op == "do") return analyze_body(items, 1, ctx);
  if (op == "let*") return analyze_let(items, ctx, false);
  if (op == "loop*") return analyze_let(items, ctx, true);
  if (op == "recur") return analyze_recur(items, ctx);
  if (op == "fn*") return analyze_fn(form, items, ctx, hint);
  if (op == "def") return analyze_def(items, ctx);
  if (op == "quote") {
    if (items.size() != 2)
      rt::throw_value(rt::make_ex_info("Wrong number of args (" + std::to_string(items.size() - 1) +
                                           ") passed to quote",
                                       Value()));
    return constant(items[1]);
  }
  if (op == "var") return analyze_var(items);
  if (op == "throw") return analyze_throw(items, ctx);
  if (op == "try") return analyze_try(items, ctx);
  if (op == "letfn*") return analyze_letfn(items, ctx);
  if (op == "case*") return analyze_case(items, ctx);
  if (op == "set!") return analyze_set_bang(items, ctx);
  if (op == "new") return analyze_new(items, ctx);
  if (op == ".") return analyze_dot(items, ctx);
  if (op == "import*") return analyze_import(items);
  if (op == "monitor-enter" || op == "monitor-exit") {
    // Locking is the `locking` macro's business; these only evaluate their operand.
    Items body(items.begin(), items.end());
    body.push_back(Value());
    return analyze_body(body, 1, ctx);
  }
  // catch, finally, &, deftype*, reify*: not forms of their own here.
  syntax_error("Unable to resolve symbol: " + std::string(op) + " in this context");
}

}  // namespace kelp::compile
