// Agents: clojure.core's send, send-off, await, the error modes and handlers, restart-agent, and the tap queue
// (add-tap, remove-tap, tap>), which is an agent-like single consumer of its own.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/num_ops.hpp"
#include "kelp/lib/state_refs.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

namespace {

using rt::Args;

rt::Var* agent_var = nullptr;  // *agent*, bound while an action runs

// The sends an action makes, held until it returns (null when this thread runs no action).
thread_local std::vector<Agent::Action>* tl_held = nullptr;

Value caught() { return rt::as_throwable(std::current_exception()); }

Value status(std::string_view s, Value v) { return make_map({keyword("status"), keyword(s), keyword("val"), std::move(v)}); }

}  // namespace

Agent::Agent(Value state, Value meta, Value validator, Value handler, bool continue_on_error)
    : Reference(Type::Agent, std::move(meta)),
      continue_(continue_on_error),
      val_(std::move(state)),
      validator_(std::move(validator)),
      handler_(std::move(handler)) {
  validate_state(validator_, val_);
}

Value Agent::deref() const {
  std::lock_guard lock(mutex_);
  return val_;
}

Value Agent::status_map() const {
  std::lock_guard lock(mutex_);
  return error_.is_nil() ? status("ready", val_) : status("failed", val_);
}

Value Agent::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void Agent::send(Value fn, std::vector<Value> args) const {
  {
    std::lock_guard lock(mutex_);
    if (!error_.is_nil())
      rt::throw_value(rt::make_throwable(rt::exception_class("java.lang.RuntimeException"),
                                         make_string("Agent is failed, needs restart"), NIL, error_));
  }
  Action a{Value::share(this), std::move(fn), std::move(args), rt::current_bindings()};
  if (tl_held) tl_held->push_back(std::move(a));
  else enqueue(std::move(a));
}

void Agent::enqueue(Action a) {
  const Agent& self = a.agent.as<Agent>();
  bool start = false;
  {
    std::lock_guard lock(self.mutex_);
    self.queue_.push_back(std::move(a));
    if (!self.running_ && self.error_.is_nil()) start = self.running_ = true;
  }
  if (start) {
    Value handle = Value::share(&self);
    rt::start_worker([handle] { handle.as<Agent>().run_queue(); });
  }
}

// Runs the queued actions one after another until the queue is empty or the agent fails.
void Agent::run_queue() const {
  for (;;) {
    Action a;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty() || !error_.is_nil()) {
        running_ = false;
        return;
      }
      a = std::move(queue_.front());
      queue_.pop_front();
    }
    run_action(a);
  }
}

void Agent::run_action(const Action& a) const {
  rt::ConveyScope bindings(a.frames);
  std::vector<Action> held;
  Value error;
  {
    rt::BindingScope agent_binding({{agent_var, a.agent}});
    tl_held = &held;
    try {
      Value old_v, validator;
      {
        std::lock_guard lock(mutex_);
        old_v = val_;
        validator = validator_;
      }
      std::vector<Value> argv;
      argv.reserve(a.args.size() + 1);
      argv.push_back(old_v);
      argv.insert(argv.end(), a.args.begin(), a.args.end());
      Value new_v = rt::call(a.fn, Args(argv.data(), argv.size()));
      validate_state(validator, new_v);
      Value watches;
      {
        std::lock_guard lock(mutex_);
        val_ = new_v;
        watches = watches_;
      }
      notify_watches(watches, a.agent, old_v, new_v);
    } catch (...) {
      error = caught();
    }
    tl_held = nullptr;
  }
  if (error.is_nil()) {
    for (Action& h : held) enqueue(std::move(h));
    return;
  }
  Value handler;
  bool keep_going;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
    keep_going = continue_;
  }
  if (!handler.is_nil()) {
    try {
      rt::call(handler, {a.agent, error});
    } catch (...) {  // a failing handler changes nothing
    }
  }
  if (!keep_going) {
    std::lock_guard lock(mutex_);
    error_ = error;
  }
}

Value Agent::restart(Value state, bool clear_actions) const {
  {
    std::lock_guard lock(mutex_);
    if (error_.is_nil()) rt::throw_error("java.lang.RuntimeException", "Agent does not need a restart");
  }
  Value validator = this->validator();
  validate_state(validator, state);
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    val_ = state;
    error_ = NIL;
    if (clear_actions) queue_.clear();
    if (!running_ && !queue_.empty()) start = running_ = true;
  }
  if (start) {
    Value handle = Value::share(this);
    rt::start_worker([handle] { handle.as<Agent>().run_queue(); });
  }
  return state;
}

