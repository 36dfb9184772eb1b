// kelp's nREPL server, in process and as the kelp tool's child, driven through Orrery's nREPL client: the ops,
// evaluation replies shaped like JVM nREPL 1.0's, sessions, stdin, interrupt, and the process's life (its port,
// its standard input, its signals and hooks), and the tool's dependencies.
#include "kelp/nrepl/server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kelp/conformance/run_process.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/nrepl/child.hpp"
#include "orrery/nrepl/client.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using kelp::Value;
using orrery::nrepl::Connection;
using orrery::nrepl::Message;

Value edn(std::string_view text) { return kelp::read_edn(text).value(); }

// A reply's string field ("" when absent).
std::string text(const Message& m, const char* key) {
  const Value* v = kelp::get(m, kelp::keyword(key));
  return v && v->is(kelp::Kind::String) ? std::string(kelp::str_view(*v)) : std::string();
}

// Every value of a string field across the replies, in order.
std::vector<std::string> all(const std::vector<Message>& replies, const char* key) {
  std::vector<std::string> out;
  for (const auto& m : replies)
    if (kelp::get(m, kelp::keyword(key))) out.push_back(text(m, key));
  return out;
}

std::string joined(const std::vector<Message>& replies, const char* key) {
  std::string s;
  for (const auto& x : all(replies, key)) s += x;
  return s;
}

// A reply's shape: its keys sorted, then its statuses sorted ("err id session", "id session status:done").
std::string shape(const Message& m) {
  std::set<std::string> keys;
  std::set<std::string> status;
  m.obj()->each([&](const Value& entry) {
    keys.insert(std::string(kelp::vector_get(entry, 0)->as<kelp::Keyword>().name()));
    return true;
  });
  if (const Value* st = kelp::get(m, kelp::keyword("status")))
    st->obj()->each([&](const Value& x) {
      status.insert(std::string(kelp::str_view(x)));
      return true;
    });
  std::string out;
  for (const auto& k : keys) out += (out.empty() ? "" : " ") + (k == "status" ? "status:" : k);
  std::string words;
  for (const auto& w : status) words += (words.empty() ? "" : ",") + w;
  if (keys.count("status")) {
    size_t at = out.find("status:");
    out.insert(at + 7, words);
  }
  return out;
}

std::vector<std::string> shapes(const std::vector<Message>& replies) {
  std::vector<std::string> out;
  for (const auto& m : replies) out.push_back(shape(m));
  return out;
}

bool has_status(const std::vector<Message>& replies, std::string_view s) {
  return std::any_of(replies.begin(), replies.end(), [&](const Message& m) { return orrery::nrepl::has_status(m, s); });
}

// Replies of an asynchronous request, for the tests that act while an evaluation runs.
class Collector {
 public:
  orrery::nrepl::Handler handler() {
    return [this](const Message& m) {
      std::lock_guard lock(mutex_);
      replies_.push_back(m);
      cv_.notify_all();
    };
  }
  // Waits until n replies carry status s.
  bool wait_status(std::string_view s, int n = 1, std::chrono::milliseconds limit = 20s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] {
      return std::count_if(replies_.begin(), replies_.end(),
                           [&](const Message& m) { return orrery::nrepl::has_status(m, s); }) >= n;
    });
  }
  std::vector<Message> replies() {
    std::lock_guard lock(mutex_);
    return replies_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Message> replies_;
};

// A server in this process, and a client connected to it.
class NreplServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    kelp::boot();
    server_ = kelp::nrepl::Server::start(0, {.sessions = true});
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    conn_ = Connection::connect("127.0.0.1", server_->port());
    session_ = text(ask("{:op \"clone\"}").front(), "new-session");
    ASSERT_FALSE(session_.empty());
  }
  void TearDown() override { conn_->close(); }

  std::vector<Message> ask(const std::string& edn_text) {
    auto replies = conn_->request_sync(edn(edn_text), 20s);
    EXPECT_TRUE(replies.has_value()) << "no done for " << edn_text;
    return replies.value_or(std::vector<Message>{});
  }
  // The same request in this test's session.
  std::vector<Message> in_session(const std::string& edn_body) {
    return ask("{:session \"" + session_ + "\" " + edn_body + "}");
  }
  std::vector<Message> eval(const std::string& code) {
    return in_session(":op \"eval\" :code " + kelp::pr_str(kelp::make_string(code)));
  }
  Value msg_in_session(const std::string& edn_body) { return edn("{:session \"" + session_ + "\" " + edn_body + "}"); }

  static std::shared_ptr<kelp::nrepl::Server> server_;
  std::shared_ptr<Connection> conn_;
  std::string session_;
};
std::shared_ptr<kelp::nrepl::Server> NreplServer::server_;

