// process_test - quadserv's processes: its standard streams, its sockets'
// modes, what a child holds, and children side by side.
#include "quadcheck.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

using tp::daytime, tp::echo, tp::timesvc;

class QuadServProcess : public tp::QuadTest {};

class QuadServClosedStd : public tp::QuadTest {
protected:
    QuadServClosedStd() { startopts.spawn.closestd = true; }
};

// Started with its standard streams closed, quadserv puts /dev/null there, so
// none of its sockets takes descriptor 0, 1 or 2; with them open it opens
// nothing of the kind.
TEST_F(QuadServClosedStd, StandardStreamsGetDevNull)
{
    auto fds = tp::fdtargets(q.proc.pid);
    for (std::string fd : {"0", "1", "2"})
        EXPECT_EQ(std::count(fds.begin(), fds.end(), fd + " -> /dev/null"), 1) << fd;
    EXPECT_EQ(tp::allanswer(q), "");

    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    tp::Fd keepin(in[1]);
    tp::QuadOpts open;
    open.spawn.stdinfd = in[0];
    tp::Quad q2 = tp::startquad(open);
    close(in[0]);
    ASSERT_TRUE(tp::running(q2.proc));
    for (const std::string &fd : tp::fdtargets(q2.proc.pid))
        EXPECT_EQ(fd.find("/dev/null"), std::string::npos) << fd;
}

// fdflags: the file status flags of pid's descriptor fd, -1 if unknown.
long fdflags(pid_t pid, int fd)
{
    for (const std::string &line :
         tp::filelines("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd)))
        if (line.starts_with("flags:"))
            return std::strtol(line.c_str() + 6, nullptr, 8);
    return -1;
}

// Service sockets never block the loop (a connection reset before accept, a
// datagram gone before recvfrom). Each connection has its own child, which
// holds it and nothing else (no listening socket, no standard stream),
// blocking so that writes complete; one leaving does not hold up the rest,
// and UDP is answered while TCP clients idle.
TEST_F(QuadServProcess, SocketModesAndAChildPerConnectionHoldingItAlone)
{
    int sockets = 0;
    for (const auto &fd : tp::fdtargets(q.proc.pid)) {
        if (fd.find("socket:") == std::string::npos)
            continue;
        ++sockets;
        long flags = fdflags(q.proc.pid, std::atoi(fd.c_str()));
        EXPECT_TRUE(flags >= 0 && (flags & O_NONBLOCK)) << fd << ": flags " << flags;
    }
    EXPECT_EQ(sockets, 8);

    tp::Fd a(tp::tcpconnect("127.0.0.1", q.port(echo)));
    tp::Fd b(tp::tcpconnect("127.0.0.1", q.port(echo)));
    ASSERT_TRUE(a >= 0 && b >= 0);
    ASSERT_TRUE(tp::waitchildren(q.proc.pid, 2));
    auto kids = tp::childpids(q.proc.pid);
    ASSERT_EQ(kids.size(), 2u);
    for (pid_t kid : kids) {
        auto fds = tp::fdtargets(kid);
        ASSERT_EQ(fds.size(), 1u);
        EXPECT_EQ(fds[0].rfind("0 -> socket:", 0), 0u) << fds[0];
        EXPECT_EQ(fdflags(kid, 0) & O_NONBLOCK, 0) << "blocking, and known (-1 has every bit)";
    }
    EXPECT_EQ(tp::udpcheck(echo, q.port(echo), "quick"), "");
    EXPECT_EQ(tp::udpcheck(timesvc, q.port(timesvc), ""), "");
    ASSERT_TRUE(tp::sendall(b, "from b"));
    ASSERT_TRUE(tp::sendall(a, "from a"));
    EXPECT_EQ(tp::recvn(a, 6), "from a");
    EXPECT_EQ(tp::recvn(b, 6), "from b");

    a = tp::Fd();
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 1));
    EXPECT_EQ(tp::tcpcheck(daytime, q.port(daytime)), "");
    ASSERT_TRUE(tp::sendall(b, "still b"));
    EXPECT_EQ(tp::recvn(b, 7), "still b");
    b = tp::Fd();
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 0));
}

} // namespace
