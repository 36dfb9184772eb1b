#include "orrery/nrepl/evaluator.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/nrepl/bencode.hpp"
#include "orrery/nrepl/ops.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl {
namespace {

using namespace std::chrono_literals;
using kelp::Value;

Value edn(std::string_view text) { return kelp::read_edn(text).value(); }

// A field of a request as the server decoded it (string keys).
std::string text_of(const Value& m, std::string_view key) {
  const Value* v = kelp::is_map(m) ? kelp::get(m, kelp::make_string(key)) : nullptr;
  return v && v->is(kelp::Kind::String) ? std::string(kelp::str_view(*v)) : std::string();
}

const std::set<std::string> FULL_OPS{"describe", "clone", "eval", "load-file", "interrupt", "stdin", "completions",
                                     "lookup"};

// A scripted nREPL server on one end of a socket pair: the kelp child as the evaluator sees it. It answers describe,
// clone, the namespace snapshot, reset code and stdin itself; the person's evals and load-files go to on_eval.
class FakePeer {
 public:
  explicit FakePeer(std::set<std::string> ops) : ops_(std::move(ops)) {}
  ~FakePeer() {
    die();
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }

  std::shared_ptr<Connection> connect() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    fd_ = fds[0];
    thread_ = std::thread([this] { serve(); });
    return Connection::adopt(fds[1]);
  }

  // As kill -9: the process is gone and its end of the socket with it.
  void die() {
    alive = false;
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  }

  void reply(const Value& request, std::string_view fields) {
    Value m = kelp::assoc(edn(fields), kelp::make_string("id"), kelp::make_string(text_of(request, "id")));
    std::string bytes = encode(m);
    std::lock_guard lock(write_mutex_);
    [[maybe_unused]] ssize_t n = ::write(fd_, bytes.data(), bytes.size());
  }

  // The requests with this op received so far (the person's evals only, for "eval").
  std::vector<Value> received(std::string_view op) {
    std::lock_guard lock(mutex_);
    std::vector<Value> out;
    for (const Value& m : received_)
      if (text_of(m, "op") == op) out.push_back(m);
    return out;
  }

  // Waits until n requests with op have come.
  Value wait_for(std::string_view op, size_t n = 1) {
    std::unique_lock lock(mutex_);
    Value found;
    cv_.wait_for(lock, 10s, [&] {
      size_t seen = 0;
      for (const Value& m : received_)
        if (text_of(m, "op") == op && ++seen == n) found = m;
      return !found.is_nil();
    });
    return found;
  }

  std::function<void(FakePeer&, const Value&)> on_eval = [](FakePeer& p, const Value& m) {
    p.reply(m, R"({"value" "nil" "ns" "user"})");
    p.reply(m, R"({"status" ["done"]})");
  };
  // Any other op; false leaves it to the default answer.
  std::function<bool(FakePeer&, const Value&)> on_other = [](FakePeer&, const Value&) { return false; };
  std::function<void(FakePeer&, const Value&)> on_interrupt = [](FakePeer& p, const Value& m) {
    p.reply(m, R"({"status" ["done"]})");
  };
  std::vector<std::string> namespaces{"user"};
  std::vector<std::string> resets;  // reset code received
  std::atomic<bool> alive{true};

 private:
  void serve() {
    FdSource in(fd_);
    try {
      while (std::optional<Value> m = decode(in)) handle(*m);
    } catch (...) {
    }
  }

