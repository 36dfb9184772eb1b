// The Definitions editor of one tab: an editable monospace text view whose GTK buffer owns the text. Commands read a
// snapshot, ask the pure edit operations for an edit-op result, and apply_op lands it as one undoable user action.
// Around that the editor repaints syntax colours off the GTK thread (paint plans and their diffs computed on a
// worker, applied in chunks nearest the caret first, landing only while still current), tracks whether the text
// differs from the saved text, and dispatches keys: the window's editor keymap first, then the typing stages
// (smart Return, auto-pairs, indent).
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orrery/paint.hpp"
#include "orrery/text.hpp"
#include "orrery/theme.hpp"

namespace orrery::gtk {

inline constexpr unsigned PAINT_TICK_MS = 20;
inline constexpr unsigned PAINT_DEBOUNCE_MS = 60;
inline constexpr std::size_t PAINT_CHUNK = 2000;

// What the painter has done so far: workers started, results whose tags all landed, and results refused on landing
// because the text, the baseline or the editor moved on while the worker ran.
struct PaintStats {
  uint64_t started = 0;
  uint64_t applied = 0;
  uint64_t dropped = 0;
};

// How the tab's Parinfer runs; Off until Parinfer arrives, and the typing stages pair brackets themselves there.
enum class ParinferMode { Off, Paren, Indent, Smart };

class Editor : public std::enable_shared_from_this<Editor> {
 public:
  // GTK thread. The editor lives as long as its view; work landing after the view is destroyed touches nothing.
  static std::shared_ptr<Editor> make();
  virtual ~Editor() = default;

  virtual GtkWidget* widget() = 0;  // the scrolled window
  virtual GtkTextView* view() = 0;
  virtual GtkTextBuffer* buffer() = 0;

  virtual std::string text() = 0;
  virtual Snapshot snapshot() = 0;
  // Replaces the whole text without an undo step; s becomes the saved text; no dirty flip; a full repaint.
  virtual void set_text(const std::string& s) = 0;
  // The file's text from disk as one undo step back to what the tab held; s becomes the saved text; the caret keeps
  // its offset, clamped.
  virtual void reload_text(const std::string& s) = 0;
  virtual void replace_buffer_as_one_action(const std::string& s, Offset caret) = 0;
  virtual void mark_saved() = 0;
  virtual void rebase_saved(const std::string& s) = 0;
  virtual bool is_dirty() = 0;
  virtual std::string saved_text() = 0;

  // The one funnel for edits: refuses (false, nothing changes) for nothing, a read-only editor, or a NUL in any
  // replacement; otherwise the edits land back to front as one user action and the caret (and selection) is placed.
  virtual bool apply_op(const std::optional<EditOp>& op) = 0;
  // The same with Parinfer in Paren mode for this action, whatever the tab's mode.
  virtual bool apply_structural_op(const std::optional<EditOp>& op) = 0;
  // The same with the Parinfer hook skipped: the edits land exactly as sent.
  virtual bool apply_op_plain(const std::optional<EditOp>& op) = 0;

  virtual void set_read_only(bool on) = 0;
  virtual bool is_read_only() = 0;
  virtual void apply_theme(const theme::Theme& theme) = 0;
  // Paint with this dialect's word sets from the next tick; nullptr: kelp's.
  virtual void set_profile(const WordSets* profile) = 0;
  virtual void paint_async() = 0;
  virtual void focus() = 0;

  // The key dispatch: 1 when handled, 0 to let GTK have it. dispatch_key wraps it: a throw is reported through the
  // error function as "; key: " and the message, and the key counts as handled.
  virtual int handle_key(guint keyval, GdkModifierType state, guint keycode = 0) = 0;
  virtual int dispatch_key(guint keyval, GdkModifierType state, guint keycode = 0) = 0;

  // --- Wiring from the window -----------------------------------------------------------------------------------
  virtual void on_dirty_changed(std::function<void(bool)> f) = 0;
  virtual void on_cursor_moved(std::function<void(int line, int col)> f) = 0;  // both 0-based
  virtual void on_focus_lost(std::function<void()> f) = 0;
  virtual void set_error_fn(std::function<void(const std::string&)> f) = 0;
  // The window's editor keymap: the first look at a key after the completion popup; answers 1 when it took it.
  virtual void set_keymap_fn(std::function<int(guint keyval, GdkModifierType state, guint keycode)> f) = 0;
  virtual void set_flash_cancel_fn(std::function<void()> f) = 0;
  virtual void set_completion_key_fn(std::function<bool(guint keyval, GdkModifierType state)> f) = 0;
  virtual void set_parinfer_mode_fn(std::function<ParinferMode()> f) = 0;
  // The status line's Parinfer note: "over 300 lines here, not adjusted", or empty to clear it.
  virtual void set_parinfer_status_fn(std::function<void(const std::string&)> f) = 0;
  // What a jump click runs, as F12 would, once the caret is on the character under the pointer.
  virtual void set_jump_fn(std::function<void()> f) = 0;

  // A click released at (x, y), the view's widget coordinates: a jump click (Ctrl+click, Cmd+click on macOS, with
  // nothing selected) puts the caret there and jumps. True when it jumped.
  virtual bool handle_click(double x, double y, int n_press, GdkModifierType state) = 0;

  // --- For tests and the window's status --------------------------------------------------------------------------
  // True once the tags show the current text's plan (no paint pending or in flight).
  virtual bool is_painted() = 0;
  // The style key names of the editor's tags covering offset, e.g. {":comment"}.
  virtual std::vector<std::string> tags_at(Offset offset) = 0;
  virtual PaintStats paint_stats() = 0;
};

}  // namespace orrery::gtk
