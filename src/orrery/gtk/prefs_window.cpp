#include "orrery/gtk/prefs_window.hpp"

#include <gtk/gtk.h>

#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "orrery/gtk/callbacks.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/key_seq.hpp"
#include "orrery/key_sets.hpp"
#include "orrery/settings.hpp"
#include "orrery/user_keys.hpp"

namespace orrery::gtk {

namespace {

namespace cr = command_registry;
namespace kp = key_prefs;
namespace fs = std::filesystem;
using kelp::Value;

constexpr const char* PARENT_KEY = "orrery-prefs-window";
constexpr const char* STATE_KEY = "orrery-prefs-state";
constexpr const char* ROW_KEY = "orrery-prefs-row";

// A command's doc inside a sentence: quoted, without its own closing period.
std::string in_quotes(std::string s) {
  if (s.ends_with(".")) s.pop_back();
  return "\u201c" + s + "\u201d";
}

struct RowWidgets {
  GtkWidget* row = nullptr;
  GtkWidget* chord = nullptr;
  GtkWidget* record = nullptr;
  GtkWidget* add_step = nullptr;
  GtkWidget* reset = nullptr;
};

// What the next key press records: the row's whole key, or one more step after it.
struct Recording {
  size_t row = 0;
  bool step = false;
};

struct Prefs : std::enable_shared_from_this<Prefs> {
  using Edit = std::function<Value(const Value&)>;

  PrefsDeps deps;
  GtkWindow* window = nullptr;
  GtkWindow* parent = nullptr;  // cleared by GLib when the main window goes
  GtkWidget* search = nullptr;
  GtkWidget* list = nullptr;
  GtkWidget* message = nullptr;
  GtkWidget* key_set = nullptr;
  // Columns line up through size groups, the header's with the rows' (a heading's font is wider), and a button
  // that reads "Stop" while it records keeps its width.
  GtkSizeGroup *key_width = nullptr, *source_width = nullptr, *actions_width = nullptr, *record_width = nullptr,
               *step_width = nullptr;
  gulong key_set_handler = 0;
  bool closed = false;
  bool asking = false;  // a question is up: key presses and buttons wait for its answer

  cr::Table commands;
  PrefsKeys keys;
  std::vector<kp::Row> rows;
  std::vector<RowWidgets> widgets;
  std::optional<Recording> recording;

  ~Prefs() {
    for (GtkSizeGroup* g : {key_width, source_width, actions_width, record_width, step_width})
      if (g) g_object_unref(g);
    if (parent) g_object_remove_weak_pointer(G_OBJECT(parent), reinterpret_cast<gpointer*>(&parent));
  }

  fs::path keys_file() const {
    return deps.keys_path.empty() ? user_keys::keys_path(deps.settings_path) : deps.keys_path;
  }
  std::string os() const { return deps.os.empty() ? std::string(key_seq::os_name()) : deps.os; }

  void say(const std::string& text) { gtk_label_set_text(GTK_LABEL(message), text.c_str()); }
  void report(const std::string& line) {
    if (deps.report) deps.report(line);
  }

  std::string doc_of(const std::string& command) const {
    if (const cr::Command* c = commands.find(command); c && !c->doc.empty()) return c->doc;
    return ":" + command;
  }

  // --- Laying the rows --------------------------------------------------------------------------------------------

  void refresh() {
    recording.reset();
    commands = deps.commands ? deps.commands() : cr::commands();
    keys = deps.keys ? deps.keys() : live_prefs_keys();
    rows = kp::rows(keys.live, keys.sources, commands, os());
    while (GtkWidget* child = gtk_widget_get_first_child(list)) gtk_list_box_remove(GTK_LIST_BOX(list), child);
    widgets.clear();
    widgets.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) widgets.push_back(make_row(i));
    gtk_list_box_invalidate_filter(GTK_LIST_BOX(list));
  }

