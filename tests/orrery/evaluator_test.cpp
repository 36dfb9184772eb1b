#include "orrery/evaluator.hpp"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"
#include "kelp/rt/throwable.hpp"
#include "orrery/fakes.hpp"
#include "orrery/nrepl/connection.hpp"

namespace orrery::evaluator {
namespace {

using namespace std::chrono_literals;
using orrery::testing::FakeEvaluator;

class HelpingEvaluator : public FakeEvaluator, public ServerHelp, public QuietEval {
 public:
  kelp::Value offline_candidates(const CompleteRequest&) override { return {}; }
};

dialect::Profile profile_named(std::string id) {
  dialect::Profile p;
  p.id = std::move(id);
  return p;
}

dialect::Selection selection_of(const dialect::Profile& profile, dialect::Runtime runtime) {
  dialect::Selection s;
  s.profile = &profile;
  s.runtime = runtime;
  return s;
}

TEST(EvaluatorFactory, MakesByRuntimeAndLaunchedByDialect) {
  auto launched = profile_named("launched-by-test");
  auto unknown = profile_named("jank-without-launcher");
  auto child = std::make_shared<FakeEvaluator>();
  auto launched_ev = std::make_shared<FakeEvaluator>();
  std::string asked_for;
  register_factory(dialect::Runtime::Nrepl, [&](const dialect::Selection&) { return child; });
  nrepl::register_attach();
  register_launched("launched-by-test", [&](const dialect::Selection& s) {
    asked_for = s.profile->id;
    return launched_ev;
  });

  EXPECT_EQ(make(selection_of(launched, dialect::Runtime::Nrepl)), child);
  EXPECT_EQ(make(selection_of(launched, dialect::Runtime::Launch)), launched_ev);
  EXPECT_EQ(make_launched(selection_of(launched, dialect::Runtime::Launch)), launched_ev);
  EXPECT_EQ(asked_for, "launched-by-test");
  EXPECT_EQ(child->stops + launched_ev->stops, 0);  // made, never started nor stopped

  struct Failure {
    std::function<EvaluatorPtr()> make;
    std::string message;
  };
  for (const auto& f : {
           Failure{[&] { return make_launched(selection_of(unknown, dialect::Runtime::Launch)); },
                   "No launched evaluator for dialect jank-without-launcher"},
           Failure{[&] { return make(selection_of(unknown, dialect::Runtime::Launch)); },
                   "No launched evaluator for dialect jank-without-launcher"},
           Failure{[&] { return make(selection_of(unknown, dialect::Runtime::Attach)); },
                   "No attach evaluator for dialect jank-without-launcher"},
       }) {
    try {
      f.make();
      ADD_FAILURE() << "made an evaluator; expected: " << f.message;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), f.message);
    }
  }
}

TEST(EvaluatorCapabilities, AreFoundOnlyOnEvaluatorsThatOfferThem) {
  EvaluatorPtr helping = std::make_shared<HelpingEvaluator>();
  EvaluatorPtr plain = std::make_shared<FakeEvaluator>();
  EXPECT_TRUE(is_server_help(helping));
  EXPECT_NE(capability<ServerHelp>(helping), nullptr);
  ASSERT_NE(capability<QuietEval>(helping), nullptr);
  EXPECT_TRUE(capability<QuietEval>(helping)->is_quiet_eval());
  EXPECT_EQ(capability<Owners>(helping), nullptr);
  EXPECT_FALSE(is_server_help(plain));
  EXPECT_EQ(capability<QuietEval>(plain), nullptr);
  EXPECT_EQ(capability<FullDoc>(plain), nullptr);
}

TEST(HelpTimeout, IsBoundPerThreadAndRestoredOnLeavingTheScope) {
  EXPECT_EQ(help_timeout(300ms), 300ms);
  {
    HelpTimeoutScope outer(ASYNC_HELP_TIMEOUT);
    EXPECT_EQ(help_timeout(300ms), 3000ms);
    {
      HelpTimeoutScope inner(50ms);
      EXPECT_EQ(help_timeout(300ms), 50ms);
    }
    EXPECT_EQ(help_timeout(300ms), 3000ms);
    std::thread([] { EXPECT_EQ(help_timeout(300ms), 300ms); }).join();
  }
  EXPECT_EQ(help_timeout(300ms), 300ms);
}

// Collects what on_later receives.
struct Later {
  std::mutex later_mutex;
  std::vector<kelp::Value> answers;
  std::promise<void> first;

  std::function<void(const kelp::Value&)> receiver() {
    return [this](const kelp::Value& r) {
      std::lock_guard lock(later_mutex);
      answers.push_back(r);
      if (answers.size() == 1) first.set_value();
    };
  }
  std::size_t count() {
    std::lock_guard lock(later_mutex);
    return answers.size();
  }
};

kelp::Value answering_after(std::chrono::milliseconds delay, int64_t r, std::chrono::milliseconds* timeout_seen) {
  std::this_thread::sleep_for(delay);
  *timeout_seen = help_timeout(300ms);
  return kelp::Value::integer(r);
}

