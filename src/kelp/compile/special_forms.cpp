// The special forms: def, if, let*, loop*, recur, fn*, letfn*, try, throw, case*, set!, var.
#include <unordered_map>

#include "kelp/compile/analyzer.hpp"
#include "kelp/compile/forms.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
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
constexpr std::string_view UOE = "java.lang.UnsupportedOperationException";

// Locals bound inside a form go out of scope with it; their slots are free for what follows.
class LocalsMark {
 public:
  explicit LocalsMark(FnScope& s) : s_(s), n_(s.locals.size()), slot_(s.next_slot) {}
  ~LocalsMark() {
    s_.locals.resize(n_);
    s_.next_slot = slot_;
  }
  LocalsMark(const LocalsMark&) = delete;
  LocalsMark& operator=(const LocalsMark&) = delete;

 private:
  FnScope& s_;
  size_t n_;
  int slot_;
};

bool is_clause(const Value& x, std::string_view head) {
  if (!x.has(SEQ)) return false;
  Value op = first(x);
  return is_plain_symbol(op) && sym_name(op) == head;
}

std::vector<Value> binding_pairs(const std::vector<Value>& items) {
  if (items.size() < 2 || !items[1].is(Kind::Vector)) syntax_error(IAE, "Bad binding form, expected vector");
  std::vector<Value> b = form_items(items[1]);
  if (b.size() % 2 != 0) syntax_error(IAE, "Bad binding form, expected matched symbol expression pairs");
  return b;
}

Value current_file() {
  Value f = rt::core_vars().file.as<rt::Var>().deref();
  return f.is(Kind::String) ? f : make_string("NO_SOURCE_PATH");
}

}  // namespace

NodePtr Analyzer::analyze_if(const Items& items, const Ctx& ctx) {
  if (items.size() < 3) syntax_error("Too few arguments to if");
  if (items.size() > 4) syntax_error("Too many arguments to if");
  NodePtr test = analyze(items[1], ctx.value());
  NodePtr then = analyze(items[2], ctx);
  NodePtr otherwise = items.size() == 4 ? analyze(items[3], ctx) : std::make_unique<exec::ConstNode>(Value());
  return std::make_unique<exec::IfNode>(std::move(test), std::move(then), std::move(otherwise));
}

NodePtr Analyzer::analyze_let(const Items& items, const Ctx& ctx, bool loop) {
  std::vector<Value> b = binding_pairs(items);
  LocalsMark mark(*ctx.fn);
  std::vector<exec::SlotInit> inits;
  RecurTarget target;
  for (size_t i = 0; i < b.size(); i += 2) {
    NodePtr init = analyze(b[i + 1], ctx.value());
    int slot = bind_local(*ctx.fn, b[i]);
    inits.push_back({slot, std::move(init)});
    target.slots.push_back(slot);
  }
  if (!loop) return std::make_unique<exec::LetNode>(std::move(inits), analyze_body(items, 2, ctx));
  Ctx body_ctx{ctx.fn, &target, true, false};
  return std::make_unique<exec::LoopNode>(std::move(inits), analyze_body(items, 2, body_ctx));
}

NodePtr Analyzer::analyze_recur(const Items& items, const Ctx& ctx) {
  if (ctx.across_try) syntax_error(UOE, "Cannot recur across try");
  if (!ctx.tail || !ctx.recur) syntax_error(UOE, "Can only recur from tail position");
  size_t n = items.size() - 1;
  if (n != ctx.recur->slots.size()) {
    syntax_error(IAE, "Mismatched argument count to recur, expected: " + std::to_string(ctx.recur->slots.size()) +
                          " args, got: " + std::to_string(n));
  }
  Nodes args;
  for (size_t i = 1; i < items.size(); ++i) args.push_back(analyze(items[i], ctx.value()));
  return std::make_unique<exec::RecurNode>(ctx.recur->slots, std::move(args));
}