  void handle(const Value& m) {
    std::string op = text_of(m, "op"), code = text_of(m, "code");
    bool bookkeeping = op == "eval" && (code == ops::ns_snapshot_code() || code.find("remove-ns 'user") != code.npos);
    if (!bookkeeping) {
      std::lock_guard lock(mutex_);
      received_.push_back(m);
      cv_.notify_all();
    }
    if (op == "describe") {
      std::string names;
      for (const std::string& o : ops_) names += kelp::pr_str(kelp::make_string(o)) + " {} ";
      reply(m, R"({"ops" {)" + names + R"(} "versions" {"nrepl" {"major" 1 "minor" 0}} "status" ["done"]})");
    } else if (op == "clone") {
      reply(m, R"({"new-session" "s1" "status" ["done"]})");
    } else if (bookkeeping && code == ops::ns_snapshot_code()) {
      std::vector<Value> names;
      for (const std::string& n : namespaces) names.push_back(kelp::make_string(n));
      Value snapshot = kelp::make_vector({kelp::make_vector(names), kelp::empty_vector()});
      reply(m, "{\"out\" " + kelp::pr_str(kelp::make_string(kelp::pr_str(snapshot) + "\n")) + "}");
      reply(m, R"({"value" "nil" "status" ["done"]})");
    } else if (bookkeeping) {
      resets.push_back(code);
      std::erase_if(namespaces, [&](const std::string& n) {
        return n != "user" && code.find(kelp::pr_str(kelp::make_string(n))) != std::string::npos;
      });
      reply(m, R"({"value" "nil" "status" ["done"]})");
    } else if (op == "eval" || op == "load-file") {
      on_eval(*this, m);
    } else if (op == "interrupt") {
      on_interrupt(*this, m);
    } else if (on_other(*this, m)) {
    } else if (ops_.contains(op)) {
      reply(m, R"({"status" ["done"]})");
    } else {
      reply(m, R"({"status" ["done" "error" "unknown-op"]})");
    }
  }

  std::set<std::string> ops_;
  int fd_ = -1;
  std::thread thread_;
  std::mutex write_mutex_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Value> received_;
};

// Starts FakePeers in place of kelp children. before_start runs first on each start and may throw or block.
struct FakeKelp : std::enable_shared_from_this<FakeKelp> {
  std::set<std::string> ops = FULL_OPS;
  std::function<void(FakePeer&)> setup = [](FakePeer&) {};
  std::function<void(const std::optional<child::MiddlewareSource>&)> before_start = [](const auto&) {};
  std::optional<child::MiddlewareSource> first_source;

  std::mutex mutex;
  std::vector<std::shared_ptr<FakePeer>> peers;
  std::vector<std::optional<child::MiddlewareSource>> sources;

  std::shared_ptr<FakePeer> peer(size_t i) {
    std::lock_guard lock(mutex);
    return i < peers.size() ? peers[i] : nullptr;
  }
  size_t starts() {
    std::lock_guard lock(mutex);
    return peers.size();
  }

  ChildOps child_ops() {
    std::shared_ptr<FakeKelp> self = shared_from_this();
    ChildOps o;
    o.source = [self] { return self->first_source; };
    o.start = [self](const std::filesystem::path&, const std::optional<child::MiddlewareSource>& source) {
      {
        std::lock_guard lock(self->mutex);
        self->sources.push_back(source);
      }
      self->before_start(source);
      auto p = std::make_shared<FakePeer>(self->ops);
      self->setup(*p);
      std::lock_guard lock(self->mutex);
      self->peers.push_back(p);
      child::Child c;
      c.port = static_cast<int>(self->peers.size() - 1);
      c.pid = 100000 + c.port;
      return c;
    };
    o.connect = [self](const child::Child& c) { return self->peer(c.port)->connect(); };
    o.is_alive = [self](const child::Child& c) {
      std::shared_ptr<FakePeer> p = self->peer(c.port);
      return p && p->alive.load();
    };
    o.kill = [self](const child::Child& c) {
      if (std::shared_ptr<FakePeer> p = self->peer(c.port)) p->die();
    };
    return o;
  }
};

// What one evaluation's callbacks saw.
struct Seen {
  std::mutex mutex;
  std::string out, err;
  std::vector<bool> waits;
  std::promise<eval::Result> done;
  std::shared_future<eval::Result> result_future = done.get_future().share();

