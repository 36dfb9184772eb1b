#include "orrery/gtk/editor_help.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "orrery/gtk/buffer.hpp"
#include "orrery/gtk/callbacks.hpp"
#include "orrery/gtk/console_view.hpp"
#include "orrery/gtk/editor.hpp"
#include "orrery/gtk/object.hpp"
#include "orrery/help.hpp"
#include "orrery/syntax_defs.hpp"

namespace orrery::gtk {
namespace {

namespace fs = std::filesystem;

// Rows built at once: a one-letter prefix can match a thousand names, and the list shows a window of them that
// follows the selection.
constexpr std::size_t SHOWN_ROWS = 50;
constexpr int DOC_WIDTH_CHARS = 72;
constexpr int DOC_MAX_HEIGHT = 320;

bool is_bare_modifier(guint keyval) { return keyval >= 0xffe1 && keyval <= 0xffee; }

// The runtime's names, {:candidate "map" :type :builtin} maps in order; anything else is skipped.
std::vector<Candidate> candidates_of(const kelp::Value& v) {
  std::vector<Candidate> out;
  if (!v.is_obj() || kelp::is_map(v)) return out;
  v.obj()->each([&](const kelp::Value& m) {
    if (!kelp::is_map(m)) return true;
    const kelp::Value* name = kelp::get(m, kelp::keyword("candidate"));
    if (!name || !name->is(kelp::Kind::String)) return true;
    Candidate c{kelp::to_u32(kelp::str_view(*name)), Category::User};
    if (const kelp::Value* type = kelp::get(m, kelp::keyword("type")); type && kelp::is_keyword(*type)) {
      std::string_view t = type->as<kelp::Keyword>().name();
      if (t == "special") c.category = Category::Special;
      if (t == "builtin") c.category = Category::Builtin;
    }
    out.push_back(std::move(c));
    return true;
  });
  return out;
}

std::string utf8(std::u32string_view s) { return kelp::to_utf8(s); }

std::u32string trimmed(std::u32string_view s) {
  auto blank = [](char32_t c) { return is_blank(std::u32string_view(&c, 1)); };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return std::u32string(s);
}

// The entry quick docs show for name: the runtime's var, else the buffer's own definition of it, else not found.
DocMap docs_for(const std::optional<DocMap>& runtime, std::u32string_view text, std::u32string_view name) {
  if (runtime && runtime->status == DocStatus::Found) return *runtime;
  DocMap d;
  d.symbol = utf8(name);
  if (std::optional<DefinitionHit> hit = find_definition(text, name)) {
    d.status = DocStatus::BufferDef;
    d.line = hit->line;
    d.kind = hit->kind;
    if (std::optional<BufferDefMeta> meta = extract_buffer_def_meta(text, *hit)) {
      if (meta->doc) d.doc = utf8(*meta->doc);
      if (meta->arglists) d.arglists = utf8(*meta->arglists);
    }
  }
  return d;
}

// Where a runtime var is defined, as its file and line; nothing when the runtime does not know.
std::optional<std::string> location_of(const DocMap& d) {
  if (d.status != DocStatus::Found || !d.file || d.file->empty() || *d.file == "unknown") return std::nullopt;
  return d.line ? *d.file + ":" + std::to_string(*d.line) : *d.file;
}

// What the help features read and edit: an editor's whole text, or the console's input line (whose snapshot
// offsets count from the input's start).
class Host {
 public:
  virtual ~Host() = default;
  virtual GtkWidget* widget() = 0;  // the popovers' parent
  virtual GtkTextView* view() = 0;
  virtual GtkTextBuffer* buffer() = 0;
  virtual std::optional<Snapshot> snapshot() = 0;
  virtual bool apply_op(const std::optional<EditOp>& op) = 0;
  virtual Offset buffer_offset(Offset at) = 0;  // where a snapshot offset stands in the view's buffer
  virtual void on_caret_moved(std::function<void()> f) = 0;
  virtual void on_focus_lost(std::function<void()> f) = 0;
  virtual std::shared_ptr<Editor> editor() = 0;  // for what only an editor has (jumps, rename); none in the console
};

class EditorHost final : public Host {
 public:
  explicit EditorHost(const std::shared_ptr<Editor>& ed) : ed_(ed) {}
  GtkWidget* widget() override { return ed_.lock() ? ed_.lock()->widget() : nullptr; }
  GtkTextView* view() override { return ed_.lock() ? ed_.lock()->view() : nullptr; }
  GtkTextBuffer* buffer() override { return ed_.lock() ? ed_.lock()->buffer() : nullptr; }
  std::optional<Snapshot> snapshot() override {
    if (auto ed = ed_.lock()) return ed->snapshot();
    return std::nullopt;
  }
  bool apply_op(const std::optional<EditOp>& op) override {
    auto ed = ed_.lock();
    return ed && ed->apply_op(op);
  }
  Offset buffer_offset(Offset at) override { return at; }
  void on_caret_moved(std::function<void()> f) override {
    if (auto ed = ed_.lock()) ed->on_cursor_moved([f = std::move(f)](int, int) { f(); });
  }
  void on_focus_lost(std::function<void()> f) override {
    if (auto ed = ed_.lock()) ed->on_focus_lost(std::move(f));
  }
  std::shared_ptr<Editor> editor() override { return ed_.lock(); }

