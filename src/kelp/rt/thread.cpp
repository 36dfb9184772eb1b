#include "kelp/rt/thread.hpp"

#include <pthread.h>

#include <algorithm>
#include <deque>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::rt {

namespace detail {
thread_local InterruptToken* tl_token = nullptr;
thread_local char* tl_stack_limit = nullptr;
}  // namespace detail

namespace {
thread_local TokenPtr tl_token_owner;
thread_local FramePtr tl_bindings;
}  // namespace

// --- interrupts ---------------------------------------------------------------------------------------------

void InterruptToken::fire() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    fired_.store(true, std::memory_order_relaxed);
  }
  cv_.notify_all();
}

void InterruptToken::notify() {
  { std::lock_guard<std::mutex> g(mutex_); }
  cv_.notify_all();
}

TokenPtr current_token() { return tl_token_owner; }

TokenScope::TokenScope(TokenPtr t) : saved_(std::move(tl_token_owner)) {
  tl_token_owner = std::move(t);
  detail::tl_token = tl_token_owner.get();
}

TokenScope::~TokenScope() {
  tl_token_owner = std::move(saved_);
  detail::tl_token = tl_token_owner.get();
}

Value interrupted_exception() {
  static const Value data = [] {
    Value m = make_map({keyword("kelp", "interrupted"), Value::boolean(true)});
    const_cast<Object*>(m.obj())->make_immortal();
    return m;
  }();
  return make_throwable(exception_class("java.lang.InterruptedException"), make_string("Evaluation interrupted"),
                        data);
}

bool is_interrupted_exception(const Value& ex) {
  if (!ex.is(Kind::Throwable)) return false;
  const Value& d = ex.as<Throwable>().data();
  if (d.is_nil()) return false;
  const Value* v = get(d, keyword("kelp", "interrupted"));
  return v && v->truthy();
}

namespace detail {

void throw_interrupted() { throw Thrown(interrupted_exception()); }

void throw_stack_overflow() {
  // Leave the guard zone free for the unwinding handlers that run on this thread.
  throw Thrown(make_throwable("java.lang.StackOverflowError", ""));
}

char* compute_stack_limit() {
  pthread_attr_t attr;
  void* addr = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
  }
  if (!addr || size == 0) {
    char here;
    size = 8u << 20;
    addr = &here - size + (64u << 10);
  }
  size_t reserve = std::clamp<size_t>(size / 8, 256u << 10, 1u << 20);
  tl_stack_limit = static_cast<char*>(addr) + reserve;
  return tl_stack_limit;
}

}  // namespace detail

void interruptible_sleep(std::chrono::milliseconds ms) {
  safe_point();
  auto deadline = std::chrono::steady_clock::now() + ms;
  InterruptToken* t = detail::tl_token;
  if (!t) {
    std::this_thread::sleep_until(deadline);
    return;
  }
  t->wait_until([] { return false; }, deadline);
  safe_point();
}

void interruptible_wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                        const std::function<bool()>& pred) {
  while (!pred()) {
    if (detail::tl_token && detail::tl_token->fired()) {
      lock.unlock();
      detail::throw_interrupted();
    }
    cv.wait_for(lock, std::chrono::milliseconds(10));
  }
}

bool interruptible_wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                              const std::function<bool()>& pred, std::chrono::steady_clock::time_point deadline) {
  while (!pred()) {
    if (detail::tl_token && detail::tl_token->fired()) {
      lock.unlock();
      detail::throw_interrupted();
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(10)));
  }
  return pred();
}

// --- bindings -----------------------------------------------------------------------------------------------

FramePtr current_bindings() { return tl_bindings; }

