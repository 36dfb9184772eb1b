// The compiler: forms to a tree of executable nodes, and evaluation.
//
// Macros expand once, at analysis; locals resolve to frame slots; global names resolve to var cells; the result is
// a tree of nodes that runs without looking at forms again.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp::compile {

// Analyzes and runs one form in the current namespace. Throws rt::Thrown; a compile error is a
// clojure.lang.Compiler$CompilerException-like exception whose ex-data carries :clojure.error/line and
// :clojure.error/column (and :clojure.error/source), with the cause attached.
Value eval(const Value& form);
// The text a var was defined by, kept for definitions read without a file (the REPL, -e, an editor's eval).
std::optional<std::string> definition_source(const Value& var);
Value macroexpand_1(const Value& form);
Value macroexpand(const Value& form);
// Reads and evaluates every form of the text in turn (reader errors included), binding *ns*, *file*,
// *warn-on-reflection* and *unchecked-math* for the duration, as loading a file does. Answers the last value.
Value load_string(std::string_view source, std::string_view path = "NO_SOURCE_PATH");
// The same loop without rebinding *ns*: an in-ns or ns form in the text moves the caller's current namespace (a
// REPL line that says (ns foo) switches the REPL). *ns* must be bound on this thread.
Value eval_string(std::string_view source, std::string_view path = "NO_SOURCE_PATH");
// Is sym one of the special forms (def, if, do, let*, ...)?
bool is_special(const Value& sym);

}  // namespace kelp::compile
