// The compiler: special forms, closures, recur, macros, compile errors and the reader functions, checked by
// evaluating source text.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "kelp/compile/compiler.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp {
namespace {

class Compiler : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { boot(); }

  // The printed value of the last form, or "!Class: message" for an exception.
  static std::string run(std::string_view source, std::string_view ns = "compiler-test") {
    try {
      return pr_str(eval_string(source, "NO_SOURCE_PATH", ns));
    } catch (const rt::Thrown& t) {
      const rt::Throwable& ex = rt::throwable(t.value());
      std::string msg = ex.message().is(Kind::String) ? std::string(str_view(ex.message())) : "nil";
      return "!" + std::string(ex.cls().simple_name()) + ": " + msg;
    }
  }

  // The compile error a form raises: its message, its cause's message and its ex-data.
  struct CompileError {
    std::string message, cause, data;
  };
  static CompileError compile_error(std::string_view source) {
    try {
      eval_string(source, "NO_SOURCE_PATH", "compiler-test");
    } catch (const rt::Thrown& t) {
      const rt::Throwable& ex = rt::throwable(t.value());
      EXPECT_EQ(ex.cls().name, "clojure.lang.Compiler$CompilerException") << source;
      std::string cause;
      if (rt::is_throwable(ex.cause())) {
        const Value& m = rt::throwable(ex.cause()).message();
        cause = m.is(Kind::String) ? std::string(str_view(m)) : "nil";
      }
      return {std::string(str_view(ex.message())), cause, pr_str(ex.data())};
    }
    ADD_FAILURE() << "no error from " << source;
    return {};
  }
};

