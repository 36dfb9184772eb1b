(in-ns 'clojure.core)

;; Namespaces, imports and bindings: the macros over the native namespace and var functions.

(defmacro import
  "import-list => (package-symbol class-name-symbols*)
  For each name in class-name-symbols, adds a mapping from name to the class named by package.name to the
  current namespace. Use :import in the ns macro in preference to calling this directly."
  [& import-symbols-or-lists]
  (let [specs (map (fn [x] (if (and (seq? x) (= 'quote (first x))) (second x) x)) import-symbols-or-lists)]
    `(kelp.host/import-classes '~specs)))

(defmacro refer-clojure
  "Same as (refer 'clojure.core <filters>)"
  [& filters]
  `(clojure.core/refer '~'clojure.core ~@filters))

(defmacro ns
  "Sets *ns* to the namespace named by name (unevaluated), creating it if needed. references can be zero or more
  of: (:refer-clojure ...) (:require ...) (:use ...) (:import ...) (:load ...) (:gen-class)"
  [name & references]
  (let [doc (when (string? (first references)) (first references))
        references (if doc (next references) references)
        attrs (when (map? (first references)) (first references))
        references (if attrs (next references) references)
        metadata (merge (meta name) (when doc {:doc doc}) attrs)
        quoted (fn [args] (map (fn [x] (list 'quote x)) args))
        clause (fn [[kname & args]]
                 (case kname
                   :require `(clojure.core/require ~@(quoted args))
                   :use `(clojure.core/use ~@(quoted args))
                   :import `(clojure.core/import ~@args)
                   :refer-clojure `(clojure.core/refer '~'clojure.core ~@(quoted args))
                   (:gen-class :load) nil
                   (throw (IllegalArgumentException. (str "Unsupported ns clause: " kname)))))
        refers-clojure? (some (fn [r] (= :refer-clojure (first r))) references)]
    `(do
       (clojure.core/in-ns '~name)
       ~@(when metadata `((clojure.core/reset-meta! (clojure.core/the-ns '~name) '~metadata)))
       ~@(when (and (not refers-clojure?) (not= name 'clojure.core)) `((clojure.core/refer '~'clojure.core)))
       ~@(remove nil? (map clause references))
       (kelp.host/mark-loaded '~name)
       nil)))

(defmacro binding
  "binding => var-symbol init-expr
  Creates new bindings for the (already-existing) vars, with the supplied initial values, executes the exprs in
  an implicit do, then re-establishes the bindings that existed before. The new bindings are made in parallel."
  [bindings & body]
  (when-not (vector? bindings)
    (throw (IllegalArgumentException. "binding requires a vector for its binding")))
  (when-not (even? (count bindings))
    (throw (IllegalArgumentException. "binding requires an even number of forms in binding vector")))
  `(do
     (clojure.core/push-thread-bindings
      (clojure.core/hash-map ~@(mapcat (fn [[v init]] [`(var ~v) init]) (partition 2 bindings))))
     (try
       ~@body
       (finally (clojure.core/pop-thread-bindings)))))

(defn with-bindings*
  "Takes a map of Var/value pairs. Installs for the given Vars the associated values as thread-local bindings.
  Then calls f with the supplied arguments. Pops the installed bindings after f returned. Returns whatever f
  returns."
  [binding-map f & args]
  (push-thread-bindings binding-map)
  (try
    (apply f args)
    (finally (pop-thread-bindings))))

(defmacro with-bindings
  "Takes a map of Var/value pairs. Installs for the given Vars the associated values as thread-local bindings.
  Then executes body. Pops the installed bindings after body was evaluated. Returns the value of body."
  [binding-map & body]
  `(clojure.core/with-bindings* ~binding-map (fn [] ~@body)))

(defn with-redefs-fn
  "Temporarily redefines Vars during a call to func. Each val of binding-map will replace the root value of its
  key which must be a Var. After func is called with no args, the root values of all the Vars will be set back
  to their old values. These temporary changes will be visible in all threads."
  [binding-map func]
  (let [old (into {} (map (fn [[v _]] [v (var-get v)]) binding-map))
        set-roots (fn [m] (doseq [[v val] m] (alter-var-root v (constantly val))))]
    (set-roots binding-map)
    (try
      (func)
      (finally (set-roots old)))))

(defmacro with-redefs
  "binding => var-symbol temp-value-expr
  Temporarily redefines Vars while executing the body. The temp-value-exprs will be evaluated and each resulting
  value will replace in parallel the root value of its Var. After the body is executed, the root values of all
  the Vars will be set back to their old values."
  [bindings & body]
  `(clojure.core/with-redefs-fn
     ~(zipmap (map (fn [v] `(var ~v)) (take-nth 2 bindings)) (take-nth 2 (next bindings)))
     (fn [] ~@body)))

(defmacro with-local-vars
  "varbinding=> symbol init-expr
  Executes the exprs in a context in which the symbols are bound to vars with per-thread bindings to the init-exprs.
  The symbols refer to the var objects themselves, and must be accessed with var-get and var-set"
  [name-vals & body]
  (when-not (and (vector? name-vals) (even? (count name-vals)))
    (throw (IllegalArgumentException. "with-local-vars requires a vector with an even number of forms")))
  `(let [~@(interleave (take-nth 2 name-vals) (repeat '(kelp.host/local-var)))]
     (clojure.core/push-thread-bindings (clojure.core/hash-map ~@name-vals))
     (try
       ~@body
       (finally (clojure.core/pop-thread-bindings)))))
