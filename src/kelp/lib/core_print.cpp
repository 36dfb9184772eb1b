// clojure.core's printing and streams: pr prn print println and their -str forms, newline, flush, format and
// printf (Java's Formatter directives), read-line, slurp and spit.
#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/lib_install.hpp"
#include "kelp/lib/format.hpp"
#include "kelp/lib/str_util.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

void install_core_print();

namespace {

using rt::Args;
using namespace strs;

// The values separated by spaces, as pr and print write them.
std::string print_all(Args args, const PrintOptions& opts) {
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) out += ' ';
    pr(out, args[i], opts);
  }
  return out;
}

PrintOptions readable() { return current_print_options(); }
PrintOptions raw() {
  PrintOptions o = current_print_options();
  o.readably = false;
  return o;
}

// println and prn end with a newline, then flush when *flush-on-newline* is set.
void write_line(std::string text) {
  text += '\n';
  rt::out_write(text);
  if (rt::core_vars().flush_on_newline.as<rt::Var>().deref().truthy()) rt::out_flush();
}

Value pr_fn(Args a) {
  rt::out_write(print_all(a, readable()));
  return NIL;
}
Value prn_fn(Args a) {
  write_line(print_all(a, readable()));
  return NIL;
}
Value print_fn(Args a) {
  rt::out_write(print_all(a, raw()));
  return NIL;
}
Value println_fn(Args a) {
  write_line(print_all(a, raw()));
  return NIL;
}
Value pr_str_fn(Args a) { return make_string(print_all(a, readable())); }
Value prn_str_fn(Args a) { return make_string(print_all(a, readable()) + "\n"); }
Value print_str_fn(Args a) { return make_string(print_all(a, raw())); }
Value println_str_fn(Args a) { return make_string(print_all(a, raw()) + "\n"); }

Value newline_fn(Args) {
  rt::out_write("\n");
  return NIL;
}
Value flush_fn(Args) {
  rt::out_flush();
  return NIL;
}

Value format_fn(Args a) { return make_string(format_java(string_arg(a[0]), a.subspan(1))); }
Value printf_fn(Args a) {
  rt::out_write(format_java(string_arg(a[0]), a.subspan(1)));
  return NIL;
}

Value read_line_fn(Args) {
  std::optional<std::string> line = rt::as_input(rt::current_in()).read_line();
  return line ? make_string(*line) : NIL;
}

// The file a slurp or spit names: a path string (or anything whose str is one).
std::string file_arg(const Value& f) {
  if (f.is_nil()) rt::throw_illegal_argument("Cannot open <nil> as an InputStream.");
  std::string path = to_str(f);
  // A resource's file: URL names its file.
  if (!f.is(Kind::String) && path.starts_with("file:")) path.erase(0, 5);
  return path;
}

[[noreturn]] void file_error(const std::string& path) {
  rt::throw_error("java.io.FileNotFoundException", fmt::format("{} ({})", path,
                                                                errno == ENOENT   ? "No such file or directory"
                                                                : errno == EACCES ? "Permission denied"
                                                                : errno == EISDIR ? "Is a directory"
                                                                                  : std::strerror(errno)));
}

// Options after the file: :append true, :encoding (UTF-8 is the only encoding).
bool append_option(Args opts) {
  for (size_t i = 0; i + 1 < opts.size(); i += 2)
    if (opts[i] == keyword("append")) return opts[i + 1].truthy();
  return false;
}

Value slurp_fn(Args a) {
  // A reader (*in*, one clojure.java.io opened) is read to its end.
  if (rt::is_input(a[0])) {
    rt::InputReader& in = rt::as_input(a[0]);
    std::string text;
    for (int32_t c; (c = in.read_char()) >= 0;) append_utf8(text, static_cast<char32_t>(c));
    return make_string(text);
  }
  return make_string(read_file(file_arg(a[0])));
}