NodePtr Analyzer::analyze_fn(const Value& form, const Items& items, const Ctx& ctx, std::string_view hint) {
  size_t i = 1;
  Value name;
  if (i < items.size() && is_symbol(items[i])) name = items[i++];
  auto code = std::make_shared<exec::FnCode>();
  std::string ns(rt::current_ns().name_str());
  if (!hint.empty() && !ctx.fn->parent) {
    code->name = ns + "/" + std::string(hint);
  } else {
    std::string own = name.is_nil() ? std::string(hint.empty() ? "fn" : hint) : std::string(sym_name(name));
    code->name = ctx.fn->path + "/" + own + "--" + std::to_string(next_id());
  }
  code->line = line;
  if (std::string_view file = str_view(current_file()); file != "NO_SOURCE_PATH") code->file = file;
  FnScope scope;
  scope.parent = ctx.fn;
  scope.path = code->name;
  if (!name.is_nil()) scope.self_name = sym_qname(name);

  std::vector<Value> arity_forms;
  if (i < items.size() && items[i].is(Kind::Vector)) {
    arity_forms.push_back(make_list(std::span<const Value>(items).subspan(i)));
  } else {
    for (; i < items.size(); ++i) {
      if (!items[i].has(SEQ)) syntax_error(IAE, "Parameter declaration " + pr_str(items[i]) + " should be a vector");
      arity_forms.push_back(items[i]);
    }
  }
  if (arity_forms.empty()) syntax_error(IAE, "Parameter declaration missing");

  for (const Value& af : arity_forms) {
    Items a = form_items(af);
    if (a.empty() || !a[0].is(Kind::Vector)) {
      syntax_error(IAE, "Parameter declaration " + (a.empty() ? std::string("missing") : pr_str(a[0])) +
                            " should be a vector");
    }
    scope.locals.clear();
    scope.next_slot = 0;
    scope.max_slots = 0;
    exec::Arity arity;
    RecurTarget target;
    bool seen_amp = false;
    int after_amp = 0;
    for (const Value& p : form_items(a[0])) {
      if (!is_symbol(p)) syntax_error(IAE, "fn params must be Symbols");
      if (is_plain_symbol(p) && sym_name(p) == "&") {
        if (seen_amp) syntax_error("Invalid parameter list");
        seen_amp = true;
        continue;
      }
      if (seen_amp && after_amp++ == 1) syntax_error("Unexpected parameter");
      if (p.as<Symbol>().has_ns()) syntax_error("Can't use qualified name as parameter: " + pr_str(p));
      target.slots.push_back(bind_local(scope, p));
    }
    if (seen_amp && after_amp == 0) syntax_error("Invalid parameter list");
    arity.variadic = seen_amp;
    arity.required = static_cast<int>(target.slots.size()) - (seen_amp ? 1 : 0);
    Ctx body_ctx{&scope, &target, true, false};
    arity.body = analyze_body(a, 1, body_ctx);
    arity.nslots = scope.max_slots;
    code->arities.push_back(std::move(arity));
  }

  const exec::Arity* variadic = nullptr;
  for (const exec::Arity& a : code->arities) {
    if (!a.variadic) continue;
    if (variadic) syntax_error("Can't have more than 1 variadic overload");
    variadic = &a;
  }
  for (size_t x = 0; x < code->arities.size(); ++x) {
    const exec::Arity& a = code->arities[x];
    if (a.variadic) continue;
    for (size_t y = x + 1; y < code->arities.size(); ++y)
      if (!code->arities[y].variadic && code->arities[y].required == a.required)
        syntax_error("Can't have 2 overloads with same arity");
    if (variadic && a.required > variadic->required)
      syntax_error("Can't have fixed arity function with more params than variadic function");
  }
  code->captures = scope.captures;
  code->index_arities();
  return std::make_unique<exec::FnNode>(std::move(code), user_meta(form));
}

