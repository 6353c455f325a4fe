// faults_test - quadserv's command line, processes, and clients that misbehave.
#include "qsutil.h"
#include "testproc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

qs::Server started(const tp::SpawnOpts &opts = {})
{
    std::string why;
    qs::Server s = qs::start(opts, &why);
    EXPECT_GT(s.proc.pid, 0) << why;
    return s;
}

TEST(QuadServCommandLine, TwoArgumentsAreAUsageError)
{
    auto r = tp::run({tp::bin("quadserv"), "a", "b"});
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_EQ(r.err, "quadserv: usage: " + tp::bin("quadserv") + " [port]\n\n");
    EXPECT_EQ(r.out, "");
}

TEST(QuadServCommandLine, PortBaseMovesEveryService)
{
    qs::Server srv = started();
    ASSERT_GT(srv.proc.pid, 0);
    for (int off : qs::offsets) {
        EXPECT_TRUE(tp::bound(srv.port(off), "tcp")) << off;
        EXPECT_TRUE(tp::bound(srv.port(off), "udp")) << off;
    }
    EXPECT_EQ(qs::allanswer("127.0.0.1", srv.base), "");
}

// The argument keeps only its low 16 bits: 65536 + b is base b.
TEST(QuadServCommandLine, PortBaseIsCutTo16Bits)
{
    std::string why;
    qs::Server srv = qs::start({}, &why, [](int base) {
        return std::vector<std::string>{tp::bin("quadserv"), std::to_string(65536 + base)};
    });
    ASSERT_GT(srv.proc.pid, 0) << why;
    EXPECT_EQ(qs::allanswer("127.0.0.1", srv.base), "");
}

TEST(QuadServCommandLine, SecondInstanceIsRefused)
{
    qs::Server first = started();
    ASSERT_GT(first.proc.pid, 0);
    auto r = tp::run({tp::bin("quadserv"), std::to_string(first.base)});
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_NE(r.err.find("quadserv: echo/tcp"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
    EXPECT_EQ(qs::allanswer("127.0.0.1", first.base), "");

    // A UDP port held by someone else stops the start just the same.
    int base = tp::pickbase();
    int s = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_any;
    sin6.sin6_port = htons(uint16_t(base + qs::timep));
    int off = 0;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sin6), sizeof sin6), 0);
    r = tp::run({tp::bin("quadserv"), std::to_string(base)});
    close(s);
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
        r = tp::run({tp::bin("quadserv"), std::to_string(tp::pickbase())}, "", opts);
        if (r.err.find("in use") == std::string::npos)
            break;
    }
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_NE(r.err.find("echo/tcp: descriptor 64"), std::string::npos) << r.err;
}

// Started with its standard streams closed, quadserv puts /dev/null there, so
// none of its sockets takes descriptor 0, 1 or 2.
TEST(QuadServProcess, ClosedStandardStreamsGetDevNull)
{
    tp::SpawnOpts opts;
    opts.closestd = true;
    qs::Server srv = started(opts);
    ASSERT_GT(srv.proc.pid, 0);
    auto fds = qs::fdtargets(srv.proc.pid);
    for (const char *want : {"0 -> /dev/null", "1 -> /dev/null", "2 -> /dev/null"})
        EXPECT_NE(std::find(fds.begin(), fds.end(), want), fds.end()) << want;
    EXPECT_EQ(qs::allanswer("127.0.0.1", srv.base), "");
}

// fdflags: the file status flags of pid's descriptor fd, -1 if unknown.
long fdflags(pid_t pid, int fd)
{
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd)).c_str(), "r");
    if (f == nullptr)
        return -1;
    char line[128];
    long flags = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, "flags:", 6) == 0)
            flags = std::strtol(line + 6, nullptr, 8);
    fclose(f);
    return flags;
}

