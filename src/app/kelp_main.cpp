// The kelp command-line tool: evaluate expressions, run files and namespaces, or talk to a REPL.
//
//   kelp [-Sdeps EDN] [-cp PATHS] [-i FILE | -e EXPR]... [FILE | -m NS | -] [ARGS...]
//
// Options run in order, as clojure.main runs them; FILE, `-m NS` or `-` ends the options and the words after it
// become *command-line-args*. With no options at all kelp is a REPL: prompts on a terminal, and without prompts
// when standard input is a pipe or a file. Source folders come from -cp, else from ./deps.edn and -Sdeps, else
// ./src when present.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kelp/compile/compiler.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"
#include "kelp/lib/ns_loading.hpp"
#include "kelp/lib/deps.hpp"
#include "kelp/lib/host_process.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace {

using namespace kelp;

constexpr std::string_view VERSION = "kelp 0.1";

constexpr std::string_view USAGE =
    "Usage: kelp [options] [FILE | -m NS | -] [ARGS...]\n"
    "\n"
    "With no arguments kelp starts a REPL (without prompts when standard input is not a terminal).\n"
    "\n"
    "  -e, --eval EXPR       evaluate the forms of EXPR in user, printing each non-nil value\n"
    "  -i, --init FILE       load FILE\n"
    "  -m, --main NS         require NS and call its -main with ARGS\n"
    "  FILE                  load FILE with *command-line-args* bound to ARGS\n"
    "  -                     run the program read from standard input\n"
    "  -cp, --classpath DIRS source folders for require, separated by ':' (default: deps.edn's :paths,\n"
    "                        else src when present)\n"
    "  -Sdeps EDN            a deps map merged over ./deps.edn: {:paths [...] :deps {lib {:local/root DIR}}};\n"
    "                        nrepl/nrepl is built in, other git and Maven libraries are not fetched\n"
    "  -r, --repl            start a REPL after the options\n"
    "  -h, --help            print this help\n"
    "      --version         print the version\n"
    "\n"
    "-e and -i run in the order given. An uncaught exception prints \"Unhandled exception:\" and exits 1;\n"
    "(System/exit n) exits with n.\n";

enum class MainMode { None, Repl, File, Stdin, Ns };

struct Init {
  bool is_eval;  // -e EXPR, else -i FILE
  std::string text;
};

struct Options {
  std::vector<Init> inits;
  MainMode mode = MainMode::None;
  std::string target;  // the file or namespace
  std::vector<std::string> args;
  std::optional<std::string> classpath;
  std::optional<std::string> sdeps;
  std::vector<std::string> roots;  // resolved before the program runs
  bool help = false, version = false;
  std::string error;  // a usage error
};

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    auto value = [&](std::string_view flag) -> std::optional<std::string> {
      if (i + 1 < argc) return std::string(argv[++i]);
      o.error = "kelp: " + std::string(flag) + " needs an argument";
      return std::nullopt;
    };
    auto rest = [&] { o.args.assign(argv + i + 1, argv + argc); };
    if (a == "-e" || a == "--eval") {
      if (auto v = value(a)) o.inits.push_back({true, *v}); else return o;
    } else if (a == "-i" || a == "--init") {
      if (auto v = value(a)) o.inits.push_back({false, *v}); else return o;
    } else if (a == "-Sdeps") {
      if (auto v = value(a)) o.sdeps = *v; else return o;
    } else if (a == "-cp" || a == "--classpath") {
      if (auto v = value(a)) o.classpath = *v; else return o;
    } else if (a == "-h" || a == "--help" || a == "-?") {
      o.help = true;
      return o;
    } else if (a == "--version") {
      o.version = true;
      return o;
    } else if (a == "-r" || a == "--repl") {
      o.mode = MainMode::Repl;
      rest();
      return o;
    } else if (a == "-m" || a == "--main") {
      if (auto v = value(a)) o.target = *v; else return o;
      o.mode = MainMode::Ns;
      rest();
      return o;
    } else if (a == "-") {
      o.mode = MainMode::Stdin;
      rest();
      return o;
    } else if (a.size() > 1 && a[0] == '-') {
      o.error = "kelp: unknown option " + std::string(a) + " (kelp -h for help)";
      return o;
    } else {
      o.mode = MainMode::File;
      o.target = std::string(a);
      rest();
      return o;
    }
  }
  // Like clojure.main: no arguments at all is a REPL; options alone run and exit.
  if (argc == 1) o.mode = MainMode::Repl;
  return o;
}

