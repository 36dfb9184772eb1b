#include "kelp/read/edn_tree.hpp"

#include "kelp/read/edn_lexer.hpp"

namespace kelp::edn {

std::vector<int> Tree::significant(const std::vector<int>& ids) const {
  std::vector<int> out;
  for (int id : ids) {
    if (!nodes[id].discard) out.push_back(id);
  }
  return out;
}

namespace {

// Builds the tree with an explicit stack of open collections and prefixes, like the reader.
class TreeBuilder {
 public:
  explicit TreeBuilder(std::string_view t) : t_(t) {}

  std::optional<Tree> run() {
    size_t i = 0;
    const size_t n = t_.size();
    while (true) {
      i = skip_trivia(t_, i);
      if (i >= n) break;
      const char c = t_[i];
      if (c == ')' || c == ']' || c == '}') {
        if (open_.empty() || tree_.nodes[open_.back()].kind != Node::Kind::Coll) return std::nullopt;
        int id = open_.back();
        open_.pop_back();
        tree_.nodes[id].close = i;
        tree_.nodes[id].end = i + 1;
        ++i;
        finish(id);
        continue;
      }
      if (c == '(' || c == '[' || c == '{') {
        push(Node::Kind::Coll, i, 0);
        ++i;
        continue;
      }
      if (c == '^') {
        push(Node::Kind::Prefix, i, 2).meta = true;
        ++i;
        continue;
      }
      if (c == '#') {
        if (i + 1 >= n) return std::nullopt;
        switch (t_[i + 1]) {
          case '{': push(Node::Kind::Coll, i, 0); i += 2; continue;
          case '_': push(Node::Kind::Prefix, i, 1).discard = true; i += 2; continue;
          case '^': push(Node::Kind::Prefix, i, 2).meta = true; i += 2; continue;
          case '#': push(Node::Kind::Prefix, i, 1); i += 2; continue;
          case ':': {
            size_t p = skip_trivia(t_, i + 2);
            size_t e = p < n ? token_end(t_, p, false) : p;
            size_t len;
            while (e < n && whitespace_at(t_, e, &len)) e += len;
            if (e >= n || t_[e] != '{') return std::nullopt;
            push(Node::Kind::Coll, i, 0);
            i = e + 1;
            continue;
          }
          default: {
            size_t e = token_end(t_, i + 1, false);
            if (e == i + 1) return std::nullopt;
            push(Node::Kind::Prefix, i, 1);
            i = e;
            continue;
          }
        }
      }
      size_t e;
      if (c == '"') {
        e = string_end(t_, i);
        if (e == std::string_view::npos) return std::nullopt;
      } else if (c == '\\') {
        e = char_end(t_, i);
      } else {
        e = token_end(t_, i, number_start(t_, i));
      }
      if (e <= i) return std::nullopt;
      int id = add(Node::Kind::Atom, i, 0);
      tree_.nodes[id].end = e;
      i = e;
      finish(id);
    }
    if (!open_.empty()) return std::nullopt;
    return std::move(tree_);
  }

 private:
  int add(Node::Kind kind, size_t start, int need) {
    Node nd;
    nd.kind = kind;
    nd.start = start;
    nd.need = need;
    tree_.nodes.push_back(std::move(nd));
    return static_cast<int>(tree_.nodes.size() - 1);
  }

  Node& push(Node::Kind kind, size_t start, int need) {
    int id = add(kind, start, need);
    open_.push_back(id);
    return tree_.nodes[id];
  }

  // A node is complete: it joins its parent, and completes any prefix it was the last form of.
  void finish(int id) {
    while (true) {
      if (open_.empty()) {
        tree_.top.push_back(id);
        return;
      }
      Node& parent = tree_.nodes[open_.back()];
      parent.kids.push_back(id);
      if (parent.kind != Node::Kind::Prefix || --parent.need > 0) return;
      parent.end = tree_.nodes[id].end;
      id = open_.back();
      open_.pop_back();
    }
  }

  std::string_view t_;
  Tree tree_;
  std::vector<int> open_;
};

}  // namespace

std::optional<Tree> parse_tree(std::string_view text) { return TreeBuilder(text).run(); }

}  // namespace kelp::edn
