// The editor's help features on screen: the completion popup, the quick-documentation popover, Jump to Definition
// and the rename popover, for one editor. What to show and where to go are orrery::help's decisions; the runtime's names and
// documentation are asked for on a help worker (they may wait on a child process) and land back on the GTK thread,
// where an answer that arrives after the user moved on is merged or dropped.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "orrery/evaluator.hpp"
#include "orrery/text.hpp"

namespace orrery::gtk {

class ConsoleView;
class Editor;

struct EditorHelpOptions {
  // The window's evaluator at the time of asking (none: the names Orrery knows without a runtime).
  std::function<evaluator::EvaluatorPtr()> evaluator;
  // Where the runtime is asked; shared by a window's editors.
  std::shared_ptr<evaluator::HelpWorker> worker;
  std::function<void(const std::string&)> status;
  // A definition in a file on disk: open it at the 1-based line; false when it could not be opened.
  std::function<bool(const std::filesystem::path&, int64_t line)> open_at;
  // A jump is leaving this editor's offset: where Jump Back returns to.
  std::function<void(Offset from)> jumped_from;
};

class EditorHelp {
 public:
  // GTK thread. The popovers are parented on the editor's scrolled window and let go of it when it is destroyed.
  static std::shared_ptr<EditorHelp> make(const std::shared_ptr<Editor>& editor, EditorHelpOptions options);
  // The same completion and quick docs for the console's input line (no jumps or rename there).
  static std::shared_ptr<EditorHelp> make_for_console(const std::shared_ptr<ConsoleView>& console,
                                                      EditorHelpOptions options);
  virtual ~EditorHelp() = default;

  // Opens the popup on the word at the caret (a lone candidate is put in at once); false with nothing to complete.
  virtual bool complete() = 0;
  // The popup's look at a key before anything else in the editor: Up and Down move, Return and Tab commit,
  // Escape closes; any key closes an open doc popover. True when the key was used.
  virtual bool handle_key(guint keyval, GdkModifierType state) = 0;
  // Shows the documentation of the symbol at the caret; pressed again while it shows, the runtime's full docs (or
  // the status line's sentence for why there are none). False when there is no symbol there.
  virtual bool quick_doc() = 0;
  // Goes to the definition of the symbol at the caret: a local binding or a def in this buffer at once, else the
  // runtime's var (its file at its line, or its docs); false when there is no symbol there.
  virtual bool jump() = 0;
  // Opens the rename popover on the symbol at the caret, its entry holding the name; false when there is none.
  // Return in the entry renames every occurrence as one undo step, or leaves the popover open saying why not.
  virtual bool rename() = 0;
  // Hides any open popover; answers whether one was open.
  virtual bool close() = 0;
  // Unparents the popovers (before the view's page leaves the notebook).
  virtual void dispose() = 0;

  // --- For tests ---------------------------------------------------------------------------------------------------
  virtual bool completion_open() = 0;
  virtual bool completion_waiting() = 0;
  virtual std::vector<std::string> completion_rows() = 0;  // "name  label"
  virtual std::size_t completion_index() = 0;
  virtual bool doc_open() = 0;
  virtual std::string doc_shown() = 0;
  virtual bool rename_open() = 0;
  virtual GtkEditable* rename_entry() = 0;
  virtual std::string rename_problem_shown() = 0;  // empty when none shows
  virtual void rename_apply() = 0;                 // what Return in the entry does
};

}  // namespace orrery::gtk