TEST_F(NreplServer, ReplyShapesMatchJvmNrepl) {
  // Each reply's keys and statuses as JVM nREPL 1.0 sent them for the same request (the reference transcripts).
  const std::string S = ":session \"SESSION\" ";
  struct Case {
    const char* name;
    std::string request;
    std::vector<std::string> jvm;
  };
  const std::vector<Case> cases = {
      {"describe", "{:op \"describe\"}", {"aux id ops session status:done versions"}},
      {"clone", "{:op \"clone\"}", {"id new-session session status:done"}},
      {"eval", "{" + S + ":op \"eval\" :code \"(+ 1 2)\"}", {"id ns session value", "id session status:done"}},
      {"sessionless eval", "{:op \"eval\" :code \"(+ 1 2)\"}", {"id ns session value", "id session status:done"}},
      {"println", "{" + S + ":op \"eval\" :code \"(println \\\"hi\\\")\"}",
       {"id out session", "id ns session value", "id session status:done"}},
      {"two forms", "{" + S + ":op \"eval\" :code \"(def x 1) x\"}",
       {"id ns session value", "id ns session value", "id session status:done"}},
      {"out and err", "{" + S + ":op \"eval\" :code \"(do (print \\\"a\\\") (flush) (binding [*out* *err*] (println \\\"e\\\")) (println \\\"b\\\") 42)\"}",
       {"id out session", "err id session", "id out session", "id ns session value", "id session status:done"}},
      {"divide by zero", "{" + S + ":op \"eval\" :code \"(/ 1 0)\"}",
       {"err id session", "ex id root-ex session status:eval-error", "id session status:done"}},
      {"syntax error", "{" + S + ":op \"eval\" :code \"(+ 1\"}",
       {"err id session", "ex id root-ex session status:eval-error", "id session status:done"}},
      {"unresolved", "{" + S + ":op \"eval\" :code \"undefined-sym\"}",
       {"err id session", "ex id root-ex session status:eval-error", "id session status:done"}},
      {"unknown ns", "{" + S + ":op \"eval\" :code \"1\" :ns \"no.such.ns\"}",
       {"id ns session status:done,error,namespace-not-found"}},
      {"unknown op", "{:op \"no-such-op\"}", {"id op session status:done,error,unknown-op"}},
      {"completions", "{:op \"completions\" :prefix \"map-\" :ns \"user\"}", {"completions id session status:done"}},
      {"lookup", "{:op \"lookup\" :sym \"map\" :ns \"user\"}", {"id info session status:done"}},
      {"ls-sessions", "{:op \"ls-sessions\"}", {"id session sessions status:done"}},
      {"load-file", "{" + S + ":op \"load-file\" :file \"(ns loadme.core)\\n(defn f [] 42)\\n\\n(f)\\n\" "
                              ":file-path \"load-me.clj\" :file-name \"load-me.clj\"}",
       {"id session value", "id session status:done"}},
      {"close", "{:op \"close\" " + S + "}", {"id session status:done,session-closed"}},
  };
  for (const Case& c : cases) {
    std::string request = c.request;
    if (size_t at = request.find("SESSION"); at != std::string::npos) request.replace(at, 7, session_);
    EXPECT_EQ(shapes(ask(request)), c.jvm) << c.name;
  }
}

