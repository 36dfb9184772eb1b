#include "orrery/gtk/window.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <variant>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "orrery/command_registry.hpp"
#include "orrery/commands.hpp"
#include "orrery/console.hpp"
#include "orrery/describe.hpp"
#include "orrery/dialect.hpp"
#include "orrery/edit.hpp"
#include "orrery/gtk/appearance.hpp"
#include "orrery/gtk/buffer.hpp"
#include "orrery/gtk/callbacks.hpp"
#include "orrery/gtk/console_view.hpp"
#include "orrery/gtk/dialogs.hpp"
#include "orrery/gtk/editor.hpp"
#include "orrery/gtk/editor_help.hpp"
#include "orrery/gtk/menu_bar.hpp"
#include "orrery/gtk/palette_view.hpp"
#include "orrery/gtk/prefs_window.hpp"
#include "orrery/format.hpp"
#include "orrery/hints.hpp"
#include "orrery/parinfer_edit.hpp"
#include "orrery/key_seq.hpp"
#include "orrery/key_sets.hpp"
#include "orrery/layouts.hpp"
#include "orrery/live_keys.hpp"
#include "orrery/login_path.hpp"
#include "orrery/mcp/tools.hpp"
#include "orrery/nrepl/evaluator.hpp"
#include "orrery/palette.hpp"
#include "orrery/runtime_registry.hpp"
#include "orrery/settings.hpp"
#include "orrery/structural.hpp"
#include "orrery/tabs.hpp"
#include "orrery/user_keys.hpp"
#include "orrery/text_file.hpp"
#include "orrery/theme.hpp"

namespace fs = std::filesystem;

namespace orrery::gtk {

LaunchSplit launch_split(LaunchOptions base, const std::vector<fs::path>& paths, bool first_is_dir) {
  LaunchSplit split{std::move(base), {}};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i == 0) {
      (first_is_dir ? split.launch.dir : split.launch.file) = paths[0];
    } else {
      split.rest.push_back(paths[i]);
    }
  }
  return split;
}

namespace {

fs::path home_dir() {
  const char* home = std::getenv("HOME");
  return home ? fs::path(home) : fs::path();
}

std::string display_folder(const fs::path& folder) { return tabs::home_relative(folder, home_dir()); }

console::Kind output_kind(eval::OutputKind k) {
  return k == eval::OutputKind::Err ? console::Kind::Err : console::Kind::Out;
}

std::string runtime_display(const dialect::Selection& s) {
  if (s.profile) {
    if (auto name = s.profile->runtime_display_name(s.runtime)) return *name;
  }
  return dialect::runtime_name(s.runtime);
}

struct TabRec {
  int id = 0;
  std::shared_ptr<Editor> editor;
  std::shared_ptr<EditorHelp> help;  // its completion popup, quick docs and jumps
  GtkWidget* page = nullptr;   // the editor's widget, the notebook page
  GtkWidget* label = nullptr;  // the tab strip's label
  std::optional<fs::path> path;
  std::optional<dialect::Selection> selection;  // of the file; none for Untitled
  std::optional<tabs::Stat> seen;               // the stat the tab last followed
  std::optional<tabs::Stat> pending;            // a moved stat waiting a tick to settle
  bool missing_reported = false;
  // The file changed on disk while the tab had unsaved edits: the next Save asks before writing over it.
  bool disk_changed_under_edits = false;
};

class WindowImpl final : public Window, public std::enable_shared_from_this<WindowImpl> {
 public:
  WindowImpl(GtkApplication* app, LaunchOptions options) : app_(app), options_(std::move(options)) {}

  void build();

  GtkWindow* gtk_window() override { return window_; }
  ConsoleView& console() override { return *console_; }
  std::shared_ptr<Editor> active_editor() override {
    TabRec* t = active();
    return t ? t->editor : nullptr;
  }
  evaluator::EvaluatorPtr evaluator() override { return ev_; }
  std::string status() override { return gtk_label_get_text(GTK_LABEL(status_label_)); }
  std::string title() override {
    const char* t = gtk_window_get_title(window_);
    return t ? t : "";
  }
  bool is_closed() override { return closed_; }

  std::size_t tab_count() override { return tabs_.size(); }
  std::size_t active_index() override { return index_of(active_id_).value_or(0); }
  std::vector<std::string> tab_labels() override { return tabs::labels(tab_views()); }
  std::optional<fs::path> tab_path(std::size_t i) override {
    return i < tabs_.size() ? tabs_[i].path : std::nullopt;
  }
  std::shared_ptr<Editor> tab_editor(std::size_t i) override {
    return i < tabs_.size() ? tabs_[i].editor : nullptr;
  }
  std::shared_ptr<EditorHelp> active_help() override {
    TabRec* t = active();
    return t ? t->help : nullptr;
  }
  std::shared_ptr<EditorHelp> console_help() override { return console_help_; }
  void new_tab() override;
  void select_tab(std::size_t index) override;
  void close_active_tab() override;
  std::optional<std::string> open_file(const fs::path& path) override;
  void open_dialog() override;
  void save() override;
  void save_as() override;
  std::optional<std::string> save_to(const fs::path& path) override;
  void poll_disk() override;

  void run() override;
  void run_form() override;
  void run_selection() override;
  void stop() override;

  void set_theme(const std::string& choice) override;
  void cycle_theme() override {
    set_theme(theme::next_theme(theme_choice_));
    if (options_.settings_path) save_setting("theme", kelp::keyword(theme_choice_));
  }
  void zoom_to(int px) {
    font_px_ = px;
    set_theme(theme_choice_);
    set_status("Font size " + std::to_string(px) + " px");
  }
  std::string theme_choice() override { return theme_choice_; }

  int press_key(guint keyval, GdkModifierType state) override { return handle_window_key(keyval, state); }

  void set_key_layers(const command_registry::Layers& window, const command_registry::Layers& editor) override;
  void run_command(const std::string& id) override;
  PaletteView& palette() override { return *palette_; }
  MenuBar& menu_bar() override { return *menu_bar_; }
  std::string key_hint() override {
    return gtk_widget_get_visible(hint_label_) ? gtk_label_get_text(GTK_LABEL(hint_label_)) : "";
  }
  std::string last_command() override { return last_command_; }
  void stub_commands(std::function<bool(std::string_view)> stub) override { stub_ = std::move(stub); }

  void request_close() override {
    if (!closed_) gtk_window_close(window_);
  }

 private:
  // --- Building ---
  void build_header();
  void build_status_bar();
  void build_console();
  void connect_window();
  int handle_window_key(guint keyval, GdkModifierType state);
  command_registry::Ctx window_ctx();
  command_registry::Ctx editor_ctx(const std::shared_ptr<Editor>& ed);
  int handle_editor_key(const std::shared_ptr<Editor>& ed, guint keyval, GdkModifierType state);

  // --- Commands, palette, menus and keys ---
  void build_commands();
  command_registry::Command recorded(command_registry::Command c);
  command_registry::Ctxs ctxs();
  std::vector<palette::Entry> palette_entries();
  void run_entry_id(const kelp::Value& id);
  void open_palette();
  void run_bang(const std::string& text);
  void describe_key(const keymap::Key& key);
  void print_lines(const std::vector<std::string>& lines);
  // The settings file this window reads and writes; throws a sentence when the window was given none.
  const fs::path& settings_file() const;
  void open_prefs();
  void open_keys_file();
  // Reads keys.edn and the key set again, prints the report (a forced load says when there is no file) and lays the
  // keys out anew.
  void reload_keys(bool forced);
  void save_setting(const char* key, kelp::Value value);
  // Saves what shows (this window: the split between editor and console) under the layout's name.
  void save_layout();
  void toggle_reset_on_run();
  void sync_reset_tick();
  void update_hint();
  void watch_key_seq();

  // --- Tabs ---
  TabRec* active() {
    auto i = index_of(active_id_);
    return i ? &tabs_[*i] : nullptr;
  }
  std::optional<std::size_t> index_of(int id) const {
    for (std::size_t i = 0; i < tabs_.size(); ++i) {
      if (tabs_[i].id == id) return i;
    }
    return std::nullopt;
  }
  std::vector<tabs::Tab> tab_views() {
    std::vector<tabs::Tab> v;
    for (auto& t : tabs_) v.push_back({t.path, t.editor->is_dirty()});
    return v;
  }
  TabRec& add_tab(const std::optional<fs::path>& path, const std::string& text, std::optional<std::size_t> after);
  void remove_tab(std::size_t index);
  void activate_tab(int id);
  void relabel();
  void update_title();
  std::string tab_name(const TabRec& t) {
    return t.path ? t.path->filename().string() : std::string("Untitled");
  }
  void fill_tab(TabRec& t, const fs::path& path, const text_file::Loaded& loaded);
  // Parinfer: the project's pin for a tab (a loose tab follows the window's project), its effective mode, the
  // status bar's label for the active tab, and a mode choice from the commands.
  std::optional<std::string> parinfer_pin(const TabRec& t) const {
    return t.selection ? t.selection->parinfer : sel_.parinfer;
  }
  std::string parinfer_mode(const TabRec& t) const { return parinfer_effective(parinfer_pin(t), parinfer_global_); }
  // Format All and Format Selection stabilize with Parinfer's Paren-stable pass when the project asks for it
  // (:format-style :paren-stable), never for :plain, and otherwise exactly when Parinfer runs as one types.
  FormatOptions format_options(const std::shared_ptr<Editor>& ed) const {
    FormatOptions o;
    for (const auto& t : tabs_) {
      if (t.editor != ed) continue;
      const std::optional<std::string>& style = t.selection ? t.selection->format_style : sel_.format_style;
      const bool stable = style ? *style == "paren-stable" : parinfer_mode(t) != "off";
      if (stable) o.stabilize = [](std::u32string_view text, Offset a, Offset b) {
        return parinfer_edit::paren_stable(text, a, b);
      };
    }
    return o;
  }
  void refresh_parinfer_label();
  void choose_parinfer(const std::string& choice);
  std::shared_ptr<EditorHelp> help_of(const std::shared_ptr<Editor>& ed) {
    for (auto& t : tabs_) {
      if (t.editor == ed) return t.help;
    }
    return nullptr;
  }
  // Opens path (or selects its tab) with the caret at the start of the 1-based line; false when it can't be opened.
  bool open_at(const fs::path& path, int64_t line);
  // Back to where the last jump left from; false with nowhere to go back to.
  bool jump_back();
  void follow_disk(TabRec& t);

  // --- Saving and closing ---
  void save_tab(int id, std::function<void(bool saved)> done);
  std::optional<std::string> save_tab_to(TabRec& t, const fs::path& path);
  gboolean on_close_request();
  void close_choice(int choice, std::vector<int> dirty_ids);
  void save_all(std::vector<int> ids);
  void close_later();
  void real_quit();

  // --- Runtime ---
  dialect::Selection select_for(const std::optional<fs::path>& path);
  void start_runtime();
  void say_login_path();
  void start_and_report(const evaluator::EvaluatorPtr& ev, const dialect::Selection& sel);
  void apply_selection(const dialect::Selection& sel);
  void refresh_prompt();
  void refresh_dialect_label();
  void apply_reset_toggle();
  evaluator::EvalOptions eval_options(bool is_run);
  void eval_entry(const std::string& code, const evaluator::Owner& owner, bool echo);
  void set_status(const std::string& s) { gtk_label_set_text(GTK_LABEL(status_label_), s.c_str()); }
  void say(console::Kind kind, std::string text) {
    if (!text.ends_with('\n')) text += '\n';
    console_->append(kind, std::move(text));
  }

