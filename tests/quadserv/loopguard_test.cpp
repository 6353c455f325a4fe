// loopguard_test - datagrams that would set UDP servers answering each other
// for ever, forged through a raw socket in a network of the test's own; and
// the ordinary client that must be answered in full all the same.
#include "quadcheck.h"
#include "udpguard.h"

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <tuple>

namespace {

using tp::chargen, tp::echo;

// forge: sends payload through raw socket fd to 127.0.0.1:dport as if from
// 127.0.0.1:sport, with UDP checksum check (0: none, as UDP over IPv4 allows).
bool forge(int fd, int sport, int dport, const std::string &payload, uint16_t check = 0)
{
    struct {
        iphdr ip;
        udphdr udp;
    } h{};
    h.ip.ihl = 5; // the kernel fills in the total length and the header checksum
    h.ip.version = 4;
    h.ip.ttl = 64;
    h.ip.protocol = IPPROTO_UDP;
    h.ip.saddr = h.ip.daddr = htonl(INADDR_LOOPBACK);
    h.udp.source = htons(uint16_t(sport));
    h.udp.dest = htons(uint16_t(dport));
    h.udp.len = htons(uint16_t(sizeof h.udp + payload.size()));
    h.udp.check = htons(check);
    std::string pkt = std::string(reinterpret_cast<const char *>(&h), sizeof h) + payload;
    tp::Addr to = tp::addr("127.0.0.1", 0);
    return sendto(fd, pkt.data(), pkt.size(), 0, to.sa(), to.len) == ssize_t(pkt.size());
}

// A datagram the sniffer saw, and when it crossed loopback: the kernel's
// stamp in milliseconds of the monotonic clock, the servers' own.
struct Seen {
    int sport, dport;
    std::string payload;
    long ms;
};

// sniff: the UDP datagrams raw socket fd saw on loopback for ms milliseconds,
// or until none has come for quietms (0: watch the whole time).
std::vector<Seen> sniff(int fd, int ms, int quietms = 0)
{
    // The kernel stamps in real time; the servers count in monotonic time.
    timespec real, mono;
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    long long realtomono = (real.tv_sec - mono.tv_sec) * 1000000000LL + real.tv_nsec - mono.tv_nsec;
    std::vector<Seen> seen;
    long deadline = monotonicms() + ms;
    for (long left; (left = deadline - monotonicms()) > 0;) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, int(quietms > 0 ? std::min<long>(left, quietms) : left)) == 0)
            break; // the time is up, or it has been quiet
        char buf[70000];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        iovec iov = {buf, sizeof buf};
        msghdr msg{.msg_name = nullptr, .msg_namelen = 0, .msg_iov = &iov, .msg_iovlen = 1,
                   .msg_control = control, .msg_controllen = sizeof control, .msg_flags = 0};
        ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
        size_t ihl = n > 0 ? size_t(buf[0] & 0x0f) * 4 : 0;
        if (n < ssize_t(sizeof(iphdr)) || size_t(n) < ihl + sizeof(udphdr))
            continue;
        long stamp = monotonicms();
        if (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            stamp = long((ts.tv_sec * 1000000000LL + ts.tv_nsec - realtomono) / 1000000);
        }
        udphdr u;
        std::memcpy(&u, buf + ihl, sizeof u);
        seen.push_back({ntohs(u.source), ntohs(u.dest), std::string(buf + ihl + sizeof u, buf + n),
                        stamp});
    }
    return seen;
}

// sent: how many of seen went from sport to dport.
int sent(const std::vector<Seen> &seen, int sport, int dport)
{
    return int(std::ranges::count_if(seen, [&](const Seen &s) { return s.sport == sport && s.dport == dport; }));
}

constexpr int greetport = 5678;
const std::string greeting = "Hello World!\n";

