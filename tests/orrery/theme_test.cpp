#include "orrery/theme.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace orrery::theme {
namespace {

TEST(ThemeChoice, CycleResolveAndLabels) {
  struct Next {
    std::string from, to;
  };
  for (const Next& c : std::vector<Next>{{"light", "dark"},
                                         {"one-dark", "kanagawa"},
                                         {"rose-pine", "auto"},
                                         {"auto", "light"},
                                         {"no-such-theme", "dark"},
                                         {"", "dark"}})
    EXPECT_EQ(next_theme(c.from), c.to) << c.from;

  // The whole cycle visits every choice once and comes back.
  std::set<std::string> seen;
  std::string k(DEFAULT_THEME);
  do {
    EXPECT_TRUE(seen.insert(k).second) << k;
    k = next_theme(k);
  } while (k != DEFAULT_THEME && seen.size() <= choice_names().size());
  EXPECT_EQ(seen.size(), 17u);

  EXPECT_EQ(resolve_choice("auto", true), "dark");
  EXPECT_EQ(resolve_choice("auto", false), "light");
  EXPECT_EQ(resolve_choice("nord", true), "nord");
  EXPECT_EQ(resolve_choice("gruvbox-light", false), "gruvbox-light");

  for (const char* k : {"light", "rose-pine", "auto"}) EXPECT_TRUE(is_choice(k)) << k;
  for (const char* k : {"", ":light", "Light", "system"}) EXPECT_FALSE(is_choice(k)) << k;

  EXPECT_EQ(label("gruvbox-dark"), "Gruvbox Dark");
  EXPECT_EQ(label("rose-pine"), "Rosé Pine");
  EXPECT_EQ(label("auto"), "Auto");
  EXPECT_EQ(label("mystery"), "mystery");

  EXPECT_EQ(theme("no-such-theme").name, "light");
  EXPECT_EQ(theme("auto").name, "light");  // a choice, not a palette
  EXPECT_EQ(theme("nord").name, "nord");
}

TEST(ThemeChoice, PaletteEntriesFollowTheCycle) {
  std::vector<PaletteEntry> entries = palette_entries();
  ASSERT_EQ(entries.size(), choice_names().size());
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].id.second, choice_names()[i]);
  EXPECT_EQ(entries.front(), (PaletteEntry{{"theme/use", "light"}, "Use theme: Light", "theme"}));
  EXPECT_EQ(entries[4], (PaletteEntry{{"theme/use", "gruvbox-dark"}, "Use theme: Gruvbox Dark", "theme"}));
  EXPECT_EQ(entries.back(), (PaletteEntry{{"theme/use", "auto"}, "Use theme: Auto", "theme"}));
}

TEST(ThemePalettes, EveryThemeKeepsTheRules) {
  ASSERT_EQ(theme_names().size(), 16u);
  EXPECT_EQ(theme_names().front(), "light");
  EXPECT_EQ(theme_names().back(), "rose-pine");
  EXPECT_EQ(themes().size(), 16u);
  const std::vector<TokenType> painted = {TokenType::Comment, TokenType::Regex,       TokenType::String,
                                          TokenType::Char,    TokenType::Keyword,     TokenType::Number,
                                          TokenType::Metatag, TokenType::SpecialForm, TokenType::Builtin,
                                          TokenType::Constant};
  for (const std::string& name : theme_names()) {
    SCOPED_TRACE(name);
    const Theme& t = theme(name);
    EXPECT_EQ(t.name, name);
    EXPECT_EQ(t.is_dark, name != "light" && name != "solarized" && name != "gruvbox-light" &&
                             name != "catppuccin-latte");
    EXPECT_EQ(std::count(t.rainbow.begin(), t.rainbow.end(), t.red), 0) << "red " << t.red << " is in the rainbow";

    std::vector<std::string> colors = {t.background, t.text, t.caret, t.selection, t.find_highlight, t.red,
                                       t.changed_mark};
    colors.insert(colors.end(), t.rainbow.begin(), t.rainbow.end());
    for (const auto& [kind, c] : t.tokens) colors.push_back(c);
    for (const auto& [kind, c] : t.console) colors.push_back(c);
    for (const std::string& c : colors) EXPECT_TRUE(is_color(c)) << '"' << c << '"';

    // Every kind the painter gives a span of its own has a colour under the painter's name for it.
    EXPECT_EQ(t.tokens.size(), painted.size());
    for (TokenType kind : painted) EXPECT_TRUE(t.tokens.contains(token_type_name(kind))) << token_type_name(kind);
    EXPECT_EQ(t.tokens.at("string"), t.tokens.at("char"));
    EXPECT_EQ(t.console.size(), 3u);
    EXPECT_EQ(t.row_selected.has_value(), name == "solarized");
  }
}

