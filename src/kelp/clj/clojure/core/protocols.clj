(ns ^{:doc "The protocols clojure.core's reduction and data navigation are built on: CollReduce, IKVReduce,
  Datafiable and Navigable."}
  clojure.core.protocols)

(defprotocol CollReduce
  "Protocol for collection types that can implement reduce faster than first/next recursion. Called by
  clojure.core/reduce."
  (coll-reduce [coll f] [coll f val]))

(defprotocol IKVReduce
  "Protocol for concrete associative types that can reduce themselves via a function of key and val faster than
  first/next recursion over map entries. Called by clojure.core/reduce-kv, and has same semantics (just different
  arg order)."
  (kv-reduce [amap f init]))

;; Every collection reduces itself; these hand over to clojure.core's own reduce.
(extend-protocol CollReduce
  nil
  (coll-reduce ([_ f] (f)) ([_ _ val] val))
  Object
  (coll-reduce ([coll f] (reduce f coll)) ([coll f val] (reduce f val coll))))

(extend-protocol IKVReduce
  nil
  (kv-reduce [_ _ init] init)
  clojure.lang.IPersistentMap
  (kv-reduce [amap f init] (reduce-kv f init amap))
  clojure.lang.IPersistentVector
  (kv-reduce [v f init] (reduce-kv f init v)))

(defprotocol Datafiable
  :extend-via-metadata true
  (datafy [o] "return a representation of o as data (default identity)"))

(extend-protocol Datafiable
  nil
  (datafy [_] nil)
  Object
  (datafy [x] x))

(defprotocol Navigable
  :extend-via-metadata true
  (nav [coll k v] "return (possibly transformed) v in the context of coll and k (a key/index or nil),
defaults to returning v."))

(extend-protocol Navigable
  Object
  (nav [_ _ x] x))
