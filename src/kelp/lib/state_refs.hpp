// Reference values: atoms, agents, volatiles, delays, promises and futures (all Kind::Reference).
//
// Each guards its state with its own mutex and never calls Clojure code while holding it: swap! reads, computes
// outside the lock, then installs its result only if nobody changed the cell meanwhile (and retries otherwise).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "kelp/data/value.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/thread.hpp"

namespace kelp::lib {

class Reference : public Object {
 public:
  enum class Type : uint8_t { Atom, Volatile, Delay, Promise, Future, Agent, Ref };
  Reference(Type t, Value meta) : Object(Kind::Reference, 0), type_(t), meta_(std::move(meta)) {}
  Type ref_type() const { return type_; }
  virtual Value deref() const = 0;
  // What #object[...] shows: {:status :ready|:pending|:failed, :val v}.
  virtual Value status_map() const = 0;
  Value meta() const override;
  void reset_meta(Value m) const;  // reset-meta! / alter-meta!

 private:
  Type type_;
  mutable std::mutex meta_mutex_;
  mutable Value meta_;
};

// The reference behind v, or null when v is not one of the given type.
const Reference* as_reference(const Value& v, Reference::Type t);

// Runs a reference's validator on a candidate state: a false answer is IllegalStateException "Invalid reference
// state"; a RuntimeException or Error from the validator passes through and any other exception becomes that same
// IllegalStateException's cause, as the JVM's references do.
void validate_state(const Value& validator, const Value& v);
// Calls each watch (key ref old new) of a map of key -> fn (or nil).
void notify_watches(const Value& watches, const Value& ref, const Value& old_v, const Value& new_v);

class Atom final : public Reference {
 public:
  Atom(Value v, Value meta, Value validator);
  Value deref() const override;
  Value status_map() const override;
  // (swap! a f args...): answers the old and new values.
  std::pair<Value, Value> swap(const Value& f, rt::Args args) const;
  std::pair<Value, Value> reset(Value v) const;
  bool compare_and_set(const Value& expected, Value v) const;
  void add_watch(Value key, Value fn) const;
  void remove_watch(const Value& key) const;
  void set_validator(Value fn) const;  // validates the current value first
  Value validator() const;
  std::string_view type_name() const override { return "clojure.lang.Atom"; }

 private:
  mutable std::mutex mutex_;
  mutable Value val_, validator_, watches_;  // watches_: a map of key -> fn, or nil
};

// An agent: a state changed by actions that run one at a time, in the order they were sent, on worker threads.
// A failing action leaves the state as it was and, in :fail mode, stops the agent until restart-agent; sends made
// by an action are held until it succeeds.
class Agent final : public Reference {
 public:
  Agent(Value state, Value meta, Value validator, Value handler, bool continue_on_error);
  Value deref() const override;
  Value status_map() const override;
  // (send a f args...): queues the action, or holds it when called from inside another agent's action. Throws
  // RuntimeException "Agent is failed, needs restart" while the agent is failed.
  void send(Value fn, std::vector<Value> args) const;
  Value error() const;
  // (restart-agent a state :clear-actions c): answers the new state.
  Value restart(Value state, bool clear_actions) const;
  void add_watch(Value key, Value fn) const;
  void remove_watch(const Value& key) const;
  void set_validator(Value fn) const;
  Value validator() const;
  void set_error_handler(Value fn) const;
  Value error_handler() const;
  void set_continue_on_error(bool c) const;
  bool continue_on_error() const;
  std::string_view type_name() const override { return "clojure.lang.Agent"; }

  struct Action {
    Value agent, fn;
    std::vector<Value> args;
    rt::FramePtr frames;
  };
  // Queues an action without the checks of send (the held sends of a finished action).
  static void enqueue(Action a);

 private:
  void run_queue() const;
  void run_action(const Action& a) const;
  mutable std::mutex mutex_;
  mutable std::deque<Action> queue_;
  mutable bool running_ = false, continue_ = false;
  mutable Value val_, error_, validator_, watches_, handler_;
};

class Volatile final : public Reference {
 public:
  explicit Volatile(Value v) : Reference(Type::Volatile, {}), val_(std::move(v)) {}
  Value deref() const override;
  Value status_map() const override;
  Value reset(Value v) const;
  std::string_view type_name() const override { return "clojure.lang.Volatile"; }

 private:
  mutable std::mutex mutex_;
  mutable Value val_;
};

// (delay body): the body runs once, on the first deref; a throw is remembered and rethrown by every deref.
class Delay final : public Reference {
 public:
  explicit Delay(Value thunk) : Reference(Type::Delay, {}), thunk_(std::move(thunk)) {}
  Value deref() const override;
  Value status_map() const override;
  bool realized() const;
  std::string_view type_name() const override { return "clojure.lang.Delay"; }

 private:
  mutable std::recursive_mutex mutex_;  // held while the body runs; the same thread may deref again
  mutable Value thunk_, val_, error_;
  mutable bool realized_ = false;
};

// The shared part of promises and futures: a value that arrives once, waited for interruptibly.
class Pending : public Reference {
 public:
  using Reference::Reference;
  Value deref() const override;
  // (deref p ms timeout-val)
  Value deref_within(std::chrono::milliseconds ms, const Value& timeout_val) const;
  Value status_map() const override;
  bool realized() const;

 protected:
  enum class State : uint8_t { Waiting, Ready, Failed, Cancelled };
  // Moves from Waiting to s; false when already settled.
  bool settle(State s, Value v) const;
  Value outcome_locked() const;  // the value, or throws the failure
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  mutable State state_ = State::Waiting;
  mutable Value val_;
};

class Promise final : public Pending {
 public:
  Promise() : Pending(Type::Promise, {}) {}
  bool deliver(Value v) const { return settle(State::Ready, std::move(v)); }
  std::string_view type_name() const override { return "clojure.core$promise$reify__8591"; }
};

// A future runs its function on a worker thread with its creator's dynamic bindings. A throw from the body
// reaches deref wrapped in java.util.concurrent.ExecutionException; cancelling fires the worker's interrupt token.
class Future final : public Pending {
 public:
  Future() : Pending(Type::Future, {}), token_(std::make_shared<rt::InterruptToken>()) {}
  static Value start(Value fn);
  bool cancel() const;
  bool cancelled() const;
  bool done() const { return realized(); }
  std::string_view type_name() const override { return "clojure.core$future_call$reify__8544"; }

 private:
  rt::TokenPtr token_;
};

// A ref: a state changed only inside dosync. Transactions take one process-wide lock, so they run one at a time
// and never retry; a transaction that throws puts back every ref it changed.
class Ref final : public Reference {
 public:
  Ref(Value v, Value meta, Value validator);
  Value deref() const override;
  Value status_map() const override;
  // alter, commute, ref-set: the new value. Throws IllegalStateException "No transaction running" outside dosync.
  Value alter(const Value& f, rt::Args args) const;
  Value set(Value v) const;
  void add_watch(Value key, Value fn) const;
  void remove_watch(const Value& key) const;
  void set_validator(Value fn) const;
  Value validator() const;
  std::string_view type_name() const override { return "clojure.lang.Ref"; }

 private:
  friend Value run_in_transaction(const Value& thunk);
  mutable std::mutex mutex_;
  mutable Value val_, validator_, watches_;
};

// (dosync body): runs the thunk as a transaction (or inside the one already running on this thread).
Value run_in_transaction(const Value& thunk);
bool in_transaction();

// Ties a thunk's run to a per-object lock (locking): a striped table of recursive mutexes keyed by the object.
Value call_locked(const Value& lockee, const Value& thunk);

}  // namespace kelp::lib