  GtkApplication* app_;
  LaunchOptions options_;
  GtkWindow* window_ = nullptr;
  GtkWidget* notebook_ = nullptr;
  GtkWidget* paned_ = nullptr;
  GtkWidget* run_button_ = nullptr;
  GtkWidget* stop_button_ = nullptr;
  GtkWidget* open_button_ = nullptr;
  GtkWidget* save_button_ = nullptr;
  GtkWidget* new_tab_button_ = nullptr;
  GtkWidget* reset_check_ = nullptr;
  GtkWidget* title_label_ = nullptr;
  GtkWidget* subtitle_label_ = nullptr;
  GtkWidget* status_label_ = nullptr;
  GtkWidget* position_label_ = nullptr;
  GtkWidget* dialect_label_ = nullptr;
  GtkWidget* parinfer_label_ = nullptr;
  std::string parinfer_global_ = "off";  // the settings' :parinfer
  std::string parinfer_note_;            // the long-form note the editor last put on the status line
  std::shared_ptr<ConsoleView> console_;
  std::shared_ptr<EditorHelp> console_help_;  // the input line's completion popup and quick docs

  std::vector<TabRec> tabs_;
  int active_id_ = 0;
  int next_id_ = 1;

  evaluator::EvaluatorPtr ev_;
  dialect::Selection sel_;
  dialect::ResetState reset_state_;
  bool updating_reset_ = false;

  bool confirmed_close_ = false;
  bool alert_pending_ = false;
  bool closed_ = false;
  guint disk_timer_ = 0;

  std::string theme_choice_ = std::string(theme::AUTO);
  int font_px_ = DEFAULT_FONT_PX;

  // The live keymap in one place: each scope's layers and the bindings laid out from them ("window", "editor").
  command_registry::Layers window_layers_;
  command_registry::Layers editor_layers_;
  keymap::Keymap live_;
  std::string hint_for_symbol_;  // the key hint of a symbol at the caret under the live keymap
  GtkWidget* hint_label_ = nullptr;
  bool hints_on_ = false;

  // The commands this window runs: the registry's, with the ones the window builds, each recording that it ran.
  command_registry::Table window_table_;
  command_registry::Table editor_table_;
  command_registry::Table all_table_;
  std::string last_command_;
  std::string key_command_;  // the command that used the key being handled
  std::function<bool(std::string_view)> stub_;

  std::shared_ptr<PaletteView> palette_;
  std::shared_ptr<MenuBar> menu_bar_;
  std::vector<int> tab_mru_;                 // tab ids, most recently active first
  // Where each jump left from, the latest last: a tab id and its caret offset.
  std::vector<std::pair<int, Offset>> jumps_;
  std::shared_ptr<evaluator::HelpWorker> help_worker_ = std::make_shared<evaluator::HelpWorker>();
  std::vector<std::string> recent_panels_;   // panel keys, most recently shown first
  kelp::Value settings_;                     // the settings file's map, when the window was given one
  std::optional<std::string> settings_warning_;  // said once on the console when the window opens

  bool describe_pending_ = false;
  describe::Ring recent_keys_;
  int seq_watch_ = 0;
};

// Every open window, so a window lives as long as its GtkWindow whoever else holds it.
std::vector<std::shared_ptr<WindowImpl>>& open_windows() {
  static std::vector<std::shared_ptr<WindowImpl>> all;
  return all;
}

// --- Building ----------------------------------------------------------------------------------------------------

void WindowImpl::build() {
  window_ = GTK_WINDOW(app_ ? gtk_application_window_new(app_) : gtk_window_new());
  gtk_window_set_default_size(window_, DEFAULT_WIDTH, DEFAULT_HEIGHT);

  if (options_.settings_path) {
    try {
      auto loaded = settings::load_settings(*options_.settings_path);
      settings_ = loaded.settings;
      settings_warning_ = loaded.warning;
      if (const kelp::Value* t = kelp::get(settings_, kelp::keyword("theme")); t && kelp::is_keyword(*t))
        if (std::string name(t->as<kelp::Keyword>().name()); theme::is_choice(name)) theme_choice_ = name;
      if (const kelp::Value* p = kelp::get(settings_, kelp::keyword("parinfer")); p && kelp::is_keyword(*p)) {
        std::string mode(p->as<kelp::Keyword>().name());
        const auto& modes = dialect::parinfer_modes();
        if (std::find(modes.begin(), modes.end(), mode) != modes.end()) parinfer_global_ = mode;
      }
    } catch (const std::exception& e) {
      settings_warning_ = std::string("couldn't read the settings: ") + e.what();
    }
  }
  build_commands();
  build_header();
  notebook_ = gtk_notebook_new();
  gtk_notebook_set_scrollable(GTK_NOTEBOOK(notebook_), TRUE);
  gtk_notebook_set_show_border(GTK_NOTEBOOK(notebook_), FALSE);
  build_console();

  paned_ = gtk_paned_new(GTK_ORIENTATION_VERTICAL);
  gtk_paned_set_start_child(GTK_PANED(paned_), notebook_);
  gtk_paned_set_end_child(GTK_PANED(paned_), console_->widget());
  gtk_paned_set_resize_start_child(GTK_PANED(paned_), TRUE);
  gtk_paned_set_shrink_start_child(GTK_PANED(paned_), FALSE);
  gtk_paned_set_shrink_end_child(GTK_PANED(paned_), FALSE);
  gtk_paned_set_position(GTK_PANED(paned_), SPLIT_POSITION);
  gtk_widget_set_vexpand(paned_, TRUE);

  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_append(GTK_BOX(column), paned_);
  build_status_bar();
  GtkWidget* status_bar = gtk_widget_get_parent(status_label_);
  gtk_box_append(GTK_BOX(column), status_bar);
  gtk_window_set_child(window_, column);

  set_theme(theme_choice_);
  connect_window();
  // Your keys and the key set your settings choose, over the shipped bindings.
  std::vector<std::string> key_report;
  if (options_.settings_path) {
    try {
      key_report = live_keys::load(*options_.settings_path, false).lines;
    } catch (const std::exception& e) {
      key_report = {std::string("; Your key bindings couldn't be loaded: ") + e.what()};
    }
  }
  set_key_layers(live_keys::layers("window"), live_keys::layers("editor"));
  watch_key_seq();
  if (settings_warning_) say(console::Kind::Error, "; " + *settings_warning_);
  print_lines(key_report);

  // The first tab: the launch file, an empty tab remembering a missing file's path, or Untitled.
  std::optional<fs::path> first_path;
  std::string first_text;
  std::optional<std::string> refusal;
  bool invalid_utf8 = false;
  if (options_.file) {
    std::error_code ec;
    if (fs::exists(*options_.file, ec)) {
      auto read = text_file::read_for_tab(*options_.file);
      if (auto* loaded = std::get_if<text_file::Loaded>(&read)) {
        first_path = options_.file;
        first_text = loaded->text;
        invalid_utf8 = loaded->had_invalid_utf8;
      } else {
        refusal = std::get<text_file::Refused>(read).message;
      }
    } else {
      first_path = options_.file;
    }
  }
  TabRec& first = add_tab(first_path, first_text, std::nullopt);
  activate_tab(first.id);
  if (refusal) say(console::Kind::Error, "; open: " + *refusal);
  if (invalid_utf8) {
    say(console::Kind::System,
        "This file isn't valid UTF-8; unreadable bytes show as \xEF\xBF\xBD and saving will replace them.");
  }

  sel_ = select_for(options_.file ? options_.file
                    : options_.dir ? options_.dir
                                   : std::optional<fs::path>(options_.cwd));
  try {
    ev_ = evaluator::make(sel_);
    runtime_registry().register_evaluator(ev_);
  } catch (const std::exception& e) {
    say(console::Kind::Error, std::string("; runtime: ") + e.what());
  }
  start_runtime();
  say_login_path();

  disk_timer_ = timeout_add(DISK_POLL_MS, [weak = weak_from_this()]() -> bool {
    auto self = weak.lock();
    if (!self || self->closed_) return false;
    self->poll_disk();
    return true;
  });

  gtk_window_present(window_);
  if (auto ed = active_editor()) ed->focus();
  // For the start-up benchmark: close as soon as the first frame is painted.
  if (std::getenv("ORRERY_QUIT_AFTER_FIRST_FRAME")) {
    if (GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(window_))) {
      connect<void(GdkFrameClock*)>(clock, "after-paint", [weak = weak_from_this()](GdkFrameClock*) {
        auto self = weak.lock();
        if (!self || self->closed_) return;
        std::fputs("orrery: first frame painted\n", stderr);
        self->confirmed_close_ = true;
        self->request_close();
      });
    }
  }
}

void WindowImpl::build_header() {
  GtkWidget* header = gtk_header_bar_new();
  run_button_ = gtk_button_new_with_label("\u25B6 Run");
  stop_button_ = gtk_button_new_with_label("Stop");
  open_button_ = gtk_button_new_with_label("Open\u2026");
  save_button_ = gtk_button_new_with_label("Save\u2026");
  new_tab_button_ = gtk_button_new_from_icon_name("tab-new-symbolic");
  gtk_widget_set_tooltip_text(new_tab_button_, "New Tab");
  reset_check_ = gtk_check_button_new_with_label("Reset on Run");
  gtk_check_button_set_active(GTK_CHECK_BUTTON(reset_check_), TRUE);
  gtk_header_bar_pack_start(GTK_HEADER_BAR(header), run_button_);
  gtk_header_bar_pack_start(GTK_HEADER_BAR(header), stop_button_);
  gtk_header_bar_pack_start(GTK_HEADER_BAR(header), reset_check_);
  // End buttons pack from the edge inwards: the last packed stands leftmost.
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), menu_bar_->button());
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), new_tab_button_);
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), save_button_);
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), open_button_);

  GtkWidget* titles = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_valign(titles, GTK_ALIGN_CENTER);
  title_label_ = gtk_label_new("Untitled");
  gtk_widget_add_css_class(title_label_, "title");
  subtitle_label_ = gtk_label_new("");
  gtk_widget_add_css_class(subtitle_label_, "subtitle");
  gtk_label_set_ellipsize(GTK_LABEL(subtitle_label_), PANGO_ELLIPSIZE_START);
  gtk_box_append(GTK_BOX(titles), title_label_);
  gtk_box_append(GTK_BOX(titles), subtitle_label_);
  gtk_header_bar_set_title_widget(GTK_HEADER_BAR(header), titles);
  gtk_window_set_titlebar(window_, header);

  auto weak = weak_from_this();
  auto on_click = [this, weak](GtkWidget* button, std::function<void(WindowImpl&)> action) {
    connect<void(GtkButton*)>(button, "clicked", [weak, action](GtkButton*) {
      auto self = weak.lock();
      if (!self) return;
      try {
        action(*self);
      } catch (const std::exception& e) {
        self->set_status(e.what());
      }
    });
  };
  on_click(run_button_, [](WindowImpl& w) { w.run(); });
  on_click(stop_button_, [](WindowImpl& w) { w.stop(); });
  on_click(open_button_, [](WindowImpl& w) { w.open_dialog(); });
  on_click(save_button_, [](WindowImpl& w) { w.save(); });
  on_click(new_tab_button_, [](WindowImpl& w) { w.new_tab(); });
  connect<void(GtkCheckButton*)>(reset_check_, "toggled", [weak](GtkCheckButton* b) {
    auto self = weak.lock();
    if (self) self->sync_reset_tick();
    if (!self || self->updating_reset_ || !self->ev_) return;
    self->ev_->set_mode(gtk_check_button_get_active(b) ? evaluator::Mode::Reset : evaluator::Mode::Accumulate);
  });
}

void WindowImpl::build_status_bar() {
  GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_widget_add_css_class(bar, "orrery-status");
  gtk_widget_set_margin_start(bar, 8);
  gtk_widget_set_margin_end(bar, 8);
  gtk_widget_set_margin_top(bar, 2);
  gtk_widget_set_margin_bottom(bar, 2);
  status_label_ = gtk_label_new("Ready");
  gtk_label_set_xalign(GTK_LABEL(status_label_), 0);
  gtk_label_set_ellipsize(GTK_LABEL(status_label_), PANGO_ELLIPSIZE_END);
  gtk_widget_set_hexpand(status_label_, TRUE);
  hint_label_ = gtk_label_new("");
  gtk_widget_add_css_class(hint_label_, "dim-label");
  gtk_widget_set_visible(hint_label_, FALSE);
  position_label_ = gtk_label_new("Ln 1, Col 1");
  dialect_label_ = gtk_label_new("");
  parinfer_label_ = gtk_label_new("");
  gtk_widget_set_visible(parinfer_label_, FALSE);
  gtk_box_append(GTK_BOX(bar), status_label_);
  gtk_box_append(GTK_BOX(bar), hint_label_);
  gtk_box_append(GTK_BOX(bar), parinfer_label_);
  gtk_box_append(GTK_BOX(bar), position_label_);
  gtk_box_append(GTK_BOX(bar), dialect_label_);
}

