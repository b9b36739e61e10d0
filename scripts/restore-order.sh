#!/usr/bin/env bash
# Puts the FASTQ records of a diced job's worker outputs back in input order and removes the
# " #N#" tags: restore-order.sh OUTPUT... > restored.fq
#
# Works with -O tag=name (each block's first record of each file is tagged with the count of
# records before the block; untagged records belong to the block of the tag above them) and with
# -O tag=every (every record tagged, so outputs whose records were filtered still sort right).
# A pair comes back interleaved, each R1 record followed by its mate, as the workers received it.
set -euo pipefail
if (($# == 0)); then
  echo "usage: $0 OUTPUT... > restored.fq" >&2
  exit 1
fi
export LC_ALL=C
keyed=$(mktemp)
trap 'rm -f "$keyed"' EXIT
# Each line becomes "N<TAB>LINE-NUMBER<TAB>line": a stable sort on the block number, then on the
# position, restores the order; a record's lines stay together because they share both keys' order.
awk -v OFS='\t' '
  FNR == 1 {
    if ((NR - 1) % 4 != 0) partial()
    block = -1
  }
  function partial() {
    print "restore-order: an output ends inside a record" > "/dev/stderr"
    failed = 1
    exit 1
  }
  FNR % 4 == 1 {
    if (match($0, / #[0-9]+#\r*$/)) {
      tag = substr($0, RSTART, RLENGTH)
      sub(/\r+$/, "", tag)
      block = substr(tag, 3, length(tag) - 3)
      $0 = substr($0, 1, RSTART - 1) substr($0, RSTART + length(tag))
    } else if (block < 0) {
      printf "%s: line %d: record before any \" #N#\" tag (was the job run with -O tag=none?)\n",
             FILENAME, FNR > "/dev/stderr"
      failed = 1
      exit 1
    }
  }
  { print block, NR, $0 }
  END { if (!failed && NR % 4 != 0) partial() }
' "$@" > "$keyed"
# Nothing is printed unless every output was whole.
sort -t "$(printf '\t')" -k1,1n -k2,2n -s "$keyed" | cut -f3-
