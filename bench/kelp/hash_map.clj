;; 200 k rounds of assoc, update and dissoc on a persistent hash map.
(let [m (loop [i 0 m {}]
          (if (< i 200000)
            (recur (inc i) (-> m (assoc i i) (update (quot i 2) (fnil inc 0)) (dissoc (- i 1000))))
            m))]
  (println (count m) (reduce + (vals m))))
