#!/usr/bin/env bash
# How long each nREPL server takes from spawn until it says it listens: the kelp child (the kelp tool with the
# server form Orrery passes), JVM Clojure's nREPL 1.0 and nbb, measured in one run so the figures compare.
#   scripts/bench_nrepl_start.sh [BUILD_DIR] [RUNS]    (defaults: build/release, 5)
# Prints each run's milliseconds and the median per server. A server that is not installed is skipped.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build/release}" && pwd)"
runs="${2:-5}"
node_dir="${ORRERY_NODE_DIR:-$repo/build/node}"

form='(do (require (quote kelp.nrepl)) (kelp.host/block-sigint)
  (let [server (kelp.nrepl/start 0 (quote [nrepl.middleware/default-middleware]) {:port-file nil})]
    (kelp.host/add-shutdown-hook (fn [] (kelp.nrepl/stop server)))
    (kelp.host/park-until-interrupt)
    (kelp.nrepl/stop server)))'

# Milliseconds from spawn to the first line holding "nREPL server started"; the server is then ended. The line is
# read from a pipe by bash itself (no process per check), timed with EPOCHREALTIME.
now_us() { local t="${EPOCHREALTIME/./}"; echo "${t#0}"; }
time_start() {
  local dir fd pid line start elapsed=""
  dir="$(mktemp -d)"
  start=$(now_us)
  exec {fd}< <(cd "$dir" && exec "$@" 2>&1)
  pid=$!
  while IFS= read -r -t 60 -u "$fd" line; do
    if [[ "$line" == *"nREPL server started"* ]]; then
      elapsed=$(( ($(now_us) - start) / 1000 ))
      break
    fi
  done
  kill "$pid" 2>/dev/null || true
  exec {fd}<&-
  wait "$pid" 2>/dev/null || true
  rm -rf "$dir"
  echo "${elapsed:-failed}"
}

median() { sort -n | awk '{a[NR]=$1} END {if (NR) print (NR % 2 ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2)}'; }

measure() {
  local name="$1"; shift
  local times=()
  for _ in $(seq 1 "$runs"); do times+=("$(time_start "$@")"); done
  echo "$name: ${times[*]} ms; median $(printf '%s\n' "${times[@]}" | grep -v failed | median) ms"
}

measure "kelp child" "$build/kelp" -Sdeps '{:deps {nrepl/nrepl {:local/root "."}}}' -e "$form"
if [ -f /usr/share/java/nrepl.jar ] && command -v java >/dev/null; then
  measure "JVM nREPL 1.0" java -cp /usr/share/java/clojure.jar:/usr/share/java/nrepl.jar clojure.main \
    -m nrepl.cmdline --bind 127.0.0.1 --port 0
fi
if [ -f "$node_dir/node_modules/nbb/cli.js" ]; then
  measure "nbb" node "$node_dir/node_modules/nbb/cli.js" nrepl-server :host 127.0.0.1 :port 0
fi
