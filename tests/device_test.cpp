// SPDX-License-Identifier: MIT
// Packet devices and packet sockets, each in a network namespace of the
// test's own, so that the machine's network is never touched: packets read
// from a tun device must arrive whole, and a send that takes nothing (an
// AF_XDP socket) must end the run. Both need root with CAP_NET_ADMIN.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if_tun.h>
#include <linux/if_xdp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

constexpr int kFd = 5;

// Whether this thread may configure network devices: root in a container
// (Docker, a default systemd-nspawn) is refused CAP_NET_ADMIN.
bool net_admin()
{
    std::ifstream status("/proc/thread-self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> CAP_NET_ADMIN & 1) != 0;
    return false;
}

// Moves the calling thread into a fresh network namespace where it may set
// up devices, and back when it goes out of scope. Sockets and devices made
// inside stay there. cannot() says why not, where the host does not allow it.
class NetNamespace {
public:
    NetNamespace() : home_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
    {
        if (!net_admin())
            cannot_ = "this host cannot configure network devices here: CAP_NET_ADMIN is missing";
        else if (home_.get() < 0 || unshare(CLONE_NEWNET) != 0)
            cannot_ = std::string("this host cannot give the test a network namespace: ") +
                      strerror(errno);
    }
    ~NetNamespace()
    {
        if (cannot_.empty())
            setns(home_.get(), CLONE_NEWNET);
    }
    NetNamespace(const NetNamespace &) = delete;
    NetNamespace &operator=(const NetNamespace &) = delete;
    const std::string &cannot() const { return cannot_; }

private:
    Fd home_;
    std::string cannot_;
};

// Sets an interface's MTU (if given) and address (if given), and brings it up.
testing::AssertionResult bring_up(const char *name, int mtu = 0, const char *address = nullptr)
{
    Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq r{};
    strncpy(r.ifr_name, name, IFNAMSIZ - 1);
    auto failed = [&](const char *what) {
        return testing::AssertionFailure() << what << " on " << name << ": " << strerror(errno);
    };
    r.ifr_mtu = mtu;
    if (mtu != 0 && ioctl(s.get(), SIOCSIFMTU, &r) != 0)
        return failed("SIOCSIFMTU");
    if (address != nullptr) {
        auto *in = reinterpret_cast<sockaddr_in *>(&r.ifr_addr);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, address, &in->sin_addr);
        if (ioctl(s.get(), SIOCSIFADDR, &r) != 0)
            return failed("SIOCSIFADDR");
        inet_pton(AF_INET, "255.255.255.0", &in->sin_addr);
        if (ioctl(s.get(), SIOCSIFNETMASK, &r) != 0)
            return failed("SIOCSIFNETMASK");
    }
    if (ioctl(s.get(), SIOCGIFFLAGS, &r) != 0)
        return failed("SIOCGIFFLAGS");
    r.ifr_flags = static_cast<short>(r.ifr_flags | IFF_UP);
    if (ioctl(s.get(), SIOCSIFFLAGS, &r) != 0)
        return failed("SIOCSIFFLAGS");
    return testing::AssertionSuccess();
}

// The UDP payloads to port 9 in a stream of IP packets; the kernel's own
// IPv6 packets are stepped over by their length (where /proc/sys is
// read-only, nothing keeps IPv6 off the device). Stops where the stream
// stops looking like whole packets.
std::vector<std::string> udp_payloads(const std::string &stream, std::string *trouble)
{
    std::vector<std::string> payloads;
    for (size_t at = 0; at + 20 <= stream.size();) {
        auto byte = [&](size_t i) { return static_cast<unsigned char>(stream[at + i]); };
        if (byte(0) >> 4 == 6) {
            at += 40 + (byte(4) << 8 | byte(5));
            continue;
        }
        size_t length = byte(2) << 8 | byte(3), header = (byte(0) & 15u) * 4;
        if (byte(0) >> 4 != 4 || header < 20 || length < header + 8) {
            *trouble = "no IPv4 packet at offset " + std::to_string(at);
            break;
        }
        if (at + length > stream.size())
            break;  // the rest was not sent yet
        if (byte(9) == IPPROTO_UDP && (byte(header + 2) << 8 | byte(header + 3)) == 9)
            payloads.push_back(stream.substr(at + header + 8, length - header - 8));
        at += length;
    }
    return payloads;
}

struct TunCase {
    const char *name;
    int mtu;
    std::vector<size_t> sizes;  // of the UDP payloads routed through the device
};

const TunCase kTunCases[] = {
    {"Mtu9000", 9000, {8900, 8900, 8900, 8900, 8900, 8900}},
    {"Mtu65000", 65000, {20000, 40000, 60000, 1000, 20000}},
};

void PrintTo(const TunCase &c, std::ostream *os) { *os << c.name; }

class TunInput : public testing::TestWithParam<TunCase> {};

