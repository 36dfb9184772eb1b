(ns ^{:doc "edn reading: data in the extensible data notation, with no code evaluated and tagged elements read by
  the functions the caller names."}
  clojure.edn
  (:refer-clojure :exclude [read read-string]))

(defn read
  "Reads the next object from stream, which must be an instance of java.io.PushbackReader or some derivee. stream
  defaults to the current value of *in*.

  Reads data in the edn format (subset of Clojure data): http://edn-format.org

  opts is a map that can include the following keys:
  :eof - value to return on end-of-file. When not supplied, eof throws an exception.
  :readers  - a map of tag symbols to data-reader functions to be considered before default-data-readers. When
              not supplied, only the default-data-readers will be used.
  :default - A function of two args, that will, if present and no reader is found for a tag, be called with the
             tag and the value."
  ([] (read *in*))
  ([stream] (read {} stream))
  ([opts stream] (kelp.libs/edn-read opts stream)))

(defn read-string
  "Reads one object from the string s. Returns nil when s is nil or empty.

  Reads data in the edn format (subset of Clojure data): http://edn-format.org

  opts is a map as per clojure.edn/read"
  ([s] (read-string {:eof nil} s))
  ([opts s] (kelp.libs/edn-read-string opts s)))