  static evaluator::EvalOptions options(const std::shared_ptr<Seen>& s, evaluator::EvalOptions o = {}) {
    o.on_output = [s](eval::OutputKind k, std::string_view text) {
      std::lock_guard lock(s->mutex);
      (k == eval::OutputKind::Out ? s->out : s->err) += text;
    };
    o.on_wait_input = [s](bool w) {
      std::lock_guard lock(s->mutex);
      s->waits.push_back(w);
    };
    o.on_complete = [s](const eval::Result& r) { s->done.set_value(r); };
    return o;
  }
  eval::Result result() {
    EXPECT_EQ(result_future.wait_for(15s), std::future_status::ready);
    return result_future.get();
  }
  std::string output() {
    std::lock_guard lock(mutex);
    return out;
  }
};

struct Harness {
  std::shared_ptr<FakeKelp> kelp = std::make_shared<FakeKelp>();
  std::shared_ptr<NRepl> ev;
  std::vector<std::string> auto_require;

  void make() {
    dialect::Selection sel;
    sel.runtime = dialect::Runtime::Nrepl;
    sel.project_dir = std::filesystem::temp_directory_path();
    sel.auto_require = auto_require;
    ev = make_nrepl(sel, kelp->child_ops());
  }
  std::shared_ptr<Seen> eval(std::string code, evaluator::EvalOptions o = {}) {
    if (!ev) make();
    auto s = std::make_shared<Seen>();
    EXPECT_EQ(ev->eval(std::move(code), Seen::options(s, std::move(o))), std::nullopt);
    return s;
  }
  ~Harness() {
    if (ev) ev->stop();
  }
};

// An eval that answers only when the test says so.
struct Held {
  std::mutex mutex;
  std::vector<Value> requests;
  void hold(FakePeer& p) {
    p.on_eval = [this](FakePeer&, const Value& m) {
      std::lock_guard lock(mutex);
      requests.push_back(m);
    };
  }
};

TEST(NreplEvaluator, BusyEvalIsRefusedAndSendsNothing) {
  Harness h;
  Held held;
  h.kelp->setup = [&](FakePeer& p) { held.hold(p); };
  auto first = h.eval("(Thread/sleep 100000)");
  while (!h.kelp->peer(0)) std::this_thread::sleep_for(1ms);
  Value sent = h.kelp->peer(0)->wait_for("eval");
  ASSERT_FALSE(sent.is_nil());

  auto s = std::make_shared<Seen>();
  EXPECT_EQ(h.ev->eval("(+ 1 2)", Seen::options(s)), std::string(eval::BUSY_WARNING));
  EXPECT_TRUE(h.ev->is_evaluating());
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(h.kelp->peer(0)->received("eval").size(), 1u);

  h.kelp->peer(0)->reply(sent, R"({"value" "3" "ns" "user" "status" ["done"]})");
  eval::Result r = first->result();
  EXPECT_EQ(r.status, eval::Status::Ok);
  EXPECT_EQ(r.printed, "3");
  EXPECT_EQ(h.ev->history().get().items, std::vector<std::string>{"(Thread/sleep 100000)"});
}

TEST(NreplEvaluator, StopPressedTwiceSendsOneInterrupt) {
  Harness h;
  Held held;
  h.kelp->setup = [&](FakePeer& p) {
    held.hold(p);
    p.on_interrupt = [&held](FakePeer& peer, const Value& m) {
      std::this_thread::sleep_for(50ms);  // the second press lands while the first is in flight
      std::lock_guard lock(held.mutex);
      peer.reply(held.requests.at(0), R"({"status" ["done" "interrupted"]})");
      peer.reply(m, R"({"status" ["done"]})");
    };
  };
  auto s = h.eval("(loop [] (recur))");
  while (!h.kelp->peer(0)) std::this_thread::sleep_for(1ms);
  Value sent = h.kelp->peer(0)->wait_for("eval");
  h.ev->interrupt();
  h.ev->interrupt();
  EXPECT_EQ(s->result().status, eval::Status::Interrupted);
  std::vector<Value> interrupts = h.kelp->peer(0)->received("interrupt");
  ASSERT_EQ(interrupts.size(), 1u);
  EXPECT_EQ(text_of(interrupts[0], "interrupt-id"), text_of(sent, "id"));
  EXPECT_EQ(text_of(interrupts[0], "session"), "s1");
  EXPECT_EQ(h.kelp->starts(), 1u);
}

