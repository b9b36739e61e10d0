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
#   CASES       extended regular expression: run only the rows whose "case: tool" matches it
#               (default: all), e.g. CASES='fastq pair|slow'; CASES=shuffler runs only the
#               shuffler rows (and their baseline twins), skipping the other tools
#   BASELINE    a git revision to compare with, built in build-baseline/<rev> (e.g. the last
#               commit before acknowledgements); or SHUFFLER_BASELINE, a built binary. Every
#               shuffler row then gets a twin, "baseline: <tool>", the same job run by that binary
#               (input side and workers) in the same rounds, and a section "against the
#               baseline" compares each pair. An A/B run of two builds:
#                 SHUFFLER=new/shuffler SHUFFLER_BASELINE=old/shuffler CASES=shuffler \
#                   REPEAT=5 bench/run.sh
#   SLOW_RATE   bytes per second each slow consumer takes (default 2000000)
#   SLOW_WORKERS  workers in the slow-consumer case (default 32)
# shellcheck disable=SC2154 # the counts come from the data manifest, sourced below
set -euo pipefail
export LC_ALL=C # decimal points, byte-wise sorting
cd "$(dirname "$0")/.."
root=$PWD
size_mb=${SIZE_MB:-1024}
repeat=${REPEAT:-3}
level=${GZIP_LEVEL:-4}
limit=${LIMIT:-900}
only=${CASES:-}
slow_rate=${SLOW_RATE:-2000000}
slow_workers=${SLOW_WORKERS:-32}
[[ $slow_rate =~ ^[1-9][0-9]*$ && $slow_workers =~ ^[1-9][0-9]*$ ]] ||
  { echo "bench: SLOW_RATE and SLOW_WORKERS must be positive integers" >&2; exit 1; }
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

"$root/scripts/install-deps.sh" netcat-openbsd parallel samtools tabix mawk time gzip isal python3 gcc

if [ -n "${SHUFFLER:-}" ]; then
  bin=$(readlink -f "$SHUFFLER")
else
  scripts/install-deps.sh
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DSHUFFLER_TESTS=OFF >/dev/null
  cmake --build build-bench >/dev/null
  bin=$root/build-bench/shuffler
fi
[ -x "$bin" ] || die "no shuffler binary at $bin"

# The same job run by an earlier revision, built once per revision.
baseline_bin=
baseline_name=
if [ -n "${SHUFFLER_BASELINE:-}" ]; then
  baseline_bin=$(readlink -f "$SHUFFLER_BASELINE")
  baseline_name=$baseline_bin
elif [ -n "${BASELINE:-}" ]; then
  baseline_name=$(git rev-parse --short "$BASELINE^{commit}") || die "no revision $BASELINE"
  baseline_dir=$root/build-baseline/$baseline_name
  if [ ! -x "$baseline_dir/build/shuffler" ]; then
    say "bench: building $baseline_name in $baseline_dir"
    rm -rf "$baseline_dir"
    mkdir -p "$baseline_dir/src"
    git archive "$baseline_name" | tar -x -C "$baseline_dir/src"
    cmake -S "$baseline_dir/src" -B "$baseline_dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DSHUFFLER_TESTS=OFF >/dev/null
    cmake --build "$baseline_dir/build" >/dev/null
  fi
  baseline_bin=$baseline_dir/build/shuffler
  baseline_name="revision $baseline_name, $baseline_bin"
fi
[ -z "$baseline_bin" ] || [ -x "$baseline_bin" ] || die "no baseline binary at $baseline_bin"

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
# Made once beside the data, outside any timing (and added to a data set made before they were):
# the first FASTQ file as BGZF, and a BAM of the SAM with its index. Each appears under its name
# only when complete.
bgzf=$data/reads_1.bgzf.fq.gz
bam=$data/reads.bam
if [ ! -f "$bgzf" ]; then
  say "bench: making $(basename "$bgzf") with bgzip -@2"
  bgzip -@2 -c "${fq[0]}" >"$bgzf.tmp" || die "bgzip failed"
  mv "$bgzf.tmp" "$bgzf"
fi
if [ ! -f "$bam.bai" ]; then
  say "bench: making $(basename "$bam") with samtools view -b -@2, and its index"
  rm -f "$bam"
  samtools view -b -@2 -o "$bam.tmp" "$sam" || die "samtools view -b failed"
  mv "$bam.tmp" "$bam"
  samtools index "$bam" "$bam.bai.tmp" || die "samtools index failed"
  mv "$bam.bai.tmp" "$bam.bai"
fi
bgzf_bytes=$(stat -c %s "$bgzf")
fq1_bytes=$(stat -c %s "${fq[0]}")
bam_bytes=$(stat -c %s "$bam")

rm -rf "$tmp" "$results/failed"
mkdir -p "$tmp" "$results"

# Five outputs: shards 1 to 4, and group 0 for everything else (the rest of chr20, chr21, chr22,
# chrX, chrY and the unmapped reads).
shard_opts=("s1=chr1,chr2" "s2=chr3,chr4,chr5,chr6" "s3=chr7,chr8,chr9,chr10,chr11,chr12"
            "s4=chr13,chr14,chr15,chr16,chr17,chr18,chr19,chr20:1-30000000")
