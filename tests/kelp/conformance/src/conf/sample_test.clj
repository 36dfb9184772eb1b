(ns conf.sample-test
  (:require [clojure.test :refer [deftest is are testing use-fixtures]]))

(def events (atom []))
(use-fixtures :each (fn [f] (swap! events conj :before) (f) (swap! events conj :after)))

(deftest arithmetic
  (testing "addition"
    (is (= 4 (+ 2 2)))
    (is (= 5 (+ 2 2)) "two and two"))
  (testing "table"
    (are [a b] (= a (* 2 b))
      2 1
      4 2
      7 3)))

(deftest broken
  (is (= 1 (count (throw (ex-info "kaput" {:why :test}))))))

(deftest strings
  (is (re-find #"ell" "hello"))
  (is (not (clojure.string/blank? ""))))
