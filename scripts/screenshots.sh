#!/usr/bin/env bash
# Takes pictures of the window under a virtual display (light and dark themes, a run's output, an error, the
# unsaved-changes alert, the command palette and the open menu) into the folder given (default build/screenshots), for looking at by eye.
# Run after a build of the dev preset (scripts/test.sh builds it).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
out="$(realpath -m "${1:-build/screenshots}")"
mkdir -p "$out"
ORRERY_SCREENSHOTS="$out" scripts/under_xvfb.sh build/dev/orrery-gui-tests --gtest_filter='Screenshots.*'
echo "screenshots in $out"
ls "$out"