// Service sockets never block the loop (a connection reset before accept, a
// datagram gone before recvfrom); a child's connection blocks so that writes
// complete.
TEST(QuadServProcess, SocketModes)
{
    qs::Server srv = started();
    ASSERT_GT(srv.proc.pid, 0);
    int sockets = 0;
    for (const auto &fd : qs::fdtargets(srv.proc.pid)) {
        if (fd.find("socket:") == std::string::npos)
            continue;
        ++sockets;
        int n = std::atoi(fd.c_str());
        EXPECT_TRUE(fdflags(srv.proc.pid, n) & O_NONBLOCK) << fd;
    }
    EXPECT_EQ(sockets, 8);
    int s = tp::tcpconnect("127.0.0.1", srv.port(qs::echo));
    ASSERT_GE(s, 0);
    ASSERT_TRUE(tp::waitchildren(srv.proc.pid, 1));
    auto kids = qs::childpids(srv.proc.pid);
    ASSERT_EQ(kids.size(), 1u);
    long flags = fdflags(kids[0], 0);
    EXPECT_GE(flags, 0);
    EXPECT_FALSE(flags & O_NONBLOCK);
    close(s);
}

// A child holds the connection and nothing else: no listening socket, no
// standard stream, nothing the server inherited.
TEST(QuadServProcess, ChildHoldsOnlyItsConnection)
{
    qs::Server srv = started();
    ASSERT_GT(srv.proc.pid, 0);
    int s = tp::tcpconnect("127.0.0.1", srv.port(qs::echo));
    ASSERT_GE(s, 0);
    ASSERT_TRUE(tp::waitchildren(srv.proc.pid, 1));
    auto kids = qs::childpids(srv.proc.pid);
    ASSERT_EQ(kids.size(), 1u);
    auto fds = qs::fdtargets(kids[0]);
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_EQ(fds[0].rfind("0 -> socket:", 0), 0u) << fds[0];
    close(s);
    EXPECT_TRUE(tp::waitchildren(srv.proc.pid, 0));
}

