;; Protocols, records and types.
(defprotocol Greet (greet [this]) (greet-with [this greeting]))
(defrecord Person [name] Greet (greet [_] (str "hi " name)) (greet-with [_ g] (str g " " name)))
(extend-protocol Greet String (greet [s] (str "str " s)) (greet-with [s g] (str g s)))
(prn :protocols (greet (->Person "ann")) (greet-with (Person. "bob") "yo") (greet "x") (satisfies? Greet "s") (satisfies? Greet 1))
(prn :records (->Person "c") (:name (map->Person {:name "d"})) (assoc (->Person "e") :age 3) (= (->Person "f") (->Person "f")) (record? (->Person "g")))
(deftype Box [v] clojure.lang.IDeref (deref [_] v))
(prn :deftype @(Box. 7) (.-v (Box. 8)))
