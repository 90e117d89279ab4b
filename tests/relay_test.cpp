// SPDX-License-Identifier: MIT
// The relay loop against real sockets, pipes and files; the send()
// interposer makes chunking, short sends and retries visible.
#include "harness.h"

#include <fcntl.h>
#include <linux/net_tstamp.h>
#include <linux/tls.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <thread>

namespace {

constexpr int kFd = 5;
const std::vector<std::string> kArgs{"--sockfd", "5"};

std::string write_error(int err, int result = -1) {
    return "write error: " + std::to_string(result) + " " + std::to_string(err) +
           " sockfd:5 ERROR_ABORT\n";
}
const std::string kReadError = "read error: 1 ERROR_ABORT\n";

// Status 0, nothing on standard error but `err` (the announcement), and
// exactly `data` arrived.
testing::AssertionResult relayed_exactly(const Outcome &o, const std::string &data,
                                         const std::string &got,
                                         const std::string &err = announce(kFd))
{
    if (o.status != "exit 0" || o.err != err)
        return testing::AssertionFailure()
               << "expected exit 0 and standard error \"" << err << "\", got " << o.status
               << " with standard error: " << o.err;
    return same_bytes(data, got);
}

std::future<std::string> drain(int fd)
{
    return std::async(std::launch::async, [fd] { return read_all(fd); });
}

// sockrelay reading from `in.peer` and sending to `sock.mine`, whose copies
// the test gives up; `got` gathers what reaches `sock.peer`, and the test
// feeds `in.mine`. `spy`: interposer settings, if any.
struct Streaming {
    Streaming(Pair &in, Pair &sock, const std::string &spy = "")
        : child(launch(in.peer.get(), sock.mine.get(), spy))
    {
        sock.mine.reset();
        in.peer.reset();
        got = drain(sock.peer.get());
    }
    Launch launch(int in, int sock, const std::string &spy) const
    {
        Launch l;
        l.args(kArgs).input(in).place(sock, kFd);
        if (!spy.empty())
            l.spy(log.path, spy);
        return l;
    }
    TempPath log;
    Child child;
    std::future<std::string> got;
};

// Relays the input `in` into `sock` with the interposer loaded; returns the
// outcome, what arrived and the calls it saw.
struct SpiedRun {
    Outcome outcome;
    std::string arrived;
    std::vector<SendCall> calls;
};

SpiedRun relay_spied(const Fd &in, const std::string &settings,
                     Pair sock = unix_pair(SOCK_STREAM))
{
    TempPath log;
    Launch launch;
    launch.args(kArgs).input(in.get()).place(sock.mine.get(), kFd).spy(log.path, settings);
    Child child(launch);
    sock.mine.reset();
    auto got = drain(sock.peer.get());
    Outcome o = child.finish();
    return {o, got.get(), read_spy_log(log.path)};
}

// --- outputs that are not sockets --------------------------------------------

enum class At { NothingOpen, Pipe };  // what descriptor 5 holds

struct OutputCase {
    const char *name;
    At at;
    size_t size;
    std::string err;
    const char *status;
};

const OutputCase kOutputCases[] = {
    {"EmptyInputNothingOpen", At::NothingOpen, 0, "", "exit 0"},
    {"EmptyInputPipe", At::Pipe, 0, "", "exit 0"},
    {"NothingOpen", At::NothingOpen, 5, write_error(9), "exit 255"},
    {"Pipe", At::Pipe, 5, write_error(88), "exit 255"},
};

void PrintTo(const OutputCase &c, std::ostream *os) { *os << c.name; }

class NotASocket : public testing::TestWithParam<OutputCase> {};

TEST_P(NotASocket, FailsAtFirstSend)
{
    const OutputCase &c = GetParam();
    Pair out = pipe_pair();
    Fd in = file_with(std::string(c.size, 'x'));
    Launch launch;
    launch.args(kArgs).input(in.get());
    if (c.at == At::Pipe)
        launch.place(out.mine.get(), kFd);
    Outcome o = run(launch);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.err, announce(kFd) + c.err);
    EXPECT_EQ(o.out, "");
}

INSTANTIATE_TEST_SUITE_P(Outputs, NotASocket, testing::ValuesIn(kOutputCases),
                         [](const testing::TestParamInfo<OutputCase> &i) { return i.param.name; });

// --- chunks and short sends, seen through the interposer -----------------------

struct Call {
    size_t offset, length;
    bool operator==(const Call &o) const { return offset == o.offset && length == o.length; }
};
std::ostream &operator<<(std::ostream &os, const Call &c)
{
    return os << "{" << c.offset << ", " << c.length << "}";
}

// DirectFile: opened with O_DIRECT; Directory: fails the first read.
enum class Input { File, DirectFile, Directory };

struct ChunkCase {
    const char *name;
    size_t size;
    const char *spy;  // interposer settings
    std::vector<Call> calls;
    Input input = Input::File;
};

