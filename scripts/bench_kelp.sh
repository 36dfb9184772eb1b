#!/usr/bin/env bash
# Whole-process timing of the kelp tool against JVM Clojure and nbb (ClojureScript on node) on the programs in
# bench/kelp/, plus kelp's start-up time and peak memory. Each time is the median of 5 runs; the programs print
# their results, which must agree between the three.
#
# Usage: scripts/bench_kelp.sh [KELP_BINARY]
#   default binary: build/release/kelp, else build/dev/kelp, else build/conf/kelp
#   NBB_DIR (default build/bench-node) is where nbb is installed with npm on first use.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"

kelp="${1:-}"
if [ -z "$kelp" ]; then
  for k in build/release/kelp build/dev/kelp build/conf/kelp; do
    if [ -x "$k" ]; then kelp="$k"; break; fi
  done
fi
if [ -z "$kelp" ] || [ ! -x "$kelp" ]; then
  echo "No kelp binary found; build one (cmake --preset release && cmake --build --preset release --target kelp-tool)" \
       "or pass its path." >&2
  exit 2
fi

jar="${CLOJURE_JAR:-/usr/share/java/clojure.jar}"
have_jvm=1
if ! command -v java >/dev/null || [ ! -f "$jar" ]; then
  have_jvm=0
  echo "note: JVM Clojure not found ($jar); its column is empty" >&2
fi

nbb_dir="${NBB_DIR:-$repo/build/bench-node}"
nbb="$nbb_dir/node_modules/.bin/nbb"
if [ ! -x "$nbb" ] && command -v npm >/dev/null; then
  mkdir -p "$nbb_dir"
  npm install --prefix "$nbb_dir" --no-audit --no-fund --silent nbb >/dev/null 2>&1 || true
fi
have_nbb=1
if [ ! -x "$nbb" ] || ! command -v node >/dev/null; then
  have_nbb=0
  echo "note: nbb is unavailable (npm install nbb failed or node is missing); its column is empty" >&2
fi

runs=5
# Median wall time in seconds of running "$@" $runs times; the output of the first run goes to $out_file.
median_time() {
  local out_file="$1"; shift
  local times=()
  for ((r = 0; r < runs; r++)); do
    local t0 t1
    t0=$(date +%s%N)
    if [ "$r" -eq 0 ]; then "$@" >"$out_file" 2>/dev/null || echo "<exit $?>" >>"$out_file"
    else "$@" >/dev/null 2>&1 || true; fi
    t1=$(date +%s%N)
    times+=($(( (t1 - t0) / 1000 )))
  done
  local sorted
  sorted=$(printf '%s\n' "${times[@]}" | sort -n)
  echo "$sorted" | sed -n "$(( (runs + 1) / 2 ))p" | awk '{ printf "%.3f", $1 / 1e6 }'
}

ratio() { if [ -n "$2" ] && [ "$2" != "-" ]; then awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; else echo "-"; fi; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

printf '%-16s %9s %9s %9s %9s %9s  %s\n' program kelp_s jvm_s nbb_s kelp/jvm kelp/nbb results
for prog in bench/kelp/*.clj; do
  name=$(basename "$prog" .clj)
  k=$(median_time "$tmp/k.out" "$kelp" "$prog")
  j="-"; n="-"
  if [ $have_jvm = 1 ]; then j=$(median_time "$tmp/j.out" java -cp "$jar" clojure.main "$prog"); fi
  if [ $have_nbb = 1 ]; then n=$(median_time "$tmp/n.out" "$nbb" "$prog"); fi
  agree="agree"
  if [ $have_jvm = 1 ] && ! cmp -s "$tmp/k.out" "$tmp/j.out"; then agree="DIFFER: kelp $(head -c 60 "$tmp/k.out" | tr '\n' ' ')/ jvm $(head -c 60 "$tmp/j.out" | tr '\n' ' ')"; fi
  if [ $have_nbb = 1 ] && [ $have_jvm = 1 ] && ! cmp -s "$tmp/n.out" "$tmp/j.out"; then agree="$agree; nbb differs: $(head -c 60 "$tmp/n.out" | tr '\n' ' ')"; fi
  printf '%-16s %9s %9s %9s %9s %9s  %s\n' "$name" "$k" "$j" "$n" "$(ratio "$k" "$j")" "$(ratio "$k" "$n")" "$agree"
done

# Start-up: kelp -e nil against the other two doing nothing, and kelp's peak resident memory.
k=$(median_time "$tmp/k.out" "$kelp" -e nil)
j="-"; n="-"
if [ $have_jvm = 1 ]; then j=$(median_time "$tmp/j.out" java -cp "$jar" clojure.main -e nil); fi
if [ $have_nbb = 1 ]; then n=$(median_time "$tmp/n.out" "$nbb" -e nil); fi
printf '%-16s %9s %9s %9s %9s %9s\n' "start-up -e nil" "$k" "$j" "$n" "$(ratio "$k" "$j")" "$(ratio "$k" "$n")"
if [ -x /usr/bin/time ]; then
  rss=$(/usr/bin/time -f '%M' "$kelp" -e nil 2>&1 >/dev/null | tail -1)
  echo "kelp -e nil peak RSS: $((rss / 1024)) MB ($rss KB)"
fi
