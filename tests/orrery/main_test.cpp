#include "orrery/main.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "orrery/child_process.hpp"
#include "orrery/version.hpp"

namespace orrery {
namespace {

using testing::run_program;

TEST(PluginFlags, RemovesEveryFlagAndReadsTheEnvironment) {
  struct Case {
    Args args;
    std::optional<std::string_view> env;
    Args expected_args;
    bool expected_plugins;
  };
  const Case cases[] = {
      {{"--version"}, std::nullopt, {"--version"}, true},
      {{"--no-plugins", "--version"}, std::nullopt, {"--version"}, false},
      {{"a.clj", "--no-plugins", "b.clj", "--no-plugins"}, std::nullopt, {"a.clj", "b.clj"}, false},
      {{}, "1", {}, false},
      {{"--mcp"}, "0", {"--mcp"}, true},
      {{"--mcp"}, "", {"--mcp"}, true},
      {{"--mcp"}, "true", {"--mcp"}, true},
      {{"--no-plugins=1"}, std::nullopt, {"--no-plugins=1"}, true},
  };
  for (const auto& c : cases) {
    auto flags = plugin_flags(c.args, c.env);
    EXPECT_EQ(flags.args, c.expected_args) << ::testing::PrintToString(c.args);
    EXPECT_EQ(flags.plugins, c.expected_plugins) << ::testing::PrintToString(c.args);
  }
}

TEST(VersionArg, OnlyTheFirstArgumentCounts) {
  EXPECT_TRUE(is_version_arg({"--version"}));
  EXPECT_TRUE(is_version_arg({"--version", "x"}));
  EXPECT_FALSE(is_version_arg({"a.clj", "--version"}));
  EXPECT_FALSE(is_version_arg({}));
}

TEST(McpArgs, DirectoryAndWindow) {
  struct Case {
    Args args;
    std::optional<std::string> dir;  // none: not the mcp mode
    bool window;
  };
  const Case cases[] = {
      {{"--mcp"}, "/w", false},
      {{"--mcp", "--window"}, "/w", true},
      {{"--mcp", "proj"}, "/w/proj", false},
      {{"--mcp", "../up"}, "/w/../up", false},
      {{"--mcp", "/abs/dir"}, "/abs/dir", false},
      {{"--mcp", "--window", "proj"}, "/w/proj", true},
      {{"--mcp", "--window", "/abs"}, "/abs", true},
      {{"--mcp", "proj", "--window"}, "/w/proj", false},
      {{"proj", "--mcp"}, std::nullopt, false},
      {{"--mcp-attach"}, std::nullopt, false},
      {{}, std::nullopt, false},
  };
  for (const auto& c : cases) {
    auto mcp = mcp_args(c.args, "/w");
    ASSERT_EQ(mcp.has_value(), c.dir.has_value()) << ::testing::PrintToString(c.args);
    if (!mcp) continue;
    EXPECT_EQ(mcp->dir.string(), *c.dir) << ::testing::PrintToString(c.args);
    EXPECT_EQ(mcp->window, c.window) << ::testing::PrintToString(c.args);
  }
}

TEST(AttachArgs, OptionalDirectory) {
  EXPECT_FALSE(attach_args({"--mcp"}, "/w"));
  EXPECT_FALSE(attach_args({}, "/w"));
  auto lone = attach_args({"--mcp-attach"}, "/w");
  ASSERT_TRUE(lone);
  EXPECT_FALSE(lone->dir);
  auto relative = attach_args({"--mcp-attach", "proj"}, "/w");
  ASSERT_TRUE(relative && relative->dir);
  EXPECT_EQ(relative->dir->string(), "/w/proj");
  auto absolute = attach_args({"--mcp-attach", "/p/q"}, "/w");
  ASSERT_TRUE(absolute && absolute->dir);
  EXPECT_EQ(absolute->dir->string(), "/p/q");
}

TEST(GtkArgv, EveryArgumentBecomesAnAbsolutePath) {
  struct Case {
    std::string cwd;
    Args args;
    Args expected;
  };
  const Case cases[] = {
      {"/w", {}, {"orrery"}},
      {"/w", {"--help"}, {"orrery", "/w/--help"}},
      {"/home/ada/proj", {"a.clj"}, {"orrery", "/home/ada/proj/a.clj"}},
      {"/home/ada/proj", {"/etc/x.edn", "src/b.clj", "-"}, {"orrery", "/etc/x.edn", "/home/ada/proj/src/b.clj", "/home/ada/proj/-"}},
      {"/home/ada/proj", {"../x/./y.clj"}, {"orrery", "/home/ada/proj/../x/./y.clj"}},
      {"/home/ada/proj/", {"a.clj"}, {"orrery", "/home/ada/proj/a.clj"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(gtk_argv(c.cwd, c.args), c.expected) << c.cwd << " " << ::testing::PrintToString(c.args);
  }
}

TEST(OrreryBin, VersionPrintsTheVersionLine) {
  const std::string expected = "Orrery " + current_version() + "\n";
  struct Case {
    Args args;
    const char* no_plugins_env;
  };
  const Case cases[] = {
      {{"--version"}, nullptr},
      {{"--no-plugins", "--version"}, nullptr},
      {{"--version", "--no-plugins"}, nullptr},
      {{"--version"}, "1"},
  };
  for (const auto& c : cases) {
    Args argv{ORRERY_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto run = run_program(argv, {{"ORRERY_NO_PLUGINS", c.no_plugins_env}});
    EXPECT_EQ(run.exit_code, 0) << ::testing::PrintToString(c.args);
    EXPECT_EQ(run.out, expected) << ::testing::PrintToString(c.args);
    EXPECT_EQ(run.err, "") << ::testing::PrintToString(c.args);
  }
  EXPECT_EQ(expected.rfind("Orrery ", 0), 0u);
  EXPECT_GT(expected.size(), std::string("Orrery \n").size());
}

TEST(OrreryBin, ModesNotInThisBuildSayOneSentenceAndExit2) {
  const Args cases[] = {
      {"--mcp", "--window", "proj"},
      {"--mcp-attach"},
      {"--no-plugins", "--mcp-attach", "proj"},
  };
  for (const auto& args : cases) {
    Args argv{ORRERY_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    auto run = run_program(argv);
    EXPECT_EQ(run.exit_code, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(run.out, "") << ::testing::PrintToString(args);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.err.rfind("orrery: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("not in this build yet."), std::string::npos) << run.err;
  }
}

TEST(OrreryBin, TheWindowWithoutADisplaySaysSoInOneSentence) {
  auto run = run_program({ORRERY_BIN, "a.clj"}, {{"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr}});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("orrery: there is no display", 0), 0u) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

}  // namespace
}  // namespace orrery
