#include "kelp/exec/intrinsics.hpp"

#include "kelp/exec/call_trace.hpp"

#include "kelp/rt/fn.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/types.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::exec {

namespace {

Value fallback(const Value& var, const Value* args, size_t n) {
  return rt::call(var.as<rt::Var>().deref(), rt::Args(args, n));
}

[[noreturn]] void overflow() { rt::throw_arithmetic("long overflow"); }

// Two operands, longs and doubles inline; Op supplies the long and double cases.
template <class Op>
class BinaryNode final : public Node {
 public:
  BinaryNode(Value var, NodePtr a, NodePtr b) : var_(std::move(var)), a_(std::move(a)), b_(std::move(b)) {}
  Value eval(Frame& f) const override {
    Value x = a_->eval(f);
    Value y = b_->eval(f);
    if (x.is_int() && y.is_int()) {
      try {
        return Op::longs(x.as_int(), y.as_int());
      } catch (...) {  // overflow: costs nothing until it happens
        note_line(line);
        throw;
      }
    }
    if (x.is_double() && y.is_double()) return Op::doubles(x.as_double(), y.as_double());
    if (x.is_double() && y.is_int()) return Op::doubles(x.as_double(), static_cast<double>(y.as_int()));
    if (x.is_int() && y.is_double()) return Op::doubles(static_cast<double>(x.as_int()), y.as_double());
    Value args[2] = {std::move(x), std::move(y)};
    note_line(line);
    return fallback(var_, args, 2);
  }

 private:
  Value var_;
  NodePtr a_, b_;
};

struct Add {
  static Value longs(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) overflow();
    return Value::integer(r);
  }
  static Value doubles(double a, double b) { return Value::real(a + b); }
};
struct Sub {
  static Value longs(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) overflow();
    return Value::integer(r);
  }
  static Value doubles(double a, double b) { return Value::real(a - b); }
};
struct Mul {
  static Value longs(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) overflow();
    return Value::integer(r);
  }
  static Value doubles(double a, double b) { return Value::real(a * b); }
};
#define KELP_COMPARISON(NAME, OP)                                                 \
  struct NAME {                                                                  \
    static Value longs(int64_t a, int64_t b) { return Value::boolean(a OP b); }   \
    static Value doubles(double a, double b) { return Value::boolean(a OP b); }   \
  };
KELP_COMPARISON(Lt, <)
KELP_COMPARISON(Gt, >)
KELP_COMPARISON(Le, <=)
KELP_COMPARISON(Ge, >=)
KELP_COMPARISON(NumEq, ==)
#undef KELP_COMPARISON

// = : longs compare inline; everything else is the function's business (collections, mixed numbers, ...).
class EqualsNode final : public Node {
 public:
  EqualsNode(Value var, NodePtr a, NodePtr b) : var_(std::move(var)), a_(std::move(a)), b_(std::move(b)) {}
  Value eval(Frame& f) const override {
    Value x = a_->eval(f);
    Value y = b_->eval(f);
    if (x.is_int() && y.is_int()) return Value::boolean(x.as_int() == y.as_int());
    if (x.identical(y) && !x.is_double()) return Value::boolean(true);
    Value args[2] = {std::move(x), std::move(y)};
    return fallback(var_, args, 2);
  }

 private:
  Value var_;
  NodePtr a_, b_;
};

class IdenticalNode final : public Node {
 public:
  IdenticalNode(NodePtr a, NodePtr b) : a_(std::move(a)), b_(std::move(b)) {}
  Value eval(Frame& f) const override {
    Value x = a_->eval(f);
    return Value::boolean(x.identical(b_->eval(f)));
  }

 private:
  NodePtr a_, b_;
};

// One operand; Op answers nothing (a nil Value of type Obj is impossible, so an `ok` flag tells) to fall back.
template <class Op>
class UnaryNode final : public Node {
 public:
  UnaryNode(Value var, NodePtr a) : var_(std::move(var)), a_(std::move(a)) {}
  Value eval(Frame& f) const override {
    Value x = a_->eval(f);
    bool ok = true;
    Value r;
    try {
      r = Op::apply(x, ok);
    } catch (...) {  // overflow
      note_line(line);
      throw;
    }
    if (ok) return r;
    note_line(line);
    return fallback(var_, &x, 1);
  }

 private:
  Value var_;
  NodePtr a_;
};

