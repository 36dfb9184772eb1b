#!/usr/bin/env bash
# Installs the npm packages the end-to-end tests use (the official MCP client library, and nbb as an nREPL peer)
# into build/node, never into the source tree. Does nothing when they are already there; says so and exits 0 when
# node or npm is missing (the tests that need them then skip with a message).
#   ORRERY_NODE_DIR (default build/node) is where the packages go; the tests read the same variable.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
node_dir="${ORRERY_NODE_DIR:-$repo/build/node}"

PACKAGES=(@modelcontextprotocol/sdk nbb)

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "setup_node: node or npm is missing; the end-to-end tests that use the MCP client will skip" >&2
  exit 0
fi
missing=()
for package in "${PACKAGES[@]}"; do
  [ -f "$node_dir/node_modules/$package/package.json" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

mkdir -p "$node_dir"
[ -f "$node_dir/package.json" ] || echo '{"private": true}' >"$node_dir/package.json"
echo "setup_node: installing ${missing[*]} into $node_dir" >&2
npm install --prefix "$node_dir" --no-audit --no-fund --silent "${missing[@]}" >&2
