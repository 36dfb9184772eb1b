#include "orrery/edn_edit.hpp"

#include <algorithm>
#include <exception>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "kelp/read/edn_lexer.hpp"
#include "kelp/read/edn_symbol.hpp"
#include "kelp/read/edn_tree.hpp"

namespace orrery::edn_edit {
namespace {

using kelp::Value;
using kelp::edn::Node;
using kelp::edn::Tree;

// A map written in the text: its node, the offset just past its opening brace and the namespace of #:ns{...}.
struct MapNode {
  int id = -1;
  size_t open_end = 0;
  std::string_view ns;
};

struct Entry {
  int key = -1;
  int value = -1;
  Value k;
};

// Works on one text: every edit re-parses, so node offsets are always those of the current text.
class Doc {
 public:
  explicit Doc(std::string_view text) : text_(text) {}

  const std::string& text() const { return text_; }

  bool parse() {
    tree_ = kelp::edn::parse_tree(text_);
    return tree_.has_value();
  }

  // The node as a map, looking through metadata prefixes; nothing when it is something else.
  std::optional<MapNode> as_map(int id) const {
    while (node(id).kind == Node::Kind::Prefix && node(id).meta) {
      std::vector<int> kids = tree_->significant(node(id).kids);
      if (kids.size() != 2) return std::nullopt;
      id = kids[1];
    }
    const Node& n = node(id);
    if (n.kind != Node::Kind::Coll) return std::nullopt;
    std::string_view t = text_;
    if (t[n.start] == '{') return MapNode{id, n.start + 1, {}};
    if (t.substr(n.start, 2) != "#:") return std::nullopt;
    size_t p = kelp::edn::skip_trivia(t, n.start + 2);
    std::string_view ns = t.substr(p, kelp::edn::token_end(t, p, false) - p);
    return MapNode{id, t.find('{', p) + 1, ns};
  }

  std::optional<MapNode> top_map() const {
    std::vector<int> top = tree_->significant(tree_->top);
    if (top.size() != 1) return std::nullopt;
    return as_map(top[0]);
  }

  std::optional<std::vector<Entry>> entries(const MapNode& m) const {
    std::vector<int> kids = tree_->significant(node(m.id).kids);
    if (kids.size() % 2 != 0) return std::nullopt;
    std::vector<Entry> out;
    for (size_t i = 0; i < kids.size(); i += 2) {
      kelp::Result<Value> key = kelp::read_edn(slice(kids[i]));
      if (!key) return std::nullopt;
      out.push_back({kids[i], kids[i + 1], m.ns.empty() ? *key : kelp::edn::qualify_key(*key, m.ns)});
    }
    return out;
  }

  std::optional<Entry> find(const MapNode& m, const Value& key) const {
    auto es = entries(m);
    if (!es) return std::nullopt;
    for (const Entry& e : *es)
      if (kelp::equiv(e.k, key)) return e;
    return std::nullopt;
  }

  // Follows path through nested maps, stopping at the first key that is absent; *depth is the number of keys
  // followed. Nothing when there is no top map or a value on the way is not a map written as one.
  std::optional<MapNode> walk(std::span<const Value> path, size_t* depth) const {
    std::optional<MapNode> m = top_map();
    *depth = 0;
    if (!m) return std::nullopt;
    for (const Value& k : path) {
      std::optional<Entry> e = find(*m, k);
      if (!e) return m;
      std::optional<MapNode> inner = as_map(e->value);
      if (!inner) return std::nullopt;
      m = inner;
      ++*depth;
    }
    return m;
  }

  void replace(size_t start, size_t end, std::string_view with) { text_.replace(start, end - start, with); }

  const Node& node(int id) const { return tree_->nodes[static_cast<size_t>(id)]; }
  std::string_view slice(int id) const {
    const Node& n = node(id);
    return std::string_view(text_).substr(n.start, n.end - n.start);
  }
  const Tree& tree() const { return *tree_; }

 private:
  std::string text_;
  std::optional<Tree> tree_;
};

bool blank_char(char c) { return c == ' ' || c == '\t' || c == ','; }

bool only_blanks(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return blank_char(c) || c == '\r' || c == '\n'; });
}

