#include "orrery/session.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <random>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/var.hpp"
#include "support/temp_dir.hpp"

namespace orrery::session {
namespace {

namespace fs = std::filesystem;
using kelp::Value;

using orrery::testing::TempDir;

struct Outcome {
  eval::Result result;
  std::string output;  // standard output and standard error, in order
};

// Starts an evaluation through start and waits for its on_complete (generously: a bug fails, never hangs).
template <class Start>
Outcome finished(Start start, evaluator::EvalOptions opts = {}) {
  auto output = std::make_shared<std::string>();
  auto out_mutex = std::make_shared<std::mutex>();
  auto done = std::make_shared<std::promise<eval::Result>>();
  std::future<eval::Result> result = done->get_future();
  opts.on_output = [output, out_mutex](eval::OutputKind, std::string_view s) {
    std::lock_guard lock(*out_mutex);
    output->append(s);
  };
  opts.on_complete = [done](const eval::Result& r) { done->set_value(r); };
  std::optional<std::string> busy = start(std::move(opts));
  EXPECT_FALSE(busy) << *busy;
  if (busy) return {};
  EXPECT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the evaluation never finished";
  Outcome o{result.get(), {}};
  std::lock_guard lock(*out_mutex);
  o.output = *output;
  return o;
}

Outcome run(InProcess& s, std::string code, evaluator::EvalOptions opts = {}) {
  return finished([&](evaluator::EvalOptions o) { return s.run_definitions(code, std::move(o)); }, std::move(opts));
}
Outcome run_as(InProcess& s, const std::string& tab, std::string code) {
  evaluator::EvalOptions opts;
  opts.owner = tab;
  return run(s, std::move(code), std::move(opts));
}
Outcome repl(InProcess& s, std::string code) {
  return finished([&](evaluator::EvalOptions o) { return s.submit_repl(code, std::move(o)); });
}

bool ns_exists(const std::string& name) { return kelp::rt::find_ns(name) != nullptr; }

std::string printed(const Outcome& o) {
  EXPECT_EQ(o.result.status, eval::Status::Ok) << o.output << (o.result.error.is_nil() ? "" : eval::format_error(o.result.error));
  return o.result.printed;
}

Value field(const Value& m, std::string_view key) {
  const Value* v = kelp::is_map(m) ? kelp::get(m, kelp::keyword(key)) : nullptr;
  return v ? *v : Value();
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

TEST(Session, ResetRemovesOnlyTheRunningOwnersTheReplsAndUser) {
  auto s = make_session({});
  printed(run_as(*s, "tab-a", "(ns sess.own-a) (def x 1)"));
  printed(run_as(*s, "tab-b", "(ns sess.own-b) (def y 2)"));
  printed(repl(*s, "(in-ns 'user) (def stray 3)"));
  printed(repl(*s, "(ns sess.own-r)"));
  EXPECT_EQ(s->prompt_ns(), "sess.own-r");
  State st = s->state();
  EXPECT_EQ(st.created["tab-a"], std::set<std::string>{"sess.own-a"});
  EXPECT_EQ(st.created["tab-b"], std::set<std::string>{"sess.own-b"});
  EXPECT_EQ(st.created[evaluator::OWNER_REPL], std::set<std::string>{"sess.own-r"});

  s->reset_namespaces("tab-a");
  EXPECT_FALSE(ns_exists("sess.own-a"));
  EXPECT_FALSE(ns_exists("sess.own-r"));
  EXPECT_TRUE(ns_exists("sess.own-b"));
  // The prompt was in a namespace the reset removed: it moves to user rather than recreating an empty one.
  EXPECT_EQ(s->prompt_ns(), "user");
  EXPECT_FALSE(ns_exists("sess.own-r"));
  // user is back at once, fresh: clojure.core is referred, the old def is gone.
  kelp::rt::Namespace* user = kelp::rt::find_ns("user");
  ASSERT_NE(user, nullptr);
  EXPECT_TRUE(user->find(kelp::symbol("map")).is(kelp::Kind::Var));
  EXPECT_TRUE(user->find(kelp::symbol("stray")).is_nil());
  st = s->state();
  EXPECT_FALSE(st.created.contains("tab-a"));
  EXPECT_FALSE(st.created.contains(evaluator::OWNER_REPL));
  EXPECT_TRUE(st.created.contains("tab-b"));

  // A reset-mode Run resets for its own owner first; accumulate mode or :reset false keeps everything.
  printed(run_as(*s, "tab-a", "(ns sess.own-a) (def x 1)"));
  s->set_mode(evaluator::Mode::Accumulate);
  printed(run_as(*s, "tab-a", "(ns sess.own-a2)"));
  EXPECT_TRUE(ns_exists("sess.own-a"));
  s->set_mode(evaluator::Mode::Reset);
  evaluator::EvalOptions keep;
  keep.owner = "tab-a";
  keep.reset = false;
  printed(run(*s, "(+ 1 1)", keep));
  EXPECT_TRUE(ns_exists("sess.own-a"));
  EXPECT_EQ(printed(run_as(*s, "tab-a", "(str (find-ns 'sess.own-a) (find-ns 'sess.own-a2) *ns*)")), "\"user\"");
  EXPECT_TRUE(ns_exists("sess.own-b"));
}

TEST(Session, ClosingATabHandsItsNamespacesToTheRepl) {
  auto s = make_session({});
  printed(run_as(*s, "tab-c", "(ns sess.closed)"));
  printed(run_as(*s, "tab-d", "(ns sess.open)"));
  s->release_owner("tab-c");
  EXPECT_EQ(s->state().created[evaluator::OWNER_REPL], std::set<std::string>{"sess.closed"});
  EXPECT_FALSE(s->state().created.contains("tab-c"));
  printed(run_as(*s, "tab-e", "nil"));
  EXPECT_FALSE(ns_exists("sess.closed"));
  EXPECT_TRUE(ns_exists("sess.open"));

  // The pure form merges into what :repl already has, and releasing :repl itself changes nothing.
  State st;
  st.created = {{"t", {"a", "b"}}, {evaluator::OWNER_REPL, {"c"}}};
  State moved = release_owner_in(st, "t");
  EXPECT_EQ(moved.created, (std::map<Owner, std::set<std::string>>{{evaluator::OWNER_REPL, {"a", "b", "c"}}}));
  EXPECT_EQ(release_owner_in(st, evaluator::OWNER_REPL).created, st.created);
  EXPECT_EQ(release_owner_in(st, "nobody").created, st.created);
}

TEST(Session, ALibraryARunRequiresSurvivesTheNextReset) {
  TempDir project;
  project.write("deps.edn", "{:paths [\"lib\"]}");
  project.write("lib/sess_lib/core.clj", "(ns sess-lib.core)\n(defn answer [] 42)\n");
  auto s = make_session({project.path(), {}});
  EXPECT_EQ(printed(run(*s, "(require 'sess-lib.core) (sess-lib.core/answer)")), "42");
  EXPECT_EQ(printed(run(*s, "(sess-lib.core/answer)")), "42");
  EXPECT_TRUE(ns_exists("sess-lib.core"));
  // A Run's own namespace goes with the next reset, and a require then loads it from its file again.
  project.write("lib/sess_lib/mine.clj", "(ns sess-lib.mine)\n(def v :from-disk)\n");
  printed(run(*s, "(ns sess-lib.mine) (def v :from-run)"));
  EXPECT_EQ(printed(run(*s, "(require 'sess-lib.mine) sess-lib.mine/v")), ":from-disk");
  EXPECT_EQ(namespaces_created({"a"}, {"a", "b", "lib"}, {"lib"}), std::set<std::string>{"b"});
}

TEST(Session, ARunWhileBusyAnswersTheWarningAndResetsNothing) {
  auto s = make_session({});
  printed(repl(*s, "(ns sess.busy)"));
  auto done = std::make_shared<std::promise<eval::Result>>();
  evaluator::EvalOptions waiting;
  waiting.on_complete = [done](const eval::Result& r) { done->set_value(r); };
  ASSERT_FALSE(s->submit_repl("(read-line)", waiting));
  for (int i = 0; i < 3000 && !s->is_waiting_for_input(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(s->is_waiting_for_input());
  EXPECT_EQ(s->run_definitions("nil", {}), std::string(eval::BUSY_WARNING));
  EXPECT_TRUE(ns_exists("sess.busy"));
  EXPECT_EQ(s->prompt_ns(), "sess.busy");
  s->send_input("typed");
  ASSERT_EQ(done->get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(s->history().get().items, (std::vector<std::string>{"(ns sess.busy)", "(read-line)"}));
}

TEST(Session, ThePromptFollowsReplEntriesButNotQuietEvaluations) {
  register_in_process();
  dialect::Selection selection;
  selection.runtime = dialect::Runtime::InProcess;
  evaluator::EvaluatorPtr ev = evaluator::make(selection);
  ASSERT_NE(evaluator::capability<evaluator::QuietEval>(ev), nullptr);
  ASSERT_NE(evaluator::capability<evaluator::Owners>(ev), nullptr);
  auto through = [&](std::string code, evaluator::EvalOptions opts) {
    return finished([&](evaluator::EvalOptions o) { return ev->eval(code, std::move(o)); }, std::move(opts));
  };
  printed(through("(ns sess.bar)", {}));
  EXPECT_EQ(printed(through("(ns sess.foo) :first", {})), ":first");
  EXPECT_EQ(ev->prompt_ns(), "sess.foo");

  struct Case {
    std::optional<std::string> ns_source;
    std::string ns;
  };
  for (const Case& c : {Case{"; a comment first\n(ns sess.bar (:require [clojure.string :as str]))", "sess.bar"},
                        Case{"(ns sess.no-such-namespace)", "sess.foo"}, Case{"(ns", "sess.foo"},
                        Case{std::nullopt, "sess.foo"}}) {
    evaluator::EvalOptions quiet;
    quiet.quiet = true;
    quiet.ns_source = c.ns_source;
    EXPECT_EQ(printed(through("[(str *ns*) *1]", quiet)), "[\"" + c.ns + "\" :first]") << c.ns_source.value_or("");
  }
  // Even a quiet (in-ns ...) leaves the prompt where it was, and nothing joins the history.
  evaluator::EvalOptions quiet;
  quiet.quiet = true;
  printed(through("(in-ns 'sess.bar)", quiet));
  EXPECT_EQ(ev->prompt_ns(), "sess.foo");
  EXPECT_EQ(ev->history().get().items, (std::vector<std::string>{"(ns sess.bar)", "(ns sess.foo) :first"}));
  EXPECT_FALSE(ns_exists("sess.no-such-namespace"));
}

TEST(Session, OnlyASavedFilesRunGivesItsVarsThatFile) {
  TempDir dir;
  const std::string code = "(ns sess.saved)\n(defn g [] 1)\n";
  fs::path file = dir.write("saved.clj", code);
  auto s = make_session({});
  evaluator::EvalOptions opts;
  opts.path = file.string();
  printed(run(*s, code + "(def edited 1)\n", opts));  // unsaved edits: the buffer is not the file
  EXPECT_EQ(kelp::pr_str(field(s->lookup("g", 0), "file")), "\"unknown\"");
  EXPECT_EQ(kelp::pr_str(field(s->lookup("edited", 0), "file")), "\"unknown\"");
  printed(run(*s, code, opts));
  Value doc = s->lookup("g", 0);
  EXPECT_EQ(kelp::pr_str(field(doc, "file")), kelp::pr_str(kelp::make_string(fs::canonical(file).string())));
  EXPECT_EQ(kelp::pr_str(field(doc, "line")), "2");
  EXPECT_EQ(kelp::pr_str(field(doc, "ns")), "\"sess.saved\"");
}

TEST(Session, SavedFileAndMarkRunFile) {
  TempDir dir;
  fs::path file = dir.write("a.clj", "(def a 1)\n");
  struct Case {
    std::optional<std::string> path;
    std::string code;
    bool saved;
  };
  for (const Case& c : {Case{file.string(), "(def a 1)\n", true}, Case{file.string(), "(def a 2)\n", false},
                        Case{(dir.path() / "missing.clj").string(), "", false}, Case{dir.path().string(), "", false},
                        Case{std::nullopt, "", false}, Case{"", "", false}}) {
    std::optional<fs::path> got = saved_file(c.path, c.code);
    EXPECT_EQ(got.has_value(), c.saved) << c.path.value_or("<none>");
    if (got) {
      EXPECT_EQ(*got, fs::canonical(file));
    }
  }

  // Only vars whose metadata the Run replaced, with a line and no file of their own, are marked.
  kelp::boot();
  kelp::eval_string("(ns sess.mark) (def untouched 0) (def lineless 0)");
  VarMetas before = program_vars();
  kelp::eval_string("(def fresh 1) (alter-meta! #'lineless dissoc :line)", "NO_SOURCE_PATH", "sess.mark");
  kelp::eval_string("(def from-file 2)", "other.clj", "sess.mark");
  mark_run_file("/project/run.clj", before);
  auto file_of = [](std::string_view name) {
    Value var = kelp::rt::find_ns("sess.mark")->find_interned(kelp::symbol(name));
    return kelp::pr_str(field(kelp::rt::as_var(var).meta(), "file"));
  };
  EXPECT_EQ(file_of("fresh"), "\"/project/run.clj\"");
  EXPECT_EQ(file_of("from-file"), "\"other.clj\"");
  EXPECT_EQ(file_of("untouched"), "\"NO_SOURCE_PATH\"");  // defined before the Run, say at the prompt
  EXPECT_EQ(file_of("lineless"), "\"NO_SOURCE_PATH\"");   // changed, but with no line to point at
}

TEST(Session, AFailingAutoRequireIsReportedOnceAndNotRetried) {
  TempDir project;
  project.write("src/sess_auto/ok.clj", "(ns sess-auto.ok)\n(def ready :yes)\n");
  auto s = make_session({project.path(), {"sess-auto.ok", "sess-auto.missing"}});
  Outcome first = repl(*s, "(+ 1 2)");
  EXPECT_EQ(printed(first), "3");
  EXPECT_EQ(occurrences(first.output, "; auto-require: sess-auto.ok sess-auto.missing\n"), 1u) << first.output;
  EXPECT_EQ(occurrences(first.output, "Error [java.io.FileNotFoundException]"), 1u) << first.output;
  EXPECT_EQ(occurrences(first.output,
                        "; auto-require failed (the error is above), so carrying on without it. "
                        "It runs again in a new window.\n"),
            1u)
      << first.output;
  Outcome second = run(*s, "sess-auto.ok/ready");
  EXPECT_EQ(second.output, "");
  EXPECT_EQ(printed(second), ":yes");  // the library loaded before the failure survives the Run's reset
  EXPECT_TRUE(s->state().auto_required);
}

TEST(Session, CompleteAndLookupAnswerFromTheRunningProcess) {
  auto s = make_session({});
  printed(repl(*s, "(ns sess.help) (defn sess-fn \"Doc.\" [x] x) (def sess-var 1) (defmacro sess-mac [] nil)"));
  Value got = s->complete({"sess-", "", 0, {}});
  EXPECT_EQ(kelp::pr_str(got),
            "[{:candidate \"sess-fn\", :type :user} {:candidate \"sess-mac\", :type :user} "
            "{:candidate \"sess-var\", :type :user}]");
  EXPECT_NE(kelp::pr_str(s->complete({"map", "", 0, {}})).find("{:candidate \"mapv\", :type :builtin}"),
            std::string::npos);

  Value doc = s->lookup("sess-fn", 0);
  EXPECT_EQ(kelp::pr_str(field(doc, "doc")), "\"Doc.\"");
  EXPECT_EQ(kelp::pr_str(field(doc, "arglists")), "\"([x])\"");
  EXPECT_EQ(kelp::pr_str(field(s->lookup("clojure.string/join", 0), "ns")), "\"clojure.string\"");
  for (std::string_view missing : {"no-such-thing", "no.ns/x", "", "a/"}) EXPECT_TRUE(s->lookup(missing, 0).is_nil());
}

}  // namespace
}  // namespace orrery::session
