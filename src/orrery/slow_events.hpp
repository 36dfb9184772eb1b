// The slow-event log: the main-thread callbacks that held the window up, kept so a person can list them or save them
// for a bug report. The log is an immutable value; the process-wide one is a std::atomic<std::shared_ptr<const Log>>
// replaced by compare-and-swap, so readers on any thread see a whole log and never take a lock the main thread holds.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orrery::slow_events {

// Three frames at 60 Hz: about where a pause after a key press starts to show.
inline constexpr std::int64_t THRESHOLD_MS = 50;
inline constexpr std::int64_t THRESHOLD_NS = THRESHOLD_MS * 1'000'000;
// How many events the log keeps; older ones are dropped and only counted.
inline constexpr std::size_t CAPACITY = 200;
// How many of the newest events a report lists.
inline constexpr std::size_t REPORT_EVENTS = 20;

struct Event {
  std::int64_t at_ms = 0;  // wall-clock epoch milliseconds when the callback returned
  std::int64_t ms = 0;     // how long it ran
  std::string site;        // where its callback was made: file and line
  bool operator==(const Event&) const = default;
};

struct Log {
  std::vector<Event> events;  // oldest first, at most CAPACITY
  std::uint64_t total = 0;    // every event ever added, so total - events.size() were dropped
  std::uint64_t dropped() const { return total - events.size(); }
};

Log empty_log();

// log with event appended, the oldest dropped once there are more than CAPACITY.
Log add(Log log, Event event);

// The process-wide log as it is now.
std::shared_ptr<const Log> current();

// Called as a callback returns, with the site and the steady-clock time it started: keeps an event when it ran
// THRESHOLD_MS or more. Never throws.
void check(std::string_view site, std::chrono::steady_clock::time_point t0) noexcept;
// The same with the clocks read by the caller: now on the steady clock, at_ms on the wall clock.
void check(std::string_view site, std::chrono::steady_clock::time_point t0, std::chrono::steady_clock::time_point now,
           std::int64_t at_ms) noexcept;

// Empties the process-wide log.
void clear();

struct SiteCost {
  std::string site;
  std::size_t count = 0;
  std::int64_t total_ms = 0;
  std::int64_t worst_ms = 0;
  bool operator==(const SiteCost&) const = default;
};

// The events summed by site, costliest total first (ties: the worst single event, then the site's name).
std::vector<SiteCost> by_site(const Log& log);

// Epoch milliseconds as HH:mm:ss.mmm in the local time zone.
std::string clock(std::int64_t ms);

// The log for a person or a bug report: facts about this program and machine, the sites by cost, then the newest
// REPORT_EVENTS events, newest first. A log without events says that nothing was slow.
std::vector<std::string> report_lines(const Log& log);

// report_lines joined for saving to a file, each line ending in a line feed.
std::string file_text(const Log& log);

}  // namespace orrery::slow_events
