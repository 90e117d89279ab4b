// SPDX-License-Identifier: MIT
/*
 * sockrelay: copy standard input, byte for byte and in order, into a socket
 * that the parent process already holds.
 *
 * The parent opens, connects and configures the socket, lets it survive exec
 * at some descriptor number and names that number with "--sockfd N".
 * sockrelay reads standard input in chunks of 32768 bytes and sends each
 * chunk completely before it reads the next.  It never creates, reads from,
 * shuts down or closes the socket, and never closes standard input.
 *
 * The parent learns the outcome from the exit status and one line on
 * standard error:
 *   0    all input was accepted by the socket
 *   2    no non-zero descriptor was given; standard input was not read
 *   254  reading standard input failed
 *   255  a send failed
 * A stream socket that was shut down or closed by its peer may instead kill
 * it with SIGPIPE, if the parent left that signal at its default.  When
 * standard error is the output socket itself, or might be (a sandbox hides
 * what it is), no line is written and the status alone tells.
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

// The file type of `fd` (S_IFSOCK ...), 0 when nothing is open there, -1
// when unknown. A sandbox may answer fstat with a lie, so EBADF counts only
// when a call that does not stat agrees, and a stat only with a real type.
static int type_of(int fd, struct stat *st)
{
    if (fstat(fd, st) != 0)
        return errno == EBADF && fcntl(fd, F_GETFD) == -1 && errno == EBADF ? 0 : -1;
    switch (st->st_mode & S_IFMT) {
    case S_IFSOCK: case S_IFREG: case S_IFDIR: case S_IFCHR: case S_IFBLK: case S_IFIFO: case S_IFLNK:
        return static_cast<int>(st->st_mode & S_IFMT);
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
    int type = type_of(2, &err);
    if (type != S_IFSOCK)
        return type >= 0;  // nothing open, or not a socket
    type = type_of(fd, &out);
    if (type <= 0)
        return type == 0;  // nothing open at `fd`, or unknown
    return err.st_dev != out.st_dev || err.st_ino != out.st_ino;
}

// cppcheck-suppress constParameter ; main's parameters are fixed by the language
int main(int argc, char *argv[])
{
    // Lines written to the output socket would travel inside the stream, so
    // the descriptor that wins is found first and the lines are written, in
    // order, only in the second pass.  argv[0] is scanned like any other
    // element, and a value is consumed even when it reads "--sockfd".
    bool speak = true;
    for (int pass = 0; pass < 2; pass++) {
        s_SockFD = 0;
        for (int i = 0; i < argc;) {
            if (strcmp(argv[i], "--sockfd") != 0) {
                i++;
                continue;
            }
            if (i + 1 == argc) {
                // A dangling option is a malformed command line: refuse it
                // rather than fall back to an earlier value.
                s_SockFD = 0;
                break;
            }
            s_SockFD = static_cast<int32_t>(strtol(argv[i + 1], nullptr, 0));
            if (pass == 1 && speak)
                fprintf(stderr, "outputting to sockfd device %i\n", s_SockFD);
            i += 2;
        }
        if (pass == 0 && s_SockFD != 0)
            speak = stderr_apart(s_SockFD);
    }
    if (s_SockFD == 0) {
        fprintf(stderr, "sockrelay: main: condition \"s_SockFD != 0\" failed: "
                        "no --sockfd descriptor given\n");
        return 2;
    }

    // Input that keeps record boundaries (a message socket, a packet device
    // such as tun or tap) discards the part of a record that does not fit in
    // the read.  Only input known to be a byte stream keeps the stream's own
    // buffer and its reads; everything else, including input that cannot be
    // identified, gets a buffer that takes any record up to 256 KiB whole.
    // It is static because the stream still holds it after main returns.
    struct stat in {};
    int type = 0;
    socklen_t typelen = sizeof type;
    if (fstat(0, &in) != 0 ||
        !(S_ISREG(in.st_mode) || S_ISFIFO(in.st_mode) || S_ISBLK(in.st_mode) ||
          (S_ISSOCK(in.st_mode) && getsockopt(0, SOL_SOCKET, SO_TYPE, &type, &typelen) == 0 &&
           type == SOCK_STREAM))) {
        static char records[262144];
        setvbuf(stdin, records, _IOFBF, sizeof records);
    }

    // Page-aligned, so that input opened with O_DIRECT can be read into it,
    // and static, so that a parent's small stack limit leaves room to run.
    alignas(4096) static char chunk[32768];
    for (;;) {
        // fread returns short only at end of input or on a read error, so
        // slow input is gathered into whole chunks before it is sent.  A stop
        // and continue interrupts a read with a receive time-out (EINTR);
        // that read goes on filling the same chunk, keeping what it has.
        size_t n = 0;
        for (;;) {
            n += fread(chunk + n, 1, sizeof chunk - n, stdin);
            int err = n < sizeof chunk ? ferror(stdin) : 0;
            if (err == 0)
                break;
            if (errno != EINTR) {
                if (speak)
                    fprintf(stderr, "read error: %i ERROR_ABORT\n", err);
                return -2;
            }
            clearerr(stdin);
        }
        // EAGAIN is a full buffer or the owner's send time-out: wait in the
        // kernel until the socket takes bytes again rather than spin, since
        // a slow reader would otherwise cost a whole core.  Whatever poll
        // says, the same send is repeated, so errors surface there.  EINTR
        // comes from a stop and continue during a timed send and is
        // repeated at once.  The flags are 0: with MSG_ZEROCOPY, an owner
        // who turns SO_ZEROCOPY on would let the kernel read the chunk after
        // it has been refilled, and some transports refuse the flag outright.
        int pause = 0;      // ms to sleep before polling again
        int fruitless = 0;  // wake-ups in a row without room, counted to 11
        for (uint32_t sent = 0; sent < n;) {
            ssize_t r = send(s_SockFD, chunk + sent, n - sent, 0);
            int err = r < 0 ? errno : 0;
            if (r > 0) {
                sent += static_cast<uint32_t>(r);
                pause = fruitless = 0;
                continue;
            }
            if (err == EINTR)
                continue;
            // Poll never reports a shut-down Unix socket, so the wait is
            // bounded and the repeated send reports it (EPIPE).  A wake-up
            // that still left no room earns a pause, not a spin.  Wake-ups
            // without room at all come from an error queue that is never
            // empty (the owner's transmit timestamps), which poll reports at
            // once, or from a poll that a sandbox refuses: after ten of them
            // in a row, 100 ms in which a steady slow reader has made room,
            // the pause doubles up to the bound of the wait.  The pause is a
            // sleep, not a poll, so that it holds where poll is refused;
            // where the sleep is refused too, nothing can wait, and the run
            // ends as a send that found no room.
            timespec nap{pause / 1000, pause % 1000 * 1000000L};
            if (err == EAGAIN && (pause == 0 || nanosleep(&nap, nullptr) == 0 || errno == EINTR)) {
                pollfd writable{s_SockFD, POLLOUT, 0};
                int woken = poll(&writable, 1, 1000);
                bool room = woken > 0 && (writable.revents & POLLOUT) != 0;
                if (woken == 0 || room)
                    fruitless = 0;
                else if (fruitless <= 10)
                    fruitless++;
                if (woken == 0)
                    pause = 0;
                else if (fruitless <= 10)
                    pause = 10;
                else
                    pause = pause < 500 ? 2 * pause : 1000;
                continue;
            }
            // Any other error ends the run, and so does a send that takes
            // nothing from a non-empty chunk: that socket has ignored the
            // bytes (an AF_XDP socket, a packet ring), so repeating the send
            // would spin for ever and deliver nothing.
            if (speak)
                fprintf(stderr, "write error: %i %i sockfd:%i ERROR_ABORT\n",
                        static_cast<int32_t>(r), err, s_SockFD);
            return -1;
        }
        if (n < sizeof chunk && feof(stdin) != 0)
            return 0;
    }
}
