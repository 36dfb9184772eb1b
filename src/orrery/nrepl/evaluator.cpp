#include "orrery/nrepl/evaluator.hpp"

#include <algorithm>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

#include "kelp/data/map.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/reader.hpp"
#include "orrery/nrepl/ops.hpp"
#include "orrery/session.hpp"
#include "orrery/syntax_defs.hpp"

namespace orrery::nrepl {

namespace fs = std::filesystem;
using kelp::Value;
using namespace std::chrono_literals;

// One evaluation. The flags are guarded by NRepl::mutex_; the replies by their own mutex, as the reader thread
// adds them.
struct Running {
  std::string code;
  evaluator::EvalOptions opts;
  evaluator::Owner owner;
  std::string eval_id;
  std::string token;  // a quiet evaluation's answer line marker

  std::optional<std::string> id;  // the main request's, once sent
  RuntimePtr runtime;             // the child it runs on
  bool stop_requested = false;
  bool restart_triggered = false;
  bool waiting = false;  // a read on stdin waits

  std::mutex replies_mutex;
  std::vector<Message> replies;
  bool done = false;
  std::promise<void> finished;
};

namespace {

Value kw(std::string_view name) { return kelp::keyword(name); }
Value str(std::string_view s) { return kelp::make_string(s); }

// A request map from key/value pairs; nil values are left out by the encoder.
Message message(std::initializer_list<std::pair<std::string_view, Value>> fields) {
  std::vector<Value> kvs;
  for (const auto& [k, v] : fields) {
    kvs.push_back(kw(k));
    kvs.push_back(v);
  }
  return kelp::make_map(kvs);
}

std::optional<std::string> field(const Message& m, std::string_view key) {
  const Value* v = kelp::is_map(m) ? kelp::get(m, kw(key)) : nullptr;
  if (!v || !v->is(kelp::Kind::String)) return std::nullopt;
  return std::string(kelp::str_view(*v));
}

Value error_map(std::string_view text) { return kelp::make_map({kw("error"), str(text)}); }

eval::Result error_result(std::string text) {
  eval::Result r;
  r.status = eval::Status::Error;
  r.error_text = std::move(text);
  return r;
}

eval::Result interrupted_result() {
  eval::Result r;
  r.status = eval::Status::Interrupted;
  return r;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return std::move(text).str();
}

// The first line of text that begins with prefix.
std::optional<std::string> line_starting(std::string_view text, std::string_view prefix) {
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with(prefix)) return line;
  }
  return std::nullopt;
}

// What a failed start's log (or, without one, its message) says.
std::string start_text(const child::StartError& e) {
  std::string text = e.log() ? read_file(*e.log()) : std::string();
  return text + "\n" + e.what();
}

void remove_log(const child::StartError& e) {
  std::error_code ec;
  if (e.log()) fs::remove(*e.log(), ec);
}

// "Couldn't start Kelp over nREPL: " and kelp's own "Unhandled exception:" line, or the failure's message; then
// the kept log's path.
std::string start_failure(const std::string& message, const std::optional<fs::path>& log) {
  std::string reason = message;
  if (log) {
    constexpr std::string_view UNHANDLED = "Unhandled exception:";
    if (std::optional<std::string> line = line_starting(read_file(*log), UNHANDLED)) {
      size_t start = line->find_first_not_of(" \t", UNHANDLED.size());
      if (start != std::string::npos) reason = line->substr(start);
    }
  }
  std::string sentence = std::string(START_FAILURE) + reason;
  std::error_code ec;
  if (log && fs::exists(*log, ec)) sentence += "\n" + std::string(CHILD_LOG) + log->string();
  return sentence;
}

// The namespace the first (ns X ...) form of text names. Never throws.
std::optional<std::string> ns_form_name(std::string_view text) {
  try {
    kelp::read::Reader reader(text);
    while (std::optional<Value> form = reader.next()) {
      if (!form->is(kelp::Kind::List)) continue;
      Value head = kelp::first(*form);
      if (!kelp::is_symbol(head)) continue;
      const auto& sym = head.as<kelp::Symbol>();
      if (sym.name() != "ns" || !(sym.ns().empty() || sym.ns() == "clojure.core")) continue;
      Value name = kelp::first(kelp::next(*form));
      if (kelp::is_symbol(name)) return std::string(name.as<kelp::Symbol>().name());
      return std::nullopt;
    }
  } catch (...) {
  }
  return std::nullopt;
}

std::string fresh_token() {
  static std::atomic<uint64_t> counter{0};
  std::random_device rd;
  return "orrery-quiet-" + std::to_string(rd()) + "-" + std::to_string(++counter);
}

void call_safely(const std::function<void()>& f) {
  try {
    f();
  } catch (...) {
  }
}

