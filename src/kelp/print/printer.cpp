// The printer. Collections are printed from an explicit stack of open collections rather than by recursion,
// so a value nested thousands deep prints without exhausting the thread's stack.
#include "kelp/print/printer.hpp"

#include <fmt/format.h>

#include <string_view>
#include <vector>

#include "kelp/data/number.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"

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

// One collection being printed: its elements (a map's keys and values alternating), the next one to print,
// and whether elements beyond the length bound were left out.
struct Open {
  std::vector<Value> items;
  size_t next = 0;
  bool map = false;
  bool more = false;
  const char* close = ")";
};

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
      case Type::Char: print_char(out_, v.as_char()); return;
      case Type::Obj: emit_object(v); return;
    }
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
      case Kind::String: print_string(out_, str_view(v)); return;
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
    if (o.has(MAP)) open(v, "{", "}", true);
    else if (o.has(SET)) open(v, "#{", "}", false);
    else if (o.has(SEQ) || o.has(SEQUENTIAL)) open(v, "(", ")", false);
    else out_ += fmt::format("#object[{} 0x{:x}]", o.type_name(), reinterpret_cast<uintptr_t>(&o));
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
    if (obj.has(SEQ)) {
      Value s = seq(v);
      while (!s.is_nil() && static_cast<int64_t>(o.items.size()) < limit) {
        o.items.push_back(first(s));
        s = next(s);
      }
      o.more = !s.is_nil();
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

}  // namespace kelp