TEST_F(NreplServer, EvaluationRepliesValuesOutputAndErrorsAsTheJvmReplPrintsThem) {
  struct Case {
    const char* code;
    std::vector<std::string> values;
    std::string out, err;
    std::vector<std::string> ex;  // :ex then :root-ex, when an error is expected
    bool error = true;            // an eval-error is reported
  };
  const Case cases[] = {
      {"(+ 1 2)", {"3"}, "", "", {}, false},
      {"(def x 1) x \"s\" :k/w {:a/b 1}", {"#'user/x", "1", "\"s\"", ":k/w", "#:a{:b 1}"}, "", "", {}, false},
      {"(dotimes [i 3] (println i))", {"nil"}, "0\n1\n2\n", "", {}, false},
      {"(do (print \"a\") (binding [*out* *err*] (println \"e\")) 42)", {"42"}, "a", "e\n", {}, false},
      {"(/ 1 0)", {}, "", "Execution error (ArithmeticException) at ",
       {"class java.lang.ArithmeticException", "class java.lang.ArithmeticException"}},
      // The forms after a failing one still run, as at JVM Clojure's REPL.
      {"(/ 1 0) (+ 1 2)", {"3"}, "", "\nDivide by zero\n", {"class java.lang.ArithmeticException"}},
      {"(throw (ex-info \"bad\" {:k 1}))", {}, "", "Execution error (ExceptionInfo) at ",
       {"class clojure.lang.ExceptionInfo"}},
      {"(throw (Exception. \"plain\"))", {}, "", "Execution error at ", {"class java.lang.Exception"}},
      {"(+ 1 2) (+ 1", {"3"}, "", "Syntax error reading source at (REPL:", {}},
      {"undefined-sym", {}, "", "Syntax error compiling at (REPL:", {"class clojure.lang.Compiler$CompilerException"}},
  };
  for (const Case& c : cases) {
    auto r = eval(c.code);
    EXPECT_EQ(all(r, "value"), c.values) << c.code;
    EXPECT_EQ(joined(r, "out"), c.out) << c.code;
    std::string err = joined(r, "err");
    EXPECT_NE(err.find(c.err), std::string::npos) << c.code << "\nerr: " << err;
    EXPECT_EQ(has_status(r, "eval-error"), c.error) << c.code;
    if (!c.ex.empty()) {
      EXPECT_EQ(all(r, "ex").front(), c.ex[0]) << c.code;
      if (c.ex.size() > 1) {
        EXPECT_EQ(all(r, "root-ex").front(), c.ex[1]) << c.code;
      }
    }
    EXPECT_TRUE(orrery::nrepl::has_status(r.back(), "done")) << c.code;
  }
  // The header names the place and ends " at <location>).", the message on the next line.
  std::string err = joined(eval("(/ 1 0)"), "err");
  EXPECT_NE(err.find(").\nDivide by zero\n"), std::string::npos) << err;
  err = joined(eval("undefined-sym"), "err");
  EXPECT_NE(err.find(").\nUnable to resolve symbol: undefined-sym in this context\n"), std::string::npos) << err;
}

TEST_F(NreplServer, SessionsKeepTheirNamespaceAndHistory) {
  auto r = eval("(ns srv.foo) (str *ns*)");
  EXPECT_EQ(all(r, "value"), (std::vector<std::string>{"nil", "\"srv.foo\""}));
  EXPECT_EQ(all(r, "ns").back(), "srv.foo");
  EXPECT_EQ(all(eval("(str *ns*)"), "ns").front(), "srv.foo");
  // The request's :ns applies to that request only.
  r = in_session(":op \"eval\" :code \"(join \\\",\\\" [1 2])\" :ns \"clojure.string\"");
  EXPECT_EQ(all(r, "value"), (std::vector<std::string>{"\"1,2\""}));
  EXPECT_EQ(all(r, "ns").front(), "clojure.string");
  EXPECT_EQ(all(eval("(str *ns*)"), "ns").front(), "srv.foo");

  eval("1");
  eval("2");
  EXPECT_EQ(all(eval("[*1 *2]"), "value").front(), "[2 1]");
  eval("(/ 1 0)");
  EXPECT_EQ(all(eval("(ex-message *e)"), "value").front(), "\"Divide by zero\"");
  eval("(set! *print-length* 2)");
  EXPECT_EQ(all(eval("(range 5)"), "value").front(), "(0 1 ...)");

  // A new session starts afresh in user; a clone of this one starts where it is.
  std::string fresh = text(ask("{:op \"clone\"}").front(), "new-session");
  EXPECT_EQ(all(ask("{:op \"eval\" :code \"*1\" :session \"" + fresh + "\"}"), "ns").front(), "user");
  std::string copy = text(in_session(":op \"clone\"").front(), "new-session");
  EXPECT_EQ(all(ask("{:op \"eval\" :code \"(str *ns*)\" :session \"" + copy + "\"}"), "ns").front(), "srv.foo");

  auto listed = ask("{:op \"ls-sessions\"}");
  Value sessions = *kelp::get(listed.front(), kelp::keyword("sessions"));
  EXPECT_NE(kelp::pr_str(sessions).find(fresh), std::string::npos);
  for (const std::string& id : {fresh, copy})
    EXPECT_TRUE(has_status(ask("{:op \"close\" :session \"" + id + "\"}"), "session-closed"));
  EXPECT_TRUE(has_status(ask("{:op \"eval\" :code \"1\" :session \"" + fresh + "\"}"), "unknown-session"));
}

