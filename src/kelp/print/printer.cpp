// The printer. Collections are printed from an explicit stack of open collections rather than by recursion,
// so a value nested thousands deep prints without exhausting the thread's stack.
#include "kelp/print/printer.hpp"

#include <fmt/format.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "kelp/data/number.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/pattern.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/lib/seq_util.hpp"
#include "kelp/read/reader_conditional.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/types.hpp"
#include "kelp/rt/var.hpp"

namespace kelp {
namespace {

void append_u_escape(std::string& out, char32_t c) { fmt::format_to(std::back_inserter(out), "\\u{:04X}", static_cast<uint32_t>(c)); }

// Control characters other than the named ones print as \uXXXX, so printed text stays readable and reads back.
bool is_control(char32_t c) { return c < 0x20 || c == 0x7F; }

void print_string(std::string& out, std::string_view s) {
  out += '"';
  size_t run = 0;  // start of the stretch copied unchanged
  for (size_t i = 0; i < s.size(); ++i) {
    auto b = static_cast<unsigned char>(s[i]);
    const char* esc = nullptr;
    switch (b) {
      case '"': esc = "\\\""; break;
      case '\\': esc = "\\\\"; break;
      case '\n': esc = "\\n"; break;
      case '\t': esc = "\\t"; break;
      case '\r': esc = "\\r"; break;
      case '\f': esc = "\\f"; break;
      case '\b': esc = "\\b"; break;
      default:
        if (!is_control(b)) continue;
    }
    out.append(s.substr(run, i - run));
    if (esc) out += esc;
    else append_u_escape(out, b);
    run = i + 1;
  }
  out.append(s.substr(run));
  out += '"';
}

void print_char(std::string& out, char32_t c) {
  switch (c) {
    case '\n': out += "\\newline"; return;
    case ' ': out += "\\space"; return;
    case '\t': out += "\\tab"; return;
    case '\b': out += "\\backspace"; return;
    case '\f': out += "\\formfeed"; return;
    case '\r': out += "\\return"; return;
    default: break;
  }
  if (is_control(c) || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
    append_u_escape(out, c > 0x10FFFF ? 0xFFFD : c);
    return;
  }
  out += '\\';
  append_utf8(out, c);
}

void print_name(std::string& out, std::string_view ns, bool has_ns, std::string_view name) {
  if (has_ns) {
    out += ns;
    out += '/';
  }
  out += name;
}

// What an object's identity hash shows as: Java's identityHashCode is 31 bits of noise; ours is the address's.
uint32_t identity_hash(const Object& o) {
  auto a = reinterpret_cast<uintptr_t>(&o);
  return static_cast<uint32_t>((a >> 4) ^ (a >> 36)) & 0x7FFFFFFFu;
}

// The namespace every key of a map shares, when all are namespaced keywords or symbols of one namespace.
bool shared_key_namespace(const Object& map, std::string_view& ns) {
  bool first = true, same = true;
  map.each_entry([&](const Value& k, const Value&) {
    std::string_view kns;
    if (k.is(Kind::Keyword) && k.as<Keyword>().has_ns()) kns = k.as<Keyword>().ns();
    else if (k.is(Kind::Symbol) && k.as<Symbol>().has_ns()) kns = k.as<Symbol>().ns();
    else return same = false;
    if (first) ns = kns;
    else if (kns != ns) return same = false;
    first = false;
    return true;
  });
  return same && !first;
}

Value without_ns(const Value& k) {
  if (k.is(Kind::Keyword)) return keyword(k.as<Keyword>().name());
  return symbol(k.as<Symbol>().name());
}

Value core_fn(std::string_view name) {
  Value var = rt::core_vars().core->find(symbol(name));
  return var.is(Kind::Var) ? var.as<rt::Var>().deref() : Value();
}

// {:status :ready, :val x} for atoms, volatiles, delays, futures, promises and reduced values; an agent whose
// action failed is :failed.
Value reference_state(const Value& v) {
  bool ready = true;
  Value val;
  if (!v.is(Kind::Reduced) && v.obj()->type_name() == "clojure.lang.Agent") {
    const bool failed = !rt::call(core_fn("agent-error"), {v}).is_nil();
    return make_map({keyword("status"), keyword(failed ? "failed" : "ready"), keyword("val"),
                     rt::call(core_fn("deref"), {v})});
  }
  if (v.is(Kind::Reduced)) {
    val = lib::seqs::reduced_value(v);
  } else {
    std::string_view t = v.obj()->type_name();
    if (t != "clojure.lang.Atom" && t != "clojure.lang.Volatile") {
      try {
        ready = rt::call(core_fn("realized?"), {v}).truthy();
      } catch (const rt::Thrown&) {
        ready = true;
      }
    }
    if (ready) val = rt::call(core_fn("deref"), {v});
  }
  return make_map({keyword("status"), keyword(ready ? "ready" : "pending"), keyword("val"), val});
}

// One line of :trace: [user$f invoke "file.clj" 3].
void append_trace_element(std::string& out, const rt::TraceElement& t) {
  out += '[';
  std::string cls = munge_fn_name(t.fn);
  out += cls;
  out += " invoke ";
  std::string file = t.file.empty() ? "NO_SOURCE_FILE" : t.file;
  auto cut = file.rfind('/');
  if (cut != std::string::npos) file = file.substr(cut + 1);
  print_string(out, file);
  out += ' ';
  out += fmt::format_int(t.line).str();
  out += ']';
}

// One collection being printed: its elements (a map's keys and values alternating), the next one to print,
// and whether elements beyond the length bound were left out.
struct Open {
  std::vector<Value> items;
  size_t next = 0;
  bool map = false;
  bool more = false;
  const char* close = ")";
};

std::atomic<PrintHook> g_print_hook{nullptr};

// A value the program's print methods may print: a record, deftype or reify, or one whose metadata names a :type.
bool takes_print_method(const Object& o) {
  if (o.kind() == Kind::Other) return true;
  if (!o.has(META)) return false;
  Value m = o.meta();
  return m.has(MAP) && get(m, keyword("type")) != nullptr;
}

class Printer {
 public:
  Printer(std::string& out, const PrintOptions& opts) : out_(out), opts_(opts) {}

