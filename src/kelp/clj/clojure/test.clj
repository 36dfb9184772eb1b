(ns ^{:doc "A unit-testing framework: deftest defines tests, is makes assertions, and run-tests runs a namespace's
  tests and prints a report. Reporting goes through the report multimethod, so other tools can rebind it to collect
  results instead."}
  clojure.test
  (:require [clojure.walk :as walk]))

;; ---------------------------------------------------------------------------------------------------------------
;; State of a run

(def ^:dynamic *load-tests*
  "True by default. When false, deftest and set-test define nothing."
  true)

(def ^:dynamic *stack-trace-depth*
  "The most stack frames printed for an error; nil prints them all."
  nil)

(def ^:dynamic *report-counters*
  "A reference to the map of counters of the running test-ns; nil outside a run."
  nil)

(def ^:dynamic *initial-report-counters*
  "The counters each test-ns starts from."
  {:test 0, :pass 0, :fail 0, :error 0})

(def ^:dynamic *testing-vars*
  "The test vars being run, innermost first."
  (list))

(def ^:dynamic *testing-contexts*
  "The strings of the enclosing testing forms, innermost first."
  (list))

;; The writer reports go to. nil, the default, means the *out* current when the report is printed: a writer captured
;; when this library loads would outlive the evaluation that loaded it.
(def ^:dynamic *test-out*
  "The writer for test reporting output; nil writes to the current *out*."
  nil)

;; Where the assertion being checked was written: {:file :line}, bound by is.
(def ^:dynamic *assertion-place* nil)

(defmacro with-test-out
  "Runs body with *out* bound to *test-out*."
  [& body]
  `(binding [*out* (or *test-out* *out*)]
     ~@body))

;; ---------------------------------------------------------------------------------------------------------------
;; Places and names

(defn- base-name
  "A file's name without its folders, as test reports print it."
  [path]
  (when path
    (let [s (str path)
          i (.lastIndexOf s "/")]
      (if (neg? i) s (subs s (inc i))))))

(defn- trace-place
  "The file and line of the innermost frame an exception passed through, when it has one."
  [e]
  (when (instance? Throwable e)
    (when-let [[_ file line] (first (.getStackTrace e))]
      {:file (base-name file) :line line})))

(defn testing-vars-str
  "The names of the running test vars, outermost first, and m's file and line: \"(outer inner) (f.clj:3)\"."
  [m]
  (let [{:keys [file line]} m]
    (str (apply list (reverse (map #(:name (meta %)) *testing-vars*))) " (" file ":" line ")")))

(defn testing-contexts-str
  "The strings of the enclosing testing forms, outermost first, separated by spaces."
  []
  (apply str (interpose " " (reverse *testing-contexts*))))

(defn inc-report-counter
  "Adds one to the named counter of the running test-ns, if any."
  [name]
  (when *report-counters*
    (swap! *report-counters* update name (fnil inc 0))))

;; ---------------------------------------------------------------------------------------------------------------
;; Reports

(defmulti ^:dynamic report
  "Handles one test event, a map whose :type is :pass, :fail, :error, :begin-test-ns, :end-test-ns,
  :begin-test-var, :end-test-var or :summary. Rebind it to report differently."
  :type)

(defn do-report
  "Adds the file and line of the failing place to a :fail or :error event, then calls report."
  [m]
  (report
   (case (:type m)
     :fail (merge *assertion-place* m)
     :error (merge (or *assertion-place* (trace-place (:actual m))) m)
     m)))

(defn- print-frames
  "The frames of an exception's stack, the first after \" at \" and the rest indented, at most depth of them."
  [e depth]
  (let [frames (cond->> (seq (.getStackTrace e)) depth (take depth))]
    (doseq [[i [fn-name file line]] (map-indexed vector frames)]
      (println (str (if (zero? i) " at " "    ") fn-name " (" file ":" line ")")))))

(defn- print-cause-trace
  "An exception's class and message (and data), its frames, then the same for each cause."
  [e depth]
  (loop [e e]
    (print (str (.getName (class e)) ": " (.getMessage e)))
    (when-let [data (ex-data e)]
      (newline)
      (pr data))
    (newline)
    (print-frames e depth)
    (when-let [cause (.getCause e)]
      (print "Caused by: ")
      (recur cause))))

(defmethod report :default [m]
  (with-test-out (prn m)))

(defmethod report :pass [m]
  (with-test-out (inc-report-counter :pass)))

(defn- print-place
  "The heading lines of a failure or an error: where, the testing contexts, the message."
  [heading m]
  (println (str "\n" heading " in") (testing-vars-str m))
  (when (seq *testing-contexts*) (println (testing-contexts-str)))
  (when-let [message (:message m)] (println message)))

(defmethod report :fail [m]
  (with-test-out
    (inc-report-counter :fail)
    (print-place "FAIL" m)
    (println "expected:" (pr-str (:expected m)))
    (println "  actual:" (pr-str (:actual m)))))

(defmethod report :error [m]
  (with-test-out
    (inc-report-counter :error)
    (print-place "ERROR" m)
    (println "expected:" (pr-str (:expected m)))
    (print "  actual: ")
    (let [actual (:actual m)]
      (if (instance? Throwable actual)
        (print-cause-trace actual *stack-trace-depth*)
        (prn actual)))))

(defmethod report :summary [m]
  (with-test-out
    (println "\nRan" (:test m) "tests containing" (+ (:pass m) (:fail m) (:error m)) "assertions.")
    (println (:fail m) "failures," (:error m) "errors.")))

(defmethod report :begin-test-ns [m]
  (with-test-out
    (println "\nTesting" (ns-name (:ns m)))))

(defmethod report :end-test-ns [m])
(defmethod report :begin-test-var [m])
(defmethod report :end-test-var [m])

;; ---------------------------------------------------------------------------------------------------------------
;; Assertions

(defn get-possibly-unbound-var
  "The value of v, or nil when it is unbound."
  [v]
  (when (bound? v) (var-get v)))

(defn function?
  "True when x is a function, or a symbol naming a var whose value is a function and not a macro."
  [x]
  (if (symbol? x)
    (when-let [v (resolve x)]
      (when (var? v)
        (when-let [value (get-possibly-unbound-var v)]
          (and (fn? value) (not (:macro (meta v)))))))
    (fn? x)))

(defn assert-predicate
  "The code of an assertion that (pred & args) is true; a failure shows (not (pred & evaluated-args))."
  [msg form]
  (let [pred (first form)
        args (rest form)]
    `(let [values# (list ~@args)
           result# (apply ~pred values#)]
       (if result#
         (do-report {:type :pass, :message ~msg, :expected '~form, :actual (cons '~pred values#)})
         (do-report {:type :fail, :message ~msg, :expected '~form, :actual (list '~'not (cons '~pred values#))}))
       result#)))

(defn assert-any
  "The code of an assertion that form's value is logically true."
  [msg form]
  `(let [value# ~form]
     (if value#
       (do-report {:type :pass, :message ~msg, :expected '~form, :actual value#})
       (do-report {:type :fail, :message ~msg, :expected '~form, :actual value#}))
     value#))

(defmulti assert-expr
  "The code that checks one assertion form, chosen by the form's first symbol. Add methods for new assertions."
  (fn [msg form]
    (cond (nil? form) :always-fail
          (seq? form) (first form)
          :else :default)))

(defmethod assert-expr :always-fail [msg form]
  `(do-report {:type :fail, :message ~msg}))

(defmethod assert-expr :default [msg form]
  (if (and (sequential? form) (function? (first form)))
    (assert-predicate msg form)
    (assert-any msg form)))

(defmethod assert-expr 'instance? [msg form]
  `(let [klass# ~(nth form 1)
         object# ~(nth form 2)
         result# (instance? klass# object#)]
     (do-report {:type (if result# :pass :fail), :message ~msg, :expected '~form, :actual (class object#)})
     result#))

(defmethod assert-expr 'thrown? [msg form]
  (let [klass (nth form 1)
        body (nthnext form 2)]
    `(try ~@body
          (do-report {:type :fail, :message ~msg, :expected '~form, :actual nil})
          (catch ~klass e#
            (do-report {:type :pass, :message ~msg, :expected '~form, :actual e#})
            e#))))

(defmethod assert-expr 'thrown-with-msg? [msg form]
  (let [klass (nth form 1)
        re (nth form 2)
        body (nthnext form 3)]
    `(try ~@body
          (do-report {:type :fail, :message ~msg, :expected '~form, :actual nil})
          (catch ~klass e#
            (let [m# (.getMessage e#)]
              (do-report {:type (if (and m# (re-find ~re m#)) :pass :fail)
                          :message ~msg, :expected '~form, :actual e#}))
            e#))))

(defn- place-of
  "Where a macro call was written, from its form's metadata and the file being loaded."
  [form]
  (when-let [line (:line (meta form))]
    {:file (base-name *file*) :line line}))

(defmacro try-expr
  "Checks form as an assertion, reporting a throw as an :error event."
  [msg form]
  `(binding [*assertion-place* '~(place-of &form)]
     (try ~(assert-expr msg form)
          (catch Throwable t#
            (do-report {:type :error, :message ~msg, :expected '~form, :actual t#})))))

(defmacro is
  "Asserts that form is true and reports the result; answers form's value. (is (thrown? C body)) asserts that body
  throws a C; (is (thrown-with-msg? C re body)) also matches its message against re."
  ([form] (with-meta `(is ~form nil) (meta &form)))
  ([form msg] (with-meta `(try-expr ~msg ~form) (meta &form))))

(defmacro are
  "Checks expr once per group of args, each group bound to the names of argv:
  (are [x y] (= x y) 1 1, 2 2) is (do (is (= 1 1)) (is (= 2 2)))."
  [argv expr & args]
  (if (or (and (empty? argv) (empty? args))
          (and (pos? (count argv)) (pos? (count args)) (zero? (mod (count args) (count argv)))))
    `(do ~@(for [group (when (seq argv) (partition (count argv) args))]
             (with-meta (list `is (walk/postwalk-replace (zipmap argv group) expr)) (meta &form))))
    (throw (IllegalArgumentException. "The number of args doesn't match are's argv."))))

(defmacro testing
  "Runs body with string added to the testing contexts that failure reports print."
  [string & body]
  `(binding [*testing-contexts* (conj *testing-contexts* ~string)]
     ~@body))

;; ---------------------------------------------------------------------------------------------------------------
;; Defining tests

(defmacro with-test
  "Defines definition (a def form) and gives its var body as its test."
  [definition & body]
  (when *load-tests*
    `(doto ~definition (alter-meta! assoc :test (fn [] ~@body)))))

(defmacro deftest
  "Defines a test function of no arguments named name; calling it runs the test. Tests may call other tests."
  [name & body]
  (when *load-tests*
    `(def ~(vary-meta name assoc :test `(fn [] ~@body))
       (fn [] (test-var (var ~name))))))

(defmacro deftest-
  "Like deftest, but the var is private."
  [name & body]
  (when *load-tests*
    `(def ~(vary-meta name assoc :test `(fn [] ~@body) :private true)
       (fn [] (test-var (var ~name))))))

(defmacro set-test
  "Gives an existing var body as its test."
  [name & body]
  (when *load-tests*
    `(alter-meta! (var ~name) assoc :test (fn [] ~@body))))

;; ---------------------------------------------------------------------------------------------------------------
;; Fixtures

(defmulti use-fixtures
  "Sets the namespace's fixtures: :each ones wrap every test, :once ones wrap the namespace's run. A fixture is a
  function of the function to run."
  (fn [fixture-type & args] fixture-type))

(defn- add-ns-meta [key coll]
  (alter-meta! *ns* assoc key coll))

(defmethod use-fixtures :each [fixture-type & args]
  (add-ns-meta ::each-fixtures args))

(defmethod use-fixtures :once [fixture-type & args]
  (add-ns-meta ::once-fixtures args))

(defn- default-fixture [f]
  (f))

(defn compose-fixtures
  "One fixture that runs f2 inside f1."
  [f1 f2]
  (fn [g] (f1 (fn [] (f2 g)))))

(defn join-fixtures
  "One fixture that runs the fixtures nested in order, the first outermost."
  [fixtures]
  (reduce compose-fixtures default-fixture fixtures))

;; ---------------------------------------------------------------------------------------------------------------
;; Running tests

(defn ^:dynamic test-var
  "Runs the test of var v, reporting a throw out of it as an error."
  [v]
  (when-let [t (:test (meta v))]
    (binding [*testing-vars* (conj *testing-vars* v)]
      (do-report {:type :begin-test-var, :var v})
      (inc-report-counter :test)
      (try (t)
           (catch Throwable e
             (do-report {:type :error, :message "Uncaught exception, not in assertion.", :expected nil, :actual e})))
      (do-report {:type :end-test-var, :var v}))))

(defn test-vars
  "Runs the tests of vars, grouped by namespace, inside each namespace's fixtures."
  [vars]
  (doseq [[ns vars] (group-by (comp :ns meta) vars)]
    (let [once-fixture-fn (join-fixtures (::once-fixtures (meta ns)))
          each-fixture-fn (join-fixtures (::each-fixtures (meta ns)))]
      (once-fixture-fn
       (fn []
         (doseq [v vars]
           (when (:test (meta v))
             (each-fixture-fn (fn [] (test-var v))))))))))

(defn test-all-vars
  "Runs the tests of every var interned in ns."
  [ns]
  (test-vars (vals (ns-interns ns))))

(defn test-ns
  "Runs ns's tests (through its test-ns-hook function when it has one) and answers the counters."
  [ns]
  (binding [*report-counters* (atom *initial-report-counters*)]
    (let [ns-obj (the-ns ns)]
      (do-report {:type :begin-test-ns, :ns ns-obj})
      (if-let [v (find-var (symbol (str (ns-name ns-obj)) "test-ns-hook"))]
        ((var-get v))
        (test-all-vars ns-obj))
      (do-report {:type :end-test-ns, :ns ns-obj}))
    @*report-counters*))

(defn run-tests
  "Runs the tests of the namespaces (default: the current one), prints a summary and answers it."
  ([] (run-tests *ns*))
  ([& namespaces]
   (let [summary (assoc (apply merge-with + (map test-ns namespaces)) :type :summary)]
     (do-report summary)
     summary)))

(defn run-all-tests
  "Runs the tests of every namespace, or of those whose names match re."
  ([] (apply run-tests (all-ns)))
  ([re] (apply run-tests (filter #(re-matches re (name (ns-name %))) (all-ns)))))

(defn successful?
  "True when a summary has no failures and no errors."
  [summary]
  (and (zero? (:fail summary 0))
       (zero? (:error summary 0))))

(defn run-test-var
  "Runs the test of var v, with its namespace's fixtures, prints a summary and answers it."
  [v]
  (binding [*report-counters* (atom *initial-report-counters*)]
    (let [ns-obj (-> v meta :ns)
          summary (do (do-report {:type :begin-test-ns, :ns ns-obj})
                      (test-vars [v])
                      (do-report {:type :end-test-ns, :ns ns-obj})
                      (assoc @*report-counters* :type :summary))]
      (do-report summary)
      summary)))

(defmacro run-test
  "Runs the one test named by test-symbol, as run-test-var does."
  [test-symbol]
  (let [v (resolve test-symbol)]
    (cond
      (nil? v) `(binding [*out* *err*] (println "Unable to resolve" '~test-symbol "to a test function."))
      (not (:test (meta v))) `(binding [*out* *err*] (println '~test-symbol "is not a test."))
      :else `(run-test-var (var ~(symbol (str (ns-name (:ns (meta v)))) (str (:name (meta v)))))))))
