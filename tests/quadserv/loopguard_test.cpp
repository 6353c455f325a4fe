// loopguard_test - datagrams that would set UDP servers answering each other
// for ever, forged through a raw socket in a network of the test's own; and
// the ordinary client that must be answered in full all the same.
#include "quadcheck.h"
#include "rawudp.h"
#include "udpguard.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <thread>
#include <tuple>

namespace {

using tp::chargen, tp::daytime, tp::echo, tp::timesvc;
constexpr int greetport = 5678;
const std::string greeting = "Hello World!\n";

class LoopGuard : public tp::QuadTest {
protected:
    tp::Raw raw;
    bool forging = false;
    void SetUp() override
    {
        // In a network of our own an ordinary user may forge, the sniffer
        // sees our datagrams alone, and 5678 is ours.
        tp::isolate();
        forging = tp::rawopen(raw);
        QuadTest::SetUp();
    }
    static constexpr const char *noforging =
        "forging needs raw sockets: root, or a network namespace of our own, and this host "
        "allows neither";

    // greetserver: prog on its fixed port, its lines on a pseudo-terminal.
    tp::Proc greetserver(const std::string &prog, bool quiet = false)
    {
        tp::SpawnOpts opts;
        opts.pty = !quiet;
        // A loop prints a line per datagram, which nobody reads.
        if (quiet)
            opts.prefix = {"sh", "-c", "exec \"$0\" \"$@\" >/dev/null"};
        return tp::servefixed({tp::bin(prog)}, greetport, "udp", opts);
    }

