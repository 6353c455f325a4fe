// limits_test - the limits on quadserv's children (all of them, and one
// source's share) and what a shortage of descriptors does.
#include "quadcheck.h"

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using tp::daytime, tp::echo;

// pollall: the indexes of fds ready for events, once n of them have news
// (an error or hang-up too) or after timeoutms.
std::vector<size_t> pollall(const std::vector<tp::Fd> &fds, short events, int n, int timeoutms)
{
    std::vector<pollfd> pfds;
    for (const tp::Fd &fd : fds)
        pfds.push_back({fd, events, 0});
    for (long deadline = monotonicms() + timeoutms;
         poll(pfds.data(), pfds.size(), 0) < n && monotonicms() < deadline;)
        usleep(20000);
    std::vector<size_t> ready;
    for (size_t i = 0; i < pfds.size(); ++i)
        if (pfds[i].revents & events)
            ready.push_back(i);
    return ready;
}

// openflood: n connections to echo from 127.0.0.1 on to 127.0.0.<sources>
// in turn, in batches that the listen queue holds, each taken (or closed)
// by quadserv before the next comes: a full queue drops connections, which
// then retry for seconds. The most children seen meanwhile in *most; all
// must connect.
std::vector<tp::Fd> openflood(const tp::Quad &q, int n, int cap, int sources, int *most)
{
    std::vector<tp::Fd> flood;
    for (int i = 0; i < n; ++i) {
        std::string src = "127.0.0." + std::to_string(1 + i % sources);
        flood.emplace_back(tp::connectfrom(src, 0, "127.0.0.1", q.port(echo), true), true);
        EXPECT_GE(flood.back(), 0) << "connection " << i << ": " << std::strerror(errno);
        if (flood.size() % 16 != 0 && i + 1 < n)
            continue;
        int want = std::min(int(flood.size()), cap);
        long deadline = monotonicms() + 20000;
        for (int c; (c = tp::children(q.proc.pid)) < want && monotonicms() < deadline;) {
            *most = std::max(*most, c);
            usleep(10000);
        }
        usleep(20000); // those past a cap or share are taken too, and closed
    }
    EXPECT_EQ(pollall(flood, POLLOUT, n, 10000).size(), size_t(n)) << "connections not made";
    return flood;
}

// pingall: sends a byte on each of conns and, once n have answered or after
// 10 s, what each gave: 'x' its echo, '-' anything else, ' ' nothing yet.
std::string pingall(const std::vector<tp::Fd> &conns, int n)
{
    for (const tp::Fd &s : conns)
        EXPECT_EQ(send(s, "x", 1, MSG_NOSIGNAL), 1);
    std::string got(conns.size(), ' ');
    char c;
    for (size_t i : pollall(conns, POLLIN, n, 10000))
        got[i] = recv(conns[i], &c, 1, MSG_DONTWAIT) == 1 && c == 'x' ? 'x' : '-';
    return got;
}

class QuadServLimits : public tp::QuadTest {};

// QuadServShortage: quadserv with no descriptor to spare for accept.
class QuadServShortage : public tp::QuadTest {
protected:
    void SetUp() override
    {
        startopts.spawn.prefix = tp::fdlimit(11); // the standard streams, eight sockets
        if (startopts.spawn.prefix.empty())
            GTEST_SKIP() << "prlimit (util-linux) is missing";
        QuadTest::SetUp();
    }
};

