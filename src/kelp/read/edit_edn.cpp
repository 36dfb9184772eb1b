// Setting keys of the map in an EDN text by editing the text itself: each named key's value node is replaced
// by the printed new value, new keys are appended in the layout of the existing entries, and every other byte
// stays as written. The edited text must read back as the old map with the new keys, or nothing is answered.
#include <algorithm>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "kelp/read/edn_lexer.hpp"
#include "kelp/read/edn_symbol.hpp"
#include "kelp/read/edn_tree.hpp"

namespace kelp {
namespace {

using edn::Node;
using edn::Tree;

struct Edit {
  size_t start, end;
  std::string text;
};

// The top-level map node, looking through metadata prefixes; -1 when the top-level form is not a map.
int top_map(std::string_view text, const Tree& tree) {
  std::vector<int> top = tree.significant(tree.top);
  if (top.size() != 1) return -1;
  int id = top[0];
  while (tree.nodes[id].kind == Node::Kind::Prefix && tree.nodes[id].meta) {
    std::vector<int> kids = tree.significant(tree.nodes[id].kids);
    if (kids.size() != 2) return -1;
    id = kids[1];
  }
  const Node& n = tree.nodes[id];
  if (n.kind != Node::Kind::Coll) return -1;
  if (text[n.start] == '{' || text.substr(n.start, 2) == "#:") return id;
  return -1;
}

// The namespace of a #:ns{...} map node, or empty for a plain map.
std::string_view map_namespace(std::string_view text, const Node& map) {
  if (text[map.start] != '#') return {};
  size_t p = edn::skip_trivia(text, map.start + 2);
  return text.substr(p, edn::token_end(text, p, false) - p);
}

// How a new key is written inside #:ns{...} so that it reads back as itself.
std::string key_text(const Value& key, std::string_view ns) {
  if (!ns.empty()) {
    if (key.is(Kind::Keyword) && !key.as<Keyword>().has_ns()) return ":_/" + std::string(key.as<Keyword>().name());
    if (key.is(Kind::Symbol) && !key.as<Symbol>().has_ns()) return "_/" + std::string(key.as<Symbol>().name());
  }
  return print_edn(key);
}

// Whitespace that lines a new entry up under the first key: tabs kept, every other character a space.
std::string indent_of(std::string_view text, size_t key_start) {
  size_t line = text.rfind('\n', key_start == 0 ? 0 : key_start - 1);
  line = line == std::string_view::npos ? 0 : line + 1;
  std::string indent;
  for (size_t i = line; i < key_start; ++i) {
    auto b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0) == 0x80) continue;
    indent += b == '\t' ? '\t' : ' ';
  }
  return indent;
}

// Where new entries go in a multi-line map: after the last value, past a comment that ends its line.
size_t multiline_insert_point(std::string_view text, size_t after_last) {
  size_t q = after_last;
  while (q < text.size() && (text[q] == ' ' || text[q] == '\t' || text[q] == ',')) ++q;
  if (q < text.size() && text[q] == ';') {
    while (q < text.size() && text[q] != '\n' && text[q] != '\r') ++q;
    return q;
  }
  return after_last;
}

Edit append_entries(std::string_view text, const Tree& tree, const Node& map, const std::vector<int>& kids,
                    const std::vector<std::string>& entries) {
  if (kids.empty()) {
    std::string joined;
    for (const auto& e : entries) joined += (joined.empty() ? "" : " ") + e;
    return Edit{map.close, map.close, joined};
  }
  const Node& first_key = tree.nodes[kids.front()];
  const Node& last_val = tree.nodes[kids.back()];
  const bool multiline = text.substr(first_key.start, map.close - first_key.start).find('\n') != std::string_view::npos;
  std::string out;
  if (multiline) {
    const std::string nl = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    const std::string indent = indent_of(text, first_key.start);
    for (const auto& e : entries) out += nl + indent + e;
    size_t at = multiline_insert_point(text, last_val.end);
    return Edit{at, at, out};
  }
  std::string_view sep = " ";
  if (kids.size() >= 4) {
    std::string_view between = text.substr(tree.nodes[kids[1]].end, tree.nodes[kids[2]].start - tree.nodes[kids[1]].end);
    if (between.find(',') != std::string_view::npos) sep = ", ";
  }
  for (const auto& e : entries) {
    out += sep;
    out += e;
  }
  return Edit{last_val.end, last_val.end, out};
}

std::optional<std::string> edit(std::string_view text, const Value& m) {
  if (!m.is_nil() && !is_map(m)) return std::nullopt;
  Result<Value> old = read_edn(text);
  if (!old || !is_map(*old)) return std::nullopt;
  std::optional<Tree> tree = edn::parse_tree(text);
  if (!tree) return std::nullopt;
  int map_id = top_map(text, *tree);
  if (map_id < 0) return std::nullopt;
  const Node& map = tree->nodes[map_id];
  const std::vector<int> kids = tree->significant(map.kids);
  if (kids.size() % 2 != 0) return std::nullopt;
  const std::string_view ns = map_namespace(text, map);

  std::vector<Value> keys_written;
  for (size_t i = 0; i < kids.size(); i += 2) {
    const Node& k = tree->nodes[kids[i]];
    Result<Value> key = read_edn(text.substr(k.start, k.end - k.start));
    if (!key) return std::nullopt;
    keys_written.push_back(ns.empty() ? *key : edn::qualify_key(*key, ns));
  }

  std::vector<Edit> edits;
  std::vector<std::string> added;
  Value expected = *old;
  if (!m.is_nil()) {
    m.obj()->each_entry([&](const Value& k, const Value& v) {
      expected = assoc(expected, k, v);
      auto it = std::find_if(keys_written.begin(), keys_written.end(), [&](const Value& w) { return equiv(w, k); });
      if (it == keys_written.end()) {
        added.push_back(key_text(k, ns) + " " + print_edn(v));
      } else {
        const Node& val = tree->nodes[kids[2 * static_cast<size_t>(it - keys_written.begin()) + 1]];
        edits.push_back(Edit{val.start, val.end, print_edn(v)});
      }
      return true;
    });
  }
  if (!added.empty()) edits.push_back(append_entries(text, *tree, map, kids, added));

  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.start > b.start; });
  std::string out(text);
  for (const Edit& e : edits) out.replace(e.start, e.end - e.start, e.text);

  Result<Value> back = read_edn(out);
  if (!back || !equiv(*back, expected)) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> edit_edn_keys(std::string_view text, const Value& m) {
  try {
    return edit(text, m);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace kelp
