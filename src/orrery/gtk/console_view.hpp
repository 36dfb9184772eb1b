// The Interactions console as a GTK widget: one text view holding the read-only output history, a read-only prompt
// and the editable input line after it. Output from evaluation workers arrives through a thread-safe queue and is
// drained on the GTK thread in coalesced batches, capped at MAX_OUTPUT_CHARS; Return, Up and Down follow the
// console's pure decisions (orrery/console.hpp).
//
// Marks: out_end (right gravity: output inserted there lands before it), input_start (left gravity), the buffer's
// end, and last_entry_start (where the last entry began, for Clear Last Output).
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kelp/data/value.hpp"
#include "orrery/console.hpp"
#include "orrery/text.hpp"
#include "orrery/theme.hpp"

namespace orrery::gtk {

inline constexpr Offset MAX_OUTPUT_CHARS = 200000;
inline constexpr Offset LINE_WINDOW = 2000;
inline constexpr const char* DEFAULT_PROMPT = "user=> ";
inline constexpr const char* BUSY_HINT = "A program is running. Press Stop (Esc) to cancel it.";
inline constexpr const char* LEFTOVER_HINT =
    "This was typed while the program ran. Press Return again to evaluate it.";

struct ConsoleSubmit {
  // Bang: a `!` line that runs a command by name (palette::is_bang), never the evaluator's.
  enum class Action { Eval, SendStdin, Eof, Bang };
  Action action = Action::Eval;
  std::string text;
};

struct ConsoleOptions {
  std::function<void(const ConsoleSubmit&)> on_submit;
  // Up: the entry before, given the current input; nothing leaves the input as it is.
  std::function<std::optional<std::string>(const std::string&)> history_prev;
  // Down: the entry after; nothing leaves the input as it is.
  std::function<std::optional<std::string>()> history_next;
  // Read live from the engine on every Return; default: never.
  std::function<bool()> is_evaluating;
  std::function<bool()> is_waiting;
};

struct ConsoleLine {
  std::string text;  // without its line feed
  Offset start = 0;
};

struct CompletionFns {
  std::function<void()> complete;                                // Ctrl+Space in the input
  std::function<bool(guint keyval, GdkModifierType state)> handle_key;  // first look while its popup is open
};

class ConsoleView : public std::enable_shared_from_this<ConsoleView> {
 public:
  // GTK thread. The view lives as long as its widget; queued output for a destroyed view is dropped.
  static std::shared_ptr<ConsoleView> make(ConsoleOptions options);
  virtual ~ConsoleView() = default;

  virtual GtkWidget* widget() = 0;  // the scrolled window to place
  virtual GtkTextView* view() = 0;
  virtual GtkTextBuffer* buffer() = 0;

  // --- Any thread: queue, never block, never touch GTK -------------------------------------------------------
  virtual void append(console::Kind kind, std::string text) = 0;
  // A result line that keeps a handle to its value ({:id :kind ...}); its span is recorded.
  virtual void append_result(console::Kind kind, std::string text, kelp::Value ref) = 0;
  // Moves the last-entry mark to the output's end when the drain reaches this request.
  virtual void mark_entry_start() = 0;
  // The prompt and text into the history in the prompt style; mark: queue mark_entry_start first.
  virtual void echo_entry(std::string text, bool mark) = 0;
  virtual void reset_busy_hint() = 0;
  virtual void note_run_start() = 0;
  virtual void note_run_end() = 0;

  // --- GTK thread --------------------------------------------------------------------------------------------
  virtual void commit_input() = 0;
  // Return (shift: Shift held): 1 when the key was taken, 0 to let GTK insert a newline.
  virtual int handle_return(bool shift) = 0;
  // Up (up = true) or Down: true when the input was replaced.
  virtual bool handle_history(bool up) = 0;
  virtual int handle_key(guint keyval, GdkModifierType state) = 0;
  // What the view's key controller calls: handle_key, with a throw reported through the error function as
  // "; key: " and the message, the key then counting as handled.
  virtual int dispatch_key(guint keyval, GdkModifierType state) = 0;
  virtual void clear_input() = 0;
  // Replaces the input, puts the caret at caret (relative to the input) and focuses the console.
  virtual void set_input(const std::string& text, Offset caret) = 0;
  virtual void clear_output() = 0;
  virtual void clear_last_output() = 0;
  // The prompt becomes ns_name followed by "=> ".
  virtual void set_prompt(const std::string& ns_name) = 0;
  virtual void focus() = 0;
  virtual void apply_theme(const theme::Theme& theme) = 0;
  // An edit-op result with offsets relative to the input's start, as one undo step.
  virtual bool apply_input_op(const EditOp& op) = 0;
  virtual void restore_entry_start() = 0;
  // Runs every queued item now (the idle drain does this by itself; tests call it to settle).
  virtual void drain() = 0;

  // --- Readers (GTK thread) ----------------------------------------------------------------------------------
  virtual std::string input_text() = 0;
  virtual std::optional<Snapshot> input_snapshot() = 0;
  virtual bool in_input(Offset offset) = 0;
  virtual ConsoleLine line_at(Offset offset) = 0;
  virtual kelp::Value result_at(Offset offset) = 0;  // nil when no result line holds offset
  virtual std::optional<std::string> result_text_at(Offset offset) = 0;
  virtual std::string output_text() = 0;  // the history, [0, out_end)
  virtual std::string prompt_text() = 0;

  // --- Registrations (GTK thread; each list runs in registration order, a throw reported and the next run) -----
  virtual void set_completion_fns(CompletionFns fns) = 0;
  virtual void on_input_changed(std::function<void()> f) = 0;
  virtual void on_focus_lost(std::function<void()> f) = 0;
  virtual void set_error_fn(std::function<void(const std::string&)> f) = 0;
};

}  // namespace orrery::gtk