TEST_F(Compiler, SpecialFormsEvaluate) {
  struct Case {
    const char* source;
    const char* expect;
  } cases[] = {
      {"(let* [x 1 y (inc x)] [x y])", "[1 2]"},
      {"(let* [x 1] (let* [x (inc x)] x))", "2"},
      {"(if nil 1 2)", "2"},
      {"(if false 1)", "nil"},
      {"(if 0 :zero-is-true :no)", ":zero-is-true"},
      {"(do 1 2 3)", "3"},
      {"(do)", "nil"},
      {"'(a b c)", "(a b c)"},
      {"(quote x)", "x"},
      {"(def x 1) (var x)", "#'compiler-test/x"},
      {"(def v1 1) (def v1 2) v1", "2"},
      {"(def unset) (def unset 5) (def unset) unset", "5"},
      {"(loop* [i 0 s 0] (if (< i 100) (recur (inc i) (+ s i)) s))", "4950"},
      {"(loop* [a 1 b 2] (if (< a 2) (recur b a) [a b]))", "[2 1]"},
      {"(let* [x 1] [x {:a x} #{x}])", "[1 {:a 1} #{1}]"},
      {"(case* 2 :none [[1] :one] [[2 3] :two-or-three])", ":two-or-three"},
      {"(case* 9 :none [[1] :one])", ":none"},
      {"(case* [1 2] :none [[[1 2]] :vec] [[nil] :nil])", ":vec"},
      {"(case* nil :none [[[1 2]] :vec] [[nil] :nil])", ":nil"},
      {"(set! *warn-on-reflection* true) *warn-on-reflection*", "true"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expect) << c.source;
}

TEST_F(Compiler, FunctionsAndClosures) {
  struct Case {
    const char* source;
    const char* expect;
  } cases[] = {
      {"(def fib (fn* fib [n] (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))) (fib 20)", "6765"},
      {"((fn* [a & r] [a r]) 1 2 3)", "[1 (2 3)]"},
      {"((fn* [a & r] [a r]) 1)", "[1 nil]"},
      {"((fn* ([] 0) ([x] 1) ([x & y] y)) 1 2 3)", "(2 3)"},
      {"((fn* ([] 0) ([x] 1) ([x & y] y)))", "0"},
      {"((fn* ([] 0) ([x] 1) ([x & y] y)) :a)", "1"},
      {"((fn* [a b c d e f g h i j] [a j]) 1 2 3 4 5 6 7 8 9 10)", "[1 10]"},
      {"(let* [x 10 f (fn* [y] (+ x y))] (f 5))", "15"},
      // Closures over closures, each level copying what it needs from the one around it.
      {"((((fn* [a] (fn* [b] (fn* [c] [a b c]))) 1) 2) 3)", "[1 2 3]"},
      // A named fn's own name reaches into a fn made inside it.
      {"((fn* f [n] (if (zero? n) :done ((fn* [] (f (dec n)))))) 3)", ":done"},
      // Parameters shadow the fn's own name.
      {"((fn* f [f] f) 7)", "7"},
      // Captured values are copies made when the closure is made, not views of a reused slot.
      {"(let* [fs (loop* [i 0 acc []] (if (< i 3) (recur (inc i) [acc (fn* [] i)]) acc))] "
       "[((nth (nth fs 0) 1)) ((nth fs 1))])",
       "[1 2]"},
      {"((fn* [n acc] (if (zero? n) acc (recur (dec n) (+ acc n)))) 10 0)", "55"},
      // recur in a variadic fn passes the rest as one sequence.
      {"((fn* [a & r] (if (< a 3) (recur (inc a) r) [a r])) 0 1 2)", "[3 (1 2)]"},
      {"(letfn* [ev? (fn* ev? [n] (if (zero? n) true (od? (dec n)))) "
       "od? (fn* od? [n] (if (zero? n) false (ev? (dec n))))] [(ev? 10) (od? 7) (ev? 7)])",
       "[true true false]"},
      {"(def ^{:macro true} envm (fn* [&form &env] &env)) (let* [a 1] (envm))", "{1 1}"},
      {"(def ^{:macro true} second-arg (fn* [&form &env a b] b)) (second-arg (undefined-thing) 42)", "42"},
      // A macro defined inside a top-level do is usable by the next form of the same do.
      {"(do (def ^{:macro true} m1 (fn* [&form &env] 5)) (m1))", "5"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expect) << c.source;
}

TEST_F(Compiler, TryCatchFinally) {
  struct Case {
    const char* source;
    const char* expect;
  } cases[] = {
      {"(try (inc 9223372036854775807) (catch ArithmeticException e :arith))", ":arith"},
      {"(try (inc 9223372036854775807) (catch RuntimeException e :runtime))", ":runtime"},
      {"(try (inc 9223372036854775807) (catch Throwable e (ex-message e)))", "\"long overflow\""},
      {"(try (try (inc 9223372036854775807) (catch IllegalStateException e :wrong)) (catch Exception e :outer))",
       ":outer"},
      {"(try (inc 9223372036854775807) (catch IllegalStateException e :first) (catch ArithmeticException e :second))",
       ":second"},
      {"(try 5 (finally 6))", "5"},
      {"(def fin 0) (try 5 (finally (def fin 1))) fin", "1"},
      {"(def fin2 0) (try (try (inc 9223372036854775807) (finally (def fin2 1))) (catch Exception e fin2))", "1"},
      {"(def fin3 0) (try (try (inc 9223372036854775807) (catch Exception e (def fin3 1) :c) (finally (def fin3 "
       "(+ fin3 1)))) fin3)",
       "2"},
      // Errors raised by the data layer and the runtime are caught alike.
      {"(try (throw (inc 9223372036854775807)) (catch ArithmeticException e :data))", ":data"},
      {"(try (throw 1) (catch ClassCastException e :cce))", ":cce"},
      {"(try (throw nil) (catch NullPointerException e :npe))", ":npe"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expect) << c.source;
}

TEST_F(Compiler, RuntimeErrorsKeepTheirClassAndNames) {
  EXPECT_EQ(run("(def g (fn* [x] x)) (g)"), "!ArityException: Wrong number of args (0) passed to: compiler-test/g");
  EXPECT_EQ(run("(def h2 (fn* h2 ([x] x) ([x y] y))) (h2 1 2 3)"),
            "!ArityException: Wrong number of args (3) passed to: compiler-test/h2");
  EXPECT_TRUE(std::regex_match(run("(def h (fn* [] (fn* [x] x))) ((h))"),
                               std::regex("!ArityException: Wrong number of args \\(0\\) passed to: "
                                          "compiler-test/h/fn--[0-9]+")));
  EXPECT_TRUE(std::regex_match(run("((let* [a 1] (fn* named [x] a)))"),
                               std::regex("!ArityException: .*: compiler-test/eval[0-9]+/named--[0-9]+")));
  EXPECT_EQ(run("(+ 9223372036854775807 1)"), "!ArithmeticException: long overflow");
  EXPECT_EQ(run("(* 4611686018427387904 2)"), "!ArithmeticException: long overflow");
  EXPECT_EQ(run("(dec -9223372036854775808)"), "!ArithmeticException: long overflow");
  EXPECT_EQ(run("(def unbound-f) (unbound-f)"),
            "!IllegalStateException: Attempting to call unbound fn: #'compiler-test/unbound-f");
  EXPECT_EQ(run("(throw 1)"), "!ClassCastException: class java.lang.Long cannot be cast to class java.lang.Throwable");
}

TEST_F(Compiler, CompileErrorsNameTheFormAndPlace) {
  struct Case {
    const char* source;
    const char* message;  // null: the place is not the point of the case
    const char* cause;
  } cases[] = {
      {"(nope 1)", "Syntax error compiling at (1:1).", "Unable to resolve symbol: nope in this context"},
      {"(if)", "Syntax error compiling if at (1:1).", "Too few arguments to if"},
      {"(if 1 2 3 4)", "Syntax error compiling if at (1:1).", "Too many arguments to if"},
      {"(loop* [x 1] (inc (recur 2)))", "Syntax error compiling recur at (1:19).", "Can only recur from tail position"},
      {"(loop* [x 1] (recur 2 3))", "Syntax error compiling recur at (1:14).",
       "Mismatched argument count to recur, expected: 1 args, got: 2"},
      {"(fn* [a & r] (recur 1))", "Syntax error compiling recur at (1:14).",
       "Mismatched argument count to recur, expected: 2 args, got: 1"},
      {"(loop* [] (try (recur)))", "Syntax error compiling recur at (1:16).", "Cannot recur across try"},
      {"(let* [x (recur)] x)", "Syntax error compiling recur at (1:10).", "Can only recur from tail position"},
      {"(fn* ([x] 1) ([y] 2))", "Syntax error compiling fn* at (1:1).", "Can't have 2 overloads with same arity"},
      {"(fn* ([& x] 1) ([y & z] 2))", "Syntax error compiling fn* at (1:1).",
       "Can't have more than 1 variadic overload"},
      {"(fn* [x x & y z] 1)", "Syntax error compiling fn* at (1:1).", "Unexpected parameter"},
      {"(let* [x] x)", "Syntax error compiling let* at (1:1).",
       "Bad binding form, expected matched symbol expression pairs"},
      {"(let* x x)", "Syntax error compiling let* at (1:1).", "Bad binding form, expected vector"},
      {"(def)", "Syntax error compiling def at (1:1).", "Too few arguments to def"},
      {"(def x 1 2 3)", "Syntax error compiling def at (1:1).", "Too many arguments to def"},
      {"(def clojure.core/zzz 1)", "Syntax error compiling def at (1:1).",
       "Can't refer to qualified var that doesn't exist"},
      {"(throw)", "Syntax error compiling throw at (1:1).",
       "Too few arguments to throw, throw expects a single Throwable instance"},
      {"(var nope)", "Syntax error compiling var at (1:1).", "Unable to resolve var: nope in this context"},
      {"(try 1 (catch Nope e 1))", "Syntax error compiling try at (1:1).", "Unable to resolve classname: Nope"},
      {"(clojure.core/nope)", "Syntax error compiling at (1:1).", "No such var: clojure.core/nope"},
      {"(nope/nope)", "Syntax error compiling at (1:1).", "No such namespace: nope"},
      {"(quote 1 2)", "Syntax error compiling quote at (1:1).", "Wrong number of args (2) passed to quote"},
      {"(def ^{:macro true} mac (fn* [&form &env] 1)) [mac]", nullptr,
       "Can't take value of a macro: #'compiler-test/mac"},
      // A macro that throws is reported as an error of its expansion.
      {"(def ^{:macro true} bad-mac (fn* [&form &env] (inc 9223372036854775807))) (bad-mac)",
       "Syntax error macroexpanding compiler-test/bad-mac at (1:75).", "long overflow"},
  };
  for (const Case& c : cases) {
    CompileError e = compile_error(c.source);
    if (c.message) {
      EXPECT_EQ(e.message, c.message) << c.source;
    }
    EXPECT_EQ(e.cause, c.cause) << c.source;
  }
  // The position is the innermost form that has one, and the data carries it.
  CompileError e = compile_error("(do\n  1\n  (let* [a 1]\n     (undefined-thing a)))");
  EXPECT_EQ(e.message, "Syntax error compiling at (4:6).");
  EXPECT_EQ(e.data, "{:clojure.error/phase :compile-syntax-check, :clojure.error/line 4, :clojure.error/column 6}");
}

TEST_F(Compiler, DefSetsMetadataAndDynamics) {
  EXPECT_EQ(run("(def ^{:doc \"d\" :extra 1} dm 1) [(:doc (meta (var dm))) (:extra (meta (var dm))) "
                "(:line (meta (var dm))) (:name (meta (var dm)))]"),
            "[\"d\" 1 1 dm]");
  // def replaces the metadata; the docstring form sets :doc.
  EXPECT_EQ(run("(def ^{:extra 1} dm2 1) (def dm2 \"now documented\" 2) [(:extra (meta (var dm2))) "
                "(:doc (meta (var dm2))) dm2]"),
            "[nil \"now documented\" 2]");
  EXPECT_EQ(run("(def ^:dynamic *dyn* 1) (:dynamic (meta (var *dyn*)))"), "true");
  // A var referred from another namespace is not replaced by a def; one from clojure.core is.
  run("(def shared 1)");
  EXPECT_EQ(run("(refer 'compiler-test) (def shared 2)", "compiler-test.other"),
            "!Compiler$CompilerException: Syntax error compiling def at (1:24).");
  EXPECT_EQ(run("(try (eval '(def shared 2)) (catch Exception e (ex-message (ex-cause e))))", "compiler-test.other"),
            "\"shared already refers to: #'compiler-test/shared in namespace: compiler-test.other\"");
  EXPECT_EQ(run("(def inc dec) (inc 1)", "compiler-test.other"), "0");
}

// A collection literal's metadata is evaluated with it; quoted, it stays as read.
TEST_F(Compiler, LiteralMetadataIsEvaluated) {
  EXPECT_EQ(run("[(class (:tag (meta ^String []))) (let* [y 5] (meta ^{:y y} {:a 1})) (meta ^{:x (inc 1)} #{1}) "
                "(let* [y 5] (meta ^{:y y} [y])) (meta '^String [])]"),
            "[java.lang.Class {:y 5} {:x 2} {:y 5} {:tag String}]");
  EXPECT_EQ(run("(meta ^Nope [])"), "!Compiler$CompilerException: Syntax error compiling at (1:1).");
}

// Exceptions carry the compiled functions that were running when they were thrown, innermost first, named with
// the line they were defined at; a catch forgets the frames it unwound.
TEST_F(Compiler, ExceptionsCarryTheFunctionsThatWereRunning) {
  auto trace_of = [](std::string_view source) {
    std::vector<std::string> names;
    try {
      eval_string(source, "NO_SOURCE_PATH", "compiler-test");
      ADD_FAILURE() << "no error from " << source;
    } catch (const rt::Thrown& t) {
      for (const rt::TraceElement& e : rt::throwable(t.value()).trace())
        names.push_back(e.fn + ":" + std::to_string(e.line));
    }
    return names;
  };
  run("(def tr-inner\n  (fn* [x] (/ x 0)))\n(def tr-outer (fn* [x] (inc (tr-inner x))))");
  using V = std::vector<std::string>;
  EXPECT_EQ(trace_of("(tr-outer 1)"), (V{"compiler-test/tr-inner:2", "compiler-test/tr-outer:3"}));
  // Rethrown, the exception keeps the trace of where it was first thrown.
  EXPECT_EQ(trace_of("(try (tr-outer 1) (catch ArithmeticException e (throw e)))"),
            (V{"compiler-test/tr-inner:2", "compiler-test/tr-outer:3"}));
  // After a caught failure, a later one sees no stale frames.
  EXPECT_EQ(run("(try (tr-outer 1) (catch ArithmeticException e :caught))"), ":caught");
  EXPECT_EQ(trace_of("(def tr-other (fn* [] (throw (ex-info \"x\" {})))) (tr-other)"), (V{"compiler-test/tr-other:1"}));
}

TEST_F(Compiler, MacroexpandAndInteropSugar) {
  struct Case {
    const char* source;
    const char* expect;
  } cases[] = {
      {"(macroexpand-1 '(.foo x 1))", "(. x foo 1)"},
      {"(macroexpand-1 '(String. \"a\"))", "(new String \"a\")"},
      {"(macroexpand-1 '(Math/abs 1))", "(. Math abs 1)"},
      {"(macroexpand-1 '(.-x y))", "(. y -x)"},
      // A class as the target means the Class object, not one of its static members.
      {"(macroexpand-1 '(.getName String))", "(. (clojure.core/identity String) getName)"},
      {"[(.getName String) (let* [String \"s\"] (.length String))]", "[\"java.lang.String\" 1]"},
      {"(macroexpand-1 '(x/y 1))", "(x/y 1)"},
      {"(macroexpand-1 '(if a b))", "(if a b)"},
      {"(def ^{:macro true} twice (fn* [&form &env x] [x x])) (macroexpand '(twice 3))", "[3 3]"},
      {"[(special-symbol? 'if) (special-symbol? 'let*) (special-symbol? 'when)]", "[true true false]"},
      {"(eval '(let* [a 2] (* a 21)))", "42"},
      {"(load-string \"(def ls 1) (inc ls)\")", "2"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expect) << c.source;
  EXPECT_TRUE(std::regex_match(run("(gensym)"), std::regex("G__[0-9]+")));
  EXPECT_TRUE(std::regex_match(run("(gensym \"pre\")"), std::regex("pre[0-9]+")));
}

TEST_F(Compiler, ReadStringAndRead) {
  struct Case {
    const char* source;
    const char* expect;
  } cases[] = {
      {"(read-string \"(a b)\")", "(a b)"},
      {"(read-string \"#?(:clj 1 :cljs 2)\")", "!RuntimeException: Conditional read not allowed"},
      {"(read-string {:read-cond :allow} \"#?(:clj 1 :cljs 2)\")", "1"},
      {"(read-string {:eof :x} \"\")", ":x"},
      {"(read-string \"\")", "!RuntimeException: EOF while reading"},
      {"(read-string \"(1 [2\")", "!RuntimeException: EOF while reading"},
      {"(read-string \"::k\")", ":compiler-test/k"},
      {"(read-string \"`map\")", "(quote clojure.core/map)"},
      // :preserve keeps every conditional as data, chosen by no platform.
      {"(let* [rc (read-string {:read-cond :preserve} \"#?@(:cljs [1])\")] "
       "[(reader-conditional? rc) (= rc (reader-conditional '(:cljs [1]) true)) (reader-conditional? '(1))])",
       "[true true false]"},
      {"(= (reader-conditional '(:a 1) false) (read-string {:read-cond :preserve} \"#?(:a 1)\") "
       "(reader-conditional '(:a 1) true))",
       "false"},
      {"(= (reader-conditional '(:a 1) false) (read-string {:read-cond :preserve} \"#?(:a 1)\"))", "true"},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expect) << c.source;
}

// Reader errors met while loading source are compile errors of the read-source phase, at the place the reader had
// got to, with the reader's complaint as the cause.
TEST_F(Compiler, ReaderErrorsWhileLoadingNameThePlace) {
  struct Case {
    const char* source;
    const char* message;
    const char* cause;
  } cases[] = {
      {"(+ 1", "Syntax error reading source at (2:1).", "EOF while reading, starting at line 1"},
      {"(+ 1\n", "Syntax error reading source at (2:1).", "EOF while reading, starting at line 1"},
      {"(+ 1\n\n  ", "Syntax error reading source at (4:1).", "EOF while reading, starting at line 1"},
      {"  )", "Syntax error reading source at (1:4).", "Unmatched delimiter: )"},
      {"[1 2}", "Syntax error reading source at (1:6).", "Unmatched delimiter: }"},
      {"(+ 1 2)\n  (foo {:a}", "Syntax error reading source at (2:12).",
       "Map literal must contain an even number of forms"},
      {"{:a 1 :a 2} 3", "Syntax error reading source at (1:12).", "Duplicate key: :a"},
      {"\\xyz", "Syntax error reading source at (2:1).", "Unsupported character: \\xyz"},
      {"1/0x 2", "Syntax error reading source at (1:5).", "Invalid number: 1/0x"},
  };
  for (const Case& c : cases) {
    CompileError e = compile_error(c.source);
    EXPECT_EQ(e.message, c.message) << c.source;
    EXPECT_EQ(e.cause, c.cause) << c.source;
  }
  EXPECT_EQ(compile_error("1\n [}").data,
            "{:clojure.error/phase :read-source, :clojure.error/line 2, :clojure.error/column 4}");
  // Forms before the error have run; the cause has the class JVM Clojure's reader gives it.
  EXPECT_EQ(run("(def before-error 0) (try (load-string \"(def before-error 1) {:a 1 :a 2}\") "
                "(catch Exception e [before-error (class (ex-cause e))]))"),
            "[1 java.lang.IllegalArgumentException]");
}

}  // namespace
}  // namespace kelp
