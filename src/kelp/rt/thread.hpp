// What the runtime keeps per thread: the interrupt token of the running evaluation, dynamic bindings, and the
// stack guard that turns deep recursion into a catchable StackOverflowError.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kelp/data/value.hpp"

namespace kelp::rt {

class Var;

// ---------------------------------------------------------------------------------------------------------------
// Interrupts. Each evaluation has a token; another thread fires it. Running code notices at safe points (function
// entry, loop back-edges, lazy-sequence steps) and in every blocking wait, and throws an InterruptedException whose
// ex-data is {:kelp/interrupted true}. Once fired, a token stays fired: every later safe point throws again, so a
// `catch` inside a loop cannot swallow a Stop.
class InterruptToken {
 public:
  void fire();
  bool fired() const { return fired_.load(std::memory_order_relaxed); }
  // Waits until pred() holds, the token fires or the deadline passes, whichever is first; answers pred().
  // Whoever makes pred() true must call notify() (or notify the token's waiters some other way).
  template <class Pred>
  bool wait_until(Pred pred, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_until(lock, deadline, [&] { return fired() || pred(); });
    return pred();
  }
  void notify();
  std::mutex& mutex() { return mutex_; }

 private:
  std::atomic<bool> fired_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
};
using TokenPtr = std::shared_ptr<InterruptToken>;

// The token of the evaluation running on this thread (null when nothing can interrupt it).
TokenPtr current_token();
// Installs a token for this thread for the life of the guard.
class TokenScope {
 public:
  explicit TokenScope(TokenPtr t);
  ~TokenScope();
  TokenScope(const TokenScope&) = delete;
  TokenScope& operator=(const TokenScope&) = delete;

 private:
  TokenPtr saved_;
};

namespace detail {
extern thread_local InterruptToken* tl_token;
extern thread_local char* tl_stack_limit;
[[noreturn]] void throw_interrupted();
[[noreturn]] void throw_stack_overflow();
char* compute_stack_limit();
}  // namespace detail

// Throws the interrupted exception when this thread's token has fired.
inline void safe_point() {
  InterruptToken* t = detail::tl_token;
  if (t && t->fired()) detail::throw_interrupted();
}
// Throws StackOverflowError when the C++ stack is nearly used up. Called at function entry and other recursion.
inline void check_stack() {
  char here;
  char* limit = detail::tl_stack_limit;
  if (!limit) limit = detail::compute_stack_limit();
  if (&here < limit) detail::throw_stack_overflow();
}
// The exception value an interrupt throws (InterruptedException, ex-data {:kelp/interrupted true}).
Value interrupted_exception();
bool is_interrupted_exception(const Value& ex);

// Sleeps, waking early (with the interrupted exception) when this thread's token fires.
void interruptible_sleep(std::chrono::milliseconds ms);
// Waits on cv/lock until pred holds; wakes on the token too (polling it at least every 10 ms) and then throws the
// interrupted exception. The general form for blocking waits on objects other than the token.
void interruptible_wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                        const std::function<bool()>& pred);
// As above with a deadline; answers pred() at the end.
bool interruptible_wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                              const std::function<bool()>& pred, std::chrono::steady_clock::time_point deadline);

// ---------------------------------------------------------------------------------------------------------------
// Dynamic bindings. A frame holds the bindings of one `binding` form and points at the frame outside it; frames are
// shared with futures started inside (binding conveyance).
struct BindingFrame {
  struct Entry {
    Var* var;
    Value val;  // set! changes it in place
  };
  std::vector<Entry> entries;
  std::shared_ptr<BindingFrame> parent;
  std::thread::id owner;  // set! from another thread is refused, as on the JVM
};
using FramePtr = std::shared_ptr<BindingFrame>;

FramePtr current_bindings();
// Pushes bindings for this thread (var, value pairs) until the scope ends. Vars must be dynamic (otherwise
// IllegalStateException "Can't dynamically bind non-dynamic var: user/x").
class BindingScope {
 public:
  explicit BindingScope(std::vector<BindingFrame::Entry> entries);
  ~BindingScope();
  BindingScope(const BindingScope&) = delete;
  BindingScope& operator=(const BindingScope&) = delete;

 private:
  FramePtr frame_;
};
// Replaces this thread's whole binding stack (binding conveyance: a future runs with its creator's frames).
class ConveyScope {
 public:
  explicit ConveyScope(FramePtr frames);
  ~ConveyScope();
  ConveyScope(const ConveyScope&) = delete;
  ConveyScope& operator=(const ConveyScope&) = delete;

 private:
  FramePtr saved_;
  std::vector<Var*> counted_;
};
// The entry binding var on this thread, or null.
BindingFrame::Entry* find_binding(const Var* var);
// (get-thread-bindings) as a map of var -> value.
Value thread_bindings_map();

// Starts a thread with a large stack (default 64 MiB) for running Clojure code. The body runs with the given
// token and conveyed bindings; exceptions never escape it.
void start_worker(std::function<void()> body, size_t stack_bytes = 64u << 20);

}  // namespace kelp::rt
