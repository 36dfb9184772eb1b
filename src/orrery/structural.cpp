// Structural editing. Every operation reads the text once (tokens, bracket pairs, form tree), finds the caret's
// place among the lists around it, and answers edits that keep the brackets balanced and every token whole.
#include "orrery/structural.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <unordered_map>

#include "orrery/edit.hpp"
#include "orrery/syntax.hpp"

namespace orrery::structural {

namespace {

using Text = std::u32string_view;

Offset len(const FormNode& f) { return f.end - f.start; }
Span span_of(const FormNode& f) { return {f.start, f.end}; }
std::u32string slice(Text text, Offset a, Offset b) { return std::u32string(text.substr(a, b - a)); }

bool is_space(char32_t c) { return c == U' ' || c == U'\t' || c == U',' || c == U'\r' || c == U'\n' || c == U'\f'; }
bool is_line_space(char32_t c) { return c == U' ' || c == U'\t' || c == U','; }
bool is_reader_prefix(char32_t c) {
  return c == U'\'' || c == U'`' || c == U'~' || c == U'@' || c == U'#' || c == U'?';
}
// Characters that run together into one symbol, keyword or number when nothing separates them.
bool is_word(char32_t c) {
  if (c > 127) return true;
  if ((c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9')) return true;
  return std::u32string_view(U"-_.!$%&*+/<=>?#:").find(c) != std::u32string_view::npos;
}

// The text as the operations see it.
struct Doc {
  Text text;
  Tokens tokens;
  Brackets brackets;
  Forms tree;
  Offset unclosed = -1;  // the first opener never closed; everything after it is inside an unfinished list
  std::unordered_map<Offset, Offset> start_of_open;  // a list's opening bracket -> the form's start

  explicit Doc(Text t) : text(t), tokens(tokenize(t)), brackets(analyse_brackets(t, tokens)), tree(form_tree(t)) {
    attach_hints(tree);
    take_trailing(tree);
    for (Offset u : brackets.unmatched)
      if (is_opener(text[u])) {
        unclosed = u;
        break;
      }
    index(tree);
  }
  Doc(const Doc&) = delete;

  // `^"[C"` is a type hint written as a string: the string is metadata on the form after it, not a form.
  void attach_hints(Forms& forms) {
    for (size_t i = 0; i < forms.size(); ++i) {
      if (forms[i].bracketed()) {
        attach_hints(forms[i].kids);
      } else if (forms[i].start > 0 && text[forms[i].start - 1] == U'^' && i + 1 < forms.size()) {
        forms[i + 1].start = forms[i].start - 1;
        forms.erase(forms.begin() + static_cast<std::ptrdiff_t>(i));
        --i;
      }
    }
  }

  // Characters the scanner skips, such as the quote in `inc'`, belong to the atom they touch: a form moved or
  // killed takes them along instead of leaving them stuck to its neighbour.
  void take_trailing(Forms& forms) {
    for (size_t i = 0; i < forms.size(); ++i) {
      FormNode& f = forms[i];
      if (f.bracketed()) {
        take_trailing(f.kids);
        continue;
      }
      const Offset limit = i + 1 < forms.size() ? forms[i + 1].start : size();
      while (f.end < limit && !is_space(text[f.end]) && !is_opener(text[f.end]) && !is_closer(text[f.end]) &&
             text[f.end] != U'"' && text[f.end] != U';')
        ++f.end;
    }
  }

  Offset size() const { return static_cast<Offset>(text.size()); }

  // The token with start < pos < end (end included for a comment, which runs to the line's end).
  const Token* token_in(Offset pos) const {
    auto it = std::upper_bound(tokens.begin(), tokens.end(), pos, [](Offset p, const Token& t) { return p < t.start; });
    if (it == tokens.begin()) return nullptr;
    const Token& t = *std::prev(it);
    if (t.start < pos && (pos < t.end || (t.type == TokenType::Comment && pos == t.end))) return &t;
    return nullptr;
  }
  std::optional<Offset> match(Offset bracket) const {
    auto it = brackets.matches.find(bracket);
    if (it == brackets.matches.end()) return std::nullopt;
    return it->second;
  }
  Offset form_start(Offset open) const {
    auto it = start_of_open.find(open);
    if (it != start_of_open.end()) return it->second;
    // A list the tree does not hold, such as a metadata map, starts at its prefix or its caret.
    while (open > 0 && (is_reader_prefix(text[open - 1]) || text[open - 1] == U'^')) --open;
    return open;
  }

 private:
  void index(const Forms& forms) {
    for (const FormNode& f : forms)
      if (f.bracketed()) {
        start_of_open.emplace(f.open, f.start);
        index(f.kids);
      }
  }
};

// A list is around the caret when the caret is after its opener and at or before its closer.
bool inside(const FormNode& f, Offset caret) { return f.bracketed() && f.open < caret && caret <= f.end - 1; }

struct Place {
  std::vector<const FormNode*> lists;  // outermost first
  const Forms* forms = nullptr;        // the innermost list's kids, or the top-level forms
  const FormNode* list() const { return lists.empty() ? nullptr : lists.back(); }
};

Place place_in(const Forms& tree, Offset caret) {
  Place p{{}, &tree};
  for (;;) {
    auto it = std::find_if(p.forms->begin(), p.forms->end(), [&](const FormNode& f) { return inside(f, caret); });
    if (it == p.forms->end()) return p;
    p.lists.push_back(&*it);
    p.forms = &it->kids;
  }
}

// What every operation starts from. Nothing when the caret stands inside a list that is never closed: such a
// list has no forms, so nothing there can be edited by structure.
struct At {
  Doc doc;
  Offset caret;
  Place place;
  At(const Snapshot& s) : doc(s.text), caret(std::clamp<Offset>(s.caret, 0, doc.size())), place(place_in(doc.tree, caret)) {}
  Text text() const { return doc.text; }
  bool usable() const { return (doc.unclosed < 0 || caret <= doc.unclosed) && !in_metadata(); }
  // Metadata maps and vectors are no forms of their own, so a caret inside one has no place among the forms.
  bool in_metadata() const {
    for (const FormNode& f : *place.forms) {
      const Offset head_end = f.bracketed() ? f.open : f.end;
      if (f.start >= caret || caret > head_end) continue;
      for (const BracketToken& b : doc.brackets.bracket_tokens) {
        if (b.start < f.start || b.start >= caret || !is_opener(doc.text[b.start])) continue;
        if (auto m = doc.match(b.start); m && *m >= caret) return true;
      }
    }
    return false;
  }
  const Forms& siblings(size_t list_index) const {
    return list_index == 0 ? doc.tree : place.lists[list_index - 1]->kids;
  }
};

#define STRUCTURAL_AT(name, snap) \
  At name(snap);                  \
  if (!name.usable()) return std::nullopt

// Where reader prefixes end and the bracket begins: prefix characters only, never metadata.
Offset prefix_start(Text text, const FormNode& f) {
  Offset p = f.open;
  while (p > f.start && is_reader_prefix(text[p - 1])) --p;
  return p;
}

// A string, regex or comment token's content: after its opening quote (or semicolon) up to its closing quote
// (or the line's end); `closed` tells whether a closing quote ends it.
struct Literal {
  const Token* token;
  Offset content_start;
  Offset content_end;
  bool closed;
};

Literal literal_of(Text text, const Token& t) {
  if (t.type == TokenType::Comment) return {&t, t.start + 1, t.end, false};
  Offset q = t.start;
  while (q < t.end && text[q] != U'"') ++q;
  Offset i = q + 1;
  while (i < t.end) {
    if (text[i] == U'\\') {
      i += 2;
    } else if (text[i] == U'"') {
      return {&t, q + 1, i, true};
    } else {
      ++i;
    }
  }
  return {&t, std::min(q + 1, t.end), t.end, false};
}

// The escape (a backslash and one character, \u and four hex digits, or a backslash and up to three octal
// digits) that pos lies strictly inside, in a string or regex.
std::optional<Span> escape_around(Text text, const Literal& lit, Offset pos) {
  if (lit.token->type == TokenType::Comment) return std::nullopt;
  auto is_hex = [](char32_t c) { return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F'); };
  auto is_oct = [](char32_t c) { return c >= U'0' && c <= U'7'; };
  for (Offset i = lit.content_start; i < lit.content_end && i < pos;) {
    if (text[i] != U'\\') {
      ++i;
      continue;
    }
    Offset e = std::min(i + 2, lit.content_end);
    if (lit.token->type == TokenType::String && i + 1 < lit.content_end && text[i + 1] == U'u') {
      while (e < lit.content_end && e < i + 6 && is_hex(text[e])) ++e;
    } else if (lit.token->type == TokenType::String && i + 1 < lit.content_end && is_oct(text[i + 1])) {
      while (e < lit.content_end && e < i + 4 && is_oct(text[e])) ++e;
    }
    if (i < pos && pos < e) return Span{i, e};
    i = e;
  }
  return std::nullopt;
}

// A kill inside a literal: within its delimiters and never through an escape.
Span literal_range(Text text, const Literal& lit, Offset from, Offset to) {
  from = std::max(from, lit.content_start);
  to = std::min(to, lit.content_end);
  if (auto e = escape_around(text, lit, from)) from = e->start;
  if (auto e = escape_around(text, lit, to)) to = e->end;
  return Span{from, to};
}

// The string, regex or comment the caret stands in, between its delimiters.
std::optional<Literal> literal_at(const Doc& d, Offset caret) {
  const Token* t = d.token_in(caret);
  if (!t && caret > 0) {
    // A caret right before a closing quote is still in the string.
    auto it = std::upper_bound(d.tokens.begin(), d.tokens.end(), caret,
                               [](Offset p, const Token& tk) { return p < tk.start; });
    if (it != d.tokens.begin() && std::prev(it)->end == caret) t = &*std::prev(it);
    if (t && t->type == TokenType::Comment) t = nullptr;
  }
  if (!t || (t->type != TokenType::String && t->type != TokenType::Regex && t->type != TokenType::Comment))
    return std::nullopt;
  Literal l = literal_of(d.text, *t);
  if (caret < l.content_start || caret > l.content_end) return std::nullopt;
  return l;
}

// A caret strictly inside a token other than a literal's content, or inside a form's prefix or metadata.
bool splits_something(const At& at) {
  if (at.doc.token_in(at.caret)) return true;
  for (const FormNode& f : *at.place.forms)
    if (f.start < at.caret && at.caret < f.end) return true;
  return false;
}

Offset map_pos(const std::vector<Edit>& edits, Offset pos, bool stay_before_inserts) {
  Offset delta = 0;
  for (const Edit& e : edits) {
    const Offset grow = static_cast<Offset>(e.text.size()) - (e.end - e.start);
    if (e.start == e.end && e.start == pos) {
      if (!stay_before_inserts) delta += grow;
    } else if (e.end <= pos) {
      delta += grow;
    } else if (e.start < pos) {
      return e.start + delta + (stay_before_inserts ? 0 : static_cast<Offset>(e.text.size()));
    } else {
      break;
    }
  }
  return pos + delta;
}

// Joins touching edits, then pads any replacement that would glue two words into one token.
std::vector<Edit> tidy(Text text, std::vector<Edit> edits) {
  std::vector<Edit> out;
  for (Edit& e : edits) {
    if (!out.empty() && out.back().end == e.start && e.start < e.end && out.back().start < out.back().end) {
      out.back().end = e.end;
      out.back().text += e.text;
    } else {
      out.push_back(std::move(e));
    }
  }
  const Offset n = static_cast<Offset>(text.size());
  for (Edit& e : out) {
    if (e.start == e.end) continue;
    char32_t left = e.start > 0 ? text[e.start - 1] : U' ';
    char32_t right = e.end < n ? text[e.end] : U' ';
    if (e.text.empty()) {
      if (is_word(left) && is_word(right)) e.text = U" ";
      continue;
    }
    if (is_word(left) && is_word(e.text.front())) e.text.insert(e.text.begin(), U' ');
    if (is_word(e.text.back()) && is_word(right)) e.text.push_back(U' ');
  }
  return out;
}

Result moved(Offset caret) { return Result{EditOp{{}, caret, std::nullopt}, std::nullopt}; }
Result edited(std::vector<Edit> edits, Offset caret) {
  return Result{EditOp{std::move(edits), caret, std::nullopt}, std::nullopt};
}

// Removing from..to, guarded: never a range that splits a bracket pair, never one ending inside a comment, and a
// comment the removal would run code into keeps its line feed.
std::optional<Result> kill_range(const Doc& d, Offset from, Offset to, std::optional<std::u32string> copy = {}) {
  if (from >= to) return std::nullopt;
  Text text = d.text;
  for (const BracketToken& b : d.brackets.bracket_tokens) {
    if (b.start < from || b.start >= to) continue;
    if (auto m = d.match(b.start); m && (*m < from || *m >= to)) return std::nullopt;
  }
  if (const Token* t = d.token_in(to); t && t->type == TokenType::Comment && to < t->end && from <= t->start)
    return std::nullopt;
  std::u32string replacement;
  const Token* c = d.token_in(from);
  if (c && c->type == TokenType::Comment && text.substr(from, to - from).find(U'\n') != Text::npos)
    replacement = U"\n";
  std::vector<Edit> edits = tidy(text, {Edit{from, to, replacement}});
  Result r = edited(std::move(edits), from);
  r.copy = copy ? std::move(*copy) : slice(text, from, to);
  return r;
}

std::u32string escape_for_string(Text s) {
  std::u32string out;
  for (char32_t c : s) {
    if (c == U'"' || c == U'\\') out.push_back(U'\\');
    out.push_back(c);
  }
  return out;
}

// The first sibling starting at or after pos, and the last ending at or before it.
const FormNode* first_from(const Forms& forms, Offset pos) {
  for (const FormNode& f : forms)
    if (f.start >= pos) return &f;
  return nullptr;
}
const FormNode* last_until(const Forms& forms, Offset pos) {
  const FormNode* found = nullptr;
  for (const FormNode& f : forms)
    if (f.end <= pos) found = &f;
  return found;
}
size_t index_of(const Forms& forms, const FormNode* f) { return static_cast<size_t>(f - forms.data()); }

const Forms* parent_kids(const Forms& forms, const FormNode& list) {
  for (const FormNode& f : forms) {
    if (&f == &list) return &forms;
    if (f.bracketed() && f.start <= list.start && list.end <= f.end)
      if (const Forms* found = parent_kids(f.kids, list)) return found;
  }
  return nullptr;
}

void covering_in(const Forms& forms, Offset a, Offset b, const FormNode*& best) {
  for (const FormNode& f : forms) {
    if (f.start <= a && b <= f.end) {
      if (len(f) > b - a) best = &f;
      covering_in(f.kids, a, b, best);
      if (best) return;
    }
  }
}

// --- Selection history ----------------------------------------------------------------------------------------

struct Grown {
  std::u32string text;
  Span now;
  std::vector<Span> stack;
};
std::mutex grown_mutex;
std::optional<Grown> grown;

Result selected(Span s, Offset caret) {
  Result r = moved(caret);
  r.op.sel = s;
  return r;
}

}  // namespace

// --- Queries --------------------------------------------------------------------------------------------------

const FormNode* form_at(const Forms& forms, Offset caret) {
  for (const FormNode& f : forms)
    if (f.start <= caret && caret < f.end) return &f;
  for (const FormNode& f : forms)
    if (f.start > caret) return &f;
  return nullptr;
}

const FormNode* form_on(const Forms& forms, Offset caret) {
  for (const FormNode& f : forms)
    if (f.start <= caret && caret <= f.end) return &f;
  for (const FormNode& f : forms)
    if (f.start > caret) return &f;
  return nullptr;
}

std::pair<const FormNode*, const FormNode*> around(const Forms& forms, Offset caret) {
  return {last_until(forms, caret), first_from(forms, caret)};
}

const Forms& siblings_of(const Forms& tree, const FormNode& list) {
  const Forms* found = parent_kids(tree, list);
  return found ? *found : tree;
}

std::optional<Span> covering(Text text, Offset a, Offset b) {
  if (a > b) std::swap(a, b);
  Doc d(text);
  const FormNode* best = nullptr;
  covering_in(d.tree, a, b, best);
  if (!best) return std::nullopt;
  return span_of(*best);
}

std::optional<Span> in_string(const Snapshot& snap) {
  Doc d(snap.text);
  auto l = literal_at(d, std::clamp<Offset>(snap.caret, 0, d.size()));
  if (!l || l->token->type != TokenType::String) return std::nullopt;
  return Span{l->token->start, l->token->end};
}

bool is_string_form(Text text, const FormNode& form) {
  if (form.bracketed() || form.end <= form.start || text[form.end - 1] != U'"') return false;
  for (const Token& t : tokenize(text.substr(form.start, len(form))))
    if (t.end == len(form)) return t.type == TokenType::String;
  return false;
}

Span selection(const Snapshot& snap) {
  if (snap.sel_start != snap.sel_end)
    return {std::min(snap.sel_start, snap.sel_end), std::max(snap.sel_start, snap.sel_end)};
  return {snap.caret, snap.caret};
}

std::vector<Edit> swap(Text text, Span a, Span b) {
  return {Edit{a.start, a.end, slice(text, b.start, b.end)}, Edit{b.start, b.end, slice(text, a.start, a.end)}};
}

std::optional<Result> kill(Text text, Offset from, Offset to) {
  Doc d(text);
  return kill_range(d, std::max<Offset>(from, 0), std::min(to, d.size()));
}

// --- Slurp and barf -------------------------------------------------------------------------------------------

std::optional<Result> slurp_forward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  Text text = at.text();
  for (size_t i = at.place.lists.size(); i-- > 0;) {
    const FormNode& list = *at.place.lists[i];
    const FormNode* next = first_from(at.siblings(i), list.end);
    if (!next) continue;
    return edited({Edit{list.end - 1, list.end, U""}, Edit{next->end, next->end, slice(text, list.end - 1, list.end)}},
                  at.caret);
  }
  return std::nullopt;
}

std::optional<Result> slurp_backward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  Text text = at.text();
  for (size_t i = at.place.lists.size(); i-- > 0;) {
    const FormNode& list = *at.place.lists[i];
    const FormNode* prev = last_until(at.siblings(i), list.start);
    if (!prev) continue;
    std::vector<Edit> edits = {Edit{prev->start, prev->start, slice(text, list.start, list.open + 1)},
                               Edit{list.start, list.open + 1, U""}};
    return edited(edits, map_pos(edits, at.caret, true));
  }
  return std::nullopt;
}

std::optional<Result> barf_forward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* list = at.place.list();
  if (!list || list->kids.empty()) return std::nullopt;
  Text text = at.text();
  const Forms& kids = list->kids;
  std::u32string closer = slice(text, list->end - 1, list->end);
  Edit put;
  if (kids.size() >= 2) {
    put = Edit{kids[kids.size() - 2].end, kids[kids.size() - 2].end, closer};
  } else {
    // The only form leaves: the list is left empty right after its opener, a space apart from the form.
    bool touching = kids.front().start == list->open + 1;
    put = Edit{list->open + 1, list->open + 1, closer + (touching ? U" " : U"")};
  }
  std::vector<Edit> edits = {put, Edit{list->end - 1, list->end, U""}};
  return edited(edits, map_pos(edits, at.caret, true));
}

std::optional<Result> barf_backward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* list = at.place.list();
  if (!list || list->kids.empty()) return std::nullopt;
  Text text = at.text();
  const Forms& kids = list->kids;
  std::u32string opener = slice(text, list->start, list->open + 1);
  std::vector<Edit> edits;
  if (kids.size() >= 2) {
    edits = {Edit{list->start, list->open + 1, U""}, Edit{kids[1].start, kids[1].start, opener}};
    return edited(edits, map_pos(edits, at.caret, false));
  }
  bool touching = kids.front().end == list->end - 1;
  edits = {Edit{list->start, list->open + 1, U""}, Edit{list->end - 1, list->end - 1, (touching ? U" " : U"") + opener}};
  return edited(edits, map_pos(edits, at.caret, true));
}

