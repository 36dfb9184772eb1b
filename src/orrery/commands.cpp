// The form reader over the scanner's tokens, and the editor's small text commands.
#include "orrery/commands.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "orrery/syntax.hpp"

namespace orrery {

namespace {

bool is_reader_prefix(char32_t c) {
  return c == U'\'' || c == U'`' || c == U'~' || c == U'@' || c == U'#' || c == U'?';
}

std::u32string_view token_text(std::u32string_view text, const Token& t) {
  return text.substr(t.start, t.end - t.start);
}

bool follows_hash(std::u32string_view text, const Token& t) { return t.start > 0 && text[t.start - 1] == U'#'; }

// The `?` of `#?` and `#?@`: not a form of its own but part of the prefix of the form after it.
bool is_conditional_mark(std::u32string_view text, const Token& t) {
  return is_symbol_like(t.type) && token_text(text, t) == U"?" && follows_hash(text, t);
}

// The `_` of `#_`: the next form is discarded.
bool is_discard_mark(std::u32string_view text, const Token& t) {
  return is_symbol_like(t.type) && token_text(text, t) == U"_" && follows_hash(text, t);
}

struct Frame {
  FormNode node;
  char32_t closer = 0;
  std::optional<Offset> meta_start;
  int discards = 0;
};

class FormReader {
 public:
  explicit FormReader(std::u32string_view text) : text_(text) { stack_.emplace_back(); }

  std::vector<FormNode> read() {
    Offset prev_end = 0;
    for (const Token& t : tokenize(text_)) {
      if (t.type == TokenType::Comment || is_conditional_mark(text_, t)) continue;
      Offset start = prefix_start(t.start, prev_end);
      prev_end = t.end;
      if (is_discard_mark(text_, t)) {
        ++stack_.back().discards;
      } else if (t.type == TokenType::Bracket) {
        bracket(t, start);
      } else {
        absorb(FormNode{start, t.end, -1, {}}, t.type == TokenType::Metatag);
      }
    }
    // Frames never closed are dropped with everything inside them.
    return std::move(stack_.front().node.kids);
  }

 private:
  Offset prefix_start(Offset s, Offset prev_end) const {
    while (s > prev_end && s > 0 && is_reader_prefix(text_[s - 1])) --s;
    return s;
  }

  void bracket(const Token& t, Offset start) {
    char32_t c = text_[t.start];
    if (char32_t closer = closer_of(c)) {
      Frame f;
      f.node.start = start;
      f.node.open = t.start;
      f.closer = closer;
      stack_.push_back(std::move(f));
    } else if (stack_.size() > 1 && stack_.back().closer == c) {
      FormNode done = std::move(stack_.back().node);
      stack_.pop_back();
      done.end = t.end;
      absorb(std::move(done), false);
    }
    // any other closer is ignored
  }

  void absorb(FormNode form, bool metadata_atom) {
    Frame& parent = stack_.back();
    if (metadata_atom) {
      if (!parent.meta_start) parent.meta_start = form.start;
      return;
    }
    if (form.bracketed() && form.open > 0 && text_[form.open - 1] == U'^') {
      if (!parent.meta_start) parent.meta_start = form.open - 1;
      return;
    }
    if (parent.meta_start) {
      form.start = *parent.meta_start;
      parent.meta_start.reset();
    }
    if (parent.discards > 0) {
      --parent.discards;
      return;
    }
    parent.node.kids.push_back(std::move(form));
  }

  std::u32string_view text_;
  std::vector<Frame> stack_;
};

// The first form with start <= caret < end, else the first whose end is the caret.
const FormNode* form_around(const std::vector<FormNode>& forms, size_t first, Offset caret) {
  for (size_t i = first; i < forms.size(); ++i) {
    if (forms[i].start <= caret && caret < forms[i].end) return &forms[i];
  }
  for (size_t i = first; i < forms.size(); ++i) {
    if (forms[i].end == caret) return &forms[i];
  }
  return nullptr;
}

RunTarget target_of(std::u32string_view text, const FormNode& f) {
  return RunTarget{std::u32string(text.substr(f.start, f.end - f.start)), f.start, f.end};
}

}  // namespace

std::vector<FormNode> form_tree(std::u32string_view text) { return FormReader(text).read(); }

std::vector<FormNode> top_level_forms(std::u32string_view text) {
  if (is_blank(text)) return {};
  return form_tree(text);
}

bool is_comment_form(std::u32string_view text, const FormNode& form) {
  if (!form.bracketed() || form.start != form.open || text[form.open] != U'(' || form.kids.empty()) return false;
  const FormNode& head = form.kids.front();
  return !head.bracketed() && text.substr(head.start, head.end - head.start) == U"comment";
}

std::optional<RunTarget> run_form(std::u32string_view text, Offset caret) {
  if (is_blank(text)) return std::nullopt;
  std::vector<FormNode> forms = form_tree(text);
  const FormNode* form = form_around(forms, 0, caret);
  if (!form) return std::nullopt;
  if (!is_comment_form(text, *form)) return target_of(text, *form);
  // In a comment block the target is the block's direct child around the caret, once past the head.
  if (caret < form->kids.front().end) return std::nullopt;
  const FormNode* kid = form_around(form->kids, 1, caret);
  if (!kid) return std::nullopt;
  return target_of(text, *kid);
}

std::optional<std::string> pre_run_problem(std::u32string_view text) {
  Brackets b = compute_brackets(text);
  if (b.unmatched.empty()) return std::nullopt;
  Offset at = *b.unmatched.begin();
  char32_t c = text[at];
  std::string line = std::to_string(line_number_at_offset(text, at));
  std::string bracket(1, static_cast<char>(c));
  if (c == U'(' || c == U'[' || c == U'{') return "The " + bracket + " on line " + line + " is never closed.";
  return "The " + bracket + " on line " + line + " has no matching opener.";
}

}  // namespace orrery

