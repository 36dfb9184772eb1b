#include "orrery/shutdown.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <utility>

#include "orrery/failure.hpp"

namespace orrery {

namespace {


void report(const char* sentence, std::exception_ptr failure) {
  std::string line = std::string(sentence) + " " + failure_message(failure) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

sigset_t termination_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

[[noreturn]] void wait_for_the_end() {
  for (;;) ::pause();
}

[[noreturn]] void flush_and_exit(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  // _exit, not exit: other threads (evaluators, connection readers, the GTK loop) may still be running and touching
  // static objects, and exit() would destroy those statics under them. Everything that must outlive the process has
  // been stopped by the shutdown steps and the standard streams are flushed by hand above.
  ::_exit(status);
}

void on_termination_signal(int signal_number) {
  // The shutdown runs on its own thread so that this one can keep listening: a second signal means "now".
  std::thread([signal_number] { shut_down_and_exit(128 + signal_number); }).detach();
}

}  // namespace

void ListenerSlot::set(std::shared_ptr<Listener> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

std::shared_ptr<Listener> ListenerSlot::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(listener_, nullptr);
}

ListenerSlot& listener_slot() {
  // Never destroyed, for the same reason the process ends with _exit.
  static auto* slot = new ListenerSlot;
  return *slot;
}

void stop_listener(ListenerSlot& slot) {
  try {
    if (auto listener = slot.take()) listener->stop();
  } catch (...) {
    report("orrery: stopping the MCP listener failed:", std::current_exception());
  }
}

void stop_runtimes(RuntimeRegistry& registry) {
  try {
    registry.stop_all();
  } catch (...) {
    report(STOP_RUNTIMES_FAILED.data(), std::current_exception());
  }
}

Shutdown::Shutdown(ListenerSlot& listener, RuntimeRegistry& runtimes) : listener_(listener), runtimes_(runtimes) {}

bool Shutdown::run() {
  bool ran_here = false;
  std::call_once(once_, [&] {
    stop_listener(listener_);
    stop_runtimes(runtimes_);
    ran_here = true;
  });
  return ran_here;
}

void shut_down_and_exit(int status) {
  static std::atomic<bool> ending{false};
  if (ending.exchange(true)) wait_for_the_end();
  static auto* shutdown = new Shutdown(listener_slot(), runtime_registry());
  shutdown->run();
  flush_and_exit(status);
}

void block_termination_signals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
  sigset_t set = termination_signals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void start_signal_thread() {
  std::thread([] {
    sigset_t set = termination_signals();
    bool shutting_down = false;
    for (;;) {
      int signal_number = 0;
      if (::sigwait(&set, &signal_number) != 0) continue;
      if (shutting_down) ::_exit(128 + signal_number);
      shutting_down = true;
      on_termination_signal(signal_number);
    }
  }).detach();
}

}  // namespace orrery