const ChunkCase kChunkCases[] = {
    {"Empty", 0, "", {}},
    {"OneChunk", kChunk, "", {{0, kChunk}}},
    {"OneChunkPlusOne", kChunk + 1, "", {{0, kChunk}, {0, 1}}},
    {"ThreeChunksAndSome", 3 * kChunk + 100, "",
     {{0, kChunk}, {0, kChunk}, {0, kChunk}, {0, 100}}},
    {"CappedAt100", 450, "CAP=100", {{0, 450}, {100, 350}, {200, 250}, {300, 150}, {400, 50}}},
    {"CappedAcrossChunks", kChunk + 1, "CAP=10000",
     {{0, kChunk}, {10000, kChunk - 10000}, {20000, kChunk - 20000}, {30000, kChunk - 30000},
      {0, 1}}},
    {"DirectEmpty", 0, "", {}, Input::DirectFile},
    {"DirectShort", 100, "", {{0, 100}}, Input::DirectFile},
    {"DirectChunksAndSome", 3 * kChunk + 100, "",
     {{0, kChunk}, {0, kChunk}, {0, kChunk}, {0, 100}}, Input::DirectFile},
};

void PrintTo(const ChunkCase &c, std::ostream *os) { *os << c.name; }

class Chunking : public testing::TestWithParam<ChunkCase> {};

TEST_P(Chunking, SendsWholeChunksInOrder)
{
    const ChunkCase &c = GetParam();
    std::string data = pattern(c.size);
    // Direct I/O wants a real file system, so the file is made in the build tree.
    Fd in = c.input == Input::DirectFile ? direct_file_with(data) : file_with(data);
    if (in.get() < 0)
        GTEST_SKIP() << "this file system refuses O_DIRECT: " << strerror(errno);
    SpiedRun r = relay_spied(in, c.spy);

    EXPECT_TRUE(relayed_exactly(r.outcome, data, r.arrived));
    std::vector<Call> seen;
    for (const SendCall &s : r.calls) {
        seen.push_back({s.address - r.calls[0].address, s.length});
        EXPECT_EQ(s.flags, 0u);
    }
    EXPECT_EQ(seen, c.calls);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Chunking, testing::ValuesIn(kChunkCases),
                         [](const testing::TestParamInfo<ChunkCase> &i) { return i.param.name; });

// --- retried and fatal send results -------------------------------------------------

struct RetryCase {
    const char *name;
    const char *spy;     // interposer settings
    size_t arrived;      // bytes of the 40000-byte input that reach the peer
    std::string err;
    const char *status;
};

const RetryCase kRetryCases[] = {
    {"Eagain", "SCRIPT=EAGAIN*200", 40000, "", "exit 0"},
    {"Eintr", "SCRIPT=EINTR*20", 40000, "", "exit 0"},
    {"Mixed", "SCRIPT=PASS,EAGAIN,EINTR,EINTR,EAGAIN", 40000, "", "exit 0"},
    // With no call that can wait, the run ends as a send that found no room.
    {"NoWaitPossible", "SCRIPT=EAGAIN*3 DENY=poll,nanosleep", 0, write_error(11), "exit 255"},
    // A send that takes nothing has ignored the bytes: no repeat can deliver them.
    {"ZeroFirst", "SCRIPT=ZERO", 0, write_error(0, 0), "exit 255"},
    {"ZeroSecondChunk", "SCRIPT=PASS,ZERO", kChunk, write_error(0, 0), "exit 255"},
    // Kernel TLS and some vsock transports refuse MSG_ZEROCOPY this way.
    {"ZeroCopyRefused", "REFUSE=0x4000000", 40000, "", "exit 0"},
    {"Unsupported", "SCRIPT=EOPNOTSUPP", 0, write_error(95), "exit 255"},
    {"ResetFirst", "SCRIPT=ECONNRESET", 0, write_error(104), "exit 255"},
    {"ResetSecondChunk", "SCRIPT=PASS,EAGAIN,ECONNRESET", kChunk, write_error(104), "exit 255"},
    {"BrokenPipeReported", "SCRIPT=EPIPE", 0, write_error(32), "exit 255"},
};

void PrintTo(const RetryCase &c, std::ostream *os) { *os << c.name; }

class Retry : public testing::TestWithParam<RetryCase> {};

TEST_P(Retry, RepeatsTheSameCallOrStops)
{
    const RetryCase &c = GetParam();
    std::string data = pattern(40000);
    SpiedRun r = relay_spied(file_with(data), c.spy);

    EXPECT_EQ(r.outcome.status, c.status);
    EXPECT_EQ(r.outcome.err, announce(kFd) + c.err);
    EXPECT_TRUE(same_bytes(data.substr(0, c.arrived), r.arrived));
    // A call that sent nothing is followed by the very same call.
    const std::vector<SendCall> &calls = r.calls;
    for (size_t i = 1; i < calls.size(); i++)
        if (calls[i - 1].result <= 0) {
            EXPECT_EQ(calls[i].address, calls[i - 1].address) << "call " << i;
            EXPECT_EQ(calls[i].length, calls[i - 1].length) << "call " << i;
        }
    if (!c.err.empty() && !calls.empty()) {
        EXPECT_LE(calls.back().result, 0) << "a send after the one that failed";
    }
}

INSTANTIATE_TEST_SUITE_P(Results, Retry, testing::ValuesIn(kRetryCases),
                         [](const testing::TestParamInfo<RetryCase> &i) { return i.param.name; });

// --- every send passes no flags, whatever the socket ---------------------------

const TcpOptions kZeroCopy = [] {
    TcpOptions o;
    o.zerocopy = true;
    return o;
}();

struct FlagsCase {
    const char *name;
    std::function<Pair()> make;
};

