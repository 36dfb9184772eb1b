#include "kelp/nrepl/error_report.hpp"

#include <string_view>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::nrepl {

namespace {

constexpr std::string_view COMPILER_EXCEPTION = "clojure.lang.Compiler$CompilerException";

std::string class_name(const Value& ex) {
  return rt::is_throwable(ex) ? std::string(rt::throwable(ex).cls().name) : std::string(type_name(ex));
}

// Java's getMessage, with "null" for none, as the REPL prints it.
std::string message(const Value& ex) {
  if (!rt::is_throwable(ex)) return pr_str(ex);
  const Value& m = rt::throwable(ex).message();
  return m.is(Kind::String) ? std::string(str_view(m)) : "null";
}

// " (ArithmeticException)", or nothing for the two classes that say nothing.
std::string cause_type(const Value& ex) {
  std::string name = class_name(ex);
  std::string simple = name.substr(name.rfind('.') + 1);
  if (simple == "Exception" || simple == "RuntimeException") return "";
  return " (" + simple + ")";
}

bool is_unnamed_source(std::string_view file) {
  return file.empty() || file == "NO_SOURCE_PATH" || file == "NO_SOURCE_FILE";
}

const Value* error_field(const Value& data, std::string_view name) {
  return is_map(data) ? get(data, keyword("clojure.error", name)) : nullptr;
}

std::string field_text(const Value* v) {
  if (!v || v->is_nil()) return "";
  if (v->is(Kind::String)) return std::string(str_view(*v));
  if (v->is(Kind::Keyword)) return std::string(v->as<Keyword>().name());
  return pr_str(*v);
}

// The report of a compile-time failure, from the phase and place the compiler put in the exception's data.
std::string compile_report(const Value& ex) {
  const Value& data = rt::throwable(ex).data();
  Value cause = rt::throwable(ex).cause();
  std::string phase = field_text(error_field(data, "phase"));
  std::string source = field_text(error_field(data, "source"));
  if (is_unnamed_source(source)) source = "REPL";
  std::string loc = source + ":" + (error_field(data, "line") ? field_text(error_field(data, "line")) : "1");
  if (const Value* col = error_field(data, "column")) loc += ":" + field_text(col);
  std::string sym = field_text(error_field(data, "symbol"));
  if (!sym.empty()) sym += " ";
  const Value& described = cause.is_nil() ? ex : cause;
  std::string msg = message(described);
  std::string type = cause_type(described);
  if (phase == "read-source") return "Syntax error reading source at (" + loc + ").\n" + msg + "\n";
  if (phase == "macro-syntax-check") return "Syntax error macroexpanding " + sym + "at (" + loc + ").\n" + msg + "\n";
  if (phase == "macroexpansion")
    return "Unexpected error" + type + " macroexpanding " + sym + "at (" + loc + ").\n" + msg + "\n";
  if (phase == "compilation") return "Unexpected error" + type + " compiling " + sym + "at (" + loc + ").\n" + msg + "\n";
  return "Syntax error" + type + " compiling " + sym + "at (" + loc + ").\n" + msg + "\n";
}

}  // namespace

Value root_cause(const Value& ex) {
  Value e = ex;
  for (int depth = 0; depth < 64 && rt::is_throwable(e) && !rt::throwable(e).cause().is_nil(); ++depth)
    e = rt::throwable(e).cause();
  return e;
}

std::string class_line(const Value& ex) { return "class " + class_name(ex); }

std::string error_report(const Value& ex, int line) {
  if (rt::is_throwable(ex) && rt::throwable(ex).cls().name == COMPILER_EXCEPTION &&
      error_field(rt::throwable(ex).data(), "phase"))
    return compile_report(ex);
  // An execution error is reported by its root cause, placed at the top of the root cause's trace.
  Value root = root_cause(ex);
  std::string where;
  if (rt::is_throwable(root) && !rt::throwable(root).trace().empty()) {
    const rt::TraceElement& top = rt::throwable(root).trace().front();
    std::string file = is_unnamed_source(top.file) ? "REPL" : top.file;
    where = (top.fn.empty() ? "" : top.fn + " ") + "(" + file + (top.line > 0 ? ":" + std::to_string(top.line) : "") + ")";
  } else {
    where = "(REPL:" + std::to_string(line) + ")";
  }
  return "Execution error" + cause_type(root) + " at " + where + ".\n" + message(root) + "\n";
}

}  // namespace kelp::nrepl
