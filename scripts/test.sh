#!/usr/bin/env bash
# One command from a fresh checkout to a tested build: installs what is missing, configures,
# builds and runs every test. Set SANITIZE=1 for an AddressSanitizer and UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=build
flags=()
if [ "${SANITIZE:-0}" = 1 ]; then
  build=build-sanitize
  flags=(-DSHUFFLER_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  # htslib's multi-threaded reader leaks a few bytes when it stops at a damaged file; leaks of
  # our own are still reported.
  export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
fi
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300
