;; deftype's mutable fields: set! inside the type's methods, private outside them, safe across threads.
(defprotocol Counter (bump! [c]) (current [c]))
(deftype Cnt [^:volatile-mutable n step]
  Counter
  (bump! [this] (set! n (+ n step)) this)
  (current [_] n))
(def c (->Cnt 0 2))
(bump! c) (bump! c)
(prn :mutable (current c) (.-step c) (try (.-n c) (catch IllegalArgumentException e (.getMessage e))))
(deftype Acc [^:unsynchronized-mutable items]
  Counter
  (bump! [this] (set! items (conj items (count items))) this)
  (current [_] {:items items}))
(let [a (Acc. [])] (dotimes [_ 3] (bump! a)) (prn :acc (current a)))
(let [c (->Cnt 0 1)] (dorun (pmap (fn [_] (locking c (bump! c))) (range 100))) (prn :threads (current c)))
(shutdown-agents)

;; A deftype that implements the lookup, count and comparison interfaces is used by get, keywords, count, sort and
;; compare.
(deftype Box [m]
  clojure.lang.ILookup
  (valAt [_ k] (get m k))
  (valAt [_ k nf] (get m k nf))
  clojure.lang.Counted
  (count [_] (count m))
  java.lang.Comparable
  (compareTo [_ o] (compare (count m) (count (.-m o)))))
(let [b (->Box {:a 1 :b 2})]
  (prn :interfaces (get b :a) (get b :z :nf) (:b b) (:z b :kw-nf) (count b)
       (map #(count (.-m %)) (sort [b (->Box {:a 1}) (->Box {})]))
       (compare (->Box {}) b)))
