#include "kelp/compile/compiler.hpp"

#include <alloca.h>

#include <mutex>
#include <unordered_map>

#include "kelp/compile/analyzer.hpp"
#include "kelp/compile/compile_error.hpp"
#include "kelp/compile/forms.hpp"
#include "kelp/compile/reader_context.hpp"
#include "kelp/data/string.hpp"
#include "kelp/exec/call_trace.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::compile {

namespace {

// Macroexpansion at the top, so that a (do ...) it produces is split into top-level forms.
Value expand_top(Analyzer& a, const Value& form) {
  try {
    return a.macroexpand(form, nullptr);
  } catch (...) {
    Value ex = rt::as_throwable(std::current_exception());
    if (is_compile_error(ex) || rt::is_interrupted_exception(ex)) throw;
    throw_compile_error(ex, a.line, a.column, Value(), Phase::COMPILE);
  }
}

// A top-level form runs as the body of a function of no arguments (named evalN in the names of functions made
// inside it); its locals live in a frame on the C++ stack.
Value run_top(Analyzer& a, const Value& form) {
  FnScope top;
  top.path = std::string(rt::current_ns().name_str()) + "/eval" + std::to_string(next_id());
  RecurTarget target;
  Ctx ctx{&top, &target, true, false};
  exec::NodePtr node;
  try {
    node = a.analyze(form, ctx);
  } catch (...) {
    Value ex = rt::as_throwable(std::current_exception());
    if (is_compile_error(ex) || rt::is_interrupted_exception(ex)) throw;
    throw_compile_error(ex, a.line, a.column, Value(), Phase::COMPILE);
  }
  int n = top.max_slots;
  Value* slots = static_cast<Value*>(alloca(sizeof(Value) * (n > 0 ? n : 1)));
  exec::SlotsGuard guard(slots, n);
  exec::Frame f{slots, nullptr, nullptr, false};
  const size_t depth = exec::call_depth();
  try {
    for (;;) {
      Value v = node->eval(f);
      if (!f.recur) {
        exec::leave_call(depth);  // frames of exceptions caught in natives go too
        return v;
      }
      f.recur = false;
      rt::safe_point();
    }
  } catch (const rt::Thrown& e) {
    exec::record_trace(e.value(), depth);
    throw;
  } catch (...) {
    exec::leave_call(depth);
    throw;
  }
}

bool is_do_form(const Value& form) {
  if (!form.has(SEQ) || rt::seq(form).is_nil()) return false;
  Value op = rt::first(form);
  return is_plain_symbol(op) && sym_name(op) == "do";
}

rt::BindingFrame::Entry entry(const Value& var, Value v) { return {&rt::as_var(var), std::move(v)}; }

}  // namespace

namespace {

struct DefinitionSources {
  std::mutex mutex;
  std::unordered_map<const Object*, std::pair<Value, std::string>> by_var;
};

DefinitionSources& definition_sources() {
  static auto* d = new DefinitionSources;
  return *d;
}

// A definition read without a file that evaluated to its var: the var keeps the text it came from.
void keep_definition_source(const Value& form, const Value& result) {
  if (!result.is(Kind::Var)) return;
  read::DefinitionText& last = read::last_definition_read();
  if (!last.form || !form.is_obj() || last.form != form.obj()) return;
  DefinitionSources& d = definition_sources();
  std::lock_guard lock(d.mutex);
  d.by_var[result.obj()] = {result, std::move(last.text)};
  last.form = nullptr;
}

}  // namespace

std::optional<std::string> definition_source(const Value& var) {
  if (!var.is_obj()) return std::nullopt;
  DefinitionSources& d = definition_sources();
  std::lock_guard lock(d.mutex);
  auto it = d.by_var.find(var.obj());
  if (it == d.by_var.end()) return std::nullopt;
  return it->second.second;
}

Value eval(const Value& form) {
  rt::check_stack();
  Analyzer a;
  a.set_position(form);
  Value f = expand_top(a, form);
  if (is_do_form(f)) {
    Value last;
    for (Value s = rt::next(f); !s.is_nil(); s = rt::next(s)) last = eval(rt::first(s));
    keep_definition_source(form, last);
    return last;
  }
  Value result = run_top(a, f);
  keep_definition_source(form, result);
  return result;
}

Value macroexpand_1(const Value& form) {
  Analyzer a;
  a.set_position(form);
  return a.macroexpand_1(form, nullptr);
}

Value macroexpand(const Value& form) {
  Analyzer a;
  a.set_position(form);
  return a.macroexpand(form, nullptr);
}

namespace {

// Reads and evaluates every form of source in turn; answers the last value.
Value read_eval_all(std::string_view source, std::string_view path) {
  read::ReadOptions opts;
  if (path != "NO_SOURCE_PATH") opts.file = std::string(path);
  RuntimeReaderContext context;
  read::Reader reader(source, opts, &context);
  Value last;
  for (;;) {
    std::optional<Value> form;
    try {
      form = reader.next();
    } catch (const read::ReadError& e) {
      throw_read_error(e);
    }
    if (!form) return last;
    last = eval(*form);
  }
}

}  // namespace

Value load_string(std::string_view source, std::string_view path) {
  const rt::CoreVars& cv = rt::core_vars();
  rt::BindingScope scope({entry(cv.ns, rt::as_var(cv.ns).deref()), entry(cv.file, make_string(path)),
                          entry(cv.warn_on_reflection, rt::as_var(cv.warn_on_reflection).deref()),
                          entry(cv.unchecked_math, rt::as_var(cv.unchecked_math).deref())});
  return read_eval_all(source, path);
}

Value eval_string(std::string_view source, std::string_view path) {
  const rt::CoreVars& cv = rt::core_vars();
  rt::BindingScope scope({entry(cv.file, make_string(path)),
                          entry(cv.warn_on_reflection, rt::as_var(cv.warn_on_reflection).deref()),
                          entry(cv.unchecked_math, rt::as_var(cv.unchecked_math).deref())});
  return read_eval_all(source, path);
}

bool is_special(const Value& sym) { return is_special_name(sym); }

}  // namespace kelp::compile
