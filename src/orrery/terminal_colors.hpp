// The terminal's colours, derived from a theme: the theme's own text on its background, and one of two fixed ANSI
// palettes by the theme's darkness, because a terminal engine's own palette is made for a black or white background
// and reads badly on a theme's. Also the WCAG 2 luminance and contrast that judge such colour pairs.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "orrery/theme.hpp"

namespace orrery::terminal_colors {

// The 16 ANSI colours: black, red, green, yellow, blue, magenta, cyan, white, then the bright eight.
using Palette = std::array<std::string_view, 16>;

// Each colour reads on a light background, except bright white, which stays white for programs that paint a
// background with it.
inline constexpr Palette LIGHT = {"#171421", "#c01c28", "#1a7f4b", "#8f5e00", "#12488b", "#a347ba",
                                  "#17727f", "#77767b", "#5e5c64", "#d6202a", "#1f8f55", "#9a6700",
                                  "#1a5fb4", "#9141ac", "#1b8594", "#ffffff"};
// Each colour reads on a dark background, except black, which stays dark for the same reason.
inline constexpr Palette DARK = {"#241f31", "#f66151", "#33d17a", "#e9ad0c", "#62a0ea", "#d07ad9",
                                 "#33c7de", "#c0bfbc", "#9a9996", "#ff8a7a", "#57e389", "#f8e45c",
                                 "#99c1f1", "#dc8add", "#7fe3f2", "#f6f5f4"};

const Palette& palette(bool is_dark);

struct Colors {
  std::string text;
  std::string background;
  Palette palette;
};

Colors colors(const theme::Theme& t);

// The Pango font description of the code views' monospace font at px pixels: "Monospace 14px".
std::string font(int px);

// WCAG 2 relative luminance of a "#rrggbb" colour, 0.0 (black) to 1.0 (white); an unreadable colour counts as black.
double luminance(std::string_view color);

// WCAG 2 contrast ratio of two colours, 1.0 to 21.0, whichever is lighter.
double contrast(std::string_view a, std::string_view b);

}  // namespace orrery::terminal_colors
