;; Types defined in a namespace with a dash: class names, recursive protocol calls, constructors inside methods,
;; dashed fields and records without fields.
(ns my-app.core)
(defprotocol Node (kids [n]) (total [n]))
(defrecord Tree [val children]
  Node
  (kids [_] children)
  (total [this] (+ val (reduce + 0 (map total (kids this))))))
(defn leaf [v] (->Tree v []))
(def t (->Tree 1 [(leaf 2) (Tree. 3 [(leaf 4)])]))
(prn :recursive (total t) (type t) t)
(defrecord Named [first-name] Object (toString [_] (str "N:" first-name)))
(def n (->Named "ann"))
(prn :named (str n) (.-first_name n) (.first-name n) (:first-name n) n)
(deftype Wrap [x] Object (toString [this] (str "W" x)) Node (kids [_] [(Wrap. (inc x))]) (total [_] x))
(prn :self-ctor (map str (kids (->Wrap 1))) (total (first (kids (Wrap. 5)))))
(prn :deftype (instance? Wrap (Wrap. 1)) (= (Wrap. 1) (Wrap. 1)))
(prn :extenders (extenders Node) (extends? Node Tree))
(defrecord Empty [])
(prn :empty-record (->Empty) (map->Empty {}) (count (->Empty)) (seq (->Empty)) (assoc (->Empty) :a 1))
(prn :empty-equality (= (->Empty) (->Empty)) (= (->Empty) {}))
(prn :as-map (into {} (->Tree 1 [])) (zipmap (keys t) (range)))
(prn :sort-by (sort-by :val [(leaf 3) (leaf 1)]))
(prn :group-by (group-by type [(leaf 1) (->Empty)]))