size_t line_start(std::string_view t, size_t at) {
  size_t nl = at == 0 ? std::string_view::npos : t.rfind('\n', at - 1);
  return nl == std::string_view::npos ? 0 : nl + 1;
}

// Whitespace that lines text up under the character at `at`: tabs kept, every other character a space.
std::string indent_of(std::string_view t, size_t at) {
  std::string out;
  for (size_t i = line_start(t, at); i < at; ++i) {
    auto b = static_cast<unsigned char>(t[i]);
    if ((b & 0xC0) == 0x80) continue;
    out += b == '\t' ? '\t' : ' ';
  }
  return out;
}

std::string newline_of(std::string_view t) { return t.find("\r\n") != std::string_view::npos ? "\r\n" : "\n"; }

// Past blanks and a comment that ends the line at `at`: where text that follows a form on its line goes.
size_t end_of_line_content(std::string_view t, size_t at) {
  while (at < t.size() && blank_char(t[at])) ++at;
  if (at < t.size() && t[at] == ';')
    while (at < t.size() && t[at] != '\n' && t[at] != '\r') ++at;
  return at;
}

std::string key_text(const Value& key, std::string_view ns) {
  if (!ns.empty()) {
    // Inside #:ns{...} a plain keyword would take the namespace; :_/k reads as plain :k.
    if (key.is(kelp::Kind::Keyword) && !key.as<kelp::Keyword>().has_ns())
      return ":_/" + std::string(key.as<kelp::Keyword>().name());
    if (key.is(kelp::Kind::Symbol) && !key.as<kelp::Symbol>().has_ns())
      return "_/" + std::string(key.as<kelp::Symbol>().name());
  }
  return kelp::print_edn(key);
}

void append_entry(Doc& doc, const MapNode& m, const std::string& entry) {
  std::string_view t = doc.text();
  const Node& map = doc.node(m.id);
  const std::vector<int>& all = map.kids;
  const std::vector<int> kids = doc.tree().significant(all);
  if (kids.empty()) {
    std::string_view inner = t.substr(m.open_end, map.close - m.open_end);
    size_t close_line = line_start(t, map.close);
    if (inner.find('\n') == std::string_view::npos || !only_blanks(t.substr(close_line, map.close - close_line))) {
      const bool spaced = inner.empty() || blank_char(inner.back());
      doc.replace(map.close, map.close, (spaced ? "" : " ") + entry);
      return;
    }
    // The closing brace is on a line of its own: the entry goes on a line above it, under whatever the map holds
    // (a comment, a discard), else one column in from the brace.
    std::string indent = indent_of(t, map.close) + " ";
    for (size_t i = m.open_end; i < map.close; ++i) {
      if (t[i] == '\n' && i + 1 < map.close) {
        size_t first = i + 1;
        while (first < map.close && blank_char(t[first])) ++first;
        if (first < map.close && t[first] != '\n' && t[first] != '\r') {
          indent = indent_of(t, first);
          break;
        }
      }
    }
    doc.replace(close_line, close_line, indent + entry + newline_of(t));
    return;
  }
  const Node& first_key = doc.node(kids.front());
  size_t last_end = 0;
  for (int id : all) last_end = std::max(last_end, doc.node(id).end);
  const bool multiline = t.substr(first_key.start, map.close - first_key.start).find('\n') != std::string_view::npos;
  if (multiline) {
    // After the last form, or after the comment that ends its line, which belongs to it.
    size_t at = end_of_line_content(t, last_end);
    if (t.substr(last_end, at - last_end).find(';') == std::string_view::npos) at = last_end;
    doc.replace(at, at, newline_of(t) + indent_of(t, first_key.start) + entry);
    return;
  }
  std::string sep = " ";
  if (kids.size() >= 4) {
    const size_t a = doc.node(kids[1]).end, b = doc.node(kids[2]).start;
    if (t.substr(a, b - a).find(',') != std::string_view::npos) sep = ", ";
  }
  doc.replace(last_end, last_end, sep + entry);
}

