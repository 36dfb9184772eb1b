// Colour themes as data: sixteen palettes for the code views, the console and the popovers, the cycle of theme
// choices (with "auto", which follows the system's light or dark appearance), the palette entries that pick a theme,
// and the CSS text that styles the code views and the caret-anchored popovers. Pure; the window applies them.
// Theme keys and choices are keyword names without the colon ("light", "gruvbox-dark", "auto").
#pragma once

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orrery/console.hpp"
#include "orrery/paint.hpp"
#include "orrery/syntax.hpp"

namespace orrery::theme {

using ColorMap = std::map<std::string, std::string, std::less<>>;

// The completion list's selected row, for a theme whose selection colour is too faint to show it.
struct RowSelected {
  std::string background;
  std::string text;
  bool operator==(const RowSelected&) const = default;
};

// Every colour is "#rrggbb".
struct Theme {
  std::string name;  // the theme's key
  std::string label;
  bool is_dark = false;
  std::string background;
  std::string text;
  std::string caret;
  std::string selection;
  std::string find_highlight;  // a dim tint that keeps the text readable
  std::string red;             // unmatched brackets and errors; never one of the rainbow colours
  std::string changed_mark;    // the gutter mark of forms changed since they last ran
  ColorMap tokens;             // by token kind name as the paint plan names it ("comment", "special-form", ...)
  std::array<std::string, RAINBOW_COUNT> rainbow;  // by bracket depth
  ColorMap console;                                // "prompt", "result", "system"
  std::optional<RowSelected> row_selected;
};

inline constexpr std::string_view DEFAULT_THEME = "light";
// A choice that is not a palette: the system's appearance picks "dark" or "light".
inline constexpr std::string_view AUTO = "auto";

// Every theme by key.
const std::map<std::string, Theme, std::less<>>& themes();
// The sixteen theme keys, light first.
const std::vector<std::string>& theme_names();
// The cycle order of the theme choice: the theme keys, then "auto".
const std::vector<std::string>& choice_names();

// "Gruvbox Dark" for "gruvbox-dark", "Auto" for "auto"; an unknown key gives itself.
std::string label(std::string_view choice);

struct PaletteEntry {
  std::pair<std::string, std::string> id;  // {"theme/use", choice}
  std::string doc;                         // "Use theme: " and the label
  std::string source;                      // "theme"
  bool operator==(const PaletteEntry&) const = default;
};

inline constexpr std::string_view USE_COMMAND = "theme/use";

// One entry per choice, in cycle order. They carry no key chords; the window runs them itself.
std::vector<PaletteEntry> palette_entries();

bool is_choice(std::string_view k);

// The palette a choice stands for: "auto" is "dark" under a dark system appearance, else "light"; any other key
// is itself.
std::string resolve_choice(std::string_view k, bool is_system_dark);

// The theme of a key, or the default theme for an unknown one.
const Theme& theme(std::string_view k);

// The choice after k in the cycle, wrapping; an unknown k counts as the default theme.
std::string next_theme(std::string_view k);

// A token kind's colour, else the text colour.
std::string token_color(const Theme& t, std::string_view kind);
std::string token_color(const Theme& t, TokenType kind);

// Standard output in the text colour, errors in red, the other kinds from the console colours, else the text colour.
std::string console_color(const Theme& t, console::Kind kind);

// What the painter and the console view take of a theme.
PaintTheme paint_theme(const Theme& t);
console::ConsoleTheme console_theme(const Theme& t);

// The CSS for the code views (class "orrery-code"), the caret-anchored popovers (class "orrery-popover") and a
// popover's doc label (class "orrery-doc"), at the font size px in pixels.
std::string code_css(const Theme& t, int px);

// Whether s is a colour as themes write them: "#" and six lower- or upper-case hex digits.
bool is_color(std::string_view s);

}  // namespace orrery::theme
