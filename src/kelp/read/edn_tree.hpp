// A lossless syntax tree of EDN text: every form is a node with its byte range, and every byte outside the
// nodes is trivia (whitespace, commas, comments); #_ discards are nodes marked as discarded. Editing the text
// through node ranges leaves everything else byte for byte as written.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace kelp::edn {

struct Node {
  enum class Kind { Atom, Coll, Prefix } kind;
  size_t start = 0;
  size_t end = 0;       // one past the last byte
  size_t close = 0;     // collections: the offset of the closing delimiter
  int need = 0;         // prefixes: forms still wanted (^ wants two, #_ #tag ## one)
  bool discard = false; // a #_ and the form it discards
  bool meta = false;    // a ^ prefix: its last child is the form that carries the metadata
  std::vector<int> kids;
};

struct Tree {
  std::vector<Node> nodes;
  std::vector<int> top;  // the top-level nodes, in order

  // The children of a node that are not discarded.
  std::vector<int> significant(const std::vector<int>& ids) const;
};

// The tree of a text whose forms are balanced; nothing when they are not.
std::optional<Tree> parse_tree(std::string_view text);

}  // namespace kelp::edn
