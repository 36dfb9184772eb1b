;; Reads EDN texts with JVM Clojure and prints what it read, for the EDN agreement test.
;;
;; Usage: java -cp clojure.jar clojure.main edn_jvm.clj <infile> <outfile>
;; Each input line is "x" followed by the hex of one UTF-8 text. Each output line answers the input line of the
;; same number: "ok" and the hex of (pr-str v) unbounded, then under each print bound below; or "err" and the hex
;; of the exception message.
(require '[clojure.edn :as edn]
         '[clojure.string :as str]
         '[clojure.java.io :as io])

(def bounds [[nil 1] [2 nil] [0 nil] [3 2] [nil 0]])

(defn hex->text [^String h]
  (let [bs (byte-array (quot (count h) 2))]
    (dotimes [i (alength bs)]
      (aset-byte bs i (unchecked-byte (Integer/parseInt (subs h (* 2 i) (+ 2 (* 2 i))) 16))))
    (String. bs "UTF-8")))

(defn text->hex [^String s]
  (let [sb (StringBuilder.)]
    (doseq [b (.getBytes s "UTF-8")]
      (.append sb (format "%02x" (bit-and b 0xff))))
    (str sb)))

(defn answer [^String line]
  (try
    (let [v (edn/read-string {:readers {}} (hex->text (subs line 1)))]
      (str/join " " (cons "ok"
                          (map text->hex
                               (cons (pr-str v)
                                     (for [[l d] bounds]
                                       (binding [*print-length* l *print-level* d] (pr-str v))))))))
    (catch Throwable e
      (str "err " (text->hex (str (.getMessage e)))))))

(let [[in out] *command-line-args*]
  (binding [*print-namespace-maps* false
            *print-meta* false]
    (with-open [w (io/writer out :encoding "UTF-8")]
      (doseq [line (str/split-lines (slurp in :encoding "UTF-8"))]
        (.write w (str (answer line) "\n"))))))
