#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the demo host against a
# throw-away home directory.
set -euo pipefail
cd "$(dirname "$0")/.."
# VELNO_JOBS sets the number of parallel build jobs (default: every CPU).
source tools/jobs.sh
# Debian packages; elsewhere (macOS) the dependencies come from the system's own tools.
if command -v dpkg-query >/dev/null 2>&1; then
  tools/install-deps.sh
fi
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNO_TESTS=OFF >/dev/null
cmake --build build/demo -j"$jobs" --target velno_core demo_host
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
./build/demo/examples/demo_host "$home"
