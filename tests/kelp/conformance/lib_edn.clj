;; clojure.edn: reading values from strings and streams, tagged elements, :eof and the errors people meet.
(require '[clojure.edn :as edn])

(prn :values (edn/read-string "{:a [1 2.5 \"s\" \\c] :b #{sym ns/sym} :c (nil true false) :d 22N :e 1.5M}"))
(prn :first-only (edn/read-string "1 2") (edn/read-string "  ;; comment\n :k") (edn/read-string "#_ 1 2"))
(prn :empty (edn/read-string "") (edn/read-string "  ") (edn/read-string nil) (edn/read-string {:eof :done} ""))
(prn :builtin-tags (edn/read-string "#inst \"2020-01-02T03:04:05.000-00:00\"")
     (edn/read-string "#uuid \"00000000-0000-0000-0000-000000000001\""))
(prn :readers (edn/read-string {:readers {'point (fn [[x y]] {:x x :y y})}} "#point [1 2]"))
(prn :default (edn/read-string {:default (fn [tag v] [:tagged tag v])} "#my/tag {:a 1}"))
(prn :readers-before-default (edn/read-string {:readers {'a inc} :default (fn [_ _] :default)} "[#a 1 #b 2]"))
(prn :no-eval (edn/read-string "(+ 1 2)") (class (edn/read-string "(+ 1 2)")))
(prn :ns-map (edn/read-string "#:p{:a 1 :b 2}"))
(prn :meta (meta (edn/read-string "^:m [1]")))
(let [r (java.io.PushbackReader. (java.io.StringReader. "1 [2 3] {:k v}"))]
  (prn :stream (edn/read r) (edn/read r) (edn/read r) (edn/read {:eof ::end} r))
  (prn :stream-eof (try (edn/read r) (catch Exception e (.getMessage e)))))
(prn :code-chars-inside (edn/read-string "[\"@~`#(\" \\@ :k#]"))
(doseq [s ["#foo 1" "{:a" "[1 2" "{:a 1 :a 2}" "#{1 1}" ")" "::k" "[1 @a]" "`a" "~a" "#(inc %)" "#'v" "#=(+ 1 2)"
           "#?(:clj 1)" "#\"re\"" "#_@x 1" "{:a ::b}"]]
  (prn :error s (try (edn/read-string s) (catch Exception e [(class e) (.getMessage e)]))))
