(in-ns 'clojure.core)
