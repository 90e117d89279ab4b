// SPDX-License-Identifier: MIT
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace {

int sys(int r, const char *what)
{
    if (r < 0)
        throw std::runtime_error(std::string(what) + ": " + strerror(errno));
    return r;
}

using Clock = std::chrono::steady_clock;

int millis_left(Clock::time_point end)
{
    auto left = std::chrono::duration_cast<Millis>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `fd` to become readable (or whatever `events` asks); false when
// the deadline has passed.
bool ready(int fd, Clock::time_point end, short events = POLLIN)
{
    for (;;) {
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, millis_left(end));
        if (r > 0)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR)
            sys(r, "poll");
    }
}

sockaddr_in loopback()
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

sockaddr_in bound_address(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    sys(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), "getsockname");
    return a;
}

// CTest kills a test at its time-out with nothing said but its [ RUN ]
// line, so a test still running shortly before then is stopped here with
// its name and what it was doing. Only async-signal-safe calls in the
// handler: the line is made whenever what it says changes.
constexpr unsigned kStopAfter = TEST_TIMEOUT - 10;  // seconds
char g_overdue[1024];
std::string g_test, g_step, g_sockrelay;
pid_t g_child = -1;

void compose()
{
    snprintf(g_overdue, sizeof g_overdue, "\n%s: still running after %u s, so stopped%s%s%s\n",
             g_test.c_str(), kStopAfter, g_step.empty() ? "" : "; it was ", g_step.c_str(),
             g_sockrelay.c_str());
}

void overdue(int)
{
    if (g_child > 0)
        kill(g_child, SIGKILL);
    ssize_t ignored = write(2, g_overdue, strnlen(g_overdue, sizeof g_overdue));
    (void)ignored;
    _exit(1);
}

// Notes the sockrelay that the test waits for, or none (-1).
void waiting_for(pid_t pid, const std::string &args = "")
{
    g_child = pid;
    g_sockrelay = pid > 0 ? "; sockrelay" + args + " had not ended" : "";
    compose();
}

class Watchdog : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &test) override
    {
        g_test = std::string(test.test_suite_name()) + "." + test.name();
        g_step.clear();
        waiting_for(-1);
        signal(SIGALRM, overdue);
        alarm(kStopAfter);
    }
    void OnTestEnd(const testing::TestInfo &) override { alarm(0); }
};

const bool g_watching = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return true;
}();

}  // namespace

void doing(const std::string &what)
{
    g_step = what;
    compose();
}

void Fd::reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

Pair unix_pair(int type)
{
    int sv[2];
    sys(socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv), "socketpair");
    return {Fd(sv[0]), Fd(sv[1])};
}

