#include "orrery/gtk/console_view.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "kelp/data/string.hpp"
#include "orrery/edit.hpp"
#include "orrery/gtk/buffer.hpp"
#include "orrery/gtk/callbacks.hpp"
#include "orrery/gtk/object.hpp"
#include "orrery/palette.hpp"

namespace orrery::gtk {

namespace {

constexpr size_t KIND_COUNT = 6;

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

Offset code_points(std::string_view s) {
  Offset n = 0;
  for (unsigned char b : s) n += is_continuation(b) ? 0 : 1;
  return n;
}

// The byte where code point `index` begins (the size for an index at or past the end).
size_t byte_of(std::string_view s, Offset index) {
  Offset seen = -1;
  for (size_t i = 0; i < s.size(); ++i) {
    if (!is_continuation(static_cast<unsigned char>(s[i])) && ++seen == index) return i;
  }
  return s.size();
}

// Program output may be any bytes; the buffer takes only valid UTF-8 without NULs, so anything else becomes U+FFFD.
void make_insertable(std::string& s) {
  const char* end = nullptr;
  if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), &end) && end == s.data() + s.size()) return;
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const char* start = s.data() + i;
    g_utf8_validate(start, static_cast<gssize>(s.size() - i), &end);
    out.append(start, end);
    i = static_cast<size_t>(end - s.data());
    if (i >= s.size()) break;
    // A bad byte or a NUL: one replacement character each.
    out += "\xEF\xBF\xBD";
    ++i;
    while (i < s.size() && is_continuation(static_cast<unsigned char>(s[i]))) ++i;
  }
  s = std::move(out);
}

bool ends_with_newline(std::string_view s) { return !s.empty() && s.back() == '\n'; }

}  // namespace

class ConsoleViewImpl final : public ConsoleView {
 public:
  explicit ConsoleViewImpl(ConsoleOptions options) : opts_(std::move(options)) {}

  ~ConsoleViewImpl() override {
    if (view_) g_object_weak_unref(G_OBJECT(view_), &ConsoleViewImpl::view_finalized, this);
    disconnect_buffer();
    // The last holder may be a worker that queued output; the buffer is released on the GTK thread all the same.
    if (std::this_thread::get_id() != gtk_thread_ && buf_) on_gui([b = std::move(buf_)] {});
  }

