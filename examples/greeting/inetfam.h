// inetfam - what the IPv4 and IPv6 greeting twins share: the per-family
// records, the two messages, and the socket helpers and handlers, written once
// in terms of a family record so that each twin only picks its family.
#ifndef INETFAM_H
#define INETFAM_H

#include <arpa/inet.h>
#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sockhelp.h"
#include "udpguard.h"

// The greeting the servers send and the clients print; the NUL is never sent.
constexpr char replymsg[] = "Hello World!\n";
static_assert(sizeof replymsg - 1 == 13, "the greeting is 13 bytes on the wire");

// The request datagram of the UDP clients; the servers never look at it.
constexpr char request[] = "Hey are you there?\n";
static_assert(sizeof request - 1 == 19, "the request is 19 bytes on the wire");

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

// famaddr: a zero-filled record of the family holding the port of service
// (atoi, low 16 bits); the address is left for the caller to set.
template <typename fam> typename fam::sockaddr_type famaddr(const char *service)
{
    typename fam::sockaddr_type sa;
    memset(&sa, 0, sizeof sa);
    fam::setfamily(sa);
    fam::port(sa) = htons(static_cast<uint16_t>(atoi(service)));
    return sa;
}

// passivesock: a socket of the family and type bound to the wildcard address
// at service, listening (backlog 10) when it is a stream socket. Sets no
// option. Never fails: ends through errx, status 1, naming the failed call.
template <typename fam> int passivesock(const char *service, int type)
{
    auto sa = famaddr<fam>(service);
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
// Nothing is examined: a failure shows up as an error at the first receive.
template <typename fam> int connectsock(const char *host, const char *service, int type)
{
    auto servsa = famaddr<fam>(service);
    inet_pton(fam::family, host, fam::addr(servsa));
    int connsd = socket(fam::family, type, 0);
    connect(connsd, sap(&servsa), sizeof servsa);
    return connsd;
}

// logpeer: prints fmt filled with the address of fsa as text and its port in
// host order; the line is buffered by stdio like any other output.
template <typename fam> void logpeer(const char *fmt, typename fam::sockaddr_type &fsa)
{
    char fmtaddr[128];
    inet_ntop(fam::family, fam::addr(fsa), fmtaddr, sizeof fmtaddr);
    printf(fmt, fmtaddr, ntohs(fam::port(fsa)));
}


// passiveTCPsock: a socket listening at service on every address of the
// family; never fails, exits through errx.
template <typename fam> int passiveTCPsock(const char *service)
{
    return passivesock<fam>(service, SOCK_STREAM);
}

// passiveUDPsock: a datagram socket bound at service on every address of the
// family; never fails, exits through errx.
template <typename fam> int passiveUDPsock(const char *service)
{
    return passivesock<fam>(service, SOCK_DGRAM);
}

// connectTCPsock: a stream socket connected to host at service; unchecked.
template <typename fam> int connectTCPsock(const char *host, const char *service)
{
    return connectsock<fam>(host, service, SOCK_STREAM);
}

// connectUDPsock: a datagram socket whose peer is host at service; unchecked.
template <typename fam> int connectUDPsock(const char *host, const char *service)
{
    return connectsock<fam>(host, service, SOCK_DGRAM);
}

// streamgreetsrv: sends the greeting once on tsockd and returns 0. A failed
// send (the client has gone) is ignored and raises no SIGPIPE.
inline int streamgreetsrv(int tsockd)
{
    send(tsockd, replymsg, strlen(replymsg), MSG_NOSIGNAL);
    return 0;
}

// acceptturn: waits for the next connection on listensockd (or a stop), logs
// its peer, greets it and closes it. A failed accept has no peer to greet:
// the turn is skipped, after a rest when descriptors or memory ran short
// (the connection stays queued, and trying again at once would spin); a
// failure of the listener itself ends the server.
template <typename fam> void acceptturn(int listensockd)
{
    typename fam::sockaddr_type fsa;
    socklen_t salen = sizeof fsa;
    stopturn();
    int connectionsockd = accept(listensockd, sap(&fsa), &salen);
    if (connectionsockd < 0) {
        switch (stopsig != 0 ? acceptfail::skip : acceptverdict(errno)) {
        case acceptfail::skip:
            return;
        case acceptfail::rest:
            acceptrest();
            return;
        case acceptfail::fatal:
            err(1, "accept");
        }
    }
    logpeer<fam>(fam::connfmt, fsa);
    streamgreetsrv(connectionsockd);
    // Closing with the client's data unread would reset the connection and
    // could destroy the greeting in flight; let the client finish first.
    drainpeer(connectionsockd);
    close(connectionsockd);
}

// dgramgreetsrv: waits for one datagram on usockd (or a stop), logs its
// sender and answers it with the greeting; returns 0. A failed receive has
// no sender, and a sender the guard refuses gets neither line nor answer:
// both are skipped.
template <typename fam> int dgramgreetsrv(int usockd)
{
    // A stop wakes the receive with no datagram and leaves the sender
    // unfilled: zeroed, it is no sender, which the guard refuses.
    typename fam::sockaddr_type fsa = {};
    socklen_t salen = sizeof fsa;
    char buf[1]; // the request is never looked at; the rest of it is dropped
    stopturn();
    if (recvfrom(usockd, buf, sizeof buf, 0, sap(&fsa), &salen) < 0)
        return 0;
    if (guardrefuses(sap(&fsa), salen))
        return 0;
    logpeer<fam>(fam::datafmt, fsa);
    sendto(usockd, replymsg, strlen(replymsg), 0, sap(&fsa), salen);
    return 0;
}

// streamgreetcli: copies what tsockd receives to stdout, piece by piece, until
// end of stream or an error; returns 0. A NUL ends the printing of its piece.
inline int streamgreetcli(int tsockd)
{
    char buf[129];
    for (;;) {
        ssize_t nchars = recv(tsockd, buf, sizeof buf - 1, 0);
        if (nchars <= 0)
            return 0;
        buf[nchars] = '\0';
        fputs(buf, stdout);
    }
}

// dgramgreetcli: sends the request on usockd, prints the first datagram that
// comes back (at most 128 bytes, up to a NUL) and returns 0; an error prints
// nothing. It waits for the reply without a time-out.
inline int dgramgreetcli(int usockd)
{
    send(usockd, request, strlen(request), 0);
    char buf[129];
    ssize_t nchars = recv(usockd, buf, sizeof buf - 1, 0);
    if (nchars > 0) {
        buf[nchars] = '\0';
        fputs(buf, stdout);
    }
    return 0;
}

#endif
