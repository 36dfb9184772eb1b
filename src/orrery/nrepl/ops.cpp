#include "orrery/nrepl/ops.hpp"

#include <algorithm>
#include <cwctype>
#include <tuple>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/syntax.hpp"
#include "orrery/syntax_defs.hpp"

namespace orrery::nrepl::ops {

using kelp::Value;

namespace {

// A field of a reply or of an entry inside one: top-level keys are keywords, nested maps keep string keys, and a
// hand-built map may use either.
const Value* field(const Value& m, std::string_view key) {
  if (!kelp::is_map(m)) return nullptr;
  if (const Value* v = kelp::get(m, kelp::keyword(key))) return v;
  return kelp::get(m, kelp::make_string(key));
}

std::optional<std::string> text_field(const Value& m, std::string_view key) {
  const Value* v = field(m, key);
  if (!v || !v->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*v));
}

// Visits each element of a vector-like value.
template <class F>
void each(const Value* coll, F f) {
  if (!coll || !coll->is_obj()) return;
  coll->obj()->each([&](const Value& x) {
    f(x);
    return true;
  });
}

bool is_blank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

std::string_view trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::vector<std::string_view> lines_of(std::string_view s) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t nl = s.find('\n', start);
    if (nl == std::string_view::npos) {
      if (start < s.size()) out.push_back(s.substr(start));
      break;
    }
    std::string_view line = s.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    start = nl + 1;
  }
  return out;
}

std::string quoted(std::string_view s) { return kelp::pr_str(kelp::make_string(s)); }

}  // namespace

std::vector<std::string> statuses(const std::vector<Message>& replies) {
  std::vector<std::string> out;
  for (const Message& r : replies)
    each(field(r, "status"), [&](const Value& s) {
      if (!s.is(kelp::Kind::String)) return;
      std::string word(kelp::str_view(s));
      if (std::find(out.begin(), out.end(), word) == out.end()) out.push_back(std::move(word));
    });
  return out;
}

bool has_any_status(const std::vector<Message>& replies, std::string_view s) {
  return std::any_of(replies.begin(), replies.end(), [&](const Message& r) { return has_status(r, s); });
}

std::set<std::string> op_names(const std::vector<Message>& describe_replies) {
  std::set<std::string> names;
  for (const Message& r : describe_replies) {
    const Value* ops = field(r, "ops");
    if (!ops || !kelp::is_map(*ops)) continue;
    ops->obj()->each_entry([&](const Value& k, const Value&) {
      if (k.is(kelp::Kind::String)) names.emplace(kelp::str_view(k));
      else if (kelp::is_keyword(k)) names.emplace(k.as<kelp::Keyword>().name());
      return true;
    });
  }
  return names;
}

std::optional<std::pair<int, int>> nrepl_version(const std::vector<Message>& describe_replies) {
  for (const Message& r : describe_replies) {
    const Value* versions = field(r, "versions");
    const Value* nrepl = versions ? field(*versions, "nrepl") : nullptr;
    if (!nrepl) continue;
    const Value* major = field(*nrepl, "major");
    const Value* minor = field(*nrepl, "minor");
    if (!major || !minor || !major->is_int() || !minor->is_int()) return std::nullopt;
    return std::pair(static_cast<int>(major->as_int()), static_cast<int>(minor->as_int()));
  }
  return std::nullopt;
}

std::optional<std::pair<int, int>> nrepl_version(const std::optional<std::vector<Message>>& describe_replies) {
  if (!describe_replies) return std::nullopt;
  return nrepl_version(*describe_replies);
}

std::vector<Candidate> candidates(const std::vector<Message>& replies) {
  std::vector<Candidate> out;
  for (const Message& r : replies)
    each(field(r, "completions"), [&](const Value& entry) {
      std::optional<std::string> sym = text_field(entry, "candidate");
      if (!sym || sym->empty()) return;
      std::string category = text_field(entry, "type").value_or("var");
      if (category == "special-form") category = "special";
      if (category.empty()) category = "var";
      out.push_back({std::move(*sym), std::move(category)});
    });
  return out;
}