// --- runtime helpers --------------------------------------------------------------------------------------------

Value core_fn(std::string_view name) { return rt::core_vars().core->find(symbol(name)); }
rt::Var& core_var(const Value& v) { return rt::as_var(v); }

void flush_all() {
  const rt::CoreVars& cv = rt::core_vars();
  rt::out_flush();
  rt::as_writer(core_var(cv.out).root()).flush();
  rt::as_writer(core_var(cv.err).root()).flush();
}

std::string class_name(const Value& ex) {
  return rt::is_throwable(ex) ? std::string(rt::throwable(ex).cls().name) : std::string(kelp::type_name(ex));
}
std::string simple_class_name(const Value& ex) {
  if (rt::is_throwable(ex)) return std::string(rt::throwable(ex).cls().simple_name());
  std::string n = class_name(ex);
  return n.substr(n.rfind('.') + 1);
}
std::string message_of(const Value& ex) {
  if (!rt::is_throwable(ex)) return pr_str(ex);
  const Value& m = rt::throwable(ex).message();
  return m.is(Kind::String) ? std::string(str_view(m)) : std::string();
}
Value cause_of(const Value& ex) { return rt::is_throwable(ex) ? rt::throwable(ex).cause() : Value(); }
bool is_compiler_exception(const Value& ex) {
  return rt::is_throwable(ex) && rt::throwable(ex).cls().simple_name().find("CompilerException") != std::string::npos;
}

// Text printed with the runtime's own pr (so *print-length* and friends apply), falling back to the printer.
std::string printed(const Value& v) {
  try {
    Value s = rt::call(core_fn("pr-str"), {v});
    if (s.is(Kind::String)) return std::string(str_view(s));
  } catch (...) {
  }
  return pr_str(v);
}

// "Unhandled exception: MESSAGE" and the detail lines below it: the class, ex-data, the causes and a short trace.
void report_unhandled(const Value& ex) {
  std::string out = "Unhandled exception: " + message_of(ex) + "\n";
  Value e = ex;
  for (int depth = 0; !e.is_nil() && depth < 8; ++depth, e = cause_of(e)) {
    if (depth > 0) out += "Caused by: " + message_of(e) + "\n";
    out += "  class: " + class_name(e) + "\n";
    if (rt::is_throwable(e) && !rt::throwable(e).data().is_nil())
      out += "  data: " + printed(rt::throwable(e).data()) + "\n";
    if (rt::is_throwable(e)) {
      const auto& trace = rt::throwable(e).trace();
      for (size_t i = 0; i < trace.size() && i < 12; ++i) {
        const auto& t = trace[i];
        out += "  at " + t.fn;
        if (!t.file.empty()) out += " (" + t.file + (t.line > 0 ? ":" + std::to_string(t.line) : "") + ")";
        out += "\n";
      }
    }
  }
  rt::out_flush();
  rt::err_write(out);
  rt::as_writer(rt::current_err()).flush();
}

// The REPL's two-line report, as JVM Clojure's REPL words it: the phase and class, then the message.
void report_repl_error(const Value& ex) {
  std::string out;
  if (is_compiler_exception(ex)) {
    Value cause = cause_of(ex);
    out = message_of(ex) + "\n" + (cause.is_nil() ? std::string() : message_of(cause) + "\n");
  } else {
    out = "Execution error (" + simple_class_name(ex) + ")";
    if (rt::is_throwable(ex) && !rt::throwable(ex).trace().empty()) {
      const auto& top = rt::throwable(ex).trace().front();
      out += " at " + top.fn;
      if (!top.file.empty()) out += " (" + top.file + (top.line > 0 ? ":" + std::to_string(top.line) : "") + ")";
    }
    out += ".\n" + message_of(ex) + "\n";
  }
  rt::out_flush();
  rt::err_write(out);
  rt::as_writer(rt::current_err()).flush();
}

std::optional<std::string> slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void load_file(const std::string& path) {
  std::optional<std::string> text = slurp(path);
  if (!text) rt::throw_error("java.io.FileNotFoundException", path + " (No such file or directory)");
  compile::load_string(*text, path);
}

// Reads the forms of *in* one at a time with clojure.core/read, so that each form is read in the namespace the
// previous ones left (in-ns, aliases and ::keywords work as in a file).
class FormSource {
 public:
  FormSource() : eof_(Value::adopt(new rt::StringInput(""))), read_(core_fn("read")) {}
  // The next form, or nullopt at the end of input. Reader errors throw.
  std::optional<Value> next() {
    Value form = rt::call(read_, {rt::current_in(), Value::boolean(false), eof_});
    if (form.identical(eof_)) return std::nullopt;
    return form;
  }

