;; clojure.test over a namespace loaded from a file: the file and line of each failure, testing contexts, are,
;; an erroring test, fixtures and the summary.
(require '[clojure.test :as t] 'conf.sample-test)

(defn without-frames [s]
  (->> (clojure.string/split-lines s)
       (remove #(or (.startsWith ^String % " at ") (.startsWith ^String % "    ")))
       (clojure.string/join "\n")))

(let [out (java.io.StringWriter.)
      summary (binding [t/*test-out* out] (t/run-tests 'conf.sample-test))]
  (println (without-frames (str out)))
  (prn :summary summary)
  (prn :events @conf.sample-test/events)
  (prn :successful (t/successful? summary)))
(prn :run-all (binding [t/*test-out* (java.io.StringWriter.)] (t/run-all-tests #"conf\.sample.*")))
(prn :test-var (with-out-str (binding [t/*test-out* *out*] (t/test-var #'conf.sample-test/strings))))