// --- Raise, splice, convolute ---------------------------------------------------------------------------------

std::optional<Result> raise(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* list = at.place.list();
  if (!list) return std::nullopt;
  const FormNode* form = form_on(list->kids, at.caret);
  if (!form) return std::nullopt;
  Text text = at.text();
  std::vector<Edit> edits = tidy(text, {Edit{list->start, list->end, slice(text, form->start, form->end)}});
  Offset lead = edits.front().text.front() == U' ' && text[form->start] != U' ' ? 1 : 0;
  return edited(edits, list->start + lead + std::clamp<Offset>(at.caret - form->start, 0, len(*form)));
}

std::optional<Result> splice(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* list = at.place.list();
  if (!list) return std::nullopt;
  Text text = at.text();
  std::vector<Edit> edits =
      tidy(text, {Edit{prefix_start(text, *list), list->open + 1, U""}, Edit{list->end - 1, list->end, U""}});
  return edited(edits, map_pos(edits, at.caret, true));
}

std::optional<Result> splice_killing_forward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* list = at.place.list();
  if (!list || literal_at(at.doc, at.caret)) return std::nullopt;
  Text text = at.text();
  Offset from = at.caret;
  if (const Token* t = at.doc.token_in(from)) from = t->start;
  from = std::max(from, list->open + 1);
  std::vector<Edit> edits =
      tidy(text, {Edit{prefix_start(text, *list), list->open + 1, U""}, Edit{from, list->end, U""}});
  Result r = edited(edits, map_pos(edits, from, true));
  r.copy = slice(text, from, list->end - 1);
  return r;
}

