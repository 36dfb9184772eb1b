#include "orrery/gtk/dialogs.hpp"

#include <memory>

#include "orrery/gtk/callbacks.hpp"

namespace orrery::gtk {

namespace {

Answerer& answerer() {
  static Answerer a;
  return a;
}

// One answer per question: later calls (a response after a destroy, a test answering twice) do nothing.
template <class T>
std::function<void(T)> once(std::function<void(T)> f) {
  auto slot = std::make_shared<std::function<void(T)>>(std::move(f));
  return [slot](T v) {
    if (!*slot) return;
    auto g = std::move(*slot);
    *slot = nullptr;
    g(std::move(v));
  };
}

}  // namespace

void set_answerer(Answerer a) { answerer() = std::move(a); }

void show_alert(GtkWindow* parent, const tabs::Alert& alert, AlertChoice on_choice) {
  auto answer = once<int>(std::move(on_choice));
  if (answerer()) {
    answerer()(Question{alert, std::nullopt}, answer, [](FileResult) {});
    return;
  }
  // Built with no format string: the message is shown as it is, never read as printf directives.
  GtkWidget* dialog = GTK_WIDGET(g_object_new(GTK_TYPE_MESSAGE_DIALOG, "message-type", GTK_MESSAGE_QUESTION,
                                              "buttons", GTK_BUTTONS_NONE, "text", alert.message.c_str(),
                                              "modal", TRUE, "transient-for", parent, nullptr));
  if (!alert.detail.empty()) g_object_set(dialog, "secondary-text", alert.detail.c_str(), nullptr);
  for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), alert.buttons[i].c_str(), static_cast<int>(i));
  }
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), alert.default_index);
  const int cancel = alert.cancel_index;
  const int count = static_cast<int>(alert.buttons.size());
  connect<void(GtkDialog*, int)>(dialog, "response", [answer, cancel, count](GtkDialog* d, int response) {
    gtk_window_destroy(GTK_WINDOW(d));
    answer(response >= 0 && response < count ? response : cancel);
  });
  gtk_window_present(GTK_WINDOW(dialog));
}

void file_dialog(GtkWindow* parent, const FileRequest& request, std::function<void(FileResult)> on_result) {
  auto answer = once<FileResult>(std::move(on_result));
  if (answerer()) {
    answerer()(Question{std::nullopt, request}, [](int) {}, answer);
    return;
  }
  GtkFileChooserAction action = request.mode == FileMode::Open   ? GTK_FILE_CHOOSER_ACTION_OPEN
                                : request.mode == FileMode::Save ? GTK_FILE_CHOOSER_ACTION_SAVE
                                                                 : GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER;
  const char* title = request.mode == FileMode::Open   ? "Open File"
                      : request.mode == FileMode::Save ? "Save File"
                                                       : "Open Folder";
  const char* accept = request.mode == FileMode::Save ? "_Save" : "_Open";
  GtkFileChooserNative* chooser = gtk_file_chooser_native_new(title, parent, action, accept, "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  if (request.folder) {
    GFile* folder = g_file_new_for_path(request.folder->c_str());
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder, nullptr);
    g_object_unref(folder);
  }
  if (request.suggested_name && request.mode == FileMode::Save) {
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), request.suggested_name->c_str());
  }
  connect<void(GtkNativeDialog*, int)>(chooser, "response", [answer](GtkNativeDialog* d, int response) {
    FileResult result;
    if (response == GTK_RESPONSE_ACCEPT) {
      GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(d));
      char* path = file ? g_file_get_path(file) : nullptr;
      if (path) {
        result.path = path;
      } else {
        result.error = "The chosen file isn't on this computer's file system.";
      }
      g_free(path);
      if (file) g_object_unref(file);
    } else {
      result.dismissed = true;
    }
    gtk_native_dialog_destroy(d);
    g_object_unref(d);  // the reference gtk_file_chooser_native_new gave us
    answer(std::move(result));
  });
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

}  // namespace orrery::gtk
