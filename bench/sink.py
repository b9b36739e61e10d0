#!/usr/bin/env python3
"""Drains a pipe, discarding the data, and reports how much came and when the last of it came.

    sink.py PIPE REPORT

Writes "BYTES LAST" to REPORT at end of input, LAST being the wall-clock time (seconds since the
epoch) of the last read that returned data, or 0 when nothing came. The benchmark takes its time
from LAST: a shuffler job's processes live on until the input side's deadline, however early the
data is through.
"""
import os
import sys
import time


def main():
    fd = os.open(sys.argv[1], os.O_RDONLY)
    total = 0
    last = 0.0
    while True:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            break
        total += len(chunk)
        last = time.time()
    os.close(fd)
    with open(sys.argv[2], "w") as f:
        f.write(f"{total} {last:.6f}\n")


if __name__ == "__main__":
    main()
