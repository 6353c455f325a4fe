// sockhelp - header-only helpers shared by the servers (no library to link).
#ifndef SOCKHELP_H
#define SOCKHELP_H

#include <err.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

// sap: a socket address record as the sockaddr pointer the socket calls take.
template <typename T> inline sockaddr *sap(T *p) { return reinterpret_cast<sockaddr *>(p); }

// monotonicms: milliseconds of the monotonic clock, for bounds and windows.
inline long monotonicms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// oneof: whether e is one of errs.
template <std::size_t n> inline bool oneof(int e, const std::array<int, n> &errs)
{
    return std::find(errs.begin(), errs.end(), e) != errs.end();
}

// What a server does when accept fails: take the next connection, rest its
// listener a while, or end.
enum class acceptfail { skip, rest, fatal };

// acceptskips: failures that concern the new connection only: it went away
// before it was taken, Linux passes on a pending network error of it, a
// firewall refused it, none was left to take after all (a listener that
// does not block), or a signal came.
inline constexpr std::array acceptskips = {ECONNABORTED, EPROTO,       EINTR,      ENETDOWN,
                                           ENOPROTOOPT,  EHOSTDOWN,    ENONET,     EHOSTUNREACH,
                                           EOPNOTSUPP,   ENETUNREACH,  EPERM,      EAGAIN,
                                           EWOULDBLOCK};
// acceptshortages: failures for want of descriptors or memory; the
// connection stays queued, so trying again at once would only spin.
inline constexpr std::array acceptshortages = {EMFILE, ENFILE, ENOBUFS, ENOMEM};
// How long a listener rests after a shortage.
constexpr long acceptrestms = 1000;

// acceptverdict: how a server meets accept's failure e: skip, rest on a
// shortage, and end on anything else, a fault of its own.
inline acceptfail acceptverdict(int e)
{
    if (oneof(e, acceptskips))
        return acceptfail::skip;
    return oneof(e, acceptshortages) ? acceptfail::rest : acceptfail::fatal;
}

// timebound: a send (SO_SNDTIMEO) or receive (SO_RCVTIMEO) on sd that makes
// no progress for secs then fails with EAGAIN; a socket where it cannot be
// set is served unbounded.
inline void timebound(int sd, int opt, time_t secs)
{
    timeval tv = {.tv_sec = secs, .tv_usec = 0};
    (void)setsockopt(sd, SOL_SOCKET, opt, &tv, sizeof tv);
}

// peeraddr: the address and port (network order) of an IPv4 or IPv6 sender
// as recvfrom or accept filled ss (salen bytes), an IPv4 one in its
// IPv4-mapped form, so that it is the same peer on either kind of socket;
// false for any other family.
inline bool peeraddr(const sockaddr_storage &ss, socklen_t salen, in6_addr *addr, in_port_t *port)
{
    if (ss.ss_family == AF_INET && salen >= sizeof(sockaddr_in)) {
        const auto *sin = reinterpret_cast<const sockaddr_in *>(&ss);
        memset(addr, 0, sizeof *addr);
        addr->s6_addr[10] = 0xff;
        addr->s6_addr[11] = 0xff;
        memcpy(&addr->s6_addr[12], &sin->sin_addr, sizeof sin->sin_addr);
        *port = sin->sin_port;
        return true;
    }
    if (ss.ss_family == AF_INET6 && salen >= sizeof(sockaddr_in6)) {
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        *addr = sin6->sin6_addr;
        *port = sin6->sin6_port;
        return true;
    }
    return false;
}

// sourcekey: the source a peer address stands for: an IPv4 address whole,
// an IPv6 one by its /64, the least a site is given, so that one host
// cannot pass for many by its interface identifiers.
inline in6_addr sourcekey(in6_addr a)
{
    if (!IN6_IS_ADDR_V4MAPPED(&a))
        memset(&a.s6_addr[8], 0, 8);
    return a;
}

// stopsig: the stop signal (SIGTERM or SIGINT) that has come, 0 if none.
// Set by the handler only; the server's loop acts on it between turns
// (stopturn), and every wait on a client ends once it is set (stoppoll).
inline volatile sig_atomic_t stopsig = 0;
constexpr int stopsigs[] = {SIGTERM, SIGINT};
// stopsock: the socket the server waits on for its next turn; -1 while the
// process does not handle the stop signals.
inline int stopsock = -1;
// How long a stop waits for the exchange in hand to end and for standard
// output to take what it still holds.
constexpr unsigned stopgracesec = 1;

// stopset: the stop signals as a set.
inline sigset_t stopset()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : stopsigs)
        sigaddset(&set, sig);
    return set;
}

