#include "orrery/runtime_registry.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "orrery/failure.hpp"

namespace orrery {

namespace {

using Clock = std::chrono::steady_clock;


void stop_reporting(const evaluator::EvaluatorPtr& ev) {
  try {
    ev->stop();
  } catch (...) {
    // One write, so that lines from concurrent writers do not interleave.
    std::string line = std::string(STOP_RUNTIMES_FAILED) + " " + failure_message(std::current_exception()) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
}

// How long stop_all may wait for ev; nullopt when it never needs waiting for.
std::optional<std::chrono::milliseconds> settle_deadline_of(const evaluator::EvaluatorPtr& ev) {
  try {
    return ev->settle_deadline();
  } catch (...) {
    return std::nullopt;
  }
}

struct Settling {
  evaluator::EvaluatorPtr ev;
  Clock::time_point until;
};

// Polls every evaluator in `settling` together until each has settled or passed its own time.
void wait_for_all(std::vector<Settling> settling) {
  for (;;) {
    auto now = Clock::now();
    std::erase_if(settling, [&](const Settling& s) { return now >= s.until || is_settled(s.ev); });
    if (settling.empty()) return;
    auto soonest = std::min_element(settling.begin(), settling.end(),
                                    [](const Settling& a, const Settling& b) { return a.until < b.until; });
    std::this_thread::sleep_for(std::min<Clock::duration>(SETTLE_POLL, soonest->until - Clock::now()));
  }
}

}  // namespace

bool is_settled(const evaluator::EvaluatorPtr& ev) {
  if (!ev) return true;
  try {
    return ev->is_settled();
  } catch (...) {
    return true;
  }
}

bool wait_until_settled(const evaluator::EvaluatorPtr& ev, std::chrono::milliseconds deadline) {
  auto until = Clock::now() + deadline;
  for (;;) {
    if (is_settled(ev)) return true;
    auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(SETTLE_POLL, left));
  }
}

void RuntimeRegistry::register_evaluator(evaluator::EvaluatorPtr ev) {
  if (!ev) return;
  {
    std::lock_guard lock(entries_mutex_);
    auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.ev == ev; });
    if (found != entries_.end()) {
      found->leaving = false;
    } else {
      entries_.push_back({std::move(ev), false});
    }
  }
  sweep_leaving();
}

void RuntimeRegistry::unregister(const evaluator::EvaluatorPtr& ev) {
  if (!ev) return;
  // Asked outside the lock: an evaluator's own check may take its locks, and it may be registering meanwhile.
  bool settled = is_settled(ev);
  {
    std::lock_guard lock(entries_mutex_);
    auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.ev == ev; });
    if (found != entries_.end()) {
      if (settled) {
        entries_.erase(found);
      } else {
        found->leaving = true;
      }
    }
  }
  sweep_leaving();
}

bool RuntimeRegistry::contains(const evaluator::EvaluatorPtr& ev) const {
  std::lock_guard lock(entries_mutex_);
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.ev == ev; });
}

std::size_t RuntimeRegistry::size() const {
  std::lock_guard lock(entries_mutex_);
  return entries_.size();
}

void RuntimeRegistry::stop_all() {
  auto entries = snapshot();
  for (const auto& e : entries) stop_reporting(e.ev);
  auto start = Clock::now();
  std::vector<Settling> settling;
  for (const auto& e : entries) {
    if (auto deadline = settle_deadline_of(e.ev)) settling.push_back({e.ev, start + *deadline});
  }
  wait_for_all(std::move(settling));
  std::vector<evaluator::EvaluatorPtr> gone;
  for (const auto& e : entries) {
    if (is_settled(e.ev)) gone.push_back(e.ev);
  }
  remove(gone, false);
}

std::vector<RuntimeRegistry::Entry> RuntimeRegistry::snapshot() const {
  std::lock_guard lock(entries_mutex_);
  return entries_;
}

void RuntimeRegistry::remove(const std::vector<evaluator::EvaluatorPtr>& gone, bool only_leaving) {
  if (gone.empty()) return;
  std::vector<Entry> dropped;  // released after the lock: an evaluator's destructor may take a while
  {
    std::lock_guard lock(entries_mutex_);
    auto is_gone = [&](const Entry& e) {
      return (e.leaving || !only_leaving) && std::find(gone.begin(), gone.end(), e.ev) != gone.end();
    };
    auto kept = std::stable_partition(entries_.begin(), entries_.end(), [&](const Entry& e) { return !is_gone(e); });
    std::move(kept, entries_.end(), std::back_inserter(dropped));
    entries_.erase(kept, entries_.end());
  }
}

void RuntimeRegistry::sweep_leaving() {
  std::vector<evaluator::EvaluatorPtr> gone;
  for (const auto& e : snapshot()) {
    if (e.leaving && is_settled(e.ev)) gone.push_back(e.ev);
  }
  // Only those still leaving: one registered again meanwhile stays.
  remove(gone, true);
}

RuntimeRegistry& runtime_registry() {
  // Never destroyed: evaluators may still be registering from other threads while the process ends.
  static auto* registry = new RuntimeRegistry;
  return *registry;
}

}  // namespace orrery
