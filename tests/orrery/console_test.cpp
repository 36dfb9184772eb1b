#include "orrery/console.hpp"

#include <gtest/gtest.h>

#include "kelp/data/string.hpp"
#include "kelp/kelp.hpp"

namespace orrery::console {
namespace {

std::u32string u(std::string_view s) { return kelp::to_u32(s); }

TEST(ConsoleStyle, KindsInTagOrderWithTheirColours) {
  std::vector<std::string> order;
  for (const KindFlags& f : styles()) order.emplace_back(kind_name(f.kind));
  EXPECT_EQ(order, (std::vector<std::string>{"out", "err", "prompt", "result", "error", "system"}));

  // The theme's console map never recolours standard output or errors; a kind it leaves out takes the text colour.
  ConsoleTheme t{"#text", "#red", {{"out", "#x"}, {"err", "#x"}, {"prompt", "#p"}, {"result", "#r"}}};
  struct Case {
    std::string_view kind;
    Style want;
  };
  for (const Case& c : std::vector<Case>{{"out", {"#text", false, false}},
                                         {"err", {"#red", false, false}},
                                         {"prompt", {"#p", true, false}},
                                         {"result", {"#r", true, false}},
                                         {"error", {"#red", false, false}},
                                         {"system", {"#text", false, true}}}) {
    EXPECT_EQ(style(t, c.kind), c.want) << c.kind;
  }
  EXPECT_EQ(style(t, "warning"), std::nullopt);
}

TEST(ConsoleInput, WhatReturnDoes) {
  struct Case {
    std::string input;
    bool waiting, evaluating, shift;
    std::optional<std::string> leftover;
    InputAction want;
  };
  const std::vector<Case> cases{
      {"(+ 1 2)", false, false, true, {}, InputAction::Newline},           // Shift always inserts a newline
      {"(+ 1 2)", true, true, true, {}, InputAction::Newline},
      {"(defn f [x]", true, true, false, {}, InputAction::SendStdin},      // the program gets the line as it is
      {"(+ 1 2)", false, true, false, {}, InputAction::Busy},
      {"yes", false, false, false, "yes", InputAction::Leftover},
      {"yes ", false, false, false, "yes", InputAction::Eval},             // edited: ordinary input again
      {"", false, false, false, "", InputAction::Leftover},
      {"   ", false, false, false, {}, InputAction::Noop},
      {"\n\t", false, false, false, {}, InputAction::Noop},
      {"(defn f [x]", false, false, false, {}, InputAction::Newline},
      {"(+ 1 2))", false, false, false, {}, InputAction::Newline},         // a stray closer is unmatched too
      {"(+ 1 2)", false, false, false, {}, InputAction::Eval},
      {"\"(\" ; [", false, false, false, {}, InputAction::Eval},           // brackets in strings and comments
  };
  for (const Case& c : cases) {
    std::u32string in = u(c.input);
    InputState s{in, c.waiting, c.evaluating, c.shift, {}};
    if (c.leftover) s.leftover = u(*c.leftover);
    EXPECT_EQ(action_name(input_action(s)), action_name(c.want)) << '"' << c.input << '"';
  }
}

TEST(ConsoleTrim, CutsJustAfterANewlineWhenOneFollows) {
  struct Case {
    std::string text;
    int64_t max;
    int64_t want;
  };
  const std::vector<Case> cases{
      {"0123456789", 10, 0},
      {"0123456789", 20, 0},
      {"abcd\nefghij", 8, 5},   // through the newline
      {"abcdefghijk", 8, 3},    // no newline: exactly what must go
      {"ab\ncdefgh", 7, 3},     // the newline sits exactly where the cut must reach
      {"\nabcdefghi", 8, 2},    // a newline before the cut point does not count
      {"ab\n", 0, 3},
      {"αβγ\nδ", 3, 4},         // characters, not bytes
  };
  for (const Case& c : cases) EXPECT_EQ(trim_length(u(c.text), c.max), c.want) << c.text << " max " << c.max;
}

TEST(ConsoleClearLast, OnlyANonEmptyRangeFromAnActiveMark) {
  EXPECT_EQ(clear_last_range(std::nullopt, 9), std::nullopt);
  EXPECT_EQ(clear_last_range(5, 5), std::nullopt);
  EXPECT_EQ(clear_last_range(7, 5), std::nullopt);
  EXPECT_EQ(clear_last_range(2, 9), (Span{2, 9}));
}

TEST(ConsoleResultLine, EachStatusHasItsLine) {
  eval::Result ok;
  ok.printed = "{:a 1}";
  eval::Result stopped;
  stopped.status = eval::Status::Interrupted;
  eval::Result notice;
  notice.status = eval::Status::Notice;
  notice.text = "; Loaded 3 files.";
  eval::Result remote;
  remote.status = eval::Status::Error;
  remote.error_text = "Execution error (ArithmeticException) at user/eval1 (REPL:1).\nDivide by zero";

  EXPECT_EQ(result_line(ok), (ResultLine{Kind::Result, "=> {:a 1}\n"}));
  EXPECT_EQ(result_line(stopped), (ResultLine{Kind::System, "; interrupted\n"}));
  EXPECT_EQ(result_line(notice), (ResultLine{Kind::System, "; Loaded 3 files.\n"}));
  EXPECT_EQ(result_line(remote), (ResultLine{Kind::Error, *remote.error_text + "\n"}));
}

TEST(ConsoleResultLine, InProcessErrorsAreFormattedAndRemoteTextWins) {
  kelp::boot();
  eval::Result r;
  r.status = eval::Status::Error;
  r.error = kelp::eval_string("(ex-info \"boom\" {:n 1})");
  std::string formatted = eval::format_error(r.error);
  EXPECT_NE(formatted.find("boom"), std::string::npos);
  EXPECT_EQ(error_text(r), formatted);
  EXPECT_EQ(result_line(r), (ResultLine{Kind::Error, formatted + "\n"}));
  r.error_text = "remote words";
  EXPECT_EQ(error_text(r), "remote words");
}

TEST(ConsoleUnclosedBracket, NamesTheFirstOpenerLeftOpen) {
  struct Case {
    std::string text;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases{
      {"(ok)\n[1 2\n  {:a (b)", "The [ on line 2 is never closed."},
      {"(defn f [x]\n  (let [y 1]\n    y", "The ( on line 1 is never closed."},
      {")\n\n]\n(", "The ( on line 4 is never closed."},     // stray closers are not the message's concern
      {"(]", "The ( on line 1 is never closed."},          // a wrong closer does not close it
      {"\"😀\n\" {", "The { on line 2 is never closed."},
      {"(a [b] {:c d})\n", std::nullopt},
      {"\"(\" ; [", std::nullopt},
      {"))", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(unclosed_bracket_message(u(c.text)), c.want) << c.text;
}

}  // namespace
}  // namespace orrery::console
