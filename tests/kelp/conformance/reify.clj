;; reify.
(defn short-message [m]
  (if (and m (.contains m "cannot be cast")) (re-find #"^class \S+ cannot be cast to class [\w.$]+" m) m))
(defn msg [f] (try (f) :no-throw (catch Throwable e [(.getSimpleName (class e)) (short-message (ex-message e))])))
(prn :illegal-state (msg #(deref (reify clojure.lang.IDeref (deref [_] (throw (IllegalStateException. "custom")))))))
