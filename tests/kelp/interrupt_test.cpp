// The runtime under stress from other threads: Stop (the interrupt token) ends busy loops, sleeps and blocking
// reads; atoms lose no update under contention; runaway recursion is a catchable StackOverflowError on any thread.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace {

using namespace kelp;
using Clock = std::chrono::steady_clock;

// A *in* fed line by line from another thread (as a console feeds a running program); reads block until text
// arrives, waking for the interrupt token.
class QueueInput final : public rt::InputReader {
 public:
  void feed(const std::string& text) {
    {
      std::lock_guard<std::mutex> g(mutex_);
      for (char c : text) chars_.push_back(static_cast<unsigned char>(c));
    }
    cv_.notify_all();
  }
  int32_t read_char() override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (pushed_ != -2) return std::exchange(pushed_, -2);
    rt::interruptible_wait(lock, cv_, [&] { return !chars_.empty(); });
    int32_t c = chars_.front();
    chars_.pop_front();
    return c;
  }
  void unread(int32_t c) override { pushed_ = c; }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<int32_t> chars_;
  int32_t pushed_ = -2;
};

class Interrupts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { kelp::boot(); }
};

struct Outcome {
  Value ex;  // what the evaluation threw (nil when it returned)
  Clock::time_point ended;
};

// Runs source on a worker under a fresh token (with *in* bound to in, when given) and fires the token from this
// thread once the evaluation has had time to settle into its loop, sleep or read. Answers how long the worker
// took to end after the firing, and what it threw.
std::pair<std::chrono::milliseconds, Value> stop_after_start(const std::string& source, Value in = {}) {
  auto token = std::make_shared<rt::InterruptToken>();
  auto done = std::make_shared<std::promise<Outcome>>();
  std::future<Outcome> result = done->get_future();
  rt::start_worker([=] {
    rt::TokenScope scope(token);
    Outcome o;
    try {
      if (in.is_nil()) {
        kelp::eval_string(source);
      } else {
        rt::BindingScope bind({{&rt::as_var(rt::core_vars().in), in}});
        kelp::eval_string(source);
      }
    } catch (...) {
      o.ex = rt::as_throwable(std::current_exception());
    }
    o.ended = Clock::now();
    done->set_value(o);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  Clock::time_point fired = Clock::now();
  token->fire();
  if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return {std::chrono::hours(1), Value()};
  Outcome o = result.get();
  return {std::chrono::duration_cast<std::chrono::milliseconds>(o.ended - fired), o.ex};
}

TEST_F(Interrupts, StopEndsLoopsSleepsAndBlockingReads) {
  struct Case {
    const char* name;
    std::string source;
    bool queue_in;
  } cases[] = {
      {"busy loop", "(loop [] (recur))", false},
      {"busy loop with a catch-all inside", "(loop [] (try (inc 1) (catch Throwable _ nil)) (recur))", false},
      {"sleep", "(Thread/sleep 100000)", false},
      {"read-line on an empty queue", "(read-line)", true},
      {"deref of a promise never delivered", "(deref (promise))", false},
  };
  for (const Case& c : cases) {
    auto [elapsed, ex] = stop_after_start(c.source, c.queue_in ? Value::adopt(new QueueInput) : Value());
    ASSERT_LT(elapsed, std::chrono::seconds(2)) << c.name << " did not stop";
    ASSERT_TRUE(rt::is_throwable(ex)) << c.name << " ended without throwing";
    EXPECT_TRUE(rt::is_interrupted_exception(ex)) << c.name << ": " << pr_str(ex);
    EXPECT_EQ(pr_str(rt::throwable(ex).data()), "{:kelp/interrupted true}") << c.name;
    std::printf("[ interrupt ] %-40s stopped %lld ms after the token fired\n", c.name,
                static_cast<long long>(elapsed.count()));
  }
}

TEST_F(Interrupts, AQueueFedReadLineAnswersTheFedLine) {
  auto* q = new QueueInput;
  Value in = Value::adopt(q);
  std::thread feeder([q] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    q->feed("first line\nsecond");
  });
  rt::BindingScope bind({{&rt::as_var(rt::core_vars().in), in}});
  Value v = kelp::eval_string("(read-line)");
  feeder.join();
  EXPECT_EQ(pr_str(v), "\"first line\"");
}

TEST_F(Interrupts, FuturesHammeringOneAtomLoseNoUpdate) {
  Value v = kelp::eval_string(
      "(let [a (atom 0)"
      "      work #(dotimes [_ 100000] (swap! a inc))"
      "      f1 (future (work)) f2 (future (work))]"
      "  @f1 @f2 @a)");
  EXPECT_EQ(pr_str(v), "200000");
}

// Runaway recursion, caught in Clojure and uncaught (reaching C++), on the calling thread.
void expect_stack_overflow_is_catchable() {
  kelp::eval_string("(defn runaway [n] (runaway (inc n)))");
  EXPECT_EQ(pr_str(kelp::eval_string("(try (runaway 0) (catch StackOverflowError _ :caught))")), ":caught");
  try {
    kelp::eval_string("(runaway 0)");
    ADD_FAILURE() << "runaway recursion returned";
  } catch (const rt::Thrown& t) {
    EXPECT_EQ(rt::throwable(t.value()).cls().name, "java.lang.StackOverflowError");
  }
  // The thread is still fit for work.
  EXPECT_EQ(pr_str(kelp::eval_string("(reduce + (range 100))")), "4950");
}

TEST_F(Interrupts, StackOverflowIsCatchableOnTheMainThread) { expect_stack_overflow_is_catchable(); }

TEST_F(Interrupts, StackOverflowIsCatchableOnAWorker) {
  std::promise<void> done;
  rt::start_worker([&] {
    expect_stack_overflow_is_catchable();
    done.set_value();
  });
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

}  // namespace
