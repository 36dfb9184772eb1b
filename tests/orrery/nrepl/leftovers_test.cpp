#include "orrery/nrepl/leftovers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "orrery/process.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl::leftovers {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;
using Days = std::chrono::duration<int, std::ratio<86400>>;

const Clock::time_point NOW = Clock::time_point(std::chrono::seconds(2000000000));

void set_age(const fs::path& path, std::chrono::seconds age) {
  auto when = std::chrono::duration_cast<std::chrono::seconds>((NOW - age).time_since_epoch()).count();
  timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A pid that names no process: a child we started and reaped.
pid_t dead_pid() {
  auto proc = process::spawn({"/bin/true"});
  EXPECT_TRUE(proc.ok());
  (*proc)->wait();
  return (*proc)->pid();
}

TEST(Leftovers, Names) {
  for (const char* name : {"orrery-cljs-1", "orrery-cljs-run-12-3", "orrery-jank-run-5", "orrery-plugin-check-9-9"}) {
    EXPECT_TRUE(is_leftover_dir_name(name)) << name;
  }
  for (const char* name : {"orrery-cljs", "orrery-cljs-x", "orrery-other-1", "orrery-cljs-1-2-3", "xorrery-cljs-1"}) {
    EXPECT_FALSE(is_leftover_dir_name(name)) << name;
  }
  EXPECT_TRUE(is_child_log_name("orrery-nrepl-1712345678901234567.log"));
  EXPECT_FALSE(is_child_log_name("orrery-nrepl-.log"));
  EXPECT_FALSE(is_child_log_name("orrery-nrepl-12.log.bak"));
}

TEST(Leftovers, PidState) {
  orrery::testing::TempDir dir;
  EXPECT_EQ(pid_state(dir.path()), PidState::none);
  write_pid(dir.path(), ::getpid());
  EXPECT_EQ(pid_state(dir.path()), PidState::live);
  write_pid(dir.path(), dead_pid());
  EXPECT_EQ(pid_state(dir.path()), PidState::dead);
  dir.write(std::string(PID_FILE), "not a number");
  EXPECT_EQ(pid_state(dir.path()), PidState::none);
  write_pid(dir.path() / "missing-folder", 1);  // never throws
}

TEST(Leftovers, PruneDeletesOnlyStaleLeftovers) {
  orrery::testing::TempDir tmp;
  std::chrono::seconds two_days = Days(2), three_hours = std::chrono::hours(3), eight_days = Days(8);
  struct Entry {
    std::string name;
    std::optional<pid_t> pid;        // a pid file naming this process
    std::chrono::seconds age;        // of the folder and everything in it
    std::optional<std::chrono::seconds> newest_file;  // one file inside younger than that
    bool pruned;
  };
  pid_t gone = dead_pid();
  std::vector<Entry> entries = {
      {"orrery-cljs-1", gone, two_days, std::nullopt, true},                // its owner has gone, a day untouched
      {"orrery-cljs-2", ::getpid(), two_days, std::nullopt, false},         // a live owner keeps it at any age
      {"orrery-cljs-3", gone, three_hours, std::nullopt, false},            // too young
      {"orrery-cljs-4", gone, two_days, three_hours, false},                // a file inside was touched lately
      {"orrery-jank-run-5", std::nullopt, two_days, std::nullopt, false},   // no pid file: kept for a week
      {"orrery-plugin-check-6-1", std::nullopt, eight_days, std::nullopt, true},
      {"not-orrery-7", gone, eight_days, std::nullopt, false},               // not ours
  };
  for (const auto& e : entries) {
    fs::path dir = tmp.path() / e.name;
    fs::create_directories(dir / "out");
    tmp.write(e.name + "/out/deep.js", "");
    if (e.pid) write_pid(dir, *e.pid);
    set_age(dir / "out/deep.js", std::chrono::seconds(0));  // subfolders are not looked into
    set_age(dir / "out", e.age);
    if (e.pid) set_age(dir / PID_FILE, e.age);
    if (e.newest_file) {
      tmp.write(e.name + "/recent", "");
      set_age(dir / "recent", *e.newest_file);
    }
    set_age(dir, e.age);
  }
  auto old_log = tmp.write("orrery-nrepl-1.log", "old");
  auto new_log = tmp.write("orrery-nrepl-2.log", "new");
  set_age(old_log, two_days);
  set_age(new_log, three_hours);
  // A link named like a leftover is never followed nor deleted.
  fs::path target = tmp.path() / "precious";
  fs::create_directories(target);
  set_age(target, eight_days);
  fs::create_directory_symlink(target, tmp.path() / "orrery-cljs-99");

  EXPECT_EQ(prune(tmp.path(), NOW), 3);
  for (const auto& e : entries) EXPECT_EQ(fs::exists(tmp.path() / e.name), !e.pruned) << e.name;
  EXPECT_FALSE(fs::exists(old_log));
  EXPECT_TRUE(fs::exists(new_log));
  EXPECT_TRUE(fs::is_symlink(tmp.path() / "orrery-cljs-99"));
  EXPECT_TRUE(fs::exists(target));
}

TEST(Leftovers, PruneOfAMissingFolderIsZero) {
  EXPECT_EQ(prune(fs::path("/nonexistent/orrery-test-folder"), NOW), 0);
}

}  // namespace
}  // namespace orrery::nrepl::leftovers
