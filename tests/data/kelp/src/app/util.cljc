(ns app.util)

(defn twice [x] (* 2 x))
(defn- hidden [] :secret)
