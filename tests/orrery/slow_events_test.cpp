#include "orrery/slow_events.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>
#include <vector>

#include "orrery/version.hpp"

namespace orrery::slow_events {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

Event event(std::int64_t ms, std::string site, std::int64_t at = 0) { return {at, ms, std::move(site)}; }

Log log_of(const std::vector<Event>& events) {
  Log log = empty_log();
  for (const Event& e : events) log = add(log, e);
  return log;
}

// Runs the body with the local time zone set to UTC, and puts the previous zone back.
class UtcZone {
 public:
  UtcZone() {
    if (const char* tz = ::getenv("TZ")) saved_ = tz;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  ~UtcZone() {
    if (saved_) ::setenv("TZ", saved_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(SlowEvents, CheckKeepsWhatRanAtLeastTheThreshold) {
  clear();
  const steady_clock::time_point t0{};
  check("fast.cpp:1", t0, t0 + milliseconds(49) + std::chrono::microseconds(999), 1000);
  check("edge.cpp:2", t0, t0 + milliseconds(50), 2000);
  check("slow.cpp:3", t0, t0 + milliseconds(731), 3000);
  const std::shared_ptr<const Log> log = current();
  EXPECT_EQ(log->events, (std::vector<Event>{{2000, 50, "edge.cpp:2"}, {3000, 731, "slow.cpp:3"}}));
  EXPECT_EQ(log->total, 2u);

  // A callback that returns at once, timed by the real clock, is not slow.
  check("real.cpp:4", steady_clock::now());
  EXPECT_EQ(current()->total, 2u);

  clear();
  EXPECT_TRUE(current()->events.empty());
  EXPECT_EQ(current()->total, 0u);
  // A log read before the clear is a value: it keeps what it held.
  EXPECT_EQ(log->events.size(), 2u);
}

TEST(SlowEvents, TheLogKeepsTheNewestAndCountsTheDropped) {
  Log log = empty_log();
  for (int i = 0; i < 201; ++i) log = add(log, event(50 + i, "s", i));
  ASSERT_EQ(log.events.size(), CAPACITY);
  EXPECT_EQ(log.events.front().at_ms, 1);
  EXPECT_EQ(log.events.back().at_ms, 200);
  EXPECT_EQ(log.total, 201u);
  EXPECT_EQ(log.dropped(), 1u);
}

TEST(SlowEvents, BySiteCostliestFirst) {
  const Log log = log_of({event(60, "a.cpp:1"), event(200, "b.cpp:2"), event(70, "a.cpp:1"), event(55, "c.cpp:3"),
                          event(90, "a.cpp:1"), event(55, "d.cpp:4"), event(50, "d.cpp:4")});
  EXPECT_EQ(by_site(log), (std::vector<SiteCost>{{"a.cpp:1", 3, 220, 90},
                                                 {"b.cpp:2", 1, 200, 200},
                                                 {"d.cpp:4", 2, 105, 55},
                                                 {"c.cpp:3", 1, 55, 55}}));
  EXPECT_TRUE(by_site(empty_log()).empty());
}

TEST(SlowEvents, ClockIsLocalTimeWithMilliseconds) {
  UtcZone utc;
  const std::vector<std::pair<std::int64_t, std::string>> cases = {
      {0, "00:00:00.000"},
      {3'661'007, "01:01:01.007"},
      {1'700'000'000'050, "22:13:20.050"},
      {1'700'000'000'999, "22:13:20.999"},
      {-1, "23:59:59.999"},
  };
  for (const auto& [ms, text] : cases) EXPECT_EQ(clock(ms), text) << ms;
}

TEST(SlowEvents, Report) {
  UtcZone utc;
  const std::vector<std::string> quiet = report_lines(empty_log());
  ASSERT_EQ(quiet.size(), 3u);
  EXPECT_EQ(quiet[0], version_line());
  EXPECT_EQ(quiet[1].rfind("System: ", 0), 0u) << quiet[1];
  EXPECT_NE(quiet[2].find("Nothing was slow"), std::string::npos) << quiet[2];

  // 25 kept after 3 dropped: the report lists the newest 20 and says how many were dropped.
  Log log = empty_log();
  log.total = 3;
  for (int i = 0; i < 25; ++i) log = add(log, event(i == 24 ? 120 : 50, i % 2 ? "odd.cpp:9" : "even.cpp:8", i * 1000));
  const std::vector<std::string> lines = report_lines(log);
  const std::vector<std::string> head(lines.begin() + 2, lines.begin() + 7);
  EXPECT_EQ(head, (std::vector<std::string>{
                      "25 callbacks that held the window up for 50 ms or more (3 older dropped).",
                      "By site, costliest first:",
                      "  720 ms in 13 events, worst 120 ms: even.cpp:8",
                      "  600 ms in 12 events, worst 50 ms: odd.cpp:9",
                      "The newest 20, newest first:",
                  }));
  ASSERT_EQ(lines.size(), 7u + REPORT_EVENTS);
  EXPECT_EQ(lines[7], "  00:00:24.000  120 ms  even.cpp:8");
  EXPECT_EQ(lines.back(), "  00:00:05.000  50 ms  odd.cpp:9");

  std::string joined;
  for (const std::string& l : lines) joined += l + "\n";
  EXPECT_EQ(file_text(log), joined);
}

}  // namespace
}  // namespace orrery::slow_events
