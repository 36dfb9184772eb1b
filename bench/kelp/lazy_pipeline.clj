;; A lazy pipeline over a million numbers.
(println (reduce + (filter even? (map inc (range 1000000)))))
