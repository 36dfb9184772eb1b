// The clojure.core prelude: definitions, destructuring, control and comprehension macros, checked through kelp's
// own evaluator. Expected values are what JVM Clojure 1.11 prints for the same expressions.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp {
namespace {

// The printed value of the source, or "ClassName: message" of the innermost cause when it throws (a macro's own
// error reaches the caller wrapped in a compiler exception).
std::string run(std::string_view source) {
  boot();
  try {
    return pr_str(eval_string(source, "prelude_test.clj", "user"));
  } catch (const rt::Thrown& t) {
    Value ex = t.value();
    while (rt::is_throwable(rt::throwable(ex).cause())) ex = rt::throwable(ex).cause();
    const rt::Throwable& e = rt::throwable(ex);
    std::string message = e.message().is_nil() ? "" : pr_str(e.message());
    return std::string(e.cls().simple_name()) + ": " + message;
  }
}

struct Case {
  const char* source;
  const char* expected;
};

void expect_all(std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(run(c.source), c.expected) << c.source;
}

TEST(Prelude, DestructuresSequences) {
  expect_all({
      {"(let [[a b & r :as all] [1 2 3 4]] [a b r all])", "[1 2 (3 4) [1 2 3 4]]"},
      {"(let [[a [b c] d] [1 [2 3]]] [a b c d])", "[1 2 3 nil]"},
      {"(let [[a & [b & c]] (range 5)] [a b c])", "[0 1 (2 3 4)]"},
      {"(let [[a b] \"xy\"] [a b])", "[\\x \\y]"},
      {"(let [[a b c] (list 1 2)] [a b c])", "[1 2 nil]"},
      {"(let [[_ _ c] nil] c)", "nil"},
      // With a rest the value is walked as a seq, so sets work; positional access alone uses nth, so they don't.
      {"(let [[a & b] #{1}] [a b])", "[1 nil]"},
      {"(try (let [[a b] #{1 2}] a) (catch UnsupportedOperationException e :nth-unsupported))",
       ":nth-unsupported"},
      {"(let [x 1 y (+ x 1) [z] [y]] [x y z])", "[1 2 2]"},
  });
}

TEST(Prelude, DestructuresMaps) {
  expect_all({
      {"(let [{:keys [a b] :or {b 9} :as m} {:a 1}] [a b m])", "[1 9 {:a 1}]"},
      {"(let [{:keys [a/b c] :a/keys [d] :strs [e] :syms [f x/g]}"
       "      {:a/b 1 :c 2 :a/d 3 \"e\" 4 'f 5 'x/g 6}] [b c d e f g])",
       "[1 2 3 4 5 6]"},
      {"(let [{:keys [:a/b :c]} {:a/b 1 :c 2}] [b c])", "[1 2]"},
      {"(let [{x :x [y z] :yz :or {x 9}} {:yz [1 2]}] [x y z])", "[9 1 2]"},
      {"(let [{a :a :as m :or {a 0}} {:b 1}] [a m])", "[0 {:b 1}]"},
      {"(let [{:keys [a] :as m} nil] [a m])", "[nil nil]"},
      // A seq bound to a map pattern is read as keyword arguments.
      {"(let [{:keys [a]} '(:a 1)] a)", "1"},
      {"((fn [& {:keys [a b] :as m}] [a b m]) :a 1 {:b 2})", "[1 2 {:a 1, :b 2}]"},
      {"((fn [& {:keys [a b] :as m}] [a b m]) {:a 1 :b 2})", "[1 2 {:a 1, :b 2}]"},
      {"((fn [& {:keys [a b] :as m}] [a b m]))", "[nil nil nil]"},
      {"(let [f (fn [& {:keys [a] :or {a 5}}] a)] [(f) (f :a 1)])", "[5 1]"},
      {"(seq-to-map-for-destructuring '(:a 1 :a 2))", "{:a 2}"},
  });
}

TEST(Prelude, FnAndLoopDestructureAndRecur) {
  expect_all({
      {"((fn [a [b c] {:keys [d]}] [a b c d]) 1 [2 3] {:d 4})", "[1 2 3 4]"},
      {"((fn f ([x] (f x 10)) ([x y] (+ x y))) 1)", "11"},
      {"(loop [[a & r] [1 2 3] acc 0] (if a (recur r (+ acc a)) acc))", "6"},
      {"(loop [i 0 [x & xs] (range 3) out []] (if x (recur (inc i) xs (conj out [i x])) out))",
       "[[0 0] [1 1] [2 2]]"},
      {"(do (defn f9 [[a & r] n] (if a (recur r (+ n a)) n)) (f9 [1 2 3] 0))", "6"},
      {"(do (defn f8 [n acc] (if (zero? n) acc (recur (dec n) (+ acc n)))) (f8 100000 0))", "5000050000"},
      {"(letfn [(ev? [n] (if (zero? n) true (od? (dec n))))"
       "        (od? [n] (if (zero? n) false (ev? (dec n))))] [(ev? 10) (od? 7)])",
       "[true true]"},
  });
}

TEST(Prelude, PreAndPostConditions) {
  expect_all({
      {"((fn [x] {:pre [(pos? x)] :post [(> % 10)]} (* x 20)) 1)", "20"},
      {"((fn [x] {:pre [(pos? x)] :post [(> % 10)]} x) -1)", "AssertionError: \"Assert failed: (pos? x)\""},
      {"((fn [x] {:pre [(pos? x)] :post [(> % 10)]} x) 1)", "AssertionError: \"Assert failed: (> % 10)\""},
      // A map alone is the body, not conditions.
      {"((fn [x] {:a x}) 1)", "{:a 1}"},
      {"(assert (= 1 2))", "AssertionError: \"Assert failed: (= 1 2)\""},
      {"(assert false \"boom\")", "AssertionError: \"Assert failed: boom\\nfalse\""},
      {"(assert true)", "nil"},
  });
}

TEST(Prelude, DefinitionsCarryMetadataAndReturnVars) {
  expect_all({
      {"(defn f4 [x] x)", "#'user/f4"},
      {"(do (defn f1 \"doc\" {:a 1} [x] x) (= {:arglists '([x]) :doc \"doc\" :a 1 :name 'f1}"
       "                                  (select-keys (meta #'f1) [:arglists :doc :a :name])))",
       "true"},
      {"(do (defn ^:private f2 \"doc\" {:a 1} ([x] x) ([x y] y) {:b 2})"
       "    [(= {:private true :arglists '([x] [x y]) :doc \"doc\" :a 1 :b 2}"
       "        (select-keys (meta #'f2) [:private :arglists :doc :a :b])) (f2 1) (f2 1 2)])",
       "[true 1 2]"},
      {"(do (defn f3 [& xs] xs) [(f3) (f3 1 2) (:arglists (meta #'f3))])", "[nil (1 2) ([& xs])]"},
      {"(do (defn f6 [{:keys [a b]} [c]] [a b c]) [(f6 {:a 1 :b 2} [3]) (:arglists (meta #'f6))])",
       "[[1 2 3] ([{:keys [a b]} [c]])]"},
      {"(do (defn- pf [] 1) [(:private (meta #'pf)) (pf)])", "[true 1]"},
      {"(do (defonce d1 1) (defonce d1 2) d1)", "1"},
      {"(do (declare dd1 dd2) [(:declared (meta #'dd1)) (bound? #'dd2)])", "[true false]"},
      // A function calls itself through its var, so a redefinition is seen by an older reference.
      {"(do (defn r [n] (if (pos? n) (r (dec n)) :base)) (def orig r) (defn r [n] :redefined) (orig 3))",
       ":redefined"},
  });
}

TEST(Prelude, MacrosReceiveFormAndEnvironment) {
  expect_all({
      {"(do (defmacro m1 \"doc m\" [a & b] `(list ~a ~@b))"
       "    [(m1 1 2 3) (select-keys (meta #'m1) [:arglists :doc :macro])])",
       "[(1 2 3) {:arglists ([a & b]), :doc \"doc m\", :macro true}]"},
      {"(do (defmacro m2 ([a] a) ([a b] `(+ ~a ~b))) [(m2 1) (m2 1 2) (:arglists (meta #'m2))])",
       "[1 3 ([a] [a b])]"},
      {"(do (defmacro m3 [] (count &env)) [(m3) (let [a 1 b 2] (m3))])", "[0 2]"},
      {"(do (defmacro m4 [x] (list 'quote &form)) (m4 (+ 1 2)))", "(m4 (+ 1 2))"},
  });
}

TEST(Prelude, ConditionalsAndLogic) {
  expect_all({
      {"[(when 1 2 3) (when nil 2) (when-not nil 1) (if-not false 1 2) (if-not true 1)]", "[3 nil 1 1 nil]"},
      {"[(and) (and 1 2) (and 1 nil 2) (or) (or nil false) (or nil 2 3) (and false nil)]",
       "[true 2 nil nil false 2 false]"},
      {"(let [n (atom 0)] [(or 1 (swap! n inc)) (and nil (swap! n inc)) @n])", "[1 nil 0]"},
      {"[(cond false 1 nil 2 :else 3) (cond) (cond false 1)]", "[3 nil nil]"},
      {"[(not nil) (not 0) (nil? nil) (some? false) (true? 1) (true? true) (false? nil) (false? false)"
       " (boolean 0) (boolean nil) (any? nil)]",
       "[true false true true false true false true true false true]"},
      {"[(if-let [[a b] [1 2]] [a b] :no) (if-let [x nil] 1 2) (if-let [x false] 1) (when-let [x 5] (inc x))"
       " (when-let [x nil] 1)]",
       "[[1 2] 2 nil 6 nil]"},
      {"[(when-some [x false] [x]) (when-some [x nil] 1) (if-some [x nil] 1 2) (if-some [x false] x 2)]",
       "[[false] nil 2 false]"},
      {"[(when-first [x [9 8]] x) (when-first [x []] 1) (when-first [[a] [[7]]] a)]", "[9 nil 7]"},
      {"[(condp some [1 2 3] #{0 6} :>> inc #{2} :>> dec :none) (condp = 3 1 :a 3 :c :d)"
       " (condp < 5 10 :x 1 :y)]",
       "[1 :c :y]"},
      {"(condp = 3 1 :a)", "IllegalArgumentException: \"No matching clause: 3\""},
  });
}

TEST(Prelude, CaseMatchesLiteralConstants) {
  expect_all({
      {"[(case 'x (x y) :sym [1 2] :vec (nil) :nil :default) (case [1 2] (x y) :sym [1 2] :vec :default)"
       " (case nil (nil) :nil :d) (case 7 :d) (case \"a\" \"a\" 1 2)]",
       "[:sym :vec :nil :d 1]"},
      {"(case '(1 2) [1 2] :vec :default)", ":vec"},
      {"(map #(case % (1 2) :low 3 :three :other) [1 2 3 4])", "(:low :low :three :other)"},
      {"(let [n (atom 0)] [(case (swap! n inc) 1 :one :other) @n])", "[:one 1]"},
      {"(case 3 1 :a 2 :b)", "IllegalArgumentException: \"No matching clause: 3\""},
      {"(case 1 (1 2) :a 2 :b)", "IllegalArgumentException: \"Duplicate case test constant: 2\""},
  });
}

TEST(Prelude, Threading) {
  expect_all({
      {"[(-> 1 (+ 2) str) (->> [1 2] (map inc)) (-> {:a 1} :a) (->> 5 (- 10))]", "[\"3\" (2 3) 1 5]"},
      {"[(some-> {:a 1} :b inc) (some-> {:a 1} :a inc) (some->> [1] (map inc)) (some->> nil (map inc))]",
       "[nil 2 (2) nil]"},
      {"[(cond-> 1 true inc false (* 10) true (* 3)) (cond->> [1 2] true (map inc) false (map str))"
       " (cond-> 5)]",
       "[6 (2 3) 5]"},
      {"[(as-> 1 x (inc x) (* x 3)) (as-> 2 x)]", "[6 2]"},
      {"(let [a (doto (atom 0) (swap! inc) (swap! + 10))] @a)", "11"},
      {"[(.. \"abc\" (toUpperCase) (substring 1)) (map (memfn toUpperCase) [\"a\" \"b\"])]",
       "[\"BC\" (\"A\" \"B\")]"},
  });
}

TEST(Prelude, ForIsLazyWithModifiers) {
  expect_all({
      {"(for [x (range 5) :let [y (* x x)] :when (odd? x) z (range y) :while (< z 3)] [x z])",
       "([1 0] [3 0] [3 1] [3 2])"},
      {"(for [x [1 2 3] y []] [x y])", "()"},
      {"(for [[k v] {:a 1 :b 2}] (str k v))", "(\":a1\" \":b2\")"},
      {"(for [x (range 3) y (range x)] [x y])", "([1 0] [2 0] [2 1])"},
      {"(for [x (range 10) :while (< x 3) y [:a :b]] [x y])", "([0 :a] [0 :b] [1 :a] [1 :b] [2 :a] [2 :b])"},
      {"(take 3 (for [x (range) :when (even? x)] x))", "(0 2 4)"},
      {"(take 2 (for [x (range) y (range) :while (< y x)] [x y]))", "([1 0] [2 0])"},
      {"(let [n (atom 0) s (for [x (iterate inc 0)] (do (swap! n inc) x))] [@n (second s) @n])", "[0 1 2]"},
      // A long run of skipped elements loops instead of nesting calls.
      {"(count (for [x (range 100000) :when (= x 99999)] x))", "1"},
  });
}

TEST(Prelude, EagerLoops) {
  expect_all({
      {"(with-out-str (doseq [x [1 2 3] :when (odd? x) y [:a :b] :while (= y :a)] (prn x y)))",
       "\"1 :a\\n3 :a\\n\""},
      {"(with-out-str (doseq [[a b] {:a 1} :let [c (str a b)]] (print c)))", "\":a1\""},
      {"(doseq [x (range 3)] x)", "nil"},
      {"(let [n (atom 0)] (doseq [x (range 100000)] (swap! n + x)) @n)", "4999950000"},
      {"(with-out-str (dotimes [i 3] (print i)))", "\"012\""},
      {"(let [a (atom 0)] [(while (< @a 5) (swap! a inc)) @a])", "[nil 5]"},
  });
}

TEST(Prelude, LazySeqsAndTrampolines) {
  expect_all({
      {"(let [n (atom 0) s (lazy-seq (swap! n inc) [1 2])] [@n (first s) @n (first s) @n])", "[0 1 1 1 1]"},
      {"(take 5 ((fn f [a b] (lazy-cat [a] (f b (+ a b)))) 0 1))", "(0 1 1 2 3)"},
      {"(trampoline (fn f [n] (if (pos? n) #(f (dec n)) :done)) 100000)", ":done"},
      {"(trampoline (fn [a b] (+ a b)) 1 2)", "3"},
      {"[(comment 1 2) (update-vals {:a 1 :b 2} inc) (update-keys {:a 1} name)]", "[nil {:a 2, :b 3} {\"a\" 1}]"},
  });
}

TEST(Prelude, HierarchiesDeriveAndUnderive) {
  expect_all({
      {"(let [h (-> (make-hierarchy) (derive :a :b) (derive :b :c) (derive :x :c))]"
       "  [(isa? h :a :c) (= #{:b :c} (ancestors h :a)) (= #{:a :b :x} (descendants h :c)) (parents h :a)"
       "   (isa? h [:a :x] [:c :c]) (isa? h :c :a)])",
       "[true true true #{:b} true false]"},
      {"(let [h (-> (make-hierarchy) (derive :a :b) (derive :b :c) (underive :b :c))]"
       "  [(isa? h :a :c) (isa? h :a :b) (ancestors h :a) (descendants h :c)])",
       "[false true #{:b} nil]"},
      {"(do (derive ::sq ::shape) [(isa? ::sq ::shape) (parents ::sq) (descendants ::shape)])",
       "[true #{:user/shape} #{:user/sq}]"},
      {"(derive ::cyc ::cyc)", "AssertionError: \"Assert failed: (not= tag parent)\""},
  });
}

TEST(Prelude, MultimethodsDispatch) {
  expect_all({
      {"(do (defmulti area :shape)"
       "    (defmethod area :square [{:keys [s]}] (* s s))"
       "    (defmethod area :default [_] :unknown)"
       "    [(area {:shape :square :s 2}) (area {:shape :tri})])",
       "[4 :unknown]"},
      {"(do (defmulti speak :kind) (defmethod speak :dog [_] \"woof\") (speak {:kind :cat}))",
       "IllegalArgumentException: \"No method in multimethod 'speak' for dispatch value: :cat\""},
      {"(do (derive ::circle ::round) (defmulti describe identity) (defmethod describe ::round [_] :round)"
       "    (describe ::circle))",
       ":round"},
      {"(do (defmulti amb identity) (derive ::t ::p1) (derive ::t ::p2)"
       "    (defmethod amb ::p1 [_] 1) (defmethod amb ::p2 [_] 2)"
       "    [(try (amb ::t) (catch IllegalArgumentException e (ex-message e)))"
       "     (do (prefer-method amb ::p2 ::p1) (amb ::t))])",
       "[\"Multiple methods in multimethod 'amb' match dispatch value: :user/t -> :user/p2 and :user/p1, "
       "and neither is preferred\" 2]"},
      {"(do (defmulti mm (fn [a b] [a b])) (defmethod mm [1 2] [a b] :one-two) (defmethod mm :default [a b] :other)"
       "    [(mm 1 2) (mm 2 1) (count (methods mm)) (do (remove-method mm [1 2]) (mm 1 2))])",
       "[:one-two :other 2 :other]"},
      {"(do (def hh (-> (make-hierarchy) (derive :kid :parent)))"
       "    (defmulti hm identity :hierarchy #'hh :default ::none)"
       "    (defmethod hm :parent [_] :p) (defmethod hm ::none [_] :none)"
       "    [(hm :kid) (hm :zzz) (do (alter-var-root #'hh underive :kid :parent) (hm :kid))])",
       "[:p :none :none]"},
      // Re-evaluating defmulti keeps the existing methods, as reloading a file does.
      {"(do (defmulti redef identity) (defmethod redef 1 [_] :a) (defmulti redef inc) (redef 1))", ":a"},
  });
}

TEST(Prelude, TransducersBoundFnsAndParallelMaps) {
  expect_all({
      {"[(transduce (map inc) + [1 2 3]) (transduce (map inc) (completing + str) 0 [1 2])"
       " (sequence (take 2) [1 2 3]) (sequence nil) (into [] cat [[1 2] [3]])]",
       "[9 \"5\" (1 2) () [1 2 3]]"},
      // A transducer that only emits when completed: sequence must run the completing step.
      {"(sequence (fn [rf] (let [buf (volatile! [])]"
       "                    (fn ([acc] (rf (rf acc @buf))) ([acc x] (vreset! buf (conj @buf x)) acc))))"
       "          [1 2 3])",
       "([1 2 3])"},
      {"(take 3 (sequence (comp (filter odd?) (map inc)) (range)))", "(2 4 6)"},
      {"(do (def ^:dynamic *level* 1) (let [f (binding [*level* 5] (bound-fn [] *level*))] [(f) *level*]))",
       "[5 1]"},
      {"[(pmap inc [1 2 3]) (pmap + [1 2] [10 20 30]) (take 3 (pmap inc (range))) (pcalls (constantly 1))"
       " (pvalues 1 (+ 1 1))]",
       "[(2 3 4) (11 22) (1 2 3) (1) (1 2)]"},
  });
}

TEST(Prelude, MalformedMacroCallsSayWhatIsWrong) {
  expect_all({
      {"(defn f x)", "IllegalArgumentException: \"Parameter declaration x should be a vector\""},
      {"(defn 1 [x])", "IllegalArgumentException: \"First argument to defn must be a symbol\""},
      {"(defn f)", "IllegalArgumentException: \"Parameter declaration missing\""},
      {"(let [a] a)", "IllegalArgumentException: \"let requires an even number of forms in binding vector\""},
      {"(let a 1)", "IllegalArgumentException: \"let requires a vector for its binding\""},
      {"(let [1 2] 1)", "Exception: \"Unsupported binding form: 1\""},
      {"(if-let [a 1 b 2] a)", "IllegalArgumentException: \"if-let requires exactly 2 forms in binding vector\""},
      {"(for [x [1] :foo 1] x)", "IllegalArgumentException: \"Invalid 'for' keyword :foo\""},
      {"(cond 1)", "IllegalArgumentException: \"cond requires an even number of forms\""},
  });
}

}  // namespace
}  // namespace kelp