std::optional<Result> splice_killing_backward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* list = at.place.list();
  if (!list || literal_at(at.doc, at.caret)) return std::nullopt;
  Text text = at.text();
  Offset to = at.caret;
  if (const Token* t = at.doc.token_in(to)) to = t->end;
  to = std::min(to, list->end - 1);
  std::vector<Edit> edits =
      tidy(text, {Edit{prefix_start(text, *list), to, U""}, Edit{list->end - 1, list->end, U""}});
  Result r = edited(edits, map_pos(edits, to, true));
  r.copy = slice(text, list->open + 1, to);
  return r;
}

std::optional<Result> convolute(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  if (at.place.lists.size() < 2 || splits_something(at)) return std::nullopt;
  Text text = at.text();
  const FormNode& inner = *at.place.lists.back();
  const FormNode& outer = *at.place.lists[at.place.lists.size() - 2];
  Offset head_start = inner.open + 1, head_end = at.caret;
  while (head_start < head_end && is_space(text[head_start])) ++head_start;
  while (head_end > head_start && is_space(text[head_end - 1])) --head_end;
  std::u32string out = slice(text, inner.start, inner.open + 1) + slice(text, head_start, head_end);
  if (head_end > head_start) {
    // A head ending in a comment keeps the rest off the comment's line.
    const Token* t = at.doc.token_in(head_end);
    out += t && t->type == TokenType::Comment ? U"\n" : U" ";
  }
  out += slice(text, outer.start, outer.open + 1) + slice(text, outer.open + 1, inner.start);
  Offset caret = outer.start + static_cast<Offset>(out.size());
  out += slice(text, at.caret, inner.end - 1) + slice(text, inner.end, outer.end - 1) +
         slice(text, outer.end - 1, outer.end) + slice(text, inner.end - 1, inner.end);
  return edited({Edit{outer.start, outer.end, out}}, caret);
}

