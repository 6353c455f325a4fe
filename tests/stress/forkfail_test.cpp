// forkfail_test - quadserv when it may not fork: run as an unprivileged user
// under a small process limit, with more clients than it may have children.
#include "stress.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

namespace {

constexpr int nproc = 4; // quadserv itself and three children

// uidprocs: how many processes run with real user id uid.
int uidprocs(int uid)
{
    int n = 0;
    DIR *d = opendir("/proc");
    while (dirent *e = d != nullptr ? readdir(d) : nullptr) {
        std::ifstream f(std::string("/proc/") + e->d_name + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("Uid:", 0) == 0) {
                n += std::stoi(line.substr(4)) == uid;
                break;
            }
    }
    if (d != nullptr)
        closedir(d);
    return n;
}

} // namespace

// The limit counts every process of the user, so the server runs as a user
// of its own that nothing else (not even an earlier run's last children) is.
TEST(StressForkFailure, RefusedClientsAreClosedAndServiceResumes)
{
    const int uid = 40000 + int(getpid() % 10000);
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run quadserv as user " << uid << " under a process limit";
    if (!tp::have("setpriv") || !tp::have("prlimit"))
        GTEST_SKIP() << "setpriv and prlimit (util-linux) are missing";
    ASSERT_EQ(uidprocs(uid), 0) << "processes of user " << uid
                                   << " already run; the process limit would count them";

    st::Quad q;
    ASSERT_NO_FATAL_FAILURE(st::startquad(
        q, {"prlimit", "--nproc=" + std::to_string(nproc), "setpriv",
            "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
            "--clear-groups"}));

    // Echo clients stay connected, so each served one holds a child.
    std::vector<st::Fd> held;
    int served = 0, refused = 0, hung = 0;
    for (int i = 0; i < 12; ++i) {
        int fd = tp::tcpconnect("127.0.0.1", q.port(st::echo), 3000);
        ASSERT_GE(fd, 0) << "connection " << i << " not even accepted";
        held.emplace_back(fd);
        tp::sendall(fd, "ping");
        std::string got = tp::recvn(fd, 4, 3000);
        if (got == "ping") {
            ++served;
        } else {
            // A refused client must see its connection end, not wait for ever.
            char c;
            ssize_t n = recv(fd, &c, 1, 0);
            if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
                ++hung;
            else
                ++refused;
        }
    }
    EXPECT_TRUE(tp::running(q.proc)) << "quadserv ended when fork failed";
    EXPECT_GE(served, 1);
    EXPECT_LE(served, nproc - 1);
    EXPECT_GE(refused, 1) << "the process limit did not bite";
    EXPECT_EQ(hung, 0) << "refused clients left open";
    // UDP is served by the server itself, children or not.
    EXPECT_EQ(st::udpcheck(st::echo, q.port(st::echo)), "");

    // Under the limit each check must find the children of the last one gone:
    // a chargen or daytime child lingers a moment after its client leaves.
    held.clear();
    for (st::svc s : {st::echo, st::chargen, st::daytime, st::timesvc}) {
        EXPECT_EQ(st::settledzombies(q.proc.pid), 0);
        EXPECT_EQ(st::tcpcheck(s, q.port(s)), "") << "tcp " << st::svcname[s];
        EXPECT_EQ(st::udpcheck(s, q.port(s)), "") << "udp " << st::svcname[s];
    }
    EXPECT_TRUE(tp::running(q.proc));
}