namespace {

std::u32string lowered(std::u32string_view s) {
  std::u32string out(s);
  for (char32_t& c : out) c = static_cast<char32_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

// The offline popup's order among categories: the user's names, then special forms, then builtins.
int type_rank(const Value& type) {
  if (!kelp::is_keyword(type)) return 0;
  std::string_view name = type.as<kelp::Keyword>().name();
  return name == "user" ? 0 : name == "special" ? 1 : 2;
}

}  // namespace

Value merge_candidates(const Value& offline, const std::vector<Candidate>& server, std::string_view prefix) {
  struct Entry {
    std::u32string name;
    Value map;
  };
  std::vector<Entry> entries;
  std::set<std::string> seen;
  each(&offline, [&](const Value& m) {
    std::optional<std::string> name = text_field(m, "candidate");
    if (!name) return;
    seen.insert(*name);
    entries.push_back({kelp::to_u32(*name), m});
  });
  for (const Candidate& c : server) {
    if (!seen.insert(c.symbol).second) continue;
    // A name only the server knows is one of the program's: it ranks with the user's names, keeping the server's
    // own kind under :kind.
    Value type = kelp::keyword(c.category == "special" ? "special" : "user");
    entries.push_back({kelp::to_u32(c.symbol), kelp::make_map({kelp::keyword("candidate"), kelp::make_string(c.symbol),
                                                               kelp::keyword("type"), type, kelp::keyword("kind"),
                                                               kelp::make_string(c.category)})});
  }
  std::u32string p = kelp::to_u32(prefix);
  auto key = [&](const Entry& e) {
    const Value* type = kelp::get(e.map, kelp::keyword("type"));
    return std::tuple(!e.name.starts_with(p), type_rank(type ? *type : Value()), lowered(e.name), e.name);
  };
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) { return key(a) < key(b); });
  std::vector<Value> items;
  items.reserve(entries.size());
  for (Entry& e : entries) items.push_back(std::move(e.map));
  return kelp::make_vector(items);
}

namespace {

// The reply that carries the documentation: nREPL's lookup nests it under "info"; some servers (nbb, babashka) put
// the fields at the top level of the reply.
std::optional<Value> info_of(const std::vector<Message>& replies) {
  for (const Message& r : replies) {
    if (const Value* info = field(r, "info"); info && kelp::is_map(*info) && kelp::count(*info) > 0) return *info;
    if (field(r, "name") || field(r, "doc") || field(r, "arglists-str")) return r;
  }
  return std::nullopt;
}

bool truthy_field(const Value& m, std::string_view key) {
  const Value* v = field(m, key);
  if (!v) return false;
  if (v->is(kelp::Kind::String)) return kelp::str_view(*v) == "true";
  return v->truthy();
}

// "([x] [x y])" from either the JVM's printed list or nbb's newline-separated vectors.
std::string arglists_text(std::string_view s) {
  std::string_view t = trim(s);
  if (t.empty() || t.front() == '(') return std::string(t);
  std::string out = "(";
  bool first = true;
  for (std::string_view line : lines_of(t)) {
    std::string_view l = trim(line);
    if (l.empty()) continue;
    if (!first) out += ' ';
    out += l;
    first = false;
  }
  return out + ")";
}

}  // namespace

Value doc_info(const std::vector<Message>& replies, std::string_view sym) {
  for (std::string_view s : {"unknown-op", "no-info", "lookup-error", "error"})
    if (has_any_status(replies, s)) return Value();
  std::optional<Value> info = info_of(replies);
  if (!info) return Value();
  if (truthy_field(*info, "special-form")) return Value();
  std::optional<std::string> name = text_field(*info, "name");
  if (!name || name->empty()) return Value();
  DocMap d;
  d.status = DocStatus::Found;
  d.symbol = std::string(sym);
  d.name = name;
  d.ns = text_field(*info, "ns");
  if (d.ns && d.ns->empty()) d.ns.reset();
  if (auto a = text_field(*info, "arglists-str"); a && !is_blank(*a)) d.arglists = arglists_text(*a);
  else if (auto b = text_field(*info, "arglists"); b && !is_blank(*b)) d.arglists = arglists_text(*b);
  d.doc = text_field(*info, "doc");
  d.is_macro = truthy_field(*info, "macro");
  if (auto f = text_field(*info, "file"); f && !is_blank(*f)) d.file = f;
  if (d.file)
    if (const Value* line = field(*info, "line"); line && line->is_int() && line->as_int() > 0) d.line = line->as_int();
  return doc_map_value(d);
}

