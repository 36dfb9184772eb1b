#include "orrery/terminal_colors.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace orrery::terminal_colors {
namespace {

double rounded(double x) { return std::round(x * 100) / 100; }

TEST(TerminalColors, LuminanceAndContrastByWcag) {
  struct Case {
    std::string color;
    double luminance;
  };
  for (const Case& c : std::vector<Case>{{"#000000", 0.0},
                                         {"#ffffff", 1.0},
                                         {"#FFFFFF", 1.0},
                                         {"#808080", 0.2158605},
                                         {"#ff0000", 0.2126},
                                         {"#00ff00", 0.7152},
                                         {"#0000ff", 0.0722},
                                         {"#0a0a0a", 0.0030353},  // below the sRGB knee: the linear segment
                                         {"not a colour", 0.0}})
    EXPECT_NEAR(luminance(c.color), c.luminance, 1e-6) << c.color;

  EXPECT_DOUBLE_EQ(contrast("#000000", "#ffffff"), 21.0);
  EXPECT_DOUBLE_EQ(contrast("#ffffff", "#000000"), 21.0);
  EXPECT_DOUBLE_EQ(contrast("#657b83", "#657b83"), 1.0);
}

// Solarized's own selection cannot show the completion list's selected row; its row pair can.
TEST(TerminalColors, SolarizedSelectedRowContrast) {
  const theme::Theme& s = theme::theme("solarized");
  ASSERT_TRUE(s.row_selected);
  EXPECT_EQ(*s.row_selected, (theme::RowSelected{"#93a1a1", "#002b36"}));
  EXPECT_EQ(rounded(contrast(s.selection, s.background)), 1.14);
  EXPECT_EQ(rounded(contrast(s.row_selected->background, s.background)), 2.48);
  EXPECT_EQ(rounded(contrast(s.row_selected->text, s.row_selected->background)), 5.61);
}

TEST(TerminalColors, PaletteByDarknessReadsOnEveryBackground) {
  for (const std::string& name : theme::theme_names()) {
    SCOPED_TRACE(name);
    const theme::Theme& t = theme::theme(name);
    Colors c = colors(t);
    EXPECT_EQ(c.text, t.text);
    EXPECT_EQ(c.background, t.background);
    ASSERT_EQ(c.palette, t.is_dark ? DARK : LIGHT);
    // Bright white on a light theme and black on a dark one stay as they are for programs that paint backgrounds.
    size_t kept = t.is_dark ? 0 : 15;
    for (size_t i = 0; i < c.palette.size(); ++i) {
      if (i == kept) continue;
      EXPECT_GE(contrast(c.palette[i], t.background), 3.0) << i << " " << c.palette[i];
      EXPECT_TRUE(theme::is_color(c.palette[i])) << c.palette[i];
    }
  }
  EXPECT_EQ(palette(false)[15], "#ffffff");
  EXPECT_EQ(palette(true)[0], "#241f31");
}

TEST(TerminalColors, FontIsTheCodeViewsMonospaceInPixels) {
  EXPECT_EQ(font(14), "Monospace 14px");
  EXPECT_EQ(font(9), "Monospace 9px");
}

}  // namespace
}  // namespace orrery::terminal_colors