  void print(const Value& root) {
    emit(root);
    while (!stack_.empty()) {
      Open& o = stack_.back();
      if (o.next < o.items.size()) {
        if (o.next > 0) out_ += (o.map && o.next % 2 == 0) ? ", " : " ";
        Value x = std::move(o.items[o.next++]);  // emit may grow the stack and move `o`
        emit(x);
        continue;
      }
      if (o.more) {
        if (!o.items.empty()) out_ += o.map ? ", " : " ";
        out_ += "...";
      }
      out_ += o.close;
      stack_.pop_back();
    }
  }

 private:
  void emit(const Value& v) {
    switch (v.type()) {
      case Type::Nil: out_ += "nil"; return;
      case Type::Bool: out_ += v.as_bool() ? "true" : "false"; return;
      case Type::Int: out_ += fmt::format_int(v.as_int()).str(); return;
      case Type::Double: out_ += format_double(v.as_double()); return;
      case Type::Char:
        if (opts_.readably) print_char(out_, v.as_char());
        else append_utf8(out_, v.as_char());
        return;
      case Type::Obj:
        if (PrintHook hook = g_print_hook.load(std::memory_order_acquire); hook && takes_print_method(*v.obj()) &&
            hook(v, out_, opts_))
          return;
        if (opts_.meta && opts_.readably) emit_meta(*v.obj());
        emit_object(v);
        return;
    }
  }

  // ^{...} before a value whose metadata is not empty; a lone :tag prints as ^Tag.
  void emit_meta(const Object& o) {
    Value m = o.meta();
    if (!m.has(MAP) || m.obj()->count() == 0) return;
    out_ += '^';
    const Value* tag = m.obj()->count() == 1 ? get(m, keyword("tag")) : nullptr;
    Printer(out_, opts_).print(tag ? *tag : m);
    out_ += ' ';
  }

  // #object[Class 0xhash toString]: the text quoted when printing readably, raw for print and println.
  void emit_tagged_object(std::string_view cls, uint32_t hash, std::string_view text) {
    out_ += fmt::format("#object[{} 0x{:x} ", cls, hash);
    if (opts_.readably) print_string(out_, text);
    else out_ += text;
    out_ += ']';
  }

