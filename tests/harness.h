// SPDX-License-Identifier: MIT
// Helpers for the black-box tests: descriptors the test owns, real sockets,
// and a way to start the real sockrelay binary with a socket placed at a
// chosen descriptor number.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// `mine` goes to sockrelay, `peer` stays with the test.
struct Pair {
    Fd mine, peer;
};

Pair unix_pair(int type);  // SOCK_STREAM or SOCK_DGRAM
struct TcpOptions {
    bool nodelay = false;
    bool zerocopy = false;
};
Pair tcp_pair(TcpOptions options = {});
Pair udp_pair();
Pair pipe_pair();  // mine: the write end, peer: the read end

// A regular file (memfd) holding `data`, positioned at its start.
Fd file_with(const std::string &data);
// A file in the current directory holding `data`, opened again with O_DIRECT
// and already unlinked; not open (-1) where the file system refuses direct
// I/O, with errno telling why.
Fd direct_file_with(const std::string &data);
// Deterministic bytes that differ from chunk to chunk.
std::string pattern(size_t size, uint32_t seed = 1);

// Reads until end of file; fails the test if the deadline passes first.
std::string read_all(int fd, Millis deadline = 60s);
// Reads exactly `n` bytes; fails the test if the deadline passes first.
std::string read_exactly(int fd, size_t n, Millis deadline = 30s);
// Reads `n` bytes in reads of at most `step` with `pause` after each, calling
// `between` before each read; stops at the first read that falls short.
std::string read_slowly(int fd, size_t n, size_t step, Millis pause,
                        const std::function<void()> &between = [] {});
// Whether anything becomes readable on `fd` within `wait`.
bool arrives(int fd, Millis wait);
// Compares streams by size and first difference, without printing them.
testing::AssertionResult same_bytes(const std::string &want, const std::string &got);
// Reads `count` messages; fails the test if the deadline passes first.
std::vector<std::string> read_messages(int fd, size_t count, Millis deadline = 30s);
// Writes all of `data`; gives up silently when the reader has gone, and
// fails the test if the deadline passes first. Returns whether all was written.
bool write_all(int fd, const std::string &data, Millis deadline = 30s);
// Polls `done` until it holds or the deadline passes. A failure says in
// words what was awaited: "waited 10000 ms for `what`".
testing::AssertionResult wait_until(const std::string &what, const std::function<bool()> &done,
                                    Millis deadline = 10s);
// The state letter of /proc/PID/stat: R, S, T, Z ...
char process_state(pid_t pid);

// What the running test is doing, named in the line that the suite prints
// when a test runs out of time; Child notes each sockrelay it starts.
void doing(const std::string &what);

struct Outcome {
    std::string status;  // "exit N" or "signal N"
    std::string err;     // everything written to standard error
    std::string out;     // everything written to standard output
};

struct Launch {
    std::vector<std::string> argv{"sockrelay"};  // argv[0] included
    int stdin_fd = -1;                           // -1: /dev/null
    std::vector<std::pair<int, int>> fds;        // {test's fd, number in sockrelay}
    std::vector<std::string> env;                // added to the environment
    bool ignore_sigpipe = false;
    size_t stack_limit = 0;                      // RLIMIT_STACK in bytes, 0: inherited

    Launch &args(std::vector<std::string> rest);
    Launch &input(int fd);
    Launch &place(int fd, int number);
    Launch &spy(const std::string &log, const std::string &settings = "");
};

// A running sockrelay. finish() collects its outcome; a child still running
// at the deadline is killed and the test fails.
class Child {
public:
    explicit Child(const Launch &launch);
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child();
    pid_t pid() const { return pid_; }
    Outcome finish(Millis deadline = 60s);

private:
    pid_t pid_ = -1;
    Fd err_, out_;
};

// Starts, waits and collects in one call.
Outcome run(const Launch &launch, Millis deadline = 60s);

// One recorded send() call of the interposer.
struct SendCall {
    uintptr_t address;
    size_t length;
    unsigned flags;
    long result;
    int error;
};
std::vector<SendCall> read_spy_log(const std::string &path);
// A fresh path for an interposer log, removed by the destructor.
struct TempPath {
    TempPath();
    ~TempPath();
    std::string path;
};

constexpr size_t kChunk = 32768;
std::string announce(int fd);  // the line sockrelay prints for --sockfd
extern const char *const kNoDescriptor;
