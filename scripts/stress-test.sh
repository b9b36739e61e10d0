#!/usr/bin/env bash
# The whole suite under load: RUNS runs (default 5) of ctest -j4 in a row while stress-ng keeps
# both cores busy, as on a shared machine. A test that depends on the machine's speed, on sleeping
# for luck or on a port that was free a moment ago fails here first. Prints each run's failures
# and the count of runs that passed; exits 1 if any run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
build=${2:-build}
scripts/install-deps.sh stress-ng
stress-ng --cpu 2 --quiet &
load=$!
trap 'kill "$load" 2>/dev/null || true; wait "$load" 2>/dev/null || true' EXIT
passed=0
for ((run = 1; run <= runs; run++)); do
  echo "stress run $run of $runs" >&2
  if ctest --test-dir "$build" -j4 --timeout 300 --output-on-failure; then
    passed=$((passed + 1))
  fi
done
echo "$passed of $runs runs passed under load" >&2
((passed == runs))
