// greetpair_test - what every greeting pair does alike, TCP and UDP, both
// families: the real client and socat against the real server, a stop, the
// client with no server, and a busy port.
#include "greetnet.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>

namespace {

class GreetPair : public gn::GreetCase {};

// The real client and socat against the real server, the server's output
// going to a file; then a stop, which must keep its lines, and the client
// with no server. A stop ends it by the stop signal too when its trace has
// stalled or its reader has gone.
TEST_P(GreetPair, ExchangesTheGreetingLogsItAndKeepsTheTraceOnAStop)
{
    // Output to a file, as a user's redirection gives it: fully buffered
    // until the server writes it out when it is stopped.
    std::string file = testing::TempDir() + server() + std::to_string(getpid());
    tp::Proc srv = tp::serve({"sh", "-c", "exec \"$0\" >\"$1\"", tp::bin(server()), file}, gn::port,
                             proto());
    ASSERT_TRUE(tp::running(srv));
    // The real client three times, then an independent one, socat, with a
    // request, and over TCP without one too: each gets exactly the greeting.
    bool tcp = std::string(proto()) == "tcp";
    std::string peer = std::string(tcp ? "TCP:" : "UDP:") + fam().bracket + ":5678";
    std::vector<std::vector<std::string>> clients(3, {tp::bin(client())});
    if (tp::have("socat")) {
        clients.push_back({"socat", "-t1", "-", peer});
        if (tcp)
            clients.push_back({"socat", "-u", peer, "-"});
    }
    for (const auto &argv : clients) {
        tp::Result r = tp::run(argv, argv.back() == peer ? "Hey are you there?\n" : "");
        EXPECT_EQ(tp::outcome(r), tp::outcome(0, gn::greeting, "")) << argv[0];
    }
    EXPECT_TRUE(tp::endedby(tp::stop(srv), SIGTERM));
    // The real client's port is not known beforehand: any decimal number.
    std::string head = line(0);
    head.pop_back();
    auto lines = tp::filelines(file);
    for (const std::string &got : lines) {
        bool digits = got.size() > head.size() && got.starts_with(head) &&
                      got.find_first_not_of("0123456789", head.size()) == std::string::npos;
        EXPECT_TRUE(digits) << got;
    }
    EXPECT_EQ(lines.size(), clients.size()) << "lines kept by the stopped server";
    std::filesystem::remove(file);
    // With no server, the client ends quietly: loopback reports the closed
    // port at once, so its wait ends in an error.
    EXPECT_EQ(tp::outcome(tp::run({tp::bin(client())}, "", {}, 5000)), tp::outcome(0, "", ""));

    // A stop ends it by the stop signal all the same when its trace has
    // stalled (a reader that stopped reading) or its reader has gone; the
    // IPv6 twin runs the same source.
    std::string host = fam().host;
    auto greeted = [&] {
        auto got = tcp ? tp::tcpask(host, gn::port, "", 1000) : tp::udpask(host, gn::port, "?", 1000);
        return got == std::optional<std::string>(gn::greeting);
    };
    for (bool gone : {false, true}) {
        if (fam().family == AF_INET6)
            break;
        SCOPED_TRACE(gone ? "reader gone" : "trace stalled");
        ASSERT_EQ(tp::fixedport(gn::port, proto()), ""); // a port free of the last one's connections
        srv = tp::serve({tp::bin(server())}, gn::port, proto());
        ASSERT_TRUE(tp::running(srv));
        if (gone) {
            close(srv.out);
            srv.out = -1;
        }
        EXPECT_TRUE(tp::endedby(tp::stopstalled(srv, greeted, gone ? 1 : 1000), SIGTERM));
    }
    if (!tp::have("socat"))
        GTEST_SKIP() << "all but socat's exchanges passed: socat is not installed (scripts/setup.sh installs it)";
}

TEST_P(GreetPair, BusyPortIsRefusedWithTheReason)
{
    tp::Result r = tp::runheld({tp::bin(server())}, fam().host, gn::port, proto());
    EXPECT_EQ(tp::outcome(r), tp::outcome(1, "", server() + ": bind() failed. : Address already in use\n\n"));
}

INSTANTIATE_TEST_SUITE_P(, GreetPair,
                         testing::Values(gn::Case{gn::tcp, gn::v4}, gn::Case{gn::tcp, gn::v6},
                                         gn::Case{gn::udp, gn::v4}, gn::Case{gn::udp, gn::v6}),
                         gn::casename);

} // namespace