  static GtkWidget* cell(const std::string& text, int chars, bool expand) {
    GtkWidget* l = gtk_label_new(text.c_str());
    gtk_label_set_xalign(GTK_LABEL(l), 0);
    gtk_label_set_ellipsize(GTK_LABEL(l), PANGO_ELLIPSIZE_END);
    if (chars > 0) {
      gtk_label_set_width_chars(GTK_LABEL(l), chars);
      gtk_label_set_max_width_chars(GTK_LABEL(l), chars);
    }
    gtk_widget_set_hexpand(l, expand);
    return l;
  }

  GtkWidget* button(const char* label, size_t i, void (Prefs::*on_click)(size_t)) {
    GtkWidget* b = gtk_button_new_with_label(label);
    gtk_widget_set_valign(b, GTK_ALIGN_CENTER);
    gtk_widget_add_css_class(b, "flat");
    connect<void(GtkButton*)>(b, "clicked", [this, i, on_click](GtkButton*) {
      if (!closed && !asking && i < rows.size()) (this->*on_click)(i);
    });
    return b;
  }

  RowWidgets make_row(size_t i) {
    const kp::Row& r = rows[i];
    RowWidgets w;
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_margin_start(box, 12);
    gtk_widget_set_margin_end(box, 12);
    gtk_widget_set_margin_top(box, 1);
    gtk_widget_set_margin_bottom(box, 1);
    GtkWidget* doc = cell(r.doc.empty() ? ":" + r.command : r.doc, 0, true);
    gtk_widget_set_tooltip_text(doc, (":" + r.command).c_str());
    w.chord = cell(r.chord.empty() ? "No key" : r.chord, 18, false);
    gtk_widget_add_css_class(w.chord, r.chord.empty() ? "dim-label" : "monospace");
    GtkWidget* source = cell(r.source, 14, false);
    gtk_widget_add_css_class(source, "dim-label");
    w.record = button("Record", i, &Prefs::start_record);
    w.add_step = button("Add Step", i, &Prefs::start_step);
    w.reset = button("Reset", i, &Prefs::reset);
    if (r.fixed) {
      const char* why = "This key is part of a chain of keys, so it can't be recorded over.";
      gtk_widget_set_sensitive(w.record, FALSE);
      gtk_widget_set_sensitive(w.add_step, FALSE);
      gtk_widget_set_tooltip_text(w.chord, why);
    } else if (!r.binding) {
      gtk_widget_set_sensitive(w.add_step, FALSE);
    }
    GtkWidget* actions = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    for (GtkWidget* b : {w.record, w.add_step, w.reset}) gtk_box_append(GTK_BOX(actions), b);
    gtk_size_group_add_widget(actions_width, actions);
    gtk_size_group_add_widget(key_width, w.chord);
    gtk_size_group_add_widget(source_width, source);
    gtk_size_group_add_widget(record_width, w.record);
    gtk_size_group_add_widget(step_width, w.add_step);
    for (GtkWidget* c : {doc, w.chord, source, actions}) gtk_box_append(GTK_BOX(box), c);
    w.row = gtk_list_box_row_new();
    gtk_list_box_row_set_child(GTK_LIST_BOX_ROW(w.row), box);
    gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(w.row), FALSE);
    g_object_set_data(G_OBJECT(w.row), ROW_KEY, GSIZE_TO_POINTER(i + 1));
    gtk_list_box_append(GTK_LIST_BOX(list), w.row);
    return w;
  }

  bool shown(size_t i) const {
    const char* text = gtk_editable_get_text(GTK_EDITABLE(search));
    return !kp::filter_rows({rows[i]}, text ? text : "").empty();
  }

  // --- Recording --------------------------------------------------------------------------------------------------

  void stop_recording() {
    if (!recording) return;
    const size_t i = recording->row;
    recording.reset();
    if (i < widgets.size()) {
      gtk_label_set_text(GTK_LABEL(widgets[i].chord), rows[i].chord.empty() ? "No key" : rows[i].chord.c_str());
      gtk_button_set_label(GTK_BUTTON(widgets[i].record), "Record");
      gtk_button_set_label(GTK_BUTTON(widgets[i].add_step), "Add Step");
    }
  }

