// faults_test - quadserv's command line, its processes, clients that
// misbehave, and the limits on its children and descriptors.
#include "hostile.h"
#include "quadcheck.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

namespace {

using tp::chargen, tp::daytime, tp::echo, tp::timesvc;
constexpr tp::svc services[] = {echo, chargen, daytime, timesvc};

tp::Quad started(const tp::QuadOpts &opts = {})
{
    tp::Quad q = tp::startquad(opts);
    EXPECT_TRUE(tp::running(q.proc));
    return q;
}

std::string usage()
{
    return "quadserv: usage: " + tp::bin("quadserv") + " [port]\n\n";
}

// The argument count is checked before anything else: even with /dev/null
// out of reach (a /dev of its own, empty) and a standard stream closed.
TEST(QuadServCommandLine, TwoArgumentsAreAUsageError)
{
    auto r = tp::run({tp::bin("quadserv"), "a", "b"});
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_EQ(r.err, usage());
    EXPECT_EQ(r.out, "");

    if (!tp::have("unshare"))
        GTEST_SKIP() << "unshare (util-linux) is missing: no /dev of our own";
    tp::SpawnOpts nodev;
    nodev.prefix = {"unshare", "-rm", "sh", "-c",
                    "mount -t tmpfs none /dev || exit 99; exec \"$0\" \"$@\" <&-"};
    r = tp::run({tp::bin("quadserv"), "a", "b"}, "", nodev);
    if (tp::exitcode(r.status) == 99 || r.err.find("unshare:") != std::string::npos)
        GTEST_SKIP() << "this host allows no mount namespace of our own: " << r.err;
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_EQ(r.err, usage()) << "with stdin closed and no /dev/null";
}

// The argument moves every service by the base and keeps only its low 16
// bits: 65536 + b is base b.
TEST(QuadServCommandLine, PortBaseMovesEveryServiceAndIsCutTo16Bits)
{
    tp::QuadOpts opts;
    opts.args = [](int base) { return std::vector<std::string>{std::to_string(65536 + base)}; };
    tp::Quad q = started(opts);
    ASSERT_TRUE(tp::running(q.proc));
    for (tp::svc s : services) {
        EXPECT_TRUE(tp::bound(q.port(s), "tcp")) << tp::svcname(s);
        EXPECT_TRUE(tp::bound(q.port(s), "udp")) << tp::svcname(s);
    }
    EXPECT_EQ(tp::allanswer(q), "");
}

TEST(QuadServCommandLine, SecondInstanceIsRefused)
{
    tp::Quad first = started();
    ASSERT_TRUE(tp::running(first.proc));
    auto r = tp::run({tp::bin("quadserv"), std::to_string(first.base)});
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_NE(r.err.find("quadserv: echo/tcp"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
    EXPECT_EQ(tp::allanswer(first), "");

    // A UDP port held by someone else stops the start just the same.
    int base = tp::pickbase({7, 13, 19, 37});
    tp::Fd held(tp::localsock("::", SOCK_DGRAM, base + tp::svcoff(timesvc)));
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
        r = tp::run({tp::bin("quadserv"), std::to_string(tp::pickbase({7, 13, 19, 37}))}, "", opts);
        if (r.err.find("in use") == std::string::npos)
            break;
    }
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_NE(r.err.find("echo/tcp: descriptor 64"), std::string::npos) << r.err;
}

bool hasdevnull(const std::vector<std::string> &fds, const std::string &fd)
{
    return std::find(fds.begin(), fds.end(), fd + " -> /dev/null") != fds.end();
}

// Started with its standard streams closed, quadserv puts /dev/null there, so
// none of its sockets takes descriptor 0, 1 or 2; with them open it opens
// nothing of the kind.
TEST(QuadServProcess, ClosedStandardStreamsGetDevNull)
{
    tp::QuadOpts closed;
    closed.spawn.closestd = true;
    tp::Quad q = started(closed);
    ASSERT_TRUE(tp::running(q.proc));
    auto fds = tp::fdtargets(q.proc.pid);
    for (const char *fd : {"0", "1", "2"})
        EXPECT_TRUE(hasdevnull(fds, fd)) << fd;
    EXPECT_EQ(tp::allanswer(q), "");

    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    tp::Fd keepin(in[1]);
    tp::QuadOpts open;
    open.spawn.stdinfd = in[0];
    tp::Quad q2 = started(open);
    close(in[0]);
    ASSERT_TRUE(tp::running(q2.proc));
    for (const std::string &fd : tp::fdtargets(q2.proc.pid))
        EXPECT_EQ(fd.find("/dev/null"), std::string::npos) << fd;
}

// fdflags: the file status flags of pid's descriptor fd, -1 if unknown.
long fdflags(pid_t pid, int fd)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("flags:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 8);
    return -1;
}

// Service sockets never block the loop (a connection reset before accept, a
// datagram gone before recvfrom); a child holds its connection and nothing
// else (no listening socket, no standard stream), blocking so that writes
// complete.
TEST(QuadServProcess, SocketModesAndWhatAChildHolds)
{
    tp::Quad q = started();
    ASSERT_TRUE(tp::running(q.proc));
    int sockets = 0;
    for (const auto &fd : tp::fdtargets(q.proc.pid)) {
        if (fd.find("socket:") == std::string::npos)
            continue;
        ++sockets;
        EXPECT_TRUE(fdflags(q.proc.pid, std::atoi(fd.c_str())) & O_NONBLOCK) << fd;
    }
    EXPECT_EQ(sockets, 8);

    tp::Fd s(tp::tcpconnect("127.0.0.1", q.port(echo)));
    ASSERT_GE(s, 0);
    ASSERT_TRUE(tp::waitchildren(q.proc.pid, 1));
    auto kids = tp::childpids(q.proc.pid);
    ASSERT_EQ(kids.size(), 1u);
    auto fds = tp::fdtargets(kids[0]);
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_EQ(fds[0].rfind("0 -> socket:", 0), 0u) << fds[0];
    long flags = fdflags(kids[0], 0);
    EXPECT_GE(flags, 0);
    EXPECT_FALSE(flags & O_NONBLOCK);
    s = tp::Fd();
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 0));
}