void remove_entry(Doc& doc, const MapNode& m, const Entry& e) {
  std::string_view t = doc.text();
  const Node& key = doc.node(e.key);
  const Node& value = doc.node(e.value);
  // Alone on its lines: the lines go, with a comment that ends the last one.
  const size_t ls = line_start(t, key.start);
  size_t after = end_of_line_content(t, value.end);
  if (after < t.size() && t[after] == '\r') ++after;
  const bool alone_before = std::all_of(t.begin() + static_cast<long>(ls), t.begin() + static_cast<long>(key.start),
                                        blank_char);
  if (alone_before && ls >= m.open_end && after < t.size() && t[after] == '\n') {
    doc.replace(ls, after + 1, "");
    return;
  }
  // Sharing a line: the entry goes with the blanks that separate it from the form before it, or else from the
  // form after it, as long as no comment lies in between.
  const std::vector<int>& all = doc.node(m.id).kids;
  auto it = std::find(all.begin(), all.end(), e.key);
  auto vit = std::find(all.begin(), all.end(), e.value);
  if (it != all.begin()) {
    const size_t prev_end = doc.node(*(it - 1)).end;
    if (only_blanks(t.substr(prev_end, key.start - prev_end))) {
      doc.replace(prev_end, value.end, "");
      return;
    }
  }
  if (vit != all.end() && vit + 1 != all.end()) {
    const size_t next_start = doc.node(*(vit + 1)).start;
    if (only_blanks(t.substr(value.end, next_start - value.end))) {
      doc.replace(key.start, next_start, "");
      return;
    }
  }
  // Otherwise only the entry goes, with the blanks that start its line and a comment that ends it.
  const size_t start = alone_before && ls >= m.open_end ? ls : key.start;
  size_t end = end_of_line_content(t, value.end);
  if (t.substr(value.end, end - value.end).find(';') == std::string_view::npos) end = value.end;
  doc.replace(start, end, "");
}

Value assoc_in(const Value& m, std::span<const Value> path, const Value& v) {
  if (path.size() == 1) return kelp::assoc(m, path[0], v);
  const Value* inner = kelp::get(m, path[0]);
  if (inner && !kelp::is_map(*inner)) throw std::invalid_argument("not a map");
  return kelp::assoc(m, path[0], assoc_in(inner ? *inner : kelp::empty_map(), path.subspan(1), v));
}

Value dissoc_in(const Value& m, std::span<const Value> path) {
  if (path.size() == 1) return kelp::dissoc(m, path[0]);
  const Value* inner = kelp::get(m, path[0]);
  if (!inner) return m;
  if (!kelp::is_map(*inner)) throw std::invalid_argument("not a map");
  return kelp::assoc(m, path[0], dissoc_in(*inner, path.subspan(1)));
}

// One edit on the document; false when the text's shape does not allow it.
bool apply_set(Doc& doc, std::span<const Value> path, const Value& value) {
  if (!doc.parse()) return false;
  size_t depth = 0;
  std::optional<MapNode> m = doc.walk(path.first(path.size() - 1), &depth);
  if (!m) return false;
  if (depth < path.size() - 1) {
    // The map at path[depth] is missing: it is written whole, holding the rest of the path.
    Value v = value;
    for (size_t i = path.size() - 1; i > depth; --i) v = kelp::make_map({path[i], v});
    append_entry(doc, *m, key_text(path[depth], m->ns) + " " + kelp::print_edn(v));
    return true;
  }
  if (std::optional<Entry> e = doc.find(*m, path.back())) {
    const Node& n = doc.node(e->value);
    doc.replace(n.start, n.end, kelp::print_edn(value));
  } else {
    append_entry(doc, *m, key_text(path.back(), m->ns) + " " + kelp::print_edn(value));
  }
  return true;
}

bool apply_remove(Doc& doc, std::span<const Value> path) {
  if (!doc.parse()) return false;
  size_t depth = 0;
  std::optional<MapNode> m = doc.walk(path.first(path.size() - 1), &depth);
  if (!m) return false;
  if (depth < path.size() - 1) return true;
  if (std::optional<Entry> e = doc.find(*m, path.back())) remove_entry(doc, *m, *e);
  return true;
}

