// stdports_test - quadserv without a port base, on the well-known ports, in a
// network of its own.
#include "quadcheck.h"

namespace {

// Without an argument, and with a text that is no number (atoi's 0), quadserv
// serves ports 7, 13, 19 and 37: here in a network of our own, where ports
// below 1024 are ours whoever we are; rdate finds time on its default port.
TEST(StdPorts, WithoutArgumentOrWithNoNumberServesTheWellKnownPorts)
{
    if (std::string why = tp::lowports(); !why.empty())
        GTEST_SKIP() << why;
    for (const tp::QuadService &s : tp::quadservices)
        for (const char *proto : {"tcp", "udp"})
            ASSERT_TRUE(tp::isolated() || !tp::bound(s.off, proto))
                << proto << " port " << s.off << " is taken by another program on this "
                << "host; stop it and run the test again";
    using args = std::vector<std::string>;
    for (args (*argv)(int) : {+[](int) { return args{}; }, +[](int) { return args{"abc"}; }}) {
        tp::QuadOpts opts;
        opts.stdports = true;
        opts.args = argv;
        tp::Quad q = tp::startquad(opts);
        ASSERT_TRUE(tp::running(q.proc));
        SCOPED_TRACE(argv(0).empty() ? "no argument" : "abc");
        EXPECT_EQ(tp::allanswer(q), "");
        EXPECT_EQ(tp::allanswer(q, "::1"), "");
        for (const char *how : {"-4", "-u"}) {
            if (!tp::have("rdate"))
                continue;
            auto r = tp::run({"rdate", "-p", how, "127.0.0.1"});
            EXPECT_EQ(tp::exitcode(r.status), 0) << how << ": " << r.err;
        }
    }
}

} // namespace