TEST(NreplEvaluator, StopRestartsTheChildWhenTheInterruptCannotEndTheEvaluation) {
  struct Case {
    const char* name;
    bool has_interrupt_op;
  };
  for (const Case& c : {Case{"no interrupt op", false}, Case{"interrupt answered but ignored", true}}) {
    SCOPED_TRACE(c.name);
    Harness h;
    Held held;
    if (!c.has_interrupt_op) h.kelp->ops.erase("interrupt");
    h.kelp->setup = [&](FakePeer& p) { held.hold(p); };
    auto s = h.eval("(Thread/sleep 100000)");
    while (!h.kelp->peer(0)) std::this_thread::sleep_for(1ms);
    h.kelp->peer(0)->wait_for("eval");
    h.ev->interrupt();
    EXPECT_EQ(s->result().status, eval::Status::Interrupted);
    EXPECT_FALSE(h.kelp->peer(0)->alive);
    for (int i = 0; i < 1000 && s->output().find(STOP_RESTARTED) == std::string::npos; ++i)
      std::this_thread::sleep_for(10ms);
    EXPECT_NE(s->output().find(STOP_RESTARTED), std::string::npos) << s->output();
    EXPECT_EQ(h.kelp->starts(), 2u);
    EXPECT_EQ(h.kelp->peer(0)->received("interrupt").size(), c.has_interrupt_op ? 1u : 0u);
    std::vector<std::string> limits = h.ev->limitations();
    bool says_restarts = std::find(limits.begin(), limits.end(),
                                   "Stop restarts the runtime: this server has no interrupt op.") != limits.end();
    EXPECT_EQ(says_restarts, !c.has_interrupt_op);
  }
}

TEST(NreplEvaluator, StopBeforeTheRequestIsSentEndsInterruptedWithoutSendingIt) {
  Harness h;
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::promise<void> entered;
  h.kelp->before_start = [&](const auto&) {
    entered.set_value();
    gate.wait();
  };
  auto s = h.eval("(println :never)");
  entered.get_future().wait();
  h.ev->interrupt();
  release.set_value();
  EXPECT_EQ(s->result().status, eval::Status::Interrupted);
  EXPECT_TRUE(h.kelp->peer(0)->received("eval").empty());
  EXPECT_TRUE(h.kelp->peer(0)->received("interrupt").empty());
  EXPECT_FALSE(h.ev->is_evaluating());
}

TEST(NreplEvaluator, QuietEvaluationHoldsBackItsTokenLine) {
  Harness h;
  h.kelp->setup = [](FakePeer& p) {
    p.on_eval = [](FakePeer& peer, const Value& m) {
      std::smatch token;
      std::string code = text_of(m, "code");
      ASSERT_TRUE(std::regex_search(code, token, std::regex("orrery-quiet-[0-9-]+")));
      std::string out = "printed by the code\n" + token.str() + " {:value \"42\"}\n";
      peer.reply(m, "{\"out\" " + kelp::pr_str(kelp::make_string(out)) + "}");
      peer.reply(m, R"({"value" "7" "ns" "other" "status" ["done"]})");
    };
  };
  evaluator::EvalOptions o;
  o.quiet = true;
  auto s = h.eval("(* 6 7)", o);
  eval::Result r = s->result();
  EXPECT_EQ(r.status, eval::Status::Ok);
  EXPECT_EQ(r.printed, "42");
  EXPECT_EQ(s->output(), "printed by the code");
  EXPECT_EQ(h.ev->prompt_ns(), "user");
  EXPECT_TRUE(h.ev->history().get().items.empty());
}

TEST(NreplEvaluator, ACodeThatReadsStdinIsWarnedOnlyWhenTheChildHasNoStdin) {
  for (bool has_stdin : {false, true}) {
    SCOPED_TRACE(has_stdin ? "stdin op" : "no stdin op");
    Harness h;
    if (!has_stdin) h.kelp->ops.erase("stdin");
    auto s = h.eval("(read-line)");
    s->result();
    EXPECT_EQ(s->output(), has_stdin ? "" : std::string(STDIN_NOTICE));
  }
}

