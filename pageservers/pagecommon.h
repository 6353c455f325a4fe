// pagecommon - what the three HTTP page servers share: the head, the bounded
// accept and exchange, and the end of a connection.
#ifndef PAGECOMMON_H
#define PAGECOMMON_H

#include <err.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "sockhelp.h"

// Every page begins with this head; the end of the body is the end of the
// connection, which the head announces.
constexpr char pagehead[] = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\n";
static_assert(sizeof pagehead - 1 == 64);

// A client may keep the server waiting this long in the receive or in a send.
constexpr int pagewaitsec = 5;

// Failures of accept for a passing shortage of memory; with those that
// concern the new connection only (acceptconnerrs) they are skipped, and any
// other failure ends the server.
constexpr std::array pageshortages = {ENOBUFS, ENOMEM};

// pagejoin: the two texts as one terminated text, built at compile time.
template <std::size_t N, std::size_t M>
consteval std::array<char, N + M - 1> pagejoin(const char (&a)[N], const char (&b)[M])
{
    std::array<char, N + M - 1> out{};
    for (std::size_t i = 0; i + 1 < N; ++i)
        out[i] = a[i];
    for (std::size_t i = 0; i < M; ++i)
        out[N - 1 + i] = b[i];
    return out;
}

// pagebounds: sets the receive and send bounds on sd.
inline void pagebounds(int sd)
{
    timeval tv = {.tv_sec = pagewaitsec, .tv_usec = 0};
    setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(sd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// pageinherits: whether sd carries both bounds at pagewaitsec.
inline bool pageinherits(int sd)
{
    for (int opt : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        timeval tv{};
        socklen_t len = sizeof tv;
        if (getsockopt(sd, SOL_SOCKET, opt, &tv, &len) < 0 || tv.tv_sec != pagewaitsec ||
            tv.tv_usec != 0)
            return false;
    }
    return true;
}

// Whether accepted sockets come with the listening socket's bounds: -1 until
// the first connection shows it, then 1 or 0 (each connection sets its own).
inline int pageinherited = -1;

// pagesignals: prepares the process and its listening socket msock: a
// client that has gone away makes a send fail (shown in the trace) instead of
// ending the server with SIGPIPE; a stop signal ends it only between
// connections, keeping what it printed; the bounds are set once here for
// every connection where the platform hands them on to accepted sockets.
inline void pagesignals(int msock)
{
    signal(SIGPIPE, SIG_IGN);
    stopsignals(msock);
    pagebounds(msock);
}

// pageaccept: the next connection on msock, its peer in sa (size bytes at most,
// the length filled in salen), with bounded receive and sends. Failures that
// concern only that connection are skipped; any other ends the process (err).
inline int pageaccept(int msock, sockaddr *sa, socklen_t size, socklen_t *salen)
{
    for (;;) {
        stopturn();
        *salen = size;
        int ssock = accept(msock, sa, salen);
        if (ssock >= 0) {
            // Without the bounds a silent client would hold the server for
            // ever; a socket where they cannot be set is still served.
            if (pageinherited < 0)
                pageinherited = pageinherits(ssock);
            if (pageinherited == 0)
                pagebounds(ssock);
            return ssock;
        }
        // A stop wakes the wait, and the listener's bound ends it now and
        // then: both come back to the check for a stop.
        if (stopsig != 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            continue;
        if (!oneof(errno, acceptconnerrs) && !oneof(errno, pageshortages))
            err(1, "main() accept");
        if (oneof(errno, pageshortages)) {
            // The connection may still be queued: give memory a moment
            // rather than spin on it.
            timespec pause = {.tv_sec = 0, .tv_nsec = 10'000'000};
            nanosleep(&pause, nullptr);
        }
    }
}

// pagesend: one send of text, traced as "Sent n of m bytes."; a failed or short
// send shows only in the trace.
inline void pagesend(int sd, std::string_view text)
{
    int bytes_sent;
    do // a stop signal interrupts a bounded send; the page still goes out
        bytes_sent = int(send(sd, text.data(), text.size(), 0));
    while (bytes_sent < 0 && errno == EINTR);
    printf("Sent %d of %d bytes.\n", bytes_sent, int(text.size()));
}

// pagelower: c in lower case, ASCII only, whatever the locale says.
constexpr char pagelower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// pagefield: whether head has a field line named name (lower case, colon
// included), in any case.
constexpr bool pagefield(std::string_view head, std::string_view name)
{
    for (std::size_t nl = head.find('\n'); nl != std::string_view::npos; nl = head.find('\n', nl + 1)) {
        std::string_view line(head.data() + nl + 1, head.size() - nl - 1); // substr could throw
        if (line.size() >= name.size() &&
            std::equal(name.begin(), name.end(), line.begin(),
                       [](char a, char b) { return a == pagelower(b); }))
            return true;
    }
    return false;
}

// pagewhole: whether request is a whole request: a head that ends with an
// empty line, nothing after it, and no body announced.
constexpr bool pagewhole(std::string_view request)
{
    return (request.ends_with("\r\n\r\n") || request.ends_with("\n\n")) &&
           !pagefield(request, "content-length:") && !pagefield(request, "transfer-encoding:");
}
static_assert(pagewhole("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
static_assert(!pagewhole("GET / HTTP/1.1\r\nHost: x\r\n"));
static_assert(!pagewhole("POST / HTTP/1.1\r\nCONTENT-Length: 5\r\n\r\n"));

// pagestart: reads the request once (never looked at but for its end), then
// sends response, tracing each step; a failed or timed-out receive shows as
// -1, and the response goes out all the same. Returns whether the request
// was read whole.
inline bool pagestart(int sd, std::string_view response)
{
    char request[1024];
    puts("Reading request...");
    int bytes_received;
    do // a stop signal interrupts the bounded receive: the request is read all the same
        bytes_received = int(recv(sd, request, sizeof request, 0));
    while (bytes_received < 0 && errno == EINTR);
    printf("Received %d bytes.\n", bytes_received);
    puts("Sending response...");
    pagesend(sd, response);
    return bytes_received > 0 && pagewhole({request, std::size_t(bytes_received)});
}

// pageend: readies sd for the caller's close. Closing with unread input
// sends a reset, which can destroy the page still in flight; so unless the
// whole request was read and nothing more has come, the client is left to
// read to the end first (a bounded drain).
inline void pageend(int sd, bool whole)
{
    char c;
    ssize_t n = whole ? recv(sd, &c, 1, MSG_PEEK | MSG_DONTWAIT) : 1;
    if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
        return;
    drainpeer(sd);
}

// pagefinish: sends the body, then readies the connection for its close;
// whole as pagestart returned it.
inline void pagefinish(int sd, std::string_view body, bool whole)
{
    pagesend(sd, body);
    pageend(sd, whole);
}

#endif
