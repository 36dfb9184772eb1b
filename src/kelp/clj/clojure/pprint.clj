(ns ^{:doc "A pretty printer for data: collections that do not fit in the right margin are broken over lines, each
  nested collection indented under its opening bracket."}
  clojure.pprint
  (:require [clojure.string :as str]))

(def ^:dynamic *print-right-margin*
  "Pretty printing will try to avoid anything going beyond this column."
  72)

(def ^:dynamic *print-miser-width*
  "The column at which to enter miser style. Kept for compatibility: data is laid out without miser style."
  40)

(def ^:dynamic *print-pretty* "Bind to true if you want write to use pretty printing" true)

(def ^:dynamic *print-base* "The base to use for printing integers and rationals." 10)

(def ^:dynamic *print-radix* "Print a radix specifier in front of integers and rationals" nil)

(def ^:dynamic *print-suppress-namespaces*
  "Don't print namespaces with symbols. This is particularly useful when pretty printing the results of macro
  expansions"
  nil)

;; The layout works on a document: a string is text that never breaks; a block is
;; {:prefix :suffix :items :width} whose items are documents and :nl, a place where the block may break. A block
;; breaks all of its places or none: it breaks when the text from its first place to the end of the block, and on
;; to the next place its enclosing blocks may break at, does not fit before the right margin. A broken place starts
;; a new line indented to the column just after the block's prefix.

(defn- doc-width [d]
  (cond (string? d) (count d)
        (map? d) (:width d)
        :else 0))

(defn- block [prefix items suffix]
  {:prefix prefix :suffix suffix :items items
   :width (+ (count prefix) (count suffix) (reduce + 0 (map doc-width items)))})

(def ^:private reader-macros
  {'quote "'" 'clojure.core/deref "@" 'var "#'" 'clojure.core/unquote "~"})

(declare ^:private document)

(defn- joined
  "The documents of xs, each after the first preceded by sep and a place to break, cut at *print-length*."
  [xs sep level to-doc]
  (loop [xs (seq xs) n 0 out []]
    (cond
      (nil? xs) out
      (and *print-length* (>= n *print-length*)) (conj out "...")
      :else (let [out (conj out (to-doc (first xs) level))]
              (if (next xs)
                (recur (next xs) (inc n) (conj out sep :nl))
                out)))))

(defn- coll-doc [prefix xs suffix sep level to-doc]
  (if (and *print-level* (>= level *print-level*))
    "#"
    (block prefix (joined xs sep (inc level) to-doc) suffix)))

(defn- entry-doc [[k v] level]
  (if (and *print-level* (>= level *print-level*))
    "#"
    (block "" [(document k (inc level)) " " :nl (document v (inc level))] "")))

(defn- lift-ns
  "When every key of m is a keyword or symbol of one namespace: that namespace and the entries with the keys
  stripped of it."
  [m]
  (when (seq m)
    (loop [ns nil [[k v :as e] & more :as es] (seq m) out []]
      (if-not es
        [ns out]
        (when (or (keyword? k) (symbol? k))
          (let [kns (namespace k)]
            (when (and kns (or (nil? ns) (= ns kns)))
              (recur kns more (conj out [(if (keyword? k) (keyword (name k)) (symbol (name k))) v])))))))))

(defn- document [x level]
  (cond
    (map? x) (if-let [[ns entries] (when-not (record? x) (lift-ns x))]
               (coll-doc (str "#:" ns "{") entries "}" ", " level entry-doc)
               (coll-doc "{" x "}" ", " level entry-doc))
    (vector? x) (coll-doc "[" x "]" " " level document)
    (set? x) (coll-doc "#{" x "}" " " level document)
    (and (seq? x) (reader-macros (first x)) (next x) (nil? (nnext x)))
    (block (reader-macros (first x)) [(document (second x) level)] "")
    (or (seq? x) (list? x)) (coll-doc "(" x ")" " " level document)
    (instance? java.util.List x) (coll-doc "[" (seq x) "]" " " level document)
    (instance? java.util.Map x) (coll-doc "{" (seq (into {} x)) "}" ", " level entry-doc)
    :else (pr-str x)))

(defn- rest-width
  "The width of items from index i up to the next place to break (or the end), and whether a place ended it."
  [items i]
  (loop [i i w 0]
    (if (< i (count items))
      (let [d (nth items i)]
        (if (= d :nl) [w true] (recur (inc i) (+ w (doc-width d)))))
      [w false])))

(defn- layout
  "Writes d, as chunks of text, to out (a volatile holding a transient vector) starting at column col; after is the
  width that follows d up to the next place an enclosing block may break. Returns the column where d ends."
  [out d col after margin]
  (cond
    (string? d) (do (vswap! out conj! d) (+ col (count d)))
    (map? d)
    (let [{:keys [prefix suffix items]} d
          _ (vswap! out conj! prefix)
          indent (+ col (count prefix))
          n (count items)
          tail-after (+ (count suffix) after)
          ;; The whole block fits when the text from its first place on does; without places it never breaks.
          break? (let [first-nl (first (keep-indexed (fn [i x] (when (= x :nl) i)) items))]
                   (when first-nl
                     (let [before (reduce + indent (map doc-width (take first-nl items)))
                           rest-w (reduce + 0 (map doc-width (drop first-nl items)))]
                       (> (+ before rest-w tail-after) margin))))
          margin-text (when break? (str "\n" (apply str (repeat indent " "))))]
      (loop [i 0 col indent]
        (if (< i n)
          (let [x (nth items i)]
            (if (= x :nl)
              (if break?
                (let [prev (when (pos? i) (nth items (dec i)))]
                  ;; The separator's trailing blanks (the chunk just written) do not end a broken line.
                  (if (string? prev)
                    (vswap! out #(-> % pop! (conj! (str/trimr prev)) (conj! margin-text)))
                    (vswap! out conj! margin-text))
                  (recur (inc i) indent))
                (recur (inc i) col))
              (let [[w ends-at-nl] (rest-width items (inc i))
                    following (if ends-at-nl w (+ w tail-after))]
                (recur (inc i) (layout out x col following margin)))))
          (do (vswap! out conj! suffix) (+ col (count suffix))))))
    :else col))

(defn- pprint-str [x]
  (let [out (volatile! (transient []))]
    (layout out (document x 0) 0 0 *print-right-margin*)
    (apply str (persistent! @out))))

(defn simple-dispatch
  "The pretty print dispatch function for simple data structure format."
  [object]
  (print (pprint-str object)))

(defn code-dispatch
  "The pretty print dispatch function for pretty printing Clojure code. kelp lays code out as it does data."
  [object]
  (print (pprint-str object)))

(def ^:dynamic *print-pprint-dispatch*
  "The pretty print dispatch function. Use with-pprint-dispatch or set-pprint-dispatch to modify."
  simple-dispatch)

(defn set-pprint-dispatch
  "Set the pretty print dispatch function to a function matching (fn [obj] ...)."
  [function]
  (alter-var-root #'*print-pprint-dispatch* (constantly function))
  nil)

(defmacro with-pprint-dispatch
  "Execute body with the pretty print dispatch function bound to function."
  [function & body]
  `(binding [*print-pprint-dispatch* ~function] ~@body))

(defn pprint
  "Pretty print object to the optional output writer. If the writer is not provided, print the object to the
  currently bound value of *out*."
  ([object] (pprint object *out*))
  ([object writer]
   (let [text (str (if (#{simple-dispatch code-dispatch} *print-pprint-dispatch*)
                     (pprint-str object)
                     (with-out-str (*print-pprint-dispatch* object)))
                   "\n")]
     (if (identical? writer *out*)
       (print text)
       (.write writer text))
     nil)))

(defmacro pp
  "A convenience macro that pretty prints the last thing output. This is exactly equivalent to (pprint *1)."
  []
  `(pprint *1))

(defn write
  "Write an object with the pretty printer's layout. Returns the string when :stream is nil, else nil after
  writing to :stream (default *out*)."
  [object & kw-args]
  (let [{:keys [stream pretty right-margin] :or {stream true pretty true}} (apply hash-map kw-args)
        text (binding [*print-right-margin* (or right-margin *print-right-margin*)]
               (if pretty (pprint-str object) (pr-str object)))]
    (cond
      (nil? stream) text
      (true? stream) (print text)
      :else (.write stream text))))

(defn print-table
  "Prints a collection of maps in a textual table. Prints table headings ks, and then a line of output for each
  row, corresponding to the keys in ks. If ks are not specified, use the keys of the first item in rows."
  ([ks rows]
   (when (seq rows)
     (let [widths (map (fn [k] (apply max (count (str k)) (map #(count (str (get % k))) rows))) ks)
           spacers (map #(apply str (repeat % "-")) widths)
           fmts (map #(str "%" % "s") widths)
           fmt-row (fn [leader divider trailer row]
                     (str leader
                          (apply str (interpose divider (for [[col fmt] (map vector (map #(get row %) ks) fmts)]
                                                          (format fmt (str col)))))
                          trailer))]
       (println)
       (println (fmt-row "| " " | " " |" (zipmap ks ks)))
       (println (fmt-row "|-" "-+-" "-|" (zipmap ks spacers)))
       (doseq [row rows]
         (println (fmt-row "| " " | " " |" row))))))
  ([rows] (print-table (keys (first rows)) rows)))

(defn- cl-directive [^String fmt i args]
  (let [c (Character/toLowerCase (.charAt fmt i))]
    (case c
      \a [(print-str (first args)) (rest args)]
      \s [(pr-str (first args)) (rest args)]
      \d [(str (first args)) (rest args)]
      \% ["\n" args]
      \& ["\n" args]
      \~ ["~" args]
      (throw (IllegalArgumentException. (str "kelp's cl-format has no directive ~" c))))))

(defn cl-format
  "A small part of Common Lisp's format: the directives ~a ~s ~d ~% ~& and ~~. writer is nil (answer a string),
  true (print to *out*) or a writer."
  [writer format-in & args]
  (let [^String fmt format-in
        n (count fmt)
        text (loop [i 0 args args out (StringBuilder.)]
               (if (< i n)
                 (let [ch (.charAt fmt i)]
                   (if (and (= ch \~) (< (inc i) n))
                     (let [[s more] (cl-directive fmt (inc i) args)]
                       (recur (+ i 2) more (.append out ^String s)))
                     (recur (inc i) args (.append out ch))))
                 (str out)))]
    (cond
      (nil? writer) text
      (true? writer) (print text)
      :else (.write writer text))))
