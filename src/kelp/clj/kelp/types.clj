(ns ^{:doc "The expansions of defprotocol, deftype, defrecord, reify, extend-type and extend-protocol, loaded when
  one of those macros is first used. They only parse: clojure.core's natives -protocol, -deftype, -reify and extend
  keep the protocols and types and do the dispatch."}
  kelp.types)

(defn expand-defprotocol
  [pname & opts+sigs]
  (let [doc (when (string? (first opts+sigs)) (first opts+sigs))
        [opts sigs] (loop [s (if doc (next opts+sigs) opts+sigs) opts {}]
                      (if (keyword? (first s)) (recur (nnext s) (assoc opts (first s) (second s))) [opts s]))
        sigs (map (fn [[mname & more]]
                    {:tag nil :name mname :arglists (apply list (filter vector? more))
                     :doc (first (filter string? more))})
                  sigs)]
    `(do (def ~(if doc (vary-meta pname assoc :doc doc) pname)
           (-protocol (var ~pname) '~(into {} (map (fn [s] [(keyword (:name s)) s]) sigs))
                      ~(mapv (fn [s] (keyword (:name s))) sigs) ~(boolean (:extend-via-metadata opts))))
         ~@(map (fn [{:keys [name arglists doc]}]
                  (let [m (cond-> {:arglists (list 'quote arglists) :protocol (list 'var pname)} doc (assoc :doc doc))]
                    `(def ~(vary-meta name merge m) (-protocol-method (var ~pname) ~(keyword name)))))
                sigs)
         '~pname)))

(defn- spec-groups
  ;; Specs as [head methods] pairs, a head being anything but a list: a protocol, an interface, a class or nil.
  [specs]
  (loop [s (seq specs) out []]
    (if s
      (let [[methods more] (split-with seq? (next s))]
        (recur (seq more) (conj out [(first s) methods])))
      out)))

(defn- protocol-head? [head]
  (let [r (when (symbol? head) (try (resolve head) (catch Throwable _ nil)))]
    (and (var? r) (map? @r) (contains? @r :sigs))))

(defn- mutable? [field]
  (let [m (meta field)] (boolean (or (:volatile-mutable m) (:unsynchronized-mutable m)))))

