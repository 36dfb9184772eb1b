// clojure.repl/source for definitions that have no file to read back: text given to -e and typed at the REPL keeps
// its own layout and comments, a redefinition shows its newest text, and what was never read from text has none.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelp/conformance/run_process.hpp"

namespace {

using kelp::testing::run_process;
using kelp::testing::shell_quote;

struct Case {
  const char* name;
  std::string code;  // run with kelp -e after (require 'clojure.repl)
  std::string out;
};

TEST(ReplSource, KeepsTheTextOfDefinitionsReadWithoutAFile) {
  const Case cases[] = {
      {"layout and comments", "(defn  sq\n  \"Squares.\" [x]\n  ;; the product\n  (* x x))\n(clojure.repl/source sq)",
       "#'user/sq\n(defn  sq\n  \"Squares.\" [x]\n  ;; the product\n  (* x x))\n"},
      {"leading comment left out", "; about v\n(def v 1) (clojure.repl/source v)", "#'user/v\n(def v 1)\n"},
      {"newest definition", "(defn f [] 1) (defn f [] 2) (clojure.repl/source f)",
       "#'user/f\n#'user/f\n(defn f [] 2)\n"},
      {"macro", "(defmacro m [x] `(list ~x)) (clojure.repl/source m)", "#'user/m\n(defmacro m [x] `(list ~x))\n"},
      {"another namespace", "(ns a.b) (defn g [] :g) (ns user) (clojure.repl/source a.b/g)",
       "#'a.b/g\n(defn g [] :g)\n"},
      {"made by a function, not read", "(intern *ns* 'made 1) (clojure.repl/source made)",
       "#'user/made\nSource not found\n"},
      {"inside a form that is not a definition", "(let [] (def inner 1)) (clojure.repl/source inner)",
       "#'user/inner\nSource not found\n"},
  };
  for (const Case& c : cases) {
    auto r = run_process("timeout -k 5 60 " + shell_quote(KELP_BIN) + " -e " +
                         shell_quote("(require 'clojure.repl) " + c.code));
    EXPECT_EQ(r.out, c.out) << c.name << "\nstderr: " << r.err;
    EXPECT_EQ(r.status, 0) << c.name;
  }
}

TEST(ReplSource, TheReplKeepsWhatWasTyped) {
  auto r = run_process("timeout -k 5 60 " + shell_quote(KELP_BIN),
                       ".", "(require 'clojure.repl)\n(defn typed\n  [a b]   ; two\n  (+ a b))\n(clojure.repl/source typed)\n");
  EXPECT_NE(r.out.find("(defn typed\n  [a b]   ; two\n  (+ a b))\n"), std::string::npos) << r.out << r.err;
}

}  // namespace