  void emit_opaque(const Value& v) {
    std::string text;
    append_str(text, v);
    emit_tagged_object(v.obj()->type_name(), identity_hash(*v.obj()), text);
  }

  // Values of the runtime: vars, namespaces, functions, exceptions, references, classes. Answers false for kinds
  // that print as collections or opaque objects.
  bool emit_runtime(const Value& v) {
    const Object& o = *v.obj();
    switch (o.kind()) {
      case Kind::Pattern:
        out_ += "#\"";
        out_ += pattern_source(v);
        out_ += '"';
        return true;
      case Kind::Var: out_ += "#'"; out_ += v.as<rt::Var>().full_name(); return true;
      case Kind::Namespace:
        emit_tagged_object("clojure.lang.Namespace", identity_hash(o), v.as<rt::Namespace>().name_str());
        return true;
      case Kind::Fn: {
        std::string cls = munge_fn_name(v.as<rt::Fn>().display_name());
        uint32_t h = identity_hash(o);
        emit_tagged_object(cls, h, fmt::format("{}@{:x}", cls, h));
        return true;
      }
      case Kind::Throwable: emit_throwable(v); return true;
      case Kind::Reference:
      case Kind::Reduced: {
        out_ += fmt::format("#object[{} 0x{:x} ", o.type_name(), identity_hash(o));
        Printer(out_, opts_).print(reference_state(v));
        out_ += ']';
        return true;
      }
      case Kind::Host:
        if (const auto* cls = dynamic_cast<const rt::host::HostClass*>(&o)) {
          out_ += cls->name();
          return true;
        }
        // Read back as Clojure data only when printing readably; print and println show the #object form.
        if (std::optional<Value> contents = opts_.readably ? rt::host::printed_as(v) : std::nullopt) {
          Printer(out_, opts_).print(*contents);
          return true;
        }
        return false;
      case Kind::Other:
        // A reader conditional kept by {:read-cond :preserve} prints as it was read.
        if (const auto* rc = read::as_reader_conditional(v)) {
          out_ += rc->splicing() ? "#?@" : "#?";
          Printer(out_, opts_).print(rc->form());
          return true;
        }
        return false;
      default: return false;
    }
  }

  // #error {:cause ... :via [...] :trace [...]}, laid out as JVM Clojure lays it out.
  void emit_throwable(const Value& v) {
    std::vector<const rt::Throwable*> chain;
    for (Value e = v; rt::is_throwable(e) && chain.size() < 64; e = rt::throwable(e).cause())
      chain.push_back(&rt::throwable(e));
    const rt::Throwable& root = *chain.back();
    out_ += "#error {\n :cause ";
    Printer(out_, opts_).print(root.message());
    if (!root.data().is_nil()) {
      out_ += "\n :data ";
      Printer(out_, opts_).print(root.data());
    }
    out_ += "\n :via\n [";
    for (size_t i = 0; i < chain.size(); ++i) {
      const rt::Throwable& t = *chain[i];
      if (i > 0) out_ += "\n  ";
      out_ += "{:type ";
      out_ += t.cls().name;
      if (!t.message().is_nil()) {
        out_ += "\n   :message ";
        Printer(out_, opts_).print(t.message());
      }
      if (!t.data().is_nil()) {
        out_ += "\n   :data ";
        Printer(out_, opts_).print(t.data());
      }
      if (!t.trace().empty()) {
        out_ += "\n   :at ";
        append_trace_element(out_, t.trace().front());
      }
      out_ += '}';
    }
    out_ += "]\n :trace\n [";
    for (size_t i = 0; i < root.trace().size(); ++i) {
      if (i > 0) out_ += "\n  ";
      append_trace_element(out_, root.trace()[i]);
    }
    out_ += "]}";
  }