TEST(AskHelp, AnswersNowWithinTheGraceElseLaterExactlyOnce) {
  Later fast_later, slow_later;  // outlive the worker that calls them
  HelpWorker worker;
  std::chrono::milliseconds fast_timeout{0}, slow_timeout{0};

  auto fast = ask_help(worker, [&] { return answering_after(0ms, 1, &fast_timeout); }, fast_later.receiver());
  EXPECT_TRUE(fast.now);
  EXPECT_EQ(fast.r, kelp::Value::integer(1));
  EXPECT_EQ(fast_timeout, ASYNC_HELP_TIMEOUT);

  auto slow = ask_help(worker, [&] { return answering_after(200ms, 2, &slow_timeout); }, slow_later.receiver());
  EXPECT_FALSE(slow.now);
  EXPECT_TRUE(slow.r.is_nil());
  ASSERT_EQ(slow_later.first.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(slow_timeout, ASYNC_HELP_TIMEOUT);
  std::this_thread::sleep_for(50ms);  // room for a wrong second call
  EXPECT_EQ(slow_later.count(), 1u);
  EXPECT_EQ(slow_later.answers.at(0), kelp::Value::integer(2));
  EXPECT_EQ(fast_later.count(), 0u);
  EXPECT_EQ(help_timeout(300ms), 300ms);  // the asking thread's own timeout was never bound
}

TEST(AskHelp, AThrowingHelperAnswersAnErrorThatHelpErrorReads) {
  kelp::boot();
  Later later;
  HelpWorker worker;
  auto std_error = ask_help(worker, []() -> kelp::Value { throw std::runtime_error("server went away"); }, nullptr);
  auto kelp_error = ask_help(
      worker, []() -> kelp::Value { kelp::rt::throw_illegal_argument("no such var"); }, nullptr);
  auto slow_error = ask_help(
      worker,
      []() -> kelp::Value {
        std::this_thread::sleep_for(100ms);
        throw std::runtime_error("timed out");
      },
      later.receiver());
  ASSERT_TRUE(std_error.now);
  EXPECT_EQ(help_error(std_error.r), "server went away");
  ASSERT_TRUE(kelp_error.now);
  EXPECT_EQ(help_error(kelp_error.r), "no such var");
  EXPECT_FALSE(slow_error.now);
  ASSERT_EQ(later.first.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(help_error(later.answers.at(0)), "timed out");

  for (const auto& answer : {kelp::Value(), kelp::Value::integer(3), kelp::make_string("a"),
                             kelp::make_map({kelp::keyword("error"), kelp::make_string("other key")}),
                             kelp::make_map({kelp::keyword("orrery.evaluator", "error"), kelp::Value::integer(1)})}) {
    EXPECT_EQ(help_error(answer), std::nullopt);
  }
}

TEST(HelpWorker, RunsJobsInOrderAndDropsTheQueueOnClosingButStillAnswers) {
  std::vector<int> ran;  // written only by the worker, read after it joined
  std::atomic<bool> in_hand_finished{false};
  Later later;
  bool dropped_ran = false;
  {
    HelpWorker worker;
    std::promise<void> started;
    for (int i = 0; i < 3; ++i) worker.submit([&ran, i] { ran.push_back(i); });
    worker.submit([&] {
      started.set_value();
      std::this_thread::sleep_for(100ms);
      in_hand_finished = true;
    });
    started.get_future().wait();
    worker.submit([&] { ran.push_back(99); });
    auto queued = ask_help(
        worker,
        [&] {
          dropped_ran = true;
          return kelp::Value::integer(1);
        },
        later.receiver());
    EXPECT_FALSE(queued.now);
  }
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(in_hand_finished);
  EXPECT_FALSE(dropped_ran);
  ASSERT_EQ(later.count(), 1u);
  EXPECT_EQ(help_error(later.answers.at(0)), std::string(HELP_DROPPED));
}

// Answers that land right at the grace's end: each must reach exactly one of the two receivers.
TEST(AskHelp, EachAnswerReachesExactlyOneReceiverAtTheGraceBoundary) {
  HelpWorker worker;
  for (int i = 0; i < 24; ++i) {
    auto delay = HELP_GRACE + std::chrono::milliseconds(i % 5 - 2);
    Later later;
    auto answer = ask_help(worker, [&] { std::this_thread::sleep_for(delay); return kelp::Value::integer(i); },
                           later.receiver());
    std::promise<void> drained;  // once this runs, the request has been delivered and on_later has returned
    worker.submit([&] { drained.set_value(); });
    drained.get_future().wait();
    if (answer.now) {
      EXPECT_EQ(answer.r, kelp::Value::integer(i));
      EXPECT_EQ(later.count(), 0u) << i;
    } else {
      ASSERT_EQ(later.count(), 1u) << i;
      EXPECT_EQ(later.answers.at(0), kelp::Value::integer(i));
    }
  }
}

}  // namespace
}  // namespace orrery::evaluator
