#include "orrery/terminal_colors.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include <fmt/format.h>

namespace orrery::terminal_colors {

namespace {

// An sRGB channel, 0 to 255, in linear light.
double linear(int channel) {
  double c = channel / 255.0;
  return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

int channel_at(std::string_view color, size_t at) {
  int v = 0;
  std::from_chars(color.data() + at, color.data() + at + 2, v, 16);
  return v;
}

}  // namespace

const Palette& palette(bool is_dark) { return is_dark ? DARK : LIGHT; }

Colors colors(const theme::Theme& t) { return {t.text, t.background, palette(t.is_dark)}; }

std::string font(int px) { return fmt::format("Monospace {}px", px); }

double luminance(std::string_view color) {
  if (!theme::is_color(color)) return 0.0;
  return 0.2126 * linear(channel_at(color, 1)) + 0.7152 * linear(channel_at(color, 3)) +
         0.0722 * linear(channel_at(color, 5));
}

double contrast(std::string_view a, std::string_view b) {
  double la = luminance(a);
  double lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace orrery::terminal_colors
