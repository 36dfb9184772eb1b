// The kelp-child evaluator against a real kelp child: the kelp tool this build made, started as an nREPL server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "orrery/nrepl/evaluator.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl {
namespace {

using namespace std::chrono_literals;

// What one evaluation's callbacks saw.
struct Seen {
  std::mutex mutex;
  std::string out, err;
  std::promise<eval::Result> done;
  std::shared_future<eval::Result> result_future = done.get_future().share();

  static evaluator::EvalOptions options(const std::shared_ptr<Seen>& s, evaluator::EvalOptions o = {}) {
    o.on_output = [s](eval::OutputKind k, std::string_view text) {
      std::lock_guard lock(s->mutex);
      (k == eval::OutputKind::Out ? s->out : s->err) += text;
    };
    o.on_complete = [s](const eval::Result& r) { s->done.set_value(r); };
    return o;
  }
  eval::Result result() {
    EXPECT_EQ(result_future.wait_for(30s), std::future_status::ready);
    return result_future.get();
  }
  std::string output() {
    std::lock_guard lock(mutex);
    return out;
  }
};

class KelpChild : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::setenv("ORRERY_KELP", KELP_BIN, 1); }

  void SetUp() override {
    dialect::Selection sel;
    sel.runtime = dialect::Runtime::Nrepl;
    sel.project_dir = project.path();
    ev = make_nrepl(sel);
  }
  void TearDown() override {
    ev->stop();
    for (int i = 0; i < 500 && !ev->is_settled(); ++i) std::this_thread::sleep_for(10ms);
  }

  std::shared_ptr<Seen> start_eval(std::string code, evaluator::EvalOptions o = {}) {
    auto s = std::make_shared<Seen>();
    EXPECT_EQ(ev->eval(std::move(code), Seen::options(s, std::move(o))), std::nullopt);
    return s;
  }
  eval::Result repl(std::string code) { return start_eval(std::move(code))->result(); }
  eval::Result run(std::string code) {
    evaluator::EvalOptions o;
    o.run = true;
    return start_eval(std::move(code), o)->result();
  }
  // Until the evaluation has surely reached the child.
  void let_it_start() { std::this_thread::sleep_for(300ms); }

  orrery::testing::TempDir project{"orrery-kelp-child"};
  std::shared_ptr<NRepl> ev;
};

TEST_F(KelpChild, RunThenReplThenAQuietEvaluationThatLeavesNoTrace) {
  auto loaded = std::make_shared<Seen>();
  evaluator::EvalOptions o;
  o.run = true;
  ASSERT_EQ(ev->eval("(ns demo.core)\n(defn twice [x] (* 2 x))\n(println \"loaded\")\n", Seen::options(loaded, o)),
            std::nullopt);
  eval::Result r = loaded->result();
  ASSERT_EQ(r.status, eval::Status::Ok) << r.error_text.value_or("");
  EXPECT_EQ(loaded->output(), "loaded\n");
  EXPECT_EQ(ev->prompt_ns(), "demo.core");
  ASSERT_TRUE(ev->child_pid());

  EXPECT_EQ(repl("(twice 21)").printed, "42");

  evaluator::EvalOptions quiet;
  quiet.quiet = true;
  auto q = start_eval("(println \"aside\") (ns elsewhere) (+ 1 1)", quiet);
  eval::Result qr = q->result();
  EXPECT_EQ(qr.status, eval::Status::Ok) << qr.error_text.value_or("");
  EXPECT_EQ(qr.printed, "2");
  EXPECT_EQ(q->output().find("orrery-quiet"), std::string::npos) << q->output();
  EXPECT_NE(q->output().find("aside"), std::string::npos);
  EXPECT_EQ(ev->prompt_ns(), "demo.core");
  EXPECT_EQ(repl("*1").printed, "42");
  EXPECT_EQ(repl("(str *ns*)").printed, "\"demo.core\"");
}