TEST_F(NreplServer, RefusalsAreErrorsThatEvaluateNothing) {
  eval("(def refusals 0)");
  struct Case {
    std::string request;
    std::vector<std::string> statuses;
  };
  const Case cases[] = {
      {"{:op \"eval\" :code \"(alter-var-root #'user/refusals inc)\" :ns \"no.such.ns\" :session \"" + session_ + "\"}",
       {"namespace-not-found", "done", "error"}},
      {"{:op \"eval\" :code \"(alter-var-root #'user/refusals inc)\" :session \"no-such-session\"}",
       {"done", "unknown-session", "error"}},
      {"{:op \"frobnicate\"}", {"done", "unknown-op", "error"}},
      {"{:op \"interrupt\" :session \"" + session_ + "\" :interrupt-id \"none\"}", {"done", "session-idle"}},
  };
  for (const Case& c : cases) {
    auto r = ask(c.request);
    ASSERT_EQ(r.size(), 1u) << c.request;
    for (const auto& s : c.statuses) EXPECT_TRUE(orrery::nrepl::has_status(r.front(), s)) << c.request << " " << s;
  }
  EXPECT_EQ(all(eval("user/refusals"), "value").front(), "0");
}

TEST_F(NreplServer, LoadFileAnswersTheLastValueAndNamesTheFileInErrors) {
  auto r = in_session(":op \"load-file\" :file \"(ns srv.loaded)\\n(defn f \\\"Doubles.\\\" [x] (* 2 x))\\n\\n(f 21)\\n\" "
                      ":file-path \"src/srv/loaded.clj\" :file-name \"loaded.clj\"");
  EXPECT_EQ(all(r, "value"), std::vector<std::string>{"42"});
  EXPECT_EQ(all(eval("(str *ns*)"), "ns").front(), "user");  // the session did not move

  auto info = in_session(":op \"lookup\" :sym \"srv.loaded/f\"");
  const Value* i = kelp::get(info.front(), kelp::keyword("info"));
  ASSERT_TRUE(i && kelp::is_map(*i));
  auto field = [&](const char* k) { return kelp::pr_str(*kelp::get(*i, kelp::make_string(k))); };
  EXPECT_EQ(field("ns"), "\"srv.loaded\"");
  EXPECT_EQ(field("arglists-str"), "\"([x])\"");
  EXPECT_EQ(field("doc"), "\"Doubles.\"");
  EXPECT_EQ(field("file"), "\"src/srv/loaded.clj\"");
  EXPECT_EQ(field("line"), "2");

  r = in_session(":op \"load-file\" :file \"(ns srv.broken)\\n(defn g [] (/ 1 0))\\n(g)\\n\" "
                 ":file-path \"src/srv/broken.clj\" :file-name \"broken.clj\"");
  std::string err = joined(r, "err");
  EXPECT_NE(err.find("(src/srv/broken.clj:2)"), std::string::npos) << err;
  EXPECT_TRUE(has_status(r, "eval-error"));
}

