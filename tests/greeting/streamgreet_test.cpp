// TCP greeting servers and clients over a private loopback: what depends on
// the family for both, the rest once.
#include "greetnet.h"
#include "hostile.h"

#include <unistd.h>

namespace {

class StreamGreet : public gn::GreetCase {};
// The twins are one source built for each family: what does not depend on
// the family is tried once, on IPv4.
class StreamGreetOnce : public gn::GreetCase {};

// The line names each client's real source port; the IPv6 server, where
// the host lets it take IPv4 clients, names those in mapped form.
TEST_P(StreamGreet, LogsTheClientsRealSourcePort)
{
    tp::Proc srv = gn::start(server(), "tcp");
    ASSERT_TRUE(tp::running(srv));
    for (int i = 0; i < 3; ++i) {
        int want = tp::freeport();
        tp::Fd s(tp::connectfrom(fam().host, want, fam().host, gn::port));
        ASSERT_GE(s, 0) << std::strerror(errno);
        EXPECT_EQ(tp::readall(s), gn::greeting);
        // The line is printed before the greeting is sent: it is there now.
        EXPECT_EQ(tp::readline(srv, 2000), line(want));
    }
    if (fam().family == AF_INET6 && gn::v4mapped()) {
        tp::Reply r = tp::ask("127.0.0.1", gn::port);
        EXPECT_EQ(r.data, gn::greeting);
        EXPECT_EQ(tp::readline(srv, 2000), line(r.localport, "[::ffff:127.0.0.1]"));
    }
}

// A client that sends still gets the greeting and a clean end; clients that
// misbehave do not stop the server.
TEST_P(StreamGreetOnce, ClientThatSendsGetsTheGreetingAndACleanEndHostileOnesDoNotStopIt)
{
    tp::Proc srv = gn::start(server(), "tcp");
    ASSERT_TRUE(tp::running(srv));
    // Small and large requests: the large one fills the server's receive
    // buffer, which a plain close would answer with a reset.
    for (size_t size : {20UL, 300000UL}) {
        tp::Fd s(tp::tcpconnect(fam().host, gn::port));
        ASSERT_GE(s, 0);
        std::string junk(size, 'x');
        send(s, junk.data(), std::min<size_t>(size, 65536), MSG_NOSIGNAL);
        ASSERT_TRUE(tp::readable(s, 5000)); // greeted: the server closes while data is unread
        if (size > 65536) {
            ASSERT_TRUE(tp::sendall(s, junk.substr(65536)));
        }
        shutdown(s, SHUT_WR);
        tp::Reply st = tp::readtoend(s);
        EXPECT_EQ(st.data, gn::greeting);
        EXPECT_TRUE(st.cleanend) << "ended by: " << std::strerror(st.error);
    }
    // A client that holds its connection keeps the server waiting for it a
    // while, so the resetting ones are reset while still queued.
    int slow = tp::tcpconnect(fam().host, gn::port);
    ASSERT_GE(slow, 0);
    for (int i = 0; i < 9; ++i) { // all fit in the listen queue
        int s = tp::tcpconnect(fam().host, gn::port);
        ASSERT_GE(s, 0);
        if (i % 3 == 1)
            send(s, "x", 1, MSG_NOSIGNAL);
        // A reset after our end of stream makes the server's send fail with
        // a broken pipe, which would raise SIGPIPE.
        if (i % 3 == 2) {
            shutdown(s, SHUT_WR);
            usleep(20000);
        }
        tp::resetclose(s);
    }
    close(slow);
    // And one that resets after reading the greeting, while the server drains.
    int s = tp::tcpconnect(fam().host, gn::port);
    ASSERT_GE(s, 0) << (tp::running(srv) ? "cannot connect" : "the server ended on a reset connection (SIGPIPE?)");
    EXPECT_EQ(tp::recvn(s, 13), gn::greeting);
    tp::resetclose(s);
    tp::Result r = tp::run({tp::bin(client())});
    EXPECT_EQ(r.out, gn::greeting);
    ASSERT_TRUE(tp::running(srv)) << "the server ended on a reset connection";

    // The common round. Iterative, and it waits a moment for each client to
    // close, so a few silent clients delay the next one but must not stop it.
    // Its log is read away meanwhile, or it would fill and stall the server.
    std::string host = fam().host;
    tp::Drain drain(srv);
    tp::tcpfaults({.name = server(), .host = host, .port = gn::port,
                   .check = [host] {
                       return tp::tcpask(host, gn::port) == gn::greeting ? "" : "greeting wrong or missing";
                   },
                   .halfreq = "anything",
                   .halfok = [](const std::string &got) { return got == gn::greeting; },
                   .silentn = 3},
                  srv);
}

// Out of descriptors, the server rests between tries instead of failing
// accept in a busy loop, and greets the waiting client once it has some.
TEST_P(StreamGreetOnce, DescriptorShortageRestsInsteadOfSpinning)
{
    tp::SpawnOpts opts;
    opts.pty = true;
    // The standard streams and the listener: nothing to spare for accept.
    opts.prefix = tp::fdlimit(4);
    if (opts.prefix.empty())
        GTEST_SKIP() << "prlimit (util-linux) is missing";
    tp::Proc srv = tp::serve({tp::bin(server())}, gn::port, "tcp", opts);
    ASSERT_TRUE(tp::running(srv));
    tp::Fd waiting(tp::tcpconnect(fam().host, gn::port));
    ASSERT_GE(waiting, 0);
    long t0 = tp::procinfo(srv.pid).cputicks;
    usleep(2000000);
    EXPECT_LE(tp::procinfo(srv.pid).cputicks - t0, 20) << "clock ticks of CPU in 2 s: the server spins";
    ASSERT_TRUE(tp::fdraise(srv.pid)) << std::strerror(errno);
    EXPECT_EQ(tp::readall(waiting, 5000), gn::greeting) << "the waiting client was not greeted";
}

// The client prints what comes as it comes: pieces in order, a reply longer
// than one receive whole, and each piece only up to a NUL in it; and it
// waits on an open connection that brings nothing.
TEST_P(StreamGreetOnce, ClientPrintsWhatComesAsItComes)
{
    using namespace std::string_literals;
    std::string longer;
    for (int i = 0; longer.size() < 1000; ++i)
        longer += "line " + std::to_string(i) + " of a reply longer than one receive\n";
    struct Case {
        std::vector<std::string> pieces;
        std::string want;
    };
    const Case cases[] = {
        {{"Hel", "lo Wor", "ld!\n"}, gn::greeting},
        {{longer, longer.substr(0, 129)}, longer + longer.substr(0, 129)},
        {{"abc\0xyz"s, "def\n"s}, "abcdef\n"},
        {{""}, ""},
    };
    // Our own server on 5678 sends the pieces with pauses between them (an
    // empty piece: a long one), the client having read each before the next.
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want.substr(0, 20));
        tp::Result r = serveclient(SOCK_STREAM, [&](int ls, tp::Proc &cli) {
            tp::Fd s(tp::readable(ls, 5000) ? accept4(ls, nullptr, nullptr, SOCK_CLOEXEC) : -1);
            EXPECT_GE(s, 0) << "the client did not connect";
            int cport = tp::peerport(s);
            auto unread = [cport] {
                for (const tp::NetSock &n : tp::netsockets("tcp"))
                    if (n.port == cport && n.peer == gn::port)
                        return n.unread;
                return 0L;
            };
            for (auto &p : c.pieces) {
                if (p.empty()) { // a pause with nothing sent: the client waits on
                    usleep(300000);
                    EXPECT_TRUE(tp::running(cli)) << "the client gave up on an open connection";
                }
                send(s, p.data(), p.size(), MSG_NOSIGNAL);
                for (long end = monotonicms() + 5000; unread() > 0 && monotonicms() < end;)
                    usleep(1000);
            }
            EXPECT_FALSE(tp::readable(s, 0)) << "the client sent something";
        });
        EXPECT_EQ(tp::outcome(r), tp::outcome(0, c.want, ""));
    }
}

INSTANTIATE_TEST_SUITE_P(, StreamGreet, testing::Values(gn::Case{gn::tcp, gn::v4}, gn::Case{gn::tcp, gn::v6}),
                         gn::casename);
INSTANTIATE_TEST_SUITE_P(, StreamGreetOnce, testing::Values(gn::Case{gn::tcp, gn::v4}), gn::casename);

} // namespace
