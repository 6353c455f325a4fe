// udpguard - which datagrams a UDP server leaves unanswered, so that no
// forged datagram can set two servers answering each other for ever.
#ifndef UDPGUARD_H
#define UDPGUARD_H

#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "sockhelp.h"

// Ports below this belong to servers (echo 7, daytime 13, chargen 19,
// time 37 among them); a client never sends from one.
constexpr in_port_t guardlowports = 1024;
// NFS trusts a client that writes from a privileged port, and a server on
// the standard ports answers from one.
constexpr in_port_t guardnfsport = 2049;
// Answers one peer may have in one window; an ordinary client asking one
// request at a time stays far below it, a loop reaches it at once.
constexpr unsigned guardbudget = 1000;
constexpr long guardwindowms = 1000;

// guardpeer: one recently answered peer. An IPv4 peer is kept in its
// IPv4-mapped form, so it is the same peer on either kind of socket.
struct guardpeer {
    in6_addr gp_addr;
    in_port_t gp_port; // network order
    unsigned gp_count; // answers in the window; 0: the slot is free
    long gp_start;     // window start, milliseconds of the monotonic clock
};

// The recent peers: a small table of sets of four, each peer in the set its
// hash picks. A newcomer takes a free or ended slot, else the one with the
// fewest answers: a looping peer is never pushed out by passers-by, and a
// peer pushed out only starts counting afresh.
constexpr size_t guardways = 4;
constexpr size_t guardsets = 64;
inline constinit std::array<guardpeer, guardways * guardsets> guardpeers{};

constexpr size_t guardmaxown = 8;
inline constinit std::array<in_port_t, guardmaxown> guardown{}; // host order
inline constinit size_t guardnown = 0;

// guardownport: the port sd is bound to becomes one of the program's own,
// from which no datagram is answered; never fails, exits through err/errx.
inline void guardownport(int sd)
{
    sockaddr_storage ss;
    socklen_t sslen = sizeof ss;
    if (getsockname(sd, sap(&ss), &sslen) < 0)
        err(1, "getsockname");
    if (guardnown == guardown.size())
        errx(1, "more than %zu ports of our own\n", guardown.size());
    in_port_t port = 0;
    if (ss.ss_family == AF_INET)
        port = reinterpret_cast<const sockaddr_in *>(&ss)->sin_port;
    else if (ss.ss_family == AF_INET6)
        port = reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_port;
    guardown[guardnown++] = ntohs(port);
}

// guardbadport: whether port (host order) is one no client sends from.
inline bool guardbadport(in_port_t port)
{
    if (port < guardlowports || port == guardnfsport) // port 0 included
        return true;
    for (size_t i = 0; i < guardnown; ++i)
        if (guardown[i] == port)
            return true;
    return false;
}

// guardbadaddr: whether a is no single sender's address: unspecified,
// multicast or limited broadcast, as IPv6 or as IPv4-mapped IPv4.
inline bool guardbadaddr(const in6_addr &a)
{
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
        uint32_t v4;
        memcpy(&v4, &a.s6_addr[12], sizeof v4);
        v4 = ntohl(v4);
        return v4 == INADDR_ANY || v4 == INADDR_BROADCAST || IN_MULTICAST(v4);
    }
    return IN6_IS_ADDR_UNSPECIFIED(&a) || IN6_IS_ADDR_MULTICAST(&a);
}

// guardspent: whether the peer has used up its budget in the current window;
// if not, the answer the caller now sends is counted against it.
inline bool guardspent(const in6_addr &addr, in_port_t port)
{
    uint32_t h = port;
    for (size_t i = 0; i < sizeof addr.s6_addr; i += 4) {
        uint32_t w;
        memcpy(&w, &addr.s6_addr[i], sizeof w);
        h = (h ^ w) * 0x9e3779b1U;
    }
    guardpeer *set = &guardpeers[(h >> 16) % guardsets * guardways];
    long now = monotonicms();
    guardpeer *slot = nullptr;
    guardpeer *victim = nullptr;
    for (size_t i = 0; i < guardways && slot == nullptr; ++i) {
        guardpeer &gp = set[i];
        if (now - gp.gp_start >= guardwindowms)
            gp.gp_count = 0; // its window is over: the slot is free again
        if (gp.gp_count != 0 && gp.gp_port == port &&
            memcmp(&gp.gp_addr, &addr, sizeof addr) == 0)
            slot = &gp;
        else if (victim == nullptr || gp.gp_count < victim->gp_count)
            victim = &gp;
    }
    if (slot == nullptr) {
        slot = victim;
        *slot = {.gp_addr = addr, .gp_port = port, .gp_count = 0, .gp_start = now};
    }
    if (slot->gp_count >= guardbudget)
        return true;
    ++slot->gp_count;
    return false;
}

// guardrefuses: whether a datagram from the sender in from (salen bytes, as
// recvfrom filled it) must go unanswered: a server's or our own port, no
// single sender's address, or a peer past its budget. When it may be
// answered, that answer is counted: call it only where the reply follows.
inline bool guardrefuses(const sockaddr *from, socklen_t salen)
{
    sockaddr_storage ss = {};
    memcpy(&ss, from, salen < sizeof ss ? salen : sizeof ss);
    in6_addr addr;
    in_port_t port;
    if (ss.ss_family == AF_INET && salen >= sizeof(sockaddr_in)) {
        const auto *sin = reinterpret_cast<const sockaddr_in *>(&ss);
        memset(&addr, 0, sizeof addr);
        addr.s6_addr[10] = 0xff;
        addr.s6_addr[11] = 0xff;
        memcpy(&addr.s6_addr[12], &sin->sin_addr, sizeof sin->sin_addr);
        port = sin->sin_port;
    } else if (ss.ss_family == AF_INET6 && salen >= sizeof(sockaddr_in6)) {
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        addr = sin6->sin6_addr;
        port = sin6->sin6_port;
    } else {
        return true; // no sender we could tell from another
    }
    return guardbadport(ntohs(port)) || guardbadaddr(addr) || guardspent(addr, port);
}

#endif
