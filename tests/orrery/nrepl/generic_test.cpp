#include "orrery/nrepl/generic.hpp"

#include <gtest/gtest.h>

#include "kelp/read/edn.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl::generic {
namespace {

TEST(GenericNrepl, HostsAndEndpoints) {
  struct Case {
    std::string host;
    bool loopback;
    std::string at;
  };
  for (const Case& c : std::vector<Case>{{"127.0.0.1", true, "127.0.0.1:7"},
                                         {"127.1.2.3", true, "127.1.2.3:7"},
                                         {"localhost", true, "localhost:7"},
                                         {"::1", true, "[::1]:7"},
                                         {"::ffff:127.0.0.1", true, "[::ffff:127.0.0.1]:7"},
                                         {"10.0.0.1", false, "10.0.0.1:7"},
                                         {"fe80::1", false, "[fe80::1]:7"},
                                         {"box.example", false, "box.example:7"},
                                         {"128.0.0.1", false, "128.0.0.1:7"}}) {
    EXPECT_EQ(is_loopback(c.host), c.loopback) << c.host;
    EXPECT_EQ(at(c.host, 7), c.at);
  }
  dialect::Selection s;
  s.profile = dialect::profile(dialect::profiles(), "nrepl");
  EXPECT_EQ(endpoint(s).host, "127.0.0.1");
  EXPECT_FALSE(endpoint(s).port);
  EXPECT_FALSE(port_file(s));  // no project
  s.nrepl = kelp::read_edn(R"({:host "[::1]" :port 1667 :port-file ".bb-port"})").value();
  EXPECT_EQ(endpoint(s).host, "::1");
  EXPECT_EQ(endpoint(s).port, 1667);
  s.project_dir = "/proj";
  EXPECT_EQ(port_file(s), std::filesystem::path("/proj/.bb-port"));
  EXPECT_FALSE(connect_policy(s, false).refusal);
  s.nrepl = kelp::read_edn(R"({:host "10.1.1.1"})").value();
  EXPECT_EQ(connect_policy(s, false).refusal, remote_refused("10.1.1.1"));
  EXPECT_FALSE(connect_policy(s, true).refusal);
}

TEST(GenericNrepl, LimitationsFollowTheAdvertisedOps) {
  auto none = limitations({"eval", "load-file"});
  auto all = limitations({"eval", "load-file", "interrupt", "stdin", "complete", "info"});
  EXPECT_EQ(none.size(), all.size() + 4);
  for (std::string_view s : {NO_INTERRUPT, NO_STDIN, NO_COMPLETION, NO_DOCS}) {
    EXPECT_NE(std::find(none.begin(), none.end(), std::string(s)), none.end());
    EXPECT_EQ(std::find(all.begin(), all.end(), std::string(s)), all.end());
  }
}

TEST(GenericNrepl, LocalFilesAreThoseThatOpenHere) {
  testing::TempDir dir;
  std::string file = dir.write("core.clj", "(ns core)").string();
  std::string jar = dir.write("lib.jar", "PK").string();
  for (const auto& [name, local] : std::vector<std::pair<std::string, bool>>{
           {file, true}, {"file:" + file, true}, {"jar:file:" + jar + "!/clojure/core.clj", true},
           {"jar:file:" + dir.path().string() + "/gone.jar!/x.clj", false}, {"cljs/core.cljs", false},
           {dir.path().string() + "/missing.clj", false}, {"", false}})
    EXPECT_EQ(is_local_file(name), local) << name;
}

}  // namespace
}  // namespace orrery::nrepl::generic
