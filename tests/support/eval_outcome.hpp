// What one evaluation's callbacks saw: its output, each flip of its wait for input, and its result. The object
// must outlive the evaluation (the callbacks hold a pointer to it).
#pragma once

#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "orrery/evaluator.hpp"

namespace orrery::testing {

struct EvalOutcome {
  std::mutex mutex;
  std::string out;                     // every stream, in arrival order
  std::vector<bool> waits;             // guarded by mutex
  std::function<void(bool)> on_wait;   // also told of each flip, when set
  std::promise<eval::Result> done;

  evaluator::EvalOptions options() {
    evaluator::EvalOptions o;
    o.on_output = [this](eval::OutputKind, std::string_view s) {
      std::lock_guard lock(mutex);
      out += s;
    };
    o.on_wait_input = [this](bool w) {
      {
        std::lock_guard lock(mutex);
        waits.push_back(w);
      }
      if (on_wait) on_wait(w);
    };
    o.on_complete = [this](const eval::Result& r) { done.set_value(r); };
    return o;
  }
  std::string output() {
    std::lock_guard lock(mutex);
    return out;
  }
};

}  // namespace orrery::testing
