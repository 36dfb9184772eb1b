// The registry of every evaluator this process made, so that shutdown can stop them all and wait, bounded, for any
// that may still be tearing itself down.
//
// An evaluator is registered once per make, and unregistered once stop() has run on it. stop() never blocks on a
// start in flight, so the evaluator may still be settling then: it stays registered (stop_all must still stop and
// wait for it) and is only marked as leaving; the registry drops it at its next change once it has settled.
#pragma once

#include <chrono>
#include <mutex>
#include <string_view>
#include <vector>

#include "orrery/evaluator.hpp"

namespace orrery {

// The line stop_all writes on standard error, before the message, for each evaluator whose stop threw.
inline constexpr std::string_view STOP_RUNTIMES_FAILED = "orrery: stopping every runtime failed:";

// How often wait_until_settled and stop_all look again.
inline constexpr std::chrono::milliseconds SETTLE_POLL{20};

// True once stop() on ev cannot still be tearing anything down. A throwing check counts as settled: there is
// nothing more the registry could do for it.
bool is_settled(const evaluator::EvaluatorPtr& ev);

// Looks at is_settled every SETTLE_POLL until it is true or `deadline` has passed since the call; answers it.
bool wait_until_settled(const evaluator::EvaluatorPtr& ev, std::chrono::milliseconds deadline);

class RuntimeRegistry {
 public:
  // Registering the same evaluator again keeps one entry (and clears a pending unregister).
  void register_evaluator(evaluator::EvaluatorPtr ev);
  // Removes ev once it has settled; until then ev stays registered and leaves at the first change of the registry
  // that finds it settled. Safe for an evaluator never registered, and twice.
  void unregister(const evaluator::EvaluatorPtr& ev);
  bool contains(const evaluator::EvaluatorPtr& ev) const;
  std::size_t size() const;

  // Calls stop() on every registered evaluator (a throw is one line on standard error and spares no other), then
  // waits for those with a settle_deadline to settle, each no longer than its own deadline, all at once, so the
  // whole wait is bounded by the largest. Evaluators that settled leave the registry. Never throws out of a stop.
  void stop_all();

 private:
  struct Entry {
    evaluator::EvaluatorPtr ev;
    bool leaving = false;  // unregister was asked while ev was still settling
  };

  std::vector<Entry> snapshot() const;
  // Drops the given evaluators from the registry (with only_leaving, those still marked as leaving).
  void remove(const std::vector<evaluator::EvaluatorPtr>& gone, bool only_leaving);
  // Drops every leaving evaluator that has settled by now.
  void sweep_leaving();

  mutable std::mutex entries_mutex_;
  std::vector<Entry> entries_;  // guarded by entries_mutex_; in order of registration
};

// The process-wide registry.
RuntimeRegistry& runtime_registry();

}  // namespace orrery
