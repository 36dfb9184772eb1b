#include "orrery/slow_events.hpp"

#include <fmt/format.h>
#include <sys/utsname.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "orrery/version.hpp"

namespace orrery::slow_events {

namespace {

std::atomic<std::shared_ptr<const Log>>& the_log() {
  static std::atomic<std::shared_ptr<const Log>> log{std::make_shared<const Log>()};
  return log;
}

// One compare-and-swap loop, so a clear from another thread between the load and the store is never undone.
template <typename F>
void swap_log(F&& next) {
  auto& log = the_log();
  std::shared_ptr<const Log> seen = log.load();
  while (!log.compare_exchange_weak(seen, std::make_shared<const Log>(next(*seen)))) {
  }
}

std::int64_t wall_ms_now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string system_line() {
  struct utsname u {};
  if (::uname(&u) != 0) return "System: unknown";
  return fmt::format("System: {} {} {}", u.sysname, u.release, u.machine);
}

std::string plural(std::uint64_t n, std::string_view one, std::string_view many) {
  return fmt::format("{} {}", n, n == 1 ? one : many);
}

}  // namespace

Log empty_log() { return {}; }

Log add(Log log, Event event) {
  log.events.push_back(std::move(event));
  if (log.events.size() > CAPACITY)
    log.events.erase(log.events.begin(), log.events.end() - static_cast<std::ptrdiff_t>(CAPACITY));
  ++log.total;
  return log;
}

std::shared_ptr<const Log> current() { return the_log().load(); }

void check(std::string_view site, std::chrono::steady_clock::time_point t0) noexcept {
  check(site, t0, std::chrono::steady_clock::now(), wall_ms_now());
}

void check(std::string_view site, std::chrono::steady_clock::time_point t0, std::chrono::steady_clock::time_point now,
           std::int64_t at_ms) noexcept {
  using namespace std::chrono;
  const auto elapsed_ns = duration_cast<nanoseconds>(now - t0).count();
  if (elapsed_ns < THRESHOLD_NS) return;
  try {
    Event e{at_ms, elapsed_ns / 1'000'000, std::string(site)};
    swap_log([&](const Log& log) { return add(log, e); });
  } catch (...) {
    // Out of memory while recording: losing one entry of a diagnostic log is the right failure.
  }
}

void clear() {
  swap_log([](const Log&) { return empty_log(); });
}

std::vector<SiteCost> by_site(const Log& log) {
  std::map<std::string, SiteCost> sums;
  for (const Event& e : log.events) {
    SiteCost& s = sums[e.site];
    s.site = e.site;
    ++s.count;
    s.total_ms += e.ms;
    s.worst_ms = std::max(s.worst_ms, e.ms);
  }
  std::vector<SiteCost> out;
  out.reserve(sums.size());
  for (auto& [_, s] : sums) out.push_back(std::move(s));
  std::stable_sort(out.begin(), out.end(), [](const SiteCost& a, const SiteCost& b) {
    if (a.total_ms != b.total_ms) return a.total_ms > b.total_ms;
    return a.worst_ms > b.worst_ms;
  });
  return out;
}

std::string clock(std::int64_t ms) {
  // Floor division, so a time before the epoch still shows its own second and a positive millisecond part.
  std::int64_t secs = ms / 1000;
  std::int64_t milli = ms % 1000;
  if (milli < 0) {
    milli += 1000;
    --secs;
  }
  const time_t t = static_cast<time_t>(secs);
  struct tm local {};
  if (!::localtime_r(&t, &local)) return fmt::format("{}", ms);
  return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec, milli);
}

std::vector<std::string> report_lines(const Log& log) {
  std::vector<std::string> lines = {version_line(), system_line()};
  if (log.events.empty()) {
    lines.push_back(fmt::format("Nothing was slow: no callback has held the window up for {} ms or more.",
                                THRESHOLD_MS));
    return lines;
  }
  std::string kept = fmt::format("{} that held the window up for {} ms or more",
                                 plural(log.events.size(), "callback", "callbacks"), THRESHOLD_MS);
  if (log.dropped() > 0) kept += fmt::format(" ({} older dropped)", log.dropped());
  lines.push_back(kept + ".");
  lines.push_back("By site, costliest first:");
  for (const SiteCost& s : by_site(log))
    lines.push_back(fmt::format("  {} ms in {}, worst {} ms: {}", s.total_ms, plural(s.count, "event", "events"),
                                s.worst_ms, s.site));
  const std::size_t shown = std::min(REPORT_EVENTS, log.events.size());
  lines.push_back(shown < log.events.size() ? fmt::format("The newest {}, newest first:", shown)
                                            : std::string("Newest first:"));
  for (auto it = log.events.rbegin(); it != log.events.rbegin() + static_cast<std::ptrdiff_t>(shown); ++it)
    lines.push_back(fmt::format("  {}  {} ms  {}", clock(it->at_ms), it->ms, it->site));
  return lines;
}

std::string file_text(const Log& log) {
  std::string out;
  for (const std::string& line : report_lines(log)) out += line + "\n";
  return out;
}

}  // namespace orrery::slow_events
