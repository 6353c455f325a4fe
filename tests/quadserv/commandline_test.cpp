// commandline_test - quadserv's command line: the usage, the port base and
// its 16-bit cut, a second instance, and a start it cannot complete.
#include "quadcheck.h"

#include <cerrno>
#include <cstring>

namespace {

// The argument count is checked before anything else: even with /dev/null
// out of reach (a /dev of its own, empty) and a standard stream closed.
TEST(QuadServCommandLine, TwoArgumentsAreAUsageError)
{
    std::string usage = "quadserv: usage: " + tp::bin("quadserv") + " [port]\n\n";
    auto r = tp::run({tp::bin("quadserv"), "a", "b"});
    EXPECT_EQ(tp::outcome(r), tp::outcome(1, "", usage));

    if (!tp::have("unshare"))
        GTEST_SKIP() << "unshare (util-linux) is missing: no /dev of our own";
    tp::SpawnOpts nodev;
    nodev.prefix = {"unshare", "-rm", "sh", "-c",
                    "mount -t tmpfs none /dev || exit 99; exec \"$0\" \"$@\" <&-"};
    r = tp::run({tp::bin("quadserv"), "a", "b"}, "", nodev);
    if (tp::exitcode(r.status) == 99 || r.err.find("unshare:") != std::string::npos)
        GTEST_SKIP() << "this host allows no mount namespace of our own: " << r.err;
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_EQ(r.err, usage) << "with stdin closed and no /dev/null";
}

// The argument moves every service by the base and keeps only its low 16
// bits: 65536 + b is base b, which a second instance is then refused; a UDP
// port held by someone else stops the start just the same.
TEST(QuadServCommandLine, PortBaseIsCutTo16BitsAndASecondInstanceIsRefused)
{
    tp::QuadOpts opts;
    opts.args = [](int base) { return std::vector<std::string>{std::to_string(65536 + base)}; };
    tp::Quad first = tp::startquad(opts);
    ASSERT_TRUE(tp::running(first.proc));
    auto r = tp::run({tp::bin("quadserv"), std::to_string(first.base)});
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_NE(r.err.find("quadserv: echo/tcp"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
    EXPECT_EQ(tp::allanswer(first), "");

    int base = tp::pickbase(tp::quadoffsets);
    tp::Fd held(tp::localsock("::", SOCK_DGRAM, base + tp::svcoff(tp::timesvc)));
    ASSERT_GE(held, 0) << std::strerror(errno);
    r = tp::run({tp::bin("quadserv"), std::to_string(base)});
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_NE(r.err.find("time/udp"), std::string::npos) << r.err;
}

// A service socket on descriptor 64 or above cannot be watched: say so, stop.
TEST(QuadServCommandLine, HighServiceDescriptorStopsTheStart)
{
    tp::SpawnOpts opts;
    opts.prefix = {"bash", "-c", "for fd in $(seq 3 63); do eval \"exec $fd</dev/null\"; done; "
                                 "exec \"$@\"",
                   "bash"};
    tp::Result r;
    // A port that a test beside us took after pickbase is worth another try.
    for (int tries = 0; tries < 5; ++tries) {
        r = tp::run({tp::bin("quadserv"), std::to_string(tp::pickbase(tp::quadoffsets))}, "", opts);
        if (r.err.find("in use") == std::string::npos)
            break;
    }
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_NE(r.err.find("echo/tcp: descriptor 64 is not below 64\n\n"), std::string::npos) << r.err;
}

} // namespace