void WindowImpl::build_console() {
  auto weak = weak_from_this();
  ConsoleOptions o;
  o.on_submit = [weak](const ConsoleSubmit& s) {
    auto self = weak.lock();
    if (self && s.action == ConsoleSubmit::Action::Bang) return self->run_bang(s.text);
    if (!self || !self->ev_) return;
    switch (s.action) {
      case ConsoleSubmit::Action::Bang: break;
      case ConsoleSubmit::Action::Eval: self->eval_entry(s.text, evaluator::OWNER_REPL, false); break;
      case ConsoleSubmit::Action::SendStdin: self->ev_->send_input(s.text); break;
      case ConsoleSubmit::Action::Eof: self->ev_->send_eof(); break;
    }
  };
  o.history_prev = [weak](const std::string& current) -> std::optional<std::string> {
    auto self = weak.lock();
    if (!self || !self->ev_) return std::nullopt;
    std::string shown;
    self->ev_->history().update([&](eval::History h) {
      auto [next, text] = eval::history_prev(std::move(h), current);
      shown = text;
      return next;
    });
    return shown;
  };
  o.history_next = [weak]() -> std::optional<std::string> {
    auto self = weak.lock();
    if (!self || !self->ev_) return std::nullopt;
    std::optional<std::string> shown;
    self->ev_->history().update([&](eval::History h) {
      // Not browsing: history_next would answer "" and erase the input.
      if (h.index >= h.items.size()) return h;
      auto [next, text] = eval::history_next(std::move(h));
      shown = text;
      return next;
    });
    return shown;
  };
  o.is_evaluating = [weak] {
    auto self = weak.lock();
    return self && self->ev_ && self->ev_->is_evaluating();
  };
  o.is_waiting = [weak] {
    auto self = weak.lock();
    return self && self->ev_ && self->ev_->is_waiting_for_input();
  };
  console_ = ConsoleView::make(std::move(o));
  console_->set_error_fn([c = std::weak_ptr<ConsoleView>(console_)](const std::string& msg) {
    if (auto cv = c.lock()) cv->append(console::Kind::Error, msg + "\n");
  });

  // Completion and quick docs in the input line, from the same names the editors complete from.
  EditorHelpOptions ho;
  ho.evaluator = [weak]() -> evaluator::EvaluatorPtr {
    auto self = weak.lock();
    return self ? self->ev_ : nullptr;
  };
  ho.worker = help_worker_;
  ho.status = [weak](const std::string& s) {
    if (auto self = weak.lock()) self->set_status(s);
  };
  console_help_ = EditorHelp::make_for_console(console_, std::move(ho));
  CompletionFns fns;
  fns.complete = [weak] {
    if (auto self = weak.lock()) self->console_help_->complete();
  };
  fns.handle_key = [weak](guint keyval, GdkModifierType state) {
    auto self = weak.lock();
    return self && self->console_help_->handle_key(keyval, state);
  };
  console_->set_completion_fns(std::move(fns));
}

void WindowImpl::connect_window() {
  auto weak = weak_from_this();
  if (app_ && !g_action_map_lookup_action(G_ACTION_MAP(app_), "quit")) {
    // The application's Quit (the desktop's menu, Ctrl+Q): asks the window to close, with its questions.
    GSimpleAction* quit = g_simple_action_new("quit", nullptr);
    connect<void(GSimpleAction*, GVariant*)>(quit, "activate", [weak](GSimpleAction*, GVariant*) {
      if (auto self = weak.lock()) self->request_close();
    });
    g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(quit));
    g_object_unref(quit);
    const char* accels[] = {"<Control>q", nullptr};
    gtk_application_set_accels_for_action(app_, "app.quit", accels);
  }
  connect<gboolean(GtkWindow*)>(
      window_, "close-request",
      [weak](GtkWindow*) -> gboolean {
        auto self = weak.lock();
        return self ? self->on_close_request() : FALSE;
      },
      TRUE);
  connect<void(GtkWidget*)>(GTK_WIDGET(window_), "destroy", [weak](GtkWidget*) {
    auto self = weak.lock();
    if (!self) return;
    self->closed_ = true;
    if (self->disk_timer_) g_source_remove(self->disk_timer_);
    self->disk_timer_ = 0;
    if (self->seq_watch_) key_seq::unwatch(self->seq_watch_);
    self->seq_watch_ = 0;
    auto& all = open_windows();
    all.erase(std::remove(all.begin(), all.end(), self), all.end());
  });
  connect<void(GtkNotebook*, GtkWidget*, guint)>(notebook_, "switch-page",
                                                  [weak](GtkNotebook*, GtkWidget* page, guint) {
                                                    auto self = weak.lock();
                                                    if (!self) return;
                                                    // The page handed in, never the notebook's current page,
                                                    // which reads -1 while a page is being removed.
                                                    for (auto& t : self->tabs_) {
                                                      if (t.page == page) {
                                                        if (t.id != self->active_id_) self->activate_tab(t.id);
                                                        return;
                                                      }
                                                    }
                                                  });
  GtkEventController* keys = gtk_event_controller_key_new();
  gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
  connect<gboolean(GtkEventControllerKey*, guint, guint, GdkModifierType)>(
      keys, "key-pressed", [weak](GtkEventControllerKey*, guint keyval, guint, GdkModifierType state) -> gboolean {
        auto self = weak.lock();
        return self ? self->handle_window_key(keyval, state) : FALSE;
      });
  gtk_widget_add_controller(GTK_WIDGET(window_), keys);
}

// The window's keys: the live window bindings, dispatched through the command registry with this window's
// functions. Commands whose parts are not in this window yet say so on the status line. Every key but a lone
// modifier goes into the recent keys; Describe Key takes the next one for itself.
int WindowImpl::handle_window_key(guint keyval, GdkModifierType state) {
  namespace cr = command_registry;
  const keymap::Key key{gdk_keyval_to_lower(keyval), static_cast<uint32_t>(state), std::nullopt};
  const bool modifier = describe::is_modifier_key(keyval);
  const std::string_view os = key_seq::os_name();
  const char32_t unicode = gdk_keyval_to_unicode(keyval);
  const auto unicode_of = unicode ? std::optional<char32_t>(unicode) : std::nullopt;
  if (describe_pending_ && !modifier) {
    describe_pending_ = false;
    describe_key(key);
    describe::remember(recent_keys_, describe::recent_entry(key, "help/describe-key", os, unicode_of));
    return 1;
  }
  cr::HandlerOptions o;
  o.bindings = &live_["window"];
  o.commands = &window_table_;
  o.ctx = std::make_shared<const cr::Ctx>(window_ctx());
  o.os = os;
  key_command_.clear();
  cr::Answer a = cr::window_answer(key, o);
  if (!a.report.empty()) set_status(a.report);
  if (!modifier) {
    std::optional<std::string> ran;
    if (a.code == 1 && !key_command_.empty()) ran = key_command_;
    describe::remember(recent_keys_, describe::recent_entry(key, ran, os, unicode_of));
  }
  return a.code;
}

// The functions the window's commands and conditions call, read when they run.
command_registry::Ctx WindowImpl::window_ctx() {
  using kelp::Value;
  command_registry::Ctx c;
  auto weak = weak_from_this();
  auto act = [&c, weak](std::string key, std::function<void(WindowImpl&)> f) {
    c.set_thunk(std::move(key), [weak, f] {
      if (auto self = weak.lock()) f(*self);
      return Value();
    });
  };
  auto never = [&c](std::string key) { c.set_thunk(std::move(key), [] { return Value::boolean(false); }); };
  act("run-fn", [](WindowImpl& w) { w.run(); });
  act("stop-fn", [](WindowImpl& w) { w.stop(); });
  act("open-fn", [](WindowImpl& w) { w.open_dialog(); });
  act("save-fn", [](WindowImpl& w) { w.save(); });
  act("save-as-fn", [](WindowImpl& w) { w.save_as(); });
  act("close-fn", [](WindowImpl& w) { w.close_active_tab(); });
  act("new-tab-fn", [](WindowImpl& w) { w.new_tab(); });
  act("run-selection-fn", [](WindowImpl& w) { w.run_selection(); });
  act("clear-console-fn", [](WindowImpl& w) { w.console_->clear_output(); });
  act("clear-last-fn", [](WindowImpl& w) { w.console_->clear_last_output(); });
  act("theme-cycle-fn", [](WindowImpl& w) { w.cycle_theme(); });
  c.set("zoom-fn", [weak](std::span<const Value> args) {
    auto self = weak.lock();
    if (!self || args.empty()) return Value();
    const std::string how = kelp::pr_str(args[0]);
    const ZoomDirection d = how == ":in" ? ZoomDirection::In : how == ":out" ? ZoomDirection::Out : ZoomDirection::Reset;
    self->zoom_to(zoom(self->font_px_, d));
    return Value();
  });
  c.set("step-tab-fn", [weak](std::span<const Value> args) {
    auto self = weak.lock();
    if (self && !args.empty() && args[0].is_int() && !self->tabs_.empty()) {
      self->select_tab(tabs::cycle_index(self->active_index(), args[0].as_int(), self->tabs_.size()));
    }
    return Value();
  });
  c.set("digit-tab-fn", [weak](std::span<const Value> args) {
    auto self = weak.lock();
    if (self && !args.empty() && args[0].is_int()) {
      if (auto i = tabs::index_for_digit(static_cast<int>(args[0].as_int()), self->tabs_.size())) self->select_tab(*i);
    }
    return Value();
  });
  c.set_thunk("evaluating?", [weak] {
    auto self = weak.lock();
    return Value::boolean(self && self->ev_ && self->ev_->is_evaluating());
  });
  act("toggle-focus-fn", [](WindowImpl& w) {
    GtkWidget* console_view = GTK_WIDGET(w.console_->view());
    if (gtk_widget_has_focus(console_view)) {
      if (auto ed = w.active_editor()) ed->focus();
    } else {
      w.console_->focus();
    }
  });
  // What this window does not have yet answers a sentence on the status line.
  auto lacks = [&c](std::string key, std::string what) {
    c.set(std::move(key), [what](std::span<const Value>) -> Value {
      throw std::runtime_error(what + " isn't available in this window yet.");
    });
  };
  lacks("open-find-fn", "Find");
  lacks("open-replace-fn", "Find and replace");
  lacks("find-next!", "Find");
  lacks("find-prev!", "Find");
  lacks("find-bar-key!", "Find");
  lacks("tab-back-fn", "Going back to the previous tab");
  lacks("panel-focus-fn", "This panel");
  lacks("inspect-form-fn", "The inspector");
  lacks("inspect-last-fn", "The inspector");
  lacks("close-inspector-fn", "The inspector");
  lacks("run-changed-fn", "Run Changed Forms");
  c.set("parinfer-fn", [weak](std::span<const Value> args) -> Value {
    auto self = weak.lock();
    if (!self || args.empty() || !kelp::is_keyword(args[0])) return Value();
    std::string choice(args[0].as<kelp::Keyword>().name());
    self->choose_parinfer(choice == "next-mode" ? "next" : choice);
    return Value();
  });
  lacks("move-part-fn", "Moving panels");
  // Nothing of these is in the window yet: no popovers to close, no find bar, inspector, tree, debugger or terminal.
  act("open-palette-fn", [](WindowImpl& w) { w.open_palette(); });
  act("prefs-open-fn", [](WindowImpl& w) { w.open_prefs(); });
  act("layout-save-fn", [](WindowImpl& w) { w.save_layout(); });
  act("layout-forget-fn", [](WindowImpl& w) {
    w.save_setting("layouts", kelp::Value());
    w.set_status("Forgot the saved layouts");
  });
  act("open-keys-file-fn", [](WindowImpl& w) { w.open_keys_file(); });
  act("reload-keys-fn", [](WindowImpl& w) { w.reload_keys(true); });
  act("describe-key-fn", [](WindowImpl& w) {
    w.say(console::Kind::System, std::string(describe::PRESS_LINE));
    w.describe_pending_ = true;
  });
  act("key-bindings-fn", [](WindowImpl& w) {
    w.print_lines(describe::binding_lines(w.live_, w.all_table_, key_seq::os_name()));
  });
  act("recent-keys-fn", [](WindowImpl& w) { w.print_lines(describe::recent_lines(w.recent_keys_)); });
  act("hints-toggle-fn", [](WindowImpl& w) {
    w.hints_on_ = !w.hints_on_;
    w.update_hint();
    w.set_status(w.hints_on_ ? "Key hints on" : "Key hints off");
  });
  act("reset-toggle-fn", [](WindowImpl& w) { w.toggle_reset_on_run(); });
  c.set_thunk("close-popovers-fn", [weak] {
    auto self = weak.lock();
    bool closed = self && self->palette_->close();
    if (self) {
      if (TabRec* t = self->active(); t && t->help && t->help->close()) closed = true;
      if (GtkWidget* menu = self->menu_bar_->popover(); menu && gtk_widget_get_visible(menu)) {
        gtk_popover_popdown(GTK_POPOVER(menu));
        closed = true;
      }
    }
    return Value::boolean(closed);
  });
  c.set_thunk("entry-focused?", [weak] {
    auto self = weak.lock();
    return Value::boolean(self && self->palette_->entry_focused());
  });
  for (const char* k : {"find-bar-navigable?", "find-bar-focused?", "inspector-focused?", "breakpoint-paused?",
                        "terminal-focused?"}) {
    never(k);
  }
  command_registry::Ctx source;
  source.set_thunk("focused?", [] { return Value::boolean(false); });
  source.set_thunk("jump-back!", [weak] {
    auto self = weak.lock();
    return Value::boolean(self && self->jump_back());
  });
  c.set_sub("source-keys", std::move(source));
  return c;
}

