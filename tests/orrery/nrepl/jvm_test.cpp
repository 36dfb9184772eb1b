#include "orrery/nrepl/jvm.hpp"

#include <gtest/gtest.h>

#include <future>

#include "kelp/kelp.hpp"
#include "orrery/clj.hpp"
#include "orrery/nrepl/fake_server.hpp"
#include "orrery/nrepl/generic.hpp"
#include "support/eval_outcome.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl {
namespace {

using namespace std::chrono_literals;

using Outcome = testing::EvalOutcome;

eval::Result run(Jvm& ev, const std::string& code, Outcome& o, evaluator::EvalOptions opts) {
  auto f = o.done.get_future();
  EXPECT_EQ(ev.eval(code, std::move(opts)), std::nullopt);
  EXPECT_EQ(f.wait_for(20s), std::future_status::ready);
  return f.get();
}
eval::Result run(Jvm& ev, const std::string& code, Outcome& o) { return run(ev, code, o, o.options()); }

struct Project {
  testing::TempDir dir;
  dialect::Selection selection(const char* dialect_id, int port) {
    dir.write(".nrepl-port", std::to_string(port) + "\n");
    dialect::Selection s;
    s.profile = dialect::profile(dialect::profiles(), dialect_id);
    s.runtime = dialect::Runtime::Attach;
    s.project_dir = dir.path();
    return s;
  }
};

class JvmAttach : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { kelp::boot(); }
};

TEST_F(JvmAttach, RunWithoutAServerEndsWithTheNotRunningNotice) {
  testing::TempDir dir;
  dialect::Selection s;
  s.profile = dialect::profile(dialect::profiles(), "clj");
  s.runtime = dialect::Runtime::Attach;
  s.project_dir = dir.path();
  auto ev = make_jvm(s);
  Outcome o;
  eval::Result r = run(*ev, "(+ 1 2)", o);
  EXPECT_EQ(r.status, eval::Status::Notice);
  EXPECT_EQ(r.text, clj::not_running(dir.path()));
  EXPECT_FALSE(ev->is_evaluating());
}

TEST_F(JvmAttach, SelectionInAnUnloadedNamespaceSaysSoAndSendsNothingElse) {
  testing::FakeNrepl server([](const std::string& op, const kelp::Value& msg) -> std::vector<std::string> {
    if (op == "eval") {
      const kelp::Value* ns = kelp::get(msg, kelp::make_string("ns"));
      if (ns && kelp::str_view(*ns) == "app.core") return {R"({:status ["namespace-not-found" "done" "error"]})"};
      return {R"({:ns "user" :value "3"})", R"({:status ["done"]})"};
    }
    return testing::handshake(op, testing::JVM_OPS);
  });
  Project p;
  auto ev = make_jvm(p.selection("clj", server.port()));
  Outcome a;
  evaluator::EvalOptions opts = a.options();
  opts.ns_source = "(ns app.core)\n(defn f [] 1)";
  eval::Result r = run(*ev, "(f)", a, opts);
  EXPECT_EQ(r.status, eval::Status::Error);
  EXPECT_EQ(r.error_text, clj::not_loaded("app.core"));
  EXPECT_EQ(server.ops(), (std::vector<std::string>{"describe", "clone", "eval"}));
  EXPECT_EQ(ev->prompt_ns(), "user");

  // An idle Stop sends nothing and keeps the connection.
  ev->interrupt();
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(ev->is_connected());
  EXPECT_EQ(server.ops().size(), 3u);
  Outcome b;
  EXPECT_EQ(run(*ev, "(+ 1 2)", b).printed, "3");
}

TEST_F(JvmAttach, StopThatTheServerIgnoresDetachesAfterTheFallbackClock) {
  testing::FakeNrepl server([](const std::string& op, const kelp::Value&) -> std::vector<std::string> {
    if (op == "eval" || op == "interrupt") return {};  // a busy loop the interrupt doesn't reach
    return testing::handshake(op, testing::JVM_OPS);
  });
  Project p;
  Timings t;
  t.interrupt = 200ms;
  auto ev = make_jvm(p.selection("clj", server.port()), t);
  Outcome o;
  auto f = o.done.get_future();
  ASSERT_EQ(ev->eval("(loop [] (recur))", o.options()), std::nullopt);
  ASSERT_TRUE(server.wait_for("eval"));
  ev->interrupt();
  ev->interrupt();  // a second press starts nothing more
  ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(f.get().status, eval::Status::Interrupted);
  EXPECT_TRUE(server.wait_for("interrupt"));
  EXPECT_NE(o.output().find(clj::INTERRUPT_FAILED), std::string::npos) << o.output();
  EXPECT_FALSE(ev->is_connected());
  EXPECT_FALSE(ev->is_evaluating());
  std::this_thread::sleep_for(50ms);
  auto ops = server.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), "interrupt"), 1);
}

