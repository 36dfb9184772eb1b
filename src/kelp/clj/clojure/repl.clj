(ns clojure.repl
  "Tools for the REPL: documentation, searching the loaded namespaces, listing a namespace's vars.")

(def ^:private special-forms
  '{def {:forms [(def symbol doc-string? init?)]
         :doc "Creates and interns a global var with the name of symbol in the current namespace."}
    if {:forms [(if test then else?)]
        :doc "Evaluates test; when it is neither nil nor false yields then, otherwise else (nil when absent)."}
    do {:forms [(do exprs*)]
        :doc "Evaluates the expressions in order and yields the value of the last (nil when there are none)."}
    let {:forms [(let [bindings*] exprs*)]
         :doc "Binds names to values in a lexical context, then evaluates the body."}
    quote {:forms [(quote form)] :doc "Yields the unevaluated form."}
    var {:forms [(var symbol)] :doc "The symbol must resolve to a var; yields the var itself, not its value."}
    fn {:forms [(fn name? [params*] exprs*) (fn name? ([params*] exprs*) +)]
        :doc "Defines a function."}
    loop {:forms [(loop [bindings*] exprs*)]
          :doc "Like let, but establishes a recursion point at the top of the loop."}
    recur {:forms [(recur exprs*)]
           :doc "Rebinds the recursion point's bindings and jumps back to it; only in tail position."}
    throw {:forms [(throw expr)] :doc "Throws the exception that expr yields."}
    try {:forms [(try expr* catch-clause* finally-clause?)]
         :doc "Evaluates the expressions; a throw is handled by the first catch whose class matches, and the finally
  clause always runs."}
    monitor-enter {:forms [(monitor-enter x)] :doc "A synchronization primitive; use locking instead."}
    monitor-exit {:forms [(monitor-exit x)] :doc "A synchronization primitive; use locking instead."}
    new {:forms [(Classname. args*) (new Classname args*)] :doc "Makes a new instance of the class."}
    set! {:forms [(set! var-symbol expr)] :doc "Sets the thread-local binding of a dynamic var."}
    . {:forms [(.instanceMember instance args*) (Classname/staticMethod args*)]
       :doc "Calls a method of an object or a class."}})