Value spit_fn(Args a) {
  std::string path = file_arg(a[0]);
  std::string text = to_str(a[1]);
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append_option(a.subspan(2)) ? O_APPEND : O_TRUNC);
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) file_error(path);
  std::string_view rest = text;
  while (!rest.empty()) {
    ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      errno = e;
      rt::throw_error("java.io.IOException", std::strerror(e));
    }
    rest.remove_prefix(static_cast<size_t>(n));
  }
  ::close(fd);
  return NIL;
}

// (with-out-str body) and (with-in-str s body) run their body as a function with *out* or *in* bound.
Value call_with_out_str(Args a) {
  Value writer = Value::adopt(new rt::StringWriter());
  {
    rt::BindingScope scope({{&rt::as_var(rt::core_vars().out), writer}});
    rt::call(a[0]);
  }
  return make_string(static_cast<const rt::StringWriter&>(*writer.obj()).str());
}

Value call_with_in_str(Args a) {
  Value input = Value::adopt(new rt::StringInput(to_str(a[0])));
  rt::BindingScope scope({{&rt::as_var(rt::core_vars().in), input}});
  return rt::call(a[1]);
}

}  // namespace

void install_core_print() {
  rt::Namespace* io = rt::create_ns("kelp.io");
  defn(io, "call-with-out-str", 1, 1, call_with_out_str,
       {"([f])", "Calls f with *out* bound to a fresh string writer; returns what f printed."});
  defn(io, "call-with-in-str", 2, 2, call_with_in_str,
       {"([s f])", "Calls f with *in* bound to a reader over the string s; returns what f returns."});

  rt::Namespace* core = rt::core_vars().core;
  defn(core, "pr", 0, -1, pr_fn,
       {"([] [x] [x & more])",
        "Prints the object(s) to the output stream that is the current value\n  of *out*.  Prints the object(s), "
        "separated by spaces if there is\n  more than one.  By default, pr and prn print in a way that objects\n  "
        "can be read by the reader"});
  defn(core, "prn", 0, -1, prn_fn, {"([& more])", "Same as pr followed by (newline). Observes *flush-on-newline*"});
  defn(core, "print", 0, -1, print_fn,
       {"([& more])",
        "Prints the object(s) to the output stream that is the current value\n  of *out*.  print and println "
        "produce output for human consumption."});
  defn(core, "println", 0, -1, println_fn, {"([& more])", "Same as print followed by (newline)"});
  defn(core, "pr-str", 0, -1, pr_str_fn, {"([& xs])", "pr to a string, returning it"});
  defn(core, "prn-str", 0, -1, prn_str_fn, {"([& xs])", "prn to a string, returning it"});
  defn(core, "print-str", 0, -1, print_str_fn, {"([& xs])", "print to a string, returning it"});
  defn(core, "println-str", 0, -1, println_str_fn, {"([& xs])", "println to a string, returning it"});
  defn(core, "newline", 0, 0, newline_fn, {"([])", "Writes a platform-specific newline to *out*"});
  defn(core, "flush", 0, 0, flush_fn,
       {"([])", "Flushes the output stream that is the current value of\n  *out*"});
  defn(core, "format", 1, -1, format_fn,
       {"([fmt & args])",
        "Formats a string using java.lang.String.format, see java.util.Formatter for format\n  string syntax"});
  defn(core, "printf", 1, -1, printf_fn, {"([fmt & args])", "Prints formatted output, as per format"});
  defn(core, "read-line", 0, 0, read_line_fn,
       {"([])", "Reads the next line from stream that is the current value of *in* ."});
  defn(core, "slurp", 1, -1, slurp_fn,
       {"([f & opts])", "Opens a reader on f and reads all its contents, returning a string."});
  defn(core, "spit", 2, -1, spit_fn,
       {"([f content & options])",
        "Opposite of slurp.  Opens f with writer, writes content, then\n  closes f. Options passed to "
        "clojure.java.io/writer."});
}

}  // namespace kelp::lib