  void emit_object(const Value& v) {
    const Object& o = *v.obj();
    switch (o.kind()) {
      case Kind::BigInt: out_ += v.as<BigInt>().value().get_str(); out_ += 'N'; return;
      case Kind::Ratio: {
        const mpq_class& q = v.as<Ratio>().value();
        out_ += q.get_num().get_str();
        out_ += '/';
        out_ += q.get_den().get_str();
        return;
      }
      case Kind::BigDec: out_ += format_bigdec(v.as<BigDec>()); out_ += 'M'; return;
      case Kind::String:
        if (opts_.readably) print_string(out_, str_view(v));
        else out_ += str_view(v);
        return;
      case Kind::Keyword: {
        const auto& k = v.as<Keyword>();
        out_ += ':';
        print_name(out_, k.ns(), k.has_ns(), k.name());
        return;
      }
      case Kind::Symbol: {
        const auto& s = v.as<Symbol>();
        print_name(out_, s.ns(), s.has_ns(), s.name());
        return;
      }
      case Kind::Inst: out_ += "#inst \""; out_ += format_inst(v.as<Inst>().millis()); out_ += '"'; return;
      case Kind::Uuid: out_ += "#uuid \""; out_ += format_uuid(v.as<Uuid>()); out_ += '"'; return;
      case Kind::Vector: open(v, "[", "]", false); return;
      default: break;
    }
    if (emit_runtime(v)) return;
    if (o.kind() == Kind::Other && o.has(MAP)) {  // a record: #user.R{:a 1}
      out_ += '#';
      out_ += o.type_name();
      open(v, "{", "}", true);
      return;
    }
    if (o.has(MAP)) open_map(v);
    else if (o.has(SET)) open(v, "#{", "}", false);
    else if (o.has(SEQ) || o.has(SEQUENTIAL)) open(v, "(", ")", false);
    else emit_opaque(v);
  }

  void open_map(const Value& v) {
    std::string_view ns;
    if (!opts_.namespace_maps || !shared_key_namespace(*v.obj(), ns)) {
      open(v, "{", "}", true);
      return;
    }
    out_ += "#:";
    out_ += ns;
    size_t at = stack_.size();
    open(v, "{", "}", true);
    if (stack_.size() > at) {
      Open& o = stack_.back();
      for (size_t i = 0; i < o.items.size(); i += 2) o.items[i] = without_ns(o.items[i]);
    }
  }

  void open(const Value& v, const char* begin, const char* close, bool map) {
    if (opts_.depth >= 0 && static_cast<int64_t>(stack_.size()) >= opts_.depth) {
      out_ += '#';
      return;
    }
    out_ += begin;
    Open o;
    o.map = map;
    o.close = close;
    collect(v, o);
    if (o.items.empty() && !o.more) {
      out_ += close;
      return;
    }
    stack_.push_back(std::move(o));
  }

  // Gathers the elements to print, stopping at the length bound. Sequences are walked with first and next so a
  // lazy sequence is realised only as far as it prints.
  void collect(const Value& v, Open& o) {
    const int64_t limit = opts_.length;
    const Object& obj = *v.obj();
    if (o.map) {
      int64_t n = 0;
      obj.each_entry([&](const Value& k, const Value& x) {
        if (limit >= 0 && n == limit) {
          o.more = true;
          return false;
        }
        o.items.push_back(k);
        o.items.push_back(x);
        ++n;
        return true;
      });
      return;
    }
    if (obj.has(SEQ)) {
      // Walked from seq(): an empty lazy sequence has no elements, and only printed cells are realised.
      Value s = seq(v);
      while (!s.is_nil() && (limit < 0 || static_cast<int64_t>(o.items.size()) < limit)) {
        o.items.push_back(first(s));
        s = next(s);
      }
      o.more = !s.is_nil();
      return;
    }
    if (limit < 0) {
      if (obj.has(COUNTED) || obj.kind() == Kind::Vector || obj.kind() == Kind::List) {
        int64_t n = obj.count();
        if (n > 0) o.items.reserve(static_cast<size_t>(n));
      }
      obj.each([&](const Value& x) {
        o.items.push_back(x);
        return true;
      });
      return;
    }
    obj.each([&](const Value& x) {
      if (static_cast<int64_t>(o.items.size()) == limit) {
        o.more = true;
        return false;
      }
      o.items.push_back(x);
      return true;
    });
  }

