#include "orrery/shutdown.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "orrery/child_process.hpp"
#include "orrery/fakes.hpp"

namespace orrery {
namespace {

using namespace std::chrono_literals;
using testing::FakeListener;
using testing::FakeEvaluator;

struct ShutdownFixture : ::testing::Test {
  ListenerSlot slot;
  RuntimeRegistry registry;
  std::shared_ptr<FakeListener> listener = std::make_shared<FakeListener>();
  std::shared_ptr<FakeEvaluator> runtime = std::make_shared<FakeEvaluator>();

  void SetUp() override {
    slot.set(listener);
    registry.register_evaluator(runtime);
  }
};

TEST_F(ShutdownFixture, ConcurrentRunsRunEachStepOnce) {
  listener->takes = 100ms;  // so that the second caller arrives while the steps run
  Shutdown shutdown(slot, registry);
  std::atomic<int> ran_here{0};
  std::atomic<int> stopped_when_returned{0};
  auto run = [&] {
    if (shutdown.run()) ++ran_here;
    stopped_when_returned += runtime->stops;  // every caller returns only once the steps are done
  };
  std::thread first(run), second(run);
  first.join();
  second.join();
  EXPECT_EQ(ran_here, 1);
  EXPECT_EQ(listener->stops, 1);
  EXPECT_EQ(runtime->stops, 1);
  EXPECT_EQ(stopped_when_returned, 2);
  EXPECT_FALSE(shutdown.run());
  EXPECT_EQ(runtime->stops, 1);
}

TEST_F(ShutdownFixture, AFailingListenerIsReportedAndRuntimesStillStop) {
  listener->throws = "port busy";
  ::testing::internal::CaptureStderr();
  Shutdown(slot, registry).run();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "orrery: stopping the MCP listener failed: port busy\n");
  EXPECT_EQ(runtime->stops, 1);
  EXPECT_EQ(slot.take(), nullptr);
}

TEST_F(ShutdownFixture, AFailingRuntimeIsReportedNotRethrown) {
  runtime->throws = "evaluator stuck";
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(stop_runtimes(registry));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "orrery: stopping every runtime failed: evaluator stuck\n");
}

TEST_F(ShutdownFixture, StopListenerIsIdempotent) {
  stop_listener(slot);
  stop_listener(slot);
  EXPECT_EQ(listener->stops, 1);
}

// In a forked child: the process-wide shutdown, ended by the status of a mode or by a termination signal.
TEST(ProcessShutdown, EndOfModeAndTerminationSignals) {
  struct Case {
    int signal_number;  // 0: the mode ends with status 7
    int exit_code;
  };
  for (const Case c : {Case{0, 7}, Case{SIGTERM, 143}, Case{SIGINT, 130}, Case{SIGHUP, 129}}) {
    auto run = testing::run_forked([c] {
      ::alarm(20);  // a shutdown that never comes ends the child with SIGALRM instead of hanging the test
      block_termination_signals();
      start_signal_thread();
      auto runtime = std::make_shared<FakeEvaluator>();
      runtime->marker_fd = 1;
      runtime->marker = "runtime stopped\n";
      runtime_registry().register_evaluator(runtime);
      auto listener = std::make_shared<FakeListener>();
      listener->marker_fd = 1;
      listener->marker = "listener stopped\n";
      listener_slot().set(listener);
      if (c.signal_number == 0) shut_down_and_exit(7);
      ::kill(::getpid(), c.signal_number);
      for (;;) ::pause();
      return 0;
    });
    EXPECT_EQ(run.exit_code, c.exit_code) << "signal " << c.signal_number << ": " << run.err;
    EXPECT_EQ(run.out, "listener stopped\nruntime stopped\n") << "signal " << c.signal_number;
  }
}

TEST(ProcessShutdown, ASecondSignalDoesNotWaitForASlowShutdown) {
  auto run = testing::run_forked([] {
    ::alarm(20);
    block_termination_signals();
    start_signal_thread();
    auto runtime = std::make_shared<FakeEvaluator>();
    runtime->takes = 60s;
    runtime_registry().register_evaluator(runtime);
    ::kill(::getpid(), SIGTERM);
    while (runtime->stops == 0) std::this_thread::sleep_for(1ms);
    ::kill(::getpid(), SIGINT);
    for (;;) ::pause();
    return 0;
  });
  EXPECT_EQ(run.exit_code, 130);
}

}  // namespace
}  // namespace orrery
