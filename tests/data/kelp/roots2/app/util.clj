(ns app.util)

(defn twice [x] (+ x x 1000))
