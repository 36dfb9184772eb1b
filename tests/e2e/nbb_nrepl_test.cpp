// The attach evaluator against nbb's nREPL server as a generic :nrepl peer: no interrupt op and no stdin op.
#include <gtest/gtest.h>

#include <future>

#include "e2e/nrepl_peer.hpp"
#include "kelp/kelp.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/nrepl/generic.hpp"
#include "orrery/nrepl/jvm.hpp"
#include "support/eval_outcome.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl {
namespace {

using namespace std::chrono_literals;

using Outcome = testing::EvalOutcome;

eval::Result run(Jvm& ev, const std::string& code, Outcome& o) {
  auto f = o.done.get_future();
  EXPECT_EQ(ev.eval(code, o.options()), std::nullopt);
  EXPECT_EQ(f.wait_for(60s), std::future_status::ready) << code;
  return f.get();
}

TEST(NbbNrepl, GenericPeerLimitationsAndStopDetaching) {
  kelp::boot();
  if (auto why = testing::NreplPeer::nbb_missing()) GTEST_SKIP() << "No nbb to attach to: " << *why;
  testing::TempDir project("orrery-nbb");
  testing::NreplPeer server(testing::NreplPeer::nbb_argv(), project.path());
  ASSERT_TRUE(server.port()) << server.log();
  dialect::Selection s;
  s.profile = dialect::profile(dialect::profiles(), "nrepl");
  s.runtime = dialect::Runtime::Attach;
  s.project_dir = project.path();
  s.nrepl = kelp::read_edn("{:port " + std::to_string(*server.port()) + "}").value();
  auto ev = make_jvm(s);

  Outcome first;
  eval::Result r = run(*ev, "(+ 1 2)", first);
  EXPECT_EQ(r.printed, "3");
  EXPECT_NE(first.output().find("; Connecting to the nREPL server at 127.0.0.1:" + std::to_string(*server.port())),
            std::string::npos);
  auto limits = ev->limitations();
  EXPECT_NE(std::find(limits.begin(), limits.end(), std::string(generic::NO_INTERRUPT)), limits.end());
  EXPECT_NE(std::find(limits.begin(), limits.end(), std::string(generic::NO_STDIN)), limits.end());

  Outcome err;
  eval::Result thrown = run(*ev, "(throw (ex-info \"bad\" {:k 1}))", err);
  EXPECT_EQ(thrown.status, eval::Status::Error);
  EXPECT_EQ(thrown.error_text, "Error: bad");

  // A read gets the notice before it is sent; nbb has no read-line at all.
  Outcome read;
  eval::Result rl = run(*ev, "(read-line)", read);
  EXPECT_EQ(read.output().find(generic::STDIN_NOTICE), 0u) << read.output();
  EXPECT_EQ(rl.status, eval::Status::Error);

  // Stop without an interrupt op disconnects at once; the evaluation keeps running in the server, and the next
  // Run connects a fresh session.
  Outcome slow;
  auto f = slow.done.get_future();
  ASSERT_EQ(ev->eval("(js/Promise. (fn [resolve] (js/setTimeout #(resolve :late) 100000)))", slow.options()),
            std::nullopt);
  std::this_thread::sleep_for(300ms);
  ev->interrupt();
  ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(f.get().status, eval::Status::Interrupted);
  EXPECT_NE(slow.output().find(generic::NO_INTERRUPT), std::string::npos);
  EXPECT_FALSE(ev->is_connected());
  Outcome again;
  EXPECT_EQ(run(*ev, "(* 6 7)", again).printed, "42");
  EXPECT_TRUE(ev->is_connected());
}

}  // namespace
}  // namespace orrery::nrepl
