#!/usr/bin/env python3
"""Generates the benchmark inputs: a paired 150-base FASTQ and a coordinate-sorted SAM over 24 contigs.

    gen_data.py OUT_DIR SIZE_MB

writes OUT_DIR/reads_1.fq and OUT_DIR/reads_2.fq (SIZE_MB megabytes together, 1 MB = 10^6 bytes),
OUT_DIR/reads.sam (0.7 * SIZE_MB megabytes), OUT_DIR/contigs.tsv (name, length) and
OUT_DIR/manifest.sh, shell assignments of the counts the benchmark checks its outputs against.

Speed matters more than realism here: a few hundred random sequences and quality strings are made
once and recombined, and text is written in large chunks. Reusing a small pool would let gzip find
long repeats, so the pool is larger than gzip's 32 KiB window can hold.
"""
import os
import random
import sys

READ_LENGTH = 150
POOL = 1009  # prime, so the strides below visit every entry before repeating
CHUNK_RECORDS = 20000
CONTIGS = [
    ("chr1", 248956422), ("chr2", 242193529), ("chr3", 198295559), ("chr4", 190214555),
    ("chr5", 181538259), ("chr6", 170805979), ("chr7", 159345973), ("chr8", 145138636),
    ("chr9", 138394717), ("chr10", 133797422), ("chr11", 135086622), ("chr12", 133275309),
    ("chr13", 114364328), ("chr14", 107043718), ("chr15", 101991189), ("chr16", 90338345),
    ("chr17", 83257441), ("chr18", 80373285), ("chr19", 58617616), ("chr20", 64444167),
    ("chr21", 46709983), ("chr22", 50818468), ("chrX", 156040895), ("chrY", 57227415),
]


def pools(rng):
    seqs, quals = [], []
    for _ in range(POOL):
        seqs.append("".join(rng.choices("ACGT", k=READ_LENGTH)))
        q = []
        for i in range(READ_LENGTH):
            top = 40 - (12 * i) // READ_LENGTH
            q.append(chr(33 + max(2, min(41, top - int(rng.expovariate(0.25))))))
        quals.append("".join(q))
    return seqs, quals


def write_fastq(out, target_bytes, seqs, quals):
    """Writes pairs until the two files together hold target_bytes; returns (pairs, bytes)."""
    path1, path2 = os.path.join(out, "reads_1.fq"), os.path.join(out, "reads_2.fq")
    pairs = 0
    written = 0
    with open(path1, "w") as f1, open(path2, "w") as f2:
        while written < target_bytes:
            c1, c2 = [], []
            for n in range(pairs + 1, pairs + CHUNK_RECORDS + 1):
                a, b = n % POOL, (n * 7 + 3) % POOL
                c, d = (n * 13 + 5) % POOL, (n * 31 + 11) % POOL
                c1.append(f"@bench.{n}/1\n{seqs[a]}\n+\n{quals[b]}\n")
                c2.append(f"@bench.{n}/2\n{seqs[c]}\n+\n{quals[d]}\n")
            s1, s2 = "".join(c1), "".join(c2)
            room = target_bytes - written
            if len(s1) + len(s2) > room:
                # The last chunk: keep only as many pairs as fit the target (at least one).
                per_pair = (len(s1) + len(s2)) / len(c1)
                keep = max(1, int(room / per_pair) + 1)
                c1, c2 = c1[:keep], c2[:keep]
                s1, s2 = "".join(c1), "".join(c2)
            f1.write(s1)
            f2.write(s2)
            pairs += len(c1)
            written += len(s1) + len(s2)
    return pairs, written


def write_sam(out, target_bytes, seqs, quals, rng):
    """Writes a sorted SAM of about target_bytes; returns (header bytes, records, total bytes)."""
    header = ["@HD\tVN:1.6\tSO:coordinate"]
    header += [f"@SQ\tSN:{name}\tLN:{length}" for name, length in CONTIGS]
    header.append("@RG\tID:bench\tSM:bench\tPL:ILLUMINA")
    header.append("@PG\tID:gen_data\tPN:gen_data.py\tVN:1")
    header_text = "\n".join(header) + "\n"
    sample = f"bench.1000000\t99\tchr10\t100000000\t60\t150M\t=\t100000200\t350\t{seqs[0]}\t" \
             f"{quals[0]}\tNM:i:0\tAS:i:150\tRG:Z:bench\n"
    records = max(len(CONTIGS), (target_bytes - len(header_text)) // len(sample))
    unmapped = records // 100
    mapped = records - unmapped
    genome = sum(length for _, length in CONTIGS)
    flags = (99, 147, 83, 163, 1123, 1171)
    n = 0
    written = len(header_text)
    with open(os.path.join(out, "reads.sam"), "w") as f:
        f.write(header_text)
        left = mapped
        for i, (name, length) in enumerate(CONTIGS):
            count = left if i == len(CONTIGS) - 1 else mapped * length // genome
            left -= count
            step = max(1, (length - 1000) // max(1, count))
            pos = 1 + rng.randrange(step)
            chunk = []
            for _ in range(count):
                n += 1
                flag = flags[n % len(flags)]
                mate = pos + 200 if flag in (99, 163) else max(1, pos - 200)
                tlen = 350 if mate > pos else -350
                nm = n % 4
                chunk.append(f"bench.{n}\t{flag}\t{name}\t{pos}\t60\t150M\t=\t{mate}\t{tlen}\t"
                             f"{seqs[n % POOL]}\t{quals[(n * 7 + 1) % POOL]}\t"
                             f"NM:i:{nm}\tAS:i:{150 - 5 * nm}\tRG:Z:bench\n")
                # Spread evenly over the contig with some jitter; never past its end.
                pos = min(length - 200, pos + 1 + (step * (n % 7 + 1)) // 4)
                if len(chunk) == CHUNK_RECORDS:
                    s = "".join(chunk)
                    f.write(s)
                    written += len(s)
                    chunk = []
            s = "".join(chunk)
            f.write(s)
            written += len(s)
        chunk = []
        for _ in range(unmapped):
            n += 1
            chunk.append(f"bench.{n}\t77\t*\t0\t0\t*\t*\t0\t0\t{seqs[n % POOL]}\t"
                         f"{quals[(n * 7 + 1) % POOL]}\tRG:Z:bench\n")
        s = "".join(chunk)
        f.write(s)
        written += len(s)
    return len(header_text), n, written


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: gen_data.py OUT_DIR SIZE_MB")
    out, size_mb = sys.argv[1], float(sys.argv[2])
    os.makedirs(out, exist_ok=True)
    rng = random.Random(150)
    seqs, quals = pools(rng)
    pairs, fastq_bytes = write_fastq(out, int(size_mb * 1e6), seqs, quals)
    sam_header, sam_records, sam_bytes = write_sam(out, int(0.7 * size_mb * 1e6), seqs, quals, rng)
    with open(os.path.join(out, "contigs.tsv"), "w") as f:
        f.writelines(f"{name}\t{length}\n" for name, length in CONTIGS)
    # Written last: its presence says the data set is complete.
    with open(os.path.join(out, "manifest.sh"), "w") as f:
        f.write(f"size_mb={sys.argv[2]}\nread_length={READ_LENGTH}\npairs={pairs}\n"
                f"fastq_bytes={fastq_bytes}\nsam_header_bytes={sam_header}\n"
                f"sam_records={sam_records}\nsam_bytes={sam_bytes}\n")


if __name__ == "__main__":
    main()
