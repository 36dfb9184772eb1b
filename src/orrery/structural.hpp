// Structural editing over the form tree: slurp and barf, raise, splice, wrap and rewrap, kills by form, line and
// list, drag and transpose, join and split, convolute, moves by form and selection growing. Every operation is a
// function of a snapshot answering an edit-op result, or nothing when it does not apply; only the selection
// history shared by Expand and Shrink Selection is state. Safe on any thread.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orrery/commands.hpp"
#include "orrery/text.hpp"

namespace orrery::structural {

using Forms = std::vector<FormNode>;

// An operation's answer: the edits, caret and selection, and for the kills and Copy Form the text for the
// clipboard.
struct Result {
  EditOp op;
  std::optional<std::u32string> copy;
};

// --- Queries over siblings ------------------------------------------------------------------------------------

// The form the caret is in or at the start of (start <= caret < end), else the first form starting after it.
const FormNode* form_at(const Forms& forms, Offset caret);
// The form the caret touches (start <= caret <= end), else the first form starting after it.
const FormNode* form_on(const Forms& forms, Offset caret);
// The last form ending at or before the caret and the first starting at or after it.
std::pair<const FormNode*, const FormNode*> around(const Forms& forms, Offset caret);
// The forms beside a list of the tree: its parent's kids, or the top-level forms.
const Forms& siblings_of(const Forms& tree, const FormNode& list);
// The smallest form holding a..b that is larger than the range.
std::optional<Span> covering(std::u32string_view text, Offset a, Offset b);
// The string literal the caret is strictly inside (after its opening quote, at or before its closing one).
std::optional<Span> in_string(const Snapshot& snap);
bool is_string_form(std::u32string_view text, const FormNode& form);
// The selection as a range; the caret twice when there is none.
Span selection(const Snapshot& snap);
// The two edits that exchange the texts of a and b (a before b).
std::vector<Edit> swap(std::u32string_view text, Span a, Span b);
// Removing from..to with the removed text as the copy; nothing for an empty range.
std::optional<Result> kill(std::u32string_view text, Offset from, Offset to);

// --- Operations -----------------------------------------------------------------------------------------------

std::optional<Result> slurp_forward(const Snapshot& snap);
std::optional<Result> barf_forward(const Snapshot& snap);
std::optional<Result> slurp_backward(const Snapshot& snap);
std::optional<Result> barf_backward(const Snapshot& snap);
std::optional<Result> raise(const Snapshot& snap);
std::optional<Result> splice(const Snapshot& snap);
std::optional<Result> splice_killing_forward(const Snapshot& snap);
std::optional<Result> splice_killing_backward(const Snapshot& snap);
std::optional<Result> convolute(const Snapshot& snap);
// Surrounds the form at the caret with open and close; with no form there, inserts the empty pair at the caret.
std::optional<Result> wrap(const Snapshot& snap, std::u32string_view open, std::u32string_view close);
// Gives the list around the caret open and close as its brackets.
std::optional<Result> rewrap(const Snapshot& snap, std::u32string_view open, std::u32string_view close);
std::optional<Result> drag_forward(const Snapshot& snap);
std::optional<Result> drag_backward(const Snapshot& snap);
std::optional<Result> transpose(const Snapshot& snap);
std::optional<Result> join(const Snapshot& snap);
std::optional<Result> split(const Snapshot& snap);
std::optional<Result> kill_form(const Snapshot& snap);
std::optional<Result> kill_form_backward(const Snapshot& snap);
std::optional<Result> kill_right(const Snapshot& snap);
std::optional<Result> kill_left(const Snapshot& snap);
std::optional<Result> kill_list_forward(const Snapshot& snap);
std::optional<Result> kill_list_backward(const Snapshot& snap);
std::optional<Result> copy_form(const Snapshot& snap);
std::optional<Result> forward(const Snapshot& snap);
std::optional<Result> backward(const Snapshot& snap);
std::optional<Result> up(const Snapshot& snap);
std::optional<Result> down(const Snapshot& snap);
std::optional<Result> forward_up(const Snapshot& snap);
std::optional<Result> backward_down(const Snapshot& snap);
std::optional<Result> list_start(const Snapshot& snap);
std::optional<Result> list_end(const Snapshot& snap);
std::optional<Result> expand_selection(const Snapshot& snap);
std::optional<Result> shrink_selection(const Snapshot& snap);
std::optional<Result> select_forward(const Snapshot& snap);
std::optional<Result> select_backward(const Snapshot& snap);
// Clears the history Expand Selection grows and Shrink Selection walks back.
void forget_selection();

// --- The command table ----------------------------------------------------------------------------------------

struct Operation {
  std::string_view name;   // the command is :paredit/<name>
  std::string_view label;  // the menu's words
  std::string_view doc;    // the command registry's doc line
  std::optional<Result> (*run)(const Snapshot&);
};

// Every structural operation, in the menu's order.
std::span<const Operation> operations();
const Operation* find_operation(std::string_view name);

}  // namespace orrery::structural
