(in-ns 'clojure.core)

;; Transducer helpers beyond the prelude's: stopping early with a value, sampling, and eductions.

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