const FlagsCase kFlagsCases[] = {
    {"UnixStream", [] { return unix_pair(SOCK_STREAM); }},
    {"Tcp", [] { return tcp_pair(); }},
    {"TcpZeroCopy", [] { return tcp_pair(kZeroCopy); }},
    {"Udp", [] { return udp_pair(); }},
    {"Pipe", [] { return pipe_pair(); }},
};

void PrintTo(const FlagsCase &c, std::ostream *os) { *os << c.name; }

class Flags : public testing::TestWithParam<FlagsCase> {};

TEST_P(Flags, NoFlags)
{
    TempPath log;
    Pair out = GetParam().make();
    Fd in = file_with("hello");
    Launch launch;
    launch.args(kArgs).input(in.get()).place(out.mine.get(), kFd).spy(log.path);
    run(launch);
    std::vector<SendCall> calls = read_spy_log(log.path);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].flags, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sockets, Flags, testing::ValuesIn(kFlagsCases),
                         [](const testing::TestParamInfo<FlagsCase> &i) { return i.param.name; });

// --- datagram sockets: one message per send -----------------------------------------

class Datagram : public testing::TestWithParam<int> {};

TEST_P(Datagram, MessagesFollowChunks)
{
    Pair sock = GetParam() == 0 ? unix_pair(SOCK_DGRAM) : udp_pair();
    std::string data = pattern(3 * kChunk + 100);
    Fd in = file_with(data);
    Launch launch;
    launch.args(kArgs).input(in.get()).place(sock.mine.get(), kFd);
    Child child(launch);
    std::vector<std::string> got = read_messages(sock.peer.get(), 4);
    Outcome o = child.finish();

    EXPECT_EQ(o.status, "exit 0");
    EXPECT_EQ(o.err, announce(kFd));
    ASSERT_EQ(got.size(), 4u);
    for (size_t i = 0; i < 4; i++)
        EXPECT_TRUE(same_bytes(data.substr(i * kChunk, kChunk), got[i])) << "message " << i;
    char byte;
    EXPECT_LT(recv(sock.peer.get(), &byte, 1, MSG_DONTWAIT), 0) << "an extra message arrived";
}

INSTANTIATE_TEST_SUITE_P(Kinds, Datagram, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int> &i) {
                             return i.param == 0 ? "UnixDgram" : "Udp";
                         });

// --- message sockets as input: every message whole ------------------------------

enum class Messages { Seqpacket, Udp };  // a Unix socketpair, or UDP
enum class Lines { Announced, Withheld };  // Withheld: what standard error is stays hidden

struct MessageCase {
    const char *name;
    Messages kind;
    size_t size;  // of each message
    size_t count;
    const char *spy = "";  // interposer settings
    Lines lines = Lines::Announced;
};

const MessageCase kMessageCases[] = {
    {"Seqpacket20000", Messages::Seqpacket, 20000, 10},
    {"Seqpacket65536", Messages::Seqpacket, 65536, 4},
    {"Seqpacket262144", Messages::Seqpacket, 262144, 3},
    // Input that cannot be identified is read as if it kept records.
    {"TypeQueryRefused", Messages::Seqpacket, 200000, 3, "DENY=getsockopt"},
    {"FstatRefused", Messages::Seqpacket, 200000, 3, "DENY=fstat", Lines::Withheld},
    {"Udp8000", Messages::Udp, 8000, 40},
    {"Udp65000", Messages::Udp, 65000, 5},
};

void PrintTo(const MessageCase &c, std::ostream *os) { *os << c.name; }

class MessageInput : public testing::TestWithParam<MessageCase> {};

TEST_P(MessageInput, EveryMessageArrivesWhole)
{
    const MessageCase &c = GetParam();
    const bool udp = c.kind == Messages::Udp;
    Pair in = udp ? udp_pair() : unix_pair(SOCK_SEQPACKET);
    timeval ten{10, 0};  // a writer that finds no room gives up rather than hang
    ASSERT_EQ(setsockopt(in.mine.get(), SOL_SOCKET, SO_SNDTIMEO, &ten, sizeof ten), 0);
    // A Unix socket's largest message is its send buffer less 32 bytes. Without
    // CAP_NET_ADMIN there is no SO_SNDBUFFORCE, and net.core.wmem_max bounds
    // SO_SNDBUF.
    int room = 1 << 20;
    socklen_t size = sizeof room;
    if (setsockopt(in.mine.get(), SOL_SOCKET, SO_SNDBUFFORCE, &room, size) != 0)
        setsockopt(in.mine.get(), SOL_SOCKET, SO_SNDBUF, &room, size);
    ASSERT_EQ(getsockopt(in.mine.get(), SOL_SOCKET, SO_SNDBUF, &room, &size), 0);
    if (!udp && static_cast<size_t>(room) < c.size + 32)
        GTEST_SKIP() << "this host cannot give a Unix socket a send buffer for a " << c.size
                     << "-byte message: " << room << " bytes";
    Pair sock = unix_pair(SOCK_STREAM);
    Streaming relay(in, sock, c.spy);
    std::string data = pattern(c.size * c.count, 9);
    for (size_t at = 0; at < data.size(); at += c.size)
        ASSERT_EQ(send(in.mine.get(), &data[at], c.size, 0), static_cast<ssize_t>(c.size))
            << "message " << at / c.size << ": " << strerror(errno);
    // An empty datagram ends UDP input; the writer's close ends the other.
    if (udp) {
        ASSERT_EQ(send(in.mine.get(), "", 0, 0), 0) << strerror(errno);
    }
    in.mine.reset();
    EXPECT_TRUE(relayed_exactly(relay.child.finish(), data, relay.got.get(),
                                c.lines == Lines::Withheld ? "" : announce(kFd)));
}