// The functions the editor's commands call, for one editor.
command_registry::Ctx WindowImpl::editor_ctx(const std::shared_ptr<Editor>& ed) {
  namespace cr = command_registry;
  using kelp::Value;
  cr::Ctx c;
  std::weak_ptr<WindowImpl> weak = weak_from_this();
  std::weak_ptr<Editor> we = ed;
  auto apply = [&c, we](std::string key, std::function<std::optional<EditOp>(const Snapshot&)> op) {
    c.set_thunk(std::move(key), [we, op] {
      auto e = we.lock();
      return Value::boolean(e && e->apply_op(op(e->snapshot())));
    });
  };
  apply("toggle-comment!", [](const Snapshot& s) { return toggle_comment(s); });
  apply("indent!", [](const Snapshot& s) { return indent(s); });
  apply("unindent!", [](const Snapshot& s) { return unindent(s); });
  c.set_thunk("redo!", [we] {
    auto e = we.lock();
    if (!e || e->is_read_only() || !gtk_text_buffer_get_can_redo(e->buffer())) return Value::boolean(false);
    gtk_text_buffer_redo(e->buffer());
    return Value::boolean(true);
  });
  // The formats' text is already what Parinfer would make it, so it lands with the Parinfer hook skipped.
  for (const bool all : {true, false}) {
    c.set_thunk(all ? "format-all!" : "format-selection!", [weak, we, all] {
      auto self = weak.lock();
      auto e = we.lock();
      if (!self || !e) return Value::boolean(false);
      const Snapshot snap = e->snapshot();
      const FormatOptions o = self->format_options(e);
      if (!e->apply_op_plain(all ? format_all_op(snap, o) : format_selection_op(snap, o)))
        return Value::boolean(false);
      // Scrolled to the caret now, and once more when idle: the first scroll may use estimated line heights.
      auto scroll = [we] {
        if (auto ed = we.lock(); ed && ed->view())
          gtk_text_view_scroll_to_mark(ed->view(), gtk_text_buffer_get_insert(ed->buffer()), 0, FALSE, 0, 0);
      };
      scroll();
      idle_add([scroll] {
        scroll();
        return false;
      });
      return Value::boolean(true);
    });
  }
  c.set_thunk("run-form!", [weak] {
    if (auto self = weak.lock()) self->run_form();
    return Value();
  });
  c.set_thunk("writable?", [we] {
    auto e = we.lock();
    return Value::boolean(e && !e->is_read_only());
  });
  c.set_thunk("preedit-active?", [] { return Value::boolean(false); });
  auto help = [&c, weak, we](std::string key, bool (EditorHelp::*action)()) {
    c.set_thunk(std::move(key), [weak, we, action] {
      auto self = weak.lock();
      auto e = we.lock();
      std::shared_ptr<EditorHelp> h = self && e ? self->help_of(e) : nullptr;
      return Value::boolean(h && (h.get()->*action)());
    });
  };
  // A structural operation by name, in Paren mode whatever the tab's mode; a kill or Copy Form also fills the
  // clipboard. Expand and Shrink Selection keep their history only while nothing else moves the selection.
  c.set("paredit!", [we](std::span<const Value> args) -> Value {
    auto e = we.lock();
    if (!e || args.empty() || !args[0].is(kelp::Kind::String)) return Value::boolean(false);
    const std::string_view name = kelp::str_view(args[0]);
    const structural::Operation* op = structural::find_operation(name);
    if (!op) throw std::runtime_error("There is no structural edit named " + std::string(name) + ".");
    if (name != "expand-selection" && name != "shrink-selection") structural::forget_selection();
    std::optional<structural::Result> r = op->run(e->snapshot());
    if (!r) return Value::boolean(false);
    const bool applied = e->apply_structural_op(r->op);
    // A kill the editor refused (read-only) copies nothing, so the clipboard never holds text still in place.
    if (r->copy && e->view() && (applied || r->op.edits.empty())) {
      const std::string copied = kelp::to_utf8(*r->copy);
      gdk_clipboard_set_text(gtk_widget_get_clipboard(GTK_WIDGET(e->view())), copied.c_str());
    }
    return Value::boolean(applied);
  });
  help("complete!", &EditorHelp::complete);
  help("quick-doc!", &EditorHelp::quick_doc);
  help("jump!", &EditorHelp::jump);
  help("rename!", &EditorHelp::rename);
  return c;
}

// The editor's keys: the live editor bindings through the registry, with the editor's own functions. The typing
// stages run after this in the editor itself.
int WindowImpl::handle_editor_key(const std::shared_ptr<Editor>& ed, guint keyval, GdkModifierType state) {
  namespace cr = command_registry;
  cr::HandlerOptions o;
  o.bindings = &live_["editor"];
  o.commands = &editor_table_;
  o.ctx = std::make_shared<const cr::Ctx>(editor_ctx(ed));
  key_command_.clear();
  cr::Answer a = cr::editor_answer({keyval, static_cast<uint32_t>(state), std::nullopt}, o);
  if (!a.report.empty()) set_status(a.report);
  // The window passed this key on and recorded it so; the editor's command is the one that used it.
  if (a.code == 1 && !key_command_.empty() && !recent_keys_.empty()) {
    describe::Recent& last = recent_keys_.back();
    if (!last.typing && !last.command) last.command = key_command_;
  }
  return a.code;
}


// --- Commands, palette, menus and keys ---------------------------------------------------------------------------

// The registry's commands with the ones this window builds, each recording that it ran. The palette and the menus
// open here, so they are built alongside.
void WindowImpl::build_commands() {
  namespace cr = command_registry;
  // Declared by the registry, built by the window: each calls the window function of the same name.
  const std::map<std::string, std::string, std::less<>> built = {
      {"palette/open", "open-palette-fn"},           {"help/describe-key", "describe-key-fn"},
      {"help/key-bindings", "key-bindings-fn"}, {"help/recent-keys", "recent-keys-fn"},
      {"run/reset-on-run", "reset-toggle-fn"},
  };
  for (cr::Command c : cr::window_commands().all()) {
    if (auto it = built.find(c.id); it != built.end() && !c.run) c.run = cr::call(it->second);
    window_table_.add(recorded(std::move(c)));
  }
  for (cr::Command c : cr::editor_commands().all()) editor_table_.add(recorded(std::move(c)));
  all_table_ = window_table_.merged(editor_table_).merged(cr::console_commands());

  auto weak = weak_from_this();
  auto report = [weak](const std::string& message) {
    if (auto self = weak.lock()) self->set_status(message);
  };
  PaletteOptions po;
  po.entries = [weak] {
    auto self = weak.lock();
    return self ? self->palette_entries() : std::vector<palette::Entry>{};
  };
  po.run = [weak](const palette::Entry& e) {
    if (auto self = weak.lock()) self->run_entry_id(e.id);
  };
  po.report = report;
  palette_ = PaletteView::make(std::move(po));
  MenuBarOptions mo;
  mo.run = [weak](const std::string& id) {
    if (auto self = weak.lock()) self->run_command(id);
  };
  mo.report = report;
  menu_bar_ = MenuBar::make(GTK_WIDGET(window_), std::move(mo));
}

command_registry::Command WindowImpl::recorded(command_registry::Command c) {
  namespace cr = command_registry;
  std::weak_ptr<WindowImpl> weak = weak_from_this();
  cr::Run inner = std::move(c.run);
  c.run = [weak, id = c.id, inner](const cr::Ctx& ctx, const kelp::Value& args) -> keymap::Outcome {
    auto self = weak.lock();
    if (self) {
      self->last_command_ = id;
      if (self->stub_ && self->stub_(id)) {
        self->key_command_ = id;
        return keymap::Outcome::handled;
      }
    }
    if (!inner) throw std::runtime_error("The command :" + id + " isn't built yet.");
    const keymap::Outcome out = inner(ctx, args);
    if (self && (out == keymap::Outcome::handled || out == keymap::Outcome::to_gtk)) self->key_command_ = id;
    return out;
  };
  return c;
}

command_registry::Ctxs WindowImpl::ctxs() {
  namespace cr = command_registry;
  cr::Ctxs c;
  c.window = std::make_shared<const cr::Ctx>(window_ctx());
  if (auto ed = active_editor()) c.editor = std::make_shared<const cr::Ctx>(editor_ctx(ed));
  return c;
}

void WindowImpl::run_command(const std::string& id) {
  if (command_registry::run_command_in(all_table_, ctxs(), id) == keymap::Outcome::nil)
    throw std::runtime_error("There is no command :" + id + ".");
}

// What the palette offers: the other tabs (most recently used first), the panels a switch can bring back, the
// registry's commands and the saved layouts.
std::vector<palette::Entry> WindowImpl::palette_entries() {
  std::vector<palette::Entry> out;
  std::vector<palette::Tab> recent;
  const auto labels = tab_labels();
  for (int id : tab_mru_) {
    if (auto i = index_of(id)) recent.push_back({kelp::Value::integer(id), labels[*i]});
  }
  for (auto& e : palette::tab_entries(recent, kelp::Value::integer(active_id_))) out.push_back(std::move(e));
  for (auto& e : palette::panel_entries(recent_panels_, std::nullopt, palette::shipped_panel_labels()))
    out.push_back(std::move(e));
  for (auto& e : palette::entries(all_table_, live_, key_seq::os_name())) out.push_back(std::move(e));
  for (const auto& t : theme::palette_entries()) {
    kelp::Value id = kelp::make_vector({kelp::keyword("theme", "use"), kelp::make_string(t.id.second)});
    out.push_back(palette::make_entry(std::move(id), t.doc, {}, t.source));
  }
  if (!settings_.is_nil()) {
    if (const kelp::Value* saved = kelp::get(settings_, kelp::keyword("layouts"))) {
      for (const auto& l : layouts::entries(*saved)) {
        kelp::Value id = kelp::make_vector({kelp::keyword("layout", "use"), kelp::make_string(l.id.second)});
        out.push_back(palette::make_entry(std::move(id), l.doc, {}, l.source));
      }
    }
  }
  return out;
}

