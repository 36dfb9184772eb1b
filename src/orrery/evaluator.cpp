#include "orrery/evaluator.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/rt/throwable.hpp"
#include "orrery/failure.hpp"
#include "orrery/syntax_defs.hpp"

namespace orrery::evaluator {

namespace {

// The factories, filled by the modules that make evaluators, possibly from static initialisers: a function-local
// static, so that registering works before main whatever the order of initialisation.
struct Factories {
  std::mutex factories_mutex;
  std::map<dialect::Runtime, Factory> by_runtime;       // guarded by factories_mutex
  std::map<std::string, Factory, std::less<>> launched;  // by dialect id; guarded by factories_mutex
};

Factories& factories() {
  // Never destroyed: a factory may be looked up from a thread still running while the process ends.
  static auto* table = new Factories;
  return *table;
}

Factory runtime_factory(dialect::Runtime runtime) {
  auto& table = factories();
  std::lock_guard lock(table.factories_mutex);
  auto found = table.by_runtime.find(runtime);
  return found == table.by_runtime.end() ? Factory{} : found->second;
}

Factory launched_factory(std::string_view dialect_id) {
  auto& table = factories();
  std::lock_guard lock(table.factories_mutex);
  auto found = table.launched.find(dialect_id);
  return found == table.launched.end() ? Factory{} : found->second;
}

std::string_view dialect_id(const dialect::Selection& selection) {
  return selection.profile ? std::string_view(selection.profile->id) : std::string_view();
}

thread_local std::optional<std::chrono::milliseconds> bound_help_timeout;

const kelp::Value& help_error_key() {
  static const kelp::Value key = kelp::keyword("orrery.evaluator", "error");
  return key;
}


kelp::Value help_failure(std::string_view message) {
  return kelp::make_map({help_error_key(), kelp::make_string(message)});
}

// What one ask_help shares between the asking thread and the worker. Whoever moves `state` out of Pending first
// decides who receives the answer: the worker (answered in time: the asker returns it now) or the asker (gave up
// waiting: the worker hands the answer to on_later).
struct Exchange {
  enum class State { Pending, Answered, Later };
  std::mutex exchange_mutex;
  std::condition_variable answered;
  State state = State::Pending;  // guarded by exchange_mutex
  kelp::Value r;                 // guarded by exchange_mutex; set with the move to Answered
  std::function<void(const kelp::Value&)> on_later;

  // Called by the worker once with the answer.
  void deliver(kelp::Value answer) {
    {
      std::lock_guard lock(exchange_mutex);
      if (state == State::Pending) {
        state = State::Answered;
        r = std::move(answer);
        answered.notify_all();
        return;
      }
    }
    if (on_later) on_later(answer);
  }

  // Called by the asker: the answer when it came within grace, else nothing (and on_later will get it).
  std::optional<kelp::Value> await(std::chrono::milliseconds grace) {
    std::unique_lock lock(exchange_mutex);
    answered.wait_for(lock, grace, [&] { return state != State::Pending; });
    if (state == State::Answered) return std::move(r);
    state = State::Later;
    return std::nullopt;
  }
};

}  // namespace

EvaluatorPtr make(const dialect::Selection& selection) {
  if (selection.runtime == dialect::Runtime::Launch) return make_launched(selection);
  auto factory = runtime_factory(selection.runtime);
  if (!factory) {
    throw std::runtime_error("No evaluator is available for the " + dialect::runtime_name(selection.runtime) +
                             " runtime.");
  }
  return factory(selection);
}

EvaluatorPtr make_launched(const dialect::Selection& selection) {
  auto id = dialect_id(selection);
  auto factory = launched_factory(id);
  if (!factory) throw std::runtime_error("No launched evaluator for dialect " + std::string(id));
  return factory(selection);
}

void register_factory(dialect::Runtime runtime, Factory f) {
  auto& table = factories();
  std::lock_guard lock(table.factories_mutex);
  table.by_runtime[runtime] = std::move(f);
}

void register_launched(std::string dialect_id, Factory f) {
  auto& table = factories();
  std::lock_guard lock(table.factories_mutex);
  table.launched[std::move(dialect_id)] = std::move(f);
}

std::chrono::milliseconds help_timeout(std::chrono::milliseconds default_timeout) {
  return bound_help_timeout.value_or(default_timeout);
}

HelpTimeoutScope::HelpTimeoutScope(std::chrono::milliseconds timeout) : saved_(bound_help_timeout) {
  bound_help_timeout = timeout;
}

HelpTimeoutScope::~HelpTimeoutScope() { bound_help_timeout = saved_; }

bool is_server_help(const EvaluatorPtr& ev) { return capability<ServerHelp>(ev) != nullptr; }

struct HelpWorker::Impl {
  struct Job {
    std::function<void()> run;
    std::function<void()> on_drop;
  };