void say(const RunningPtr& r, std::string_view text) {
  if (r->opts.on_output) call_safely([&] { r->opts.on_output(eval::OutputKind::Out, text); });
}

// The require of the project's auto-require list, each name quoted by the printer.
std::string require_code(const std::vector<std::string>& names) {
  std::string code = "(clojure.core/require";
  for (const std::string& n : names) code += " (quote " + kelp::pr_str(kelp::symbol(n)) + ")";
  return code + ")";
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

}  // namespace

ChildOps real_child_ops() {
  ChildOps ops;
  ops.start = [](const fs::path& dir, const std::optional<child::MiddlewareSource>& source) {
    return child::start(dir, source);
  };
  ops.connect = [](const child::Child& c) { return Connection::connect("127.0.0.1", c.port, CONNECT_TIMEOUT); };
  ops.is_alive = [](const child::Child& c) { return child::is_alive(c); };
  ops.kill = [](const child::Child& c) { child::kill(c); };
  ops.source = [] { return std::optional<child::MiddlewareSource>(child::middleware_source()); };
  return ops;
}

struct NRepl::Impl {
  // ---------------------------------------------------------------------------------------------------------------
  // The child's life.

  static bool is_live(NRepl& self, const RuntimePtr& rt) {
    if (!rt || !rt->conn || !rt->conn->is_open()) return false;
    try {
      return self.child_ops_.is_alive(rt->child);
    } catch (...) {
      return false;
    }
  }

  static bool is_stopped(NRepl& self) {
    std::lock_guard lock(self.mutex_);
    return self.stopped_;
  }

  // Kill first: the child's end closing gives the reader its end of input, while a socket closed under a blocked
  // reader never does.
  static void kill_runtime(NRepl& self, const RuntimePtr& rt) {
    if (!rt) return;
    call_safely([&] { self.child_ops_.kill(rt->child); });
    if (rt->conn) rt->conn->close();
  }

  // Only under start_lock_.
  static void teardown(NRepl& self) {
    RuntimePtr rt;
    {
      std::lock_guard lock(self.mutex_);
      rt = std::move(self.runtime_);
      self.runtime_ = nullptr;
    }
    kill_runtime(self, rt);
  }

  static std::optional<child::MiddlewareSource> attempt_source(NRepl& self) {
    {
      std::lock_guard lock(self.mutex_);
      if (self.fetch_error_) return std::nullopt;  // a plain server: the fetch failed once in this window
    }
    return self.child_ops_.source ? self.child_ops_.source() : std::nullopt;
  }

  // Starts one child with source and opens its session; the child is ended again if anything after its start fails.
  static RuntimePtr spawn_runtime(NRepl& self, const std::optional<child::MiddlewareSource>& source) {
    fs::path dir = self.selection_.project_dir.value_or(fs::current_path());
    child::Child c = self.child_ops_.start(dir, source);
    std::shared_ptr<Connection> conn;
    try {
      conn = self.child_ops_.connect(c);
      std::optional<std::vector<Message>> described = conn->request_sync(message({{"op", str("describe")}}),
                                                                         REQUEST_TIMEOUT);
      std::optional<std::vector<Message>> cloned = conn->request_sync(message({{"op", str("clone")}}), REQUEST_TIMEOUT);
      if (!cloned) throw std::runtime_error("the Kelp child didn't answer clone");
      std::optional<std::string> session;
      for (const Message& m : *cloned)
        if (std::optional<std::string> s = field(m, "new-session")) session = s;
      if (!session) throw std::runtime_error("the Kelp child cloned no session");
      auto rt = std::make_shared<RuntimeState>();
      rt->child = c;
      rt->conn = conn;
      rt->session = *session;
      if (described) rt->ops = ops::op_names(*described);
      rt->nrepl_version = ops::nrepl_version(described);
      return rt;
    } catch (...) {
      call_safely([&] { self.child_ops_.kill(c); });
      if (conn) conn->close();
      throw;
    }
  }

  // Attempts in order, dropping what failed in a way that can be routed around: the library's git fetch, then
  // Orrery's own middleware. Each such failure is remembered for the evaluator's life.
  static RuntimePtr spawn_with_fallback(NRepl& self) {
    std::optional<child::MiddlewareSource> source = attempt_source(self);
    for (;;) {
      try {
        RuntimePtr rt = spawn_runtime(self, source);
        std::lock_guard lock(self.mutex_);
        rt->fetch_error = self.fetch_error_;
        rt->orrery_error = self.orrery_error_;
        return rt;
      } catch (const child::StartError& e) {
        if (is_stopped(self) || !source) throw;
        std::string said = start_text(e);
        std::optional<std::string> fetch = line_starting(said, "git dep:");
        if (source->git && fetch) {
          remember(self, &NRepl::fetch_error_, *fetch);
          remove_log(e);
          source->git.reset();
          source->local.reset();
          if (!source->orrery) source.reset();
          continue;
        }
        bool exited = std::string_view(e.what()).starts_with("kelp nrepl-server exited");
        if (source->orrery && exited) {
          std::string line = line_starting(said, "Unhandled exception:").value_or(e.what());
          remember(self, &NRepl::orrery_error_, "the Kelp child couldn't load Orrery's nREPL middleware: " + line);
          remove_log(e);
          source->orrery.reset();
          if (!source->has_library()) source.reset();
          continue;
        }
        throw;
      }
    }
  }

