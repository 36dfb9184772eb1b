#!/usr/bin/env bash
# Regenerates the expected output of the conformance programs by running each one with JVM Clojure.
# Usage: scripts/conformance_expect.sh [AREA...]   (default: every tests/kelp/conformance/*.clj)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../tests/kelp/conformance"

jar="${CLOJURE_JAR:-/usr/share/java/clojure.jar}"
if ! command -v java >/dev/null || [ ! -f "$jar" ]; then
  echo "conformance_expect: needs java and $jar" >&2
  exit 2
fi

if [ $# -gt 0 ]; then areas=("$@"); else areas=(); for f in *.clj; do areas+=("${f%.clj}"); done; fi
for area in "${areas[@]}"; do
  # Programs run from this folder with the fixture sources on the class path and the arguments "a b", as the kelp
  # test runs them; stdin is empty, standard error is not part of the expectation.
  java -cp "$jar:src" clojure.main "$area.clj" a b </dev/null >"$area.out" 2>/dev/null || {
    echo "conformance_expect: $area.clj exited non-zero (expected output kept as far as it got)" >&2
  }
  echo "$area: $(wc -l <"$area.out") lines"
done