// stopnow: ends the process by the stop signal that has come, as it would
// have ended without a handler.
[[noreturn]] inline void stopnow()
{
    int sig = stopsig;
    signal(sig, SIG_DFL);
    raise(sig);
    sigset_t set = stopset(); // raised while blocked, inside a handler
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    _exit(128 + sig);
}

// ongrace: the grace is over and the server is still blocked (writing its
// trace to a reader that has stalled): it ends now.
inline void ongrace(int)
{
    stopnow();
}

// onstop: notes the signal, sets the grace clock and shuts stopsock's
// receiving side down: that wakes a wait in accept or recvfrom on it at
// once, and makes the next wait return at once, so a stop that comes just
// before the wait is not missed. The grace's SIGALRM is caught only from
// now on: before a stop, one sent from outside ends the server as it would
// any program. A second stop ends the process at once.
inline void onstop(int sig)
{
    int saved = errno;
    if (stopsig != 0)
        stopnow();
    stopsig = sig;
    struct sigaction sa = {};
    sa.sa_handler = ongrace;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    alarm(stopgracesec);
    shutdown(stopsock, SHUT_RD);
    errno = saved;
}

// stopsignals: SIGTERM and SIGINT no longer end the process at once: the
// server, waiting on sd, finishes the exchange in hand without waiting on
// its client any more and ends by them at its next turn (stopturn), so a
// stop neither cuts an ordinary exchange short nor loses a line; past
// stopgracesec it ends wherever it is. A call the handler interrupts starts
// again, but for one on a socket with a time bound, which fails with EINTR
// and is retried by its caller. One ignored from the start (a background
// job's SIGINT) stays ignored.
inline void stopsignals(int sd)
{
    stopsock = sd;
    struct sigaction sa = {};
    sa.sa_handler = onstop;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigset_t caught; // unblocked too, should the parent have left them blocked
    sigemptyset(&caught);
    for (int sig : stopsigs) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
        sigaddset(&caught, sig);
    }
    sigaddset(&caught, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

// stoppoll: poll on pfd for up to ms milliseconds, as a wait on a client
// that a stop ends: 0 at once once a stop has come, even one that came just
// before the wait; -1 with EINTR when one comes during it.
inline int stoppoll(pollfd *pfd, long ms)
{
    if (stopsock < 0)
        return poll(pfd, 1, int(ms));
    sigset_t stops = stopset(), old;
    sigprocmask(SIG_BLOCK, &stops, &old);
    int n = 0;
    if (stopsig == 0) {
        timespec ts = {.tv_sec = ms / 1000, .tv_nsec = ms % 1000 * 1000000};
        n = ppoll(pfd, 1, &ts, &old);
    }
    int saved = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return n;
}

// drainpeer: ends our sending side, then reads and discards what the peer
// still sends until it closes, has been quiet for drainquietms,
// drainlimitms have passed or a stop has come. Closing a socket with unread
// input sends a reset, which can destroy a reply still in flight; after
// this the caller's close ends the connection cleanly. The quiet bound
// keeps a client that stalls from holding an iterative server for the whole
// second, and is longer than the pause an honest client makes between
// pieces of a request.
constexpr long drainquietms = 400;
constexpr long drainlimitms = 1000;
inline void drainpeer(int sd)
{
    shutdown(sd, SHUT_WR);

    long start = monotonicms(), heard = start;
    char discard[4096];
    for (;;) {
        long left = std::min(heard + drainquietms, start + drainlimitms) - monotonicms();
        if (left <= 0)
            return;
        pollfd pfd = {.fd = sd, .events = POLLIN, .revents = 0};
        int n = stoppoll(&pfd, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        ssize_t got = recv(sd, discard, sizeof discard, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (got <= 0)
            return;
        heard = monotonicms();
    }
}

// acceptfailed: an iterative server's one reaction to accept's failure in
// errno: none for a skip or a stop (its turn comes next), a rest on a
// shortage, which a stop signal cuts short; any other failure ends the
// process through err with what.
inline void acceptfailed(const char *what)
{
    if (stopsig != 0)
        return;
    switch (acceptverdict(errno)) {
    case acceptfail::skip:
        return;
    case acceptfail::rest: {
        timespec rest = {.tv_sec = acceptrestms / 1000, .tv_nsec = acceptrestms % 1000 * 1000000};
        nanosleep(&rest, nullptr);
        return;
    }
    case acceptfail::fatal:
        err(1, "%s", what);
    }
}

// stopturn: called before each turn's wait. When a stop signal has come, it
// writes out what standard output still holds and ends the process by that
// signal, so that a stopped server keeps what it printed and exits as
// killed; with standard output's reader gone it ends all the same, by the
// stop rather than by SIGPIPE. A flag test only: nothing is asked of the
// system while no stop has come.
inline void stopturn()
{
    if (stopsig == 0)
        return;
    signal(SIGPIPE, SIG_IGN);
    fflush(stdout);
    stopnow();
}

#endif
