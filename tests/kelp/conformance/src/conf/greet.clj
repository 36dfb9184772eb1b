(ns conf.greet
  "Greetings, for the namespace tests."
  (:require [clojure.string :as s]
            [conf.util.text-tools :as tt :refer [shout]]))

(def ^:private secret :hidden)
(def counter (atom 0))
(swap! counter inc)  ; counts loads: a second require must not load again

(defn hello [who] (str "Hello, " (shout who) "!"))
(defn loud-words [text] (map shout (s/split text #" ")))
(defn secret-value [] secret)
(defmacro twice [x] `(do ~x ~x))