shard_args=()
for o in "${shard_opts[@]}"; do shard_args+=(-O "$o"); done
python3 bench/shards.py "$data/contigs.tsv" "$tmp/rules.tsv" "$tmp/shards.bed" "${shard_opts[@]}"
# Whole-contig shards as a user writes them, for the if-else mawk program beside them: chr2 cut
# in the middle, two contigs in the last shard.
simple_opts=("s1=chr1" "s2=chr2:1-100000000" "s3=chr3" "s4=chrX,chrY")
simple_args=()
for o in "${simple_opts[@]}"; do simple_args+=(-O "$o"); done
python3 bench/shards.py "$data/contigs.tsv" "$tmp/simple.tsv" "$tmp/simple.bed" "${simple_opts[@]}"
# Each group's regions, as samtools takes them on its command line, from the plan shuffler prints
# for the BAM's header: "contig:start-end" (1-based, closed), or the contig's name when whole;
# group 0 also takes the unmapped reads ("*").
region_lists=()
while read -r contig start end group; do
  length=$(awk -v c="$contig" '$1 == c { print $2 }' "$data/contigs.tsv")
  if ((start == 0 && end == length)); then region=$contig; else region="$contig:$((start + 1))-$end"; fi
  region_lists[group]="${region_lists[group]:-} $region"
done < <("$bin" --plan "${shard_args[@]}" "$bam")
region_lists[0]="${region_lists[0]:-} *"

