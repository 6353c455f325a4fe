// hostile - misbehaving clients and the rounds that use them.
#include "hostile.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>

namespace tp {

namespace {

// queued: the connections in the listen queue on port, as /proc tells.
long queued(int port)
{
    for (const NetSock &s : netsockets("tcp"))
        if (s.port == port && s.listening)
            return s.unread;
    return 0;
}

// resetstorm: n connections, each aborted with a reset (half of them after
// sending junk), each once the listen queue has room (a full one costs a
// retry a second later: no longer wait); connections it refuses are skipped.
void resetstorm(const std::string &host, int port, int n)
{
    for (int i = 0; i < n; ++i) {
        for (long end = monotonicms() + 1000; queued(port) >= 4 && monotonicms() < end;)
            usleep(1000);
        int fd = tcpconnect(host, port, 2000);
        if (fd < 0)
            continue; // a full backlog may refuse some; the server must survive
        if (i % 2 == 1)
            (void)!send(fd, "GET /junk\r\n", 11, MSG_NOSIGNAL);
        resetclose(fd);
    }
}

// silent: n connections that send nothing and stay open while held.
std::vector<Fd> silent(const std::string &host, int port, int n)
{
    std::vector<Fd> fds;
    for (int i = 0; i < n; ++i)
        if (int fd = tcpconnect(host, port); fd >= 0)
            fds.emplace_back(fd, true);
    return fds;
}

} // namespace

void tcpfaults(const TcpTarget &t, Proc &p)
{
    SCOPED_TRACE(t.name);
    resetstorm(t.host, t.port, 100);
    EXPECT_TRUE(running(p)) << "ended by a reset storm";
    EXPECT_EQ(t.check(), "") << "after a reset storm";

    // Clients that send their request and leave without reading the reply.
    for (int i = 0; i < 30; ++i) {
        Fd fd(tcpconnect(t.host, t.port, 2000), true);
        if (fd >= 0)
            sendall(fd, t.halfreq.empty() ? "x" : t.halfreq);
    }
    EXPECT_TRUE(running(p)) << "ended by clients that left early";
    EXPECT_EQ(t.check(), "") << "after clients that left early";

    // A half-open client: its request, then its sending side shut.
    std::string half;
    if (Fd fd(tcpconnect(t.host, t.port), true); fd >= 0) {
        sendall(fd, t.halfreq);
        shutdown(fd, SHUT_WR);
        half = recvn(fd, t.halfcap, 10000);
    }
    EXPECT_TRUE(t.halfok(half)) << "half-open client got \"" << half << "\"";

    if (t.silentn > 0) {
        std::vector<Fd> quiet = silent(t.host, t.port, t.silentn);
        EXPECT_EQ(int(quiet.size()), t.silentn);
        EXPECT_EQ(t.check(), "") << "while " << t.silentn << " silent clients are connected";
    }
    EXPECT_TRUE(running(p)) << "ended by silent clients";
    EXPECT_EQ(t.check(), "") << "after the silent clients left";
}

void udpfaults(const UdpTarget &u, Proc &p)
{
    SCOPED_TRACE(u.name);
    // The largest datagram each family carries.
    size_t biggest = u.host == "::1" ? 65527 : 65507;
    std::mt19937 rng(12345);

    std::vector<std::string> reqs = {"", std::string(biggest, 'B'), std::string(4097, 'C'),
                                     std::string("\0\xff\0", 3)};
    for (int i = 0; i < 20; ++i) {
        std::string g(rng() % 1500, '\0');
        std::ranges::generate(g, [&rng] { return char(rng()); });
        reqs.push_back(g);
    }
    for (const auto &req : reqs) {
        auto got = udpask(u.host, u.port, req);
        ASSERT_TRUE(got.has_value()) << "no reply to a datagram of " << req.size() << " bytes";
        EXPECT_EQ(u.check(req, *got), "") << "datagram of " << req.size() << " bytes";
    }

    // A burst of garbage without waiting, each from a socket of its own as
    // from many clients: some may be dropped, none may harm.
    for (int i = 0; i < 500; ++i) {
        Fd s(udpsocket(u.host, u.port));
        std::string g(rng() % 6000, '\0');
        std::ranges::generate(g, [&rng] { return char(rng()); });
        (void)send(s, g.data(), g.size(), 0);
    }
    // Asked again while the burst still fills the server's queue, which
    // drops what comes meanwhile.
    std::optional<std::string> got;
    for (long end = monotonicms() + 10000; !got && monotonicms() < end;)
        got = udpask(u.host, u.port, "after", 500);
    EXPECT_TRUE(running(p)) << "ended by bad datagrams";
    ASSERT_TRUE(got.has_value()) << "no reply after the garbage";
    EXPECT_EQ(u.check("after", *got), "");
}

} // namespace tp
