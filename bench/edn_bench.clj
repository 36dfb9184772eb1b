;; The JVM side of scripts/bench_edn.sh: clojure.edn/read-string and pr-str over the text that
;; bench/edn_bench.cpp generates (its path is the first argument), timed after warm-up. Prints
;;   <name> <median ms> <MB/s>
(require '[clojure.edn :as edn])

(def text (slurp (first *command-line-args*) :encoding "UTF-8"))
(def text-bytes (alength (.getBytes ^String text "UTF-8")))

(defn median [xs]
  (let [s (vec (sort xs)) n (count s)]
    (if (odd? n) (s (quot n 2)) (/ (+ (s (dec (quot n 2))) (s (quot n 2))) 2.0))))

(defn measure [f]
  (dotimes [_ 10] (f))
  (median (for [_ (range 10)]
            (let [t0 (System/nanoTime)
                  r (f)]
              (when (nil? r) (throw (ex-info "no result" {})))
              (/ (- (System/nanoTime) t0) 1e6)))))

(def value (edn/read-string text))
(def printed-bytes (alength (.getBytes ^String (pr-str value) "UTF-8")))

(doseq [[name f bytes] [["BM_ReadEdn" #(edn/read-string text) text-bytes]
                        ["BM_PrintEdn" #(pr-str value) printed-bytes]]]
  (let [ms (double (measure f))]
    (println name (format "%.2f" ms) (format "%.1f" (/ (/ bytes 1048576.0) (/ ms 1000.0))))))
(flush)