// Each connection has its own child; one leaving does not hold up the rest,
// and UDP is answered while TCP clients idle.
TEST(QuadServProcess, TwoTcpClientsAtOnceAndUdpBeside)
{
    tp::Quad q = started();
    ASSERT_TRUE(tp::running(q.proc));
    tp::Fd a(tp::tcpconnect("127.0.0.1", q.port(echo)));
    tp::Fd b(tp::tcpconnect("127.0.0.1", q.port(echo)));
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(tp::udpcheck(echo, q.port(echo), "quick"), "");
    EXPECT_EQ(tp::udpcheck(timesvc, q.port(timesvc), ""), "");
    ASSERT_TRUE(tp::sendall(b, "from b"));
    ASSERT_TRUE(tp::sendall(a, "from a"));
    EXPECT_EQ(tp::recvn(a, 6), "from a");
    EXPECT_EQ(tp::recvn(b, 6), "from b");
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 2));

    a = tp::Fd();
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 1));
    EXPECT_EQ(tp::tcpcheck(daytime, q.port(daytime)), "");
    ASSERT_TRUE(tp::sendall(b, "still b"));
    EXPECT_EQ(tp::recvn(b, 7), "still b");
    b = tp::Fd();
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 0));
}

// quadtcp: the hostile rounds' view of one of quadserv's TCP services.
tp::TcpTarget quadtcp(const tp::Quad &q, tp::svc s)
{
    tp::TcpTarget t = {.name = std::string("tcp ") + tp::svcname(s),
                       .host = "127.0.0.1",
                       .port = q.port(s),
                       .check = [&q, s] { return tp::tcpcheck(s, q.port(s)); },
                       .halfreq = "",
                       .halfok = nullptr,
                       .silentn = 20};
    switch (s) {
    case echo:
        t.halfreq = "half open";
        t.halfok = [](const std::string &r) { return r == "half open"; };
        break;
    case chargen: // never ends by itself
        t.halfcap = 148;
        t.halfok = [](const std::string &r) { return r == tp::chargenbytes(148); };
        break;
    case daytime:
        t.halfok = [](const std::string &r) { return r.size() == 25 && r.back() == '\n'; };
        break;
    case timesvc:
        t.halfok = [](const std::string &r) { return r.size() == 4; };
        break;
    }
    return t;
}

