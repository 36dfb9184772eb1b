// The node kinds of the execution tree. The analyzer builds them; each runs against the frame of its invocation.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kelp/exec/closure.hpp"
#include "kelp/exec/node.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::exec {

class ConstNode final : public Node {
 public:
  explicit ConstNode(Value v) : v_(std::move(v)) {}
  Value eval(Frame&) const override { return v_; }
  const Value* constant() const override { return &v_; }

 private:
  Value v_;
};

class SlotNode final : public Node {
 public:
  explicit SlotNode(int i) : i_(i) {}
  Value eval(Frame& f) const override { return f.slots[i_]; }

 private:
  int i_;
};

class CapturedNode final : public Node {
 public:
  explicit CapturedNode(int i) : i_(i) {}
  Value eval(Frame& f) const override {
    const Value& v = f.captured[i_];
    if (v.is(Kind::Other)) return resolve_captured(v, f.self);
    return v;
  }

 private:
  int i_;
};

class SelfNode final : public Node {
 public:
  Value eval(Frame& f) const override;
};

// A global name: the var's value as this thread sees it.
class VarNode final : public Node {
 public:
  explicit VarNode(Value var) : var_(std::move(var)) {}
  Value eval(Frame&) const override { return var_.as<rt::Var>().deref(); }

 private:
  Value var_;
};

class IfNode final : public Node {
 public:
  IfNode(NodePtr test, NodePtr then, NodePtr otherwise)
      : test_(std::move(test)), then_(std::move(then)), else_(std::move(otherwise)) {}
  Value eval(Frame& f) const override { return test_->eval(f).truthy() ? then_->eval(f) : else_->eval(f); }

 private:
  NodePtr test_, then_, else_;
};

class DoNode final : public Node {
 public:
  DoNode(Nodes stmts, NodePtr last) : stmts_(std::move(stmts)), last_(std::move(last)) {}
  Value eval(Frame& f) const override {
    for (const NodePtr& n : stmts_) n->eval(f);
    return last_->eval(f);
  }

 private:
  Nodes stmts_;
  NodePtr last_;
};

struct SlotInit {
  int slot;
  NodePtr init;
};

class LetNode final : public Node {
 public:
  LetNode(std::vector<SlotInit> bindings, NodePtr body) : bindings_(std::move(bindings)), body_(std::move(body)) {}
  Value eval(Frame& f) const override {
    for (const SlotInit& b : bindings_) f.slots[b.slot] = b.init->eval(f);
    return body_->eval(f);
  }

 private:
  std::vector<SlotInit> bindings_;
  NodePtr body_;
};

class LoopNode final : public Node {
 public:
  LoopNode(std::vector<SlotInit> bindings, NodePtr body) : bindings_(std::move(bindings)), body_(std::move(body)) {}
  Value eval(Frame& f) const override;

 private:
  std::vector<SlotInit> bindings_;
  NodePtr body_;
};

// Evaluates the new values first, then writes the loop's slots and raises the frame's recur flag; every node between
// here and the loop is in tail position and hands the flag up untouched.
class RecurNode final : public Node {
 public:
  RecurNode(std::vector<int> slots, Nodes args) : slots_(std::move(slots)), args_(std::move(args)) {}
  Value eval(Frame& f) const override;

 private:
  std::vector<int> slots_;
  Nodes args_;
};

class DefNode final : public Node {
 public:
  DefNode(Value var, NodePtr meta, NodePtr init) : var_(std::move(var)), meta_(std::move(meta)), init_(std::move(init)) {}
  Value eval(Frame& f) const override;

 private:
  Value var_;
  NodePtr meta_;  // the new metadata map (def replaces the old)
  NodePtr init_;  // null for (def x)  // null for (def x)
};

// Makes a closure, copying the closed-over values out of the running frame.
class FnNode final : public Node {
 public:
  FnNode(std::shared_ptr<const FnCode> code, Value meta) : code_(std::move(code)), meta_(std::move(meta)) {}
  Value eval(Frame& f) const override;
  // The values this function closes over, taken from the running frame.
  std::vector<Value> capture(Frame& f) const;
  const std::shared_ptr<const FnCode>& code() const { return code_; }
  const Value& meta() const { return meta_; }

 private:
  std::shared_ptr<const FnCode> code_;
  Value meta_;
};

class LetFnNode final : public Node {
 public:
  LetFnNode(std::vector<int> slots, std::vector<std::unique_ptr<FnNode>> fns, NodePtr body)
      : slots_(std::move(slots)), fns_(std::move(fns)), body_(std::move(body)) {}
  Value eval(Frame& f) const override;

 private:
  std::vector<int> slots_;
  std::vector<std::unique_ptr<FnNode>> fns_;
  NodePtr body_;
};

