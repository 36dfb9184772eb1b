;; A 10 M iteration loop/recur sum.
(println (loop [i 0 s 0] (if (< i 10000000) (recur (inc i) (+ s i)) s)))
