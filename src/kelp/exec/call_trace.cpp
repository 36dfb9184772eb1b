#include "kelp/exec/call_trace.hpp"

#include <algorithm>

#include "kelp/exec/closure.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::exec {

void record_trace(const Value& ex, size_t base) {
  CallTrace& t = call_trace;
  if (t.depth > base && rt::is_throwable(ex) && rt::throwable(ex).trace().empty()) {
    const size_t top = std::min(t.depth, CallTrace::CAPACITY);
    std::vector<rt::TraceElement> trace;
    trace.reserve(top);
    for (size_t i = top; i-- > 0;) {
      const FnCode& code = *t.frames[i];
      trace.push_back({code.name, code.file, t.lines[i] > 0 ? t.lines[i] : code.line});
    }
    rt::throwable(ex).set_trace(std::move(trace));
  }
  if (t.depth > base) t.depth = base;
}

}  // namespace kelp::exec
