// Test doubles for what shutdown stops.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

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

using FakeRuntime = FakeStoppable<Stoppable>;
using FakeListener = FakeStoppable<Listener>;

}  // namespace orrery::testing