BindingScope::BindingScope(std::vector<BindingFrame::Entry> entries) {
  for (const auto& e : entries) {
    if (!e.var->is_dynamic())
      throw_illegal_state("Can't dynamically bind non-dynamic var: " + e.var->full_name());
  }
  frame_ = std::make_shared<BindingFrame>();
  frame_->entries = std::move(entries);
  frame_->parent = tl_bindings;
  frame_->owner = std::this_thread::get_id();
  for (const auto& e : frame_->entries) e.var->thread_bound.fetch_add(1, std::memory_order_relaxed);
  tl_bindings = frame_;
}

BindingScope::~BindingScope() {
  tl_bindings = frame_->parent;
  for (const auto& e : frame_->entries) e.var->thread_bound.fetch_sub(1, std::memory_order_relaxed);
}

ConveyScope::ConveyScope(FramePtr frames) : saved_(std::move(tl_bindings)) {
  for (const BindingFrame* f = frames.get(); f; f = f->parent.get())
    for (const auto& e : f->entries) {
      e.var->thread_bound.fetch_add(1, std::memory_order_relaxed);
      counted_.push_back(e.var);
    }
  tl_bindings = std::move(frames);
}

ConveyScope::~ConveyScope() {
  for (Var* v : counted_) v->thread_bound.fetch_sub(1, std::memory_order_relaxed);
  tl_bindings = std::move(saved_);
}

BindingFrame::Entry* find_binding(const Var* var) {
  for (BindingFrame* f = tl_bindings.get(); f; f = f->parent.get())
    for (auto& e : f->entries)
      if (e.var == var) return &e;
  return nullptr;
}

Value thread_bindings_map() {
  Value m = empty_map();
  for (BindingFrame* f = tl_bindings.get(); f; f = f->parent.get())
    for (auto& e : f->entries) {
      Value key = Value::share(e.var);
      if (!get(m, key)) m = assoc(m, key, e.val);
    }
  return m;
}

// --- workers ------------------------------------------------------------------------------------------------

namespace {

constexpr size_t POOLED_STACK = size_t{64} << 20;
constexpr auto POOL_IDLE_LIMIT = std::chrono::seconds(60);

// Threads with the default large stack are kept after their job, for a minute, and take the next one: starting a
// thread with a 64 MiB stack costs far more than handing a job to one that waits.
struct WorkerPool {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::function<void()>> jobs;  // guarded by mutex
  size_t idle = 0;                         // threads waiting for a job; guarded by mutex
};

WorkerPool& pool() {
  static auto* p = new WorkerPool;  // never destroyed: pooled threads may outlive static teardown
  return *p;
}

void run_job(std::function<void()>& job) {
  try {
    job();
  } catch (...) {
  }
  job = nullptr;  // the job's captures go now, not when the next job replaces them
}

void* pooled_main(void* arg) {
  std::unique_ptr<std::function<void()>> first(static_cast<std::function<void()>*>(arg));
  std::function<void()> job = std::move(*first);
  first.reset();
  WorkerPool& p = pool();
  for (;;) {
    run_job(job);
    std::unique_lock lock(p.mutex);
    ++p.idle;
    p.cv.wait_for(lock, POOL_IDLE_LIMIT, [&] { return !p.jobs.empty(); });
    --p.idle;
    if (p.jobs.empty()) return nullptr;  // idle too long
    job = std::move(p.jobs.front());
    p.jobs.pop_front();
  }
}

void* worker_main(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  run_job(*body);
  return nullptr;
}

}  // namespace

void start_worker(std::function<void()> body, size_t stack_bytes) {
  const bool pooled = stack_bytes == POOLED_STACK;
  if (pooled) {
    WorkerPool& p = pool();
    std::lock_guard lock(p.mutex);
    if (p.idle > p.jobs.size()) {  // a waiting thread takes it
      p.jobs.push_back(std::move(body));
      p.cv.notify_one();
      return;
    }
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* arg = new std::function<void()>(std::move(body));
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, pooled ? pooled_main : worker_main, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    throw_error("java.lang.OutOfMemoryError", "unable to create native thread");
  }
}

}  // namespace kelp::rt
