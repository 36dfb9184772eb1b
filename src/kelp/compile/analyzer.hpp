// The analyzer: forms to executable nodes. Expands macros once, resolves locals to frame slots and closed-over
// values, global names to vars and classes, and checks special forms (including recur's tail position).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/symbol.hpp"
#include "kelp/exec/closure.hpp"
#include "kelp/exec/node.hpp"

namespace kelp::compile {

struct Local {
  const QualifiedName* name;
  int slot;
  Value sym;  // the name as a symbol without metadata, for &env
};

// The locals of one function being analyzed (or of a top-level form), and what it closes over.
struct FnScope {
  FnScope* parent = nullptr;
  std::string path;                       // names functions made inside: "user/f", "user/eval12"
  const QualifiedName* self_name = nullptr;  // a named fn's own name
  std::vector<Local> locals;              // visible now, innermost last
  int next_slot = 0;
  int max_slots = 0;
  std::vector<exec::CaptureSource> captures;
  std::vector<const QualifiedName*> capture_names;

  int new_slot() {
    int s = next_slot++;
    if (next_slot > max_slots) max_slots = next_slot;
    return s;
  }
};

struct RecurTarget {
  std::vector<int> slots;
};

// Where a form sits: its function, the loop recur would go to, and whether it is in tail position.
struct Ctx {
  FnScope* fn;
  const RecurTarget* recur;
  bool tail;
  bool across_try;  // a recur here would leave a try
  Ctx value() const { return {fn, recur, false, across_try}; }
  Ctx in_tail(bool t) const { return {fn, recur, t, across_try}; }
};

class Analyzer {
 public:
  Analyzer();
  exec::NodePtr analyze(const Value& form, const Ctx& ctx, std::string_view name_hint = {});
  // One step of macroexpansion (macros, and the .method / Class. / Class/member sugar); the form itself when there
  // is nothing to expand. ctx gives the locals (which shadow macros) and &env; null at the top.
  Value macroexpand_1(const Value& form, const Ctx* ctx);
  Value macroexpand(const Value& form, const Ctx* ctx);
  // Sets the position errors report when forms carry none.
  void set_position(const Value& form);

 private:
  using Items = std::vector<Value>;
  exec::NodePtr analyze_symbol(const Value& sym, const Ctx& ctx);
  exec::NodePtr analyze_seq(const Value& form, const Ctx& ctx, std::string_view name_hint);
  exec::NodePtr analyze_seq_inner(const Value& form, const Ctx& ctx, std::string_view name_hint);
  exec::NodePtr analyze_call(const Items& items, const Ctx& ctx);
  template <class LiteralNode>
  exec::NodePtr literal(const Value& form, const Ctx& ctx, exec::Nodes items, Value (*build)(std::span<const Value>));
  exec::Nodes analyze_elements(const Value& form, const Ctx& ctx);
  exec::NodePtr analyze_vector(const Value& form, const Ctx& ctx);
  exec::NodePtr analyze_map(const Value& form, const Ctx& ctx);
  exec::NodePtr analyze_set(const Value& form, const Ctx& ctx);
  exec::NodePtr analyze_literal_meta(const Value& form, const Ctx& ctx);
  exec::NodePtr analyze_body(const Items& items, size_t from, const Ctx& ctx);
  exec::NodePtr analyze_special(std::string_view op, const Value& form, const Items& items, const Ctx& ctx,
                                std::string_view hint);

  // Special forms (special_forms.cpp).
  exec::NodePtr analyze_def(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_if(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_let(const Items& items, const Ctx& ctx, bool loop);
  exec::NodePtr analyze_recur(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_fn(const Value& form, const Items& items, const Ctx& ctx, std::string_view hint);
  exec::NodePtr analyze_letfn(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_try(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_case(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_set_bang(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_throw(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_var(const Items& items);
  // Host forms (host_forms.cpp).
  exec::NodePtr analyze_new(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_dot(const Items& items, const Ctx& ctx);
  exec::NodePtr analyze_import(const Items& items);

  // Locals.
  std::optional<exec::CaptureSource> lookup_local(FnScope& scope, const QualifiedName* name);
  bool is_local(const Ctx* ctx, const Value& sym);
  int bind_local(FnScope& scope, const Value& sym);
  Value local_env(const Ctx* ctx);

  // Globals: the var or class a symbol names, nil when nothing; throws for a missing namespace or var of a
  // qualified symbol, and for private vars of other namespaces.
  Value resolve_global(const Value& sym, bool throw_missing);
  // The class a symbol names (imports, then host classes), or nil.
  Value resolve_class(const Value& sym);

  Value call_macro(const Value& var, const Value& form, const Ctx* ctx);

 public:
  int line = 0;
  int column = 0;
};

// Symbols that name special forms.
bool is_special_name(const Value& sym);
// A fresh number for fn and eval names and gensyms (one counter, as Clojure's).
int64_t next_id();

}  // namespace kelp::compile
