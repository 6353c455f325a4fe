// portkit_test - libportkit inside a real process: the ports it opens, the
// clients its sockets take, and how its failures end the caller.
#include "testproc.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Each case has a port of its own, free for TCP and UDP, and a pkprobe to
// serve on it.
class Library : public ::testing::Test {
protected:
    std::string p = std::to_string(tp::freeport());
    tp::Proc srv;
    // serving: starts srv taking n clients of proto on p; whether it said
    // it is ready.
    bool serving(const std::string &proto, int n)
    {
        srv = tp::spawn({PKPROBE, proto, p, std::to_string(n)});
        return tp::readline(srv) == "ready " + p;
    }
    bool served() { return tp::exitcode(tp::wait(srv, 5000).value_or(-1)) == 0; }
};

} // namespace

// The same service over TCP and UDP in one process: a stream and a datagram
// socket, both dual-stack IPv6 sockets at the service's port plus the port base, which
// is zero unless the caller writes it.
TEST_F(Library, BothTransportsOpenAtThePortPlusPortBase)
{
    int base = tp::pickbase({13});
    struct {
        std::vector<std::string> args;
        unsigned port;
    } cases[] = {
        {{PKPROBE, "open", "daytime", std::to_string(base)}, unsigned(base + 13)},
        {{PKPROBE, "open", p}, unsigned(std::stoi(p))},
    };
    for (const auto &c : cases) {
        tp::Result r = tp::run(c.args);
        ASSERT_EQ(tp::exitcode(r.status), 0) << r.err;
        int ttype = -1, utype = -1;
        unsigned tport = 0, uport = 0, tv6 = 0, uv6 = 0;
        ASSERT_EQ(std::sscanf(r.out.c_str(), "tcp type=%d port=%u v6=%u\nudp type=%d port=%u v6=%u",
                              &ttype, &tport, &tv6, &utype, &uport, &uv6),
                  6)
            << r.out;
        EXPECT_EQ(ttype, SOCK_STREAM);
        EXPECT_EQ(utype, SOCK_DGRAM);
        EXPECT_EQ(tport, c.port) << r.out;
        EXPECT_EQ(uport, c.port) << r.out;
        EXPECT_EQ(tv6 + uv6, 2u) << "both sockets are dual-stack IPv6 sockets";
    }
}

// One socket per transport takes IPv4 and IPv6 clients (a TCP connection, a
// UDP datagram that comes back), and satop prints each peer in its family's
// form. TCP takes its port again while the connections the server closed
// first wait in TIME_WAIT.
TEST_F(Library, DualStackTakesIPv4AndIPv6ClientsAndTcpRebinds)
{
    struct {
        const char *host, *peer;
    } clients[] = {{"127.0.0.1", "peer 127.0.0.1:"}, {"::1", "peer [::1]:"}};
    for (const std::string proto : {"tcp", "udp"}) {
        ASSERT_TRUE(serving(proto, 2)) << proto;
        for (const auto &c : clients) {
            tp::Fd tcp(proto == "tcp" ? tp::tcpconnect(c.host, std::stoi(p)) : -1);
            bool reached = proto == "udp" ? tp::udpask(c.host, std::stoi(p), c.host) == c.host : tcp >= 0;
            EXPECT_TRUE(reached) << proto << " from " << c.host;
            auto line = tp::readline(srv);
            ASSERT_TRUE(line) << proto << " from " << c.host;
            EXPECT_EQ(line->rfind(c.peer, 0), 0u) << *line;
            EXPECT_EQ(tcp >= 0 ? tp::readall(tcp, 2000) : "", "") << "the server closes first";
        }
        EXPECT_TRUE(served()) << proto;
    }
    EXPECT_TRUE(serving("tcp", 0)) << "port " << p << " not taken again";
    EXPECT_TRUE(served());
}

// The library ends its caller with status 1 and its message on standard
// error; one that errno does not give ends in an empty line, as every such
// report of the suite does.
TEST_F(Library, FailuresEndTheCallerWithOneLine)
{
    ASSERT_TRUE(serving("udp", 1));
    struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        // A refused service text, with the base the caller wrote: the text,
        // the transport and the reason.
        {{PKPROBE, "open", "time", "65500"}, "time/tcp: port plus port base is above 65535\n"},
        // No address reuse on UDP, so a second server on a port is refused.
        {{PKPROBE, "udp", p, "1"}, p + "/udp: can't bind to port " + p + ": Address already in use"},
    };
    for (const auto &c : cases) {
        tp::Result r = tp::run(c.args);
        EXPECT_EQ(tp::outcome(r), tp::outcome(1, "", "pkprobe: " + c.line + "\n")) << c.line;
    }
}