struct Inc {
  static Value apply(const Value& x, bool& ok) {
    if (x.is_int()) {
      if (x.as_int() == INT64_MAX) overflow();
      return Value::integer(x.as_int() + 1);
    }
    if (x.is_double()) return Value::real(x.as_double() + 1);
    ok = false;
    return {};
  }
};
struct Dec {
  static Value apply(const Value& x, bool& ok) {
    if (x.is_int()) {
      if (x.as_int() == INT64_MIN) overflow();
      return Value::integer(x.as_int() - 1);
    }
    if (x.is_double()) return Value::real(x.as_double() - 1);
    ok = false;
    return {};
  }
};
#define KELP_SIGN_TEST(NAME, OP)                                                   \
  struct NAME {                                                                   \
    static Value apply(const Value& x, bool& ok) {                                \
      if (x.is_int()) return Value::boolean(x.as_int() OP 0);                     \
      if (x.is_double()) return Value::boolean(x.as_double() OP 0.0);             \
      ok = false;                                                                 \
      return {};                                                                  \
    }                                                                             \
  };
KELP_SIGN_TEST(IsZero, ==)
KELP_SIGN_TEST(IsPos, >)
KELP_SIGN_TEST(IsNeg, <)
#undef KELP_SIGN_TEST

class IsNilNode final : public Node {
 public:
  explicit IsNilNode(NodePtr a) : a_(std::move(a)) {}
  Value eval(Frame& f) const override { return Value::boolean(a_->eval(f).is_nil()); }

 private:
  NodePtr a_;
};

class NotNode final : public Node {
 public:
  explicit NotNode(NodePtr a) : a_(std::move(a)) {}
  Value eval(Frame& f) const override { return Value::boolean(!a_->eval(f).truthy()); }

 private:
  NodePtr a_;
};

// (-field this i): a field of a deftype or defrecord instance, read by the type's inline methods.
class TypeFieldNode final : public Node {
 public:
  TypeFieldNode(Value var, NodePtr a, NodePtr b) : var_(std::move(var)), a_(std::move(a)), b_(std::move(b)) {}
  Value eval(Frame& f) const override {
    Value x = a_->eval(f);
    Value i = b_->eval(f);
    if (const rt::types::Instance* in = rt::types::as_instance(x);
        in && i.is_int() && i.as_int() >= 0 && static_cast<size_t>(i.as_int()) < in->fields().size())
      return in->fields()[static_cast<size_t>(i.as_int())];
    Value args[2] = {std::move(x), std::move(i)};
    return fallback(var_, args, 2);
  }

 private:
  Value var_;
  NodePtr a_, b_;
};

template <template <class> class N, class Op>
NodePtr binary(const Value& var, Nodes& args) {
  return std::make_unique<N<Op>>(var, std::move(args[0]), std::move(args[1]));
}

}  // namespace

NodePtr make_intrinsic(std::string_view name, const Value& var, Nodes& args) {
  if (args.size() == 2) {
    if (name == "+") return binary<BinaryNode, Add>(var, args);
    if (name == "-") return binary<BinaryNode, Sub>(var, args);
    if (name == "*") return binary<BinaryNode, Mul>(var, args);
    if (name == "<") return binary<BinaryNode, Lt>(var, args);
    if (name == ">") return binary<BinaryNode, Gt>(var, args);
    if (name == "<=") return binary<BinaryNode, Le>(var, args);
    if (name == ">=") return binary<BinaryNode, Ge>(var, args);
    if (name == "==") return binary<BinaryNode, NumEq>(var, args);
    if (name == "=") return std::make_unique<EqualsNode>(var, std::move(args[0]), std::move(args[1]));
    if (name == "identical?") return std::make_unique<IdenticalNode>(std::move(args[0]), std::move(args[1]));
    if (name == "-field") return std::make_unique<TypeFieldNode>(var, std::move(args[0]), std::move(args[1]));
  } else if (args.size() == 1) {
    if (name == "inc") return std::make_unique<UnaryNode<Inc>>(var, std::move(args[0]));
    if (name == "dec") return std::make_unique<UnaryNode<Dec>>(var, std::move(args[0]));
    if (name == "zero?") return std::make_unique<UnaryNode<IsZero>>(var, std::move(args[0]));
    if (name == "pos?") return std::make_unique<UnaryNode<IsPos>>(var, std::move(args[0]));
    if (name == "neg?") return std::make_unique<UnaryNode<IsNeg>>(var, std::move(args[0]));
    if (name == "nil?") return std::make_unique<IsNilNode>(std::move(args[0]));
    if (name == "not") return std::make_unique<NotNode>(std::move(args[0]));
  }
  return nullptr;
}

}  // namespace kelp::exec