  std::string& out_;
  const PrintOptions& opts_;
  std::vector<Open> stack_;
};

}  // namespace

void pr(std::string& out, const Value& v, const PrintOptions& opts) { Printer(out, opts).print(v); }

std::string pr_str(const Value& v, const PrintOptions& opts) {
  std::string out;
  pr(out, v, opts);
  return out;
}

std::string print_edn(const Value& v) { return pr_str(v); }

namespace {
int64_t bound_of(const Value& var) {
  Value v = var.as<rt::Var>().deref();
  return v.is_int() ? v.as_int() : -1;
}

void append_double(std::string& out, double d) {
  if (d != d) out += "NaN";
  else if (d == 1.0 / 0.0) out += "Infinity";
  else if (d == -1.0 / 0.0) out += "-Infinity";
  else out += format_double(d);
}

// Java's Symbol.hashCode: Util.hashCombine(name.hashCode(), Util.hash(ns)).
int32_t java_name_hash(std::string_view ns, bool has_ns, std::string_view name) {
  auto seed = static_cast<uint32_t>(java_string_hash(name));
  auto h = has_ns ? static_cast<uint32_t>(java_string_hash(ns)) : 0u;
  return static_cast<int32_t>(seed ^ (h + 0x9e3779b9u + (seed << 6) + (seed >> 2)));
}

bool is_lazy_seq(const Object& o) { return o.type_name() == "clojure.lang.LazySeq"; }
}  // namespace

PrintOptions current_print_options() {
  PrintOptions o;
  const rt::CoreVars* cv = &rt::core_vars();  // the runtime has booted: print functions exist only then
  if (cv->print_length.is_nil()) return o;
  o.length = bound_of(cv->print_length);
  o.depth = bound_of(cv->print_level);
  o.readably = cv->print_readably.as<rt::Var>().deref().truthy();
  o.meta = cv->print_meta.as<rt::Var>().deref().truthy();
  o.namespace_maps = cv->print_namespace_maps.as<rt::Var>().deref().truthy();
  return o;
}

std::string munge_fn_name(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 8);
  // The first slash ends the namespace; later ones separate nested functions ("user/eval12/fn--13"), except in
  // the function named / itself.
  size_t slash = name.find('/');
  if (slash != std::string_view::npos && name.substr(slash + 1) == "/") {
    out.append(name.substr(0, slash));
    out += "$_SLASH_";
    return out;
  }
  for (char c : name) {
    switch (c) {
      case '/': out += '$'; break;
      case '-': out += '_'; break;
      case '?': out += "_QMARK_"; break;
      case '!': out += "_BANG_"; break;
      case '*': out += "_STAR_"; break;
      case '+': out += "_PLUS_"; break;
      case '>': out += "_GT_"; break;
      case '<': out += "_LT_"; break;
      case '=': out += "_EQ_"; break;
      case '\'': out += "_SINGLEQUOTE_"; break;
      case '&': out += "_AMPERSAND_"; break;
      case '%': out += "_PERCENT_"; break;
      case ':': out += "_COLON_"; break;
      case '#': out += "_SHARP_"; break;
      default: out += c;
    }
  }
  return out;
}

int32_t java_hash_code(const Value& v) {
  switch (v.type()) {
    case Type::Nil: return 0;
    case Type::Bool: return v.as_bool() ? 1231 : 1237;
    case Type::Int: return static_cast<int32_t>(v.as_int() ^ static_cast<int64_t>(static_cast<uint64_t>(v.as_int()) >> 32));
    case Type::Double: {
      double d = v.as_double();
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      return static_cast<int32_t>(bits ^ (bits >> 32));
    }
    case Type::Char: return static_cast<int32_t>(v.as_char());
    case Type::Obj: break;
  }
  const Object& o = *v.obj();
  switch (o.kind()) {
    case Kind::String: return java_string_hash(str_view(v));
    case Kind::Symbol: {
      const auto& s = v.as<Symbol>();
      return java_name_hash(s.ns(), s.has_ns(), s.name());
    }
    case Kind::Keyword: {
      const auto& k = v.as<Keyword>();
      return static_cast<int32_t>(static_cast<uint32_t>(java_name_hash(k.ns(), k.has_ns(), k.name())) + 0x9e3779b9u);
    }
    default: break;
  }
  if (o.has(MAP)) {
    uint32_t h = 0;
    o.each_entry([&](const Value& k, const Value& x) {
      h += static_cast<uint32_t>(java_hash_code(k) ^ java_hash_code(x));
      return true;
    });
    return static_cast<int32_t>(h);
  }
  if (o.has(SET)) {
    uint32_t h = 0;
    o.each([&](const Value& x) {
      h += static_cast<uint32_t>(java_hash_code(x));
      return true;
    });
    return static_cast<int32_t>(h);
  }
  if (o.has(SEQUENTIAL)) {
    uint32_t h = 1;
    o.each([&](const Value& x) {
      h = 31 * h + static_cast<uint32_t>(java_hash_code(x));
      return true;
    });
    return static_cast<int32_t>(h);
  }
  if (o.has(NUMBER)) return hash(v);
  return static_cast<int32_t>(identity_hash(o));
}