NodePtr Analyzer::analyze_letfn(const Items& items, const Ctx& ctx) {
  std::vector<Value> b = binding_pairs(items);
  LocalsMark mark(*ctx.fn);
  std::vector<int> slots;
  for (size_t i = 0; i < b.size(); i += 2) slots.push_back(bind_local(*ctx.fn, b[i]));
  std::vector<std::unique_ptr<exec::FnNode>> fns;
  for (size_t i = 0; i < b.size(); i += 2) {
    NodePtr n = analyze(b[i + 1], ctx.value(), sym_name(b[i]));
    auto* fn = dynamic_cast<exec::FnNode*>(n.get());
    if (!fn) syntax_error(IAE, "letfn binding must be a function: " + pr_str(b[i]));
    n.release();
    fns.emplace_back(fn);
  }
  return std::make_unique<exec::LetFnNode>(std::move(slots), std::move(fns), analyze_body(items, 2, ctx));
}

NodePtr Analyzer::analyze_def(const Items& items, const Ctx& ctx) {
  if (items.size() < 2) syntax_error("Too few arguments to def");
  if (items.size() > 4 || (items.size() == 4 && !items[2].is(Kind::String))) syntax_error("Too many arguments to def");
  const Value& sym = items[1];
  if (!is_symbol(sym)) syntax_error("First argument to def must be a Symbol");
  rt::Namespace& cur = rt::current_ns();
  Value name = symbol(sym_name(sym));
  Value var;
  if (sym.as<Symbol>().has_ns()) {
    rt::Namespace* target = cur.lookup_alias(sym_ns(sym));
    if (!target) target = rt::find_ns(sym_ns(sym));
    if (target) var = target->find_interned(name);
    if (var.is_nil()) syntax_error("Can't refer to qualified var that doesn't exist");
    if (target != &cur) syntax_error("Can't create defs outside of current ns");
  } else {
    // A name referred from another namespace (clojure.core's aside, which def may shadow) cannot be defined here.
    Value mapped = cur.find(name);
    if (mapped.is(Kind::Var)) {
      const rt::Var& other = mapped.as<rt::Var>();
      if (other.ns() != &cur && other.ns() != rt::core_vars().core)
        syntax_error("java.lang.IllegalStateException", std::string(sym_name(sym)) + " already refers to: #'" +
                                                            other.full_name() + " in namespace: " +
                                                            std::string(cur.name_str()));
    }
    var = cur.intern(name);
  }
  // The new metadata: the symbol's own (evaluated, as defn puts quoted :arglists there), the place, the doc.
  static const Value LINE = keyword("line"), COLUMN = keyword("column"), FILE = keyword("file"), DOC = keyword("doc"),
                     NAME = keyword("name"), NS = keyword("ns"), DYNAMIC = keyword("dynamic"), QUOTE = symbol("quote");
  Value m = meta(sym);
  if (m.is_nil()) m = empty_map();
  m = assoc(m, LINE, Value::integer(line));
  m = assoc(m, COLUMN, Value::integer(column));
  m = assoc(m, FILE, current_file());
  if (items.size() == 4) m = assoc(m, DOC, items[2]);
  m = assoc(m, NAME, make_list({QUOTE, name}));
  m = assoc(m, NS, rt::ns_value(&cur));
  const Value* dyn = get(m, DYNAMIC);
  if (dyn && dyn->truthy()) rt::as_var(var).set_dynamic(true);
  NodePtr meta_node = analyze(m, ctx.value());
  NodePtr init;
  if (items.size() >= 3) init = analyze(items.back(), ctx.value(), sym_name(sym));
  return std::make_unique<exec::DefNode>(var, std::move(meta_node), std::move(init));
}

NodePtr Analyzer::analyze_var(const Items& items) {
  if (items.size() != 2 || !is_symbol(items[1]))
    syntax_error("Unable to resolve var: " + (items.size() > 1 ? pr_str(items[1]) : std::string()) +
                 " in this context");
  Value g = resolve_global(items[1], false);
  if (!g.is(Kind::Var)) syntax_error("Unable to resolve var: " + pr_str(items[1]) + " in this context");
  return std::make_unique<exec::ConstNode>(g);
}

NodePtr Analyzer::analyze_throw(const Items& items, const Ctx& ctx) {
  if (items.size() < 2) syntax_error("Too few arguments to throw, throw expects a single Throwable instance");
  if (items.size() > 2) syntax_error("Too many arguments to throw, throw expects a single Throwable instance");
  return std::make_unique<exec::ThrowNode>(analyze(items[1], ctx.value()));
}

