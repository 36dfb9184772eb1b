// The one orderly shutdown of the process: stop the agent listener, stop every runtime (bounded), flush, exit.
//
// It runs from the end of a mode (main thread) or from the termination-signal thread, whichever comes first, and
// only once. Termination signals are never handled inside a signal handler: they are blocked in every thread and
// taken by one thread that waits for them.
#pragma once

#include <memory>
#include <mutex>

#include "orrery/runtime_registry.hpp"

namespace orrery {

// The agent listener of a window, as shutdown sees it.
class Listener {
 public:
  virtual ~Listener() = default;
  virtual void stop() = 0;
};

// Holds the process's listener, if one runs.
class ListenerSlot {
 public:
  void set(std::shared_ptr<Listener> listener);
  // Empties the slot; answers what it held.
  std::shared_ptr<Listener> take();

 private:
  std::mutex mutex_;
  std::shared_ptr<Listener> listener_;  // guarded by mutex_
};

// The process-wide listener slot.
ListenerSlot& listener_slot();

// Stops the listener in `slot`, if any, and empties the slot. Idempotent; never throws: a failure prints
// "orrery: stopping the MCP listener failed:" and its message on standard error.
void stop_listener(ListenerSlot& slot);

// Stops every evaluator in `registry` and waits for those still settling, each bounded by its own settle deadline.
// Never throws: a failure prints "orrery: stopping every runtime failed:" and its message on standard error.
void stop_runtimes(RuntimeRegistry& registry);

// The shutdown steps, run once however many threads ask.
class Shutdown {
 public:
  Shutdown(ListenerSlot& listener, RuntimeRegistry& runtimes);

  // Runs stop_listener then stop_runtimes in the first caller and answers true there. Every other caller waits
  // until the steps are done and answers false.
  bool run();

 private:
  ListenerSlot& listener_;
  RuntimeRegistry& runtimes_;
  std::once_flag once_;
};

// Ends the process with `status` after the process-wide shutdown (listener_slot, runtime_registry). Only the first
// caller's status counts; a later caller waits for the process to end.
[[noreturn]] void shut_down_and_exit(int status);

// Ignores SIGPIPE process-wide and blocks SIGTERM, SIGINT and SIGHUP in the calling thread, so in every thread
// started after it. Call first thing in main, before any thread starts.
void block_termination_signals();

// Starts the thread that waits for SIGTERM, SIGINT or SIGHUP and then ends the process through shut_down_and_exit
// with 128 + the signal number. A second signal while that shutdown runs ends the process at once.
void start_signal_thread();

}  // namespace orrery
