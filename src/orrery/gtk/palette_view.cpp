#include "orrery/gtk/palette_view.hpp"

#include <algorithm>
#include <exception>

#include "orrery/gtk/callbacks.hpp"
#include "orrery/gtk/object.hpp"

namespace orrery::gtk {
namespace {

constexpr int WIDTH = 560;
constexpr int LIST_HEIGHT = 320;

class PaletteViewImpl final : public PaletteView {
 public:
  explicit PaletteViewImpl(PaletteOptions options) : opts_(std::move(options)) {}

  void build() {
    popover_ = Ref<GtkWidget>::share(gtk_popover_new());
    gtk_popover_set_position(GTK_POPOVER(popover_.get()), GTK_POS_BOTTOM);
    gtk_popover_set_has_arrow(GTK_POPOVER(popover_.get()), FALSE);
    gtk_widget_add_css_class(popover_.get(), "orrery-palette");

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_widget_set_size_request(box, WIDTH, -1);
    entry_ = gtk_entry_new();
    gtk_entry_set_placeholder_text(GTK_ENTRY(entry_), "Type a command");
    list_ = gtk_list_box_new();
    gtk_list_box_set_selection_mode(GTK_LIST_BOX(list_), GTK_SELECTION_SINGLE);
    gtk_list_box_set_activate_on_single_click(GTK_LIST_BOX(list_), TRUE);
    scroller_ = gtk_scrolled_window_new();
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller_), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(scroller_), LIST_HEIGHT);
    gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller_), LIST_HEIGHT);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller_), list_);
    gtk_box_append(GTK_BOX(box), entry_);
    gtk_box_append(GTK_BOX(box), scroller_);
    gtk_popover_set_child(GTK_POPOVER(popover_.get()), box);

    auto weak = std::weak_ptr<PaletteView>(shared_from_this());
    auto self_of = [weak] { return std::static_pointer_cast<PaletteViewImpl>(weak.lock()); };
    connect<void(GtkEditable*)>(entry_, "changed", [self_of](GtkEditable*) {
      if (auto self = self_of()) self->refilter();
    });
    connect<void(GtkEntry*)>(entry_, "activate", [self_of](GtkEntry*) {
      if (auto self = self_of()) self->run_selected();
    });
    connect<void(GtkListBox*, GtkListBoxRow*)>(list_, "row-activated", [self_of](GtkListBox*, GtkListBoxRow* row) {
      auto self = self_of();
      if (!self) return;
      const int i = gtk_list_box_row_get_index(row);
      if (i < 0) return;
      self->state_.index = static_cast<std::size_t>(i);
      self->run_selected();
    });
    // The entry's text widget tells when an input method composes: its keys are the input method's then.
    if (GtkEditable* text = gtk_editable_get_delegate(GTK_EDITABLE(entry_))) {
      connect<void(GtkText*, char*)>(text, "preedit-changed", [self_of](GtkText*, char* preedit) {
        if (auto self = self_of()) self->composing_ = preedit && *preedit;
      });
    }
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    connect<gboolean(GtkEventControllerKey*, guint, guint, GdkModifierType)>(
        keys, "key-pressed", [self_of](GtkEventControllerKey*, guint keyval, guint, GdkModifierType state) -> gboolean {
          auto self = self_of();
          return self ? self->handle_key(keyval, state) : FALSE;
        });
    gtk_widget_add_controller(entry_, keys);
    connect<void(GtkPopover*)>(popover_.get(), "closed", [self_of](GtkPopover*) {
      if (auto self = self_of()) self->composing_ = false;
    });
  }

  ~PaletteViewImpl() override { detach(); }

  void open(GtkWidget* parent, const GdkRectangle& at) override {
    if (!parent) return;
    GtkWidget* p = popover_.get();
    if (gtk_widget_get_parent(p) != parent) {
      detach();
      gtk_widget_set_parent(p, parent);
      parent_ = parent;
      // The parent must let go of the popover before it is finalized, or GTK warns of a child left behind.
      destroy_handler_ = g_signal_connect_swapped(parent, "destroy", G_CALLBACK(+[](gpointer data) {
                                                    static_cast<PaletteViewImpl*>(data)->detach();
                                                  }),
                                                  this);
    }
    gtk_popover_set_pointing_to(GTK_POPOVER(p), &at);
    all_ = opts_.entries ? opts_.entries() : std::vector<palette::Entry>{};
    quiet_ = true;
    gtk_editable_set_text(GTK_EDITABLE(entry_), "");
    quiet_ = false;
    show(palette::filter_entries(all_, ""));
    gtk_popover_popup(GTK_POPOVER(p));
    gtk_widget_grab_focus(entry_);
  }

  bool close() override {
    if (!is_open()) return false;
    gtk_popover_popdown(GTK_POPOVER(popover_.get()));
    return true;
  }

  bool is_open() override { return gtk_widget_get_visible(popover_.get()); }

  bool entry_focused() override {
    if (!is_open()) return false;
    GtkEditable* text = gtk_editable_get_delegate(GTK_EDITABLE(entry_));
    return gtk_widget_is_focus(entry_) || (text && gtk_widget_is_focus(GTK_WIDGET(text)));
  }

  void run_selected() override {
    if (state_.shown.empty()) return;
    palette::Entry picked = state_.shown[std::min(state_.index, state_.shown.size() - 1)];
    close();
    try {
      if (opts_.run) opts_.run(picked);
    } catch (const std::exception& e) {
      if (opts_.report) opts_.report(e.what());
    } catch (...) {
      if (opts_.report) opts_.report(current_exception_text());
    }
  }

  int handle_key(guint keyval, GdkModifierType) override {
    if (composing_) return 0;
    long delta = 0;
    switch (keyval) {
      case GDK_KEY_Up: case GDK_KEY_KP_Up: delta = -1; break;
      case GDK_KEY_Down: case GDK_KEY_KP_Down: delta = 1; break;
      case GDK_KEY_Page_Up: case GDK_KEY_KP_Page_Up: delta = -palette::PAGE; break;
      case GDK_KEY_Page_Down: case GDK_KEY_KP_Page_Down: delta = palette::PAGE; break;
      default: return 0;
    }
    state_ = palette::move(std::move(state_), delta);
    select_row();
    return 1;
  }

  GtkWidget* popover() override { return popover_.get(); }
  GtkEditable* entry() override { return GTK_EDITABLE(entry_); }
  std::vector<std::string> rows() override {
    std::vector<std::string> out;
    for (const auto& e : state_.shown) out.push_back(palette::row_text(e));
    return out;
  }
  std::size_t selected() override { return state_.index; }

 private:
  void detach() {
    if (!parent_) return;
    if (destroy_handler_) g_signal_handler_disconnect(parent_, destroy_handler_);
    destroy_handler_ = 0;
    if (popover_ && gtk_widget_get_parent(popover_.get()) == parent_) gtk_widget_unparent(popover_.get());
    parent_ = nullptr;
  }

  void refilter() {
    if (quiet_) return;
    show(palette::filter_entries(all_, gtk_editable_get_text(GTK_EDITABLE(entry_))));
  }

  void show(std::vector<palette::Entry> shown) {
    state_ = palette::State{std::move(shown), 0};
    while (GtkWidget* row = gtk_widget_get_first_child(list_)) gtk_list_box_remove(GTK_LIST_BOX(list_), row);
    for (const auto& e : state_.shown) {
      // The row's text in two parts: a long doc is cut short before the keys and source ever are.
      GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
      gtk_widget_set_margin_start(row, 6);
      gtk_widget_set_margin_end(row, 6);
      gtk_widget_set_margin_top(row, 3);
      gtk_widget_set_margin_bottom(row, 3);
      GtkWidget* doc = gtk_label_new(e.doc.c_str());
      gtk_label_set_xalign(GTK_LABEL(doc), 0);
      gtk_label_set_ellipsize(GTK_LABEL(doc), PANGO_ELLIPSIZE_END);
      gtk_widget_set_hexpand(doc, TRUE);
      const std::string row_text = palette::row_text(e);
      GtkWidget* tail = gtk_label_new(row_text.substr(std::min(row_text.size(), e.doc.size() + 2)).c_str());
      gtk_widget_add_css_class(tail, "dim-label");
      gtk_box_append(GTK_BOX(row), doc);
      gtk_box_append(GTK_BOX(row), tail);
      gtk_widget_set_tooltip_text(row, row_text.c_str());
      gtk_list_box_append(GTK_LIST_BOX(list_), row);
    }
    select_row();
  }

  void select_row() {
    GtkListBoxRow* row = gtk_list_box_get_row_at_index(GTK_LIST_BOX(list_), static_cast<int>(state_.index));
    if (!row) return;
    gtk_list_box_select_row(GTK_LIST_BOX(list_), row);
    // Keep the selected row in view: scroll by the row's place in the list.
    graphene_rect_t bounds;
    if (gtk_widget_compute_bounds(GTK_WIDGET(row), list_, &bounds)) {
      GtkAdjustment* adj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroller_));
      const double top = bounds.origin.y;
      const double bottom = top + bounds.size.height;
      const double value = gtk_adjustment_get_value(adj);
      const double page = gtk_adjustment_get_page_size(adj);
      if (top < value) gtk_adjustment_set_value(adj, top);
      else if (bottom > value + page) gtk_adjustment_set_value(adj, bottom - page);
    }
  }

  PaletteOptions opts_;
  Ref<GtkWidget> popover_;
  GtkWidget* entry_ = nullptr;
  GtkWidget* list_ = nullptr;
  GtkWidget* scroller_ = nullptr;
  GtkWidget* parent_ = nullptr;
  gulong destroy_handler_ = 0;
  std::vector<palette::Entry> all_;
  palette::State state_;
  bool composing_ = false;
  bool quiet_ = false;
};

}  // namespace

std::shared_ptr<PaletteView> PaletteView::make(PaletteOptions options) {
  auto p = std::make_shared<PaletteViewImpl>(std::move(options));
  p->build();
  return p;
}

}  // namespace orrery::gtk
