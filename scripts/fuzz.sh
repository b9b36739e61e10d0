#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz (clang, libFuzzer, ASan and UBSan) in build-fuzz and runs
# each for SECONDS (default 30), one at a time, from the seed corpora in tests/fuzz/corpus. Fails
# on any crash, sanitizer report or broken promise; the input behind it is kept in
# build-fuzz/findings. Corpora grown by earlier runs are reused from build-fuzz/corpus.
# Usage: scripts/fuzz.sh [SECONDS [TARGET...]]   (FUZZ_MAX_LEN sets the largest input, 4096)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang libfuzzer-14-dev
seconds=${1:-30}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(intervals fastq sam messages options)

CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DSHUFFLER_FUZZ=ON -DSHUFFLER_TESTS=OFF >/dev/null
cmake --build build-fuzz
mkdir -p build-fuzz/findings
failed=()
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  log=build-fuzz/fuzz_$t.log
  mkdir -p "$corpus"
  # New inputs go to the first corpus folder; the checked-in seeds are only read.
  if build-fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -max_len="${FUZZ_MAX_LEN:-4096}" \
      -timeout=10 -print_final_stats=1 -artifact_prefix=build-fuzz/findings/"$t"- \
      "$corpus" tests/fuzz/corpus/"$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$t: $runs executions in ${seconds}s, no findings"
  else
    echo "fuzz_$t: FAILED; the end of $log:" >&2
    tail -40 "$log" >&2
    failed+=("$t")
  fi
done
if ((${#failed[@]})); then
  echo "fuzzing found problems in: ${failed[*]} (inputs in build-fuzz/findings)" >&2
  exit 1
fi
