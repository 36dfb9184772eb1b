// The kelp tool as a process: its modes (-e, FILE, -m, -i, -, the REPL over a pipe), what it prints where, and its
// exit status.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelp/conformance/run_process.hpp"

namespace {

namespace fs = std::filesystem;
using kelp::testing::run_process;
using kelp::testing::shell_quote;

struct Case {
  const char* name;
  std::vector<std::string> args;  // "$T" stands for the scratch folder
  std::string stdin_text;
  std::string out;      // the whole of standard output
  std::string err_has;  // standard error contains these lines ("" for nothing; each '\n'-separated part)
  int status;
};

class KelpTool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = fs::path(::testing::TempDir()) / ("kelp_tool_" + std::to_string(getpid()));
    fs::create_directories(scratch_);
    std::ofstream(scratch_ / "args.clj") << "(prn *command-line-args*)\n(prn (+ 1 2))\n42\n";
    std::ofstream(scratch_ / "init.clj") << "(def v 5)\n";
  }
  static void TearDownTestSuite() { fs::remove_all(scratch_); }

  static kelp::testing::ProcessResult kelp(const std::vector<std::string>& args, const std::string& in = "") {
    std::string cmd = "timeout -k 5 60 " + shell_quote(KELP_BIN);
    for (std::string a : args) {
      if (size_t p = a.find("$T"); p != std::string::npos) a.replace(p, 2, scratch_.string());
      cmd += " " + shell_quote(a);
    }
    // From the fixture folder, so that -cp src finds the conformance suite's namespaces.
    return run_process(cmd, fs::path(ORRERY_SOURCE_DIR) / "tests/kelp/conformance", in);
  }

  static void check(const Case& c) {
    auto r = kelp(c.args, c.stdin_text);
    // Long outputs are summarised rather than printed whole.
    auto brief = [](const std::string& s) {
      return s.size() > 300 ? s.substr(0, 300) + "... (" + std::to_string(s.size()) + " bytes)" : s;
    };
    EXPECT_TRUE(r.out == c.out) << c.name << "\nexpected: " << brief(c.out) << "\nactual:   " << brief(r.out)
                                << "\nstderr: " << r.err;
    EXPECT_EQ(r.status, c.status) << c.name << "\nstderr: " << r.err;
    std::string want = c.err_has;
    for (size_t pos = 0; pos < want.size();) {
      size_t nl = want.find('\n', pos);
      std::string part = want.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
      EXPECT_NE(r.err.find(part), std::string::npos) << c.name << ": stderr lacks \"" << part << "\":\n" << r.err;
      pos = nl == std::string::npos ? want.size() : nl + 1;
    }
    if (c.err_has.empty()) {
      EXPECT_EQ(r.err, "") << c.name;
    }
  }

  static fs::path scratch_;
};
fs::path KelpTool::scratch_;

TEST_F(KelpTool, EvalPrintsEachNonNilValueAndKeepsTheNamespaceAcrossExpressions) {
  const Case cases[] = {
      {"values", {"-e", "(+ 1 2) nil \"s\" (println :a) [1 \\c]"}, "", "3\n\"s\"\n:a\n[1 \\c]\n", "", 0},
      {"ns carries over", {"-e", "(do (in-ns 'foo) nil)", "-e", "(clojure.core/str clojure.core/*ns*) ::k"}, "", "\"foo\"\n:foo/k\n", "", 0},
      {"no args is nil", {"-e", "(prn *command-line-args*)"}, "", "nil\n", "", 0},
      {"init file then eval", {"-i", "$T/init.clj", "-e", "(* v 2)"}, "", "10\n", "", 0},
      {"big output is all flushed", {"-e", "(dotimes [i 3000] (println i)) (count \"x\")"}, "",
       [] {
         std::string s;
         for (int i = 0; i < 3000; ++i) s += std::to_string(i) + "\n";
         return s + "1\n";
       }(),
       "", 0},
      {"running futures do not hold the exit", {"-e", "(do (future (Thread/sleep 100000)) :done)"}, "", ":done\n", "",
       0},
  };
  for (const Case& c : cases) check(c);
}

