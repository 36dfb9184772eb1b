#include "kelp/lib/state_refs.hpp"

#include <array>
#include <exception>
#include <functional>
#include <string>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib {

namespace {

Value status(std::string_view s, Value v) { return make_map({keyword("status"), keyword(s), keyword("val"), std::move(v)}); }

// The exception in flight, as a value.
Value caught() { return rt::as_throwable(std::current_exception()); }

// Throwable.toString: "java.lang.ArithmeticException: Divide by zero", with an ExceptionInfo's data after it.
std::string throwable_text(const Value& ex) {
  const rt::Throwable& t = rt::throwable(ex);
  std::string s = t.cls().name;
  if (!t.message().is_nil()) {
    s += ": ";
    s += str_view(t.message());
  }
  if (!t.data().is_nil()) {
    s += ' ';
    s += pr_str(t.data());
  }
  return s;
}

}  // namespace

Value Reference::meta() const {
  std::lock_guard<std::mutex> lock(meta_mutex_);
  return meta_;
}

void Reference::reset_meta(Value m) const {
  std::lock_guard<std::mutex> lock(meta_mutex_);
  meta_ = std::move(m);
}

const Reference* as_reference(const Value& v, Reference::Type t) {
  if (!v.is(Kind::Reference)) return nullptr;
  const auto& r = v.as<Reference>();
  return r.ref_type() == t ? &r : nullptr;
}

// --- Atom

Atom::Atom(Value v, Value meta, Value validator)
    : Reference(Type::Atom, std::move(meta)), val_(std::move(v)), validator_(std::move(validator)) {
  validate_state(validator_, val_);
}

Value Atom::deref() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return val_;
}

Value Atom::status_map() const { return status("ready", deref()); }

void validate_state(const Value& validator, const Value& v) {
  if (validator.is_nil()) return;
  bool ok = false;
  try {
    ok = rt::call(validator, {v}).truthy();
  } catch (...) {
    Value ex = caught();
    const rt::ExceptionClass* cls = &rt::throwable(ex).cls();
    if (rt::is_subclass(cls, rt::exception_class("java.lang.RuntimeException")) ||
        rt::is_subclass(cls, rt::exception_class("java.lang.Error")) || rt::is_interrupted_exception(ex))
      throw;
    rt::throw_value(rt::make_throwable(rt::exception_class("java.lang.IllegalStateException"),
                                       make_string("Invalid reference state"), NIL, ex));
  }
  if (!ok) rt::throw_illegal_state("Invalid reference state");
}

void notify_watches(const Value& watches, const Value& ref, const Value& old_v, const Value& new_v) {
  if (watches.is_nil()) return;
  watches.obj()->each_entry([&](const Value& key, const Value& fn) {
    rt::call(fn, {key, ref, old_v, new_v});
    return true;
  });
}

std::pair<Value, Value> Atom::swap(const Value& f, rt::Args args) const {
  // f's arguments: the current value first, then args. A small stack array serves the common arities.
  std::array<Value, 4> small;
  std::vector<Value> large;
  Value* argv = small.data();
  if (args.size() + 1 > small.size()) {
    large.resize(args.size() + 1);
    argv = large.data();
  }
  for (size_t i = 0; i < args.size(); ++i) argv[i + 1] = args[i];
  rt::Args call_args(argv, args.size() + 1);
  for (;;) {
    Value old_v, validator;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      old_v = val_;
      validator = validator_;
    }
    argv[0] = old_v;
    Value new_v = rt::call(f, call_args);
    validate_state(validator, new_v);
    Value watches;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!val_.identical(old_v)) continue;  // changed meanwhile: run f again on the newer value
      val_ = new_v;
      watches = watches_;
    }
    notify_watches(watches, Value::share(this), old_v, new_v);
    return {std::move(old_v), std::move(new_v)};
  }
}

std::pair<Value, Value> Atom::reset(Value v) const {
  Value validator;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    validator = validator_;
  }
  validate_state(validator, v);
  Value old_v, watches;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old_v = val_;
    val_ = v;
    watches = watches_;
  }
  notify_watches(watches, Value::share(this), old_v, v);
  return {std::move(old_v), std::move(v)};
}

bool Atom::compare_and_set(const Value& expected, Value v) const {
  Value validator;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    validator = validator_;
  }
  validate_state(validator, v);
  Value old_v, watches;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!val_.identical(expected)) return false;
    old_v = val_;
    val_ = v;
    watches = watches_;
  }
  notify_watches(watches, Value::share(this), old_v, v);
  return true;
}

void Atom::add_watch(Value key, Value fn) const {
  std::lock_guard<std::mutex> lock(mutex_);
  watches_ = assoc(watches_.is_nil() ? empty_map() : watches_, std::move(key), std::move(fn));
}

void Atom::remove_watch(const Value& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!watches_.is_nil()) watches_ = dissoc(watches_, key);
}

void Atom::set_validator(Value fn) const {
  validate_state(fn, deref());
  std::lock_guard<std::mutex> lock(mutex_);
  validator_ = std::move(fn);
}