class LoopGuard : public tp::QuadTest {
protected:
    // raw forges datagrams; sniffer watches every UDP one on loopback.
    tp::Fd raw, sniffer;
    void SetUp() override
    {
        // In a network of our own an ordinary user may have raw sockets, the
        // sniffer sees our datagrams alone, and 5678 is ours.
        tp::isolate();
        raw = tp::Fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
        sniffer = tp::Fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP));
        int on = 1, room = 4 << 20;
        setsockopt(sniffer, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        setsockopt(sniffer, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        if (raw < 0 || sniffer < 0)
            GTEST_SKIP() << "forging needs raw sockets: root, or a network namespace of our own";
        QuadTest::SetUp();
    }

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
    // two servers answering each other. Neither may answer the other more
    // than its budget in a window of the servers' clock (the capture's stamp
    // may put one answer sent at a window's edge on its other side). A loop
    // at the budget must end; a slower one goes on, as designed, for 8 s.
    void loopends(int from, int to, const std::string &payload)
    {
        SCOPED_TRACE("from port " + std::to_string(from) + " to " + std::to_string(to));
        sniff(sniffer, 50); // what an earlier loop left unread
        ASSERT_TRUE(forge(raw, from, to, payload));
        long t0 = monotonicms();
        auto seen = sniff(sniffer, 8000, 1000);
        bool ended = monotonicms() - t0 < 8000;
        EXPECT_GT(sent(seen, to, from), 0) << "no answer at all: the forged datagram went nowhere";
        for (auto [sport, dport] : {std::pair{to, from}, std::pair{from, to}}) {
            std::map<long, unsigned> perwindow;
            unsigned most = 0;
            for (const Seen &s : seen)
                if (s.sport == sport && s.dport == dport)
                    most = std::max(most, ++perwindow[s.ms / guardwindowms]);
            EXPECT_LE(most, guardbudget + 1) << "answers from " << sport << " in one window";
            EXPECT_TRUE(ended || most < guardbudget)
                << "still answering each other after a window at the budget";
        }
    }
};

// No UDP service answers port 0, a port below 1024 (the standard services'
// among them), NFS's 2049 or one of quadserv's own; an ordinary port gets its
// answer, and a datagram whose checksum fails costs nothing.
TEST_F(LoopGuard, QuadservAnswersNoServerPort)
{
    std::vector<int> dports, guarded = {0, 1, 7, 13, 19, 37, 111, 1023, 2049};
    for (const tp::QuadService &s : tp::quadservices)
        dports.push_back(q.port(s.id));
    guarded.insert(guarded.end(), dports.begin(), dports.end());
    auto probe = [](int from, int to) { return "probe " + std::to_string(from) + ">" + std::to_string(to); };

    int plain = tp::freeport();
    for (int d : dports)
        ASSERT_TRUE(forge(raw, plain, d, probe(plain, d)));
    auto seen = sniff(sniffer, 500);
    for (int d : dports)
        ASSERT_EQ(sent(seen, d, plain), 1) << "no answer from " << d << " to an ordinary port";

    for (int g : guarded)
        for (int d : dports)
            ASSERT_TRUE(forge(raw, g, d, probe(g, d)));
    std::set<std::pair<int, int>> answers;
    for (const Seen &s : sniff(sniffer, 700))
        if (std::ranges::count(dports, s.sport) != 0 && s.payload != probe(s.sport, s.dport))
            answers.insert({s.sport, s.dport});
    for (auto [from, to] : answers)
        ADD_FAILURE() << "port " << from << " answered a datagram from port " << to;

    for (int d : dports)
        ASSERT_TRUE(forge(raw, plain, d, "corrupt", 0x1234));
    EXPECT_TRUE(tp::running(q.proc));
    EXPECT_EQ(tp::allanswer(q), "");
}

// A greeting server neither answers nor logs a datagram "from" its own port;
// the next ordinary client is answered and is the first line it prints.
TEST_F(LoopGuard, GreetServersIgnoreTheirOwnPort)
{
    for (auto [prog, host, peer] : {std::tuple{"dgramgreetsrv", "127.0.0.1", "127.0.0.1:"},
                                    std::tuple{"dgramgreetsrv6", "::1", "[::1]:"}}) {
        SCOPED_TRACE(prog);
        tp::Proc srv = greetserver(prog);
        ASSERT_TRUE(tp::running(srv));
        sniff(sniffer, 50);
        ASSERT_TRUE(forge(raw, greetport, greetport, "loop"));
        EXPECT_EQ(sent(sniff(sniffer, 1000), greetport, greetport), 1) << "answers to itself";

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
// seconds: every request is answered, the budget notwithstanding. It
// forges nothing.
class LoopGuardOrdinary : public tp::QuadTest {};
TEST_F(LoopGuardOrdinary, ClientAt500ASecondIsAnsweredInFull)
{
    tp::Fd s(tp::udpsocket("127.0.0.1", q.port(echo), 1000));
    ASSERT_GE(s, 0);
    int answered = 0;
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
        // Never faster than 500 a second, even after a slow answer.
        std::this_thread::sleep_until(next);
        next = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
        std::string req = "req " + std::to_string(i);
        ASSERT_EQ(send(s, req.data(), req.size(), 0), ssize_t(req.size()));
        answered += tp::recvone(s, 1000) == req;
    }
    EXPECT_EQ(answered, 1000);
}

} // namespace
