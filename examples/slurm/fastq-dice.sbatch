#!/bin/bash
# Dices a FASTQ pair over the tasks of a Slurm job: every task is a worker that takes blocks of
# whole read pairs as it is ready for them, runs COMMAND on its share (interleaved FASTQ on
# standard input) and leaves what COMMAND prints in OUTDIR/part-<task>.
#
#   sbatch --ntasks=N fastq-dice.sbatch READS_1.fq[.gz] READS_2.fq[.gz] OUTDIR [COMMAND [OPTION...]]
#
# COMMAND is a shell command (default `cat`: the share itself), for example "bwa mem -p ref.fa -".
# OPTIONs go to the input side, for example -O blksize=500000 or --progress. OUTDIR must be on a
# file system that every node of the job sees: the rendezvous file is written there. shuffler
# must be on every node's PATH, or named by SHUFFLER; SHUFFLER_TIMEOUT (seconds, default 3600)
# bounds waiting for peers.
#
# The input side runs in the batch step, on the job's first node, listening on every interface
# at a port the system picks; the workers, started by one srun, find it through the port file.
# The job succeeds only if every read reached exactly one worker whose COMMAND succeeded.
#SBATCH --job-name=shuffler-fastq
#SBATCH --ntasks=4
#SBATCH --time=01:00:00
set -euo pipefail

if (($# < 3)); then
  echo "usage: sbatch --ntasks=N $0 READS_1 READS_2 OUTDIR [COMMAND [OPTION...]]" >&2
  exit 1
fi
reads_1=$1 reads_2=$2 out=$3
command=${4:-cat}
shift $(($# < 4 ? $# : 4))
shuffler=${SHUFFLER:-shuffler}
timeout=${SHUFFLER_TIMEOUT:-3600}
workers=${SLURM_NTASKS:?not in a Slurm job: submit this script with sbatch}

mkdir -p "$out"
port_file=$out/.shuffler-${SLURM_JOB_ID}.port
rm -f "$port_file"

"$shuffler" -l 0.0.0.0:0 --port-file "$port_file" -w "$workers" -t "$timeout" --summary "$@" \
  "$reads_1" "$reads_2" &
input=$!

# One worker per task, running COMMAND on its share itself: the task fails when COMMAND does, and
# a worker that fails or is stopped ends its COMMAND first.
worker='part=$4/part-$SLURM_PROCID "$0" -g 0 -c "@$1" -t "$2" "| $3 > \"\$part\""'
# A task that fails ends the worker step (--kill-on-bad-exit), and whichever of the input side
# and the worker step fails first ends the other: the job never waits for a deadline.
srun --kill-on-bad-exit=1 --ntasks="$workers" bash -c "$worker" "$shuffler" "$port_file" \
  "$timeout" "$command" "$out" &
step=$!
status=0
wait -n -p ended "$input" "$step" || status=$?
if ((status != 0)); then
  kill "$input" "$step" 2>/dev/null || true
fi
for pid in "$input" "$step"; do
  if [ "$pid" != "$ended" ]; then
    wait "$pid" 2>/dev/null || { s=$?; ((status != 0)) || status=$s; }
  fi
done
rm -f "$port_file" # left behind when the input side was killed
exit "$status"
