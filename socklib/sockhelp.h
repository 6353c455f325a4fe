// sockhelp - header-only helpers shared by the servers (no library to link).
#ifndef SOCKHELP_H
#define SOCKHELP_H

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>

// sap: a socket address record as the sockaddr pointer the socket calls take.
template <typename T> inline sockaddr *sap(T *p) { return reinterpret_cast<sockaddr *>(p); }

// drainpeer: ends our sending side, then reads and discards what the peer
// still sends until it closes or about a second has passed. Closing a socket
// with unread input sends a reset, which can destroy a reply still in flight;
// after this the caller's close ends the connection cleanly.
inline void drainpeer(int sd)
{
    constexpr long limitms = 1000;
    shutdown(sd, SHUT_WR);

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    char discard[4096];
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
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

#endif
