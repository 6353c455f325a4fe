// sockhelp - header-only helpers shared by the servers (no library to link).
#ifndef SOCKHELP_H
#define SOCKHELP_H

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <cstdio>

// sap: a socket address record as the sockaddr pointer the socket calls take.
template <typename T> inline sockaddr *sap(T *p) { return reinterpret_cast<sockaddr *>(p); }

// monotonicms: milliseconds of the monotonic clock, for bounds and windows.
inline long monotonicms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// acceptconnerrs: accept failures that concern the new connection only: it
// went away before it was taken, or Linux passes on a pending network error
// of it. A server skips them and takes the next one.
inline constexpr std::array acceptconnerrs = {ECONNABORTED, EPROTO, EINTR, ENETDOWN, ENOPROTOOPT,
                                              EHOSTDOWN, ENONET, EHOSTUNREACH, EOPNOTSUPP,
                                              ENETUNREACH};

// oneof: whether e is one of errs.
template <std::size_t n> inline bool oneof(int e, const std::array<int, n> &errs)
{
    for (int x : errs)
        if (x == e)
            return true;
    return false;
}

// drainpeer: ends our sending side, then reads and discards what the peer
// still sends until it closes or about a second has passed. Closing a socket
// with unread input sends a reset, which can destroy a reply still in flight;
// after this the caller's close ends the connection cleanly.
inline void drainpeer(int sd)
{
    constexpr long limitms = 1000;
    shutdown(sd, SHUT_WR);

    long start = monotonicms();
    char discard[4096];
    for (;;) {
        long spent = monotonicms() - start;
        if (spent >= limitms)
            return;
        pollfd pfd = {.fd = sd, .events = POLLIN, .revents = 0};
        int n = poll(&pfd, 1, int(limitms - spent));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        ssize_t got = recv(sd, discard, sizeof discard, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (got <= 0)
            return;
    }
}

// stopsig: the stop signal (SIGTERM or SIGINT) that has come, 0 if none.
// Set by the handler only; the server's loop acts on it between turns
// (stopturn).
inline volatile sig_atomic_t stopsig = 0;
constexpr int stopsigs[] = {SIGTERM, SIGINT};
// stopsock: the socket the server waits on for its next turn.
inline int stopsock = -1;

// onstop: notes the signal and shuts stopsock's receiving side down: that
// wakes a wait in accept or recvfrom on it at once, and makes the next wait
// return at once, so a stop that comes just before the wait is not missed.
inline void onstop(int sig)
{
    int saved = errno;
    stopsig = sig;
    shutdown(stopsock, SHUT_RD);
    errno = saved;
}

// stopsignals: SIGTERM and SIGINT no longer end the process at once: the
// server, waiting on sd, serves what it has in hand and ends by them at its
// next turn (stopturn), so a stop never cuts an exchange short. A call the
// handler interrupts starts again, but for one on a socket with a time
// bound, which fails with EINTR and is retried by its caller. One ignored
// from the start (a background job's SIGINT) stays ignored.
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
    sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

// stopturn: called before each turn's wait. When a stop signal has come, it
// writes out what standard output still holds and ends the process by that
// signal, so that a stopped server keeps what it printed and exits as
// killed. A flag test only: nothing is asked of the system while no stop
// has come.
inline void stopturn()
{
    if (stopsig == 0)
        return;
    int sig = stopsig;
    fflush(stdout);
    signal(sig, SIG_DFL);
    raise(sig);
}

#endif