INSTANTIATE_TEST_SUITE_P(Sockets, MessageInput, testing::ValuesIn(kMessageCases),
                         [](const testing::TestParamInfo<MessageCase> &i) { return i.param.name; });

// --- read failures ------------------------------------------------------------------

TEST(ReadFailure, DryNonBlockingPipeDropsTheFailedRead)
{
    Pair sock = unix_pair(SOCK_STREAM);
    Pair in = pipe_pair();
    ASSERT_GE(fcntl(in.peer.get(), F_SETPIPE_SZ, 1 << 20), 0);
    std::string data = pattern(2 * kChunk + 100);
    write_all(in.mine.get(), data);
    ASSERT_EQ(fcntl(in.peer.get(), F_SETFL, O_NONBLOCK), 0);
    Launch launch;
    launch.args(kArgs).input(in.peer.get()).place(sock.mine.get(), kFd);
    Outcome o = run(launch);
    sock.mine.reset();

    EXPECT_EQ(o.status, "exit 254");
    EXPECT_EQ(o.err, announce(kFd) + kReadError);
    EXPECT_TRUE(same_bytes(data.substr(0, 2 * kChunk), read_all(sock.peer.get())));
}

TEST(ReadFailure, DirectoryAsInput)
{
    Pair sock = unix_pair(SOCK_STREAM);
    Fd dir(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Launch launch;
    launch.args(kArgs).input(dir.get()).place(sock.mine.get(), kFd);
    Outcome o = run(launch);
    sock.mine.reset();

    EXPECT_EQ(o.status, "exit 254");
    EXPECT_EQ(o.err, announce(kFd) + kReadError);
    EXPECT_EQ(read_all(sock.peer.get()), "");
}

// --- standard error that is the output socket ---------------------------------------

// Under systemd with StandardError=socket, standard error is the connection
// too; a daemon that closed descriptor 2 may get its socket there. A sandbox
// that refuses fstat on one of the two hides whether it is.
enum class Err { Pipe, Socket };  // Socket: another socket, as the journal's

// Descriptors with no file type, which an event-loop parent holds and a
// wrong --sockfd may name; not open (-1) where this kernel has no such kind.
Fd an_eventfd() { return Fd(eventfd(0, EFD_CLOEXEC)); }
Fd an_epoll() { return Fd(epoll_create1(EPOLL_CLOEXEC)); }
Fd a_timerfd() { return Fd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)); }
Fd an_inotify() { return Fd(inotify_init1(IN_CLOEXEC)); }
Fd a_pidfd() { return Fd(static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0))); }
Fd a_signalfd()
{
    sigset_t none;
    sigemptyset(&none);
    return Fd(signalfd(-1, &none, SFD_CLOEXEC));
}

struct StderrCase {
    const char *name;
    std::vector<int> at;  // where the output socket is placed; --sockfd names the first
    Input input;          // File or Directory
    Err err;              // standard error, unless the output socket is placed at 2
    std::string lines;    // what standard error receives
    const char *status;
    const char *spy = "";  // interposer settings
    Fd (*instead)() = nullptr;  // placed in place of the output socket
};

// A descriptor that is no socket, named by mistake: both lines are safe.
const std::string kMistaken = announce(kFd) + write_error(88);

