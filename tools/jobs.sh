# Sourced by tools/demo.sh and tools/test.sh: sets `jobs`, the number of parallel build
# and test jobs, from VELNO_JOBS (default: every CPU), and stops with exit status 2 when
# VELNO_JOBS is not a positive whole number. Sourced before anything is installed, so a
# mistyped value costs nothing.
jobs=${VELNO_JOBS:-$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 4)}
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
  echo "VELNO_JOBS must be a positive number, not '$jobs'" >&2
  exit 2
fi
