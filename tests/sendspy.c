// SPDX-License-Identifier: MIT
/*
 * Test-only send() interposer, loaded into sockrelay with LD_PRELOAD.
 *
 *   SENDSPY_LOG=path     append "address length flags result errno injected"
 *                        per call (injected: 1 when the answer was made up)
 *   SENDSPY_CAP=n        pass at most n bytes per call to the real send()
 *   SENDSPY_SCRIPT=list  answer the first calls from a comma-separated list
 *                        instead of sending: EAGAIN, EINTR, EPIPE, ECONNRESET,
 *                        EOPNOTSUPP, ZERO (return 0) or PASS; "EAGAIN*500"
 *                        repeats an entry.  Calls after the list go to the
 *                        real send().
 *   SENDSPY_REFUSE=flags answer EOPNOTSUPP to every call that passes any of
 *                        these flags, as transports do that do not know one
 *   SENDSPY_STORM=seed:permille
 *                        after the script, answer each call with a random
 *                        EAGAIN or EINTR with the given probability.
 *   SENDSPY_DENY=list    fail every call of these functions with EPERM, as a
 *                        sandbox's system-call filter does: any of poll,
 *                        nanosleep, getsockopt, fstat; "fstat@2" fails only
 *                        the calls on that descriptor.  A filter may lie
 *                        instead: "fstat@2=EBADF" fails them with EBADF,
 *                        "fstat@2=0" answers 0 and fills in nothing.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { PASS = -1, ZERO = 0 };

static ssize_t (*real_send)(int, const void *, size_t, int);
static int log_fd = -1;
static size_t cap;
static unsigned long refused;
static const char *script;
static long repeat_left;     /* calls left for the current script entry */
static int current;          /* its action: PASS, ZERO or an errno value */
static unsigned long long storm_state;
static unsigned storm_permille;
static const char *denied = "";

static int action_of(const char *word, size_t len)
{
    static const struct { const char *name; int action; } names[] = {
        {"PASS", PASS}, {"ZERO", ZERO}, {"EAGAIN", EAGAIN}, {"EINTR", EINTR},
        {"EPIPE", EPIPE}, {"ECONNRESET", ECONNRESET}, {"EOPNOTSUPP", EOPNOTSUPP},
    };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if (strlen(names[i].name) == len && memcmp(names[i].name, word, len) == 0)
            return names[i].action;
    fprintf(stderr, "sendspy: unknown action %.*s\n", (int)len, word);
    abort();
}

/* Moves to the next script entry; returns 0 once the script is used up. */
static int next_entry(void)
{
    if (script == NULL || *script == '\0')
        return 0;
    size_t len = strcspn(script, ",*");
    current = action_of(script, len);
    script += len;
    repeat_left = 1;
    if (*script == '*')
        repeat_left = strtol(script + 1, (char **)&script, 10);
    if (*script == ',')
        script++;
    return 1;
}

__attribute__((constructor)) static void init(void)
{
    /* ISO C has no cast from an object pointer to a function pointer. */
    void *sym = dlsym(RTLD_NEXT, "send");
    memcpy(&real_send, &sym, sizeof real_send);
    const char *v = getenv("SENDSPY_LOG");
    if (v != NULL)
        log_fd = open(v, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if ((v = getenv("SENDSPY_CAP")) != NULL)
        cap = strtoul(v, NULL, 10);
    if ((v = getenv("SENDSPY_REFUSE")) != NULL)
        refused = strtoul(v, NULL, 0);
    script = getenv("SENDSPY_SCRIPT");
    if ((v = getenv("SENDSPY_STORM")) != NULL)
        sscanf(v, "%llu:%u", &storm_state, &storm_permille);
    if ((v = getenv("SENDSPY_DENY")) != NULL)
        denied = v;
}

/* Whether the call of `name` on descriptor `fd` (-1: none) is denied by the
 * comma-separated list; if so, sets *answer to what the call returns, with
 * errno set for -1. */
static int deny(const char *name, int fd, int *answer)
{
    size_t len = strlen(name);
    for (const char *at = denied; *at != '\0';) {
        size_t word = strcspn(at, ",");
        size_t head = strcspn(at, "=,");
        if (word >= len && memcmp(at, name, len) == 0 &&
            (head == len || (at[len] == '@' && fd >= 0 && atoi(at + len + 1) == fd))) {
            const char *lie = at[head] == '=' ? at + head + 1 : "";
            *answer = strncmp(lie, "0", 1) == 0 ? 0 : -1;
            errno = strncmp(lie, "EBADF", 5) == 0 ? EBADF : EPERM;
            return 1;
        }
        at += word + (at[word] == ',');
    }
    return 0;
}

#define DENIABLE(ret, name, params, args, fd)                                 \
    ret name params                                                           \
    {                                                                         \
        static ret(*real) params;                                             \
        int answer;                                                           \
        if (deny(#name, fd, &answer))                                         \
            return answer;                                                    \
        if (real == NULL) {                                                   \
            void *sym = dlsym(RTLD_NEXT, #name);                              \
            memcpy(&real, &sym, sizeof real);                                 \
        }                                                                     \
        return real args;                                                     \
    }

DENIABLE(int, poll, (struct pollfd *fds, nfds_t n, int timeout), (fds, n, timeout), -1)
DENIABLE(int, nanosleep, (const struct timespec *want, struct timespec *left), (want, left), -1)
DENIABLE(int, getsockopt, (int fd, int level, int name, void *value, socklen_t *len),
         (fd, level, name, value, len), fd)
DENIABLE(int, fstat, (int fd, struct stat *st), (fd, st), fd)

static int storm(void)
{
    if (storm_permille == 0)
        return PASS;
    storm_state = storm_state * 6364136223846793005ULL + 1442695040888963407ULL;
    unsigned r = (unsigned)(storm_state >> 33);
    if (r % 1000 >= storm_permille)
        return PASS;
    return (r / 1000) % 2 == 0 ? EAGAIN : EINTR;
}

ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    int action = PASS;
    if (repeat_left > 0 || next_entry()) {
        action = current;
        repeat_left--;
    } else {
        action = storm();
    }
    if ((unsigned long)flags & refused)
        action = EOPNOTSUPP;
    ssize_t r;
    int err = 0;
    if (action == PASS) {
        r = real_send(fd, buf, cap != 0 && len > cap ? cap : len, flags);
        err = r < 0 ? errno : 0;
    } else if (action == ZERO) {
        r = 0;
    } else {
        r = -1;
        err = action;
    }
    if (log_fd >= 0) {
        char line[112];
        int n = snprintf(line, sizeof line, "%p %zu %#x %zd %d %d\n", buf, len,
                         (unsigned)flags, r, err, action != PASS);
        if (write(log_fd, line, (size_t)n) < 0) {
            /* nothing to do: the test sees the missing line */
        }
    }
    if (r < 0)
        errno = err;
    return r;
}
