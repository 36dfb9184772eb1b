#!/usr/bin/env bash
# The window's start and idle memory, on a virtual display of its own:
#   - orrery-bin FILE to the first painted frame (the window closes itself right after it), over N launches;
#   - the idle window's resident memory, a few seconds after it opened.
# Usage: scripts/bench_window.sh [BUILD_DIR] [N]   (default build/dev, 20)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build="${1:-build/dev}"
n="${2:-20}"
work="$(mktemp -d)"
trap 'kill "$xvfb" 2>/dev/null || true; rm -rf "$work"' EXIT

Xvfb :77 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:77 GSK_RENDERER=cairo GDK_BACKEND=x11 NO_AT_BRIDGE=1
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break || sleep 0.1; done 2>/dev/null || sleep 1

# A 300-line file, so the first frame has text to lay out and colour.
for i in $(seq 100); do
  printf '(defn f%d [x]\n  ;; step %d\n  (str "value " (* x %d)))\n' "$i" "$i" "$i"
done > "$work/demo.clj"

times=()
for _ in $(seq "$n"); do
  start=$(date +%s%N)
  ORRERY_QUIT_AFTER_FIRST_FRAME=1 "$build/orrery-bin" "$work/demo.clj" 2>/dev/null
  end=$(date +%s%N)
  times+=($(( (end - start) / 1000 )))
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "first frame (launch to exit after it), $n launches: median $(( sorted[n / 2] / 1000 )).$(( sorted[n / 2] % 1000 / 100 )) ms, min $(( sorted[0] / 1000 )) ms, max $(( sorted[n - 1] / 1000 )) ms"

# Resident memory of the idle window: as it runs here (GTK loads Mesa's software GL, whose LLVM alone is about 44 MB
# of shared library pages, even with the cairo renderer), and with GL turned off.
idle_rss() {
  "$@" "$build/orrery-bin" "$work/demo.clj" 2>/dev/null &
  local pid=$!
  sleep 4
  local rss anon
  rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
  anon=$(awk '/RssAnon/ {print $2}' "/proc/$pid/status")
  kill -TERM "$pid"; wait "$pid" 2>/dev/null || true
  echo "$(( rss / 1024 )) MB resident, $(( anon / 1024 )) MB of it anonymous"
}
echo "idle window: $(idle_rss env)"
echo "idle window without GL (GDK_DEBUG=gl-disable): $(idle_rss env GDK_DEBUG=gl-disable)"