// (f args...) for any callable value.
class InvokeNode final : public Node {
 public:
  InvokeNode(NodePtr fn, Nodes args) : fn_(std::move(fn)), args_(std::move(args)) {}
  Value eval(Frame& f) const override;

 private:
  NodePtr fn_;
  Nodes args_;
};

// (f args...) where f names a var: the hot path. Reads the var each call, so redefinitions take effect.
class VarInvokeNode final : public Node {
 public:
  VarInvokeNode(Value var, Nodes args) : var_(std::move(var)), args_(std::move(args)) {}
  Value eval(Frame& f) const override;

 private:
  Value var_;
  Nodes args_;
};

class ThrowNode final : public Node {
 public:
  explicit ThrowNode(NodePtr ex) : ex_(std::move(ex)) {}
  Value eval(Frame& f) const override;

 private:
  NodePtr ex_;
};

struct CatchClause {
  const rt::ExceptionClass* cls;
  int slot;
  NodePtr body;
};

class TryNode final : public Node {
 public:
  TryNode(NodePtr body, std::vector<CatchClause> catches, NodePtr finally)
      : body_(std::move(body)), catches_(std::move(catches)), finally_(std::move(finally)) {}
  Value eval(Frame& f) const override;

 private:
  Value run_catching(Frame& f) const;
  NodePtr body_;
  std::vector<CatchClause> catches_;
  NodePtr finally_;
};

// (case* expr default [[const ...] then] ...): one hash lookup from constant to branch.
class CaseNode final : public Node {
 public:
  CaseNode(NodePtr expr, NodePtr otherwise, std::unordered_map<Value, int, ValueHash, ValueEq> table, Nodes branches)
      : expr_(std::move(expr)), else_(std::move(otherwise)), table_(std::move(table)), branches_(std::move(branches)) {}
  Value eval(Frame& f) const override;

 private:
  NodePtr expr_, else_;
  std::unordered_map<Value, int, ValueHash, ValueEq> table_;
  Nodes branches_;
};

class SetVarNode final : public Node {
 public:
  SetVarNode(Value var, NodePtr val) : var_(std::move(var)), val_(std::move(val)) {}
  Value eval(Frame& f) const override;

 private:
  Value var_;
  NodePtr val_;
};

// Collection literals with parts computed at run time.
class VectorNode final : public Node {
 public:
  VectorNode(Nodes items, NodePtr meta) : items_(std::move(items)), meta_(std::move(meta)) {}
  Value eval(Frame& f) const override;

 private:
  Nodes items_;
  NodePtr meta_;  // null when the literal has no metadata
};

class MapNode final : public Node {
 public:
  MapNode(Nodes kvs, NodePtr meta) : kvs_(std::move(kvs)), meta_(std::move(meta)) {}
  Value eval(Frame& f) const override;

 private:
  Nodes kvs_;
  NodePtr meta_;  // null when the literal has no metadata
};

class SetNode final : public Node {
 public:
  SetNode(Nodes items, NodePtr meta) : items_(std::move(items)), meta_(std::move(meta)) {}
  Value eval(Frame& f) const override;

 private:
  Nodes items_;
  NodePtr meta_;  // null when the literal has no metadata
};

// Host interop.
class NewNode final : public Node {
 public:
  NewNode(Value cls, Nodes args) : cls_(std::move(cls)), args_(std::move(args)) {}
  Value eval(Frame& f) const override;

 private:
  Value cls_;
  Nodes args_;
};

// (Class/method args): calls the function the host layer gave for the method.
class StaticCallNode final : public Node {
 public:
  StaticCallNode(Value method, Nodes args) : method_(std::move(method)), args_(std::move(args)) {}
  Value eval(Frame& f) const override;

 private:
  Value method_;
  Nodes args_;
};

class StaticFieldNode final : public Node {
 public:
  StaticFieldNode(Value cls, std::string field) : cls_(std::move(cls)), field_(std::move(field)) {}
  Value eval(Frame& f) const override;

 private:
  Value cls_;
  std::string field_;
};

class MethodCallNode final : public Node {
 public:
  MethodCallNode(NodePtr target, std::string method, Nodes args)
      : target_(std::move(target)), method_(std::move(method)), args_(std::move(args)) {}
  Value eval(Frame& f) const override;

 private:
  NodePtr target_;
  std::string method_;
  Nodes args_;
};

class FieldNode final : public Node {
 public:
  FieldNode(NodePtr target, std::string field) : target_(std::move(target)), field_(std::move(field)) {}
  Value eval(Frame& f) const override;

 private:
  NodePtr target_;
  std::string field_;
};

}  // namespace kelp::exec