(defn- special-doc [name-symbol]
  (assoc (special-forms (get '{& fn catch try finally try} name-symbol name-symbol))
         :name name-symbol
         :special-form true))

(defn- namespace-doc [nspace]
  (assoc (meta nspace) :name (ns-name nspace)))

(defn- print-doc [{n :ns nm :name :keys [forms arglists special-form doc macro]}]
  (println "-------------------------")
  (println (str (when n (str (ns-name (the-ns n)) "/")) nm))
  (cond
    forms (doseq [f forms] (print "  ") (prn f))
    arglists (prn arglists))
  (cond
    special-form (println "Special Form")
    macro (println "Macro"))
  (when doc (println " " doc)))

(defmacro doc
  "Prints documentation for a var, a special form or a namespace, given its name."
  [name]
  (let [special (get '{& fn catch try finally try} name name)]
    (cond
      (contains? special-forms special) `(#'clojure.repl/print-doc (#'clojure.repl/special-doc '~name))
      (and (symbol? name) (find-ns name)) `(#'clojure.repl/print-doc (#'clojure.repl/namespace-doc (find-ns '~name)))
      (var? (resolve name)) `(#'clojure.repl/print-doc (meta (var ~name))))))

(defn find-doc
  "Prints documentation for every var and namespace whose documentation or name matches the pattern (a regex or a
  string)."
  [re-string-or-pattern]
  (let [re (re-pattern re-string-or-pattern)
        matches? (fn [m] (and (:doc m)
                              (or (re-find re (:doc m)) (re-find re (str (:name m))))))]
    (doseq [m (concat (mapcat (fn [nspace] (sort-by :name (map meta (vals (ns-interns nspace))))) (all-ns))
                      (map namespace-doc (all-ns))
                      (map special-doc (keys special-forms)))
            :when (matches? m)]
      (print-doc m))))

(defn apropos
  "The qualified names of the public vars of every loaded namespace whose name contains the string, or matches the
  regex, sorted."
  [str-or-pattern]
  (let [matches? (if (instance? java.util.regex.Pattern str-or-pattern)
                   #(re-find str-or-pattern (str %))
                   #(clojure.string/includes? (str %) (str str-or-pattern)))]
    (sort (mapcat (fn [nspace]
                    (let [ns-str (str (ns-name nspace))]
                      (map #(symbol ns-str (str %)) (filter matches? (keys (ns-publics nspace))))))
                  (all-ns)))))

(defn dir-fn
  "The sorted names of the public vars of a namespace (or a symbol naming one)."
  [ns]
  (sort (map first (ns-publics (the-ns ns)))))

(defmacro dir
  "Prints the sorted names of the public vars of a namespace."
  [nsname]
  `(doseq [v# (dir-fn '~nsname)] (println v#)))

(def ^:private demunge-map
  {"_COLON_" ":" "_PLUS_" "+" "_GT_" ">" "_LT_" "<" "_EQ_" "=" "_TILDE_" "~" "_BANG_" "!" "_CIRCA_" "@"
   "_SHARP_" "#" "_SINGLEQUOTE_" "'" "_DOUBLEQUOTE_" "\"" "_PERCENT_" "%" "_CARET_" "^" "_AMPERSAND_" "&"
   "_STAR_" "*" "_BAR_" "|" "_LBRACE_" "{" "_RBRACE_" "}" "_LBRACK_" "[" "_RBRACK_" "]" "_SLASH_" "/"
   "_BSLASH_" "\\" "_QMARK_" "?"})

(defn demunge
  "The Clojure name a munged class name stands for: clojure.core$_PLUS_ reads clojure.core/+."
  [fn-name]
  (let [part (fn [s]
               (-> s
                   (clojure.string/replace #"_[A-Z]+_" #(get demunge-map % %))
                   (clojure.string/replace "_" "-")))]
    (clojure.string/join "/" (map part (clojure.string/split fn-name #"\$")))))

(defn source-fn
  "Returns a string of the source code for the given symbol, if it can find it. This requires that the symbol
  resolve to a Var defined in a namespace for which the source is on the source roots, or one defined at the REPL
  or by evaluating text. Returns nil if it can't find the source. For most REPL usage, 'source' is more convenient.

  Example: (source-fn 'filter)"
  [x]
  (when-let [v (resolve x)]
    (when (var? v)
      (kelp.libs/source-text v))))

(defmacro source
  "Prints the source code for the given symbol, if it can find it. This requires that the symbol resolve to a Var
  defined in a namespace for which the source is available.

  Example: (source filter)"
  [n]
  `(println (or (source-fn '~n) (str "Source not found"))))

(defn root-cause
  "Returns the initial cause of an exception or error by peeling off all of its wrappers"
  [t]
  (loop [cause t]
    (if (and (instance? clojure.lang.Compiler$CompilerException cause)
             (not= (:clojure.error/source (ex-data cause)) "NO_SOURCE_FILE"))
      cause
      (if-let [c (.getCause cause)]
        (recur c)
        cause))))

(defn stack-element-str
  "Returns a (possibly unmunged) string representation of a stack frame"
  [el]
  (if (vector? el)
    (let [[f file line] el]
      (str f " (" (if (seq file) file "NO_SOURCE_FILE") ":" line ")"))
    (str el)))

(defn pst
  "Prints a stack trace of the exception, to the depth requested. If none supplied, uses the root cause of the
  most recent repl exception (*e), and a depth of 12."
  ([] (pst 12))
  ([e-or-depth]
   (if (instance? Throwable e-or-depth)
     (pst e-or-depth 12)
     (when-let [e *e]
       (pst (root-cause e) e-or-depth))))
  ([e depth]
   (binding [*out* *err*]
     (when (#{:read-source :macro-syntax-check :macroexpansion :compile-syntax-check :compilation}
            (-> e ex-data :clojure.error/phase))
       (println "Note: The following stack trace applies to the reader or compiler, your code was not executed."))
     (println (str (-> e class .getSimpleName) " "
                   (.getMessage e)
                   (when-let [info (ex-data e)] (str " " (pr-str info)))))
     (let [st (.getStackTrace e)
           cause (.getCause e)]
       (doseq [el (take depth st)]
         (println (str \tab (stack-element-str el))))
       (when cause
         (println "Caused by:")
         (pst cause (min depth (+ 2 (- (count (.getStackTrace cause)) (count (.getStackTrace e)))))))))))
