#include "orrery/paint.hpp"

#include <algorithm>
#include <initializer_list>

#include <fmt/format.h>

namespace orrery {

namespace {

WordSet word_set(std::span<const std::u32string_view> words) {
  WordSet set;
  set.reserve(words.size());
  for (auto w : words) set.emplace(w);
  return set;
}

}  // namespace

std::string style_key_name(StyleKey key) {
  switch (key.tag) {
    case StyleKey::Tag::Token:
      return fmt::format(":{}", token_type_name(key.token_type()));
    case StyleKey::Tag::Rainbow:
      return fmt::format("[:rainbow {}]", key.n);
    case StyleKey::Tag::Unmatched:
      break;
  }
  return ":unmatched";
}

const WordSets& kelp_word_sets() {
  static const WordSets sets{"kelp", word_set(special_form_words()), word_set(core_builtin_words())};
  return sets;
}

Token reclassify(const WordSets& profile, const Token& token, std::u32string_view text) {
  switch (token.type) {
    case TokenType::SpecialForm:
    case TokenType::Builtin:
    case TokenType::Symbol:
      break;
    default:
      return token;
  }
  auto word = text.substr(token.start, token.end - token.start);
  TokenType kind = profile.special_forms.contains(word) ? TokenType::SpecialForm
                   : profile.builtins.contains(word)    ? TokenType::Builtin
                                                         : TokenType::Symbol;
  return {kind, token.start, token.end};
}

std::optional<StyleMap> token_style(TokenType kind) {
  switch (kind) {
    case TokenType::Symbol:
    case TokenType::Bracket:
      return std::nullopt;
    case TokenType::Comment:
      return StyleMap{"", false, true};
    default:
      return StyleMap{};
  }
}

namespace {

// A profile other than kelp's repaints the symbol-like tokens with its own words.
bool repaints_words(const WordSets* profile) { return profile && profile->id != kelp_word_sets().id; }

PaintPlan plan_from(std::u32string_view text, const Tokens& tokens, const Brackets& brackets,
                    const WordSets* profile) {
  PaintPlan plan;
  plan.reserve(tokens.size() + brackets.bracket_tokens.size());
  bool reclassifying = repaints_words(profile);
  for (const Token& t : tokens) {
    const Token tok = reclassifying ? reclassify(*profile, t, text) : t;
    if (token_style(tok.type)) plan.push_back({StyleKey::token(tok.type), tok.start, tok.end});
  }
  for (const BracketToken& b : brackets.bracket_tokens) {
    StyleKey key = b.kind == BracketKind::Unmatched ? StyleKey::unmatched() : StyleKey::rainbow(b.depth);
    plan.push_back({key, b.start, b.end});
  }
  return plan;
}

}  // namespace

PaintPlan paint_plan(const TextPtr& text, const WordSets* profile) {
  if (!text) return {};
  auto tokens = tokenize(text);
  auto brackets = compute_brackets(text);
  return plan_from(*text, *tokens, *brackets, profile);
}

PaintPlan paint_plan(std::u32string_view text, const WordSets* profile) {
  Tokens tokens = tokenize(text);
  return plan_from(text, tokens, analyse_brackets(text, tokens), profile);
}

StyleMap style(const PaintTheme& theme, StyleKey key) {
  switch (key.tag) {
    case StyleKey::Tag::Token: {
      StyleMap s = token_style(key.token_type()).value_or(StyleMap{});
      auto it = theme.tokens.find(token_type_name(key.token_type()));
      s.fg = it != theme.tokens.end() ? it->second : theme.text;
      return s;
    }
    case StyleKey::Tag::Rainbow:
      return StyleMap{theme.rainbow[key.n % RAINBOW_COUNT], false, false};
    case StyleKey::Tag::Unmatched:
      break;
  }
  return StyleMap{theme.red, true, false};
}

std::optional<StyleMap> style_at(const PaintTheme& theme, std::span<const PaintSpan> plan, Offset pos) {
  for (auto it = plan.rbegin(); it != plan.rend(); ++it) {
    if (it->start <= pos && pos < it->end) return style(theme, it->key);
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------------------------
// plan_diff
//
// The changed spans are the symmetric difference of the new plan and the old spans that the edit left alone
// (shifted to new offsets), plus the old spans the edit crossed. Only the smallest start and the largest end of
// that set matter. A plan is two sections (token spans, then bracket spans), each in text order without overlaps,
// so each section's spans are unique and sorted by both start and end, and equal spans never occur across
// sections (their keys differ). For two such sorted sets the smallest start of their symmetric difference is at the
// first position where they differ walking from the front, and the largest end at the first position where they
// differ walking from the back; so no hashing is needed and the cost is the length of the two common runs.

namespace {

using Spans = std::span<const PaintSpan>;

// The token section of a plan (its leading spans keyed by a token kind) and the bracket section after it.
struct Sections {
  Spans tokens;
  Spans brackets;
};

Sections sections(Spans plan) {
  auto split = std::partition_point(plan.begin(), plan.end(),
                                    [](const PaintSpan& s) { return s.key.tag == StyleKey::Tag::Token; });
  size_t n = static_cast<size_t>(split - plan.begin());
  return {plan.first(n), plan.subspan(n)};
}

bool in_text_order(Spans spans) {
  Offset last_end = 0;
  for (const PaintSpan& s : spans) {
    if (s.start < last_end || s.end <= s.start) return false;
    last_end = s.end;
  }
  return true;
}

// Plans made by paint_plan always have this shape; anything else is answered by re-tagging everything.
bool well_formed(Spans plan) {
  Sections s = sections(plan);
  bool brackets_only = std::all_of(s.brackets.begin(), s.brackets.end(),
                                   [](const PaintSpan& p) { return p.key.tag != StyleKey::Tag::Token; });
  return brackets_only && in_text_order(s.tokens) && in_text_order(s.brackets);
}

Offset common_prefix(std::u32string_view a, std::u32string_view b, Offset limit) {
  Offset n = std::min<Offset>({static_cast<Offset>(a.size()), static_cast<Offset>(b.size()), limit});
  Offset i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

Offset common_suffix(std::u32string_view a, std::u32string_view b, Offset limit) {
  Offset n = std::min<Offset>({static_cast<Offset>(a.size()), static_cast<Offset>(b.size()), limit});
  Offset i = 0;
  while (i < n && a[a.size() - 1 - i] == b[b.size() - 1 - i]) ++i;
  return i;
}

// Where the edit sits: old[p, old_tail) became new[p, new_tail); everything after moved by delta.
struct EditWindow {
  Offset p = 0;
  Offset old_tail = 0;
  Offset new_tail = 0;
  Offset delta() const { return new_tail - old_tail; }
  // A crossing span's start stays when before the edit; one inside the edit moves to its start.
  Offset map_start(Offset x) const { return x <= p ? x : p; }
  // A crossing span's end moves with the text after the edit; one inside the edit moves to its new end.
  Offset map_end(Offset x) const { return x >= old_tail ? x + delta() : new_tail; }
};

EditWindow edit_window(std::u32string_view old_text, std::u32string_view new_text, EditBounds bounds) {
  Offset shorter = static_cast<Offset>(std::min(old_text.size(), new_text.size()));
  Offset p = common_prefix(old_text, new_text, std::max<Offset>(bounds.prefix, 0));
  Offset q = common_suffix(old_text, new_text, std::min(std::max<Offset>(bounds.suffix, 0), shorter - p));
  return {p, static_cast<Offset>(old_text.size()) - q, static_cast<Offset>(new_text.size()) - q};
}

// The old spans of one section the edit left alone (before it, and after it shifted), read as one sequence.
struct KeptSpans {
  Spans before;
  Spans after;
  Offset delta;
  size_t size() const { return before.size() + after.size(); }
  PaintSpan operator[](size_t i) const {
    if (i < before.size()) return before[i];
    PaintSpan s = after[i - before.size()];
    return {s.key, s.start + delta, s.end + delta};
  }
};

struct Extent {
  Offset lo = 0;
  Offset hi = 0;
  bool any = false;
  void add(Offset start, Offset end) {
    lo = any ? std::min(lo, start) : start;
    hi = any ? std::max(hi, end) : end;
    any = true;
  }
};

// Adds the extent of the changed spans of one section.
void changed_in_section(Spans old_spans, Spans new_spans, const EditWindow& w, Extent& out) {
  auto k1 = std::partition_point(old_spans.begin(), old_spans.end(),
                                 [&](const PaintSpan& s) { return s.end <= w.p; });
  auto k2 = std::partition_point(k1, old_spans.end(), [&](const PaintSpan& s) { return s.start < w.old_tail; });
  if (k1 != k2) out.add(w.map_start(k1->start), w.map_end((k2 - 1)->end));

  KeptSpans kept{{old_spans.begin(), k1}, {k2, old_spans.end()}, w.delta()};
  const size_t na = kept.size(), nb = new_spans.size();
  size_t i = 0;
  while (i < na && i < nb && kept[i] == new_spans[i]) ++i;
  if (i == na && i == nb) return;
  size_t j = 0;
  while (j < na - i && j < nb - i && kept[na - 1 - j] == new_spans[nb - 1 - j]) ++j;
  // After the back walk at most one side may have run out; a side with a run left contributes its ends.
  if (na - j > i) out.add(kept[i].start, kept[na - 1 - j].end);
  if (nb - j > i) out.add(new_spans[i].start, new_spans[nb - 1 - j].end);
}

// The key of the span that shows at x (brackets are applied after tokens), if any.
std::optional<StyleKey> key_at(const Sections& plan, Offset x) {
  for (Spans section : {plan.brackets, plan.tokens}) {
    auto it = std::partition_point(section.begin(), section.end(), [&](const PaintSpan& s) { return s.end <= x; });
    if (it != section.end() && it->start <= x) return it->key;
  }
  return std::nullopt;
}

// A text buffer gives inserted text the tags that run on through the insertion point: a tag on both the
// character before and the one after it, even when two spans of one key merely touch there, as a bracket pair's
// rainbow colour does in "[]". No span crosses such an edit, so the inserted text is re-tagged explicitly.
bool inherits_a_tag(const Sections& old_plan, const EditWindow& w, Offset old_length) {
  if (w.new_tail == w.p || w.p == 0 || w.old_tail >= old_length) return false;
  auto before = key_at(old_plan, w.p - 1);
  return before && before == key_at(old_plan, w.old_tail);
}

void intersecting(Spans spans, Offset a, Offset b, PaintPlan& out) {
  auto it = std::partition_point(spans.begin(), spans.end(), [&](const PaintSpan& s) { return s.end <= a; });
  for (; it != spans.end() && it->start < b; ++it) out.push_back(*it);
}

PlanDiff whole(std::u32string_view new_text, Spans new_plan) {
  return {{0, static_cast<Offset>(new_text.size())}, PaintPlan(new_plan.begin(), new_plan.end())};
}

}  // namespace

std::optional<PlanDiff> plan_diff(const PlanDiffArgs& args) {
  if (!args.bounds || !well_formed(args.old_plan) || !well_formed(args.new_plan)) {
    return whole(args.new_text, args.new_plan);
  }
  EditWindow w = edit_window(args.old_text, args.new_text, *args.bounds);
  Sections olds = sections(args.old_plan), news = sections(args.new_plan);
  Extent changed;
  changed_in_section(olds.tokens, news.tokens, w, changed);
  changed_in_section(olds.brackets, news.brackets, w, changed);
  if (inherits_a_tag(olds, w, static_cast<Offset>(args.old_text.size()))) changed.add(w.p, w.new_tail);
  if (!changed.any) return std::nullopt;

  PlanDiff diff{{changed.lo, changed.hi}, {}};
  intersecting(news.tokens, changed.lo, changed.hi, diff.apply);
  intersecting(news.brackets, changed.lo, changed.hi, diff.apply);
  return diff;
}

}  // namespace orrery
