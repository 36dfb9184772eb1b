;; Records, types, reify and protocol dispatch.
(defprotocol Shape
  "Things with an area."
  (area [s] "The area.")
  (scale [s k] [s k origin]))
(defrecord Circle [r]
  Shape
  (area [_] (* 3 r r))
  (scale [c k] (assoc c :r (* r k)))
  (scale [c k _] (scale c k)))
(defrecord Rect [w h])
(extend-type Rect
  Shape
  (area [{:keys [w h]}] (* w h))
  (scale ([r k] (->Rect (* k (:w r)) (* k (:h r)))) ([r k _] (scale r k))))
(prn :dispatch (area (->Circle 2)) (area (Rect. 2 3)) (scale (->Circle 1) 5) (scale (->Rect 1 2) 2 :o))
(prn :protocol-meta (:doc (meta #'Shape)) (:arglists (meta #'scale)) (:doc (meta #'area)))
(prn :satisfies (satisfies? Shape (->Circle 1)) (satisfies? Shape (->Rect 1 1)) (satisfies? Shape {}) (satisfies? Shape nil))
(prn :extends (extends? Shape Circle) (extends? Shape Rect) (extends? Shape String))

;; Map behaviour of records.
(def c (->Circle 3))
(defn err [f] (try (f) (catch Exception e [(.getSimpleName (class e)) (.getMessage e)])))
(prn :lookup (:r c) (get c :r) (get c :zz :none) (err #(.getSimpleName (class (try (c :r) (catch Exception e e))))) (contains? c :r) (find c :r))
(prn :assoc (assoc c :r 4) (assoc c :color :red) (type (assoc c :color :red)))
(prn :dissoc (dissoc c :r) (type (dissoc c :r)) (dissoc (assoc c :x 1) :x) (type (dissoc (assoc c :x 1) :x)))
(prn :equality (= c (->Circle 3)) (= c {:r 3}) (= {:r 3} c) (= c (->Circle 4)) (= (hash c) (hash (->Circle 3))))
(prn :collection (count c) (seq c) (keys c) (vals c) (conj c [:k 1]) (into c {:a 1 :b 2}) (merge c {:r 9}))
(prn :meta (meta (with-meta c {:m 1})) (= c (with-meta c {:m 1})))
(prn :factories (map->Circle {:r 5}) (map->Circle {:r 5 :extra 1}) (:extra (map->Circle {:r 5 :extra 1})))
(prn :predicates (record? c) (record? {}) (map? c) (coll? c) (instance? Circle c) (instance? Rect c))
(prn :class (type c) (class c) (str (type c)) (= Circle (type c)))
(prn :printing (pr-str c) (with-out-str (print c)) (str [c]))
(prn :case (case (area c) 27 :twenty-seven :other) (condp = c (->Circle 3) :same :different))
(prn :keyed {c 1} (get {c :found} (->Circle 3)) (set [c (->Circle 3)]))
(prn :reduce (reduce-kv (fn [acc k v] (conj acc k v)) [] c) (into [] c))
(prn :nested (update (->Circle 1) :r inc) (update-in {:shape (->Circle 1)} [:shape :r] + 10))

;; deftype.
(deftype Pair [left right]
  Object
  (toString [_] (str "<" left "," right ">"))
  (equals [_ o] (and (instance? Pair o) (= left (.-left o)) (= right (.-right o))))
  (hashCode [_] (+ (hash left) (hash right))))
(def p (Pair. 1 2))
(prn :deftype (.-left p) (.-right (->Pair :a :b)) (str p) (= p (Pair. 1 2)) (= p (Pair. 1 3)) (type p))
(prn :deftype-hash (= (hash p) (hash (Pair. 1 2))) (count (set [p (Pair. 1 2)])))
(deftype Counter [n] clojure.lang.IDeref (deref [_] n))
(prn :deref @(Counter. 41) (deref (->Counter :x)))
(deftype Adder [k] clojure.lang.IFn (invoke [_ x] (+ k x)) (invoke [_ x y] (+ k x y)))
(prn :ifn ((Adder. 10) 1) ((->Adder 10) 1 2) (map (Adder. 1) [1 2 3]))
(deftype Named [id] Shape (area [_] id) (scale [this k] this) (scale [this k o] this))
(prn :type-protocol (area (Named. 7)) (satisfies? Shape (Named. 1)))

;; reify.
(let [factor 3
      r (reify
          Shape
          (area [_] (* factor 10))
          (scale [this k] (* factor k))
          (scale [this k o] [k o])
          Object
          (toString [_] "a reified shape"))]
  (prn :reify (area r) (scale r 2) (scale r 1 2) (str r) (satisfies? Shape r)))
(prn :reify-deref @(reify clojure.lang.IDeref (deref [_] :derefed)))

;; Extending built-in classes, most specific first.
(defprotocol Describe (describe [x]))
(extend-protocol Describe
  nil (describe [_] :nil)
  Object (describe [_] :object)
  Number (describe [_] :number)
  Long (describe [_] :long)
  String (describe [_] :string)
  clojure.lang.IPersistentVector (describe [_] :vector)
  clojure.lang.IPersistentMap (describe [_] :map)
  clojure.lang.ISeq (describe [_] :seq)
  clojure.lang.Keyword (describe [_] :keyword))
(prn :builtins (map describe [nil 1 1.5 "s" [1] {:a 1} '(1) (map inc [1]) :k 'sym \c #{1} c]))
(extend Boolean Describe {:describe (fn [b] (if b :yes :no))})
(prn :extend-map (describe true) (describe false) (extends? Describe Boolean) (satisfies? Describe true))
(extend-type Long Describe (describe [n] [:long-again n]))
(prn :re-extend (describe 5))

;; Errors.
(defn err [f] (try (f) (catch Exception e [(.getSimpleName (class e)) (.getMessage e)])))
(defprotocol Quiet (hush [x]))
(prn :no-impl (err #(hush "x")) (err #(hush nil)) (err #(hush 1)) (err #(hush c)))
(prn :record-ctor (Circle. 1 {:m 1} {:x 2}) (meta (Circle. 1 {:m 1} nil)))
(prn :empty-record (err #(empty c)))

;; Definitions as values, and the interfaces types answer to.
(prn :returns (defprotocol Tiny (tiny [x])) (defrecord Nested [a]) (deftype Plain [a]) (extend-type String Tiny (tiny [s] s))
     (extend-protocol Tiny Long (tiny [n] n)) (extend Double Tiny {:tiny identity}))
(prn :nested-factory (->Nested 1) (map->Nested {:a 2}) (.-a (->Plain 3)))
(prn :method-var (:protocol (meta #'tiny)) (:arglists (meta #'tiny)))
(prn :interfaces (instance? clojure.lang.IRecord (->Nested 1)) (instance? clojure.lang.IRecord {})
     (instance? clojure.lang.IType (->Plain 1)) (instance? clojure.lang.IType (->Nested 1))
     (instance? java.util.Map (->Nested 1)) (instance? clojure.lang.IPersistentMap (->Nested 1))
     (instance? clojure.lang.IDeref (reify clojure.lang.IDeref (deref [_] 1))) (instance? clojure.lang.IDeref (->Plain 1)))

;; A type that is Seqable works with the sequence functions.
(deftype Three [] clojure.lang.Seqable (seq [_] (list 1 2 3)))
(def t (Three.))
(prn :seqable (seq t) (map inc t) (first t) (rest t) (into [] t) (reduce + t) (apply + t) (set t) (count (seq t)))
(prn :seqable-errors (try (seq (->Three)) (catch IllegalArgumentException e (.getMessage e))) (try (seq (reify clojure.lang.IDeref (deref [_] 1))) (catch IllegalArgumentException e :not-seqable)))