namespace orrery {

std::optional<std::u32string> run_selection_text(const Snapshot& s) {
  std::u32string_view text = s.text;
  const Offset n = static_cast<Offset>(text.size());
  std::u32string_view chosen;
  if (s.sel_start != s.sel_end) {
    Offset a = std::clamp<Offset>(std::min(s.sel_start, s.sel_end), 0, n);
    Offset b = std::clamp<Offset>(std::max(s.sel_start, s.sel_end), 0, n);
    chosen = text.substr(a, b - a);
  } else {
    Offset caret = std::clamp<Offset>(s.caret, 0, n);
    size_t before = caret > 0 ? text.rfind(U'\n', caret - 1) : std::u32string_view::npos;
    size_t start = before == std::u32string_view::npos ? 0 : before + 1;
    size_t end = std::min(text.find(U'\n', caret), text.size());
    chosen = text.substr(start, end - start);
  }
  if (is_blank(chosen)) return std::nullopt;
  return std::u32string(chosen);
}

std::optional<Span> next_match(const std::vector<Span>& matches, Offset caret) {
  if (matches.empty()) return std::nullopt;
  for (const Span& m : matches) {
    if (m.start >= caret) return m;
  }
  return matches.front();
}

std::optional<Span> prev_match(const std::vector<Span>& matches, Offset caret) {
  if (matches.empty()) return std::nullopt;
  for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
    if (it->end <= caret) return *it;
  }
  return matches.back();
}

std::optional<EditOp> replace_current(const Snapshot& s, const std::vector<Span>& matches,
                                      std::u32string_view replacement) {
  Span sel{std::min(s.sel_start, s.sel_end), std::max(s.sel_start, s.sel_end)};
  auto current = std::find(matches.begin(), matches.end(), sel);
  if (sel.start == sel.end || current == matches.end()) return std::nullopt;

  EditOp op;
  op.edits.push_back(Edit{sel.start, sel.end, std::u32string(replacement)});
  const Offset delta = static_cast<Offset>(replacement.size()) - (sel.end - sel.start);
  // The next other match from the selection's end, wrapping to the first other one.
  const Span* next = nullptr;
  for (const Span& m : matches) {
    if (&m == &*current) continue;
    if (m.start >= sel.end) {
      next = &m;
      break;
    }
    if (!next) next = &m;
  }
  if (!next) {
    op.caret = sel.start + static_cast<Offset>(replacement.size());
    op.sel = Span{op.caret, op.caret};
    return op;
  }
  Span moved = *next;
  if (moved.start >= sel.end) moved = Span{moved.start + delta, moved.end + delta};
  op.caret = moved.end;
  op.sel = moved;
  return op;
}

std::optional<ReplaceAll> replace_all(const std::vector<Span>& matches, std::u32string_view replacement) {
  if (matches.empty()) return std::nullopt;
  ReplaceAll out{{}, static_cast<int64_t>(matches.size())};
  for (const Span& m : matches) out.op.edits.push_back(Edit{m.start, m.end, std::u32string(replacement)});
  out.op.caret = matches.front().start + static_cast<Offset>(replacement.size());
  return out;
}

int zoom(int current, ZoomDirection direction) {
  switch (direction) {
    case ZoomDirection::Reset:
      return DEFAULT_FONT_PX;
    case ZoomDirection::In:
      for (int size : ZOOM_SIZES) {
        if (size > current) return size;
      }
      return ZOOM_SIZES.back();
    case ZoomDirection::Out:
      for (auto it = ZOOM_SIZES.rbegin(); it != ZOOM_SIZES.rend(); ++it) {
        if (*it < current) return *it;
      }
      return ZOOM_SIZES.front();
  }
  return DEFAULT_FONT_PX;
}

namespace {
constexpr std::array<std::string_view, 4> PARINFER_CYCLE = {"off", "smart", "indent", "paren"};
}  // namespace

std::string parinfer_step(std::string_view current, std::string_view choice) {
  auto known = [](std::string_view m) { return std::find(PARINFER_CYCLE.begin(), PARINFER_CYCLE.end(), m); };
  if (known(choice) != PARINFER_CYCLE.end()) return std::string(choice);
  auto at = known(current);
  if (choice != "next") return std::string(current);
  if (at == PARINFER_CYCLE.end()) return "smart";
  return std::string(*(at + 1 == PARINFER_CYCLE.end() ? PARINFER_CYCLE.begin() : at + 1));
}

std::string parinfer_effective(const std::optional<std::string>& override_mode, std::string_view global) {
  return override_mode ? *override_mode : std::string(global);
}

std::string parinfer_mode_word(std::string_view mode) {
  std::string word(mode);
  if (mode != "off" && !word.empty()) word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
  return word;
}

std::optional<std::string> parinfer_label_text(std::string_view mode) {
  if (mode == "off") return std::nullopt;
  return "Parinfer: " + parinfer_mode_word(mode);
}

std::optional<std::string> parinfer_status_text(std::string_view effective, bool overridden, std::string_view global) {
  if (!overridden) return parinfer_label_text(effective);
  // A project that turns Parinfer off says so only when that differs from what the user chose.
  if (effective == "off") return global == "off" ? std::nullopt : std::optional<std::string>("Parinfer: off (project)");
  return "Parinfer: " + parinfer_mode_word(effective) + " (project)";
}

std::optional<std::string> parinfer_pinned_note(std::string_view global, const std::optional<std::string>& override_mode) {
  if (!override_mode || *override_mode == global) return std::nullopt;
  return " (this project says " + parinfer_mode_word(*override_mode) + ")";
}

}  // namespace orrery