  std::mutex jobs_mutex;
  std::condition_variable jobs_changed;
  std::deque<Job> jobs;   // guarded by jobs_mutex
  bool closing = false;   // guarded by jobs_mutex
  std::thread thread;

  // The next job, or nothing once closing.
  std::optional<Job> next() {
    std::unique_lock lock(jobs_mutex);
    jobs_changed.wait(lock, [&] { return closing || !jobs.empty(); });
    if (closing) return std::nullopt;
    Job job = std::move(jobs.front());
    jobs.pop_front();
    return job;
  }

  void loop() {
    while (auto job = next()) run_contained(job->run);
  }

  // No throw may end the worker thread (nor the process).
  static void run_contained(const std::function<void()>& f) {
    if (!f) return;
    try {
      f();
    } catch (...) {
    }
  }

  std::deque<Job> close() {
    std::lock_guard lock(jobs_mutex);
    closing = true;
    jobs_changed.notify_all();
    return std::exchange(jobs, {});
  }
};

HelpWorker::HelpWorker() : impl_(std::make_unique<Impl>()) {
  impl_->thread = std::thread([impl = impl_.get()] { impl->loop(); });
}

HelpWorker::~HelpWorker() {
  auto dropped = impl_->close();
  impl_->thread.join();
  // A dropped request still answers, so that nobody waits for it forever.
  for (auto& job : dropped) Impl::run_contained(job.on_drop);
}

void HelpWorker::submit(std::function<void()> job) { submit(std::move(job), nullptr); }

void HelpWorker::submit(std::function<void()> job, std::function<void()> on_drop) {
  {
    std::lock_guard lock(impl_->jobs_mutex);
    if (!impl_->closing) {
      impl_->jobs.push_back({std::move(job), std::move(on_drop)});
      impl_->jobs_changed.notify_one();
      return;
    }
  }
  Impl::run_contained(on_drop);
}

HelpAnswer ask_help(HelpWorker& worker, std::function<kelp::Value()> f,
                    std::function<void(const kelp::Value&)> on_later) {
  auto exchange = std::make_shared<Exchange>();
  exchange->on_later = std::move(on_later);
  auto answer = [f = std::move(f)] {
    HelpTimeoutScope timeout(ASYNC_HELP_TIMEOUT);
    try {
      return f();
    } catch (...) {
      return help_failure(failure_message(std::current_exception()));
    }
  };
  worker.submit([exchange, answer = std::move(answer)] { exchange->deliver(answer()); },
                [exchange] { exchange->deliver(help_failure(HELP_DROPPED)); });
  if (auto r = exchange->await(HELP_GRACE)) return {true, std::move(*r)};
  return {false, {}};
}

std::optional<std::string> help_error(const kelp::Value& answer) {
  if (!kelp::is_map(answer)) return std::nullopt;
  const auto* message = kelp::get(answer, help_error_key());
  if (!message || !message->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*message));
}

kelp::Value offline_candidates(const CompleteRequest& req, std::string user_ns) {
  try {
    CompletionQuery query;
    query.prefix = kelp::to_u32(req.prefix);
    if (!req.text.empty()) {
      query.text = kelp::to_u32(req.text);
      query.pos = req.pos;
    }
    if (req.extra_context.is(kelp::Kind::String)) {
      std::u32string extra = kelp::to_u32(kelp::str_view(req.extra_context));
      query.extra_context = [extra] { return std::optional<std::u32string>(extra); };
    }
    query.ns = std::move(user_ns);
    return candidates_value(get_autocomplete_candidates(query));
  } catch (...) {
    return kelp::empty_vector();
  }
}

}  // namespace orrery::evaluator
