#include "orrery/gtk/console_view.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "gui/support.hpp"
#include "orrery/gtk/buffer.hpp"
#include "orrery/gtk/callbacks.hpp"

namespace orrery::gtk {
namespace {

using console::Kind;
using gui_test::pump_until;
using Action = ConsoleSubmit::Action;

constexpr auto NONE = GdkModifierType(0);

Offset chars(const std::string& s) { return g_utf8_strlen(s.c_str(), static_cast<gssize>(s.size())); }

size_t count_of(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

class Console : public testing::Test {
 protected:
  void SetUp() override { start(); }
  void TearDown() override { stop(); }

  void start() {
    ConsoleOptions o;
    o.on_submit = [this](const ConsoleSubmit& s) { submits.push_back(s); };
    o.history_prev = [this](const std::string& current) -> std::optional<std::string> {
      prev_asked.push_back(current);
      return prev_answer;
    };
    o.history_next = [this]() -> std::optional<std::string> {
      ++next_asked;
      return next_answer;
    };
    o.is_evaluating = [this] { return evaluating; };
    o.is_waiting = [this] { return waiting; };
    cv = ConsoleView::make(std::move(o));
    cv->set_error_fn([this](const std::string& e) { errors.push_back(e); });
    window = gtk_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 600, 400);
    gtk_window_set_child(GTK_WINDOW(window), cv->widget());
    gtk_window_present(GTK_WINDOW(window));
    cv->focus();
  }

  void stop() {
    if (window) gtk_window_destroy(GTK_WINDOW(window));
    window = nullptr;
    cv.reset();
    submits.clear();
    prev_asked.clear();
    next_asked = 0;
    errors.clear();
    evaluating = waiting = false;
  }

  void restart() {
    stop();
    start();
  }

  GtkTextBuffer* buf() { return cv->buffer(); }
  Offset input_start() { return chars(cv->output_text()) + chars(cv->prompt_text()); }
  Offset caret_in_input() { return caret(buf()) - input_start(); }
  void caret_to_input(Offset rel) { place_caret(buf(), input_start() + rel); }
  // Typing as the keyboard does: interactive insertion at the caret, refused where the text is read-only.
  void type(const char* s) { g_signal_emit_by_name(cv->view(), "insert-at-cursor", s); }
  void backspace() { g_signal_emit_by_name(cv->view(), "backspace"); }
  void type_at_end(const char* s) {
    caret_to_input(chars(cv->input_text()));
    type(s);
  }
  int press(guint keyval, GdkModifierType state = NONE) { return cv->handle_key(keyval, state); }

  std::shared_ptr<ConsoleView> cv;
  GtkWidget* window = nullptr;
  std::vector<ConsoleSubmit> submits;
  std::vector<std::string> prev_asked;
  int next_asked = 0;
  std::optional<std::string> prev_answer = "(prev)";
  std::optional<std::string> next_answer = "(next)";
  std::vector<std::string> errors;
  bool evaluating = false;
  bool waiting = false;
};

std::string numbered_line(int i) {
  char s[16];
  std::snprintf(s, sizeof s, "line %06d\n", i);
  return s;
}

TEST_F(Console, AFloodFromAWorkerKeepsOnlyTheLastLinesCutAfterANewlineAndSwallowsTheEntryMark) {
  constexpr int LINES = 100000;
  // 12 characters a line: the cap keeps the last 16666 whole lines.
  std::string expected;
  for (int i = LINES - 16666; i < LINES; ++i) expected += numbered_line(i);
  ASSERT_LE(chars(expected), MAX_OUTPUT_CHARS);

  int inserts = 0;
  connect<void(GtkTextBuffer*, GtkTextIter*, char*, int)>(buf(), "insert-text",
                                                          [&](GtkTextBuffer*, GtkTextIter*, char*, int) { ++inserts; });
  for (bool drain_while_appending : {false, true}) {
    SCOPED_TRACE(drain_while_appending ? "draining meanwhile" : "one drain");
    cv->mark_entry_start();
    cv->append(Kind::Out, "an entry that the flood pushes out\n");
    cv->drain();
    inserts = 0;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      for (int i = 0; i < LINES; ++i) cv->append(Kind::Out, numbered_line(i));
      done = true;
    });
    if (drain_while_appending) pump_until([&] { return done.load(); });
    worker.join();
    cv->drain();
    EXPECT_EQ(cv->output_text(), expected);
    if (!drain_while_appending) {
      EXPECT_EQ(inserts, 1);
    }
    EXPECT_EQ(cv->prompt_text(), DEFAULT_PROMPT);
    // The entry's start went with the trimmed text, so there is no last entry left to clear.
    cv->clear_last_output();
    EXPECT_EQ(cv->output_text(), expected);
  }

