// commandline_test - datepage and clockpage as their command lines make
// them: the usage report, the default ports, 8013 and the time port (37),
// and clockpage's own label.
#include "pagetest.h"

namespace {

// More than one argument: the usage report, with status 0. Without an
// argument datepage listens on 8013, clockpage on the time port, where it is
// the same server under its own label: its first send is 79 bytes.
TEST(PageCommandLine, UsageReportDefaultPortsAndClockpagesLabel)
{
    struct Case {
        std::string program;
        int port;
        std::string label;
    };
    const Case cases[] = {{"datepage", 8013, "Local daytime is: "}, {"clockpage", 37, "Local time is: "}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.program);
        auto u = tp::run({tp::bin(c.program), "1", "2"}, "", pt::pageopts("C", {}, false));
        EXPECT_EQ(tp::outcome(u), tp::outcome(0, "", c.program + ": usage: " + tp::bin(c.program) + " [port]\n\n"));
        if (c.port < 1024 && !tp::lowports().empty())
            GTEST_SKIP() << tp::lowports();
        auto p = tp::servefixed({tp::bin(c.program)}, c.port, "tcp", pt::pageopts("C"));
        ASSERT_TRUE(tp::running(p));
        auto r = pt::curl(c.port);
        EXPECT_TRUE(r.out.starts_with(c.label)) << r.out << r.err;
        auto lines = pt::trace(p);
        pt::expecttrace(lines, lines.empty() ? "" : lines[0].substr(16), -2,
                        int(pt::head.size() + c.label.size()), int(r.out.size() - c.label.size()));
    }
}

} // namespace
