// portkit - open server sockets by service name and print socket addresses.
#include "portkit.h"
#include "portkit_internal.h"
#include "sockhelp.h"

#include <arpa/inet.h>
#include <err.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define PK_API __attribute__((visibility("default")))

PK_API unsigned short portbase = 0;

namespace {

constexpr unsigned maxport = 65535;

bool alldigits(const char *s)
{
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

// decimal: the value of s, all digits (at least one) and at most max, which
// is at most INT_MAX; -1 otherwise.
long decimal(const char *s, long max)
{
    long v = 0;
    for (const char *p = s; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        v = v * 10 + (*p - '0');
        if (v > max)
            return -1;
    }
    return *s != '\0' ? v : -1;
}

// setflag: sets the int option name of level on s to value; -1 on failure.
int setflag(int s, int level, int name, int value)
{
    return setsockopt(s, level, name, &value, sizeof value);
}

// opensock: a socket of type bound to port on the IPv6 wildcard that also
// takes IPv4 clients, or on the IPv4 wildcard where the host has no IPv6.
int opensock(int type, uint16_t port, const char *service, const char *proto)
{
    int family = AF_INET6;
    int s = socket(AF_INET6, type, 0);
    if (s < 0 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) {
        family = AF_INET;
        s = socket(AF_INET, type, 0);
    }
    if (s < 0)
        err(1, "%s/%s: can't create socket", service, proto);

    if (family == AF_INET6 && setflag(s, IPPROTO_IPV6, IPV6_V6ONLY, 0) < 0)
        err(1, "%s/%s: can't take IPv4 on an IPv6 socket", service, proto);
    // Only TCP: on UDP address reuse would let a second server share the port.
    if (type == SOCK_STREAM && setflag(s, SOL_SOCKET, SO_REUSEADDR, 1) < 0)
        err(1, "%s/%s: can't set SO_REUSEADDR", service, proto);

    int rc;
    if (family == AF_INET6) {
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        sin6.sin6_addr = in6addr_any;
        sin6.sin6_port = htons(port);
        rc = bind(s, sap(&sin6), sizeof sin6);
    } else {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_ANY);
        sin.sin_port = htons(port);
        rc = bind(s, sap(&sin), sizeof sin);
    }
    if (rc < 0)
        err(1, "%s/%s: can't bind to port %u", service, proto, unsigned(port));
    return s;
}

const char *protoname(int type)
{
    return type == SOCK_STREAM ? "tcp" : "udp";
}

// servport: the port of service for type, base added; never fails: ends
// the process through errx.
uint16_t servport(const char *service, int type)
{
    const char *reason = nullptr;
    uint16_t port = pk_port(service, protoname(type), portbase, &reason);
    if (port == 0)
        errx(1, "%s/%s: %s\n", service != nullptr ? service : "(null)", protoname(type), reason);
    return port;
}

// The sockets a service manager hands over: descriptors 3 on, as many as
// LISTEN_FDS counts, when LISTEN_PID names this process.
constexpr int handedfirst = 3;
constexpr int handedmax = 64;
int nhanded = -1; // until the environment has been read
std::array<bool, handedmax> handedtaken{};

// handedread: takes the handed sockets over at the first call, as
// sd_listen_fds(3) does: each becomes close-on-exec, and the variables are
// cleared, whoever they were meant for. Never fails: a count that is none
// or a descriptor that is not open ends the process.
void handedread()
{
    if (nhanded >= 0)
        return;
    nhanded = 0;
    const char *pid = getenv("LISTEN_PID"), *fds = getenv("LISTEN_FDS");
    if (pid != nullptr && fds != nullptr && decimal(pid, INT_MAX) == getpid()) {
        long n = decimal(fds, handedmax);
        if (n <= 0)
            errx(1, "LISTEN_FDS=%s: not a count of 1 to %d sockets\n", fds, handedmax);
        for (int fd = handedfirst; fd < handedfirst + n; ++fd)
            if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0)
                err(1, "handed descriptor %d", fd);
        nhanded = int(n);
    }
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
}

// handedport: the port of fd when it is an IPv4 or IPv6 socket of type, a
// listening one for SOCK_STREAM; 0 otherwise.
uint16_t handedport(int fd, int type)
{
    int got = 0, listening = 1;
    socklen_t len = sizeof got;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &got, &len) < 0 || got != type)
        return 0;
    if (type == SOCK_STREAM && getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) < 0)
        return 0;
    sockaddr_storage ss{};
    socklen_t sslen = sizeof ss;
    in6_addr addr;
    in_port_t port;
    if (listening == 0 || getsockname(fd, sap(&ss), &sslen) < 0 || !peeraddr(ss, sslen, &addr, &port))
        return 0;
    return ntohs(port);
}

// handedfind: the handed socket of type on port not taken yet, taken now
// when take is set; -1 when there is none.
int handedfind(int type, uint16_t port, bool take)
{
    handedread();
    for (int i = 0; i < nhanded; ++i)
        if (!handedtaken[size_t(i)] && handedport(handedfirst + i, type) == port) {
            handedtaken[size_t(i)] = take;
            return handedfirst + i;
        }
    return -1;
}

