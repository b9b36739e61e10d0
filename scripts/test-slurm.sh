#!/usr/bin/env bash
# Runs the Slurm recipes of examples/slurm as a user would, with sbatch, on a throwaway local
# Slurm (scripts/slurm-local.sh), and checks that every record reached exactly one worker: a
# FASTQ pair diced to 4 workers that each gzip their share, and SAM sharded over 3 workers, by
# named intervals and then by equal pieces of the genome (shards=2). A job whose worker's command
# fails must fail, and so must, within 15 s, jobs with a missing input file, a worker asking for
# a group the job does not produce, and a worker command failing after reading everything. The first jobs run at once (8 tasks, the local node's CPUs) on the sample data
# in data/.
#
#   scripts/test-slurm.sh [BUILD_DIR]    (default: build; its shuffler is the one tested)
#
# Exit status: 0 when both jobs delivered everything, also when Slurm cannot be installed here
# (one "slurm-local: skipped: ..." line); 1 when a check failed; 255 when Slurm did not come up.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "${1:-}" != --inside ]; then
  build=$(cd "${1:-$root/build}" && pwd)
  [ -x "$build/shuffler" ] || { echo "test-slurm: no shuffler in $build; build first" >&2; exit 1; }
  started=$SECONDS
  status=0
  "$root/scripts/slurm-local.sh" --skip-if-unavailable -- "$0" --inside "$build" || status=$?
  echo "test-slurm: finished in $((SECONDS - started)) s with status $status" >&2
  exit "$status"
fi

build=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/shuffler-slurm.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Jobs inherit this environment (sbatch's default --export=ALL).
export PATH=$build:$PATH SHUFFLER_TIMEOUT=60
data=$root/data
shards=(s1=chr1 s2=chr2:1-100000000)

# sbatch --wait exits with the job's status; the jobs' own logs tell why a job failed.
run_job() {
  local name=$1
  shift
  if ! sbatch --wait --quiet --time=2 --output="$work/$name.log" "$@"; then
    echo "test-slurm: job $name failed; its log:" >&2
    cat "$work/$name.log" >&2
    return 1
  fi
}

run_job fastq --ntasks=4 "$root/examples/slurm/fastq-dice.sbatch" \
  "$data/sample_1.fq" "$data/sample_2.fq" "$work/fastq" "gzip -1" -O blksize=20000 &
fastq_job=$!
run_job sam --ntasks=3 "$root/examples/slurm/sam-shard.sbatch" \
  "$data/sample.sam" "$work/sam" "${shards[@]}" &
sam_job=$!
# A worker whose command fails: the job must fail, not pass with a share missing.
sbatch --wait --quiet --time=2 --output="$work/failing.log" --ntasks=1 \
  "$root/examples/slurm/fastq-dice.sbatch" "$data/sample_1.fq" "$data/sample_2.fq" \
  "$work/failing" "exit 3" &
failing_job=$!
status=0
wait "$fastq_job" || status=1
wait "$sam_job" || status=1
if wait "$failing_job"; then
  echo "test-slurm: a job whose worker's command failed succeeded; its log:" >&2
  cat "$work/failing.log" >&2
  status=1
fi
((status == 0)) || exit 1

# Jobs that must fail, each within 15 s (the peers' deadline is 60 s) and with the reason in its
# log: a missing input file (the input side refuses it, and the workers waiting on the port file
# learn it there), a worker asking for a group the job does not produce (the recipe's shuffler
# wrapped to ask for group 1 of a FASTQ job), and a worker command that fails after reading
# everything (its worker fails, naming the command and its status).
printf '%s\n' '#!/bin/sh' 'if [ "$1" = -g ]; then shift 2; exec shuffler -g 1 "$@"; fi' \
  'exec shuffler "$@"' > "$work/ask-group-1"
chmod +x "$work/ask-group-1"
failing_job() {
  local name=$1 reason=$2
  shift 2
  local started=$SECONDS
  if sbatch --wait --quiet --time=2 --output="$work/$name.log" "$@"; then
    echo "test-slurm: job $name succeeded; it must fail; its log:" >&2
  elif ((SECONDS - started > 15)); then
    echo "test-slurm: job $name took $((SECONDS - started)) s to fail; its log:" >&2
  elif ! grep -qF -- "$reason" "$work/$name.log"; then
    echo "test-slurm: the log of job $name does not say '$reason':" >&2
  else
    return 0
  fi
  cat "$work/$name.log" >&2
  return 1
}
failing_job missing "missing_2.fq" --ntasks=2 "$root/examples/slurm/fastq-dice.sbatch" \
  "$data/sample_1.fq" "$work/missing_2.fq" "$work/missing" &
missing_job=$!
SHUFFLER=$work/ask-group-1 failing_job no-group "group 1 does not exist" --ntasks=2 \
  "$root/examples/slurm/fastq-dice.sbatch" "$data/sample_1.fq" "$data/sample_2.fq" \
  "$work/no-group" &
no_group_job=$!
failing_job late-failure "exited with status 1" --ntasks=2 "$root/examples/slurm/fastq-dice.sbatch" \
  "$data/sample_1.fq" "$data/sample_2.fq" "$work/late-failure" "cat > /dev/null; exit 1" &
late_failure_job=$!
wait "$missing_job" || status=1
wait "$no_group_job" || status=1
wait "$late_failure_job" || status=1
((status == 0)) || exit 1
run_job equal --ntasks=3 "$root/examples/slurm/sam-shard.sbatch" \
  "$data/sample.sam" "$work/equal" shards=2

python3 "$root/scripts/check-delivery.py" fastq "$data/sample_1.fq" "$data/sample_2.fq" -- \
  "$work"/fastq/part-{0,1,2,3}
python3 "$root/scripts/check-delivery.py" sam "$data/sample.sam" "${shards[@]}" -- \
  "$work"/sam/shard-{0,1,2}.sam
python3 "$root/scripts/check-delivery.py" sam "$data/sample.sam" shards=2 -- \
  "$work"/equal/shard-{0,1,2}.sam
# The input sides' per-worker summaries, from the jobs' logs.
grep -h '^summary: worker' "$work/fastq.log" "$work/sam.log" "$work/equal.log" >&2
if ls -A "$work"/*/.shuffler-* >/dev/null 2>&1; then
  echo "test-slurm: a port file outlived its job" >&2
  exit 1
fi