  void begin(size_t i, bool step) {
    const bool same = recording && recording->row == i && recording->step == step;
    stop_recording();
    if (same) {  // the button reads "Stop" while it records
      say("");
      return;
    }
    recording = Recording{i, step};
    gtk_label_set_text(GTK_LABEL(widgets[i].chord), "Press a key\u2026");
    gtk_button_set_label(GTK_BUTTON(step ? widgets[i].add_step : widgets[i].record), "Stop");
    if (step)
      say("Press the key to add after " + rows[i].chord + " for " + in_quotes(rows[i].doc) + ". Escape stops.");
    else
      say("Press the new key for " + in_quotes(rows[i].doc) + ". Escape stops.");
  }

  void start_record(size_t i) {
    if (!rows[i].fixed) begin(i, false);
  }
  void start_step(size_t i) {
    if (!rows[i].fixed && rows[i].binding) begin(i, true);
  }

  bool key_press(uint32_t keyval, uint32_t state) {
    if (closed || !recording || asking) return false;
    const uint32_t held = state & (keymap::MASK_SHIFT | keymap::MASK_CTRL | keymap::MASK_ALT | keymap::MASK_SUPER |
                                   keymap::MASK_META);
    if (keyval == GDK_KEY_Escape && held == 0) {
      stop_recording();
      say("");
      return true;
    }
    const Recording rec = *recording;
    const std::string os_name = os();
    kp::Press p = rec.step ? kp::press_step(keyval, state, std::nullopt, os_name)
                           : kp::press_chord(keyval, state, std::nullopt, os_name);
    if (p.waiting) return true;
    if (!p.error.empty()) {
      say(p.error);
      return true;
    }
    stop_recording();
    if (auto why = blocked()) {
      fail(*why);
      return true;
    }
    if (rec.step) recorded_step(rec.row, p.chord);
    else recorded_chord(rec.row, p.chord);
    return true;
  }

  std::string taken_text(const kp::Taken& t) const {
    return t.binding.command.empty() ? "a key Orrery handles itself" : in_quotes(doc_of(t.binding.command));
  }

  void recorded_chord(size_t i, const Value& chord) {
    const kp::Row row = rows[i];
    const std::string os_name = os();
    const std::string label = kp::chord_text(chord, os_name);
    if (label == row.chord) {  // recorded as is, it would only name the key for removal and bind it again
      say(label + " is already the key of " + in_quotes(row.doc) + ".");
      return;
    }
    const auto taken = kp::conflict(chord, row.command, keys.live, os_name);
    const auto seqs = kp::sequences_on(chord, row.command, keys.live, os_name);
    // A binding that fires on the chord only because it asks for fewer modifiers (Ctrl+Y firing on Ctrl+Shift+Y)
    // keeps its own key: yours go first, so the new chord wins without taking Ctrl+Y away from that command.
    const std::string theirs = taken ? kp::chord_text(taken->binding, os_name) : "";
    const bool wider = taken && theirs != label;
    const kp::LiveKeys live = keys.live;
    Edit edit = [row, chord, live, os_name, wider](const Value& file) {
      return wider ? kp::put(file, row.scope, row.binding, kp::chord_binding(row, chord))
                   : kp::record(file, row, chord, live, os_name);
    };
    const std::string done = label + " now runs " + in_quotes(row.doc) + ".";
    if (!taken && seqs.empty()) {
      write(edit, done);
      return;
    }
    std::string why;
    if (taken && wider)
      why = label + " runs " + taken_text(*taken) + " now, through its key " + theirs + "; recording it for " +
            in_quotes(row.doc) + " leaves " + theirs + " to that command.";
    else if (taken)
      why = label + " runs " + taken_text(*taken) + " now; recording it for " + in_quotes(row.doc) +
            " takes it from that command.";
    if (!seqs.empty()) {
      std::string names;
      for (size_t k = 0; k < seqs.size(); ++k)
        names += (k == 0 ? "" : k + 1 == seqs.size() ? " and " : ", ") + taken_text(seqs[k]) + " (" +
                 kp::chord_text(seqs[k].binding, os_name) + ")";
      why += std::string(why.empty() ? "" : " ") + label + " starts the keys of " + names +
             "; as a key of its own it would run ahead of " + (seqs.size() == 1 ? "it." : "them.");
    }
    say(why);
    tabs::Alert alert{"Record " + label + " for " + in_quotes(row.doc) + "?", why, {"Record", "Cancel"}, 1, 1};
    ask(alert, [edit, done](Prefs& self, int choice) {
      if (choice == 0) self.write(edit, done);
      else self.say("Nothing was recorded.");
    });
  }

