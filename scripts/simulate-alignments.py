#!/usr/bin/env python3
"""Writes a small simulated diploid genome and its aligned reads for scripts/check-calls.sh.

Usage: simulate-alignments.py DIR [SHARDS]

DIR/ref.fa: three random contigs. DIR/sim.sam: single-end 100-base reads from two haplotypes
(SNPs, heterozygous or not, and short deletions), about 30x, sorted by position, some with soft
clips and sequencing errors, a few unmapped at the end. Besides random variants, every boundary
of SHARDS (default 4) equal shards of the genome gets variants just before and after it, where
routing by start position alone would starve the calls.
"""
import random
import sys

CONTIGS = [("chr1", 150_000), ("chr2", 90_000), ("chr3", 60_000)]
READ = 100
DEPTH = 30
rng = random.Random(20240611)


def main():
    out, shards = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 4
    ref = {name: "".join(rng.choice("ACGT") for _ in range(length)) for name, length in CONTIGS}
    with open(f"{out}/ref.fa", "w") as fa:
        for name, _ in CONTIGS:
            fa.write(f">{name}\n")
            seq = ref[name]
            for i in range(0, len(seq), 60):
                fa.write(seq[i:i + 60] + "\n")

    # Variant sites, 0-based: random ones plus a cluster around each shard boundary.
    genome = sum(length for _, length in CONTIGS)
    near = []
    for k in range(1, shards):
        at = k * genome // shards
        for offset in (-140, -60, -18, -1, 0, 1, 18, 60, 140):
            near.append(at + offset)
    variants = {name: {} for name, _ in CONTIGS}  # position -> (kind, haplotypes, alt or length)
    offset = 0
    for name, length in CONTIGS:
        sites = {p for p in range(200, length - 200) if rng.random() < 1 / 400}
        sites |= {g - offset for g in near if offset + 200 <= g < offset + length - 200}
        for p in sorted(sites):
            if any(abs(p - q) < 8 for q in variants[name]):
                continue  # keep variants apart: one per window
            haplotypes = rng.choice([(0,), (1,), (0, 1)])
            if rng.random() < 0.15:
                variants[name][p] = ("del", haplotypes, rng.randint(1, 5))
            else:
                alt = rng.choice([b for b in "ACGT" if b != ref[name][p]])
                variants[name][p] = ("snp", haplotypes, alt)
        offset += length

    lines = []
    for index, (name, length) in enumerate(CONTIGS):
        seq, var = ref[name], variants[name]
        count = length * DEPTH // READ
        for r in range(count):
            hap = r % 2
            start = rng.randrange(0, length - READ - 50)
            bases, cigar, p = [], [], start
            clip = rng.randint(1, 10) if rng.random() < 0.1 else 0
            while len(bases) < READ - clip:
                v = var.get(p)
                if v and hap in v[1] and v[0] == "del":
                    if bases:  # a read neither starts nor ends on a deletion
                        cigar.append([v[2], "D"])
                    else:
                        start = p + v[2]
                    p += v[2]
                    continue
                b = v[2] if v and hap in v[1] else seq[p]
                if rng.random() < 0.002:
                    b = rng.choice([x for x in "ACGT" if x != b])
                bases.append(b)
                if cigar and cigar[-1][1] == "M":
                    cigar[-1][0] += 1
                else:
                    cigar.append([1, "M"])
                p += 1
            if clip:
                bases = [rng.choice("ACGT") for _ in range(clip)] + bases
                cigar.insert(0, [clip, "S"])
            flag = 16 if rng.random() < 0.5 else 0
            text = "".join(f"{n}{op}" for n, op in cigar)
            lines.append((index, start, f"r{name}_{r}\t{flag}\t{name}\t{start + 1}\t60\t{text}\t*\t0\t0\t"
                                       f"{''.join(bases)}\t{'I' * len(bases)}\tRG:Z:sim"))
    lines.sort(key=lambda x: (x[0], x[1]))
    with open(f"{out}/sim.sam", "w") as sam:
        sam.write("@HD\tVN:1.6\tSO:coordinate\n")
        for name, length in CONTIGS:
            sam.write(f"@SQ\tSN:{name}\tLN:{length}\n")
        sam.write("@RG\tID:sim\tSM:sim\n")
        for _, _, line in lines:
            sam.write(line + "\n")
        for u in range(50):
            s = "".join(rng.choice("ACGT") for _ in range(READ))
            sam.write(f"u{u}\t4\t*\t0\t0\t*\t*\t0\t0\t{s}\t{'I' * READ}\tRG:Z:sim\n")


if __name__ == "__main__":
    main()
