// The process as a program sees it: shutdown hooks and exit, the termination signals, threads made with
// (Thread. f), and the process's standard input as System/in.
#pragma once

#include <string_view>

#include "kelp/data/value.hpp"
#include "kelp/rt/fn.hpp"

namespace kelp::lib::process {

// Runs the shutdown hooks once, in the order they were added; later calls do nothing. Errors in a hook are
// ignored, as the JVM ignores them.
void run_shutdown_hooks();
// (System/exit status): the hooks, then the buffered output, then the end of the process. A second exit from
// another thread while the first runs the hooks waits for it, as on the JVM.
[[noreturn]] void exit(int status);

// System/in: a byte stream over file descriptor 0.
Value standard_input();
// The methods of the stream and of threads made here; false when target is neither or the method is unknown.
bool call_method(const Value& target, std::string_view method, rt::Args args, Value* out);
// (Thread. f) and (Thread. f name); *found false when the arguments fit neither.
Value construct_thread(rt::Args args, bool* found);

}  // namespace kelp::lib::process