  void recorded_step(size_t i, const Value& chord) {
    const kp::Row row = rows[i];
    if (!row.binding) return;
    const std::string os_name = os();
    const Value longer = kp::with_step(*row.binding, chord);
    const std::string label = kp::chord_text(longer, os_name);
    const auto clashes = kp::step_conflicts(longer, row.command, keys.live, os_name);
    if (!clashes.empty()) {
      // Added anyway, the sequence would either never finish or never start: the clash is named, nothing written.
      const kp::Taken& c = clashes.front();
      say(label + " can't be added for " + in_quotes(row.doc) + ": " + taken_text(c) + " has " +
          kp::chord_text(c.binding, os_name) + ". Give that command another key first.");
      return;
    }
    write([row, chord](const Value& file) { return kp::add_step(file, row, chord); },
          label + " now runs " + in_quotes(row.doc) + ".");
  }

  void reset(size_t i) {
    stop_recording();
    const kp::Row row = rows[i];
    write([row](const Value& file) { return kp::reset_command(file, row.command); },
          in_quotes(row.doc) + " has Orrery's keys again.", in_quotes(row.doc) + " already has Orrery's keys.");
  }

  // --- Questions and writing --------------------------------------------------------------------------------------

  void ask(const tabs::Alert& alert, std::function<void(Prefs&, int)> then) {
    asking = true;
    std::weak_ptr<Prefs> weak = weak_from_this();
    show_alert(window, alert, [weak, then](int choice) {
      auto self = weak.lock();
      if (!self || self->closed) return;
      self->asking = false;
      then(*self, choice);
    });
  }

