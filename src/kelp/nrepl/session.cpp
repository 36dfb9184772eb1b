#include "kelp/nrepl/session.hpp"

#include <cstdio>
#include <deque>
#include <random>

#include "kelp/data/string.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::nrepl {

// A threaded session's *in*: what the client sent with the stdin op. A read with nothing buffered asks the client
// ("need-input" on the running evaluation) and waits, interruptibly.
class SessionInput final : public rt::InputReader {
 public:
  explicit SessionInput(std::weak_ptr<Session> session) : session_(std::move(session)) {}

  int32_t read_char() override {
    std::unique_lock lock(mutex_);
    if (pushed_ != -2) {
      int32_t c = pushed_;
      pushed_ = -2;
      return c;
    }
    bool asked = false;
    for (;;) {
      if (!chunks_.empty()) {
        std::string& front = chunks_.front();
        if (front.empty()) {  // "" ends this read; the next read asks again
          chunks_.pop_front();
          return -1;
        }
        char32_t c = decode_utf8(front, pos_);
        if (pos_ >= front.size()) chunks_.pop_front(), pos_ = 0;
        return static_cast<int32_t>(c);
      }
      if (closed_) return -1;
      if (!asked) {
        asked = true;
        lock.unlock();
        ask();
        lock.lock();
        continue;
      }
      rt::interruptible_wait(lock, cv_, [&] { return !chunks_.empty() || closed_; });
    }
  }

  void unread(int32_t c) override {
    std::lock_guard lock(mutex_);
    pushed_ = c;
  }

  void provide(const std::string& text) {
    std::lock_guard lock(mutex_);
    chunks_.push_back(text);  // in order: an end of input sent between two texts falls between them
    cv_.notify_all();
  }

  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    cv_.notify_all();
  }

 private:
  void ask() {
    if (SessionPtr s = session_.lock())
      if (std::optional<Request> req = s->running_request()) send_status(*req, {"need-input"});
  }

  std::weak_ptr<Session> session_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::string> chunks_;  // what the client sent, in order; "" marks an end of input
  size_t pos_ = 0;                   // into the front chunk
  bool closed_ = false;
  int32_t pushed_ = -2;
};

namespace {

// The vars a session carries between evaluations, as clojure.main's REPL binds them.
std::vector<rt::BindingFrame::Entry> initial_bindings() {
  const rt::CoreVars& cv = rt::core_vars();
  std::vector<rt::BindingFrame::Entry> out;
  auto add = [&](const Value& var, Value v) { out.push_back({&rt::as_var(var), std::move(v)}); };
  auto root = [](const Value& var) {
    rt::Var& v = rt::as_var(var);
    return v.has_root() ? v.root() : Value();
  };
  add(cv.ns, rt::ns_value(cv.user));
  for (const Value* var : {&cv.star1, &cv.star2, &cv.star3, &cv.stare}) add(*var, Value());
  add(cv.print_namespace_maps, Value::boolean(true));
  for (const Value* var : {&cv.print_length, &cv.print_level, &cv.print_meta, &cv.warn_on_reflection,
                           &cv.unchecked_math, &cv.data_readers, &cv.default_data_reader_fn})
    add(*var, root(*var));
  return out;
}

}  // namespace

std::string new_session_id() {
  static std::mutex mutex;
  static std::mt19937_64 rng{std::random_device{}()};
  std::lock_guard lock(mutex);
  uint64_t hi = rng(), lo = rng();
  hi = (hi & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;  // version 4
  lo = (lo & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;  // variant 1
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(hi >> 32),
                static_cast<unsigned>((hi >> 16) & 0xffff), static_cast<unsigned>(hi & 0xffff),
                static_cast<unsigned>(lo >> 48), static_cast<unsigned long long>(lo & 0xffffffffffffULL));
  return buf;
}

Session::Session(std::string id, bool threaded) : id_(std::move(id)), threaded_(threaded) {}

Session::~Session() {
  if (input_.is_obj()) static_cast<SessionInput&>(const_cast<Object&>(*input_.obj())).close();
}

std::shared_ptr<Session> Session::make(std::string id, bool threaded, const Session* from) {
  std::shared_ptr<Session> s(new Session(std::move(id), threaded));
  if (from) {
    std::lock_guard lock(from->mutex_);
    s->carried_ = from->carried_;
  } else {
    s->carried_ = initial_bindings();
  }
  if (threaded) s->input_ = Value::adopt(new SessionInput(s));
  return s;
}

std::vector<rt::BindingFrame::Entry> Session::bindings() const {
  std::lock_guard lock(mutex_);
  return carried_;
}

void Session::keep_bindings(bool keep_ns) {
  const Value& ns_var = rt::core_vars().ns;
  std::lock_guard lock(mutex_);
  for (auto& e : carried_) {
    if (!keep_ns && e.var == &rt::as_var(ns_var)) continue;
    e.val = e.var->deref();
  }
}

std::string Session::ns_name() const {
  const rt::Var* ns_var = &rt::as_var(rt::core_vars().ns);
  std::lock_guard lock(mutex_);
  for (const auto& e : carried_)
    if (e.var == ns_var && e.val.is(Kind::Namespace)) return std::string(rt::as_ns(e.val).name_str());
  return "user";
}

void Session::submit(std::function<void()> job) {
  if (!threaded_) {
    std::lock_guard lock(plain_mutex_);
    job();
    return;
  }
  std::lock_guard lock(queue_mutex_);
  queue_.push_back(std::move(job));
  if (draining_) return;
  draining_ = true;
  rt::start_worker([self = shared_from_this()] { self->drain(); });
}

// The worker: takes jobs in order until none is left (the next submit starts a worker again).
void Session::drain() {
  for (;;) {
    std::function<void()> job;
    {
      std::lock_guard lock(queue_mutex_);
      if (queue_.empty()) {
        draining_ = false;
        return;
      }
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    try {
      job();
    } catch (...) {
    }
  }
}

rt::TokenPtr Session::begin(const Request& req) {
  auto token = std::make_shared<rt::InterruptToken>();
  std::lock_guard lock(mutex_);
  running_ = Running{req, token, false};
  if (closed_) token->fire();
  return token;
}

bool Session::interrupted() const {
  std::lock_guard lock(mutex_);
  return running_ && running_->interrupted;
}

void Session::mark_replied() {
  std::lock_guard lock(mutex_);
  if (running_) running_->replied = true;
}

void Session::end() {
  std::lock_guard lock(mutex_);
  running_.reset();
  ended_.notify_all();
}

Session::Interrupt Session::interrupt(const std::string& interrupt_id) {
  std::lock_guard lock(mutex_);
  // A client that has read "done" may interrupt before the session has marked the evaluation ended.
  if (!running_ || running_->replied) return Interrupt::Idle;
  if (!interrupt_id.empty() && interrupt_id != running_->req.id) return Interrupt::Mismatch;
  running_->interrupted = true;
  running_->token->fire();
  return Interrupt::Interrupted;
}

void Session::wait_ended(const std::string& id, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  ended_.wait_for(lock, limit, [&] { return !running_ || running_->req.id != id; });
}

std::optional<Request> Session::running_request() const {
  std::lock_guard lock(mutex_);
  if (!running_) return std::nullopt;
  return running_->req;
}

void Session::provide_input(const std::string& text) {
  if (input_.is_obj()) static_cast<SessionInput&>(const_cast<Object&>(*input_.obj())).provide(text);
}

void Session::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    if (running_) running_->token->fire();
  }
  if (input_.is_obj()) static_cast<SessionInput&>(const_cast<Object&>(*input_.obj())).close();
}

bool Session::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace kelp::nrepl