TEST_F(NreplServer, CompletionsAndLookupAnswerFromTheNamespace) {
  eval("(ns srv.comp (:require [clojure.string :as s])) (defmacro my-mac [] 1) (def my-var 2)");
  auto candidates = [&](const std::string& prefix) {
    auto r = ask("{:op \"completions\" :ns \"srv.comp\" :prefix \"" + prefix + "\"}");
    std::vector<std::string> out;
    Value list = *kelp::get(r.front(), kelp::keyword("completions"));
    list.obj()->each([&](const Value& c) {
      out.push_back(std::string(kelp::str_view(*kelp::get(c, kelp::make_string("candidate")))) + ":" +
                    std::string(kelp::str_view(*kelp::get(c, kelp::make_string("type")))));
      return true;
    });
    return out;
  };
  auto has = [](const std::vector<std::string>& v, const std::string& x) {
    return std::find(v.begin(), v.end(), x) != v.end();
  };
  auto map_ = candidates("map-");
  EXPECT_TRUE(has(map_, "map-indexed:function")) << testing::PrintToString(map_);
  EXPECT_TRUE(std::is_sorted(map_.begin(), map_.end()));
  auto my = candidates("my-");
  EXPECT_EQ(my, (std::vector<std::string>{"my-mac:macro", "my-var:var"}));
  auto de = candidates("de");
  EXPECT_TRUE(has(de, "def:special-form") && has(de, "defn:macro")) << testing::PrintToString(de);
  EXPECT_TRUE(has(candidates("clojure.str"), "clojure.string:namespace"));
  EXPECT_TRUE(has(candidates("s/jo"), "s/join:function"));
  EXPECT_TRUE(candidates("zzz-nothing").empty());

  auto info = ask("{:op \"lookup\" :sym \"map\" :ns \"user\"}");
  const Value* i = kelp::get(info.front(), kelp::keyword("info"));
  ASSERT_TRUE(i && kelp::is_map(*i));
  EXPECT_EQ(kelp::pr_str(*kelp::get(*i, kelp::make_string("ns"))), "\"clojure.core\"");
  EXPECT_NE(kelp::pr_str(*kelp::get(*i, kelp::make_string("arglists-str"))).find("[f coll]"), std::string::npos);
  // A name that resolves to nothing: done, with no info in it.
  info = ask("{:op \"lookup\" :sym \"no-such-thing\" :ns \"user\"}");
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(kelp::count(*kelp::get(info.front(), kelp::keyword("info"))), 0);
  EXPECT_TRUE(orrery::nrepl::has_status(info.front(), "done"));
}

TEST_F(NreplServer, AReadWithNothingBufferedAsksForInput) {
  Collector eval_replies;
  conn_->request(msg_in_session(":op \"eval\" :code \"[(read-line) (read-line) (read-line)]\""), eval_replies.handler());
  ASSERT_TRUE(eval_replies.wait_status("need-input"));
  // The stdin op is answered before the evaluation goes on; "" is the end of input for the read waiting now.
  auto ack = ask("{:op \"stdin\" :stdin \"\" :session \"" + session_ + "\"}");
  EXPECT_EQ(shapes(ack), std::vector<std::string>{"id session status:done"});
  // The second read finds nothing and asks again; the third finds its line already buffered.
  ASSERT_TRUE(eval_replies.wait_status("need-input", 2));
  ask("{:op \"stdin\" :stdin \"hello\\nworld\\n\" :session \"" + session_ + "\"}");
  ASSERT_TRUE(eval_replies.wait_status("done"));
  auto r = eval_replies.replies();
  EXPECT_EQ(all(r, "value"), std::vector<std::string>{"[nil \"hello\" \"world\"]"});
  int asks = 0;
  for (const auto& m : r) asks += orrery::nrepl::has_status(m, "need-input");
  EXPECT_EQ(asks, 2);  // the third read found its line buffered
}