TEST(QuadServProcess, NoZombiesAfterHundredsOfConnections)
{
    qs::Server srv = started();
    ASSERT_GT(srv.proc.pid, 0);
    int bad = 0;
    for (int i = 0; i < 300; ++i) {
        switch (i % 3) {
        case 0:
            bad += tp::tcpask("127.0.0.1", srv.port(qs::echo), "z") != "z";
            break;
        case 1:
            bad += tp::tcpask("127.0.0.1", srv.port(qs::daytime))->size() != 25;
            break;
        default:
            bad += tp::tcpask("127.0.0.1", srv.port(qs::timep))->size() != 4;
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_TRUE(tp::waitchildren(srv.proc.pid, 0))
        << tp::children(srv.proc.pid) << " children, " << tp::zombies(srv.proc.pid) << " zombies";
    EXPECT_TRUE(tp::running(srv.proc));
}

// Each connection has its own child; one leaving does not hold up the rest.
TEST(QuadServProcess, TwoTcpClientsAtOnce)
{
    qs::Server srv = started();
    ASSERT_GT(srv.proc.pid, 0);
    int a = tp::tcpconnect("127.0.0.1", srv.port(qs::echo));
    int b = tp::tcpconnect("127.0.0.1", srv.port(qs::echo));
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_TRUE(tp::sendall(b, "from b"));
    ASSERT_TRUE(tp::sendall(a, "from a"));
    EXPECT_EQ(tp::recvn(a, 6), "from a");
    EXPECT_EQ(tp::recvn(b, 6), "from b");
    EXPECT_TRUE(tp::waitchildren(srv.proc.pid, 2));

    close(a);
    EXPECT_TRUE(tp::waitchildren(srv.proc.pid, 1));
    EXPECT_EQ(tp::tcpask("127.0.0.1", srv.port(qs::daytime))->size(), 25u);
    ASSERT_TRUE(tp::sendall(b, "still b"));
    EXPECT_EQ(tp::recvn(b, 7), "still b");
    close(b);
    EXPECT_TRUE(tp::waitchildren(srv.proc.pid, 0));
}

TEST(QuadServProcess, UdpAnsweredWhileTcpClientIdles)
{
    qs::Server srv = started();
    ASSERT_GT(srv.proc.pid, 0);
    int idle = tp::tcpconnect("127.0.0.1", srv.port(qs::echo));
    ASSERT_GE(idle, 0);
    EXPECT_EQ(tp::udpask("127.0.0.1", srv.port(qs::echo), "quick", 1000), "quick");
    auto tm = tp::udpask("127.0.0.1", srv.port(qs::timep), "", 1000);
    EXPECT_TRUE(tm && tm->size() == 4);
    ASSERT_TRUE(tp::sendall(idle, "late"));
    EXPECT_EQ(tp::recvn(idle, 4), "late");
    close(idle);
}

// Connections reset before or while they are accepted, then junk datagrams of
// every size: the server stays up and every service still answers.
TEST(QuadServFaults, ResetStormThenAllServicesAnswer)
{
    qs::Server srv = started();
    ASSERT_GT(srv.proc.pid, 0);
    for (int i = 0; i < 400; ++i) {
        int s = tp::tcpconnect("127.0.0.1", srv.port(qs::offsets[i % 4]));
        ASSERT_GE(s, 0) << "connection " << i;
        if (i % 2 == 1)
            (void)!send(s, "junk", 4, MSG_NOSIGNAL);
        tp::resetclose(s);
    }
    std::mt19937 gen(7);
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    for (int i = 0; i < 400; ++i) {
        std::string junk(gen() % 6000, '\0');
        for (auto &c : junk)
            c = char(gen());
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sin.sin_port = htons(uint16_t(srv.port(qs::offsets[i % 4])));
        sendto(u, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    }
    close(u);
    EXPECT_TRUE(tp::running(srv.proc));
    EXPECT_EQ(qs::allanswer("127.0.0.1", srv.base), "");
    EXPECT_TRUE(tp::waitchildren(srv.proc.pid, 0, 10000));
}

// With a process limit the server cannot always fork: it says so, drops that
// connection and goes on serving.
TEST(QuadServFaults, ForkFailureDropsOnlyThatConnection)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run quadserv as another user under a process limit";
    if (!tp::have("setpriv") || !tp::have("prlimit"))
        GTEST_SKIP() << "setpriv or prlimit is missing";
    // A user of its own, so no other process counts against the limit.
    int uid = 50000 + int(getpid() % 10000);
    tp::SpawnOpts opts;
    opts.prefix = {"setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                   "--clear-groups", "prlimit", "--nproc=3", "--"};
    qs::Server srv = started(opts);
    ASSERT_GT(srv.proc.pid, 0);

    int a = tp::tcpconnect("127.0.0.1", srv.port(qs::echo));
    int b = tp::tcpconnect("127.0.0.1", srv.port(qs::echo));
    ASSERT_TRUE(a >= 0 && b >= 0);
    ASSERT_TRUE(tp::waitchildren(srv.proc.pid, 2));
    int refused = tp::tcpconnect("127.0.0.1", srv.port(qs::echo));
    ASSERT_GE(refused, 0);
    auto got = qs::readtoend(refused, 3000);
    close(refused);
    EXPECT_NE(got.error, ETIMEDOUT) << "the connection the server could not serve stays open";
    EXPECT_EQ(got.data, "");

    EXPECT_TRUE(tp::running(srv.proc));
    EXPECT_EQ(tp::udpask("127.0.0.1", srv.port(qs::echo), "udp"), "udp");
    ASSERT_TRUE(tp::sendall(a, "a"));
    EXPECT_EQ(tp::recvn(a, 1), "a");
    close(a);
    close(b);
    ASSERT_TRUE(tp::waitchildren(srv.proc.pid, 0));
    EXPECT_EQ(qs::allanswer("127.0.0.1", srv.base, srv.proc.pid), "");

    tp::stop(srv.proc);
    std::string err = tp::readfor(srv.proc.err, 2000);
    EXPECT_NE(err.find("quadserv: fork: Resource temporarily unavailable\n"), std::string::npos)
        << err;
}

// --- Loop guard -----------------------------------------------------------
// A datagram with a forged source port is sent through a raw socket; a second
// raw socket watches what crosses the loopback between the ports involved.

struct Raw {
    int send = -1, sniff = -1;
    ~Raw()
    {
        if (send >= 0)
            close(send);
        if (sniff >= 0)
            close(sniff);
    }
};

// forge: sends payload to 127.0.0.1:dport as if from port sport, with the
// checksum given (0: none, which UDP over IPv4 allows).
bool forge(const Raw &raw, uint16_t sport, uint16_t dport, const std::string &payload,
           uint16_t check = 0)
{
    std::string pkt(sizeof(udphdr), '\0');
    udphdr h{};
    h.source = htons(sport);
    h.dest = htons(dport);
    h.len = htons(uint16_t(sizeof h + payload.size()));
    h.check = htons(check);
    std::memcpy(pkt.data(), &h, sizeof h);
    pkt += payload;
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(raw.send, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr *>(&dst),
                  sizeof dst) == ssize_t(pkt.size());
}

// watch: counts the UDP datagrams from sport to dport for ms milliseconds.
int watch(const Raw &raw, uint16_t sport, uint16_t dport, int ms)
{
    int count = 0;
    long deadline = qs::nowms() + ms;
    for (;;) {
        long left = deadline - qs::nowms();
        if (left <= 0)
            return count;
        pollfd pfd = {raw.sniff, POLLIN, 0};
        if (poll(&pfd, 1, int(left)) <= 0)
            continue;
        unsigned char buf[70000];
        ssize_t n = recv(raw.sniff, buf, sizeof buf, 0);
        if (n < 20)
            continue;
        size_t ihl = size_t(buf[0] & 0x0f) * 4;
        if (size_t(n) < ihl + sizeof(udphdr))
            continue;
        udphdr h;
        std::memcpy(&h, buf + ihl, sizeof h);
        count += ntohs(h.source) == sport && ntohs(h.dest) == dport;
    }
}

class Forged : public ::testing::Test {
protected:
    qs::Server srv;
    Raw raw;
    void SetUp() override
    {
        // The sniffer sees every datagram on loopback: in a network of our
        // own it sees only ours, not those of tests running beside us.
        tp::isolate();
        raw.send = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
        raw.sniff = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
        if (raw.send < 0 || raw.sniff < 0)
            GTEST_SKIP() << "needs raw sockets (root) to forge a source port";
        std::string why;
        srv = qs::start({}, &why);
        ASSERT_GT(srv.proc.pid, 0) << why;
    }
    uint16_t port(int off) const { return uint16_t(srv.port(off)); }
};

// The forging works: from an ordinary port the reply comes back.
TEST_F(Forged, OrdinarySourceIsAnswered)
{
    int port = tp::freeport();
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(uint16_t(port));
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_TRUE(forge(raw, uint16_t(port), this->port(qs::echo), "forged"));
    pollfd pfd = {s, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);
    char buf[64];
    ssize_t n = recv(s, buf, sizeof buf, 0);
    close(s);
    EXPECT_EQ(std::string(buf, size_t(n > 0 ? n : 0)), "forged");
}

// Echo to itself, and echo and daytime to each other: one datagram, no ping-pong.
TEST_F(Forged, LoopGuardOwnPortsAreNotAnswered)
{
    uint16_t e = port(qs::echo), d = port(qs::daytime);
    ASSERT_TRUE(forge(raw, e, e, "loop"));
    EXPECT_EQ(watch(raw, e, e, 500), 1); // ours, seen once
    ASSERT_TRUE(forge(raw, d, e, "loop"));
    EXPECT_EQ(watch(raw, e, d, 500), 0);
    ASSERT_TRUE(forge(raw, port(qs::chargen), port(qs::timep), "loop"));
    EXPECT_EQ(watch(raw, port(qs::timep), port(qs::chargen), 300), 0);
    EXPECT_EQ(qs::allanswer("127.0.0.1", srv.base), "");
}

TEST_F(Forged, LoopGuardStandardPortsAreNotAnswered)
{
    for (uint16_t std : {7, 13, 19, 37}) {
        for (int off : qs::offsets) {
            ASSERT_TRUE(forge(raw, std, port(off), "from a standard port"));
            EXPECT_EQ(watch(raw, port(off), std, 150), 0) << std << " -> +" << off;
        }
    }
    EXPECT_EQ(qs::allanswer("127.0.0.1", srv.base), "");
}

// Corrupt datagrams to every UDP service cost nothing. (Where the kernel checks
// a checksum only when the datagram is read, select reports a socket readable
// that then has nothing to read; the service sockets being non-blocking is
// what keeps that from stalling the server, checked in SocketModes.)
TEST_F(Forged, BadChecksumDoesNotStall)
{
    for (int off : qs::offsets)
        ASSERT_TRUE(forge(raw, uint16_t(tp::freeport()), port(off), "corrupt", 0x1234));
    usleep(100000);
    EXPECT_TRUE(tp::running(srv.proc));
    EXPECT_EQ(qs::allanswer("127.0.0.1", srv.base), "");
}

} // namespace
