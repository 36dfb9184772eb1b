;; clojure.pprint: the layout of maps, vectors, lists, sets and nested data at the default margin and at small ones,
;; *print-length* and *print-level*, pp, print-table and a few cl-format directives.
(require '[clojure.pprint :as pp])

(def nested {:name "orrery" :version [1 2 3] :deps {'a/b {:mvn/version "1.0.0"} 'c/d {:local/root "../d"}}
             :tags #{:x} :notes '("first note that is fairly long" "second note, also long enough to wrap")})
(pp/pprint nested)
(pp/pprint (vec (range 30)))
(pp/pprint (map #(hash-map :id % :label (str "item-" %)) (range 4)))
(pp/pprint [[1 2 [3 4 [5 6 [7 8]]]] {:a {:b {:c {:d {:e "deep"}}}}}])
(doseq [m [4 8 12 20 30]]
  (println "margin" m)
  (binding [pp/*print-right-margin* m]
    (pp/pprint {:alpha 1 :beta [10 20 30] :gamma {:x "x-ray" :y '(1 2 3)}})
    (pp/pprint '(defn f [x] (let [y (inc x)] (* y y))))))
(pp/pprint ['(quote x) '(var y) '(clojure.core/deref z) ''[1 2]])
(pp/pprint [nil true \c 1.5 2/3 "s\n" 'sym :k/w])
(pp/pprint {})
(pp/pprint (sorted-map :b 2 :a 1 :c 3))
(binding [*print-length* 3] (pp/pprint (range 10)) (pp/pprint {:a 1 :b 2 :c 3 :d 4}) (pp/pprint #{1}))
(binding [*print-level* 2] (pp/pprint [1 [2 [3 [4]]]]) (pp/pprint {:a {:b {:c 1}}}))
(defrecord Point [x y])
(pp/pprint (->Point 1 [2 3]))
(prn :string (with-out-str (pp/pprint [1 2])))
(let [w (java.io.StringWriter.)] (pp/pprint {:to :writer} w) (prn :writer (str w)))
(prn :returns (pp/pprint 1))
(prn :pp (do (def x 1) (with-out-str (pp/pprint :last))))
(pp/print-table [{:a 1 :b "two"} {:a 333 :b nil :c :extra}])
(pp/print-table [:b :a] [{:a 1 :b "two"} {:a 333}])
(pp/print-table [])
(prn :cl-format (pp/cl-format nil "~a and ~s~%" "x" "y") (with-out-str (pp/cl-format true "n=~d" 42)))
