#include "orrery/runtime_registry.hpp"

#include <exception>
#include <utility>
#include <vector>

namespace orrery {

namespace {

// A started runtime, or null when the start failed or has not finished by `deadline`.
std::shared_ptr<Stoppable> started_by(const RuntimeRegistry::Starting& starting,
                                      std::chrono::steady_clock::time_point deadline) {
  if (!starting.valid() || starting.wait_until(deadline) != std::future_status::ready) return nullptr;
  try {
    return starting.get();
  } catch (...) {
    return nullptr;  // a start that failed left nothing to stop
  }
}

}  // namespace

RuntimeRegistry::Id RuntimeRegistry::add(std::shared_ptr<Stoppable> runtime) {
  std::lock_guard lock(mutex_);
  Id id = next_id_++;
  entries_.emplace(id, Entry{std::move(runtime), {}});
  return id;
}

RuntimeRegistry::Id RuntimeRegistry::add_starting(Starting starting) {
  std::lock_guard lock(mutex_);
  Id id = next_id_++;
  entries_.emplace(id, Entry{nullptr, std::move(starting)});
  return id;
}

void RuntimeRegistry::remove(Id id) {
  std::lock_guard lock(mutex_);
  entries_.erase(id);
}

std::size_t RuntimeRegistry::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void RuntimeRegistry::stop_all(std::chrono::milliseconds wait) {
  std::map<Id, Entry> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(entries_);
  }
  std::exception_ptr first_failure;
  auto stop = [&](const std::shared_ptr<Stoppable>& runtime) {
    if (!runtime) return;
    try {
      runtime->stop();
    } catch (...) {
      if (!first_failure) first_failure = std::current_exception();
    }
  };
  std::vector<Starting> starting;
  for (auto& [id, entry] : taken) {
    if (entry.runtime) {
      stop(entry.runtime);
    } else {
      starting.push_back(entry.starting);
    }
  }
  auto deadline = std::chrono::steady_clock::now() + wait;
  for (auto& start : starting) stop(started_by(start, deadline));
  if (first_failure) std::rethrow_exception(first_failure);
}

RuntimeRegistry& runtime_registry() {
  // Never destroyed: runtimes may still be registering from other threads while the process ends.
  static auto* registry = new RuntimeRegistry;
  return *registry;
}

}  // namespace orrery
