(in-ns 'clojure.core)

(defmacro delay
  "Takes a body of expressions and yields a Delay object that will invoke the body only the first time it is
  forced (with force or deref/@), and will cache the result and return it on all subsequent force calls."
  [& body]
  `(delay* (fn* [] ~@body)))

(defmacro future
  "Takes a body of expressions and yields a future object that will invoke the body in another thread, and will
  cache the result and return it on all subsequent calls to deref/@. If the computation has not yet finished,
  calls to deref/@ will block, unless the variant of deref with timeout is used."
  [& body]
  `(future-call (fn* [] ~@body)))

(defmacro vswap!
  "Non-atomically swaps the value of the volatile as if: (apply f current-value-of-vol args). Returns the value
  that was swapped in."
  [vol f & args]
  (let [v (gensym "vol__")]
    `(let [~v ~vol] (vreset! ~v (~f (deref ~v) ~@args)))))

(defmacro locking
  "Executes exprs in an implicit do, while holding the monitor of x. Will release the monitor of x in all
  circumstances."
  [x & body]
  `(locking* ~x (fn* [] ~@body)))

(defmacro time
  "Evaluates expr and prints the time it took. Returns the value of expr."
  [expr]
  `(time* (fn* [] ~expr)))

(defmacro dosync
  "Runs the exprs (in an implicit do) in a transaction that encompasses exprs and any nested calls. Starts a
  transaction if none is already running on this thread. Any uncaught exception will abort the transaction and flow
  out of dosync."
  [& exprs]
  `(sync* (fn* [] ~@exprs)))

(defmacro sync
  "transaction-flags => TBD, pass nil for now. Runs the exprs (in an implicit do) in a transaction."
  [flags-ignored-for-now & body]
  `(sync* (fn* [] ~@body)))

(defmacro with-precision
  "Sets the precision and rounding mode to be used for BigDecimal operations. Usage: (with-precision 10 (/ 1M 3))
  or: (with-precision 10 :rounding HALF_DOWN (/ 1M 3)). The rounding mode is one of CEILING, FLOOR, HALF_UP,
  HALF_DOWN, HALF_EVEN, UP, DOWN and UNNECESSARY; it defaults to HALF_UP."
  [precision & exprs]
  (let [rounding? (= :rounding (first exprs))
        mode (if rounding? (second exprs) 'HALF_UP)
        body (if rounding? (nnext exprs) exprs)]
    `(binding [*math-context* (math-context* ~precision '~mode)] ~@body)))
