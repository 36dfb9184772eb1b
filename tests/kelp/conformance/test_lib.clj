;; clojure.test: assertions, reports, fixtures and runs, as printed by run-tests and friends.
(ns conf.passing (:require [clojure.test :refer [deftest is are testing]]))

(deftest adds (is (= 4 (+ 2 2))) (is (= 1 1 1)))
(deftest with-are (are [x y] (= y (inc x)) 1 2, 5 6, -1 0))
(deftest throws
  (is (thrown? ArithmeticException (/ 1 0)))
  (is (thrown-with-msg? Exception #"bo+m" (throw (Exception. "a boom here"))))
  (is (instance? String "s")))
(println (clojure.test/run-tests))

(ns conf.failing (:require [clojure.test :as t :refer [deftest is are testing]]))

(deftest failing
  (testing "outer"
    (testing "inner"
      (is (= 1 2) "one is two")))
  (is (even? 3))
  (is nil)
  (is (= {:a 1} {:a (inc 1)}))
  (is (thrown? ArithmeticException (+ 1 1)))
  (is (instance? String 1))
  (is (not= 1 1))
  (are [x] (pos? x) 1 -2 3))
(println (t/run-tests))
(println "is answers" (is (= 1 1)) (is 5) (is (= 1 (inc 1))))

;; Errors: only the lines before the stack frames are compared.
(defn report-head [f]
  (let [w (java.io.StringWriter.)]
    (binding [t/*test-out* w] (f))
    (doseq [line (remove #(or (.startsWith ^String % " at ") (.startsWith ^String % "    "))
                         (clojure.string/split-lines (str w)))]
      (println line))))

(ns conf.erroring (:require [clojure.test :as t :refer [deftest is]]))
(deftest uncaught (throw (ex-info "boom" {:k 1})))
(deftest in-is (is (= 1 (throw (IllegalStateException. "inside")))))
(conf.failing/report-head #(t/test-vars [#'uncaught #'in-is]))
(println (binding [t/*test-out* (java.io.StringWriter.)] (t/test-ns 'conf.erroring)))

(ns conf.fixtures (:require [clojure.test :as t :refer [deftest deftest- is use-fixtures]]))
(def log (atom []))
(use-fixtures :once (fn [f] (swap! log conj :once-in) (f) (swap! log conj :once-out)))
(use-fixtures :each
  (fn [f] (swap! log conj :a-in) (f) (swap! log conj :a-out))
  (fn [f] (swap! log conj :b-in) (f) (swap! log conj :b-out)))
(deftest one (swap! log conj :one) (is true))
(deftest- two (swap! log conj :two))
(def not-a-test 1)
(t/test-vars [#'one #'two #'not-a-test])
(println @log)
(reset! log [])
(println (t/run-test one) @log)
(println (:private (meta #'two)) (fn? (:test (meta #'one))) (:test (meta #'not-a-test)))
(let [f (fn [tag] (fn [g] (print (str "[" tag)) (g) (print (str tag "]"))))]
  ((t/compose-fixtures (f "a") (f "b")) #(print "x"))
  ((t/join-fixtures [(f "a") (f "b") (f "c")]) #(print "y"))
  (println)
  (println ((t/join-fixtures []) (constantly 42))))

(ns conf.api (:require [clojure.test :as t :refer [deftest is]]))
(println (t/successful? {:test 1 :pass 1 :fail 0 :error 0}) (t/successful? {:fail 1 :error 0})
         (t/successful? {:error 2}) (t/successful? {}))
(println (t/testing-vars-str {:file "f.clj" :line 3}))
(binding [t/*testing-vars* (list #'t/run-tests #'t/is)] (println (t/testing-vars-str {:file "f.clj" :line 3})))
(binding [t/*testing-contexts* (list "c" "b" "a")] (println (pr-str (t/testing-contexts-str))))
(println (macroexpand-1 '(clojure.test/is (= 1 2))))
(println (macroexpand '(clojure.test/are [x y] (= x y) 1 2 3 4)))
(println (macroexpand '(clojure.test/are [] true)))
(println (try (eval '(clojure.test/are [x y] (= x y) 1)) (catch Throwable e (.getMessage (or (.getCause e) e)))))
(println (t/function? 'map) (t/function? 'when) (t/function? map) (t/function? 1))
(println (t/inc-report-counter :pass))
(println (t/with-test-out (print "plain ") :done))
(t/report {:type :custom :x 1})

;; A new assertion form, and report rebound to collect events.
(defmethod t/assert-expr 'close-to? [msg form]
  (let [[_ a b] form]
    `(let [d# (Math/abs (- ~a ~b))]
       (t/do-report {:type (if (< d# 0.01) :pass :fail) :message ~msg :expected '~form :actual d#}))))
(deftest custom (is (close-to? 1.0 1.001)) (is (close-to? 1.0 1.5) "far"))
(let [events (atom [])]
  (binding [t/report #(swap! events conj (select-keys % [:type :message :expected :actual :line]))]
    (t/test-var #'custom))
  (doseq [e @events] (prn e)))
(t/run-test custom)
(t/with-test (defn square [x] (* x x)) (is (= 9 (square 3))) (is (= 5 (square 2))))
(println (t/run-test square))
