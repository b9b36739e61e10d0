#!/usr/bin/env bash
# Spilling against back-pressure: a coordinate-sorted SAM several times the input side's pool,
# cut into 4 shards (one contig each, so the input delivers all of shard 1, then all of shard 2,
# ...), each drained by bench/slow_sink.c at a fixed rate. Prints the wall time with spilling on
# and off, the ideal (largest shard / rate), the spill rates shuffler reports, the input side's
# peak resident memory, and the raw rates of the spill directory's disk from dd. See
# bench/README.md.
#
# Environment:
#   SIZE_MB    SAM size in MB of 10^6 bytes (default 300)
#   POOL       input side's pool, -S (default 64M)
#   RATE       bytes per second each shard's consumer takes (default 10000000)
#   SPILL_DIR  where spill files go (default bench/data/spill, on the repository's disk)
#   REPEAT     runs of each mode; the median is shown (default 3)
#   SHUFFLER   a built shuffler binary; by default a Release build is made in build-bench
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
root=$PWD
size_mb=${SIZE_MB:-300}
pool=${POOL:-64M}
rate=${RATE:-10000000}
repeat=${REPEAT:-3}
data=$root/bench/data
spill_dir=${SPILL_DIR:-$data/spill}
tmp=$data/spill-run
mkdir -p "$data" "$spill_dir" "$tmp"

if [ -n "${SHUFFLER:-}" ]; then
  bin=$SHUFFLER
else
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DSHUFFLER_TESTS=OFF >/dev/null
  cmake --build build-bench >/dev/null
  bin=$root/build-bench/shuffler
fi
cc -O2 -Wall -Wextra -o "$tmp/slow_sink" bench/slow_sink.c

sam=$data/sorted_${size_mb}.sam
if [ ! -s "$sam" ]; then
  python3 - "$sam" "$size_mb" <<'EOF'
import random, sys
path, size = sys.argv[1], int(float(sys.argv[2]) * 1e6)
contigs, length = 4, 50_000_000
rng = random.Random(7)
seqs = ["".join(rng.choice("ACGT") for _ in range(150)) for _ in range(64)]
quals = ["".join(chr(33 + rng.randrange(2, 41)) for _ in range(150)) for _ in range(64)]
with open(path, "w") as out:
    out.write("@HD\tVN:1.6\tSO:coordinate\n")
    for c in range(1, contigs + 1):
        out.write(f"@SQ\tSN:chr{c}\tLN:{length}\n")
    n = 0
    for c in range(1, contigs + 1):
        written, pos = 0, 1
        while written < size // contigs:
            line = (f"read{n}\t0\tchr{c}\t{pos}\t60\t150M\t*\t0\t0\t{seqs[n % 64]}\t"
                    f"{quals[(n * 7) % 64]}\n")
            out.write(line)
            written += len(line)
            n += 1
            pos = min(pos + 1 + n % 5, length - 150)
EOF
fi
cat "$sam" >/dev/null # into the page cache: the input's disk is not what is measured

port_of() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
now() { date +%s.%N; }

# One run: prints "wall_seconds peak_rss_kib spill_summary_line".
run_once() { # spill dir or none
  local port start end k pids=()
  port=$(port_of)
  rm -f "$tmp"/*.log "$tmp"/*.err
  start=$(now)
  /usr/bin/time -f '%M' -o "$tmp/input.rss" \
    "$bin" -f sam -l "127.0.0.1:$port" -w 5 -t 600 -S "$pool" -O shards=4 --spill-dir "$1" \
    --summary "$sam" 2>"$tmp/input.err" &
  local input=$!
  for _ in $(seq 100); do ss -ltn | grep -q ":$port " && break; sleep 0.05; done
  for k in 0 1 2 3 4; do
    ("$bin" -g "$k" -c "127.0.0.1:$port" -t 600 2>"$tmp/worker$k.err" |
      "$tmp/slow_sink" /dev/stdin "$tmp/shard$k.log" "$rate") &
    pids+=($!)
  done
  wait "${pids[@]}"
  end=$(now)
  wait "$input" || { cat "$tmp/input.err" >&2; return 1; }
  printf '%s %s %s\n' "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')" \
    "$(cat "$tmp/input.rss")" "$(grep '^summary: spill' "$tmp/input.err" || true)"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

largest=0
declare -A walls rss
for mode in "$spill_dir" none; do
  for ((i = 0; i < repeat; i++)); do
    line=$(run_once "$mode")
    echo "$( [ "$mode" = none ] && echo off || echo on ): $line" >&2
    walls[$mode]+="${line%% *} "
    rss[$mode]+="$(echo "$line" | awk '{ print $2 }') "
    [ "$mode" = none ] || spill_line=${line#* * }
    for k in 1 2 3 4; do
      b=$(tail -n 1 "$tmp/shard$k.log" | awk '{ print $1 }')
      ((b > largest)) && largest=$b
    done
  done
done
left=$(ls -A "$spill_dir" | wc -l)

# The raw disk under the spill directory: direct I/O, 1 GB in 4 MiB blocks.
dd_out=$spill_dir/dd.test
dd_write=$(dd if=/dev/zero of="$dd_out" bs=4M count=256 oflag=direct conv=fdatasync 2>&1 |
  awk -F', ' '/copied/ { print $NF }')
dd_read=$(dd if="$dd_out" of=/dev/null bs=4M iflag=direct 2>&1 | awk -F', ' '/copied/ { print $NF }')
rm -f "$dd_out"

ideal=$(awk -v b="$largest" -v r="$rate" 'BEGIN { printf "%.2f", b / r }')
on=$(echo "${walls[$spill_dir]}" | tr ' ' '\n' | grep . | median)
off=$(echo "${walls[none]}" | tr ' ' '\n' | grep . | median)
rss_on=$(echo "${rss[$spill_dir]}" | tr ' ' '\n' | grep . | sort -g | tail -n 1)
rss_off=$(echo "${rss[none]}" | tr ' ' '\n' | grep . | sort -g | tail -n 1)
cat <<EOF
SAM $(stat -c %s "$sam") bytes, 4 shards, pool $pool, each shard drained at $rate B/s; median of $repeat
| mode | wall s | / ideal | input side peak RSS MiB |
|---|---|---|---|
| ideal (largest shard $largest B / rate) | $ideal | 1.00 | |
| spilling on ($spill_dir) | $on | $(awk -v a="$on" -v b="$ideal" 'BEGIN { printf "%.2f", a / b }') | $((rss_on / 1024)) |
| spilling off (--spill-dir none) | $off | $(awk -v a="$off" -v b="$ideal" 'BEGIN { printf "%.2f", a / b }') | $((rss_off / 1024)) |
last spilling run: $spill_line
dd on the spill directory's disk (1 GB, 4 MiB blocks, direct I/O): write $dd_write, read $dd_read
files left in the spill directory: $left
EOF