 private:
  Value eof_;
  Value read_;
};

// Evaluates each form of text, printing non-nil values with prn (kelp -e).
void eval_and_print(const std::string& text) {
  const rt::CoreVars& cv = rt::core_vars();
  rt::BindingScope in_scope({{&core_var(cv.in), Value::adopt(new rt::StringInput(text))}});
  FormSource forms;
  Value prn = core_fn("prn");
  while (std::optional<Value> form = forms.next()) {
    Value v = compile::eval(*form);
    if (!v.is_nil()) rt::call(prn, {v});
  }
}

// --- Ctrl-C in an interactive REPL: stops the running evaluation; at the prompt it ends kelp. ---------------------

std::mutex g_eval_mutex;
rt::TokenPtr g_eval_token;  // the evaluation running now, or null at the prompt

void watch_interrupts() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // every thread started after this inherits the mask
  std::thread([set] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      std::lock_guard<std::mutex> g(g_eval_mutex);
      if (g_eval_token) {
        g_eval_token->fire();
      } else {
        flush_all();
        std::_Exit(130);
      }
    }
  }).detach();
}

class EvalTokenScope {
 public:
  EvalTokenScope() : token_(std::make_shared<rt::InterruptToken>()), scope_(token_) {
    std::lock_guard<std::mutex> g(g_eval_mutex);
    g_eval_token = token_;
  }
  ~EvalTokenScope() {
    std::lock_guard<std::mutex> g(g_eval_mutex);
    g_eval_token.reset();
  }

 private:
  rt::TokenPtr token_;
  rt::TokenScope scope_;
};

// Skips what is left of the current input line (after a reader error, as JVM Clojure's REPL does).
void skip_line() {
  rt::InputReader& in = rt::as_input(rt::current_in());
  for (int32_t c = in.read_char(); c != -1 && c != '\n'; c = in.read_char()) {
  }
}

// The read-eval-print loop over *in*. Answers whether every form succeeded.
bool repl(bool prompts) {
  const rt::CoreVars& cv = rt::core_vars();
  // As JVM Clojure's REPL: doc, source, pprint and the rest at hand in the namespace the REPL starts in.
  kelp::lib::refer_repl(rt::current_ns(), kelp::lib::repl_requires());
  rt::BindingScope scope({{&core_var(cv.star1), Value()},
                          {&core_var(cv.star2), Value()},
                          {&core_var(cv.star3), Value()},
                          {&core_var(cv.stare), Value()}});
  FormSource forms;
  Value prn = core_fn("prn");
  bool ok = true;
  for (;;) {
    if (prompts) {
      rt::out_write(std::string(rt::current_ns().name_str()) + "=> ");
      rt::out_flush();
    }
    try {
      std::optional<Value> form;
      try {
        form = forms.next();
      } catch (...) {
        if (prompts) skip_line();
        throw;
      }
      if (!form) break;
      Value v;
      {
        std::optional<EvalTokenScope> token;
        if (prompts) token.emplace();
        v = compile::eval(*form);
        rt::call(prn, {v});
      }
      core_var(cv.star3).set(core_var(cv.star2).deref());
      core_var(cv.star2).set(core_var(cv.star1).deref());
      core_var(cv.star1).set(v);
    } catch (...) {
      Value ex = rt::as_throwable(std::current_exception());
      ok = false;
      core_var(cv.stare).set(ex);
      report_repl_error(ex);
    }
  }
  if (prompts) rt::out_write("\n");
  return ok;
}

void run_main_ns(const std::string& ns, const std::vector<std::string>& args) {
  Value sym = symbol(ns);
  rt::loader::load_lib(sym, false);
  rt::Namespace* n = rt::find_ns(sym);
  if (!n) rt::throw_error("java.io.FileNotFoundException", "Could not locate namespace " + ns);
  Value main = n->find(symbol("-main"));
  if (main.is_nil()) rt::throw_illegal_argument("Cannot find -main in namespace " + ns);
  std::vector<Value> argv;
  for (const auto& a : args) argv.push_back(make_string(a));
  rt::call(main, rt::Args(argv.data(), argv.size()));
}

