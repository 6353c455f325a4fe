// UDP greeting servers and clients over a private loopback: what depends on
// the family for both, the rest once.
#include "greetnet.h"
#include "hostile.h"

namespace {

using namespace std::string_literals;

class DgramGreet : public gn::GreetCase {};
// What does not depend on the family, once, on IPv4.
class DgramGreetOnce : public gn::GreetCase {};

// The client prints the first reply only, at most 128 bytes of it, up to a
// NUL, nothing for an empty one, and hears nobody but its server.
TEST_P(DgramGreetOnce, ClientPrintsTheFirstReplyOfItsServer)
{
    std::string longer;
    for (int i = 0; longer.size() < 300; ++i)
        longer += char('a' + i % 26);
    struct Case {
        std::vector<std::string> replies;
        bool stranger; // someone else writes to the client first
        std::string want;
    };
    const Case cases[] = {
        {{gn::greeting}, false, gn::greeting},
        {{longer, "second\n"}, false, longer.substr(0, 128)},
        {{"ab\0cd\n"s}, false, "ab"},
        {{""}, false, ""},
        {{"from the server\n"}, true, "from the server\n"},
    };
    // Our own server on 5678 records the client's request, lets a stranger
    // write to the client first when asked, then sends the replies.
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want.substr(0, 20));
        tp::Result r = serveclient(SOCK_DGRAM, [&](int ss, tp::Proc &) {
            sockaddr_storage from{};
            EXPECT_EQ(tp::recvone(ss, 5000, &from), "Hey are you there?\n"s) << "the request on the wire";
            tp::Addr to = tp::addr(fam().host, tp::portof(from));
            if (c.stranger) {
                tp::Fd other(tp::localsock(fam().host, SOCK_DGRAM, 0));
                sendto(other, "stranger\n", 9, 0, to.sa(), to.len);
            }
            for (auto &rep : c.replies)
                sendto(ss, rep.data(), rep.size(), 0, to.sa(), to.len);
            EXPECT_FALSE(tp::recvone(ss, 300).has_value()) << "a second request";
        });
        EXPECT_EQ(tp::outcome(r), tp::outcome(0, c.want, ""));
    }
}

TEST_P(DgramGreet, AnyDatagramGetsOneGreetingAtItsSource)
{
    tp::Proc srv = gn::start(server(), "udp");
    ASSERT_TRUE(tp::running(srv));
    int want = tp::freeport();
    tp::Fd s(tp::localsock(fam().host, SOCK_DGRAM, want));
    ASSERT_GE(s, 0);
    tp::Addr to = tp::addr(fam().host, gn::port);
    ASSERT_EQ(connect(s, to.sa(), to.len), 0);
    // Empty, one byte, the client's request, and a long one: one reply each,
    // one line each, in order; a long request never brings a second reply.
    for (const std::string &req : {""s, "x"s, "Hey are you there?\n"s, std::string(1400, 'y')}) {
        ASSERT_EQ(send(s, req.data(), req.size(), 0), ssize_t(req.size()));
        EXPECT_EQ(tp::recvone(s, 2000), gn::greeting) << "request of " << req.size() << " bytes";
        EXPECT_EQ(tp::readline(srv, 2000), line(want));
    }
    EXPECT_FALSE(tp::recvone(s, 300).has_value()) << "a reply too many";

    // The IPv6 server, where the host lets it hear IPv4 senders, logs and
    // answers them at their mapped address.
    if (fam().family == AF_INET6 && gn::v4mapped()) {
        tp::Fd v4(tp::udpsocket("127.0.0.1", gn::port));
        ASSERT_EQ(send(v4, "?", 1, 0), 1);
        EXPECT_EQ(tp::recvone(v4, 2000), gn::greeting);
        EXPECT_EQ(tp::readline(srv, 2000), line(tp::localport(v4), "[::ffff:127.0.0.1]"));
    }

    // The common round of bad datagrams, its log read away as it goes; the
    // family plays no part in it.
    if (fam().family == AF_INET6)
        return;
    tp::Drain drain(srv);
    tp::udpfaults({.name = server(), .host = fam().host, .port = gn::port,
                   .check = [](const std::string &, const std::string &rep) -> std::string {
                       return rep == gn::greeting ? "" : "reply \"" + rep + "\"";
                   }},
                  srv);
}

INSTANTIATE_TEST_SUITE_P(, DgramGreet, testing::Values(gn::Case{gn::udp, gn::v4}, gn::Case{gn::udp, gn::v6}),
                         gn::casename);
INSTANTIATE_TEST_SUITE_P(, DgramGreetOnce, testing::Values(gn::Case{gn::udp, gn::v4}), gn::casename);

} // namespace
