// testnet - ports, namespaces, socket addresses and sockets for the tests.
#include "testnet.h"
#include "sockhelp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

namespace tp {

Fd &Fd::operator=(Fd &&o) noexcept
{
    std::swap(fd, o.fd); // o closes ours as it goes: at once for a temporary
    std::swap(reset, o.reset);
    return *this;
}

Fd::~Fd()
{
    if (fd >= 0 && reset)
        resetclose(fd);
    else if (fd >= 0)
        close(fd);
}

void resetclose(int fd)
{
    linger lg = {.l_onoff = 1, .l_linger = 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
}

Addr addr(const std::string &host, int port)
{
    Addr a;
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&a.ss);
    auto *sin = reinterpret_cast<sockaddr_in *>(&a.ss);
    if (inet_pton(AF_INET6, host.c_str(), &sin6->sin6_addr) == 1) {
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(uint16_t(port));
        a.len = sizeof *sin6;
    } else if (inet_pton(AF_INET, host.c_str(), &sin->sin_addr) == 1) {
        sin->sin_family = AF_INET;
        sin->sin_port = htons(uint16_t(port));
        a.len = sizeof *sin;
    }
    return a;
}

int portof(const sockaddr_storage &ss)
{
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_port);
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&ss)->sin_port);
    return -1;
}

static int portby(int fd, int (*name)(int, sockaddr *, socklen_t *))
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    return name(fd, sap(&ss), &len) == 0 ? portof(ss) : -1;
}

int localport(int fd) { return portby(fd, getsockname); }
int peerport(int fd) { return portby(fd, getpeername); }

std::vector<NetSock> netsockets(const std::string &proto)
{
    std::vector<NetSock> out;
    for (const char *suffix : {"", "6"}) {
        std::ifstream f("/proc/net/" + proto + suffix);
        std::string line;
        std::getline(f, line); // header
        while (std::getline(f, line)) {
            std::istringstream is(line);
            std::string slot, local, remote, state, queues;
            is >> slot >> local >> remote >> state >> queues;
            auto colon = local.rfind(':');
            if (colon == std::string::npos)
                continue;
            int port = int(std::strtol(local.c_str() + colon + 1, nullptr, 16));
            int peer = int(std::strtol(remote.c_str() + remote.rfind(':') + 1, nullptr, 16));
            long unread = std::strtol(queues.c_str() + queues.find(':') + 1, nullptr, 16);
            // TCP: 0A is LISTEN. UDP: 07 is an unconnected bound socket.
            out.push_back({port, proto == "tcp" ? state == "0A" : state == "07", peer, unread});
        }
    }
    return out;
}

bool bound(int port, const std::string &proto)
{
    for (const NetSock &s : netsockets(proto))
        if (s.port == port && s.listening)
            return true;
    return false;
}