// Edits the value at path (a map written as a map) into `to`, key by key.
bool apply_replace_map(Doc& doc, std::vector<Value>& path, const Value& from, const Value& to);

bool apply_value(Doc& doc, std::vector<Value>& path, const Value* from, const Value& to) {
  if (from && kelp::equiv(*from, to)) return true;
  if (from && kelp::is_map(*from) && kelp::is_map(to)) {
    if (!doc.parse()) return false;
    size_t depth = 0;
    std::optional<MapNode> m = doc.walk(path, &depth);
    if (m && depth == path.size()) return apply_replace_map(doc, path, *from, to);
  }
  return apply_set(doc, path, to);
}

bool apply_replace_map(Doc& doc, std::vector<Value>& path, const Value& from, const Value& to) {
  bool ok = true;
  to.obj()->each_entry([&](const Value& k, const Value& v) {
    path.push_back(k);
    ok = apply_value(doc, path, kelp::get(from, k), v);
    path.pop_back();
    return ok;
  });
  if (!ok) return false;
  from.obj()->each_entry([&](const Value& k, const Value&) {
    if (kelp::get(to, k)) return true;
    path.push_back(k);
    ok = apply_remove(doc, path);
    path.pop_back();
    return ok;
  });
  return ok;
}

std::optional<Value> read_map(std::string_view text) {
  kelp::Result<Value> v = kelp::read_edn(text);
  if (!v || !kelp::is_map(*v)) return std::nullopt;
  return *v;
}

// The edited text when it reads back as expected.
std::optional<std::string> checked(const Doc& doc, const Value& expected) {
  std::optional<Value> back = read_map(doc.text());
  if (!back || !kelp::equiv(*back, expected)) return std::nullopt;
  return doc.text();
}

template <class F>
std::optional<std::string> guarded(F&& f) {
  try {
    return f();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> set_in(std::string_view text, std::span<const Value> path, const Value& value) {
  return guarded([&]() -> std::optional<std::string> {
    std::optional<Value> old = read_map(text);
    if (!old || path.empty()) return std::nullopt;
    Value expected = assoc_in(*old, path, value);
    Doc doc(text);
    std::vector<Value> p(path.begin(), path.end());
    if (!apply_set(doc, p, value)) return std::nullopt;
    return checked(doc, expected);
  });
}

std::optional<std::string> set_key(std::string_view text, const Value& key, const Value& value) {
  return set_in(text, std::span<const Value>(&key, 1), value);
}

std::optional<std::string> remove_in(std::string_view text, std::span<const Value> path) {
  return guarded([&]() -> std::optional<std::string> {
    std::optional<Value> old = read_map(text);
    if (!old || path.empty()) return std::nullopt;
    Value expected = dissoc_in(*old, path);
    Doc doc(text);
    if (!apply_remove(doc, path)) return std::nullopt;
    return checked(doc, expected);
  });
}

std::optional<std::string> remove_key(std::string_view text, const Value& key) {
  return remove_in(text, std::span<const Value>(&key, 1));
}

std::optional<std::string> merge_keys(std::string_view text, const Value& m) {
  return guarded([&]() -> std::optional<std::string> {
    std::optional<Value> old = read_map(text);
    if (!old || !kelp::is_map(m)) return std::nullopt;
    Value expected = *old;
    Doc doc(text);
    std::vector<Value> path;
    bool ok = true;
    m.obj()->each_entry([&](const Value& k, const Value& v) {
      expected = kelp::assoc(expected, k, v);
      path.assign({k});
      ok = apply_value(doc, path, kelp::get(*old, k), v);
      return ok;
    });
    if (!ok) return std::nullopt;
    return checked(doc, expected);
  });
}

bool is_blank(std::string_view text) {
  std::optional<Tree> tree = kelp::edn::parse_tree(text);
  return tree && tree->significant(tree->top).empty();
}

}  // namespace orrery::edn_edit