namespace {

// A command keyword's id without the colon ("run/run").
std::string command_id_of(const kelp::Value& keyword) {
  std::string s = kelp::pr_str(keyword);
  return s.starts_with(':') ? s.substr(1) : s;
}

std::vector<kelp::Value> items_of(const kelp::Value& v) {
  std::vector<kelp::Value> out;
  if (v.is_obj()) {
    v.obj()->each([&](const kelp::Value& x) {
      out.push_back(x);
      return true;
    });
  }
  return out;
}

}  // namespace

// Runs a palette entry's id: a command keyword through the registry, or one of the window's own entries.
void WindowImpl::run_entry_id(const kelp::Value& id) {
  if (kelp::is_keyword(id)) return run_command(command_id_of(id));
  const auto parts = items_of(id);
  if (parts.size() != 2 || !kelp::is_keyword(parts[0])) throw std::runtime_error("This palette entry does nothing.");
  const std::string what = command_id_of(parts[0]);
  last_command_ = what;
  if (what == "tab/switch") {
    if (!parts[1].is_int()) return;
    if (auto i = index_of(static_cast<int>(parts[1].as_int()))) return activate_tab(tabs_[*i].id);
    throw std::runtime_error("That tab is closed.");
  }
  if (what == "panel/switch") {
    const kelp::Value args[] = {parts[1]};
    window_ctx().call("panel-focus-fn", args);
    return;
  }
  if (what == "theme/use") {
    const std::string choice(kelp::str_view(parts[1]));
    set_theme(choice);
    if (options_.settings_path) save_setting("theme", kelp::keyword(theme_choice_));
    return;
  }
  if (what == layouts::USE_COMMAND) {
    // This window has the editor over the console and nothing around them, so a layout brings back the split.
    const kelp::Value* saved = kelp::get(settings_, kelp::keyword("layouts"));
    const kelp::Value* layout = saved ? kelp::get(*saved, parts[1]) : nullptr;
    if (!layout || !layouts::is_valid(*layout)) throw std::runtime_error("That layout is no longer saved.");
    if (const kelp::Value* split = kelp::get(*layout, kelp::keyword("split")); split && split->is_int())
      gtk_paned_set_position(GTK_PANED(paned_), static_cast<int>(split->as_int()));
    set_status("Layout " + std::string(kelp::str_view(parts[1])));
    return;
  }
  throw std::runtime_error("This palette entry does nothing.");
}

// The palette opens below the active editor's caret (kept inside the editor when the caret is scrolled away). The
// popover hangs on the window's column, whose box layout passes it over; a text view would take it for a child of
// its own.
void WindowImpl::open_palette() {
  auto ed = active_editor();
  if (!ed || !ed->view()) return;
  GtkTextView* view = ed->view();
  GtkTextBuffer* buf = ed->buffer();
  GtkTextIter it = iter_at(buf, gtk::caret(buf));
  GdkRectangle r;
  gtk_text_view_get_iter_location(view, &it, &r);
  int x = 0, y = 0;
  gtk_text_view_buffer_to_window_coords(view, GTK_TEXT_WINDOW_WIDGET, r.x, r.y, &x, &y);
  const int w = gtk_widget_get_width(GTK_WIDGET(view));
  const int h = gtk_widget_get_height(GTK_WIDGET(view));
  x = std::clamp(x, 0, std::max(0, w - 1));
  y = std::clamp(y, 0, std::max(0, h - r.height));
  GtkWidget* column = gtk_window_get_child(window_);
  double cx = x, cy = y;
  gtk_widget_translate_coordinates(GTK_WIDGET(view), column, x, y, &cx, &cy);
  palette_->open(column, GdkRectangle{static_cast<int>(cx), static_cast<int>(cy), 1, std::max(1, r.height)});
}

// A `!` line from the console: a command picked by name, as the palette would run it.
void WindowImpl::run_bang(const std::string& text) {
  try {
    const palette::BangPick pick = palette::bang_pick(palette_entries(), text);
    if (pick.kind != palette::BangPick::Kind::run) return print_lines(palette::bang_lines(pick));
    try {
      run_entry_id(pick.id);
    } catch (const std::exception& e) {
      say(console::Kind::Error, palette::bang_failed_line(e.what()));
    }
  } catch (const std::exception& e) {
    say(console::Kind::Error, palette::bang_failed_line(e.what()));
  }
}

void WindowImpl::describe_key(const keymap::Key& key) {
  const std::string_view os = key_seq::os_name();
  try {
    print_lines(describe::describe_lines(describe::chord_text(key, os),
                                         describe::key_matches(live_, all_table_, key, os)));
  } catch (const std::exception& e) {
    set_status(e.what());
  }
}

void WindowImpl::print_lines(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  if (!all.empty()) console_->append(console::Kind::System, std::move(all));
}

void WindowImpl::toggle_reset_on_run() {
  if (!gtk_widget_get_sensitive(reset_check_)) {
    const char* why = gtk_widget_get_tooltip_text(reset_check_);
    throw std::runtime_error(why ? why : "Reset on Run doesn't apply to this runtime.");
  }
  GtkCheckButton* b = GTK_CHECK_BUTTON(reset_check_);
  gtk_check_button_set_active(b, !gtk_check_button_get_active(b));
}

void WindowImpl::sync_reset_tick() {
  if (!menu_bar_ || !reset_check_) return;
  menu_bar_->set_tick("run/reset-on-run", gtk_check_button_get_active(GTK_CHECK_BUTTON(reset_check_)),
                      gtk_widget_get_sensitive(reset_check_));
}

// The key hint for the caret of the active tab: reads only the caret's line, so it keeps up with every move.
void WindowImpl::update_hint() {
  if (!hint_label_) return;
  TabRec* t = active();
  std::string text;
  if (hints_on_ && t && !hint_for_symbol_.empty()) {
    GtkTextBuffer* buf = t->editor->buffer();
    GtkTextIter at = iter_at(buf, gtk::caret(buf));
    GtkTextIter start = at, end = at;
    gtk_text_iter_set_line_offset(&start, 0);
    if (!gtk_text_iter_ends_line(&end)) gtk_text_iter_forward_to_line_end(&end);
    char* line = gtk_text_buffer_get_text(buf, &start, &end, TRUE);
    const std::u32string u = kelp::to_u32(line ? line : "");
    g_free(line);
    if (hints::at_caret(u, gtk_text_iter_get_line_offset(&at)) == hints::Kind::symbol) text = hint_for_symbol_;
  }
  gtk_label_set_text(GTK_LABEL(hint_label_), text.c_str());
  gtk_widget_set_visible(hint_label_, !text.empty());
}

// A key sequence under way shows what may follow on the status line, and its last note when it ends.
void WindowImpl::watch_key_seq() {
  std::weak_ptr<WindowImpl> weak = weak_from_this();
  seq_watch_ = key_seq::watch([weak](const key_seq::Live& live) {
    std::string text;
    if (live.pending) text = key_seq::status_text(*live.pending, key_seq::os_name());
    else if (live.note) text = *live.note;
    else return;
    on_gui([weak, text] {
      if (auto self = weak.lock(); self && !self->closed_) self->set_status(text);
    });
  });
}

void WindowImpl::set_key_layers(const command_registry::Layers& window, const command_registry::Layers& editor) {
  namespace cr = command_registry;
  window_layers_ = window;
  editor_layers_ = editor;
  live_["window"] = cr::live_bindings(window_layers_, cr::window_commands(), nullptr);
  live_["editor"] = cr::live_bindings(editor_layers_, cr::editor_commands(), nullptr);
  hint_for_symbol_ = hints::hint(live_, hints::Kind::symbol, key_seq::os_name()).value_or("");
  menu_bar_->rebuild(live_, key_seq::os_name());
  update_hint();
}

// --- Tabs --------------------------------------------------------------------------------------------------------

TabRec& WindowImpl::add_tab(const std::optional<fs::path>& path, const std::string& text,
                           std::optional<std::size_t> after) {
  TabRec t;
  t.id = next_id_++;
  t.editor = Editor::make();
  t.page = t.editor->widget();
  t.path = path;
  if (path) {
    t.selection = select_for(path);
    t.seen = tabs::stat_of(*path);
  }
  gtk_widget_add_css_class(GTK_WIDGET(t.editor->view()), "orrery-code");
  t.editor->apply_theme(theme::theme(theme::resolve_choice(theme_choice_, system_prefers_dark())));
  t.editor->set_text(text);
  const int id = t.id;
  auto weak = weak_from_this();
  t.editor->set_error_fn([weak](const std::string& msg) {
    if (auto self = weak.lock()) self->say(console::Kind::Error, msg);
  });
  t.editor->on_dirty_changed([weak, id](bool) {
    auto self = weak.lock();
    if (!self) return;
    self->relabel();
    if (id == self->active_id_) self->update_title();
  });
  t.editor->on_cursor_moved([weak, id](int line, int col) {
    auto self = weak.lock();
    if (!self || id != self->active_id_) return;
    std::string s = "Ln " + std::to_string(line + 1) + ", Col " + std::to_string(col + 1);
    gtk_label_set_text(GTK_LABEL(self->position_label_), s.c_str());
    self->update_hint();
  });
  EditorHelpOptions ho;
  ho.evaluator = [weak]() -> evaluator::EvaluatorPtr {
    auto self = weak.lock();
    return self ? self->ev_ : nullptr;
  };
  ho.worker = help_worker_;
  ho.status = [weak](const std::string& s) {
    if (auto self = weak.lock()) self->set_status(s);
  };
  ho.open_at = [weak](const fs::path& p, int64_t line) {
    auto self = weak.lock();
    return self && self->open_at(p, line);
  };
  ho.jumped_from = [weak, id](Offset from) {
    if (auto self = weak.lock()) self->jumps_.emplace_back(id, from);
  };
  t.help = EditorHelp::make(t.editor, std::move(ho));
  t.editor->set_parinfer_mode_fn([weak, id] {
    auto self = weak.lock();
    auto i = self ? self->index_of(id) : std::nullopt;
    if (!i) return ParinferMode::Off;
    const std::string mode = self->parinfer_mode(self->tabs_[*i]);
    return mode == "smart"    ? ParinferMode::Smart
           : mode == "indent" ? ParinferMode::Indent
           : mode == "paren"  ? ParinferMode::Paren
                              : ParinferMode::Off;
  });
  t.editor->set_parinfer_status_fn([weak](const std::string& note) {
    auto self = weak.lock();
    if (!self) return;
    // Clearing takes away only the note itself, never a later message.
    if (!note.empty()) self->set_status(note);
    else if (self->status() == self->parinfer_note_) self->set_status("");
    self->parinfer_note_ = note;
  });
  t.editor->set_completion_key_fn([h = std::weak_ptr<EditorHelp>(t.help)](guint keyval, GdkModifierType state) {
    auto help = h.lock();
    return help && help->handle_key(keyval, state);
  });
  t.editor->set_jump_fn([h = std::weak_ptr<EditorHelp>(t.help)] {
    if (auto help = h.lock()) help->jump();
  });
  t.editor->set_keymap_fn([weak, ed = std::weak_ptr<Editor>(t.editor)](guint keyval, GdkModifierType state,
                                                                         guint) -> int {
    auto self = weak.lock();
    auto e = ed.lock();
    return self && e ? self->handle_editor_key(e, keyval, state) : 0;
  });

  GtkWidget* label_box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
  t.label = gtk_label_new("Untitled");
  GtkWidget* close = gtk_button_new_from_icon_name("window-close-symbolic");
  gtk_button_set_has_frame(GTK_BUTTON(close), FALSE);
  gtk_widget_set_focus_on_click(close, FALSE);
  gtk_box_append(GTK_BOX(label_box), t.label);
  gtk_box_append(GTK_BOX(label_box), close);
  connect<void(GtkButton*)>(close, "clicked", [weak, id](GtkButton*) {
    auto self = weak.lock();
    if (!self) return;
    if (auto i = self->index_of(id)) {
      self->activate_tab(id);
      self->close_active_tab();
    }
  });

  std::size_t at = after ? std::min(*after + 1, tabs_.size()) : tabs_.size();
  tabs_.insert(tabs_.begin() + static_cast<std::ptrdiff_t>(at), std::move(t));
  TabRec& rec = tabs_[at];
  gtk_notebook_insert_page(GTK_NOTEBOOK(notebook_), rec.page, label_box, static_cast<int>(at));
  gtk_notebook_set_tab_reorderable(GTK_NOTEBOOK(notebook_), rec.page, FALSE);
  relabel();
  return rec;
}