void Agent::add_watch(Value key, Value fn) const {
  std::lock_guard lock(mutex_);
  watches_ = assoc(watches_.is_nil() ? empty_map() : watches_, std::move(key), std::move(fn));
}

void Agent::remove_watch(const Value& key) const {
  std::lock_guard lock(mutex_);
  if (!watches_.is_nil()) watches_ = dissoc(watches_, key);
}

void Agent::set_validator(Value fn) const {
  validate_state(fn, deref());
  std::lock_guard lock(mutex_);
  validator_ = std::move(fn);
}

Value Agent::validator() const {
  std::lock_guard lock(mutex_);
  return validator_;
}

void Agent::set_error_handler(Value fn) const {
  std::lock_guard lock(mutex_);
  handler_ = std::move(fn);
}

Value Agent::error_handler() const {
  std::lock_guard lock(mutex_);
  return handler_;
}

void Agent::set_continue_on_error(bool c) const {
  std::lock_guard lock(mutex_);
  continue_ = c;
}

bool Agent::continue_on_error() const {
  std::lock_guard lock(mutex_);
  return continue_;
}

namespace {

const Agent& agent_of(const Value& v) {
  if (const Reference* r = as_reference(v, Reference::Type::Agent)) return static_cast<const Agent&>(*r);
  rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class clojure.lang.Agent");
}

// (agent state & options): :meta, :validator, :error-handler, :error-mode.
Value make_agent(Args a) {
  if (a.size() % 2 == 0) rt::throw_illegal_argument("No value supplied for key: " + pr_str(a.back()));
  Value meta, validator, handler, mode;
  for (size_t i = 1; i + 1 < a.size(); i += 2) {
    if (a[i].identical(keyword("meta"))) meta = a[i + 1];
    else if (a[i].identical(keyword("validator"))) validator = a[i + 1];
    else if (a[i].identical(keyword("error-handler"))) handler = a[i + 1];
    else if (a[i].identical(keyword("error-mode"))) mode = a[i + 1];
  }
  // With a handler and no mode given, errors are the handler's business and the agent carries on.
  bool keep_going = mode.is_nil() ? !handler.is_nil() : mode.identical(keyword("continue"));
  return Value::adopt(new Agent(a[0], std::move(meta), std::move(validator), std::move(handler), keep_going));
}

Value send(Args a) {
  agent_of(a[0]).send(a[1], std::vector<Value>(a.begin() + 2, a.end()));
  return a[0];
}

// A count of agents still to reach the action await sent them.
struct Latch {
  std::mutex mutex;
  std::condition_variable cv;
  size_t count;
};

// Sends each agent an action that leaves its state as it is and counts the latch down; the latch opens once every
// agent has run all it was sent before.
std::shared_ptr<Latch> send_latch(Args agents) {
  if (tl_held) rt::throw_error("java.lang.Exception", "Can't await in agent action");
  auto latch = std::make_shared<Latch>();
  latch->count = agents.size();
  Value count_down = rt::make_native("count-down", 1, 1, std::function<Value(Args)>([latch](Args a) {
                                       {
                                         std::lock_guard lock(latch->mutex);
                                         --latch->count;
                                       }
                                       latch->cv.notify_all();
                                       return a[0];
                                     }));
  for (const Value& ag : agents) agent_of(ag).send(count_down, {});
  return latch;
}

Value await(Args a) {
  auto latch = send_latch(a);
  std::unique_lock lock(latch->mutex);
  rt::interruptible_wait(lock, latch->cv, [&] { return latch->count == 0; });
  return NIL;
}

Value await_for(Args a) {
  int64_t ms = a[0].is_int() ? a[0].as_int() : static_cast<int64_t>(num::to_double(a[0]));
  auto latch = send_latch(a.subspan(1));
  std::unique_lock lock(latch->mutex);
  return Value::boolean(rt::interruptible_wait_until(lock, latch->cv, [&] { return latch->count == 0; },
                                                     std::chrono::steady_clock::now() +
                                                         std::chrono::milliseconds(std::max<int64_t>(ms, 0))));
}

Value restart_agent(Args a) {
  bool clear = false;
  for (size_t i = 2; i + 1 < a.size(); i += 2)
    if (a[i].identical(keyword("clear-actions"))) clear = a[i + 1].truthy();
  return agent_of(a[0]).restart(a[1], clear);
}

Value set_error_mode(Args a) {
  if (!a[1].identical(keyword("continue")) && !a[1].identical(keyword("fail")))
    rt::throw_illegal_argument("Invalid error mode: " + pr_str(a[1]));
  agent_of(a[0]).set_continue_on_error(a[1].identical(keyword("continue")));
  return NIL;
}

// --- tap>: values go to a queue that one worker drains, calling every tap with each value.

struct Taps {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Value> queue;
  Value fns = empty_set();
  bool draining = false;
};

Taps& taps() {
  static Taps* t = new Taps;
  return *t;
}

constexpr size_t TAP_QUEUE_LIMIT = 1024;

void drain_taps() {
  Taps& t = taps();
  for (;;) {
    Value x, fns;
    {
      std::lock_guard lock(t.mutex);
      if (t.queue.empty()) {
        t.draining = false;
        return;
      }
      x = std::move(t.queue.front());
      t.queue.pop_front();
      fns = t.fns;
    }
    for (Value s = seq(fns); !s.is_nil(); s = next(s)) {
      try {
        rt::call(first(s), {x});
      } catch (...) {  // one failing tap does not keep the value from the others
      }
    }
  }
}

Value tap_send(Args a) {
  Taps& t = taps();
  bool start = false;
  {
    std::lock_guard lock(t.mutex);
    if (t.queue.size() >= TAP_QUEUE_LIMIT) return Value::boolean(false);
    t.queue.push_back(a[0]);
    if (!t.draining) start = t.draining = true;
  }
  if (start) rt::start_worker(drain_taps);
  return Value::boolean(true);
}

Value add_tap(Args a) {
  std::lock_guard lock(taps().mutex);
  taps().fns = set_conj(taps().fns, a[0]);
  return NIL;
}

Value remove_tap(Args a) {
  std::lock_guard lock(taps().mutex);
  taps().fns = set_disj(taps().fns, a[0]);
  return NIL;
}

void def(rt::Namespace* ns, std::string_view name, int min, int max, rt::NativeBody body, const char* arglists) {
  defn(ns, name, min, max, body, NativeDoc{arglists, nullptr});
}

}  // namespace

