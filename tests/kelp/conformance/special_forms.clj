;; The special forms.
(def x 10)
(prn :def x (def y 2) (var-get #'y))
(def ^:dynamic *d* 1)
(prn :def-meta (:dynamic (meta #'*d*)) (:name (meta #'x)) (str (:ns (meta #'x))))
(def doc-var "the docs" 5)
(prn :def-doc (:doc (meta #'doc-var)) doc-var)
(def unbound-var)
(prn :unbound (bound? #'unbound-var))
(prn :if (if true 1 2) (if false 1 2) (if nil 1) (if 0 :zero-truthy) (if "" :empty-truthy) (if false 1))
(prn :do (do) (do 1) (do 1 2 3))
(prn :let* (let* [a 1 b (+ a 1)] [a b]))
(prn :let-shadow (let [a 1] (let [a (inc a)] a)) (let [a 1 a (* a 10)] a))
(prn :loop (loop [i 0 acc []] (if (< i 5) (recur (inc i) (conj acc i)) acc)))
(prn :fn ((fn [a b] (+ a b)) 1 2) ((fn named [n] (if (zero? n) :done (named (dec n)))) 5))
(prn :fn-multi ((fn ([] 0) ([a] a) ([a b] (+ a b)) ([a b & r] (apply + a b r))) 1 2 3 4))
(prn :quote (quote x) '[a b] (quote {:a b}))
(prn :var (var x) (= (var x) #'x) (var-get (var x)))
(prn :throw-catch (try (throw (ex-info "m" {:k 1})) (catch clojure.lang.ExceptionInfo e [(ex-message e) (ex-data e)])))
(prn :try-finally (let [log (atom [])]
                    [(try (swap! log conj :body) :value (finally (swap! log conj :finally))) @log]))
(prn :try-multi-catch (try (/ 1 0)
                           (catch IllegalArgumentException _ :iae)
                           (catch ArithmeticException _ :arith)
                           (catch Exception _ :exc)))
(prn :try-no-throw (try 1 (catch Exception _ 2)))
(prn :nested-try (try (try (throw (Exception. "inner")) (finally (print "")))
                      (catch Exception e (.getMessage e))))
(prn :letfn (letfn [(ev? [n] (if (zero? n) true (od? (dec n))))
                    (od? [n] (if (zero? n) false (ev? (dec n))))]
              [(ev? 10) (od? 7) (ev? 3)]))
(prn :case (map #(case %
                   1 :one
                   (2 3) :two-or-three
                   "s" :string
                   :k :keyword
                   [1 2] :vector
                   nil :nil
                   :default)
                [1 2 3 "s" :k [1 2] nil 99]))
(prn :case-symbols (case 'a a :sym-a b :sym-b :none) (case 'z a 1 2))
(prn :case-no-match (try (case 5 1 :one) (catch IllegalArgumentException e (.getMessage e))))
(def ^:dynamic *v* 1)
(prn :set! (binding [*v* 2] (set! *v* 3) *v*) *v*)
(prn :set!-root (try (set! *v* 9) (catch IllegalStateException e (.getMessage e))))
(prn :recur-in-fn ((fn [n acc] (if (pos? n) (recur (dec n) (* acc n)) acc)) 10 1))
(prn :recur-variadic ((fn [n & xs] (if (pos? n) (recur (dec n) (cons n xs)) xs)) 3))
(prn :closures-in-loop (map #(%) (loop [i 0 fs []] (if (< i 3) (recur (inc i) (conj fs (fn [] (* i 10)))) fs))))
(prn :new (.toString (StringBuilder. "abc")) (str (new StringBuilder "x")))
(prn :dot (. "abc" toUpperCase) (. Math abs -3) (.length "four"))
(prn :compile-errors
     (try (eval '(recur 1)) (catch Exception e (.getMessage (or (ex-cause e) e))))
     (try (eval '(fn [] (recur) 1)) (catch Exception e (.getMessage (or (ex-cause e) e))))
     (try (eval 'undefined-thing) (catch Exception e (.getMessage (or (ex-cause e) e))))
     (try (eval '(if)) (catch Exception e (.getMessage (or (ex-cause e) e))))
     (try (eval '(def)) (catch Exception e (.getMessage (or (ex-cause e) e)))))
(prn :eval (eval '(+ 1 2)) (eval (list 'let ['a 5] '(* a a))) (eval [1 '(inc 1)]))