TEST_F(NreplServer, InterruptEndsTheRunningEvaluationLikeTheJvm) {
  for (const char* code : {"(Thread/sleep 100000)", "(loop [] (recur))", "(read-line)"}) {
    Collector running;
    std::string id = conn_->request(msg_in_session(std::string(":op \"eval\" :code ") +
                                                   kelp::pr_str(kelp::make_string(code))),
                                    running.handler());
    // Wrong ids are refused while it runs; the right one stops it.
    std::this_thread::sleep_for(100ms);
    auto mismatch = in_session(":op \"interrupt\" :interrupt-id \"not-" + id + "\"");
    EXPECT_TRUE(has_status(mismatch, "interrupt-id-mismatch") && has_status(mismatch, "error")) << code;
    auto ack = in_session(":op \"interrupt\" :interrupt-id \"" + id + "\"");
    EXPECT_EQ(shapes(ack), std::vector<std::string>{"id session status:done"}) << code;
    // The interrupted evaluation has ended by the time the interrupt is answered.
    auto r = running.replies();
    ASSERT_FALSE(r.empty()) << code;
    EXPECT_TRUE(orrery::nrepl::has_status(r.back(), "done") && orrery::nrepl::has_status(r.back(), "interrupted"))
        << code << " " << testing::PrintToString(shapes(r));
    EXPECT_EQ(all(r, "ex"), std::vector<std::string>{"class java.lang.InterruptedException"}) << code;
    EXPECT_TRUE(has_status(r, "eval-error")) << code;
    EXPECT_NE(joined(r, "err").find("Execution error (InterruptedException)"), std::string::npos) << code;
    // The session goes on working.
    EXPECT_EQ(all(eval("(+ 1 2)"), "value"), std::vector<std::string>{"3"}) << code;
  }
}

TEST(NreplPlainServer, OffersNoInterruptStdinOrLookupAndEvaluatesOnTheConnection) {
  kelp::boot();
  auto server = kelp::nrepl::Server::start(0, {});
  auto conn = Connection::connect("127.0.0.1", server->port());
  auto ops = conn->request_sync(edn("{:op \"describe\"}"), 20s).value();
  std::string described = kelp::pr_str(*kelp::get(ops.front(), kelp::keyword("ops")));
  for (const char* op : {"clone", "close", "completions", "describe", "eval", "load-file", "ls-sessions"})
    EXPECT_NE(described.find(std::string("\"") + op + "\""), std::string::npos) << op;
  for (const char* op : {"interrupt", "stdin", "lookup"}) {
    EXPECT_EQ(described.find(std::string("\"") + op + "\""), std::string::npos) << op;
    auto r = conn->request_sync(edn(std::string("{:op \"") + op + "\"}"), 20s).value();
    EXPECT_TRUE(has_status(r, "unknown-op")) << op;
  }
  auto r = conn->request_sync(edn("{:op \"eval\" :code \"(println :plain) (* 6 7)\"}"), 20s).value();
  EXPECT_EQ(all(r, "value"), (std::vector<std::string>{"nil", "42"}));
  EXPECT_EQ(joined(r, "out"), ":plain\n");
  server->stop();
  // A stopped server answers nobody: the connection ends.
  EXPECT_FALSE(conn->request_sync(edn("{:op \"describe\"}"), 20s).value().empty());
  EXPECT_THROW(Connection::connect("127.0.0.1", server->port(), 2s), std::runtime_error);
}

// --- the kelp tool as a child ------------------------------------------------------------------------------------

// The very form Orrery's launcher passes to its kelp child, with one middleware symbol or none.
std::string server_form(int port, const std::string& middleware) {
  std::vector<std::string> wanted;
  if (!middleware.empty()) wanted.push_back(middleware);
  return orrery::nrepl::child::server_form(port, wanted);
}

