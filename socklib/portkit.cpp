// portkit - open server sockets by service name and print socket addresses.
#include "portkit.h"
#include "portkit_internal.h"
#include "sockhelp.h"

#include <arpa/inet.h>
#include <err.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// decimalport: the value of an all-digit text, or maxport + 1 when it is larger.
unsigned decimalport(const char *s)
{
    unsigned v = 0;
    for (; *s != '\0'; ++s) {
        v = v * 10 + unsigned(*s - '0');
        if (v > maxport)
            return maxport + 1;
    }
    return v;
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

int passivesock(const char *service, int type, int qlen)
{
    const char *proto = type == SOCK_STREAM ? "tcp" : "udp";
    const char *reason = nullptr;
    uint16_t port = pk_port(service, proto, portbase, &reason);
    if (port == 0)
        errx(1, "%s/%s: %s", service != nullptr ? service : "(null)", proto, reason);

    int s = opensock(type, port, service, proto);
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
        port = decimalport(service);
        if (port == 0 || port > maxport) {
            *reason = "port out of range 1-65535";
            return 0;
        }
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
