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
    if (!tp::isolate()) {
        ASSERT_FALSE(tp::bound(8013, "tcp")) << "TCP port 8013 is taken by another program";
    }
    auto p = pt::start("datepage", 8013, {}, {"LC_ALL=C"});
    EXPECT_TRUE(fetch(8013).starts_with("Local daytime is: "));
    EXPECT_EQ(pt::trace(p).size(), 6u);
}

TEST(PageDefaults, ClockpageListensOnTheTimePort)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the time port (37) needs root";
    if (!tp::isolate()) {
        ASSERT_FALSE(tp::bound(37, "tcp")) << "TCP port 37 is taken by another program";
    }
    auto p = pt::start("clockpage", 37, {}, {"LC_ALL=C"});
    EXPECT_TRUE(fetch(37).starts_with("Local time is: "));
    EXPECT_EQ(pt::trace(p).size(), 6u);
}

} // namespace