// Columns whose neighbours differ in that theme, so a column read into the wrong field shows.
TEST(ThemePalettes, ColumnsLandInTheirFields) {
  struct Case {
    std::string theme, kind, color;
  };
  for (const Case& c : std::vector<Case>{{"gruvbox-dark", "keyword", "#d3869b"},
                                         {"gruvbox-dark", "special-form", "#fb4934"},
                                         {"gruvbox-dark", "builtin", "#fe8019"},
                                         {"kanagawa", "number", "#d27e99"},
                                         {"kanagawa", "constant", "#ffa066"},
                                         {"kanagawa", "metatag", "#7aa89f"},
                                         {"tokyo-night", "regex", "#b4f9f8"},
                                         {"nord", "comment", "#616e88"}})
    EXPECT_EQ(token_color(theme(c.theme), c.kind), c.color) << c.theme << " " << c.kind;

  const Theme& z = theme("zenburn");
  EXPECT_EQ((std::vector<std::string>{z.background, z.text, z.caret, z.selection, z.find_highlight, z.red,
                                      z.changed_mark}),
            (std::vector<std::string>{"#3f3f3f", "#dcdccc", "#ffffef", "#5f5f5f", "#5f5f3f", "#dca3a3", "#8cd0d3"}));
  EXPECT_EQ(z.rainbow[2], "#dc8cc3");
  EXPECT_EQ(z.rainbow[6], "#9fc59f");
  EXPECT_EQ(z.console, (ColorMap{{"prompt", "#8cd0d3"}, {"result", "#bfebbf"}, {"system", "#7f9f7f"}}));
}

TEST(ThemeColors, TokenAndConsoleColorsFallBackToText) {
  const Theme& dracula = theme("dracula");
  EXPECT_EQ(token_color(dracula, "comment"), "#6272a4");
  EXPECT_EQ(token_color(dracula, TokenType::SpecialForm), "#ff79c6");
  EXPECT_EQ(token_color(dracula, TokenType::Symbol), dracula.text);
  EXPECT_EQ(token_color(dracula, "bracket"), dracula.text);
  EXPECT_EQ(token_color(dracula, "no-such-kind"), dracula.text);

  struct Case {
    console::Kind kind;
    std::string color;
  };
  for (const Case& c : std::vector<Case>{{console::Kind::Out, "#f8f8f2"},
                                         {console::Kind::Err, "#ff5555"},
                                         {console::Kind::Error, "#ff5555"},
                                         {console::Kind::Prompt, "#bd93f9"},
                                         {console::Kind::Result, "#f1fa8c"},
                                         {console::Kind::System, "#6272a4"}})
    EXPECT_EQ(console_color(dracula, c.kind), c.color) << console::kind_name(c.kind);

  // The painter reads the same colours through its own view of the theme.
  PaintTheme p = paint_theme(dracula);
  EXPECT_EQ(style(p, StyleKey::token(TokenType::Keyword)).fg, "#bd93f9");
  EXPECT_EQ(style(p, StyleKey::rainbow(8)).fg, dracula.rainbow[1]);
  EXPECT_EQ(style(p, StyleKey::unmatched()).fg, "#ff5555");
}

TEST(ThemeCss, SolarizedWhole) {
  EXPECT_EQ(code_css(theme("solarized"), 15),
            ".orrery-code { font-size: 15px; background-color: #fdf6e3; color: #657b83; caret-color: #268bd2; } "
            ".orrery-code text selection { background-color: #eee8d5; color: #657b83; } "
            "popover.orrery-popover > contents, popover.orrery-popover > arrow { background-color: #fdf6e3; "
            "color: #657b83; } "
            "popover.orrery-popover list, popover.orrery-popover row { background-color: #fdf6e3; color: #657b83; "
            "font-size: 15px; } "
            "popover.orrery-popover row:selected { background-color: #93a1a1; color: #002b36; } "
            "popover.orrery-popover label.orrery-doc { font-family: monospace; font-size: 15px; } "
            "popover.orrery-popover entry { background-color: #fdf6e3; color: #657b83; } "
            "popover.orrery-popover entry selection { background-color: #eee8d5; color: #657b83; }");
}

TEST(ThemeCss, SelectedRowAndZoom) {
  for (const std::string& name : theme_names()) {
    if (name == "solarized") continue;
    const Theme& t = theme(name);
    std::string rule =
        "popover.orrery-popover row:selected { background-color: " + t.selection + "; color: " + t.text + "; } ";
    EXPECT_NE(code_css(t, 14).find(rule), std::string::npos) << name;
  }

  // A zoom changes the size everywhere it appears and nothing else.
  const Theme& nord = theme("nord");
  std::string zoomed = code_css(nord, 23);
  for (size_t at; (at = zoomed.find("23px")) != std::string::npos;) zoomed.replace(at, 4, "14px");
  EXPECT_EQ(zoomed, code_css(nord, 14));
  EXPECT_NE(zoomed.find("background-color: #2e3440; color: #d8dee9; caret-color: #d8dee9;"), std::string::npos);
}

TEST(ThemeColors, ColorFormat) {
  for (const char* c : {"#000000", "#a0B1c2", "#ffffff"}) EXPECT_TRUE(is_color(c)) << c;
  for (const char* c : {"", "#fff", "000000", "#0000000", "#00000g", "##00000"}) EXPECT_FALSE(is_color(c)) << c;
}

}  // namespace
}  // namespace orrery::theme
