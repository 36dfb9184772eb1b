#include "orrery/tabs.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace orrery::tabs {
namespace {

namespace fs = std::filesystem;
using dialect::Runtime;
using dialect::Selection;

Tab file(const std::string& p, bool dirty = false) { return {fs::path(p), dirty}; }
Tab untitled(bool dirty = false) { return {std::nullopt, dirty}; }

Selection selection(std::string_view id, Runtime runtime, std::optional<fs::path> dir = {}) {
  Selection s;
  s.profile = dialect::profile(dialect::profiles(), id);
  s.runtime = runtime;
  s.project_dir = std::move(dir);
  return s;
}

TEST(Tabs, Labels) {
  struct Case {
    std::vector<Tab> tabs;
    std::vector<std::string> labels;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{file("/p/a/core.clj"), file("/p/b/core.clj")}, {"core.clj · a", "core.clj · b"}},
      {{file("/p/a/core.clj"), file("/p/a/util.clj", true)}, {"core.clj", "util.clj ●"}},
      {{untitled(), file("/p/x.clj"), untitled(true), untitled()},
       {"Untitled", "x.clj", "Untitled 2 ●", "Untitled 3"}},
      {{file("/p/a/core.clj", true), file("/q/b/core.clj"), file("/p/c/core.clj")},
       {"core.clj · a ●", "core.clj · b", "core.clj · c"}},
  };
  for (const Case& c : cases) EXPECT_EQ(labels(c.tabs), c.labels) << ::testing::PrintToString(c.labels);
}

TEST(Tabs, FindOpenComparesTheRealFile) {
  orrery::testing::TempDir dir;
  const fs::path a = dir.write("a/core.clj", "(ns a)");
  const fs::path b = dir.write("b/core.clj", "(ns b)");
  fs::create_symlink(a, dir.path() / "link.clj");
  fs::create_directory_symlink(dir.path() / "b", dir.path() / "bee");
  const std::vector<Tab> tabs = {untitled(), file(a.string()), file(b.string()),
                                 file((dir.path() / "gone.clj").string())};

  EXPECT_EQ(find_open(tabs, a), 1u);
  EXPECT_EQ(find_open(tabs, dir.path() / "link.clj"), 1u);
  EXPECT_EQ(find_open(tabs, dir.path() / "bee" / "core.clj"), 2u);
  EXPECT_EQ(find_open(tabs, dir.path() / "a" / ".." / "b" / "core.clj"), 2u);
  // A missing file still finds the tab that shows it, by its normal absolute form.
  EXPECT_EQ(find_open(tabs, dir.path() / "a" / ".." / "gone.clj"), 3u);
  EXPECT_EQ(find_open(tabs, dir.path() / "a" / "other.clj"), std::nullopt);
  // A tab that names a symlink is found through its target too.
  EXPECT_EQ(find_open({file((dir.path() / "link.clj").string())}, a), 0u);
}

TEST(Tabs, UntouchedUntitled) {
  EXPECT_TRUE(is_untouched_untitled(untitled(), ""));
  EXPECT_FALSE(is_untouched_untitled(untitled(), "(+ 1 2)"));
  EXPECT_FALSE(is_untouched_untitled(untitled(true), ""));
  EXPECT_FALSE(is_untouched_untitled(file("/p/empty.clj"), ""));
}

TEST(Tabs, WhichTabsRunInTheWindow) {
  const Selection kelp_window = selection("kelp", Runtime::InProcess);
  const Selection kelp_child = selection("kelp", Runtime::Nrepl, "/p/app");
  const Selection loose_kelp = selection("kelp", Runtime::InProcess);
  const Selection other_child = selection("kelp", Runtime::Nrepl, "/p/lib");
  const Selection clj_project = selection("clj", Runtime::Launch, "/p/app");
  struct Case {
    const char* what;
    Selection window;
    std::optional<Selection> tab;
    bool runnable;
    bool keeps;
  };
  const std::vector<Case> cases = {
      {"untitled in a clj window", clj_project, std::nullopt, true, false},
      {"loose kelp in a project's kelp child", kelp_child, loose_kelp, true, true},
      {"loose kelp in an in-process window", kelp_window, loose_kelp, true, true},
      {"loose kelp in a clj window", clj_project, loose_kelp, false, false},
      {"same project", kelp_child, kelp_child, true, false},
      {"another project's kelp child", kelp_child, other_child, false, false},
      {"a project tab in a loose kelp window", kelp_window, kelp_child, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_runnable_here(c.window, c.tab), c.runnable) << c.what;
    EXPECT_EQ(keeps_window_kelp(c.window, c.tab), c.keeps) << c.what;
  }
  EXPECT_TRUE(is_loose_kelp(loose_kelp));
  EXPECT_FALSE(is_loose_kelp(kelp_child));
  EXPECT_FALSE(is_loose_kelp(selection("clj", Runtime::InProcess)));
}

