// The attach evaluator against a real JVM Clojure nREPL 1.0 server, started once for the suite (about 3 s).
#include <gtest/gtest.h>

#include <future>

#include "e2e/nrepl_peer.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "orrery/clj.hpp"
#include "orrery/nrepl/jvm.hpp"
#include "support/eval_outcome.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl {
namespace {

using namespace std::chrono_literals;

using Outcome = testing::EvalOutcome;

class JvmNrepl : public ::testing::Test {
 protected:
  static inline testing::TempDir* project = nullptr;
  static inline testing::TempDir* server_dir = nullptr;
  static inline testing::NreplPeer* server = nullptr;
  static inline std::string missing;

  static void SetUpTestSuite() {
    kelp::boot();
    if (auto why = testing::NreplPeer::jvm_missing()) {
      missing = *why;
      return;
    }
    project = new testing::TempDir("orrery-jvm");
    // The server runs in a folder of its own: nREPL writes its own .nrepl-port into its working folder, and a
    // second writer of the project's file would make a read race its truncation.
    server_dir = new testing::TempDir("orrery-jvm-server");
    server = new testing::NreplPeer(testing::NreplPeer::jvm_argv(), server_dir->path());
    if (!server->port()) {
      missing = "the JVM nREPL server did not start: " + server->log();
      return;
    }
    project->write(".nrepl-port", std::to_string(*server->port()));
  }
  static void TearDownTestSuite() {
    delete server;
    delete server_dir;
    delete project;
    server = nullptr;
    server_dir = nullptr;
    project = nullptr;
  }
  void SetUp() override {
    if (!missing.empty()) GTEST_SKIP() << "No JVM nREPL server to attach to: " << missing;
  }