namespace {

bool isolatedflag = false;

bool writefile(const std::string &path, const std::string &text)
{
    std::ofstream f(path);
    return bool(f << text << std::flush); // in one write, as the kernel wants
}

// enternet: a fresh network namespace; without privileges it comes with a
// user namespace that maps us to root inside.
bool enternet()
{
    if (unshare(CLONE_NEWNET) == 0)
        return true;
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return false;
    writefile("/proc/self/setgroups", "deny");
    return writefile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           writefile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

bool loopbackup()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

// portfree: whether a socket of type can bind port on every address now.
bool portfree(int port, int type)
{
    int s = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    int off = 0;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    Addr a = addr("::", port);
    bool ok = bind(s, a.sa(), a.len) == 0;
    close(s);
    return ok;
}

// Ports are taken below Linux's ephemeral range (32768 and up), so that no
// client socket of a test running beside us takes one between our check and
// the server's bind.
constexpr int lowport = 10000, ephemeral = 32768;

} // namespace

bool isolate()
{
    isolatedflag = enternet() && loopbackup();
    return isolatedflag;
}

bool isolated() { return isolatedflag; }

std::string fixedport(int port, const std::string &proto)
{
    if (isolate())
        return "";
    std::string what = "port " + std::to_string(port) + "/" + proto;
    if (bound(port, proto))
        return what + " is already taken by another program on this host; stop it and run the test again";
    int type = proto == "tcp" ? SOCK_STREAM : SOCK_DGRAM;
    // Connections closed by an earlier run linger for a minute on a shared
    // loopback, and servers without address reuse cannot bind meanwhile.
    for (int tries = 0; tries < 700; ++tries) {
        if (portfree(port, type))
            return "";
        usleep(100000);
    }
    return what + " stays unavailable (closing connections of another run?)";
}

int pickbase(const std::vector<int> &offsets)
{
    static std::mt19937 rng(unsigned(getpid()) ^ unsigned(monotonicms()));
    std::uniform_int_distribution<int> d(lowport, ephemeral - 1 - std::ranges::max(offsets));
    for (int tries = 0; tries < 1000; ++tries) {
        int base = d(rng);
        if (std::ranges::all_of(offsets, [base](int off) {
                return portfree(base + off, SOCK_STREAM) && portfree(base + off, SOCK_DGRAM);
            }))
            return base;
    }
    return -1;
}

int freeport() { return pickbase({0}); }

int connected(int type, const std::string &host, int port, int timeoutms, const std::string &src)
{
    Addr a = addr(host, port);
    if (a.len == 0)
        return -1;
    int s = src.empty() ? socket(a.family(), type | SOCK_CLOEXEC, 0) : localsock(src, type);
    if (s < 0)
        return -1;
    timeval tv = {timeoutms / 1000, (timeoutms % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(s, a.sa(), a.len) < 0) {
        close(s);
        return -1;
    }
    return s;
}

int localsock(const std::string &host, int type, int port)
{
    Addr a = addr(host, port);
    int s = socket(a.family(), type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(s, a.sa(), a.len) != 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    return s;
}

int connectfrom(const std::string &src, int srcport, const std::string &host, int port,
                bool nonblocking)
{
    Addr a = addr(host, port);
    int s = localsock(src, SOCK_STREAM, srcport);
    if (s >= 0 && ((nonblocking && fcntl(s, F_SETFL, O_NONBLOCK) < 0) ||
                   (connect(s, a.sa(), a.len) < 0 && !(nonblocking && errno == EINPROGRESS)))) {
        close(s);
        return -1;
    }
    return s;
}

int holder(const std::string &host, int port, const std::string &proto)
{
    int s = localsock(host, proto == "tcp" ? SOCK_STREAM : SOCK_DGRAM, port);
    if (s >= 0 && proto == "tcp" && listen(s, 1) < 0) {
        close(s);
        return -1;
    }
    return s;
}

bool readable(int fd, int timeoutms)
{
    long deadline = monotonicms() + timeoutms;
    for (;;) {
        long left = std::max(0L, deadline - monotonicms());
        pollfd pfd = {fd, POLLIN, 0};
        int n = poll(&pfd, 1, int(left));
        if (n >= 0 || errno != EINTR)
            return n > 0;
    }
}

bool sendall(int fd, const std::string &data)
{
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += size_t(n);
    }
    return true;
}

Reply readtoend(int fd, int timeoutms)
{
    Reply r;
    long deadline = monotonicms() + timeoutms;
    for (;;) {
        if (!readable(fd, int(std::max(0L, deadline - monotonicms())))) {
            r.error = ETIMEDOUT;
            return r;
        }
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf); // it is readable: no wait
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            r.error = n < 0 ? errno : 0;
            r.cleanend = n == 0;
            return r;
        }
        r.data.append(buf, size_t(n));
    }
}

std::string readall(int fd, int timeoutms) { return readtoend(fd, timeoutms).data; }

std::string recvn(int fd, size_t n, int timeoutms)
{
    std::string got;
    long deadline = monotonicms() + timeoutms;
    while (got.size() < n && readable(fd, int(std::max(0L, deadline - monotonicms())))) {
        char buf[4096];
        size_t want = std::min(sizeof buf, n - got.size());
        ssize_t k = recv(fd, buf, want, MSG_DONTWAIT);
        if (k < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (k <= 0)
            break;
        got.append(buf, size_t(k));
    }
    return got;
}

std::optional<std::string> recvone(int fd, int timeoutms, sockaddr_storage *from)
{
    if (!readable(fd, timeoutms))
        return std::nullopt;
    char buf[65536];
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&ss), &len);
    if (n < 0)
        return std::nullopt;
    if (from != nullptr)
        *from = ss;
    return std::string(buf, size_t(n));
}

Reply ask(const std::string &host, int port, const std::string &req, int timeoutms,
          const std::string &src)
{
    Fd s(tcpconnect(host, port, timeoutms, src));
    Reply r;
    if (s < 0 || (!req.empty() && !sendall(s, req))) {
        r.error = ECONNREFUSED;
        return r;
    }
    shutdown(s, SHUT_WR);
    r = readtoend(s, timeoutms);
    r.localport = localport(s);
    return r;
}

std::optional<std::string> udpask(const std::string &host, int port, const std::string &req,
                                  int timeoutms)
{
    Fd s(udpsocket(host, port, timeoutms));
    if (s < 0 || send(s, req.data(), req.size(), 0) != ssize_t(req.size()))
        return std::nullopt;
    return recvone(s, timeoutms);
}

} // namespace tp
