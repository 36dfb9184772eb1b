#include "orrery/gtk/editor.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "kelp/data/string.hpp"
#include "orrery/edit.hpp"
#include "orrery/gtk/buffer.hpp"
#include "orrery/gtk/callbacks.hpp"
#include "orrery/gtk/object.hpp"
#include "orrery/help.hpp"
#include "orrery/key_seq.hpp"
#include "orrery/parinfer_edit.hpp"

namespace orrery::gtk {

namespace {

using Clock = std::chrono::steady_clock;

// One thread computes every editor's paint plans and diffs, in the order asked. Plans read the scanner's caches,
// so those are made before the worker: statics go in the reverse order, and the worker (which finishes only the
// job it is running) is joined before anything that job reads is torn down.
class PaintWorker {
 public:
  static PaintWorker& instance() {
    static const bool warmed = [] {
      paint_plan(make_text(U"(a \"b\")"), &kelp_word_sets());
      return true;
    }();
    (void)warmed;
    static PaintWorker worker;
    return worker;
  }

  void post(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
  }

  ~PaintWorker() {
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      dropped.swap(jobs_);
    }
    cv_.notify_one();
    thread_.join();
  }

 private:
  PaintWorker() : thread_([this] { run(); }) {}

  void run() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
        if (stop_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();  // jobs contain their own failures
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::thread thread_;
};

// Every style key the painter uses, in the order their tags are made: a later tag wins where two overlap, as a
// later span of a plan does (bracket colours after token colours).
std::vector<StyleKey> all_style_keys() {
  std::vector<StyleKey> keys;
  for (int t = 0; t <= static_cast<int>(TokenType::Symbol); ++t) {
    auto type = static_cast<TokenType>(t);
    if (token_style(type)) keys.push_back(StyleKey::token(type));
  }
  for (int d = 0; d < RAINBOW_COUNT; ++d) keys.push_back(StyleKey::rainbow(d));
  keys.push_back(StyleKey::unmatched());
  return keys;
}

size_t key_index(StyleKey key) {
  switch (key.tag) {
    case StyleKey::Tag::Token: return key.n;
    case StyleKey::Tag::Rainbow: return 16 + key.n;
    case StyleKey::Tag::Unmatched: break;
  }
  return 16 + RAINBOW_COUNT;
}
constexpr size_t KEY_SLOTS = 16 + RAINBOW_COUNT + 1;

// Spans by the distance of their start from the caret, nearest first, so the visible region colours first.
void nearest_first(PaintPlan& spans, Offset caret) {
  std::stable_sort(spans.begin(), spans.end(), [caret](const PaintSpan& a, const PaintSpan& b) {
    return std::abs(a.start - caret) < std::abs(b.start - caret);
  });
}

bool holds_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

Offset utf8_length(std::string_view s) {
  return static_cast<Offset>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

constexpr Offset UNTOUCHED = std::numeric_limits<Offset>::max();

bool is_bare_modifier(guint keyval) { return keyval >= 0xffe1 && keyval <= 0xffee; }

char32_t opener_of_key(guint kv) {
  switch (kv) {
    case GDK_KEY_parenleft: return U'(';
    case GDK_KEY_bracketleft: return U'[';
    case GDK_KEY_braceleft: return U'{';
    case GDK_KEY_quotedbl: return U'"';
    default: return 0;
  }
}

char32_t closer_of_key(guint kv) {
  switch (kv) {
    case GDK_KEY_parenright: return U')';
    case GDK_KEY_bracketright: return U']';
    case GDK_KEY_braceright: return U'}';
    default: return 0;
  }
}

struct Baseline {
  TextPtr text;
  PaintPlan plan;
};
using BaselinePtr = std::shared_ptr<const Baseline>;

// Tags being laid on the buffer over one or more GTK turns.
struct ChunkRun {
  PaintPlan spans;  // nearest the caret first
  size_t next = 0;
  uint64_t gen = 0;
  uint64_t edit_gen = 0;         // the edit generation of the text the spans were computed for
  bool needs_same_text = false;  // a diff's spans are only valid on that very text
  BaselinePtr result;            // what the tags show once every chunk has landed
  bool full = false;
};

class EditorImpl final : public Editor {
 public:
  EditorImpl() = default;

  void init() {
    std::weak_ptr<EditorImpl> weak = std::static_pointer_cast<EditorImpl>(shared_from_this());
    weak_ = weak;
    live_gen_ = std::make_shared<std::atomic<uint64_t>>(0);

    view_ = GTK_TEXT_VIEW(gtk_text_view_new());
    buf_ = Ref<GtkTextBuffer>::share(gtk_text_view_get_buffer(view_));
    scroll_ = gtk_scrolled_window_new();
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroll_), GTK_WIDGET(view_));
    gtk_text_view_set_monospace(view_, TRUE);
    gtk_text_view_set_left_margin(view_, 8);
    gtk_text_view_set_top_margin(view_, 4);
    gtk_text_buffer_set_enable_undo(buf_.get(), TRUE);

    GtkTextTagTable* table = gtk_text_buffer_get_tag_table(buf_.get());
    for (StyleKey key : all_style_keys()) {
      std::string name = style_key_name(key);
      GtkTextTag* tag = gtk_text_tag_new(name.c_str());
      gtk_text_tag_table_add(table, tag);
      g_object_unref(tag);  // the table holds it
      tags_[key_index(key)] = tag;
      own_tags_.push_back({tag, std::move(name)});
    }
    read_only_tag_ = gtk_text_tag_new("orrery-read-only");
    g_object_set(read_only_tag_, "editable", FALSE, nullptr);
    gtk_text_tag_table_add(table, read_only_tag_);
    g_object_unref(read_only_tag_);
    apply_theme(theme::theme(theme::DEFAULT_THEME));

    // The editor lives as long as its view: the view holds the one reference that keeps it.
    g_object_set_data_full(G_OBJECT(view_), "orrery-editor", new std::shared_ptr<Editor>(shared_from_this()),
                           [](gpointer p) { delete static_cast<std::shared_ptr<Editor>*>(p); });

    GtkTextBuffer* buf = buf_.get();
    connect<void(GtkTextBuffer*, GtkTextIter*, char*, int)>(
        buf, "insert-text", [weak](GtkTextBuffer* b, GtkTextIter* at, char*, int) {
          if (auto self = weak.lock()) {
            Offset o = offset_of(*at);
            self->note_edit(o, o, char_count(b));
          }
        });
    connect<void(GtkTextBuffer*, GtkTextIter*, GtkTextIter*)>(
        buf, "delete-range", [weak](GtkTextBuffer* b, GtkTextIter* start, GtkTextIter* end) {
          if (auto self = weak.lock()) {
            Offset a = offset_of(*start), z = offset_of(*end);
            self->note_edit(std::min(a, z), std::max(a, z), char_count(b));
          }
        });
    connect<void(GtkTextBuffer*)>(buf, "begin-user-action", [weak](GtkTextBuffer*) {
      if (auto self = weak.lock()) self->parinfer_begin();
    });
    connect<void(GtkTextBuffer*)>(buf, "end-user-action", [weak](GtkTextBuffer*) {
      if (auto self = weak.lock()) self->parinfer_end();
    });
    // Undo and redo put back text as it was; Parinfer stays out of them, so redo stays possible.
    for (const char* signal : {"undo", "redo"}) {
      connect<void(GtkTextBuffer*)>(buf, signal, [weak](GtkTextBuffer*) {
        if (auto self = weak.lock()) {
          self->undoing_ = true;
          self->prev_region_.reset();
        }
      });
      g_signal_connect_data(
          buf, signal, G_CALLBACK(+[](GtkTextBuffer*, gpointer data) {
            if (auto self = static_cast<std::weak_ptr<EditorImpl>*>(data)->lock()) self->undoing_ = false;
          }),
          new std::weak_ptr<EditorImpl>(weak),
          [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<EditorImpl>*>(data); }, G_CONNECT_AFTER);
    }
    connect<void(GtkTextBuffer*)>(buf, "changed", [weak](GtkTextBuffer*) {
      if (auto self = weak.lock()) {
        self->dirty_at_ = Clock::now();
        ++self->edit_gen_;
        self->recheck_ = true;
      }
    });
    connect<void(GObject*, GParamSpec*)>(buf, "notify::cursor-position", [weak](GObject*, GParamSpec*) {
      if (auto self = weak.lock()) self->cursor_moved();
    });
    connect<void(GtkTextView*, char*)>(view_, "preedit-changed", [weak](GtkTextView*, char* preedit) {
      if (auto self = weak.lock()) self->preedit_ = preedit && *preedit;
    });
    connect<void(GtkWidget*)>(view_, "destroy", [weak](GtkWidget*) {
      if (auto self = weak.lock()) self->destroyed();
    });

    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    connect<gboolean(GtkEventControllerKey*, guint, guint, GdkModifierType)>(
        keys, "key-pressed", [weak](GtkEventControllerKey*, guint keyval, guint keycode, GdkModifierType state) {
          auto self = weak.lock();
          return self && self->dispatch_key(keyval, state, keycode) ? TRUE : FALSE;
        });
    gtk_widget_add_controller(GTK_WIDGET(view_), keys);

    // In the capture phase, so the view's own click handling cannot claim the click first.
    GtkGesture* click = gtk_gesture_click_new();
    gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(click), GDK_BUTTON_PRIMARY);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(click), GTK_PHASE_CAPTURE);
    connect<void(GtkGestureClick*, int, double, double)>(
        click, "released", [weak](GtkGestureClick* g, int n_press, double x, double y) {
          auto self = weak.lock();
          if (!self) return;
          self->handle_click(x, y, n_press,
                             gtk_event_controller_get_current_event_state(GTK_EVENT_CONTROLLER(g)));
        });
    gtk_widget_add_controller(GTK_WIDGET(view_), GTK_EVENT_CONTROLLER(click));

