// The in-process session: the evaluator that runs code in the kelp runtime inside Orrery's own process. Run (the
// Definitions text) and the REPL prompt share one evaluation context. Every namespace an evaluation creates,
// except libraries, belongs to that evaluation's owner (a tab id, :run or :repl); a reset-mode Run removes only its
// own owner's namespaces, the REPL's and user, then evaluates into a fresh user.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kelp/data/value.hpp"
#include "orrery/eval.hpp"
#include "orrery/evaluator.hpp"

namespace orrery::session {

using evaluator::Owner;

// The shared session state; replaced whole under the session's lock.
struct State {
  evaluator::Mode mode = evaluator::Mode::Reset;
  std::map<Owner, std::set<std::string>> created;  // owner -> namespace names its evaluations created
  std::string prompt_ns = "user";
  kelp::Value last_value;
  kelp::Value last_error;
  bool auto_required = false;
};

// Moves owner's namespaces under OWNER_REPL (shared with the kelp child evaluator).
State release_owner_in(State state, const Owner& owner);
// Names present in after and not in before, minus the loaded libraries.
std::set<std::string> namespaces_created(const std::set<std::string>& before, const std::set<std::string>& after,
                                         const std::set<std::string>& libs);

struct SessionOptions {
  std::optional<std::filesystem::path> project_dir;
  std::vector<std::string> auto_require;
};

class InProcess final : public evaluator::Evaluator, public evaluator::QuietEval, public evaluator::Owners,
                        public std::enable_shared_from_this<InProcess> {
 public:
  explicit InProcess(SessionOptions opts);

  std::optional<std::string> start() override;
  void stop() override;
  std::optional<std::string> eval(std::string code, evaluator::EvalOptions opts) override;
  void interrupt() override;
  bool is_evaluating() override;
  bool is_waiting_for_input() override;
  void send_input(std::string_view text) override;
  void send_eof() override;
  eval::SharedHistory& history() override;
  std::string prompt_ns() override;
  void set_mode(evaluator::Mode mode) override;
  kelp::Value complete(const evaluator::CompleteRequest& req) override;
  kelp::Value lookup(std::string_view sym, int64_t pos) override;
  std::vector<std::string> limitations() override { return {}; }
  void release_owner(const Owner& owner) override;

  std::optional<std::string> run_definitions(std::string code, evaluator::EvalOptions opts);
  std::optional<std::string> submit_repl(std::string code, evaluator::EvalOptions opts);
  std::optional<std::string> quiet_eval(std::string code, evaluator::EvalOptions opts);

  // Removes owner's namespaces, the REPL's and user; recreates user at once.
  void reset_namespaces(const Owner& owner);
  State state() const;
  const eval::ContextPtr& context() const { return ctx_; }

 private:
  struct Impl;
  eval::ContextPtr ctx_;
  SessionOptions opts_;
  // Held from the busy check to the start of a run, so two callers cannot both pass the check and the loser's
  // reset hit the winner's running program.
  std::mutex start_mutex_;
  mutable std::mutex mutex_;
  State state_;  // guarded by mutex_
};

std::shared_ptr<InProcess> make_session(SessionOptions opts);
// Makes the session the evaluator for the :in-process runtime. Idempotent; the app calls it at start-up.
void register_in_process();

// Var -> metadata for every var interned in a namespace that is not the runtime's own.
using VarMetas = std::vector<std::pair<kelp::Value, kelp::Value>>;
VarMetas program_vars();
// The canonical path of an existing file whose content equals code; nullopt otherwise.
std::optional<std::filesystem::path> saved_file(const std::optional<std::string>& path, std::string_view code);
// Gives :file to every var whose metadata changed since before and that has :line and no :file.
void mark_run_file(const std::filesystem::path& file, const VarMetas& before);

}  // namespace orrery::session
