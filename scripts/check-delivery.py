#!/usr/bin/env python3
"""Checks that the workers of a job received every record exactly once.

  check-delivery.py fastq READS_1 READS_2 -- OUTPUT...
      Every output is FASTQ (gzip'd or not); together, with the block tags (" #N#" at the end of
      a read name) removed, they hold every record of both inputs exactly once.
  check-delivery.py sam INPUT.sam s1=INTERVALS... -- SHARD0 SHARD1...
      Every shard starts with the input's header; every other line of the input is in exactly one
      shard, the one its contig and position belong to (INTERVALS: contig or contig:start-end,
      comma separated, 1-based and closed; shard 0 takes the rest).
  check-delivery.py sam INPUT.sam shards=N -- SHARD0 ... SHARDN
      The same for N pieces of the genome of the header's @SQ lines: every line is in exactly one
      shard, shard 0 holds only lines placed on no contig of the header, and the pieces follow one
      another along the genome (every line of shard k lies before every line of shard k+1).

Prints one line saying what was checked; exits 1 with the first difference.
"""
import collections
import gzip
import re
import sys

TAG = re.compile(r" #[0-9]+#$")


def read_text(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return data.decode()


def fail(message):
    print("check-delivery: " + message, file=sys.stderr)
    sys.exit(1)


def fastq_records(text, where):
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    if len(lines) % 4:
        fail(f"{where}: {len(lines)} lines, not whole 4-line records")
    return ["\n".join([TAG.sub("", lines[i])] + lines[i + 1:i + 4]) for i in range(0, len(lines), 4)]


def check_fastq(inputs, outputs):
    expected = collections.Counter()
    for path in inputs:
        expected.update(fastq_records(read_text(path), path))
    got = collections.Counter()
    for path in outputs:
        got.update(fastq_records(read_text(path), path))
    if got != expected:
        missing = expected - got
        extra = got - expected
        fail(f"{sum(missing.values())} records missing, {sum(extra.values())} extra or repeated; "
             f"first: {next(iter(missing or extra)).splitlines()[0]}")
    busy = sum(1 for path in outputs if read_text(path))
    print(f"check-delivery: {sum(expected.values())} FASTQ records, each delivered once, "
          f"over {busy} of {len(outputs)} workers")


def parse_shards(options):
    shards = []  # (shard, contig, start, end)
    for option in options:
        key, intervals = option.split("=", 1)
        for item in intervals.split(","):
            contig, _, span = item.partition(":")
            start, end = (int(x) for x in span.split("-")) if span else (1, 2**32)
            shards.append((int(key[1:]), contig, start, end))
    return shards


def check_sam(path, shard_options, outputs):
    lines = read_text(path).splitlines()
    header = [line for line in lines if line.startswith("@")]
    body = [line for line in lines if line and not line.startswith("@")]
    if len(shard_options) == 1 and shard_options[0].startswith("shards="):
        return check_equal_shards(header, body, int(shard_options[0][7:]), outputs)
    shards = parse_shards(shard_options)
    expected = [collections.Counter() for _ in outputs]
    for line in body:
        fields = line.split("\t")
        contig, position = fields[2], int(fields[3])
        shard = next((k for k, c, s, e in shards if c == contig and s <= position <= e), 0)
        if shard >= len(outputs):
            fail(f"shard {shard} has no output")
        expected[shard][line] += 1
    for k, out in enumerate(outputs):
        got = read_text(out).splitlines()
        if got[:len(header)] != header:
            fail(f"{out}: does not start with the input's header")
        got_body = collections.Counter(got[len(header):])
        if got_body != expected[k]:
            fail(f"{out}: shard {k} holds {sum(got_body.values())} lines, expected "
                 f"{sum(expected[k].values())} (missing, misrouted or repeated lines)")
    print(f"check-delivery: {len(body)} SAM records, each delivered once to its shard, "
          f"header in all {len(outputs)} shards")


def check_equal_shards(header, body, count, outputs):
    if len(outputs) != count + 1:
        fail(f"shards={count} needs {count + 1} outputs, not {len(outputs)}")
    offsets = {}  # contig to its start along the genome of the header
    genome = 0
    for line in header:
        fields = dict(f.split(":", 1) for f in line.split("\t")[1:] if ":" in f)
        if line.startswith("@SQ\t"):
            offsets[fields["SN"]] = genome
            genome += int(fields["LN"])
    where = {}  # line to its genome coordinate, or None when placed on no contig
    for line in body:
        fields = line.split("\t")
        placed = fields[2] in offsets and int(fields[3]) > 0
        where[line] = offsets[fields[2]] + int(fields[3]) if placed else None
    seen = collections.Counter()
    previous_end = -1
    for k, out in enumerate(outputs):
        got = read_text(out).splitlines()
        if got[:len(header)] != header:
            fail(f"{out}: does not start with the input's header")
        shard_lines = got[len(header):]
        seen.update(shard_lines)
        coordinates = [where.get(line, "unknown") for line in shard_lines]
        if "unknown" in coordinates:
            fail(f"{out}: holds a line that is not in the input")
        if k == 0:
            if any(c is not None for c in coordinates):
                fail(f"{out}: shard 0 holds a line placed on a contig of the header")
            continue
        if None in coordinates:
            fail(f"{out}: shard {k} holds a line placed on no contig")
        if coordinates:
            if min(coordinates) <= previous_end:
                fail(f"{out}: shard {k} starts before shard {k - 1} ends along the genome")
            previous_end = max(coordinates)
    if seen != collections.Counter(body):
        fail("the shards do not hold every input line exactly once")
    print(f"check-delivery: {len(body)} SAM records, each delivered once, in {count} pieces of the "
          f"genome following one another, header in all {len(outputs)} shards")


def main(argv):
    if len(argv) < 3 or "--" not in argv:
        fail("usage: check-delivery.py fastq R1 R2 -- OUT... | sam IN s1=... -- SHARD0...")
    split = argv.index("--")
    kind, before, outputs = argv[0], argv[1:split], argv[split + 1:]
    if not outputs:
        fail("no outputs given")
    if kind == "fastq":
        check_fastq(before, outputs)
    elif kind == "sam":
        check_sam(before[0], before[1:], outputs)
    else:
        fail(f"unknown kind {kind}")


if __name__ == "__main__":
    main(sys.argv[1:])
