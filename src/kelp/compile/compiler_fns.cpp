// clojure.core functions that reach the compiler and the reader: eval, macroexpand, load-string, read-string, read,
// special-symbol?, gensym.
#include "kelp/compile/analyzer.hpp"
#include "kelp/compile/compiler.hpp"
#include "kelp/compile/form_scanner.hpp"
#include "kelp/compile/reader_context.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/read/reader_conditional.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib {

namespace {

[[noreturn]] void eof_error() { rt::throw_error("java.lang.RuntimeException", "EOF while reading"); }

// Reader options from a map like {:read-cond :allow, :eof :x, :features #{:cljs}}; eof answers the :eof entry.
read::ReadOptions options_from(const Value& opts, bool* has_eof, Value* eof) {
  read::ReadOptions o;
  o.allow_reader_conditionals = false;
  if (opts.is_nil()) return o;
  if (const Value* rc = get(opts, keyword("read-cond"))) {
    o.allow_reader_conditionals = *rc == keyword("allow") || *rc == keyword("preserve");
    o.preserve_reader_conditionals = *rc == keyword("preserve");
  }
  if (const Value* f = get(opts, keyword("features"))) {
    o.features.clear();
    o.features.push_back("kelp");
    o.features.push_back("clj");
    if (f->is_obj()) {
      f->obj()->each([&](const Value& k) {
        if (is_keyword(k)) o.features.push_back(std::string(k.as<Keyword>().name()));
        return true;
      });
    }
  }
  if (const Value* e = get(opts, keyword("eof"))) {
    *has_eof = true;
    *eof = *e;
  }
  return o;
}

// A string has no lines to speak of: "EOF while reading", not "..., starting at line 1", as read-string says.
std::string_view without_line(std::string_view message) {
  constexpr std::string_view STARTING = ", starting at line";
  size_t at = message.find(STARTING);
  return at == std::string_view::npos ? message : message.substr(0, at);
}

Value read_text(std::string_view text, const read::ReadOptions& o, bool has_eof, const Value& eof,
                bool from_string = false) {
  compile::RuntimeReaderContext context;
  std::optional<Value> v;
  try {
    v = read::read_one(text, o, &context);
  } catch (const read::ReadError& e) {
    // Reading from a string or a plain stream reports no position, as JVM Clojure's read-string does.
    rt::throw_error("java.lang.RuntimeException", from_string ? without_line(e.what()) : e.what());
  }
  if (v) return *v;
  if (has_eof) return eof;
  eof_error();
}

Value read_string(rt::Args a) {
  Value opts = a.size() == 2 ? a[0] : Value();
  const Value& s = a.back();
  if (!s.is(Kind::String))
    rt::throw_class_cast("class " + std::string(type_name(s)) + " cannot be cast to class java.lang.String");
  bool has_eof = false;
  Value eof;
  read::ReadOptions o = options_from(opts, &has_eof, &eof);
  return read_text(str_view(s), o, has_eof, eof, true);
}

// (read) (read stream) (read stream eof-error? eof-value) (read stream eof-error? eof-value recursive?)
// (read opts stream)
Value read_form(rt::Args a) {
  Value stream = rt::current_in();
  Value opts;
  bool has_eof = false;
  Value eof;
  if (a.size() == 2) {
    opts = a[0];
    stream = a[1];
  } else if (!a.empty()) {
    stream = a[0];
  }
  read::ReadOptions o = options_from(opts, &has_eof, &eof);
  if (a.size() >= 3) {
    has_eof = !a[1].truthy();
    eof = a[2];
  }
  std::string text = compile::scan_form(rt::as_input(stream));
  if (text.empty()) {
    if (has_eof) return eof;
    eof_error();
  }
  return read_text(text, o, has_eof, eof);
}

Value reader_conditional(rt::Args a) { return read::make_reader_conditional(a[0], a[1].truthy()); }
Value is_reader_conditional(rt::Args a) { return Value::boolean(read::as_reader_conditional(a[0]) != nullptr); }

Value eval_fn(rt::Args a) { return compile::eval(a[0]); }
Value macroexpand_1_fn(rt::Args a) { return compile::macroexpand_1(a[0]); }
Value macroexpand_fn(rt::Args a) { return compile::macroexpand(a[0]); }
Value special_symbol(rt::Args a) { return Value::boolean(compile::is_special(a[0])); }
Value load_string_fn(rt::Args a) {
  if (!a[0].is(Kind::String))
    rt::throw_class_cast("class " + std::string(type_name(a[0])) + " cannot be cast to class java.lang.String");
  return compile::load_string(str_view(a[0]));
}

Value gensym(rt::Args a) {
  std::string prefix = "G__";
  if (!a.empty()) {
    const Value& p = a[0];
    prefix = p.is(Kind::String) ? std::string(str_view(p))
             : is_symbol(p)     ? std::string(p.as<Symbol>().name())
                                : pr_str(p);
  }
  return symbol(prefix + std::to_string(compile::next_id()));
}

}  // namespace

void install_compiler_fns() {
  rt::Namespace* core = rt::core_vars().core;
  defn(core, "eval", 1, 1, eval_fn,
       {"([form])", "Evaluates the form data structure (not text!) and returns the result."});
  defn(core, "macroexpand-1", 1, 1, macroexpand_1_fn,
       {"([form])", "If form represents a macro form, returns its expansion, else returns form."});
  defn(core, "macroexpand", 1, 1, macroexpand_fn,
       {"([form])",
        "Repeatedly calls macroexpand-1 on form until it no longer represents a macro form, then returns it."});
  defn(core, "load-string", 1, 1,
       load_string_fn,
       {"([s])", "Sequentially read and evaluate the set of forms contained in the string"});
  defn(core, "read-string", 1, 2, read_string,
       {"([s] [opts s])", "Reads one object from the string s. Optionally include reader options, as in read."});
  defn(core, "read", 0, 4, read_form,
       {"([] [stream] [stream eof-error? eof-value] [stream eof-error? eof-value recursive?] [opts stream])",
        "Reads the next object from stream, which must be an instance of java.io.PushbackReader."});
  defn(core, "reader-conditional", 2, 2, reader_conditional,
       {"([form splicing?])",
        "Construct a data representation of a reader conditional. If true, splicing? indicates read-cond-splicing."});
  defn(core, "reader-conditional?", 1, 1, is_reader_conditional,
       {"([value])", "Return true if the value is the data representation of a reader conditional"});
  defn(core, "special-symbol?", 1, 1, special_symbol,
       {"([s])", "Returns true if s names a special form"});
  defn(core, "gensym", 0, 1, gensym,
       {"([] [prefix-string])",
        "Returns a new symbol with a unique name. If a prefix string is supplied, the name is prefix# where # is "
        "some unique number. If prefix is not supplied, the prefix is 'G__'."});
}

}  // namespace kelp::lib
