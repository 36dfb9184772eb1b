(ns ^{:doc "Set operations such as union and intersection, and relational algebra over sets of maps."}
  clojure.set)

(defn- larger-first
  "The two sets with the one holding more elements first."
  [a b]
  (if (< (count a) (count b)) [b a] [a b]))

(defn union
  "Return a set that is the union of the input sets"
  ([] #{})
  ([s1] s1)
  ([s1 s2]
   ;; Conjoin the smaller set into the larger one: less work, and the result keeps the larger set's kind.
   (let [[big small] (larger-first s1 s2)]
     (reduce conj big small)))
  ([s1 s2 & sets]
   (reduce union (union s1 s2) sets)))

(defn intersection
  "Return a set that is the intersection of the input sets"
  ([s1] s1)
  ([s1 s2]
   ;; Keep the members of the smaller set that the larger one holds.
   (let [[big small] (larger-first s1 s2)]
     (reduce (fn [kept x] (if (contains? big x) kept (disj kept x))) small small)))
  ([s1 s2 & sets]
   (reduce intersection (intersection s1 s2) sets)))

(defn difference
  "Return a set that is the first set without elements of the remaining sets"
  ([s1] s1)
  ([s1 s2]
   (if (< (count s1) (count s2))
     (reduce (fn [kept x] (if (contains? s2 x) (disj kept x) kept)) s1 s1)
     (reduce disj s1 s2)))
  ([s1 s2 & sets]
   (reduce difference (difference s1 s2) sets)))

(defn select
  "Returns a set of the elements for which pred is true"
  [pred xset]
  (reduce (fn [kept x] (if (pred x) kept (disj kept x))) xset xset))

(defn project
  "Returns a rel of the elements of xrel with only the keys in ks"
  [xrel ks]
  (with-meta (set (map #(select-keys % ks) xrel)) (meta xrel)))

(defn rename-keys
  "Returns the map with the keys in kmap renamed to the vals in kmap"
  [map kmap]
  (reduce (fn [m [from to]]
            (if (contains? map from) (assoc m to (get map from)) m))
          (apply dissoc map (keys kmap))
          kmap))

(defn rename
  "Returns a rel of the maps in xrel with the keys in kmap renamed to the vals in kmap"
  [xrel kmap]
  (with-meta (set (map #(rename-keys % kmap) xrel)) (meta xrel)))

(defn index
  "Returns a map of the distinct values of ks in the xrel mapped to a
  set of the maps in xrel with the corresponding values of ks."
  [xrel ks]
  (reduce (fn [idx x]
            (let [k (select-keys x ks)]
              (assoc idx k (conj (get idx k #{}) x))))
          {}
          xrel))

(defn map-invert
  "Returns the map with the vals mapped to the keys."
  [m]
  (persistent! (reduce-kv (fn [out k v] (assoc! out v k)) (transient {}) m)))

(defn- join-indexed
  "Every merge of a map of rel s with the maps of idx found under (key-of x)."
  [idx key-of s]
  (reduce (fn [out x]
            (if-let [found (get idx (key-of x))]
              (reduce (fn [out y] (conj out (merge y x))) out found)
              out))
          #{}
          s))

(defn join
  "When passed 2 rels, returns the rel corresponding to the natural
  join. When passed an additional keymap, joins on the corresponding
  keys."
  ([xrel yrel]
   (if (and (seq xrel) (seq yrel))
     (let [ks (intersection (set (keys (first xrel))) (set (keys (first yrel))))
           [r s] (if (<= (count xrel) (count yrel)) [xrel yrel] [yrel xrel])]
       (join-indexed (index r ks) #(select-keys % ks) s))
     #{}))
  ([xrel yrel km]
   ;; Index the smaller rel, by its own names for the joined keys.
   (let [[r s k] (if (<= (count xrel) (count yrel)) [xrel yrel (map-invert km)] [yrel xrel km])]
     (join-indexed (index r (vals k)) #(rename-keys (select-keys % (keys k)) k) s))))

(defn subset?
  "Is set1 a subset of set2?"
  [set1 set2]
  (and (<= (count set1) (count set2))
       (every? #(contains? set2 %) set1)))

(defn superset?
  "Is set1 a superset of set2?"
  [set1 set2]
  (and (>= (count set1) (count set2))
       (every? #(contains? set1 %) set2)))