TEST(Tabs, RefusalMessageShowsFoldersFromHome) {
  const fs::path home = "/home/ann";
  const std::vector<std::pair<fs::path, std::string>> folders = {
      {"/home/ann", "~"},           {"/home/ann/src/app", "~/src/app"}, {"/home/ann/./src/../lib", "~/lib"},
      {"/home/anna/app", "/home/anna/app"}, {"/srv/app", "/srv/app"},
  };
  for (const auto& [folder, shown] : folders) EXPECT_EQ(home_relative(folder, home), shown) << folder;
  EXPECT_EQ(home_relative("/home/ann/x", ""), "/home/ann/x");

  const Selection tab = selection("clj", Runtime::Launch, "/home/ann/src/app");
  const Selection window = selection("kelp", Runtime::InProcess);
  const std::string expected_label = dialect::label(tab);
  EXPECT_EQ(refusal_message("core.clj", tab, window, home),
            "; core.clj belongs to ~/src/app (" + expected_label + "). This window runs no project (" +
                dialect::label(window) + "), so it can't run here.\n");
}

TEST(Tabs, Alerts) {
  const Alert one = close_alert({"core.clj"});
  EXPECT_EQ(one.message, "Save changes to core.clj before closing?");
  EXPECT_EQ(one.buttons, (std::vector<std::string>{"Save", "Don't Save", "Cancel"}));
  EXPECT_EQ(one.buttons[static_cast<std::size_t>(one.cancel_index)], "Cancel");

  const Alert several = close_alert({"core.clj · a", "Untitled 2", "util.clj"});
  EXPECT_EQ(several.message, "3 files have unsaved changes: core.clj · a, Untitled 2, util.clj");
  EXPECT_EQ(several.buttons, (std::vector<std::string>{"Save All", "Don't Save", "Cancel"}));
  EXPECT_EQ(several.buttons[static_cast<std::size_t>(several.cancel_index)], "Cancel");

  const Alert term = terminal_alert();
  EXPECT_EQ(term.message, "A program is still running in the terminal.");
  EXPECT_EQ(term.detail, "Closing the window ends it.");
  EXPECT_EQ(term.buttons, (std::vector<std::string>{"Close Anyway", "Cancel"}));
  EXPECT_EQ(term.buttons[static_cast<std::size_t>(term.cancel_index)], "Cancel");
  EXPECT_EQ(term.default_index, term.cancel_index);

  EXPECT_EQ(run_banner(file("/p/src/core.clj")), "; --- Running core.clj ---\n");
  EXPECT_EQ(run_banner(untitled()), "; --- Running Definitions ---\n");
}

TEST(Tabs, SteppingAndDigits) {
  const std::vector<std::tuple<std::size_t, std::ptrdiff_t, std::size_t, std::size_t>> steps = {
      {0, 1, 3, 1}, {2, 1, 3, 0}, {0, -1, 3, 2}, {1, -1, 3, 0},
      {0, 1, 1, 0}, {0, -1, 1, 0}, {1, 7, 3, 2}, {1, -7, 3, 0},
  };
  for (const auto& [i, delta, n, want] : steps)
    EXPECT_EQ(cycle_index(i, delta, n), want) << i << " " << delta << " " << n;

  const std::vector<std::tuple<int, std::size_t, std::optional<std::size_t>>> digits = {
      {1, 3, 0},  {3, 3, 2}, {5, 3, std::nullopt}, {9, 3, 2}, {9, 1, 0}, {8, 12, 7}, {9, 12, 11},
      {0, 3, std::nullopt}, {9, 0, std::nullopt}, {1, 0, std::nullopt},
  };
  for (const auto& [digit, n, want] : digits) EXPECT_EQ(index_for_digit(digit, n), want) << digit << " of " << n;

  const std::vector<int> v = {10, 20, 30};
  EXPECT_EQ(insert_after(v, 0, 15), (std::vector<int>{10, 15, 20, 30}));
  EXPECT_EQ(insert_after(v, 2, 35), (std::vector<int>{10, 20, 30, 35}));
  EXPECT_EQ(insert_after(std::vector<int>{}, 0, 1), (std::vector<int>{1}));
}

