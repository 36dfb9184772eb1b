#include "kelp/compile/compile_error.hpp"

#include <string>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::compile {

namespace {

constexpr std::string_view COMPILER_EXCEPTION = "clojure.lang.Compiler$CompilerException";

// The source being compiled, or empty when it has no name worth showing.
std::string current_source() {
  const Value& file_var = rt::core_vars().file;
  if (file_var.is_nil()) return {};
  Value f = file_var.as<rt::Var>().deref();
  if (!f.is(Kind::String)) return {};
  std::string s(str_view(f));
  if (s == "NO_SOURCE_PATH" || s == "NO_SOURCE_FILE") return {};
  return s;
}

}  // namespace

void throw_compile_error(Value cause, int line, int column, const Value& symbol, Phase phase) {
  std::string source = current_source();
  std::string msg = phase == Phase::MACROEXPAND ? "Syntax error macroexpanding" : "Syntax error compiling";
  if (!symbol.is_nil()) msg += " " + pr_str(symbol);
  msg += " at (";
  if (!source.empty()) msg += source + ":";
  msg += std::to_string(line) + ":" + std::to_string(column) + ").";
  std::vector<Value> kvs{
      keyword("clojure.error", "phase"),
      keyword(phase == Phase::MACROEXPAND ? "macro-syntax-check" : "compile-syntax-check"),
      keyword("clojure.error", "line"), Value::integer(line),
      keyword("clojure.error", "column"), Value::integer(column)};
  if (!source.empty()) {
    kvs.push_back(keyword("clojure.error", "source"));
    kvs.push_back(make_string(source));
  }
  if (!symbol.is_nil()) {
    kvs.push_back(keyword("clojure.error", "symbol"));
    kvs.push_back(symbol);
  }
  rt::throw_value(rt::make_throwable(COMPILER_EXCEPTION, msg, make_map(kvs), std::move(cause)));
}

namespace {
// The exception class JVM Clojure's reader raises for a complaint.
std::string_view read_error_class(std::string_view message) {
  if (message.starts_with("Duplicate key")) return "java.lang.IllegalArgumentException";
  if (message.starts_with("Invalid number")) return "java.lang.NumberFormatException";
  return "java.lang.RuntimeException";
}
}  // namespace

void throw_read_error(const read::ReadError& e) {
  std::string source = current_source();
  const int line = e.end_line > 0 ? e.end_line : e.line;
  const int column = e.end_line > 0 ? e.end_column : e.column;
  std::string msg = "Syntax error reading source at (" + (source.empty() ? "" : source + ":") + std::to_string(line) +
                    ":" + std::to_string(column) + ").";
  std::vector<Value> kvs{keyword("clojure.error", "phase"), keyword("read-source"),
                         keyword("clojure.error", "line"), Value::integer(line),
                         keyword("clojure.error", "column"), Value::integer(column)};
  if (!source.empty()) {
    kvs.push_back(keyword("clojure.error", "source"));
    kvs.push_back(make_string(source));
  }
  Value cause = rt::make_throwable(read_error_class(e.what()), e.what(), Value(), Value());
  rt::throw_value(rt::make_throwable(COMPILER_EXCEPTION, msg, make_map(kvs), std::move(cause)));
}

bool is_compile_error(const Value& ex) {
  return rt::is_throwable(ex) && rt::throwable(ex).cls().name == COMPILER_EXCEPTION;
}

}  // namespace kelp::compile
