(in-ns 'clojure.core)

;; The prelude: the macros and the few functions of clojure.core that read best in Clojure. It is read and compiled
;; at every start, so expansions stay small and lean on the special forms (let* fn* loop*) rather than on other
;; macros wherever a user cannot tell the difference.

;; ---------------------------------------------------------------------------------------------------------------
;; Bootstrap. The first macros are vars marked :macro whose functions take the whole form and the local
;; environment before their own arguments. let, loop and fn start as plain aliases of the special forms and are
;; replaced by the destructuring versions once destructure exists.

(def ^{:macro true} let (fn* let [&form &env bindings & body] `(let* ~bindings ~@body)))
(def ^{:macro true} loop (fn* loop [&form &env bindings & body] `(loop* ~bindings ~@body)))
(def ^{:macro true} fn (fn* fn [&form &env & decl] (with-meta (cons 'fn* decl) (meta &form))))

(def ^{:private true} illegal-argument
  (fn* [message] (throw (new IllegalArgumentException message))))

(def ^{:private true} fn-arities
  ;; The arities of a fn tail, ([params] body...) or ((params body...)+), as a list of (params body...) lists.
  (fn* [fdecl]
    (if (vector? (first fdecl))
      (list fdecl)
      (if (seq fdecl)
        (loop* [s (seq fdecl)]
          (if s
            (let* [arity (first s)]
              (if (if (seq? arity) (vector? (first arity)) false)
                (recur (next s))
                (illegal-argument (str "Parameter declaration "
                                       (if (seq? arity) (first arity) arity)
                                       " should be a vector"))))
            fdecl))
        (illegal-argument "Parameter declaration missing")))))

(def ^{:private true} definition-parts
  ;; (name doc? attr-map? fn-tail attr-map?) -> [var-metadata arities]. The metadata keeps the name's own
  ;; metadata first, then :arglists, :doc and the attribute maps, as defn lays them out.
  (fn* [name fdecl]
    (if (symbol? name) nil (illegal-argument "First argument to defn must be a symbol"))
    (let* [doc (if (string? (first fdecl)) (first fdecl) nil)
           fdecl (if doc (next fdecl) fdecl)
           attrs (if (map? (first fdecl)) (first fdecl) nil)
           fdecl (if attrs (next fdecl) fdecl)
           tail (if (vector? (first fdecl)) nil (last fdecl))
           tail (if (map? tail) tail nil)
           fdecl (if tail (butlast fdecl) fdecl)
           arities (fn-arities fdecl)
           m (conj (if (meta name) (meta name) {})
                   [:arglists (list 'quote (apply list (map first arities)))])
           m (if doc (assoc m :doc doc) m)
           m (if attrs (conj m attrs) m)
           m (if tail (conj m tail) m)]
      [m arities])))

(def ^{:macro true
       :doc "Same as (def name (fn [params*] exprs*)) or (def name (fn ([params*] exprs*)+)) with any doc string
  or attributes added to the var metadata."
       :arglists '([name doc-string? attr-map? [params*] prepost-map? body]
                   [name doc-string? attr-map? ([params*] prepost-map? body) + attr-map?])}
  defn
  (fn* defn [&form &env name & fdecl]
    (let* [parts (definition-parts name fdecl)]
      (with-meta (list 'def (with-meta name (nth parts 0)) (cons 'clojure.core/fn (nth parts 1)))
                 (meta &form)))))

(def ^{:macro true
       :doc "Like defn, but the resulting function name is declared as a macro and will be used as a macro by the
  compiler when it is called."
       :arglists '([name doc-string? attr-map? [params*] body]
                   [name doc-string? attr-map? ([params*] body) + attr-map?])}
  defmacro
  (fn* defmacro [&form &env name & fdecl]
    (let* [parts (definition-parts name fdecl)
           arities (map (fn* [a] (cons (apply vector '&form '&env (first a)) (rest a))) (nth parts 1))]
      (with-meta (list 'def (with-meta name (assoc (nth parts 0) :macro true)) (cons 'clojure.core/fn arities))
                 (meta &form)))))

;; ---------------------------------------------------------------------------------------------------------------
;; Control

(defmacro when
  "Evaluates test. If logical true, evaluates body in an implicit do."
  [test & body]
  (list 'if test (cons 'do body)))

(defmacro when-not
  "Evaluates test. If logical false, evaluates body in an implicit do."
  [test & body]
  (list 'if test nil (cons 'do body)))

(defmacro if-not
  "Evaluates test. If logical false, evaluates and returns then expr, otherwise else expr, if supplied, else nil."
  ([test then] (list 'if test nil then))
  ([test then else] (list 'if test else then)))

(defmacro comment "Ignores body, yields nil." [& body] nil)

(defmacro and
  "Evaluates exprs one at a time, from left to right. If a form returns logical false (nil or false), and returns
  that value and doesn't evaluate any of the other expressions, otherwise it returns the value of the last expr.
  (and) returns true."
  ([] true)
  ([x] x)
  ([x & next] `(let* [and# ~x] (if and# (and ~@next) and#))))

(defmacro or
  "Evaluates exprs one at a time, from left to right. If a form returns a logical true value, or returns that value
  and doesn't evaluate any of the other expressions, otherwise it returns the value of the last expression.
  (or) returns nil."
  ([] nil)
  ([x] x)
  ([x & next] `(let* [or# ~x] (if or# or# (or ~@next)))))

(defmacro cond
  "Takes a set of test/expr pairs. It evaluates each test one at a time. If a test returns logical true, cond
  evaluates and returns the value of the corresponding expr and doesn't evaluate any of the other tests or exprs.
  (cond) returns nil."
  [& clauses]
  (when clauses
    (list 'if (first clauses)
          (if (next clauses)
            (second clauses)
            (illegal-argument "cond requires an even number of forms"))
          (cons 'clojure.core/cond (next (next clauses))))))

(defn not "Returns true if x is logical false, false otherwise." [x] (if x false true))
(defn nil? "Returns true if x is nil, false otherwise." [x] (identical? x nil))
(defn some? "Returns true if x is not nil, false otherwise." [x] (if (identical? x nil) false true))
(defn true? "Returns true if x is the value true, false otherwise." [x] (identical? x true))
(defn false? "Returns true if x is the value false, false otherwise." [x] (identical? x false))
(defn boolean "Coerce to boolean" [x] (if x true false))
(defn any? "Returns true given any argument." [x] true)
(defn fn? "Returns true if x implements Fn, i.e. is an object created via fn." [x] (instance? clojure.lang.Fn x))
(defn ifn? "Returns true if x implements IFn. Note that many data structures (e.g. sets and maps) implement IFn"
  [x] (instance? clojure.lang.IFn x))

(defmacro ->
  "Threads the expr through the forms. Inserts x as the second item in the first form, making a list of it if it is
  not a list already. If there are more forms, inserts the first form as the second item in second form, etc."
  [x & forms]
  (loop* [x x, forms forms]
    (if forms
      (let* [form (first forms)]
        (recur (if (seq? form)
                 (with-meta (apply list (first form) x (next form)) (meta form))
                 (list form x))
               (next forms)))
      x)))

(defmacro ->>
  "Threads the expr through the forms. Inserts x as the last item in the first form, making a list of it if it is
  not a list already. If there are more forms, inserts the first form as the last item in second form, etc."
  [x & forms]
  (loop* [x x, forms forms]
    (if forms
      (let* [form (first forms)]
        (recur (if (seq? form)
                 (with-meta (apply list (concat form (list x))) (meta form))
                 (list form x))
               (next forms)))
      x)))

(defmacro lazy-seq
  "Takes a body of expressions that returns an ISeq or nil, and yields a Seqable object that will invoke the body
  only the first time seq is called, and will cache the result and return it on all subsequent seq calls."
  [& body]
  `(lazy-seq* (fn* [] ~@body)))

;; ---------------------------------------------------------------------------------------------------------------
;; Destructuring

(defn seq-to-map-for-destructuring
  "Builds a map from a seq of keyword arguments: key/value pairs, optionally followed by a trailing map that is
  merged in. A seq of one element answers that element."
  [s]
  (if (next s)
    (loop* [m {} s (seq s)]
      (if s
        (if (next s)
          (recur (assoc m (first s) (second s)) (next (next s)))
          (conj m (first s)))
        m))
    (if (seq s) (first s) {})))

(def ^{:private true} binding-key-kinds {"keys" :keys "strs" :strs "syms" :syms})

(def ^{:private true} map-entry-key
  ;; The lookup key for one name listed under :keys, :strs or :syms (kind), with the namespace of a :ns/keys
  ;; directive (kns) or of the name itself.
  (fn* [kind kns item]
    (let* [ns (if kns kns (namespace item))]
      (if (identical? kind :keys)
        (keyword ns (name item))
        (if (identical? kind :strs)
          (name item)
          (list 'quote (symbol ns (name item))))))))

(def destructure-bind-vector)
(def destructure-bind-map)

(def ^{:private true} destructure-bind
  (fn* [acc pattern init]
    (cond (symbol? pattern) (conj acc pattern init)
          (vector? pattern) (destructure-bind-vector acc pattern init)
          (map? pattern) (destructure-bind-map acc pattern init)
          :else (throw (new Exception (str "Unsupported binding form: " pattern))))))

(def ^{:private true} destructure-bind-vector
  (fn* [acc pattern init]
    (let* [v (gensym "vec__")
           acc (conj acc v init)]
      (if (some (fn* [p] (= '& p)) pattern)
        ;; With a rest, walk a seq, so any seqable (sets, maps) works.
        (let* [s (gensym "seq__")
               f (gensym "first__")]
          (loop* [acc (conj acc s (list 'clojure.core/seq v)), ps (seq pattern)]
            (if ps
              (let* [p (first ps)]
                (cond (= '& p) (recur (destructure-bind acc (second ps) s) (next (next ps)))
                      (= :as p) (recur (conj acc (second ps) v) (next (next ps)))
                      :else (recur (destructure-bind (conj acc f (list 'clojure.core/first s)
                                               s (list 'clojure.core/next s))
                                         p f)
                                   (next ps))))
              acc)))
        (loop* [acc acc, ps (seq pattern), i 0]
          (if ps
            (let* [p (first ps)]
              (if (= :as p)
                (recur (conj acc (second ps) v) (next (next ps)) i)
                (recur (destructure-bind acc p (list 'clojure.core/nth v i nil)) (next ps) (inc i))))
            acc))))))

(def ^{:private true} destructure-bind-map
  (fn* [acc pattern init]
    (let* [m (gensym "map__")
           defaults (get pattern :or)
           lookup (fn* [local k]
                    (if (contains? defaults local)
                      (list 'clojure.core/get m k (get defaults local))
                      (list 'clojure.core/get m k)))
           acc (conj acc m init
                     m (list 'if (list 'clojure.core/seq? m)
                             (list 'clojure.core/seq-to-map-for-destructuring m)
                             m))
           acc (if (contains? pattern :as) (conj acc (get pattern :as) m) acc)]
      (loop* [acc acc, entries (seq pattern)]
        (if entries
          (let* [k (key (first entries))
                 v (val (first entries))
                 kind (if (keyword? k) (get binding-key-kinds (name k)) nil)]
            (cond (if (= :as k) true (= :or k)) (recur acc (next entries))
                  kind (recur (loop* [acc acc, items (seq v)]
                                (if items
                                  (let* [item (first items)
                                         local (symbol (name item))]
                                    (recur (conj acc local
                                                 (lookup local (map-entry-key kind (namespace k) item)))
                                           (next items)))
                                  acc))
                              (next entries))
                  (symbol? k) (recur (conj acc k (lookup k v)) (next entries))
                  :else (recur (destructure-bind acc k (list 'clojure.core/get m v)) (next entries))))
          acc)))))

(defn destructure
  "Expands a binding vector whose targets may be destructuring patterns into a binding vector of plain symbols,
  as let* takes."
  [bindings]
  (when-not (even? (count bindings))
    (illegal-argument "let requires an even number of forms in binding vector"))
  (if (every? symbol? (take-nth 2 bindings))
    bindings
    (loop* [acc [], s (seq bindings)]
      (if s
        (recur (destructure-bind acc (first s) (second s)) (next (next s)))
        acc))))

(def ^{:private true} check-binding-vector
  (fn* [who bindings]
    (when-not (vector? bindings)
      (illegal-argument (str who " requires a vector for its binding")))))

(defmacro let
  "binding => binding-form init-expr
  Evaluates the exprs in a lexical context in which the symbols in the binding-forms are bound to their respective
  init-exprs or parts therein."
  [bindings & body]
  (check-binding-vector "let" bindings)
  `(let* ~(destructure bindings) ~@body))

(defmacro loop
  "Evaluates the exprs in a lexical context in which the symbols in the binding-forms are bound to their respective
  init-exprs or parts therein. Acts as a recur target."
  [bindings & body]
  (check-binding-vector "loop" bindings)
  (when-not (even? (count bindings))
    (illegal-argument "loop requires an even number of forms in binding vector"))
  (if (every? symbol? (take-nth 2 bindings))
    `(loop* ~bindings ~@body)
    ;; recur rebinds one symbol per binding; the patterns are destructured again from those symbols.
    (loop* [s (seq bindings), outer [], loop-binds [], inner []]
      (if s
        (let* [pattern (first s)
               init (second s)]
          (if (symbol? pattern)
            (recur (next (next s)) (conj outer pattern init) (conj loop-binds pattern pattern) inner)
            (let* [g (gensym "G__")]
              (recur (next (next s)) (conj outer g init pattern g) (conj loop-binds g g)
                     (conj inner pattern g)))))
        `(let ~outer (loop* ~loop-binds (let ~inner ~@body)))))))

(def ^{:private true} assertion
  (fn* [c] (list 'clojure.core/assert c)))

(def ^{:private true} fn-arity
  ;; One arity of fn: patterns among the params become fresh symbols destructured by a let around the body, and a
  ;; leading {:pre [...] :post [...]} map (when more body follows it) becomes assertions.
  (fn* [arity]
    (let* [params (first arity)
           body (next arity)
           conds (if (next body) (if (map? (first body)) (first body) nil) nil)
           body (if conds (next body) body)
           pre (get conds :pre)
           post (get conds :post)
           body (if post
                  (list (concat (list 'clojure.core/let ['% (if (next body) (cons 'do body) (first body))])
                                (map assertion post)
                                (list '%)))
                  body)
           body (if pre (concat (map assertion pre) body) body)]
      (loop* [ps (seq params), new-params [], lets []]
        (if ps
          (let* [p (first ps)]
            (if (symbol? p)
              (recur (next ps) (conj new-params p) lets)
              (let* [g (gensym "p__")]
                (recur (next ps) (conj new-params g) (conj lets p g)))))
          (if (seq lets)
            (list new-params (list* 'clojure.core/let lets body))
            (cons params body)))))))

(defmacro fn
  "params => positional-params*, or positional-params* & rest-param
  Defines a function. Parameters may be destructuring patterns, and a body may start with a
  {:pre [...] :post [...]} map of conditions."
  [& sigs]
  (let* [name (if (symbol? (first sigs)) (first sigs) nil)
         sigs (if name (next sigs) sigs)
         arities (map fn-arity (fn-arities sigs))]
    (with-meta (cons 'fn* (if name (cons name arities) arities)) (meta &form))))

;; ---------------------------------------------------------------------------------------------------------------
;; Definitions

(defmacro defn-
  "same as defn, yielding non-public def"
  [name & decls]
  (list* `defn (vary-meta name assoc :private true) decls))

(defmacro declare
  "defs the supplied var names with no bindings, useful for making forward declarations."
  [& names]
  (cons 'do (map (fn [n] (list 'def (vary-meta n assoc :declared true))) names)))

(defmacro defonce
  "defs name to have the root value of the expr iff the named var has no root value, else expr is unevaluated"
  [name expr]
  `(let* [v# (def ~name)]
     (when-not (bound? v#)
       (def ~name ~expr))))

(defmacro assert
  "Evaluates expr and throws an exception if it does not evaluate to logical true."
  ([x]
   (when *assert*
     `(when-not ~x (throw (new java.lang.AssertionError ~(str "Assert failed: " (pr-str x)))))))
  ([x message]
   (when *assert*
     `(when-not ~x (throw (new java.lang.AssertionError (str "Assert failed: " ~message ~(str "\n" (pr-str x)))))))))

;; ---------------------------------------------------------------------------------------------------------------
;; Conditionals over bindings

(def ^{:private true} check-binding-pair
  (fn* [who bindings]
    (check-binding-vector who bindings)
    (when-not (= 2 (count bindings))
      (illegal-argument (str who " requires exactly 2 forms in binding vector")))))

(defmacro if-let
  "bindings => binding-form test
  If test is true, evaluates then with binding-form bound to the value of test, if not, yields else"
  ([bindings then] `(if-let ~bindings ~then nil))
  ([bindings then else]
   (check-binding-pair "if-let" bindings)
   `(let* [temp# ~(bindings 1)]
      (if temp# (let [~(bindings 0) temp#] ~then) ~else))))

(defmacro when-let
  "bindings => binding-form test
  When test is true, evaluates body with binding-form bound to the value of test"
  [bindings & body]
  (check-binding-pair "when-let" bindings)
  `(let* [temp# ~(bindings 1)]
     (when temp# (let [~(bindings 0) temp#] ~@body))))

(defmacro if-some
  "bindings => binding-form test
  If test is not nil, evaluates then with binding-form bound to the value of test, if not, yields else"
  ([bindings then] `(if-some ~bindings ~then nil))
  ([bindings then else]
   (check-binding-pair "if-some" bindings)
   `(let* [temp# ~(bindings 1)]
      (if (nil? temp#) ~else (let [~(bindings 0) temp#] ~then)))))

(defmacro when-some
  "bindings => binding-form test
  When test is not nil, evaluates body with binding-form bound to the value of test"
  [bindings & body]
  (check-binding-pair "when-some" bindings)
  `(let* [temp# ~(bindings 1)]
     (if (nil? temp#) nil (let [~(bindings 0) temp#] ~@body))))

(defmacro when-first
  "bindings => x xs
  Roughly the same as (when (seq xs) (let [x (first xs)] body)) but xs is evaluated only once"
  [bindings & body]
  (check-binding-pair "when-first" bindings)
  `(when-let [xs# (seq ~(bindings 1))]
     (let [~(bindings 0) (first xs#)] ~@body)))

(defmacro condp
  "Takes a binary predicate, an expression, and a set of clauses. Each clause can take the form of either:
  test-expr result-expr
  test-expr :>> result-fn
  For each clause, (pred test-expr expr) is evaluated. If it returns logical true, the clause is a match. A single
  default expression can follow the clauses; without it, no match throws IllegalArgumentException."
  [pred expr & clauses]
  (let [gpred (gensym "pred__")
        gexpr (gensym "expr__")
        emit (fn emit [args]
               (let [[a b c] args
                     n (count (take 3 args))]
                 (cond (= 0 n) `(throw (new java.lang.IllegalArgumentException (str "No matching clause: " ~gexpr)))
                       (= 1 n) a
                       (= :>> b) (if (= 2 n)
                                   (illegal-argument "condp :>> needs a result-fn")
                                   `(if-let [p# (~gpred ~a ~gexpr)] (~c p#) ~(emit (drop 3 args))))
                       :else `(if (~gpred ~a ~gexpr) ~b ~(emit (drop 2 args))))))]
    `(let* [~gpred ~pred ~gexpr ~expr] ~(emit clauses))))

(defmacro case
  "Takes an expression, and a set of clauses. Each clause can take the form of either:
  test-constant result-expr
  (test-constant1 ... test-constantN) result-expr
  The test-constants are not evaluated. They must be compile-time literals, and need not be quoted. If the
  expression is equal to a test-constant, the corresponding result-expr is returned. A single default expression can
  follow the clauses; without it, no match throws IllegalArgumentException."
  [e & clauses]
  (let [ge (gensym "G__")
        default (if (odd? (count clauses))
                  (last clauses)
                  `(throw (new java.lang.IllegalArgumentException (str "No matching clause: " ~ge))))
        branches (map (fn [[test then]] [(if (seq? test) (vec test) [test]) then])
                      (partition 2 clauses))]
    (reduce (fn [seen c]
              (if (contains? seen c)
                (illegal-argument (str "Duplicate case test constant: " (pr-str c)))
                (conj seen c)))
            #{} (mapcat first branches))
    `(let* [~ge ~e] (case* ~ge ~default ~@branches))))

;; ---------------------------------------------------------------------------------------------------------------
;; Threading

(defmacro cond->
  "Takes an expression and a set of test/form pairs. Threads expr (via ->) through each form for which the
  corresponding test expression is true."
  [expr & clauses]
  (assert (even? (count clauses)))
  (let [g (gensym)
        steps (map (fn [[test step]] `(if ~test (-> ~g ~step) ~g)) (partition 2 clauses))]
    `(let* [~g ~expr ~@(interleave (repeat g) steps)] ~g)))

(defmacro cond->>
  "Takes an expression and a set of test/form pairs. Threads expr (via ->>) through each form for which the
  corresponding test expression is true."
  [expr & clauses]
  (assert (even? (count clauses)))
  (let [g (gensym)
        steps (map (fn [[test step]] `(if ~test (->> ~g ~step) ~g)) (partition 2 clauses))]
    `(let* [~g ~expr ~@(interleave (repeat g) steps)] ~g)))

(defmacro as->
  "Binds name to expr, evaluates the first form in the lexical context of that binding, then binds name to that
  result, repeating for each successive form, returning the result of the last form."
  [expr name & forms]
  `(let [~name ~expr ~@(interleave (repeat name) (butlast forms))]
     ~(if (seq forms) (last forms) name)))

(defmacro some->
  "When expr is not nil, threads it into the first form (via ->), and when that result is not nil, through the next
  etc"
  [expr & forms]
  (let [g (gensym)
        steps (map (fn [step] `(if (nil? ~g) nil (-> ~g ~step))) forms)]
    `(let* [~g ~expr ~@(interleave (repeat g) steps)] ~g)))

(defmacro some->>
  "When expr is not nil, threads it into the first form (via ->>), and when that result is not nil, through the next
  etc"
  [expr & forms]
  (let [g (gensym)
        steps (map (fn [step] `(if (nil? ~g) nil (->> ~g ~step))) forms)]
    `(let* [~g ~expr ~@(interleave (repeat g) steps)] ~g)))

(defmacro doto
  "Evaluates x then calls all of the methods and functions with the value of x supplied at the front of the given
  arguments. The forms are evaluated in order. Returns x."
  [x & forms]
  (let [g (gensym)]
    `(let* [~g ~x]
       ~@(map (fn [f] (if (seq? f)
                        (with-meta (apply list (first f) g (next f)) (meta f))
                        `(~f ~g)))
              forms)
       ~g)))

(defmacro ..
  "form => fieldName-symbol or (instanceMethodName-symbol args*)
  Expands into a member access (.) of the first member on the first argument, followed by the next member on the
  result, etc."
  ([x form] (if (seq? form) `(. ~x ~@form) `(. ~x ~form)))
  ([x form & more] `(.. (.. ~x ~form) ~@more)))

(defmacro memfn
  "Expands into code that creates a fn that expects to be passed an object and any args and calls the named instance
  method on the object passing the args."
  [name & args]
  (let [target (gensym "target")]
    `(fn [~target ~@args] (. ~target ~name ~@args))))

;; ---------------------------------------------------------------------------------------------------------------
;; Loops and sequences

(defmacro while
  "Repeatedly executes body while test expression is true. Presumes some side-effect will cause test to become
  false/nil. Returns nil"
  [test & body]
  `(loop* [] (when ~test ~@body (recur))))

(defmacro dotimes
  "bindings => name n
  Repeatedly executes body (presumably for side-effects) with name bound to integers from 0 through n-1."
  [bindings & body]
  (check-binding-pair "dotimes" bindings)
  (let [i (bindings 0)]
    `(let* [n# (long ~(bindings 1))]
       (loop* [~i 0]
         (when (< ~i n#)
           ~@body
           (recur (inc ~i)))))))

(def ^{:private true} comprehension-levels
  ;; The binding vector of for/doseq as levels: {:bind pattern :coll expr :mods [[:let v] [:when t] ...]}.
  (fn [who bindings]
    (check-binding-vector who bindings)
    (when-not (even? (count bindings))
      (illegal-argument (str who " requires an even number of forms in binding vector")))
    (reduce (fn [levels [k v]]
              (if (keyword? k)
                (if (contains? #{:let :when :while} k)
                  (if (seq levels)
                    (conj (pop levels) (update (peek levels) :mods conj [k v]))
                    (illegal-argument (str "Invalid '" who "' keyword " k)))
                  (illegal-argument (str "Invalid '" who "' keyword " k)))
                (conj levels {:bind k :coll v :mods []})))
            [] (partition 2 bindings))))

(def ^{:private true} with-modifiers
  ;; Wraps body in a level's modifiers: :let binds, :when skips to skip-form, :while ends the level with nil.
  (fn [mods body skip-form]
    (reduce (fn [inner [k v]]
              (case k
                :let `(let ~v ~inner)
                :when `(if ~v ~inner ~skip-form)
                :while `(if ~v ~inner nil)))
            body (reverse mods))))

(defmacro doseq
  "Repeatedly executes body (presumably for side-effects) with bindings and filtering as provided by \"for\". Does
  not retain the head of the sequence. Returns nil."
  [seq-exprs & body]
  (let [emit (fn emit [levels]
               (if (seq levels)
                 (let [{:keys [bind coll mods]} (first levels)
                       s (gensym "seq_")
                       next-step `(recur (next ~s))]
                   `(loop* [~s (seq ~coll)]
                      (when ~s
                        (let [~bind (first ~s)]
                          ~(with-modifiers mods `(do ~(emit (rest levels)) ~next-step) next-step)))))
                 `(do ~@body)))]
    (emit (comprehension-levels "doseq" seq-exprs))))

(defmacro for
  "List comprehension. Takes a vector of one or more binding-form/collection-expr pairs, each followed by zero or
  more modifiers, and yields a lazy sequence of evaluations of expr. Supported modifiers are: :let [binding-form
  expr ...], :while test, :when test."
  [seq-exprs body-expr]
  (let [emit (fn emit [levels]
               (let [{:keys [bind coll mods]} (first levels)
                     iter (gensym "iter__")
                     s (gensym "s__")
                     more (rest levels)
                     skip `(recur (rest ~s))
                     step (if (seq more)
                            (let [inner (gensym "inner__")]
                              `(let* [~inner (seq ~(emit more))]
                                 (if ~inner (concat ~inner (~iter (rest ~s))) ~skip)))
                            `(cons ~body-expr (~iter (rest ~s))))]
                 `((fn* ~iter [~s]
                     (lazy-seq
                       (loop* [~s ~s]
                         (when-let [~s (seq ~s)]
                           (let [~bind (first ~s)]
                             ~(with-modifiers mods step skip))))))
                   ~coll)))]
    (emit (comprehension-levels "for" seq-exprs))))

(defmacro lazy-cat
  "Expands to code which yields a lazy sequence of the concatenation of the supplied colls. Each coll expr is not
  evaluated until it is needed."
  [& colls]
  `(concat ~@(map (fn [c] `(lazy-seq ~c)) colls)))

(defmacro letfn
  "fnspec ==> (fname [params*] exprs) or (fname ([params*] exprs)+)
  Takes a vector of function specs and a body, and generates a set of bindings of functions to their names. All of
  the names are available in all of the definitions of the functions, as well as the body."
  [fnspecs & body]
  `(letfn* ~(vec (mapcat (fn [spec] [(first spec) `(fn ~@spec)]) fnspecs)) ~@body))

(defmacro with-open
  "bindings => [name init ...]
  Evaluates body in a try expression with names bound to the values of the inits, and a finally clause that calls
  (.close name) on each name in reverse order."
  [bindings & body]
  (check-binding-vector "with-open" bindings)
  (if (seq bindings)
    `(let [~(bindings 0) ~(bindings 1)]
       (try
         (with-open ~(subvec bindings 2) ~@body)
         (finally (. ~(bindings 0) close))))
    `(do ~@body)))

;; ---------------------------------------------------------------------------------------------------------------
;; Functions

(defn trampoline
  "trampoline can be used to convert algorithms requiring mutual recursion without stack consumption. Calls f with
  supplied args, if any. If f returns a fn, calls that fn with no arguments, and continues to repeat, until the
  return value is not a fn, then returns that non-fn value."
  ([f]
   (let* [ret (f)]
     (if (fn? ret) (recur ret) ret)))
  ([f & args]
   (trampoline (fn* [] (apply f args)))))

(defn update-vals
  "m f => {k (f v) ...}
  Given a map m and a function f of 1-argument, returns a new map where the keys of m are mapped to result of
  applying f to the corresponding values of m."
  [m f]
  (with-meta (persistent! (reduce-kv (fn* [acc k v] (assoc! acc k (f v))) (transient {}) m))
             (meta m)))

(defn update-keys
  "m f => {(f k) v ...}
  Given a map m and a function f of 1-argument, returns a new map whose keys are the result of applying f to the
  keys of m, mapped to the corresponding values of m."
  [m f]
  (with-meta (persistent! (reduce-kv (fn* [acc k v] (assoc! acc (f k) v)) (transient {}) m))
             (meta m)))

;; ---------------------------------------------------------------------------------------------------------------
;; Hierarchies and multimethods: loaded on first use from kelp.core-multi.
(-autoload 'kelp.core-multi
           '[defmulti defmethod]
           '[make-hierarchy isa? parents ancestors descendants derive underive multifn* add-method* remove-method
             remove-all-methods prefer-method methods prefers get-method print-method])

;; ---------------------------------------------------------------------------------------------------------------
;; Transducer helpers

(defn completing
  "Takes a reducing function f of 2 args and returns a fn suitable for transduce by adding an arity-1 signature that
  calls cf (default - identity) on the result argument."
  ([f] (completing f identity))
  ([f cf]
   (fn ([] (f)) ([x] (cf x)) ([x y] (f x y)))))

(defn transduce
  "reduce with a transformation of f (xf). If init is not supplied, (f) will be called to produce it. Returns the
  result of applying (the transformed) xf to init and the first item in coll, then applying xf to that result and the
  2nd item, etc. The completing arity of xf is applied to the final result."
  ([xform f coll] (transduce xform f (f) coll))
  ([xform f init coll]
   (let [f (xform f)]
     (f (reduce f init coll)))))

(defn cat "A transducer which concatenates the contents of each input, which must be a collection, into the reduction."
  [rf]
  (let [keep-reduced (fn [acc x] (let [r (rf acc x)] (if (reduced? r) (reduced r) r)))]
    (fn
      ([] (rf))
      ([acc] (rf acc))
      ([acc input] (reduce keep-reduced acc input)))))

(defn- sequence*
  "The lazy applications of xform to the items of s; with many?, each item is a list of the inputs of one step."
  [xform s many?]
  (let [out (volatile! [])
        rf (xform (fn ([acc] acc) ([acc x] (vreset! out (conj @out x)) acc)))
        drain (fn [] (let [xs @out] (vreset! out []) (seq xs)))
        step (fn step [s]
               (lazy-seq
                 (loop [s s]
                   (cond
                     (seq @out) (concat (drain) (step s))
                     (nil? s) (do (rf nil) (drain))
                     (reduced? (if many? (apply rf nil (first s)) (rf nil (first s)))) (do (rf nil) (drain))
                     :else (recur (next s))))))]
    (step s)))

(defn sequence
  "Coerces coll to a (possibly empty) sequence, if it is not already one. With a transducer, returns a lazy sequence
  of applications of the transform to the items in coll."
  ([coll] (if (seq? coll) coll (or (seq coll) ())))
  ([xform coll] (sequence* xform (seq coll) false))
  ([xform coll & colls] (sequence* xform (seq (apply map list coll colls)) true)))

;; ---------------------------------------------------------------------------------------------------------------
;; Bound functions and parallel maps

(defn bound-fn*
  "Returns a function, which will install the same bindings in effect as in the thread at the time bound-fn* was
  called and then call f with any given arguments. This may be used to define a helper function which runs on a
  different thread, but needs the same bindings in place."
  [f]
  (let [bindings (get-thread-bindings)]
    (fn [& args]
      (push-thread-bindings bindings)
      (try
        (apply f args)
        (finally (pop-thread-bindings))))))

(defmacro bound-fn
  "Returns a function defined by the given fntail, which will install the same bindings in effect as in the thread
  at the time bound-fn was called."
  [& fntail]
  `(bound-fn* (fn ~@fntail)))

(defn pmap
  "Like map, except f is applied in parallel. Semi-lazy in that the parallel computation stays ahead of the
  consumption, but doesn't realize the entire result unless required."
  ([f coll]
   ;; Each element runs as a future; the futures a few places ahead of the consumer are already started.
   (let [futures (map (fn [x] (future-call (fn [] (f x)))) coll)
         step (fn step [fs ahead]
                (lazy-seq
                  (when-let [s (seq fs)]
                    (cons (deref (first s)) (step (rest s) (next ahead))))))]
     (step futures (seq (drop 4 futures)))))
  ([f coll & colls]
   (pmap (fn [args] (apply f args)) (apply map vector coll colls))))

(defn pcalls "Executes the no-arg fns in parallel, returning a lazy sequence of their values" [& fns]
  (pmap (fn [f] (f)) fns))

(defmacro pvalues "Returns a lazy sequence of the values of the exprs, which are evaluated in parallel" [& exprs]
  `(pcalls ~@(map (fn [e] `(fn [] ~e)) exprs)))

(defn replace
  "Given a map of replacement pairs and a vector/collection, returns a vector/seq with any elements = a key in smap
  replaced with the corresponding val in smap. Returns a transducer when no collection is provided."
  ([smap]
   (map (fn [x] (if-let [e (find smap x)] (val e) x))))
  ([smap coll]
   (if (vector? coll)
     ;; A vector keeps its kind: replace in place, index by index.
     (reduce (fn [v i] (if-let [e (find smap (nth v i))] (assoc v i (val e)) v))
             coll
             (range (count coll)))
     (map (fn [x] (if-let [e (find smap x)] (val e) x)) coll))))

;; ---------------------------------------------------------------------------------------------------------------
;; Loaded on first use: the protocol and type macros (kelp.types), and the rarer transducers, transactions and
;; BigDecimal precision (kelp.core-extra).

(-autoload 'kelp.types '[defprotocol defrecord deftype reify extend-type extend-protocol] '[])
(-autoload 'kelp.core-extra '[dosync sync with-precision] '[halt-when random-sample eduction])
