(ns ^{:doc "Generic traversal of Clojure data structures: walk applies functions to every form, before (prewalk) or
  after (postwalk) their children."}
  clojure.walk)

(defn walk
  "Traverses form, an arbitrary data structure. inner and outer are
  functions. Applies inner to each element of form, building up a
  data structure of the same type, then applies outer to the result."
  [inner outer form]
  (cond
    (list? form) (outer (apply list (map inner form)))
    (seq? form) (outer (doall (map inner form)))
    ;; A record keeps its type: each field is conjoined back into it.
    (record? form) (outer (reduce (fn [r x] (conj r (inner x))) form form))
    (coll? form) (outer (with-meta (into (empty form) (map inner form)) (meta form)))
    :else (outer form)))

(defn postwalk
  "Performs a depth-first, post-order traversal of form. Calls f on
  each sub-form, uses f's return value in place of the original."
  [f form]
  (walk (partial postwalk f) f form))

(defn prewalk
  "Like postwalk, but does pre-order traversal."
  [f form]
  (walk (partial prewalk f) identity (f form)))

(defn postwalk-demo
  "Demonstrates the behavior of postwalk by printing each form as it is
  walked. Returns form."
  [form]
  (postwalk (fn [x] (print "Walked: ") (prn x) x) form))

(defn prewalk-demo
  "Demonstrates the behavior of prewalk by printing each form as it is
  walked. Returns form."
  [form]
  (prewalk (fn [x] (print "Walked: ") (prn x) x) form))

(defn- replacer [smap]
  (fn [x] (if (contains? smap x) (get smap x) x)))

(defn postwalk-replace
  "Recursively transforms form by replacing keys in smap with their
  values. Does replacement at the leaves of the tree first."
  [smap form]
  (postwalk (replacer smap) form))

(defn prewalk-replace
  "Recursively transforms form by replacing keys in smap with their
  values. Does replacement at the root of the tree first."
  [smap form]
  (prewalk (replacer smap) form))

(defn- rekey
  "Every map in m (nested ones too) with its keys changed by f."
  [f m]
  (postwalk (fn [x] (if (map? x) (into {} (map (fn [[k v]] [(f k) v]) x)) x)) m))

(defn keywordize-keys
  "Recursively transforms all map keys from strings to keywords."
  [m]
  (rekey #(if (string? %) (keyword %) %) m))

(defn stringify-keys
  "Recursively transforms all map keys from keywords to strings."
  [m]
  (rekey #(if (keyword? %) (name %) %) m))

(defn macroexpand-all
  "Recursively performs all possible macroexpansions in form."
  [form]
  (prewalk (fn [x] (if (seq? x) (macroexpand x) x)) form))
