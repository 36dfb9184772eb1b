#!/usr/bin/env bash
# Persistent collections against JVM Clojure doing the same work after warm-up (bench/collections_bench.cpp and
# bench/collections_bench.clj): 1 M conj onto a vector, 200 k assoc into a hash map, 1 M lookups in it.
# Prints each side's median time per benchmark, each process's peak resident memory, and the ratios ours/JVM;
# then, against the JVM's assoc, the same map built from versions handed over by move and through a transient.
# Builds nothing: give the orrery-bench binary as the argument (default: build/release, else build/dev).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

. "$repo/scripts/bench_common.sh"

names="BM_VectorConj1M BM_HashMapAssoc200k BM_HashMapLookup1M"
ours="$(mktemp)"
jvm="$(mktemp)"
trap 'rm -f "$ours" "$jvm"' EXIT

echo "Running $bench ..." >&2
"$bench" --benchmark_filter='^BM_(VectorConj1M|HashMapAssoc200k|HashMapAssocMoved200k|TransientMapAssoc200k|HashMapLookup1M)$' \
  --benchmark_repetitions=10 --benchmark_report_aggregates_only=true --benchmark_format=csv >"$ours" 2>/dev/null
echo "Running JVM Clojure ($(clojure -e '(print (clojure-version))' 2>/dev/null)) ..." >&2
clojure "$repo/bench/collections_bench.clj" >"$jvm"

# CSV rows: "name_median",iterations,real_time,cpu_time,time_unit,...,peak_rss_mib (the last column).
our_ms() { awk -F, -v n="\"$1_median\"" '$1 == n { print $3 }' "$ours"; }
our_rss() { awk -F, '$1 ~ /_median"$/ { v = $NF } END { print v }' "$ours"; }
jvm_ms() { awk -v n="$1" '$1 == n { print $2 }' "$jvm"; }
jvm_rss() { awk '$1 == "peak_rss_mib" { print $2 }' "$jvm"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

printf '%-22s %12s %12s %10s\n' "benchmark" "ours (ms)" "JVM (ms)" "ours/JVM"
for n in $names; do
  o="$(our_ms "$n")"
  j="$(jvm_ms "$n")"
  printf '%-22s %12.2f %12.2f %10s\n' "$n" "$o" "$j" "$(ratio "$o" "$j")"
done
o="$(our_rss)"
j="$(jvm_rss)"
printf '%-22s %12.1f %12.1f %10s\n' "peak RSS (MiB)" "$o" "$j" "$(ratio "$o" "$j")"
j="$(jvm_ms BM_HashMapAssoc200k)"
for n in BM_HashMapAssocMoved200k BM_TransientMapAssoc200k; do
  o="$(our_ms "$n")"
  printf '%-26s %8.2f %12.2f %10s\n' "$n" "$o" "$j" "$(ratio "$o" "$j")"
done
