(ns conf.tool-main)

(defn -main [& args]
  (println "main" (pr-str args)))