void append_str(std::string& out, const Value& v) {
  switch (v.type()) {
    case Type::Nil: return;
    case Type::Bool: out += v.as_bool() ? "true" : "false"; return;
    case Type::Int: out += fmt::format_int(v.as_int()).str(); return;
    case Type::Double: append_double(out, v.as_double()); return;
    case Type::Char: append_utf8(out, v.as_char()); return;
    case Type::Obj: break;
  }
  const Object& o = *v.obj();
  switch (o.kind()) {
    case Kind::String: out += str_view(v); return;
    case Kind::BigInt: out += v.as<BigInt>().value().get_str(); return;
    case Kind::BigDec: out += format_bigdec(v.as<BigDec>()); return;
    case Kind::Keyword: pr(out, v); return;
    case Kind::Symbol: {
      const auto& s = v.as<Symbol>();
      print_name(out, s.ns(), s.has_ns(), s.name());
      return;
    }
    case Kind::Pattern: out += pattern_source(v); return;
    case Kind::Uuid: out += format_uuid(v.as<Uuid>()); return;
    case Kind::Inst: {
      // java.util.Date's toString, in UTC: "Thu Jan 01 00:00:00 UTC 1970".
      int64_t ms = v.as<Inst>().millis();
      time_t secs = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
      struct tm tm{};
      gmtime_r(&secs, &tm);
      char buf[64];
      strftime(buf, sizeof buf, "%a %b %d %H:%M:%S UTC %Y", &tm);
      out += buf;
      return;
    }
    case Kind::Var: out += "#'"; out += v.as<rt::Var>().full_name(); return;
    case Kind::Namespace: out += v.as<rt::Namespace>().name_str(); return;
    case Kind::Fn: out += fmt::format("{}@{:x}", munge_fn_name(v.as<rt::Fn>().display_name()), identity_hash(o)); return;
    case Kind::Throwable: {
      const rt::Throwable& t = rt::throwable(v);
      out += t.cls().name;
      if (!t.message().is_nil()) {
        out += ": ";
        append_str(out, t.message());
      }
      if (!t.data().is_nil()) {
        out += ' ';
        pr(out, t.data(), current_print_options());
      }
      return;
    }
    case Kind::Reference:
    case Kind::Reduced: out += fmt::format("{}@{:x}", o.type_name(), identity_hash(o)); return;
    case Kind::Host:
    case Kind::Other:
      if (rt::types::append_to_string(out, v)) return;
      if (!rt::host::append_object_string(out, v)) out += fmt::format("{}@{:x}", o.type_name(), identity_hash(o));
      return;
    default: break;
  }
  if (o.has(SEQ) && is_lazy_seq(o)) {
    // A lazy sequence is not an ASeq on the JVM: it shows Object's toString over its (realised) hash code.
    out += fmt::format("clojure.lang.LazySeq@{:x}", static_cast<uint32_t>(java_hash_code(v)));
    return;
  }
  if (o.has(MAP) || o.has(SET) || o.has(SEQUENTIAL) || o.has(SEQ) || o.has(NUMBER)) {
    PrintOptions opts = current_print_options();
    opts.meta = false;
    pr(out, v, opts);
    return;
  }
  out += fmt::format("{}@{:x}", o.type_name(), identity_hash(o));
}

void set_print_hook(PrintHook hook) { g_print_hook.store(hook, std::memory_order_release); }

}  // namespace kelp
