#!/bin/bash
# Shards SAM text by genomic position over the tasks of a Slurm job: shard k (group k) goes to
# task k, which writes it to OUTDIR/shard-<k>.sam; task 0 gets every line outside the shards.
# Every shard gets the header.
#
#   sbatch --ntasks=N+1 sam-shard.sbatch INPUT OUTDIR shards=N [SETTING|OPTION...]
#   sbatch --ntasks=K+1 sam-shard.sbatch INPUT OUTDIR s1=INTERVALS ... sK=INTERVALS [...]
#
# INPUT is a SAM file (plain or .gz) or a command whose output is SAM, ending in '|', such as
# "samtools view -h in.bam |". shards=N cuts the genome of the header's @SQ lines into N equal
# pieces; sK=INTERVALS names shard K's intervals instead, for example s1=chr1 or
# s2=chr2:1-50000000,chr3 or s3=@targets.bed. The job needs one task per group: the highest shard
# number plus one (for group 0). The settings pad=B and reference=FILE go to the input side as -O
# too (see shuffler(1)); other OPTIONs go as they are, for example --progress. OUTDIR must be on
# a file system that every node of the job sees: the rendezvous file is written there. shuffler
# must be on every node's PATH, or named by SHUFFLER; SHUFFLER_TIMEOUT (seconds, default 3600)
# bounds waiting for peers.
#SBATCH --job-name=shuffler-sam
#SBATCH --ntasks=3
#SBATCH --time=01:00:00
set -euo pipefail

if (($# < 3)); then
  echo "usage: sbatch --ntasks=N+1 $0 INPUT OUTDIR shards=N|s1=INTERVALS... [OPTION...]" >&2
  exit 1
fi
input_file=$1 out=$2
shift 2
shuffler=${SHUFFLER:-shuffler}
timeout=${SHUFFLER_TIMEOUT:-3600}
tasks=${SLURM_NTASKS:?not in a Slurm job: submit this script with sbatch}

options=()
groups=1 # group 0, and one more per shard
for argument in "$@"; do
  if [[ $argument =~ ^s([0-9]+)= ]]; then
    options+=(-O "$argument")
    groups=$((10#${BASH_REMATCH[1]} + 1 > groups ? 10#${BASH_REMATCH[1]} + 1 : groups))
  elif [[ $argument =~ ^shards=([0-9]+)$ ]]; then
    options+=(-O "$argument")
    groups=$((10#${BASH_REMATCH[1]} + 1))
  elif [[ $argument =~ ^(pad|reference)= ]]; then
    options+=(-O "$argument")
  else
    options+=("$argument")
  fi
done
if ((tasks != groups)); then
  echo "sam-shard: $((groups - 1)) shards need --ntasks=$groups (one task per shard and one for" \
    "the rest), not $tasks" >&2
  exit 1
fi

mkdir -p "$out"
port_file=$out/.shuffler-${SLURM_JOB_ID}.port
rm -f "$port_file"

"$shuffler" -f sam -l 0.0.0.0:0 --port-file "$port_file" -w "$tasks" -t "$timeout" --summary \
  "${options[@]}" "$input_file" &
input=$!

# Task k is the worker of group k.
worker='"$0" -g "$SLURM_PROCID" -c "@$1" -t "$2" "$3/shard-$SLURM_PROCID.sam"'
# A task that fails ends the worker step (--kill-on-bad-exit), and whichever of the input side
# and the worker step fails first ends the other: the job never waits for a deadline.
srun --kill-on-bad-exit=1 --ntasks="$tasks" bash -c "$worker" "$shuffler" "$port_file" "$timeout" \
  "$out" &
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