TEST(NreplEvaluator, AutoRequireRunsOncePerChildAndAFailureIsNoStop) {
  Harness h;
  h.auto_require = {"app.main", "app.extra"};
  h.kelp->setup = [](FakePeer& p) {
    p.on_eval = [](FakePeer& peer, const Value& m) {
      if (text_of(m, "code").find("clojure.core/require") != std::string::npos) {
        peer.reply(m, R"({"err" "Syntax error compiling at (app/main.clj:1:1).\nboom\n"})");
        peer.reply(m, R"({"ex" "class clojure.lang.Compiler$CompilerException" "status" ["eval-error"]})");
        return peer.reply(m, R"({"status" ["done"]})");
      }
      peer.reply(m, R"({"value" "1" "ns" "user" "status" ["done"]})");
    };
  };
  auto first = h.eval("1");
  EXPECT_EQ(first->result().printed, "1");
  EXPECT_EQ(first->output(),
            "; auto-require: app.main app.extra\n"
            "; auto-require failed (the error is above), so carrying on without it. It runs again when the Kelp "
            "runtime restarts.\n");
  {
    std::lock_guard lock(first->mutex);
    EXPECT_NE(first->err.find("boom"), std::string::npos);
  }
  auto second = h.eval("1");
  second->result();
  EXPECT_EQ(second->output(), "");
  std::vector<Value> evals = h.kelp->peer(0)->received("eval");
  ASSERT_EQ(evals.size(), 3u);
  EXPECT_NE(text_of(evals[0], "code").find("(clojure.core/require (quote app.main) (quote app.extra))"),
            std::string::npos);
}

TEST(NreplEvaluator, LostChildEndsTheEvaluationAndTheNextStartsANewOne) {
  Harness h;
  h.kelp->setup = [](FakePeer& p) {
    p.on_eval = [](FakePeer& peer, const Value& m) {
      if (text_of(m, "code") == "(crash)") peer.die();
      else peer.reply(m, R"({"value" "1" "ns" "user" "status" ["done"]})");
    };
  };
  eval::Result lost = h.eval("(crash)")->result();
  EXPECT_EQ(lost.status, eval::Status::Error);
  EXPECT_EQ(lost.error_text, std::string(LOST_TEXT));

  auto next = h.eval("1");
  EXPECT_EQ(next->result().status, eval::Status::Ok);
  EXPECT_EQ(next->output(), std::string(RESTARTED_NOTICE));
  EXPECT_EQ(h.kelp->starts(), 2u);
}

TEST(NreplEvaluator, StopDuringAStartReturnsAtOnceAndTheStartedChildIsKilled) {
  Harness h;
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::promise<void> entered;
  h.kelp->before_start = [&](const auto&) {
    entered.set_value();
    gate.wait();
  };
  auto s = h.eval("1");
  entered.get_future().wait();
  auto stopped = std::async(std::launch::async, [&] { h.ev->stop(); });
  EXPECT_EQ(stopped.wait_for(5s), std::future_status::ready) << "stop() waited for the start";
  EXPECT_FALSE(h.ev->is_settled());
  release.set_value();
  eval::Result r = s->result();
  EXPECT_EQ(r.error_text, std::string(STOPPED));
  EXPECT_FALSE(h.kelp->peer(0)->alive);
  EXPECT_TRUE(h.ev->is_settled());
  EXPECT_EQ(h.ev->start(), std::string(STOPPED));
  EXPECT_EQ(h.kelp->starts(), 1u);
}

