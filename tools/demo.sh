#!/usr/bin/env bash
# Installs what is missing, builds the library and runs the demo host.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target velno_core demo_host
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
./build/examples/demo_host "$home"