  // The same when trimming takes the entry's text in a later drain than the one that wrote it.
  cv->clear_output();
  cv->mark_entry_start();
  cv->append(Kind::Out, "entry\n");
  cv->drain();
  const std::string filler = std::string(MAX_OUTPUT_CHARS - 1, 'y') + "\n";
  cv->append(Kind::Out, filler);
  cv->drain();
  EXPECT_EQ(cv->output_text(), filler);
  cv->clear_last_output();
  EXPECT_EQ(cv->output_text(), filler);
}

TEST_F(Console, OutputArrivingWhileTheUserTypesNeverTakesTheInputOrTheCaretIntoHistory) {
  type("(+ 1");
  cv->echo_entry("(def x 1)", false);
  cv->append(Kind::Out, "printed\n");
  cv->append(Kind::Err, "warned\n");
  cv->drain();
  EXPECT_EQ(cv->output_text(), "user=> (def x 1)\nprinted\nwarned\n");
  EXPECT_EQ(cv->prompt_text(), "user=> ");
  EXPECT_EQ(cv->input_text(), "(+ 1");
  EXPECT_EQ(caret_in_input(), 4);

  // Output between an echo and the prompt takes its own style, not the prompt's on either side of it.
  GtkTextIter printed = iter_at(buf(), chars("user=> (def x 1)\n"));
  EXPECT_FALSE(gtk_text_iter_editable(&printed, TRUE));
  GSList* tags = gtk_text_iter_get_tags(&printed);
  for (GSList* t = tags; t; t = t->next) {
    gboolean weight_set = FALSE;
    g_object_get(t->data, "weight-set", &weight_set, nullptr);
    EXPECT_FALSE(weight_set) << "the printed line is bold like a prompt";
  }
  g_slist_free(tags);

  // A worker floods while the caret sits inside the input; the caret keeps its place among the typed characters.
  caret_to_input(1);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 1000; ++i) cv->append(i % 2 ? Kind::Out : Kind::Err, numbered_line(i));
    done = true;
  });
  pump_until([&] { return done.load(); });
  worker.join();
  cv->drain();
  EXPECT_EQ(count_of(cv->output_text(), "line"), 1000u);
  EXPECT_EQ(caret_in_input(), 1);
  type("x");
  EXPECT_EQ(cv->input_text(), "(x+ 1");
  GtkTextIter typed = iter_at(buf(), input_start());
  EXPECT_TRUE(gtk_text_iter_editable(&typed, TRUE));

  // Text pasted from the history into the input stays editable input.
  GtkTextIter from = iter_at(buf(), 0);
  GtkTextIter to = iter_at(buf(), chars("user=> "));
  GtkTextIter input_end = iter_at(buf(), char_count(buf()));
  gtk_text_buffer_insert_range_interactive(buf(), &input_end, &from, &to, TRUE);
  EXPECT_EQ(cv->input_text(), "(x+ 1user=> ");
  GtkTextIter pasted = iter_at(buf(), char_count(buf()) - 2);
  EXPECT_TRUE(gtk_text_iter_editable(&pasted, TRUE));
  caret_to_input(chars(cv->input_text()));
  for (int i = 0; i < 7; ++i) backspace();

  // The prompt and the history refuse the keyboard's edits.
  const std::string history = cv->output_text();
  caret_to_input(0);
  backspace();
  place_caret(buf(), 3);
  type("zz");
  backspace();
  EXPECT_EQ(cv->output_text(), history);
  EXPECT_EQ(cv->prompt_text(), "user=> ");
  EXPECT_EQ(cv->input_text(), "(x+ 1");
}

