(in-ns 'clojure.core)

(defmacro with-out-str
  "Evaluates exprs in a context in which *out* is bound to a fresh
  StringWriter.  Returns the string created by any nested printing
  calls."
  [& body]
  `(kelp.io/call-with-out-str (fn [] ~@body)))

(defmacro with-in-str
  "Evaluates body in a context in which *in* is bound to a fresh
  StringReader initialized with the string s."
  [s & body]
  `(kelp.io/call-with-in-str ~s (fn [] ~@body)))
