// UDP greeting servers and clients, both families, over a private loopback.
#include "greetnet.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using gn::Fam;
using namespace std::string_literals;

// recvone: the next datagram on sd within timeoutms, with its sender's port.
std::optional<std::string> recvone(int sd, int timeoutms, int *fromport = nullptr,
                                   sockaddr_storage *from = nullptr, socklen_t *fromlen = nullptr)
{
    if (!gn::readable(sd, timeoutms))
        return std::nullopt;
    char buf[65536];
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ssize_t n = recvfrom(sd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&ss), &len);
    if (n < 0)
        return std::nullopt;
    if (fromport != nullptr)
        *fromport = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port)
                                             : ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    if (from != nullptr) {
        *from = ss;
        *fromlen = len;
    }
    return std::string(buf, size_t(n));
}

class DgramGreet : public gn::GreetCase {
protected:
    DgramGreet() : GreetCase("udp", "dgramgreet", "data") {}

    // serve: our own server on 5678 for the real client: records its request,
    // lets a stranger write to the client first when asked, then sends
    // replies; what the client printed and its status.
    tp::Result serve(const std::vector<std::string> &replies, bool stranger = false)
    {
        tp::Result r;
        int ss = gn::localsock(fam(), SOCK_DGRAM, gn::port);
        EXPECT_GE(ss, 0) << std::strerror(errno);
        if (ss < 0)
            return r;
        tp::Proc cli = tp::spawn({tp::bin(client())});
        sockaddr_storage from;
        socklen_t fromlen = 0;
        auto req = recvone(ss, 5000, nullptr, &from, &fromlen);
        EXPECT_EQ(req, "Hey are you there?\n"s) << "the request on the wire";
        if (stranger) {
            int other = gn::localsock(fam(), SOCK_DGRAM, 0);
            sendto(other, "stranger\n", 9, 0, reinterpret_cast<sockaddr *>(&from), fromlen);
            close(other);
            usleep(100000);
        }
        for (auto &rep : replies)
            sendto(ss, rep.data(), rep.size(), 0, reinterpret_cast<sockaddr *>(&from), fromlen);
        EXPECT_FALSE(recvone(ss, 300).has_value()) << "a second request";
        close(ss);
        return finish(cli);
    }
};

TEST_P(DgramGreet, PairExchangesTheGreetingAndLogsIt)
{
    checkpair();
}

TEST_P(DgramGreet, ServerAnswersNcWithExactlyTheGreeting)
{
    ASSERT_TRUE(tp::have("nc"));
    tp::Proc srv = gn::startserver(server(), "udp");
    ASSERT_TRUE(tp::running(srv));
    tp::Result r = tp::run({"nc", "-u", "-w1", fam().host, "5678"}, "Hey are you there?\n");
    EXPECT_EQ(r.out, gn::greeting);
}

TEST_P(DgramGreet, AnyDatagramGetsOneGreetingAtItsSource)
{
    tp::Proc srv = gn::startserver(server(), "udp");
    ASSERT_TRUE(tp::running(srv));
    int want = tp::freeport();
    int s = gn::localsock(fam(), SOCK_DGRAM, want);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(gn::connectto(s, fam().host, gn::port));
    // Empty, one byte, the client's request, and a long one: one reply each,
    // one line each, in order; a long request never brings a second reply.
    for (const std::string &req : {""s, "x"s, "Hey are you there?\n"s, std::string(1400, 'y')}) {
        ASSERT_EQ(send(s, req.data(), req.size(), 0), ssize_t(req.size()));
        EXPECT_EQ(recvone(s, 2000), gn::greeting) << "request of " << req.size() << " bytes";
        EXPECT_EQ(tp::readline(srv, 2000), line(want));
    }
    EXPECT_FALSE(recvone(s, 300).has_value()) << "a reply too many";
    close(s);
    EXPECT_TRUE(tp::running(srv));
}

TEST_P(DgramGreet, BusyPortIsRefusedWithTheReason)
{
    checkbusy();
}

TEST_P(DgramGreet, ClientSendsTheRequestAndPrintsTheReply)
{
    tp::Result r = serve({gn::greeting});
    EXPECT_EQ(tp::exitcode(r.status), 0);
    EXPECT_EQ(r.out, gn::greeting);
    EXPECT_EQ(r.err, "");
}

TEST_P(DgramGreet, ClientPrintsOnlyTheFirst128BytesOfTheFirstReply)
{
    std::string longer;
    for (int i = 0; longer.size() < 300; ++i)
        longer += char('a' + i % 26);
    tp::Result r = serve({longer, "second\n"});
    EXPECT_EQ(tp::exitcode(r.status), 0);
    EXPECT_EQ(r.out, longer.substr(0, 128));
}

TEST_P(DgramGreet, ClientStopsAtANulAndPrintsNothingForAnEmptyReply)
{
    tp::Result r = serve({"ab\0cd\n"s});
    EXPECT_EQ(tp::exitcode(r.status), 0);
    EXPECT_EQ(r.out, "ab");
    r = serve({""});
    EXPECT_EQ(tp::exitcode(r.status), 0);
    EXPECT_EQ(r.out, "");
}

TEST_P(DgramGreet, ClientHearsOnlyItsServer)
{
    tp::Result r = serve({"from the server\n"}, true);
    EXPECT_EQ(tp::exitcode(r.status), 0);
    EXPECT_EQ(r.out, "from the server\n");
}

TEST_P(DgramGreet, ClientWithoutServerEndsQuietly)
{
    // Loopback reports the closed port at once, so the wait ends in an error.
    tp::Result r = tp::run({tp::bin(client())}, "", {}, 5000);
    EXPECT_EQ(tp::exitcode(r.status), 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(DgramGreetDualStack, IPv4SenderIsLoggedAndAnsweredInMappedForm)
{
    tp::Proc srv;
    gn::mappedserver("dgramgreetsrv6", "udp", srv);
    if (IsSkipped() || HasFailure())
        return;
    int s = gn::localsock(gn::v4, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(gn::connectto(s, "127.0.0.1", gn::port));
    ASSERT_EQ(send(s, "?", 1, 0), 1);
    EXPECT_EQ(recvone(s, 2000), gn::greeting);
    EXPECT_EQ(tp::readline(srv, 2000), gn::peerline("data", "::ffff:127.0.0.1", gn::boundport(s), true));
    close(s);
}

INSTANTIATE_TEST_SUITE_P(Families, DgramGreet, testing::Values(gn::v4, gn::v6),
                         [](const testing::TestParamInfo<Fam> &i) { return std::string(i.param.name); });

} // namespace
