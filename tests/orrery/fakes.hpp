// Test doubles for what shutdown stops: the agent listener and evaluators.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "orrery/evaluator.hpp"
#include "orrery/runtime_registry.hpp"
#include "orrery/shutdown.hpp"

namespace orrery::testing {

// Counts its stops; optionally takes a while, throws, or writes a marker line to a descriptor.
template <class Base>
class FakeStoppable : public Base {
 public:
  std::atomic<int> stops{0};
  std::chrono::milliseconds takes{0};
  std::string throws;      // non-empty: stop throws std::runtime_error with this message
  int marker_fd = -1;      // >= 0: stop writes marker there
  std::string marker;

  void stop() override {
    ++stops;
    if (takes.count() > 0) std::this_thread::sleep_for(takes);
    if (marker_fd >= 0) {
      [[maybe_unused]] auto written = ::write(marker_fd, marker.data(), marker.size());
    }
    if (!throws.empty()) throw std::runtime_error(throws);
  }
};

using FakeListener = FakeStoppable<Listener>;

// An evaluator that runs nothing: it counts its stops and settles when told to. With a settle_time it is one that
// stop_all waits for (as a child process's evaluator), else one never waited on (as the in-process session).
class FakeEvaluator : public FakeStoppable<evaluator::Evaluator> {
 public:
  std::atomic<bool> settled{true};
  std::optional<std::chrono::milliseconds> settle_time;

  std::optional<std::string> start() override { return std::nullopt; }
  std::optional<std::string> eval(std::string, evaluator::EvalOptions) override { return std::nullopt; }
  void interrupt() override {}
  bool is_evaluating() override { return false; }
  bool is_waiting_for_input() override { return false; }
  void send_input(std::string_view) override {}
  void send_eof() override {}
  eval::SharedHistory& history() override { return history_; }
  std::string prompt_ns() override { return "user"; }
  void set_mode(evaluator::Mode) override {}
  kelp::Value complete(const evaluator::CompleteRequest&) override { return {}; }
  kelp::Value lookup(std::string_view, int64_t) override { return {}; }
  std::vector<std::string> limitations() override { return {}; }
  bool is_settled() override { return settled; }
  std::optional<std::chrono::milliseconds> settle_deadline() override { return settle_time; }

 private:
  eval::SharedHistory history_;
};

}  // namespace orrery::testing