    // loopends: forges one datagram from port from to port to, which sets the
    // two servers answering each other, one datagram in flight. Neither may
    // answer the other more than its budget in a window of the servers'
    // clock; the capture's stamps, on that clock, may put the one answer
    // sent at a window's edge on its other side. A loop that reaches the
    // budget must end; one slower than the budget goes on at its own pace,
    // as designed, and is watched for 8 s.
    void loopends(int from, int to, const std::string &payload)
    {
        SCOPED_TRACE("from port " + std::to_string(from) + " to " + std::to_string(to));
        tp::sniff(raw, 50); // what an earlier loop left unread
        ASSERT_TRUE(tp::forge(raw, from, to, payload));
        long t0 = monotonicms();
        auto seen = tp::sniff(raw, 8000, 1000);
        bool ended = monotonicms() - t0 < 8000;
        EXPECT_GT(tp::count(seen, to, from), 0) << "no answer at all: the forged datagram went nowhere";
        for (auto [sport, dport] : {std::pair{to, from}, std::pair{from, to}}) {
            std::map<long, unsigned> perwindow;
            for (const tp::Seen &s : seen)
                if (s.sport == sport && s.dport == dport)
                    ++perwindow[s.ms / guardwindowms];
            unsigned most = 0;
            for (auto [window, n] : perwindow)
                most = std::max(most, n);
            EXPECT_LE(most, guardbudget + 1) << "answers from " << sport << " in one window";
            if (most >= guardbudget) {
                EXPECT_TRUE(ended) << "still answering each other after a window at the budget";
            }
        }
    }
};

// No UDP service answers port 0, a port below 1024 (the standard services'
// among them), NFS's 2049 or one of quadserv's own; an ordinary port gets its
// answer, and a datagram whose checksum fails costs nothing.
TEST_F(LoopGuard, QuadservAnswersNoServerPort)
{
    if (!forging)
        GTEST_SKIP() << noforging;
    std::vector<int> dports, guarded = {0, 1, 7, 13, 19, 37, 111, 1023, 2049};
    for (tp::svc s : {echo, chargen, daytime, timesvc}) {
        dports.push_back(q.port(s));
        guarded.push_back(q.port(s));
    }
    auto probe = [](int from, int to) {
        return "probe " + std::to_string(from) + ">" + std::to_string(to);
    };

    int plain = tp::freeport();
    for (int d : dports)
        ASSERT_TRUE(tp::forge(raw, plain, d, probe(plain, d)));
    auto seen = tp::sniff(raw, 500);
    for (int d : dports)
        ASSERT_EQ(tp::count(seen, d, plain), 1) << "no answer from " << d << " to an ordinary port";

    for (int g : guarded)
        for (int d : dports)
            ASSERT_TRUE(tp::forge(raw, g, d, probe(g, d)));
    std::set<std::pair<int, int>> answers;
    for (const tp::Seen &s : tp::sniff(raw, 700))
        if (std::count(dports.begin(), dports.end(), s.sport) != 0 &&
            s.payload != probe(s.sport, s.dport))
            answers.insert({s.sport, s.dport});
    for (auto [from, to] : answers)
        ADD_FAILURE() << "port " << from << " answered a datagram from port " << to;

    for (int d : dports)
        ASSERT_TRUE(tp::forge(raw, plain, d, "corrupt", 0x1234));
    EXPECT_TRUE(tp::running(q.proc));
    EXPECT_EQ(tp::allanswer(q), "");
}

// A greeting server neither answers nor logs a datagram "from" its own port;
// the next ordinary client is answered and is the first line it prints.
TEST_F(LoopGuard, GreetServersIgnoreTheirOwnPort)
{
    if (!forging)
        GTEST_SKIP() << noforging;
    for (auto [prog, host, peer] : {std::tuple{"dgramgreetsrv", "127.0.0.1", "127.0.0.1:"},
                                    std::tuple{"dgramgreetsrv6", "::1", "[::1]:"}}) {
        SCOPED_TRACE(prog);
        tp::Proc srv = greetserver(prog);
        ASSERT_TRUE(tp::running(srv));
        tp::sniff(raw, 50);
        ASSERT_TRUE(tp::forge(raw, greetport, greetport, "loop"));
        auto seen = tp::sniff(raw, 1000);
        EXPECT_EQ(tp::count(seen, greetport, greetport), 1) << "answers to itself";

        tp::Fd c(tp::udpsocket(host, greetport));
        ASSERT_EQ(send(c, "hi", 2, 0), 2);
        EXPECT_EQ(tp::recvone(c, 2000), greeting);
        EXPECT_EQ(tp::readline(srv),
                  std::string("data from ") + peer + std::to_string(tp::localport(c)));
        tp::stop(srv);
    }
}

// Loops between two servers that each take the other for a client: quadserv
// and a greeting server, and two quadservs echo to echo and chargen to echo.
// Each is held to the budget of answers per peer, and both serve after.
TEST_F(LoopGuard, LoopsBetweenServersAreHeldToTheBudget)
{
    if (!forging)
        GTEST_SKIP() << noforging;
    tp::Quad &b = q, c = tp::startquad();
    ASSERT_TRUE(tp::running(c.proc));
    tp::Proc greet = greetserver("dgramgreetsrv", true);
    ASSERT_TRUE(tp::running(greet));

    loopends(b.port(echo), greetport, "greet me");
    loopends(c.port(echo), b.port(echo), "echo me");
    loopends(c.port(chargen), b.port(echo), "line me");

    EXPECT_EQ(tp::udpask("127.0.0.1", greetport, "after"), greeting);
    EXPECT_EQ(tp::allanswer(b), "");
    EXPECT_EQ(tp::allanswer(c), "");
}

// One client socket asking one request at a time, 500 a second for two
// seconds: every request is answered, the budget notwithstanding.
TEST_F(LoopGuard, OrdinaryClientAt500ASecondIsAnsweredInFull)
{
    tp::Fd s(tp::udpsocket("127.0.0.1", q.port(echo), 1000));
    ASSERT_GE(s, 0);
    constexpr int requests = 1000;
    constexpr long spacingus = 2000;
    using clock = std::chrono::steady_clock;
    int answered = 0;
    auto next = clock::now();
    for (int i = 0; i < requests; ++i) {
        // Never faster than 500 a second, even after a slow answer.
        std::this_thread::sleep_until(next);
        next = clock::now() + std::chrono::microseconds(spacingus);
        std::string req = "req " + std::to_string(i);
        ASSERT_EQ(send(s, req.data(), req.size(), 0), ssize_t(req.size()));
        answered += tp::recvone(s, 1000) == req;
    }
    EXPECT_EQ(answered, requests);
}

} // namespace
