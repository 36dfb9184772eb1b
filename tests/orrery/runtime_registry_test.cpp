#include "orrery/runtime_registry.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "orrery/fakes.hpp"

namespace orrery {
namespace {

using namespace std::chrono_literals;
using testing::FakeRuntime;

TEST(RuntimeRegistry, StopAllStopsWhatIsRegisteredOnce) {
  RuntimeRegistry registry;
  auto a = std::make_shared<FakeRuntime>();
  auto b = std::make_shared<FakeRuntime>();
  auto gone = std::make_shared<FakeRuntime>();
  registry.add(a);
  registry.add(b);
  registry.remove(registry.add(gone));
  registry.stop_all(100ms);
  registry.stop_all(100ms);
  EXPECT_EQ(a->stops, 1);
  EXPECT_EQ(b->stops, 1);
  EXPECT_EQ(gone->stops, 0);
  EXPECT_EQ(registry.size(), 0u);
}

TEST(RuntimeRegistry, WaitsForStartsInFlightButNotForever) {
  RuntimeRegistry registry;
  auto late = std::make_shared<FakeRuntime>();
  std::promise<std::shared_ptr<Stoppable>> late_start, stuck_start, failed_start, empty_start;
  registry.add_starting(late_start.get_future().share());
  registry.add_starting(stuck_start.get_future().share());
  registry.add_starting(failed_start.get_future().share());
  registry.add_starting(empty_start.get_future().share());
  failed_start.set_exception(std::make_exception_ptr(std::runtime_error("no kelp")));
  empty_start.set_value(nullptr);
  std::thread starter([&] {
    std::this_thread::sleep_for(50ms);
    late_start.set_value(late);
  });
  auto began = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(registry.stop_all(500ms));
  auto waited = std::chrono::steady_clock::now() - began;
  starter.join();
  EXPECT_EQ(late->stops, 1);
  EXPECT_GE(waited, 500ms);  // the stuck start was waited for ...
  EXPECT_LT(waited, 10s);    // ... but only as long as allowed
}

TEST(RuntimeRegistry, AFailingStopDoesNotSpareTheOthers) {
  RuntimeRegistry registry;
  auto failing = std::make_shared<FakeRuntime>();
  failing->throws = "stuck evaluator";
  auto other = std::make_shared<FakeRuntime>();
  registry.add(failing);
  registry.add(other);
  EXPECT_THROW(registry.stop_all(100ms), std::runtime_error);
  EXPECT_EQ(failing->stops, 1);
  EXPECT_EQ(other->stops, 1);
}

TEST(RuntimeRegistry, RegistersFromManyThreads) {
  RuntimeRegistry registry;
  std::vector<std::shared_ptr<FakeRuntime>> runtimes(64);
  for (auto& r : runtimes) r = std::make_shared<FakeRuntime>();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < 64; i += 4) registry.add(runtimes[static_cast<std::size_t>(i)]);
    });
  }
  for (auto& t : threads) t.join();
  registry.stop_all(100ms);
  for (auto& r : runtimes) EXPECT_EQ(r->stops, 1);
}

}  // namespace
}  // namespace orrery
