// SPDX-License-Identifier: MIT
/*
 * sockrelay: copy standard input, byte for byte and in order, into a socket
 * that the parent process already holds.
 *
 * The parent opens, connects and configures the socket, lets it survive exec
 * at some descriptor number and names that number with "--sockfd N". The
 * input is read in chunks of 32768 bytes, each sent completely before the
 * next is read. Nothing is ever read from the output socket, and neither it
 * nor standard input is shut down or closed. The parent learns the outcome
 * from the exit status and the lines on standard error: sockrelay(1) lists
 * them all.
 */
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

// Zero means "not given": descriptor 0 is standard input and never the output.
static int32_t s_SockFD = 0;

// Sets s_SockFD from the value after the last "--sockfd", announcing each
// value if asked. argv[0] is scanned like any other element, and a value is
// consumed even when it reads "--sockfd".
static void scan(int argc, const char *const argv[], bool announce)
{
    s_SockFD = 0;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--sockfd") != 0)
            continue;
        if (i + 1 == argc) {  // malformed: refuse it rather than use an earlier value
            s_SockFD = 0;
            return;
        }
        s_SockFD = static_cast<int32_t>(strtol(argv[++i], nullptr, 0));
        if (announce)
            fprintf(stderr, "outputting to sockfd device %i\n", s_SockFD);
    }
}

// Whether `fd` is a socket: 1, with `st` filled in; 0 where it is known not
// to be (nothing open there, or anything else); -1 where that cannot be
// known. A sandbox may answer fstat with a lie, so EBADF counts only when a
// call that does not stat agrees, and a stat with no file type only when a
// socket's own call, which anonymous descriptors (eventfd, epoll, pidfd ...)
// refuse with ENOTSOCK, agrees.
static int is_socket(int fd, struct stat *st)
{
    if (fstat(fd, st) != 0)
        return errno == EBADF && fcntl(fd, F_GETFD) == -1 && errno == EBADF ? 0 : -1;
    int type = 0;
    socklen_t size = sizeof type;
    switch (st->st_mode & S_IFMT) {
    case S_IFSOCK:
        return 1;
    case S_IFREG: case S_IFDIR: case S_IFCHR: case S_IFBLK: case S_IFIFO: case S_IFLNK:
        return 0;
    case 0:
        return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 && errno == ENOTSOCK ? 0 : -1;
    default:
        return -1;
    }
}

// Whether standard error is known not to be the socket at `fd`, so that a
// line written there cannot travel inside the stream. Unknown counts as the
// same socket.
static bool stderr_apart(int fd)
{
    struct stat err {}, out {};
    int sock = is_socket(2, &err);
    if (sock != 1)
        return sock == 0;
    sock = is_socket(fd, &out);
    if (sock != 1)
        return sock == 0;
    return err.st_dev != out.st_dev || err.st_ino != out.st_ino;
}

// Whether standard input is known to be a byte stream. Anything else (a
// message socket, a packet device such as tun, input a sandbox hides) may
// keep record boundaries, and a read drops what of a record it cannot hold.
static bool byte_stream(int fd)
{
    struct stat in {};
    if (fstat(fd, &in) != 0)
        return false;
    if (S_ISREG(in.st_mode) || S_ISFIFO(in.st_mode) || S_ISBLK(in.st_mode))
        return true;
    int type = 0;
    socklen_t size = sizeof type;
    return S_ISSOCK(in.st_mode) && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 &&
           type == SOCK_STREAM;
}

// After EAGAIN (a full socket, or the owner's send time-out): waits in poll
// for room, a second at most, after a pause that grows while poll wakes at
// once without room. False where even the pause is refused: nothing can wait.
static bool wait_for_room(int *pause, int *fruitless)
{
    if (*pause > 0) {
        const timespec nap{*pause / 1000, *pause % 1000 * 1000000L};
        if (nanosleep(&nap, nullptr) != 0 && errno != EINTR)
            return false;
    }
    pollfd writable{s_SockFD, POLLOUT, 0};
    const int woken = poll(&writable, 1, 1000);
    if (woken == 0) {  // a second without room: poll again at once
        *fruitless = 0;
        *pause = 0;
    } else if (woken > 0 && (writable.revents & POLLOUT) != 0) {  // room
        *fruitless = 0;
        *pause = 10;
    } else if (*fruitless < 10) {  // no room: a busy error queue, or poll refused
        ++*fruitless;
        *pause = 10;
    } else {  // ten in a row: the pause doubles up to a second
        *pause = *pause < 500 ? 2 * *pause : 1000;
    }
    return true;
}

// Sends the `n` bytes of `chunk` whole, carrying on after short sends; 0, or
// -1 once the send has failed. No flags: with MSG_ZEROCOPY, an owner who
// turns SO_ZEROCOPY on would let the kernel read the chunk after it has
// been refilled.
static int send_chunk(const char *chunk, size_t n, bool speak)
{
    int pause = 0;      // ms to sleep before the next poll
    int fruitless = 0;  // wake-ups in a row without room, up to 10
    for (uint32_t sent = 0; sent < n;) {
        const ssize_t r = send(s_SockFD, chunk + sent, n - sent, 0);
        const int err = r < 0 ? errno : 0;
        if (r > 0) {
            sent += static_cast<uint32_t>(r);
            pause = fruitless = 0;
            continue;
        }
        // EINTR: a stop and continue during a timed send. The send is
        // repeated, where any error shows.
        if (err == EINTR || (err == EAGAIN && wait_for_room(&pause, &fruitless)))
            continue;
        // Any other error ends the run, and so does a send that takes
        // nothing from a non-empty chunk: that socket ignores the bytes.
        if (speak)
            fprintf(stderr, "write error: %i %i sockfd:%i ERROR_ABORT\n",
                    static_cast<int32_t>(r), err, s_SockFD);
        return -1;
    }
    return 0;
}

// cppcheck-suppress constParameter ; main's parameters are fixed by the language
int main(int argc, char *argv[])
{
    // A line written to the output socket would travel inside the stream, so
    // the descriptor that wins is found before any line is written.
    scan(argc, argv, false);
    const bool speak = s_SockFD == 0 || stderr_apart(s_SockFD);
    if (speak)
        scan(argc, argv, true);
    if (s_SockFD == 0) {
        fprintf(stderr, "sockrelay: main: condition \"s_SockFD != 0\" failed: "
                        "no --sockfd descriptor given\n");
        return 2;
    }

    // Room for any record up to 256 KiB; static, as the stream keeps it to the end.
    if (!byte_stream(0)) {
        static char records[262144];
        setvbuf(stdin, records, _IOFBF, sizeof records);
    }

    // Page-aligned for input opened with O_DIRECT, and static so that a
    // parent's small stack limit leaves room to run.
    alignas(4096) static char chunk[32768];
    for (;;) {
        // fread comes back short only at end of input or on a read error. A
        // stop and continue interrupts a timed read (EINTR), which then goes
        // on filling the same chunk.
        size_t n = 0;
        for (;;) {
            n += fread(chunk + n, 1, sizeof chunk - n, stdin);
            const int failed = n < sizeof chunk ? ferror(stdin) : 0;
            if (failed == 0)
                break;
            if (errno != EINTR) {
                if (speak)
                    fprintf(stderr, "read error: %i ERROR_ABORT\n", failed);
                return -2;
            }
            clearerr(stdin);
        }
        if (send_chunk(chunk, n, speak) != 0)
            return -1;
        if (n < sizeof chunk && feof(stdin) != 0)
            return 0;
    }
}