TEST(NreplEvaluator, ReadLineWaitsForInputAndSendsTheLine) {
  Harness h;
  Held held;
  h.kelp->setup = [&](FakePeer& p) {
    p.on_eval = [&held](FakePeer& peer, const Value& m) {
      {
        std::lock_guard lock(held.mutex);
        held.requests.push_back(m);
      }
      peer.reply(m, R"({"status" ["need-input"]})");
    };
  };
  auto s = h.eval("(read-line)");
  for (int i = 0; i < 1000 && !h.ev->is_waiting_for_input(); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(h.ev->is_waiting_for_input());
  h.ev->send_input("hello");
  EXPECT_FALSE(h.ev->is_waiting_for_input());
  Value stdin = h.kelp->peer(0)->wait_for("stdin");
  EXPECT_EQ(text_of(stdin, "stdin"), "hello\n");
  EXPECT_EQ(text_of(stdin, "session"), "s1");
  h.ev->send_input("ignored: no read waits");
  {
    std::lock_guard lock(held.mutex);
    h.kelp->peer(0)->reply(held.requests.at(0), R"({"value" "\"hello\"" "ns" "user" "status" ["done"]})");
  }
  EXPECT_EQ(s->result().printed, "\"hello\"");
  EXPECT_EQ(h.kelp->peer(0)->received("stdin").size(), 1u);
  std::lock_guard lock(s->mutex);
  EXPECT_EQ(s->waits, std::vector<bool>{true});  // send_input cleared it; done found nothing left to clear
}

TEST(NreplEvaluator, StartFailureSaysKelpsOwnLineAndKeepsTheLog) {
  orrery::testing::TempDir dir;
  std::filesystem::path log =
      dir.write("orrery-nrepl-1.log", "loading\nUnhandled exception:   Could not locate foo/core.clj\n");
  Harness h;
  h.kelp->before_start = [&](const auto&) {
    throw child::StartError("kelp nrepl-server exited: loading", log);
  };
  eval::Result r = h.eval("1")->result();
  EXPECT_EQ(r.status, eval::Status::Error);
  EXPECT_EQ(r.error_text, "Couldn't start Kelp over nREPL: Could not locate foo/core.clj\nThe child's log: " +
                              log.string());
  EXPECT_TRUE(std::filesystem::exists(log));
}

TEST(NreplEvaluator, FailedFetchFallsBackToAPlainServerForTheWindowsLife) {
  orrery::testing::TempDir dir;
  std::filesystem::path log = dir.write("orrery-nrepl-2.log", "git dep: couldn't fetch kelp-lang/nrepl: offline\n");
  Harness h;
  h.kelp->first_source = child::MiddlewareSource{std::nullopt, child::nrepl_git_coord(), std::nullopt};
  h.kelp->before_start = [&](const std::optional<child::MiddlewareSource>& source) {
    if (source && source->git) throw child::StartError("kelp nrepl-server exited: git dep", log);
  };
  h.kelp->setup = [](FakePeer& p) {
    p.on_eval = [](FakePeer& peer, const Value& m) {
      if (text_of(m, "code") == "(crash)") return peer.die();
      peer.reply(m, R"({"value" "1" "ns" "user" "status" ["done"]})");
    };
  };
  EXPECT_EQ(h.eval("1")->result().status, eval::Status::Ok);
  EXPECT_FALSE(std::filesystem::exists(log)) << "a routed-around start's log is deleted";
  std::vector<std::string> limits = h.ev->limitations();
  std::string fetch = "Kelp's nREPL middleware (kelp-lang/nrepl " + child::nrepl_git_coord().tag +
                      ") couldn't be fetched, so this is a plain nREPL server; a new window tries again. Kelp said: "
                      "git dep: couldn't fetch kelp-lang/nrepl: offline";
  EXPECT_NE(std::find(limits.begin(), limits.end(), fetch), limits.end());

  h.eval("(crash)")->result();
  EXPECT_EQ(h.eval("1")->result().status, eval::Status::Ok);
  std::lock_guard lock(h.kelp->mutex);
  ASSERT_EQ(h.kelp->sources.size(), 3u);  // the git attempt, then two plain starts: the fetch is not tried again
  EXPECT_TRUE(h.kelp->sources[0] && h.kelp->sources[0]->git);
  EXPECT_FALSE(h.kelp->sources[1]);
  EXPECT_FALSE(h.kelp->sources[2]);
}

