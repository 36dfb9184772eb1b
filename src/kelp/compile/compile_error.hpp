// Compile errors: clojure.lang.Compiler$CompilerException wrapping the underlying error, with the place it happened.
#pragma once

#include "kelp/data/value.hpp"
#include "kelp/read/reader.hpp"

namespace kelp::compile {

enum class Phase { COMPILE, MACROEXPAND };

// Throws "Syntax error compiling if at (file:3:7)." (or "Syntax error macroexpanding clojure.core/let at ...")
// whose ex-data carries :clojure.error/phase, line, column, source and symbol, and whose cause is `cause`.
// symbol may be nil.
[[noreturn]] void throw_compile_error(Value cause, int line, int column, const Value& symbol, Phase phase);
// Throws "Syntax error reading source at (file:L:C)." for a reader error met while loading source, with the reader's
// complaint as its cause and the place the reader had got to.
[[noreturn]] void throw_read_error(const read::ReadError& e);
bool is_compile_error(const Value& ex);

}  // namespace kelp::compile