  static void remember(NRepl& self, std::optional<std::string> NRepl::*slot, std::string text) {
    std::lock_guard lock(self.mutex_);
    self.*slot = std::move(text);
  }

  // nullopt once a live child answers, else the sentence. restarted is set when a child had existed and died.
  static std::optional<std::string> start_runtime(NRepl& self, bool* restarted) {
    std::lock_guard start(self.start_lock_);
    RuntimePtr rt;
    {
      std::lock_guard lock(self.mutex_);
      if (self.stopped_) return std::string(STOPPED);
      rt = self.runtime_;
    }
    if (rt && is_live(self, rt)) return std::nullopt;
    if (rt) {
      if (restarted) *restarted = true;
      teardown(self);
    }
    try {
      RuntimePtr fresh = spawn_with_fallback(self);
      bool stopped;
      {
        std::lock_guard lock(self.mutex_);
        stopped = self.stopped_;
        if (!stopped) {
          self.runtime_ = fresh;
          self.ever_started_ = true;
          // A new child holds only user: whatever the old one's namespaces were, they are gone.
          self.prompt_ns_ = "user";
          self.owners_.clear();
        }
      }
      if (stopped) {
        kill_runtime(self, fresh);
        return std::string(STOPPED);
      }
      return std::nullopt;
    } catch (const child::StartError& e) {
      return start_failure(e.what(), e.log());
    } catch (const std::exception& e) {
      return start_failure(e.what(), std::nullopt);
    }
  }

  static RuntimePtr live_runtime(NRepl& self) {
    RuntimePtr rt;
    {
      std::lock_guard lock(self.mutex_);
      rt = self.runtime_;
    }
    return is_live(self, rt) ? rt : nullptr;
  }

  // ---------------------------------------------------------------------------------------------------------------
  // Bookkeeping evaluations on the person's session.

  // The printed value of one eval, or a throw: "the runtime didn't answer" on timeout, else the error text.
  static std::vector<Message> eval_sync(const RuntimePtr& rt, const std::string& code,
                                        std::optional<std::string> ns = std::nullopt) {
    Message msg = message({{"op", str("eval")},
                           {"code", str(code)},
                           {"session", str(rt->session)},
                           {"ns", ns ? str(*ns) : Value()}});
    std::optional<std::vector<Message>> replies = rt->conn->request_sync(msg, REQUEST_TIMEOUT);
    if (!replies) throw std::runtime_error("the runtime didn't answer");
    eval::Result r = ops::eval_result(*replies, {false, std::string(LOST_TEXT)});
    if (r.status != eval::Status::Ok) throw std::runtime_error(r.error_text.value_or("evaluation failed"));
    return *replies;
  }

  static std::optional<ops::NsSnapshot> ns_snapshot(const RuntimePtr& rt, std::optional<std::string> ns) {
    try {
      std::vector<Message> replies = eval_sync(rt, ops::ns_snapshot_code(), std::move(ns));
      return ops::read_ns_snapshot(ops::joined(replies, "out"));
    } catch (...) {
      return std::nullopt;
    }
  }

  // Once per child: the project's auto-require list, its output streamed like any evaluation's.
  static void auto_require(NRepl& self, const RunningPtr& r, const RuntimePtr& rt) {
    const std::vector<std::string>& names = self.selection_.auto_require;
    {
      std::lock_guard lock(self.mutex_);
      if (rt->auto_required || names.empty()) return;
      rt->auto_required = true;
    }
    say(r, "; auto-require: " + joined(names) + "\n");
    auto replies = std::make_shared<std::vector<Message>>();
    Message msg = message({{"op", str("eval")},
                           {"code", str(ops::keeping_history(require_code(names)))},
                           {"session", str(rt->session)}});
    auto done = std::make_shared<std::promise<void>>();
    std::string id = rt->conn->request(msg, [r, replies, done](const Message& m) {
      feed_output(r, m);
      replies->push_back(m);
      if (has_status(m, "done")) done->set_value();
    });
    // Stop reaches a require that hangs as it reaches the evaluation itself.
    if (claim_interrupt(self, r, id)) launch_interrupt(self, r, id);
    done->get_future().wait();
    bool stop;
    {
      std::lock_guard lock(self.mutex_);
      stop = r->stop_requested;
      r->id.reset();  // a Stop from here on waits for the main request's id
    }
    eval::Result result = ops::eval_result(*replies, {stop, std::string(LOST_TEXT)});
    if (result.status == eval::Status::Interrupted) {
      std::lock_guard lock(self.mutex_);
      rt->auto_required = false;  // stopped, not failed: the next evaluation tries again
    }
    if (result.status == eval::Status::Error)
      say(r,
          "; auto-require failed (the error is above), so carrying on without it. "
          "It runs again when the Kelp runtime restarts.\n");
  }

