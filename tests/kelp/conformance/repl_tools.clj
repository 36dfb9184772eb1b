(ns repl-demo.core
  "A namespace for the repl tools.")

(defn greet
  "Says hello to someone.
  Twice, on two lines."
  ([] (greet "you"))
  ([who] (str "hello " who)))

(defmacro unless-zz "Runs body unless test." [test & body] `(if ~test nil (do ~@body)))

(def ^{:doc "A documented value."} answer-zz 42)
(def undocumented-zz 1)
(defn- hidden-zz "not public" [] 1)

(ns user (:require [clojure.repl :refer [doc find-doc apropos dir dir-fn]]))

(doc repl-demo.core/greet)
(doc repl-demo.core/unless-zz)
(doc repl-demo.core/answer-zz)
(doc repl-demo.core/undocumented-zz)
(doc repl-demo.core)
(dir repl-demo.core)
(prn (dir-fn 'repl-demo.core))
(prn (apropos "-zz"))
(prn (apropos #"unless-z+"))
(find-doc "Runs body unless")
(prn (with-out-str (doc no-such-thing-zz)))
(println (clojure.repl/demunge "repl_demo.core$greet"))
(println (clojure.repl/demunge "clojure.core$_PLUS_"))
