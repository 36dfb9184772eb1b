// The command palette as a popover: an entry over one row per palette entry. It opens below a point of the widget
// it is attached to (the active editor's caret) with every entry shown and the first selected; typing refilters,
// Up and Down move by one, PageUp and PageDown by a page, and Return or a click runs the selected entry after the
// popover is hidden, so a command that opens a popover of its own is not closed with this one.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "orrery/palette.hpp"

namespace orrery::gtk {

struct PaletteOptions {
  // The entries to offer, read at every open.
  std::function<std::vector<palette::Entry>()> entries;
  // Runs a picked entry; a throw goes to report.
  std::function<void(const palette::Entry&)> run;
  std::function<void(const std::string& message)> report;
};

class PaletteView : public std::enable_shared_from_this<PaletteView> {
 public:
  // GTK thread.
  static std::shared_ptr<PaletteView> make(PaletteOptions options);
  virtual ~PaletteView() = default;

  // Attaches the popover to parent (moving it from any earlier one), points it at `at` (parent's coordinates),
  // clears the entry, shows every entry with the first selected and focuses the entry.
  virtual void open(GtkWidget* parent, const GdkRectangle& at) = 0;
  // Hides the popover; answers whether it was open.
  virtual bool close() = 0;
  virtual bool is_open() = 0;
  // Whether the palette's entry holds the keyboard focus.
  virtual bool entry_focused() = 0;

  // Runs the selected entry (Return does this), hiding the popover first.
  virtual void run_selected() = 0;
  // Up, Down, PageUp and PageDown move the selection: 1 when the key was taken.
  virtual int handle_key(guint keyval, GdkModifierType state) = 0;

  // --- For tests and pictures -----------------------------------------------------------------------------------
  virtual GtkWidget* popover() = 0;
  virtual GtkEditable* entry() = 0;
  virtual std::vector<std::string> rows() = 0;  // the rows shown, as their text
  virtual std::size_t selected() = 0;
};

}  // namespace orrery::gtk
