#include "orrery/edn_edit.hpp"

#include <algorithm>
#include <exception>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
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

  // The form a node carries, looking through metadata prefixes.
  std::optional<int> through_meta(int id) const {
    while (node(id).kind == Node::Kind::Prefix && node(id).meta) {
      std::vector<int> kids = tree_->significant(node(id).kids);
      if (kids.size() != 2) return std::nullopt;
      id = kids[1];
    }
    return id;
  }

  // The node as a map, looking through metadata prefixes; nothing when it is something else.
  std::optional<MapNode> as_map(int id) const {
    std::optional<int> form = through_meta(id);
    if (!form) return std::nullopt;
    id = *form;
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

  // The vector written as the value at path (through metadata prefixes); nothing when the path is missing or the
  // value is written as something else.
  std::optional<int> vector_at(std::span<const Value> path) const {
    size_t depth = 0;
    std::optional<MapNode> m = walk(path.first(path.size() - 1), &depth);
    if (!m || depth < path.size() - 1) return std::nullopt;
    std::optional<Entry> e = find(*m, path.back());
    if (!e) return std::nullopt;
    std::optional<int> id = through_meta(e->value);
    if (!id || node(*id).kind != Node::Kind::Coll || text_[node(*id).start] != '[') return std::nullopt;
    return id;
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

// Takes the forms first..last (children of a collection whose contents start at open_end) out of the text.
void remove_forms(Doc& doc, size_t open_end, const std::vector<int>& all, int first, int last) {
  std::string_view t = doc.text();
  const Node& key = doc.node(first);
  const Node& value = doc.node(last);
  // Alone on its lines: the lines go, with a comment that ends the last one.
  const size_t ls = line_start(t, key.start);
  size_t after = end_of_line_content(t, value.end);
  if (after < t.size() && t[after] == '\r') ++after;
  const bool alone_before = std::all_of(t.begin() + static_cast<long>(ls), t.begin() + static_cast<long>(key.start),
                                        blank_char);
  if (alone_before && ls >= open_end && after < t.size() && t[after] == '\n') {
    doc.replace(ls, after + 1, "");
    return;
  }
  // Sharing a line: the forms go with the blanks that separate them from the form before, or else from the form
  // after, as long as no comment lies in between.
  auto it = std::find(all.begin(), all.end(), first);
  auto vit = std::find(all.begin(), all.end(), last);
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
  // Otherwise only the forms go, with the blanks that start their line and a comment that ends it.
  const size_t start = alone_before && ls >= open_end ? ls : key.start;
  size_t end = end_of_line_content(t, value.end);
  if (t.substr(value.end, end - value.end).find(';') == std::string_view::npos) end = value.end;
  doc.replace(start, end, "");
}

void remove_entry(Doc& doc, const MapNode& m, const Entry& e) {
  remove_forms(doc, m.open_end, doc.node(m.id).kids, e.key, e.value);
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

std::vector<Value> items(const Value& coll) {
  std::vector<Value> out;
  if (const kelp::Object* o = coll.obj()) o->each([&](const Value& x) {
      out.push_back(x);
      return true;
    });
  return out;
}

// One change to a vector's elements, at an element's index in the text as it is when the change is made.
struct VectorOp {
  enum class Kind { Remove, Insert, Replace } kind;
  size_t at;
  Value value;
};

// The fewest removals, insertions and replacements that turn `from` into `to`, by value equality, ordered from the
// back of the vector to its front so that applying them in turn never moves an element a later one names.
std::vector<VectorOp> vector_diff(const std::vector<Value>& from, const std::vector<Value>& to) {
  const size_t n = from.size(), m = to.size();
  // lcs[i][j]: the longest common subsequence of from[i..] and to[j..].
  std::vector<std::vector<size_t>> lcs(n + 1, std::vector<size_t>(m + 1, 0));
  for (size_t i = n; i-- > 0;)
    for (size_t j = m; j-- > 0;)
      lcs[i][j] = kelp::equiv(from[i], to[j]) ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
  // Between two kept elements lies a run of removed old elements and inserted new ones; pairs of them are
  // replacements, so an element changed where it stands keeps its place and the comment beside it.
  struct Run {
    size_t at;
    size_t removed;
    std::vector<Value> inserted;
  };
  std::vector<Run> runs;
  size_t i = 0, j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && kelp::equiv(from[i], to[j]) && lcs[i][j] == lcs[i + 1][j + 1] + 1) {
      ++i, ++j;
      continue;
    }
    if (runs.empty() || runs.back().at + runs.back().removed != i) runs.push_back({i, 0, {}});
    if (i < n && (j == m || lcs[i + 1][j] >= lcs[i][j + 1])) {
      ++runs.back().removed;
      ++i;
    } else {
      runs.back().inserted.push_back(to[j++]);
    }
  }
  std::vector<VectorOp> ops;
  for (auto r = runs.rbegin(); r != runs.rend(); ++r) {
    const size_t paired = std::min(r->removed, r->inserted.size());
    for (size_t k = r->removed; k-- > paired;) ops.push_back({VectorOp::Kind::Remove, r->at + k, Value()});
    // Inserted at one place back to front, so each goes in front of the ones after it.
    for (size_t k = r->inserted.size(); k-- > paired;)
      ops.push_back({VectorOp::Kind::Insert, r->at + paired, r->inserted[k]});
    for (size_t k = paired; k-- > 0;) ops.push_back({VectorOp::Kind::Replace, r->at + k, r->inserted[k]});
  }
  return ops;
}

// The element's text inserted at index `at` of the vector node: on its own line under the element before it (or
// in front of the first, under it), beside it when the vector keeps its elements on one line or the element before
// shares its line with more, and aligned after the bracket in a vector holding nothing.
void insert_element(Doc& doc, int vec, size_t at, const std::string& element, bool one_line) {
  std::string_view t = doc.text();
  const Node& v = doc.node(vec);
  const size_t open_end = v.start + 1;
  const std::vector<int> kids = doc.tree().significant(v.kids);
  const std::string nl = newline_of(t);
  if (kids.empty()) {
    if (v.kids.empty() && only_blanks(t.substr(open_end, v.close - open_end))) {
      doc.replace(open_end, open_end, element);
      return;
    }
    // Comments or discards inside: below them when the bracket closes on a line of its own, else before it.
    const size_t close_line = line_start(t, v.close);
    if (close_line > open_end && only_blanks(t.substr(close_line, v.close - close_line))) {
      doc.replace(close_line, close_line, indent_of(t, open_end) + element + nl);
      return;
    }
    doc.replace(v.close, v.close, (blank_char(t[v.close - 1]) ? "" : " ") + element);
    return;
  }
  if (one_line) {
    std::string sep = " ";
    if (kids.size() >= 2) {
      const size_t a = doc.node(kids[0]).end, b = doc.node(kids[1]).start;
      if (t.substr(a, b - a).find(',') != std::string_view::npos) sep = ", ";
    }
    if (at == 0) doc.replace(doc.node(kids[0]).start, doc.node(kids[0]).start, element + sep);
    else doc.replace(doc.node(kids[at - 1]).end, doc.node(kids[at - 1]).end, sep + element);
    return;
  }
  if (at == 0) {
    const size_t first = doc.node(kids[0]).start;
    doc.replace(first, first, element + nl + indent_of(t, first));
    return;
  }
  const Node& prev = doc.node(kids[at - 1]);
  const size_t line_end = end_of_line_content(t, prev.end);
  const bool ends_line = line_end >= t.size() || t[line_end] == '\n' || t[line_end] == '\r' || line_end == v.close;
  if (!ends_line) {
    doc.replace(prev.end, prev.end, " " + element);
    return;
  }
  // After the comment that ends the element's line, which belongs to it.
  const bool commented = t.substr(prev.end, line_end - prev.end).find(';') != std::string_view::npos;
  const size_t pos = commented ? line_end : prev.end;
  doc.replace(pos, pos, nl + indent_of(t, prev.start) + element);
}

bool apply_vector_ops(Doc& doc, std::span<const Value> path, const std::vector<VectorOp>& ops, Print print,
                      bool one_line) {
  for (const VectorOp& op : ops) {
    if (!doc.parse()) return false;
    std::optional<int> vec = doc.vector_at(path);
    if (!vec) return false;
    const std::vector<int>& all = doc.node(*vec).kids;
    const std::vector<int> kids = doc.tree().significant(all);
    if (op.at > kids.size() || (op.kind != VectorOp::Kind::Insert && op.at == kids.size())) return false;
    switch (op.kind) {
      case VectorOp::Kind::Remove:
        remove_forms(doc, doc.node(*vec).start + 1, all, kids[op.at], kids[op.at]);
        break;
      case VectorOp::Kind::Insert: insert_element(doc, *vec, op.at, print(op.value), one_line); break;
      case VectorOp::Kind::Replace: {
        const Node& n = doc.node(kids[op.at]);
        doc.replace(n.start, n.end, print(op.value));
        break;
      }
    }
  }
  return true;
}

const Value* get_in(const Value& m, std::span<const Value> path) {
  const Value* v = &m;
  for (const Value& k : path) {
    if (!kelp::is_map(*v)) return nullptr;
    v = kelp::get(*v, k);
    if (!v) return nullptr;
  }
  return v;
}

std::string print_plain(const Value& v) { return kelp::print_edn(v); }

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

std::optional<std::string> set_vector_in(std::string_view text, std::span<const Value> path, const Value& vector,
                                         Print print) {
  return guarded([&]() -> std::optional<std::string> {
    std::optional<Value> old = read_map(text);
    if (!old || path.empty()) return std::nullopt;
    if (!print) print = print_plain;
    const Value expected = assoc_in(*old, path, vector);
    const Value* was = get_in(*old, path);
    if (!vector.is(kelp::Kind::Vector) || (was && !was->is(kelp::Kind::Vector))) return set_in(text, path, vector);
    if (!was) {
      // A new key starts as an empty vector and gains its elements one a line, as any other vector would.
      if (items(vector).empty()) return set_in(text, path, vector);
      std::optional<std::string> with = set_in(text, path, kelp::empty_vector());
      return with ? set_vector_in(*with, path, vector, print) : std::nullopt;
    }
    const std::vector<Value> from = items(*was);
    Doc doc(text);
    if (!doc.parse()) return std::nullopt;
    std::optional<int> vec = doc.vector_at(path);
    if (!vec) return std::nullopt;
    const std::vector<int> kids = doc.tree().significant(doc.node(*vec).kids);
    if (kids.size() != from.size()) return std::nullopt;
    // Elements sharing one line are the layout new ones follow; a single element says nothing about it.
    const bool one_line =
        kids.size() >= 2 &&
        doc.text().substr(doc.node(kids.front()).start, doc.node(kids.back()).end - doc.node(kids.front()).start)
                .find('\n') == std::string::npos;
    if (!apply_vector_ops(doc, path, vector_diff(from, items(vector)), print, one_line)) return std::nullopt;
    return checked(doc, expected);
  });
}

std::optional<std::string> set_vector(std::string_view text, const Value& key, const Value& vector, Print print) {
  return set_vector_in(text, std::span<const Value>(&key, 1), vector, print);
}

bool is_blank(std::string_view text) {
  std::optional<Tree> tree = kelp::edn::parse_tree(text);
  return tree && tree->significant(tree->top).empty();
}

}  // namespace orrery::edn_edit
