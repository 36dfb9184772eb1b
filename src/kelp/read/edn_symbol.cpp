// Clojure reads a token as a symbol when it matches [:]?([\D&&[^/]].*/)?(/|[\D&&[^/]][^/]*) and passes a few
// further checks; this follows that pattern without a regex engine.
#include "kelp/read/edn_symbol.hpp"

#include "kelp/data/symbol.hpp"

namespace kelp::edn {
namespace {

struct Parts {
  std::string_view ns_group;  // the namespace with its trailing slash, or empty
  std::string_view name;
};

bool digit(char c) { return c >= '0' && c <= '9'; }

// Java's '.' stops at line terminators; of those only U+0085 can occur inside a token.
bool dot_matches_all(std::string_view s) { return s.find("\xC2\x85") == std::string_view::npos; }

bool valid_ns_group(std::string_view g) {
  return g.size() >= 2 && g[0] != '/' && !digit(g[0]) && g.back() == '/' &&
         dot_matches_all(g.substr(1, g.size() - 2));
}

std::optional<Parts> split(std::string_view t) {
  if (t.empty()) return std::nullopt;
  if (t == "/") return Parts{{}, t};
  size_t last = t.rfind('/');
  if (last == std::string_view::npos) {
    if (digit(t[0])) return std::nullopt;
    return Parts{{}, t};
  }
  if (last + 1 == t.size()) {  // the name is "/" itself: "ns//"
    std::string_view g = t.substr(0, last);
    if (!valid_ns_group(g)) return std::nullopt;
    return Parts{g, t.substr(last)};
  }
  std::string_view g = t.substr(0, last + 1);
  std::string_view name = t.substr(last + 1);
  if (!valid_ns_group(g) || digit(name[0])) return std::nullopt;
  return Parts{g, name};
}

}  // namespace

std::optional<Value> match_symbol(std::string_view token) {
  if (token.empty()) return std::nullopt;
  const bool is_keyword = token[0] == ':';
  std::optional<Parts> parts;
  if (is_keyword) parts = split(token.substr(1));
  if (!parts) parts = split(token);
  if (!parts) return std::nullopt;
  if (parts->ns_group.ends_with(":/") || parts->name.ends_with(':') ||
      token.find("::", 1) != std::string_view::npos || token.starts_with("::")) {
    return std::nullopt;
  }
  // Namespace and name split at the first slash, as Symbol.intern does.
  std::string_view s = token.substr(is_keyword ? 1 : 0);
  size_t slash = s.find('/');
  if (slash == std::string_view::npos || s == "/") return is_keyword ? keyword(s) : symbol(s);
  std::string_view ns = s.substr(0, slash), name = s.substr(slash + 1);
  return is_keyword ? keyword(ns, name) : symbol(ns, name);
}

Value qualify_key(const Value& key, std::string_view ns) {
  if (key.is(Kind::Keyword)) {
    const auto& k = key.as<Keyword>();
    if (!k.has_ns()) return keyword(ns, k.name());
    if (k.ns() == "_") return keyword(k.name());
  } else if (key.is(Kind::Symbol)) {
    const auto& s = key.as<Symbol>();
    if (!s.has_ns()) return symbol(ns, s.name());
    if (s.ns() == "_") return symbol(s.name());
  }
  return key;
}

}  // namespace kelp::edn