void WindowImpl::activate_tab(int id) {
  auto i = index_of(id);
  if (!i) return;
  active_id_ = id;
  std::erase(tab_mru_, id);
  tab_mru_.insert(tab_mru_.begin(), id);
  const int page = gtk_notebook_page_num(GTK_NOTEBOOK(notebook_), tabs_[*i].page);
  // Showing the page that is already current fires no switch-page, so the switch is also done here.
  if (page >= 0 && gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_)) != page) {
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_), page);
  }
  update_title();
  refresh_parinfer_label();
  Offset caret = gtk::caret(tabs_[*i].editor->buffer());
  GtkTextIter it = iter_at(tabs_[*i].editor->buffer(), caret);
  std::string s = "Ln " + std::to_string(gtk_text_iter_get_line(&it) + 1) + ", Col " +
                  std::to_string(gtk_text_iter_get_line_offset(&it) + 1);
  gtk_label_set_text(GTK_LABEL(position_label_), s.c_str());
  update_hint();
  tabs_[*i].editor->focus();
}

void WindowImpl::relabel() {
  auto labels = tabs::labels(tab_views());
  for (std::size_t i = 0; i < tabs_.size(); ++i) gtk_label_set_text(GTK_LABEL(tabs_[i].label), labels[i].c_str());
  gtk_notebook_set_show_tabs(GTK_NOTEBOOK(notebook_), tabs_.size() >= 2);
}

void WindowImpl::update_title() {
  TabRec* t = active();
  if (!t) return;
  const std::string name = tab_name(*t);
  const bool dirty = t->editor->is_dirty();
  std::string title = (dirty ? "* " : "") + name + " - Orrery";
  gtk_window_set_title(window_, title.c_str());
  gtk_label_set_text(GTK_LABEL(title_label_), ((dirty ? "* " : "") + name).c_str());
  std::string folder;
  if (t->path) {
    fs::path parent = t->path->parent_path();
    folder = display_folder(parent);
    if (!folder.starts_with("~")) {
      // A long folder outside the home: its last two parts after an ellipsis.
      std::vector<std::string> parts;
      for (const auto& p : parent) {
        if (p != "/") parts.push_back(p.string());
      }
      if (parts.size() > 2) folder = "\u2026/" + parts[parts.size() - 2] + "/" + parts.back();
    }
  }
  gtk_label_set_text(GTK_LABEL(subtitle_label_), folder.c_str());
}

void WindowImpl::new_tab() {
  try {
    auto after = index_of(active_id_);
    TabRec& t = add_tab(std::nullopt, "", after);
    activate_tab(t.id);
  } catch (const std::exception& e) {
    say(console::Kind::Error, std::string("; new tab: ") + e.what());
  }
}

void WindowImpl::select_tab(std::size_t index) {
  if (index < tabs_.size()) activate_tab(tabs_[index].id);
}

void WindowImpl::remove_tab(std::size_t index) {
  // Out of the list first, so the switch-page that removing the page fires never resolves to it.
  TabRec t = std::move(tabs_[index]);
  tabs_.erase(tabs_.begin() + static_cast<std::ptrdiff_t>(index));
  const bool was_active = t.id == active_id_;
  std::erase(tab_mru_, t.id);
  std::erase_if(jumps_, [id = t.id](const auto& j) { return j.first == id; });
  // A popover still parented on the view makes GTK loop on warnings when the page goes.
  if (t.help) t.help->dispose();
  if (auto* owners = evaluator::capability<evaluator::Owners>(ev_)) {
    try {
      owners->release_owner(std::to_string(t.id));
    } catch (...) {
    }
  }
  const int page = gtk_notebook_page_num(GTK_NOTEBOOK(notebook_), t.page);
  if (page >= 0) gtk_notebook_remove_page(GTK_NOTEBOOK(notebook_), page);
  if (was_active && !tabs_.empty()) activate_tab(tabs_[std::min(index, tabs_.size() - 1)].id);
  relabel();
  // One tab left that belongs to another project: the window adopts it.
  if (tabs_.size() == 1 && tabs_[0].selection && !tabs::is_runnable_here(sel_, tabs_[0].selection) &&
      !tabs::keeps_window_kelp(sel_, tabs_[0].selection)) {
    apply_selection(*tabs_[0].selection);
  }
}

void WindowImpl::close_active_tab() {
  TabRec* t = active();
  if (!t) return;
  if (tabs_.size() == 1) {
    request_close();
    return;
  }
  const int id = t->id;
  if (!t->editor->is_dirty()) {
    remove_tab(*index_of(id));
    return;
  }
  if (alert_pending_) return;
  alert_pending_ = true;
  auto weak = weak_from_this();
  show_alert(window_, tabs::close_alert({tab_labels()[*index_of(id)]}), [weak, id](int choice) {
    auto self = weak.lock();
    if (!self) return;
    self->alert_pending_ = false;
    if (choice == 0) {
      self->save_tab(id, [weak, id](bool saved) {
        auto s = weak.lock();
        if (!s || !saved) return;
        if (auto i = s->index_of(id)) s->remove_tab(*i);
      });
    } else if (choice == 1) {
      if (auto i = self->index_of(id)) self->remove_tab(*i);
    }
  });
}

void WindowImpl::fill_tab(TabRec& t, const fs::path& path, const text_file::Loaded& loaded) {
  t.path = path;
  t.selection = select_for(path);
  t.seen = tabs::stat_of(path);
  t.pending.reset();
  t.missing_reported = false;
  t.editor->set_text(loaded.text);
  if (t.id == active_id_) refresh_parinfer_label();
  if (loaded.had_invalid_utf8) {
    say(console::Kind::System,
        "This file isn't valid UTF-8; unreadable bytes show as \xEF\xBF\xBD and saving will replace them.");
  }
}

std::optional<std::string> WindowImpl::open_file(const fs::path& path) {
  if (auto i = tabs::find_open(tab_views(), path)) {
    activate_tab(tabs_[*i].id);
    return std::nullopt;
  }
  auto read = text_file::read_for_tab(path);
  if (auto* refused = std::get_if<text_file::Refused>(&read)) {
    say(console::Kind::Error, "; open: " + refused->message);
    return refused->message;
  }
  const auto& loaded = std::get<text_file::Loaded>(read);
  TabRec* t = active();
  if (t && tabs::is_untouched_untitled({t->path, t->editor->is_dirty()}, t->editor->text())) {
    fill_tab(*t, path, loaded);
    relabel();
    update_title();
    // The only tab now shows a file of another project: the window follows it.
    if (tabs_.size() == 1 && !tabs::is_runnable_here(sel_, t->selection) &&
        !tabs::keeps_window_kelp(sel_, t->selection)) {
      apply_selection(*t->selection);
    }
    return std::nullopt;
  }
  TabRec& nt = add_tab(std::nullopt, "", index_of(active_id_));
  fill_tab(nt, path, loaded);
  relabel();
  activate_tab(nt.id);
  return std::nullopt;
}

void WindowImpl::refresh_parinfer_label() {
  if (!parinfer_label_) return;
  TabRec* t = active();
  std::optional<std::string> text;
  if (t) {
    const std::optional<std::string> pin = parinfer_pin(*t);
    text = parinfer_status_text(parinfer_mode(*t), pin.has_value(), parinfer_global_);
  }
  gtk_label_set_text(GTK_LABEL(parinfer_label_), text.value_or("").c_str());
  gtk_widget_set_visible(parinfer_label_, text.has_value());
}

void WindowImpl::choose_parinfer(const std::string& choice) {
  parinfer_global_ = parinfer_step(parinfer_global_, choice);
  if (options_.settings_path) save_setting("parinfer", kelp::keyword(parinfer_global_));
  refresh_parinfer_label();
  TabRec* t = active();
  std::string said = parinfer_label_text(parinfer_global_).value_or("Parinfer: off");
  if (t) said += parinfer_pinned_note(parinfer_global_, parinfer_pin(*t)).value_or("");
  set_status(said);
}

bool WindowImpl::open_at(const fs::path& path, int64_t line) {
  if (open_file(path)) return false;
  TabRec* t = active();
  if (!t) return false;
  GtkTextBuffer* buf = t->editor->buffer();
  GtkTextIter it;
  gtk_text_buffer_get_iter_at_line(buf, &it, static_cast<int>(std::max<int64_t>(line - 1, 0)));
  place_caret(buf, offset_of(it));
  if (GtkTextView* view = t->editor->view())
    gtk_text_view_scroll_to_mark(view, gtk_text_buffer_get_insert(buf), 0.1, FALSE, 0, 0);
  t->editor->focus();
  return true;
}

bool WindowImpl::jump_back() {
  if (jumps_.empty()) return false;
  auto [id, at] = jumps_.back();
  jumps_.pop_back();
  auto i = index_of(id);
  if (!i) return false;
  if (id != active_id_) activate_tab(id);
  const std::shared_ptr<Editor>& ed = tabs_[*i].editor;
  place_caret(ed->buffer(), std::min(at, char_count(ed->buffer())));
  if (GtkTextView* view = ed->view())
    gtk_text_view_scroll_to_mark(view, gtk_text_buffer_get_insert(ed->buffer()), 0.1, FALSE, 0, 0);
  ed->focus();
  return true;
}

void WindowImpl::open_dialog() {
  TabRec* t = active();
  FileRequest req{FileMode::Open, std::nullopt, std::nullopt};
  if (t && t->path) req.folder = t->path->parent_path().string();
  else if (options_.dir) req.folder = options_.dir->string();
  auto weak = weak_from_this();
  file_dialog(window_, req, [weak](FileResult r) {
    auto self = weak.lock();
    if (!self) return;
    if (r.path) self->open_file(*r.path);
    else if (!r.dismissed) self->say(console::Kind::Error, "; open: " + r.error);
  });
}

// --- Saving ------------------------------------------------------------------------------------------------------

std::optional<std::string> WindowImpl::save_tab_to(TabRec& t, const fs::path& path) {
  const std::string text = t.editor->text();
  if (auto problem = text_file::save(path, text)) {
    say(console::Kind::Error, "; save: " + *problem);
    set_status(*problem);
    return problem;
  }
  const bool path_changed = !t.path || *t.path != path;
  t.path = path;
  t.editor->rebase_saved(text);
  t.seen = tabs::stat_of(path);
  t.pending.reset();
  t.missing_reported = false;
  t.disk_changed_under_edits = false;
  if (path_changed) {
    t.selection = select_for(path);
    if (tabs_.size() == 1 && !tabs::is_runnable_here(sel_, t.selection) &&
        !tabs::keeps_window_kelp(sel_, t.selection)) {
      apply_selection(*t.selection);
    }
  }
  relabel();
  update_title();
  set_status("Saved " + path.filename().string());
  if (options_.settings_path) {
    std::error_code ec;
    if (fs::equivalent(path, user_keys::keys_path(*options_.settings_path), ec)) reload_keys(false);
  }
  return std::nullopt;
}

