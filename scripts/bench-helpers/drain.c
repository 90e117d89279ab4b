// SPDX-License-Identifier: MIT
/*
 * bench-drain [-l LIMIT] [-s STEP] [-p PAUSE_US] [FD...]
 *
 * Reads the far ends of the benchmark's sockets (standard input, or each FD
 * given) until every one reaches end of file, or until LIMIT bytes in all
 * for datagram sockets, and prints "bytes reads short_reads". Each read asks
 * for at most STEP bytes (default 1 MiB) and is followed by a pause of
 * PAUSE_US microseconds, to play a slow reader. On a datagram socket every
 * read is one message; short_reads counts those below 32768 bytes.
 */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static char buf[1 << 20];

int main(int argc, char *argv[])
{
    unsigned long long limit = 0, step = sizeof buf;
    long pause_us = 0;
    int opt;
    while ((opt = getopt(argc, argv, "l:s:p:")) != -1) {
        if (opt == 'l')
            limit = strtoull(optarg, NULL, 10);
        else if (opt == 's')
            step = strtoull(optarg, NULL, 10);
        else if (opt == 'p')
            pause_us = strtol(optarg, NULL, 10);
        else
            return 2;
    }
    if (step == 0 || step > sizeof buf)
        step = sizeof buf;
    struct pollfd fds[1024];
    nfds_t open_fds = 0;
    for (int i = optind; i < argc && open_fds < 1024; i++)
        fds[open_fds++] = (struct pollfd){atoi(argv[i]), POLLIN, 0};
    if (open_fds == 0)
        fds[open_fds++] = (struct pollfd){0, POLLIN, 0};

    unsigned long long bytes = 0, reads = 0, shorts = 0;
    struct timespec pause = {pause_us / 1000000, pause_us % 1000000 * 1000L};
    while (open_fds > 0 && (limit == 0 || bytes < limit)) {
        if (poll(fds, open_fds, -1) < 0)
            return 1;
        for (nfds_t i = 0; i < open_fds; i++) {
            if (fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, buf, step);
            if (n <= 0) {
                fds[i--] = fds[--open_fds];
                continue;
            }
            bytes += (unsigned long long)n;
            reads++;
            shorts += n < 32768;
            if (pause_us > 0)
                nanosleep(&pause, NULL);
        }
    }
    printf("%llu %llu %llu\n", bytes, reads, shorts);
    return 0;
}