namespace {

constexpr std::string_view HEADER_STARTS[] = {"Execution error", "Syntax error", "Unexpected error",
                                              "Error printing return value", "Error reading eval result"};

// The end (just past its newline) of the last error-printing header in err, or npos. A header runs from one of the
// starts to the end of its line, names " at " a location and closes with ")." before the newline; it need not
// begin a line, since a program's unterminated stderr output can precede it.
size_t last_header_end(std::string_view err) {
  size_t best_start = std::string_view::npos, best_end = std::string_view::npos;
  for (std::string_view start : HEADER_STARTS) {
    for (size_t at = err.find(start); at != std::string_view::npos; at = err.find(start, at + 1)) {
      size_t nl = err.find('\n', at);
      if (nl == std::string_view::npos) break;
      std::string_view line = err.substr(at, nl - at);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!line.ends_with(").")) continue;
      size_t loc = line.find(" at ", start.size());
      if (loc == std::string_view::npos || loc + 4 > line.size() - 2) continue;
      if (best_start == std::string_view::npos || at > best_start) {
        best_start = at;
        best_end = nl + 1;
      }
    }
  }
  return best_end;
}

std::optional<std::string> first_nonblank_line(std::string_view s) {
  for (std::string_view line : lines_of(s))
    if (!is_blank(line)) return std::string(trim(line));
  return std::nullopt;
}

// A Python traceback's exception line: the first line after the last header that is not indented.
std::optional<std::string> python_exception(std::string_view s) {
  constexpr std::string_view HEADER = "Traceback (most recent call last):";
  size_t at = s.rfind(HEADER);
  if (at == std::string_view::npos) return std::nullopt;
  for (std::string_view line : lines_of(s.substr(at + HEADER.size())))
    if (!line.empty() && line.front() != ' ' && line.front() != '\t' && !is_blank(line))
      return std::string(trim(line));
  return std::nullopt;
}

// Basilisp's labelled error block: the last "message:" line after the last "exception: <class '" line.
std::optional<std::string> basilisp_message(std::string_view s) {
  std::vector<std::string_view> lines = lines_of(s);
  std::optional<size_t> start;
  for (size_t i = 0; i < lines.size(); ++i)
    if (trim(lines[i]).starts_with("exception: <class '")) start = i;
  if (!start) return std::nullopt;
  std::optional<std::string> message;
  for (size_t i = *start + 1; i < lines.size(); ++i) {
    std::string_view l = trim(lines[i]);
    if (l.starts_with("message:")) message = std::string(trim(l.substr(8)));
  }
  return message;
}

}  // namespace

std::string error_message(std::string_view err, std::string_view ex) {
  if (size_t end = last_header_end(err); end != std::string_view::npos)
    if (auto line = first_nonblank_line(err.substr(end))) return *line;
  std::string_view ex_t = trim(ex);
  if (ex_t.starts_with("class ")) {
    std::string_view cls = trim(ex_t.substr(6));
    std::vector<std::string_view> lines = lines_of(err);
    for (auto it = lines.rbegin(); !cls.empty() && it != lines.rend(); ++it)
      if (it->find(cls) != std::string_view::npos) return std::string(trim(*it));
  }
  if (auto p = python_exception(err)) return *p;
  if (auto b = basilisp_message(err)) return *b;
  if (auto p = python_exception(ex)) return *p;
  // A server that prints the exception as data (nbb's "#error {:message ...}") has already written its message on
  // err: that first line reads better than the printed map.
  if (ex_t.starts_with("#error") && first_nonblank_line(err)) return *first_nonblank_line(err);
  if (!ex_t.empty()) return std::string(ex_t);
  return first_nonblank_line(err).value_or("");
}

namespace {

constexpr std::string_view ERROR_STATUSES[] = {"namespace-not-found", "unknown-session", "unknown-op", "error"};

std::string error_status_text(const std::vector<Message>& replies, std::string_view which) {
  std::string err = joined(replies, "err");
  std::string ex;
  for (const Message& r : replies)
    if (auto e = text_field(r, "ex")) ex = *e;
  if (!is_blank(err) || !is_blank(ex)) {
    std::string m = error_message(err, ex);
    if (!m.empty()) return "Error: " + m;
  }
  if (which == "namespace-not-found") return "Error: the server has no such namespace (namespace-not-found).";
  if (which == "unknown-session") return "Error: the server no longer knows this session (unknown-session).";
  if (which == "unknown-op") return "Error: the server doesn't support this operation (unknown-op).";
  return "Error: the server answered with an error.";
}

}  // namespace

