;; Building a long string from 100 k pieces.
(let [s (apply str (map (fn [i] (str i ",")) (range 100000)))]
  (println (count s) (subs s 0 20)))
