(in-ns 'clojure.core)

;; Hierarchies and multimethods, loaded the first time a program uses one of them (see -autoload in clojure.core).

(defn make-hierarchy "Creates a hierarchy object for use with derive, isa? etc." []
  {:parents {} :descendants {} :ancestors {}})

(def ^{:private true} global-hierarchy (atom (make-hierarchy)))

(defn- class-extends? [child parent]
  (loop [c (. child getSuperclass)]
    (cond (nil? c) false
          (= c parent) true
          :else (recur (. c getSuperclass)))))

(defn isa?
  "Returns true if (= child parent), or child is directly or indirectly derived from parent, either via a Java type
  inheritance relationship or a relationship established via derive. h must be a hierarchy obtained from
  make-hierarchy, if not supplied defaults to the global hierarchy"
  ([child parent] (isa? @global-hierarchy child parent))
  ([h child parent]
   (or (= child parent)
       (and (class? parent) (class? child) (class-extends? child parent))
       (contains? (get (:ancestors h) child) parent)
       (and (vector? parent) (vector? child) (= (count parent) (count child))
            (loop [i 0]
              (if (= i (count parent))
                true
                (if (isa? h (nth child i) (nth parent i)) (recur (inc i)) false)))))))

(defn parents
  "Returns the immediate parents of tag, either via a Java type inheritance relationship or a relationship
  established via derive. h must be a hierarchy obtained from make-hierarchy, if not supplied defaults to the global
  hierarchy"
  ([tag] (parents @global-hierarchy tag))
  ([h tag] (not-empty (get (:parents h) tag))))

(defn ancestors
  "Returns the immediate and indirect parents of tag, either via a Java type inheritance relationship or a
  relationship established via derive. h must be a hierarchy obtained from make-hierarchy, if not supplied defaults
  to the global hierarchy"
  ([tag] (ancestors @global-hierarchy tag))
  ([h tag] (not-empty (get (:ancestors h) tag))))

(defn descendants
  "Returns the immediate and indirect children of tag, through a relationship established via derive. h must be a
  hierarchy obtained from make-hierarchy, if not supplied defaults to the global hierarchy."
  ([tag] (descendants @global-hierarchy tag))
  ([h tag] (not-empty (get (:descendants h) tag))))

(defn- add-relatives
  ;; Gives each of nodes every one of relatives in the index m (an :ancestors or :descendants map).
  [m nodes relatives]
  (reduce (fn [m node] (assoc m node (into (get m node #{}) relatives))) m nodes))

(defn derive
  "Establishes a parent/child relationship between parent and tag. Parent must be a namespace-qualified symbol or
  keyword and child can be either a namespace-qualified symbol or keyword or a class. h must be a hierarchy obtained
  from make-hierarchy, if not supplied defaults to, and modifies, the global hierarchy."
  ([tag parent]
   (assert (namespace parent))
   (assert (or (class? tag) (and (instance? clojure.lang.Named tag) (namespace tag))))
   (swap! global-hierarchy derive tag parent)
   nil)
  ([h tag parent]
   (assert (not= tag parent))
   (let [{:keys [parents ancestors descendants]} h]
     (cond
       (contains? (get parents tag) parent) h
       (contains? (get ancestors tag) parent)
       (throw (new Exception (str tag " already has " parent " as ancestor")))
       (contains? (get ancestors parent) tag)
       (throw (new Exception (str "Cyclic derivation: " parent " has " tag " as ancestor")))
       :else
       ;; tag and everything below it gain parent and everything above it, and the converse.
       (let [below (conj (get descendants tag #{}) tag)
             above (conj (get ancestors parent #{}) parent)]
         {:parents (assoc parents tag (conj (get parents tag #{}) parent))
          :ancestors (add-relatives ancestors below above)
          :descendants (add-relatives descendants above below)})))))

(defn underive
  "Removes a parent/child relationship between parent and tag. h must be a hierarchy obtained from make-hierarchy,
  if not supplied defaults to, and modifies, the global hierarchy."
  ([tag parent] (swap! global-hierarchy underive tag parent) nil)
  ([h tag parent]
   (if (contains? (get (:parents h) tag) parent)
     ;; Rebuild from the remaining direct relationships.
     (let [remaining (update (:parents h) tag disj parent)]
       (reduce (fn [acc [child ps]] (reduce (fn [acc p] (derive acc child p)) acc ps))
               (make-hierarchy) remaining))
     h)))

;; ---------------------------------------------------------------------------------------------------------------
;; Multimethods. A multimethod is a function over a state atom: its name, dispatch function, default dispatch
;; value, hierarchy (a reference, or nil for the global one), methods, preferences, and a cache of resolved
;; dispatch values that is dropped whenever the methods, preferences or hierarchy change.

(def ^{:private true} multimethod-states (atom {}))

(defn- multi-state [multifn]
  (or (get @multimethod-states multifn)
      (throw (new IllegalArgumentException (str "Not a multimethod: " multifn)))))

(defn- multi-hierarchy [s]
  (if (:hierarchy s) @(:hierarchy s) @global-hierarchy))

(defn- prefers?
  ;; Is x preferred over y, directly or through the parents of either?
  [h prefer-table x y]
  (or (contains? (get prefer-table x) y)
      (some (fn [p] (prefers? h prefer-table x p)) (parents h y))
      (some (fn [p] (prefers? h prefer-table p y)) (parents h x))
      false))

(defn- dominates? [h prefer-table x y]
  (or (prefers? h prefer-table x y) (isa? h x y)))

(defn- find-method [s h dispatch-val]
  (let [prefer-table (:prefers s)
        best (reduce (fn [best entry]
                       (if (isa? h dispatch-val (key entry))
                         (let [best (if (or (nil? best) (dominates? h prefer-table (key entry) (key best)))
                                      entry
                                      best)]
                           (when-not (dominates? h prefer-table (key best) (key entry))
                             (throw (new IllegalArgumentException
                                         (str "Multiple methods in multimethod '" (:name s)
                                              "' match dispatch value: " dispatch-val " -> " (key entry)
                                              " and " (key best) ", and neither is preferred"))))
                           best)
                         best))
                     nil (:methods s))]
    (if best
      (val best)
      (get (:methods s) (:default s)))))

(defn- method-for [state dispatch-val]
  (let [s @state
        h (multi-hierarchy s)
        cached (if (identical? h (:cached-hierarchy s)) (get (:cache s) dispatch-val) nil)]
    (or cached
        (let [m (or (get (:methods s) dispatch-val) (find-method s h dispatch-val))]
          (when-not m
            (throw (new IllegalArgumentException
                        (str "No method in multimethod '" (:name s) "' for dispatch value: "
                             (if (nil? dispatch-val) "null" dispatch-val)))))
          (swap! state (fn [s] (if (identical? h (:cached-hierarchy s))
                                 (assoc-in s [:cache dispatch-val] m)
                                 (assoc s :cached-hierarchy h :cache {dispatch-val m}))))
          m))))

(defn- change-multi [multifn f & args]
  (swap! (multi-state multifn) (fn [s] (assoc (apply f s args) :cache {})))
  (-multi-changed)
  multifn)

(add-watch global-hierarchy ::multimethods -multi-changed)

(defn multifn*
  "Used by defmulti: the multimethod the var already holds, or a new one."
  [v name dispatch-fn default hierarchy]
  (if (and (bound? v) (contains? @multimethod-states @v))
    @v
    (let [state (atom {:name name :dispatch dispatch-fn :default default :hierarchy hierarchy
                       :methods {} :prefers {} :cache {}})
          f (-multifn (str (ns-name *ns*) "/" name) state dispatch-fn method-for (some? hierarchy))]
      (swap! multimethod-states assoc f state)
      f)))

(defmacro defmulti
  "Creates a new multimethod with the associated dispatch function. The docstring and attr-map are optional.
  Options are key-value pairs and may be one of:
  :default  The default dispatch value, defaults to :default
  :hierarchy  The value used for hierarchical dispatch (e.g. ::square is-a ::shape), a reference to a hierarchy"
  [mm-name & options]
  (let [docstring (if (string? (first options)) (first options) nil)
        options (if docstring (next options) options)
        attrs (if (map? (first options)) (first options) nil)
        options (if attrs (next options) options)
        dispatch-fn (first options)
        opts (apply hash-map (next options))
        m (cond-> (or (meta mm-name) {}) docstring (assoc :doc docstring) attrs (conj attrs))]
    `(let* [v# (def ~mm-name)]
       (def ~(with-meta mm-name m)
         (multifn* v# '~mm-name ~dispatch-fn ~(get opts :default :default) ~(get opts :hierarchy))))))

(defn add-method*
  "Used by defmethod: installs method for dispatch-val in multifn."
  [multifn dispatch-val method]
  (change-multi multifn assoc-in [:methods dispatch-val] method))

(defmacro defmethod
  "Creates and installs a new method of multimethod associated with dispatch-value."
  [multifn dispatch-val & fn-tail]
  `(add-method* ~multifn ~dispatch-val (fn ~@fn-tail)))

(defn remove-method "Removes the method of multimethod associated with dispatch-value." [multifn dispatch-val]
  (change-multi multifn update :methods dissoc dispatch-val))

(defn remove-all-methods "Removes all of the methods of multimethod." [multifn]
  (change-multi multifn assoc :methods {}))

(defn prefer-method
  "Causes the multimethod to prefer matches of dispatch-val-x over dispatch-val-y when there is a conflict"
  [multifn dispatch-val-x dispatch-val-y]
  (let [s @(multi-state multifn)]
    (when (prefers? (multi-hierarchy s) (:prefers s) dispatch-val-y dispatch-val-x)
      (throw (new IllegalStateException
                  (str "Preference conflict in multimethod '" (:name s) "': " dispatch-val-y
                       " is already preferred to " dispatch-val-x)))))
  (change-multi multifn update-in [:prefers dispatch-val-x] (fnil conj #{}) dispatch-val-y))

(defn methods "Given a multimethod, returns a map of dispatch values -> dispatch fns" [multifn]
  (:methods @(multi-state multifn)))

(defn prefers "Given a multimethod, returns a map of preferred value -> set of other values" [multifn]
  (:prefers @(multi-state multifn)))

(defn get-method
  "Given a multimethod and a dispatch value, returns the dispatch fn that would apply to that value, or nil if none
  apply and there is no default"
  [multifn dispatch-val]
  (let [s @(multi-state multifn)]
    (or (get (:methods s) dispatch-val) (find-method s (multi-hierarchy s) dispatch-val))))

;; print-method: how pr, print and str's printing show a value. Methods defined for a record, deftype or reify
;; type (or for a :type in a value's metadata) take over its printing; everything else prints as before.
(defmulti print-method
  "Prints x to writer as pr would. Add a method for a type to change how its values print."
  (fn [x writer] (let [t (get (meta x) :type)] (if (keyword? t) t (class x)))))

(defmethod print-method :default [x writer] (.write writer (if *print-readably* (pr-str x) (print-str x))))

(defn -user-print-method
  "The print-method method that prints x when one other than the default applies, else nil."
  [x]
  (let [t (get (meta x) :type)
        m (get-method print-method (if (keyword? t) t (class x)))]
    (when-not (identical? m (get-method print-method :default)) m)))

(-print-methods-on)
