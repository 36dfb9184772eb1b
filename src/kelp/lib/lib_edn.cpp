// clojure.edn's reading: values from text or a stream, with tagged elements handed to the caller's :readers and
// :default functions.
#include "kelp/compile/form_scanner.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/lib_install.hpp"
#include "kelp/lib/ns_common.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/reader.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib {

namespace {

using namespace ns_detail;

// EDN sees no namespace and no *data-readers*: a tag is looked up in :readers, then handed to :default.
class EdnContext final : public read::ReaderContext {
 public:
  explicit EdnContext(const Value& opts) : opts_(opts) {}
  std::optional<Value> read_tagged(const Value& tag, const Value& form) const override {
    if (const Value* readers = opt("readers"); readers && !readers->is_nil())
      if (const Value* f = get(*readers, tag)) return rt::call(*f, {form});
    if (const Value* fallback = opt("default"); fallback && !fallback->is_nil()) return rt::call(*fallback, {tag, form});
    return std::nullopt;
  }
  Value resolve_symbol(const Value& sym) const override { return sym; }
  const Value* opt(std::string_view name) const { return opts_.is_nil() ? nullptr : get(opts_, keyword(name)); }

 private:
  Value opts_;
};

read::ReadOptions edn_options() {
  read::ReadOptions o;
  o.allow_reader_conditionals = false;
  return o;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == '\f'; }
bool ends_token(char c) { return is_blank(c) || std::string_view("()[]{}\";").find(c) != std::string_view::npos; }

// Clojure's code syntax that EDN does not have (::k, @, `, ~, #( #' #= #? #"..."), refused in JVM's words before
// the Clojure reader would give it a meaning. Scans the text the reader read, strings, characters and comments
// skipped.
void refuse_code_syntax(std::string_view t) {
  bool token_start = true;
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c == '"') {
      for (++i; i < t.size() && t[i] != '"'; ++i)
        if (t[i] == '\\') ++i;
      token_start = true;
      continue;
    }
    if (c == ';') {
      while (i < t.size() && t[i] != '\n') ++i;
      token_start = true;
      continue;
    }
    if (c == '\\') {  // a character: the next one, then the rest of its name
      for (i += 2; i < t.size() && !ends_token(t[i]); ++i) {}
      --i;
      token_start = false;
      continue;
    }
    if (ends_token(c)) {
      token_start = true;
      continue;
    }
    if (token_start) {
      if (c == ':' && i + 1 < t.size() && t[i + 1] == ':') {
        size_t end = i;
        while (end < t.size() && !ends_token(t[end])) ++end;
        rt::throw_error("java.lang.RuntimeException", "Invalid token: " + std::string(t.substr(i, end - i)));
      }
      if (c == '@' || c == '`' || c == '~')
        rt::throw_error("java.lang.RuntimeException", std::string("Invalid leading character: ") + c);
      if (c == '#' && i + 1 < t.size() && std::string_view("('=?\"").find(t[i + 1]) != std::string_view::npos)
        rt::throw_error("java.lang.RuntimeException", std::string("No dispatch macro for: ") + t[i + 1]);
      if (c == '#' && i + 1 < t.size() && (t[i + 1] == '{' || t[i + 1] == '_')) {
        ++i;  // a set or a discard: what follows starts a token
        continue;
      }
    }
    token_start = c == '^';
  }
}

// One value of text, or the :eof option's value when the text holds none; "EOF while reading" without it.
Value read_value(std::string_view text, const Value& opts, bool from_string) {
  EdnContext context(opts);
  std::optional<Value> v;
  try {
    read::Reader reader(text, edn_options(), &context);
    v = reader.next();
    refuse_code_syntax(text.substr(0, reader.offset()));
  } catch (const read::ReadError& e) {
    // Code syntax before the place the reader gave up is what JVM's EDN reader would have refused first.
    size_t upto = 0;
    for (int line = 1; upto < text.size() && line <= e.line; ++upto)
      if (text[upto] == '\n') ++line;
    refuse_code_syntax(text.substr(0, upto));
    std::string_view message = e.what();
    // JVM's EDN reader names no position in its messages.
    if (size_t at = message.find(", starting at line"); from_string && at != std::string_view::npos)
      message = message.substr(0, at);
    // A duplicate is a bad argument to the map or set being built, as JVM's reader reports it.
    rt::throw_error(message.starts_with("Duplicate key") ? "java.lang.IllegalArgumentException"
                                                         : "java.lang.RuntimeException",
                    std::string(message));
  }
  if (v) return *v;
  if (const Value* eof = context.opt("eof")) return *eof;
  rt::throw_error("java.lang.RuntimeException", "EOF while reading");
}

// (edn-read-string opts s): nil or an empty text answers :eof (nil unless given).
Value edn_read_string(rt::Args a) {
  if (a[1].is_nil()) return {};
  if (!a[1].is(Kind::String)) throw_cannot_cast(a[1], "java.lang.String");
  return read_value(str_view(a[1]), a[0], true);
}

// (edn-read opts stream): the next value of a reader.
Value edn_read(rt::Args a) {
  if (!rt::is_input(a[1])) throw_cannot_cast(a[1], "java.io.PushbackReader");
  std::string text = compile::scan_form(rt::as_input(a[1]));
  return read_value(text, a[0], false);
}

}  // namespace

void install_lib_edn(rt::Namespace* ns) {
  defn(ns, "edn-read-string", 2, 2, edn_read_string, {"([opts s])", "Reads one EDN value from the string s."});
  defn(ns, "edn-read", 2, 2, edn_read, {"([opts stream])", "Reads the next EDN value from a reader."});
}

}  // namespace kelp::lib
