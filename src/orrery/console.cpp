#include "orrery/console.hpp"

#include <algorithm>
#include <array>

#include "kelp/data/string.hpp"
#include "orrery/syntax.hpp"

namespace orrery::console {

namespace {

constexpr std::array<KindFlags, 6> KIND_FLAGS{{
    {Kind::Out, false, false},
    {Kind::Err, false, false},
    {Kind::Prompt, true, false},
    {Kind::Result, true, false},
    {Kind::Error, false, false},
    {Kind::System, false, true},
}};

constexpr std::array<std::string_view, 6> KIND_NAMES{"out", "err", "prompt", "result", "error", "system"};

}  // namespace

std::string_view kind_name(Kind k) { return KIND_NAMES[static_cast<size_t>(k)]; }

std::optional<Kind> kind_named(std::string_view name) {
  auto it = std::find(KIND_NAMES.begin(), KIND_NAMES.end(), name);
  if (it == KIND_NAMES.end()) return std::nullopt;
  return static_cast<Kind>(it - KIND_NAMES.begin());
}

std::span<const KindFlags> styles() { return KIND_FLAGS; }

std::string console_color(const ConsoleTheme& t, Kind k) {
  if (k == Kind::Out) return t.text;
  if (k == Kind::Err || k == Kind::Error) return t.red;
  auto it = t.console.find(std::string(kind_name(k)));
  return it != t.console.end() ? it->second : t.text;
}

Style style(const ConsoleTheme& t, Kind k) {
  const KindFlags& f = KIND_FLAGS[static_cast<size_t>(k)];
  return {console_color(t, k), f.bold, f.italic};
}

std::optional<Style> style(const ConsoleTheme& t, std::string_view kind) {
  auto k = kind_named(kind);
  if (!k) return std::nullopt;
  return style(t, *k);
}

std::string_view action_name(InputAction a) {
  switch (a) {
    case InputAction::Newline: return "newline";
    case InputAction::SendStdin: return "send-stdin";
    case InputAction::Busy: return "busy";
    case InputAction::Leftover: return "leftover";
    case InputAction::Noop: return "noop";
    case InputAction::Eval: return "eval";
  }
  return "noop";
}

InputAction input_action(const InputState& s) {
  if (s.is_shift) return InputAction::Newline;
  if (s.is_waiting) return InputAction::SendStdin;
  if (s.is_evaluating) return InputAction::Busy;
  if (s.leftover && *s.leftover == s.input) return InputAction::Leftover;
  if (is_blank(s.input)) return InputAction::Noop;
  // Any bracket left unmatched keeps the form open, so Return continues it on a new line.
  if (!compute_brackets(s.input).unmatched.empty()) return InputAction::Newline;
  return InputAction::Eval;
}

int64_t trim_length(std::u32string_view text, int64_t max_chars) {
  auto n = static_cast<int64_t>(text.size());
  if (n <= std::max<int64_t>(max_chars, 0)) return 0;
  int64_t must = n - std::max<int64_t>(max_chars, 0);
  auto nl = text.find(U'\n', static_cast<size_t>(must - 1));
  if (nl == std::u32string_view::npos) return must;
  return static_cast<int64_t>(nl) + 1;
}

std::optional<Span> clear_last_range(std::optional<Offset> start, Offset end) {
  if (!start || *start >= end) return std::nullopt;
  return Span{*start, end};
}

std::string error_text(const eval::Result& result) {
  if (result.error_text) return *result.error_text;
  return eval::format_error(result.error);
}

ResultLine result_line(const eval::Result& result) {
  switch (result.status) {
    case eval::Status::Ok: return {Kind::Result, "=> " + result.printed + "\n"};
    case eval::Status::Error: return {Kind::Error, error_text(result) + "\n"};
    case eval::Status::Interrupted: return {Kind::System, "; interrupted\n"};
    case eval::Status::Notice: return {Kind::System, result.text + "\n"};
  }
  return {Kind::System, "\n"};
}

std::optional<std::string> unclosed_bracket_message(std::u32string_view text) {
  Brackets b = compute_brackets(text);
  // The set is ordered, so the first opener found is the earliest one left open.
  for (Offset at : b.unmatched) {
    char32_t c = text[static_cast<size_t>(at)];
    if (!is_opener(c)) continue;
    std::string msg = "The ";
    kelp::append_utf8(msg, c);
    return msg + " on line " + std::to_string(line_number_at_offset(text, at)) + " is never closed.";
  }
  return std::nullopt;
}

}  // namespace orrery::console