// A flood of idle connections past the cap on children: quadserv never has
// more than 256, leaves the rest waiting in the listen queue (it accepts
// none to drop it), answers UDP meanwhile, and takes the waiting ones as
// children end.
TEST_F(QuadServLimits, ChildCapHoldsAFloodInTheListenQueue)
{
    constexpr int cap = 256, extra = 24; // the extra ones fit the listen backlog of 32
    rlimit nofile;
    getrlimit(RLIMIT_NOFILE, &nofile);
    nofile.rlim_cur = std::max(nofile.rlim_cur, std::min<rlim_t>(512, nofile.rlim_max));
    setrlimit(RLIMIT_NOFILE, &nofile);
    if (nofile.rlim_cur < 512)
        GTEST_SKIP() << "needs 512 descriptors, the limit allows " << nofile.rlim_cur;

    // From five addresses, none past its share of the children.
    int most = 0;
    std::vector<tp::Fd> flood = openflood(q, cap + extra, cap, 5, &most);
    // The cap holds for a while, and UDP is answered all along.
    for (int i = 0; i < 10; ++i) {
        most = std::max(most, tp::children(q.proc.pid));
        EXPECT_EQ(tp::udpcheck(echo, q.port(echo), "during " + std::to_string(i)), "");
        usleep(50000);
    }
    EXPECT_EQ(most, cap) << "live children under the flood";

    // Which connections were taken: each echoes a byte; the others wait.
    std::string got = pingall(flood, cap);
    EXPECT_EQ(std::count(got.begin(), got.end(), '-'), 0) << "connections taken and closed unserved";
    EXPECT_EQ(std::count(got.begin(), got.end(), 'x'), cap);
    ASSERT_EQ(std::count(got.begin(), got.end(), ' '), extra) << "connections taken past the cap";
    // Served ones leave: the waiting ones are taken and echo their byte.
    for (size_t i = 0, left = extra; i < flood.size() && left > 0; ++i)
        if (got[i] == 'x') {
            flood[i] = tp::Fd();
            --left;
        }
    for (size_t i = 0; i < flood.size(); ++i)
        EXPECT_TRUE(got[i] != ' ' || tp::recvn(flood[i], 1, 10000) == "x")
            << "waiting connection " << i << " dropped";

    flood.clear();
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 0, 30000));
    EXPECT_EQ(tp::tcpcheck(echo, q.port(echo)), "") << "after the flood";
}

// One source holds at most 64 children: its connections past that share
// are closed at once, a client from another address is served meanwhile,
// and the source's own are taken again as its children end.
TEST_F(QuadServLimits, OneSourceTakesAtMostItsShareOfChildren)
{
    constexpr int share = 64, extra = 6;
    int most = 0;
    std::vector<tp::Fd> conns = openflood(q, share + extra, share, 1, &most);
    EXPECT_EQ(tp::children(q.proc.pid), share);

    // Served ones echo a byte; the others were closed unserved.
    std::string got = pingall(conns, int(conns.size()));
    EXPECT_EQ(std::count(got.begin(), got.end(), 'x'), share);
    EXPECT_EQ(std::count(got.begin(), got.end(), '-'), extra);

    tp::Fd other(tp::connectfrom("127.0.0.2", 0, "127.0.0.1", q.port(daytime)));
    ASSERT_GE(other, 0) << std::strerror(errno);
    EXPECT_EQ(tp::readall(other, 5000).size(), 25u) << "another address was not served";

    conns.erase(conns.begin(), conns.begin() + 8);
    ASSERT_TRUE(tp::waitchildren(q.proc.pid, share - 8));
    EXPECT_EQ(tp::tcpcheck(echo, q.port(echo)), "") << "the source's share was not given back";
}

// Out of descriptors, quadserv rests its TCP listeners for a second at a time
// instead of failing accept in a busy loop; it answers UDP meanwhile, and
// takes the waiting client once descriptors are to be had again.
TEST_F(QuadServShortage, DescriptorShortageRestsTheListeners)
{
    tp::Fd waiting(tp::tcpconnect("127.0.0.1", q.port(echo)));
    ASSERT_GE(waiting, 0);
    ASSERT_TRUE(tp::sendall(waiting, "late"));
    long t0 = tp::procinfo(q.proc.pid).cputicks;
    long until = monotonicms() + 2000;
    while (monotonicms() < until) {
        EXPECT_EQ(tp::udpcheck(echo, q.port(echo), "meanwhile"), "");
        usleep(200000);
    }
    long spent = tp::procinfo(q.proc.pid).cputicks - t0;
    EXPECT_TRUE(tp::running(q.proc));
    EXPECT_LE(spent, 20) << "clock ticks of CPU in 2 s while a client waits: quadserv spins";

    ASSERT_TRUE(tp::fdraise(q.proc.pid)) << std::strerror(errno);
    EXPECT_EQ(tp::recvn(waiting, 4, 5000), "late") << "the waiting client was not taken";
}

} // namespace
