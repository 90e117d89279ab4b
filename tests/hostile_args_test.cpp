// SPDX-License-Identifier: MIT
// Generated argument vectors: sockrelay must never crash, never look past the
// end of the vector, and either announce exactly what strtol gives for each
// --sockfd value or stop with the missing-descriptor line. Standard input is
// empty, so a run with a descriptor sends nothing and ends with status 0.
#include "harness.h"

#include <cstdlib>
#include <random>

namespace {

// What the command line must produce: the announcement lines and whether a
// non-zero descriptor was left at the end.
std::pair<std::string, bool> expected(const std::vector<std::string> &argv)
{
    std::string lines;
    int32_t fd = 0;
    for (size_t i = 0; i < argv.size();) {
        if (argv[i] != "--sockfd") {
            i++;
        } else if (i + 1 == argv.size()) {
            fd = 0;
            break;
        } else {
            fd = static_cast<int32_t>(std::strtol(argv[i + 1].c_str(), nullptr, 0));
            lines += announce(fd);
            i += 2;
        }
    }
    return {lines, fd != 0};
}

std::string element(std::mt19937 &rng)
{
    static const char *const kPieces[] = {
        "--sockfd", "--sockfd", "--sockfd", "", " ", "\t\n", "+", "-", "0x", "0X", "0", "08",
        "7", "19", "2147483647", "2147483648", "4294967296", "-2147483649",
        "9223372036854775807", "9223372036854775808", "99999999999999999999999", "abc",
        "\xff\xfe", "\xc3\x28", "--sockfd=3", "--SOCKFD", "--sockfdx", "z"};
    std::string s;
    for (int n = std::uniform_int_distribution<int>(1, 3)(rng); n > 0; n--)
        s += kPieces[std::uniform_int_distribution<size_t>(0, std::size(kPieces) - 1)(rng)];
    if (rng() % 50 == 0)
        s += std::string(100000, "0123456789"[rng() % 10]);  // very long
    return s;
}

void expect_sound(const std::vector<std::string> &argv, const std::string &label)
{
    doing("checking " + label);
    Launch launch;
    launch.argv = argv;
    Outcome o = run(launch, 10s);
    auto [lines, has_fd] = expected(argv);
    EXPECT_EQ(o.status, has_fd ? "exit 0" : "exit 2") << label;
    EXPECT_EQ(o.err, has_fd ? lines : lines + kNoDescriptor) << label;
}

// The parser is the same code in both builds: a sanitizer build, where a
// start costs ten times as much, runs every tenth of the same vectors.
#ifdef SOCKRELAY_SANITIZED
constexpr int kEvery = 10;
#else
constexpr int kEvery = 1;
#endif

TEST(HostileArgs, GeneratedVectors)
{
    std::mt19937 rng(20261208);
    for (int round = 0; round < 600 && !HasFailure(); round++) {
        std::vector<std::string> argv(std::uniform_int_distribution<size_t>(0, 8)(rng));
        for (auto &a : argv)
            a = element(rng);
        if (round % 3 == 0)
            argv.push_back("--sockfd");  // dangling last
        if (round % kEvery == 0)
            expect_sound(argv, "vector " + std::to_string(round));
    }
}

TEST(HostileArgs, ThousandsOfElements)
{
    std::mt19937 rng(7);
    std::vector<std::string> argv{"sockrelay"};
    for (int i = 0; i < 5000; i++)
        argv.push_back(i % 7 == 0 ? "--sockfd" : std::to_string(rng() % 1000));
    expect_sound(argv, "5000 elements");
    argv.push_back("--sockfd");
    expect_sound(argv, "5000 elements, dangling last");
}

}  // namespace