  // ---------------------------------------------------------------------------------------------------------------
  // Replies to the main request, on the reader thread. None of these may throw.

  static void feed_output(const RunningPtr& r, const Message& m, bool hold_out = false) {
    if (!r->opts.on_output) return;
    if (std::optional<std::string> out = field(m, "out"); out && !hold_out)
      call_safely([&] { r->opts.on_output(eval::OutputKind::Out, *out); });
    if (std::optional<std::string> err = field(m, "err"))
      call_safely([&] { r->opts.on_output(eval::OutputKind::Err, *err); });
  }

  // need-input marks the evaluation waiting; a reply that ends it while still marked clears that. Output does not:
  // a background thread printing while the read waits must not take the console out of input mode.
  static void stdin_watch(NRepl& self, const RunningPtr& r, const Message& m) {
    bool needs = has_status(m, "need-input");
    bool ends = has_status(m, "done") || has_status(m, "interrupted");
    std::optional<bool> tell;
    {
      std::lock_guard lock(self.mutex_);
      if (needs && !r->waiting) {
        r->waiting = true;
        tell = true;
      } else if (ends && r->waiting) {
        r->waiting = false;
        tell = false;
      }
    }
    if (tell && r->opts.on_wait_input) call_safely([&] { r->opts.on_wait_input(*tell); });
  }

  static void on_reply(NRepl& self, const RunningPtr& r, const Message& m) {
    call_safely([&] { feed_output(r, m, r->opts.quiet); });
    call_safely([&] { stdin_watch(self, r, m); });
    std::lock_guard lock(r->replies_mutex);
    r->replies.push_back(m);
    if (has_status(m, "done") && !r->done) {
      r->done = true;
      r->finished.set_value();
    }
  }

  // ---------------------------------------------------------------------------------------------------------------
  // One evaluation.

  static Message main_msg(NRepl& self, const RunningPtr& r, const RuntimePtr& rt) {
    const evaluator::EvalOptions& o = r->opts;
    if (o.quiet) {
      std::optional<std::string> named = o.ns_source ? ns_form_name(*o.ns_source) : std::nullopt;
      std::string ns = named.value_or(self.prompt_ns());
      return message({{"op", str("eval")},
                      {"code", str(ops::quiet_code(r->code, r->token, ns))},
                      {"session", str(rt->session)}});
    }
    if (o.run) {
      std::optional<fs::path> saved = session::saved_file(o.path, r->code);
      return message({{"op", str("load-file")},
                      {"file", str(r->code)},
                      {"file-path", saved ? str(saved->string()) : Value()},
                      {"file-name", str(saved ? saved->filename().string() : "untitled.clj")},
                      {"session", str(rt->session)}});
    }
    return message({{"op", str("eval")},
                    {"code", str(r->code)},
                    {"ns", str(self.prompt_ns())},
                    {"session", str(rt->session)}});
  }

  static void reset_for_run(NRepl& self, const RunningPtr& r, const RuntimePtr& rt) {
    std::vector<std::string> names;
    {
      std::lock_guard lock(self.mutex_);
      for (const evaluator::Owner& o : {r->owner, evaluator::OWNER_REPL}) {
        auto it = self.owners_.find(o);
        if (it == self.owners_.end()) continue;
        names.insert(names.end(), it->second.begin(), it->second.end());
        self.owners_.erase(it);
      }
      names.push_back("user");
    }
    try {
      eval_sync(rt, ops::reset_code(names));
    } catch (const std::exception& e) {
      if (r->opts.on_output)
        call_safely([&] {
          r->opts.on_output(eval::OutputKind::Err, "; Reset on Run failed: " + std::string(e.what()) + "\n");
        });
    }
    std::lock_guard lock(self.mutex_);
    for (const std::string& n : names)
      if (n == self.prompt_ns_) self.prompt_ns_ = "user";
  }

