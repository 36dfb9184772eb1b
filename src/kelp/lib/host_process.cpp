// kelp.host's process functions (block-sigint, add-shutdown-hook, park-until-interrupt), System/exit with its
// hooks, (Thread. f) and System/in.
#include "kelp/lib/host_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib::process {

namespace {

using rt::Args;

// --- shutdown hooks and exit --------------------------------------------------------------------------------------

struct Hooks {
  std::mutex mutex;
  std::vector<Value> fns;  // guarded by mutex
  std::atomic<bool> ran{false};
};
Hooks& hooks() {
  static auto* h = new Hooks;  // never destroyed: hooks may run during exit from any thread
  return *h;
}

void flush_streams() {
  const rt::CoreVars& cv = rt::core_vars();
  try {
    rt::out_flush();
    rt::as_writer(rt::current_err()).flush();
    rt::as_writer(rt::as_var(cv.out).root()).flush();
    rt::as_writer(rt::as_var(cv.err).root()).flush();
  } catch (...) {
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

std::atomic<bool> g_exiting{false};
std::atomic<std::thread::id> g_exit_thread{};
std::atomic<int> g_exit_status{0};

// --- termination signals ------------------------------------------------------------------------------------------
// A signal handler may only write to a pipe; a watcher thread reads it. While a thread is parked the signal wakes
// it (the parked code then ends the program its own way); otherwise the signal exits through the hooks.

std::atomic<bool> g_sigint_ignored{false};
int g_signal_pipe[2] = {-1, -1};

struct Parking {
  std::mutex mutex;
  std::condition_variable cv;
  int parked = 0;     // threads in park-until-interrupt; guarded by mutex
  int64_t wakes = 0;  // signals delivered to parked threads; guarded by mutex
};
Parking& parking() {
  static auto* p = new Parking;
  return *p;
}

void on_signal(int sig) {
  const int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t n = write(g_signal_pipe[1], &b, 1);
  errno = saved;
}

void watch_signals() {
  for (;;) {
    unsigned char sig = 0;
    ssize_t n = read(g_signal_pipe[0], &sig, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    Parking& p = parking();
    {
      std::lock_guard lock(p.mutex);
      if (p.parked > 0) {
        ++p.wakes;
        p.cv.notify_all();
        continue;
      }
    }
    exit(128 + sig);
  }
}

// Installs the handlers once: SIGTERM always, SIGINT unless block-sigint ignored it.
void ensure_signal_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) return;
    std::thread(watch_signals).detach();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    if (!g_sigint_ignored) sigaction(SIGINT, &sa, nullptr);
  });
}

Value block_sigint(Args) {
  g_sigint_ignored = true;
  signal(SIGINT, SIG_IGN);
  return {};
}

Value add_shutdown_hook(Args a) {
  if (!rt::is_callable(a[0])) rt::throw_class_cast("a shutdown hook must be a function");
  ensure_signal_handlers();
  Hooks& h = hooks();
  std::lock_guard lock(h.mutex);
  h.fns.push_back(a[0]);
  return {};
}

// Blocks until a termination signal arrives (System/exit ends the process from wherever it is called).
Value park_until_interrupt(Args) {
  ensure_signal_handlers();
  Parking& p = parking();
  std::unique_lock lock(p.mutex);
  ++p.parked;
  const int64_t seen = p.wakes;
  p.cv.wait(lock, [&] { return p.wakes != seen; });
  --p.parked;
  return {};
}

// --- System/in ----------------------------------------------------------------------------------------------------

class StandardInput final : public Object {
 public:
  StandardInput() : Object(Kind::Host, 0) {}
  std::string_view type_name() const override { return "java.io.BufferedInputStream"; }
  // The next byte, or -1 at the end of input (or on an error, which ends the stream for the reader too).
  static int64_t read_byte() {
    unsigned char b = 0;
    for (;;) {
      ssize_t n = ::read(0, &b, 1);
      if (n == 1) return b;
      if (n < 0 && errno == EINTR) continue;
      return -1;
    }
  }
};

// --- threads ------------------------------------------------------------------------------------------------------

class ThreadObject final : public Object {
 public:
  ThreadObject(Value fn, std::string name)
      : Object(Kind::Host, 0), fn_(std::move(fn)), name_(std::move(name)), token_(std::make_shared<rt::InterruptToken>()) {}
  std::string_view type_name() const override { return "java.lang.Thread"; }

  void start(const Value& self) const {
    std::lock_guard lock(mutex_);
    if (started_) rt::throw_error("java.lang.IllegalStateException", "Thread already started: " + name_);
    started_ = true;
    rt::start_worker([self] { self.as<ThreadObject>().run(); });
  }
  void join(std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + limit;
    rt::interruptible_wait_until(lock, cv_, [&] { return finished_ || !started_; }, deadline);
  }
  bool alive() const {
    std::lock_guard lock(mutex_);
    return started_ && !finished_;
  }
  void interrupt() const { token_->fire(); }
  const std::string& name() const { return name_; }
  void set_daemon(bool d) const { daemon_ = d; }
  bool daemon() const { return daemon_; }