std::optional<std::string> WindowImpl::save_to(const fs::path& path) {
  TabRec* t = active();
  if (!t) return std::string("There is no tab to save.");
  return save_tab_to(*t, path);
}

void WindowImpl::save_tab(int id, std::function<void(bool)> done) {
  auto i = index_of(id);
  if (!i) return done(false);
  TabRec& t = tabs_[*i];
  if (t.path && t.disk_changed_under_edits) {
    if (alert_pending_) return done(false);
    alert_pending_ = true;
    tabs::Alert alert{t.path->filename().string() + " changed on disk after you started editing it. Save your "
                      "version over it?",
                      "Saving replaces the text on disk with this tab's text.", {"Save Anyway", "Cancel"}, 1, 1};
    auto weak = weak_from_this();
    show_alert(window_, alert, [weak, id, done](int choice) {
      auto self = weak.lock();
      if (!self) return;
      self->alert_pending_ = false;
      auto j = self->index_of(id);
      if (!j || choice != 0) return done(false);
      self->tabs_[*j].disk_changed_under_edits = false;
      self->save_tab(id, done);
    });
    return;
  }
  if (t.path) return done(!save_tab_to(t, *t.path));
  FileRequest req{FileMode::Save, options_.dir ? std::optional(options_.dir->string()) : std::nullopt,
                  std::string("untitled.clj")};
  auto weak = weak_from_this();
  file_dialog(window_, req, [weak, id, done](FileResult r) {
    auto self = weak.lock();
    if (!self) return;
    auto j = self->index_of(id);
    if (!j || !r.path) {
      if (!r.dismissed && !r.error.empty()) self->say(console::Kind::Error, "; save: " + r.error);
      return done(false);
    }
    done(!self->save_tab_to(self->tabs_[*j], *r.path));
  });
}

void WindowImpl::save() {
  if (TabRec* t = active()) save_tab(t->id, [](bool) {});
}

void WindowImpl::save_as() {
  TabRec* t = active();
  if (!t) return;
  FileRequest req{FileMode::Save, std::nullopt, std::string("untitled.clj")};
  if (t->path) {
    req.folder = t->path->parent_path().string();
    req.suggested_name = t->path->filename().string();
  }
  const int id = t->id;
  auto weak = weak_from_this();
  file_dialog(window_, req, [weak, id](FileResult r) {
    auto self = weak.lock();
    if (!self) return;
    auto i = self->index_of(id);
    if (!i) return;
    if (r.path) self->save_tab_to(self->tabs_[*i], *r.path);
    else if (!r.dismissed) self->say(console::Kind::Error, "; save: " + r.error);
  });
}

// --- Following files on disk -------------------------------------------------------------------------------------

void WindowImpl::poll_disk() {
  std::vector<int> ids;
  for (auto& t : tabs_) ids.push_back(t.id);
  for (int id : ids) {
    auto i = index_of(id);
    if (!i) continue;
    try {
      follow_disk(tabs_[*i]);
    } catch (const std::exception& e) {
      say(console::Kind::Error, "; disk: " + tab_name(tabs_[*i]) + ": " + e.what());
    }
  }
}

void WindowImpl::follow_disk(TabRec& t) {
  if (!t.path) return;
  tabs::Stat stat = tabs::stat_of(*t.path);
  if (!t.seen) {
    t.seen = stat;
    return;
  }
  switch (tabs::stat_step(stat, *t.seen, t.pending)) {
    case tabs::StatStep::Same: t.pending.reset(); return;
    case tabs::StatStep::Wait: t.pending = stat; return;
    case tabs::StatStep::Act: break;
  }
  t.seen = stat;
  t.pending.reset();
  std::optional<std::string> disk;
  std::error_code ec;
  if (fs::exists(*t.path, ec)) {
    auto read = text_file::read_for_tab(*t.path);
    if (auto* refused = std::get_if<text_file::Refused>(&read)) {
      say(console::Kind::System,
          "; " + t.path->filename().string() + " changed on disk but holds a NUL byte, so this tab keeps its text");
      (void)refused;
      return;
    }
    disk = std::get<text_file::Loaded>(read).text;
  }
  const std::string buffer = t.editor->text();
  auto action = tabs::disk_follow(t.editor->saved_text(), disk, buffer, t.missing_reported);
  if (!action) return;
  const std::string name = t.path->filename().string();
  switch (*action) {
    case tabs::DiskAction::Reload:
      t.editor->reload_text(*disk);
      t.disk_changed_under_edits = false;
      say(console::Kind::System, "; " + name + " changed on disk; the tab now shows the new text.");
      break;
    case tabs::DiskAction::Warn:
      t.editor->rebase_saved(*disk);
      t.disk_changed_under_edits = true;
      say(console::Kind::System, "; " + name +
                                     " changed on disk while this tab has unsaved edits. Your edits stay; Save "
                                     "will ask before it writes over the file's new text.");
      break;
    case tabs::DiskAction::Rebase: t.editor->rebase_saved(*disk); break;
    case tabs::DiskAction::Missing:
      t.missing_reported = true;
      say(console::Kind::System, "; " + name + " is gone from disk; Save writes it again.");
      break;
  }
  relabel();
  if (t.id == active_id_) update_title();
}

// --- Closing -----------------------------------------------------------------------------------------------------

gboolean WindowImpl::on_close_request() {
  std::vector<int> dirty;
  std::vector<std::string> names;
  auto labels = tabs::labels(tab_views());
  for (std::size_t i = 0; i < tabs_.size(); ++i) {
    if (tabs_[i].editor->is_dirty()) {
      dirty.push_back(tabs_[i].id);
      std::string label = labels[i];
      if (label.ends_with(" \u25CF")) label.resize(label.size() - std::string(" \u25CF").size());
      names.push_back(label);
    }
  }
  if (!dirty.empty() && !confirmed_close_) {
    if (!alert_pending_) {
      alert_pending_ = true;
      auto weak = weak_from_this();
      show_alert(window_, tabs::close_alert(names), [weak, dirty](int choice) {
        if (auto self = weak.lock()) {
          self->alert_pending_ = false;
          self->close_choice(choice, dirty);
        }
      });
    }
    return TRUE;
  }
  real_quit();
  return FALSE;
}

void WindowImpl::close_choice(int choice, std::vector<int> dirty_ids) {
  if (choice == 0) {
    save_all(std::move(dirty_ids));
  } else if (choice == 1) {
    confirmed_close_ = true;
    close_later();
  }
}

// The window closes again from the main loop, never from inside the close request that asked.
void WindowImpl::close_later() {
  on_gui([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && !self->closed_) gtk_window_close(self->window_);
  });
}

void WindowImpl::save_all(std::vector<int> ids) {
  if (ids.empty()) {
    close_later();
    return;
  }
  const int id = ids.front();
  ids.erase(ids.begin());
  auto weak = weak_from_this();
  save_tab(id, [weak, id, ids](bool saved) {
    auto self = weak.lock();
    if (!self) return;
    if (!saved) {
      // The first tab that did not save stops the sequence and is shown; the window stays open.
      if (self->index_of(id)) self->activate_tab(id);
      return;
    }
    self->save_all(ids);
  });
}

void WindowImpl::real_quit() {
  closed_ = true;
  if (disk_timer_) g_source_remove(disk_timer_);
  disk_timer_ = 0;
  if (seq_watch_) key_seq::unwatch(seq_watch_);
  seq_watch_ = 0;
  if (ev_) {
    try {
      ev_->stop();
    } catch (const std::exception& e) {
      std::string line = std::string("orrery: stopping the runtime failed: ") + e.what() + "\n";
      std::fputs(line.c_str(), stderr);
    }
    runtime_registry().unregister(ev_);
  }
  if (app_) g_application_quit(G_APPLICATION(app_));
}

// --- Runtime -----------------------------------------------------------------------------------------------------

// The selection for a file or a folder (a folder selects as its own project does); never throws.
dialect::Selection WindowImpl::select_for(const std::optional<fs::path>& path) {
  mcp::ToolsOptions o;
  o.dir = options_.cwd;
  o.settings_path = options_.settings_path;
  return mcp::selection_for(o, path ? std::optional(path->string()) : std::nullopt);
}

void WindowImpl::start_runtime() {
  for (const auto& w : sel_.warnings) say(console::Kind::System, "; project: " + w);
  refresh_dialect_label();
  apply_reset_toggle();
  refresh_prompt();
  if (ev_) start_and_report(ev_, sel_);
}

// The child tools' PATH, once the login shell has answered: waited for off the GTK thread, said through the
// console's queue (safe from any thread, and a closed window drops it).
void WindowImpl::say_login_path() {
  std::weak_ptr<ConsoleView> cv = console_;
  std::thread([cv] {
    try {
      if (auto line = login_path::console_line(login_path::answer())) {
        if (auto c = cv.lock()) c->append(console::Kind::System, *line + "\n");
      }
    } catch (...) {
    }
  }).detach();
}

void WindowImpl::start_and_report(const evaluator::EvaluatorPtr& ev, const dialect::Selection& sel) {
  if (sel.runtime == dialect::Runtime::InProcess) return;
  const std::string name = runtime_display(sel);
  if (sel.runtime == dialect::Runtime::Attach) {
    if (auto* note = evaluator::capability<evaluator::StartNote>(ev)) say(console::Kind::System, note->start_note());
    for (const auto& limit : ev->limitations()) say(console::Kind::System, "; Limit: " + limit);
    return;
  }
  set_status("Starting " + name);
  std::weak_ptr<WindowImpl> weak = weak_from_this();
  std::weak_ptr<ConsoleView> cv = console_;
  const std::string folder = sel.project_dir ? display_folder(*sel.project_dir) : std::string();
  std::thread([weak, cv, ev, name, folder] {
    std::optional<std::string> problem;
    try {
      problem = ev->start();
    } catch (const std::exception& e) {
      problem = e.what();
    }
    std::string line;
    if (problem) {
      line = "; " + name + " couldn't start: " + *problem + "\n";
    } else {
      line = "; " + name + " is running";
      if (auto* child = dynamic_cast<nrepl::NRepl*>(ev.get())) {
        auto pid = child->child_pid();
        auto port = child->child_port();
        if (pid && port) line += " (pid " + std::to_string(*pid) + ", port " + std::to_string(*port) + ")";
      }
      if (!folder.empty()) line += " in " + folder;
      line += ".\n";
      for (const auto& limit : ev->limitations()) line += "; Limit: " + limit + "\n";
    }
    if (auto c = cv.lock()) c->append(problem ? console::Kind::Error : console::Kind::System, line);
    on_gui([weak, ev, problem, name] {
      auto self = weak.lock();
      if (!self || self->ev_ != ev) return;
      if (problem) self->set_status(name + " couldn't start.");
      else if (!ev->is_evaluating()) self->set_status("Ready");
      self->refresh_prompt();
    });
  }).detach();
}

void WindowImpl::apply_selection(const dialect::Selection& sel) {
  if (kelp::pr_str(dialect::selection_key(sel)) == kelp::pr_str(dialect::selection_key(sel_))) return;
  evaluator::EvaluatorPtr next;
  try {
    next = evaluator::make(sel);
  } catch (const std::exception& e) {
    say(console::Kind::Error, std::string("; switch: ") + e.what());
    return;
  }
  // Registered at once, so the shutdown can never miss it even if the window closes before it starts.
  runtime_registry().register_evaluator(next);
  evaluator::EvaluatorPtr old = ev_;
  if (old) next->history().set(old->history().get());
  ev_ = next;
  sel_ = sel;
  if (old) {
    std::weak_ptr<ConsoleView> cv = console_;
    std::thread([old, cv] {
      try {
        if (old->is_evaluating()) old->interrupt();
      } catch (const std::exception& e) {
        if (auto c = cv.lock()) c->append(console::Kind::Error, std::string("; switch: ") + e.what() + "\n");
      }
      try {
        old->stop();
      } catch (const std::exception& e) {
        if (auto c = cv.lock()) c->append(console::Kind::Error, std::string("; switch: ") + e.what() + "\n");
      }
      runtime_registry().unregister(old);
    }).detach();
  }
  say(console::Kind::System, "; Switched to " + dialect::label(sel_) + ". The previous session is gone.");
  start_runtime();
}