  // The namespaces that appeared, minus libraries; a namespace the code's own ns form declares is its own even
  // though the ns form marked it loaded.
  static void record_owner(NRepl& self, const RunningPtr& r, const std::optional<ops::NsSnapshot>& before,
                           const std::optional<ops::NsSnapshot>& after) {
    if (!before || !after) return;
    std::set<std::string> libs(after->loaded_libs.begin(), after->loaded_libs.end());
    if (std::optional<std::string> own = ns_form_name(r->code)) libs.erase(*own);
    std::set<std::string> created =
        session::namespaces_created({before->namespaces.begin(), before->namespaces.end()},
                                    {after->namespaces.begin(), after->namespaces.end()}, libs);
    if (created.empty()) return;
    std::lock_guard lock(self.mutex_);
    self.owners_[r->owner].merge(created);
  }

  static eval::Result build_result(NRepl& self, const RunningPtr& r, const std::optional<ops::NsSnapshot>& after) {
    std::vector<Message> replies;
    {
      std::lock_guard lock(r->replies_mutex);
      replies = r->replies;
    }
    bool stop;
    {
      std::lock_guard lock(self.mutex_);
      stop = r->stop_requested;
    }
    eval::Result result = ops::eval_result(replies, {stop, std::string(LOST_TEXT)});
    if (r->opts.quiet) {
      ops::QuietOutput q = ops::quiet_result(ops::joined(replies, "out"), r->token);
      if (!q.out.empty()) say(r, q.out);
      result = ops::quiet_reply(result, q);
      result.ns = self.prompt_ns();
      return result;
    }
    if (result.ns.empty() && r->opts.run) {
      // A Run that an error or Stop ended names no namespace: the buffer's own once the child has it, else user.
      std::optional<std::string> own = ns_form_name(r->code);
      bool exists = own && after &&
                    std::find(after->namespaces.begin(), after->namespaces.end(), *own) != after->namespaces.end();
      result.ns = exists ? *own : "user";
    }
    std::lock_guard lock(self.mutex_);
    if (result.ns.empty()) result.ns = self.prompt_ns_;
    self.prompt_ns_ = result.ns;
    return result;
  }

  static void evaluate_and_finish(NRepl& self, const RunningPtr& r, const RuntimePtr& rt) {
    std::optional<std::string> at = r->opts.run || r->opts.quiet ? std::nullopt : std::optional(self.prompt_ns());
    std::optional<ops::NsSnapshot> before = ns_snapshot(rt, at);
    Message msg = main_msg(self, r, rt);
    std::future<void> finished = r->finished.get_future();
    std::weak_ptr<NRepl> weak = self.weak_from_this();
    std::string id = rt->conn->request(msg, [weak, r](const Message& m) {
      if (std::shared_ptr<NRepl> s = weak.lock()) on_reply(*s, r, m);
    });
    // A Stop that came between the last check and the id becoming known starts the interrupt here, once.
    if (claim_interrupt(self, r, id)) launch_interrupt(self, r, id);
    finished.wait();
    std::optional<ops::NsSnapshot> after = ns_snapshot(rt, std::nullopt);
    record_owner(self, r, before, after);
    finish(self, r, build_result(self, r, after));
  }

  // Records the request id; true when a Stop already asked and nobody has started its interrupt yet.
  static bool claim_interrupt(NRepl& self, const RunningPtr& r, const std::string& id) {
    std::lock_guard lock(self.mutex_);
    r->id = id;
    if (!r->stop_requested || r->restart_triggered) return false;
    r->restart_triggered = true;
    return true;
  }

  static void run_worker(NRepl& self, const RunningPtr& r) {
    try {
      if (r->opts.on_status_change)
        call_safely([&] { r->opts.on_status_change(eval::RunStatus::Running); });
      bool restarted = false;
      if (std::optional<std::string> failed = start_runtime(self, &restarted)) {
        finish(self, r, error_result(*failed));
        return;
      }
      RuntimePtr rt;
      {
        std::lock_guard lock(self.mutex_);
        rt = self.runtime_;
        r->runtime = rt;
      }
      if (!rt) {
        finish(self, r, is_stop_requested(self, r) ? interrupted_result() : error_result(std::string(LOST_TEXT)));
        return;
      }
      if (restarted) say(r, RESTARTED_NOTICE);
      if (!rt->ops.contains("stdin") && ops::reads_stdin(r->code)) say(r, STDIN_NOTICE);
      auto_require(self, r, rt);
      if (is_stop_requested(self, r)) {
        finish(self, r, interrupted_result());
        return;
      }
      bool reset;
      {
        std::lock_guard lock(self.mutex_);
        reset = r->opts.run && r->opts.reset && self.mode_ == evaluator::Mode::Reset;
      }
      if (reset) reset_for_run(self, r, rt);
      if (r->opts.clear_line_counts && rt->ops.contains("orrery-line-counts"))
        rt->conn->request_sync(message({{"op", str("orrery-line-counts")},
                                        {"action", str("clear")},
                                        {"session", str(rt->session)}}),
                               REQUEST_TIMEOUT);
      evaluate_and_finish(self, r, rt);
    } catch (const std::exception& e) {
      finish(self, r, error_result(e.what()));
    } catch (...) {
      finish(self, r, error_result("evaluation failed"));
    }
  }

