// udpguard - which datagrams a UDP server leaves unanswered, so that no
// forged datagram can set two servers answering each other for ever, and no
// forger can turn a server into a reflector without bound.
#ifndef UDPGUARD_H
#define UDPGUARD_H

#include <err.h>
#include <netinet/in.h>
#include <sys/random.h>
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
// Answers one peer (address and port) may have in one window; an ordinary
// client asking one request at a time stays far below it, a loop between
// two servers reaches it at once.
constexpr unsigned guardbudget = 1000;
// Answers one source (an IPv4 address, an IPv6 /64) may have in one window,
// over all its ports: a forger who spoofs a victim's address and turns its
// port gets no more than this sent to the victim. Clients behind one NAT
// address share it and still get far more than any of them needs. Answers
// to loopback never leave the host and are not counted here.
constexpr unsigned guardsourcebudget = 10 * guardbudget;
// The windows follow one another; every count starts afresh in the next.
constexpr long guardwindowms = 1000;

// The counts live in two sketches, one for peers and one for sources: each
// row has its own keyed hash, and a count is the least of its counters over
// the rows. A counter holds the answers of every peer that hashes to it, so
// a count is never less than the true one: no choice of sources can reset
// or lower it, and no peer or source ever gets more than its budget in a
// window. Sharing errs the other way only: a newcomer whose counters other
// peers have filled to the budget in every row is refused with them until
// the window ends. The keys are secret, so a sender cannot aim at another's
// counters; filling every row of every peer blindly takes about a budget
// per counter, a million answers a second, beyond what a server sends.
constexpr std::size_t guardrows = 4;
constexpr std::size_t guardcols = 1024; // a power of two
constexpr int guardcolbits = 10;
static_assert(std::size_t(1) << guardcolbits == guardcols);
using guardsketch = std::array<std::array<uint16_t, guardcols>, guardrows>;
static_assert(guardsourcebudget < UINT16_MAX);
inline constinit guardsketch guardpeers{};
inline constinit guardsketch guardsources{};
inline constinit long guardwindow = -1; // the current window's number

// guardwords: the words a peer's hash is taken over: its address and port.
constexpr std::size_t guardwords = 5;
// The keys of each row's hash: an offset and a multiplier per word.
inline constinit std::array<std::array<uint64_t, guardwords + 1>, guardrows> guardkey{};
inline constinit bool guardkeyed = false;
// Whether the keys are a makeshift, made while the random source was not
// ready, to be drawn again.
inline constinit bool guardmakeshift = false;
// guardclock: the milliseconds the windows are counted in; a test may set
// a clock of its own.
inline long (*guardclock)() = monotonicms;

constexpr std::size_t guardmaxown = 8;
inline constinit std::array<in_port_t, guardmaxown> guardown{}; // host order
inline constinit std::size_t guardnown = 0;

// guardseed: keys from seed, the same for the same seed (a test's fixed
// key); without it the first window draws them at random.
inline void guardseed(uint64_t seed)
{
    for (auto &row : guardkey)
        for (uint64_t &k : row) {
            // splitmix64: consecutive seeds give unrelated keys.
            uint64_t z = seed += 0x9e3779b97f4a7c15U;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9U;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebU;
            k = z ^ (z >> 31);
        }
    guardkeyed = true;
    guardmakeshift = false;
}

// guardrandomkey: secret keys from the kernel's random source. It never
// waits: early in boot, before the source is ready, or should it fail, the
// keys come from what the process can tell of the moment, and are drawn
// again at the next window (guardspent).
inline void guardrandomkey()
{
    if (getrandom(guardkey.data(), sizeof guardkey, GRND_NONBLOCK) == ssize_t(sizeof guardkey)) {
        guardkeyed = true;
        guardmakeshift = false;
        return;
    }
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    guardseed(uint64_t(ts.tv_sec) * 1000000007U ^ uint64_t(ts.tv_nsec) ^ uint64_t(getpid()) << 40);
    guardmakeshift = true;
}