eval::Result eval_result(const std::vector<Message>& replies, const EvalResultOptions& opts) {
  eval::Result r;
  for (const Message& m : replies)
    if (auto ns = text_field(m, "ns"); ns && !ns->empty()) r.ns = *ns;
  auto fail = [&](std::string text) {
    r.status = eval::Status::Error;
    r.error_text = std::move(text);
    return r;
  };
  auto interrupted = [&] {
    r.status = eval::Status::Interrupted;
    return r;
  };
  if (has_any_status(replies, "interrupted")) return interrupted();
  if (has_any_status(replies, DISCONNECTED_STATUS))
    return opts.stop_requested ? interrupted() : fail(opts.lost_text);
  // A server that reports an exception as data sends :ex without "eval-error" (nbb): that is an error too.
  std::string ex;
  for (const Message& m : replies)
    if (auto e = text_field(m, "ex")) ex = *e;
  if (has_any_status(replies, "eval-error") || !ex.empty()) {
    if (opts.stop_requested) return interrupted();
    std::string message = error_message(joined(replies, "err"), ex);
    return fail(message.empty() ? "evaluation failed" : "Error: " + message);
  }
  for (std::string_view s : ERROR_STATUSES)
    if (has_any_status(replies, s)) return fail(error_status_text(replies, s));
  r.status = eval::Status::Ok;
  r.printed = "nil";
  for (const Message& m : replies)
    if (auto v = text_field(m, "value")) r.printed = *v;
  return r;
}

std::string joined(const std::vector<Message>& replies, std::string_view key) {
  std::string out;
  for (const Message& m : replies)
    if (auto s = text_field(m, key)) out += *s;
  return out;
}

// The bookkeeping code below names only fully qualified vars, so it means the same in any namespace, and pastes
// names only as string literals built by the printer.

std::string keeping_history(std::string_view body) {
  // The server shifts *3 <- *2, *2 <- *1, *1 <- value after a successful eval: pre-shifting the other way and
  // answering the old *1 leaves all three as they were.
  return "(clojure.core/let [orrery-h1 clojure.core/*1 orrery-h2 clojure.core/*2 orrery-h3 clojure.core/*3]\n" +
         std::string(body) +
         "\n(set! clojure.core/*2 orrery-h3) (set! clojure.core/*1 orrery-h2) orrery-h1)";
}

std::string quiet_code(std::string_view code, std::string_view token, std::optional<std::string_view> ns_name) {
  std::string target = ns_name ? "(clojure.core/or (clojure.core/find-ns (clojure.core/symbol " + quoted(*ns_name) +
                                     ")) clojure.core/*ns*)"
                               : std::string("clojure.core/*ns*");
  std::string body =
      "(clojure.core/let [orrery-r (try (clojure.core/binding [clojure.core/*ns* " + target +
      " clojure.core/*print-length* 1000]\n"
      "  {:value (clojure.core/pr-str (clojure.core/load-string " + quoted(code) + "))})\n"
      " (catch java.lang.Throwable orrery-e\n"
      "  (clojure.core/let [orrery-c (clojure.core/ex-cause orrery-e)]\n"
      "   {:error (clojure.core/str (if (clojure.core/and orrery-c (clojure.core/= :execution "
      "(:clojure.error/phase (clojure.core/ex-data orrery-e))))\n"
      "     (clojure.core/or (clojure.core/ex-message orrery-c) orrery-c)\n"
      "     (clojure.core/or (clojure.core/ex-message orrery-e) orrery-e)))})))]\n"
      " (clojure.core/binding [clojure.core/*print-length* nil clojure.core/*print-level* nil "
      "clojure.core/*print-meta* false]\n"
      "  (clojure.core/print (clojure.core/str \"\\n\" " + quoted(token) +
      " \" \" (clojure.core/pr-str orrery-r) \"\\n\")))\n"
      " (clojure.core/flush))";
  return keeping_history(body);
}

QuietOutput quiet_result(std::string_view out, std::string_view token) {
  QuietOutput q;
  size_t at = std::string_view::npos;
  for (size_t p = out.rfind(token); p != std::string_view::npos; p = p == 0 ? std::string_view::npos
                                                                           : out.rfind(token, p - 1)) {
    if (p == 0 || out[p - 1] == '\n') {
      at = p;
      break;
    }
  }
  if (token.empty() || at == std::string_view::npos) {
    q.out = std::string(out);
    return q;
  }
  // The code printed a newline before the token line, so the program's last line ends where its output did.
  q.out = std::string(out.substr(0, at > 0 ? at - 1 : 0));
  size_t nl = out.find('\n', at);
  std::string_view data = trim(out.substr(at + token.size(), nl == std::string_view::npos ? std::string_view::npos
                                                                                          : nl - at - token.size()));
  auto v = kelp::read_edn(data);
  if (!v || !kelp::is_map(v.value())) return q;
  if (auto s = text_field(v.value(), "value")) q.value = s;
  else if (auto e = text_field(v.value(), "error")) q.error = e;
  return q;
}

