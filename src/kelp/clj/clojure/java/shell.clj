(ns ^{:doc "Conveniently launch a sub-process providing its stdin and collecting its stdout"}
  clojure.java.shell
  (:require [clojure.java.io :as io]))

(def ^:dynamic *sh-dir* nil)
(def ^:dynamic *sh-env* nil)

(defmacro with-sh-dir
  "Sets the directory for use with sh, see sh for details."
  [dir & forms]
  `(binding [*sh-dir* ~dir] ~@forms))

(defmacro with-sh-env
  "Sets the environment for use with sh, see sh for details."
  [env & forms]
  `(binding [*sh-env* ~env] ~@forms))

(defn sh
  "Passes the given strings to a new process to launch a sub-process.

  Options are

  :in      may be given followed by any legal input source for clojure.java.io/copy, e.g. InputStream, Reader,
           File, or String, to be fed to the sub-process's stdin.
  :dir     override the process dir with a String or java.io.File.
  :env     override the process env with a map (or the underlying Java String[] if you are a masochist).

  You can bind :env or :dir for multiple operations using with-sh-env and with-sh-dir.

  sh returns a map of
    :exit => sub-process's exit code
    :out  => sub-process's stdout (as a String)
    :err  => sub-process's stderr (String)"
  [& args]
  (let [[cmd opts] (split-with string? args)
        opts (apply hash-map opts)
        opts (merge {:dir *sh-dir* :env *sh-env*} opts)]
    (kelp.libs/sh cmd opts)))