Value Atom::validator() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return validator_;
}

// --- Volatile

Value Volatile::deref() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return val_;
}

Value Volatile::status_map() const { return status("ready", deref()); }

Value Volatile::reset(Value v) const {
  std::lock_guard<std::mutex> lock(mutex_);
  val_ = v;
  return v;
}

// --- Delay

Value Delay::deref() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!realized_) {
    Value thunk = thunk_;
    try {
      val_ = rt::call(thunk);
    } catch (...) {
      Value ex = caught();
      // A Stop is not the body's outcome: the next deref runs the body again.
      if (rt::is_interrupted_exception(ex)) throw;
      error_ = ex;
    }
    realized_ = true;
    thunk_ = NIL;  // let the closure go
  }
  if (!error_.is_nil()) rt::throw_value(error_);
  return val_;
}

bool Delay::realized() const {
  std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
  // A delay whose body is running on another thread is not realized yet.
  return lock.owns_lock() && realized_;
}

Value Delay::status_map() const {
  std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !realized_) return status("pending", NIL);
  if (!error_.is_nil()) return status("failed", error_);
  return status("ready", val_);
}

// --- Promises and futures

bool Pending::settle(State s, Value v) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::Waiting) return false;
    state_ = s;
    val_ = std::move(v);
  }
  cv_.notify_all();
  return true;
}

Value Pending::outcome_locked() const {
  switch (state_) {
    case State::Ready: return val_;
    case State::Failed:
      rt::throw_value(rt::make_throwable(rt::exception_class("java.util.concurrent.ExecutionException"),
                                         make_string(throwable_text(val_)), NIL, val_));
    case State::Cancelled:
      rt::throw_value(rt::make_throwable(rt::exception_class("java.util.concurrent.CancellationException"), NIL));
    case State::Waiting: break;
  }
  return NIL;
}

Value Pending::deref() const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ == State::Waiting) rt::interruptible_wait(lock, cv_, [this] { return state_ != State::Waiting; });
  return outcome_locked();
}

Value Pending::deref_within(std::chrono::milliseconds ms, const Value& timeout_val) const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ == State::Waiting &&
      !rt::interruptible_wait_until(lock, cv_, [this] { return state_ != State::Waiting; },
                                    std::chrono::steady_clock::now() + ms))
    return timeout_val;
  return outcome_locked();
}

bool Pending::realized() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ != State::Waiting;
}

Value Pending::status_map() const {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (state_) {
    case State::Waiting: return status("pending", NIL);
    case State::Ready: return status("ready", val_);
    case State::Failed: return status("failed", val_);
    case State::Cancelled: return status("failed", NIL);
  }
  return NIL;
}

Value Future::start(Value fn) {
  auto* fut = new Future();
  Value handle = Value::adopt(fut);
  rt::FramePtr frames = rt::current_bindings();
  rt::start_worker([handle, fn = std::move(fn), frames = std::move(frames)] {
    const Future& self = handle.as<Future>();
    rt::TokenScope token(self.token_);
    rt::ConveyScope bindings(frames);
    try {
      self.settle(State::Ready, rt::call(fn));
    } catch (...) {
      self.settle(State::Failed, caught());  // no effect once cancelled
    }
  });
  return handle;
}

bool Future::cancel() const {
  if (!settle(State::Cancelled, NIL)) return false;
  token_->fire();  // the body stops at its next safe point or blocking wait
  return true;
}

bool Future::cancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == State::Cancelled;
}

// --- locking

namespace {

constexpr size_t LOCK_STRIPES = 256;

// A recursive monitor whose waiters wake every 10 ms to look at their interrupt token, so that a Stop reaches a
// thread queued on the lock. (Built on mutex + condition variable rather than a timed mutex, which the thread
// sanitizer cannot follow.)
class Monitor {
 public:
  void enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    auto me = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == me) {
      ++depth_;
      return;
    }
    while (depth_ > 0) {
      cv_.wait_for(lock, std::chrono::milliseconds(10));
      if (depth_ > 0) {
        lock.unlock();
        rt::safe_point();
        lock.lock();
      }
    }
    owner_ = me;
    depth_ = 1;
  }
  void exit() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (--depth_ > 0) return;
      owner_ = {};
    }
    cv_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::thread::id owner_;
  int depth_ = 0;
};

Monitor& monitor_for(const Value& v) {
  static std::array<Monitor, LOCK_STRIPES> stripes;
  size_t h = v.is_obj() ? reinterpret_cast<uintptr_t>(v.obj()) >> 4 : static_cast<uint32_t>(hash(v));
  h ^= h >> 8;
  return stripes[h % LOCK_STRIPES];
}

struct Held {
  Monitor& m;
  ~Held() { m.exit(); }
};

}  // namespace

Value call_locked(const Value& lockee, const Value& thunk) {
  if (lockee.is_nil()) rt::throw_null_pointer("Cannot enter synchronized block because \"lockee\" is null");
  Monitor& m = monitor_for(lockee);
  m.enter();
  Held held{m};
  return rt::call(thunk);
}

}  // namespace kelp::lib
