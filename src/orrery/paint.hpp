// Paint plans: the style spans a front-end applies as text tags, the style each span stands for, and the smallest
// re-tagging after an edit. Pure functions, safe on worker threads; only the tag application belongs to the GUI.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "orrery/syntax.hpp"
#include "orrery/text.hpp"

namespace orrery {

inline constexpr int RAINBOW_COUNT = 7;

// What a span is painted as: a token kind, a bracket's rainbow colour by depth, or an unmatched bracket.
struct StyleKey {
  enum class Tag : uint8_t { Token, Rainbow, Unmatched };
  Tag tag = Tag::Token;
  uint8_t n = 0;  // the TokenType for Token, the colour index 0..6 for Rainbow

  static constexpr StyleKey token(TokenType t) { return {Tag::Token, static_cast<uint8_t>(t)}; }
  static constexpr StyleKey rainbow(int depth) { return {Tag::Rainbow, static_cast<uint8_t>(depth % RAINBOW_COUNT)}; }
  static constexpr StyleKey unmatched() { return {Tag::Unmatched, 0}; }
  TokenType token_type() const { return static_cast<TokenType>(n); }
  bool operator==(const StyleKey&) const = default;
};

// ":comment", "[:rainbow 3]", ":unmatched".
std::string style_key_name(StyleKey key);

// [style-key start end], character offsets, end exclusive.
struct PaintSpan {
  StyleKey key;
  Offset start = 0;
  Offset end = 0;
  bool operator==(const PaintSpan&) const = default;
};

// All token spans in text order, then all bracket spans in text order; a later span wins where two overlap.
using PaintPlan = std::vector<PaintSpan>;

// A dialect's painting words. The dialect profiles supply these; a profile whose id is "kelp" keeps the scanner's
// own classification, which uses the same lists.
struct U32Hash {
  using is_transparent = void;
  size_t operator()(std::u32string_view s) const { return std::hash<std::u32string_view>{}(s); }
};
using WordSet = std::unordered_set<std::u32string, U32Hash, std::equal_to<>>;

struct WordSets {
  std::string id;  // the dialect keyword's name: "kelp", "cljd", "jank", ...
  WordSet special_forms;
  WordSet builtins;
};

// The kelp profile's special forms and builtins (shared by the clj, cljs and nrepl profiles; cljd and jank add
// special forms of their own).
const WordSets& kelp_word_sets();

// The token with its symbol-like kind recomputed from the profile's words: special-forms, then builtins, else
// symbol. Constants, keywords and every other kind are returned unchanged, so they paint alike in every dialect.
Token reclassify(const WordSets& profile, const Token& token, std::u32string_view text);

// The plan of a text. The TextPtr form goes through the scanner's caches, so a repaint and a command on the same
// text object scan it once; the view form scans afresh. Without a profile, or with kelp's, the scanner's own
// classification stands.
PaintPlan paint_plan(const TextPtr& text, const WordSets* profile = nullptr);
PaintPlan paint_plan(std::u32string_view text, const WordSets* profile = nullptr);

// What painting needs of a theme: the text colour, the token colours by kind name ("comment", "special-form", ...),
// the seven rainbow colours by depth and the red for unmatched brackets. Colours are "#rrggbb".
struct PaintTheme {
  std::string text;
  std::string red;
  std::map<std::string, std::string, std::less<>> tokens;
  std::array<std::string, RAINBOW_COUNT> rainbow;
};

struct StyleMap {
  std::string fg;
  bool bold = false;
  bool italic = false;
  bool operator==(const StyleMap&) const = default;
};

// Whether a token kind gets a span of its own (symbols and brackets do not), and its flags when it does.
std::optional<StyleMap> token_style(TokenType kind);

// The style a key stands for under a theme: a token kind's colour (the text colour when the theme has none) with
// its flags, the depth's rainbow colour, or bold red for an unmatched bracket.
StyleMap style(const PaintTheme& theme, StyleKey key);

// The effective style at pos (the last span covering it), or nothing for the default style.
std::optional<StyleMap> style_at(const PaintTheme& theme, std::span<const PaintSpan> plan, Offset pos);

// The untouched head and tail lengths since the old text, as the buffer's insert and delete signals saw them.
struct EditBounds {
  Offset prefix = 0;
  Offset suffix = 0;
};

// Re-tag `range` (new-text offsets): remove the painter's tags over it, then apply `apply` in order.
struct PlanDiff {
  Span range;
  PaintPlan apply;
};

struct PlanDiffArgs {
  std::u32string_view old_text;
  std::span<const PaintSpan> old_plan;
  std::u32string_view new_text;
  std::span<const PaintSpan> new_plan;
  std::optional<EditBounds> bounds;  // none: re-tag the whole new text
};

// The smallest re-tagging that turns tags showing the old plan (carried through the edit) into the new plan, or
// nothing when no span changed. Linear in the texts and plans.
std::optional<PlanDiff> plan_diff(const PlanDiffArgs& args);

}  // namespace orrery