  // keys.edn's text as it stands: nothing for a missing file, an error sentence for one that can't be edited.
  struct Current {
    bool missing = false;
    std::optional<std::string> text;
    std::optional<std::string> refused;
  };
  Current current_text() const {
    const fs::path path = keys_file();
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found) return {true, std::nullopt, std::nullopt};
    if (ec) return {};  // edit_keys_file words the failure
    // Opening a FIFO for reading would wait for a writer, with the window frozen.
    if (st.type() != fs::file_type::regular)
      return {false, std::nullopt, "Preferences left " + path.string() + " as it is: it isn't a file."};
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};  // edit_keys_file opens it again and words the failure
    std::ostringstream s;
    s << in.rdbuf();
    return {false, s.str(), std::nullopt};
  }

  // Why keys.edn can't be edited, checked before any question about the key: a file that isn't a file or doesn't
  // read as keys is never written over.
  std::optional<std::string> blocked() const {
    Current cur = current_text();
    if (cur.refused) return cur.refused;
    if (!cur.text) return std::nullopt;
    auto file = kp::file_keys(*cur.text);
    if (const auto* why = std::get_if<std::string>(&file))
      return "Preferences left " + keys_file().string() + " as it is: the file " + *why + ". Fix it by hand first.";
    return std::nullopt;
  }

  // Writes keys.edn with edit applied. A hand-written file is edited in place, its comments kept (the write refuses
  // in a sentence rather than lose them); a file that doesn't read is left alone and the sentence says why.
  void write(const Edit& edit, const std::string& done, const std::string& unchanged = "") {
    Current cur = current_text();
    if (cur.refused) {
      fail(*cur.refused);
      return;
    }
    if (cur.text) {
      auto file = kp::file_keys(*cur.text);
      if (const Value* v = std::get_if<Value>(&file)) {
        if (edit(*v) == *v) {
          say(unchanged.empty() ? "Nothing changed in " + keys_file().string() + "." : unchanged);
          return;
        }
      }
    } else if (cur.missing) {
      const Value blank = std::get<Value>(kp::file_keys(""));
      if (edit(blank) == blank) {  // no keys.edn, and nothing to put in one
        say(unchanged.empty() ? "Nothing changed." : unchanged);
        return;
      }
    }
    write_now(edit, done);
  }

  void fail(const std::string& why) {
    say(why);
    report("; " + why);
  }

  void write_now(const Edit& edit, const std::string& done) {
    std::optional<std::string> err;
    try {
      err = kp::edit_keys_file(keys_file(), edit);
    } catch (const std::exception& e) {
      err = "Preferences couldn't write " + keys_file().string() + ": " + e.what();
    }
    if (err) {
      fail(*err);
      return;
    }
    if (deps.reload_keys) deps.reload_keys();
    refresh();
    say(done);
  }

  // --- Key sets ---------------------------------------------------------------------------------------------------

  void choose_key_set(guint index) {
    const auto ids = key_sets::ids();
    if (index >= ids.size() || closed) return;
    const std::string id = ids[index];
    if (id == key_sets::live()) return;
    stop_recording();
    if (auto err = settings::save_settings(deps.settings_path,
                                           kelp::make_map({kelp::keyword("key-set"), kelp::keyword(id)}))) {
      fail(*err);
      select_key_set(key_sets::live());
      return;
    }
    if (deps.key_set_changed) deps.key_set_changed(id);
    refresh();
    say("The " + in_quotes(key_sets::label(id)) + " key set is on.");
  }

  void select_key_set(const std::string& id) {
    const auto ids = key_sets::ids();
    for (size_t k = 0; k < ids.size(); ++k)
      if (ids[k] == id) {
        if (key_set_handler) g_signal_handler_block(key_set, key_set_handler);
        gtk_drop_down_set_selected(GTK_DROP_DOWN(key_set), guint(k));
        if (key_set_handler) g_signal_handler_unblock(key_set, key_set_handler);
      }
  }

  // --- Building the window ----------------------------------------------------------------------------------------

  GtkWidget* keys_page() {
    GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_widget_set_margin_start(page, 12);
    gtk_widget_set_margin_end(page, 12);
    gtk_widget_set_margin_top(page, 12);
    gtk_widget_set_margin_bottom(page, 12);

    GtkWidget* top = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    search = gtk_search_entry_new();
    g_object_set(search, "placeholder-text", "Filter by command, key or source", nullptr);
    gtk_widget_set_hexpand(search, TRUE);
    GtkWidget* set_label = gtk_label_new("Key set");
    GtkStringList* labels = gtk_string_list_new(nullptr);
    for (const auto& s : key_sets::sets()) gtk_string_list_append(labels, s.label.c_str());
    key_set = gtk_drop_down_new(G_LIST_MODEL(labels), nullptr);
    gtk_box_append(GTK_BOX(top), search);
    gtk_box_append(GTK_BOX(top), set_label);
    gtk_box_append(GTK_BOX(top), key_set);
    gtk_box_append(GTK_BOX(page), top);

    GtkWidget* hint = gtk_label_new(
        "Record gives a command a new key, Add Step adds a further key after its key, and Reset puts back "
        "Orrery's keys. Your keys are kept in keys.edn.");
    gtk_label_set_wrap(GTK_LABEL(hint), TRUE);
    gtk_label_set_xalign(GTK_LABEL(hint), 0);
    gtk_widget_add_css_class(hint, "dim-label");
    gtk_box_append(GTK_BOX(page), hint);

    for (GtkSizeGroup** g : {&key_width, &source_width, &actions_width, &record_width, &step_width})
      *g = gtk_size_group_new(GTK_SIZE_GROUP_HORIZONTAL);
    GtkWidget* header = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_margin_start(header, 13);
    gtk_widget_set_margin_end(header, 13);
    GtkWidget* header_key = cell("Key", 0, false);
    GtkWidget* header_source = cell("Source", 0, false);
    GtkWidget* header_end = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_size_group_add_widget(key_width, header_key);
    gtk_size_group_add_widget(source_width, header_source);
    gtk_size_group_add_widget(actions_width, header_end);
    for (GtkWidget* c : {cell("Command", 0, true), header_key, header_source, header_end}) {
      if (GTK_IS_LABEL(c)) gtk_widget_add_css_class(c, "heading");
      gtk_box_append(GTK_BOX(header), c);
    }
    gtk_box_append(GTK_BOX(page), header);

    list = gtk_list_box_new();
    gtk_list_box_set_selection_mode(GTK_LIST_BOX(list), GTK_SELECTION_NONE);
    gtk_list_box_set_filter_func(
        GTK_LIST_BOX(list),
        [](GtkListBoxRow* row, gpointer data) -> gboolean {
          auto* self = static_cast<Prefs*>(data);
          const size_t i = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(row), ROW_KEY));
          return i > 0 && i <= self->rows.size() && self->shown(i - 1);
        },
        this, nullptr);
    GtkWidget* scroll = gtk_scrolled_window_new();
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroll), list);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_widget_set_vexpand(scroll, TRUE);
    GtkWidget* frame = gtk_frame_new(nullptr);
    gtk_frame_set_child(GTK_FRAME(frame), scroll);
    gtk_box_append(GTK_BOX(page), frame);

    message = gtk_label_new("");
    gtk_label_set_wrap(GTK_LABEL(message), TRUE);
    gtk_label_set_xalign(GTK_LABEL(message), 0);
    gtk_label_set_selectable(GTK_LABEL(message), TRUE);
    gtk_box_append(GTK_BOX(page), message);

    connect<void(GtkSearchEntry*)>(search, "search-changed", [this](GtkSearchEntry*) {
      if (!closed) gtk_list_box_invalidate_filter(GTK_LIST_BOX(list));
    });
    select_key_set(key_sets::live());
    key_set_handler = connect<void(GObject*, GParamSpec*)>(key_set, "notify::selected", [this](GObject*, GParamSpec*) {
      if (!closed) choose_key_set(gtk_drop_down_get_selected(GTK_DROP_DOWN(key_set)));
    });
    return page;
  }

  void build() {
    window = GTK_WINDOW(gtk_window_new());
    gtk_window_set_title(window, "Preferences");
    gtk_window_set_transient_for(window, parent);
    gtk_window_set_destroy_with_parent(window, TRUE);
    gtk_window_set_default_size(window, 960, 640);
    GtkWidget* notebook = gtk_notebook_new();
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook), keys_page(), gtk_label_new("Keys"));
    gtk_window_set_child(window, notebook);

    GtkEventController* keys_ctl = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys_ctl, GTK_PHASE_CAPTURE);
    connect<gboolean(GtkEventControllerKey*, guint, guint, GdkModifierType)>(
        keys_ctl, "key-pressed", [this](GtkEventControllerKey*, guint keyval, guint, GdkModifierType state) {
          return key_press(gdk_keyval_to_lower(keyval), uint32_t(state)) ? TRUE : FALSE;
        });
    gtk_widget_add_controller(GTK_WIDGET(window), keys_ctl);
  }
};

