// services_test - quadserv's eight services, byte for byte, and real clients.
#include "quadcheck.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>

namespace {

using namespace std::string_literals;
using tp::chargen, tp::daytime, tp::echo, tp::timesvc;

// The server runs under a zone of its own, 9:30 east of UTC without summer
// time, so a reply in UTC or in the test's zone shows.
constexpr long zoneoffset = 9 * 3600 + 30 * 60;
const std::string zone = "TZ=QST-09:30";

class QuadServ : public tp::QuadTest {
protected:
    QuadServ() { startopts.spawn.env = {zone}; }
};

// dayat: asctime's text for Unix time t shifted by offset seconds.
std::string dayat(time_t t, long offset)
{
    time_t shifted = t + offset;
    tm tmv;
    char buf[64];
    return asctime_r(gmtime_r(&shifted, &tmv), buf);
}

// told: whether reply is service id's answer (the zone's daytime text, or
// the 4-byte RFC 868 value) for a second in [t0, t1].
bool told(tp::svc id, const std::string &reply, time_t t0, time_t t1)
{
    for (time_t t = t0; t <= t1; ++t)
        if (reply == (id == daytime ? dayat(t, zoneoffset) : tp::timeat(t)))
            return true;
    return false;
}

// chargenfault: where data (whole lines from the start of a stream) breaks
// the 74-byte line form or the endless 95-character cycle; "" if nowhere.
std::string chargenfault(const std::string &data)
{
    std::string want = tp::chargenbytes(data.size());
    size_t at = size_t(std::ranges::mismatch(data, want).in1 - data.begin());
    return at == data.size() ? "" : "line " + std::to_string(at / 74) + " column " +
                                        std::to_string(at % 74) + " breaks the chargen stream";
}

// Writes of a few bytes at a time, as a full send buffer allows: echo and
// chargen complete them, chargen's lines two turns of the cycle; the child
// ends with its connection.
class QuadServShortWrites : public QuadServ {
protected:
    QuadServShortWrites() { startopts.spawn.env = tp::faults("FAULTSHIM_WRITECAP=3"); }
};

TEST_F(QuadServShortWrites, EchoAndChargenCompleteShortWrites)
{
    std::string block = tp::chargenbytes(20000);
    std::string got = tp::tcpask("127.0.0.1", q.port(echo), block, 20000).value_or("");
    EXPECT_TRUE(got == block) << got.size() << " bytes back";
    tp::Fd s(tp::tcpconnect("127.0.0.1", q.port(chargen)), true);
    std::string lines = tp::recvn(s, 200 * 74);
    EXPECT_EQ(lines.size(), 200u * 74);
    EXPECT_EQ(chargenfault(lines), "");
    s = tp::Fd();
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 0));
}

