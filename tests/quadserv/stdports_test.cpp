// stdports_test - quadserv without a port base, on the well-known ports, in a
// network of its own.
#include "quadcheck.h"

#include <unistd.h>

namespace {

class StdPorts : public ::testing::Test {
protected:
    tp::Quad q;
    // launch: quadserv with args on ports 7, 13, 19 and 37, in a network of
    // our own where ports below 1024 are ours whoever we are.
    void launch(std::vector<std::string> (*args)(int))
    {
        if (std::string why = tp::lowports(); !why.empty())
            GTEST_SKIP() << why;
        if (!tp::isolated()) {
            for (const tp::QuadService &s : tp::quadservices)
                for (const char *proto : {"tcp", "udp"})
                    ASSERT_FALSE(tp::bound(s.off, proto))
                        << proto << " port " << s.off << " is taken by another program on this "
                        << "host; stop it and run the test again";
        }
        tp::QuadOpts opts;
        opts.stdports = true;
        opts.args = args;
        q = tp::startquad(opts);
        ASSERT_TRUE(tp::running(q.proc));
    }
};

TEST_F(StdPorts, WithoutArgumentServesTheWellKnownPorts)
{
    launch(nullptr);
    if (IsSkipped() || HasFatalFailure())
        return;
    EXPECT_EQ(tp::allanswer(q), "");
    EXPECT_EQ(tp::allanswer(q, "::1"), "");
    if (!tp::have("rdate"))
        return;
    // rdate on its own default port, no -o.
    using args = std::vector<std::string>;
    for (const args &argv : {args{"rdate", "-p", "127.0.0.1"}, args{"rdate", "-p", "-u", "127.0.0.1"}}) {
        auto r = tp::run(argv);
        EXPECT_EQ(tp::exitcode(r.status), 0) << argv.size() << " arguments: " << r.err;
    }
}

// A text that is no number is atoi's 0: the well-known ports again.
TEST_F(StdPorts, NonNumericArgumentIsBaseZero)
{
    launch([](int) { return std::vector<std::string>{"abc"}; });
    if (IsSkipped() || HasFatalFailure())
        return;
    EXPECT_EQ(tp::allanswer(q), "");
}

} // namespace