// notifyready: READY=1 to the socket NOTIFY_SOCKET names (a path, or an
// abstract name after "@"), as sd_notify(3) sends it, then clears the
// variable; nothing without it. Never fails: a socket that cannot be told
// ends the process, which the manager then sees fail to start.
void notifyready()
{
    const char *path = getenv("NOTIFY_SOCKET");
    if (path == nullptr)
        return;
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if ((path[0] != '/' && path[0] != '@') || len >= sizeof sun.sun_path)
        errx(1, "NOTIFY_SOCKET=%s: not the path of a socket\n", path);
    memcpy(sun.sun_path, path, len);
    if (path[0] == '@')
        sun.sun_path[0] = '\0';
    constexpr char ready[] = "READY=1";
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || sendto(s, ready, sizeof ready - 1, MSG_NOSIGNAL, sap(&sun),
                        socklen_t(offsetof(sockaddr_un, sun_path) + len)) < 0)
        err(1, "NOTIFY_SOCKET=%s", path);
    close(s);
    unsetenv("NOTIFY_SOCKET");
}

int passivesock(const char *service, int type, int qlen)
{
    uint16_t port = servport(service, type);
    // A handed socket listens already, with the queue its manager gave it.
    int s = handedfind(type, port, true);
    if (s >= 0)
        return s;
    const char *proto = protoname(type);
    s = opensock(type, port, service, proto);
    if (type == SOCK_STREAM && listen(s, qlen) < 0)
        err(1, "%s/%s: can't listen on port %u", service, proto, unsigned(port));
    return s;
}

} // namespace

uint16_t pk_port(const char *service, const char *proto, unsigned short base,
                 const char **reason)
{
    unsigned port;
    if (service == nullptr || *service == '\0') {
        *reason = "empty service";
        return 0;
    }
    if (alldigits(service)) {
        long v = decimal(service, maxport);
        if (v <= 0) {
            *reason = "port out of range 1-65535";
            return 0;
        }
        port = unsigned(v);
    } else {
        const servent *pse = getservbyname(service, proto);
        if (pse == nullptr || ntohs(uint16_t(pse->s_port)) == 0) {
            *reason = "unknown service";
            return 0;
        }
        port = ntohs(uint16_t(pse->s_port));
    }
    if (port + base > maxport) {
        *reason = "port plus port base is above 65535";
        return 0;
    }
    return uint16_t(port + base);
}

PK_API int passiveTCP(const char *service, int qlen)
{
    return passivesock(service, SOCK_STREAM, qlen);
}

PK_API int passiveUDP(const char *service)
{
    return passivesock(service, SOCK_DGRAM, 0);
}

PK_API int passivehanded(void)
{
    handedread();
    return int(std::count(handedtaken.begin(), handedtaken.begin() + nhanded, false));
}

PK_API int passiveoffered(const char *service, int type)
{
    return handedfind(type, servport(service, type), false) >= 0;
}

PK_API void passiveready(void)
{
    handedread();
    for (int fd = handedfirst; fd < handedfirst + nhanded; ++fd) {
        if (handedtaken[size_t(fd - handedfirst)])
            continue;
        for (int type : {SOCK_STREAM, SOCK_DGRAM})
            if (uint16_t port = handedport(fd, type))
                errx(1, "%u/%s: handed over, but no service here takes it\n", unsigned(port),
                     protoname(type));
        errx(1, "handed descriptor %d: neither a listening TCP nor a UDP socket\n", fd);
    }
    notifyready();
}

PK_API const char *satop(const sockaddr *sa, char *buf, socklen_t buflen)
{
    char host[INET6_ADDRSTRLEN];
    unsigned port;
    bool bracket = false;

    if (sa == nullptr || buf == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    switch (sa->sa_family) {
    case AF_INET: {
        sockaddr_in sin;
        std::memcpy(&sin, sa, sizeof sin);
        inet_ntop(AF_INET, &sin.sin_addr, host, sizeof host);
        port = ntohs(sin.sin_port);
        break;
    }
    case AF_INET6: {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, sa, sizeof sin6);
        // An IPv4 client of a dual-stack socket reads as the IPv4 it is.
        if (IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr)) {
            inet_ntop(AF_INET, &sin6.sin6_addr.s6_addr[12], host, sizeof host);
        } else {
            inet_ntop(AF_INET6, &sin6.sin6_addr, host, sizeof host);
            bracket = true;
        }
        port = ntohs(sin6.sin6_port);
        break;
    }
    default:
        errno = EAFNOSUPPORT;
        return nullptr;
    }

    // Formatted aside first so a short buffer is left untouched.
    char text[sizeof host + sizeof "[]:65535"];
    int n = std::snprintf(text, sizeof text, bracket ? "[%s]:%u" : "%s:%u", host, port);
    if (n < 0 || socklen_t(n) >= buflen) {
        errno = ENOSPC;
        return nullptr;
    }
    std::memcpy(buf, text, size_t(n) + 1);
    return buf;
}
