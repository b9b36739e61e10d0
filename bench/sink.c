/* Drains its input, discarding the data, and reports how much came and when the last of it came:
 * the one consumer every tool in the benchmark writes to, so all are timed the same way.
 *
 *     sink INPUT REPORT
 *
 * INPUT is a path (a named pipe) or "-" for standard input. Writes "BYTES LAST" to REPORT at the
 * end of input, LAST being the wall-clock time (seconds since the epoch) of the last read that
 * returned data, or 0 when nothing came. The benchmark takes its time from LAST: a shuffler job's
 * processes live on until the input side's deadline, however early the data is through. Exit
 * status 1 on a usage or I/O error.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: sink INPUT REPORT\n");
        return 1;
    }
    const int fd = strcmp(argv[1], "-") == 0 ? 0 : open(argv[1], O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, "sink: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    static char buffer[1 << 20];
    unsigned long long total = 0;
    struct timespec last = {0, 0};
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "sink: %s: %s\n", argv[1], strerror(errno));
            return 1;
        }
        total += (unsigned long long)got;
        clock_gettime(CLOCK_REALTIME, &last);
    }
    FILE* report = fopen(argv[2], "w");
    if (!report || fprintf(report, "%llu %ld.%06ld\n", total, (long)last.tv_sec,
                           last.tv_nsec / 1000) < 0 || fclose(report) != 0) {
        fprintf(stderr, "sink: %s: %s\n", argv[2], strerror(errno));
        return 1;
    }
    return 0;
}
