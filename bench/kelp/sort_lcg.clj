;; Sorting 200 k numbers from a linear congruential generator (the MINSTD one: exact in doubles too).
(let [xs (take 200000 (iterate (fn [x] (mod (* x 48271) 2147483647)) 42))
      s (sort xs)]
  (println (first s) (nth s 100000) (last s)))