std::set<std::string> candidate_names(const Value& candidates) {
  std::set<std::string> names;
  for (int64_t i = 0; i < kelp::count(candidates); ++i)
    names.emplace(kelp::str_view(*kelp::get(*kelp::vector_get(candidates, i), kelp::keyword("candidate"))));
  return names;
}

TEST(NreplEvaluator, CompletionAndLookupAskTheChildAndFallBackOfflineWhenItIsSilent) {
  Harness h;
  std::atomic<bool> answers{true};
  h.kelp->setup = [&](FakePeer& p) {
    p.on_other = [&](FakePeer& peer, const Value& m) {
      std::string op = text_of(m, "op");
      if (op != "completions" && op != "lookup") return false;
      if (!answers) return true;  // a child too busy to answer in time
      if (op == "completions")
        peer.reply(m, R"({"completions" [{"candidate" "zebra-fn" "ns" "user"}] "status" ["done"]})");
      else
        peer.reply(m, R"({"info" {"ns" "user" "name" "zebra-fn" "arglists-str" "[x]" "doc" "Stripes."}
                          "status" ["done"]})");
      return true;
    };
  };
  h.eval("1")->result();
  evaluator::CompleteRequest req{"zeb", "(defn zebu [])\n(zeb", 19, Value()};
  auto doc_of = [&](std::string_view sym) {
    Value doc = h.ev->lookup(sym, 0);
    const Value* text = doc.is_nil() ? nullptr : kelp::get(doc, kelp::keyword("doc"));
    return text && text->is(kelp::Kind::String) ? std::string(kelp::str_view(*text)) : std::string("<none>");
  };

  EXPECT_EQ(candidate_names(h.ev->complete(req)), (std::set<std::string>{"zebra-fn", "zebu"}));
  EXPECT_EQ(doc_of("zebra-fn"), "Stripes.");

  answers = false;
  EXPECT_EQ(candidate_names(h.ev->complete(req)), std::set<std::string>{"zebu"});
  EXPECT_EQ(doc_of("zebra-fn"), "<none>");
  EXPECT_FALSE(h.ev->lookup("if", 0).is_nil()) << "a special form is known offline";
  EXPECT_TRUE(h.ev->lookup("user-only-name", 0).is_nil());
}