eval::Result quiet_reply(const eval::Result& plain, const QuietOutput& out) {
  if (plain.status != eval::Status::Ok) return plain;
  eval::Result r = plain;
  if (out.value) {
    r.printed = *out.value;
  } else {
    r.status = eval::Status::Error;
    r.printed.clear();
    r.error_text = out.error ? "Error: " + *out.error : std::string("the quiet eval's answer was lost");
  }
  return r;
}

std::string reset_code(const std::vector<std::string>& names) {
  std::string list = "[";
  for (const std::string& n : names) list += quoted(n) + " ";
  list += "]";
  std::string body =
      "(clojure.core/doseq [orrery-n " + list +
      "]\n"
      " (clojure.core/when (clojure.core/find-ns (clojure.core/symbol orrery-n))\n"
      "  (clojure.core/remove-ns (clojure.core/symbol orrery-n))))\n"
      "(clojure.core/remove-ns 'user)\n"
      "(clojure.core/let [orrery-u (clojure.core/create-ns 'user)]\n"
      " (clojure.core/binding [clojure.core/*ns* orrery-u] (clojure.core/refer-clojure))\n"
      " (clojure.core/when-not (clojure.core/find-ns (clojure.core/ns-name clojure.core/*ns*))\n"
      "  (set! clojure.core/*ns* orrery-u)))";
  return keeping_history(body);
}

std::string ns_snapshot_code() {
  std::string body =
      "(clojure.core/doseq [[orrery-lib orrery-syms] [['clojure.repl '[doc find-doc apropos dir]]\n"
      "                                               ['clojure.pprint '[pprint pp]]]]\n"
      " (try (clojure.core/require orrery-lib)\n"
      "  (clojure.core/doseq [orrery-s orrery-syms]\n"
      "   (try (clojure.core/refer orrery-lib :only [orrery-s]) (catch java.lang.Throwable _)))\n"
      "  (catch java.lang.Throwable _)))\n"
      "(clojure.core/binding [clojure.core/*print-length* nil clojure.core/*print-level* nil]\n"
      " (clojure.core/prn [(clojure.core/mapv (clojure.core/comp clojure.core/str clojure.core/ns-name) "
      "(clojure.core/all-ns))\n"
      "                    (clojure.core/mapv clojure.core/str (clojure.core/loaded-libs))]))";
  return keeping_history(body);
}

namespace {

std::optional<std::vector<std::string>> strings_of(const Value& v) {
  if (!v.is_obj() || kelp::is_map(v)) return std::nullopt;
  std::vector<std::string> out;
  bool ok = true;
  each(&v, [&](const Value& x) {
    if (x.is(kelp::Kind::String)) out.emplace_back(kelp::str_view(x));
    else if (kelp::is_symbol(x)) out.emplace_back(x.as<kelp::Symbol>().name());
    else ok = false;
  });
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace

std::optional<NsSnapshot> read_ns_snapshot(std::string_view out) {
  // The snapshot is the last line printed; anything a required library printed comes before it.
  std::vector<std::string_view> lines = lines_of(out);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    std::string_view l = trim(*it);
    if (l.empty()) continue;
    auto v = kelp::read_edn(l);
    if (!v || !v.value().is(kelp::Kind::Vector) || kelp::count(v.value()) != 2) return std::nullopt;
    const Value* a = kelp::vector_get(v.value(), 0);
    const Value* b = kelp::vector_get(v.value(), 1);
    if (!a || !b) return std::nullopt;
    auto namespaces = strings_of(*a);
    auto libs = strings_of(*b);
    if (!namespaces || !libs) return std::nullopt;
    return NsSnapshot{std::move(*namespaces), std::move(*libs)};
  }
  return std::nullopt;
}

bool reads_stdin(std::string_view code) {
  static const std::set<std::u32string> READERS = {U"read-line", U"read", U"*in*", U"clojure.core/read-line",
                                                    U"clojure.core/read", U"clojure.core/*in*"};
  std::u32string text = kelp::to_u32(code);
  for (const Token& t : tokenize(text))
    if (is_symbol_like(t.type) && READERS.contains(text.substr(t.start, t.end - t.start))) return true;
  return false;
}

}  // namespace orrery::nrepl::ops
