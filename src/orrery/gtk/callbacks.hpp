// The one way into the GTK main thread and the one way a C++ function becomes a GTK callback.
//
// on_gui queues work for the main thread from any thread and never waits for it. connect, timeout_add and
// idle_add hand GTK a C function that calls a C++ callable: every call is timed (slow_events::check) and contained,
// so no exception ever unwinds into GTK's C frames; a throw is written to the real standard error and the callback
// answers its on-throw value. The callable is owned by GLib's closure or source and freed by its destroy notify,
// after which GLib never calls it again.
#pragma once

#include <glib-object.h>

#include <chrono>
#include <exception>
#include <functional>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "orrery/slow_events.hpp"

namespace orrery::gtk {

// Runs f on the GTK main thread, after the callbacks already queued. Any thread, the main one included; returns at
// once. A burst of calls costs one idle wake-up.
void on_gui(std::function<void()> f);

// Writes a callback's failure, with where it was made, to the process's real standard error. Never throws.
void report_callback_exception(std::string_view where, std::string_view what) noexcept;
// The message of the exception being handled (inside a catch block).
std::string current_exception_text();

// "console_view.cpp:120": where a callback was made, as the slow-event log and reports name it.
std::string site_name(const std::source_location& loc);

namespace detail {

template <class Sig>
struct Callback;

template <class R, class... A>
struct Callback<R(A...)> {
  std::function<R(A...)> f;
  R on_throw;
  std::string site;

  R invoke(A... a) {
    const auto t0 = std::chrono::steady_clock::now();
    R r = on_throw;
    try {
      r = f(a...);
    } catch (...) {
      report_callback_exception(site, current_exception_text());
    }
    slow_events::check(site, t0);
    return r;
  }
  static R call(A... a, gpointer data) { return static_cast<Callback*>(data)->invoke(a...); }
  static void destroy(gpointer data, GClosure*) { delete static_cast<Callback*>(data); }
};

template <class... A>
struct Callback<void(A...)> {
  std::function<void(A...)> f;
  std::string site;

  void invoke(A... a) {
    const auto t0 = std::chrono::steady_clock::now();
    try {
      f(a...);
    } catch (...) {
      report_callback_exception(site, current_exception_text());
    }
    slow_events::check(site, t0);
  }
  static void call(A... a, gpointer data) { static_cast<Callback*>(data)->invoke(a...); }
  static void destroy(gpointer data, GClosure*) { delete static_cast<Callback*>(data); }
};

template <class R>
inline constexpr bool kDefaultOnThrow = std::is_void_v<R> || std::is_integral_v<R> || std::is_enum_v<R> ||
                                        std::is_pointer_v<R>;

}  // namespace detail

// Connects f to instance's signal. Sig is the signal's C signature without the trailing user-data pointer, e.g.
// gboolean(GtkEventControllerKey*, guint, guint, GdkModifierType). A throw answers R{}: nothing, 0 ("not handled"
// for a key handler) or a null pointer; a signal whose default answer would be wrong passes its own.
template <class Sig, class F>
gulong connect(gpointer instance, const char* signal, F&& f,
               std::source_location loc = std::source_location::current()) {
  using CB = detail::Callback<Sig>;
  if constexpr (requires { &CB::on_throw; }) {
    using R = decltype(CB::on_throw);
    static_assert(detail::kDefaultOnThrow<R>, "this return type needs an explicit on-throw value");
    auto* cb = new CB{std::forward<F>(f), R{}, site_name(loc)};
    return g_signal_connect_data(instance, signal, G_CALLBACK(&CB::call), cb, &CB::destroy, GConnectFlags(0));
  } else {
    auto* cb = new CB{std::forward<F>(f), site_name(loc)};
    return g_signal_connect_data(instance, signal, G_CALLBACK(&CB::call), cb, &CB::destroy, GConnectFlags(0));
  }
}

template <class Sig, class F, class R>
gulong connect(gpointer instance, const char* signal, F&& f, R on_throw,
               std::source_location loc = std::source_location::current()) {
  using CB = detail::Callback<Sig>;
  auto* cb = new CB{std::forward<F>(f), static_cast<decltype(CB::on_throw)>(on_throw), site_name(loc)};
  return g_signal_connect_data(instance, signal, G_CALLBACK(&CB::call), cb, &CB::destroy, GConnectFlags(0));
}

// A timer on the main loop: f runs every ms milliseconds while it answers true. keep_on_throw is what a throw
// answers: true for a timer that must go on running.
guint timeout_add(unsigned ms, std::function<bool()> f, bool keep_on_throw = true,
                  std::source_location loc = std::source_location::current());
// f runs once the main loop is idle, again while it answers true; a throw ends it.
guint idle_add(std::function<bool()> f, std::source_location loc = std::source_location::current());

// Runs the main loop's pending work (no blocking), for code that must let queued callbacks land.
void pump_pending();

}  // namespace orrery::gtk
