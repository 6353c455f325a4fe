// services_test - quadserv's eight services, byte for byte, and real clients.
#include "qsutil.h"
#include "testproc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <thread>

namespace {

using namespace std::string_literals;

// The server runs under a zone of its own, 9:30 east of UTC without summer
// time, so a reply in UTC or in the test's zone shows.
constexpr long zoneoffset = 9 * 3600 + 30 * 60;
const std::string zone = "TZ=QST-09:30";

class QuadServ : public ::testing::Test {
protected:
    qs::Server srv;
    void SetUp() override
    {
        std::string why;
        tp::SpawnOpts opts;
        opts.env = {zone};
        srv = qs::start(opts, &why);
        ASSERT_GT(srv.proc.pid, 0) << why;
    }
    int port(int off) const { return srv.port(off); }
};

// chargenfault: where data (whole lines from the start of a stream) breaks
// the 74-byte line form or the endless 95-character cycle; empty if nowhere.
std::string chargenfault(const std::string &data)
{
    size_t k = 0; // index into the character cycle
    for (size_t line = 0; line * 74 < data.size(); ++line) {
        std::string l = data.substr(line * 74, 74);
        if (l.size() != 74 || l.substr(72) != "\r\n")
            return "line " + std::to_string(line) + " is not 72 characters and CR LF";
        for (size_t i = 0; i < 72; ++i, ++k)
            if (l[i] != char(' ' + k % 95))
                return "line " + std::to_string(line) + " column " + std::to_string(i) +
                       " breaks the cycle";
    }
    return "";
}

std::string firstline()
{
    std::string l;
    for (char c = ' '; c <= 'g'; ++c)
        l += c;
    return l + "\r\n";
}

// daymatches: whether reply is the zone's daytime text for a second in [t0, t1].
bool daymatches(const std::string &reply, time_t t0, time_t t1)
{
    for (time_t t = t0; t <= t1; ++t)
        if (reply == qs::dayat(t, zoneoffset))
            return true;
    return false;
}

// timematches: whether reply is the 4-byte RFC 868 value of a second in [t0, t1].
bool timematches(const std::string &reply, time_t t0, time_t t1)
{
    if (reply.size() != 4)
        return false;
    uint32_t v;
    std::memcpy(&v, reply.data(), 4);
    v = ntohl(v);
    for (time_t t = t0; t <= t1; ++t)
        if (v == uint32_t(uint64_t(t) + qs::unix1900))
            return true;
    return false;
}

TEST_F(QuadServ, TcpEchoReturnsEveryByte)
{
    EXPECT_EQ(tp::tcpask("127.0.0.1", port(qs::echo), "abc"), "abc");
    EXPECT_EQ(tp::tcpask("127.0.0.1", port(qs::echo), "a\0b\r\n\xff"s), "a\0b\r\n\xff"s);
    EXPECT_EQ(tp::tcpask("127.0.0.1", port(qs::echo), ""), "");

    // A megabyte in flight both ways: short writes must be completed and the
    // connection must block, not fail, while the client is slow to read.
    std::string big(1 << 20, '\0');
    std::mt19937 gen(42);
    for (auto &c : big)
        c = char(gen());
    int s = tp::tcpconnect("127.0.0.1", port(qs::echo), 20000);
    ASSERT_GE(s, 0);
    std::thread sender([&] {
        usleep(200000); // let the server fill its send buffer first
        tp::sendall(s, big);
        shutdown(s, SHUT_WR);
    });
    usleep(400000);
    auto got = qs::readtoend(s, 20000);
    sender.join();
    close(s);
    EXPECT_EQ(got.error, 0) << strerror(got.error);
    ASSERT_EQ(got.data.size(), big.size());
    EXPECT_TRUE(got.data == big);
}

TEST_F(QuadServ, UdpEchoReturnsTheDatagram)
{
    EXPECT_EQ(tp::udpask("127.0.0.1", port(qs::echo), "a\0b"s), "a\0b"s);
    EXPECT_EQ(tp::udpask("127.0.0.1", port(qs::echo), ""), "");
    std::string big(5000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char('a' + i % 26);
    EXPECT_EQ(tp::udpask("127.0.0.1", port(qs::echo), big), big.substr(0, 4096));
    EXPECT_EQ(tp::udpask("127.0.0.1", port(qs::echo), big.substr(0, 4096)), big.substr(0, 4096));
}

TEST_F(QuadServ, TcpChargenLinesContinueAndWrap)
{
    int s = tp::tcpconnect("127.0.0.1", port(qs::chargen));
    ASSERT_GE(s, 0);
    // 200 lines: past two full turns of the cycle (95 lines each).
    std::string data = tp::recvn(s, 200 * 74);
    tp::resetclose(s);
    ASSERT_EQ(data.size(), 200u * 74);
    EXPECT_EQ(data.substr(0, 74), firstline());
    EXPECT_EQ(data[74], 'h');
    size_t tilde = data.find('~');
    ASSERT_NE(tilde, std::string::npos);
    EXPECT_EQ(data[tilde + 1], ' ');
    EXPECT_EQ(chargenfault(data), "");
    // The child ends with the connection.
    EXPECT_TRUE(tp::waitchildren(srv.proc.pid, 0));
}

TEST_F(QuadServ, UdpChargenSendsTheFirstLineEachTime)
{
    EXPECT_EQ(tp::udpask("127.0.0.1", port(qs::chargen), "x"), firstline());
    EXPECT_EQ(tp::udpask("127.0.0.1", port(qs::chargen), ""), firstline());
    EXPECT_EQ(tp::udpask("127.0.0.1", port(qs::chargen), std::string(5000, 'y')), firstline());
    // The server goes on to other sockets.
    EXPECT_EQ(tp::udpask("127.0.0.1", port(qs::echo), "after"), "after");
}

// Daytime is the server's local time as asctime writes it, time the seconds
// since 1900; over TCP, and for any UDP request: empty, short or oversized.
TEST_F(QuadServ, DaytimeAndTimeTellTheTime)
{
    struct {
        int off;
        bool (*matches)(const std::string &, time_t, time_t);
    } services[] = {{qs::daytime, daymatches}, {qs::timep, timematches}};
    for (auto svc : services) {
        time_t t0 = time(nullptr);
        std::optional<std::string> replies[] = {
            tp::tcpask("127.0.0.1", port(svc.off)),
            tp::udpask("127.0.0.1", port(svc.off), ""),
            tp::udpask("127.0.0.1", port(svc.off), "what time"),
            tp::udpask("127.0.0.1", port(svc.off), std::string(300, 'z')),
        };
        time_t t1 = time(nullptr);
        for (const auto &r : replies) {
            ASSERT_TRUE(r) << "port +" << svc.off << ": no reply";
            EXPECT_TRUE(svc.matches(*r, t0, t1))
                << "port +" << svc.off << " said '" << *r << "', local time is "
                << qs::dayat(t0, zoneoffset);
        }
    }
}

// A client that talks first and reads late must still get the whole reply
// and a clean end, not "Connection reset by peer".
TEST_F(QuadServ, OneShotReplyReachesClientThatSentData)
{
    for (int off : {qs::daytime, qs::timep}) {
        int s = tp::tcpconnect("127.0.0.1", port(off));
        ASSERT_GE(s, 0);
        ASSERT_TRUE(tp::sendall(s, std::string(1000, 'q')));
        usleep(300000); // the reply is sent and the handler is done by now
        ASSERT_TRUE(tp::sendall(s, "more"));
        auto got = qs::readtoend(s);
        close(s);
        EXPECT_EQ(got.error, 0) << "port +" << off << ": " << strerror(got.error);
        EXPECT_EQ(got.data.size(), off == qs::daytime ? 25u : 4u) << "port +" << off;
    }
}

TEST_F(QuadServ, RdateReadsTheTimeOverTcpAndUdp)
{
    if (!tp::have("rdate"))
        GTEST_SKIP() << "rdate is not installed (scripts/setup.sh installs it)";
    std::string p = std::to_string(port(qs::timep));
    tp::SpawnOpts utc;
    utc.env = {"TZ=UTC"};
    for (const char *udp : {"", "-u"}) {
        std::vector<std::string> argv = {"rdate", "-p", "-o", p};
        if (*udp != '\0')
            argv.push_back(udp);
        argv.push_back("127.0.0.1");
        time_t t0 = time(nullptr);
        auto r = tp::run(argv, "", utc);
        time_t t1 = time(nullptr);
        ASSERT_EQ(tp::exitcode(r.status), 0) << udp << " " << r.err;
        bool found = false;
        for (time_t t = t0; t <= t1 && !found; ++t) {
            tm tmv;
            gmtime_r(&t, &tmv);
            char want[64];
            strftime(want, sizeof want, "%a %b %e %H:%M:%S", &tmv);
            found = r.out.find(want) != std::string::npos;
        }
        EXPECT_TRUE(found) << "rdate " << udp << " printed: " << r.out;
    }
}

TEST_F(QuadServ, SocatAndNcTalkToEchoDaytimeAndChargen)
{
    if (!tp::have("socat") || !tp::have("nc"))
        GTEST_SKIP() << "socat or nc is not installed (scripts/setup.sh installs them)";
    std::string host = "127.0.0.1:";
    auto r = tp::run({"socat", "-", "TCP:" + host + std::to_string(port(qs::echo))},
                     "hello\nworld\n");
    EXPECT_EQ(r.out, "hello\nworld\n") << r.err;
    r = tp::run({"socat", "-t", "1", "-", "UDP:" + host + std::to_string(port(qs::echo))},
                "datagram");
    EXPECT_EQ(r.out, "datagram") << r.err;

    time_t t0 = time(nullptr);
    r = tp::run({"nc", "-N", "127.0.0.1", std::to_string(port(qs::daytime))});
    time_t t1 = time(nullptr);
    EXPECT_TRUE(daymatches(r.out, t0, t1)) << r.out << r.err;

    r = tp::run({"sh", "-c",
                 "socat -u TCP:" + host + std::to_string(port(qs::chargen)) +
                     " - 2>/dev/null | head -c " + std::to_string(120 * 74)});
    ASSERT_EQ(r.out.size(), 120u * 74) << r.err;
    EXPECT_EQ(chargenfault(r.out), "");
}

// The sockets take IPv6 clients as well as IPv4 ones.
TEST_F(QuadServ, Ipv6ClientsAreServed)
{
    EXPECT_EQ(tp::tcpask("::1", port(qs::echo), "six"), "six");
    auto day = tp::tcpask("::1", port(qs::daytime));
    ASSERT_TRUE(day);
    EXPECT_EQ(day->size(), 25u);
    EXPECT_EQ(tp::udpask("::1", port(qs::echo), "udp six"), "udp six");
    EXPECT_EQ(tp::udpask("::1", port(qs::chargen), ""), firstline());
    auto tm = tp::udpask("::1", port(qs::timep), "");
    ASSERT_TRUE(tm);
    EXPECT_EQ(tm->size(), 4u);
    EXPECT_EQ(qs::allanswer("::1", srv.base), "");
    if (tp::have("rdate")) {
        auto r = tp::run({"rdate", "-p", "-6", "-o", std::to_string(port(qs::timep)), "::1"});
        EXPECT_EQ(tp::exitcode(r.status), 0) << r.err;
    }
}

} // namespace