 private:
  std::weak_ptr<Editor> ed_;
};

class ConsoleHost final : public Host {
 public:
  explicit ConsoleHost(const std::shared_ptr<ConsoleView>& console) : console_(console) {}
  GtkWidget* widget() override { return console_.lock() ? console_.lock()->widget() : nullptr; }
  GtkTextView* view() override { return console_.lock() ? console_.lock()->view() : nullptr; }
  GtkTextBuffer* buffer() override { return console_.lock() ? console_.lock()->buffer() : nullptr; }
  std::optional<Snapshot> snapshot() override {
    if (auto c = console_.lock()) return c->input_snapshot();
    return std::nullopt;
  }
  bool apply_op(const std::optional<EditOp>& op) override {
    auto c = console_.lock();
    return c && op && c->apply_input_op(*op);
  }
  // The input runs to the buffer's end.
  Offset buffer_offset(Offset at) override {
    auto c = console_.lock();
    if (!c) return at;
    const auto input = static_cast<Offset>(kelp::to_u32(c->input_text()).size());
    return static_cast<Offset>(gtk_text_buffer_get_char_count(c->buffer())) - input + at;
  }
  void on_caret_moved(std::function<void()> f) override {
    if (auto c = console_.lock()) c->on_input_changed(std::move(f));
  }
  void on_focus_lost(std::function<void()> f) override {
    if (auto c = console_.lock()) c->on_focus_lost(std::move(f));
  }
  std::shared_ptr<Editor> editor() override { return nullptr; }

 private:
  std::weak_ptr<ConsoleView> console_;
};

class EditorHelpImpl final : public EditorHelp, public std::enable_shared_from_this<EditorHelpImpl> {
 public:
  EditorHelpImpl(std::shared_ptr<Host> host, EditorHelpOptions options)
      : host_(std::move(host)), opts_(std::move(options)) {}

