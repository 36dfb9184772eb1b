#include "orrery/nrepl/ops.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/child_process.hpp"
#include "support/temp_dir.hpp"

namespace orrery::nrepl::ops {
namespace {

using kelp::Value;

Value edn(std::string_view text) { return kelp::read_edn(text).value(); }
std::vector<Message> replies(std::initializer_list<std::string_view> texts) {
  std::vector<Message> out;
  for (std::string_view t : texts) out.push_back(edn(t));
  return out;
}
std::string field(const Value& m, std::string_view key) {
  const Value* v = kelp::get(m, kelp::keyword(key));
  return v ? (v->is(kelp::Kind::String) ? std::string(kelp::str_view(*v)) : kelp::pr_str(*v)) : "<none>";
}

// Replies shaped as the JVM server's describe and nbb's.
const char* JVM_DESCRIBE =
    R"x({:id "1" :ops {"clone" {} "eval" {} "load-file" {} "stdin" {}} :status ["done"]
        :versions {"nrepl" {"major" 1 "minor" 0 "incremental" 0} "clojure" {"major" 1 "minor" 11}}})x";
const char* NBB_DESCRIBE =
    R"x({:id "1" :ops {"clone" {} "eval" {} "complete" {}} :status ["done"]
        :versions {"nbb-nrepl" {"major" "TODO"} "node" {"major" "v20"}}})x";

TEST(NreplOps, DescribeGivesOpsAndVersion) {
  EXPECT_EQ(op_names(replies({JVM_DESCRIBE})), (std::set<std::string>{"clone", "eval", "load-file", "stdin"}));
  EXPECT_EQ(nrepl_version(replies({JVM_DESCRIBE})), std::pair(1, 0));
  EXPECT_EQ(nrepl_version(replies({NBB_DESCRIBE})), std::nullopt);
  EXPECT_EQ(nrepl_version(replies({R"x({:versions {"nrepl" {"major" "1" "minor" 8}}})x"})), std::nullopt);
  EXPECT_EQ(nrepl_version(std::optional<std::vector<Message>>()), std::nullopt);
  EXPECT_EQ(statuses(replies({R"x({:status ["done" "unknown-op" "error"]})x", R"x({:status ["error" "x"]})x"})),
            (std::vector<std::string>{"done", "unknown-op", "error", "x"}));
}

TEST(NreplOps, CandidatesFromEveryReplyShape) {
  // {candidate type} (JVM), {candidate ns} (nbb), {candidate type ns}, and keyword keys.
  auto got = candidates(replies({R"x({:completions [{"candidate" "map-indexed" "type" "function"}
                                                   {"candidate" "if" "type" "special-form"}
                                                   {"candidate" "map-entry?" "ns" "clojure.core"}
                                                   {:candidate "mapv" :type "function" :ns "clojure.core"}
                                                   {"type" "var"}]
                                    :status ["done"]})x"}));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].symbol + " " + got[0].category, "map-indexed function");
  EXPECT_EQ(got[1].symbol + " " + got[1].category, "if special");
  EXPECT_EQ(got[2].symbol + " " + got[2].category, "map-entry? var");
  EXPECT_EQ(got[3].symbol + " " + got[3].category, "mapv function");
}

TEST(NreplOps, MergedCandidatesKeepOfflineAndSortPrefixMatchesFirst) {
  Value offline = edn(R"x([{:candidate "my-map" :type :user} {:candidate "map" :type :builtin}])x");
  std::vector<Candidate> server = {{"map", "function"}, {"Map-thing", "var"}, {"sorted-map", "function"},
                                   {"map-indexed", "function"}};
  Value merged = merge_candidates(offline, server, "map");
  // Exact-case prefix matches first, then the user's names before builtins, then lower-cased order; "map" stays
  // the offline :builtin entry.
  EXPECT_EQ(kelp::pr_str(merged),
            R"x([{:candidate "map-indexed", :type :user, :kind "function"} {:candidate "map", :type :builtin} )x"
            R"x({:candidate "Map-thing", :type :user, :kind "var"} {:candidate "my-map", :type :user} )x"
            R"x({:candidate "sorted-map", :type :user, :kind "function"}])x");
}