TEST_F(Console, ReturnDoesWhatTheInputActionSays) {
  struct Case {
    const char* input;
    guint key;
    GdkModifierType state;
    bool evaluating, waiting;
    int answer;
    std::optional<Action> submitted;
    const char* input_after;
    const char* output_after;
  };
  const std::string busy = std::string(BUSY_HINT) + "\n";
  const Case cases[] = {
      {"(+ 1", GDK_KEY_Return, NONE, false, false, 0, std::nullopt, "(+ 1", ""},
      {"(+ 1 2)", GDK_KEY_Return, GDK_SHIFT_MASK, false, false, 0, std::nullopt, "(+ 1 2)", ""},
      {"(+ 1 2)", GDK_KEY_Return, NONE, false, false, 1, Action::Eval, "", "user=> (+ 1 2)\n"},
      {"(+ 1 2)", GDK_KEY_KP_Enter, NONE, false, false, 1, Action::Eval, "", "user=> (+ 1 2)\n"},
      {"   ", GDK_KEY_Return, NONE, false, false, 1, std::nullopt, "   ", ""},
      {"abc(", GDK_KEY_Return, NONE, true, true, 1, Action::SendStdin, "", "user=> abc(\n"},
      {"(+ 1 2)", GDK_KEY_Return, NONE, true, false, 1, std::nullopt, "(+ 1 2)", busy.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.input) + (c.state ? " with Shift" : "") + (c.evaluating ? " while running" : "") +
                 (c.waiting ? " while waiting" : ""));
    restart();
    type(c.input);
    evaluating = c.evaluating;
    waiting = c.waiting;
    EXPECT_EQ(press(c.key, c.state), c.answer);
    cv->drain();
    if (c.submitted) {
      ASSERT_EQ(submits.size(), 1u);
      EXPECT_EQ(submits[0].action, *c.submitted);
      EXPECT_EQ(submits[0].text, c.input);
    } else {
      EXPECT_TRUE(submits.empty());
    }
    EXPECT_EQ(cv->input_text(), c.input_after);
    EXPECT_EQ(cv->output_text(), c.output_after);
    EXPECT_EQ(cv->prompt_text(), "user=> ");
    EXPECT_EQ(caret_in_input(), chars(c.input_after));
  }
}

TEST_F(Console, TheBusyHintShowsOncePerRun) {
  type("(more)");
  evaluating = true;
  EXPECT_EQ(press(GDK_KEY_Return), 1);
  EXPECT_EQ(press(GDK_KEY_Return), 1);
  cv->drain();
  EXPECT_EQ(count_of(cv->output_text(), BUSY_HINT), 1u);
  // The next run arms it again.
  cv->reset_busy_hint();
  EXPECT_EQ(press(GDK_KEY_Return), 1);
  EXPECT_EQ(press(GDK_KEY_Return), 1);
  cv->drain();
  EXPECT_EQ(count_of(cv->output_text(), BUSY_HINT), 2u);
  EXPECT_TRUE(submits.empty());
  EXPECT_EQ(cv->input_text(), "(more)");
}

TEST_F(Console, TextTypedDuringARunNeedsASecondReturn) {
  enum class First { Hints, Evaluates, DoesNothing };
  struct Case {
    const char* before_run;
    const char* typed_during_run;
    First first_return;
  };
  const Case cases[] = {
      {"", "abc", First::Hints},          // typed for the program
      {"(f)", "", First::Evaluates},      // the user's own code, there before the run
      {"", "   ", First::DoesNothing},    // blank: nothing to hold back
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.before_run + "' + '" + c.typed_during_run + "'");
    restart();
    type(c.before_run);
    cv->note_run_start();
    evaluating = true;
    cv->drain();
    type_at_end(c.typed_during_run);
    cv->note_run_end();
    evaluating = false;
    cv->drain();
    const std::string input = cv->input_text();
    EXPECT_EQ(press(GDK_KEY_Return), 1);
    cv->drain();
    EXPECT_EQ(count_of(cv->output_text(), LEFTOVER_HINT), c.first_return == First::Hints ? 1u : 0u);
    if (c.first_return == First::DoesNothing) {
      EXPECT_TRUE(submits.empty());
      continue;
    }
    if (c.first_return == First::Hints) {
      EXPECT_TRUE(submits.empty());
      EXPECT_EQ(cv->input_text(), input);
      EXPECT_EQ(press(GDK_KEY_Return), 1);
    }
    ASSERT_EQ(submits.size(), 1u);
    EXPECT_EQ(submits[0].action, Action::Eval);
    EXPECT_EQ(submits[0].text, input);
  }

  // Once edited, left-over text is ordinary input.
  restart();
  cv->note_run_start();
  type("ab");
  cv->note_run_end();
  cv->drain();
  type_at_end("c");
  EXPECT_EQ(press(GDK_KEY_Return), 1);
  ASSERT_EQ(submits.size(), 1u);
  EXPECT_EQ(submits[0].text, "abc");
}

