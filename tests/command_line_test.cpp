// SPDX-License-Identifier: MIT
// How the argument vector picks the output descriptor. Each case starts
// sockrelay with "hello" on standard input and, when `at` is set, a socket
// placed at that descriptor number.
#include "harness.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

struct ArgCase {
    const char *name;
    std::vector<std::string> argv;  // argv[0] included
    int at;                         // where the socket is placed, -1 nowhere
    std::string err;                // all of standard error
    const char *status;
};

const std::string kBadFd = "write error: -1 9 sockfd:-1 ERROR_ABORT\n";
const std::string kStop = kNoDescriptor;

const ArgCase kArgCases[] = {
    {"NoArguments", {"sockrelay"}, 5, kStop, "exit 2"},
    {"EmptyVector", {}, 5, kStop, "exit 2"},
    {"Decimal", {"sockrelay", "--sockfd", "5"}, 5, announce(5), "exit 0"},
    {"Hex", {"sockrelay", "--sockfd", "0x1f"}, 31, announce(31), "exit 0"},
    {"HexUpper", {"sockrelay", "--sockfd", "0X1F"}, 31, announce(31), "exit 0"},
    {"Octal", {"sockrelay", "--sockfd", "010"}, 8, announce(8), "exit 0"},
    {"TrailingJunk", {"sockrelay", "--sockfd", "7abc"}, 7, announce(7), "exit 0"},
    {"LeadingBlanks", {"sockrelay", "--sockfd", " \t12"}, 12, announce(12), "exit 0"},
    {"PlusSign", {"sockrelay", "--sockfd", "+5"}, 5, announce(5), "exit 0"},
    {"Narrowed", {"sockrelay", "--sockfd", "4294967299"}, 3, announce(3), "exit 0"},
    {"OthersIgnored", {"sockrelay", "x", "--sockfd", "4", "y"}, 4, announce(4), "exit 0"},
    {"ProgramNameScanned", {"--sockfd", "9"}, 9, announce(9), "exit 0"},
    {"LastWins", {"sockrelay", "--sockfd", "5", "--sockfd", "6"}, 6,
     announce(5) + announce(6), "exit 0"},
    {"NoDigits", {"sockrelay", "--sockfd", "abc"}, 5, announce(0) + kStop, "exit 2"},
    {"Zero", {"sockrelay", "--sockfd", "0"}, 5, announce(0) + kStop, "exit 2"},
    {"OctalEight", {"sockrelay", "--sockfd", "08"}, 5, announce(0) + kStop, "exit 2"},
    {"LastIsZero", {"sockrelay", "--sockfd", "5", "--sockfd", "0"}, 5,
     announce(5) + announce(0) + kStop, "exit 2"},
    {"ValueConsumed", {"sockrelay", "--sockfd", "--sockfd", "5"}, 5, announce(0) + kStop,
     "exit 2"},
    {"EqualsForm", {"sockrelay", "--sockfd=5"}, 5, kStop, "exit 2"},
    {"LongerName", {"sockrelay", "--sockfdx", "5"}, 5, kStop, "exit 2"},
    {"UpperCase", {"sockrelay", "--SOCKFD", "5"}, 5, kStop, "exit 2"},
    {"Prefix", {"sockrelay", "--sock", "5"}, 5, kStop, "exit 2"},
    {"BelowRange", {"sockrelay", "--sockfd", "-99999999999999999999"}, 5,
     announce(0) + kStop, "exit 2"},
    {"DanglingOnly", {"sockrelay", "--sockfd"}, 5, kStop, "exit 2"},
    {"DanglingAfterValue", {"sockrelay", "--sockfd", "5", "--sockfd"}, 5,
     announce(5) + kStop, "exit 2"},
    {"MinusOne", {"sockrelay", "--sockfd", "-1"}, -1, announce(-1) + kBadFd, "exit 255"},
    {"AboveRange", {"sockrelay", "--sockfd", "99999999999999999999"}, -1,
     announce(-1) + kBadFd, "exit 255"},
};

void PrintTo(const ArgCase &c, std::ostream *os) { *os << c.name; }

class CommandLine : public testing::TestWithParam<ArgCase> {};

TEST_P(CommandLine, PicksDescriptor)
{
    const ArgCase &c = GetParam();
    Pair sock = unix_pair(SOCK_STREAM);
    Fd in = file_with("hello");
    Launch launch;
    launch.argv = c.argv;
    launch.input(in.get());
    if (c.at >= 0)
        launch.place(sock.mine.get(), c.at);
    Outcome o = run(launch);
    sock.mine.reset();

    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(read_all(sock.peer.get(), 5s), std::string(c.status) == "exit 0" ? "hello" : "");
    if (std::string(c.status) == "exit 2") {
        EXPECT_EQ(lseek(in.get(), 0, SEEK_CUR), 0) << "standard input was read";
    }
}

INSTANTIATE_TEST_SUITE_P(Args, CommandLine, testing::ValuesIn(kArgCases),
                         [](const testing::TestParamInfo<ArgCase> &i) { return i.param.name; });

}  // namespace
