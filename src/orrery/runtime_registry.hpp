// The registry of runtimes this process started, so that shutdown can stop every one of them.
//
// A runtime is registered once it runs; a runtime whose start is still in flight is registered as "starting" with a
// future that answers it. stop_all stops the running ones and waits, bounded, for the starting ones to finish before
// stopping them too.
#pragma once

#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>

namespace orrery {

// Anything shutdown must stop: an evaluator, a child runtime, a connection.
class Stoppable {
 public:
  virtual ~Stoppable() = default;
  // Stops the runtime. May throw; stop_all carries on with the others.
  virtual void stop() = 0;
};

class RuntimeRegistry {
 public:
  using Id = std::uint64_t;
  // Answers the runtime once started; a null pointer or an exception means the start failed.
  using Starting = std::shared_future<std::shared_ptr<Stoppable>>;

  Id add(std::shared_ptr<Stoppable> runtime);
  Id add_starting(Starting starting);
  // Forgets an entry (a runtime that ended by itself, or a start that was registered again with add once done).
  void remove(Id id);
  std::size_t size() const;

  // Takes every entry out of the registry and stops it: running ones at once, starting ones as soon as their start
  // finishes, waiting no longer than `wait` in all for those. A start still in flight after that is left behind.
  // Every runtime is tried; the first exception from a stop is rethrown after the rest were stopped.
  void stop_all(std::chrono::milliseconds wait);

 private:
  struct Entry {
    std::shared_ptr<Stoppable> runtime;  // null while starting
    Starting starting;
  };

  mutable std::mutex mutex_;
  Id next_id_ = 1;                // guarded by mutex_
  std::map<Id, Entry> entries_;   // guarded by mutex_
};

// The process-wide registry.
RuntimeRegistry& runtime_registry();

}  // namespace orrery
