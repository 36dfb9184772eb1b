#include "orrery/nrepl/connection.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>

#include "orrery/clj.hpp"
#include "orrery/nrepl/fake_server.hpp"
#include "orrery/nrepl/ops.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl {
namespace {

using namespace std::chrono_literals;

ConnectPolicy clj_policy(const std::filesystem::path& dir) {
  dialect::Selection s;
  s.profile = dialect::profile(dialect::profiles(), "clj");
  s.runtime = dialect::Runtime::Attach;
  s.project_dir = dir;
  return clj::connect_policy(s);
}

std::string read_back(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string notice_text(const std::variant<Located, eval::Result>& v) {
  if (auto* r = std::get_if<eval::Result>(&v)) return r->text;
  return "port " + std::to_string(std::get<Located>(v).port);
}

TEST(AttachConnection, LocatesThePortFromTheEndpointOrThePortFile) {
  testing::TempDir dir;
  ConnectPolicy p = clj_policy(dir.path());
  EXPECT_EQ(notice_text(locate_port(p)), clj::not_running(dir.path()));
  struct Case {
    std::string text, want;
  };
  for (const Case& c : std::vector<Case>{{"7888\n", "port 7888"},
                                         {"  7888 \r\n", "port 7888"},
                                         {"", std::string(clj::BAD_PORT_FILE)},
                                         {"78x8", std::string(clj::BAD_PORT_FILE)},
                                         {"70000", std::string(clj::BAD_PORT_FILE)},
                                         {"0", std::string(clj::BAD_PORT_FILE)}}) {
    dir.write(".nrepl-port", c.text);
    EXPECT_EQ(notice_text(locate_port(p)), c.want) << c.text;
    EXPECT_EQ(read_back(dir.path() / ".nrepl-port"), c.text);  // only ever read
  }
  p.endpoint = Endpoint{"127.0.0.1", 1667};
  EXPECT_EQ(notice_text(locate_port(p)), "port 1667");
  ConnectPolicy loose = clj_policy(dir.path());
  loose.project_dir.reset();
  loose.port_file.reset();
  EXPECT_EQ(notice_text(locate_port(loose)), clj::NO_PROJECT);
}

TEST(AttachConnection, ConnectsWithAHandshakeAndTellsListenersOfLoss) {
  testing::FakeNrepl server([](const std::string& op, const kelp::Value&) {
    return testing::handshake(op, testing::JVM_OPS);
  });
  testing::TempDir dir;
  dir.write(".nrepl-port", std::to_string(server.port()));
  Link link(Timings{});
  std::vector<bool> told;
  std::mutex m;
  link.on_connection([&](bool c) {
    std::lock_guard lock(m);
    told.push_back(c);
  });
  std::string said;
  auto r = link.connect(clj_policy(dir.path()), [] { return false; }, [&](std::string_view s) { said += s; });
  EXPECT_FALSE(r.has_value()) << (r ? r->text : "");
  EXPECT_EQ(said, clj::connecting(std::to_string(server.port())) + "\n");
  EXPECT_TRUE(link.is_live());
  EXPECT_EQ(link.nrepl_version(), std::pair(1, 0));
  EXPECT_EQ(server.ops(), (std::vector<std::string>{"describe", "clone"}));

  server.hang_up();
  for (int i = 0; i < 200 && link.is_live(); ++i) std::this_thread::sleep_for(10ms);
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard lock(m);
      if (told.size() == 2) break;
    }
    std::this_thread::sleep_for(10ms);
  }
  std::lock_guard lock(m);
  EXPECT_EQ(told, (std::vector<bool>{true, false}));
  // A detached link answers a request at once with the disconnected reply, sending nothing.
  auto replies = link.request(kelp::read_edn(R"({:op "eval" :code "1"})").value(), {});
  EXPECT_TRUE(ops::has_any_status(replies, ops::DISCONNECTED_STATUS));
}

TEST(AttachConnection, RefusesAServerWithoutEvalAndLoadFile) {
  testing::FakeNrepl server([](const std::string& op, const kelp::Value&) {
    return testing::handshake(op, R"("clone" {} "eval" {})");
  });
  testing::TempDir dir;
  dir.write(".nrepl-port", std::to_string(server.port()));
  Link link(Timings{});
  auto r = link.connect(clj_policy(dir.path()), [] { return false; }, [](std::string_view) {});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->text, clj::not_server(std::to_string(server.port())));
  EXPECT_FALSE(link.is_live());
}

TEST(AttachConnection, StopDuringDescribeClosesTheHalfOpenSocketAtOnce) {
  // The server never answers describe; the describe timeout is far longer than the test's patience.
  testing::FakeNrepl server([](const std::string&, const kelp::Value&) { return std::vector<std::string>{}; });
  testing::TempDir dir;
  dir.write(".nrepl-port", std::to_string(server.port()));
  Timings t;
  t.describe = 120s;
  Link link(t);
  bool told = false;
  link.on_connection([&](bool) { told = true; });
  std::atomic<bool> stop{false};
  auto connecting = std::async(std::launch::async, [&] {
    return link.connect(clj_policy(dir.path()), [&] { return stop.load(); }, [](std::string_view) {});
  });
  ASSERT_TRUE(server.wait_for("describe"));
  stop = true;
  link.detach();
  ASSERT_EQ(connecting.wait_for(20s), std::future_status::ready);
  auto r = connecting.get();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, eval::Status::Interrupted);
  EXPECT_FALSE(link.is_live());
  EXPECT_FALSE(told);
  EXPECT_EQ(server.ops(), (std::vector<std::string>{"describe"}));
}

TEST(AttachConnection, MakesTheJvmEvaluatorForClojureAndNreplOnly) {
  for (const char* id : {"clj", "nrepl"}) {
    dialect::Selection s;
    s.profile = dialect::profile(dialect::profiles(), id);
    s.runtime = dialect::Runtime::Attach;
    EXPECT_NE(dynamic_cast<Attached*>(make_attached(s).get()), nullptr) << id;
  }
  dialect::Selection kelp_sel;
  kelp_sel.profile = dialect::profile(dialect::profiles(), "jank");
  try {
    make_attached(kelp_sel);
    ADD_FAILURE() << "made an attach evaluator for jank";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No attach evaluator for dialect jank");
  }
}

}  // namespace
}  // namespace orrery::nrepl
