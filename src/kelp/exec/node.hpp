// Executable nodes: what the analyzer turns forms into. A node runs against the frame of the function invocation
// it belongs to; locals live in the frame's slots, closed-over values in the running closure.
#pragma once

#include <memory>
#include <vector>

#include "kelp/data/value.hpp"

namespace kelp::exec {

class Closure;

struct Frame {
  Value* slots = nullptr;           // this invocation's locals, sized by the analyzer
  const Value* captured = nullptr;  // the running closure's closed-over values
  const Closure* self = nullptr;    // the running closure (what a named fn's own name evaluates to)
  bool recur = false;               // set by recur after it wrote the loop's slots; the loop clears it
};

class Node {
 public:
  virtual ~Node() = default;
  virtual Value eval(Frame& f) const = 0;
  // A constant node answers its value without running (for folding literals and building case tables).
  virtual const Value* constant() const { return nullptr; }
  int line = 0;
  int column = 0;
};

using NodePtr = std::unique_ptr<Node>;
using Nodes = std::vector<NodePtr>;

// Destroys the values placed in a slot array when the invocation leaves, however it leaves.
struct SlotsGuard {
  Value* slots;
  int n;
  SlotsGuard(Value* s, int count) : slots(s), n(count) {
    for (int i = 0; i < n; ++i) new (&slots[i]) Value();
  }
  ~SlotsGuard() {
    for (int i = 0; i < n; ++i) slots[i].~Value();
  }
  SlotsGuard(const SlotsGuard&) = delete;
  SlotsGuard& operator=(const SlotsGuard&) = delete;
};

}  // namespace kelp::exec
