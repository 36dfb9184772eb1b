#!/usr/bin/env bash
# Sets up, builds and runs every test (the developer preset). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

jobs="${ORRERY_JOBS:-2}"
bash scripts/setup.sh
bash scripts/setup_node.sh
cmake --preset dev
cmake --build --preset dev -j "$jobs"
ctest --preset dev -j "$jobs"
