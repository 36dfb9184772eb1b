// Forms that start with '#': sets, var quotes, regexes, function literals, discards, reader conditionals,
// namespaced maps, symbolic values and tagged literals.
#include <fmt/format.h>

#include <cmath>

#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/tagged.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn_symbol.hpp"
#include "kelp/read/reader_conditional.hpp"
#include "kelp/read/reader_impl.hpp"

namespace kelp::read {

Got Reader::Impl::read_dispatch(Value& out, bool splice_ok) {
  static const Value VAR = symbol("var");
  const size_t start = pos;
  if (pos + 1 >= text.size()) fail(pos + 1, "EOF while reading");
  switch (text[pos + 1]) {
    case '{': ++pos; out = read_set(); return Got::Form;
    case '^': out = read_meta(start); return Got::Form;
    case '\'': pos += 2; out = wrap(VAR, read_required()); return Got::Form;
    case '"': ++pos; out = read_regex(); return Got::Form;
    case '(': ++pos; out = read_fn(); return Got::Form;
    case '_': pos += 2; read_required(); return Got::Nothing;
    case '!':  // a line comment, for #! script lines
      while (pos < text.size() && text[pos] != '\n' && text[pos] != '\r') ++pos;
      return Got::Nothing;
    case '?': return read_conditional(out, splice_ok);
    case ':': out = read_namespaced_map(start); return Got::Form;
    case '#': out = read_symbolic(start); return Got::Form;
    case '=': fail(start, "EvalReader not allowed when *read-eval* is false.");
    case '<': fail(start, "Unreadable form");
    default: out = read_tagged(start); return Got::Form;
  }
}

// #(...): (fn* [p1__N# ...] (...)), the parameters numbered as the body uses them.
Value Reader::Impl::read_fn() {
  static const Value FN = symbol("fn*");
  static const Value AMP = symbol("&");
  if (args) fail(pos - 1, "Nested #()s are not allowed");
  std::map<int64_t, Value> env;
  args = &env;
  Value body = read_list();
  args = nullptr;
  int64_t high = 0;
  for (const auto& [index, sym] : env) high = std::max(high, index);
  std::vector<Value> params;
  for (int64_t i = 1; i <= high; ++i) {
    auto it = env.find(i);
    params.push_back(it != env.end() ? it->second
                                     : symbol(fmt::format("p{}__{}#", i, ctx->next_id())));
  }
  if (auto rest = env.find(-1); rest != env.end()) {
    params.push_back(AMP);
    params.push_back(rest->second);
  }
  return make_list({FN, make_vector(params), std::move(body)});
}

// #?(feature form ...) and #?@(...). Every branch is first read as a branch not taken (unknown tags and aliases
// allowed), to learn which one wins: the first of ReadOptions' features present, else :default. The winner is
// then read again for real. A splice puts the winner's elements into the enclosing collection.
Got Reader::Impl::read_conditional(Value& out, bool splice_ok) {
  const size_t start = pos;
  pos += 2;
  if (!options.allow_reader_conditionals) fail(start, "Conditional read not allowed");
  if (at_end()) fail(pos, "EOF while reading");
  const bool splicing = text[pos] == '@';
  if (splicing) ++pos;
  skip_trivia();
  if (at_end() || text[pos] != '(') fail(start, "read-cond body must be a list");
  if (options.preserve_reader_conditionals) {  // kept whole, so even a splice may stand at the top
    out = make_reader_conditional(read_required(), splicing);
    return Got::Form;
  }
  if (splicing && !splice_ok) fail(start, "Reader conditional splicing not allowed at the top level.");
  const size_t open = pos++;

  std::vector<std::pair<std::string_view, size_t>> branches;  // feature name and where its form starts
  ++suppress;
  Value feature;
  while (true) {
    Got g = read_any(feature, ')', false);
    if (g == Got::Close) break;
    if (g == Got::End) fail(pos, fmt::format("EOF while reading, starting at line {}", position(open).line));
    if (g == Got::Nothing) continue;
    if (!feature.is(Kind::Keyword)) fail(pos, "Feature should be a keyword: " + pr_str(feature));
    skip_trivia();
    const size_t at = pos;
    Value form;
    do {
      g = read_any(form, ')', false);
      if (g == Got::Close) fail(pos, "read-cond requires an even number of forms.");
      if (g == Got::End) fail(pos, fmt::format("EOF while reading, starting at line {}", position(open).line));
    } while (g != Got::Form);
    const auto& k = feature.as<Keyword>();
    if (!k.has_ns()) branches.emplace_back(k.name(), at);
  }
  --suppress;

  std::optional<size_t> chosen = chosen_branch(branches);
  if (!chosen) return Got::Nothing;
  const size_t after = pos;
  pos = *chosen;
  Value v = read_required();
  pos = after;
  if (!splicing) {
    out = std::move(v);
    return Got::Form;
  }
  if (!v.has(SEQUENTIAL)) fail(start, "Spliced form list in read-cond-splicing must implement java.util.List");
  v.obj()->each([&](const Value& x) {
    stack.push_back(x);
    return true;
  });
  return Got::Nothing;
}

std::optional<size_t> Reader::Impl::chosen_branch(
    const std::vector<std::pair<std::string_view, size_t>>& branches) const {
  for (const std::string& f : options.features) {
    for (const auto& [name, at] : branches) {
      if (name == f) return at;
    }
  }
  for (const auto& [name, at] : branches) {
    if (name == "default") return at;
  }
  return std::nullopt;
}

// #:ns{...}, #::{...} (the current namespace) and #::alias{...}: keys without a namespace take it, :_/k drops it.
Value Reader::Impl::read_namespaced_map(size_t start) {
  pos += 2;
  const bool auto_ns = !at_end() && text[pos] == ':';
  if (auto_ns) ++pos;
  const size_t end = token_end(pos, false);
  const std::string_view tok = text.substr(pos, end - pos);
  pos = end;
  std::string ns;
  if (auto_ns && tok.empty()) {
    ns = ctx->current_ns();
  } else {
    std::optional<Value> sym = tok.empty() ? std::nullopt : edn::match_symbol(tok);
    if (!sym || !sym->is(Kind::Symbol) || sym->as<Symbol>().has_ns()) {
      fail(start, tok.empty() ? "Namespaced map must specify a namespace"
                              : "Namespaced map must specify a valid namespace: " + std::string(tok));
    }
    if (!auto_ns) {
      ns = tok;
    } else if (std::optional<std::string> target = ctx->resolve_alias(tok)) {
      ns = *target;
    } else {
      fail(start, "Unknown auto-resolved namespace alias: " + std::string(tok));
    }
  }
  skip_trivia();
  if (at_end() || text[pos] != '{') fail(start, "Namespaced map must specify a map");
  const size_t open = pos++;
  const size_t base = read_delimited('}', open);
  const size_t n = stack.size() - base;
  if (n % 2 != 0) fail(open, "Namespaced map literal must contain an even number of forms");
  for (size_t i = base; i < stack.size(); i += 2) stack[i] = edn::qualify_key(stack[i], ns);
  Value dup;
  std::optional<Value> m = make_map_checked(std::span<const Value>(stack.data() + base, n), &dup);
  if (!m) fail(open, "Duplicate key: " + pr_str(dup));
  stack.resize(base);
  return std::move(*m);
}

// ##Inf, ##-Inf, ##NaN.
Value Reader::Impl::read_symbolic(size_t start) {
  pos += 2;
  Value s = read_required();
  if (!s.is(Kind::Symbol)) fail(start, "Invalid token: ##" + pr_str(s));
  std::string_view name = s.as<Symbol>().has_ns() ? std::string_view{} : s.as<Symbol>().name();
  if (name == "Inf") return Value::real(HUGE_VAL);
  if (name == "-Inf") return Value::real(-HUGE_VAL);
  if (name == "NaN") return Value::real(std::nan(""));
  fail(start, "Unknown symbolic value: ##" + pr_str(s));
}

// #tag form: #inst and #uuid here, every other tag through the context. In a branch not taken, tags are
// not interpreted at all.
Value Reader::Impl::read_tagged(size_t start) {
  ++pos;
  Value tag = read_required();
  if (!tag.is(Kind::Symbol)) fail(start, "Reader tag must be a symbol");
  Value form = read_required();
  if (suppress) return NIL;
  const auto& t = tag.as<Symbol>();
  if (!t.has_ns() && t.name() == "inst") {
    if (!form.is(Kind::String)) fail(start, "Instance literal expects a string for its timestamp.");
    std::string err;
    std::optional<int64_t> ms = parse_inst(str_view(form), &err);
    if (!ms) fail(start, err.empty() ? "Unrecognized date/time syntax: " + std::string(str_view(form)) : err);
    return make_inst(*ms);
  }
  if (!t.has_ns() && t.name() == "uuid") {
    if (!form.is(Kind::String)) fail(start, "UUID literal expects a string as its representation.");
    std::optional<Value> u = parse_uuid(str_view(form));
    if (!u) fail(start, "Invalid UUID string: " + std::string(str_view(form)));
    return std::move(*u);
  }
  if (std::optional<Value> v = ctx->read_tagged(tag, form)) return std::move(*v);
  fail(start, "No reader function for tag " + pr_str(tag));
}

}  // namespace kelp::read
