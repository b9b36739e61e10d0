#!/usr/bin/env bash
# From a fresh checkout to a real job: installs what is missing, builds shuffler into
# build-quickstart, then runs two jobs on loopback with the bundled sample data and checks them.
#   1. The paired FASTQ in data/ is diced into small blocks shared by three workers (group 0);
#      the input is rebuilt from the workers' output, so every read pair must arrive exactly once.
#   2. data/sample.sam is sharded by position into three groups; every alignment line must reach
#      exactly its own shard, in input order, and every shard must get the header.
# Exits non-zero with a message on any mismatch. Takes a few seconds after the build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
cmake -S . -B build-quickstart -G Ninja -DCMAKE_BUILD_TYPE=Release -DSHUFFLER_TESTS=OFF >/dev/null
cmake --build build-quickstart
bin=$root/build-quickstart/shuffler

work=$(mktemp -d "${TMPDIR:-/tmp}/shuffler-quickstart.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "quickstart: FAILED: $*" >&2
  local f
  for f in "$work"/*.err; do
    [ -s "$f" ] && { echo "--- $(basename "$f")" >&2; cat "$f" >&2; }
  done
  exit 1
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Number of sockets on this port in the given /proc/net/tcp state (0A listening, 01 established),
# counted on the local side so each connection counts once.
sockets_in_state() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v port=":$hex" -v st="$2" \
    'substr($2, length($2) - 4) == port && $4 == st { n++ } END { print n + 0 }' /proc/net/tcp
}

wait_for_sockets() { # port state count what
  local i
  for ((i = 0; i < 200; i++)); do
    [ "$(sockets_in_state "$1" "$2")" -ge "$3" ] && return 0
    sleep 0.05
  done
  fail "timed out waiting for $4"
}

# Waits for one started process and fails the run when it did not end with status 0.
wait_ok() { # pid name
  local rc=0
  wait "$1" || rc=$?
  [ "$rc" -eq 0 ] || fail "$2 exited with status $rc"
}

# Starts one worker per group given, connected to the input side on the port; worker k (from 0)
# writes $work/<prefix>k.out and .err. Sets worker_pids.
start_workers() { # port prefix group...
  local port=$1 prefix=$2 k=0 g
  shift 2
  worker_pids=()
  for g in "$@"; do
    timeout 60 "$bin" -g "$g" -c "127.0.0.1:$port" -t 60 >"$work/$prefix$k.out" \
      2>"$work/$prefix$k.err" &
    worker_pids+=($!)
    pids+=($!)
    k=$((k + 1))
  done
}

echo
echo "== FASTQ: data/sample_1.fq + data/sample_2.fq diced to three workers"
port=$(free_port)
# Named pipes hold the input back until all three workers are connected, so that the blocks
# are shared among them instead of the first worker to connect taking them all.
mkfifo "$work/r1.fifo" "$work/r2.fifo"
timeout 60 "$bin" -l "127.0.0.1:$port" -w 3 -O blksize=20000 "$work/r1.fifo" "$work/r2.fifo" \
  2>"$work/fastq-input.err" &
input_pid=$!
pids+=("$input_pid")
wait_for_sockets "$port" 0A 1 "the input side to listen on port $port"
start_workers "$port" fastq-worker 0 0 0
wait_for_sockets "$port" 01 3 "three workers to connect"
timeout 60 cat data/sample_1.fq >"$work/r1.fifo" &
pids+=($!)
timeout 60 cat data/sample_2.fq >"$work/r2.fifo" &
pids+=($!)
wait_ok "$input_pid" "FASTQ input side"
for w in 0 1 2; do wait_ok "${worker_pids[w]}" "FASTQ worker $((w + 1))"; done

python3 - "$work" <<'EOF' || fail "FASTQ output does not match the input"
import re, sys
work = sys.argv[1]
tag = re.compile(rb" #(\d+)#$")
blocks = {}
idle = 0
for w in (1, 2, 3):
    data = open(f"{work}/fastq-worker{w - 1}.out", "rb").read()
    lines = data.split(b"\n")
    if lines[-1] != b"":
        sys.exit(f"worker {w}: output does not end with a line feed")
    lines.pop()
    if len(lines) % 4:
        sys.exit(f"worker {w}: {len(lines)} lines is not a whole number of records")
    current = None
    nblocks = 0
    for i in range(0, len(lines), 4):
        record = lines[i:i + 4]
        m = tag.search(record[0])
        if m:
            n = int(m.group(1))
            record[0] = record[0][:m.start()]
            if current is None or n != current[0]:
                if n in blocks:
                    sys.exit(f"worker {w}: block #{n}# arrived twice")
                current = (n, [])
                blocks[n] = current[1]
                nblocks += 1
        elif current is None:
            sys.exit(f"worker {w}: output does not start with a tagged record")
        current[1].append(b"\n".join(record) + b"\n")
    records = sum(1 for i in range(0, len(lines), 4))
    print(f"  worker {w}: {nblocks:3d} blocks {records:6d} records {len(data):9d} bytes")
    idle += nblocks == 0
# The tag of a block is the number of records in all earlier blocks, mates interleaved.
mates = ([], [])
expected = 0
for n in sorted(blocks):
    if n != expected:
        sys.exit(f"block #{n}# found where block #{expected}# should start")
    records = blocks[n]
    if len(records) % 2:
        sys.exit(f"block #{n}# holds an unpaired record")
    mates[0].extend(records[0::2])
    mates[1].extend(records[1::2])
    expected += len(records)
for i, name in enumerate(("data/sample_1.fq", "data/sample_2.fq")):
    want = open(name, "rb").read()
    got = b"".join(mates[i])
    if got != want:
        sys.exit(f"{name}: rebuilt file differs ({len(got)} bytes rebuilt, {len(want)} expected)")
print(f"  OK: {len(blocks)} blocks, {expected // 2} read pairs, each arrived exactly once;"
      " the input rebuilt byte for byte")
if idle:
    print(f"  note: {idle} worker(s) received no block")
EOF

echo
echo "== SAM: data/sample.sam sharded: s1=chr1, s2=chr2:1-120000000, group 0 gets the rest"
port=$(free_port)
shards=(-O s1=chr1 -O s2=chr2:1-120000000)
timeout 60 "$bin" -l "127.0.0.1:$port" -w 3 -f sam "${shards[@]}" <data/sample.sam \
  2>"$work/sam-input.err" &
input_pid=$!
pids+=("$input_pid")
wait_for_sockets "$port" 0A 1 "the input side to listen on port $port"
start_workers "$port" sam-group 0 1 2
wait_ok "$input_pid" "SAM input side"
for g in 0 1 2; do wait_ok "${worker_pids[g]}" "SAM worker for group $g"; done

python3 - "$work" <<'EOF' || fail "SAM output does not match the input"
import sys
work = sys.argv[1]

def shard_of(line):
    fields = line.split(b"\t")
    contig, pos = fields[2], int(fields[3])
    if contig == b"chr1":
        return 1
    if contig == b"chr2" and 1 <= pos <= 120000000:
        return 2
    return 0

lines = open("data/sample.sam", "rb").read().splitlines(keepends=True)
header = [l for l in lines if l.startswith(b"@")]
records = lines[len(header):]
expected = {0: [], 1: [], 2: []}
for line in records:
    expected[shard_of(line)].append(line)
for g in (0, 1, 2):
    got = open(f"{work}/sam-group{g}.out", "rb").read().splitlines(keepends=True)
    got_header = [l for l in got if l.startswith(b"@")]
    got_records = got[len(got_header):]
    print(f"  group {g}: {len(got_header)} header lines {len(got_records):5d} alignment lines")
    if got[:len(got_header)] != header:
        sys.exit(f"group {g}: header differs from the input's {len(header)} header lines")
    if got_records != expected[g]:
        sys.exit(f"group {g}: {len(got_records)} alignment lines, expected {len(expected[g])}"
                 " (or the same number in another order or with other content)")
print(f"  OK: {len(records)} alignment lines, each in its own shard exactly once and in input"
      f" order; all {len(header)} header lines in every shard")
EOF

echo
echo "quickstart: all checks passed"