// --- Wrap and rewrap ------------------------------------------------------------------------------------------

std::optional<Result> wrap(const Snapshot& snap, Text open, Text close) {
  STRUCTURAL_AT(at, snap);
  Text text = at.text();
  const FormNode* form = form_on(*at.place.forms, at.caret);
  const Offset o = static_cast<Offset>(open.size());
  if (!form) {
    if (at.doc.token_in(at.caret)) return std::nullopt;  // typing there would only add characters to a literal
    return edited({Edit{at.caret, at.caret, std::u32string(open) + std::u32string(close)}}, at.caret + o);
  }
  Offset rel = std::clamp<Offset>(at.caret - form->start, 0, len(*form));
  if (open == U"\"" && close == U"\"") {
    // The string holds the form's text: its quotes and backslashes are escaped.
    std::u32string inner = escape_for_string(text.substr(form->start, len(*form)));
    Offset caret = form->start + 1 + static_cast<Offset>(escape_for_string(text.substr(form->start, rel)).size());
    return edited({Edit{form->start, form->end, U"\"" + inner + U"\""}}, caret);
  }
  return edited({Edit{form->start, form->start, std::u32string(open)}, Edit{form->end, form->end, std::u32string(close)}},
                form->start + o + rel);
}

std::optional<Result> rewrap(const Snapshot& snap, Text open, Text close) {
  STRUCTURAL_AT(at, snap);
  const FormNode* list = at.place.list();
  if (!list) return std::nullopt;
  Text text = at.text();
  // The # of a set goes with its brace; a # before any other bracket stays unless the new opener brings its own.
  bool hash = list->open > list->start && text[list->open - 1] == U'#' &&
              (text[list->open] == U'{' || (!open.empty() && open.front() == U'#'));
  Offset from = list->open - (hash ? 1 : 0);
  if (text.substr(from, list->open + 1 - from) == open && text.substr(list->end - 1, 1) == close) return std::nullopt;
  std::vector<Edit> edits = {Edit{from, list->open + 1, std::u32string(open)},
                             Edit{list->end - 1, list->end, std::u32string(close)}};
  return edited(edits, map_pos(edits, at.caret, true));
}

