#!/usr/bin/env python3
"""Checks that the workers of a job received every record exactly once.

  check-delivery.py fastq READS_1 READS_2 -- OUTPUT...
      Every output is FASTQ (gzip'd or not); together, with the block tags (" #N#" at the end of
      a read name) removed, they hold every record of both inputs exactly once.
  check-delivery.py sam INPUT.sam s1=INTERVALS... -- SHARD0 SHARD1...
      Every shard starts with the input's header; every other line of the input is in exactly one
      shard, the one its contig and position belong to (INTERVALS: contig or contig:start-end,
      comma separated, 1-based and closed; shard 0 takes the rest).

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


def parse_shards(specs):
    shards = []  # (shard, contig, start, end)
    for spec in specs:
        key, intervals = spec.split("=", 1)
        for item in intervals.split(","):
            contig, _, span = item.partition(":")
            start, end = (int(x) for x in span.split("-")) if span else (1, 2**32)
            shards.append((int(key[1:]), contig, start, end))
    return shards


def check_sam(path, specs, outputs):
    shards = parse_shards(specs)
    lines = read_text(path).splitlines()
    header = [line for line in lines if line.startswith("@")]
    body = [line for line in lines if line and not line.startswith("@")]
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
