// pagedefaults_test - datepage and clockpage without an argument: 8013 and the
// time port (37).
#include <unistd.h>

#include "pagetest.h"

namespace {

// fetch: the body that curl gets from port.
std::string fetch(int port)
{
    auto r = tp::run({"curl", "-sS", "--max-time", "20", "http://127.0.0.1:" + std::to_string(port) + "/"},
                     "", {}, 30000);
    EXPECT_EQ(tp::exitcode(r.status), 0) << r.err;
    return r.out;
}

TEST(PageDefaults, DatepageListensOn8013)
{
    ASSERT_EQ(tp::fixedport(8013, "tcp"), "");
    auto p = tp::serve({tp::bin("datepage")}, 8013, "tcp", pt::pageopts("C"));
    EXPECT_TRUE(fetch(8013).starts_with("Local daytime is: "));
    EXPECT_EQ(pt::trace(p).size(), 6u);
}

TEST(PageDefaults, ClockpageListensOnTheTimePort)
{
    // In a network of its own the test is root there, even when it is not
    // on the host.
    if (!tp::isolate() && geteuid() != 0)
        GTEST_SKIP() << "port 37 needs root, or a network namespace, which this host refuses";
    ASSERT_EQ(tp::fixedport(37, "tcp"), "");
    auto p = tp::serve({tp::bin("clockpage")}, 37, "tcp", pt::pageopts("C"));
    EXPECT_TRUE(fetch(37).starts_with("Local time is: "));
    EXPECT_EQ(pt::trace(p).size(), 6u);
}

} // namespace
