// The form reader (the text's forms as a tree, the form at the caret, the bracket check before a run) and the
// small text commands of the editor: run selection, find next and previous, replace, zoom.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/text.hpp"

namespace orrery {

struct FormNode {
  Offset start = 0;  // includes reader prefixes and attached metadata
  Offset end = 0;
  Offset open = -1;  // the opening bracket of a bracketed form; -1 for an atom
  std::vector<FormNode> kids;
  bool bracketed() const { return open >= 0; }
};

std::vector<FormNode> form_tree(std::u32string_view text);
// form_tree of text; empty for a blank text.
std::vector<FormNode> top_level_forms(std::u32string_view text);
// Whether a top-level form is a (comment ...) block.
bool is_comment_form(std::u32string_view text, const FormNode& form);

struct RunTarget {
  std::u32string text;
  Offset start;
  Offset end;
};

// The Run Form command's target for the caret, or nothing.
std::optional<RunTarget> run_form(std::u32string_view text, Offset caret);
// The sentence naming the first bracket problem ("The ( on line 3 is never closed."), or nothing.
std::optional<std::string> pre_run_problem(std::u32string_view text);

}  // namespace orrery