TEST(NreplEvaluator, ChildOpAnswersWhetherOrNotItCouldAsk) {
  Harness h;
  h.kelp->ops.insert("orrery-fibers");
  h.kelp->setup = [](FakePeer& p) {
    p.on_eval = [](FakePeer& peer, const Value& m) {
      if (text_of(m, "code") == "(crash)") return peer.die();
      peer.reply(m, R"({"value" "1" "ns" "user" "status" ["done"]})");
    };
  };
  h.make();
  auto ask = [&](std::string_view op) {
    std::promise<Value> answer;
    ChildOpAnswers answers;
    answers.unavailable = "Processes need Kelp.";
    h.ev->child_op(
        kelp::make_map({kelp::keyword("op"), kelp::make_string(op)}), 2s,
        [](const std::vector<Message>& replies) {
          return kelp::make_string(has_status(replies.back(), "done") ? "answered" : "no done");
        },
        [&](const Value& v) { answer.set_value(v); }, answers);
    auto f = answer.get_future();
    EXPECT_EQ(f.wait_for(10s), std::future_status::ready);
    return kelp::pr_str(f.get());
  };
  EXPECT_EQ(ask("orrery-fibers"), R"({:error "The Kelp child isn't running yet: Run something first."})");
  h.eval("1")->result();
  EXPECT_EQ(ask("orrery-fibers"), R"("answered")");
  EXPECT_EQ(ask("orrery-world"), R"({:error "Processes need Kelp."})");
  h.eval("(crash)")->result();
  EXPECT_EQ(ask("orrery-fibers"), R"({:error "The connection to Kelp was lost."})");
  EXPECT_EQ(text_of(h.kelp->peer(0)->received("orrery-fibers").at(0), "session"), "s1");
}

TEST(NreplEvaluator, RunLoadsTheFileAndLeavesThePromptWhereTheBufferIs) {
  orrery::testing::TempDir dir;
  const std::string code = "(ns app.core)\n(defn f [] (/ 1 0))\n(f)\n";
  std::filesystem::path saved = dir.write("app/core.clj", code);
  struct Case {
    const char* name;
    std::optional<std::string> path;
    bool child_has_ns;
    std::string file_name;
    std::string file_path;
    std::string prompt;
  };
  for (const Case& c : {Case{"saved, ns created", saved.string(), true, "core.clj", saved.string(), "app.core"},
                        Case{"unsaved, ns never created", std::nullopt, false, "untitled.clj", "", "user"}}) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.kelp->setup = [&](FakePeer& p) {
      p.on_eval = [&c](FakePeer& peer, const Value& m) {
        if (c.child_has_ns) peer.namespaces.push_back("app.core");
        peer.reply(m,
                   R"({"err" "Execution error (ArithmeticException) at app.core/f (core.clj:2).\nDivide by zero\n"})");
        peer.reply(m, R"({"ex" "class java.lang.ArithmeticException" "status" ["eval-error"]})");
        peer.reply(m, R"({"status" ["done"]})");
      };
    };
    evaluator::EvalOptions o;
    o.run = true;
    o.path = c.path;
    auto s = h.eval(code, o);
    eval::Result r = s->result();
    EXPECT_EQ(r.status, eval::Status::Error);
    EXPECT_EQ(r.error_text, "Error: Divide by zero");
    EXPECT_EQ(r.ns, c.prompt);
    EXPECT_EQ(h.ev->prompt_ns(), c.prompt);
    Value sent = h.kelp->peer(0)->received("load-file").at(0);
    EXPECT_EQ(text_of(sent, "file"), code);
    EXPECT_EQ(text_of(sent, "file-name"), c.file_name);
    EXPECT_EQ(text_of(sent, "file-path"), c.file_path);
    EXPECT_TRUE(h.ev->history().get().items.empty()) << "a Run is no REPL entry";
  }
}

TEST(NreplEvaluator, ResetRunRemovesWhatItsOwnerCreatedAndKeepsOtherTabs) {
  Harness h;
  h.kelp->setup = [](FakePeer& p) {
    p.on_eval = [](FakePeer& peer, const Value& m) {
      std::string file = text_of(m, "file");
      if (file.find("(ns a.core)") != std::string::npos) peer.namespaces.push_back("a.core");
      if (file.find("(ns b.core)") != std::string::npos) peer.namespaces.push_back("b.core");
      peer.reply(m, R"({"value" "nil" "status" ["done"]})");
    };
  };
  auto run = [&](std::string code, std::string owner) {
    evaluator::EvalOptions o;
    o.run = true;
    o.owner = owner;
    h.eval(std::move(code), o)->result();
  };
  run("(ns a.core)", "tab-a");
  run("(ns b.core)", "tab-b");
  EXPECT_EQ(h.ev->owners(), (std::map<evaluator::Owner, std::set<std::string>>{{"tab-a", {"a.core"}},
                                                                               {"tab-b", {"b.core"}}}));
  run("(ns a.core)", "tab-a");
  ASSERT_EQ(h.kelp->peer(0)->resets.size(), 3u);
  const std::string& third = h.kelp->peer(0)->resets[2];
  EXPECT_NE(third.find("\"a.core\""), std::string::npos);
  EXPECT_EQ(third.find("\"b.core\""), std::string::npos);

  h.ev->release_owner("tab-b");
  h.ev->set_mode(evaluator::Mode::Accumulate);
  run("(ns a.core)", "tab-a");
  EXPECT_EQ(h.kelp->peer(0)->resets.size(), 3u) << "accumulate mode sends no reset";
  h.ev->set_mode(evaluator::Mode::Reset);
  run("(ns a.core)", "tab-a");
  EXPECT_NE(h.kelp->peer(0)->resets.back().find("\"b.core\""), std::string::npos) << "a closed tab's are the REPL's";
}

}  // namespace
}  // namespace orrery::nrepl
