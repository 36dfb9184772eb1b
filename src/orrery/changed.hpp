// Which top-level forms of a tab changed since they last ran. A form is known by its key, its tokens without
// comments joined by single spaces, so re-indenting, reformatting and editing comments never count as a change.
// A tab keeps the keys of its forms as they last ran (its ran set) and the text of its last whole Run; the window
// holds those values and everything here is pure.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/text.hpp"

namespace orrery {

struct FormEntry {
  Offset start = 0;  // the top-level form's span, reader prefixes and metadata included
  Offset end = 0;
  std::u32string key;
  bool operator==(const FormEntry&) const = default;
};

// The keys of a tab's forms as they last ran; nothing for a tab that never ran.
using RanSet = std::optional<std::set<std::u32string>>;

enum class RunKind { Run, Form, Selection, Other };
enum class RunStatus { Ok, Error, Interrupted };

// Every top-level form in order with its key, (comment ...) blocks and #_-discarded forms left out.
std::vector<FormEntry> forms(std::u32string_view text);

// The forms of text whose key is not in the ran set, in buffer order; none when the tab never ran.
std::vector<FormEntry> changed(std::u32string_view text, const RanSet& ran);

// The ran set after a run of that kind ended :ok. A whole Run (kind Run) replaces it with the keys of the text
// that ran; Form and Selection add the keys of the forms sent, each definition first dropping the keys of its
// earlier versions (same head and name), so going back to an older version shows as changed again.
std::set<std::u32string> record(const RanSet& ran, RunKind kind, std::u32string_view text);

// The new last-run text: the text of a whole Run that sent text and ended :ok, else the previous one.
std::optional<std::u32string> last_run_after(std::optional<std::u32string> previous, RunKind source,
                                             RunStatus status, std::optional<std::u32string_view> text);

struct Ident {
  std::u32string head;  // def, defn, defmacro, ... any head starting with "def"
  std::u32string name;
  bool operator==(const Ident&) const = default;
  auto operator<=>(const Ident&) const = default;
};

// The definition a key defines: its head and the defined name, found after any metadata (^:private, ^{...},
// ^Type) and reader prefixes; nothing for a key that is not a (def... name ...) list.
std::optional<Ident> ident(std::u32string_view key);

// Run Changed Forms: the console line to show and, when something is to run, the code to send.
struct RunChangedPlan {
  std::string note;                  // "; Run the tab once first.", "; Nothing has changed ...", "; Running 2 ..."
  std::optional<std::u32string> code;  // the changed forms' texts joined by line feeds
  std::vector<FormEntry> forms;
};
RunChangedPlan run_changed_plan(std::u32string_view text, const RanSet& ran);

}  // namespace orrery
