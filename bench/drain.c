/*
 * drain [LIMIT]: reads standard input (the far end of the benchmark's
 * socket) until end of file, or until LIMIT bytes for a datagram socket,
 * and prints "bytes reads short_reads". On a datagram socket every read is
 * one message; short_reads counts those below 32768 bytes.
 */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static char buf[1 << 20];

int main(int argc, char *argv[])
{
    unsigned long long limit = argc > 1 ? strtoull(argv[1], NULL, 10) : 0;
    unsigned long long bytes = 0, reads = 0, shorts = 0;
    while (limit == 0 || bytes < limit) {
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0)
            break;
        bytes += (unsigned long long)n;
        reads++;
        shorts += n < 32768;
    }
    printf("%llu %llu %llu\n", bytes, reads, shorts);
    return 0;
}