  void build() {
    gtk_thread_ = std::this_thread::get_id();
    buf_ = Ref<GtkTextBuffer>::adopt(gtk_text_buffer_new(nullptr));
    GtkTextBuffer* b = buf_.get();
    read_only_ = gtk_text_buffer_create_tag(b, nullptr, "editable", FALSE, nullptr);
    const auto ct = theme::console_theme(theme::theme(theme::DEFAULT_THEME));
    for (const auto& f : console::styles()) {
      GtkTextTag* tag = gtk_text_buffer_create_tag(b, nullptr, nullptr);
      if (f.bold) g_object_set(tag, "weight", 700, nullptr);
      if (f.italic) g_object_set(tag, "style", PANGO_STYLE_ITALIC, nullptr);
      g_object_set(tag, "foreground", console::style(ct, f.kind).fg.c_str(), nullptr);
      kind_tags_[static_cast<size_t>(f.kind)] = tag;
    }
    {
      std::lock_guard lock(mutex_);
      prompt_ = DEFAULT_PROMPT;
    }
    insert_utf8(b, 0, DEFAULT_PROMPT);
    const Offset plen = code_points(DEFAULT_PROMPT);
    tag_range(0, plen, console::Kind::Prompt);
    GtkTextIter start = iter_at(b, 0);
    GtkTextIter end = iter_at(b, plen);
    out_end_ = gtk_text_buffer_create_mark(b, nullptr, &start, FALSE);
    input_start_ = gtk_text_buffer_create_mark(b, nullptr, &end, TRUE);
    end_mark_ = gtk_text_buffer_create_mark(b, nullptr, &end, FALSE);
    last_entry_ = gtk_text_buffer_create_mark(b, nullptr, &start, TRUE);
    prev_entry_ = gtk_text_buffer_create_mark(b, nullptr, &start, TRUE);
    place_caret(b, plen);

    view_ = GTK_TEXT_VIEW(gtk_text_view_new_with_buffer(b));
    gtk_text_view_set_monospace(view_, TRUE);
    gtk_text_view_set_editable(view_, TRUE);
    gtk_text_view_set_wrap_mode(view_, GTK_WRAP_WORD_CHAR);
    gtk_text_view_set_left_margin(view_, 8);
    gtk_text_view_set_top_margin(view_, 4);
    gtk_widget_add_css_class(GTK_WIDGET(view_), "orrery-code");
    scroll_ = gtk_scrolled_window_new();
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroll_), GTK_WIDGET(view_));
    gtk_widget_set_vexpand(scroll_, TRUE);
    gtk_widget_set_hexpand(scroll_, TRUE);

    // The scrolled window keeps the view alive; the view's end is where this object stops touching widgets.
    auto* self = new std::shared_ptr<ConsoleViewImpl>(std::static_pointer_cast<ConsoleViewImpl>(shared_from_this()));
    g_object_set_data_full(G_OBJECT(scroll_), "orrery-console-view", self,
                           [](gpointer p) { delete static_cast<std::shared_ptr<ConsoleViewImpl>*>(p); });
    g_object_weak_ref(G_OBJECT(view_), &ConsoleViewImpl::view_finalized, this);

    std::weak_ptr<ConsoleViewImpl> weak = std::static_pointer_cast<ConsoleViewImpl>(shared_from_this());
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    connect<gboolean(GtkEventControllerKey*, guint, guint, GdkModifierType)>(
        keys, "key-pressed", [weak](GtkEventControllerKey*, guint keyval, guint, GdkModifierType state) -> gboolean {
          auto s = weak.lock();
          return s ? s->dispatch_key(keyval, state) : FALSE;
        });
    gtk_widget_add_controller(GTK_WIDGET(view_), keys);

    GtkEventController* focus = gtk_event_controller_focus_new();
    connect<void(GtkEventControllerFocus*)>(focus, "leave", [weak](GtkEventControllerFocus*) {
      if (auto s = weak.lock()) s->run_all(s->focus_lost_);
    });
    gtk_widget_add_controller(GTK_WIDGET(view_), focus);

    connect<void(GtkTextView*, char*)>(view_, "preedit-changed", [weak](GtkTextView*, char* preedit) {
      if (auto s = weak.lock()) s->preedit_ = preedit && *preedit;
    });

    handlers_.push_back(connect<void(GtkTextBuffer*, const GtkTextIter*, GtkTextMark*)>(
        b, "mark-set", [weak](GtkTextBuffer* buf, const GtkTextIter*, GtkTextMark* mark) {
          auto s = weak.lock();
          if (s && mark == gtk_text_buffer_get_insert(buf)) s->run_all(s->input_changed_);
        }));
    // Pasting or dropping text copied from the history carries its tags along; in the input they would make the
    // pasted characters read-only. The view applies its tags itself, so any other application is refused.
    handlers_.push_back(connect<void(GtkTextBuffer*, GtkTextTag*, const GtkTextIter*, const GtkTextIter*)>(
        b, "apply-tag", [weak](GtkTextBuffer* buf, GtkTextTag* tag, const GtkTextIter*, const GtkTextIter*) {
          auto s = weak.lock();
          if (s && s->internal_ == 0 && s->is_console_tag(tag)) g_signal_stop_emission_by_name(buf, "apply-tag");
        }));
    handlers_.push_back(connect<void(GtkTextBuffer*)>(b, "changed", [weak](GtkTextBuffer*) {
      auto s = weak.lock();
      if (s && s->internal_ == 0) s->run_all(s->input_changed_);
    }));
  }

  GtkWidget* widget() override { return view_ ? scroll_ : nullptr; }
  GtkTextView* view() override { return view_; }
  GtkTextBuffer* buffer() override { return buf_.get(); }

  // --- Any thread ------------------------------------------------------------------------------------------------

  void append(console::Kind kind, std::string text) override {
    if (text.empty()) return;
    enqueue([&](std::vector<Item>& q) { q.push_back(Item{Item::Text, kind, std::move(text), {}, false, {}}); });
  }

  void append_result(console::Kind kind, std::string text, kelp::Value ref) override {
    if (text.empty()) return;
    enqueue([&](std::vector<Item>& q) {
      const bool has_ref = !ref.is_nil();
      q.push_back(Item{Item::Text, kind, std::move(text), std::move(ref), has_ref, {}});
    });
  }

  void mark_entry_start() override {
    enqueue([](std::vector<Item>& q) { q.push_back(Item{Item::Mark, console::Kind::System, {}, {}, false, {}}); });
  }

  void echo_entry(std::string text, bool mark) override {
    enqueue([&](std::vector<Item>& q) {
      if (mark) q.push_back(Item{Item::Mark, console::Kind::System, {}, {}, false, {}});
      std::string line = prompt_ + text;
      if (!ends_with_newline(line)) line += '\n';
      q.push_back(Item{Item::Text, console::Kind::Prompt, std::move(line), {}, false, {}});
    });
  }

  void reset_busy_hint() override { busy_hint_shown_ = false; }

  void note_run_start() override {
    // A new run may show the busy hint again.
    busy_hint_shown_ = false;
    // On the GTK thread the input is read now, before anything typed during the run can count as the user's code.
    std::optional<std::string> input;
    if (on_gtk_thread() && view_) input = input_text();
    enqueue([&](std::vector<Item>& q) {
      q.push_back(Item{Item::RunStart, console::Kind::System, {}, {}, false, std::move(input)});
    });
  }

  void note_run_end() override {
    enqueue([](std::vector<Item>& q) { q.push_back(Item{Item::RunEnd, console::Kind::System, {}, {}, false, {}}); });
  }

  // --- GTK thread ------------------------------------------------------------------------------------------------

  void drain() override {
    std::vector<Item> batch;
    {
      std::lock_guard lock(mutex_);
      drain_scheduled_ = false;
      batch.swap(queue_);
    }
    if (!view_ || batch.empty()) return;
    batch = coalesce(std::move(batch));
    const bool dropped = budget(batch);

    Internal guard(this);
    // The batch alone fills the history: everything older goes, as trimming after inserting it all would do, and
    // with it the start of any entry begun before the cut.
    if (dropped) {
      erase(buf_.get(), 0, mark_offset(buf_.get(), out_end_));
      spans_.clear();
      entry_active_ = false;
      prev_active_ = false;
    }
    for (auto& item : batch) {
      switch (item.type) {
        case Item::Swallowed: break;
        case Item::Mark:
          move_mark(last_entry_, mark_offset(buf_.get(), out_end_));
          entry_active_ = true;
          break;
        case Item::RunStart: run_start_text_ = item.input ? *item.input : input_text(); break;
        case Item::RunEnd: {
          const std::string now = input_text();
          if (!is_blank(kelp::to_u32(now)) && now != run_start_text_) {
            leftover_ = kelp::to_u32(now);
          } else {
            leftover_.reset();
          }
          break;
        }
        case Item::Text: insert_output(item); break;
      }
    }
    trim();
    scroll_to_end();
  }

  void commit_input() override { commit(true); }

  int handle_return(bool shift) override {
    if (preedit_) return 0;
    const std::u32string input = kelp::to_u32(input_text());
    console::InputState st;
    st.input = input;
    st.is_waiting = waiting();
    st.is_evaluating = evaluating();
    st.is_shift = shift;
    st.leftover = leftover_;
    // A `!` line runs a command, so it goes even while a program runs; a program reading input gets it as typed.
    if (!st.is_waiting && !shift && palette::is_bang(kelp::to_utf8(input))) {
      std::string text = kelp::to_utf8(input);
      commit(true);
      submit({ConsoleSubmit::Action::Bang, std::move(text)});
      return 1;
    }
    switch (console::input_action(st)) {
      case console::InputAction::Newline: return 0;
      case console::InputAction::SendStdin: {
        std::string text = kelp::to_utf8(input);
        commit(false);
        submit({ConsoleSubmit::Action::SendStdin, std::move(text)});
        return 1;
      }
      case console::InputAction::Busy:
        if (!busy_hint_shown_.exchange(true)) append(console::Kind::System, std::string(BUSY_HINT) + "\n");
        return 1;
      case console::InputAction::Leftover:
        leftover_.reset();
        append(console::Kind::System, std::string(LEFTOVER_HINT) + "\n");
        return 1;
      case console::InputAction::Noop: return 1;
      case console::InputAction::Eval: {
        std::string text = kelp::to_utf8(input);
        commit(true);
        submit({ConsoleSubmit::Action::Eval, std::move(text)});
        return 1;
      }
    }
    return 1;
  }

  bool handle_history(bool up) override {
    GtkTextBuffer* b = buf_.get();
    const Offset at = caret(b);
    const Offset start = input_start();
    if (at < start || waiting() || preedit_) return false;
    const std::u32string beside = up ? text_u32(b, start, at) : text_u32(b, at, char_count(b));
    if (beside.find(U'\n') != std::u32string::npos) return false;
    std::optional<std::string> next;
    if (up) {
      if (opts_.history_prev) next = opts_.history_prev(input_text());
    } else if (opts_.history_next) {
      next = opts_.history_next();
    }
    if (!next) return false;
    replace_input(*next, code_points(*next));
    return true;
  }

  int handle_key(guint keyval, GdkModifierType state) override {
    if (completion_.handle_key && !preedit_ && completion_.handle_key(keyval, state)) return 1;
    const bool control = state & GDK_CONTROL_MASK;
    const bool meta = state & GDK_META_MASK;
    switch (keyval) {
      case GDK_KEY_Return:
      case GDK_KEY_KP_Enter: return handle_return(state & GDK_SHIFT_MASK);
      case GDK_KEY_Up: return handle_history(true) ? 1 : 0;
      case GDK_KEY_Down: return handle_history(false) ? 1 : 0;
      case GDK_KEY_d:
        if ((control || meta) && waiting()) {
          std::string text = input_text();
          commit(false);
          submit({ConsoleSubmit::Action::Eof, std::move(text)});
          return 1;
        }
        return 0;
      case GDK_KEY_space:
        if (control && !meta && !preedit_ && completion_.complete && caret(buf_.get()) >= input_start()) {
          completion_.complete();
          return 1;
        }
        return 0;
      default: return 0;
    }
  }

  int dispatch_key(guint keyval, GdkModifierType state) override {
    try {
      return handle_key(keyval, state);
    } catch (...) {
      report("; key: " + current_exception_text());
      return 1;
    }
  }

  void clear_input() override {
    GtkTextBuffer* b = buf_.get();
    gtk_text_buffer_begin_user_action(b);
    erase(b, input_start(), char_count(b));
    gtk_text_buffer_end_user_action(b);
  }

  void set_input(const std::string& text, Offset at) override {
    replace_input(text, at);
    focus();
  }

  void clear_output() override {
    Internal guard(this);
    GtkTextBuffer* b = buf_.get();
    erase(b, 0, mark_offset(b, out_end_));
    spans_.clear();
    entry_active_ = false;
    prev_active_ = false;
  }

  void clear_last_output() override {
    GtkTextBuffer* b = buf_.get();
    std::optional<Offset> start;
    if (entry_active_) start = mark_offset(b, last_entry_);
    if (auto range = console::clear_last_range(start, mark_offset(b, out_end_))) {
      Internal guard(this);
      erase(b, range->start, range->end);
      std::erase_if(spans_, [&](const ResultSpan& s) { return s.end > range->start; });
    }
    entry_active_ = false;
  }

  void set_prompt(const std::string& ns_name) override {
    std::string fresh = ns_name + "=> ";
    make_insertable(fresh);
    {
      std::lock_guard lock(mutex_);
      prompt_ = fresh;
    }
    GtkTextBuffer* b = buf_.get();
    const Offset from = mark_offset(b, out_end_);
    const Offset to = input_start();
    if (text_utf8(b, from, to) == fresh) return;
    const Span sel = selection_marks(b);
    const Offset delta = code_points(fresh) - (to - from);
    Internal guard(this);
    erase(b, from, to);
    insert_utf8(b, from, fresh);
    const Offset end = from + code_points(fresh);
    move_mark(out_end_, from);
    move_mark(input_start_, end);
    tag_range(from, end, console::Kind::Prompt);
    // Ends in the input keep their characters; ends in the history or the old prompt stay where GTK left them.
    const Span now = selection_marks(b);
    const Offset ins = sel.start >= to ? sel.start + delta : now.start;
    const Offset bound = sel.end >= to ? sel.end + delta : now.end;
    if (ins != now.start || bound != now.end) select(b, ins, bound);
  }

  void focus() override {
    if (view_) gtk_widget_grab_focus(GTK_WIDGET(view_));
  }

  void apply_theme(const theme::Theme& t) override {
    const auto ct = theme::console_theme(t);
    for (const auto& f : console::styles()) {
      g_object_set(kind_tags_[static_cast<size_t>(f.kind)], "foreground", console::style(ct, f.kind).fg.c_str(),
                   nullptr);
    }
  }

  bool apply_input_op(const EditOp& op) override {
    GtkTextBuffer* b = buf_.get();
    const Offset start = input_start();
    const Offset len = char_count(b) - start;
    if (edits_problem(len, op.edits)) return false;
    Offset new_len = len;
    for (const auto& e : op.edits) new_len += static_cast<Offset>(e.text.size()) - (e.end - e.start);
    gtk_text_buffer_begin_user_action(b);
    for (auto it = op.edits.rbegin(); it != op.edits.rend(); ++it) {
      erase(b, start + it->start, start + it->end);
      insert(b, start + it->start, it->text);
      strip_tags(start + it->start, start + it->start + static_cast<Offset>(it->text.size()));
    }
    auto clamp = [&](Offset o) { return start + std::clamp<Offset>(o, 0, new_len); };
    if (op.sel) {
      const Offset other = op.caret == op.sel->start ? op.sel->end : op.sel->start;
      select(b, clamp(op.caret), clamp(other));
    } else {
      place_caret(b, clamp(op.caret));
    }
    gtk_text_buffer_end_user_action(b);
    return true;
  }

  void restore_entry_start() override {
    move_mark(last_entry_, mark_offset(buf_.get(), prev_entry_));
    entry_active_ = prev_active_;
  }

  // --- Readers ---------------------------------------------------------------------------------------------------

  std::string input_text() override { return text_utf8(buf_.get(), input_start(), char_count(buf_.get())); }

  std::optional<Snapshot> input_snapshot() override {
    GtkTextBuffer* b = buf_.get();
    const Offset start = input_start();
    const Span m = selection_marks(b);
    if (m.start < start) return std::nullopt;
    const Offset lo = std::max(std::min(m.start, m.end), start) - start;
    const Offset hi = std::max(m.start, m.end) - start;
    return Snapshot{text_u32(b, start, char_count(b)), m.start - start, lo, hi};
  }

  bool in_input(Offset offset) override { return offset >= input_start(); }

  ConsoleLine line_at(Offset offset) override {
    GtkTextBuffer* b = buf_.get();
    offset = std::clamp<Offset>(offset, 0, char_count(b));
    const Offset from = std::max<Offset>(0, offset - LINE_WINDOW);
    const std::u32string w = text_u32(b, from, offset + LINE_WINDOW);
    const auto at = static_cast<size_t>(offset - from);
    size_t begin = at == 0 ? std::u32string::npos : w.rfind(U'\n', at - 1);
    begin = begin == std::u32string::npos ? 0 : begin + 1;
    size_t end = w.find(U'\n', at);
    if (end == std::u32string::npos) end = w.size();
    return {kelp::to_utf8(std::u32string_view(w).substr(begin, end - begin)), from + static_cast<Offset>(begin)};
  }

  kelp::Value result_at(Offset offset) override {
    const ResultSpan* s = span_at(offset);
    return s ? s->ref : kelp::Value();
  }

  std::optional<std::string> result_text_at(Offset offset) override {
    const ResultSpan* s = span_at(offset);
    if (!s) return std::nullopt;
    return text_utf8(buf_.get(), s->start, s->end);
  }

  std::string output_text() override { return text_utf8(buf_.get(), 0, mark_offset(buf_.get(), out_end_)); }

  std::string prompt_text() override {
    return text_utf8(buf_.get(), mark_offset(buf_.get(), out_end_), input_start());
  }

  // --- Registrations ---------------------------------------------------------------------------------------------

  void set_completion_fns(CompletionFns fns) override { completion_ = std::move(fns); }
  void on_input_changed(std::function<void()> f) override { input_changed_.push_back(std::move(f)); }
  void on_focus_lost(std::function<void()> f) override { focus_lost_.push_back(std::move(f)); }
  void set_error_fn(std::function<void(const std::string&)> f) override { error_fn_ = std::move(f); }

 private:
  struct Item {
    enum Type { Text, Mark, RunStart, RunEnd, Swallowed } type;
    console::Kind kind;
    std::string text;
    kelp::Value ref;
    bool has_ref;
    std::optional<std::string> input;  // RunStart: the input as it was when the run began, when known
  };

  struct ResultSpan {
    Offset start;
    Offset end;
    kelp::Value ref;
  };

  // A stretch of buffer changes of the view's own: not reported as the user's input changing, and not undoable
  // (undo would take back output or a prompt, and the user's own steps would no longer match the text).
  struct Internal {
    explicit Internal(ConsoleViewImpl* v) : v(v) {
      ++v->internal_;
      gtk_text_buffer_begin_irreversible_action(v->buf_.get());
    }
    ~Internal() {
      gtk_text_buffer_end_irreversible_action(v->buf_.get());
      --v->internal_;
    }
    ConsoleViewImpl* v;
  };

  static void view_finalized(gpointer data, GObject*) {
    auto* self = static_cast<ConsoleViewImpl*>(data);
    self->view_ = nullptr;
    self->scroll_ = nullptr;
    self->disconnect_buffer();
    std::lock_guard lock(self->mutex_);
    self->queue_.clear();
  }

  void disconnect_buffer() {
    if (!buf_) return;
    for (gulong id : handlers_) g_signal_handler_disconnect(buf_.get(), id);
    handlers_.clear();
  }

  bool is_console_tag(GtkTextTag* tag) const {
    return tag == read_only_ || std::find(kind_tags_.begin(), kind_tags_.end(), tag) != kind_tags_.end();
  }

  bool on_gtk_thread() const { return std::this_thread::get_id() == gtk_thread_; }

  template <class F>
  void enqueue(F&& push) {
    bool schedule = false;
    {
      std::lock_guard lock(mutex_);
      push(queue_);
      if (!drain_scheduled_) drain_scheduled_ = schedule = true;
    }
    if (schedule) {
      on_gui([weak = std::weak_ptr<ConsoleViewImpl>(std::static_pointer_cast<ConsoleViewImpl>(shared_from_this()))] {
        if (auto s = weak.lock()) s->drain();
      });
    }
  }

  // Neighbouring text of one kind becomes one insert; a result with a ref stays alone so its span is its line.
  static std::vector<Item> coalesce(std::vector<Item> batch) {
    std::vector<Item> out;
    out.reserve(batch.size());
    for (auto& item : batch) {
      if (!out.empty()) {
        Item& last = out.back();
        if (item.type == Item::Mark && last.type == Item::Mark) continue;
        if (item.type == Item::Text && last.type == Item::Text && !item.has_ref && !last.has_ref &&
            item.kind == last.kind) {
          last.text += item.text;
          continue;
        }
      }
      out.push_back(std::move(item));
    }
    return out;
  }

  // Keeps only the batch's last MAX_OUTPUT_CHARS characters of text, cut just after a newline as trimming would
  // cut it, so that no drain inserts more than the history may hold. Marks and results in the cut-off part are
  // swallowed with it. Answers whether anything was cut.
  static bool budget(std::vector<Item>& batch) {
    Offset total = 0;
    std::vector<Offset> lens(batch.size(), 0);
    for (size_t i = 0; i < batch.size(); ++i) {
      if (batch[i].type == Item::Text) total += lens[i] = code_points(batch[i].text);
    }
    if (total <= MAX_OUTPUT_CHARS) return false;
    const Offset must = total - MAX_OUTPUT_CHARS;
    // Find the item holding the batch's character must - 1 and look for a newline from there to its end.
    Offset before = 0;
    size_t c = 0;
    while (c < batch.size() && (batch[c].type != Item::Text || before + lens[c] < must)) before += lens[c++];
    Item& cut = batch[c];
    const Offset from = must - 1 - before;
    const size_t from_byte = byte_of(cut.text, from);
    const size_t nl = cut.text.find('\n', from_byte);
    const size_t keep = nl != std::string::npos ? nl + 1 : byte_of(cut.text, from + 1);
    cut.text.erase(0, keep);
    if (cut.text.empty()) cut.type = Item::Swallowed;
    for (size_t i = 0; i < c; ++i) {
      if (batch[i].type == Item::Text || batch[i].type == Item::Mark) batch[i].type = Item::Swallowed;
    }
    return true;
  }

  void insert_output(Item& item) {
    make_insertable(item.text);
    GtkTextBuffer* b = buf_.get();
    const Offset start = mark_offset(b, out_end_);
    GtkTextIter at;
    gtk_text_buffer_get_iter_at_mark(b, &at, out_end_);
    gtk_text_buffer_insert(b, &at, item.text.data(), static_cast<gint>(item.text.size()));
    const Offset end = mark_offset(b, out_end_);
    tag_range(start, end, item.kind);
    if (item.has_ref) spans_.push_back({start, end, std::move(item.ref)});
  }

  // Deletes old output from the front until at most MAX_OUTPUT_CHARS remain, cutting just after a newline near the
  // cut point when there is one, and reading only the text there.
  void trim() {
    GtkTextBuffer* b = buf_.get();
    const Offset len = mark_offset(b, out_end_);
    if (len <= MAX_OUTPUT_CHARS) return;
    const Offset must = len - MAX_OUTPUT_CHARS;
    const std::u32string near = text_u32(b, must - 1, std::min(len, must - 1 + LINE_WINDOW));
    const Offset cut = must - 1 + console::trim_length(near, static_cast<int64_t>(near.size()) - 1);
    // A mark inside the deleted text would land at 0 and pass for the start of a real entry.
    if (entry_active_ && mark_offset(b, last_entry_) < cut) entry_active_ = false;
    if (prev_active_ && mark_offset(b, prev_entry_) < cut) prev_active_ = false;
    erase(b, 0, cut);
    std::erase_if(spans_, [&](const ResultSpan& s) { return s.start < cut; });
    for (auto& s : spans_) {
      s.start -= cut;
      s.end -= cut;
    }
  }

  void commit(bool mark_entry) {
    GtkTextBuffer* b = buf_.get();
    Internal guard(this);
    const Offset from = mark_offset(b, out_end_);
    leftover_.reset();
    if (mark_entry) {
      move_mark(prev_entry_, mark_offset(b, last_entry_));
      prev_active_ = entry_active_;
      move_mark(last_entry_, from);
      entry_active_ = true;
    }
    if (!ends_with_newline(text_utf8(b, char_count(b) - 1, char_count(b)))) insert_utf8(b, char_count(b), "\n");
    const Offset committed = char_count(b);
    tag_range(from, committed, console::Kind::Prompt);
    std::string prompt;
    {
      std::lock_guard lock(mutex_);
      prompt = prompt_;
    }
    insert_utf8(b, committed, prompt);
    const Offset end = char_count(b);
    tag_range(committed, end, console::Kind::Prompt);
    move_mark(out_end_, committed);
    move_mark(input_start_, end);
    place_caret(b, end);
    scroll_to_end();
  }

  void replace_input(const std::string& text, Offset at) {
    GtkTextBuffer* b = buf_.get();
    std::string clean = text;
    make_insertable(clean);
    const Offset start = input_start();
    gtk_text_buffer_begin_user_action(b);
    erase(b, start, char_count(b));
    insert_utf8(b, start, clean);
    strip_tags(start, char_count(b));
    gtk_text_buffer_end_user_action(b);
    place_caret(b, start + std::clamp<Offset>(at, 0, code_points(clean)));
  }

  void submit(const ConsoleSubmit& s) {
    if (opts_.on_submit) opts_.on_submit(s);
  }

  bool waiting() { return opts_.is_waiting && opts_.is_waiting(); }
  bool evaluating() { return opts_.is_evaluating && opts_.is_evaluating(); }

  Offset input_start() { return mark_offset(buf_.get(), input_start_); }

  void move_mark(GtkTextMark* mark, Offset at) {
    GtkTextIter it = iter_at(buf_.get(), at);
    gtk_text_buffer_move_mark(buf_.get(), mark, &it);
  }

  void strip_tags(Offset from, Offset to) {
    GtkTextIter a = iter_at(buf_.get(), from);
    GtkTextIter z = iter_at(buf_.get(), to);
    gtk_text_buffer_remove_all_tags(buf_.get(), &a, &z);
  }

  // Text inserted where two spans of one tag meet takes that tag on, so every tag goes before the range's own.
  void tag_range(Offset from, Offset to, console::Kind kind) {
    strip_tags(from, to);
    GtkTextIter a = iter_at(buf_.get(), from);
    GtkTextIter z = iter_at(buf_.get(), to);
    gtk_text_buffer_apply_tag(buf_.get(), read_only_, &a, &z);
    gtk_text_buffer_apply_tag(buf_.get(), kind_tags_[static_cast<size_t>(kind)], &a, &z);
  }

  void scroll_to_end() {
    if (view_) gtk_text_view_scroll_to_mark(view_, end_mark_, 0.0, FALSE, 0.0, 0.0);
  }

  const ResultSpan* span_at(Offset offset) {
    auto it = std::upper_bound(spans_.begin(), spans_.end(), offset,
                               [](Offset o, const ResultSpan& s) { return o < s.start; });
    if (it == spans_.begin()) return nullptr;
    --it;
    return offset < it->end ? &*it : nullptr;
  }

  void report(const std::string& message) {
    if (error_fn_) {
      try {
        error_fn_(message);
        return;
      } catch (...) {
      }
    }
    report_callback_exception("console_view", message);
  }

  void run_all(const std::vector<std::function<void()>>& fns) {
    for (const auto& f : fns) {
      try {
        f();
      } catch (...) {
        report("; " + current_exception_text());
      }
    }
  }

  ConsoleOptions opts_;
  std::thread::id gtk_thread_;
  Ref<GtkTextBuffer> buf_;
  GtkWidget* scroll_ = nullptr;
  GtkTextView* view_ = nullptr;
  GtkTextTag* read_only_ = nullptr;
  std::array<GtkTextTag*, KIND_COUNT> kind_tags_{};
  GtkTextMark* out_end_ = nullptr;
  GtkTextMark* input_start_ = nullptr;
  GtkTextMark* end_mark_ = nullptr;
  GtkTextMark* last_entry_ = nullptr;
  GtkTextMark* prev_entry_ = nullptr;
  std::vector<gulong> handlers_;

  // Shared with other threads.
  std::mutex mutex_;
  std::vector<Item> queue_;
  bool drain_scheduled_ = false;
  std::string prompt_;
  std::atomic<bool> busy_hint_shown_{false};

  // GTK thread only.
  bool entry_active_ = false;
  bool prev_active_ = false;
  bool preedit_ = false;
  int internal_ = 0;
  std::string run_start_text_;
  std::optional<std::u32string> leftover_;
  std::vector<ResultSpan> spans_;
  CompletionFns completion_;
  std::vector<std::function<void()>> input_changed_;
  std::vector<std::function<void()>> focus_lost_;
  std::function<void(const std::string&)> error_fn_;
};

std::shared_ptr<ConsoleView> ConsoleView::make(ConsoleOptions options) {
  auto v = std::make_shared<ConsoleViewImpl>(std::move(options));
  v->build();
  return v;
}

}  // namespace orrery::gtk