// Resets (after junk or none), clients that leave early, half-open and silent
// clients on every TCP service; every child is reaped afterwards.
TEST(QuadServFaults, HostileClientsOnEveryTcpService)
{
    tp::Quad q = started();
    ASSERT_TRUE(tp::running(q.proc));
    for (tp::svc s : services)
        tp::tcpfaults(quadtcp(q, s), q.proc);
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 0))
        << tp::children(q.proc.pid) << " children, " << tp::zombies(q.proc.pid) << " zombies";
    EXPECT_EQ(tp::allanswer(q), "");
}

// Empty, oversized and junk datagrams (up to 64 KiB) on every UDP service.
TEST(QuadServFaults, BadDatagramsOnEveryUdpService)
{
    tp::Quad q = started();
    ASSERT_TRUE(tp::running(q.proc));
    for (tp::svc s : services)
        tp::udpfaults({.name = std::string("udp ") + tp::svcname(s),
                       .host = "127.0.0.1",
                       .port = q.port(s),
                       .check = [s](const std::string &req, const std::string &rep) {
                           return tp::udpreplycheck(s, req, rep);
                       }},
                      q.proc);
    EXPECT_EQ(tp::allanswer(q), "");
}

// uidprocs: how many processes run with real user id uid.
int uidprocs(int uid)
{
    int n = 0;
    DIR *d = opendir("/proc");
    while (dirent *e = d != nullptr ? readdir(d) : nullptr) {
        std::ifstream f(std::string("/proc/") + e->d_name + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("Uid:", 0) == 0) {
                n += std::atoi(line.c_str() + 4) == uid;
                break;
            }
    }
    if (d != nullptr)
        closedir(d);
    return n;
}

// With a process limit quadserv cannot always fork: it says so, closes that
// connection and goes on serving everyone else. The limit counts every
// process of the user, so quadserv runs as a user of its own, from a copy
// that user can read wherever the checkout lies.
TEST(QuadServFaults, ForkFailureDropsOnlyThatConnection)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can run quadserv as a user of its own under a process limit";
    if (!tp::have("setpriv") || !tp::have("prlimit"))
        GTEST_SKIP() << "setpriv or prlimit (util-linux) is missing";
    int uid = 40000 + int(getpid() % 10000);
    ASSERT_EQ(uidprocs(uid), 0) << "user " << uid << " already runs processes";
    tp::Copy copy;
    ASSERT_TRUE(tp::copyforall("quadserv", copy));
    tp::QuadOpts opts;
    opts.prog = copy.path("quadserv");
    // quadserv and two children.
    std::string id = std::to_string(uid);
    opts.spawn.prefix = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                         "prlimit", "--nproc=3", "--"};
    tp::Quad q = started(opts);
    ASSERT_TRUE(tp::running(q.proc));

    tp::Fd a(tp::tcpconnect("127.0.0.1", q.port(echo)));
    tp::Fd b(tp::tcpconnect("127.0.0.1", q.port(echo)));
    ASSERT_TRUE(a >= 0 && b >= 0);
    ASSERT_TRUE(tp::waitchildren(q.proc.pid, 2));
    for (int i = 0; i < 3; ++i) {
        tp::Fd refused(tp::tcpconnect("127.0.0.1", q.port(echo)));
        ASSERT_GE(refused, 0) << "connection " << i << " not even queued";
        tp::sendall(refused, "ping");
        tp::Reply got = tp::readtoend(refused, 3000);
        EXPECT_NE(got.error, ETIMEDOUT) << "a connection quadserv could not serve stays open";
        EXPECT_EQ(got.data, "");
    }

    EXPECT_TRUE(tp::running(q.proc));
    EXPECT_EQ(tp::udpcheck(echo, q.port(echo)), "");
    ASSERT_TRUE(tp::sendall(a, "a"));
    EXPECT_EQ(tp::recvn(a, 1), "a");
    a = tp::Fd();
    b = tp::Fd();
    ASSERT_TRUE(tp::waitchildren(q.proc.pid, 0));
    // Under the limit each check must find the children of the last one gone.
    EXPECT_EQ(tp::allanswer(q, "127.0.0.1", true), "");

    tp::stop(q.proc);
    std::string err = tp::readfor(q.proc.err, 2000);
    EXPECT_NE(err.find("quadserv: fork: Resource temporarily unavailable\n"), std::string::npos)
        << err;
}

