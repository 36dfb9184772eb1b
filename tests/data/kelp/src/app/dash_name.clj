(ns app.dash-name
  "A lib whose name has a dash."
  (:require [app.util :as u :refer [twice]]))

(defn quad [x] (twice (u/twice x)))
