#include "orrery/nrepl/jvm_frames.hpp"

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace orrery::nrepl::jvm_frames {

namespace {

// The frames computation, with every var fully qualified: it runs in whatever namespace the session is in.
constexpr std::string_view FRAMES_BODY = R"clj(
(clojure.core/let
 [h1 clojure.core/*1 h2 clojure.core/*2 h3 clojure.core/*3
  data
  (try
   (clojure.core/require 'clojure.string 'clojure.java.io)
   (clojure.core/let
    [e clojure.core/*e]
    (if (clojure.core/nil? e)
     {:note "No error yet."}
     (clojure.core/let
      [chain (clojure.core/take 20 (clojure.core/take-while clojure.core/some? (clojure.core/iterate (clojure.core/fn [t] (.getCause ^java.lang.Throwable t)) e)))
       root (clojure.core/last chain)
       loaded (clojure.core/set (clojure.core/map (clojure.core/fn [n] (clojure.core/str (clojure.core/ns-name n))) (clojure.core/all-ns)))
       class-ns (clojure.core/fn [cls]
                  (clojure.core/let [d (.indexOf ^String cls "$")
                                     base (if (clojure.core/neg? d) (clojure.core/subs cls 0 (clojure.core/max 0 (.lastIndexOf ^String cls "."))) (clojure.core/subs cls 0 d))]
                    (clojure.lang.Compiler/demunge base)))
       harness? (clojure.core/fn [^StackTraceElement el]
                  (clojure.core/let [c (.getClassName el)]
                    (clojure.core/or (clojure.core/and (clojure.core/= c "clojure.lang.Compiler") (clojure.core/= (.getMethodName el) "eval"))
                                     (.startsWith c "nrepl.") (.startsWith c "clojure.main"))))
       own? (clojure.core/fn [^StackTraceElement el]
              (clojure.core/let [c (.getClassName el)]
                (clojure.core/and (clojure.core/not (.startsWith c "clojure.lang."))
                                  (clojure.core/contains? loaded (class-ns c)))))
       own-frames (clojure.core/fn [^Throwable t]
                    (clojure.core/->> (.getStackTrace t)
                                      (clojure.core/take-while (clojure.core/complement harness?))
                                      (clojure.core/filter own?)))
       thrown (clojure.core/or (clojure.core/last (clojure.core/filter (clojure.core/fn [t] (clojure.core/seq (own-frames t))) chain)) root)
       source (clojure.core/fn [nsname]
                (clojure.core/let [base (clojure.core/-> nsname (clojure.string/replace "-" "_") (clojure.string/replace "." "/"))]
                  (clojure.core/some (clojure.core/fn [ext] (clojure.core/when-let [u (clojure.java.io/resource (clojure.core/str base ext))] (clojure.core/str u)))
                                     [".clj" ".cljc"])))
       frames (clojure.core/->> (own-frames thrown)
                                (clojure.core/partition-by (clojure.core/fn [^StackTraceElement el] (.getClassName el)))
                                (clojure.core/map clojure.core/first)
                                (clojure.core/mapv (clojure.core/fn [^StackTraceElement el]
                                                     (clojure.core/let [c (.getClassName el)
                                                                        fname (if (clojure.core/neg? (.indexOf c "$"))
                                                                                (clojure.core/str (clojure.lang.Compiler/demunge c) "." (.getMethodName el))
                                                                                (clojure.lang.Compiler/demunge c))]
                                                       {:fn fname :file (source (class-ns c))
                                                        :line (clojure.core/when (clojure.core/pos? (.getLineNumber el)) (.getLineNumber el))
                                                        :locals []}))))
       cls (.getClass ^Throwable root)
       cname (if (clojure.core/empty? (.getSimpleName cls)) (.getName cls) (.getSimpleName cls))
       title (clojure.core/str cname ": " (.getMessage ^Throwable root)
                               (clojure.core/when-let [d (clojure.core/ex-data root)]
                                 (clojure.core/binding [clojure.core/*print-length* 8 clojure.core/*print-level* 3]
                                   (clojure.core/str " " (clojure.core/pr-str d)))))]
      (clojure.core/cond-> {:title title :error-id (clojure.core/str "jvm:" (java.lang.System/identityHashCode thrown)) :frames frames}
        (clojure.core/empty? frames) (clojure.core/assoc :note "No frames in your code: the error came from the REPL's own reading or compiling.")))))
   (catch java.lang.Throwable t {:error (clojure.core/str "Frames: " (.getMessage t))}))]
 (set! clojure.core/*2 h3)
 (set! clojure.core/*1 h2)
 (clojure.core/binding [clojure.core/*print-length* nil clojure.core/*print-level* nil clojure.core/*print-meta* false]
  (clojure.core/print (clojure.core/str "\n" TOKEN " " (clojure.core/pr-str data) "\n")))
 (clojure.core/flush)
 h1)
)clj";

}  // namespace

std::string code(std::string_view token) {
  std::string body(FRAMES_BODY);
  // The body names these locals without a namespace: they are let bindings, never vars.
  size_t at = body.find("TOKEN");
  body.replace(at, 5, kelp::pr_str(kelp::make_string(token)));
  return body;
}

kelp::Value parse(std::string_view out, std::string_view token) {
  auto missing = [] {
    return kelp::make_map({kelp::keyword("error"), kelp::make_string("The server didn't send the frames.")});
  };
  size_t at = std::string_view::npos;
  for (size_t p = out.rfind(token); p != std::string_view::npos && !token.empty();
       p = p == 0 ? std::string_view::npos : out.rfind(token, p - 1))
    if (p == 0 || out[p - 1] == '\n') {
      at = p;
      break;
    }
  if (at == std::string_view::npos) return missing();
  std::string_view rest = out.substr(at + token.size());
  size_t nl = rest.find('\n');
  auto v = kelp::read_edn(rest.substr(0, nl));
  if (!v || !kelp::is_map(v.value())) return missing();
  return v.value();
}

}  // namespace orrery::nrepl::jvm_frames