TEST(Tabs, NulLine) {
  using namespace std::string_literals;
  const std::vector<std::pair<std::string, std::optional<std::size_t>>> cases = {
      {"(ns a)\n(def x 1)\n", std::nullopt},
      {"", std::nullopt},
      {"\0"s, 1},
      {"one\ntwo\nth\0ree\n"s, 3},
      {"one\r\ntwo\r\n\0"s, 3},
      {"a\rb\r\0"s, 1},  // a lone CR does not end a line here
      {"\n\n\n\0 \0"s, 4},
  };
  for (const auto& [text, line] : cases) EXPECT_EQ(nul_line(text), line) << ::testing::PrintToString(text);
}

TEST(Tabs, FollowingTheFileOnDisk) {
  using A = DiskAction;
  struct Case {
    const char* what;
    std::string saved;
    std::optional<std::string> disk;
    std::string buffer;
    std::optional<A> sync;
  };
  const std::vector<Case> cases = {
      {"unchanged, clean", "a", "a", "a", std::nullopt},
      {"unchanged, dirty", "a", "a", "ab", std::nullopt},
      {"changed, clean", "a", "b", "a", A::Reload},
      {"changed, dirty", "a", "b", "ac", A::Warn},
      {"changed to the edits", "a", "b", "b", A::Rebase},
      {"emptied by a writer", "a", "", "a", A::Reload},
      {"missing", "a", std::nullopt, "a", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(disk_sync(c.saved, c.disk, c.buffer), c.sync) << c.what;
    EXPECT_EQ(disk_follow(c.saved, c.disk, c.buffer, true), c.sync) << c.what;
  }
  EXPECT_EQ(disk_follow("a", std::nullopt, "a", false), A::Missing);
  EXPECT_EQ(disk_follow("a", std::nullopt, "ab", false), A::Missing);
  EXPECT_EQ(disk_follow("a", "b", "a", false), A::Reload);
}

TEST(Tabs, StatStepWaitsForTheFileToSettle) {
  // A file truncated and rewritten between ticks: each new stat waits a tick, and only a steady one acts.
  const Stat seen{1000, 40};
  std::optional<Stat> pending;
  struct Tick {
    Stat stat;
    StatStep step;
  };
  const std::vector<Tick> ticks = {
      {{1000, 40}, StatStep::Same}, {{2000, 0}, StatStep::Wait}, {{2500, 60}, StatStep::Wait},
      {{2500, 60}, StatStep::Act},
  };
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    const StatStep step = stat_step(ticks[i].stat, seen, pending);
    EXPECT_EQ(step, ticks[i].step) << "tick " << i;
    pending = step == StatStep::Wait ? std::optional(ticks[i].stat) : std::nullopt;
  }
  // The same length with a new time still moves.
  EXPECT_EQ(stat_step({1001, 40}, seen, std::nullopt), StatStep::Wait);
  EXPECT_EQ(stat_step({1000, 40}, seen, Stat{2000, 0}), StatStep::Same);

  orrery::testing::TempDir dir;
  const fs::path f = dir.write("a.clj", "12345");
  const Stat s = stat_of(f);
  EXPECT_EQ(s.length, 5);
  EXPECT_GT(s.modified_ms, 0);
  fs::remove(f);
  EXPECT_EQ(stat_of(f), Stat{});
  EXPECT_EQ(stat_step(stat_of(f), s, std::nullopt), StatStep::Wait);
}

}  // namespace
}  // namespace orrery::tabs