// --- Moving forms ---------------------------------------------------------------------------------------------

std::optional<Result> drag_forward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const Forms& forms = *at.place.forms;
  const FormNode* form = form_on(forms, at.caret);
  if (!form || index_of(forms, form) + 1 >= forms.size()) return std::nullopt;
  const FormNode& next = forms[index_of(forms, form) + 1];
  Offset rel = std::clamp<Offset>(at.caret - form->start, 0, len(*form));
  return edited(swap(at.text(), span_of(*form), span_of(next)), next.end - len(*form) + rel);
}

std::optional<Result> drag_backward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const Forms& forms = *at.place.forms;
  const FormNode* form = form_on(forms, at.caret);
  if (!form || index_of(forms, form) == 0) return std::nullopt;
  const FormNode& prev = forms[index_of(forms, form) - 1];
  Offset rel = std::clamp<Offset>(at.caret - form->start, 0, len(*form));
  return edited(swap(at.text(), span_of(prev), span_of(*form)), prev.start + rel);
}

std::optional<Result> transpose(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  auto [before, after] = around(*at.place.forms, at.caret);
  if (!before || !after) return std::nullopt;
  return edited(swap(at.text(), span_of(*before), span_of(*after)), after->end);
}

// --- Join and split -------------------------------------------------------------------------------------------