void install_agents(rt::Namespace* core) {
  agent_var = &rt::as_var(defvar(core, "*agent*", NIL, true));
  def(core, "agent", 1, -1, make_agent, "([state & options])");
  def(core, "send", 2, -1, send, "([a f & args])");
  def(core, "send-off", 2, -1, send, "([a f & args])");
  def(core, "send-via", 3, -1, [](Args a) { agent_of(a[1]).send(a[2], std::vector<Value>(a.begin() + 3, a.end())); return a[1]; },
      "([executor a f & args])");
  def(core, "await", 0, -1, await, "([& agents])");
  def(core, "await-for", 1, -1, await_for, "([timeout-ms & agents])");
  def(core, "agent-error", 1, 1, [](Args a) { return agent_of(a[0]).error(); }, "([a])");
  def(core, "agent-errors", 1, 1,
      [](Args a) {
        Value e = agent_of(a[0]).error();
        return e.is_nil() ? NIL : make_list({e});
      },
      "([a])");
  def(core, "restart-agent", 2, -1, restart_agent, "([a new-state & options])");
  def(core, "set-error-handler!", 2, 2, [](Args a) { agent_of(a[0]).set_error_handler(a[1]); return NIL; },
      "([a handler-fn])");
  def(core, "error-handler", 1, 1, [](Args a) { return agent_of(a[0]).error_handler(); }, "([a])");
  def(core, "set-error-mode!", 2, 2, set_error_mode, "([a mode-keyword])");
  def(core, "error-mode", 1, 1,
      [](Args a) { return keyword(agent_of(a[0]).continue_on_error() ? "continue" : "fail"); }, "([a])");
  def(core, "release-pending-sends", 0, 0,
      [](Args) {
        if (!tl_held) return Value::integer(0);
        auto n = static_cast<int64_t>(tl_held->size());
        for (Agent::Action& h : *tl_held) Agent::enqueue(std::move(h));
        tl_held->clear();
        return Value::integer(n);
      },
      "([])");
  def(core, "tap>", 1, 1, tap_send, "([x])");
  def(core, "add-tap", 1, 1, add_tap, "([f])");
  def(core, "remove-tap", 1, 1, remove_tap, "([f])");
}

}  // namespace kelp::lib
