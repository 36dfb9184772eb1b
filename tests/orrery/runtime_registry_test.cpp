#include "orrery/runtime_registry.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "orrery/fakes.hpp"

namespace orrery {
namespace {

using namespace std::chrono_literals;
using testing::FakeEvaluator;
using Clock = std::chrono::steady_clock;

std::shared_ptr<FakeEvaluator> settling_evaluator(std::chrono::milliseconds settle_time) {
  auto ev = std::make_shared<FakeEvaluator>();
  ev->settled = false;
  ev->settle_time = settle_time;
  return ev;
}

// Settles ev after `after`, from another thread.
std::jthread settle_later(std::shared_ptr<FakeEvaluator> ev, std::chrono::milliseconds after) {
  return std::jthread([ev, after] {
    std::this_thread::sleep_for(after);
    ev->settled = true;
  });
}

TEST(RuntimeRegistry, StopAllStopsEachRegisteredEvaluatorOnce) {
  RuntimeRegistry registry;
  auto a = std::make_shared<FakeEvaluator>();
  auto b = std::make_shared<FakeEvaluator>();
  auto gone = std::make_shared<FakeEvaluator>();
  registry.register_evaluator(a);
  registry.register_evaluator(a);
  registry.register_evaluator(b);
  registry.register_evaluator(gone);
  registry.unregister(gone);
  EXPECT_EQ(registry.size(), 2u);
  registry.stop_all();
  EXPECT_EQ(registry.size(), 0u);  // stopped and settled: nothing left to do for them
  registry.stop_all();
  EXPECT_EQ(a->stops, 1);
  EXPECT_EQ(b->stops, 1);
  EXPECT_EQ(gone->stops, 0);
}

TEST(RuntimeRegistry, UnregisterLeavesAnEvaluatorThatIsStillSettlingUntilItSettles) {
  RuntimeRegistry registry;
  auto starting = settling_evaluator(5s);
  auto other = std::make_shared<FakeEvaluator>();
  registry.register_evaluator(starting);
  registry.unregister(starting);
  registry.unregister(starting);
  registry.unregister(std::make_shared<FakeEvaluator>());  // never registered
  registry.unregister(nullptr);
  EXPECT_TRUE(registry.contains(starting));

  // Once it has settled, the next change of the registry drops it, with no second unregister.
  starting->settled = true;
  registry.register_evaluator(other);
  EXPECT_FALSE(registry.contains(starting));
  EXPECT_TRUE(registry.contains(other));
}

TEST(RuntimeRegistry, AnEvaluatorRegisteredAgainIsNoLongerLeaving) {
  RuntimeRegistry registry;
  auto ev = settling_evaluator(5s);
  registry.register_evaluator(ev);
  registry.unregister(ev);
  registry.register_evaluator(ev);
  ev->settled = true;
  registry.unregister(std::make_shared<FakeEvaluator>());  // a change that sweeps
  EXPECT_TRUE(registry.contains(ev));
}

TEST(RuntimeRegistry, StopAllWaitsForSettlingEvaluatorsEachWithinItsOwnDeadline) {
  RuntimeRegistry registry;
  auto late = settling_evaluator(5s);        // settles after 100 ms
  auto wedged = settling_evaluator(400ms);   // never settles
  auto wedged_too = settling_evaluator(400ms);
  auto in_process = std::make_shared<FakeEvaluator>();
  in_process->settled = false;               // no deadline: never waited on
  for (const auto& ev : {late, wedged, wedged_too, in_process}) registry.register_evaluator(ev);
  registry.unregister(late);
  EXPECT_TRUE(registry.contains(late));

  auto began = Clock::now();
  auto settler = settle_later(late, 100ms);
  registry.stop_all();
  auto waited = Clock::now() - began;
  settler.join();

  for (const auto& ev : {late, wedged, wedged_too, in_process}) EXPECT_EQ(ev->stops, 1);
  EXPECT_GE(waited, 400ms);  // the wedged ones were waited for, but not for the late one's 5 s once it had settled
  EXPECT_LT(waited, 4s);     // (a generous bound: this machine is shared)
  EXPECT_FALSE(registry.contains(late));
  EXPECT_TRUE(registry.contains(wedged));  // still tearing down: a later stop_all stops and waits for it again
  EXPECT_TRUE(registry.contains(in_process));
}

TEST(RuntimeRegistry, StopAllReturnsAtOnceWithNothingToWaitFor) {
  RuntimeRegistry empty;
  RuntimeRegistry in_process_only;
  auto ev = std::make_shared<FakeEvaluator>();
  ev->settled = false;
  in_process_only.register_evaluator(ev);
  for (auto* registry : {&empty, &in_process_only}) {
    auto began = Clock::now();
    registry->stop_all();
    EXPECT_LT(Clock::now() - began, 2s);  // generous: it only tells "at once" from waiting out a deadline
  }
}

TEST(RuntimeRegistry, AThrowingStopIsOneLineAndSparesTheOthers) {
  RuntimeRegistry registry;
  auto first = std::make_shared<FakeEvaluator>();
  auto failing = std::make_shared<FakeEvaluator>();
  failing->throws = "evaluator stuck";
  auto last = settling_evaluator(2s);
  registry.register_evaluator(first);
  registry.register_evaluator(failing);
  registry.register_evaluator(last);
  auto settler = settle_later(last, 50ms);
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(registry.stop_all());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "orrery: stopping every runtime failed: evaluator stuck\n");
  EXPECT_EQ(first->stops, 1);
  EXPECT_EQ(failing->stops, 1);
  EXPECT_EQ(last->stops, 1);
  EXPECT_TRUE(last->settled);  // and it was still waited for
}

TEST(RuntimeRegistry, WaitUntilSettledPollsUntilTheDeadline) {
  auto ev = settling_evaluator(5s);
  auto began = Clock::now();
  EXPECT_FALSE(wait_until_settled(ev, 100ms));
  EXPECT_GE(Clock::now() - began, 100ms);

  auto settler = settle_later(ev, 60ms);
  began = Clock::now();
  EXPECT_TRUE(wait_until_settled(ev, 5s));
  EXPECT_LT(Clock::now() - began, 1s);
  EXPECT_TRUE(wait_until_settled(ev, 0ms));
}

TEST(RuntimeRegistry, ChangesFromManyThreadsWhileStopping) {
  RuntimeRegistry registry;
  std::vector<std::shared_ptr<FakeEvaluator>> evaluators(64);
  for (auto& ev : evaluators) ev = std::make_shared<FakeEvaluator>();
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < evaluators.size(); i += 4) {
        registry.register_evaluator(evaluators[i]);
        if (i % 8 == t) registry.unregister(evaluators[i]);
      }
    });
  }
  threads.emplace_back([&] { registry.stop_all(); });
  for (auto& t : threads) t.join();
  registry.stop_all();
  EXPECT_EQ(registry.size(), 0u);
  for (std::size_t i = 0; i < evaluators.size(); ++i) {
    EXPECT_LE(evaluators[i]->stops, 2) << i;
    if (i % 8 >= 4) {
      EXPECT_GE(evaluators[i]->stops, 1) << i;  // never unregistered: stopped at least once
    }
  }
}

}  // namespace
}  // namespace orrery
