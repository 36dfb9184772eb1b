;; The JVM side of scripts/bench_collections.sh: the same persistent collection work as
;; bench/collections_bench.cpp, timed after warm-up. Prints one line per benchmark:
;;   <name> <median ms over the timed rounds>
;; then the process's peak resident memory:
;;   peak_rss_mib <MiB>
(set! *warn-on-reflection* true)

(def warmup-rounds 10)
(def timed-rounds 10)

(defn vector-conj-1m []
  (loop [v [] i 0]
    (if (< i 1000000) (recur (conj v i) (inc i)) v)))

(defn map-of-longs [n]
  (loop [m {} i 0]
    (if (< i n) (recur (assoc m i i) (inc i)) m)))

(defn hash-map-assoc-200k [] (map-of-longs 200000))

(def lookup-map (map-of-longs 200000))

(defn hash-map-lookup-1m []
  (let [^clojure.lang.IPersistentMap m lookup-map]
    (loop [i 0 sum 0]
      (if (< i 1000000)
        (recur (inc i) (+ sum (long (get m (rem i 200000)))))
        sum))))

(defn median [xs]
  (let [s (vec (sort xs)) n (count s)]
    (if (odd? n) (s (quot n 2)) (/ (+ (s (dec (quot n 2))) (s (quot n 2))) 2.0))))

(defn measure [f]
  (dotimes [_ warmup-rounds] (f))
  (median (for [_ (range timed-rounds)]
            (let [t0 (System/nanoTime)
                  r (f)]
              (when (nil? r) (throw (ex-info "no result" {})))
              (/ (- (System/nanoTime) t0) 1e6)))))

(doseq [[name f] [["BM_VectorConj1M" vector-conj-1m]
                  ["BM_HashMapAssoc200k" hash-map-assoc-200k]
                  ["BM_HashMapLookup1M" hash-map-lookup-1m]]]
  (println name (format "%.2f" (double (measure f)))))

;; VmHWM: the peak resident set size of this process, in kB.
(let [lines (java.nio.file.Files/readAllLines (java.nio.file.Paths/get "/proc/self/status" (make-array String 0)))
      line (first (filter #(.startsWith ^String % "VmHWM:") lines))
      kb (Long/parseLong (re-find #"\d+" line))]
  (println "peak_rss_mib" (format "%.1f" (/ kb 1024.0))))
(flush)
