#include "orrery/gtk/appearance.hpp"

#include <gtk/gtk.h>

#include <cstdlib>
#include <string_view>

namespace orrery::gtk {

namespace {

// The preference as the desktop stood when the window opened: reading it again after we set GTK's prefer-dark
// would read our own answer back.
bool read_system_dark() {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (source) {
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE);
    if (schema) {
      bool has_key = g_settings_schema_has_key(schema, "color-scheme");
      g_settings_schema_unref(schema);
      if (has_key) {
        GSettings* settings = g_settings_new("org.gnome.desktop.interface");
        char* scheme = g_settings_get_string(settings, "color-scheme");
        bool dark = scheme && std::string_view(scheme) == "prefer-dark";
        g_free(scheme);
        g_object_unref(settings);
        if (dark) return true;
      }
    }
  }
  if (GtkSettings* settings = gtk_settings_get_default()) {
    gboolean prefer = FALSE;
    g_object_get(settings, "gtk-application-prefer-dark-theme", &prefer, nullptr);
    if (prefer) return true;
  }
  const char* env = std::getenv("GTK_THEME");
  return env && std::string_view(env).ends_with(":dark");
}

GtkCssProvider* installed = nullptr;

}  // namespace

bool system_prefers_dark() {
  static const bool dark = read_system_dark();
  return dark;
}

void install_theme_css(const theme::Theme& t, int px) {
  system_prefers_dark();  // read before our own setting changes what GTK reports
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return;
  if (installed) {
    gtk_style_context_remove_provider_for_display(display, GTK_STYLE_PROVIDER(installed));
    g_object_unref(installed);
  }
  installed = gtk_css_provider_new();
  std::string css = theme::code_css(t, px);
  gtk_css_provider_load_from_data(installed, css.c_str(), static_cast<gssize>(css.size()));
  gtk_style_context_add_provider_for_display(display, GTK_STYLE_PROVIDER(installed),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  if (GtkSettings* settings = gtk_settings_get_default()) {
    g_object_set(settings, "gtk-application-prefer-dark-theme", t.is_dark ? TRUE : FALSE, nullptr);
  }
}

}  // namespace orrery::gtk
