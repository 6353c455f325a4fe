// fault_test - resets, half-open and silent clients and bad datagrams against
// quadserv, datepage and clockpage; quadserv's guard against datagram loops.
#include "fault.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>

namespace {

// quadtcp: the attack description of one of quadserv's TCP services.
st::TcpTarget quadtcp(const st::Quad &q, st::svc s)
{
    st::TcpTarget t = {.name = std::string("quadserv tcp ") + st::svcname[s],
                       .host = "127.0.0.1", .port = q.port(s),
                       .check = [&q, s] { return st::tcpcheck(s, q.port(s)); },
                       .halfreq = "", .halfok = nullptr, .silentn = 20};
    switch (s) {
    case st::echo:
        t.halfreq = "half open";
        t.halfok = [](const std::string &r) { return r == "half open"; };
        break;
    case st::chargen: // never ends by itself
        t.halfcap = 148;
        t.halfok = [](const std::string &r) { return r.compare(0, 148, st::chargenlines(148)) == 0; };
        break;
    case st::daytime:
        t.halfok = [](const std::string &r) { return r.size() == 25 && r.back() == '\n'; };
        break;
    case st::timesvc:
        t.halfok = [](const std::string &r) { return r.size() == 4; };
        break;
    }
    return t;
}

} // namespace

TEST(StressQuadservFaults, ResetHalfOpenAndSilentClientsOnEveryTcpService)
{
    st::Quad q;
    ASSERT_NO_FATAL_FAILURE(st::startquad(q));
    for (st::svc s : {st::echo, st::chargen, st::daytime, st::timesvc})
        st::tcpfaults(quadtcp(q, s), q.proc);
    EXPECT_EQ(st::settledzombies(q.proc.pid), 0);
    st::allanswer(q);
}

TEST(StressQuadservFaults, EmptyOversizedAndGarbageDatagramsOnEveryUdpService)
{
    st::Quad q;
    ASSERT_NO_FATAL_FAILURE(st::startquad(q));
    for (st::svc s : {st::echo, st::chargen, st::daytime, st::timesvc}) {
        st::UdpTarget u = {.name = std::string("quadserv udp ") + st::svcname[s],
                           .host = "127.0.0.1", .port = q.port(s),
                           .check = [s](const std::string &req, const std::string &rep) -> std::string {
                               if (s == st::echo)
                                   return rep == req.substr(0, 4096) ? "" : "echo reply differs";
                               if (s == st::chargen)
                                   return rep == st::chargenlines(74) ? "" : "chargen line wrong";
                               return rep.size() == (s == st::daytime ? 25u : 4u) ? "" : "reply size wrong";
                           }};
        st::udpfaults(u, q.proc);
    }
    st::allanswer(q);
}

namespace {

// spoof: sends payload to 127.0.0.1:dport as if from 127.0.0.1:sport; needs root.
bool spoof(int raw, uint16_t sport, uint16_t dport, const std::string &payload)
{
    char pkt[256] = {};
    auto *ip = reinterpret_cast<iphdr *>(pkt);
    auto *udp = reinterpret_cast<udphdr *>(pkt + sizeof(iphdr));
    size_t len = sizeof(iphdr) + sizeof(udphdr) + payload.size();
    ip->ihl = 5;
    ip->version = 4;
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->tot_len = htons(uint16_t(len));
    ip->saddr = htonl(INADDR_LOOPBACK);
    ip->daddr = htonl(INADDR_LOOPBACK);
    udp->source = htons(sport);
    udp->dest = htons(dport);
    udp->len = htons(uint16_t(sizeof(udphdr) + payload.size()));
    udp->check = 0; // no checksum, which IPv4 allows
    std::memcpy(pkt + sizeof(iphdr) + sizeof(udphdr), payload.data(), payload.size());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(raw, pkt, len, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == ssize_t(len);
}

std::string probe(int sport, int dport)
{
    return "probe " + std::to_string(sport) + ">" + std::to_string(dport);
}

// sniff: for ms milliseconds, every UDP datagram on loopback from one of
// ports that is not one of our own probes, as (source, destination) pairs.
std::multiset<std::pair<int, int>> sniff(int sniffer, int ms, const std::vector<int> &ports)
{
    std::multiset<std::pair<int, int>> seen;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        pollfd pfd = {sniffer, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        char buf[70000];
        ssize_t n;
        while ((n = recv(sniffer, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
            auto *ip = reinterpret_cast<iphdr *>(buf);
            size_t hl = size_t(ip->ihl) * 4;
            if (size_t(n) < hl + sizeof(udphdr))
                continue;
            auto *udp = reinterpret_cast<udphdr *>(buf + hl);
            int sp = ntohs(udp->source), dp = ntohs(udp->dest);
            std::string payload(buf + hl + sizeof(udphdr), size_t(n) - hl - sizeof(udphdr));
            if (std::find(ports.begin(), ports.end(), sp) != ports.end() && payload != probe(sp, dp))
                seen.insert({sp, dp});
        }
    }
    return seen;
}

} // namespace

// A datagram that claims to come from one of quadserv's own ports or from a
// standard service port is not answered, so two such services cannot keep
// bouncing replies at each other; an ordinary port still gets its answer.
TEST(StressQuadservFaults, NoAnswerToADatagramFromAServicePort)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to send datagrams with a forged source port";
    // The sniffer sees every datagram on loopback: in a network of our own it
    // sees only ours, not the load of tests running beside us.
    tp::isolate();
    st::Fd raw(socket(AF_INET, SOCK_RAW, IPPROTO_RAW));
    st::Fd sniffer(socket(AF_INET, SOCK_RAW, IPPROTO_UDP));
    if (raw.fd < 0 || sniffer.fd < 0)
        GTEST_SKIP() << "raw sockets are not available here";
    st::Quad q;
    ASSERT_NO_FATAL_FAILURE(st::startquad(q));

    std::vector<int> dports, guarded = {7, 13, 19, 37};
    for (st::svc s : {st::echo, st::chargen, st::daytime, st::timesvc}) {
        dports.push_back(q.port(s));
        guarded.push_back(q.port(s));
    }

    // The control: an ordinary source port is answered by every service.
    int plain = tp::freeport();
    for (int d : dports)
        ASSERT_TRUE(spoof(raw.fd, uint16_t(plain), uint16_t(d), probe(plain, d)));
    auto seen = sniff(sniffer.fd, 500, dports);
    for (int d : dports)
        ASSERT_EQ(seen.count({d, plain}), 1u) << "no answer from port " << d
                                              << " to an ordinary port: the sniffer sees nothing";

    for (int g : guarded)
        for (int d : dports)
            ASSERT_TRUE(spoof(raw.fd, uint16_t(g), uint16_t(d), probe(g, d)));
    seen = sniff(sniffer.fd, 700, dports);
    for (auto [sp, dp] : seen)
        ADD_FAILURE() << "port " << sp << " answered a datagram from service port " << dp;

    EXPECT_TRUE(tp::running(q.proc));
    st::allanswer(q);
}
