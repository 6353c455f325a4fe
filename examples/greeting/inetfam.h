// inetfam - the IPv4 and IPv6 families as the greeting twins use them: a
// record of what differs per family, the family a program is built for, and
// the socket openers and the peer's log line written once in its terms.
#ifndef INETFAM_H
#define INETFAM_H

#include <arpa/inet.h>
#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sockhelp.h"

// inet4, inet6: what differs between the twins: the address record and its
// fields, the wildcard, the server the clients dial and the log line texts.
struct inet4 {
    using sockaddr_type = sockaddr_in;
    static constexpr int family = AF_INET;
    static constexpr const char *host = "127.0.0.1";
    static constexpr const char *connfmt = "connection from %s:%d\n";
    static constexpr const char *datafmt = "data from %s:%d\n";
    static void *addr(sockaddr_in &sa) { return &sa.sin_addr; }
    static in_port_t &port(sockaddr_in &sa) { return sa.sin_port; }
    static void setfamily(sockaddr_in &sa) { sa.sin_family = AF_INET; }
    static void setwildcard(sockaddr_in &sa) { sa.sin_addr.s_addr = htonl(INADDR_ANY); }
};

struct inet6 {
    using sockaddr_type = sockaddr_in6;
    static constexpr int family = AF_INET6;
    static constexpr const char *host = "::1";
    static constexpr const char *connfmt = "connection from [%s]:%d\n";
    static constexpr const char *datafmt = "data from [%s]:%d\n";
    static void *addr(sockaddr_in6 &sa) { return &sa.sin6_addr; }
    static in_port_t &port(sockaddr_in6 &sa) { return sa.sin6_port; }
    static void setfamily(sockaddr_in6 &sa) { sa.sin6_family = AF_INET6; }
    static void setwildcard(sockaddr_in6 &sa) { sa.sin6_addr = in6addr_any; }
};

// fam: the family a greeting program is built for. Each source is written
// for IPv4; its IPv6 twin defines GREET_INET6 and includes that same source.
#ifdef GREET_INET6
using fam = inet6;
#else
using fam = inet4;
#endif

// famaddr: a zero-filled record of the family holding the port of service
// (atoi, low 16 bits); the address is left for the caller to set.
inline fam::sockaddr_type famaddr(const char *service)
{
    fam::sockaddr_type sa;
    memset(&sa, 0, sizeof sa);
    fam::setfamily(sa);
    fam::port(sa) = htons(static_cast<uint16_t>(atoi(service)));
    return sa;
}

// passivesock: a socket of the family and type bound to the wildcard address
// at service, listening (backlog 10) when it is a stream socket. Sets no
// option. Never fails: ends through errx, status 1, naming the failed call.
inline int passivesock(const char *service, int type)
{
    auto sa = famaddr(service);
    fam::setwildcard(sa);
    int pasvsd = socket(fam::family, type, 0);
    if (pasvsd < 0)
        errx(1, "socket() failed. : %s\n", strerror(errno));
    if (bind(pasvsd, sap(&sa), sizeof sa) < 0)
        errx(1, "bind() failed. : %s\n", strerror(errno));
    if (type == SOCK_STREAM && listen(pasvsd, 10) < 0)
        errx(1, "listen() failed. : %s\n", strerror(errno));
    return pasvsd;
}

// connectsock: a socket of the family and type connected to host at service.
// Nothing is examined, as the plainest client does: a failure shows up as
// an error at the first receive. A real client would check every call.
inline int connectsock(const char *host, const char *service, int type)
{
    auto servsa = famaddr(service);
    inet_pton(fam::family, host, fam::addr(servsa));
    int connsd = socket(fam::family, type, 0);
    connect(connsd, sap(&servsa), sizeof servsa);
    return connsd;
}

// passiveTCPsock: a socket listening at service on every address of the
// family; never fails, exits through errx.
inline int passiveTCPsock(const char *service)
{
    return passivesock(service, SOCK_STREAM);
}

// passiveUDPsock: a datagram socket bound at service on every address of the
// family; never fails, exits through errx.
inline int passiveUDPsock(const char *service)
{
    return passivesock(service, SOCK_DGRAM);
}

// connectTCPsock: a stream socket connected to host at service; unchecked.
inline int connectTCPsock(const char *host, const char *service)
{
    return connectsock(host, service, SOCK_STREAM);
}

// connectUDPsock: a datagram socket whose peer is host at service; unchecked.
inline int connectUDPsock(const char *host, const char *service)
{
    return connectsock(host, service, SOCK_DGRAM);
}

// logpeer: prints fmt filled with the address of fsa as text and its port in
// host order; the line is buffered by stdio like any other output.
inline void logpeer(const char *fmt, fam::sockaddr_type &fsa)
{
    char fmtaddr[128];
    inet_ntop(fam::family, fam::addr(fsa), fmtaddr, sizeof fmtaddr);
    printf(fmt, fmtaddr, ntohs(fam::port(fsa)));
}

#endif
