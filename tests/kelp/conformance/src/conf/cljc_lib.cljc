(ns conf.cljc-lib)
(def platform #?(:clj :jvm-or-kelp :cljs :js))
