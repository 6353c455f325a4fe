// stdports_test - quadserv without a port base, on the well-known ports.
#include "qsutil.h"
#include "testproc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class StdPorts : public ::testing::Test {
protected:
    tp::Proc proc;
    // Starts quadserv with args; skips when the ports are not ours to take.
    void launch(const std::vector<std::string> &args)
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "ports below 1024 need root";
        for (int port : qs::offsets)
            if (tp::bound(port, "tcp") || tp::bound(port, "udp"))
                GTEST_SKIP() << "port " << port << " is held by another program on this host";
        proc = tp::spawn(args);
        ASSERT_TRUE(qs::ready(proc)) << tp::readfor(proc.err, 1000);
    }
};

TEST_F(StdPorts, WithoutArgumentServesTheWellKnownPorts)
{
    launch({tp::bin("quadserv")});
    if (IsSkipped())
        return;
    EXPECT_EQ(qs::allanswer("127.0.0.1", 0), "");
    EXPECT_EQ(qs::allanswer("::1", 0), "");
    if (tp::have("rdate")) { // on its own default port, no -o
        EXPECT_EQ(tp::exitcode(tp::run({"rdate", "-p", "127.0.0.1"}).status), 0);
        EXPECT_EQ(tp::exitcode(tp::run({"rdate", "-p", "-u", "127.0.0.1"}).status), 0);
    }
}

// A text that is no number is atoi's 0: the well-known ports again.
TEST_F(StdPorts, NonNumericArgumentIsBaseZero)
{
    launch({tp::bin("quadserv"), "abc"});
    if (IsSkipped())
        return;
    EXPECT_EQ(qs::allanswer("127.0.0.1", 0), "");
}

// Datagrams from sockets really bound to the standard service ports get no
// answer from any UDP service; an ordinary port does.
TEST(StdPortsLoopGuard, BoundStandardPortsAreNotAnswered)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "binding ports below 1024 needs root";
    std::string why;
    qs::Server srv = qs::start({}, &why);
    ASSERT_GT(srv.proc.pid, 0) << why;
    for (int std : {7, 13, 19, 37, 0}) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sin.sin_port = htons(uint16_t(std));
        if (bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0) {
            close(s);
            ADD_FAILURE() << "cannot bind port " << std;
            continue;
        }
        bool control = std == 0; // an ephemeral port: must be answered
        for (int off : qs::offsets) {
            sockaddr_in dst = sin;
            dst.sin_port = htons(uint16_t(srv.port(off)));
            sendto(s, "x", 1, 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst);
            pollfd pfd = {s, POLLIN, 0};
            int n = poll(&pfd, 1, control ? 2000 : 300);
            char buf[128];
            if (n > 0)
                (void)recv(s, buf, sizeof buf, 0);
            EXPECT_EQ(n > 0, control) << "from port " << std << " to +" << off;
        }
        close(s);
    }
}

} // namespace
