// The window's colours: the theme's CSS installed for the whole display, GTK's own widgets told whether the theme is
// dark, and the system's light or dark preference that the "auto" choice follows.
#pragma once

#include <string>

#include "orrery/theme.hpp"

namespace orrery::gtk {

// Whether the desktop asks for dark windows: the desktop's colour scheme ("prefer-dark") when its settings schema is
// installed, else GTK's gtk-application-prefer-dark-theme, else a GTK_THEME ending in ":dark".
bool system_prefers_dark();

// Installs t's CSS for the default display at px pixels (replacing the one installed before) and sets GTK's
// prefer-dark setting to match, so the header bar, dialogs and scroll bars agree with the code views.
void install_theme_css(const theme::Theme& t, int px);

}  // namespace orrery::gtk
