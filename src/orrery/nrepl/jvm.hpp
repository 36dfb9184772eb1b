// The attach evaluator for an nREPL server the user started: a JVM Clojure project's (the :clj dialect) or any
// other (the :nrepl dialect). It connects on demand, runs one evaluation at a time on its own cloned session, and
// a Stop interrupts (with a fallback clock that detaches) or, on a server without interrupt, detaches.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/dialect.hpp"
#include "orrery/eval.hpp"
#include "orrery/evaluator.hpp"
#include "orrery/nrepl/connection.hpp"

namespace orrery::nrepl {

// How a quick-docs request resolved: in the help namespace, in the prompt's after an error, or not at all.
struct Resolved {
  enum class Status { Ok, Retried, NotLoaded, NotAttached, Timeout, NoOp };
  Status status = Status::NotAttached;
  std::string ns;
  std::vector<Message> reply;
};

class Jvm final : public evaluator::Evaluator, public evaluator::ServerHelp, public evaluator::FullDoc,
                  public Attached, public std::enable_shared_from_this<Jvm> {
 public:
  Jvm(dialect::Selection selection, Timings timings, bool allow_remote);
  ~Jvm() override;

  std::optional<std::string> start() override { return std::nullopt; }  // connects on the first evaluation
  void stop() override;
  std::optional<std::string> eval(std::string code, evaluator::EvalOptions opts) override;
  void interrupt() override;
  bool is_evaluating() override;
  bool is_waiting_for_input() override;
  void send_input(std::string_view text) override;
  void send_eof() override;
  eval::SharedHistory& history() override { return history_; }
  std::string prompt_ns() override;
  void set_mode(evaluator::Mode) override {}  // a server the user started is never reset
  kelp::Value complete(const evaluator::CompleteRequest& req) override;
  kelp::Value lookup(std::string_view sym, int64_t pos) override;
  std::vector<std::string> limitations() override;

  kelp::Value offline_candidates(const evaluator::CompleteRequest& req) override;
  void full_doc(std::string_view sym, std::string_view text,
                std::function<void(const kelp::Value&)> on_result) override;

  bool is_connected() override;
  void on_connection(std::function<void(bool)> f) override;

  // The frames of the last error (a frames-data map, {:note s} or {:error s}), through on_result on a worker.
  void error_frames(std::function<void(const kelp::Value&)> on_result);
  kelp::Value toggle_debug_mode();
  kelp::Value eval_in_frame();

  // Quick docs' resolution of sym, the help namespace taken from text's ns form.
  Resolved resolve_lookup(std::string_view sym, std::string_view text, std::chrono::milliseconds timeout);
  // Detaches: closes the socket; the server and its evaluations are left alone.
  void detach();
  Link& link() { return *link_; }
  bool is_clj() const;

 private:
  struct Running;
  using RunningPtr = std::shared_ptr<Running>;
  void work(const RunningPtr& r, std::string code);
  void finish(const RunningPtr& r, const eval::Result& result);
  void auto_require(const RunningPtr& r);
  eval::Result evaluate(const RunningPtr& r, const std::string& code);
  ConnectPolicy policy() const;
  std::string help_ns(std::string_view text);
  RunningPtr running() const;
  void watch_stdin(const RunningPtr& r, const Message& reply);

  dialect::Selection selection_;
  bool allow_remote_;
  std::unique_ptr<Link> link_;
  eval::SharedHistory history_;
  mutable std::mutex mutex_;
  RunningPtr running_;            // guarded by mutex_
  std::string prompt_ns_ = "user";  // guarded by mutex_
  bool eof_noted_ = false;        // guarded by mutex_
};

std::shared_ptr<Jvm> make_jvm(const dialect::Selection& selection, Timings timings = {}, bool allow_remote = false);

}  // namespace orrery::nrepl