  static dialect::Selection selection() {
    dialect::Selection s;
    s.profile = dialect::profile(dialect::profiles(), "clj");
    s.runtime = dialect::Runtime::Attach;
    s.project_dir = project->path();
    return s;
  }
  static eval::Result run(Jvm& ev, const std::string& code, Outcome& o, evaluator::EvalOptions opts) {
    auto f = o.done.get_future();
    EXPECT_EQ(ev.eval(code, std::move(opts)), std::nullopt);
    EXPECT_EQ(f.wait_for(60s), std::future_status::ready) << code;
    return f.get();
  }
  static eval::Result run(Jvm& ev, const std::string& code) {
    Outcome o;
    return run(ev, code, o, o.options());
  }
};

TEST_F(JvmNrepl, RunsAFileThenSelectionsInItsNamespace) {
  auto ev = make_jvm(selection());
  std::string file = "(ns e2e.attach)\n(defn f [] 42)\n(println \"loaded\")\n";
  Outcome run_out;
  evaluator::EvalOptions opts = run_out.options();
  opts.run = true;
  opts.path = project->write("src/e2e/attach.clj", file).string();
  eval::Result r = run(*ev, file, run_out, opts);
  ASSERT_EQ(r.status, eval::Status::Ok) << r.error_text.value_or(r.text);
  EXPECT_NE(run_out.output().find("loaded\n"), std::string::npos) << run_out.output();
  EXPECT_NE(run_out.output().find(clj::connecting(std::to_string(*server->port()))), std::string::npos);
  EXPECT_TRUE(ev->is_connected());
  EXPECT_EQ(ev->prompt_ns(), "e2e.attach");

  Outcome sel;
  evaluator::EvalOptions sel_opts = sel.options();
  sel_opts.ns_source = file;
  EXPECT_EQ(run(*ev, "(f)", sel, sel_opts).printed, "42");

  Outcome never;
  evaluator::EvalOptions never_opts = never.options();
  never_opts.ns_source = "(ns e2e.never-loaded)";
  eval::Result nl = run(*ev, "(+ 1 2)", never, never_opts);
  EXPECT_EQ(nl.status, eval::Status::Error);
  EXPECT_EQ(nl.error_text, clj::not_loaded("e2e.never-loaded"));

  // A REPL entry runs in the prompt's namespace and follows its ns switches.
  EXPECT_EQ(run(*ev, "(f)").printed, "42");
  EXPECT_EQ(run(*ev, "(in-ns 'user)").status, eval::Status::Ok);
  EXPECT_EQ(ev->prompt_ns(), "user");
}

TEST_F(JvmNrepl, OutputAndErrors) {
  auto ev = make_jvm(selection());
  Outcome o;
  eval::Result r = run(*ev, "(println \"hi\") (binding [*out* *err*] (println \"warn\")) (/ 1 0)", o, o.options());
  EXPECT_EQ(r.status, eval::Status::Error);
  EXPECT_EQ(r.error_text, "Error: Divide by zero");
  EXPECT_NE(o.output().find("hi\n"), std::string::npos);
  EXPECT_NE(o.output().find("warn\n"), std::string::npos);
  eval::Result ex = run(*ev, "(throw (ex-info \"bad thing\" {:k 1}))");
  EXPECT_EQ(ex.error_text, "Error: bad thing");
  eval::Result syntax = run(*ev, "(let [x] x)");
  EXPECT_EQ(syntax.status, eval::Status::Error);
  EXPECT_NE(syntax.error_text.value_or("").find("even-number-of-forms?"), std::string::npos)
      << syntax.error_text.value_or("");
}

// The frames of the last error come from one eval on the person's session that leaves *1 and *e as they were.
TEST_F(JvmNrepl, FramesOfTheLastErrorKeepTheHistory) {
  auto ev = make_jvm(selection());
  std::string file = "(ns e2e.frames)\n(defn boom [x]\n  (/ x 0))\n";
  Outcome loaded;
  evaluator::EvalOptions opts = loaded.options();
  opts.run = true;
  opts.path = project->write("src/e2e/frames.clj", file).string();
  eval::Result load = run(*ev, file, loaded, opts);
  ASSERT_EQ(load.status, eval::Status::Ok) << load.error_text.value_or(load.text);
  ASSERT_EQ(run(*ev, "(+ 40 2)").printed, "42");
  ASSERT_EQ(run(*ev, "(e2e.frames/boom 1)").status, eval::Status::Error);

  std::promise<kelp::Value> frames;
  ev->error_frames([&](const kelp::Value& v) { frames.set_value(v); });
  auto f = frames.get_future();
  ASSERT_EQ(f.wait_for(60s), std::future_status::ready);
  kelp::Value data = f.get();
  std::string printed = kelp::pr_str(data);
  EXPECT_EQ(kelp::get(data, kelp::keyword("error")), nullptr) << printed;
  EXPECT_NE(printed.find(":title \"ArithmeticException: Divide by zero"), std::string::npos) << printed;
  EXPECT_NE(printed.find("{:fn \"e2e.frames/boom\""), std::string::npos) << printed;
  EXPECT_NE(printed.find(":line 3"), std::string::npos) << printed;

  EXPECT_EQ(run(*ev, "*1").printed, "42");
  EXPECT_EQ(run(*ev, "(.getMessage *e)").printed, "\"Divide by zero\"");
}

TEST_F(JvmNrepl, ReadLineIsAnsweredFromTheConsole) {
  auto ev = make_jvm(selection());
  Outcome o;
  o.on_wait = [&](bool waiting) {
    if (waiting) ev->send_input("hello");
  };
  eval::Result r = run(*ev, "(str (read-line) \"!\")", o, o.options());
  EXPECT_EQ(r.printed, "\"hello!\"");
  EXPECT_FALSE(ev->is_waiting_for_input());
  // nREPL 1.0 can't close stdin: EOF says so and the read keeps waiting, until Stop.
  Outcome eof;
  auto f = eof.done.get_future();
  eof.on_wait = [&](bool waiting) {
    if (waiting) ev->send_eof();
  };
  ASSERT_EQ(ev->eval("(read-line)", eof.options()), std::nullopt);
  for (int i = 0; i < 2000 && eof.output().find("can't close stdin") == std::string::npos; ++i)
    std::this_thread::sleep_for(5ms);
  EXPECT_NE(eof.output().find(clj::eof_unsupported(1, 0)), std::string::npos) << eof.output();
  EXPECT_TRUE(ev->is_waiting_for_input());
  ev->interrupt();
  ASSERT_EQ(f.wait_for(60s), std::future_status::ready);
  EXPECT_EQ(f.get().status, eval::Status::Interrupted);
  EXPECT_FALSE(ev->is_waiting_for_input());
}

TEST_F(JvmNrepl, StopEndsSleepAndBusyLoop) {
  auto ev = make_jvm(selection());
  ASSERT_EQ(run(*ev, "(+ 1 2)").printed, "3");
  for (const char* code : {"(Thread/sleep 100000)", "(loop [] (recur))"}) {
    Outcome o;
    auto f = o.done.get_future();
    ASSERT_EQ(ev->eval(code, o.options()), std::nullopt);
    std::this_thread::sleep_for(300ms);
    ev->interrupt();
    ASSERT_EQ(f.wait_for(60s), std::future_status::ready) << code;
    EXPECT_EQ(f.get().status, eval::Status::Interrupted) << code << o.output();
    // Whether the interrupt reached the loop or the fallback detached, the next evaluation answers.
    EXPECT_EQ(run(*ev, "(+ 1 2)").printed, "3") << code;
    RecordProperty(code, ev->is_connected() ? "interrupted in place" : "detached");
  }
}

TEST_F(JvmNrepl, LookupAndCompletions) {
  auto ev = make_jvm(selection());
  evaluator::CompleteRequest req;
  req.prefix = "map-";
  // Not attached yet: only the offline candidates, and no docs.
  EXPECT_TRUE(ev->lookup("map", 0).is_nil());
  ASSERT_EQ(run(*ev, "(+ 1 2)").status, eval::Status::Ok);
  std::string got = kelp::pr_str(ev->complete(req));
  EXPECT_NE(got.find("\"map-indexed\""), std::string::npos) << got;
  kelp::Value doc = ev->lookup("map", 0);
  ASSERT_FALSE(doc.is_nil());
  EXPECT_EQ(kelp::str_view(*kelp::get(doc, kelp::keyword("ns"))), "clojure.core");
  EXPECT_NE(kelp::str_view(*kelp::get(doc, kelp::keyword("arglists"))).find("[f coll]"), std::string_view::npos);
  EXPECT_TRUE(ev->lookup("no-such-name-anywhere", 0).is_nil());
}

TEST_F(JvmNrepl, AProjectWithoutAPortFileSaysHowToStartOne) {
  testing::TempDir other;
  dialect::Selection s = selection();
  s.project_dir = other.path();
  eval::Result r = run(*make_jvm(s), "(+ 1 2)");
  EXPECT_EQ(r.status, eval::Status::Notice);
  EXPECT_EQ(r.text, clj::not_running(other.path()));
}

}  // namespace
}  // namespace orrery::nrepl