const StderrCase kStderrCases[] = {
    {"StdoutAndStderr", {1, 2}, Input::File, Err::Pipe, "", "exit 0"},
    {"Stderr", {2}, Input::File, Err::Pipe, "", "exit 0"},
    {"StderrDirectory", {2}, Input::Directory, Err::Pipe, "", "exit 254"},
    {"StdoutOnly", {1}, Input::File, Err::Pipe, announce(1), "exit 0"},
    {"AnotherSocket", {kFd}, Input::Directory, Err::Socket, announce(kFd) + kReadError,
     "exit 254"},
    {"StderrHidden", {kFd, 2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@2"},
    {"OutputHidden", {kFd, 2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@5"},
    {"StderrHiddenDirectory", {kFd, 2}, Input::Directory, Err::Pipe, "", "exit 254",
     "DENY=fstat@2"},
    {"PipeOutputHidden", {kFd}, Input::File, Err::Pipe, announce(kFd), "exit 0", "DENY=fstat@5"},
    // A sandbox that lies: EBADF for an open descriptor, or success with
    // nothing filled in.
    {"At1EbadfOn2", {1, 2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@2=EBADF"},
    {"At1EbadfOn1", {1, 2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@1=EBADF"},
    {"At1UnfilledOn2", {1, 2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@2=0"},
    {"At1UnfilledOn1", {1, 2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@1=0"},
    {"At2Ebadf", {2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@2=EBADF"},
    {"At2Unfilled", {2}, Input::Directory, Err::Pipe, "", "exit 254", "DENY=fstat@2=0"},
    {"At3EbadfOn2", {3, 2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@2=EBADF"},
    {"At3EbadfOn3", {3, 2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@3=EBADF"},
    {"At3UnfilledOn2", {3, 2}, Input::File, Err::Pipe, "", "exit 0", "DENY=fstat@2=0"},
    {"At3UnfilledOn3", {3, 2}, Input::Directory, Err::Pipe, "", "exit 254", "DENY=fstat@3=0"},
    {"PipeOutputUnfilled", {kFd}, Input::File, Err::Pipe, announce(kFd), "exit 0",
     "DENY=fstat@5=0"},
    // --sockfd names, by mistake, a descriptor with no file type: fstat
    // cannot tell it from an empty answer, but it is no socket.
    {"EventfdErrSocket", {kFd}, Input::File, Err::Socket, kMistaken, "exit 255", "", an_eventfd},
    {"EventfdErrPipe", {kFd}, Input::File, Err::Pipe, kMistaken, "exit 255", "", an_eventfd},
    {"EpollErrSocket", {kFd}, Input::File, Err::Socket, kMistaken, "exit 255", "", an_epoll},
    {"EpollErrPipe", {kFd}, Input::File, Err::Pipe, kMistaken, "exit 255", "", an_epoll},
    {"TimerfdErrSocket", {kFd}, Input::File, Err::Socket, kMistaken, "exit 255", "", a_timerfd},
    {"TimerfdErrPipe", {kFd}, Input::File, Err::Pipe, kMistaken, "exit 255", "", a_timerfd},
    {"PidfdErrSocket", {kFd}, Input::File, Err::Socket, kMistaken, "exit 255", "", a_pidfd},
    {"PidfdErrPipe", {kFd}, Input::File, Err::Pipe, kMistaken, "exit 255", "", a_pidfd},
    {"SignalfdErrSocket", {kFd}, Input::File, Err::Socket, kMistaken, "exit 255", "", a_signalfd},
    {"InotifyErrSocket", {kFd}, Input::File, Err::Socket, kMistaken, "exit 255", "", an_inotify},
    // An empty stat of the output with the socket's own call refused too:
    // still unknown, so still no line.
    {"At5UnfilledOn5TypeQueryRefused", {kFd, 2}, Input::File, Err::Pipe, "", "exit 0",
     "DENY=fstat@5=0,getsockopt"},
};

void PrintTo(const StderrCase &c, std::ostream *os) { *os << c.name; }

class StderrSocket : public testing::TestWithParam<StderrCase> {};

TEST_P(StderrSocket, LinesNeverEnterTheStream)
{
    const StderrCase &c = GetParam();
    Pair sock = unix_pair(SOCK_STREAM), err = unix_pair(SOCK_STREAM);
    const bool directory = c.input == Input::Directory;
    std::string data = directory ? "" : pattern(100000);
    Fd in = directory ? Fd(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) : file_with(data);
    Fd instead = c.instead != nullptr ? c.instead() : Fd();
    if (c.instead != nullptr && instead.get() < 0)
        GTEST_SKIP() << "this kernel offers no such descriptor: " << strerror(errno);
    TempPath log;
    Launch launch;
    launch.args({"--sockfd", std::to_string(c.at[0])}).input(in.get());
    if (*c.spy != '\0')
        launch.spy(log.path, c.spy);
    if (c.err == Err::Socket)
        launch.place(err.mine.get(), 2);
    for (int at : c.at)
        launch.place(c.instead != nullptr ? instead.get() : sock.mine.get(), at);
    Child child(launch);
    sock.mine.reset();
    err.mine.reset();
    auto got = drain(sock.peer.get());
    Outcome o = child.finish();

    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(c.err == Err::Socket ? read_all(err.peer.get()) : o.err, c.lines);
    EXPECT_TRUE(same_bytes(c.instead != nullptr ? "" : data, got.get()));
}

INSTANTIATE_TEST_SUITE_P(Placed, StderrSocket, testing::ValuesIn(kStderrCases),
                         [](const testing::TestParamInfo<StderrCase> &i) { return i.param.name; });

// --- a small stack limit, set by the parent -------------------------------------------

#ifndef SOCKRELAY_SANITIZED  // the sanitizers' own stack needs far more
class StackLimit : public testing::TestWithParam<int> {};

TEST_P(StackLimit, EveryByteArrives)
{
    Pair sock = unix_pair(SOCK_STREAM);
    std::string data = pattern(1 << 20, 13);
    Fd in = file_with(data);
    Launch launch;
    launch.args(kArgs).input(in.get()).place(sock.mine.get(), kFd);
    launch.stack_limit = static_cast<size_t>(GetParam()) << 10;
    Child child(launch);
    sock.mine.reset();
    auto got = drain(sock.peer.get());
    EXPECT_TRUE(relayed_exactly(child.finish(), data, got.get()));
}

INSTANTIATE_TEST_SUITE_P(KiB, StackLimit, testing::Values(24, 32, 48));
#endif

// --- timing of input and output -------------------------------------------------------

TEST(Relay, TricklingInputIsHeldUntilAChunkGathers)
{
    Pair sock = unix_pair(SOCK_STREAM);
    Pair in = pipe_pair();
    std::string data = pattern(kChunk + 5);
    Launch launch;
    launch.args(kArgs).input(in.peer.get()).place(sock.mine.get(), kFd);
    Child child(launch);
    sock.mine.reset();
    in.peer.reset();

    write_all(in.mine.get(), data.substr(0, 1000));
    EXPECT_FALSE(arrives(sock.peer.get(), 300ms)) << "a partial chunk was sent";
    write_all(in.mine.get(), data.substr(1000, kChunk - 1000));
    ASSERT_TRUE(same_bytes(data.substr(0, kChunk), read_exactly(sock.peer.get(), kChunk)));
    write_all(in.mine.get(), data.substr(kChunk));
    EXPECT_FALSE(arrives(sock.peer.get(), 100ms)) << "a partial chunk was sent";
    in.mine.reset();
    EXPECT_TRUE(same_bytes(data.substr(kChunk), read_all(sock.peer.get())));
    Outcome o = child.finish();
    EXPECT_EQ(o.status, "exit 0");
    EXPECT_EQ(o.err, announce(kFd));
}

// --- a slow reader is waited for, not spun on --------------------------------------

// The owner's transmit timestamps keep the error queue full, so poll returns
// at once without room.
Pair tcp_with_transmit_timestamps()
{
    Pair p = tcp_pair();
    int stamps = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_TX_ACK | SOF_TIMESTAMPING_SOFTWARE;
    setsockopt(p.mine.get(), SOL_SOCKET, SO_TIMESTAMPING, &stamps, sizeof stamps);
    int small = 16384;
    setsockopt(p.peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    return p;
}

struct SlowReaderCase {
    const char *name;
    std::function<Pair()> make;
    Millis stall{0};              // before the reader starts
    size_t stalled_attempts = 0;  // the most sends allowed while it stalls
    const char *spy = "";         // interposer settings
};

const SlowReaderCase kSlowReaderCases[] = {
    {"UnixStream", [] { return unix_pair(SOCK_STREAM); }},
    {"TcpTransmitTimestamps", tcp_with_transmit_timestamps},
    // Filling the socket and waiting 3 s takes about 4 sends on a plain
    // socket. Where the error queue wakes poll at once, ten pauses of 10 ms
    // and then pauses that double to a second keep it near 20; a fixed 10 ms
    // pause would make about 300.
    {"UnixStreamStalled", [] { return unix_pair(SOCK_STREAM); }, 3s, 8},
    {"TcpTransmitTimestampsStalled", tcp_with_transmit_timestamps, 3s, 35},
    // A sandbox that refuses poll: the pause alone spaces the tries.
    {"UnixStreamStalledPollRefused", [] { return unix_pair(SOCK_STREAM); }, 3s, 35,
     "DENY=poll"},
};

void PrintTo(const SlowReaderCase &c, std::ostream *os) { *os << c.name; }

class SlowReader : public testing::TestWithParam<SlowReaderCase> {};

TEST_P(SlowReader, NonBlockingTinyBufferIsWaitedFor)
{
    TempPath log;
    Pair sock = GetParam().make();
    int tiny = 1;  // the kernel raises it to its minimum
    ASSERT_EQ(setsockopt(sock.mine.get(), SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny), 0);
    ASSERT_EQ(fcntl(sock.mine.get(), F_SETFL, O_NONBLOCK), 0);
    std::string data = pattern(1 << 20);
    Fd in = file_with(data);
    Launch launch;
    launch.args(kArgs).input(in.get()).place(sock.mine.get(), kFd).spy(log.path, GetParam().spy);
    Child child(launch);
    sock.mine.reset();
    if (GetParam().stall > 0ms) {
        poll(nullptr, 0, static_cast<int>(GetParam().stall.count()));
        EXPECT_LE(read_spy_log(log.path).size(), GetParam().stalled_attempts)
            << "sends while the reader stalled for " << GetParam().stall.count() << " ms";
    }
    std::string got = read_slowly(sock.peer.get(), data.size(), 8192, 1ms);
    Outcome o = child.finish();

    EXPECT_TRUE(relayed_exactly(o, data, got));
    size_t eagain = 0, accepted = 0;
    for (const SendCall &c : read_spy_log(log.path)) {
        eagain += c.result < 0 && c.error == EAGAIN;
        accepted += c.result > 0;
    }
    EXPECT_GT(eagain, 0u) << "the send buffer never filled";
    // Waiting for room makes about one EAGAIN per accepted send; a relay
    // that spins on EAGAIN makes thousands.
    EXPECT_LE(eagain, 2 * accepted + 2) << accepted << " sends accepted bytes";
}

INSTANTIATE_TEST_SUITE_P(Sockets, SlowReader, testing::ValuesIn(kSlowReaderCases),
                         [](const testing::TestParamInfo<SlowReaderCase> &i) {
                             return i.param.name;
                         });

TEST(Relay, LargeTransferOverTcp)
{
    Pair sock = tcp_pair();
    Pair in = pipe_pair();
    std::string data = pattern(64 << 20, 7);
    Streaming relay(in, sock);
    // Irregular writes, so that reads come back short and must be gathered.
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 7 % 100003)
        if (!write_all(in.mine.get(), data.substr(at, step)))
            break;
    in.mine.reset();
    EXPECT_TRUE(relayed_exactly(relay.child.finish(), data, relay.got.get()));
}

// --- a broken or shut-down socket ends the run -------------------------------------

enum class Break {
    PeerClosed,    // before sockrelay starts
    ParentShutWr,  // the parent's shutdown(SHUT_WR) while sockrelay waits for room
    PeerShutRd,    // the peer's shutdown(SHUT_RD) while sockrelay waits for room
    Terminated,    // the parent's SIGTERM while sockrelay waits for room
};

enum class Sigpipe { Default, Ignored };  // as the parent leaves it
enum class Full { NonBlocking, TimedSend };  // how the socket makes sockrelay wait

struct PipeCase {
    const char *name;
    Sigpipe sigpipe;
    const char *status;
    std::string err;
    Break how = Break::PeerClosed;
    int type = SOCK_STREAM;
    Full full = Full::NonBlocking;
};

const PipeCase kPipeCases[] = {
    {"DefaultKills", Sigpipe::Default, "signal 13", ""},
    {"IgnoredReports", Sigpipe::Ignored, "exit 255", write_error(32)},
    {"ShutWrWhileWaitingKills", Sigpipe::Default, "signal 13", "", Break::ParentShutWr},
    {"ShutWrWhileWaiting", Sigpipe::Ignored, "exit 255", write_error(32), Break::ParentShutWr},
    {"PeerShutRdWhileWaiting", Sigpipe::Ignored, "exit 255", write_error(32), Break::PeerShutRd},
    {"DatagramShutWrWhileWaiting", Sigpipe::Ignored, "exit 255", write_error(32),
     Break::ParentShutWr, SOCK_DGRAM},
    {"TimedShutWrWhileWaiting", Sigpipe::Ignored, "exit 255", write_error(32),
     Break::ParentShutWr, SOCK_STREAM, Full::TimedSend},
    // Datagram sockets raise no SIGPIPE; a gone peer refuses the message.
    {"DatagramShutWrDefaultReports", Sigpipe::Default, "exit 255", write_error(32),
     Break::ParentShutWr, SOCK_DGRAM},
    {"DatagramPeerClosedReports", Sigpipe::Default, "exit 255", write_error(111),
     Break::PeerClosed, SOCK_DGRAM},
    {"TerminatedWhileWaiting", Sigpipe::Default, "signal 15", "", Break::Terminated},
};

void PrintTo(const PipeCase &c, std::ostream *os) { *os << c.name; }

class BrokenPipe : public testing::TestWithParam<PipeCase> {};

TEST_P(BrokenPipe, EndsTheRunPromptly)
{
    const PipeCase &c = GetParam();
    Pair sock = unix_pair(c.type);
    if (c.how == Break::PeerClosed) {
        sock.peer.reset();
    } else {
        if (c.full == Full::TimedSend) {
            timeval tenth{0, 100000};
            ASSERT_EQ(setsockopt(sock.mine.get(), SOL_SOCKET, SO_SNDTIMEO, &tenth, sizeof tenth), 0);
        } else {
            ASSERT_EQ(fcntl(sock.mine.get(), F_SETFL, O_NONBLOCK), 0);
        }
        std::string block(4096, 'f');
        while (send(sock.mine.get(), block.data(), block.size(), MSG_DONTWAIT) > 0) {
        }
    }
    Fd in = file_with("hello");
    Launch launch;
    launch.args(kArgs).input(in.get()).place(sock.mine.get(), kFd);
    launch.ignore_sigpipe = c.sigpipe == Sigpipe::Ignored;
    Child child(launch);
    if (c.how != Break::PeerClosed) {
        ASSERT_TRUE(wait_until("sockrelay to sleep (state S) in its wait for room",
                               [&] { return process_state(child.pid()) == 'S'; }))
            << "; its state is " << process_state(child.pid());
        poll(nullptr, 0, 300);  // well into the wait for room
        if (c.how == Break::ParentShutWr)
            shutdown(sock.mine.get(), SHUT_WR);
        else if (c.how == Break::PeerShutRd)
            shutdown(sock.peer.get(), SHUT_RD);
        else
            kill(child.pid(), SIGTERM);
    }
    // The wait for room lasts a second at most, so a shut-down shows soon.
    Outcome o = child.finish(5s);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.err, announce(kFd) + c.err);
}

INSTANTIATE_TEST_SUITE_P(Sigpipe, BrokenPipe, testing::ValuesIn(kPipeCases),
                         [](const testing::TestParamInfo<PipeCase> &i) { return i.param.name; });

// --- sends that must survive what the socket's owner set up -----------------------

TEST(Survives, StopAndContinueDuringTimedSend)
{
    Pair sock = unix_pair(SOCK_STREAM);
    timeval five{5, 0};
    ASSERT_EQ(setsockopt(sock.mine.get(), SOL_SOCKET, SO_SNDTIMEO, &five, sizeof five), 0);
    std::string data = pattern(8 << 20);
    Fd in = file_with(data);
    Launch launch;
    launch.args(kArgs).input(in.get()).place(sock.mine.get(), kFd);
    Child child(launch);
    sock.mine.reset();

    std::string got;
    for (int round = 0; round < 3; round++) {
        ASSERT_TRUE(wait_until("bytes at the peer while sockrelay sleeps in a send", [&] {
            int queued = 0;
            ioctl(sock.peer.get(), FIONREAD, &queued);
            char state = process_state(child.pid());
            return (queued > 0 && state == 'S') || state == 'Z';
        }));
        ASSERT_EQ(process_state(child.pid()), 'S') << "sockrelay ended before a send blocked";
        kill(child.pid(), SIGSTOP);
        ASSERT_TRUE(wait_until("sockrelay to stop (state T) after SIGSTOP",
                               [&] { return process_state(child.pid()) == 'T'; }));
        kill(child.pid(), SIGCONT);
        got += read_exactly(sock.peer.get(), 1 << 20);
    }
    got += read_all(sock.peer.get());
    Outcome o = child.finish();

    EXPECT_TRUE(relayed_exactly(o, data, got));
}

TEST(Survives, StopAndContinueDuringTimedRead)
{
    Pair sock = unix_pair(SOCK_STREAM);
    Pair in = unix_pair(SOCK_STREAM);
    timeval ten{10, 0};
    ASSERT_EQ(setsockopt(in.peer.get(), SOL_SOCKET, SO_RCVTIMEO, &ten, sizeof ten), 0);
    std::string data = pattern(2 * kChunk + 100, 5);
    Launch launch;
    launch.args(kArgs).input(in.peer.get()).place(sock.mine.get(), kFd);
    Child child(launch);
    sock.mine.reset();

    // A stop while the read waits with part of a chunk already taken: first
    // in the first chunk, then in the second.
    std::string got;
    for (size_t upto : {size_t{1000}, kChunk + 1000}) {
        size_t from = upto > kChunk ? 1000 : 0;
        write_all(in.mine.get(), data.substr(from, upto - from));
        if (upto > kChunk)
            got += read_exactly(sock.peer.get(), kChunk);
        ASSERT_TRUE(wait_until("sockrelay to take all input and wait in the read", [&] {
            int queued = -1;
            ioctl(in.peer.get(), FIONREAD, &queued);
            return queued == 0 && process_state(child.pid()) == 'S';
        }));
        kill(child.pid(), SIGSTOP);
        ASSERT_TRUE(wait_until("sockrelay to stop (state T) after SIGSTOP",
                               [&] { return process_state(child.pid()) == 'T'; }));
        kill(child.pid(), SIGCONT);
    }
    write_all(in.mine.get(), data.substr(kChunk + 1000));
    in.mine.reset();
    got += read_all(sock.peer.get());
    Outcome o = child.finish();

    EXPECT_TRUE(relayed_exactly(o, data, got));
}

// The kernel TLS transmit path refuses MSG_ZEROCOPY; plain sends go through
// and the peer's kernel decrypts them with the same key.
TEST(Survives, KernelTls)
{
    Pair sock = tcp_pair();
    tls12_crypto_info_aes_gcm_128 key{};
    key.info.version = TLS_1_2_VERSION;
    key.info.cipher_type = TLS_CIPHER_AES_GCM_128;
    memset(key.key, 7, sizeof key.key);
    for (auto [fd, direction] : {std::pair{sock.mine.get(), TLS_TX}, {sock.peer.get(), TLS_RX}}) {
        if (setsockopt(fd, SOL_TCP, TCP_ULP, "tls", sizeof "tls") != 0)
            GTEST_SKIP() << "this kernel offers no TLS (TCP_ULP \"tls\"): " << strerror(errno);
        ASSERT_EQ(setsockopt(fd, SOL_TLS, direction, &key, sizeof key), 0) << strerror(errno);
    }
    std::string data = pattern(4 << 20, 11);
    SpiedRun r = relay_spied(file_with(data), "", std::move(sock));
    EXPECT_TRUE(relayed_exactly(r.outcome, data, r.arrived));
}

// --- the owner may turn zero-copy on at any moment -----------------------------------

// Milliseconds after the start at which the owner sets SO_ZEROCOPY on its
// copy; -1: before the start.
class ZeroCopy : public testing::TestWithParam<int> {};

TEST_P(ZeroCopy, StreamStaysIntact)
{
    int at = GetParam();
    Pair sock = tcp_pair(at < 0 ? kZeroCopy : TcpOptions{});
    std::string data = pattern(20 << 20, 3);
    Fd in = file_with(data);
    Launch launch;
    launch.args(kArgs).input(in.get()).place(sock.mine.get(), kFd);
    Child child(launch);
    if (at < 0)
        sock.mine.reset();
    auto start = std::chrono::steady_clock::now();
    // A slow reader keeps sent bytes queued, which a zero-copy send would
    // still be reading from the chunk while it is refilled.
    std::string got = read_slowly(sock.peer.get(), data.size(), 65536, 2ms, [&] {
        if (sock.mine.get() >= 0 && std::chrono::steady_clock::now() - start >= Millis(at)) {
            int one = 1;
            EXPECT_EQ(setsockopt(sock.mine.get(), SOL_SOCKET, SO_ZEROCOPY, &one, sizeof one), 0);
            sock.mine.reset();
        }
    });
    EXPECT_LT(sock.mine.get(), 0) << "the relay ended before the owner turned zero-copy on";
    sock.mine.reset();
    got += read_all(sock.peer.get());
    Outcome o = child.finish();

    EXPECT_TRUE(relayed_exactly(o, data, got));
}

INSTANTIATE_TEST_SUITE_P(OwnerSetsIt, ZeroCopy, testing::Values(-1, 100, 300),
                         [](const testing::TestParamInfo<int> &i) {
                             return i.param < 0 ? std::string("BeforeTheStart")
                                                : "After" + std::to_string(i.param) + "ms";
                         });

}  // namespace