// Hierarchies, multimethods, the type macros and a few rarer core vars load on first use; each case is a fresh
// process, so the first use really is the first.
TEST_F(KelpTool, CoreVarsLoadedOnFirstUseBehaveAsIfAlwaysThere) {
  const Case cases[] = {
      {"eight threads deriving at once all land",
       {"-e", "(let [fs (doall (for [i (range 8)] (future (derive (keyword \"user\" (str \"t\" i)) ::base))))] "
              "(run! deref fs) (count (descendants ::base)))"},
       "", "8\n", "", 0},
      {"a macro's first use expands with its form",
       {"-e", "(defmulti area :shape) (do (defmethod area :sq [{s :s}] (* s s)) nil) (area {:shape :sq :s 3})"},
       "", "#'user/area\n9\n", "", 0},
      {"docs and arglists before any use",
       {"-e", "(let [m (meta #'defrecord)] [(:macro m) (some? (:doc m))]) (:arglists (meta #'halt-when))"}, "",
       "[true true]\n([pred] [pred retf])\n", "", 0},
      {"a type macro inside a function body",
       {"-e", "(defn mk [] (reify Object (toString [_] \"r\"))) (str (mk))"}, "", "#'user/mk\n\"r\"\n", "", 0},
  };
  for (const Case& c : cases) check(c);
}

TEST_F(KelpTool, FilesNamespacesAndStdinPrograms) {
  const Case cases[] = {
      {"file with args", {"$T/args.clj", "x", "y"}, "", "(\"x\" \"y\")\n3\n", "", 0},
      {"-m runs -main with the args", {"-cp", "src", "-m", "conf.tool-main", "p", "q"}, "", "main (\"p\" \"q\")\n", "",
       0},
      {"- runs stdin as a program", {"-"}, "(println (+ 1 2))\n42\n", "3\n", "", 0},
      {"version", {"--version"}, "", "kelp 0.1\n", "", 0},
  };
  for (const Case& c : cases) check(c);
  auto help = kelp({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: kelp"), std::string::npos);
}

TEST_F(KelpTool, PipedStdinIsAReplWithoutPrompts) {
  const Case cases[] = {
      {"forms span lines; an error does not end the session",
       {},
       "(def x 2)\n(+ x\n   1)\n(/ 1 0)\n:after (ns foo) ::k\n(str *1)\n",
       "#'user/x\n3\n:after\nnil\n:foo/k\n\":foo/k\"\n",
       "Execution error (ArithmeticException)\nDivide by zero",
       1},
      {"compile errors name the phase", {}, "undefined-name\n", "", "Unable to resolve symbol: undefined-name", 1},
      {"*e holds the last exception", {}, "(throw (ex-info \"m\" {}))\n(ex-message *e)\n", "\"m\"\n", "m", 1},
      {"doc and pprint are at hand, as in JVM Clojure's REPL", {}, "(doc map)\n(pprint {:a 1})\n",
       "-------------------------\nclojure.core/map\n([f] [f coll] [f c1 c2] [f c1 c2 c3] [f c1 c2 c3 & colls])\n"
       "  Returns a lazy seq of f applied to the first items of each coll, then the second, ...\nnil\n{:a 1}\nnil\n",
       "", 0},
  };
  for (const Case& c : cases) check(c);
}

TEST_F(KelpTool, FailuresGoToStandardErrorWithAnExitStatus) {
  const Case cases[] = {
      {"ex-info with data", {"-e", "(throw (ex-info \"boom\" {:a 1}))"}, "", "",
       "Unhandled exception: boom\nclojure.lang.ExceptionInfo\n{:a 1}", 1},
      {"output before the throw survives", {"-e", "(print \"partial\") (/ 1 0)"}, "", "partial",
       "Unhandled exception: Divide by zero", 1},
      {"System/exit", {"-e", "(print \"bye\") (System/exit 3)"}, "", "bye", "", 3},
      {"missing file", {"$T/no-such.clj"}, "", "", "Unhandled exception:\nno-such.clj", 1},
      {"reader error", {"-e", "(+ 1"}, "", "", "EOF while reading", 1},
      {"stack overflow is reported, not a crash", {"-e", "(defn f [n] (f (inc n))) (f 0)"}, "", "#'user/f\n",
       "StackOverflowError", 1},
      {"unknown option", {"--bogus"}, "", "", "unknown option --bogus", 2},
  };
  for (const Case& c : cases) check(c);
}

}  // namespace