Prefs* state_of(GtkWindow* prefs) {
  if (!prefs) return nullptr;
  auto* holder = static_cast<std::shared_ptr<Prefs>*>(g_object_get_data(G_OBJECT(prefs), STATE_KEY));
  return holder ? holder->get() : nullptr;
}

}  // namespace

PrefsKeys live_prefs_keys() {
  PrefsKeys out;
  const auto yours = user_keys::live();
  const auto set = key_sets::live_layer();
  for (std::string_view scope : {"window", "editor"}) {
    const bool window = scope == "window";
    cr::Layers layers{yours->scope(scope), set->scope(scope), {}, cr::shipped_bindings(scope), yours->remove,
                      set->remove};
    (window ? out.live.window : out.live.editor) =
        cr::live_bindings(layers, window ? cr::window_commands() : cr::editor_commands(), nullptr);
  }
  out.sources.push_back({"yours", yours->window, yours->editor});
  out.sources.push_back({key_sets::label(set->id), set->window, set->editor});
  return out;
}

GtkWindow* prefs_window_of(GtkWindow* parent) {
  return parent ? static_cast<GtkWindow*>(g_object_get_data(G_OBJECT(parent), PARENT_KEY)) : nullptr;
}

GtkWindow* open_prefs_window(GtkWindow* parent, PrefsDeps deps) {
  if (GtkWindow* open = prefs_window_of(parent)) {
    if (Prefs* p = state_of(open); p && !p->asking) {
      p->deps = std::move(deps);
      p->refresh();
    }
    gtk_window_present(open);
    return open;
  }
  auto state = std::make_shared<Prefs>();
  state->deps = std::move(deps);
  state->parent = parent;
  if (parent) g_object_add_weak_pointer(G_OBJECT(parent), reinterpret_cast<gpointer*>(&state->parent));
  state->build();
  GtkWindow* w = state->window;
  g_object_set_data_full(G_OBJECT(w), STATE_KEY, new std::shared_ptr<Prefs>(state),
                         [](gpointer p) { delete static_cast<std::shared_ptr<Prefs>*>(p); });
  if (parent) g_object_set_data(G_OBJECT(parent), PARENT_KEY, w);
  Prefs* raw = state.get();
  connect<void(GtkWidget*)>(w, "destroy", [raw](GtkWidget*) {
    raw->closed = true;
    if (raw->parent && g_object_get_data(G_OBJECT(raw->parent), PARENT_KEY) == raw->window)
      g_object_set_data(G_OBJECT(raw->parent), PARENT_KEY, nullptr);
  });
  state->refresh();
  gtk_window_present(w);
  return w;
}

