(ns ^{:doc "Files, readers, writers and byte streams: coercing paths, strings and URLs to them, copying between
  them, and finding resources on the source roots."}
  clojure.java.io)

(defn as-file
  "Coerce argument to a file."
  [x]
  (kelp.libs/as-file x))

(defn as-url
  "Coerce argument to a URL."
  [x]
  (cond
    (nil? x) nil
    (instance? java.net.URL x) x
    :else (.toURL (as-file (if (string? x) (clojure.string/replace-first x #"^file:" "") x)))))

(defn as-relative-path
  "Take an as-file-able thing and return a string if it is a relative path, else IllegalArgumentException."
  [x]
  (let [f (as-file x)]
    (if (.isAbsolute f)
      (throw (IllegalArgumentException. (str f " is not a relative path")))
      (.getPath f))))

(defn file
  "Returns a java.io.File, passing each arg to as-file.  Multiple-arg versions treat the first argument as parent
  and subsequent args as children relative to the parent."
  ([arg] (as-file arg))
  ([parent child] (kelp.libs/file-child parent child))
  ([parent child & more] (reduce file (file parent child) more)))

(defn reader
  "Attempts to coerce its argument into an open java.io.Reader. Default implementations always return a
  java.io.BufferedReader.

  Default implementations are provided for Reader, BufferedReader, InputStream, File, URL, and String (a path or
  a file: URL).

  Should be used inside with-open to ensure the Reader is properly closed."
  [x & opts]
  (apply kelp.libs/reader x opts))

(defn writer
  "Attempts to coerce its argument into an open java.io.Writer. Default implementations always return a
  java.io.BufferedWriter.

  Default implementations are provided for Writer, BufferedWriter, File and String (a path). Given :append true,
  writes go to the end of an existing file.

  Should be used inside with-open to ensure the Writer is properly closed."
  [x & opts]
  (apply kelp.libs/writer x opts))

(defn input-stream
  "Attempts to coerce its argument into an open java.io.InputStream. Default implementations always return a
  java.io.BufferedInputStream.

  Should be used inside with-open to ensure the InputStream is properly closed."
  [x & opts]
  (apply kelp.libs/input-stream x opts))

(defn output-stream
  "Attempts to coerce its argument into an open java.io.OutputStream. Default implementations always return a
  java.io.BufferedOutputStream. Given :append true, writes go to the end of an existing file.

  Should be used inside with-open to ensure the OutputStream is properly closed."
  [x & opts]
  (apply kelp.libs/output-stream x opts))

(defn make-reader "Creates a BufferedReader." [x opts] (apply reader x (mapcat identity opts)))
(defn make-writer "Creates a BufferedWriter." [x opts] (apply writer x (mapcat identity opts)))
(defn make-input-stream "Creates a BufferedInputStream." [x opts] (apply input-stream x (mapcat identity opts)))
(defn make-output-stream "Creates a BufferedOutputStream." [x opts] (apply output-stream x (mapcat identity opts)))

(defn copy
  "Copies input to output.  Returns nil or throws IOException.

  Input may be an InputStream, Reader, File or String. Output may be an OutputStream, Writer, or File.

  Does not close any streams except those it opens itself (on a File)."
  [input output & opts]
  (apply kelp.libs/copy input output opts))

(defn resource
  "Returns the URL for a named resource, found on the source roots; nil when there is none."
  ([n] (kelp.libs/resource n))
  ([n loader] (kelp.libs/resource n)))

(defn make-parents
  "Given the same arg(s) as for file, creates all parent directories of the file they represent."
  [f & more]
  (kelp.libs/make-parents (apply file f more)))

(defn delete-file
  "Delete file f. If silently is nil or false, raise an exception on failure, else return the value of silently."
  [f & [silently]]
  (kelp.libs/delete-file (file f) silently))
