#!/usr/bin/env bash
# Times shuffler and the usual command-line tools side by side on the same generated data, over
# loopback, and prints a table (also written to bench/results/latest.txt). See bench/README.md.
#
# Environment:
#   SIZE_MB     FASTQ pair size in MB of 10^6 bytes (default 1024); the SAM is 0.7 times that
#   REPEAT      runs per tool; the table shows the median (default 3)
#   SHUFFLER    a built shuffler binary; by default a Release build is made in build-bench
#   GZIP_LEVEL  compression level of the generated .fq.gz files (default 4: quick to make;
#               decompression speed hardly depends on it)
#   LIMIT       seconds any single command may run before it is killed (default 900)
# shellcheck disable=SC2154 # the counts come from the data manifest, sourced below
set -euo pipefail
export LC_ALL=C # decimal points, byte-wise sorting
cd "$(dirname "$0")/.."
root=$PWD
size_mb=${SIZE_MB:-1024}
repeat=${REPEAT:-3}
level=${GZIP_LEVEL:-4}
limit=${LIMIT:-900}
data=$root/bench/data
tmp=$data/run
results=$root/bench/results

say() { printf '%s\n' "$*" >&2; }
die() {
  say "bench: $*"
  local f
  for f in "$tmp"/*.err; do
    [ -s "$f" ] && { say "--- $(basename "$f")"; cat "$f" >&2; }
  done
  exit 1
}

# ---------------------------------------------------------------------------------------------
# Tools

"$root/scripts/install-deps.sh" netcat-openbsd parallel samtools mawk time gzip python3

if [ -n "${SHUFFLER:-}" ]; then
  bin=$(readlink -f "$SHUFFLER")
else
  scripts/install-deps.sh
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DSHUFFLER_TESTS=OFF >/dev/null
  cmake --build build-bench >/dev/null
  bin=$root/build-bench/shuffler
fi
[ -x "$bin" ] || die "no shuffler binary at $bin"

# ---------------------------------------------------------------------------------------------
# Data, made once per size and reused

if ! grep -qsx "size_mb=$size_mb" "$data/manifest.sh" || [ ! -f "$data/reads_1.fq.gz" ] ||
   [ ! -f "$data/reads_2.fq.gz" ]; then
  say "bench: generating $size_mb MB of FASTQ and $(awk -v s="$size_mb" 'BEGIN { print 0.7 * s }') MB of SAM in $data"
  rm -rf "$data"
  mkdir -p "$data"
  started=$EPOCHREALTIME
  python3 bench/gen_data.py "$data" "$size_mb"
  mv "$data/manifest.sh" "$data/manifest.tmp" # not complete until the gzip files are
  gzip "-$level" -c "$data/reads_1.fq" >"$data/reads_1.fq.gz" &
  gzip_pid=$!
  gzip "-$level" -c "$data/reads_2.fq" >"$data/reads_2.fq.gz" || die "gzip failed"
  wait "$gzip_pid" || die "gzip failed"
  mv "$data/manifest.tmp" "$data/manifest.sh"
  say "bench: data generated in $(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }') s"
fi
# shellcheck source=/dev/null
. "$data/manifest.sh" # pairs, read_length, fastq_bytes, sam_header_bytes, sam_records, sam_bytes
fq=("$data/reads_1.fq" "$data/reads_2.fq")
gz=("$data/reads_1.fq.gz" "$data/reads_2.fq.gz")
sam=$data/reads.sam
gz_bytes=$(($(stat -c %s "${gz[0]}") + $(stat -c %s "${gz[1]}")))

rm -rf "$tmp"
mkdir -p "$tmp" "$results"

# Five outputs: shards 1 to 4, and group 0 for everything else (the rest of chr20, chr21, chr22,
# chrX, chrY and the unmapped reads).
shard_opts=("s1=chr1,chr2" "s2=chr3,chr4,chr5,chr6" "s3=chr7,chr8,chr9,chr10,chr11,chr12"
            "s4=chr13,chr14,chr15,chr16,chr17,chr18,chr19,chr20:1-30000000")
shard_args=()
for o in "${shard_opts[@]}"; do shard_args+=(-O "$o"); done
python3 bench/shards.py "$data/contigs.tsv" "$tmp/rules.tsv" "$tmp/shards.bed" "${shard_opts[@]}"

# What shuffler must deliver. Dicing adds " #N#" to the first record of both files in every
# block; at the default block threshold of 10^7 bases a block is ceil(10^7 / 300) read pairs.
dice_expected=$(python3 - "$pairs" "$fastq_bytes" "$read_length" <<'EOF'
import sys
pairs, size, read_length = map(int, sys.argv[1:])
per_block = -(-10000000 // (2 * read_length))
full, rest = divmod(pairs, per_block)
print(size + sum(2 * len(f" #{2 * per_block * i}#") for i in range(full + (rest > 0))))
EOF
)
# Every one of the five outputs gets the SAM header.
shard_expected=$((sam_bytes + 4 * sam_header_bytes))

# ---------------------------------------------------------------------------------------------
# Plumbing

elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_listen() { # port
  local hex i
  hex=$(printf '%04X' "$1")
  for ((i = 0; i < 1000; i++)); do
    awk -v port=":$hex" 'substr($2, length($2) - 4) == port && $4 == "0A" { found = 1 }
                         END { exit !found }' /proc/net/tcp && return 0
    sleep 0.01
  done
  return 1
}

# Sinks: a named pipe per output, drained by sink.py, which discards the data and notes how many
# bytes came and when the last of them came.
sink_pids=()
sink_names=()
sink() { # name: creates $tmp/name.fifo
  mkfifo "$tmp/$1.fifo"
  timeout "$limit" python3 bench/sink.py "$tmp/$1.fifo" "$tmp/$1.count" &
  sink_pids+=($!)
  sink_names+=("$1")
}
# Waits for every sink; sets got to the sum of their byte counts and last to the latest time
# any of them received data.
sinks_finish() {
  local pid name ok=0 report
  got=0
  last=0
  for pid in "${sink_pids[@]}"; do wait "$pid" || ok=1; done
  for name in "${sink_names[@]}"; do
    report=$(cat "$tmp/$name.count" 2>/dev/null || echo "0 0")
    got=$((got + ${report%% *}))
    last=$(awk -v a="$last" -v b="${report##* }" 'BEGIN { printf "%.6f", (b > a ? b : a) }')
    rm -f "$tmp/$name.fifo" "$tmp/$name.count"
  done
  sink_pids=()
  sink_names=()
  return $ok
}

check() { # pid what: fails when the process did not exit with status 0
  local rc=0
  wait "$1" || rc=$?
  [ "$rc" -eq 0 ] || { say "bench: $2 exited with status $rc"; return 1; }
}

# Sets wall (until the last byte reached a sink) and ended (until every process had exited).
stop_clock() { # start time
  local now=$EPOCHREALTIME
  wall=$(elapsed "$1" "$last")
  ended=$(elapsed "$1" "$now")
}

# ---------------------------------------------------------------------------------------------
# The runs. Each sets got (bytes delivered), wall and ended (seconds, see stop_clock); shuffler
# runs also set rss (KiB, the input side's peak). The clock starts with the first process of the
# job. A non-zero status means the run failed.

# The input side's deadline is 1 s, the shortest there is: it only has to outlast the workers'
# connecting. Its processes live at least that long, so the time taken is that of the last byte.
# The input side reads standard input from the file named by stdin_file, if any: a command run
# in the background would otherwise get /dev/null.
stdin_file=/dev/null
run_shuffler() { # group_of_each_worker... -- input side arguments...
  local groups=() port t0 ipid ok=0 w
  while [ "$1" != -- ]; do groups+=("$1"); shift; done
  shift
  port=$(free_port)
  for w in "${!groups[@]}"; do sink "out$w"; done
  t0=$EPOCHREALTIME
  timeout "$limit" /usr/bin/time -v -o "$tmp/input.time" \
    "$bin" -l "127.0.0.1:$port" -t 1 "$@" <"$stdin_file" 2>"$tmp/input.err" &
  ipid=$!
  local wpids=()
  if wait_listen "$port"; then
    for w in "${!groups[@]}"; do
      timeout "$limit" "$bin" -g "${groups[w]}" -c "127.0.0.1:$port" -t 60 \
        >"$tmp/out$w.fifo" 2>"$tmp/worker$w.err" &
      wpids+=($!)
    done
  else
    say "bench: shuffler did not listen on port $port"
    ok=1
    for w in "${!groups[@]}"; do : >"$tmp/out$w.fifo"; done # lets the sinks end
  fi
  for w in "${!wpids[@]}"; do check "${wpids[w]}" "shuffler worker $w" || ok=1; done
  check "$ipid" "shuffler input side" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  rss=$(awk '/Maximum resident set size/ { print $NF }' "$tmp/input.time")
  return $ok
}

run_shuffler_fastq() { run_shuffler 0 0 -- "${fq[@]}"; }
run_shuffler_gzip() { run_shuffler 0 0 -- "${gz[@]}"; }
run_shuffler_sam() {
  local ok=0
  stdin_file=$sam
  run_shuffler 0 1 2 3 4 -- -f sam "${shard_args[@]}" || ok=1
  stdin_file=/dev/null
  return $ok
}

run_nc() {
  local port t0 rpid ok=0
  port=$(free_port)
  sink nc
  timeout "$limit" nc -d -l 127.0.0.1 "$port" >"$tmp/nc.fifo" 2>"$tmp/nc-receiver.err" &
  rpid=$!
  if ! wait_listen "$port"; then
    say "bench: nc did not listen on port $port"
    kill "$rpid" 2>/dev/null
    : >"$tmp/nc.fifo"
    sinks_finish
    return 1
  fi
  t0=$EPOCHREALTIME
  cat "${fq[@]}" | timeout "$limit" nc -N 127.0.0.1 "$port" 2>"$tmp/nc-sender.err" || ok=1
  check "$rpid" "nc receiver" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}

# --round-robin keeps two long-lived workers instead of starting one per block of input. The
# workers count what they get; they end as soon as their input does, so the exit time is taken.
run_parallel() {
  local t0 ok=0
  t0=$EPOCHREALTIME
  cat "${fq[@]}" | timeout "$limit" parallel --will-cite --pipe --round-robin -L 4 -j2 'wc -c' \
    >"$tmp/parallel.out" 2>"$tmp/parallel.err" || ok=1
  last=$EPOCHREALTIME
  stop_clock "$t0"
  got=$(awk '{ n += $1 } END { print n + 0 }' "$tmp/parallel.out")
  return $ok
}

# Both files at once, as shuffler decompresses them.
run_gzip() {
  local t0 p1 p2 ok=0
  sink gz1
  sink gz2
  t0=$EPOCHREALTIME
  timeout "$limit" gzip -dc "${gz[0]}" >"$tmp/gz1.fifo" 2>"$tmp/gzip1.err" &
  p1=$!
  timeout "$limit" gzip -dc "${gz[1]}" >"$tmp/gz2.fifo" 2>"$tmp/gzip2.err" &
  p2=$!
  check "$p1" "gzip -dc" || ok=1
  check "$p2" "gzip -dc" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}

# The same routing as shuffler: the first rule of the record's contig whose [start, end)
# holds POS - 1 names the shard, else shard 0; header lines before the first record go to all.
run_mawk() {
  local t0 k ok=0
  for k in 0 1 2 3 4; do sink "mawk$k"; done
  t0=$EPOCHREALTIME
  # shellcheck disable=SC2016 # an awk program
  timeout "$limit" mawk -F '\t' -v rules="$tmp/rules.tsv" -v dir="$tmp" '
    BEGIN {
      while ((getline line < rules) > 0) {
        split(line, f, "\t")
        n = ++count[f[1]]
        lo[f[1], n] = f[2]; hi[f[1], n] = f[3]; shard[f[1], n] = f[4]
      }
      for (k = 0; k <= 4; k++) out[k] = dir "/mawk" k ".fifo"
    }
    !body && /^@/ { for (k = 0; k <= 4; k++) print > out[k]; next }
    {
      body = 1
      s = 0
      c = $3
      if (c in count) {
        p = $4 - 1
        for (i = 1; i <= count[c]; i++)
          if (lo[c, i] <= p && p < hi[c, i]) { s = shard[c, i]; break }
      }
      print > out[s]
    }' "$sam" 2>"$tmp/mawk.err" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}

# One pass, two outputs: reads overlapping any shard, and the rest (-U). A five-way split would
# need a pass per shard, so this is the cheapest way samtools has to do the job. samtools adds
# its own @PG line to both outputs, hence the byte range rather than an exact count.
run_samtools() {
  local t0 ok=0
  sink st-in
  sink st-other
  t0=$EPOCHREALTIME
  timeout "$limit" samtools view -h -L "$tmp/shards.bed" -U "$tmp/st-other.fifo" \
    -o "$tmp/st-in.fifo" "$sam" 2>"$tmp/samtools.err" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}

# ---------------------------------------------------------------------------------------------
# Cases: name|tool label|run function|bytes the run must deliver (exact, or min:max)

cases=(
  "fastq pair|shuffler: dice to 2 workers|run_shuffler_fastq|$dice_expected"
  "fastq pair|nc over loopback|run_nc|$fastq_bytes"
  "fastq pair|parallel --pipe -L 4 -j2|run_parallel|$fastq_bytes"
  "fastq.gz pair|shuffler: dice to 2 workers|run_shuffler_gzip|$dice_expected"
  "fastq.gz pair|gzip -dc, both files|run_gzip|$fastq_bytes"
  "sam, 5 outputs|shuffler: 4 shards + group 0|run_shuffler_sam|$shard_expected"
  "sam, 5 outputs|mawk split to 5|run_mawk|$shard_expected"
  "sam, 5 outputs|samtools view -L bed -U|run_samtools|$((sam_bytes * 98 / 100)):$((sam_bytes * 102 / 100 + 2 * sam_header_bytes))"
)
declare -A walls exits status peak

# Reading the inputs once puts them in the page cache, so no tool pays for the disk.
cat "${fq[@]}" "${gz[@]}" "$sam" >/dev/null

for ((r = 1; r <= repeat; r++)); do
  for i in "${!cases[@]}"; do
    IFS='|' read -r name label fn want <<<"${cases[i]}"
    [ "${status[$i]:-ok}" = ok ] || continue
    say "bench: run $r/$repeat: $name: $label"
    wall=0 ended=0 got=0 last=0 rss=0
    if ! $fn; then
      status[$i]="FAILED (exit status)"
      continue
    fi
    lo=${want%%:*} hi=${want##*:}
    if ((got < lo || got > hi)); then
      status[$i]="FAILED ($got bytes delivered, expected ${want/:/ to })"
      continue
    fi
    walls[$i]="${walls[$i]:-} $wall"
    exits[$i]="${exits[$i]:-} $ended"
    if [[ $label == shuffler* ]] && ((rss > ${peak[$name]:-0})); then peak[$name]=$rss; fi
  done
done

# ---------------------------------------------------------------------------------------------
# Table

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

{
  echo "shuffler benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
  echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(uname -r)"
  echo "data: FASTQ pair $((fastq_bytes / 1000000)) MB ($pairs pairs of ${read_length} bases)," \
       "gzip -$level $((gz_bytes / 1000000)) MB, SAM $((sam_bytes / 1000000)) MB ($sam_records records, 24 contigs)"
  echo "median of $repeat runs; wall: until the last byte reached its consumer; exit: until every"
  echo "process had ended (a shuffler job lasts at least its 1 s deadline); MB/s: 10^6 bytes of"
  echo "uncompressed input per wall second; vs shuffler: wall / shuffler's wall, > 1 means shuffler is faster"
  echo
  printf '%-15s %-30s %8s %8s %11s %8s\n' case tool "wall s" "MB/s" "vs shuffler" "exit s"
  for i in "${!cases[@]}"; do
    IFS='|' read -r name label fn want <<<"${cases[i]}"
    if [ "${status[$i]:-ok}" != ok ]; then
      printf '%-15s %-30s %s\n' "$name" "$label" "${status[$i]}"
      continue
    fi
    w=$(median <<<"${walls[$i]}")
    e=$(median <<<"${exits[$i]}")
    [[ $label == shuffler* ]] && base=$w
    bytes=$fastq_bytes
    [[ $name == sam* ]] && bytes=$sam_bytes
    awk -v n="$name" -v t="$label" -v w="$w" -v e="$e" -v b="$bytes" -v s="${base:-0}" 'BEGIN {
      printf "%-15s %-30s %8.3f %8.1f %11s %8.3f\n", n, t, w, b / 1e6 / w,
             (s > 0 ? sprintf("%.2f", w / s) : "-"), e }'
  done
  echo
  for name in "fastq pair" "fastq.gz pair" "sam, 5 outputs"; do
    [ -n "${peak[$name]:-}" ] &&
      echo "shuffler input side peak RSS, $name: $((peak[$name] / 1024)) MiB"
  done
  :
} | tee "$results/latest.txt"

for i in "${!cases[@]}"; do
  [ "${status[$i]:-ok}" = ok ] || die "some runs failed; see the table"
done
rm -rf "$tmp"