std::optional<Result> join(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  auto [before, after] = around(*at.place.forms, at.caret);
  if (!before || !after) return std::nullopt;
  Text text = at.text();
  const bool blank_gap = is_blank(text.substr(before->end, after->start - before->end));
  if (before->bracketed() && after->bracketed()) {
    if (text[before->end - 1] != text[after->end - 1]) return std::nullopt;
    // Metadata on the second list would be lost with its opener.
    for (const Token& t : at.doc.tokens)
      if (t.start >= after->start && t.start < after->open) return std::nullopt;
    std::vector<Edit> edits;
    if (blank_gap) {
      edits = {Edit{before->end - 1, after->open + 1, U" "}};
    } else {
      // A comment between them stays, on its own line.
      edits = {Edit{before->end - 1, before->end, U""}, Edit{after->start, after->open + 1, U""}};
    }
    return edited(tidy(text, edits), before->end - 1);
  }
  if (is_string_form(text, *before) && is_string_form(text, *after)) {
    // Two strings become one: nothing is added inside it, and nothing between them can go inside.
    if (!blank_gap || text[after->start] != U'"' || text[before->start] != U'"') return std::nullopt;
    const Token* first = at.doc.token_in(before->start + 1);
    if (!first || !literal_of(text, *first).closed) return std::nullopt;
    return edited({Edit{before->end - 1, after->start + 1, U""}}, before->end - 1);
  }
  return std::nullopt;
}

std::optional<Result> split(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  Text text = at.text();
  if (auto lit = literal_at(at.doc, at.caret)) {
    if (lit->token->type != TokenType::String || !lit->closed) return std::nullopt;
    // Never between a backslash and what it escapes: the cut moves before the escape.
    Offset cut = escape_around(text, *lit, at.caret).value_or(Span{at.caret, at.caret}).start;
    return edited({Edit{cut, cut, U"\" \""}}, cut + 1);
  }
  const FormNode* list = at.place.list();
  if (!list || splits_something(at)) return std::nullopt;
  Offset a = at.caret, b = at.caret;
  while (a > list->open + 1 && is_line_space(text[a - 1])) --a;
  while (b < list->end - 1 && is_line_space(text[b])) ++b;
  std::u32string mid = slice(text, list->end - 1, list->end) + U" " + slice(text, prefix_start(text, *list), list->open + 1);
  return edited({Edit{a, b, mid}}, a + 1);
}

// --- Killing --------------------------------------------------------------------------------------------------

std::optional<Result> kill_form(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const Forms& forms = *at.place.forms;
  const FormNode* form = form_at(forms, at.caret);
  if (!form) return std::nullopt;
  Text text = at.text();
  Offset from = form->start, to = form->end;
  // The gap taken with the form is whitespace only: a comment beside it stays.
  if (index_of(forms, form) + 1 < forms.size()) {
    while (to < forms[index_of(forms, form) + 1].start && is_space(text[to])) ++to;
  } else {
    Offset floor = at.place.list() ? at.place.list()->open + 1 : 0;
    if (index_of(forms, form) > 0) floor = std::max(floor, forms[index_of(forms, form) - 1].end);
    while (from > floor && is_space(text[from - 1])) --from;
  }
  auto r = kill_range(at.doc, from, to, slice(text, form->start, form->end));
  if (r) r->op.caret = map_pos(r->op.edits, std::min(at.caret, form->start), true);
  return r;
}

std::optional<Result> kill_form_backward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const Forms& forms = *at.place.forms;
  Offset to = at.caret;
  if (const Token* t = at.doc.token_in(to); t && t->type == TokenType::Comment) to = t->start;
  for (const FormNode& f : forms)
    if (f.start < to && to < f.end) to = f.start;
  const FormNode* before = last_until(forms, to);
  if (!before) return std::nullopt;
  return kill_range(at.doc, before->start, to);
}

std::optional<Result> kill_list_forward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* list = at.place.list();
  if (!list) return std::nullopt;
  Offset from = at.caret, to = list->end - 1;
  if (auto lit = literal_at(at.doc, at.caret)) {
    Span r = literal_range(at.text(), *lit, from, to);
    return kill_range(at.doc, r.start, r.end);
  } else if (const Token* t = at.doc.token_in(from); t && t->type == TokenType::Char) {
    from = t->start;
  }
  return kill_range(at.doc, from, to);
}

std::optional<Result> kill_list_backward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* list = at.place.list();
  if (!list) return std::nullopt;
  Offset from = list->open + 1, to = at.caret;
  if (auto lit = literal_at(at.doc, at.caret)) {
    Span r = literal_range(at.text(), *lit, from, to);
    return kill_range(at.doc, r.start, r.end);
  } else if (const Token* t = at.doc.token_in(to); t && t->type == TokenType::Char) {
    to = t->end;
  }
  return kill_range(at.doc, from, to);
}

std::optional<Result> kill_right(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  Text text = at.text();
  const Doc& d = at.doc;
  Offset from = at.caret;
  Offset eol = static_cast<Offset>(std::min(text.find(U'\n', from), text.size()));
  if (auto lit = literal_at(d, at.caret)) {
    Span r = literal_range(text, *lit, from, eol);
    return kill_range(d, r.start, r.end);
  }
  if (const Token* t = d.token_in(from); t && t->type == TokenType::Char) from = t->start;
  for (const FormNode& f : *at.place.forms)
    if (f.start < from && from < f.end && !d.token_in(from)) from = f.start;  // in a prefix or metadata
  Offset to = eol;
  if (const FormNode* list = at.place.list()) to = std::min(to, list->end - 1);
  // Whatever starts before the cut is taken whole; the closer of the list around the caret ends it.
  auto it = std::lower_bound(d.tokens.begin(), d.tokens.end(), from, [](const Token& t, Offset p) { return t.start < p; });
  for (; it != d.tokens.end() && it->start < to; ++it) {
    if (it->type != TokenType::Bracket) {
      to = std::max(to, it->end);
      continue;
    }
    auto m = d.match(it->start);
    if (is_opener(text[it->start])) {
      if (!m) {
        to = it->start;
        break;
      }
      to = std::max(to, *m + 1);
      Offset skip = *m;
      while (std::next(it) != d.tokens.end() && std::next(it)->start <= skip) ++it;
    } else if (m && *m < from) {
      to = it->start;
      break;
    }
  }
  return kill_range(d, from, to);
}

