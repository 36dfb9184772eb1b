// The window's questions: alerts with two or three buttons and the Open, Save and Open Folder dialogs. GTK 4.8 has
// neither GtkAlertDialog nor GtkFileDialog, so these stand on GtkMessageDialog and GtkFileChooserNative behind one
// small interface. Answers arrive on the GTK thread, exactly once per question.
//
// Tests answer questions without clicking: a question shown while an Answerer is installed goes to it instead of to
// the screen (it may answer at once or later through answer_pending).
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <string>

#include "orrery/tabs.hpp"

namespace orrery::gtk {

// The chosen button's index, or the alert's cancel_index when it was dismissed.
using AlertChoice = std::function<void(int)>;

// Shows alert over parent (modal) and calls on_choice once with the answer.
void show_alert(GtkWindow* parent, const tabs::Alert& alert, AlertChoice on_choice);

enum class FileMode { Open, Save, Folder };

struct FileResult {
  std::optional<std::string> path;  // the chosen path; none when dismissed or failed
  bool dismissed = false;           // the person closed the dialog without choosing
  std::string error;                // why it failed, when it did
};

struct FileRequest {
  FileMode mode = FileMode::Open;
  std::optional<std::string> folder;          // where the dialog starts
  std::optional<std::string> suggested_name;  // Save: the name proposed
};

void file_dialog(GtkWindow* parent, const FileRequest& request, std::function<void(FileResult)> on_result);

// --- For tests ----------------------------------------------------------------------------------------------------

struct Question {
  std::optional<tabs::Alert> alert;
  std::optional<FileRequest> file;
};

// Installed: every question goes to it with the function that answers it (an int for an alert, a FileResult for a
// file dialog; call exactly one, once). Uninstalled with an empty function.
using Answerer = std::function<void(const Question&, std::function<void(int)> answer_alert,
                                    std::function<void(FileResult)> answer_file)>;
void set_answerer(Answerer answerer);

}  // namespace orrery::gtk
