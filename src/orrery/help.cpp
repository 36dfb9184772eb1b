#include "orrery/help.hpp"

#include <algorithm>
#include <array>
#include <cwctype>

#include "kelp/data/string.hpp"
#include "orrery/edit.hpp"
#include "orrery/keymap.hpp"
#include "orrery/syntax.hpp"

namespace orrery::help {

namespace {

bool has_selection(const Snapshot& snap) { return snap.sel_start != snap.sel_end; }

Offset clamp_to(std::u32string_view text, Offset pos) { return std::clamp<Offset>(pos, 0, static_cast<Offset>(text.size())); }

char32_t lower(char32_t c) { return static_cast<char32_t>(std::towlower(static_cast<wint_t>(c))); }

bool starts_with_ignoring_case(std::u32string_view name, std::u32string_view prefix) {
  if (name.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (lower(name[i]) != lower(prefix[i])) return false;
  return true;
}

std::u32string_view trimmed(std::u32string_view s) {
  auto blank = [](char32_t c) { return is_blank(std::u32string_view(&c, 1)); };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// The row showing name, or the first row when name is no longer listed.
size_t index_of_or_first(const std::vector<Candidate>& candidates, const std::optional<Candidate>& was) {
  if (!was) return 0;
  auto it = std::find_if(candidates.begin(), candidates.end(),
                         [&](const Candidate& c) { return c.symbol == was->symbol; });
  return it == candidates.end() ? 0 : static_cast<size_t>(it - candidates.begin());
}

// ---------------------------------------------------------------------------------------------------------------
// Scope analysis.

constexpr std::array<std::u32string_view, 10> LET_LIKE = {U"let",      U"loop",       U"binding",  U"when-let",
                                                          U"when-some", U"when-first", U"if-let",   U"if-some",
                                                          U"dotimes",  U"with-open"};
constexpr std::array<std::u32string_view, 2> IF_LET_LIKE = {U"if-let", U"if-some"};
constexpr std::array<std::u32string_view, 5> FN_LIKE = {U"fn", U"fn*", U"defn", U"defn-", U"defmacro"};

template <size_t N>
bool is_in(const std::array<std::u32string_view, N>& words, std::u32string_view w) {
  return std::find(words.begin(), words.end(), w) != words.end();
}

bool is_percent_name(std::u32string_view name) {
  if (name == U"%" || name == U"%&") return true;
  return name.size() == 2 && name[0] == U'%' && name[1] >= U'1' && name[1] <= U'9';
}

// A name made visible by a form: seen from `from` on, except inside `hidden` (the value it is bound to).
struct Scoped {
  Target binding;
  Offset from = 0;
  std::optional<Span> hidden;
  bool visible_at(Offset pos) const {
    return pos >= from && !(hidden && hidden->start <= pos && pos < hidden->end);
  }
};

// A direct child of a bracketed form: one token, or a bracket and everything up to its partner.
struct Child {
  size_t tok = 0;
  Offset start = 0;
  Offset end = 0;  // exclusive
  Span span() const { return {start, end}; }
};

class Scope {
 public:
  explicit Scope(std::u32string_view text) : text_(text) {
    Tokens all = tokenize(text);
    brackets_ = analyse_brackets(text, all);
    std::erase_if(all, [](const Token& t) { return t.type == TokenType::Comment; });
    tokens_ = std::move(all);
  }

  std::optional<Target> binding_of(std::u32string_view name, Offset pos) const {
    std::vector<size_t> chain = enclosing(pos);
    for (size_t i = 0; i < chain.size(); ++i) {
      if (!opens(chain[i], U'(')) continue;
      std::vector<Scoped> names;
      if (!binds_at(chain, i, name, pos, names)) continue;
      const Scoped* best = nullptr;
      for (const Scoped& s : names) {
        if (s.binding.symbol != name || !s.visible_at(pos)) continue;
        if (!best || s.binding.start >= best->binding.start) best = &s;
      }
      if (best) return best->binding;
    }
    return std::nullopt;
  }

 private:
  std::u32string_view text_;
  Tokens tokens_;
  Brackets brackets_;

  std::u32string_view text_of(size_t tok) const {
    const Token& t = tokens_[tok];
    return text_.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start));
  }
  bool opens(size_t tok, char32_t c) const {
    const Token& t = tokens_[tok];
    return t.type == TokenType::Bracket && text_[static_cast<size_t>(t.start)] == c;
  }
  bool is_opener_tok(size_t tok) const {
    const Token& t = tokens_[tok];
    return t.type == TokenType::Bracket && is_opener(text_[static_cast<size_t>(t.start)]);
  }
  // A symbol that can name a local (true, false and nil cannot).
  bool is_name(size_t tok) const {
    return is_symbol_like(tokens_[tok].type) && tokens_[tok].type != TokenType::Constant;
  }
  bool is_keyword(size_t tok, std::u32string_view word) const {
    return tokens_[tok].type == TokenType::Keyword && text_of(tok) == word;
  }
  char32_t before(Offset at) const { return at > 0 ? text_[static_cast<size_t>(at - 1)] : U'\0'; }
  // An opener's partner; a form never closed runs to the end of the text.
  Offset close_of(size_t tok) const {
    auto it = brackets_.matches.find(tokens_[tok].start);
    return it == brackets_.matches.end() ? static_cast<Offset>(text_.size()) : it->second;
  }
  size_t first_token_from(Offset at) const {
    auto it = std::lower_bound(tokens_.begin(), tokens_.end(), at,
                               [](const Token& t, Offset o) { return t.start < o; });
    return static_cast<size_t>(it - tokens_.begin());
  }

  // The openers enclosing pos, innermost first.
  std::vector<size_t> enclosing(Offset pos) const {
    std::vector<size_t> chain;
    for (size_t k = 0; k < tokens_.size() && tokens_[k].start < pos; ++k) {
      if (is_opener_tok(k) && pos <= close_of(k)) chain.push_back(k);
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
  }

  // Metadata (^:tag, ^{...}) is not a child: it belongs to the form after it.
  std::vector<Child> children(size_t open) const {
    std::vector<Child> out;
    const Offset close = close_of(open);
    size_t k = open + 1;
    while (k < tokens_.size() && tokens_[k].start < close) {
      const Token& t = tokens_[k];
      if (t.type == TokenType::Metatag || (t.type == TokenType::Bracket && !is_opener_tok(k))) {
        ++k;
        continue;
      }
      if (is_opener_tok(k)) {
        Offset end = std::min<Offset>(close_of(k) + 1, static_cast<Offset>(text_.size()));
        if (before(t.start) != U'^') out.push_back({k, t.start, end});
        k = first_token_from(end);
        continue;
      }
      out.push_back({k, t.start, t.end});
      ++k;
    }
    return out;
  }

  void bind_symbol(size_t tok, Offset from, std::optional<Span> hidden, std::vector<Scoped>& out) const {
    const Token& t = tokens_[tok];
    out.push_back({{std::u32string(text_of(tok)), t.start, t.end}, from, hidden});
  }

  // A destructuring pattern: a symbol, a vector (all but & and :as, then the name after :as) or a map (:keys,
  // :strs and :syms names, the name after :as, the key side of plain entries; never what :or holds).
  void bind_pattern(const Child& c, Offset from, std::optional<Span> hidden, std::vector<Scoped>& out) const {
    if (opens(c.tok, U'[')) {
      std::vector<Child> elements = children(c.tok);
      for (size_t k = 0; k < elements.size(); ++k) {
        if (is_keyword(elements[k].tok, U":as")) {
          if (k + 1 < elements.size()) bind_pattern(elements[++k], from, hidden, out);
          continue;
        }
        bind_pattern(elements[k], from, hidden, out);
      }
      return;
    }
    if (opens(c.tok, U'{')) {
      std::vector<Child> entries = children(c.tok);
      for (size_t k = 0; k < entries.size(); k += 2) {
        const Child& key = entries[k];
        const Child* value = k + 1 < entries.size() ? &entries[k + 1] : nullptr;
        if (tokens_[key.tok].type != TokenType::Keyword) {
          bind_pattern(key, from, hidden, out);
          continue;
        }
        if (!value) continue;
        if (is_keyword(key.tok, U":as")) {
          if (is_name(value->tok)) bind_symbol(value->tok, from, hidden, out);
        } else if (is_names_directive(text_of(key.tok)) && opens(value->tok, U'[')) {
          for (const Child& n : children(value->tok)) bind_key_name(n.tok, from, hidden, out);
        }
      }
      return;
    }
    if (is_name(c.tok) && text_of(c.tok) != U"&") bind_symbol(c.tok, from, hidden, out);
  }

  // :keys, :strs, :syms, and their namespaced forms (:person/keys, ::keys).
  static bool is_names_directive(std::u32string_view kw) {
    size_t slash = kw.rfind(U'/');
    size_t skip = slash == std::u32string_view::npos ? kw.find_first_not_of(U':') : slash + 1;
    std::u32string_view last = skip < kw.size() ? kw.substr(skip) : std::u32string_view();
    return last == U"keys" || last == U"strs" || last == U"syms";
  }

  // A name under :keys: a symbol or keyword, bound by the part after any namespace.
  void bind_key_name(size_t tok, Offset from, std::optional<Span> hidden, std::vector<Scoped>& out) const {
    const Token& t = tokens_[tok];
    if (!is_name(tok) && t.type != TokenType::Keyword) return;
    std::u32string_view s = text_of(tok);
    size_t skip = s.find_first_not_of(U':');
    if (skip == std::u32string_view::npos) return;
    size_t slash = s.rfind(U'/');
    if (slash != std::u32string_view::npos && slash + 1 < s.size() && slash > skip) skip = slash + 1;
    std::u32string_view name = s.substr(skip);
    if (name.empty() || name == U"&") return;
    out.push_back({{std::u32string(name), t.start + static_cast<Offset>(skip), t.end}, from, hidden});
  }

  // [pattern value pattern value ...]: each pattern is seen after its value, by later bindings and the body.
  void bind_let_vector(size_t vec, std::vector<Scoped>& out) const {
    std::vector<Child> elements = children(vec);
    for (size_t k = 0; k < elements.size(); k += 2) {
      std::optional<Span> value;
      if (k + 1 < elements.size()) value = elements[k + 1].span();
      bind_pattern(elements[k], elements[k].start, value, out);
    }
  }

  // for and doseq: pattern and sequence pairs, :let binding as let does, :when and :while binding nothing.
  void bind_for_vector(size_t vec, std::vector<Scoped>& out) const {
    std::vector<Child> elements = children(vec);
    for (size_t k = 0; k < elements.size(); k += 2) {
      const Child& e = elements[k];
      if (tokens_[e.tok].type == TokenType::Keyword) {
        if (is_keyword(e.tok, U":let") && k + 1 < elements.size() && opens(elements[k + 1].tok, U'[')) {
          bind_let_vector(elements[k + 1].tok, out);
        }
        continue;
      }
      std::optional<Span> seq;
      if (k + 1 < elements.size()) seq = elements[k + 1].span();
      bind_pattern(e, e.start, seq, out);
    }
  }

  // Every element of a parameter vector binds, except the lone &.
  void bind_params(const Child& vec, std::vector<Scoped>& out) const {
    for (const Child& p : children(vec.tok)) bind_pattern(p, vec.start, std::nullopt, out);
  }

  // The child after a fn-like form's optional name, docstring and attribute map (defmethod: after its name and
  // dispatch value).
  size_t fn_body_index(const std::vector<Child>& c) const {
    std::u32string_view op = text_of(c[0].tok);
    if (op == U"defmethod") return 3;
    size_t i = 1;
    if (i < c.size() && is_name(c[i].tok)) ++i;
    if (i < c.size() && tokens_[c[i].tok].type == TokenType::String) ++i;
    if (i < c.size() && opens(c[i].tok, U'{')) ++i;
    return i;
  }
  bool is_fn_like(const std::vector<Child>& c) const {
    if (c.empty() || !is_name(c[0].tok)) return false;
    std::u32string_view op = text_of(c[0].tok);
    return is_in(FN_LIKE, op) || op == U"defmethod";
  }
  bool is_quoted(size_t tok) const { return before(tokens_[tok].start) == U'\''; }

  // Whether chain[i], a list, is an entry of a letfn's binding vector.
  bool is_letfn_entry(const std::vector<size_t>& chain, size_t i) const {
    if (i + 2 >= chain.size() || !opens(chain[i + 1], U'[') || !opens(chain[i + 2], U'(')) return false;
    std::vector<Child> outer = children(chain[i + 2]);
    return outer.size() > 1 && is_name(outer[0].tok) && text_of(outer[0].tok) == U"letfn" &&
           outer[1].tok == chain[i + 1];
  }

  // Whether chain[i] is a list holding arity clauses: a fn-like form or letfn entry whose body is a list.
  bool is_multi_arity(const std::vector<size_t>& chain, size_t i) const {
    if (!opens(chain[i], U'(') || is_quoted(chain[i])) return false;
    std::vector<Child> c = children(chain[i]);
    if (is_fn_like(c)) {
      size_t at = fn_body_index(c);
      return at < c.size() && opens(c[at].tok, U'(');
    }
    return is_letfn_entry(chain, i) && c.size() > 1 && opens(c[1].tok, U'(');
  }

  // The names chain[i] binds; false when it must be passed over (pos in an if-let's else branch).
  bool binds_at(const std::vector<size_t>& chain, size_t i, std::u32string_view name, Offset pos,
                std::vector<Scoped>& out) const {
    const size_t form = chain[i];
    const Offset start = tokens_[form].start;
    if (is_quoted(form)) return true;
    if (before(start) == U'#') {
      if (is_percent_name(name)) out.push_back({{std::u32string(name), start - 1, start + 1}, 0, std::nullopt});
      return true;
    }
    std::vector<Child> c = children(form);
    if (c.empty()) return true;
    if (opens(c[0].tok, U'[')) {
      if (i + 1 < chain.size() && is_multi_arity(chain, i + 1)) bind_params(c[0], out);
      return true;
    }
    if (is_letfn_entry(chain, i)) {
      if (c.size() > 1 && opens(c[1].tok, U'[')) bind_params(c[1], out);
      return true;
    }
    if (!is_name(c[0].tok)) return true;
    std::u32string_view op = text_of(c[0].tok);
    const bool has_vector = c.size() > 1 && opens(c[1].tok, U'[');
    if (is_in(IF_LET_LIKE, op) && c.size() > 3 && c[3].start <= pos && pos < c[3].end) return false;
    if (is_in(LET_LIKE, op)) {
      if (has_vector) bind_let_vector(c[1].tok, out);
    } else if (op == U"for" || op == U"doseq") {
      if (has_vector) bind_for_vector(c[1].tok, out);
    } else if (op == U"letfn") {
      if (!has_vector) return true;
      for (const Child& entry : children(c[1].tok)) {
        if (!opens(entry.tok, U'(')) continue;
        std::vector<Child> e = children(entry.tok);
        if (!e.empty() && is_name(e[0].tok)) bind_symbol(e[0].tok, start, std::nullopt, out);
      }
    } else if (is_fn_like(c)) {
      size_t at = fn_body_index(c);
      if (at < c.size() && opens(c[at].tok, U'[')) bind_params(c[at], out);
    } else if (op == U"catch") {
      if (c.size() > 2 && is_name(c[2].tok)) bind_symbol(c[2].tok, c[2].start, std::nullopt, out);
    }
    return true;
  }
};

}  // namespace

// --- Completion popup ----------------------------------------------------------------------------------------

std::optional<SymbolPrefix> prefix_at(const Snapshot& snap) {
  if (has_selection(snap)) return std::nullopt;
  SymbolPrefix p = get_symbol_prefix_at_pos(snap.text, snap.caret);
  if (p.prefix.empty()) return std::nullopt;
  return p;
}

std::optional<PopupState> open_state(const SymbolPrefix& prefix_info, std::vector<Candidate> candidates) {
  if (candidates.empty()) return std::nullopt;
  const bool single = candidates.size() == 1;
  return PopupState{prefix_info, std::move(candidates), 0, single, false};
}

PopupState move(const PopupState& state, int64_t delta) {
  PopupState out = state;
  if (state.candidates.empty()) {
    out.index = 0;
    return out;
  }
  const int64_t last = static_cast<int64_t>(state.candidates.size()) - 1;
  out.index = static_cast<size_t>(std::clamp<int64_t>(static_cast<int64_t>(state.index) + delta, 0, last));
  return out;
}

std::optional<Candidate> selected(const PopupState& state) {
  if (state.index >= state.candidates.size()) return std::nullopt;
  return state.candidates[state.index];
}

bool is_still_valid(const PopupState& state, const Snapshot& snap) {
  if (has_selection(snap)) return false;
  SymbolPrefix p = get_symbol_prefix_at_pos(snap.text, snap.caret);
  return !p.prefix.empty() && p.start == state.prefix_info.start;
}

std::optional<EditOp> commit_op(const PopupState& state, const Snapshot& snap) {
  std::optional<Candidate> choice = selected(state);
  if (!choice || !is_still_valid(state, snap)) return std::nullopt;
  SymbolPrefix p = get_symbol_prefix_at_pos(snap.text, snap.caret);
  EditOp op;
  op.edits.push_back({p.start, p.word_end, choice->symbol});
  op.caret = p.start + static_cast<Offset>(choice->symbol.size());
  return op;
}

std::string candidate_label(const Candidate& candidate, const std::set<std::u32string>& buffer_defs) {
  switch (candidate.category) {
    case Category::User: return buffer_defs.contains(candidate.symbol) ? "buffer" : "user";
    case Category::Special: return "special";
    case Category::Builtin: return "builtin";
  }
  return "user";
}

std::optional<PopupState> refine(const PopupState& state, const Snapshot& snap, std::vector<Candidate> candidates) {
  if (!is_still_valid(state, snap) || candidates.empty()) return std::nullopt;
  return PopupState{get_symbol_prefix_at_pos(snap.text, snap.caret), std::move(candidates), 0, false, false};
}

std::optional<PopupState> waiting_state(const std::optional<SymbolPrefix>& prefix_info,
                                        std::vector<Candidate> candidates) {
  if (!prefix_info) return std::nullopt;
  return PopupState{*prefix_info, std::move(candidates), 0, false, true};
}

std::optional<PopupState> refine_waiting(const PopupState& state, const Snapshot& snap) {
  if (!is_still_valid(state, snap)) return std::nullopt;
  PopupState out = state;
  out.prefix_info = get_symbol_prefix_at_pos(snap.text, snap.caret);
  std::erase_if(out.candidates,
                [&](const Candidate& c) { return !starts_with_ignoring_case(c.symbol, out.prefix_info.prefix); });
  out.index = index_of_or_first(out.candidates, selected(state));
  out.single = false;
  return out;
}

PopupState arrive(const PopupState& state, std::vector<Candidate> candidates) {
  PopupState out = state;
  out.candidates = std::move(candidates);
  out.index = index_of_or_first(out.candidates, selected(state));
  out.single = false;
  out.waiting = false;
  return out;
}

// --- Targets and jumps ---------------------------------------------------------------------------------------

std::optional<Target> target(const Snapshot& snap) {
  std::u32string_view text = snap.text;
  if (has_selection(snap)) {
    Offset lo = clamp_to(text, std::min(snap.sel_start, snap.sel_end));
    Offset hi = clamp_to(text, std::max(snap.sel_start, snap.sel_end));
    std::optional<SymbolHit> hit = symbol_at_pos(text, lo);
    if (hit && hit->start == lo && hit->end == hi) return Target{hit->symbol, hit->start, hit->end};
  }
  std::optional<SymbolHit> hit = symbol_at_pos(text, clamp_to(text, snap.caret));
  if (!hit) return std::nullopt;
  return Target{hit->symbol, hit->start, hit->end};
}

std::optional<std::u32string> target_symbol(const Snapshot& snap) {
  std::optional<Target> t = target(snap);
  if (!t) return std::nullopt;
  return t->symbol;
}

std::optional<Target> local_binding(std::u32string_view text, std::u32string_view name, Offset pos) {
  if (is_blank(name)) return std::nullopt;
  return Scope(text).binding_of(name, clamp_to(text, pos));
}

std::optional<JumpTarget> jump_target(const Snapshot& snap, const std::optional<DocMap>& doc) {
  std::optional<Target> t = target(snap);
  if (!t) return std::nullopt;
  if (std::optional<Target> local = local_binding(snap.text, t->symbol, t->start)) {
    return JumpTarget{JumpTarget::Kind::Buffer, local->start, std::nullopt};
  }
  if (std::optional<DefinitionHit> def = find_definition(snap.text, t->symbol)) {
    return JumpTarget{JumpTarget::Kind::Buffer, def->start, std::nullopt};
  }
  // A special form has no var and so nowhere to go.
  if (doc && doc->status == DocStatus::Found && !doc->special_form) {
    return JumpTarget{JumpTarget::Kind::External, 0, doc};
  }
  return std::nullopt;
}

// --- Quick documentation -------------------------------------------------------------------------------------

std::string doc_text(const std::optional<DocMap>& doc, const std::optional<std::string>& location) {
  std::string out = format_autocomplete_doc(doc);
  if (location) out += "\n\n" + *location;
  return out;
}

std::optional<std::string> location_line(const std::optional<std::string>& location) {
  if (!location) return std::nullopt;
  std::string_view where = *location;
  size_t jar = where.find(".jar!/");
  if (jar != std::string_view::npos) {
    size_t slash = where.rfind('/', jar);
    if (slash != std::string_view::npos) where.remove_prefix(slash + 1);
  }
  return "Defined in " + std::string(where);
}

std::optional<std::string> full_doc_status(const FullDocResult& result) {
  switch (result.status) {
    case FullDocStatus::Ok: return std::nullopt;
    case FullDocStatus::NoOp: return "This server has no full-doc op.";
    case FullDocStatus::Timeout: return "Full docs for " + result.symbol + " timed out.";
    case FullDocStatus::NotAttached: return "No docs: Orrery isn't attached to the server yet. Run something first.";
    case FullDocStatus::NotLoaded:
      return "No docs: " + result.ns + " isn't loaded in the server yet. Run the file first.";
    case FullDocStatus::NotFound: return "No full docs: the server doesn't know " + result.symbol + ".";
  }
  return std::nullopt;
}

// --- Rename --------------------------------------------------------------------------------------------------

namespace {

struct RenamePlan {
  std::optional<std::string> problem;
  std::optional<EditOp> op;
};

RenamePlan plan_rename(const Snapshot& snap, std::u32string_view entry) {
  std::optional<Target> t = target(snap);
  if (!t) return {"Put the caret on a symbol first.", std::nullopt};
  std::u32string_view new_name = trimmed(entry);
  if (new_name.empty()) return {"Type a new name.", std::nullopt};
  if (new_name == t->symbol) return {"That's the current name.", std::nullopt};
  // Rename reads its old name from the selection: select exactly the target so a selection that is not one
  // symbol never becomes the name.
  Snapshot on_target{snap.text, t->end, t->start, t->end};
  std::optional<EditOp> op = rename(on_target, new_name);
  if (!op) {
    return {"Can't rename '" + kelp::to_utf8(t->symbol) + "' to '" + kelp::to_utf8(new_name) + "'.", std::nullopt};
  }
  op->caret = shift_offset(op->edits, clamp_to(snap.text, snap.caret));
  op->sel.reset();
  if (has_selection(snap)) {
    op->sel = Span{shift_offset(op->edits, clamp_to(snap.text, snap.sel_start)),
                   shift_offset(op->edits, clamp_to(snap.text, snap.sel_end))};
  }
  return {std::nullopt, std::move(op)};
}

}  // namespace

std::optional<std::string> rename_problem(const Snapshot& snap, std::u32string_view new_name) {
  return plan_rename(snap, new_name).problem;
}

std::optional<EditOp> rename_op(const Snapshot& snap, std::u32string_view new_name) {
  return plan_rename(snap, new_name).op;
}

std::string renamed_status(std::u32string_view old_name, std::u32string_view new_name, size_t count) {
  return "Renamed " + std::to_string(count) + " occurrence" + (count == 1 ? "" : "s") + " of '" +
         kelp::to_utf8(old_name) + "' to '" + kelp::to_utf8(new_name) + "'.";
}

// --- Clicks --------------------------------------------------------------------------------------------------

bool is_jump_click(const Click& click) {
  // Only the modifier keys count: button, Caps Lock and Num Lock bits are set on many ordinary clicks.
  constexpr uint32_t HYPER = 1u << 27;
  constexpr uint32_t MODIFIERS =
      keymap::MASK_SHIFT | keymap::MASK_CTRL | keymap::MASK_ALT | keymap::MASK_SUPER | keymap::MASK_META | HYPER;
  const uint32_t command = click.os == "Mac OS X" ? keymap::MASK_META : keymap::MASK_CTRL;
  return click.n_press == 1 && !click.selection && (click.state & MODIFIERS) == command;
}

}  // namespace orrery::help