// The source folders: -cp's, else deps.edn's and -Sdeps's, else src when present. nullopt after printing why the
// dependencies cannot be had.
std::optional<std::vector<std::string>> source_roots(const Options& o) {
  std::vector<std::string> roots;
  if (o.classpath) {
    std::string_view cp = *o.classpath;
    while (!cp.empty()) {
      size_t colon = cp.find(':');
      std::string_view part = cp.substr(0, colon);
      if (!part.empty()) roots.emplace_back(part);
      cp = colon == std::string_view::npos ? std::string_view() : cp.substr(colon + 1);
    }
    return roots;
  }
  auto resolved = deps::source_roots(std::filesystem::path(), o.sdeps);
  if (!resolved) {
    std::fprintf(stderr, "%s\n", resolved.failure().message.c_str());
    return std::nullopt;
  }
  if (*resolved) return **resolved;
  if (access("src", F_OK) == 0) roots.emplace_back("src");
  return roots;
}

Value command_line_args(const std::vector<std::string>& args) {
  if (args.empty()) return Value();
  std::vector<Value> items;
  for (const auto& a : args) items.push_back(make_string(a));
  return make_list(items);
}

// Runs the whole program (on a thread with a deep stack). Answers the exit status.
int run(const Options& o) {
  const rt::CoreVars& cv = rt::core_vars();
  int status = 0;
  try {
    rt::loader::set_source_roots(o.roots);
    core_var(cv.command_line_args).bind_root(command_line_args(o.args));
    // *ns* is bound for the whole run so that in-ns in one -e carries over to the next; maps print in the
    // namespaced shorthand. Both as clojure.main binds them.
    rt::BindingScope ns_scope({{&core_var(cv.ns), rt::ns_value(cv.user)},
                               {&core_var(cv.print_namespace_maps), Value::boolean(true)}});
    for (const Init& init : o.inits) {
      if (init.is_eval) eval_and_print(init.text);
      else load_file(init.text);
    }
    switch (o.mode) {
      case MainMode::None:
        break;
      case MainMode::File:
        load_file(o.target);
        break;
      case MainMode::Ns:
        run_main_ns(o.target, o.args);
        break;
      case MainMode::Stdin: {
        std::ostringstream text;
        text << std::cin.rdbuf();
        compile::load_string(text.str(), "NO_SOURCE_PATH");
        break;
      }
      case MainMode::Repl: {
        bool interactive = isatty(0);
        if (interactive) rt::out_write(std::string(VERSION) + "\n");
        if (!repl(interactive)) status = interactive ? 0 : 1;
        break;
      }
    }
  } catch (...) {
    report_unhandled(rt::as_throwable(std::current_exception()));
    status = 1;
  }
  flush_all();
  return status;
}

// Clojure code recurses deeply; the program runs on a thread whose stack is far larger than the main thread's.
int run_on_deep_stack(const Options& o) {
  struct Job {
    const Options* o;
    int status = 0;
  } job{&o};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t{64} << 20);  // as workers have; ~100k Clojure frames
  pthread_t th;
  auto body = [](void* p) -> void* {
    auto* j = static_cast<Job*>(p);
    j->status = run(*j->o);
    return nullptr;
  };
  if (pthread_create(&th, &attr, body, &job) != 0) return run(o);  // no thread: run here, with less stack
  pthread_attr_destroy(&attr);
  pthread_join(th, nullptr);
  return job.status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse_options(argc, argv);
  if (!o.error.empty()) {
    std::fprintf(stderr, "%s\n", o.error.c_str());
    return 2;
  }
  if (o.help) {
    std::fwrite(USAGE.data(), 1, USAGE.size(), stdout);
    return 0;
  }
  if (o.version) {
    std::printf("%.*s\n", static_cast<int>(VERSION.size()), VERSION.data());
    return 0;
  }
  if (o.mode == MainMode::Repl && isatty(0)) watch_interrupts();
  try {
    kelp::boot();
  } catch (...) {
    Value ex = rt::as_throwable(std::current_exception());
    std::string why = message_of(ex);
    for (Value c = cause_of(ex); !c.is_nil(); c = cause_of(c)) why += "\n  caused by: " + message_of(c);
    std::fprintf(stderr, "kelp: the runtime failed to start: %s\n", why.c_str());
    return 70;
  }
  std::optional<std::vector<std::string>> roots = source_roots(o);
  if (!roots) return 1;
  o.roots = std::move(*roots);
  int status = run_on_deep_stack(o);
  // A normal end runs the shutdown hooks, as System/exit does.
  kelp::lib::process::run_shutdown_hooks();
  // Threads a program left running (futures) do not keep kelp alive, and static teardown is skipped: it is
  // not needed for a process that ends here.
  std::fflush(stdout);
  std::_Exit(status);
}