Pair tcp_pair(TcpOptions options)
{
    Fd listener(sys(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket"));
    sockaddr_in a = loopback();
    sys(bind(listener.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), "bind");
    sys(listen(listener.get(), 1), "listen");
    a = bound_address(listener.get());
    Fd client(sys(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket"));
    int one = 1;
    if (options.zerocopy)
        sys(setsockopt(client.get(), SOL_SOCKET, SO_ZEROCOPY, &one, sizeof one),
            "SO_ZEROCOPY");
    if (options.nodelay)
        sys(setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one),
            "TCP_NODELAY");
    sys(connect(client.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), "connect");
    Fd server(sys(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC), "accept"));
    return {std::move(client), std::move(server)};
}

Pair udp_pair()
{
    Fd receiver(sys(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), "socket"));
    int size = 8 << 20;
    // Room for every message of a test even before the reader starts.
    if (setsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        setsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a = loopback();
    sys(bind(receiver.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), "bind");
    a = bound_address(receiver.get());
    Fd sender(sys(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), "socket"));
    sys(connect(sender.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), "connect");
    return {std::move(sender), std::move(receiver)};
}

Pair pipe_pair()
{
    int p[2];
    sys(pipe2(p, O_CLOEXEC), "pipe2");
    return {Fd(p[1]), Fd(p[0])};
}

Fd file_with(const std::string &data)
{
    Fd fd(sys(memfd_create("input", MFD_CLOEXEC), "memfd_create"));
    write_all(fd.get(), data);
    sys(static_cast<int>(lseek(fd.get(), 0, SEEK_SET)), "lseek");
    return fd;
}

Fd direct_file_with(const std::string &data)
{
    char name[] = "direct-XXXXXX";
    Fd written(sys(mkstemp(name), "mkstemp"));
    write_all(written.get(), data);
    Fd direct(open(name, O_RDONLY | O_DIRECT | O_CLOEXEC));
    int err = errno;
    unlink(name);
    errno = err;
    return direct;
}

std::string pattern(size_t size, uint32_t seed)
{
    std::string s(size, '\0');
    uint64_t x = 0x9e3779b97f4a7c15ULL * (seed + 1);
    for (size_t i = 0; i < size; i++) {
        if (i % 8 == 0) {  // splitmix64 over the word index
            uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            z ^= z >> 31;
            std::memcpy(&s[i], &z, std::min<size_t>(8, size - i));
        }
    }
    return s;
}

std::string read_all(int fd, Millis deadline)
{
    auto end = Clock::now() + deadline;
    std::string got;
    char buf[65536];
    for (;;) {
        if (!ready(fd, end)) {
            ADD_FAILURE() << "no end of file within " << deadline.count() << " ms; "
                          << got.size() << " bytes had arrived";
            return got;
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return got;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        sys(static_cast<int>(n), "read");
        got.append(buf, static_cast<size_t>(n));
    }
}

std::string read_exactly(int fd, size_t n, Millis deadline)
{
    auto end = Clock::now() + deadline;
    std::string got(n, '\0');
    size_t have = 0;
    while (have < n) {
        if (!ready(fd, end)) {
            ADD_FAILURE() << "only " << have << " of " << n << " bytes within "
                          << deadline.count() << " ms";
            break;
        }
        ssize_t r = read(fd, &got[have], n - have);
        if (r == 0) {
            ADD_FAILURE() << "end of file after " << have << " of " << n << " bytes";
            break;
        }
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        sys(static_cast<int>(r), "read");
        have += static_cast<size_t>(r);
    }
    got.resize(have);
    return got;
}

std::string read_slowly(int fd, size_t n, size_t step, Millis pause,
                        const std::function<void()> &between)
{
    std::string got;
    while (got.size() < n) {
        between();
        size_t want = std::min(step, n - got.size());
        std::string piece = read_exactly(fd, want, 10s);
        got += piece;
        if (piece.size() < want)
            break;
        poll(nullptr, 0, static_cast<int>(pause.count()));
    }
    return got;
}

bool arrives(int fd, Millis wait) { return ready(fd, Clock::now() + wait); }

testing::AssertionResult same_bytes(const std::string &want, const std::string &got)
{
    size_t common = std::min(want.size(), got.size());
    size_t at = 0;
    while (at < common && want[at] == got[at])
        at++;
    if (at == want.size() && at == got.size())
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "expected " << want.size() << " bytes, got " << got.size()
           << "; first difference at offset " << at << " (chunk " << at / kChunk << ")";
}

std::vector<std::string> read_messages(int fd, size_t count, Millis deadline)
{
    auto end = Clock::now() + deadline;
    std::vector<std::string> got;
    std::string buf(1 << 16, '\0');
    while (got.size() < count) {
        if (!ready(fd, end)) {
            ADD_FAILURE() << "only " << got.size() << " of " << count
                          << " messages within " << deadline.count() << " ms";
            break;
        }
        ssize_t n = recv(fd, &buf[0], buf.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        sys(static_cast<int>(n), "recv");
        got.emplace_back(buf.data(), static_cast<size_t>(n));
    }
    return got;
}

bool write_all(int fd, const std::string &data, Millis deadline)
{
    auto end = Clock::now() + deadline;
    for (size_t done = 0; done < data.size();) {
        if (!ready(fd, end, POLLOUT)) {
            ADD_FAILURE() << "only " << done << " of " << data.size() << " bytes written within "
                          << deadline.count() << " ms";
            return false;
        }
        // With room for PIPE_BUF bytes, a write of that much cannot block.
        ssize_t n = write(fd, data.data() + done, std::min<size_t>(PIPE_BUF, data.size() - done));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET))
            return false;
        sys(static_cast<int>(n), "write");
        done += static_cast<size_t>(n);
    }
    return true;
}

testing::AssertionResult wait_until(const std::string &what, const std::function<bool()> &done,
                                    Millis deadline)
{
    auto end = Clock::now() + deadline;
    while (!done()) {
        if (Clock::now() >= end)
            return testing::AssertionFailure()
                   << "waited " << deadline.count() << " ms for " << what << ", in vain";
        poll(nullptr, 0, 5);
    }
    return testing::AssertionSuccess();
}

char process_state(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

Launch &Launch::args(std::vector<std::string> rest)
{
    argv.insert(argv.end(), rest.begin(), rest.end());
    return *this;
}

Launch &Launch::input(int fd)
{
    stdin_fd = fd;
    return *this;
}

Launch &Launch::place(int fd, int number)
{
    fds.emplace_back(fd, number);
    return *this;
}

Launch &Launch::spy(const std::string &log, const std::string &settings)
{
    env.push_back(std::string("LD_PRELOAD=") + SENDSPY);
    // In a sanitizer build ASan wants its runtime first in the library list;
    // the interposer is not instrumented and only has to come before libc.
    const char *asan = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                  ":verify_asan_link_order=0");
    env.push_back("SENDSPY_LOG=" + log);
    for (size_t start = 0; start < settings.size();) {
        size_t space = settings.find(' ', start);
        if (space == std::string::npos)
            space = settings.size();
        env.push_back("SENDSPY_" + settings.substr(start, space - start));
        start = space + 1;
    }
    return *this;
}

Child::Child(const Launch &launch)
{
    std::vector<char *> argv;
    for (const auto &a : launch.argv)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (char **e = environ; *e != nullptr; e++)
        envp.push_back(*e);
    for (const auto &e : launch.env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    int err[2];
    sys(pipe2(err, O_CLOEXEC), "pipe2");
    err_.reset(err[0]);
    Fd err_write(err[1]);
    out_.reset(sys(memfd_create("stdout", MFD_CLOEXEC), "memfd_create"));
    Fd null(sys(open("/dev/null", O_RDONLY | O_CLOEXEC), "/dev/null"));
    std::vector<std::pair<int, int>> map{
        {launch.stdin_fd >= 0 ? launch.stdin_fd : null.get(), 0},
        {out_.get(), 1},
        {err_write.get(), 2}};
    map.insert(map.end(), launch.fds.begin(), launch.fds.end());

    std::string args;
    for (size_t i = 1; i < launch.argv.size() && args.size() < 200; i++)
        args += " " + launch.argv[i].substr(0, 40);
    pid_ = sys(fork(), "fork");
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, launch.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        rlimit stack{};
        getrlimit(RLIMIT_STACK, &stack);
        stack.rlim_cur = launch.stack_limit;
        if (launch.stack_limit != 0 && setrlimit(RLIMIT_STACK, &stack) != 0)
            _exit(125);
        // Move every source above the targets first, so that no dup2 can
        // overwrite a source that is still to be placed.
        constexpr int kHigh = 512;
        std::pair<int, int> moved[64];
        size_t count = 0;
        for (const auto &m : map)
            if (count < 64)
                moved[count++] = {fcntl(m.first, F_DUPFD_CLOEXEC, kHigh), m.second};
        for (int fd = 0; fd < kHigh; fd++)
            close(fd);
        for (size_t i = 0; i < count; i++)
            if (moved[i].first < 0 || dup2(moved[i].first, moved[i].second) < 0)
                _exit(126);
        execve(SOCKRELAY, argv.data(), envp.data());
        _exit(127);
    }
    waiting_for(pid_, args);
}

Child::~Child()
{
    waiting_for(-1);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

Outcome Child::finish(Millis deadline)
{
    Outcome o;
    auto end = Clock::now() + deadline;
    char buf[4096];
    bool killed = false;
    for (;;) {
        if (!ready(err_.get(), end)) {
            ADD_FAILURE() << "sockrelay still running after " << deadline.count()
                          << " ms; killed. Standard error so far: " << o.err;
            kill(pid_, SIGKILL);
            killed = true;
            break;
        }
        ssize_t n = read(err_.get(), buf, sizeof buf);
        if (n <= 0)
            break;
        o.err.append(buf, static_cast<size_t>(n));
    }
    // Standard error can close before the program ends; the wait is bounded
    // all the same.
    int status = 0;
    auto ended = [&] { return waitpid(pid_, &status, WNOHANG) != 0; };
    if (!killed && !wait_until("sockrelay to end", ended,
                               std::chrono::duration_cast<Millis>(end - Clock::now()))) {
        ADD_FAILURE() << "sockrelay closed standard error but was still running after "
                      << deadline.count() << " ms; killed";
        kill(pid_, SIGKILL);
        killed = true;
    }
    if (killed)
        waitpid(pid_, &status, 0);
    pid_ = -1;
    waiting_for(-1);
    o.status = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                 : "signal " + std::to_string(WTERMSIG(status));
    for (off_t at = 0;;) {
        ssize_t n = pread(out_.get(), buf, sizeof buf, at);
        if (n <= 0)
            break;
        o.out.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return o;
}

Outcome run(const Launch &launch, Millis deadline)
{
    Child child(launch);
    return child.finish(deadline);
}

TempPath::TempPath()
{
    const char *dir = getenv("TMPDIR");
    std::string tmpl = std::string(dir != nullptr ? dir : "/tmp") + "/sendspy-XXXXXX";
    int fd = sys(mkstemp(&tmpl[0]), "mkstemp");
    close(fd);
    path = tmpl;
}

TempPath::~TempPath() { unlink(path.c_str()); }

std::vector<SendCall> read_spy_log(const std::string &path)
{
    std::vector<SendCall> calls;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        SendCall c{};
        if (sscanf(line.c_str(), "%lx %zu %x %ld %d", &c.address, &c.length, &c.flags,
                   &c.result, &c.error) == 5)
            calls.push_back(c);
    }
    return calls;
}

std::string announce(int fd) { return "outputting to sockfd device " + std::to_string(fd) + "\n"; }

const char *const kNoDescriptor =
    "sockrelay: main: condition \"s_SockFD != 0\" failed: no --sockfd descriptor given\n";
