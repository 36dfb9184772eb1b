#include "orrery/hints.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/data/string.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/command_registry.hpp"

namespace orrery::hints {
namespace {

using keymap::Binding;

const std::string_view LINUX = "Linux", MAC = "Mac OS X";

Binding binding(std::string_view text) {
  auto b = keymap::to_binding(*kelp::read_edn(text));
  EXPECT_TRUE(b) << text;
  return *b;
}

// The text with "|" marking the caret, and the caret's offset.
std::pair<std::u32string, Offset> caret(std::string_view marked) {
  std::u32string t = kelp::to_u32(marked);
  auto at = t.find(U'|');
  t.erase(at, 1);
  return {t, Offset(at)};
}

TEST(Hints, WhatTheCaretIsOn) {
  struct Case {
    const char* text;
    bool symbol;
  };
  const Case cases[] = {
      {"(ma|p inc xs)", true},
      {"(map inc| xs)", true},  // just after a symbol
      {"(map inc xs|)", true},
      {"(|map inc xs)", true},
      {"(map inc  |  xs)", false},
      {"|", false},
      {"(f x)\n|\n(g y)", false},
      {"(f x)\n(g |y)", true},
      {"(f x) ; a com|ment", false},
      {"(f x) ; x|", false},
      {"(println \"hel|lo\")", false},
      {"(+ 1 4|2)", false},
      {"(get m :ke|y)", false},
      {"(f x)|", false},
      {"  λ|", true},
  };
  for (const auto& c : cases) {
    auto [text, pos] = caret(c.text);
    EXPECT_EQ(at_caret(text, pos) == Kind::symbol, c.symbol) << c.text;
  }
}

TEST(Hints, LineAtThePosition) {
  const std::u32string text = U"(ns a)\n\n(f x)";
  struct Case {
    Offset pos;
    std::u32string line;
    Offset within;
  };
  const Case cases[] = {{0, U"(ns a)", 0}, {6, U"(ns a)", 6}, {7, U"", 0}, {10, U"(f x)", 2}, {99, U"(f x)", 5},
                        {-3, U"(ns a)", 0}};
  for (const auto& c : cases) {
    auto at = line_at(text, c.pos);
    EXPECT_EQ(std::u32string(at.line), c.line) << c.pos;
    EXPECT_EQ(at.pos, c.within) << c.pos;
  }
}

TEST(Hints, TheShippedKeysAtASymbol) {
  keymap::Keymap km = {{"window", command_registry::shipped_bindings("window")},
                       {"editor", command_registry::shipped_bindings("editor")}};
  EXPECT_EQ(hint(km, Kind::symbol, LINUX), "Ctrl+Q doc · F12 jump · Shift+F6 rename");
  EXPECT_EQ(hint(km, Kind::symbol, MAC), "Ctrl+Q doc · F12 jump · Shift+F6 rename");
}

TEST(Hints, OnlyKeysThatRunTheActionAtTheCaret) {
  keymap::Keymap km;
  km["editor"] = {
      binding(R"({:key "q" :mods #{:ctrl} :when [:writable] :command :help/quick-doc})"),
      binding(R"({:key "j" :mods #{:cmd} :command :run/form})"),
      // Taken by the binding above for another command on every system's Cmd.
      binding(R"({:key "j" :mods #{:ctrl} :command :help/jump})"),
      binding(R"({:key "d" :mods #{:alt} :command :help/quick-doc})"),
  };
  km["window"] = {binding(R"({:key "F12" :command :help/jump})")};
  EXPECT_EQ(hint(km, Kind::symbol, LINUX), "Alt+D doc · F12 jump");
  EXPECT_EQ(first_chord(km, "edit/rename", LINUX), std::nullopt);
  // :cmd is held with Control on macOS too, so Ctrl+J stays taken there.
  EXPECT_EQ(first_chord(km, "help/jump", MAC), "F12");

  keymap::Keymap none;
  none["editor"] = {binding(R"({:key "F1" :when [:writable] :command :help/quick-doc})")};
  EXPECT_EQ(hint(none, Kind::symbol, LINUX), std::nullopt);
}

}  // namespace
}  // namespace orrery::hints
