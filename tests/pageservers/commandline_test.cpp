// commandline_test - datepage and clockpage as their command lines make
// them: the default ports, 8013 and the time port (37), clockpage's own
// label, and the usage report.
#include <unistd.h>

#include "pagetest.h"

namespace {

// Without an argument datepage listens on 8013, clockpage on the time port,
// where it is the same server under its own label: its first send is 79
// bytes.
TEST(PageCommandLine, DefaultPortsAndClockpagesLabel)
{
    struct Case {
        const char *program;
        int port;
        std::string label;
    };
    const Case cases[] = {{"datepage", 8013, "Local daytime is: "}, {"clockpage", 37, "Local time is: "}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.program);
        if (c.port < 1024 && !tp::lowports().empty())
            GTEST_SKIP() << tp::lowports();
        auto p = tp::servefixed({tp::bin(c.program)}, c.port, "tcp", pt::pageopts("C"));
        ASSERT_TRUE(tp::running(p));
        auto r = pt::curl(c.port);
        EXPECT_TRUE(r.out.starts_with(c.label)) << r.out << r.err;
        auto lines = pt::trace(p);
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[4], "Sent " + std::to_string(pt::head.size() + c.label.size()) + " of " +
                                std::to_string(pt::head.size() + c.label.size()) + " bytes.");
        EXPECT_EQ(lines[5], "Sent " + std::to_string(r.out.size() - c.label.size()) + " of " +
                                std::to_string(r.out.size() - c.label.size()) + " bytes.");
    }
}

// More than one argument: the usage report, with status 0, before anything
// listens.
TEST(PageCommandLine, UsageReportEndsWithStatusZero)
{
    for (const std::string program : {"datepage", "clockpage"}) {
        auto r = tp::run({tp::bin(program), "1", "2"}, "", pt::pageopts("C", {}, false));
        EXPECT_EQ(tp::outcome(r), tp::outcome(0, "", program + ": usage: " + tp::bin(program) + " [port]\n\n")) << program;
    }
}

} // namespace
