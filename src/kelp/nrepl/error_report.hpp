// How an evaluation's exception reads in an nREPL reply: the two-line text JVM Clojure's REPL prints (the phase,
// class and place, then the message) and the class names of the exception and of its root cause.
#pragma once

#include <string>

#include "kelp/data/value.hpp"

namespace kelp::nrepl {

// "Execution error (ArithmeticException) at user/eval1 (REPL:1).\nDivide by zero\n", or for a compile or read
// error "Syntax error compiling at (REPL:1:1).\nUnable to resolve symbol: x in this context\n". Code with no file
// is placed at "REPL"; an exception whose trace names no place is placed at line (the failing form's). The exception
// class is left out when it is Exception or RuntimeException, as JVM Clojure leaves it out.
std::string error_report(const Value& ex, int line = 1);
// "class java.lang.ArithmeticException": the class of ex itself (for :ex) or of its last cause (for :root-ex).
std::string class_line(const Value& ex);
Value root_cause(const Value& ex);

}  // namespace kelp::nrepl