// nbconnect: a non-blocking connection from loopback address src to port
// under way (or made); -1 on failure.
int nbconnect(int port, const std::string &src = "127.0.0.1")
{
    tp::Addr a = tp::addr("127.0.0.1", port);
    int s = tp::localsock(src, SOCK_STREAM);
    if (s >= 0 && (fcntl(s, F_SETFL, O_NONBLOCK) < 0 ||
                   (connect(s, a.sa(), a.len) < 0 && errno != EINPROGRESS))) {
        close(s);
        return -1;
    }
    return s;
}

// openflood: n connections to port, the ith from source(i), in batches
// that the listen queue holds, each taken (or closed) by quadserv before
// the next comes: a full queue drops connections, which then retry for
// seconds. The most children seen meanwhile in *most.
std::vector<tp::Fd> openflood(const tp::Quad &q, int port, int n, int cap,
                              const std::function<std::string(int)> &source, int *most)
{
    std::vector<tp::Fd> flood;
    for (int i = 0; i < n; ++i) {
        flood.emplace_back(nbconnect(port, source(i)), true);
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
    return flood;
}

// pollall: the indexes of fds ready for events, once n of them are or after
// timeoutms.
std::vector<size_t> pollall(const std::vector<tp::Fd> &fds, short events, int n, int timeoutms)
{
    std::vector<pollfd> pfds;
    for (const tp::Fd &fd : fds)
        pfds.push_back({fd, events, 0});
    std::vector<size_t> ready;
    long deadline = monotonicms() + timeoutms;
    do {
        ready.clear();
        poll(pfds.data(), pfds.size(), 0);
        for (size_t i = 0; i < pfds.size(); ++i)
            if (pfds[i].revents & events)
                ready.push_back(i);
    } while (int(ready.size()) < n && monotonicms() < deadline && usleep(20000) == 0);
    return ready;
}

// A flood of idle connections past the cap on children: quadserv never has
// more than 256, leaves the rest waiting in the listen queue (it accepts
// none to drop it), answers UDP meanwhile, and takes the waiting ones as
// children end.
TEST(QuadServLimits, ChildCapHoldsAFloodInTheListenQueue)
{
    constexpr int cap = 256, extra = 24; // the extra ones fit the listen backlog of 32
    rlimit nofile;
    getrlimit(RLIMIT_NOFILE, &nofile);
    if (nofile.rlim_cur < 512 && nofile.rlim_max >= 512) {
        nofile.rlim_cur = 512;
        setrlimit(RLIMIT_NOFILE, &nofile);
    }
    if (nofile.rlim_cur < 512)
        GTEST_SKIP() << "needs 512 descriptors, the limit allows " << nofile.rlim_cur;
    tp::Quad q = started();
    ASSERT_TRUE(tp::running(q.proc));

    // From five addresses, none past its share of the children.
    int most = 0;
    std::vector<tp::Fd> flood = openflood(q, q.port(echo), cap + extra, cap, [](int i) {
        return "127.0.0." + std::to_string(2 + i % 5);
    }, &most);
    // The cap holds for a while, and UDP is answered all along.
    for (int i = 0; i < 10; ++i) {
        most = std::max(most, tp::children(q.proc.pid));
        EXPECT_EQ(tp::udpcheck(echo, q.port(echo), "during " + std::to_string(i)), "");
        usleep(50000);
    }
    EXPECT_EQ(most, cap) << "live children under the flood";

    // Which connections were taken: each echoes a byte; the others wait.
    ASSERT_EQ(pollall(flood, POLLOUT, int(flood.size()), 10000).size(), flood.size())
        << "connections not made";
    for (tp::Fd &s : flood)
        ASSERT_EQ(send(s, "x", 1, MSG_NOSIGNAL), 1);
    std::vector<size_t> answered = pollall(flood, POLLIN, cap, 10000), served, waiting;
    for (size_t i = 0; i < flood.size(); ++i)
        if (std::find(answered.begin(), answered.end(), i) == answered.end())
            waiting.push_back(i);
        else if (tp::recvn(flood[i], 1, 1000) == "x")
            served.push_back(i);
    EXPECT_EQ(answered.size(), served.size()) << "connections taken and closed unserved";
    EXPECT_EQ(served.size(), size_t(cap));
    ASSERT_EQ(waiting.size(), size_t(extra)) << "connections taken past the cap";
    // Served ones leave: the waiting ones are taken and echo their byte.
    for (size_t i = 0; i < size_t(extra); ++i)
        flood[served[i]] = tp::Fd();
    for (size_t i : waiting)
        EXPECT_EQ(tp::recvn(flood[i], 1, 10000), "x") << "waiting connection " << i << " dropped";

    flood.clear();
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 0, 30000));
    EXPECT_EQ(tp::tcpcheck(echo, q.port(echo)), "") << "after the flood";
}

