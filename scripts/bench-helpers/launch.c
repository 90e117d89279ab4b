// SPDX-License-Identifier: MIT
/*
 * launch REPORT_FD PROGRAM [ARG...]
 *
 * Runs PROGRAM with the descriptors it was given, waits for it and writes
 * "wall_seconds user_seconds sys_seconds maxrss_kib status" to REPORT_FD.
 *
 * The kernel carries the peak RSS of the address space a process had before
 * exec into its own figure, and a vfork or posix_spawn child still has its
 * parent's. Forked from this small static program, the writer's peak RSS is
 * its own and not the benchmark driver's.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: launch REPORT_FD PROGRAM [ARG...]\n");
        return 2;
    }
    int report = atoi(argv[1]);
    fcntl(report, F_SETFD, FD_CLOEXEC);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status;
    struct rusage ru;
    if (pid < 0 || wait4(pid, &status, 0, &ru) < 0)
        return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    dprintf(report, "%.6f %ld.%06ld %ld.%06ld %ld %d\n",
            (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
            (long)ru.ru_utime.tv_sec, (long)ru.ru_utime.tv_usec,
            (long)ru.ru_stime.tv_sec, (long)ru.ru_stime.tv_usec, ru.ru_maxrss,
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}
