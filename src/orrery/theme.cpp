#include "orrery/theme.hpp"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

namespace orrery::theme {

namespace {

// One palette as its tables list it; string and char share one colour in every theme.
struct Row {
  const char* key;
  const char* label;
  bool is_dark;
  const char* background;
  const char* text;
  const char* caret;
  const char* selection;
  const char* find_highlight;
  const char* red;
  const char* changed_mark;
  // comment, string and char, regex, keyword, special-form, number, builtin, constant, metatag
  std::array<const char*, 9> tokens;
  std::array<const char*, RAINBOW_COUNT> rainbow;
  // prompt, result, system
  std::array<const char*, 3> console;
};

// clang-format off
constexpr Row ROWS[] = {
  {"light", "Light", false, "#ffffff", "#24292f", "#0066cc", "#b6d7ff", "#fff2a8", "#cf222e", "#0969da",
   {"#8c95a0", "#0a3069", "#9a6700", "#cf222e", "#cf222e", "#0550ae", "#953800", "#cf222e", "#a54a85"},
   {"#953800", "#0550ae", "#6639ba", "#116329", "#0a3069", "#a54a85", "#9a6700"},
   {"#6639ba", "#0a3069", "#8c95a0"}},
  {"dark", "Dark", true, "#000000", "#e0e0e0", "#6cb4ff", "#3e4451", "#5c4b00", "#e06c75", "#61afef",
   {"#6e7480", "#98c379", "#e5c07b", "#c678dd", "#c678dd", "#d19a66", "#56b6c2", "#c678dd", "#b392d6"},
   {"#d19a66", "#61afef", "#c678dd", "#98c379", "#56b6c2", "#e5c07b", "#b392d6"},
   {"#61afef", "#98c379", "#6e7480"}},
  {"solarized", "Solarized", false, "#fdf6e3", "#657b83", "#268bd2", "#eee8d5", "#f6e3a1", "#dc322f", "#268bd2",
   {"#93a1a1", "#2aa198", "#b58900", "#859900", "#859900", "#d33682", "#cb4b16", "#859900", "#6c71c4"},
   {"#b58900", "#268bd2", "#6c71c4", "#859900", "#2aa198", "#d33682", "#cb4b16"},
   {"#268bd2", "#2aa198", "#93a1a1"}},
  {"navy", "Navy", true, "#1a1b2e", "#c8cad8", "#7eb8da", "#2e3250", "#4d4520", "#f07178", "#82aaff",
   {"#6f7390", "#c3e88d", "#ffcb6b", "#c792ea", "#c792ea", "#f78c6c", "#82aaff", "#c792ea", "#a3afff"},
   {"#f78c6c", "#82aaff", "#c792ea", "#c3e88d", "#ffcb6b", "#a3afff", "#7eb8da"},
   {"#82aaff", "#c3e88d", "#6f7390"}},
  {"gruvbox-dark", "Gruvbox Dark", true, "#282828", "#ebdbb2", "#fabd2f", "#504945", "#79740e", "#fb4934", "#83a598",
   {"#928374", "#b8bb26", "#fabd2f", "#d3869b", "#fb4934", "#d3869b", "#fe8019", "#d3869b", "#8ec07c"},
   {"#fe8019", "#83a598", "#d3869b", "#b8bb26", "#8ec07c", "#fabd2f", "#bdae93"},
   {"#83a598", "#b8bb26", "#928374"}},
  {"gruvbox-light", "Gruvbox Light", false, "#fbf1c7", "#3c3836", "#076678", "#d5c4a1", "#fabd2f", "#9d0006",
   "#076678",
   {"#928374", "#79740e", "#b57614", "#8f3f71", "#9d0006", "#8f3f71", "#af3a03", "#8f3f71", "#427b58"},
   {"#af3a03", "#076678", "#8f3f71", "#79740e", "#427b58", "#b57614", "#7c6f64"},
   {"#076678", "#79740e", "#928374"}},
  {"dracula", "Dracula", true, "#282a36", "#f8f8f2", "#f8f8f2", "#44475a", "#6d6a3a", "#ff5555", "#bd93f9",
   {"#6272a4", "#f1fa8c", "#ffb86c", "#bd93f9", "#ff79c6", "#bd93f9", "#50fa7b", "#bd93f9", "#8be9fd"},
   {"#ffb86c", "#8be9fd", "#bd93f9", "#50fa7b", "#f1fa8c", "#ff79c6", "#ccccc7"},
   {"#bd93f9", "#f1fa8c", "#6272a4"}},
  {"nord", "Nord", true, "#2e3440", "#d8dee9", "#d8dee9", "#434c5e", "#6b5f3e", "#bf616a", "#88c0d0",
   {"#616e88", "#a3be8c", "#ebcb8b", "#8fbcbb", "#81a1c1", "#b48ead", "#88c0d0", "#81a1c1", "#d08770"},
   {"#d08770", "#88c0d0", "#b48ead", "#a3be8c", "#ebcb8b", "#81a1c1", "#8fbcbb"},
   {"#88c0d0", "#a3be8c", "#616e88"}},
  {"zenburn", "Zenburn", true, "#3f3f3f", "#dcdccc", "#ffffef", "#5f5f5f", "#5f5f3f", "#dca3a3", "#8cd0d3",
   {"#7f9f7f", "#cc9393", "#dfaf8f", "#bfebbf", "#f0dfaf", "#8cd0d3", "#93e0e3", "#bfebbf", "#7cb8bb"},
   {"#dfaf8f", "#8cd0d3", "#dc8cc3", "#7f9f7f", "#f0dfaf", "#93e0e3", "#9fc59f"},
   {"#8cd0d3", "#bfebbf", "#7f9f7f"}},
  {"monokai", "Monokai", true, "#272822", "#f8f8f2", "#f8f8f0", "#49483e", "#6b6a32", "#f92672", "#66d9ef",
   {"#75715e", "#e6db74", "#fd971f", "#ae81ff", "#f92672", "#ae81ff", "#66d9ef", "#ae81ff", "#a6e22e"},
   {"#fd971f", "#66d9ef", "#ae81ff", "#a6e22e", "#e6db74", "#fd5ff0", "#a1efe4"},
   {"#66d9ef", "#e6db74", "#75715e"}},
  {"tokyo-night", "Tokyo Night", true, "#1a1b26", "#c0caf5", "#c0caf5", "#394b70", "#59502f", "#f7768e", "#2ac3de",
   {"#565f89", "#9ece6a", "#b4f9f8", "#ff9e64", "#bb9af7", "#ff9e64", "#7aa2f7", "#ff9e64", "#2ac3de"},
   {"#ff9e64", "#7aa2f7", "#bb9af7", "#9ece6a", "#e0af68", "#7dcfff", "#1abc9c"},
   {"#7aa2f7", "#9ece6a", "#565f89"}},
  {"catppuccin-mocha", "Catppuccin Mocha", true, "#1e1e2e", "#cdd6f4", "#f5e0dc", "#45475a", "#5b5139", "#f38ba8",
   "#74c7ec",
   {"#7f849c", "#a6e3a1", "#f5c2e7", "#fab387", "#cba6f7", "#fab387", "#89b4fa", "#fab387", "#f9e2af"},
   {"#fab387", "#89b4fa", "#cba6f7", "#a6e3a1", "#f9e2af", "#94e2d5", "#f5c2e7"},
   {"#89b4fa", "#a6e3a1", "#7f849c"}},
  {"catppuccin-latte", "Catppuccin Latte", false, "#eff1f5", "#4c4f69", "#1e66f5", "#bcc0cc", "#f2d9a0", "#d20f39",
   "#1e66f5",
   {"#7c7f93", "#40a02b", "#e64553", "#fe640b", "#8839ef", "#fe640b", "#1e66f5", "#fe640b", "#179299"},
   {"#fe640b", "#1e66f5", "#8839ef", "#40a02b", "#179299", "#7287fd", "#209fb5"},
   {"#1e66f5", "#40a02b", "#7c7f93"}},
  {"one-dark", "One Dark", true, "#282c34", "#abb2bf", "#61afef", "#3e4452", "#5c5230", "#e06c75", "#61afef",
   {"#666f7e", "#98c379", "#56b6c2", "#d19a66", "#c678dd", "#d19a66", "#61afef", "#d19a66", "#e5c07b"},
   {"#d19a66", "#61afef", "#c678dd", "#98c379", "#e5c07b", "#56b6c2", "#be5046"},
   {"#61afef", "#98c379", "#666f7e"}},
  {"kanagawa", "Kanagawa", true, "#1f1f28", "#dcd7ba", "#c8c093", "#2d4f67", "#5a4f30", "#e82424", "#7fb4ca",
   {"#727169", "#98bb6c", "#c0a36e", "#ffa066", "#957fb8", "#d27e99", "#7e9cd8", "#ffa066", "#7aa89f"},
   {"#ffa066", "#7e9cd8", "#957fb8", "#98bb6c", "#e6c384", "#7fb4ca", "#d27e99"},
   {"#7e9cd8", "#98bb6c", "#727169"}},
  {"rose-pine", "Rosé Pine", true, "#191724", "#e0def4", "#ebbcba", "#403d52", "#5e5036", "#eb6f92", "#9ccfd8",
   {"#6e6a86", "#f6c177", "#95b1ac", "#c4a7e7", "#31748f", "#c4a7e7", "#ebbcba", "#c4a7e7", "#9ccfd8"},
   {"#ebbcba", "#9ccfd8", "#c4a7e7", "#f6c177", "#31748f", "#95b1ac", "#908caa"},
   {"#9ccfd8", "#f6c177", "#6e6a86"}},
};
// clang-format on

// Solarized's selection is 1.14:1 against its background, too faint for the completion list's selected row.
const RowSelected SOLARIZED_ROW_SELECTED{"#93a1a1", "#002b36"};

Theme theme_of(const Row& r) {
  Theme t{r.key, r.label, r.is_dark, r.background, r.text, r.caret, r.selection, r.find_highlight, r.red,
          r.changed_mark, {}, {}, {}, std::nullopt};
  const auto& k = r.tokens;
  t.tokens = {{"comment", k[0]}, {"string", k[1]},  {"char", k[1]},     {"regex", k[2]},   {"keyword", k[3]},
              {"special-form", k[4]}, {"number", k[5]}, {"builtin", k[6]}, {"constant", k[7]}, {"metatag", k[8]}};
  std::copy(r.rainbow.begin(), r.rainbow.end(), t.rainbow.begin());
  t.console = {{"prompt", r.console[0]}, {"result", r.console[1]}, {"system", r.console[2]}};
  if (t.name == "solarized") t.row_selected = SOLARIZED_ROW_SELECTED;
  return t;
}

std::string_view or_text(const Theme& t, const ColorMap& colors, std::string_view kind) {
  auto it = colors.find(kind);
  return it != colors.end() ? std::string_view(it->second) : std::string_view(t.text);
}

}  // namespace

const std::map<std::string, Theme, std::less<>>& themes() {
  static const auto all = [] {
    std::map<std::string, Theme, std::less<>> m;
    for (const Row& r : ROWS) m.emplace(r.key, theme_of(r));
    return m;
  }();
  return all;
}

const std::vector<std::string>& theme_names() {
  static const auto names = [] {
    std::vector<std::string> v;
    for (const Row& r : ROWS) v.emplace_back(r.key);
    return v;
  }();
  return names;
}

const std::vector<std::string>& choice_names() {
  static const auto names = [] {
    std::vector<std::string> v = theme_names();
    v.emplace_back(AUTO);
    return v;
  }();
  return names;
}

std::string label(std::string_view choice) {
  if (choice == AUTO) return "Auto";
  auto it = themes().find(choice);
  return it != themes().end() ? it->second.label : std::string(choice);
}

std::vector<PaletteEntry> palette_entries() {
  std::vector<PaletteEntry> entries;
  for (const std::string& c : choice_names())
    entries.push_back({{std::string(USE_COMMAND), c}, "Use theme: " + label(c), "theme"});
  return entries;
}

bool is_choice(std::string_view k) {
  const auto& names = choice_names();
  return std::find(names.begin(), names.end(), k) != names.end();
}

std::string resolve_choice(std::string_view k, bool is_system_dark) {
  if (k == AUTO) return is_system_dark ? "dark" : "light";
  return std::string(k);
}

const Theme& theme(std::string_view k) {
  auto it = themes().find(k);
  return it != themes().end() ? it->second : themes().find(DEFAULT_THEME)->second;
}

std::string next_theme(std::string_view k) {
  const auto& names = choice_names();
  auto it = std::find(names.begin(), names.end(), k);
  if (it == names.end()) it = std::find(names.begin(), names.end(), DEFAULT_THEME);
  ++it;
  return it == names.end() ? names.front() : *it;
}

std::string token_color(const Theme& t, std::string_view kind) { return std::string(or_text(t, t.tokens, kind)); }

std::string token_color(const Theme& t, TokenType kind) { return token_color(t, token_type_name(kind)); }

std::string console_color(const Theme& t, console::Kind kind) {
  return console::console_color(console_theme(t), kind);
}

PaintTheme paint_theme(const Theme& t) { return {t.text, t.red, t.tokens, t.rainbow}; }

console::ConsoleTheme console_theme(const Theme& t) {
  return {t.text, t.red, std::map<std::string, std::string>(t.console.begin(), t.console.end())};
}

std::string code_css(const Theme& t, int px) {
  const std::string& row_bg = t.row_selected ? t.row_selected->background : t.selection;
  const std::string& row_fg = t.row_selected ? t.row_selected->text : t.text;
  std::string css;
  css += fmt::format(".orrery-code {{ font-size: {}px; background-color: {}; color: {}; caret-color: {}; }} ", px,
                     t.background, t.text, t.caret);
  css += fmt::format(".orrery-code text selection {{ background-color: {}; color: {}; }} ", t.selection, t.text);
  css += fmt::format(
      "popover.orrery-popover > contents, popover.orrery-popover > arrow {{ background-color: {}; color: {}; }} ",
      t.background, t.text);
  css += fmt::format(
      "popover.orrery-popover list, popover.orrery-popover row {{ background-color: {}; color: {}; font-size: "
      "{}px; }} ",
      t.background, t.text, px);
  css += fmt::format("popover.orrery-popover row:selected {{ background-color: {}; color: {}; }} ", row_bg, row_fg);
  css += fmt::format("popover.orrery-popover label.orrery-doc {{ font-family: monospace; font-size: {}px; }} ", px);
  css += fmt::format("popover.orrery-popover entry {{ background-color: {}; color: {}; }} ", t.background, t.text);
  css += fmt::format("popover.orrery-popover entry selection {{ background-color: {}; color: {}; }}", t.selection,
                     t.text);
  return css;
}

bool is_color(std::string_view s) {
  return s.size() == 7 && s[0] == '#' &&
         std::all_of(s.begin() + 1, s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace orrery::theme