  static bool is_stop_requested(NRepl& self, const RunningPtr& r) {
    std::lock_guard lock(self.mutex_);
    return r->stop_requested;
  }

  // :running cleared and the status idle first, then the completion: the next evaluation can begin at once.
  static void finish(NRepl& self, const RunningPtr& r, const eval::Result& result) {
    {
      std::lock_guard lock(self.mutex_);
      if (self.running_ == r) self.running_ = nullptr;
      r->waiting = false;
    }
    if (r->opts.on_status_change) call_safely([&] { r->opts.on_status_change(eval::RunStatus::Idle); });
    if (r->opts.on_complete) call_safely([&] { r->opts.on_complete(result); });
  }

  // ---------------------------------------------------------------------------------------------------------------
  // Stop.

  static void launch_interrupt(NRepl& self, const RunningPtr& r, const std::string& id) {
    try {
      std::thread([s = self.shared_from_this(), r, id] { interrupt_or_restart(*s, r, id); }).detach();
    } catch (const std::exception& e) {
      say(r, std::string(STOP_FAILED) + e.what() + "\n");
    }
  }

  static bool wait_until_ended(NRepl& self, const RunningPtr& r, std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      {
        std::lock_guard lock(self.mutex_);
        if (self.running_ != r) return true;
      }
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(5ms);
    }
  }

  static void interrupt_or_restart(NRepl& self, const RunningPtr& r, const std::string& id) {
    try {
      RuntimePtr rt;
      {
        std::lock_guard lock(self.mutex_);
        rt = r->runtime;
      }
      if (!rt) return;
      Value session = str(rt->session);
      if (rt->ops.contains("orrery-frame-interrupt"))
        rt->conn->request(message({{"op", str("orrery-frame-interrupt")}, {"session", session}}),
                          [](const Message&) {});
      bool ended = false;
      if (rt->ops.contains("interrupt")) {
        std::optional<std::vector<Message>> answer = rt->conn->request_sync(
            message({{"op", str("interrupt")}, {"interrupt-id", str(id)}, {"session", session}}), INTERRUPT_TIMEOUT);
        ended = answer && wait_until_ended(self, r, INTERRUPT_TIMEOUT);
      }
      if (!ended) restart_for_stop(self, r, rt);
    } catch (const std::exception& e) {
      say(r, std::string(STOP_FAILED) + e.what() + "\n");
    }
  }

  // Kills the child (the evaluation then ends as interrupted through the disconnected reply) and starts a fresh one.
  static void restart_for_stop(NRepl& self, const RunningPtr& r, const RuntimePtr& rt) {
    {
      std::lock_guard start(self.start_lock_);
      bool same;
      {
        std::lock_guard lock(self.mutex_);
        same = self.runtime_ == rt;
      }
      if (same) teardown(self);
      else kill_runtime(self, rt);  // already replaced or torn down: make sure the old one is gone
    }
    if (is_stopped(self)) return;
    std::optional<std::string> failed = start_runtime(self, nullptr);
    if (!failed) say(r, STOP_RESTARTED);
    else if (!is_stopped(self)) say(r, std::string(STOP_RESTART_FAILED) + *failed + "\n");
  }

  // ---------------------------------------------------------------------------------------------------------------
  // stdin.

  static void send_stdin(NRepl& self, std::string text) {
    RuntimePtr rt;
    {
      std::lock_guard lock(self.mutex_);
      if (!self.running_ || !self.running_->waiting) return;
      self.running_->waiting = false;
      rt = self.running_->runtime;
    }
    if (!rt) return;
    Message msg = message({{"op", str("stdin")}, {"stdin", str(text)}, {"session", str(rt->session)}});
    try {
      std::thread([rt, msg] { call_safely([&] { rt->conn->request(msg, [](const Message&) {}); }); }).detach();
    } catch (...) {
    }
  }
};

// -----------------------------------------------------------------------------------------------------------------

NRepl::NRepl(dialect::Selection selection, ChildOps child_ops)
    : selection_(std::move(selection)), child_ops_(std::move(child_ops)) {
  kelp::boot();
}

NRepl::~NRepl() {
  // Nothing else can reach this evaluator any more; a child it still names must not outlive it.
  Impl::kill_runtime(*this, runtime_);
}

std::optional<std::string> NRepl::start() { return Impl::start_runtime(*this, nullptr); }