// guardcol: the counter of row that the words w hash to: a multiply-shift
// hash with the row's keys, so sources that collide in one row part in the
// others.
inline std::size_t guardcol(std::size_t row, const std::array<uint32_t, guardwords> &w)
{
    const auto &k = guardkey[row];
    uint64_t h = k[0];
    for (std::size_t i = 0; i < guardwords; ++i)
        h += k[i + 1] * w[i];
    return std::size_t(h >> (64 - guardcolbits));
}

// One's count in a sketch: its counter in each row, and the least of them.
struct guardcount {
    std::array<uint16_t *, guardrows> gc_counter;
    unsigned gc_least;
};

// guardfind: the count in sketch s of the one with words w.
inline guardcount guardfind(guardsketch &s, const std::array<uint32_t, guardwords> &w)
{
    guardcount c = {.gc_counter = {}, .gc_least = UINT16_MAX};
    for (std::size_t r = 0; r < guardrows; ++r) {
        c.gc_counter[r] = &s[r][guardcol(r, w)];
        c.gc_least = std::min<unsigned>(c.gc_least, *c.gc_counter[r]);
    }
    return c;
}

// guardcountup: counts one more answer: the counters that hold the least
// count go up by one; the others already count more than that.
inline void guardcountup(const guardcount &c)
{
    for (uint16_t *p : c.gc_counter)
        if (*p == c.gc_least)
            ++*p;
}

// guardwordsof: the words of address a and port (network order; 0 for a
// source).
inline std::array<uint32_t, guardwords> guardwordsof(const in6_addr &a, in_port_t port)
{
    std::array<uint32_t, guardwords> w;
    memcpy(w.data(), &a, sizeof a);
    w[4] = port;
    return w;
}

// guardloopback: whether a (in IPv4-mapped form for IPv4) is on loopback.
inline bool guardloopback(const in6_addr &a)
{
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

// guardspent: whether the peer, or its source, has had its budget in the
// current window; if not, the answer the caller now sends is counted
// against both.
inline bool guardspent(const in6_addr &addr, in_port_t port)
{
    long window = guardclock() / guardwindowms;
    if (window != guardwindow) {
        // Every count starts afresh here, so new keys lose nothing.
        if (!guardkeyed || guardmakeshift)
            guardrandomkey();
        guardpeers = {};
        guardsources = {};
        guardwindow = window;
    }
    guardcount peer = guardfind(guardpeers, guardwordsof(addr, port));
    if (peer.gc_least >= guardbudget)
        return true;
    if (!guardloopback(addr)) {
        guardcount source = guardfind(guardsources, guardwordsof(sourcekey(addr), 0));
        if (source.gc_least >= guardsourcebudget)
            return true;
        guardcountup(source);
    }
    guardcountup(peer);
    return false;
}

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
    in6_addr addr;
    in_port_t port = 0;
    peeraddr(ss, sslen, &addr, &port);
    guardown[guardnown++] = ntohs(port);
}

// guardbadport: whether port (host order) is one no client sends from.
inline bool guardbadport(in_port_t port)
{
    if (port < guardlowports || port == guardnfsport) // port 0 included
        return true;
    for (std::size_t i = 0; i < guardnown; ++i)
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

// guardrefuses: whether a datagram from the sender in from (salen bytes, as
// recvfrom filled it) must go unanswered: a server's or our own port, no
// single sender's address, or a peer or source past its budget. When it may
// be answered, that answer is counted: call it only where the reply follows.
inline bool guardrefuses(const sockaddr *from, socklen_t salen)
{
    sockaddr_storage ss = {};
    memcpy(&ss, from, salen < sizeof ss ? salen : sizeof ss);
    in6_addr addr;
    in_port_t port;
    if (!peeraddr(ss, salen, &addr, &port))
        return true; // no sender we could tell from another
    return guardbadport(ntohs(port)) || guardbadaddr(addr) || guardspent(addr, port);
}

#endif