NodePtr Analyzer::analyze_try(const Items& items, const Ctx& ctx) {
  Ctx inner{ctx.fn, ctx.recur, false, true};
  Items body;
  std::vector<exec::CatchClause> catches;
  NodePtr finally;
  int phase = 0;  // 0: body, 1: catches, 2: finally seen
  for (size_t i = 1; i < items.size(); ++i) {
    const Value& x = items[i];
    if (is_clause(x, "catch")) {
      if (phase == 2) syntax_error("finally clause must be last in try expression");
      phase = 1;
      Items c = form_items(x);
      if (c.size() < 3 || !is_symbol(c[1]) || !is_symbol(c[2]))
        syntax_error(IAE, "Unable to resolve classname: " + (c.size() > 1 ? pr_str(c[1]) : std::string()));
      std::string cls_name = pr_str(bare_symbol(c[1]));
      Value imported = resolve_class(c[1]);
      if (imported.is(Kind::Host) && imported.obj()->type_name() == "java.lang.Class")
        cls_name = imported.as<rt::host::HostClass>().name();
      const rt::ExceptionClass* cls = rt::exception_class(cls_name);
      if (!cls && (cls_name == "Object" || cls_name == "java.lang.Object"))
        cls = rt::exception_class("java.lang.Throwable");
      if (!cls) syntax_error(IAE, "Unable to resolve classname: " + pr_str(bare_symbol(c[1])));
      LocalsMark mark(*ctx.fn);
      int slot = bind_local(*ctx.fn, c[2]);
      catches.push_back({cls, slot, analyze_body(c, 3, inner)});
    } else if (is_clause(x, "finally")) {
      if (phase == 2) syntax_error("finally clause must be last in try expression");
      phase = 2;
      finally = analyze_body(form_items(x), 1, inner);
    } else {
      if (phase != 0) syntax_error("Only catch or finally clause can follow catch in try expression");
      body.push_back(x);
    }
  }
  NodePtr body_node = analyze_body(body, 0, inner);
  if (catches.empty() && !finally) return body_node;
  return std::make_unique<exec::TryNode>(std::move(body_node), std::move(catches), std::move(finally));
}

NodePtr Analyzer::analyze_case(const Items& items, const Ctx& ctx) {
  if (items.size() < 3) syntax_error("Too few arguments to case*");
  NodePtr expr = analyze(items[1], ctx.value());
  NodePtr otherwise = analyze(items[2], ctx);
  std::unordered_map<Value, int, ValueHash, ValueEq> table;
  Nodes branches;
  for (size_t i = 3; i < items.size(); ++i) {
    Items clause = form_items(items[i]);
    if (!items[i].is(Kind::Vector) || clause.size() != 2 || !(clause[0].is(Kind::Vector) || clause[0].has(SEQ)))
      syntax_error(IAE, "Malformed case* clause: " + pr_str(items[i]));
    int branch = static_cast<int>(branches.size());
    for (const Value& c : form_items(clause[0])) {
      if (!table.emplace(c, branch).second) syntax_error(IAE, "Duplicate case test constant: " + pr_str(c));
    }
    branches.push_back(analyze(clause[1], ctx));
  }
  return std::make_unique<exec::CaseNode>(std::move(expr), std::move(otherwise), std::move(table),
                                          std::move(branches));
}

NodePtr Analyzer::analyze_set_bang(const Items& items, const Ctx& ctx) {
  if (items.size() != 3) syntax_error(IAE, "Malformed assignment, expecting (set! target val)");
  const Value& target = items[1];
  if (!is_symbol(target)) syntax_error(IAE, "Invalid assignment target");
  if (is_local(&ctx, target)) syntax_error(IAE, "Cannot assign to non-mutable: " + std::string(sym_name(target)));
  Value g = resolve_global(target, true);
  if (!g.is(Kind::Var)) syntax_error(IAE, "Invalid assignment target");
  return std::make_unique<exec::SetVarNode>(g, analyze(items[2], ctx.value()));
}

}  // namespace kelp::compile
