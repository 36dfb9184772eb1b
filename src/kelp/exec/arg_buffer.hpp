// Arguments of a call, evaluated into an array on the C++ stack: calls allocate nothing on the heap.
#pragma once

#include <alloca.h>

#include <new>

#include "kelp/exec/node.hpp"
#include "kelp/rt/fn.hpp"

namespace kelp::exec {

// Owns the values constructed so far in caller-provided storage; destroys them however the call ends.
class ArgBuffer {
 public:
  explicit ArgBuffer(Value* storage) : p_(storage) {}
  ~ArgBuffer() {
    for (size_t i = 0; i < n_; ++i) p_[i].~Value();
  }
  ArgBuffer(const ArgBuffer&) = delete;
  ArgBuffer& operator=(const ArgBuffer&) = delete;
  void push(Value v) { new (&p_[n_++]) Value(std::move(v)); }
  rt::Args args() const { return rt::Args(p_, n_); }

 private:
  Value* p_;
  size_t n_ = 0;
};

}  // namespace kelp::exec

// Evaluates `nodes` in order into a stack array named `buf` (alloca must run in the calling function's frame).
#define KELP_EVAL_ARGS(buf, nodes, frame)                                                              \
  ::kelp::exec::ArgBuffer buf(static_cast<::kelp::Value*>(alloca(sizeof(::kelp::Value) * ((nodes).size() + 1)))); \
  for (const ::kelp::exec::NodePtr& kelp_arg_node_ : (nodes)) buf.push(kelp_arg_node_->eval(frame))