bool prefs_key_press(GtkWindow* prefs, uint32_t keyval, uint32_t state) {
  Prefs* p = state_of(prefs);
  return p && p->key_press(gdk_keyval_to_lower(keyval), state);
}

std::vector<ShownRow> prefs_shown_rows(GtkWindow* prefs) {
  std::vector<ShownRow> out;
  Prefs* p = state_of(prefs);
  if (!p) return out;
  for (size_t i = 0; i < p->rows.size(); ++i)
    if (gtk_widget_get_child_visible(p->widgets[i].row)) {
      const auto& r = p->rows[i];
      out.push_back({r.command, r.doc, r.chord, r.source, p->widgets[i].record, p->widgets[i].add_step,
                     p->widgets[i].reset});
    }
  return out;
}

GtkWidget* prefs_search_entry(GtkWindow* prefs) {
  Prefs* p = state_of(prefs);
  return p ? p->search : nullptr;
}

GtkWidget* prefs_key_set_chooser(GtkWindow* prefs) {
  Prefs* p = state_of(prefs);
  return p ? p->key_set : nullptr;
}

std::string prefs_message(GtkWindow* prefs) {
  Prefs* p = state_of(prefs);
  return p ? gtk_label_get_text(GTK_LABEL(p->message)) : "";
}

}  // namespace orrery::gtk
