/* Drains a pipe at a fixed rate, as a downstream program that works through its input at its own
 * pace (an aligner, say), and logs when the data came.
 *
 *     slow_sink PIPE LOG BYTES_PER_SECOND
 *
 * Reads at most 64 KiB at a time and, after each read of n bytes, takes n / BYTES_PER_SECOND
 * seconds before the next. Time spent waiting for data is not made up afterwards, so a sink that
 * starves falls behind for good: its rate shows whether data was there whenever it was ready.
 * LOG gets one line "BYTES TIME" per read (bytes so far, wall-clock seconds), written at the end
 * of input, so that its last line reads like bench/sink.c's report; an empty LOG means nothing
 * came. Exit status 1 on a usage or I/O error.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double seconds_of(const struct timespec* t) { return (double)t->tv_sec + t->tv_nsec * 1e-9; }

int main(int argc, char** argv) {
    if (argc != 4 || atof(argv[3]) <= 0) {
        fprintf(stderr, "usage: slow_sink PIPE LOG BYTES_PER_SECOND\n");
        return 1;
    }
    const double rate = atof(argv[3]);
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, "slow_sink: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    /* Kept in memory until the end: writing the log must not slow the reads. */
    size_t entries = 0, capacity = 1024;
    double* times = malloc(capacity * sizeof *times);
    unsigned long long* totals = malloc(capacity * sizeof *totals);
    static char buffer[1 << 16];
    unsigned long long total = 0;
    struct timespec ready; /* monotonic time at which the next read may start */
    clock_gettime(CLOCK_MONOTONIC, &ready);
    for (;;) {
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ready, NULL) == EINTR) {
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "slow_sink: %s: %s\n", argv[1], strerror(errno));
            return 1;
        }
        struct timespec now, wall;
        clock_gettime(CLOCK_MONOTONIC, &now);
        clock_gettime(CLOCK_REALTIME, &wall);
        total += (unsigned long long)got;
        if (entries == capacity) {
            capacity *= 2;
            times = realloc(times, capacity * sizeof *times);
            totals = realloc(totals, capacity * sizeof *totals);
        }
        if (!times || !totals) {
            fprintf(stderr, "slow_sink: out of memory\n");
            return 1;
        }
        times[entries] = seconds_of(&wall);
        totals[entries++] = total;
        /* The pause counts from this read's end, not from a schedule: no catching up. */
        const double pause = (double)got / rate;
        ready = now;
        ready.tv_sec += (time_t)pause;
        ready.tv_nsec += (long)((pause - (double)(time_t)pause) * 1e9);
        if (ready.tv_nsec >= 1000000000L) {
            ready.tv_sec += 1;
            ready.tv_nsec -= 1000000000L;
        }
    }
    FILE* log = fopen(argv[2], "w");
    if (!log) {
        fprintf(stderr, "slow_sink: %s: %s\n", argv[2], strerror(errno));
        return 1;
    }
    for (size_t i = 0; i < entries; ++i)
        fprintf(log, "%llu %.6f\n", totals[i], times[i]);
    if (fclose(log) != 0) {
        fprintf(stderr, "slow_sink: %s: %s\n", argv[2], strerror(errno));
        return 1;
    }
    return 0;
}
