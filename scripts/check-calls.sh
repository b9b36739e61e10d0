#!/usr/bin/env bash
# Checks sharding with the real clients: a simulated alignment goes through an input side with
# -O shards=4 -O pad=150 to five workers; each shard is sorted, indexed and called
# (bcftools mpileup | bcftools call) restricted to its own regions as --plan prints them, and the calls
# of the four shards, one after another, must equal the calls on the whole file. The same with
# pad=0 shows what the padding is for: calls near the boundaries differ without it. The same
# again from the BAM and from a CRAM of it, read by the binary, with BAM shards indexed unsorted.
#
# Environment: SHUFFLER, a built binary (default build/shuffler, built when missing); PAD
# (default 150).
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
root=$PWD
pad=${PAD:-150}
scripts/install-deps.sh samtools bcftools python3
bin=${SHUFFLER:-$root/build/shuffler}
if [ ! -x "$bin" ]; then
  scripts/install-deps.sh
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build --target shuffler >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 "$root/scripts/simulate-alignments.py" . 4
samtools faidx ref.fa
samtools sort -o whole.bam sim.sam 2>/dev/null
samtools index whole.bam
calls() { # BAM [REGIONS.bed]: the variant records, without the VCF header
  bcftools mpileup -f ref.fa ${2:+-R "$2"} "$1" 2>/dev/null | bcftools call -mv 2>/dev/null |
    grep -v '^#' || true
}
calls whole.bam >whole.calls

# Each shard's own regions, as the binary plans them for the header.
samtools view -H whole.bam | "$bin" --plan -O shards=4 - >plan.bed
for k in 1 2 3 4; do awk -v k="$k" '$4 == k' plan.bed >"regions$k.bed"; done

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Shards with pad $1 from $2 (sam: SAM text on standard input, written as SAM and sorted;
# bam or cram: whole.bam or whole.cram read by the binary, every shard written as BAM and indexed
# as it comes) and calls each shard in its regions; prints the calls in shard order.
shard_calls() {
  local p=$1 source=${2:-sam} port status=0 k pids=()
  port=$(free_port)
  if [ "$source" = sam ]; then
    samtools view -h whole.bam |
      "$bin" -f sam -l "127.0.0.1:$port" -w 5 -t 60 -O shards=4 -O "pad=$p" 2>input.err &
  else
    "$bin" -l "127.0.0.1:$port" -w 5 -t 60 -O shards=4 -O "pad=$p" -O reference=ref.fa.fai \
      "whole.$source" 2>input.err &
  fi
  pids+=($!)
  for k in 0 1 2 3 4; do
    if [ "$source" = sam ]; then
      "$bin" -g "$k" -c "127.0.0.1:$port" -t 60 "shard$k.sam" 2>"worker$k.err" &
    else
      "$bin" -g "$k" -c "127.0.0.1:$port" -t 60 -f bam "shard$k.bam" 2>"worker$k.err" &
    fi
    pids+=($!)
  done
  for k in "${pids[@]}"; do wait "$k" || status=$?; done
  if [ "$status" -ne 0 ]; then
    cat input.err worker*.err >&2
    echo "check-calls: sharding failed" >&2
    exit 1
  fi
  for k in 1 2 3 4; do
    [ "$source" = sam ] && samtools sort -o "shard$k.bam" "shard$k.sam" 2>/dev/null
    samtools index "shard$k.bam" # a BAM shard of a sorted input is sorted: no sort needed
    calls "shard$k.bam" "regions$k.bed"
  done
}

alignments=$(samtools view -c whole.bam)
shard_calls "$pad" >sharded.calls
copies=$(($(cat shard[0-4].sam | grep -vc '^@') - alignments))
shard_calls 0 >unpadded.calls
samtools view -C -T ref.fa -o whole.cram whole.bam
# htslib decodes a CRAM with NM and MD tags, which change the callers' annotations: the CRAM's
# shards are compared with the calls on the whole CRAM.
calls whole.cram >whole-cram.calls
shard_calls "$pad" bam >bam.calls
shard_calls "$pad" cram >cram.calls
summary() { # CALLS [WHOLE]: records, and how many lines differ from the whole-file calls
  printf '%s records, %s lines differ from the whole-file calls' "$(wc -l <"$1")" \
    "$(diff "$1" "${2:-whole.calls}" | grep -c '^[<>]' || true)"
}
echo "check-calls: $alignments alignments; whole file: $(wc -l <whole.calls) records"
echo "check-calls: shards=4 pad=$pad ($copies copies): $(summary sharded.calls)"
echo "check-calls: shards=4 pad=0: $(summary unpadded.calls)"
echo "check-calls: from BAM to BAM shards, pad=$pad: $(summary bam.calls)"
echo "check-calls: from CRAM to BAM shards, pad=$pad: $(summary cram.calls whole-cram.calls)"
for calls in sharded:whole bam:whole cram:whole-cram; do
  whole=${calls#*:}.calls calls=${calls%:*}
  if ! cmp -s "$calls.calls" "$whole"; then
    diff "$calls.calls" "$whole" | head -20 >&2
    echo "check-calls: FAILED: the sharded calls ($calls) differ from the whole-file calls" >&2
    exit 1
  fi
done
echo "check-calls: OK: the concatenated calls of the 4 shards equal the whole-file calls" \
  "(from SAM text, BAM and CRAM)"
