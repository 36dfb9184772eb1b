#include "orrery/gtk/menu_bar.hpp"

#include <exception>

#include "orrery/gtk/callbacks.hpp"
#include "orrery/gtk/object.hpp"
#include "orrery/menus.hpp"

namespace orrery::gtk {
namespace {

// A menu or submenu's sections as a menu model, a section per separator-bounded group.
Ref<GMenu> model_of(const menus::Node& node) {
  Ref<GMenu> menu = Ref<GMenu>::adopt(g_menu_new());
  for (const auto& section : node.sections) {
    Ref<GMenu> part = Ref<GMenu>::adopt(g_menu_new());
    for (const auto& item : section) {
      if (menus::is_submenu(item)) {
        Ref<GMenu> sub = model_of(item);
        g_menu_append_submenu(part.get(), item.label.c_str(), G_MENU_MODEL(sub.get()));
        continue;
      }
      // Only a key sequence runs the command: it shows after the label, since an accelerator is one chord.
      const std::string label = item.keys_text.empty() ? item.label : item.label + " (" + item.keys_text + ")";
      const std::string detailed = std::string(MENU_PREFIX) + "." + item.action;
      Ref<GMenuItem> mi = Ref<GMenuItem>::adopt(g_menu_item_new(label.c_str(), detailed.c_str()));
      if (!item.accel.empty()) g_menu_item_set_attribute(mi.get(), "accel", "s", item.accel.c_str());
      g_menu_append_item(part.get(), mi.get());
    }
    g_menu_append_section(menu.get(), nullptr, G_MENU_MODEL(part.get()));
  }
  return menu;
}

class MenuBarImpl final : public MenuBar {
 public:
  MenuBarImpl(GtkWidget* owner, MenuBarOptions options) : opts_(std::move(options)) {
    group_ = Ref<GSimpleActionGroup>::adopt(g_simple_action_group_new());
    for (const auto& id : menus::command_ids(menus::shipped())) add_action(id);
    gtk_widget_insert_action_group(owner, MENU_PREFIX, G_ACTION_GROUP(group_.get()));
    button_ = gtk_menu_button_new();
    gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(button_), "open-menu-symbolic");
    gtk_widget_set_tooltip_text(button_, "Menu");
  }

  GtkWidget* button() override { return button_; }

  void rebuild(const keymap::Keymap& keymap, std::string_view os) override {
    Ref<GMenu> top = Ref<GMenu>::adopt(g_menu_new());
    for (const auto& menu : menus::tree(keymap, os)) {
      Ref<GMenu> sub = model_of(menu);
      g_menu_append_submenu(top.get(), menu.label.c_str(), G_MENU_MODEL(sub.get()));
    }
    model_ = top;
    gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(button_), G_MENU_MODEL(model_.get()));
  }

  void set_tick(std::string_view command, bool on, bool enabled) override {
    GAction* a = g_action_map_lookup_action(G_ACTION_MAP(group_.get()), menus::action_name(command).c_str());
    if (!a) return;
    g_simple_action_set_state(G_SIMPLE_ACTION(a), g_variant_new_boolean(on));
    g_simple_action_set_enabled(G_SIMPLE_ACTION(a), enabled);
  }

  GMenuModel* model() override { return G_MENU_MODEL(model_.get()); }
  GActionGroup* actions() override { return G_ACTION_GROUP(group_.get()); }
  GtkWidget* popover() override { return GTK_WIDGET(gtk_menu_button_get_popover(GTK_MENU_BUTTON(button_))); }

 private:
  void add_action(const std::string& command) {
    const std::string name = menus::action_name(command);
    GSimpleAction* a = menus::has_tick(command)
                           ? g_simple_action_new_stateful(name.c_str(), nullptr, g_variant_new_boolean(FALSE))
                           : g_simple_action_new(name.c_str(), nullptr);
    // The command sets the state itself (the window keeps the tick in step with what it holds), so activating a
    // stateful action does not flip it here.
    // The window holds the group too, so the handler owns what it calls rather than reaching back here.
    connect<void(GSimpleAction*, GVariant*)>(a, "activate", [opts = opts_, command](GSimpleAction*, GVariant*) {
      try {
        if (opts.run) opts.run(command);
      } catch (const std::exception& e) {
        if (opts.report) opts.report(e.what());
      } catch (...) {
        if (opts.report) opts.report(current_exception_text());
      }
    });
    g_action_map_add_action(G_ACTION_MAP(group_.get()), G_ACTION(a));
    g_object_unref(a);
  }

  MenuBarOptions opts_;
  Ref<GSimpleActionGroup> group_;
  Ref<GMenu> model_;
  GtkWidget* button_ = nullptr;
};

}  // namespace

std::shared_ptr<MenuBar> MenuBar::make(GtkWidget* owner, MenuBarOptions options) {
  return std::make_shared<MenuBarImpl>(owner, std::move(options));
}

}  // namespace orrery::gtk
