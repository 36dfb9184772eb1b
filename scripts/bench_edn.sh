#!/usr/bin/env bash
# EDN reading and printing against JVM Clojure's clojure.edn/read-string and pr-str on the same generated ~5 MB
# text (bench/edn_bench.cpp writes it; bench/edn_bench.clj times the JVM after warm-up). Prints each side's
# median time and throughput and the ratio ours/JVM. Builds nothing: give the orrery-bench binary as the
# argument (default: build/release, else build/dev).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

. "$repo/scripts/bench_common.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "Running $bench ..." >&2
EDN_BENCH_DUMP="$work/bench.edn" "$bench" --benchmark_filter='^BM_(ReadEdn|PrintEdn)$' \
  --benchmark_repetitions=10 --benchmark_report_aggregates_only=true --benchmark_format=csv >"$work/ours.csv" 2>/dev/null
echo "Running JVM Clojure ..." >&2
clojure "$repo/bench/edn_bench.clj" "$work/bench.edn" >"$work/jvm.txt"

# CSV rows: "name_median",iterations,real_time,cpu_time,time_unit,bytes_per_second,...
printf '%-14s %12s %12s %12s %12s %10s\n' benchmark "ours (ms)" "ours (MB/s)" "JVM (ms)" "JVM (MB/s)" "ours/JVM"
for name in BM_ReadEdn BM_PrintEdn; do
  ours_ms=$(awk -F, -v n="\"${name}_median\"" '$1 == n { print $3 }' "$work/ours.csv")
  ours_mbs=$(awk -F, -v n="\"${name}_median\"" '$1 == n { printf "%.1f", $6 / 1048576 }' "$work/ours.csv")
  read -r _ jvm_ms jvm_mbs < <(grep "^$name " "$work/jvm.txt")
  ratio=$(awk -v a="$ours_ms" -v b="$jvm_ms" 'BEGIN { printf "%.2f", a / b }')
  printf '%-14s %12.2f %12s %12s %12s %10s\n' "$name" "$ours_ms" "$ours_mbs" "$jvm_ms" "$jvm_mbs" "$ratio"
done