# What shuffler must deliver. Dicing adds " #N#" to the first record of both files in every
# block; at the default block threshold of 10^6 bases a block is ceil(10^6 / 300) read pairs.
# The dicing rows give that threshold explicitly (dice_opts), as a baseline's default may differ.
blksize=1000000
dice_opts=(-O "blksize=$blksize")
# One file is diced the same way, a block ending at an even record number too, with one tag per
# block.
dice_bytes() { # pairs bytes [files]: what dicing that many pairs (or reads, files=1) delivers
  python3 - "$1" "$2" "${3:-2}" "$read_length" "$blksize" <<'EOF'
import sys
units, size, files, read_length, blksize = map(int, sys.argv[1:])
per_block = 2 * -(-blksize // (2 * read_length))  # records, counted over the files
records = units * files
full, rest = divmod(records, per_block)
print(size + sum(files * len(f" #{per_block * i}#") for i in range(full + (rest > 0))))
EOF
}
dice_expected=$(dice_bytes "$pairs" "$fastq_bytes")
bgzf_expected=$(dice_bytes "$pairs" "$fq1_bytes" 1)
# Every one of the five outputs gets the SAM header.
shard_expected=$((sam_bytes + 4 * sam_header_bytes))
# BAM outputs: compressed, so only near the input BAM's size (each output has its own header and
# last, partly filled blocks; samtools's region runs repeat the few reads crossing a boundary).
bam_range=$((bam_bytes * 90 / 100)):$((bam_bytes * 110 / 100))
# samtools adds its own @PG line to both its outputs.
samtools_range=$((sam_bytes * 98 / 100)):$((sam_bytes * 102 / 100 + 2 * sam_header_bytes))

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

# Sinks: a named pipe per output, drained by bench/sink.c, which discards the data and notes how
# many bytes came and when the last of them came. Every tool's consumers are this one program. A slow sink (bench/slow_sink.c) drains at
# $slow_rate bytes per second and logs every read; its last line is the same report.
sink_pids=()
sink_names=()
sink() { # name: creates $tmp/name.fifo
  mkfifo "$tmp/$1.fifo"
  timeout "$limit" "$tmp/sink" "$tmp/$1.fifo" "$tmp/$1.count" &
  sink_pids+=($!)
  sink_names+=("$1")
}
slow_sink() { # name: as sink
  mkfifo "$tmp/$1.fifo"
  timeout "$limit" "$tmp/slow_sink" "$tmp/$1.fifo" "$tmp/$1.count" "$slow_rate" &
  sink_pids+=($!)
  sink_names+=("$1")
}
# Waits for every sink; sets got to the sum of their byte counts, last to the latest time any of
# them received data and sinks_ended to when the last had ended (the job's other processes have
# by then; reading the reports takes a while with hundreds of sinks). With sink_logs set, the
# sinks' reports are kept there.
sink_logs=
sinks_ended=
sinks_finish() {
  local pid name ok=0 report
  got=0
  last=0
  for pid in "${sink_pids[@]}"; do wait "$pid" || ok=1; done
  sinks_ended=$EPOCHREALTIME
  for report in "$tmp"/job*.count; do # sinks that parallel ran, one per job
    [ -e "$report" ] || continue
    sink_names+=("$(basename "$report" .count)")
  done
  for name in "${sink_names[@]}"; do
    report=$(tail -n 1 "$tmp/$name.count" 2>/dev/null) || true
    [ -n "$report" ] || report="0 0"
    got=$((got + ${report%% *}))
    last=$(awk -v a="$last" -v b="${report##* }" 'BEGIN { printf "%.6f", (b > a ? b : a) }')
    [ -z "$sink_logs" ] || cp "$tmp/$name.count" "$sink_logs/$name.log" 2>/dev/null || true
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
  local now=${sinks_ended:-$EPOCHREALTIME}
  sinks_ended=
  wall=$(elapsed "$1" "$last")
  ended=$(elapsed "$1" "$now")
}

# ---------------------------------------------------------------------------------------------
# The runs. Each sets got (bytes delivered), wall and ended (seconds, see stop_clock); shuffler
# runs also set cpu (all shuffler processes). The processes a row's usage columns count
# (shuffler's input side, or every process of another tool, the sinks apart) run under GNU time,
# each writing its report to $tmp/NAME.usage (see in_usage). The clock starts with the first
# process of the job. A non-zero status means the run failed.
timed=(/usr/bin/time -v -o) # then the report's path, and the command

# By default the input side's deadline is 1 s, the shortest there is: it only has to outlast the
# workers' connecting. Its processes live at least that long, so the time taken is that of the
# last byte. The input side reads standard input from the file named by stdin_file, if any: a
# command run in the background would otherwise get /dev/null. A caller may override, as locals,
# the binary (run_bin), the input side's run options (input_opts), the workers' (worker_opts)
# and the sink (make_sink).
stdin_file=/dev/null
run_bin=$bin
input_opts=(-t 1)
worker_opts=()
make_sink=sink
run_shuffler() { # group_of_each_worker... -- input side arguments...
  local groups=() port t0 ipid ok=0 w
  while [ "$1" != -- ]; do groups+=("$1"); shift; done
  shift
  port=$(free_port)
  for w in "${!groups[@]}"; do $make_sink "out$w"; done
  t0=$EPOCHREALTIME
  timeout "$limit" "${timed[@]}" "$tmp/input.usage" \
    "$run_bin" -l "127.0.0.1:$port" "${input_opts[@]}" "$@" <"$stdin_file" 2>"$tmp/input.err" &
  ipid=$!
  local wpids=()
  if wait_listen "$port"; then
    for w in "${!groups[@]}"; do
      timeout "$limit" "$run_bin" -g "${groups[w]}" -c "127.0.0.1:$port" -t 60 \
        "${worker_opts[@]}" >"$tmp/out$w.fifo" 2>"$tmp/worker$w.err" &
      wpids+=($!)
    done
  else
    say "bench: shuffler did not listen on port $port"
    ok=1
    # Lets the sinks end; bounded, as a sink that failed to start never opens its pipe.
    # shellcheck disable=SC2016 # $1 is the inner shell's
    for w in "${!groups[@]}"; do timeout 10 bash -c ': >"$1"' _ "$tmp/out$w.fifo" || true; done
  fi
  for w in "${!wpids[@]}"; do check "${wpids[w]}" "shuffler worker $w" || ok=1; done
  check "$ipid" "shuffler input side" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  # Processor time of every shuffler process and its children (the input side's read relays):
  # less swayed than wall time by whatever else the machine runs.
  cpu=$(awk '/^\t(User|System) time/ { s += $NF }
             /^(real|children) / { s += $(NF - 2) + $NF }
             END { printf "%.3f", s }' "$tmp/input.usage" "$tmp"/worker*.err)
  return $ok
}

run_shuffler_fastq() { run_shuffler 0 0 -- "${dice_opts[@]}" "${fq[@]}"; }
# Told how many workers to expect, the input side ends with the last acknowledgement instead of
# at its deadline: the exit time is the job's real length.
run_shuffler_workers() {
  local input_opts=(-t 60 -w 2)
  run_shuffler 0 0 -- "${dice_opts[@]}" "${fq[@]}"
}
# The same job with every connection TLS 1.3, keyed by a secret file: the cost of encryption is
# this row's time against the one above.
run_shuffler_tls() {
  local secret=$tmp/job.secret
  (umask 077 && od -An -N32 -tx1 /dev/urandom | tr -d ' \n' >"$secret")
  local input_opts=(-t 60 -w 2 --secret-file "$secret") worker_opts=(--secret-file "$secret")
  run_shuffler 0 0 -- "${dice_opts[@]}" "${fq[@]}"
}
run_shuffler_gzip() { run_shuffler 0 0 -- "${dice_opts[@]}" "${gz[@]}"; }
# One BGZF file, as the gzip pair is read.
run_shuffler_bgzf() { run_shuffler 0 0 -- "${dice_opts[@]}" "$bgzf"; }
run_shuffler_stdin_sam() { # as run_shuffler, the SAM on standard input
  local ok=0
  stdin_file=$sam
  run_shuffler "$@" || ok=1
  stdin_file=/dev/null
  return $ok
}
run_shuffler_sam() { run_shuffler_stdin_sam 0 1 2 3 4 -- -f sam "${shard_args[@]}"; }
run_shuffler_simple() { run_shuffler_stdin_sam 0 1 2 3 4 -- -f sam "${simple_args[@]}"; }
# Equal shards, few and many. Told how many workers to expect, the input side waits for all 257
# however long they take to start, and ends with the last acknowledgement.
run_shuffler_shards() { # shards
  local input_opts=(-t 60 -w $(($1 + 1))) groups=() k
  for ((k = 0; k <= $1; k++)); do groups+=("$k"); done
  run_shuffler_stdin_sam "${groups[@]}" -- -f sam -O "shards=$1"
}
run_shuffler_shards4() { run_shuffler_shards 4; }
run_shuffler_shards256() { run_shuffler_shards 256; }
# The BAM read by name, each worker writing BAM. The workers' summaries give the bytes that came
# over the wire (SAM text, message headers included): wire, per alignment.
run_shuffler_bam() {
  local worker_opts=(-f bam --summary) ok=0
  run_shuffler 0 1 2 3 4 -- "${shard_args[@]}" "$bam" || ok=1
  wire=$(awk '/^summary: group / { for (i = 1; i < NF; i++) if ($(i + 1) == "bytes" && $(i + 2) == "received,") s += $i }
              END { printf "%.1f", s / n }' n="$sam_records" "$tmp"/worker*.err)
  return $ok
}

# A shuffler row's twin: the row's own run function, every process (input side and workers) the
# baseline binary.
run_baseline() { # run function
  local run_bin=$baseline_bin
  "$1"
}

run_nc() {
  local port t0 rpid ok=0
  port=$(free_port)
  sink nc
  timeout "$limit" "${timed[@]}" "$tmp/nc-receiver.usage" nc -d -l 127.0.0.1 "$port" \
    >"$tmp/nc.fifo" 2>"$tmp/nc-receiver.err" &
  rpid=$!
  if ! wait_listen "$port"; then
    say "bench: nc did not listen on port $port"
    kill "$rpid" 2>/dev/null
    : >"$tmp/nc.fifo"
    sinks_finish
    return 1
  fi
  t0=$EPOCHREALTIME
  "${timed[@]}" "$tmp/cat.usage" cat "${fq[@]}" |
    timeout "$limit" "${timed[@]}" "$tmp/nc-sender.usage" nc -N 127.0.0.1 "$port" \
    2>"$tmp/nc-sender.err" || ok=1
  check "$rpid" "nc receiver" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}

# --round-robin keeps two long-lived workers instead of starting one per block of input; each
# is a sink, reporting to job<slot>.count.
run_parallel() {
  local t0 ok=0
  t0=$EPOCHREALTIME
  "${timed[@]}" "$tmp/cat.usage" cat "${fq[@]}" |
    timeout "$limit" "${timed[@]}" "$tmp/parallel.usage" parallel --will-cite --pipe --round-robin -L 4 -j2 \
    "$tmp/sink" - "$tmp/job{%}.count" 2>"$tmp/parallel.err" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}

# Each file split in place into four parts on line boundaries (not records), two jobs at a time,
# every job a sink: the fastest way parallel has to hand a local file out.
run_pipepart() {
  local t0 f ok=0
  t0=$EPOCHREALTIME
  for f in "${fq[@]}"; do
    timeout "$limit" "${timed[@]}" "$tmp/parallel-$(basename "$f" .fq).usage" \
      parallel --will-cite --pipepart -a "$f" --block -2 -j2 \
      "$tmp/sink" - "$tmp/job$(basename "$f" .fq){#}.count" 2>>"$tmp/parallel.err" || ok=1
  done
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}

# Both files at once, as shuffler decompresses them, by gzip or by ISA-L's igzip.
run_decompress() { # program
  local t0 p1 p2 ok=0
  sink gz1
  sink gz2
  t0=$EPOCHREALTIME
  timeout "$limit" "${timed[@]}" "$tmp/gz1.usage" "$1" -dc "${gz[0]}" >"$tmp/gz1.fifo" \
    2>"$tmp/gzip1.err" &
  p1=$!
  timeout "$limit" "${timed[@]}" "$tmp/gz2.usage" "$1" -dc "${gz[1]}" >"$tmp/gz2.fifo" \
    2>"$tmp/gzip2.err" &
  p2=$!
  check "$p1" "$1 -dc" || ok=1
  check "$p2" "$1 -dc" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}
run_gzip() { run_decompress gzip; }
run_igzip() { run_decompress igzip; }
# The BGZF file: igzip inflates its members one after another; bgzip, on two threads, in parallel.
run_decompress_bgzf() { # program [options]
  local t0 ok=0
  sink bgzf
  t0=$EPOCHREALTIME
  timeout "$limit" "${timed[@]}" "$tmp/bgzf.usage" "$@" -dc "$bgzf" >"$tmp/bgzf.fifo" \
    2>"$tmp/bgzf.err" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}
run_igzip_bgzf() { run_decompress_bgzf igzip; }
run_bgzip_bgzf() { run_decompress_bgzf bgzip -@2; }

# The same routing as shuffler: the first rule of the record's contig whose [start, end)
# holds POS - 1 names the shard, else shard 0; header lines before the first record go to all.
run_mawk() {
  local t0 k ok=0
  for k in 0 1 2 3 4; do sink "mawk$k"; done
  t0=$EPOCHREALTIME
  # shellcheck disable=SC2016 # an awk program
  timeout "$limit" "${timed[@]}" "$tmp/mawk.usage" mawk -F '\t' -v rules="$tmp/rules.tsv" -v dir="$tmp" '
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

# What a user writes for whole-contig shards (simple_opts): an if-else chain on the contig, and
# the header (every line starting with @) to all five outputs.
run_mawk_simple() {
  local t0 k ok=0
  for k in 0 1 2 3 4; do sink "simple$k"; done
  t0=$EPOCHREALTIME
  # shellcheck disable=SC2016 # an awk program
  timeout "$limit" "${timed[@]}" "$tmp/mawk.usage" mawk -F '\t' -v fifo="$tmp/simple" '
    /^@/ { for (i = 0; i < 5; i++) print > (fifo i ".fifo"); next }
    { s = 0; if ($3 == "chr1") s = 1; else if ($3 == "chr2" && $4 <= 100000000) s = 2;
      else if ($3 == "chr3") s = 3; else if ($3 == "chrX" || $3 == "chrY") s = 4;
      print > (fifo s ".fifo") }' "$sam" 2>"$tmp/mawk.err" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}

# One pass, two outputs: reads overlapping any shard, and the rest (-U). A five-way split would
# need a pass per shard, so this is the cheapest way samtools has to do the job. samtools adds
# its own @PG line to both outputs, hence the byte range rather than an exact count.
run_samtools_with() { # BED file, input, samtools options...
  local t0 ok=0 bed=$1 input=$2
  shift 2
  sink st-in
  sink st-other
  t0=$EPOCHREALTIME
  timeout "$limit" "${timed[@]}" "$tmp/samtools.usage" samtools view "$@" -L "$bed" \
    -U "$tmp/st-other.fifo" -o "$tmp/st-in.fifo" "$input" 2>"$tmp/samtools.err" || ok=1
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}
run_samtools() { run_samtools_with "$tmp/shards.bed" "$sam" -h; }
run_samtools_simple() { run_samtools_with "$tmp/simple.bed" "$sam" -h; }
run_samtools_bam() { run_samtools_with "$tmp/shards.bed" "$bam" -@2 -b; }
# Five outputs from the indexed BAM: one run per group, one after another, each given its
# group's regions from the plan. A read crossing a boundary between groups is in both.
run_samtools_regions() {
  local t0 k ok=0 regions
  for k in 0 1 2 3 4; do sink "region$k"; done
  t0=$EPOCHREALTIME
  for k in 0 1 2 3 4; do
    read -ra regions <<<"${region_lists[k]}"
    timeout "$limit" "${timed[@]}" "$tmp/samtools$k.usage" samtools view -@2 -b "$bam" \
      "${regions[@]}" >"$tmp/region$k.fifo" 2>"$tmp/samtools$k.err" || ok=1
  done
  sinks_finish || ok=1
  stop_clock "$t0"
  return $ok
}

# Slow consumers: every worker's output drains at $slow_rate bytes per second. The rates come
# from the sinks' logs (bench/busy_rate.py): "bytes whole busy", busy being the aggregate rate
# while every worker had started and none had finished.
run_slow() { # workers -- input side arguments...; input_opts as for run_shuffler
  local groups=() w make_sink=slow_sink sink_logs=$tmp/logs
  for ((w = 0; w < $1; w++)); do groups+=(0); done
  shift 2
  rm -rf "$sink_logs"
  mkdir -p "$sink_logs"
  run_shuffler "${groups[@]}" -- "$@" || return 1
  rates=$(python3 bench/busy_rate.py "$sink_logs"/*.log) || return 1
}
run_slow_single() {
  local input_opts=(-t 60 -w 1)
  run_slow 1 -- "${single[@]}"
}
run_slow_expected() {
  local input_opts=(-t 60 -w "$slow_workers")
  run_slow "$slow_workers" -- "${fq[@]}"
}
# Without -w the input side's pool is its plain default, and it ends at its deadline at the
# earliest (long enough for every worker to connect).
run_slow_unexpected() {
  local input_opts=(-t 10)
  run_slow "$slow_workers" -- "${fq[@]}"
}

# ---------------------------------------------------------------------------------------------
# Cases: name|tool label|run function|bytes the run must deliver (exact, or min:max)

cases=(
  "fastq pair|shuffler: dice to 2 workers|run_shuffler_fastq|$dice_expected"
  "fastq pair|shuffler --workers 2, -t 60|run_shuffler_workers|$dice_expected"
  "fastq pair|shuffler -w 2 --secret-file|run_shuffler_tls|$dice_expected"
  "fastq pair|nc over loopback|run_nc|$fastq_bytes"
  "fastq pair|parallel --pipe -L 4 -j2|run_parallel|$fastq_bytes"
  "fastq pair|parallel --pipepart -j2|run_pipepart|$fastq_bytes"
  "fastq.gz pair|shuffler: dice to 2 workers|run_shuffler_gzip|$dice_expected"
  "fastq.gz pair|gzip -dc, both files|run_gzip|$fastq_bytes"
  "fastq.gz pair|igzip -dc, both files|run_igzip|$fastq_bytes"
  "bgzf fastq|shuffler: dice to 2 workers|run_shuffler_bgzf|$bgzf_expected"
  "bgzf fastq|igzip -dc|run_igzip_bgzf|$fq1_bytes"
  "bgzf fastq|bgzip -dc -@2|run_bgzip_bgzf|$fq1_bytes"
  "sam, 5 outputs|shuffler: 4 shards + group 0|run_shuffler_sam|$shard_expected"
  "sam, 5 outputs|mawk split to 5|run_mawk|$shard_expected"
  "sam, 5 outputs|samtools view -L bed -U|run_samtools|$samtools_range"
  "sam, 5 simple|shuffler: 4 shards + group 0|run_shuffler_simple|$shard_expected"
  "sam, 5 simple|mawk if-else by contig|run_mawk_simple|$shard_expected"
  "sam, 5 simple|samtools view -L bed -U|run_samtools_simple|$samtools_range"
  "sam, shards=N|shuffler shards=4, -w 5|run_shuffler_shards4|$shard_expected"
  "sam, shards=N|shuffler shards=256, -w 257|run_shuffler_shards256|$((sam_bytes + 256 * sam_header_bytes))"
  "bam, 5 outputs|shuffler: -f bam to 5 workers|run_shuffler_bam|$bam_range"
  "bam, 5 outputs|samtools view -@2 -b -L -U|run_samtools_bam|$bam_range"
  "bam, 5 outputs|samtools view -@2 -b REGIONS x5|run_samtools_regions|$bam_range"
)
# With a baseline, each shuffler row is followed by its twin: the same job, the same bytes.
if [ -n "$baseline_bin" ]; then
  rows=()
  for row in "${cases[@]}"; do
    rows+=("$row")
    IFS='|' read -r name label fn want <<<"$row"
    if [[ $label == shuffler* ]]; then rows+=("$name|baseline: $label|run_baseline $fn|$want"); fi
  done
  cases=("${rows[@]}")
fi
# Slow consumers: label|workers|run function|bytes. One worker alone gets the first four
# blocks: enough for its rate, without waiting for the whole input at one worker's pace.
per_block=$(((blksize + 2 * read_length - 1) / (2 * read_length)))
single=("$tmp/single_1.fq" "$tmp/single_2.fq")
slow_name="$slow_workers slow consumers"
slow_cases=(
  "1 worker alone|1|run_slow_single|"
  "$slow_workers workers, --workers $slow_workers|$slow_workers|run_slow_expected|$dice_expected"
  "$slow_workers workers, no --workers|$slow_workers|run_slow_unexpected|$dice_expected"
)
declare -A walls exits cpus in_cpus rsss wires status peak whole busy
selected() { [ -z "$only" ] || [[ $1 =~ $only ]]; } # "case: tool"
# A twin runs when its row does, or when its own label is chosen.
row_selected() { # case tool
  selected "$1: $2" || { [[ $2 == "baseline: "* ]] && selected "$1: ${2#baseline: }"; }
}
slow_selected() {
  local row
  for row in "${slow_cases[@]}"; do selected "$slow_name: ${row%%|*}" && return 0; done
  return 1
}
# Keeps a failed run's standard error files, which the next run would overwrite.
keep_errors() { # run function
  local dir=$results/failed/$1 f
  rm -rf "$dir"
  mkdir -p "$dir"
  for f in "$tmp"/*.err; do [ -s "$f" ] && cp "$f" "$dir/"; done
  return 0
}
cc -O2 -Wall -Wextra -o "$tmp/sink" bench/sink.c || die "cannot build sink"
if slow_selected; then
  cc -O2 -Wall -Wextra -o "$tmp/slow_sink" bench/slow_sink.c || die "cannot build slow_sink"
  head -n $((4 * 4 * per_block)) "${fq[0]}" >"${single[0]}"
  head -n $((4 * 4 * per_block)) "${fq[1]}" >"${single[1]}"
  single_pairs=$(($(wc -l <"${single[0]}") / 4))
  single_bytes=$(($(stat -c %s "${single[0]}") + $(stat -c %s "${single[1]}")))
  slow_cases[0]+=$(dice_bytes "$single_pairs" "$single_bytes")
fi

# Reading the inputs puts them in the page cache, so no tool pays for the disk. It is done before
# every run: a machine that reclaims cold pages (as DAMON's pageout scheme does) evicts them
# between rows.
warm_inputs() { cat "${fq[@]}" "${gz[@]}" "$sam" "$bgzf" "$bam" "$bam.bai" >/dev/null; }

# Sets in_cpu (processor seconds, user + system) and rss (KiB, the largest peak resident set size
# of one process) from the run's GNU time reports: shuffler's input side, or the other tool's
# processes. A report covers its process's children too (parallel's, the sinks it runs).
in_usage() {
  local reports=("$tmp"/*.usage)
  in_cpu='' rss=0
  [ -e "${reports[0]}" ] || return 0
  read -r in_cpu rss < <(awk '/^\t(User|System) time/ { s += $NF }
                              /^\tMaximum resident set size/ { if ($NF > m) m = $NF }
                              END { printf "%.3f %d\n", s, m }' "${reports[@]}")
}

# Runs a row once. Records its times, or marks it failed; succeeds when the run did.
attempt() { # key into the result arrays, run function (run_baseline FUNCTION for a twin), bytes
            # wanted (exact, or min:max)
  local key=$1 fn=$2 want=$3 lo hi failed
  wall=0 ended=0 got=0 last=0 rss=0 cpu='' in_cpu='' wire='' rates='' sinks_ended=''
  rm -f "$tmp"/*.err "$tmp"/*.usage # an earlier row's, e.g. the workers it had beyond this one's
  warm_inputs
  if ! $fn; then
    failed=${fn/#run_baseline /baseline-}
    status[$key]="FAILED (exit status; see bench/results/failed/$failed)"
    keep_errors "$failed"
    return 1
  fi
  lo=${want%%:*} hi=${want##*:}
  if ((got < lo || got > hi)); then
    status[$key]="FAILED ($got bytes delivered, expected ${want/:/ to })"
    return 1
  fi
  walls[$key]="${walls[$key]:-} $wall"
  exits[$key]="${exits[$key]:-} $ended"
  in_usage
  in_cpus[$key]="${in_cpus[$key]:-} $in_cpu"
  rsss[$key]="${rsss[$key]:-} $rss"
}

# The rows' order in a round: every other round a twin runs before its row, so that neither
# binary always has the first or the second turn.
round_order() { # round; sets order
  local i n=${#cases[@]}
  order=()
  for ((i = 0; i < n; i++)); do
    if (($1 % 2 == 0 && i + 1 < n)) && [[ ${cases[i + 1]} == *"|baseline: "* ]]; then
      order+=($((i + 1)) "$i")
      i=$((i + 1))
    else
      order+=("$i")
    fi
  done
}

for ((r = 1; r <= repeat; r++)); do
  round_order "$r"
  for i in "${order[@]}"; do
    IFS='|' read -r name label fn want <<<"${cases[i]}"
    if ! row_selected "$name" "$label" || [ "${status[$i]:-ok}" != ok ]; then continue; fi
    say "bench: run $r/$repeat: $name: $label"
    attempt "$i" "$fn" "$want" || continue
    cpus[$i]="${cpus[$i]:-} $cpu"
    wires[$i]="${wires[$i]:-} $wire"
    if [[ $label == shuffler* ]] && ((rss > ${peak[$name]:-0})); then peak[$name]=$rss; fi
  done
  for i in "${!slow_cases[@]}"; do
    IFS='|' read -r label workers fn want <<<"${slow_cases[i]}"
    if ! selected "$slow_name: $label" || [ "${status[slow$i]:-ok}" != ok ]; then continue; fi
    say "bench: run $r/$repeat: $slow_name: $label"
    attempt "slow$i" "$fn" "$want" || continue
    read -r _ whole_rate busy_rate <<<"$rates"
    whole[slow$i]="${whole[slow$i]:-} $whole_rate"
    busy[slow$i]="${busy[slow$i]:-} $busy_rate"
  done
done

# ---------------------------------------------------------------------------------------------
# Table

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

{
  echo "shuffler benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
  [ -z "$baseline_bin" ] || echo "baseline: $baseline_name, in the rows \"baseline: <tool>\""
  echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(uname -r)"
  echo "data: FASTQ pair $((fastq_bytes / 1000000)) MB ($pairs pairs of ${read_length} bases)," \
       "gzip -$level $((gz_bytes / 1000000)) MB, SAM $((sam_bytes / 1000000)) MB ($sam_records records, 24 contigs)"
  echo "      its first file as BGZF $((bgzf_bytes / 1000000)) MB (bgzip -@2), the SAM as BAM $((bam_bytes / 1000000)) MB (samtools view -b -@2)"
  echo "median of $repeat runs; wall: until the last byte reached its consumer; exit: until every"
  echo "process had ended (at least the input side's deadline, -t 1 unless the row says otherwise;"
  echo "with --workers it ends with the last acknowledgement); MB/s: 10^6 bytes of uncompressed input"
  echo "per wall second; vs shuffler: wall / the case's first shuffler row's wall, > 1 means shuffler is faster;"
  echo "cpu: processor seconds of all shuffler processes (user + system, with their children);"
  echo "in cpu, in MiB: processor seconds and largest peak resident set size of shuffler's input side,"
  echo "or of all the other tool's processes; bgzf fastq MB/s: of the one file, bam MB/s: of the SAM"
  echo
  # The tool column is as wide as its longest label ("baseline: " adds 10).
  tw=30
  for row in "${cases[@]}"; do
    IFS='|' read -r name label fn want <<<"$row"
    ((${#label} <= tw)) || tw=${#label}
  done
  printf "%-15s %-${tw}s %8s %8s %11s %8s %7s %8s %7s\n" case tool "wall s" "MB/s" "vs shuffler" \
    "exit s" "cpu s" "in cpu s" "in MiB"
  declare -A base fastq_walls fastq_cpus shards_cpu shards_rss row_wall row_cpu
  for i in "${!cases[@]}"; do
    IFS='|' read -r name label fn want <<<"${cases[i]}"
    row_selected "$name" "$label" || continue
    if [ "${status[$i]:-ok}" != ok ]; then
      printf "%-15s %-${tw}s %s\n" "$name" "$label" "${status[$i]}"
      continue
    fi
    w=$(median <<<"${walls[$i]}")
    e=$(median <<<"${exits[$i]}")
    c=$(median <<<"${cpus[$i]:-}" || true) # only shuffler runs have one
    ic=$(median <<<"${in_cpus[$i]:-}" || true)
    m=$(median <<<"${rsss[$i]:-}" || true)
    row_wall[$i]=$w row_cpu[$i]=$c
    [[ $name == "sam, shards=N" && $label =~ ^shuffler.*shards=([0-9]+) ]] &&
      shards_cpu[${BASH_REMATCH[1]}]=$ic shards_rss[${BASH_REMATCH[1]}]=$m
    [[ $name == bam* && $label == shuffler* ]] && bam_wire=$(median <<<"${wires[$i]:-}" || true)
    [[ $label == shuffler* && -z ${base[$name]:-} ]] && base[$name]=$w
    [[ $name == "fastq pair" && $label == shuffler* ]] &&
      fastq_walls[$label]=$w fastq_cpus[$label]=$c
    bytes=$fastq_bytes
    [[ $name == sam* || $name == bam* ]] && bytes=$sam_bytes
    [[ $name == bgzf* ]] && bytes=$fq1_bytes
    awk -v n="$name" -v t="$label" -v tw="$tw" -v w="$w" -v e="$e" -v b="$bytes" -v s="${base[$name]:-0}" \
        -v c="$c" -v ic="$ic" -v m="$m" 'BEGIN {
      printf "%-15s %-*s %8.3f %8.1f %11s %8.3f %7s %8s %7s\n", n, tw, t, w, b / 1e6 / w,
             (s > 0 ? sprintf("%.2f", w / s) : "-"), e, (c == "" ? "-" : c),
             (ic == "" ? "-" : ic), (m == "" || m == 0 ? "-" : sprintf("%.0f", m / 1024)) }'
  done
  echo
  # What many shards cost the input side, against few.
  if [ -n "${shards_cpu[4]:-}" ] && [ -n "${shards_cpu[256]:-}" ]; then
    awk -v a="${shards_cpu[4]}" -v b="${shards_cpu[256]}" -v r="${shards_rss[4]}" \
        -v q="${shards_rss[256]}" 'BEGIN {
      printf "sam, shards=256 against shards=4: input side cpu %.2fx, peak RSS %.2fx\n\n", b / a, q / r }'
  fi
  # SAM text travels between the processes whatever the input was.
  if [ -n "${bam_wire:-}" ]; then
    awk -v w="$bam_wire" -v b="$bam_bytes" -v n="$sam_records" -v s="$sam_bytes" 'BEGIN {
      printf "bam, 5 outputs: %.1f bytes on the wire per alignment (SAM text, message and shard headers included;\n", w
      printf "the SAM file holds %.1f, the BAM %.1f)\n\n", s / n, b / n }'
  fi
  # What encryption costs: the same job with and without a secret.
  plain_wall=${fastq_walls[shuffler --workers 2, -t 60]:-}
  tls_wall=${fastq_walls[shuffler -w 2 --secret-file]:-}
  if [ -n "$plain_wall" ] && [ -n "$tls_wall" ]; then
    awk -v p="$plain_wall" -v t="$tls_wall" -v c="${fastq_cpus[shuffler --workers 2, -t 60]}" \
        -v d="${fastq_cpus[shuffler -w 2 --secret-file]}" 'BEGIN {
      printf "fastq pair with TLS: %.2f of the plain rate, cpu %+.1f%%\n\n", p / t, (d / c - 1) * 100 }'
  fi
  # Every shuffler row against its twin (the row after it): the same job run by the baseline.
  if [ -n "$baseline_bin" ]; then
    echo "against the baseline: each shuffler row's median against its twin's, as new / baseline - 1;"
    echo "below 0 the new binary took less"
    worst_t='' worst_c=''
    for i in "${!cases[@]}"; do
      IFS='|' read -r name label fn want <<<"${cases[i]}"
      if [[ $label != shuffler* ]] || ! row_selected "$name" "$label"; then continue; fi
      j=$((i + 1))
      if [ -z "${row_wall[$i]:-}" ] || [ -z "${row_wall[$j]:-}" ]; then
        printf '%-15s %-30s no comparison: a run failed\n' "$name" "$label"
        continue
      fi
      read -r t c < <(awk -v s="${row_wall[$i]}" -v b="${row_wall[$j]}" -v c="${row_cpu[$i]}" \
        -v d="${row_cpu[$j]}" 'BEGIN { printf "%+.1f %+.1f\n", (s / b - 1) * 100, (c / d - 1) * 100 }')
      printf '%-15s %-30s time to the last byte %6s%%, cpu %6s%%\n' "$name" "$label" "$t" "$c"
      awk -v a="$t" -v b="${worst_t%% *}" 'BEGIN { exit !(b == "" || a + 0 > b + 0) }' &&
        worst_t="$t ($name: $label)"
      awk -v a="$c" -v b="${worst_c%% *}" 'BEGIN { exit !(b == "" || a + 0 > b + 0) }' &&
        worst_c="$c ($name: $label)"
    done
    if [ -n "$worst_t" ]; then
      echo "largest: time to the last byte ${worst_t/ /% }, cpu ${worst_c/ /% }"
    fi
    echo
  fi
  if slow_selected; then
    echo "$slow_name: the FASTQ pair diced at default settings to workers whose outputs each"
    echo "drain at $(awk -v r="$slow_rate" 'BEGIN { print r / 1e6 }') MB/s (bench/slow_sink.c)." \
         "whole: all bytes / first to last byte; busy: while every"
    echo "worker had started and none had finished; vs ideal: busy / (workers x one worker's busy rate)"
    echo
    printf '%-32s %8s %8s %8s %11s %10s %9s\n' run MB "wall s" "exit s" "whole MB/s" "busy MB/s" "vs ideal"
    for i in "${!slow_cases[@]}"; do
      IFS='|' read -r label workers fn want <<<"${slow_cases[i]}"
      selected "$slow_name: $label" || continue
      if [ "${status[slow$i]:-ok}" != ok ]; then
        printf '%-32s %s\n' "$label" "${status[slow$i]}"
        continue
      fi
      b=$(median <<<"${busy[slow$i]}")
      ((workers == 1)) && single_rate=$b
      awk -v t="$label" -v m="$want" -v w="$(median <<<"${walls[slow$i]}")" \
          -v e="$(median <<<"${exits[slow$i]}")" -v h="$(median <<<"${whole[slow$i]}")" \
          -v b="$b" -v n="$workers" -v s="${single_rate:-0}" 'BEGIN {
        printf "%-32s %8.1f %8.3f %8.3f %11.2f %10s %9s\n", t, m / 1e6, w, e, h / 1e6,
               (b == "-" ? "-" : sprintf("%.2f", b / 1e6)),
               (b == "-" || s == 0 ? "-" : sprintf("%.3f", b / (n * s))) }'
    done
    echo
  fi
  for name in "fastq pair" "fastq.gz pair" "sam, 5 outputs"; do
    [ -n "${peak[$name]:-}" ] &&
      echo "shuffler input side peak RSS, $name: $((peak[$name] / 1024)) MiB"
  done
  :
} | tee "$results/latest.txt"

rm -f "$tmp"/*.err # the failed runs' are kept in bench/results/failed
for i in "${!status[@]}"; do
  [ "${status[$i]}" = ok ] || die "some runs failed; see the table"
done
rm -rf "$tmp"
