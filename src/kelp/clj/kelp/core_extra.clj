(in-ns 'clojure.core)

;; Parts of clojure.core that few programs use, loaded the first time one of them is (see -autoload in
;; clojure.core): transducers that stop early, sample or make eductions, transactions, and BigDecimal precision.

(defn halt-when
  "Returns a transducer that ends transduction when pred returns true for an input. When retf is supplied it must
  be a fn of 2 arguments - it will be passed the (completed) result so far and the input that triggered the
  predicate, and its return value (if it does not throw an exception) will be the return value of the transducer.
  If retf is not supplied, the input that triggered the predicate will be returned. If the predicate never returns
  true the transduction is unaffected."
  ([pred] (halt-when pred nil))
  ([pred retf]
   (fn [rf]
     ;; The halting value travels in a volatile of this reduction, so no result of rf can be mistaken for it.
     (let [halted (volatile! nil)]
       (fn
         ([] (rf))
         ([result] (if-let [h @halted] (first h) (rf result)))
         ([result input]
          (if (pred input)
            (do (vreset! halted [(if retf (retf (rf result) input) input)])
                (reduced result))
            (rf result input))))))))

(defn random-sample
  "Returns items from coll with random probability of prob (0.0 - 1.0). Returns a transducer when no collection is
  provided."
  ([prob] (filter (fn [_] (< (rand) prob))))
  ([prob coll] (filter (fn [_] (< (rand) prob)) coll)))

(defn eduction
  "Returns a reducible/iterable application of the transducers to the items in coll. Transducers are applied in
  order as if combined with comp. Note that these applications will be performed every time reduce/iterator is
  called."
  [& xforms]
  (sequence (apply comp (butlast xforms)) (last xforms)))

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
