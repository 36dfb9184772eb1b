;; clojure.template: substituting argument symbols into a form, and repeating a form over groups of values.
(require '[clojure.template :as t])

(prn :apply (t/apply-template '[x y] '(+ x (* y y)) '[2 3]) (t/apply-template '[x] '[x {x x} (x)] '[:a]))
(prn :unused (t/apply-template '[x y] '(f x) '[1]) (t/apply-template '[a] '(g b) '[1]))
(prn :nested-values (t/apply-template '[x] '(list x) '[(+ 1 2)]))
(prn :expand (macroexpand '(clojure.template/do-template [x y] (println x y) 1 2 3 4)))
(prn :partial-group (macroexpand '(clojure.template/do-template [x y] (f x y) 1 2 3)))
(t/do-template [op a b] (prn :do (quote op) (op a b)) + 1 2, * 3 4, str "a" "b")
(prn :asserts (try (t/apply-template '(x) 'x '[1]) (catch Throwable e (class e)))
     (try (t/apply-template '[:x] 'x '[1]) (catch Throwable e (class e))))
