#!/usr/bin/env bash
# Runs the whole test suite: the normal build (warnings are errors), the same tests
# under AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, and every fuzz target for a bounded number of inputs.
# Every stage runs even when an earlier one failed; the last lines say how each went.
# VELNO_JOBS sets the number of parallel build and test jobs (default: every CPU).
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/jobs.sh
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

names=() results=()
passed_tests=0 failed_tests=0 skipped_tests=0 uncounted=0
skipped_names=()
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# stage NAME COMMAND...: runs the command, notes whether it passed and how long it took.
stage() {
  local name=$1 start=$SECONDS status
  shift
  printf '\n==== %s ====\n' "$name"
  "$@"
  status=$?
  names+=("$name")
  results+=("$( ((status == 0)) && echo passed || echo "failed (exit $status)") in $(awk -v s=$((SECONDS - start)) 'BEGIN { printf "%.1f", s / 60 }') min")
  return "$status"
}
not_run() {
  names+=("$1")
  results+=("failed (not run: $2)")
  uncounted=1
}
# run_ctest DIR ARGS...: ctest on the build in DIR, its output kept to add up what it
# says passed, failed and was skipped. ctest counts a skipped test as passed; here it is
# counted apart and named in the summary.
run_ctest() {
  local dir=$1 status line name skipped=0
  shift
  ctest --test-dir "$dir" "$@" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  while IFS= read -r line; do
    if [[ "$line" =~ Test\ +#[0-9]+:\ ([^ ]+)\ .*\*\*\*Skipped ]]; then
      name=${BASH_REMATCH[1]}
      skipped_names+=("$name ($dir)")
      skipped=$((skipped + 1))
    fi
  done <"$log"
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [[ "$line" =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    failed_tests=$((failed_tests + BASH_REMATCH[1]))
    passed_tests=$((passed_tests + BASH_REMATCH[2] - BASH_REMATCH[1] - skipped))
    skipped_tests=$((skipped_tests + skipped))
  else
    uncounted=1
  fi
  return "$status"
}

configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null && cmake --build "$dir" -j"$jobs"
}
with_clang() { CC=clang CXX=clang++ "$@"; }

stage "dependencies" env VELNO_WITH_CLANG=1 VELNO_WITH_BENCH=1 tools/install-deps.sh

if stage "build (g++, -Werror)" configure_and_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo \
     -DVELNO_WERROR=ON -DVELNO_BENCH=ON; then
  stage "tests (g++)" run_ctest build/release -j"$jobs" --output-on-failure
else
  not_run "tests (g++)" "its build failed"
fi

asan_tests="tests and bounded fuzz runs (AddressSanitizer + UndefinedBehaviorSanitizer)"
if stage "build (clang, AddressSanitizer + UndefinedBehaviorSanitizer)" with_clang configure_and_build build/asan \
     -DCMAKE_BUILD_TYPE=Debug -DVELNO_WERROR=ON -DVELNO_SANITIZE=address -DVELNO_FUZZ=ON; then
  stage "$asan_tests" run_ctest build/asan -j"$jobs" --output-on-failure
else
  not_run "$asan_tests" "its build failed"
fi

if stage "build (clang, ThreadSanitizer)" with_clang configure_and_build build/tsan \
     -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNO_WERROR=ON -DVELNO_SANITIZE=thread; then
  stage "concurrency tests (ThreadSanitizer)" run_ctest build/tsan -j"$jobs" --output-on-failure -R 'Concurrency'
else
  not_run "concurrency tests (ThreadSanitizer)" "its build failed"
fi

printf '\n==== summary (%s jobs) ====\n' "$jobs"
failed_stages=0
for i in "${!names[@]}"; do
  printf '%-78s %s\n' "${names[$i]}" "${results[$i]}"
  [[ "${results[$i]}" == passed* ]] || failed_stages=$((failed_stages + 1))
done
# The count of tests comes only when every test stage reported one, so that it never
# hides a stage that could not run its tests; a failure is the last line.
count() {
  ((uncounted == 0)) || return 0
  echo "tests: $passed_tests passed, $failed_tests failed, $skipped_tests skipped"
  local name
  for name in "${skipped_names[@]}"; do
    echo "skipped: $name"
  done
}
if ((failed_stages == 0)); then
  echo "all ${#names[@]} stages passed"
  count
  exit 0
fi
count
echo "FAILED: $failed_stages of ${#names[@]} stages"
exit 1