// Echo returns every byte. Daytime is the server's local time as asctime
// writes it, time the seconds since 1900; over TCP, and for any UDP request:
// empty, short or oversized. A TCP client that talks first and reads late
// must still get the whole reply and a clean end, not "Connection reset by
// peer". IPv6 clients are served on every service as IPv4 ones are.
TEST_F(QuadServ, EchoDaytimeAndTimeAnswerAnyClient)
{
    for (const std::string &msg : {"abc"s, "a\0b\r\n\xff"s, ""s})
        EXPECT_EQ(tp::tcpask("127.0.0.1", q.port(echo), msg), msg);

    // A megabyte in flight both ways: the connection must block, not fail,
    // while the client is slow to read.
    std::string big(1 << 20, '\0');
    std::ranges::generate(big, [gen = std::mt19937(42)]() mutable { return char(gen()); });
    tp::Fd e(tp::tcpconnect("127.0.0.1", q.port(echo), 20000));
    ASSERT_GE(e, 0);
    std::thread sender([&] {
        usleep(200000); // let the server fill its send buffer first
        tp::sendall(e, big);
        shutdown(e, SHUT_WR);
    });
    usleep(400000);
    auto got = tp::readtoend(e, 20000);
    sender.join();
    EXPECT_EQ(got.error, 0) << "echo: " << strerror(got.error);
    EXPECT_TRUE(got.data == big) << "echo: " << got.data.size() << " of a megabyte back";

    for (tp::svc id : {daytime, timesvc}) {
        time_t t0 = time(nullptr);
        tp::Fd s(tp::tcpconnect("127.0.0.1", q.port(id)));
        ASSERT_GE(s, 0);
        ASSERT_TRUE(tp::sendall(s, std::string(1000, 'q')));
        ASSERT_TRUE(tp::readable(s, 5000)); // the reply is here: the handler is done
        ASSERT_TRUE(tp::sendall(s, "more"));
        tp::Reply talker = tp::readtoend(s);
        EXPECT_EQ(talker.error, 0) << tp::svcname(id) << ": " << strerror(talker.error);
        std::optional<std::string> replies[] = {
            talker.data,
            tp::tcpask("127.0.0.1", q.port(id)),
            tp::udpask("127.0.0.1", q.port(id), ""),
            tp::udpask("127.0.0.1", q.port(id), "what time"),
            tp::udpask("127.0.0.1", q.port(id), std::string(300, 'z')),
        };
        time_t t1 = time(nullptr);
        for (const auto &r : replies) {
            ASSERT_TRUE(r) << tp::svcname(id) << ": no reply";
            EXPECT_TRUE(told(id, *r, t0, t1))
                << tp::svcname(id) << " said '" << *r << "', local time is "
                << dayat(t0, zoneoffset);
        }
    }
    EXPECT_EQ(tp::allanswer(q, "::1"), "") << "IPv6 clients";
}

// rdate over TCP, UDP and IPv6; it prints the time in UTC.
TEST_F(QuadServ, RdateReadsTheTimeOverTcpAndUdp)
{
    if (!tp::have("rdate"))
        GTEST_SKIP() << "rdate is not installed (scripts/setup.sh installs it)";
    tp::SpawnOpts utc;
    utc.env = {"TZ=UTC"};
    for (auto [how, host] : {std::pair{"-4", "127.0.0.1"}, std::pair{"-u", "127.0.0.1"},
                              std::pair{"-6", "::1"}}) {
        time_t t0 = time(nullptr);
        auto r = tp::run({"rdate", "-p", "-o", std::to_string(q.port(timesvc)), how, host}, "", utc);
        time_t t1 = time(nullptr);
        ASSERT_EQ(tp::exitcode(r.status), 0) << how << " " << r.err;
        bool found = false;
        for (time_t t = t0; t <= t1 && !found; ++t) // asctime's text without the year
            found = r.out.find(dayat(t, 0).substr(0, 19)) != std::string::npos;
        EXPECT_TRUE(found) << "rdate " << how << " printed: " << r.out;
    }
}

TEST_F(QuadServ, SocatAndNcTalkToEchoDaytimeAndChargen)
{
    if (!tp::have("socat") || !tp::have("nc"))
        GTEST_SKIP() << "socat or nc is not installed (scripts/setup.sh installs them)";
    std::string host = "127.0.0.1:";
    auto r = tp::run({"socat", "-", "TCP:" + host + std::to_string(q.port(echo))},
                     "hello\nworld\n");
    EXPECT_EQ(r.out, "hello\nworld\n") << r.err;
    r = tp::run({"socat", "-t", "1", "-", "UDP:" + host + std::to_string(q.port(echo))},
                "datagram");
    EXPECT_EQ(r.out, "datagram") << r.err;

    time_t t0 = time(nullptr);
    r = tp::run({"nc", "-N", "127.0.0.1", std::to_string(q.port(daytime))});
    time_t t1 = time(nullptr);
    EXPECT_TRUE(told(daytime, r.out, t0, t1)) << r.out << r.err;

    r = tp::run({"sh", "-c",
                 "socat -u TCP:" + host + std::to_string(q.port(chargen)) +
                     " - 2>/dev/null | head -c " + std::to_string(120 * 74)});
    ASSERT_EQ(r.out.size(), 120u * 74) << r.err;
    EXPECT_EQ(chargenfault(r.out), "");
}

} // namespace