(defn- rewrite-mutable
  ;; A mutable field is read from this at each use and (set! field v) writes it.
  [form this cells]
  (let [rw (fn [x] (rewrite-mutable x this cells))]
    (cond
      (and (seq? form) (= 'set! (first form)) (contains? cells (second form)))
      (list `-set-mfield! this (cells (second form)) (rw (nth form 2)))
      (symbol? form) (if (contains? cells form) (list `-mfield this (cells form)) form)
      (seq? form) (with-meta (apply list (map rw form)) (meta form))
      (map-entry? form) (mapv rw form)
      (vector? form) (with-meta (mapv rw form) (meta form))
      (map? form) (with-meta (into {} (map (fn [[k v]] [(rw k) (rw v)]) form)) (meta form))
      (set? form) (with-meta (set (map rw form)) (meta form))
      :else form)))

(defn- inline-method
  ;; One method of a type or reify form, each of its arities a (name [this params*] body*) form. The type's fields
  ;; the body names become locals read from this, unless a parameter hides them; mutable ones are read and set!
  ;; through this at each use.
  [forms fields]
  `(fn ~@(map (fn [[_ params & body]]
                (let [this (first params)
                      hidden (set params)
                      cells (into {} (keep-indexed (fn [i f] (when (and (mutable? f) (not (hidden f))) [f i])) fields))
                      body (if (seq cells) (map #(rewrite-mutable % this cells) body) body)
                      named (set (filter symbol? (tree-seq coll? seq body)))
                      bound (filter (fn [[_ f]] (and (named f) (not (hidden f)) (not (mutable? f))))
                                    (map-indexed vector fields))]
                  (if (seq bound)
                    (list params `(let* [~@(mapcat (fn [[i f]] [f `(-field ~this ~i)]) bound)] ~@body))
                    (list* params body))))
              forms)))

(defn- inline-specs [specs fields]
  (vec (mapcat (fn [[head methods]]
                 [(if (protocol-head? head) head (str head))
                  (into {} (map (fn [[mname forms]] [(str mname) (inline-method forms fields)])
                                (group-by first methods)))])
               (spec-groups specs))))

(defn- class-name-for [tname]
  (str (apply str (map (fn [c] (if (= c \-) \_ c)) (str (ns-name *ns*)))) "." tname))

(defn- emit-type [tname fields specs kind]
  (let [cname (class-name-for tname)
        fields (vec fields)]
    ;; The class exists from the expansion on, as a JVM class does from compilation: the methods, the factories
    ;; and the rest of the form can name it, top level or not.
    (-deftype cname fields kind nil)
    `(do (-deftype ~cname '~fields ~kind ~(inline-specs (drop-while keyword? specs) fields))
         (defn ~(symbol (str "->" tname))
           ~(str "Positional factory function for class " cname ".")
           [~@fields] (new ~tname ~@fields))
         ~@(when (= kind :record)
             [`(defn ~(symbol (str "map->" tname))
                 ~(str "Factory function for class " cname ", taking a map of keywords to field values.")
                 [m#] (-map->record ~tname m#))])
         ~tname)))

(defn expand-defrecord
  [rname fields & opts+specs]
  (emit-type rname fields opts+specs :record))

(defn expand-deftype
  [tname fields & opts+specs]
  (emit-type tname fields opts+specs :type))

(defn expand-reify
  [& opts+specs]
  `(-reify ~(str (class-name-for "") (gensym "reify__")) ~(inline-specs (drop-while keyword? opts+specs) [])))

(defn- method-map [methods]
  (into {} (map (fn [[mname forms]]
                  [(keyword mname) `(fn ~@(mapcat (fn [[_ & tail]] (if (vector? (first tail)) [tail] tail)) forms))])
                (group-by first methods))))

(defn expand-extend-type
  [t & specs]
  `(extend ~t ~@(mapcat (fn [[p methods]] [p (method-map methods)]) (spec-groups specs))))

(defn expand-extend-protocol
  [p & specs]
  `(do ~@(map (fn [[t methods]] `(extend ~t ~p ~(method-map methods))) (spec-groups specs)) nil))

;; The macros themselves, defined in clojure.core over the expansions above.
(in-ns 'clojure.core)

(defmacro defprotocol
  "A protocol is a named set of named methods and their signatures:
  (defprotocol AProtocolName \"optional doc string\" (method-name [this args*]+ \"optional doc\")*)"
  [name & opts+sigs] (apply kelp.types/expand-defprotocol name opts+sigs))

(defmacro defrecord
  "(defrecord name [fields*] options* specs*): a map type with the given fields, implementing the protocols and
  interfaces the specs name. Defines ->name and map->name."
  [name fields & opts+specs] (apply kelp.types/expand-defrecord name fields opts+specs))

(defmacro deftype
  "(deftype name [fields*] options* specs*): a type with the given fields, implementing the protocols and
  interfaces the specs name. Defines ->name."
  [name fields & opts+specs] (apply kelp.types/expand-deftype name fields opts+specs))

(defmacro reify
  "reify creates an object implementing protocols and interfaces: (reify options* specs*). Methods close over the
  environment, like fn."
  [& opts+specs] (apply kelp.types/expand-reify opts+specs))

(defmacro extend-type
  "Extends the protocols to the type t: (extend-type t (Protocol (method [args] body)+)+)"
  [t & specs] (apply kelp.types/expand-extend-type t specs))

(defmacro extend-protocol
  "Extends the protocol p to several types at once: (extend-protocol p (AType (method [args] body)+)+)"
  [p & specs] (apply kelp.types/expand-extend-protocol p specs))
