// The Interactions console's decisions, without any widget: what Return does on the input line, how much old
// output to trim, how a result is shown, and a friendlier message for a bracket left open. Text positions count
// code points, as the view's character offsets do.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "orrery/eval.hpp"
#include "orrery/text.hpp"

namespace orrery::console {

// The kinds of console text, in the order the view adds their tags (later tags win).
enum class Kind { Out, Err, Prompt, Result, Error, System };

// "out", "err", "prompt", "result", "error", "system".
std::string_view kind_name(Kind k);
std::optional<Kind> kind_named(std::string_view name);

// The colours a console needs from a theme: its text colour, its red and the console kinds it colours itself
// (keyed by kind name).
struct ConsoleTheme {
  std::string text;
  std::string red;
  std::map<std::string, std::string> console;
};

struct Style {
  std::string fg;
  bool bold = false;
  bool italic = false;
  bool operator==(const Style&) const = default;
};

struct KindFlags {
  Kind kind;
  bool bold;
  bool italic;
};

// Every kind with its flags, in tag order.
std::span<const KindFlags> styles();

// A kind's colour under a theme: standard output in the text colour, errors in red, the rest as the theme's
// console colours say, else the text colour.
std::string console_color(const ConsoleTheme& t, Kind k);
Style style(const ConsoleTheme& t, Kind k);
// Nothing for a name that is not a console kind.
std::optional<Style> style(const ConsoleTheme& t, std::string_view kind);

struct InputState {
  std::u32string_view input;
  bool is_waiting = false;     // the running program waits on standard input
  bool is_evaluating = false;  // a program runs
  bool is_shift = false;       // Shift is held with Return
  // The text left on the input line when the last run ended, while it is still untouched.
  std::optional<std::u32string> leftover;
};

enum class InputAction { Newline, SendStdin, Busy, Leftover, Noop, Eval };

std::string_view action_name(InputAction a);

// What Return on the input line does.
InputAction input_action(const InputState& s);

// How many characters to delete from the front of the output so that at most max_chars remain, cutting just
// after a newline when one lies at or past the point the cut must reach.
int64_t trim_length(std::u32string_view text, int64_t max_chars);

// The range that Clear Last removes: from the last entry's start mark (none when there is no active entry) to
// the output's end; nothing when that range is empty.
std::optional<Span> clear_last_range(std::optional<Offset> start, Offset end);

// An error result's message: the runtime's own text when it sent one, else the formatted exception.
std::string error_text(const eval::Result& result);

struct ResultLine {
  Kind kind;
  std::string text;
  bool operator==(const ResultLine&) const = default;
};

// The console line that shows a finished evaluation.
ResultLine result_line(const eval::Result& result);

// "The ( on line 3 is never closed." for the first opener left open; nothing when every opener is closed.
std::optional<std::string> unclosed_bracket_message(std::u32string_view text);

}  // namespace orrery::console
