// portkit_test - libportkit inside a real process: the ports it opens, the
// clients its sockets take, and how its failures end the caller.
#include "testproc.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

tp::Result probe(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {PKPROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    return tp::run(argv);
}

} // namespace

TEST(Library, FailuresEndTheCallerWithOneLine)
{
    struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        // A refused service text, with the base the caller wrote: the text,
        // the transport and the reason.
        {{"open", "time", "65500"}, "time/tcp: port plus port base is above 65535"},
    };
    for (const auto &c : cases) {
        tp::Result r = probe(c.args);
        EXPECT_EQ(tp::exitcode(r.status), 1) << c.line;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "pkprobe: " + c.line + "\n");
    }
}

TEST(Library, SameServiceOverBothTransportsWithPortBase)
{
    int base = tp::pickbase({13});
    tp::Result r = probe({"open", "daytime", std::to_string(base)});
    ASSERT_EQ(tp::exitcode(r.status), 0) << r.err;
    int tfd = -1, ufd = -1;
    unsigned tport = 0, uport = 0, tv6 = 0, uv6 = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "tcp fd=%d port=%u v6=%u\nudp fd=%d port=%u v6=%u", &tfd,
                          &tport, &tv6, &ufd, &uport, &uv6),
              6)
        << r.out;
    EXPECT_NE(tfd, ufd);
    EXPECT_EQ(tport, unsigned(base + 13));
    EXPECT_EQ(uport, unsigned(base + 13));
    EXPECT_EQ(tv6 + uv6, 2u) << "both sockets are dual-stack IPv6 sockets";
}

TEST(Library, PortBaseIsZeroUnlessWritten)
{
    int p = tp::freeport();
    tp::Result r = probe({"open", std::to_string(p)});
    ASSERT_EQ(tp::exitcode(r.status), 0) << r.err;
    EXPECT_NE(r.out.find("port=" + std::to_string(p) + " "), std::string::npos) << r.out;
}

TEST(Library, DualStackTakesIPv4AndIPv6Clients)
{
    int p = tp::freeport();
    tp::Proc srv = tp::spawn({PKPROBE, "tcp", std::to_string(p), "2"});
    ASSERT_EQ(tp::readline(srv), "ready " + std::to_string(p));
    int a = tp::tcpconnect("127.0.0.1", p);
    ASSERT_GE(a, 0);
    auto first = tp::readline(srv);
    int b = tp::tcpconnect("::1", p);
    ASSERT_GE(b, 0);
    auto second = tp::readline(srv);
    close(a);
    close(b);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->rfind("peer 127.0.0.1:", 0), 0u) << *first;
    EXPECT_EQ(second->rfind("peer [::1]:", 0), 0u) << *second;
    EXPECT_EQ(tp::exitcode(*tp::wait(srv, 5000)), 0);

    tp::Proc usrv = tp::spawn({PKPROBE, "udp", std::to_string(p), "2"});
    ASSERT_EQ(tp::readline(usrv), "ready " + std::to_string(p));
    EXPECT_EQ(tp::udpask("127.0.0.1", p, "v4"), "v4");
    EXPECT_EQ(tp::udpask("::1", p, "v6"), "v6");
    auto u1 = tp::readline(usrv), u2 = tp::readline(usrv);
    ASSERT_TRUE(u1 && u2);
    EXPECT_EQ(u1->rfind("peer 127.0.0.1:", 0), 0u) << *u1;
    EXPECT_EQ(u2->rfind("peer [::1]:", 0), 0u) << *u2;
}

TEST(Library, SecondUdpServerOnAPortIsRefused)
{
    int p = tp::freeport();
    tp::Proc first = tp::spawn({PKPROBE, "udp", std::to_string(p), "1"});
    ASSERT_EQ(tp::readline(first), "ready " + std::to_string(p));
    tp::Result second = probe({"udp", std::to_string(p), "1"});
    EXPECT_EQ(tp::exitcode(second.status), 1);
    EXPECT_EQ(second.err, "pkprobe: " + std::to_string(p) + "/udp: can't bind to port " +
                              std::to_string(p) + ": Address already in use\n");
}

TEST(Library, TcpRebindsWhileOldConnectionsWaitToClose)
{
    int p = tp::freeport();
    {
        tp::Proc srv = tp::spawn({PKPROBE, "tcp", std::to_string(p), "1"});
        ASSERT_EQ(tp::readline(srv), "ready " + std::to_string(p));
        int c = tp::tcpconnect("127.0.0.1", p);
        ASSERT_GE(c, 0);
        ASSERT_TRUE(tp::readline(srv)); // the server closed first: its side waits in TIME_WAIT
        EXPECT_EQ(tp::recvall(c, 2000), "");
        close(c);
        EXPECT_EQ(tp::exitcode(*tp::wait(srv, 5000)), 0);
    }
    tp::Proc again = tp::spawn({PKPROBE, "tcp", std::to_string(p), "0"});
    EXPECT_EQ(tp::readline(again), "ready " + std::to_string(p));
    EXPECT_EQ(tp::exitcode(*tp::wait(again, 5000)), 0);
}
