// What the window tests share: letting the main loop run until something has happened.
#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <thread>

namespace orrery::gui_test {

// Runs the main loop until pred holds or timeout passes; answers pred's last value.
inline bool pump_until(const std::function<bool()>& pred,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return pred();
    if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs the main loop for a while, for "nothing else happens" checks.
inline void pump_for(std::chrono::milliseconds span) {
  pump_until([] { return false; }, span);
}

}  // namespace orrery::gui_test
