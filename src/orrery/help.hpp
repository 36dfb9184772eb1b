// The decisions behind the editor's help features, as pure functions of snapshots and plain data: the completion
// popup's state (open, move, refine as the user types, take a server's late answer, commit), the symbol quick
// documentation, Jump to Definition and Rename act on, where Jump to Definition goes (with a scope analysis that
// finds the binding of a local name in scope at a position), the quick-documentation texts and which click asks
// for a jump. Lookups that need the running program happen in the window layer and come in here as data.
// Offsets are code points.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/syntax_defs.hpp"
#include "orrery/text.hpp"

namespace orrery::help {

// --- Completion popup ----------------------------------------------------------------------------------------

struct PopupState {
  SymbolPrefix prefix_info;
  std::vector<Candidate> candidates;
  size_t index = 0;     // the selected row
  bool single = false;  // exactly one candidate on opening: the front-end commits it at once
  bool waiting = false; // the server's names are still on the way
  bool operator==(const PopupState&) const = default;
};

// The word being completed at the caret; nothing with a selection or an empty prefix.
std::optional<SymbolPrefix> prefix_at(const Snapshot& snap);
// The popup on its first row; nothing for no candidates.
std::optional<PopupState> open_state(const SymbolPrefix& prefix_info, std::vector<Candidate> candidates);
// The selection moved by delta rows (negative is up), clamped to the list.
PopupState move(const PopupState& state, int64_t delta);
std::optional<Candidate> selected(const PopupState& state);
// One edit replacing the whole word around the caret (from the prefix's start to the word's end) with the
// selected name, the caret after it. Nothing without a selected row or when the popup no longer fits the snapshot.
std::optional<EditOp> commit_op(const PopupState& state, const Snapshot& snap);
// The word beside a row: "buffer" for a user name the buffer defines, "user", "special" or "builtin".
std::string candidate_label(const Candidate& candidate, const std::set<std::u32string>& buffer_defs);
// Whether the caret is still in a word that starts where the popup's prefix started.
bool is_still_valid(const PopupState& state, const Snapshot& snap);
// The popup reopened on the prefix typed so far with these candidates; nothing (close) when it is no longer
// valid or nothing matches. Never single: a list narrowed to one name by typing waits for the user.
std::optional<PopupState> refine(const PopupState& state, const Snapshot& snap, std::vector<Candidate> candidates);
// A popup waiting for the server's names, holding what is known so far; nothing only without a prefix.
std::optional<PopupState> waiting_state(const std::optional<SymbolPrefix>& prefix_info,
                                        std::vector<Candidate> candidates = {});
// The waiting popup on the prefix typed so far, its names narrowed to those still matching; nothing when no
// longer valid.
std::optional<PopupState> refine_waiting(const PopupState& state, const Snapshot& snap);
// The server's (already merged) candidates in place of the list: the selected name stays selected when still
// listed, else the first row. Never single, so a late answer never commits by itself.
PopupState arrive(const PopupState& state, std::vector<Candidate> candidates);

// --- Targets and jumps ---------------------------------------------------------------------------------------

// A symbol in the text: what a help action acts on, or where a local name is bound.
struct Target {
  std::u32string symbol;
  Offset start = 0;
  Offset end = 0;
  bool operator==(const Target&) const = default;
};

// The selection when it is exactly one symbol, else the symbol at or beside the caret; nothing inside a comment
// or string, or away from any symbol.
std::optional<Target> target(const Snapshot& snap);
std::optional<std::u32string> target_symbol(const Snapshot& snap);

// The binding of name in scope at pos: the innermost enclosing form that binds it where pos can see it (a let
// binding is seen by the bindings after it and the body, not by its own value), the last such binding in that
// form. %, %1 to %9 and %& resolve to the #( that holds pos. Nothing when no local binding is in scope.
std::optional<Target> local_binding(std::u32string_view text, std::u32string_view name, Offset pos);

struct JumpTarget {
  enum class Kind { Buffer, External };
  Kind kind = Kind::Buffer;
  Offset offset = 0;          // Buffer: where the definition's name starts
  std::optional<DocMap> doc;  // External: the runtime's entry for the var
  bool operator==(const JumpTarget&) const = default;
};

// Where Jump to Definition goes for the target: its local binding, else a def form in the buffer, else the
// runtime's var (doc, when the runtime found one); nothing otherwise.
std::optional<JumpTarget> jump_target(const Snapshot& snap, const std::optional<DocMap>& doc);

// --- Quick documentation -------------------------------------------------------------------------------------

// The preview text of the entry (none reads as not found), then a blank line and the location when known.
std::string doc_text(const std::optional<DocMap>& doc, const std::optional<std::string>& location = std::nullopt);
// "Defined in " and the location, a path inside a jar shortened to the jar's file name and what follows it.
std::optional<std::string> location_line(const std::optional<std::string>& location);

enum class FullDocStatus { Ok, NoOp, Timeout, NotAttached, NotLoaded, NotFound };
struct FullDocResult {
  FullDocStatus status = FullDocStatus::Ok;
  std::string symbol;
  std::string ns;
};
// The status-line sentence for the server's full-documentation answer; nothing for Ok (the caller shows the text).
std::optional<std::string> full_doc_status(const FullDocResult& result);

// --- Rename --------------------------------------------------------------------------------------------------

// Why the rename popover cannot apply new_name (the entry's text, trimmed here) to the target, or nothing.
std::optional<std::string> rename_problem(const Snapshot& snap, std::u32string_view new_name);
// The rename of the target to new_name (trimmed) in every occurrence, the caret and selection carried over;
// nothing exactly when rename_problem names a problem.
std::optional<EditOp> rename_op(const Snapshot& snap, std::u32string_view new_name);
// "Renamed 3 occurrences of 'a' to 'b'."
std::string renamed_status(std::u32string_view old_name, std::u32string_view new_name, size_t count);

// --- Clicks --------------------------------------------------------------------------------------------------

struct Click {
  std::string_view os;     // "Mac OS X" on macOS
  int n_press = 1;
  uint32_t state = 0;      // the GDK modifier state at release
  bool selection = false;  // whether text is selected after the click
};
// A single click with exactly the command modifier held (Meta on macOS, Control elsewhere) and nothing selected.
bool is_jump_click(const Click& click);

}  // namespace orrery::help