  void build() {
    // On the scrolled window around the view: a text view counts every child as one of its own text children
    // and warns endlessly about a popover.
    parent_ = host_->widget();

    // Neither popover takes the focus: typing goes on in the editor, whose key handler steers the popup.
    completion_ = Ref<GtkWidget>::share(gtk_popover_new());
    GtkPopover* cp = GTK_POPOVER(completion_.get());
    gtk_popover_set_autohide(cp, FALSE);
    gtk_popover_set_has_arrow(cp, FALSE);
    gtk_popover_set_position(cp, GTK_POS_BOTTOM);
    gtk_widget_set_can_focus(completion_.get(), FALSE);
    gtk_widget_add_css_class(completion_.get(), "orrery-completion");
    list_ = gtk_list_box_new();
    gtk_list_box_set_selection_mode(GTK_LIST_BOX(list_), GTK_SELECTION_SINGLE);
    gtk_widget_set_can_focus(list_, FALSE);
    GtkWidget* scroller = gtk_scrolled_window_new();
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroller), TRUE);
    gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller), 260);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), list_);
    gtk_popover_set_child(cp, scroller);
    gtk_widget_set_parent(completion_.get(), parent_);

    doc_ = Ref<GtkWidget>::share(gtk_popover_new());
    GtkPopover* dp = GTK_POPOVER(doc_.get());
    gtk_popover_set_autohide(dp, FALSE);
    gtk_popover_set_position(dp, GTK_POS_BOTTOM);
    gtk_widget_set_can_focus(doc_.get(), FALSE);
    doc_label_ = gtk_label_new("");
    gtk_label_set_wrap(GTK_LABEL(doc_label_), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(doc_label_), DOC_WIDTH_CHARS);
    gtk_label_set_xalign(GTK_LABEL(doc_label_), 0);
    gtk_widget_add_css_class(doc_label_, "orrery-doc");
    GtkWidget* doc_scroller = gtk_scrolled_window_new();
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(doc_scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(doc_scroller), TRUE);
    gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(doc_scroller), TRUE);
    gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(doc_scroller), DOC_MAX_HEIGHT);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(doc_scroller), doc_label_);
    gtk_popover_set_child(dp, doc_scroller);
    gtk_widget_set_parent(doc_.get(), parent_);

    // The rename popover takes the focus for its entry and closes on a click elsewhere or Escape.
    rename_ = Ref<GtkWidget>::share(gtk_popover_new());
    gtk_popover_set_position(GTK_POPOVER(rename_.get()), GTK_POS_BOTTOM);
    GtkWidget* rename_box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    rename_entry_ = gtk_entry_new();
    gtk_entry_set_placeholder_text(GTK_ENTRY(rename_entry_), "New name");
    gtk_editable_set_width_chars(GTK_EDITABLE(rename_entry_), 28);
    rename_problem_ = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(rename_problem_), 0);
    gtk_label_set_wrap(GTK_LABEL(rename_problem_), TRUE);
    gtk_widget_add_css_class(rename_problem_, "dim-label");
    gtk_widget_set_visible(rename_problem_, FALSE);
    gtk_box_append(GTK_BOX(rename_box), rename_entry_);
    gtk_box_append(GTK_BOX(rename_box), rename_problem_);
    gtk_popover_set_child(GTK_POPOVER(rename_.get()), rename_box);
    gtk_widget_set_parent(rename_.get(), parent_);

    // The parent must let go of its popovers before it is finalized, or GTK warns of children left behind.
    destroy_handler_ = g_signal_connect_swapped(parent_, "destroy", G_CALLBACK(+[](gpointer data) {
                                                  static_cast<EditorHelpImpl*>(data)->dispose();
                                                }),
                                                this);

    std::weak_ptr<EditorHelpImpl> weak = weak_from_this();
    host_->on_caret_moved([weak] {
      auto self = weak.lock();
      if (!self || !self->state_ || self->refine_queued_) return;
      // After the edit that moved the caret has finished: the buffer is read whole then.
      self->refine_queued_ = true;
      on_gui([weak] {
        if (auto s = weak.lock()) {
          s->refine_queued_ = false;
          s->refine();
        }
      });
    });
    host_->on_focus_lost([weak] {
      if (auto self = weak.lock()) {
        self->close_completion();
        self->close_doc();
      }
    });
    connect<void(GtkEditable*)>(rename_entry_, "changed", [weak](GtkEditable*) {
      if (auto self = weak.lock(); self && self->rename_open()) self->show_rename_problem();
    });
    connect<void(GtkEntry*)>(rename_entry_, "activate", [weak](GtkEntry*) {
      if (auto self = weak.lock()) self->rename_apply();
    });
  }

  ~EditorHelpImpl() override { dispose(); }

  bool complete() override {
    std::optional<Snapshot> got = host_->snapshot();
    if (!got) return false;
    Snapshot snap = std::move(*got);
    std::optional<SymbolPrefix> prefix = help::prefix_at(snap);
    if (!prefix) return false;
    close_doc();
    if (std::optional<std::vector<Candidate>> names = ask_names(snap, *prefix)) {
      std::optional<help::PopupState> state = help::open_state(*prefix, std::move(*names));
      if (!state) {
        close_completion();
        say("No completions for " + utf8(prefix->prefix) + ".");
        return false;
      }
      if (state->single) {
        close_completion();
        return host_->apply_op(help::commit_op(*state, snap));
      }
      show(std::move(*state), snap);
    } else {
      show(*help::waiting_state(prefix), snap);
    }
    return true;
  }

  bool handle_key(guint kv, GdkModifierType state) override {
    if (is_bare_modifier(kv)) return false;
    // Quick docs pressed again over the same symbol ask for the full docs; the press closes the popover first.
    shown_before_key_ = doc_open() ? doc_target_ : std::nullopt;
    if (doc_open()) {
      close_doc();
      if (kv == GDK_KEY_Escape) return true;
    }
    if (!state_) return false;
    const bool plain = !(state & (GDK_CONTROL_MASK | GDK_ALT_MASK | GDK_META_MASK | GDK_SUPER_MASK));
    switch (kv) {
      case GDK_KEY_Escape:
        close_completion();
        return true;
      case GDK_KEY_Up:
      case GDK_KEY_KP_Up:
        if (!plain) break;
        move(-1);
        return true;
      case GDK_KEY_Down:
      case GDK_KEY_KP_Down:
        if (!plain) break;
        move(1);
        return true;
      case GDK_KEY_Return:
      case GDK_KEY_KP_Enter:
      case GDK_KEY_Tab:
      case GDK_KEY_ISO_Left_Tab:
        if (!plain) break;
        return commit();
      default: break;
    }
    return false;
  }

  bool quick_doc() override {
    std::optional<Snapshot> got = host_->snapshot();
    if (!got) return false;
    Snapshot snap = std::move(*got);
    std::optional<help::Target> target = help::target(snap);
    if (!target) {
      say("No symbol at the caret.");
      return false;
    }
    close_completion();
    const bool again = shown_before_key_ == target;
    shown_before_key_.reset();
    if (again) {
      full_doc(*target, snap);
      return true;
    }
    auto text = std::make_shared<const std::u32string>(snap.text);
    ask_doc(*target, [text, target = *target](EditorHelpImpl& self, const std::optional<DocMap>& runtime) {
      DocMap d = docs_for(runtime, *text, target.symbol);
      self.show_doc(help::doc_text(d, help::location_line(location_of(d))), target.start);
      self.doc_target_ = target;
    });
    return true;
  }

  bool jump() override {
    auto ed = host_->editor();
    if (!ed) return false;
    Snapshot snap = ed->snapshot();
    std::optional<help::Target> target = help::target(snap);
    if (!target) {
      say("No symbol at the caret.");
      return false;
    }
    close();
    if (std::optional<help::JumpTarget> here = help::jump_target(snap, std::nullopt)) {
      go_to(*ed, here->offset);
      return true;
    }
    // Only the runtime can say where a name the buffer does not define lives.
    auto kept = std::make_shared<const Snapshot>(std::move(snap));
    ask_doc(*target, [kept, target = *target](EditorHelpImpl& self, const std::optional<DocMap>& runtime) {
      std::optional<help::JumpTarget> there = help::jump_target(*kept, runtime);
      if (!there) {
        self.say("Found no definition of " + utf8(target.symbol) + ".");
        return;
      }
      auto e = self.host_->editor();
      if (!e) return;
      if (there->kind == help::JumpTarget::Kind::Buffer) {
        self.go_to(*e, there->offset);
        return;
      }
      const DocMap& d = *there->doc;
      std::error_code ec;
      if (std::optional<std::string> file = location_of(d);
          file && self.opts_.open_at && fs::is_regular_file(fs::path(*d.file), ec)) {
        const Offset from = caret(e->buffer());
        if (self.opts_.open_at(fs::path(*d.file), d.line.value_or(1))) {
          if (self.opts_.jumped_from) self.opts_.jumped_from(from);
          return;
        }
      }
      self.show_doc(help::doc_text(d, help::location_line(location_of(d))), target.start);
    });
    return true;
  }

  bool rename() override {
    auto ed = host_->editor();
    if (!ed || !parent_) return false;
    Snapshot snap = ed->snapshot();
    std::optional<help::Target> target = help::target(snap);
    if (!target) {
      say("No symbol at the caret.");
      return false;
    }
    close_completion();
    close_doc();
    const std::string name = utf8(target->symbol);
    gtk_editable_set_text(GTK_EDITABLE(rename_entry_), name.c_str());
    gtk_widget_set_visible(rename_problem_, FALSE);
    GdkRectangle r = caret_rect(target->start);
    gtk_popover_set_pointing_to(GTK_POPOVER(rename_.get()), &r);
    gtk_popover_popup(GTK_POPOVER(rename_.get()));
    gtk_widget_grab_focus(rename_entry_);
    gtk_editable_select_region(GTK_EDITABLE(rename_entry_), 0, -1);
    return true;
  }

  void rename_apply() override {
    auto ed = host_->editor();
    if (!ed || !rename_open()) return;
    // The caret is still on the symbol: the entry has had the focus since the popover opened.
    Snapshot snap = ed->snapshot();
    const std::u32string entry = kelp::to_u32(gtk_editable_get_text(GTK_EDITABLE(rename_entry_)));
    if (show_rename_problem()) return;
    std::optional<help::Target> target = help::target(snap);
    std::optional<EditOp> op = help::rename_op(snap, entry);
    if (!target || !op) return;
    gtk_popover_popdown(GTK_POPOVER(rename_.get()));
    ed->focus();
    if (!ed->apply_op(op)) {
      say("This buffer can't be changed.");
      return;
    }
    say(help::renamed_status(target->symbol, trimmed(entry), op->edits.size()));
  }

  bool close() override {
    const bool was = completion_open() || doc_open() || rename_open();
    close_completion();
    close_doc();
    if (rename_open()) gtk_popover_popdown(GTK_POPOVER(rename_.get()));
    return was;
  }

  void dispose() override {
    ++ask_gen_;
    state_.reset();
    if (!parent_) return;
    if (destroy_handler_) g_signal_handler_disconnect(parent_, destroy_handler_);
    destroy_handler_ = 0;
    for (GtkWidget* p : {completion_.get(), doc_.get(), rename_.get()}) {
      if (p && gtk_widget_get_parent(p) == parent_) {
        gtk_popover_popdown(GTK_POPOVER(p));
        gtk_widget_unparent(p);
      }
    }
    parent_ = nullptr;
  }

  bool completion_open() override { return state_.has_value() && parent_; }
  bool completion_waiting() override { return state_ && state_->waiting; }
  std::vector<std::string> completion_rows() override {
    std::vector<std::string> rows;
    if (!state_) return rows;
    for (const Candidate& c : state_->candidates) rows.push_back(utf8(c.symbol) + "  " + label(c));
    return rows;
  }
  std::size_t completion_index() override { return state_ ? state_->index : 0; }
  bool doc_open() override { return parent_ && gtk_widget_get_visible(doc_.get()); }
  bool rename_open() override { return parent_ && gtk_widget_get_visible(rename_.get()); }
  GtkEditable* rename_entry() override { return GTK_EDITABLE(rename_entry_); }
  std::string rename_problem_shown() override {
    return gtk_widget_get_visible(rename_problem_) ? gtk_label_get_text(GTK_LABEL(rename_problem_)) : "";
  }
  std::string doc_shown() override { return doc_open() ? doc_text_ : ""; }

 private:
  using DocThen = std::function<void(EditorHelpImpl&, const std::optional<DocMap>&)>;

  // Shows why the entry's name can't be applied, or hides the line; answers whether there is a problem.
  bool show_rename_problem() {
    auto ed = host_->editor();
    if (!ed) return true;
    const std::u32string entry = kelp::to_u32(gtk_editable_get_text(GTK_EDITABLE(rename_entry_)));
    std::optional<std::string> problem = help::rename_problem(ed->snapshot(), entry);
    gtk_label_set_text(GTK_LABEL(rename_problem_), problem.value_or("").c_str());
    gtk_widget_set_visible(rename_problem_, problem.has_value());
    return problem.has_value();
  }

  void say(const std::string& s) {
    if (opts_.status) opts_.status(s);
  }

  evaluator::EvaluatorPtr ev() { return opts_.evaluator ? opts_.evaluator() : nullptr; }

  // The names for prefix: now when the runtime answers within the grace, else nothing and they arrive later.
  std::optional<std::vector<Candidate>> ask_names(const Snapshot& snap, const SymbolPrefix& prefix) {
    const uint64_t gen = ++ask_gen_;
    evaluator::CompleteRequest req{utf8(prefix.prefix), utf8(snap.text), snap.caret, kelp::Value()};
    auto names = [runtime = ev(), req] {
      return runtime ? runtime->complete(req) : evaluator::offline_candidates(req, evaluator::NO_IN_PROCESS_NS);
    };
    std::weak_ptr<EditorHelpImpl> weak = weak_from_this();
    evaluator::HelpAnswer a = evaluator::ask_help(*opts_.worker, names, [weak, gen](const kelp::Value& r) {
      // Made plain data here, on the worker, so only strings cross to the GTK thread.
      auto later = std::make_shared<std::vector<Candidate>>(candidates_of(r));
      on_gui([weak, gen, later] {
        if (auto self = weak.lock()) self->names_arrived(gen, std::move(*later));
      });
    });
    if (!a.now) return std::nullopt;
    return candidates_of(a.r);
  }

  void names_arrived(uint64_t gen, std::vector<Candidate> names) {
    if (gen != ask_gen_ || !state_) return;
    std::optional<Snapshot> got = host_->snapshot();
    if (!got) return;
    Snapshot snap = std::move(*got);
    // The answer was for the prefix when asked; what was typed since narrows it.
    std::optional<help::PopupState> next = help::refine_waiting(help::arrive(*state_, std::move(names)), snap);
    if (!next || next->candidates.empty()) {
      close_completion();
      return;
    }
    show(std::move(*next), snap);
  }

  // The popup follows the word being typed: asked again on the new prefix, or closed when the caret left it.
  void refine() {
    std::optional<Snapshot> got = host_->snapshot();
    if (!state_ || !got) return;
    Snapshot snap = std::move(*got);
    if (!help::is_still_valid(*state_, snap)) {
      close_completion();
      return;
    }
    SymbolPrefix now = get_symbol_prefix_at_pos(snap.text, snap.caret);
    if (now == state_->prefix_info) return;
    if (std::optional<std::vector<Candidate>> names = ask_names(snap, now)) {
      std::optional<help::PopupState> next = help::refine(*state_, snap, std::move(*names));
      if (!next) {
        close_completion();
        return;
      }
      show(std::move(*next), snap);
    } else if (std::optional<help::PopupState> next = help::refine_waiting(*state_, snap)) {
      next->waiting = true;
      show(std::move(*next), snap);
    } else {
      close_completion();
    }
  }

  void ask_doc(const help::Target& target, DocThen then) {
    const uint64_t gen = ++doc_gen_;
    std::string sym = utf8(target.symbol);
    auto lookup = [runtime = ev(), sym, pos = target.start]() -> kelp::Value {
      return runtime ? runtime->lookup(sym, pos) : kelp::Value();
    };
    std::weak_ptr<EditorHelpImpl> weak = weak_from_this();
    evaluator::HelpAnswer a = evaluator::ask_help(*opts_.worker, lookup, [weak, gen, then](const kelp::Value& r) {
      auto doc = std::make_shared<std::optional<DocMap>>(doc_map_of(r));
      on_gui([weak, gen, then, doc] {
        auto self = weak.lock();
        if (self && gen == self->doc_gen_) then(*self, *doc);
      });
    });
    if (a.now) then(*this, doc_map_of(a.r));
  }

  // The runtime's full documentation in the popover, or the status line's sentence for why there is none.
  void full_doc(const help::Target& target, const Snapshot& snap) {
    const std::string sym = utf8(target.symbol);
    auto* full = dynamic_cast<evaluator::FullDoc*>(ev().get());
    if (!full) {
      say(*help::full_doc_status({help::FullDocStatus::NoOp, sym, ""}));
      return;
    }
    const uint64_t gen = ++doc_gen_;
    std::weak_ptr<EditorHelpImpl> weak = weak_from_this();
    full->full_doc(sym, utf8(snap.text), [weak, gen, sym, at = target.start](const kelp::Value& r) {
      // Read into plain strings on the answering thread.
      help::FullDocResult result{help::FullDocStatus::NotFound, sym, ""};
      std::string text;
      auto field = [&](const char* key) -> std::string {
        const kelp::Value* v = kelp::is_map(r) ? kelp::get(r, kelp::keyword(key)) : nullptr;
        if (v && v->is(kelp::Kind::String)) return std::string(kelp::str_view(*v));
        if (v && kelp::is_keyword(*v)) return std::string(v->as<kelp::Keyword>().name());
        return "";
      };
      const std::string status = field("status");
      if (status == "ok") result.status = help::FullDocStatus::Ok;
      if (status == "no-op") result.status = help::FullDocStatus::NoOp;
      if (status == "timeout") result.status = help::FullDocStatus::Timeout;
      if (status == "not-attached") result.status = help::FullDocStatus::NotAttached;
      if (status == "not-loaded") result.status = help::FullDocStatus::NotLoaded;
      result.ns = field("ns");
      text = field("text");
      on_gui([weak, gen, result, text, at] {
        auto self = weak.lock();
        if (!self || gen != self->doc_gen_) return;
        if (std::optional<std::string> why = help::full_doc_status(result)) {
          self->say(*why);
        } else {
          self->show_doc(text, at);
        }
      });
    });
  }

  bool commit() {
    std::optional<Snapshot> snap = host_->snapshot();
    if (!snap || !state_) return false;
    std::optional<EditOp> op = help::commit_op(*state_, *snap);
    close_completion();
    return op && host_->apply_op(op);
  }

  void move(int64_t delta) {
    state_ = help::move(*state_, delta);
    if (state_->index < first_row_ || state_->index >= first_row_ + SHOWN_ROWS) {
      rebuild_rows();
    } else {
      select_row();
    }
  }

  std::string label(const Candidate& c) const { return help::candidate_label(c, buffer_defs_); }

  void show(help::PopupState state, const Snapshot& snap) {
    if (!parent_) return;
    const bool was_open = state_.has_value();
    const Offset old_start = was_open ? state_->prefix_info.start : -1;
    state_ = std::move(state);
    buffer_defs_ = find_buffer_definitions(snap.text);
    rebuild_rows();
    GtkPopover* p = GTK_POPOVER(completion_.get());
    if (!was_open || old_start != state_->prefix_info.start) {
      GdkRectangle at = caret_rect(state_->prefix_info.start);
      gtk_popover_set_pointing_to(p, &at);
    }
    if (!gtk_widget_get_visible(completion_.get())) gtk_popover_popup(p);
  }

  void rebuild_rows() {
    while (GtkWidget* row = gtk_widget_get_first_child(list_)) gtk_list_box_remove(GTK_LIST_BOX(list_), row);
    const auto& cs = state_->candidates;
    first_row_ = state_->index < SHOWN_ROWS ? 0 : state_->index - SHOWN_ROWS + 1;
    if (cs.empty()) {
      GtkWidget* waiting = gtk_label_new("Looking up names\u2026");
      gtk_widget_add_css_class(waiting, "dim-label");
      gtk_list_box_append(GTK_LIST_BOX(list_), waiting);
      return;
    }
    const std::size_t end = std::min(cs.size(), first_row_ + SHOWN_ROWS);
    for (std::size_t i = first_row_; i < end; ++i) {
      GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
      gtk_widget_set_margin_start(row, 4);
      gtk_widget_set_margin_end(row, 4);
      GtkWidget* name = gtk_label_new(utf8(cs[i].symbol).c_str());
      gtk_label_set_xalign(GTK_LABEL(name), 0);
      gtk_widget_set_hexpand(name, TRUE);
      gtk_widget_add_css_class(name, "monospace");
      GtkWidget* kind = gtk_label_new(label(cs[i]).c_str());
      gtk_widget_add_css_class(kind, "dim-label");
      gtk_box_append(GTK_BOX(row), name);
      gtk_box_append(GTK_BOX(row), kind);
      gtk_list_box_append(GTK_LIST_BOX(list_), row);
    }
    select_row();
  }

  void select_row() {
    GtkListBoxRow* row =
        gtk_list_box_get_row_at_index(GTK_LIST_BOX(list_), static_cast<int>(state_->index - first_row_));
    if (row) gtk_list_box_select_row(GTK_LIST_BOX(list_), row);
  }

  void close_completion() {
    ++ask_gen_;
    state_.reset();
    if (parent_ && gtk_widget_get_visible(completion_.get())) gtk_popover_popdown(GTK_POPOVER(completion_.get()));
  }

  void close_doc() {
    ++doc_gen_;
    if (parent_ && gtk_widget_get_visible(doc_.get())) gtk_popover_popdown(GTK_POPOVER(doc_.get()));
  }

  void show_doc(const std::string& text, Offset at) {
    if (!parent_) return;
    doc_target_.reset();
    doc_text_ = text;
    gtk_label_set_text(GTK_LABEL(doc_label_), text.c_str());
    GdkRectangle r = caret_rect(at);
    gtk_popover_set_pointing_to(GTK_POPOVER(doc_.get()), &r);
    gtk_popover_popup(GTK_POPOVER(doc_.get()));
  }

  void go_to(Editor& ed, Offset offset) {
    GtkTextBuffer* buf = ed.buffer();
    if (opts_.jumped_from) opts_.jumped_from(caret(buf));
    place_caret(buf, offset);
    if (GtkTextView* view = ed.view()) {
      gtk_text_view_scroll_to_mark(view, gtk_text_buffer_get_insert(buf), 0.1, FALSE, 0, 0);
    }
  }

  // Where offset's character stands, in the popovers' parent's coordinates.
  GdkRectangle caret_rect(Offset offset) {
    GdkRectangle r{0, 0, 1, 1};
    GtkTextView* view = host_->view();
    if (!view || !parent_) return r;
    GtkTextIter it = iter_at(host_->buffer(), host_->buffer_offset(offset));
    gtk_text_view_get_iter_location(view, &it, &r);
    int x = 0, y = 0;
    gtk_text_view_buffer_to_window_coords(view, GTK_TEXT_WINDOW_WIDGET, r.x, r.y, &x, &y);
    double px = x, py = y;
    gtk_widget_translate_coordinates(GTK_WIDGET(view), parent_, x, y, &px, &py);
    return {static_cast<int>(px), static_cast<int>(py), std::max(r.width, 1), std::max(r.height, 1)};
  }

  std::shared_ptr<Host> host_;
  EditorHelpOptions opts_;
  GtkWidget* parent_ = nullptr;
  gulong destroy_handler_ = 0;
  Ref<GtkWidget> completion_;
  GtkWidget* list_ = nullptr;
  Ref<GtkWidget> doc_;
  GtkWidget* doc_label_ = nullptr;
  std::string doc_text_;
  Ref<GtkWidget> rename_;
  GtkWidget* rename_entry_ = nullptr;
  GtkWidget* rename_problem_ = nullptr;
  std::optional<help::Target> doc_target_;        // the symbol the doc popover shows
  std::optional<help::Target> shown_before_key_;  // what it showed when the key being handled came

  std::optional<help::PopupState> state_;
  std::set<std::u32string> buffer_defs_;
  std::size_t first_row_ = 0;
  uint64_t ask_gen_ = 0;  // an answer for an earlier request, or a closed popup, is dropped
  uint64_t doc_gen_ = 0;
  bool refine_queued_ = false;
};

}  // namespace

std::shared_ptr<EditorHelp> EditorHelp::make(const std::shared_ptr<Editor>& editor, EditorHelpOptions options) {
  auto help = std::make_shared<EditorHelpImpl>(std::make_shared<EditorHost>(editor), std::move(options));
  help->build();
  return help;
}

std::shared_ptr<EditorHelp> EditorHelp::make_for_console(const std::shared_ptr<ConsoleView>& console,
                                                         EditorHelpOptions options) {
  auto help = std::make_shared<EditorHelpImpl>(std::make_shared<ConsoleHost>(console), std::move(options));
  help->build();
  return help;
}

}  // namespace orrery::gtk