TEST_F(Console, UpAndDownRecallHistoryOnlyFromTheFirstOrLastLineOfTheInput) {
  type("(a\n b)");
  caret_to_input(4);  // on the second line
  EXPECT_EQ(press(GDK_KEY_Up), 0);
  EXPECT_TRUE(prev_asked.empty());
  EXPECT_EQ(cv->input_text(), "(a\n b)");
  EXPECT_EQ(caret_in_input(), 4);

  caret_to_input(1);  // on the first line
  EXPECT_EQ(press(GDK_KEY_Down), 0);
  EXPECT_EQ(next_asked, 0);
  EXPECT_EQ(press(GDK_KEY_Up), 1);
  EXPECT_EQ(prev_asked, std::vector<std::string>{"(a\n b)"});
  EXPECT_EQ(cv->input_text(), "(prev)");
  EXPECT_EQ(caret_in_input(), 6);
  EXPECT_EQ(press(GDK_KEY_Down), 1);
  EXPECT_EQ(cv->input_text(), "(next)");

  // No entry in that direction: the input stays and the key goes on to GTK.
  prev_answer.reset();
  EXPECT_EQ(press(GDK_KEY_Up), 0);
  EXPECT_EQ(cv->input_text(), "(next)");

  // Not while the program reads its input, nor from the history.
  prev_answer = "(prev)";
  prev_asked.clear();
  waiting = true;
  EXPECT_EQ(press(GDK_KEY_Up), 0);
  waiting = false;
  cv->append(Kind::Out, "output\n");
  cv->drain();
  place_caret(buf(), 2);
  EXPECT_EQ(press(GDK_KEY_Up), 0);
  EXPECT_TRUE(prev_asked.empty());
  EXPECT_EQ(cv->input_text(), "(next)");
}

TEST_F(Console, ControlDEndsTheProgramsInputOnlyWhileItWaits) {
  struct Case {
    bool waiting;
    GdkModifierType state;
    int answer;
  };
  const Case cases[] = {
      {false, GDK_CONTROL_MASK, 0},
      {true, GDK_CONTROL_MASK, 1},
      {true, GDK_META_MASK, 1},
      {true, NONE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "waiting " << c.waiting << ", state " << c.state);
    restart();
    type("partial");
    waiting = c.waiting;
    EXPECT_EQ(press(GDK_KEY_d, c.state), c.answer);
    if (c.answer) {
      ASSERT_EQ(submits.size(), 1u);
      EXPECT_EQ(submits[0].action, Action::Eof);
      EXPECT_EQ(cv->input_text(), "");
    } else {
      EXPECT_TRUE(submits.empty());
      EXPECT_EQ(cv->input_text(), "partial");
    }
  }
}

