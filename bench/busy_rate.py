#!/usr/bin/env python3
"""Aggregate delivery rate of several slow consumers, from the logs bench/slow_sink writes.

    busy_rate.py LOG...

Prints "BYTES WHOLE BUSY" (bytes per second for the two rates):
- WHOLE: all bytes over the time from the first byte any consumer got to the last byte any got.
  It includes the start, while the workers connect one after another, and the tail, when some
  workers have nothing left to take while others finish their last message.
- BUSY: the bytes the consumers took while every one of them had started and none had finished,
  over that span. A consumer that starves inside it loses its share for good (slow_sink never
  catches up), so this is the rate the input side sustains while every worker wants data. It is
  "-" when the span is empty or a consumer got nothing (a run too short for its worker count).
With one log, BUSY is that consumer's own rate from its first read to its last.
"""
import bisect
import sys


def read_log(path):
    """(times, totals): each read's wall-clock time and the bytes received up to it."""
    times, totals = [], []
    with open(path) as f:
        for line in f:
            total, when = line.split()
            totals.append(int(total))
            times.append(float(when))
    return times, totals


def received_by(log, when):
    """Bytes a consumer had received at `when`."""
    times, totals = log
    i = bisect.bisect_right(times, when)
    return totals[i - 1] if i > 0 else 0


def main():
    logs = [read_log(p) for p in sys.argv[1:]]
    fed = [log for log in logs if log[0]]
    if not fed:
        sys.exit("busy_rate.py: no consumer received anything")
    total = sum(totals[-1] for _, totals in fed)
    first = min(times[0] for times, _ in fed)
    last = max(times[-1] for times, _ in fed)
    whole = total / (last - first) if last > first else 0
    start = max(times[0] for times, _ in fed)
    end = min(times[-1] for times, _ in fed)
    busy = "-"
    if len(fed) == len(logs) and end > start:
        taken = sum(received_by(log, end) - received_by(log, start) for log in logs)
        busy = f"{taken / (end - start):.0f}"
    print(f"{total} {whole:.0f} {busy}")


if __name__ == "__main__":
    main()
