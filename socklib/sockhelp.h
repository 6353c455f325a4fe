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

// stopsig: the stop signal (SIGTERM or SIGINT) that has arrived, 0 if none.
// Set by the handler only; the main loop acts on it in waitinput.
inline volatile sig_atomic_t stopsig = 0;
constexpr int stopsigs[] = {SIGTERM, SIGINT};
// stopmask: the stop signals caught, held back outside waitinput.
inline sigset_t stopmask;

inline void onstop(int sig)
{
    stopsig = sig;
}

// stopsignals: SIGTERM and SIGINT no longer end the process at once: they are
// held back until waitinput, which lets them in only while it waits, so a
// stop never cuts an exchange short and never slips in unseen just before
// the wait begins. One ignored from the start (a background job's SIGINT)
// stays ignored.
inline void stopsignals()
{
    struct sigaction sa = {};
    sa.sa_handler = onstop;
    sigemptyset(&sa.sa_mask);
    sigemptyset(&stopmask);
    for (int sig : stopsigs) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
        sigaddset(&stopmask, sig);
    }
    sigprocmask(SIG_BLOCK, &stopmask, nullptr);
}

// waitinput: waits until fd has input. When a stop signal has come, it writes
// out what standard output still holds and ends the process by that signal,
// so that a stopped server keeps what it printed and exits as killed.
inline void waitinput(int fd)
{
    sigset_t waitmask; // the mask as it is, stop signals let in
    sigprocmask(SIG_BLOCK, nullptr, &waitmask);
    for (int sig : stopsigs)
        sigdelset(&waitmask, sig);
    for (;;) {
        if (stopsig != 0) {
            int sig = stopsig;
            fflush(stdout);
            signal(sig, SIG_DFL);
            sigprocmask(SIG_UNBLOCK, &stopmask, nullptr);
            raise(sig);
        }
        pollfd pfd = {.fd = fd, .events = POLLIN, .revents = 0};
        int n = ppoll(&pfd, 1, nullptr, &waitmask);
        if (n < 0 && errno == EINTR)
            continue;
        // ppoll lets a held-back stop in only when nothing is ready: under
        // steady input the stop would wait as long as the input lasts.
        timespec now = {.tv_sec = 0, .tv_nsec = 0};
        int sig = sigtimedwait(&stopmask, nullptr, &now);
        if (sig > 0) {
            stopsig = sig;
            continue;
        }
        return;
    }
}

#endif