TEST_F(Console, ClearLastOutputRemovesTheLastEntryOnceAndNothingAfterAFullClear) {
  cv->append(Kind::Out, "older\n");
  cv->drain();
  type("(+ 1 2)");
  press(GDK_KEY_Return);
  cv->append(Kind::Out, "printed\n");
  cv->append(Kind::Result, "=> 3\n");
  cv->drain();
  type("(typed)");
  cv->clear_last_output();
  EXPECT_EQ(cv->output_text(), "older\n");
  cv->clear_last_output();
  EXPECT_EQ(cv->output_text(), "older\n");
  EXPECT_EQ(cv->prompt_text(), "user=> ");
  EXPECT_EQ(cv->input_text(), "(typed)");

  // A command line after an entry gives the mark back, so Clear Last reaches the entry before it.
  press(GDK_KEY_Return);
  cv->append(Kind::Result, "=> nil\n");
  cv->drain();
  type("!ls");
  press(GDK_KEY_Return);
  cv->restore_entry_start();
  cv->append(Kind::Out, "listing\n");
  cv->drain();
  cv->clear_last_output();
  EXPECT_EQ(cv->output_text(), "older\n");

  // Right after Clear Output there is no last entry: later output stays.
  type("(+ 1 2)");
  press(GDK_KEY_Return);
  cv->clear_output();
  EXPECT_EQ(cv->output_text(), "");
  cv->append(Kind::Out, "still running\n");
  cv->drain();
  cv->clear_last_output();
  EXPECT_EQ(cv->output_text(), "still running\n");
  EXPECT_EQ(cv->prompt_text(), "user=> ");
}

TEST_F(Console, APromptChangeKeepsTheSelectedCharactersAndItsDirection) {
  cv->append(Kind::Out, "out\n");
  cv->drain();
  type("(foo bar)");
  // "bar" selected from right to left: the caret before it, the bound after it.
  select(buf(), input_start() + 5, input_start() + 8);

  cv->set_prompt("my.long.namespace");
  EXPECT_EQ(cv->output_text(), "out\n");
  EXPECT_EQ(cv->prompt_text(), "my.long.namespace=> ");
  EXPECT_EQ(cv->input_text(), "(foo bar)");
  Span sel = selection_marks(buf());
  EXPECT_EQ(sel.start, input_start() + 5);
  EXPECT_EQ(sel.end, input_start() + 8);
  GtkTextIter prompt = iter_at(buf(), 4);
  EXPECT_FALSE(gtk_text_iter_editable(&prompt, TRUE));

  // The same prompt again changes nothing; a shorter one moves a caret the other way.
  int changes = 0;
  connect<void(GtkTextBuffer*)>(buf(), "changed", [&](GtkTextBuffer*) { ++changes; });
  cv->set_prompt("my.long.namespace");
  EXPECT_EQ(changes, 0);
  caret_to_input(2);
  cv->set_prompt("a");
  EXPECT_EQ(cv->prompt_text(), "a=> ");
  EXPECT_EQ(caret_in_input(), 2);
  EXPECT_EQ(cv->input_text(), "(foo bar)");

  // A caret in the history stays; echoes use the prompt of the moment.
  place_caret(buf(), 1);
  cv->set_prompt("b.c");
  EXPECT_EQ(caret(buf()), 1);
  cv->echo_entry("(x)", false);
  cv->drain();
  EXPECT_EQ(cv->output_text(), "out\nb.c=> (x)\n");
}

TEST_F(Console, CompletionSeesKeysFirstAndAThrowingHandlerCountsAsHandled) {
  int completions = 0;
  bool popup_open = false;
  cv->set_completion_fns({[&] { ++completions; },
                          [&](guint keyval, GdkModifierType) {
                            if (keyval == GDK_KEY_Escape) throw std::runtime_error("popup failed");
                            return popup_open && keyval == GDK_KEY_Down;
                          }});
  type("(pri");
  EXPECT_EQ(press(GDK_KEY_space, GDK_CONTROL_MASK), 1);
  EXPECT_EQ(completions, 1);
  popup_open = true;
  EXPECT_EQ(press(GDK_KEY_Down), 1);
  EXPECT_EQ(next_asked, 0);
  EXPECT_EQ(cv->dispatch_key(GDK_KEY_Escape, NONE), 1);
  EXPECT_EQ(errors, std::vector<std::string>{"; key: popup failed"});

  // Not from the history, and Meta+Space is not completion.
  cv->append(Kind::Out, "x\n");
  cv->drain();
  place_caret(buf(), 0);
  EXPECT_EQ(press(GDK_KEY_space, GDK_CONTROL_MASK), 0);
  caret_to_input(1);
  EXPECT_EQ(press(GDK_KEY_space, GdkModifierType(GDK_CONTROL_MASK | GDK_META_MASK)), 0);
  EXPECT_EQ(completions, 1);

  // The completion's result lands in the input as one undo step; one that would reach before the input is refused.
  caret_to_input(4);
  EXPECT_TRUE(cv->apply_input_op(EditOp{{{1, 4, U"println"}}, 8, std::nullopt}));
  EXPECT_EQ(cv->input_text(), "(println");
  EXPECT_EQ(caret_in_input(), 8);
  gtk_text_buffer_undo(buf());
  EXPECT_EQ(cv->input_text(), "(pri");
  EXPECT_FALSE(cv->apply_input_op(EditOp{{{-1, 2, U""}}, 0, std::nullopt}));
  EXPECT_FALSE(cv->apply_input_op(EditOp{{{2, 9, U""}}, 0, std::nullopt}));
  EXPECT_EQ(cv->output_text(), "x\n");
  EXPECT_EQ(cv->input_text(), "(pri");
}

