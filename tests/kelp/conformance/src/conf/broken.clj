(ns conf.broken)
(defn fine [] :fine)
(this-does-not-resolve)
