// The restarts offered after a failed evaluation: run it again, bring its code back to the prompt to edit, or
// define the symbol it could not resolve and run it again. The window keeps the last failure in a shared slot
// that every evaluation's completion updates.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/eval.hpp"
#include "orrery/text.hpp"

namespace orrery::restarts {

// Where the failed code came from: a whole Run of a tab, the console prompt, a selection or one form.
enum class FailureKind { Run, Repl, Selection, Form };

struct Failure {
  FailureKind kind = FailureKind::Run;
  std::string code;
  std::string tab_id;
  std::optional<std::string> error_text;
  bool operator==(const Failure&) const = default;
};

// Whether code of that kind can go back to the console prompt (everything but a whole Run).
bool is_at_the_prompt(FailureKind kind);

// The unqualified symbol an "Unable to resolve symbol: NAME in this context" error names; nothing when the
// text has no such sentence or NAME is qualified or not a symbol.
std::optional<std::string> missing_name(std::string_view error_text);

enum class OptionId { Retry, Edit, Define };

struct Option {
  OptionId id;
  std::string label;
  bool operator==(const Option&) const = default;
};

// "retry", "edit", "define".
std::string_view option_name(OptionId id);

// The restarts for the last failure, in menu order; none when nothing failed.
std::vector<Option> options(const std::optional<Failure>& failure);

struct EditInput {
  std::string text;
  Offset caret = 0;  // in code points
  bool operator==(const EditInput&) const = default;
};

// "(def NAME )" on its own line before the code, with the caret where the value goes.
EditInput define_input(std::string_view name, std::string_view code);

// The last failure, shared between the window and the threads that complete evaluations.
class FailureSlot {
 public:
  std::optional<Failure> get() const;
  void set(std::optional<Failure> f);

 private:
  mutable std::mutex mutex_;
  std::optional<Failure> failure_;
};

// After an evaluation ends: an error sets the slot to `where` with the error text, an ok result clears it, and
// anything else (a Stop, a notice) leaves it. Never throws, so the evaluation's own completion is never lost; an
// error text that cannot be made still records the failure, without text.
void record_failure(FailureSlot& slot, const Failure& where, const eval::Result& result,
                    const std::function<std::string(const eval::Result&)>& error_text_fn) noexcept;

}  // namespace orrery::restarts