TEST_F(Console, InputChangeListenersRunInOrderAndOneThatThrowsIsReported) {
  std::vector<int> ran;
  cv->on_input_changed([&] {
    ran.push_back(1);
    throw std::runtime_error("listener failed");
  });
  cv->on_input_changed([&] { ran.push_back(2); });
  type("a");
  ASSERT_GE(ran.size(), 2u);
  EXPECT_EQ(ran[0], 1);
  EXPECT_EQ(ran[1], 2);
  EXPECT_EQ(errors.front(), "; listener failed");

  // Output landing in the history is not an input change.
  ran.clear();
  cv->append(Kind::Out, "x\n");
  cv->drain();
  EXPECT_TRUE(ran.empty());
}

TEST_F(Console, ResultLinesKeepTheirRefsThroughTrimmingAndLinesAreReadInAWindow) {
  cv->append(Kind::Out, "a\n");
  cv->append_result(Kind::Result, "=> 1\n", kelp::Value::integer(1));
  cv->append_result(Kind::Result, "=> 2\n", kelp::Value::integer(2));
  cv->append(Kind::Out, "b\n");
  cv->drain();
  ASSERT_EQ(cv->output_text(), "a\n=> 1\n=> 2\nb\n");
  EXPECT_TRUE(cv->result_at(0).is_nil());
  EXPECT_TRUE(cv->result_at(3).identical(kelp::Value::integer(1)));
  EXPECT_TRUE(cv->result_at(6).identical(kelp::Value::integer(1)));  // its newline
  EXPECT_TRUE(cv->result_at(7).identical(kelp::Value::integer(2)));
  EXPECT_EQ(cv->result_text_at(8), "=> 2\n");
  EXPECT_FALSE(cv->result_text_at(12));
  EXPECT_EQ(cv->line_at(9).text, "=> 2");
  EXPECT_EQ(cv->line_at(9).start, 7);

  // 199988 more characters push the history two past the cap: "a\n" goes, and the spans move with the text.
  cv->append(Kind::Out, std::string(199987, 'x') + "\n");
  cv->drain();
  EXPECT_EQ(cv->output_text().substr(0, 12), "=> 1\n=> 2\nb\n");
  EXPECT_TRUE(cv->result_at(0).identical(kelp::Value::integer(1)));
  EXPECT_TRUE(cv->result_at(5).identical(kelp::Value::integer(2)));
  EXPECT_TRUE(cv->result_at(10).is_nil());

  // A line longer than the window is read only around the offset.
  const ConsoleLine long_line = cv->line_at(100000);
  EXPECT_EQ(long_line.start, 100000 - LINE_WINDOW);
  EXPECT_EQ(chars(long_line.text), 2 * LINE_WINDOW);
}

TEST_F(Console, OutputQueuedForAViewWhoseWidgetIsGoneIsDropped) {
  std::weak_ptr<ConsoleView> weak = cv;
  cv->append(Kind::Out, "queued before the window closed\n");
  gtk_window_destroy(GTK_WINDOW(window));
  window = nullptr;
  EXPECT_EQ(cv->widget(), nullptr);
  // A worker still holding the console may append, and may be the last to let it go.
  std::thread worker([held = std::move(cv)] { held->append(Kind::Out, "late\n"); });
  worker.join();
  gui_test::pump_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace orrery::gtk