std::optional<Result> kill_left(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  Text text = at.text();
  const Doc& d = at.doc;
  Offset to = at.caret;
  Offset bol = to > 0 ? static_cast<Offset>(text.rfind(U'\n', to - 1)) : -1;
  bol = bol < 0 || bol == static_cast<Offset>(Text::npos) ? 0 : bol + 1;
  if (auto lit = literal_at(d, at.caret)) {
    Span r = literal_range(text, *lit, bol, to);
    return kill_range(d, r.start, r.end);
  }
  if (const Token* t = d.token_in(to); t && t->type == TokenType::Char) to = t->end;
  Offset from = bol;
  if (const FormNode* list = at.place.list()) from = std::max(from, list->open + 1);
  // Whatever ends after the cut is taken whole; the opener of the list around the caret ends it.
  auto it = std::upper_bound(d.tokens.begin(), d.tokens.end(), to, [](Offset p, const Token& t) { return p < t.end; });
  while (it != d.tokens.begin()) {
    --it;
    if (it->end <= from) break;
    if (it->type != TokenType::Bracket) {
      from = std::min(from, it->start);
      continue;
    }
    auto m = d.match(it->start);
    if (is_opener(text[it->start])) {
      from = it->end;
      break;
    }
    if (!m) continue;
    from = std::min(from, d.form_start(*m));
    while (it != d.tokens.begin() && it->start > *m) --it;
  }
  return kill_range(d, from, to);
}

std::optional<Result> copy_form(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* form = form_on(*at.place.forms, at.caret);
  if (!form) return std::nullopt;
  Result r = moved(at.caret);
  r.copy = slice(at.text(), form->start, form->end);
  return r;
}

// --- Moves ----------------------------------------------------------------------------------------------------

std::optional<Result> forward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  if (const FormNode* f = form_at(*at.place.forms, at.caret)) return moved(f->end);
  if (const FormNode* list = at.place.list()) return moved(list->end);
  return std::nullopt;
}

std::optional<Result> backward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* found = nullptr;
  for (const FormNode& f : *at.place.forms)
    if (f.start < at.caret) found = &f;
  if (found) return moved(found->start);
  if (const FormNode* list = at.place.list()) return moved(list->start);
  return std::nullopt;
}

std::optional<Result> up(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  if (const FormNode* list = at.place.list()) return moved(list->start);
  return std::nullopt;
}

std::optional<Result> down(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  for (const FormNode& f : *at.place.forms)
    if (f.bracketed() && f.open >= at.caret) return moved(f.open + 1);
  return std::nullopt;
}

std::optional<Result> forward_up(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  if (const FormNode* list = at.place.list()) return moved(list->end);
  return std::nullopt;
}

std::optional<Result> backward_down(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  const FormNode* found = nullptr;
  for (const FormNode& f : *at.place.forms)
    if (f.bracketed() && f.end <= at.caret) found = &f;
  if (found) return moved(found->end - 1);
  return std::nullopt;
}

std::optional<Result> list_start(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  if (const FormNode* list = at.place.list()) return moved(list->open + 1);
  return std::nullopt;
}

std::optional<Result> list_end(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  if (const FormNode* list = at.place.list()) return moved(list->end - 1);
  return std::nullopt;
}

// --- Selections -----------------------------------------------------------------------------------------------

std::optional<Result> expand_selection(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  Span now = selection(snap);
  now = {std::clamp<Offset>(now.start, 0, at.doc.size()), std::clamp<Offset>(now.end, 0, at.doc.size())};
  const FormNode* best = nullptr;
  covering_in(at.doc.tree, now.start, now.end, best);
  if (!best) return std::nullopt;
  std::lock_guard lock(grown_mutex);
  if (!grown || grown->text != snap.text || grown->now != now) grown = Grown{snap.text, now, {}};
  grown->stack.push_back(now);
  grown->now = span_of(*best);
  return selected(grown->now, best->end);
}

std::optional<Result> shrink_selection(const Snapshot& snap) {
  std::lock_guard lock(grown_mutex);
  if (!grown || grown->text != snap.text || grown->now != selection(snap)) return std::nullopt;
  if (grown->stack.empty()) {
    Offset caret = snap.caret;
    grown.reset();
    return selected({caret, caret}, caret);
  }
  grown->now = grown->stack.back();
  grown->stack.pop_back();
  Span s = grown->now;
  if (grown->stack.empty() && s.start == s.end) grown.reset();
  return selected(s, s.end);
}

void forget_selection() {
  std::lock_guard lock(grown_mutex);
  grown.reset();
}

std::optional<Result> select_forward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  Span sel = selection(snap);
  Place p = place_in(at.doc.tree, sel.end);
  const FormNode* next = form_at(*p.forms, sel.end);
  if (!next || next->end <= sel.end) return std::nullopt;
  return selected({sel.start, next->end}, next->end);
}

std::optional<Result> select_backward(const Snapshot& snap) {
  STRUCTURAL_AT(at, snap);
  Span sel = selection(snap);
  Place p = place_in(at.doc.tree, sel.start);
  const FormNode* prev = nullptr;
  for (const FormNode& f : *p.forms)
    if (f.start < sel.start) prev = &f;
  if (!prev) return std::nullopt;
  return selected({prev->start, sel.end}, prev->start);
}

// --- The command table ----------------------------------------------------------------------------------------