void NRepl::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    // The teardown below ends the evaluation; no interrupt thread is to restart anything.
    if (running_) {
      running_->stop_requested = true;
      running_->restart_triggered = true;
    }
  }
  // Never waits on a start in flight: that start sees stopped_ and tears down what it started.
  if (!start_lock_.try_lock()) return;
  Impl::teardown(*this);
  start_lock_.unlock();
}

std::optional<std::string> NRepl::eval(std::string code, evaluator::EvalOptions opts) {
  auto r = std::make_shared<Running>();
  r->owner = opts.owner.value_or(opts.run ? evaluator::OWNER_RUN : evaluator::OWNER_REPL);
  if (opts.quiet) r->token = fresh_token();
  bool entry = !opts.run && !opts.quiet;
  r->code = std::move(code);
  r->opts = std::move(opts);
  {
    std::lock_guard lock(mutex_);
    if (running_) return std::string(eval::BUSY_WARNING);
    running_ = r;
    r->eval_id = std::to_string(++eval_counter_);
  }
  try {
    std::thread([s = shared_from_this(), r] { Impl::run_worker(*s, r); }).detach();
  } catch (...) {
    std::lock_guard lock(mutex_);
    if (running_ == r) running_ = nullptr;
    return std::string(eval::NO_WORKER_WARNING);
  }
  if (entry) history_.update([&](eval::History h) { return eval::history_add(std::move(h), r->code); });
  return std::nullopt;
}

void NRepl::interrupt() {
  RunningPtr r;
  std::string id;
  {
    std::lock_guard lock(mutex_);
    r = running_;
    if (!r) return;
    r->stop_requested = true;
    // Only the press that sets restart_triggered goes on: repeated presses start one interrupt.
    if (!r->id || r->restart_triggered) return;
    r->restart_triggered = true;
    id = *r->id;
  }
  Impl::launch_interrupt(*this, r, id);
}

bool NRepl::is_evaluating() {
  std::lock_guard lock(mutex_);
  return running_ != nullptr;
}

bool NRepl::is_waiting_for_input() {
  std::lock_guard lock(mutex_);
  return running_ && running_->waiting;
}

void NRepl::send_input(std::string_view text) { Impl::send_stdin(*this, std::string(text) + "\n"); }
void NRepl::send_eof() { Impl::send_stdin(*this, ""); }

std::string NRepl::prompt_ns() {
  std::lock_guard lock(mutex_);
  return prompt_ns_;
}

void NRepl::set_mode(evaluator::Mode mode) {
  std::lock_guard lock(mutex_);
  mode_ = mode;
}

void NRepl::release_owner(const evaluator::Owner& owner) {
  std::lock_guard lock(mutex_);
  session::State s;
  s.created = std::move(owners_);
  owners_ = session::release_owner_in(std::move(s), owner).created;
}

std::map<evaluator::Owner, std::set<std::string>> NRepl::owners() {
  std::lock_guard lock(mutex_);
  return owners_;
}

// Definitions in the buffer and the runtime's special forms and builtins: what Orrery knows without the child.
Value NRepl::offline_candidates(const evaluator::CompleteRequest& req) {
  return evaluator::offline_candidates(req, evaluator::NO_IN_PROCESS_NS);
}

Value NRepl::complete(const evaluator::CompleteRequest& req) {
  Value offline = offline_candidates(req);
  try {
    RuntimePtr rt = Impl::live_runtime(*this);
    if (!rt || !rt->ops.contains("completions")) return offline;
    std::optional<std::vector<Message>> replies =
        rt->conn->request_sync(message({{"op", str("completions")},
                                        {"prefix", str(req.prefix)},
                                        {"ns", str(prompt_ns())},
                                        {"session", str(rt->session)}}),
                               evaluator::help_timeout(HELP_TIMEOUT));
    if (!replies || ops::has_any_status(*replies, "error")) return offline;
    return ops::merge_candidates(offline, ops::candidates(*replies), req.prefix);
  } catch (...) {
    return offline;
  }
}

// The child's own answer, else what Orrery knows offline: special forms, and the names of kelp's own namespaces
// (the child runs the same kelp); never the in-process runtime's user names, which are not the child's.
Value NRepl::lookup(std::string_view sym, int64_t /*pos*/) {
  try {
    if (RuntimePtr rt = Impl::live_runtime(*this)) {
      std::string op = rt->ops.contains("orrery-info") ? "orrery-info" : "lookup";
      if (rt->ops.contains(op)) {
        std::optional<std::vector<Message>> replies =
            rt->conn->request_sync(message({{"op", str(op)},
                                            {"sym", str(sym)},
                                            {"ns", str(prompt_ns())},
                                            {"session", str(rt->session)}}),
                                   evaluator::help_timeout(HELP_TIMEOUT));
        if (replies) {
          Value doc = ops::doc_info(*replies, sym);
          if (!doc.is_nil()) return doc;
        }
      }
    }
    std::optional<DocMap> doc = runtime_doc(kelp::to_u32(sym));
    if (!doc) return Value();
    bool own = doc->ns && (doc->ns->starts_with("clojure.") || doc->ns->starts_with("kelp."));
    return doc->special_form || own ? doc_map_value(*doc) : Value();
  } catch (...) {
    return Value();
  }
}

