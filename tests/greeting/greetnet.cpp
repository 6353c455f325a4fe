// greetnet - private network, port 5678 and socket helpers of the greeting tests.
#include "greetnet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace gn {
namespace {

socklen_t fill(const Fam &f, int p, sockaddr_storage &ss)
{
    ss = {};
    if (f.family == AF_INET6) {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        sin6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, f.host, &sin6->sin6_addr);
        sin6->sin6_port = htons(uint16_t(p));
        return sizeof *sin6;
    }
    auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
    sin->sin_family = AF_INET;
    inet_pton(AF_INET, f.host, &sin->sin_addr);
    sin->sin_port = htons(uint16_t(p));
    return sizeof *sin;
}

} // namespace

int localsock(const Fam &f, int type, int p)
{
    int s = socket(f.family, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage ss;
    socklen_t len = fill(f, p, ss);
    if (bind(s, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    return s;
}

bool v4mapped()
{
    std::ifstream f("/proc/sys/net/ipv6/bindv6only");
    int only = 1;
    return f >> only && only == 0;
}

int boundport(int sd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(sd, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return -1;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

bool connectto(int sd, const char *host, int p)
{
    sockaddr_storage ss;
    socklen_t len = fill(std::strchr(host, ':') != nullptr ? v6 : v4, p, ss);
    return connect(sd, reinterpret_cast<sockaddr *>(&ss), len) == 0;
}

bool readable(int sd, int timeoutms)
{
    pollfd pfd = {sd, POLLIN, 0};
    return poll(&pfd, 1, timeoutms) > 0;
}

int acceptfor(int ls, int timeoutms)
{
    if (!readable(ls, timeoutms))
        return -1;
    return accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
}

Stream readstream(int sd, int timeoutms)
{
    Stream st;
    for (;;) {
        if (!readable(sd, timeoutms)) {
            st.err = ETIMEDOUT;
            return st;
        }
        char buf[4096];
        ssize_t n = recv(sd, buf, sizeof buf, 0);
        if (n > 0) {
            st.data.append(buf, size_t(n));
            continue;
        }
        st.cleanend = n == 0;
        st.err = n < 0 ? errno : 0;
        return st;
    }
}

std::string peerline(const char *kind, const std::string &host, int p, bool brackets)
{
    std::string addr = brackets ? "[" + host + "]" : host;
    return std::string(kind) + " from " + addr + ":" + std::to_string(p);
}

tp::Proc startserver(const std::string &prog, const char *proto)
{
    tp::SpawnOpts o;
    o.pty = true;
    tp::Proc p = tp::spawn({tp::bin(prog)}, o);
    for (int tries = 0; tries < 500 && tp::running(p) && !tp::bound(port, proto); ++tries)
        usleep(10000);
    return p;
}

void GreetCase::SetUp()
{
    tp::isolate();
    std::string why = tp::fixedportproblem(port, proto_);
    ASSERT_TRUE(why.empty()) << why;
}

void GreetCase::checkpair()
{
    tp::Proc srv = startserver(server(), proto_);
    ASSERT_TRUE(tp::running(srv)) << tp::readfor(srv.out, 500);
    // The real client's port is not known beforehand: any decimal number.
    std::string head = peerline(kind_, fam().host, 0, fam().family == AF_INET6);
    head.pop_back();
    for (int i = 0; i < 3; ++i) {
        tp::Result r = tp::run({tp::bin(client())});
        EXPECT_EQ(tp::exitcode(r.status), 0);
        EXPECT_EQ(r.out, greeting);
        EXPECT_EQ(r.err, "");
        auto got = tp::readline(srv);
        ASSERT_TRUE(got.has_value()) << "no log line";
        bool digits = got->size() > head.size() && got->compare(0, head.size(), head) == 0 &&
                      got->find_first_not_of("0123456789", head.size()) == std::string::npos;
        EXPECT_TRUE(digits) << *got;
    }
    EXPECT_TRUE(tp::running(srv));
}

void GreetCase::checkbusy()
{
    int type = std::string(proto_) == "tcp" ? SOCK_STREAM : SOCK_DGRAM;
    int holder = localsock(fam(), type, port);
    ASSERT_GE(holder, 0) << std::strerror(errno);
    if (type == SOCK_STREAM) {
        ASSERT_EQ(listen(holder, 1), 0);
    }
    tp::Result r = tp::run({tp::bin(server())}, "", {}, 5000);
    close(holder);
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_EQ(r.err, server() + ": bind() failed. : Address already in use\n\n");
    EXPECT_EQ(r.out, "");
}

tp::Result GreetCase::finish(tp::Proc &cli)
{
    tp::Result r;
    auto st = tp::wait(cli, 5000);
    EXPECT_TRUE(st.has_value()) << "the client did not end when served";
    r.status = st.value_or(-1);
    r.out = tp::readfor(cli.out, 2000);
    r.err = tp::readfor(cli.err, 500);
    return r;
}

void mappedserver(const char *prog, const char *proto, tp::Proc &srv)
{
    tp::isolate();
    if (!v4mapped())
        GTEST_SKIP() << "IPv6 sockets take no IPv4 peers on this host";
    std::string why = tp::fixedportproblem(port, proto);
    ASSERT_TRUE(why.empty()) << why;
    srv = startserver(prog, proto);
    ASSERT_TRUE(tp::running(srv));
}

} // namespace gn