 private:
  void run() const {
    try {
      rt::TokenScope scope(token_);
      rt::call(fn_);
    } catch (...) {
      // An uncaught exception ends only this thread, reported as the JVM reports it.
      try {
        Value ex = rt::as_throwable(std::current_exception());
        std::string msg;
        if (rt::is_throwable(ex) && rt::throwable(ex).message().is(Kind::String))
          msg = ": " + std::string(str_view(rt::throwable(ex).message()));
        std::string cls = rt::is_throwable(ex) ? std::string(rt::throwable(ex).cls().name) : "java.lang.Throwable";
        rt::as_writer(rt::as_var(rt::core_vars().err).root()).write("Exception in thread \"" + name_ + "\" " + cls + msg + "\n");
        rt::as_writer(rt::as_var(rt::core_vars().err).root()).flush();
      } catch (...) {
      }
    }
    std::lock_guard lock(mutex_);
    finished_ = true;
    cv_.notify_all();
  }

  Value fn_;
  std::string name_;
  rt::TokenPtr token_;
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  mutable bool started_ = false, finished_ = false;
  mutable std::atomic<bool> daemon_{false};
};

std::atomic<int64_t> g_thread_counter{0};

bool truthy(const Value& v) { return !v.is_nil() && !(v.is_bool() && !v.as_bool()); }

}  // namespace

void run_shutdown_hooks() {
  Hooks& h = hooks();
  if (h.ran.exchange(true)) return;
  std::vector<Value> fns;
  {
    std::lock_guard lock(h.mutex);
    fns = h.fns;
  }
  for (const Value& f : fns) {
    try {
      rt::call(f);
    } catch (...) {
    }
  }
}

void exit(int status) {
  if (g_exiting.exchange(true)) {
    // A hook that exits ends the process at once, with the status of the first exit; any other thread waits for
    // the first exit to finish.
    if (g_exit_thread.load() == std::this_thread::get_id()) {
      flush_streams();
      std::_Exit(g_exit_status.load());
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  g_exit_status = status;
  g_exit_thread = std::this_thread::get_id();
  run_shutdown_hooks();
  flush_streams();
  std::_Exit(status);
}

Value standard_input() {
  static Value in = Value::adopt(new StandardInput());
  return in;
}

bool call_method(const Value& target, std::string_view method, Args args, Value* out) {
  if (!target.is(Kind::Host)) return false;
  if (dynamic_cast<const StandardInput*>(target.obj())) {
    if (method == "read" && args.empty()) {
      *out = Value::integer(StandardInput::read_byte());
      return true;
    }
    if (method == "close" && args.empty()) {
      *out = Value();
      return true;
    }
    return false;
  }
  const auto* t = dynamic_cast<const ThreadObject*>(target.obj());
  if (!t) return false;
  *out = Value();
  if (method == "start" && args.empty()) {
    t->start(target);
  } else if (method == "setDaemon" && args.size() == 1) {
    t->set_daemon(truthy(args[0]));
  } else if (method == "isDaemon" && args.empty()) {
    *out = Value::boolean(t->daemon());
  } else if (method == "join" && args.size() <= 1) {
    int64_t ms = args.empty() || !args[0].is_int() || args[0].as_int() <= 0 ? int64_t{1} << 40 : args[0].as_int();
    t->join(std::chrono::milliseconds(ms));
  } else if (method == "isAlive" && args.empty()) {
    *out = Value::boolean(t->alive());
  } else if (method == "interrupt" && args.empty()) {
    t->interrupt();
  } else if (method == "getName" && args.empty()) {
    *out = make_string(t->name());
  } else {
    return false;
  }
  return true;
}

Value construct_thread(Args a, bool* found) {
  *found = true;
  if (a.size() == 1 && rt::is_callable(a[0]))
    return Value::adopt(new ThreadObject(a[0], "Thread-" + std::to_string(g_thread_counter++)));
  if (a.size() == 2 && rt::is_callable(a[0]) && a[1].is(Kind::String))
    return Value::adopt(new ThreadObject(a[0], std::string(str_view(a[1]))));
  *found = false;
  return {};
}

}  // namespace kelp::lib::process

namespace kelp::lib {

void install_host_process() {
  rt::Namespace* kh = rt::create_ns("kelp.host");
  defn(kh, "block-sigint", 0, 0, process::block_sigint,
       {"([])", "Ignores SIGINT in this process from now on (a child whose parent handles Ctrl-C itself)."});
  defn(kh, "add-shutdown-hook", 1, 1, process::add_shutdown_hook,
       {"([f])", "Calls f (no arguments) when the program ends: at its normal end, by System/exit, or on SIGTERM."});
  defn(kh, "park-until-interrupt", 0, 0, process::park_until_interrupt,
       {"([])", "Blocks the calling thread until the process receives SIGTERM or SIGINT."});
}

}  // namespace kelp::lib
