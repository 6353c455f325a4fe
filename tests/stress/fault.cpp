// fault - hostile-client and bad-datagram rounds for the fault tests.
#include "fault.h"

#include <sys/socket.h>
#include <unistd.h>

#include <random>

namespace st {

void tcpfaults(const TcpTarget &t, const tp::Proc &p)
{
    SCOPED_TRACE(t.name);
    auto &proc = const_cast<tp::Proc &>(p);

    resetstorm(t.host, t.port, 100);
    EXPECT_TRUE(tp::running(proc)) << "ended by a reset storm";
    EXPECT_EQ(t.check(), "") << "after a reset storm";

    // Clients that send their request and leave without reading the reply.
    for (int i = 0; i < 30; ++i) {
        int fd = tp::tcpconnect(t.host, t.port, 2000);
        if (fd < 0)
            continue;
        Fd guard(fd);
        tp::sendall(fd, t.halfreq.empty() ? "x" : t.halfreq);
    }
    EXPECT_TRUE(tp::running(proc)) << "ended by clients that left early";
    EXPECT_EQ(t.check(), "") << "after clients that left early";

    std::string half = halfopen(t.host, t.port, t.halfreq, t.halfcap);
    EXPECT_TRUE(t.halfok(half)) << "half-open client got \"" << half << "\"";

    {
        std::vector<Fd> quiet = silent(t.host, t.port, t.silentn);
        EXPECT_EQ(int(quiet.size()), t.silentn);
        EXPECT_EQ(t.check(), "") << "while " << t.silentn << " silent clients are connected";
    }
    EXPECT_TRUE(tp::running(proc)) << "ended by silent clients";
    EXPECT_EQ(t.check(), "") << "after the silent clients left";
}

void udpfaults(const UdpTarget &u, const tp::Proc &p)
{
    SCOPED_TRACE(u.name);
    auto &proc = const_cast<tp::Proc &>(p);
    // The largest datagram each family carries.
    size_t biggest = u.host == "::1" ? 65527 : 65507;
    std::mt19937 rng(12345);

    std::vector<std::string> reqs = {"", std::string(biggest, 'B'), std::string(4097, 'C'),
                                     std::string("\0\xff\0", 3)};
    for (int i = 0; i < 20; ++i) {
        std::string g(rng() % 1500, '\0');
        for (char &c : g)
            c = char(rng());
        reqs.push_back(g);
    }
    for (const auto &req : reqs) {
        auto got = tp::udpask(u.host, u.port, req);
        ASSERT_TRUE(got.has_value()) << "no reply to a datagram of " << req.size() << " bytes";
        EXPECT_EQ(u.check(req, *got), "") << "datagram of " << req.size() << " bytes";
    }

    // A burst of garbage without waiting: some may be dropped, none may harm.
    {
        Fd s(tp::udpsocket(u.host, u.port));
        for (int i = 0; i < 500; ++i) {
            std::string g(rng() % 3000, '\0');
            for (char &c : g)
                c = char(rng());
            (void)send(s.fd, g.data(), g.size(), 0);
        }
    }
    usleep(200000);
    EXPECT_TRUE(tp::running(proc)) << "ended by bad datagrams";
    auto got = tp::udpask(u.host, u.port, "after");
    ASSERT_TRUE(got.has_value()) << "no reply after the garbage";
    EXPECT_EQ(u.check("after", *got), "");
}

std::string pagecheck(const std::string &host, int port, const std::string &label, bool exactbody)
{
    static const std::string head =
        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\n";
    auto got = ask(host, port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    if (!got)
        return "no connection";
    if (got->compare(0, head.size(), head) != 0)
        return "page head wrong: \"" + got->substr(0, 80) + "\"";
    std::string body = got->substr(head.size());
    if (exactbody ? body != label : body.compare(0, label.size(), label) != 0 || body.size() <= label.size())
        return "page body wrong: \"" + body + "\"";
    return "";
}

} // namespace st