namespace {

template <const char32_t* Open, const char32_t* Close>
std::optional<Result> wrap_in(const Snapshot& snap) {
  return wrap(snap, Open, Close);
}
template <const char32_t* Open, const char32_t* Close>
std::optional<Result> rewrap_in(const Snapshot& snap) {
  return rewrap(snap, Open, Close);
}

constexpr char32_t ROUND_OPEN[] = U"(", ROUND_CLOSE[] = U")", SQUARE_OPEN[] = U"[", SQUARE_CLOSE[] = U"]",
                   CURLY_OPEN[] = U"{", CURLY_CLOSE[] = U"}", SET_OPEN[] = U"#{", QUOTE[] = U"\"";

constexpr Operation OPERATIONS[] = {
    {"slurp-forward", "Slurp Forward", "Slurp forward: the list takes in the next form.", slurp_forward},
    {"barf-forward", "Barf Forward", "Barf forward: the list gives up its last form.", barf_forward},
    {"slurp-backward", "Slurp Backward", "Slurp backward: the list takes in the form before it.", slurp_backward},
    {"barf-backward", "Barf Backward", "Barf backward: the list gives up its first form.", barf_backward},
    {"raise", "Raise", "Raise the form at the caret over the list around it.", raise},
    {"splice", "Splice", "Splice: remove the brackets around the caret.", splice},
    {"wrap-round", "Wrap in ()", "Wrap the form at the caret in ().", wrap_in<ROUND_OPEN, ROUND_CLOSE>},
    {"wrap-square", "Wrap in []", "Wrap the form at the caret in [].", wrap_in<SQUARE_OPEN, SQUARE_CLOSE>},
    {"wrap-curly", "Wrap in {}", "Wrap the form at the caret in {}.", wrap_in<CURLY_OPEN, CURLY_CLOSE>},
    {"wrap-set", "Wrap in #{}", "Wrap the form at the caret in #{}.", wrap_in<SET_OPEN, CURLY_CLOSE>},
    {"wrap-quote", "Wrap in \"\"", "Wrap the form at the caret in \"\".", wrap_in<QUOTE, QUOTE>},
    {"rewrap-round", "Rewrap in ()", "Change the brackets around the caret to ().", rewrap_in<ROUND_OPEN, ROUND_CLOSE>},
    {"rewrap-square", "Rewrap in []", "Change the brackets around the caret to [].",
     rewrap_in<SQUARE_OPEN, SQUARE_CLOSE>},
    {"rewrap-curly", "Rewrap in {}", "Change the brackets around the caret to {}.", rewrap_in<CURLY_OPEN, CURLY_CLOSE>},
    {"rewrap-set", "Rewrap in #{}", "Change the brackets around the caret to #{}.", rewrap_in<SET_OPEN, CURLY_CLOSE>},
    {"drag-backward", "Drag Backward", "Drag the form backward, past the one before.", drag_backward},
    {"drag-forward", "Drag Forward", "Drag the form forward, past the next one.", drag_forward},
    {"transpose", "Transpose", "Transpose the two forms around the caret.", transpose},
    {"join", "Join", "Join the two lists or strings around the caret.", join},
    {"split", "Split", "Split the list or string at the caret.", split},
    {"convolute", "Convolute", "Convolute: turn the two lists around the caret inside out.", convolute},
    {"kill-form", "Kill Form", "Kill the form at the caret, onto the clipboard.", kill_form},
    {"kill-form-backward", "Kill Form Backward", "Kill the form before the caret.", kill_form_backward},
    {"kill-right", "Kill to the Line's End", "Kill to the end of the line, keeping the brackets balanced.",
     kill_right},
    {"kill-left", "Kill to the Line's Start", "Kill to the start of the line, keeping the brackets balanced.",
     kill_left},
    {"kill-list-forward", "Kill to the List's End", "Kill to the end of the list.", kill_list_forward},
    {"kill-list-backward", "Kill to the List's Start", "Kill to the start of the list.", kill_list_backward},
    {"splice-killing-forward", "Splice, Killing Forward", "Splice, killing what follows the caret in the list.",
     splice_killing_forward},
    {"splice-killing-backward", "Splice, Killing Backward",
     "Splice, killing what comes before the caret in the list.", splice_killing_backward},
    {"copy-form", "Copy Form", "Copy the form at the caret.", copy_form},
    {"expand-selection", "Expand Selection", "Expand the selection: the form at the caret, then each list around it.",
     expand_selection},
    {"shrink-selection", "Shrink Selection", "Shrink the selection back a step.", shrink_selection},
    {"select-forward", "Select Forward", "Extend the selection over the next form.", select_forward},
    {"select-backward", "Select Backward", "Extend the selection over the form before it.", select_backward},
    {"forward", "Forward by a Form", "Move forward by a form.", forward},
    {"backward", "Backward by a Form", "Move backward by a form.", backward},
    {"up", "Up to the List's Start", "Move up to the start of the list around the caret.", up},
    {"down", "Down into the Next List", "Move down into the next list.", down},
    {"forward-up", "Out past the List's End", "Move out of the list, past its closer.", forward_up},
    {"backward-down", "Into the List Before", "Move into the list before the caret, from the back.", backward_down},
    {"list-start", "To the List's Start", "Move to the start of the list around the caret.", list_start},
    {"list-end", "To the List's End", "Move to the end of the list around the caret.", list_end},
};

}  // namespace

std::span<const Operation> operations() { return OPERATIONS; }

const Operation* find_operation(std::string_view name) {
  for (const Operation& op : OPERATIONS)
    if (op.name == name) return &op;
  return nullptr;
}

}  // namespace orrery::structural
