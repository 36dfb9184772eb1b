#include "orrery/changed.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "orrery/commands.hpp"
#include "orrery/syntax.hpp"

namespace orrery {

namespace {

bool is_gap_filler(char32_t c) { return c == U',' || is_blank(std::u32string_view(&c, 1)); }

std::u32string_view slice(std::u32string_view text, Offset start, Offset end) {
  return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

void add_piece(std::u32string& key, std::u32string_view piece) {
  if (!key.empty()) key.push_back(U' ');
  key.append(piece);
}

// The gap text between tokens (reader-macro characters such as ' @ ` ~ ~@ and a dispatch #), without whitespace
// and commas, as one piece when anything is left.
void add_gap(std::u32string& key, std::u32string_view gap) {
  std::u32string kept;
  for (char32_t c : gap) {
    if (!is_gap_filler(c)) kept.push_back(c);
  }
  if (!kept.empty()) add_piece(key, kept);
}

// The key of the form at span, reading tokens from *cursor on (comment tokens included, so that the text of a
// comment never lands in a gap) and leaving the cursor past the form.
std::u32string key_of(std::u32string_view text, const Tokens& tokens, std::size_t* cursor, Span span) {
  std::size_t& i = *cursor;
  while (i < tokens.size() && tokens[i].end <= span.start) ++i;
  std::u32string key;
  // A reader prefix set apart by whitespace (' (a b), @ x) may lie before the form's span; the gap text since
  // the previous token can only apply forward, so it belongs to this form.
  Offset previous = i > 0 ? std::min(span.start, tokens[i - 1].end) : 0;
  previous = std::min(previous, span.start);
  for (; i < tokens.size() && tokens[i].start < span.end; ++i) {
    const Token& t = tokens[i];
    add_gap(key, slice(text, previous, std::max(previous, t.start)));
    if (t.type != TokenType::Comment) add_piece(key, slice(text, t.start, t.end));
    previous = std::max(previous, t.end);
  }
  return key;
}

bool is_opener_token(std::u32string_view text, const Token& t) {
  if (t.type != TokenType::Bracket) return false;
  char32_t c = text[static_cast<std::size_t>(t.start)];
  return c == U'(' || c == U'[' || c == U'{';
}

// The index just past the form starting at token i: a bracketed form through its closer, else one token.
std::size_t skip_form(std::u32string_view text, const Tokens& tokens, std::size_t i) {
  if (!is_opener_token(text, tokens[i])) return i + 1;
  int depth = 0;
  for (; i < tokens.size(); ++i) {
    if (tokens[i].type != TokenType::Bracket) continue;
    depth += is_opener_token(text, tokens[i]) ? 1 : -1;
    if (depth == 0) return i + 1;
  }
  return i;
}

// A cheap test before ident: only keys starting "( def" can define anything.
bool may_define(std::u32string_view key) { return key.starts_with(U"( def"); }

}  // namespace

std::vector<FormEntry> forms(std::u32string_view text) {
  std::vector<FormEntry> out;
  if (is_blank(text)) return out;
  Tokens tokens = tokenize(text);
  std::size_t cursor = 0;
  for (const FormNode& form : top_level_forms(text)) {
    if (is_comment_form(text, form)) continue;
    Span span{form.start, form.end};
    out.push_back({form.start, form.end, key_of(text, tokens, &cursor, span)});
  }
  return out;
}

std::vector<FormEntry> changed(std::u32string_view text, const RanSet& ran) {
  std::vector<FormEntry> out;
  if (!ran) return out;
  for (FormEntry& entry : forms(text)) {
    if (!ran->contains(entry.key)) out.push_back(std::move(entry));
  }
  return out;
}

std::set<std::u32string> record(const RanSet& ran, RunKind kind, std::u32string_view text) {
  std::vector<FormEntry> ran_forms = forms(text);
  std::set<std::u32string> out;
  if (kind == RunKind::Run) {
    for (FormEntry& entry : ran_forms) out.insert(std::move(entry.key));
    return out;
  }
  if (ran) out = *ran;
  for (FormEntry& entry : ran_forms) {
    if (may_define(entry.key)) {
      if (std::optional<Ident> defined = ident(entry.key)) {
        std::erase_if(out, [&](const std::u32string& key) { return may_define(key) && ident(key) == defined; });
      }
    }
    out.insert(std::move(entry.key));
  }
  return out;
}

std::optional<std::u32string> last_run_after(std::optional<std::u32string> previous, RunKind source,
                                             RunStatus status, std::optional<std::u32string_view> text) {
  if (source == RunKind::Run && status == RunStatus::Ok && text) return std::u32string(*text);
  return previous;
}

std::optional<Ident> ident(std::u32string_view key) {
  if (!may_define(key)) return std::nullopt;
  Tokens tokens = tokenize(key);
  std::erase_if(tokens, [](const Token& t) { return t.type == TokenType::Comment; });
  if (tokens.size() < 3 || tokens[0].start != 0 || !is_opener_token(key, tokens[0]) || key[0] != U'(') {
    return std::nullopt;
  }
  auto text_of = [&](const Token& t) { return std::u32string(slice(key, t.start, t.end)); };
  std::u32string head = text_of(tokens[1]);
  if (!is_symbol_like(tokens[1].type) || !head.starts_with(U"def")) return std::nullopt;

  // The defined name is the first form after the head that is not metadata; reader prefixes before it are gaps.
  std::size_t i = 2;
  Offset previous = tokens[1].end;
  while (i < tokens.size()) {
    const Token& t = tokens[i];
    bool meta_follows = slice(key, previous, t.start).find(U'^') != std::u32string_view::npos;
    if (meta_follows || t.type == TokenType::Metatag) {  // ^{...} or ^[...] after a bare ^; ^:kw and ^Type whole
      std::size_t next = meta_follows ? skip_form(key, tokens, i) : i + 1;
      previous = tokens[next - 1].end;
      i = next;
      continue;
    }
    if (t.type == TokenType::Bracket) return std::nullopt;
    return Ident{std::move(head), text_of(t)};
  }
  return std::nullopt;
}

RunChangedPlan run_changed_plan(std::u32string_view text, const RanSet& ran) {
  RunChangedPlan plan;
  if (!ran) {
    plan.note = "; Run the tab once first.";
    return plan;
  }
  plan.forms = changed(text, ran);
  if (plan.forms.empty()) {
    plan.note = "; Nothing has changed since the last run.";
    return plan;
  }
  std::u32string code;
  for (const FormEntry& entry : plan.forms) {
    if (!code.empty()) code.push_back(U'\n');
    code.append(slice(text, entry.start, entry.end));
  }
  plan.code = std::move(code);
  std::size_t n = plan.forms.size();
  plan.note = fmt::format("; Running {} changed form{}.", n, n == 1 ? "" : "s");
  return plan;
}

}  // namespace orrery
