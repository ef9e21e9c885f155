#!/usr/bin/env bash
# Runs the whole test suite: the normal build (warnings are errors), the same tests
# under AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, and every fuzz target for a bounded number of inputs.
set -euo pipefail
cd "$(dirname "$0")/.."
VELNO_WITH_CLANG=1 VELNO_WITH_BENCH=1 tools/install-deps.sh
jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

step() { printf '\n==== %s ====\n' "$*"; }

step "build (g++, -Werror)"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNO_WERROR=ON -DVELNO_BENCH=ON >/dev/null
cmake --build build/release -j"$jobs"
step "tests (g++)"
ctest --test-dir build/release -j"$jobs" --output-on-failure

step "build (clang, AddressSanitizer + UndefinedBehaviorSanitizer)"
CC=clang CXX=clang++ cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DVELNO_WERROR=ON \
  -DVELNO_SANITIZE=address -DVELNO_FUZZ=ON >/dev/null
cmake --build build/asan -j"$jobs"
step "tests and bounded fuzz runs (AddressSanitizer + UndefinedBehaviorSanitizer)"
ctest --test-dir build/asan -j"$jobs" --output-on-failure

step "build (clang, ThreadSanitizer)"
CC=clang CXX=clang++ cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNO_WERROR=ON \
  -DVELNO_SANITIZE=thread >/dev/null
cmake --build build/tsan -j"$jobs"
step "concurrency tests (ThreadSanitizer)"
ctest --test-dir build/tsan -j"$jobs" --output-on-failure -R 'Concurrency'
