#!/usr/bin/env bash
# Installs the Debian packages that building and testing Orrery need; only the missing ones, and nothing when all
# are there. Works as root on a fresh Debian 12, or through sudo for a normal user.
set -euo pipefail

# Every Debian package the build and the tests need, one place for all of them.
PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config git ccache
  # libraries
  libgmp-dev libfmt-dev libpcre2-dev nlohmann-json3-dev
  # the window
  libgtk-4-dev
  # tests and benchmarks
  libgtest-dev libbenchmark-dev
  # the window's tests run in a real window on a virtual X server
  xvfb xauth
  # JVM Clojure (brings a JRE): the EDN and printer tests compare against it
  clojure
  # a real JVM nREPL 1.0 server for the attach tests
  libnrepl-clojure
  # unpacks clojure/core.clj from the jar: the text tests' real corpus
  unzip
  # the fuzz preset: clang with its libFuzzer runtime
  clang libclang-rt-dev
)

# Programs that count as present when they are on PATH, however they were installed (a newer node from elsewhere
# carries its own npm, and Debian's npm package would conflict with it): program=package.
PROGRAMS=(
  # the agent server's end-to-end tests run the official MCP client library on node
  node=nodejs npm=npm
)

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "setup: not a Debian system; make sure these (or their equivalents) are installed: ${PACKAGES[*]} ${PROGRAMS[*]%%=*}" >&2
  exit 0
fi

missing=()
for package in "${PACKAGES[@]}"; do
  if [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != "installed" ]; then
    missing+=("$package")
  fi
done
for entry in "${PROGRAMS[@]}"; do
  command -v "${entry%%=*}" >/dev/null 2>&1 || missing+=("${entry#*=}")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "setup: these packages are missing; install them as root: apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}" >&2
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
