;; Prints "start-line end-line" for each top-level form of a Clojure source on the class path (default
;; clojure/core.clj), as JVM Clojure's reader reads it. The start is the line of the form's first character
;; after whitespace, commas, line comments and #_ discards; the end is the reader's line right after the form.
(import '(clojure.lang LineNumberingPushbackReader))

(defn skip-blank
  "Consumes whitespace, commas, ; comments and #_ discards; leaves the next character unread."
  [^LineNumberingPushbackReader r]
  (loop []
    (let [c (.read r)]
      (cond
        (= c -1) nil
        (or (Character/isWhitespace (char c)) (= c (int \,))) (recur)
        (= c (int \;)) (do (loop [] (let [d (.read r)] (when-not (or (= d -1) (= d (int \newline))) (recur))))
                           (recur))
        ;; a #_ discard and the form it discards count as blank too
        (= c (int \#)) (let [d (.read r)]
                          (if (= d (int \_))
                            (do (read r) (recur))
                            (do (when-not (= d -1) (.unread r d)) (.unread r c))))
        :else (.unread r c)))))

(let [resource (or (first *command-line-args*) "clojure/core.clj")
      r (LineNumberingPushbackReader. (java.io.InputStreamReader. (.openStream (clojure.java.io/resource resource))
                                                                  "UTF-8")
                                         2)
      eof (Object.)]
  (binding [*ns* (create-ns 'clojure.core)]
    (loop []
      (skip-blank r)
      (let [start (.getLineNumber r)
            form (read r false eof)]
        (when-not (identical? form eof)
          (println start (.getLineNumber r))
          (recur))))))