// One source holds at most 64 children: its connections past that share
// are closed at once, a client from another address is served meanwhile,
// and the source's own are taken again as its children end.
TEST(QuadServLimits, OneSourceTakesAtMostItsShareOfChildren)
{
    constexpr int share = 64, extra = 6;
    tp::Quad q = started();
    ASSERT_TRUE(tp::running(q.proc));
    int most = 0;
    std::vector<tp::Fd> conns = openflood(q, q.port(echo), share + extra, share, [](int) {
        return "127.0.0.1";
    }, &most);
    ASSERT_EQ(pollall(conns, POLLOUT, int(conns.size()), 10000).size(), conns.size())
        << "connections not made";
    EXPECT_EQ(tp::children(q.proc.pid), share);

    // Served ones echo a byte; the others were closed unserved.
    int echoed = 0, dropped = 0;
    for (tp::Fd &s : conns)
        send(s, "x", 1, MSG_NOSIGNAL);
    ASSERT_EQ(pollall(conns, POLLIN, int(conns.size()), 10000).size(), conns.size());
    for (tp::Fd &s : conns) {
        char c;
        ssize_t n = recv(s, &c, 1, MSG_DONTWAIT);
        echoed += n == 1 && c == 'x';
        dropped += n <= 0;
    }
    EXPECT_EQ(echoed, share);
    EXPECT_EQ(dropped, extra);

    tp::Fd other(tp::localsock("127.0.0.2", SOCK_STREAM));
    tp::Addr to = tp::addr("127.0.0.1", q.port(daytime));
    ASSERT_EQ(connect(other, to.sa(), to.len), 0) << std::strerror(errno);
    EXPECT_EQ(tp::recvall(other, 5000).size(), 25u) << "another address was not served";

    for (int i = 0; i < 8; ++i)
        conns[size_t(i)] = tp::Fd();
    ASSERT_TRUE(tp::waitchildren(q.proc.pid, share - 8));
    EXPECT_EQ(tp::tcpcheck(echo, q.port(echo)), "") << "the source's share was not given back";
}

// Out of descriptors, quadserv rests its TCP listeners for a second at a time
// instead of failing accept in a busy loop; it answers UDP meanwhile, and
// takes the waiting client once descriptors are to be had again.
TEST(QuadServLimits, DescriptorShortageRestsTheListeners)
{
    tp::QuadOpts opts;
    // Standard streams and the eight sockets: nothing to spare for accept.
    opts.spawn.prefix = tp::fdlimit(11);
    if (opts.spawn.prefix.empty())
        GTEST_SKIP() << "prlimit (util-linux) is missing";
    tp::Quad q = started(opts);
    ASSERT_TRUE(tp::running(q.proc));

    tp::Fd waiting(tp::tcpconnect("127.0.0.1", q.port(echo)));
    ASSERT_GE(waiting, 0);
    ASSERT_TRUE(tp::sendall(waiting, "late"));
    long t0 = tp::cputicks(q.proc.pid);
    long until = monotonicms() + 2000;
    while (monotonicms() < until) {
        EXPECT_EQ(tp::udpcheck(echo, q.port(echo), "meanwhile"), "");
        usleep(200000);
    }
    long spent = tp::cputicks(q.proc.pid) - t0;
    EXPECT_TRUE(tp::running(q.proc));
    EXPECT_LE(spent, 20) << "clock ticks of CPU in 2 s while a client waits: quadserv spins";

    ASSERT_TRUE(tp::fdraise(q.proc.pid)) << std::strerror(errno);
    EXPECT_EQ(tp::recvn(waiting, 4, 5000), "late") << "the waiting client was not taken";
}

} // namespace