TEST_P(TunInput, EveryPacketArrivesWhole)
{
    const TunCase &c = GetParam();
    NetNamespace ns;
    if (!ns.cannot().empty())
        GTEST_SKIP() << ns.cannot();
    Fd tun(open("/dev/net/tun", O_RDWR | O_CLOEXEC));
    if (tun.get() < 0)
        GTEST_SKIP() << (errno == EACCES || errno == EPERM ? "this host cannot open /dev/net/tun here: "
                                                           : "this kernel offers no tun device: ")
                     << strerror(errno);
    ifreq r{};
    r.ifr_flags = IFF_TUN | IFF_NO_PI;
    strncpy(r.ifr_name, "relay0", IFNAMSIZ - 1);
    ASSERT_EQ(ioctl(tun.get(), TUNSETIFF, &r), 0) << strerror(errno);
    // A documentation address, routed into the device and nowhere else.
    ASSERT_TRUE(bring_up("relay0", c.mtu, "192.0.2.1"));

    Pair sock = unix_pair(SOCK_STREAM);
    Launch launch;
    launch.args({"--sockfd", std::to_string(kFd)}).input(tun.get()).place(sock.mine.get(), kFd);
    Child child(launch);
    sock.mine.reset();
    Fd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    inet_pton(AF_INET, "192.0.2.2", &to.sin_addr);
    std::vector<std::string> sent;
    size_t total = 0;
    // Then small packets, enough to push every large one out in whole chunks.
    std::vector<size_t> sizes = c.sizes;
    sizes.insert(sizes.end(), 40, 1000);
    for (size_t size : sizes) {
        sent.push_back(pattern(size, static_cast<uint32_t>(sent.size())));
        ASSERT_EQ(sendto(udp.get(), sent.back().data(), size, 0,
                         reinterpret_cast<sockaddr *>(&to), sizeof to),
                  static_cast<ssize_t>(size))
            << strerror(errno);
        total += size + 28;
    }
    std::string stream = read_exactly(sock.peer.get(), total / kChunk * kChunk, 10s);
    std::string trouble;
    std::vector<std::string> got = udp_payloads(stream, &trouble);
    EXPECT_EQ(trouble, "");
    ASSERT_GE(got.size(), c.sizes.size()) << "payloads found in " << stream.size() << " bytes";
    for (size_t i = 0; i < c.sizes.size(); i++)
        EXPECT_TRUE(same_bytes(sent[i], got[i])) << "payload " << i;
}

INSTANTIATE_TEST_SUITE_P(Devices, TunInput, testing::ValuesIn(kTunCases),
                         [](const testing::TestParamInfo<TunCase> &i) { return i.param.name; });

// An AF_XDP socket in copy mode with nothing on its transmit ring: every
// send returns 0 and the payload is ignored.
TEST(PacketSocket, XdpSendTakesNothing)
{
    NetNamespace ns;
    if (!ns.cannot().empty())
        GTEST_SKIP() << ns.cannot();
    ASSERT_TRUE(bring_up("lo"));
    Fd xdp(socket(AF_XDP, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (xdp.get() < 0)
        GTEST_SKIP() << "this kernel offers no AF_XDP: " << strerror(errno);
    constexpr size_t kFrames = 16, kFrame = 4096;
    void *area = mmap(nullptr, kFrames * kFrame, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    xdp_umem_reg umem{};
    umem.addr = reinterpret_cast<uintptr_t>(area);
    umem.len = kFrames * kFrame;
    umem.chunk_size = kFrame;
    ASSERT_EQ(setsockopt(xdp.get(), SOL_XDP, XDP_UMEM_REG, &umem, sizeof umem), 0)
        << strerror(errno);
    int entries = 16;
    for (int ring : {XDP_UMEM_FILL_RING, XDP_UMEM_COMPLETION_RING, XDP_TX_RING})
        ASSERT_EQ(setsockopt(xdp.get(), SOL_XDP, ring, &entries, sizeof entries), 0)
            << strerror(errno);
    sockaddr_xdp at{};
    at.sxdp_family = AF_XDP;
    at.sxdp_ifindex = if_nametoindex("lo");
    at.sxdp_flags = XDP_COPY;
    ASSERT_EQ(bind(xdp.get(), reinterpret_cast<sockaddr *>(&at), sizeof at), 0) << strerror(errno);
    ASSERT_EQ(fcntl(xdp.get(), F_SETFL, O_NONBLOCK), 0);

    Fd in = file_with(pattern(40000));
    Launch launch;
    launch.args({"--sockfd", std::to_string(kFd)}).input(in.get()).place(xdp.get(), kFd);
    Outcome o = run(launch, 10s);
    EXPECT_EQ(o.status, "exit 255");
    EXPECT_EQ(o.err, announce(kFd) + "write error: 0 0 sockfd:5 ERROR_ABORT\n");
    munmap(area, kFrames * kFrame);
}

}  // namespace
