# Sourced by the scripts that compare our benchmarks with JVM Clojure. Sets `bench` to the orrery-bench binary
# given as the first argument (default: build/release, else build/dev) and checks that JVM Clojure is there.
bench="${1:-}"
if [ -z "$bench" ]; then
  for b in "$repo/build/release/orrery-bench" "$repo/build/dev/orrery-bench"; do
    if [ -x "$b" ]; then bench="$b"; break; fi
  done
fi
if [ -z "$bench" ] || [ ! -x "$bench" ]; then
  echo "No orrery-bench binary found; build one (cmake --preset release && cmake --build --preset release)" \
       "or pass its path." >&2
  exit 2
fi
if ! command -v clojure >/dev/null; then
  echo "JVM Clojure is not installed (Debian package clojure); it is the reference this compares against." >&2
  exit 2
fi
