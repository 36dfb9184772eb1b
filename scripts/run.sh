#!/usr/bin/env bash
# Sets up, builds and runs Orrery (the developer preset); arguments go to orrery-bin, which runs in the caller's
# working directory so relative paths mean what the caller meant. Everything before orrery-bin starts reports on
# standard error: standard output is the program's alone (an agent client may be reading it).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

jobs="${ORRERY_JOBS:-2}"
(
  cd "$repo"
  bash scripts/setup.sh
  [ -f build/dev/CMakeCache.txt ] || cmake --preset dev
  cmake --build --preset dev --target orrery-bin -j "$jobs"
) >&2
exec "$repo/build/dev/orrery-bin" "$@"
