// Tests of libportkit: service texts, port base, dual stack, address texts.
#include "portkit.h"
#include "portkit_internal.h"
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

std::string text(const tp::Addr &a)
{
    char buf[128];
    const char *p = satop(a.sa(), buf, sizeof buf);
    return p != nullptr ? std::string(p) : std::string("(null)");
}

uint16_t port(const char *service, const char *proto, unsigned short base, std::string *why = nullptr)
{
    const char *reason = "";
    uint16_t p = pk_port(service, proto, base, &reason);
    if (why != nullptr)
        *why = reason;
    return p;
}

tp::Result probe(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {PKPROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    return tp::run(argv);
}

} // namespace

TEST(ServiceText, NamesResolvePerTransport)
{
    EXPECT_EQ(port("echo", "tcp", 0), 7);
    EXPECT_EQ(port("echo", "udp", 0), 7);
    EXPECT_EQ(port("chargen", "udp", 0), 19);
    EXPECT_EQ(port("daytime", "tcp", 0), 13);
    EXPECT_EQ(port("time", "udp", 0), 37);
    EXPECT_EQ(port("time", "tcp", 1000), 1037);
}

TEST(ServiceText, DecimalPortsAndTheirLimits)
{
    EXPECT_EQ(port("8013", "tcp", 0), 8013);
    EXPECT_EQ(port("1", "tcp", 0), 1);
    EXPECT_EQ(port("65535", "udp", 0), 65535);
    EXPECT_EQ(port("007", "tcp", 0), 7);
    std::string why;
    for (const char *bad : {"0", "65536", "70000", "99999999999999999999"}) {
        EXPECT_EQ(port(bad, "tcp", 0, &why), 0) << bad;
        EXPECT_EQ(why, "port out of range 1-65535") << bad;
    }
}

TEST(ServiceText, TextsThatAreNeitherNameNorNumber)
{
    std::string why;
    EXPECT_EQ(port("", "tcp", 0, &why), 0);
    EXPECT_EQ(why, "empty service");
    EXPECT_EQ(port(nullptr, "tcp", 0, &why), 0);
    for (const char *bad : {"80x", "-7", "+7", " 7", "7 ", "nosuchservice"}) {
        EXPECT_EQ(port(bad, "tcp", 0, &why), 0) << bad;
        EXPECT_EQ(why, "unknown service") << bad;
    }
}

TEST(ServiceText, PortBaseSumMustStayInRange)
{
    std::string why;
    EXPECT_EQ(port("7", "tcp", 65528), 65535);
    EXPECT_EQ(port("37", "udp", 65499, &why), 0);
    EXPECT_EQ(why, "port plus port base is above 65535");
    EXPECT_EQ(port("65535", "tcp", 1, &why), 0);
    EXPECT_EQ(port("time", "tcp", 65535, &why), 0);
}

TEST(Satop, FormsOfEachFamily)
{
    EXPECT_EQ(text(tp::addr("127.0.0.1", 40000)), "127.0.0.1:40000");
    EXPECT_EQ(text(tp::addr("0.0.0.0", 0)), "0.0.0.0:0");
    EXPECT_EQ(text(tp::addr("::1", 40000)), "[::1]:40000");
    EXPECT_EQ(text(tp::addr("fe80::1:2", 65535)), "[fe80::1:2]:65535");
    // A client of a dual-stack socket reads as the IPv4 address it is.
    EXPECT_EQ(text(tp::addr("::ffff:127.0.0.1", 40000)), "127.0.0.1:40000");
}

TEST(Satop, UnknownFamilyAndNullArguments)
{
    sockaddr_storage ss{};
    ss.ss_family = AF_UNIX;
    char buf[128] = "untouched";
    errno = 0;
    EXPECT_EQ(satop(reinterpret_cast<sockaddr *>(&ss), buf, sizeof buf), nullptr);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_STREQ(buf, "untouched");
    errno = 0;
    EXPECT_EQ(satop(nullptr, buf, sizeof buf), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST(Satop, EveryBufferLengthNeverOverruns)
{
    const tp::Addr addrs[] = {tp::addr("255.255.255.255", 65535),
                              tp::addr("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535),
                              tp::addr("::ffff:10.1.2.3", 1)};
    for (const auto &a : addrs) {
        std::string full = text(a);
        for (socklen_t len = 0; len <= full.size() + 1; ++len) {
            char buf[160];
            std::memset(buf, '#', sizeof buf);
            errno = 0;
            const char *p = satop(a.sa(), buf, len);
            if (len > full.size()) {
                EXPECT_EQ(p, buf);
                EXPECT_EQ(std::string(buf), full);
            } else {
                EXPECT_EQ(p, nullptr) << full << " in " << len;
                EXPECT_EQ(errno, ENOSPC);
            }
            for (size_t i = len; i < sizeof buf; ++i)
                ASSERT_EQ(buf[i], '#') << "wrote past " << len << " bytes";
        }
    }
}

TEST(Library, FailuresEndTheCallerWithOneLine)
{
    struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"open", "80x"}, "80x/tcp: unknown service"},
        {{"open", ""}, "/tcp: empty service"},
        {{"open", "0"}, "0/tcp: port out of range 1-65535"},
        {{"open", "70000"}, "70000/tcp: port out of range 1-65535"},
        {{"open", "nosuchservice"}, "nosuchservice/tcp: unknown service"},
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
