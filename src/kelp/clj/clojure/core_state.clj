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
