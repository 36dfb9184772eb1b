// Functions made by fn*: the shared code of every arity, and closures carrying the values they closed over.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "kelp/exec/node.hpp"
#include "kelp/rt/fn.hpp"

namespace kelp::exec {

struct Arity {
  int required = 0;   // fixed parameters
  bool variadic = false;
  int nslots = 0;     // locals of one invocation, parameters first
  NodePtr body;
};

// Where a closure finds a closed-over value when it is made: a slot of the enclosing frame, a value the enclosing
// closure itself captured, or the enclosing closure itself (its own name).
struct CaptureSource {
  enum Kind : uint8_t { SLOT, CAPTURED, SELF } kind;
  int index;
  bool operator==(const CaptureSource&) const = default;
};

struct FnCode {
  std::string name;  // "user/f", "user/eval12/fn--13"
  std::string file;  // where it was defined, for stack traces ("" when read from a string)
  int line = 0;
  std::vector<Arity> arities;
  static constexpr int DIRECT = 8;
  std::array<int8_t, DIRECT> by_argc{};  // arity index for argument counts below DIRECT, -1 when none fits
  std::vector<CaptureSource> captures;

  // Fills by_argc once the arities are known.
  void index_arities();
  const Arity* pick(size_t argc) const;
};

struct LetfnGroup;

class Closure final : public rt::Fn {
 public:
  Closure(std::shared_ptr<const FnCode> code, std::vector<Value> captured, Value meta = {},
          std::shared_ptr<const LetfnGroup> group = nullptr)
      : rt::Fn(std::move(meta)), code_(std::move(code)), captured_(std::move(captured)), group_(std::move(group)) {}
  Value invoke(rt::Args args) const override;
  std::string display_name() const override { return code_->name; }
  Value with_meta(const Value& m) const override;
  const FnCode& code() const { return *code_; }
  const std::shared_ptr<const LetfnGroup>& group() const { return group_; }

 private:
  std::shared_ptr<const FnCode> code_;
  std::vector<Value> captured_;
  std::shared_ptr<const LetfnGroup> group_;
};

// The functions of one letfn. They refer to each other, but must not hold each other (a cycle of counted
// references is never freed), so each captures a marker in place of a sibling, and a marker read while running
// makes a fresh closure of that sibling over the group. Closures hold the group; the group holds no closure.
struct LetfnGroup {
  std::vector<std::shared_ptr<const FnCode>> codes;
  std::vector<std::vector<Value>> captured;
  std::vector<Value> metas;
};

// The marker standing for the group's function number i.
Value sibling_marker(size_t i);
// A captured value as the running code sees it: a sibling marker becomes that sibling's closure.
Value resolve_captured(const Value& v, const Closure* running);
inline bool is_sibling_marker(const Value& v) { return v.is(Kind::Other) && v.obj()->type_name() == "letfn sibling"; }

}  // namespace kelp::exec
