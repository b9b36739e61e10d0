#!/usr/bin/env python3
"""Writes the small sample data set under data/: a paired FASTQ and a coordinate-sorted SAM.

The output is the same on every run (fixed seed, standard library only), so the committed files
can be regenerated and compared: python3 scripts/make-sample-data.py && git diff --stat data/
"""
import os
import random
import sys

PAIRS = 3000
READ_LENGTH = 100
SAM_RECORDS = 3000
SAM_READ_LENGTH = 76
SAM_UNMAPPED = 150
# Real human contig lengths, so positions look like the ones found in real files.
CONTIGS = [("chr1", 248956422), ("chr2", 242193529), ("chr3", 198295559)]

COMPLEMENT = str.maketrans("ACGTN", "TGCAN")


def sequence(rng, length):
    bases = rng.choices("ACGT", k=length)
    # A few no-calls, as a sequencer produces them.
    for _ in range(rng.choice((0, 0, 0, 1, 2))):
        bases[rng.randrange(length)] = "N"
    return "".join(bases)


def qualities(rng, seq):
    # Phred+33, high at the start of a read and falling towards its end; no-calls get '#'.
    out = []
    n = len(seq)
    for i, base in enumerate(seq):
        if base == "N":
            out.append("#")
            continue
        top = 40 - (12 * i) // n
        out.append(chr(33 + max(2, min(41, top - int(rng.expovariate(0.25))))))
    return "".join(out)


def reverse_complement(seq):
    return seq.translate(COMPLEMENT)[::-1]


def write_fastq_pair(rng, path1, path2):
    with open(path1, "w", newline="\n") as f1, open(path2, "w", newline="\n") as f2:
        for n in range(1, PAIRS + 1):
            fragment = sequence(rng, rng.randint(READ_LENGTH + 50, 3 * READ_LENGTH))
            r1 = fragment[:READ_LENGTH]
            r2 = reverse_complement(fragment[-READ_LENGTH:])
            f1.write(f"@sample.{n}/1\n{r1}\n+\n{qualities(rng, r1)}\n")
            f2.write(f"@sample.{n}/2\n{r2}\n+\n{qualities(rng, r2)}\n")


def write_sam(rng, path):
    mapped = []
    for _ in range(SAM_RECORDS - SAM_UNMAPPED):
        contig = rng.randrange(len(CONTIGS))
        pos = rng.randint(1, CONTIGS[contig][1] - 1000)
        mapped.append((contig, pos))
    mapped.sort()
    lines = ["@HD\tVN:1.6\tSO:coordinate"]
    lines += [f"@SQ\tSN:{name}\tLN:{length}" for name, length in CONTIGS]
    lines.append("@RG\tID:sample\tSM:sample\tPL:ILLUMINA")
    lines.append("@PG\tID:make-sample-data\tPN:make-sample-data.py\tVN:1")
    for n, (contig, pos) in enumerate(mapped, start=1):
        seq = sequence(rng, SAM_READ_LENGTH)
        strand = rng.choice((0, 16))
        flag = 1 | 2 | strand | (32 if strand == 0 else 0) | rng.choice((64, 128))
        if rng.random() < 0.05:
            flag |= 1024  # marked duplicate
        # Forward reads have their reverse mate downstream, reverse reads their mate upstream.
        insert = rng.randint(50, 400)
        mate = pos - insert if strand else pos + insert
        tlen = -(insert + SAM_READ_LENGTH) if strand else insert + SAM_READ_LENGTH
        if rng.random() < 0.1:
            clip = rng.randint(3, 20)
            cigar = f"{SAM_READ_LENGTH - clip}M{clip}S"
        else:
            cigar = f"{SAM_READ_LENGTH}M"
        mapq = rng.choice((60, 60, 60, 60, 37, 23, 0))
        fields = [f"sample.{n}", str(flag), CONTIGS[contig][0], str(pos), str(mapq), cigar,
                  "=", str(mate), str(tlen), seq, qualities(rng, seq)]
        lines.append("\t".join(fields))
    # Unmapped pairs sort last, with no contig and position 0.
    for n in range(len(mapped) + 1, SAM_RECORDS + 1):
        seq = sequence(rng, SAM_READ_LENGTH)
        flag = 4 | 8 | 1 | rng.choice((64, 128))
        fields = [f"sample.{n}", str(flag), "*", "0", "0", "*", "*", "0", "0", seq,
                  qualities(rng, seq)]
        lines.append("\t".join(fields))
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
    out = os.path.normpath(sys.argv[1] if len(sys.argv) > 1 else root)
    os.makedirs(out, exist_ok=True)
    write_fastq_pair(random.Random(20240611),
                     os.path.join(out, "sample_1.fq"), os.path.join(out, "sample_2.fq"))
    write_sam(random.Random(20240612), os.path.join(out, "sample.sam"))


if __name__ == "__main__":
    main()
