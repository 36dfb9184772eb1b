#include "orrery/gtk/callbacks.hpp"

#include <unistd.h>

#include <deque>
#include <filesystem>
#include <mutex>

namespace orrery::gtk {

namespace {

// The queue and its scheduled flag change together under this lock, so two threads enqueuing at once schedule one
// drain, and a thunk queued while a drain runs is either taken by it or schedules the next one.
std::mutex pending_mutex;
std::deque<std::function<void()>> pending;
bool drain_scheduled = false;

gboolean drain_pending(gpointer) {
  const auto t0 = std::chrono::steady_clock::now();
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(pending_mutex);
    batch.swap(pending);
    drain_scheduled = false;
  }
  for (auto& thunk : batch) {
    try {
      thunk();
    } catch (...) {
      report_callback_exception("on_gui", current_exception_text());
    }
  }
  slow_events::check("callbacks.cpp:on_gui", t0);
  return G_SOURCE_REMOVE;
}

struct Source {
  std::function<bool()> f;
  bool on_throw;
  std::string site;
};

gboolean source_call(gpointer data) {
  auto* s = static_cast<Source*>(data);
  const auto t0 = std::chrono::steady_clock::now();
  bool again = s->on_throw;
  try {
    again = s->f();
  } catch (...) {
    report_callback_exception(s->site, current_exception_text());
  }
  slow_events::check(s->site, t0);
  return again ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void source_free(gpointer data) { delete static_cast<Source*>(data); }

}  // namespace

void on_gui(std::function<void()> f) {
  bool schedule = false;
  {
    std::lock_guard lock(pending_mutex);
    pending.push_back(std::move(f));
    if (!drain_scheduled) drain_scheduled = schedule = true;
  }
  if (schedule) g_idle_add(drain_pending, nullptr);
}

void report_callback_exception(std::string_view where, std::string_view what) noexcept {
  try {
    std::string line = "orrery: a callback failed (" + std::string(where) + "): " + std::string(what) + "\n";
    // The descriptor itself, not stdio: a console capture may hold std::cerr or stdout.
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  } catch (...) {
  }
}

std::string current_exception_text() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception that is not a std::exception";
  }
}

std::string site_name(const std::source_location& loc) {
  return std::filesystem::path(loc.file_name()).filename().string() + ":" + std::to_string(loc.line());
}

guint timeout_add(unsigned ms, std::function<bool()> f, bool keep_on_throw, std::source_location loc) {
  auto* s = new Source{std::move(f), keep_on_throw, site_name(loc)};
  return g_timeout_add_full(G_PRIORITY_DEFAULT, ms, source_call, s, source_free);
}

guint idle_add(std::function<bool()> f, std::source_location loc) {
  auto* s = new Source{std::move(f), false, site_name(loc)};
  return g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, source_call, s, source_free);
}

void pump_pending() {
  while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
}

}  // namespace orrery::gtk