    GtkEventController* focus = gtk_event_controller_focus_new();
    connect<void(GtkEventControllerFocus*)>(focus, "leave", [weak](GtkEventControllerFocus*) {
      if (auto self = weak.lock()) self->call_listeners("focus-lost", self->focus_fns_, [](auto& f) { f(); });
    });
    gtk_widget_add_controller(GTK_WIDGET(view_), focus);

    timeout_add(PAINT_TICK_MS, [weak] {
      auto self = weak.lock();
      if (!self || self->destroyed_) return false;
      self->tick();
      return true;
    });
  }

  GtkWidget* widget() override { return destroyed_ ? nullptr : scroll_; }
  GtkTextView* view() override { return destroyed_ ? nullptr : view_; }
  GtkTextBuffer* buffer() override { return buf_.get(); }

  std::string text() override { return text_utf8(buf_.get()); }
  Snapshot snapshot() override {
    Span marks = selection_marks(buf_.get());
    return {*current_text(), marks.start, std::min(marks.start, marks.end), std::max(marks.start, marks.end)};
  }

  void set_text(const std::string& s) override {
    supersede();
    painted_ = nullptr;
    prev_region_.reset();
    GtkTextBuffer* buf = buf_.get();
    gtk_text_buffer_begin_irreversible_action(buf);
    gtk_text_buffer_set_text(buf, s.data(), static_cast<int>(s.size()));
    gtk_text_buffer_end_irreversible_action(buf);
    set_saved(s);
    if (read_only_) apply_read_only_tag();
    place_caret(buf, 0);
    cursor_moved();
    paint_async();
  }

  void reload_text(const std::string& s) override {
    if (read_only_) {
      set_text(s);
      return;
    }
    if (holds_nul(s)) return;
    Offset at = caret(buf_.get());
    replace_whole(s);
    set_saved(s);
    place_caret(buf_.get(), at);
  }

  void replace_buffer_as_one_action(const std::string& s, Offset at) override {
    if (read_only_ || holds_nul(s)) return;
    replace_whole(s);
    place_caret(buf_.get(), at);
  }

  void mark_saved() override { set_saved(text()); }
  void rebase_saved(const std::string& s) override { set_saved(s); }

  bool is_dirty() override {
    // A different length answers without copying the buffer, which keeps the tick's check cheap on big files.
    if (char_count(buf_.get()) != saved_chars_) return true;
    return text() != saved_;
  }
  std::string saved_text() override { return saved_; }

  bool apply_op(const std::optional<EditOp>& op) override { return apply(op); }
  bool apply_structural_op(const std::optional<EditOp>& op) override {
    structural_ = true;
    const bool applied = apply(op);
    structural_ = false;
    return applied;
  }
  bool apply_op_plain(const std::optional<EditOp>& op) override {
    ++hold_;
    const bool applied = apply(op);
    --hold_;
    return applied;
  }

  void set_read_only(bool on) override {
    if (on == read_only_) return;
    read_only_ = on;
    if (!destroyed_) gtk_text_view_set_editable(view_, !on);
    if (on) {
      apply_read_only_tag();
    } else {
      GtkTextIter a, b;
      gtk_text_buffer_get_bounds(buf_.get(), &a, &b);
      gtk_text_buffer_remove_tag(buf_.get(), read_only_tag_, &a, &b);
    }
  }
  bool is_read_only() override { return read_only_; }

  void apply_theme(const theme::Theme& t) override {
    PaintTheme pt = theme::paint_theme(t);
    for (StyleKey key : all_style_keys()) {
      StyleMap s = style(pt, key);
      g_object_set(tags_[key_index(key)], "foreground", s.fg.c_str(), "weight",
                   s.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL, "style",
                   s.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL, nullptr);
    }
  }

  void set_profile(const WordSets* profile) override {
    if (profile == profile_) return;
    profile_ = profile;
    supersede();
    painted_ = nullptr;
    if (read_only_) {
      paint_async();
    } else {
      arm_retry();
    }
  }

  // A full repaint: the whole plan on the worker, then applied in chunks while this paint stays current.
  void paint_async() override {
    if (destroyed_) return;
    const uint64_t gen = supersede();
    painted_ = nullptr;
    full_ = FullPaint{gen, edit_gen_, profile_, false};
    ++stats_.started;
    TextPtr text = current_text();
    Offset at = caret(buf_.get());
    const WordSets* profile = profile_;
    const uint64_t edit_gen = edit_gen_;
    auto weak = weak_;
    auto live = live_gen_;
    PaintWorker::instance().post([weak, live, gen, edit_gen, text, profile, at] {
      if (live->load() != gen) return;  // superseded before it began
      try {
        auto run = std::make_shared<ChunkRun>();
        PaintPlan plan = paint_plan(text, profile);
        run->spans = plan;
        nearest_first(run->spans, at);
        run->gen = gen;
        run->edit_gen = edit_gen;
        run->result = std::make_shared<const Baseline>(Baseline{text, std::move(plan)});
        run->full = true;
        on_gui([weak, run] {
          auto self = weak.lock();
          if (self) self->land_full(run);
        });
      } catch (...) {
        std::string what = current_exception_text();
        on_gui([weak, what] {
          if (auto self = weak.lock()) self->paint_failed(what);
        });
      }
    });
  }

  void focus() override {
    if (!destroyed_) gtk_widget_grab_focus(GTK_WIDGET(view_));
  }

  int handle_key(guint keyval, GdkModifierType state, guint keycode) override {
    const guint kv = gdk_keyval_to_lower(keyval);
    if (!is_bare_modifier(kv) && flash_cancel_fn_) flash_cancel_fn_();
    if (preedit_) return 0;
    if (completion_key_fn_ && completion_key_fn_(kv, state)) return 1;
    if (keymap_fn_ && keymap_fn_(kv, state, keycode)) return 1;

    const bool shift = state & GDK_SHIFT_MASK, ctrl = state & GDK_CONTROL_MASK, meta = state & GDK_META_MASK,
               alt = state & GDK_ALT_MASK;
    const ParinferMode mode = parinfer_mode_fn_ ? parinfer_mode_fn_() : ParinferMode::Off;
    if ((kv == GDK_KEY_Return || kv == GDK_KEY_KP_Enter) && !shift && !ctrl && !meta) {
      return apply(smart_enter(snapshot(), {.between_pair = mode == ParinferMode::Off})) ? 1 : 0;
    }
    if (ctrl || meta || alt) return 0;
    // Indent and Smart leave single brackets to Parinfer, which balances the form; a string's quotes still pair.
    const bool parinfer_balances = mode == ParinferMode::Indent || mode == ParinferMode::Smart;
    if (char32_t open = opener_of_key(kv)) {
      if (parinfer_balances && open != U'"') return 0;
      return apply(insert_open(snapshot(), open)) ? 1 : 0;
    }
    if (char32_t close = closer_of_key(kv)) {
      if (parinfer_balances) return 0;
      return apply(insert_close(snapshot(), close)) ? 1 : 0;
    }
    if (kv == GDK_KEY_BackSpace) {
      Snapshot snap = snapshot();
      if (parinfer_balances) {
        auto at = [&](Offset i) { return i >= 0 && i < static_cast<Offset>(snap.text.size()) ? snap.text[i] : 0; };
        if (at(snap.caret - 1) != U'"' || at(snap.caret) != U'"') return 0;
      }
      return apply(backspace_pair(snap)) ? 1 : 0;
    }
    if (kv == GDK_KEY_ISO_Left_Tab || (kv == GDK_KEY_Tab && shift)) return apply(unindent(snapshot())) ? 1 : 0;
    if (kv == GDK_KEY_Tab) return apply(indent(snapshot())) ? 1 : 0;
    return 0;
  }

  int dispatch_key(guint keyval, GdkModifierType state, guint keycode) override {
    try {
      return handle_key(keyval, state, keycode);
    } catch (...) {
      report("; key: " + current_exception_text());
      return 1;
    }
  }

  void on_dirty_changed(std::function<void(bool)> f) override { dirty_fns_.push_back(std::move(f)); }
  void on_cursor_moved(std::function<void(int, int)> f) override { cursor_fns_.push_back(std::move(f)); }
  void on_focus_lost(std::function<void()> f) override { focus_fns_.push_back(std::move(f)); }
  void set_error_fn(std::function<void(const std::string&)> f) override { error_fn_ = std::move(f); }
  void set_keymap_fn(std::function<int(guint, GdkModifierType, guint)> f) override { keymap_fn_ = std::move(f); }
  void set_flash_cancel_fn(std::function<void()> f) override { flash_cancel_fn_ = std::move(f); }
  void set_completion_key_fn(std::function<bool(guint, GdkModifierType)> f) override {
    completion_key_fn_ = std::move(f);
  }
  void set_parinfer_mode_fn(std::function<ParinferMode()> f) override { parinfer_mode_fn_ = std::move(f); }
  void set_parinfer_status_fn(std::function<void(const std::string&)> f) override {
    parinfer_status_fn_ = std::move(f);
  }
  void set_jump_fn(std::function<void()> f) override { jump_fn_ = std::move(f); }

  bool handle_click(double x, double y, int n_press, GdkModifierType state) override {
    if (destroyed_ || !jump_fn_) return false;
    const bool selection = gtk_text_buffer_get_has_selection(buf_.get());
    if (!help::is_jump_click({key_seq::os_name(), n_press, static_cast<uint32_t>(state), selection})) return false;
    int bx = 0, by = 0;
    gtk_text_view_window_to_buffer_coords(view_, GTK_TEXT_WINDOW_WIDGET, static_cast<int>(x), static_cast<int>(y),
                                          &bx, &by);
    GtkTextIter it;
    if (!gtk_text_view_get_iter_at_location(view_, &it, bx, by)) return false;
    place_caret(buf_.get(), offset_of(it));
    try {
      jump_fn_();
    } catch (...) {
      report("; jump: " + current_exception_text());
    }
    return true;
  }

  bool is_painted() override { return painted_ && painted_edit_gen_ == edit_gen_ && !dirty_at_; }

  std::vector<std::string> tags_at(Offset offset) override {
    GtkTextIter it = iter_at(buf_.get(), offset);
    std::vector<std::string> names;
    for (const auto& [tag, name] : own_tags_) {
      if (gtk_text_iter_has_tag(&it, tag)) names.push_back(name);
    }
    return names;
  }

  PaintStats paint_stats() override { return stats_; }

 private:
  struct FullPaint {
    uint64_t gen = 0;
    uint64_t edit_gen = 0;
    const WordSets* profile = nullptr;
    bool done = false;
  };

  // --- Edits ------------------------------------------------------------------------------------------------------

  bool apply(const std::optional<EditOp>& op) {
    if (!op || read_only_) return false;
    GtkTextBuffer* buf = buf_.get();
    // Out-of-range or overlapping edits are refused whole like a NUL: applying part of a result corrupts the text.
    if (edits_problem(char_count(buf), op->edits)) return false;
    // The caret is placed inside the action, so Parinfer at its end sees where the op put it.
    gtk_text_buffer_begin_user_action(buf);
    for (auto e = op->edits.rbegin(); e != op->edits.rend(); ++e) {
      erase(buf, e->start, e->end);
      if (!e->text.empty()) insert(buf, e->start, e->text);
    }
    if (op->sel && op->sel->start < op->sel->end) {
      // The insert mark goes on the end the op names as the caret, so a chained command sees the same selection.
      Offset a = op->sel->start, b = op->sel->end;
      if (op->caret == a) {
        select(buf, a, b);
      } else {
        select(buf, b, a);
      }
    } else {
      place_caret(buf, op->caret);
    }
    gtk_text_buffer_end_user_action(buf);
    return true;
  }

  // The whole text becomes s in one user action; only the stretch between the common head and tail is replaced,
  // so the tags and marks outside it stay where they are.
  void replace_whole(const std::string& s) {
    GtkTextBuffer* buf = buf_.get();
    std::u32string now = text_u32(buf);
    std::u32string next = kelp::to_u32(s);
    size_t head = 0;
    while (head < now.size() && head < next.size() && now[head] == next[head]) ++head;
    size_t tail = 0;
    while (tail < now.size() - head && tail < next.size() - head &&
           now[now.size() - 1 - tail] == next[next.size() - 1 - tail]) {
      ++tail;
    }
    if (head + tail == now.size() && head + tail == next.size()) return;
    ++hold_;
    gtk_text_buffer_begin_user_action(buf);
    const auto h = static_cast<Offset>(head);
    erase(buf, h, static_cast<Offset>(now.size() - tail));
    insert(buf, h, std::u32string_view(next).substr(head, next.size() - head - tail));
    gtk_text_buffer_end_user_action(buf);
    --hold_;
  }

  void apply_read_only_tag() {
    GtkTextIter a, b;
    gtk_text_buffer_get_bounds(buf_.get(), &a, &b);
    gtk_text_buffer_apply_tag(buf_.get(), read_only_tag_, &a, &b);
  }

  // The untouched head and tail since the paint baseline narrow with every insert and delete, seen before the
  // buffer changes: the edit replaces [start, end) of a text of `length` characters.
  void note_edit(Offset start, Offset end, Offset length) {
    for (EditBounds* b : {&bounds_, &text_bounds_, &action_bounds_}) {
      b->prefix = std::min(b->prefix, start);
      b->suffix = std::min(b->suffix, length - end);
    }
  }

  // The buffer's text as one shared object. Reading a big buffer out of GTK costs milliseconds, so the last read
  // is kept and only the stretch the edits since then touched is read again and spliced between its kept ends.
  TextPtr current_text() {
    GtkTextBuffer* buf = buf_.get();
    if (!text_) {
      text_ = make_text(text_u32(buf));
    } else if (text_bounds_.prefix != UNTOUCHED) {
      const Offset length = char_count(buf), old_length = static_cast<Offset>(text_->size());
      const Offset head = std::min({text_bounds_.prefix, length, old_length});
      const Offset tail = std::min({text_bounds_.suffix, length - head, old_length - head});
      std::u32string next;
      next.reserve(static_cast<size_t>(length));
      next.append(*text_, 0, static_cast<size_t>(head));
      next += text_u32(buf, head, length - tail);
      next.append(*text_, static_cast<size_t>(old_length - tail), static_cast<size_t>(tail));
      text_ = make_text(std::move(next));
    }
    text_bounds_ = {UNTOUCHED, UNTOUCHED};
    return text_;
  }

  // --- Parinfer ------------------------------------------------------------------------------------------------------

  // The text and caret before a user action, and the span its edits touch, for Parinfer at its end. The hook's own
  // fix is a nested action of the same undo group, so it records nothing.
  void parinfer_begin() {
    if (busy_) return;
    armed_ = false;
    if (!parinfer_mode_now()) {
      // Whatever this action changes happens out of the hook's sight.
      prev_region_.reset();
      return;
    }
    pre_text_ = current_text();
    pre_caret_ = caret(buf_.get());
    action_bounds_ = {UNTOUCHED, UNTOUCHED};
    armed_ = true;
  }

  std::optional<parinfer_edit::Mode> parinfer_mode_now() {
    if (busy_ || hold_ > 0 || read_only_ || preedit_ || undoing_) return std::nullopt;
    if (structural_) return parinfer_edit::Mode::Paren;
    switch (parinfer_mode_fn_ ? parinfer_mode_fn_() : ParinferMode::Off) {
      case ParinferMode::Smart: return parinfer_edit::Mode::Smart;
      case ParinferMode::Indent: return parinfer_edit::Mode::Indent;
      case ParinferMode::Paren: return parinfer_edit::Mode::Paren;
      case ParinferMode::Off: break;
    }
    return std::nullopt;
  }

  void parinfer_end() {
    if (busy_ || !armed_) return;
    armed_ = false;
    if (action_bounds_.prefix == UNTOUCHED) return;  // nothing changed
    std::optional<parinfer_edit::Mode> mode = parinfer_mode_now();
    if (!mode) {
      // Text changed out of the hook's sight: the next action probes its form afresh.
      prev_region_.reset();
      return;
    }
    try {
      TextPtr post = current_text();
      const Offset at = caret(buf_.get());
      const Offset length = static_cast<Offset>(post->size());
      const Offset start = std::min(action_bounds_.prefix, length);
      const Offset suffix = std::min(action_bounds_.suffix, length - start);
      parinfer_edit::AdjustOptions o;
      o.bounds = std::pair(start, suffix);
      o.prev_consistent = prev_region_ && prev_region_->start <= start && start <= prev_region_->end;
      parinfer_edit::Adjusted r = parinfer_edit::adjust(*mode, *pre_text_, pre_caret_, *post, at, o);
      if (auto* op = std::get_if<EditOp>(&r)) {
        TextPtr fixed = apply_fix(*op, post);
        parinfer_status("");
        prev_region_ = parinfer_edit::region(*fixed, start, start);
      } else if (std::holds_alternative<std::monostate>(r)) {
        parinfer_status("");
        prev_region_ = parinfer_edit::region(*post, start, start);
      } else if (std::holds_alternative<parinfer_edit::TooLong>(r)) {
        too_long_shown_ = true;
        if (parinfer_status_fn_) {
          parinfer_status_fn_("over " + std::to_string(parinfer_edit::DEFAULT_MAX_LINES) +
                              " lines here, not adjusted");
        }
        prev_region_.reset();
      } else {
        parinfer_failed(std::get<parinfer_edit::EngineError>(r).message);
      }
    } catch (...) {
      busy_ = false;
      parinfer_failed(current_exception_text());
    }
  }

  // Lands Parinfer's edits as a nested user action, which GTK folds into the keystroke's own undo group; a
  // selection keeps its lines and columns. Answers the text after the fix, which the text cache now holds.
  TextPtr apply_fix(const EditOp& op, const TextPtr& post) {
    GtkTextBuffer* buf = buf_.get();
    std::u32string next = *post;
    for (auto e = op.edits.rbegin(); e != op.edits.rend(); ++e)
      next.replace(static_cast<size_t>(e->start), static_cast<size_t>(e->end - e->start), e->text);
    const Span marks = selection_marks(buf);
    busy_ = true;
    gtk_text_buffer_begin_user_action(buf);
    for (auto e = op.edits.rbegin(); e != op.edits.rend(); ++e) {
      erase(buf, e->start, e->end);
      if (!e->text.empty()) insert(buf, e->start, e->text);
    }
    if (marks.start != marks.end) {
      select(buf, parinfer_edit::remap_offset(*post, next, marks.start),
             parinfer_edit::remap_offset(*post, next, marks.end));
    } else {
      place_caret(buf, op.caret);
    }
    gtk_text_buffer_end_user_action(buf);
    busy_ = false;
    text_ = make_text(std::move(next));
    text_bounds_ = {UNTOUCHED, UNTOUCHED};
    return text_;
  }

  void parinfer_status(const std::string& s) {
    if (!too_long_shown_) return;
    too_long_shown_ = false;
    if (parinfer_status_fn_) parinfer_status_fn_(s);
  }

  // The buffer stays as typed; nothing cached about it is trusted again.
  void parinfer_failed(const std::string& what) {
    prev_region_.reset();
    text_.reset();
    text_bounds_ = {UNTOUCHED, UNTOUCHED};
    report("; parinfer: " + what);
  }

  // --- Dirty tracking, listeners, reports --------------------------------------------------------------------------

  void set_saved(std::string s) {
    saved_chars_ = utf8_length(s);
    saved_ = std::move(s);
    recheck_ = true;
  }

  void cursor_moved() {
    if (cursor_fns_.empty()) return;
    GtkTextIter it;
    gtk_text_buffer_get_iter_at_mark(buf_.get(), &it, gtk_text_buffer_get_insert(buf_.get()));
    int line = gtk_text_iter_get_line(&it), col = gtk_text_iter_get_line_offset(&it);
    call_listeners("cursor-moved", cursor_fns_, [&](auto& f) { f(line, col); });
  }

  template <class List, class Call>
  void call_listeners(const char* name, const List& list, Call call) {
    // A copy: a listener may register another.
    List fns = list;
    for (auto& f : fns) {
      try {
        call(f);
      } catch (...) {
        report(std::string("; ") + name + ": " + current_exception_text());
      }
    }
  }

  void report(const std::string& message) {
    if (error_fn_) {
      try {
        error_fn_(message);
        return;
      } catch (...) {
      }
    }
    report_callback_exception("editor", message);
  }

  void destroyed() {
    destroyed_ = true;
    supersede();
  }

  // --- Painting ------------------------------------------------------------------------------------------------------

  // Moves the paint generation on: every run and worker of an earlier one drops its work.
  uint64_t supersede() {
    ++gen_;
    live_gen_->store(gen_);
    return gen_;
  }

  // The next tick tries again, unless an edit has already scheduled a repaint after its own pause.
  void arm_retry() {
    if (!dirty_at_) dirty_at_ = Clock::now() - std::chrono::milliseconds(PAINT_DEBOUNCE_MS);
  }

  void set_baseline(BaselinePtr b) {
    painted_ = std::move(b);
    painted_edit_gen_ = edit_gen_;
    bounds_ = {UNTOUCHED, UNTOUCHED};
  }

  void tick() {
    if (recheck_) {
      recheck_ = false;
      bool dirty = is_dirty();
      if (dirty != last_dirty_) {
        last_dirty_ = dirty;
        call_listeners("dirty-changed", dirty_fns_, [dirty](auto& f) { f(dirty); });
      }
    }
    if (!dirty_at_ || read_only_) return;
    if (Clock::now() - *dirty_at_ < std::chrono::milliseconds(PAINT_DEBOUNCE_MS)) return;
    dirty_at_.reset();
    if (painted_) {
      repaint_from_baseline();
    } else if (!(full_ && !full_->done && full_->gen == gen_ && full_->edit_gen == edit_gen_ &&
                 full_->profile == profile_)) {
      paint_async();
    }
  }

  // The plan of the current text and its diff against the baseline, on the worker.
  void repaint_from_baseline() {
    ++stats_.started;
    const uint64_t id = ++tick_worker_;
    auto base = painted_;
    TextPtr text = current_text();
    Offset at = caret(buf_.get());
    std::optional<EditBounds> bounds = bounds_;
    const WordSets* profile = profile_;
    const uint64_t edit_gen = edit_gen_;
    auto weak = weak_;
    PaintWorker::instance().post([weak, id, base, text, at, bounds, profile, edit_gen] {
      try {
        PaintPlan plan = paint_plan(text, profile);
        auto diff = plan_diff({*base->text, base->plan, *text, plan, bounds});
        if (diff) nearest_first(diff->apply, at);
        auto result = std::make_shared<const Baseline>(Baseline{text, std::move(plan)});
        on_gui([weak, id, base, edit_gen, result, diff = std::move(diff)]() mutable {
          if (auto self = weak.lock()) self->land_diff(id, base, edit_gen, result, std::move(diff));
        });
      } catch (...) {
        std::string what = current_exception_text();
        on_gui([weak, what] {
          if (auto self = weak.lock()) self->paint_failed(what);
        });
      }
    });
  }

  void land_diff(uint64_t id, const BaselinePtr& base, uint64_t edit_gen, BaselinePtr result,
                 std::optional<PlanDiff> diff) {
    if (destroyed_ || edit_gen != edit_gen_ || painted_ != base) {
      ++stats_.dropped;
      if (id == tick_worker_) arm_retry();
      return;
    }
    if (!diff) {
      set_baseline(std::move(result));
      ++stats_.applied;
      return;
    }
    auto run = std::make_shared<ChunkRun>();
    run->spans = std::move(diff->apply);
    run->gen = supersede();
    run->edit_gen = edit_gen;
    run->needs_same_text = true;
    run->result = std::move(result);
    // The tags show neither plan until the last chunk lands.
    painted_ = nullptr;
    guarded([&] {
      remove_own_tags(diff->range.start, diff->range.end);
      start_run(run);
    });
  }

  void land_full(const std::shared_ptr<ChunkRun>& run) {
    if (destroyed_ || run->gen != gen_) {
      ++stats_.dropped;
      return;
    }
    guarded([&] {
      remove_own_tags(0, char_count(buf_.get()));
      start_run(run);
    });
  }

  // The first chunk lands in this turn, so a small re-tag never shows uncoloured text; each later one in an idle
  // turn of its own, after checking that the run is still current.
  void start_run(const std::shared_ptr<ChunkRun>& run) {
    if (step(*run)) return;
    auto weak = weak_;
    idle_add([weak, run] {
      auto self = weak.lock();
      if (!self || self->destroyed_) return false;
      bool more = false;
      self->guarded([&] {
        if (!self->is_current(*run)) {
          if (!run->full) self->arm_retry();  // a full paint is only ever superseded by newer paint work
          return;
        }
        more = !self->step(*run);
      });
      return more;
    });
  }

  bool is_current(const ChunkRun& run) const {
    return !destroyed_ && run.gen == gen_ && (!run.needs_same_text || run.edit_gen == edit_gen_);
  }

  // Applies the next chunk; true when that was the last.
  bool step(ChunkRun& run) {
    GtkTextBuffer* buf = buf_.get();
    const size_t end = std::min(run.spans.size(), run.next + PAINT_CHUNK);
    for (; run.next < end; ++run.next) {
      const PaintSpan& s = run.spans[run.next];
      GtkTextIter a = iter_at(buf, s.start), b = iter_at(buf, s.end);
      gtk_text_buffer_apply_tag(buf, tags_[key_index(s.key)], &a, &b);
    }
    if (run.next < run.spans.size()) return false;
    if (run.full && full_ && full_->gen == run.gen) full_->done = true;
    if (run.edit_gen == edit_gen_) set_baseline(run.result);
    ++stats_.applied;
    return true;
  }

  void remove_own_tags(Offset start, Offset end) {
    GtkTextIter a = iter_at(buf_.get(), start), b = iter_at(buf_.get(), end);
    for (const auto& entry : own_tags_) gtk_text_buffer_remove_tag(buf_.get(), entry.first, &a, &b);
  }

  template <class F>
  void guarded(F&& f) {
    try {
      f();
    } catch (...) {
      paint_failed(current_exception_text());
    }
  }

  // A failed repaint is retried in full on the next tick.
  void paint_failed(const std::string& what) {
    report("; paint: " + what);
    if (destroyed_) return;
    painted_ = nullptr;
    if (full_) full_->done = true;
    arm_retry();
  }

  std::weak_ptr<EditorImpl> weak_;
  GtkTextView* view_ = nullptr;  // owned by the widget tree; not touched once destroyed
  GtkWidget* scroll_ = nullptr;
  Ref<GtkTextBuffer> buf_;
  std::array<GtkTextTag*, KEY_SLOTS> tags_{};
  std::vector<std::pair<GtkTextTag*, std::string>> own_tags_;
  GtkTextTag* read_only_tag_ = nullptr;

  std::vector<std::function<void(bool)>> dirty_fns_;
  std::vector<std::function<void(int, int)>> cursor_fns_;
  std::vector<std::function<void()>> focus_fns_;
  std::function<void(const std::string&)> error_fn_;
  std::function<int(guint, GdkModifierType, guint)> keymap_fn_;
  std::function<void()> flash_cancel_fn_;
  std::function<bool(guint, GdkModifierType)> completion_key_fn_;
  std::function<ParinferMode()> parinfer_mode_fn_;
  std::function<void()> jump_fn_;
  std::function<void(const std::string&)> parinfer_status_fn_;

  std::string saved_;
  Offset saved_chars_ = 0;
  bool recheck_ = false;
  bool last_dirty_ = false;
  bool read_only_ = false;
  bool preedit_ = false;
  bool destroyed_ = false;

  // Parinfer, GTK thread only.
  bool busy_ = false;        // the hook is applying its own fix
  int hold_ = 0;             // plain applies and whole-text replaces land exactly as sent
  bool structural_ = false;  // a structural command: Paren mode for this action
  bool undoing_ = false;
  bool armed_ = false;
  TextPtr pre_text_;
  Offset pre_caret_ = 0;
  EditBounds action_bounds_{UNTOUCHED, UNTOUCHED};
  std::optional<Span> prev_region_;  // the form the previous adjusted action left consistent
  bool too_long_shown_ = false;

  // Paint state, GTK thread only; workers see only the generation, through live_gen_.
  BaselinePtr painted_;
  uint64_t painted_edit_gen_ = 0;
  EditBounds bounds_{UNTOUCHED, UNTOUCHED};
  TextPtr text_;  // the buffer's text as last read; text_bounds_ says what is still valid of it
  EditBounds text_bounds_{UNTOUCHED, UNTOUCHED};
  uint64_t edit_gen_ = 0;
  uint64_t gen_ = 0;
  uint64_t tick_worker_ = 0;
  std::shared_ptr<std::atomic<uint64_t>> live_gen_;
  std::optional<FullPaint> full_;
  std::optional<Clock::time_point> dirty_at_;
  const WordSets* profile_ = nullptr;
  PaintStats stats_;
};

}  // namespace

std::shared_ptr<Editor> Editor::make() {
  auto editor = std::make_shared<EditorImpl>();
  editor->init();
  return editor;
}

}  // namespace orrery::gtk
