// Tests of the UDP guard's budgets against a sender who knows the code and,
// here, the key: the guard is asked directly, on a clock of the test's own.
#include "udpguard.h"
#include "testnet.h"

#include <gtest/gtest.h>

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include <string>
#include <vector>

static long fakems = 0;
// The kernel's random source as the guard finds it here: a case may make it
// not ready yet, as early in boot; draws counts the keys it gave.
static bool poolready = true;
static int draws = 0;

// getrandom: the random source above. A draw that would wait for it fails
// the case: a server would hang on its first datagram.
extern "C" ssize_t getrandom(void *buf, size_t len, unsigned flags)
{
    if (!poolready) {
        if ((flags & GRND_NONBLOCK) == 0)
            ADD_FAILURE() << "the key waits for a random source that is not ready";
        errno = EAGAIN;
        return -1;
    }
    ++draws;
    memset(buf, draws, len);
    return ssize_t(len);
}

namespace {

class UdpGuard : public ::testing::Test {
protected:
    void SetUp() override
    {
        guardseed(20261207);
        guardclock = [] { return fakems; };
        fakems += 10 * guardwindowms; // a window no other case has counted in
    }

    // answered: whether the guard lets a datagram from host:port be answered.
    static bool answered(const std::string &host, int port)
    {
        tp::Addr a = tp::addr(host, port);
        return !guardrefuses(a.sa(), a.len);
    }

    // col: the counter of row that host:port counts in.
    static std::size_t col(std::size_t row, const std::string &host, int port)
    {
        tp::Addr a = tp::addr(host, port);
        in6_addr addr{};
        in_port_t p = 0;
        peeraddr(a.ss, a.len, &addr, &p);
        return guardcol(row, guardwordsof(addr, p));
    }

    // colliders: n senders of 203.0.113.0/24 that share host:port's counter
    // in row, as one who knows the key finds them.
    static std::vector<std::pair<std::string, int>> colliders(std::size_t row,
                                                                const std::string &host, int port,
                                                                std::size_t n)
    {
        std::vector<std::pair<std::string, int>> found;
        std::size_t want = col(row, host, port);
        for (int a = 1; a < 255 && found.size() < n; ++a)
            for (int p = 1024; p < 65536 && found.size() < n; ++p) {
                std::string h = "203.0.113." + std::to_string(a);
                if (col(row, h, p) == want)
                    found.push_back({h, p});
            }
        return found;
    }
};

// A loop between two servers asks for ever; its peer is answered its budget
// in a window whatever the colliding senders around it do: busy ones that
// share its counters, and fresh ones every 100 answers, in every row.
TEST_F(UdpGuard, CollidingSendersCannotResetALoopsCount)
{
    const std::string loop = "198.51.100.7";
    std::vector<std::pair<std::string, int>> others;
    for (std::size_t r = 0; r < guardrows; ++r)
        for (auto &c : colliders(r, loop, 5678, 40))
            others.push_back(c);
    ASSERT_EQ(others.size(), 40 * guardrows);
    std::size_t next = 0;
    int got = 0, busygot = 0, freshgot = 0;
    for (int i = 0; i < 100000; ++i) {
        got += answered(loop, 5678);
        if (i % 100 == 0) { // three busy ones and a fresh one
            for (std::size_t b = 0; b < 3; ++b)
                busygot += answered(others[b].first, others[b].second);
            next = next + 1 < others.size() ? next + 1 : 3;
            freshgot += answered(others[next].first, others[next].second);
        }
    }
    EXPECT_EQ(got, int(guardbudget));
    // The others are answered too: the fresh ones always, the busy ones,
    // at their budget, all but what the shared counters overcount.
    EXPECT_EQ(freshgot, 1000);
    EXPECT_GE(busygot, 3 * 990);

    // Nine loops whose far ends share a counter push none of the others out.
    fakems += guardwindowms;
    auto nine = colliders(0, loop, 5679, 9);
    ASSERT_EQ(nine.size(), 9u);
    std::vector<int> each(nine.size());
    for (int i = 0; i < 20000; ++i)
        for (std::size_t k = 0; k < nine.size(); ++k)
            each[k] += answered(nine[k].first, nine[k].second);
    for (int n : each)
        EXPECT_EQ(n, int(guardbudget));

    // The next window counts afresh.
    fakems += guardwindowms;
    EXPECT_TRUE(answered(loop, 5678));
}

// A newcomer whose counters others have filled to the budget in every row
// is refused with them until the window ends; one that shares a full
// counter in a row only is answered.
TEST_F(UdpGuard, NewcomerOnFullCountersWaitsForTheNextWindow)
{
    const std::string newcomer = "198.51.100.8";
    auto first = colliders(0, newcomer, 40000, 2);
    for (std::size_t r = 0; r < guardrows; ++r) {
        auto c = r == 0 ? first.at(0) : colliders(r, newcomer, 40000, 1).at(0);
        for (unsigned i = 0; i < guardbudget; ++i)
            ASSERT_TRUE(answered(c.first, c.second));
    }
    EXPECT_FALSE(answered(newcomer, 40000));
    EXPECT_TRUE(answered(first.at(1).first, first.at(1).second));
    fakems += guardwindowms;
    EXPECT_TRUE(answered(newcomer, 40000));
}

// A forger who spoofs one address and turns the source port is held to the
// source's budget; an IPv6 source is its /64; answers to loopback never
// leave the host and are held only per peer.
TEST_F(UdpGuard, ForgerTurningPortsIsHeldToTheSourceBudget)
{
    struct Case {
        std::string host, sibling; // sibling: another address of the same source
        int want;
        std::string other;         // an address of another source
    };
    const Case cases[] = {
        {"198.51.100.9", "198.51.100.9", int(guardsourcebudget), "198.51.100.10"},
        {"2001:db8::1", "2001:db8::2", int(guardsourcebudget), "2001:db8:0:1::1"},
        {"127.0.0.1", "127.0.0.1", 20000, "127.0.0.2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        fakems += guardwindowms;
        int got = 0;
        for (int i = 0; i < 20000; ++i)
            got += answered(i % 2 ? c.host : c.sibling, 10000 + i);
        EXPECT_EQ(got, c.want);
        EXPECT_TRUE(answered(c.other, 1024)) << "another source shares the budget";
    }
}

// The key never waits for the random source: before it is ready the first
// datagram is answered on a makeshift key, and a real one is drawn at the
// next window, once.
TEST_F(UdpGuard, KeyNeverWaitsForTheRandomSource)
{
    guardkeyed = false;
    poolready = false;
    draws = 0;
    EXPECT_TRUE(answered("192.0.2.1", 5000));
    poolready = true;
    EXPECT_TRUE(answered("192.0.2.1", 5000));
    EXPECT_EQ(draws, 0) << "keys changed inside a window";
    for (int w = 0; w < 2; ++w) {
        fakems += guardwindowms;
        EXPECT_TRUE(answered("192.0.2.1", 5000));
    }
    EXPECT_EQ(draws, 1) << "a real key is drawn once the source is ready";
}

} // namespace