// A kelp process with its standard input a pipe this test holds, and its standard output and error read here.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args, const std::string& dir = ".") {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      if (::chdir(dir.c_str()) != 0) ::_exit(127);
      std::vector<char*> argv{const_cast<char*>(KELP_BIN)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(KELP_BIN, argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Child() {
    close_stdin();
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(stdout_);
  }
  // Reads output until it contains needle; false after the timeout or at the end of output.
  bool read_until(const std::string& needle, std::chrono::milliseconds limit = 20s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (output_.find(needle) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[4096];
      ssize_t n = ::read(stdout_, buf, sizeof buf);
      if (n <= 0) return false;
      output_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // The port of the "nREPL server started on port P" line, 0 when it did not come.
  int started_port() {
    const std::string line = "nREPL server started on port ";
    if (!read_until(line) || !read_until(" on host 127.0.0.1 - nrepl://127.0.0.1:")) return 0;
    return std::stoi(output_.substr(output_.find(line) + line.size()));
  }
  void close_stdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  // The exit status once the process ends (128+N for signal N), or -1 when it is still running after limit.
  int wait_exit(std::chrono::milliseconds limit = 20s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (status_ < 0 && std::chrono::steady_clock::now() < deadline) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      else std::this_thread::sleep_for(20ms);
    }
    return status_;
  }
  std::string output() {
    read_until("\x01", 200ms);  // whatever else is there
    return output_;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  int status_ = -1;
  std::string output_;
};

TEST(KelpNreplChild, TheServerFormServesUntilItsStandardInputCloses) {
  Child child({"-e", server_form(0, "nrepl.middleware/default-middleware")});
  int port = child.started_port();
  ASSERT_GT(port, 0) << child.output();
  auto conn = Connection::connect("127.0.0.1", port);
  auto r = conn->request_sync(edn("{:op \"eval\" :code \"(+ 1 2)\"}"), 20s).value();
  EXPECT_EQ(all(r, "value"), std::vector<std::string>{"3"});
  auto described = conn->request_sync(edn("{:op \"describe\"}"), 20s).value();
  EXPECT_NE(kelp::pr_str(described.front()).find("\"interrupt\""), std::string::npos);
  child.close_stdin();
  EXPECT_EQ(child.wait_exit(), 0) << child.output();
  // The hook stopped the server: the client's connection ended.
  EXPECT_TRUE(conn->request_sync(edn("{:op \"describe\"}"), 20s).has_value());
  EXPECT_FALSE(conn->is_open());
}

TEST(KelpNreplChild, APlainServerReadsAnEmptyStandardInputAndEndsOnSigterm) {
  Child child({"-e", server_form(0, "")});
  int port = child.started_port();
  ASSERT_GT(port, 0) << child.output();
  auto conn = Connection::connect("127.0.0.1", port);
  // *in* is the empty reader the form installed: a read ends at once.
  auto r = conn->request_sync(edn("{:op \"eval\" :code \"(read-line)\"}"), 20s).value();
  EXPECT_EQ(all(r, "value"), std::vector<std::string>{"nil"});
  EXPECT_EQ(::kill(child.pid(), SIGINT), 0);  // ignored: the parent handles Ctrl-C itself
  EXPECT_EQ(child.wait_exit(300ms), -1);
  EXPECT_EQ(::kill(child.pid(), SIGTERM), 0);
  EXPECT_EQ(child.wait_exit(), 0) << child.output();
}

TEST(KelpNreplChild, AStartThatCannotListenSaysWhyAndExits) {
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
  int taken = ntohs(addr.sin_port);
  const std::pair<std::string, std::string> cases[] = {
      {server_form(taken, "nrepl.middleware/default-middleware"), "bind() failed"},
      {server_form(0, "no.such.middleware/wrap"), "Unhandled exception: "},
  };
  for (const auto& [form, says] : cases) {
    Child child({"-e", form});
    EXPECT_EQ(child.wait_exit(), 1) << says;
    std::string out = child.output();
    EXPECT_NE(out.find(says), std::string::npos) << out;
    EXPECT_EQ(out.find("nREPL server started"), std::string::npos) << out;
  }
  ::close(holder);
}

TEST(KelpNreplChild, ShutdownHooksRunOnceAtEveryKindOfEnd) {
  struct Case {
    const char* form;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {"(kelp.host/add-shutdown-hook #(println :hook)) (println :main)", ":main\n:hook\n", 0},
      {"(kelp.host/add-shutdown-hook #(println :hook)) (kelp.host/add-shutdown-hook #(System/exit 9)) (System/exit 3)",
       ":hook\n", 3},
      {"(kelp.host/add-shutdown-hook #(println :hook)) (throw (ex-info \"boom\" {}))", ":hook\n", 1},
      // A thread made with (Thread. f) runs f; join waits for it.
      {"(let [t (Thread. #(println :in-thread))] (.start t) (.join t))", ":in-thread\n", 0},
  };
  for (const Case& c : cases) {
    auto r = kelp::testing::run_process(kelp::testing::shell_quote(KELP_BIN) + " -e " + kelp::testing::shell_quote(c.form));
    EXPECT_EQ(r.out, c.out) << c.form << "\n" << r.err;
    EXPECT_EQ(r.status, c.status) << c.form << "\n" << r.err;
  }
  // SIGTERM wakes the parked thread; the program ends normally, through its hooks.
  Child child({"-e", "(kelp.host/add-shutdown-hook #(println :hook)) (println :parked) (kelp.host/park-until-interrupt)"
                     " (println :woke)"});
  ASSERT_TRUE(child.read_until(":parked\n"));
  std::this_thread::sleep_for(100ms);
  ::kill(child.pid(), SIGTERM);
  EXPECT_EQ(child.wait_exit(), 0);
  EXPECT_EQ(child.output(), ":parked\n:woke\n:hook\n");
}

TEST(KelpNreplChild, DepsEdnAndSdepsGiveTheSourceFolders) {
  orrery::testing::TempDir dir("kelp-deps");
  dir.write("lib/app/core.clj", "(ns app.core (:require [helper.util :as u])) (defn run [] (u/twice 21))");
  dir.write("helper/deps.edn", "{:paths [\"src\"] :deps {app/self {:local/root \"..\"}}}");  // a cycle back
  dir.write("helper/src/helper/util.clj", "(ns helper.util) (defn twice [x] (* 2 x))");
  dir.write("deps.edn", "{:paths [\"lib\"] :deps {helper/util {:local/root \"helper\"}}}");
  dir.write("bare/src/b/c.clj", "(ns b.c) (def v :bare)");
  const std::string run = "(require 'app.core) (app.core/run)";
  const std::string nrepl_git =
      "{:deps {nrepl/nrepl {:git/url \"https://example.org/kelp-lang/nrepl\" :git/tag \"v0.4.2\" :git/sha \"927dc28\"}}}";
  struct Case {
    const char* name;
    std::string sdeps;  // "" for no -Sdeps
    std::string form;
    std::string out, err_starts;
    int status;
  };
  const Case cases[] = {
      {"deps.edn paths and a local root", "", run, "42\n", "", 0},
      {"nrepl/nrepl is built in", nrepl_git, run + " (require 'kelp.nrepl) :ok", "42\n:ok\n", "", 0},
      {"-Sdeps adds a local root", "{:deps {b/c {:local/root \"bare\"}}}", "(require 'b.c) b.c/v", ":bare\n", "", 0},
      {"-Sdeps paths replace the file's", "{:paths [\"bare/src\"]}", "(require 'b.c) b.c/v", ":bare\n", "", 0},
      {"other git coordinates are refused", "{:deps {x/y {:git/url \"https://example.org/x\" :git/sha \"abc\"}}}", run,
       "", "git dep: ", 1},
      {"maven coordinates are refused", "{:deps {x/y {:mvn/version \"1.0\"}}}", run, "", "kelp can't fetch the Maven", 1},
      {"malformed -Sdeps", "{:deps", run, "", "The -Sdeps map is not valid EDN", 1},
      {"a coordinate that is not a map", "{:deps {x/y \"1.0\"}}", run, "", "deps: the coordinate of x/y", 1},
  };
  for (const Case& c : cases) {
    std::string cmd = kelp::testing::shell_quote(KELP_BIN);
    if (!c.sdeps.empty()) cmd += " -Sdeps " + kelp::testing::shell_quote(c.sdeps);
    cmd += " -e " + kelp::testing::shell_quote(c.form);
    auto r = kelp::testing::run_process(cmd, dir.path().string());
    EXPECT_EQ(r.out, c.out) << c.name << "\n" << r.err;
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
    EXPECT_TRUE(r.err.starts_with(c.err_starts)) << c.name << "\n" << r.err;
  }
}

}  // namespace