std::vector<std::string> NRepl::limitations() {
  RuntimePtr rt = Impl::live_runtime(*this);
  if (!rt) return {};
  std::vector<std::string> out;
  if (!rt->ops.contains("orrery-info"))
    out.emplace_back("Jump to definition stays in this buffer: lookup reports no file or line.");
  if (!rt->ops.contains("stdin"))
    out.emplace_back(
        "No stdin: read-line returns nil and read fails with EOF. Put {:runtime :in-process} in .orrery.edn to run "
        "this project in process instead.");
  if (rt->orrery_error) out.push_back("No inspector: " + *rt->orrery_error + ". {:runtime :in-process} has one.");
  if (rt->fetch_error)
    out.push_back("Kelp's nREPL middleware (kelp-lang/nrepl " + child::nrepl_git_coord().tag +
                  ") couldn't be fetched, so this is a plain nREPL server; a new window tries again. Kelp said: " +
                  *rt->fetch_error);
  if (!rt->ops.contains("interrupt")) out.emplace_back("Stop restarts the runtime: this server has no interrupt op.");
  return out;
}

bool NRepl::is_settled() {
  if (!start_lock_.try_lock()) return false;
  RuntimePtr rt;
  {
    std::lock_guard lock(mutex_);
    rt = runtime_;
  }
  bool live = false;
  if (rt) {
    try {
      live = child_ops_.is_alive(rt->child);
    } catch (...) {
    }
  }
  start_lock_.unlock();
  return !live;
}

// A start may hold the lock for the whole readiness deadline plus the termination grace.
std::optional<std::chrono::milliseconds> NRepl::settle_deadline() {
  return child::READY_DEADLINE + 2 * child::TERM_GRACE;
}

void NRepl::child_op(Message msg, std::chrono::milliseconds timeout,
                     std::function<Value(const std::vector<Message>&)> reply_fn,
                     std::function<void(const Value&)> on_done, ChildOpAnswers answers) {
  auto work = [s = shared_from_this(), msg = std::move(msg), timeout, reply_fn = std::move(reply_fn),
               on_done = std::move(on_done), answers = std::move(answers)] {
    Value answer;
    try {
      RuntimePtr rt;
      bool ever;
      {
        std::lock_guard lock(s->mutex_);
        rt = s->runtime_;
        ever = s->ever_started_;
      }
      std::string op = field(msg, "op").value_or("");
      if (!rt) {
        answer = error_map(ever ? std::string(INSPECT_LOST) : answers.not_running);
      } else if (!Impl::is_live(*s, rt)) {
        answer = error_map(INSPECT_LOST);
      } else if (!rt->ops.contains(op)) {
        answer = error_map(answers.unavailable);
      } else {
        std::optional<std::vector<Message>> replies =
            rt->conn->request_sync(kelp::assoc(msg, kw("session"), str(rt->session)), timeout);
        if (!replies) answer = error_map(NO_ANSWER);
        else if (ops::has_any_status(*replies, ops::DISCONNECTED_STATUS)) answer = error_map(INSPECT_LOST);
        else answer = reply_fn(*replies);
      }
    } catch (const std::exception& e) {
      answer = error_map(e.what());
    }
    if (on_done) call_safely([&] { on_done(answer); });
  };
  try {
    std::thread(std::move(work)).detach();
  } catch (const std::exception& e) {
    if (on_done) call_safely([&] { on_done(error_map(e.what())); });
  }
}

std::optional<pid_t> NRepl::child_pid() {
  RuntimePtr rt = Impl::live_runtime(*this);
  return rt ? std::optional(rt->child.pid) : std::nullopt;
}

std::optional<int> NRepl::child_port() {
  RuntimePtr rt = Impl::live_runtime(*this);
  return rt ? std::optional(rt->child.port) : std::nullopt;
}

std::shared_ptr<NRepl> make_nrepl(const dialect::Selection& selection, ChildOps child_ops) {
  return std::make_shared<NRepl>(selection, std::move(child_ops));
}

void register_nrepl() {
  evaluator::register_factory(dialect::Runtime::Nrepl, [](const dialect::Selection& selection) {
    return evaluator::EvaluatorPtr(make_nrepl(selection));
  });
}

}  // namespace orrery::nrepl