void WindowImpl::refresh_prompt() {
  evaluator::EvaluatorPtr ev = ev_;
  if (!ev) return;
  std::weak_ptr<ConsoleView> cv = console_;
  on_gui([ev, cv] {
    auto c = cv.lock();
    if (!c) return;
    try {
      c->set_prompt(ev->prompt_ns());
    } catch (const std::exception& e) {
      c->append(console::Kind::Error, std::string("; prompt: ") + e.what() + "\n");
    }
  });
}

void WindowImpl::refresh_dialect_label() {
  gtk_label_set_text(GTK_LABEL(dialect_label_), dialect::label(sel_).c_str());
  // A loose tab follows the window's project pin.
  refresh_parinfer_label();
}

void WindowImpl::apply_reset_toggle() {
  const bool active = gtk_check_button_get_active(GTK_CHECK_BUTTON(reset_check_));
  dialect::ResetToggle t = dialect::reset_toggle(reset_state_, sel_, active);
  reset_state_ = t.state;
  updating_reset_ = true;
  gtk_check_button_set_active(GTK_CHECK_BUTTON(reset_check_), t.active);
  updating_reset_ = false;
  gtk_widget_set_sensitive(reset_check_, t.sensitive);
  gtk_widget_set_tooltip_text(reset_check_, t.tooltip ? t.tooltip->c_str() : nullptr);
  sync_reset_tick();
  if (ev_) ev_->set_mode(t.active ? evaluator::Mode::Reset : evaluator::Mode::Accumulate);
}

evaluator::EvalOptions WindowImpl::eval_options(bool is_run) {
  std::weak_ptr<WindowImpl> weak = weak_from_this();
  std::weak_ptr<ConsoleView> cv = console_;
  evaluator::EvalOptions o;
  o.on_output = [cv](eval::OutputKind kind, std::string_view s) {
    if (auto c = cv.lock()) c->append(output_kind(kind), std::string(s));
  };
  o.on_status_change = [weak](eval::RunStatus status) {
    on_gui([weak, status] {
      auto self = weak.lock();
      if (!self) return;
      if (status == eval::RunStatus::Running) self->set_status("Running\u2026");
      else if (status == eval::RunStatus::WaitingInput) self->set_status("Waiting for input");
    });
  };
  o.on_complete = [weak, cv, is_run](const eval::Result& result) {
    const bool stopped = result.status == eval::Status::Interrupted;
    on_gui([weak, stopped] {
      auto self = weak.lock();
      if (!self) return;
      self->set_status(stopped ? "Stopped" : "Ready");
      self->refresh_prompt();
    });
    auto c = cv.lock();
    if (!c) return;
    c->reset_busy_hint();
    console::ResultLine line = console::result_line(result);
    if (!result.ref.is_nil()) c->append_result(line.kind, line.text, result.ref);
    else c->append(line.kind, line.text);
    c->note_run_end();
    if (is_run && result.status == eval::Status::Error &&
        console::error_text(result).find("EOF while reading") != std::string::npos) {
      on_gui([weak] {
        auto self = weak.lock();
        if (!self || !self->active_editor()) return;
        if (auto msg = console::unclosed_bracket_message(kelp::to_u32(self->active_editor()->text()))) {
          self->say(console::Kind::Error, *msg);
        }
      });
    }
  };
  return o;
}

void WindowImpl::run() {
  TabRec* t = active();
  if (!t || !ev_) return;
  if (ev_->is_evaluating()) {
    if (auto busy = ev_->eval("", eval_options(true))) say(console::Kind::System, *busy);
    return;
  }
  if (!tabs::is_runnable_here(sel_, t->selection)) {
    console_->append(console::Kind::Error, tabs::refusal_message(tab_name(*t), *t->selection, sel_, home_dir()));
    return;
  }
  const std::u32string text = kelp::to_u32(t->editor->text());
  auto problem = pre_run_problem(text);
  console_->mark_entry_start();
  console_->append(console::Kind::System, tabs::run_banner({t->path, t->editor->is_dirty()}));
  if (problem) {
    say(console::Kind::Error, *problem);
    set_status("Ready");
    return;
  }
  evaluator::EvalOptions o = eval_options(true);
  o.run = true;
  o.owner = evaluator::OWNER_RUN;
  if (t->path) o.path = t->path->string();
  o.reset = gtk_check_button_get_active(GTK_CHECK_BUTTON(reset_check_));
  console_->note_run_start();
  if (auto busy = ev_->eval(kelp::to_utf8(text), std::move(o))) say(console::Kind::System, *busy);
}

void WindowImpl::eval_entry(const std::string& code, const evaluator::Owner& owner, bool echo) {
  if (!ev_) return;
  const bool running = ev_->is_evaluating();
  if (echo) console_->echo_entry(code, !running);
  evaluator::EvalOptions o = eval_options(false);
  o.owner = owner;
  if (owner != evaluator::OWNER_REPL) {
    if (TabRec* t = active()) o.ns_source = t->editor->text();
  }
  if (!running) console_->note_run_start();
  if (auto busy = ev_->eval(code, std::move(o))) say(console::Kind::System, *busy);
}

void WindowImpl::run_selection() {
  TabRec* t = active();
  if (!t) return;
  auto code = run_selection_text(t->editor->snapshot());
  if (!code) return;
  eval_entry(kelp::to_utf8(*code), std::to_string(t->id), true);
}

void WindowImpl::run_form() {
  TabRec* t = active();
  if (!t) return;
  Snapshot snap = t->editor->snapshot();
  auto target = orrery::run_form(snap.text, snap.caret);
  if (!target) {
    set_status("No form at the caret.");
    return;
  }
  // Flash the form: select it, then put the caret back unless the selection changed meanwhile.
  GtkTextBuffer* buf = t->editor->buffer();
  const Offset caret = snap.caret;
  gtk::select(buf, target->end, target->start);
  std::weak_ptr<Editor> ed = t->editor;
  const Span flashed{target->end, target->start};
  timeout_add(
      250,
      [ed, caret, flashed]() -> bool {
        auto e = ed.lock();
        if (!e) return false;
        Span now = selection_marks(e->buffer());
        if (now == flashed) place_caret(e->buffer(), caret);
        return false;
      },
      false);
  eval_entry(kelp::to_utf8(target->text), std::to_string(t->id), true);
}

void WindowImpl::stop() {
  if (ev_) ev_->interrupt();
}

// --- Appearance --------------------------------------------------------------------------------------------------

// --- Settings and your keys ---------------------------------------------------------------------------------------

const fs::path& WindowImpl::settings_file() const {
  if (!options_.settings_path) throw std::runtime_error("This window was opened without a settings file.");
  return *options_.settings_path;
}

void WindowImpl::save_setting(const char* key, kelp::Value value) {
  const kelp::Value change = kelp::make_map({kelp::keyword(key), value});
  if (auto problem = settings::save_settings(settings_file(), change)) {
    say(console::Kind::Error, "; " + *problem);
    return;
  }
  settings_ = kelp::is_map(settings_) ? kelp::assoc(settings_, kelp::keyword(key), value) : change;
}

void WindowImpl::save_layout() {
  const kelp::Value layout =
      kelp::make_map({kelp::keyword("split"), kelp::Value::integer(gtk_paned_get_position(GTK_PANED(paned_)))});
  if (auto problem = layouts::save_layout(settings_file(), layout)) throw std::runtime_error(*problem);
  settings_ = settings::load_settings(settings_file()).settings;
  set_status("Saved the layout " + layouts::layout_name(layout));
}

void WindowImpl::reload_keys(bool forced) {
  print_lines(live_keys::load(settings_file(), forced).lines);
  set_key_layers(live_keys::layers("window"), live_keys::layers("editor"));
}

void WindowImpl::open_keys_file() {
  const fs::path path = user_keys::keys_path(settings_file());
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    fs::create_directories(path.parent_path(), ec);
    if (auto problem = text_file::save(path, std::string(user_keys::template_text())))
      throw std::runtime_error("Your key bindings file couldn't be made: " + *problem);
  }
  if (auto problem = open_file(path)) throw std::runtime_error(*problem);
}

void WindowImpl::open_prefs() {
  PrefsDeps deps;
  deps.settings_path = settings_file();
  std::weak_ptr<WindowImpl> weak = weak_from_this();
  deps.reload_keys = [weak] {
    if (auto self = weak.lock()) self->reload_keys(false);
  };
  deps.key_set_changed = [weak](const std::string& id) {
    key_sets::set_live(id);
    if (auto self = weak.lock()) self->set_key_layers(live_keys::layers("window"), live_keys::layers("editor"));
  };
  deps.report = [weak](const std::string& line) {
    if (auto self = weak.lock()) self->say(console::Kind::Error, line);
  };
  open_prefs_window(window_, std::move(deps));
}

void WindowImpl::set_theme(const std::string& choice) {
  theme_choice_ = theme::is_choice(choice) ? choice : std::string(theme::AUTO);
  const theme::Theme& t = theme::theme(theme::resolve_choice(theme_choice_, system_prefers_dark()));
  install_theme_css(t, font_px_);
  if (console_) console_->apply_theme(t);
  for (auto& tab : tabs_) tab.editor->apply_theme(t);
}

}  // namespace

std::shared_ptr<Window> Window::make(GtkApplication* app, LaunchOptions options) {
  auto w = std::make_shared<WindowImpl>(app, std::move(options));
  open_windows().push_back(w);
  w->build();
  return w;
}

// --- The application ---------------------------------------------------------------------------------------------

namespace {

struct AppState {
  LaunchOptions base;
  std::shared_ptr<Window> window;
};

void report_open_problem(AppState& st, const std::string& msg) {
  if (st.window) {
    st.window->console().append(console::Kind::Error, "; Couldn't open: " + msg + "\n");
  } else {
    std::string line = "orrery: Couldn't open: " + msg + "\n";
    std::fputs(line.c_str(), stderr);
  }
}

}  // namespace

int start_application(const std::vector<std::string>& argv, LaunchOptions base) {
  GtkApplication* app = gtk_application_new(
      nullptr, GApplicationFlags(G_APPLICATION_NON_UNIQUE | G_APPLICATION_HANDLES_OPEN));
  AppState st{std::move(base), nullptr};
  connect<void(GApplication*)>(app, "activate", [&st](GApplication* a) {
    if (!st.window) st.window = Window::make(GTK_APPLICATION(a), st.base);
  });
  connect<void(GApplication*, GFile**, int, const char*)>(
      app, "open", [&st](GApplication* a, GFile** files, int n, const char*) {
        std::vector<fs::path> paths;
        for (int i = 0; i < n; ++i) {
          char* p = g_file_get_path(files[i]);
          if (p) {
            paths.emplace_back(p);
            g_free(p);
          } else {
            char* uri = g_file_get_uri(files[i]);
            report_open_problem(st, std::string(uri ? uri : "(unknown)") + ": not a local file");
            g_free(uri);
          }
        }
        if (paths.empty()) return;
        std::vector<fs::path> rest = paths;
        if (!st.window) {
          std::error_code ec;
          LaunchSplit split = launch_split(st.base, paths, fs::is_directory(paths[0], ec));
          st.window = Window::make(GTK_APPLICATION(a), split.launch);
          rest = split.rest;
        }
        for (const auto& p : rest) st.window->open_file(p);
      });
  std::vector<char*> cargs;
  std::vector<std::string> owned = argv;
  for (auto& s : owned) cargs.push_back(s.data());
  cargs.push_back(nullptr);
  const int status = g_application_run(G_APPLICATION(app), static_cast<int>(owned.size()), cargs.data());
  st.window.reset();
  g_object_unref(app);
  return status;
}

}  // namespace orrery::gtk
