// The Clojure functions active on this thread, for the stack trace of an exception.
//
// Each invocation of a compiled function writes its code into the next place of a fixed per-thread array and, when
// it returns normally, puts the depth back to what it found. Unwinding does not pop: the frames an exception left
// stay in the array until a catch records them into the exception's trace and cuts the depth back to its own. This
// keeps a call's cost at a store and two depth updates, with no destructor on the unwinding path.
#pragma once

#include <cstddef>

#include "kelp/data/value.hpp"

namespace kelp::exec {

struct FnCode;

struct CallTrace {
  static constexpr size_t CAPACITY = 512;  // deeper frames are counted but not remembered
  const FnCode* frames[CAPACITY];
  int lines[CAPACITY];  // each frame's current line: its last call's, else where the function was defined
  size_t depth = 0;
};

inline thread_local CallTrace call_trace;

// Entering a function: answers the depth to restore on a normal return.
inline size_t enter_call(const FnCode* code) {
  CallTrace& t = call_trace;
  const size_t d = t.depth;
  if (d < CallTrace::CAPACITY) {
    t.frames[d] = code;
    t.lines[d] = 0;
  }
  t.depth = d + 1;
  return d;
}
// A call (or a throw) at line is about to happen in the innermost frame: a trace taken from inside it names that
// line, as a JVM stack trace names the line each frame is executing.
inline void note_line(int line) {
  CallTrace& t = call_trace;
  const size_t d = t.depth;
  if (line > 0 && d > 0 && d <= CallTrace::CAPACITY) t.lines[d - 1] = line;
}
inline void leave_call(size_t depth) { call_trace.depth = depth; }
inline size_t call_depth() { return call_trace.depth; }

// At a catch whose frame was at depth `base`: gives ex (when it is an exception without a trace yet) the functions
// that were active when it was thrown, innermost first, then forgets the frames above base.
void record_trace(const Value& ex, size_t base);

}  // namespace kelp::exec