TEST_F(KelpChild, StopInterruptsASleepAndABusyLoopWithoutARestart) {
  ASSERT_EQ(repl("(+ 1 2)").printed, "3");
  std::optional<pid_t> pid = ev->child_pid();
  for (const char* code : {"(Thread/sleep 100000)", "(loop [] (recur))"}) {
    SCOPED_TRACE(code);
    auto s = start_eval(code);
    let_it_start();
    ev->interrupt();
    EXPECT_EQ(s->result().status, eval::Status::Interrupted);
    EXPECT_EQ(s->output().find(STOP_RESTARTED), std::string::npos);
    EXPECT_EQ(repl("(+ 1 2)").printed, "3");
    EXPECT_EQ(ev->child_pid(), pid) << "Stop restarted the child";
  }
}

TEST_F(KelpChild, ReadLineIsAnsweredFromTheConsole) {
  auto s = start_eval("(str \"got \" (read-line))");
  for (int i = 0; i < 3000 && !ev->is_waiting_for_input(); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(ev->is_waiting_for_input());
  ev->send_input("abc");
  eval::Result r = s->result();
  EXPECT_EQ(r.status, eval::Status::Ok) << r.error_text.value_or("");
  EXPECT_EQ(r.printed, "\"got abc\"");
}

TEST_F(KelpChild, AKilledChildEndsTheRunAndTheNextRunStartsANewOne) {
  ASSERT_EQ(repl("(+ 1 1)").status, eval::Status::Ok);
  std::optional<pid_t> pid = ev->child_pid();
  ASSERT_TRUE(pid);
  auto s = start_eval("(Thread/sleep 100000)");
  let_it_start();
  ASSERT_EQ(::kill(*pid, SIGKILL), 0);
  eval::Result lost = s->result();
  EXPECT_EQ(lost.status, eval::Status::Error);
  EXPECT_EQ(lost.error_text, std::string(LOST_TEXT));

  auto next = std::make_shared<Seen>();
  evaluator::EvalOptions o;
  o.run = true;
  ASSERT_EQ(ev->eval("(+ 1 2)", Seen::options(next, o)), std::nullopt);
  EXPECT_EQ(next->result().printed, "3");
  EXPECT_EQ(next->output(), std::string(RESTARTED_NOTICE));
  EXPECT_NE(ev->child_pid(), pid);
}

TEST_F(KelpChild, ResetModeRunsRemoveWhatTheLastRunMadeAndAccumulateKeepsIt) {
  ASSERT_EQ(run("(ns a.core)\n(def x 1)\n").status, eval::Status::Ok);
  ASSERT_EQ(run("(ns b.core)\n").status, eval::Status::Ok);
  EXPECT_EQ(repl("(find-ns 'a.core)").printed, "nil");
  EXPECT_EQ(repl("(some? (find-ns 'b.core))").printed, "true");

  ev->set_mode(evaluator::Mode::Accumulate);
  ASSERT_EQ(run("(ns c.core)\n").status, eval::Status::Ok);
  EXPECT_EQ(repl("(mapv #(some? (find-ns %)) '[b.core c.core])").printed, "[true true]");
}

TEST_F(KelpChild, AThrowingRunLeavesThePromptInTheBuffersNamespaceOrUser) {
  struct Case {
    const char* code;
    const char* prompt;
  };
  for (const Case& c : {Case{"(ns boom.core)\n(defn f [] (/ 1 0))\n(f)\n", "boom.core"},
                        Case{"(/ 1 0)\n(ns never.made)\n", "user"}}) {
    SCOPED_TRACE(c.code);
    eval::Result r = run(c.code);
    EXPECT_EQ(r.status, eval::Status::Error);
    EXPECT_TRUE(r.error_text && r.error_text->starts_with("Error: ")) << r.error_text.value_or("");
    EXPECT_EQ(r.ns, c.prompt);
    EXPECT_EQ(ev->prompt_ns(), c.prompt);
  }
}

}  // namespace
}  // namespace orrery::nrepl