TEST(NreplOps, DocInfoFromNestedAndTopLevelAnswers) {
  Value jvm = doc_info(replies({R"x({:id "1" :info {"arglists-str" "([f] [f coll])" "doc" "Maps."
                                   "file" "jar:file:/x.jar!/clojure/core.clj" "line" 2744 "name" "map"
                                   "ns" "clojure.core" "macro" "true"} :status ["done"]})x"}),
                       "map");
  EXPECT_EQ(field(jvm, "name"), "map");
  EXPECT_EQ(field(jvm, "ns"), "clojure.core");
  EXPECT_EQ(field(jvm, "arglists"), "([f] [f coll])");
  EXPECT_EQ(field(jvm, "file"), "jar:file:/x.jar!/clojure/core.clj");
  EXPECT_EQ(field(jvm, "line"), "2744");
  EXPECT_EQ(field(jvm, "macro?"), "true");

  Value nbb = doc_info(replies({R"x({:arglists-str "[f]\n[f coll]" :doc "Maps." :file "" :line 4902 :name "map"
                                   :ns "clojure.core" :status ["done"]})x"}),
                       "map");
  EXPECT_EQ(field(nbb, "arglists"), "([f] [f coll])");
  EXPECT_EQ(field(nbb, "file"), "<none>");  // a blank file counts as none, and so does its line
  EXPECT_EQ(field(nbb, "line"), "<none>");

  for (const char* nothing : {R"x({:info {} :status ["done"]})x", R"x({:status ["done" "unknown-op" "error"]})x",
                              R"x({:status ["done" "no-info"]})x",
                              R"x({:info {"name" "if" "special-form" "true"} :status ["done"]})x"})
    EXPECT_TRUE(doc_info(replies({nothing}), "x").is_nil()) << nothing;
}

