#!/usr/bin/env python3
"""Turns shard options into the forms the other SAM splitters take.

    shards.py CONTIGS_TSV RULES_OUT BED_OUT s1=chr1,chr2 s2=chr3:1-50000000 ...

RULES_OUT: one line per interval, "contig, 0-based start, exclusive end, shard", in the order
shuffler tries them (options sorted by key as text, items in the order given), for the awk splitter.
BED_OUT: the same intervals as BED, whole contigs ending at the contig length, for samtools.
Only the forms name and name:a-b are accepted, which is all the benchmark uses.
"""
import sys

WHOLE = 4294967295


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    lengths = dict(line.split("\t") for line in open(sys.argv[1]).read().splitlines())
    rules = []
    for option in sorted(sys.argv[4:], key=lambda o: o.split("=", 1)[0]):
        key, _, value = option.partition("=")
        shard = int(key[1:])
        for item in value.split(","):
            name, colon, span = item.partition(":")
            if not colon:
                rules.append((name, 0, WHOLE, shard))
                continue
            first, dash, last = span.partition("-")
            if not dash or int(first) < 1 or int(last) < int(first):
                sys.exit(f"shards.py: cannot convert '{item}'")
            rules.append((name, int(first) - 1, int(last), shard))
    with open(sys.argv[2], "w") as f:
        f.writelines(f"{c}\t{s}\t{e}\t{k}\n" for c, s, e, k in rules)
    with open(sys.argv[3], "w") as f:
        f.writelines(f"{c}\t{s}\t{min(e, int(lengths[c]))}\n" for c, s, e, _ in rules)


if __name__ == "__main__":
    main()
