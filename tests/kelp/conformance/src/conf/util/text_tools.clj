(ns conf.util.text-tools
  (:refer-clojure :exclude [replace]))

(defn shout [s] (.toUpperCase (str s)))
(defn replace [s] (str "replaced:" s))
(defn whisper [s] (.toLowerCase (str s)))