TEST(NreplOps, ErrorMessageFromEachServersErrorShape) {
  struct Case {
    std::string err, ex, want;
  };
  const std::vector<Case> cases = {
      // JVM: the message follows the last header, even after the program's own unterminated stderr output.
      {"partial outputExecution error (ArithmeticException) at user/eval1 (REPL:1).\nDivide by zero\n",
       "class java.lang.ArithmeticException", "Divide by zero"},
      {"Syntax error compiling at (REPL:1:1).\nfirst\nExecution error (ExceptionInfo) at user/eval2 (REPL:2).\n\n"
       "  second\n",
       "", "second"},
      // A line that merely starts like a header (no location) is not one: the class rule finds the message.
      {"Execution error happened\nboom: IllegalStateException java.lang.IllegalStateException: no\n",
       "class java.lang.IllegalStateException", "boom: IllegalStateException java.lang.IllegalStateException: no"},
      {"Traceback (most recent call last):\n  File \"x.py\", line 1\n    f()\nZeroDivisionError: division by zero\n",
       "", "ZeroDivisionError: division by zero"},
      {"exception: <class 'NameError'>\n    message: name 'x' is not defined\n", "", "name 'x' is not defined"},
      {"", "Traceback (most recent call last):\n  File \"y\"\nKeyError: 'k'", "KeyError: 'k'"},
      // nbb prints the exception as data in ex and its message on err.
      {"bad\n", "#error {:message \"bad\", :data {:k 1}}", "bad"},
      {"", "java.lang.Exception: plain", "java.lang.Exception: plain"},
      {"\n  only err\nmore\n", "", "only err"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_message(c.err, c.ex), c.want) << c.err << " | " << c.ex;
}

TEST(NreplOps, EvalResultNeverReadsAnErrorAsOkNil) {
  struct Case {
    std::vector<std::string> replies;
    bool stop;
    eval::Status status;
    std::string text;  // printed for Ok, error_text for Error
  };
  const std::string LOST = "Lost the connection to the nREPL server.";
  const std::vector<Case> cases = {
      {{R"x({:ns "user" :value "1"})x", R"x({:ns "foo" :value "2"})x", R"x({:status ["done"]})x"}, false,
       eval::Status::Ok, "2"},
      {{R"x({:status ["done"]})x"}, false, eval::Status::Ok, "nil"},
      {{R"x({:err "Execution error (ArithmeticException) at user/eval1 (REPL:1).\nDivide by zero\n"})x",
        R"x({:ex "class java.lang.ArithmeticException" :status ["eval-error"]})x", R"x({:status ["done"]})x"},
       false, eval::Status::Error, "Error: Divide by zero"},
      {{R"x({:status ["eval-error"]})x", R"x({:status ["done"]})x"}, false, eval::Status::Error, "evaluation failed"},
      {{R"x({:ex "class java.lang.InterruptedException" :status ["eval-error"]})x", R"x({:status ["done"]})x"}, true,
       eval::Status::Interrupted, ""},
      {{R"x({:status ["done" "interrupted"]})x"}, false, eval::Status::Interrupted, ""},
      {{R"x({:status ["done" "orrery-disconnected"]})x"}, false, eval::Status::Error, LOST},
      {{R"x({:status ["done" "orrery-disconnected"]})x"}, true, eval::Status::Interrupted, ""},
      {{R"x({:err "boom\n"})x", R"x({:ex "#error {:message \"boom\"}" :ns "user"})x", R"x({:status ["done"]})x"}, false,
       eval::Status::Error, "Error: boom"},
      {{R"x({:status ["namespace-not-found" "done" "error"]})x"}, false, eval::Status::Error,
       "Error: the server has no such namespace (namespace-not-found)."},
      {{R"x({:status ["done" "unknown-session" "error"]})x"}, false, eval::Status::Error,
       "Error: the server no longer knows this session (unknown-session)."},
      {{R"x({:status ["error" "unknown-op" "done"]})x"}, false, eval::Status::Error,
       "Error: the server doesn't support this operation (unknown-op)."},
      {{R"x({:status ["done" "error"]})x"}, false, eval::Status::Error, "Error: the server answered with an error."},
  };
  for (const Case& c : cases) {
    std::vector<Message> rs;
    for (const std::string& r : c.replies) rs.push_back(edn(r));
    eval::Result r = eval_result(rs, {c.stop, LOST});
    EXPECT_EQ(r.status, c.status) << c.replies.front();
    if (c.status == eval::Status::Ok) {
      EXPECT_EQ(r.printed, c.text);
    } else if (c.status == eval::Status::Error) {
      EXPECT_EQ(r.error_text.value_or(""), c.text) << c.replies.front();
    }
  }
  EXPECT_EQ(eval_result(replies({R"x({:ns "user" :value "1"})x", R"x({:ns "foo" :value "2"})x", R"x({:status ["done"]})x"}),
                        {})
                .ns,
            "foo");
}

TEST(NreplOps, QuietResultSplitsAtTheLastTokenLine) {
  QuietOutput q = quiet_result("hi\nTOK fake\nmore\nTOK {:value \"3\"}\n", "TOK");
  EXPECT_EQ(q.out, "hi\nTOK fake\nmore");
  EXPECT_EQ(q.value, "3");
  q = quiet_result("xTOK {:value \"1\"}\nTOK {:error \"bad\"}\n", "TOK");
  EXPECT_EQ(q.error, "bad");
  EXPECT_EQ(q.value, std::nullopt);
  q = quiet_result("no token here", "TOK");
  EXPECT_EQ(q.out, "no token here");
  EXPECT_FALSE(q.value || q.error);

  eval::Result ok;
  ok.printed = "old-star-1";
  EXPECT_EQ(quiet_reply(ok, {"", "42", std::nullopt}).printed, "42");
  EXPECT_EQ(quiet_reply(ok, {"", std::nullopt, "bad"}).error_text, "Error: bad");
  EXPECT_EQ(quiet_reply(ok, {"", std::nullopt, std::nullopt}).error_text, "the quiet eval's answer was lost");
  eval::Result stopped;
  stopped.status = eval::Status::Interrupted;
  EXPECT_EQ(quiet_reply(stopped, {"", "42", std::nullopt}).status, eval::Status::Interrupted);
}

TEST(NreplOps, ReadsStdinOnlyOutsideStringsAndComments) {
  for (const char* yes : {"(read-line)", "(clojure.core/read-line)", "(binding [*in* x] 1)", "(read)"})
    EXPECT_TRUE(reads_stdin(yes)) << yes;
  for (const char* no : {"\"(read-line)\"", "; (read-line)\n1", "(my/read-line)", "(read-string \"1\")", ":read"})
    EXPECT_FALSE(reads_stdin(no)) << no;
}

TEST(NreplOps, SnapshotReadsTheLastPrintedLine) {
  auto s = read_ns_snapshot("loading...\n[[\"user\" \"clojure.core\"] [\"clojure.string\"]]\n");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->namespaces, (std::vector<std::string>{"user", "clojure.core"}));
  EXPECT_EQ(s->loaded_libs, (std::vector<std::string>{"clojure.string"}));
  EXPECT_FALSE(read_ns_snapshot("{:a 1}\n"));
  EXPECT_FALSE(read_ns_snapshot(""));
}

// The code texts run in kelp itself, inside the same shift of *1 *2 *3 an nREPL server applies after an eval.
struct KelpRun {
  testing::TempDir dir;
  std::string run(const std::string& code, const std::string& after = "") {
    std::string wrapped = "(binding [*1 :one *2 :two *3 :three *ns* *ns*]\n"
                          "  (let [v (load-string " + kelp::pr_str(kelp::make_string(code)) + ")]\n"
                          "    (set! *3 *2) (set! *2 *1) (set! *1 v))\n"
                          "  (prn [*1 *2 *3 (str *ns*)]) " + after + ")\n";
    return testing::run_program({KELP_BIN, dir.write("t.clj", wrapped).string()}).out;
  }
};

TEST(NreplOps, BookkeepingCodeKeepsHistoryAndNeverRunsPastedNames) {
  KelpRun k;
  EXPECT_EQ(k.run(keeping_history("(println \"body\")")), "body\n[:one :two :three \"user\"]\n");

  std::string quiet = k.run("(ns my.x) (def a 5) (in-ns 'user) " +
                            quiet_code("(println \"out\") (* a 2)", "orrery-q-1", "my.x"));
  EXPECT_EQ(quiet_result(quiet, "orrery-q-1").value, "10") << quiet;
  EXPECT_NE(quiet.find("out\n"), std::string::npos);
  EXPECT_NE(quiet.find("[:one :two :three \"user\"]"), std::string::npos) << quiet;
  std::string failed = k.run(quiet_code("(/ 1 0)", "orrery-q-2", std::nullopt));
  EXPECT_EQ(quiet_result(failed, "orrery-q-2").error, "Divide by zero") << failed;

  // A hostile namespace name is data, never code: nothing it spells runs.
  const std::string hostile = "a) (println \"ran\") (b";
  std::string reset = k.run("(create-ns 'gone.ns) " + reset_code({"gone.ns", hostile}), "(prn (find-ns 'gone.ns))");
  EXPECT_EQ(reset.find("ran"), std::string::npos) << reset;
  EXPECT_NE(reset.find("[:one :two :three \"user\"]\nnil"), std::string::npos) << reset;
  std::string quiet_hostile = k.run(quiet_code("1", "orrery-q-3", hostile));
  EXPECT_EQ(quiet_hostile.find("ran"), std::string::npos) << quiet_hostile;
  EXPECT_EQ(quiet_result(quiet_hostile, "orrery-q-3").value, "1");

  std::string printed = k.run(ns_snapshot_code());
  printed.erase(printed.rfind('[', printed.size() - 2));  // the wrapper's own line
  auto snapshot = read_ns_snapshot(printed);
  ASSERT_TRUE(snapshot);
  EXPECT_NE(std::find(snapshot->namespaces.begin(), snapshot->namespaces.end(), "user"), snapshot->namespaces.end());
}

}  // namespace
}  // namespace orrery::nrepl::ops
