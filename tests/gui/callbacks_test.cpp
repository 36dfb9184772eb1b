#include "orrery/gtk/callbacks.hpp"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "gui/support.hpp"
#include "orrery/gtk/dialogs.hpp"

namespace orrery::gtk {
namespace {

using gui_test::pump_until;

TEST(OnGui, ThunksFromManyThreadsRunOnceEachInOrderPerThreadAndAThrowLosesOnlyItself) {
  std::mutex m;
  std::map<int, std::vector<int>> seen;
  std::atomic<int> ran{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 10; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        on_gui([&, t, i] {
          {
            std::lock_guard lock(m);
            seen[t].push_back(i);
          }
          ++ran;
          if (i == 7) throw std::runtime_error("thunk failed on purpose");
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(pump_until([&] { return ran == 500; }));
  gui_test::pump_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ran, 500);
  for (int t = 0; t < 10; ++t) {
    ASSERT_EQ(seen[t].size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(seen[t][i], i);
  }
}

TEST(Connect, AThrowingHandlerAnswersItsDefaultAndIsLoggedWhenSlow) {
  slow_events::clear();
  GtkWidget* button = gtk_button_new();
  g_object_ref_sink(button);
  int clicks = 0;
  connect<void(GtkButton*)>(button, "clicked", [&](GtkButton*) {
    ++clicks;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    throw std::runtime_error("handler failed on purpose");
  });
  g_signal_emit_by_name(button, "clicked");
  g_signal_emit_by_name(button, "clicked");
  EXPECT_EQ(clicks, 2);
  auto log = slow_events::current();
  ASSERT_EQ(log->events.size(), 2u);
  EXPECT_NE(log->events[0].site.find("callbacks_test.cpp:"), std::string::npos);
  EXPECT_GE(log->events[0].ms, 60);

  // A key handler that throws answers 0, so the key goes on to the next handler.
  GtkEventController* keys = gtk_event_controller_key_new();
  connect<gboolean(GtkEventControllerKey*, guint, guint, GdkModifierType)>(
      keys, "key-pressed", [](GtkEventControllerKey*, guint, guint, GdkModifierType) -> gboolean {
        throw std::runtime_error("key handler failed on purpose");
      });
  gboolean handled = TRUE;
  g_signal_emit_by_name(keys, "key-pressed", GDK_KEY_a, 38u, GdkModifierType(0), &handled);
  EXPECT_FALSE(handled);
  g_object_unref(keys);
  g_object_unref(button);
  slow_events::clear();
}

TEST(Sources, ATimerKeepsRunningAfterAThrowWhenAskedAndAnIdleEndsOnFalse) {
  int ticks = 0;
  guint id = timeout_add(1, [&]() -> bool {
    ++ticks;
    if (ticks == 1) throw std::runtime_error("tick failed on purpose");
    return ticks < 3;
  });
  ASSERT_TRUE(pump_until([&] { return ticks == 3; }));
  gui_test::pump_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(g_main_context_find_source_by_id(nullptr, id), nullptr);
}

TEST(Dialogs, AnInstalledAnswererGetsTheQuestionAndItsAnswerArrivesOnce) {
  std::vector<int> answers;
  set_answerer([](const Question& q, std::function<void(int)> answer, std::function<void(FileResult)>) {
    ASSERT_TRUE(q.alert);
    answer(1);
    answer(2);  // a second answer is ignored
  });
  show_alert(nullptr, tabs::close_alert({"core.clj"}), [&](int choice) { answers.push_back(choice); });
  set_answerer(nullptr);
  EXPECT_EQ(answers, std::vector<int>{1});
}

}  // namespace
}  // namespace orrery::gtk
