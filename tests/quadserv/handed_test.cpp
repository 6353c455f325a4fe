// handed_test - quadserv handed its sockets as systemd hands them over, and
// telling it when it serves.
#include "quadcheck.h"

#include <unistd.h>

namespace {

// Handed TCP and UDP daytime and time by systemd's own launcher, one
// launcher a socket, quadserv serves those four alone, as it serves them
// on its own, and opens nothing on 7 or 19. The launchers start it at the
// first connection.
TEST(Handed, QuadservServesTheServicesHandedAlone)
{
    if (!tp::have("systemd-socket-activate"))
        GTEST_SKIP() << "systemd-socket-activate is not installed";
    tp::isolate();
    int base = tp::pickbase(tp::quadoffsets);
    std::vector<std::string> argv;
    for (bool udp : {false, true})
        for (tp::svc s : {tp::daytime, tp::timesvc}) {
            // It hands on only the variables it is told to.
            argv.insert(argv.end(), {"systemd-socket-activate", "--setenv=NOTIFY_SOCKET"});
            if (udp)
                argv.push_back("--datagram");
            argv.push_back("--listen=" + std::to_string(base + tp::svcoff(s)));
        }
    argv.insert(argv.end(), {tp::bin("quadserv"), std::to_string(base)});
    tp::SpawnOpts opts;
    tp::Fd notify(tp::notifysocket(opts, "@quadready" + std::to_string(getpid())));
    tp::Proc p = tp::serve(argv, base + tp::svcoff(tp::daytime), "tcp", opts);
    for (tp::svc s : {tp::daytime, tp::timesvc}) {
        EXPECT_EQ(tp::tcpcheck(s, base + tp::svcoff(s)), "") << tp::svcname(s);
        EXPECT_EQ(tp::udpcheck(s, base + tp::svcoff(s)), "") << tp::svcname(s);
    }
    EXPECT_EQ(tp::recvone(notify, 10000), "READY=1");
    for (tp::svc s : {tp::echo, tp::chargen})
        for (const char *proto : {"tcp", "udp"})
            EXPECT_FALSE(tp::bound(base + tp::svcoff(s), proto)) << proto << "/" << tp::svcname(s);
}

// A handed socket that no service takes ends quadserv with a message and
// status 1, before it tells the manager that it serves.
TEST(Handed, SocketOfNoServiceEndsQuadserv)
{
    tp::isolate();
    int base = tp::pickbase({7, 13, 19, 37, 80});
    tp::Fd daytime(tp::holder("127.0.0.1", base + 13, "tcp")), www(tp::holder("::", base + 80, "udp"));
    tp::SpawnOpts opts;
    opts.handed = {daytime, www};
    tp::Fd notify(tp::notifysocket(opts, "@quadfail" + std::to_string(getpid())));
    auto r = tp::run({tp::bin("quadserv"), std::to_string(base)}, "", opts);
    EXPECT_EQ(tp::outcome(r), tp::outcome(1, "", "quadserv: " + std::to_string(base + 80) +
                                                     "/udp: handed over, but no service here takes it\n\n"));
    EXPECT_EQ(tp::recvone(notify, 0), std::nullopt);
}

} // namespace