TEST_F(JvmAttach, EofClosesStdinOnlyOnNrepl18) {
  for (const auto& [version, sends] : std::vector<std::pair<std::string, bool>>{
           {R"({"major" 1 "minor" 7})", false}, {R"({"major" 1 "minor" 8})", true}}) {
    testing::FakeNrepl server([version](const std::string& op, const kelp::Value&) -> std::vector<std::string> {
      if (op == "eval") return {R"({:status ["need-input"]})"};
      if (op == "stdin") return {R"({:status ["done"]})"};
      return testing::handshake(op, testing::JVM_OPS, version);
    });
    Project p;
    auto ev = make_jvm(p.selection("clj", server.port()));
    Outcome o;
    auto f = o.done.get_future();
    ASSERT_EQ(ev->eval("(read-line)", o.options()), std::nullopt);
    for (int i = 0; i < 500 && !ev->is_waiting_for_input(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(ev->is_waiting_for_input());
    ev->send_eof();
    ev->send_eof();
    if (sends) {
      ASSERT_TRUE(server.wait_for("stdin"));
      auto msgs = server.received();
      EXPECT_EQ(kelp::str_view(*kelp::get(msgs.back(), kelp::make_string("stdin"))), "");
      EXPECT_EQ(o.output().find("can't close stdin"), std::string::npos);
    } else {
      std::string said = clj::eof_unsupported(1, 7) + "\n";
      EXPECT_EQ(o.output().substr(o.output().size() - said.size()), said);
      EXPECT_EQ(o.output().find(said), o.output().rfind(said));  // said once
      EXPECT_TRUE(ev->is_waiting_for_input());
      auto ops = server.ops();
      EXPECT_EQ(std::count(ops.begin(), ops.end(), "stdin"), 0);
    }
    ev->stop();
    ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(f.get().status, eval::Status::Interrupted);
    EXPECT_FALSE(ev->is_waiting_for_input());
    EXPECT_EQ(o.waits.back(), false);
  }
}

TEST_F(JvmAttach, LookupRetriesInThePromptNamespaceThenAnswersNotLoaded) {
  testing::FakeNrepl server([](const std::string& op, const kelp::Value& msg) -> std::vector<std::string> {
    if (op == "lookup") {
      std::string ns(kelp::str_view(*kelp::get(msg, kelp::make_string("ns"))));
      if (ns == "app.core") return {R"({:status ["done" "lookup-error"]})"};
      return {R"({:info {} :status ["done"]})"};  // the prompt's namespace knows nothing of it
    }
    if (op == "eval") return {R"({:ns "user" :value "nil"})", R"({:status ["done"]})"};
    return testing::handshake(op, testing::JVM_OPS);
  });
  Project p;
  auto ev = make_jvm(p.selection("clj", server.port()));
  EXPECT_EQ(ev->resolve_lookup("f", "(ns app.core)", 2s).status, Resolved::Status::NotAttached);
  Outcome o;
  run(*ev, "nil", o);
  Resolved r = ev->resolve_lookup("f", "(ns app.core)", 2s);
  EXPECT_EQ(r.status, Resolved::Status::NotLoaded);
  EXPECT_EQ(r.ns, "app.core");
  auto ops = server.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), "lookup"), 2);
}

TEST_F(JvmAttach, GenericServerWithoutInterruptOrStdin) {
  // Shaped like nbb and babashka: fuzzy completion, a lookup naming a file that isn't here, no interrupt or stdin.
  testing::FakeNrepl server([](const std::string& op, const kelp::Value&) -> std::vector<std::string> {
    if (op == "completions")
      return {R"({:completions [{"candidate" "map-indexed" "ns" "clojure.core"}
                                {"candidate" "sorted-map-by" "ns" "clojure.core"}] :status ["done"]})"};
    if (op == "lookup")
      return {R"({:name "map" :ns "clojure.core" :file "cljs/core.cljs" :line 4902 :status ["done"]})"};
    if (op == "eval") return {};  // runs until Stop
    return testing::handshake(op, R"("clone" {} "eval" {} "load-file" {} "completions" {} "lookup" {})", "nil");
  });
  testing::TempDir dir;
  dialect::Selection s;
  s.profile = dialect::profile(dialect::profiles(), "nrepl");
  s.runtime = dialect::Runtime::Attach;
  s.project_dir = dir.path();
  s.nrepl = kelp::read_edn("{:port " + std::to_string(server.port()) + "}").value();
  auto ev = make_jvm(s);
  Outcome o;
  auto f = o.done.get_future();
  ASSERT_EQ(ev->eval("(read-line)", o.options()), std::nullopt);
  ASSERT_TRUE(server.wait_for("eval"));
  EXPECT_NE(o.output().find(generic::STDIN_NOTICE), std::string::npos);

  evaluator::CompleteRequest req;
  req.prefix = "map-";
  kelp::Value got = ev->complete(req);
  std::string printed = kelp::pr_str(got);
  EXPECT_NE(printed.find("map-indexed"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("sorted-map-by"), std::string::npos) << printed;
  kelp::Value doc = ev->lookup("map", 0);
  EXPECT_EQ(kelp::str_view(*kelp::get(doc, kelp::keyword("ns"))), "clojure.core");
  EXPECT_EQ(kelp::get(doc, kelp::keyword("file")), nullptr);

  auto limits = ev->limitations();
  EXPECT_NE(std::find(limits.begin(), limits.end(), std::string(generic::NO_INTERRUPT)), limits.end());
  EXPECT_NE(std::find(limits.begin(), limits.end(), std::string(generic::NO_STDIN)), limits.end());

  ev->interrupt();
  ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(f.get().status, eval::Status::Interrupted);
  EXPECT_FALSE(ev->is_connected());
  auto ops = server.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), "interrupt"), 0);
}

TEST_F(JvmAttach, RemoteHostIsRefusedUnlessAllowed) {
  dialect::Selection s;
  s.profile = dialect::profile(dialect::profiles(), "nrepl");
  s.runtime = dialect::Runtime::Attach;
  s.nrepl = kelp::read_edn(R"({:host "192.0.2.1" :port 1667})").value();
  Outcome o;
  eval::Result r = run(*make_jvm(s), "1", o);
  EXPECT_EQ(r.status, eval::Status::Notice);
  EXPECT_EQ(r.text, generic::remote_refused("192.0.2.1"));
}

}  // namespace
}  // namespace orrery::nrepl
