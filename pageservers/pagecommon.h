// pagecommon - what the three HTTP page servers share: the head, the
// listening socket's setup, the accept, the bounded exchange, and the end of
// a connection.
#ifndef PAGECOMMON_H
#define PAGECOMMON_H

#include <err.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

// A client may keep the server waiting this long in a send, or in the
// receive where the listener cannot defer connections.
constexpr int pagewaitsec = 5;
// With deferred accept a connection is handed over once its first bytes
// have come, or once it has been silent for pagedefersec; a silent one then
// gets pagesilentms more before it is answered without a request, so that
// a client that connects and says nothing holds the server only that long.
constexpr int pagedefersec = 1;
constexpr int pagesilentms = 200;
// How long the one receive waits for a request: pagesilentms once the
// listener defers connections, pagewaitsec where it cannot.
inline int pagerecvms = pagewaitsec * 1000;

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

// pageinherits: whether sd carries the send bound at pagewaitsec.
inline bool pageinherits(int sd)
{
    timeval tv{};
    socklen_t len = sizeof tv;
    return getsockopt(sd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) == 0 && tv.tv_sec == pagewaitsec &&
           tv.tv_usec == 0;
}

// Whether accepted sockets come with the listening socket's send bound: -1
// until the first connection shows it, then 1 or 0 (each connection sets its
// own).
inline int pageinherited = -1;

// pagedefer: has msock hand connections over once they have something to
// read, or have been silent for pagedefersec, where the platform can; the
// receive then waits only pagesilentms.
inline void pagedefer(int msock)
{
#ifdef TCP_DEFER_ACCEPT
    int defer = pagedefersec;
    if (setsockopt(msock, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer) == 0)
        pagerecvms = pagesilentms;
#endif
}

// pagewaker: -1, or, when the listening socket is shared with a service
// manager that keeps it listening across restarts, the socket a stop shuts
// down in its stead (a listener's shutdown ends its listening), which
// pageaccept waits on beside it.
inline int pagewaker = -1;

// pagesetup: prepares the process and its listening socket msock (shared:
// handed over by a service manager): a client that has gone away makes a
// send fail (shown in the trace) instead of ending the server with SIGPIPE;
// a stop signal ends it between connections, keeping what it printed;
// connections are handed over once they have something to read, where the
// platform can defer them; the send bound is set once here for every
// connection where the platform hands it on to accepted sockets.
inline void pagesetup(int msock, bool shared = false)
{
    signal(SIGPIPE, SIG_IGN);
    if (shared) {
        // Non-blocking, so that a connection gone between the wait and the
        // accept cannot hold the server where a stop does not wake it.
        int flags = fcntl(msock, F_GETFL);
        pagewaker = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (pagewaker < 0 || flags < 0 || fcntl(msock, F_SETFL, flags | O_NONBLOCK) < 0)
            err(1, "handed socket");
    }
    stopsignals(shared ? pagewaker : msock);
    timebound(msock, SO_SNDTIMEO, pagewaitsec);
    pagedefer(msock);
}

// pageaccept: the next connection on msock, its peer in sa (size bytes at most,
// the length filled in salen), with bounded sends. Failures that concern only
// that connection are skipped, a shortage rests the server; any other ends
// the process (err).
inline int pageaccept(int msock, sockaddr *sa, socklen_t size, socklen_t *salen)
{
    for (;;) {
        stopturn();
        *salen = size;
        int ssock = accept(msock, sa, salen);
        if (ssock >= 0) {
            // Without the bound a client that reads nothing could hold the
            // server for ever; a socket where it cannot be set is still served.
            if (pageinherited < 0)
                pageinherited = pageinherits(ssock);
            if (pageinherited == 0)
                timebound(ssock, SO_SNDTIMEO, pagewaitsec);
            return ssock;
        }
        if (pagewaker >= 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A shared listener does not block: the wait is here, where a
            // stop wakes it and leaves what waits to the next server. A
            // busy server takes its next connection without it.
            pollfd pfd[] = {{.fd = msock, .events = POLLIN, .revents = 0},
                            {.fd = pagewaker, .events = POLLIN, .revents = 0}};
            poll(pfd, 2, -1);
            continue;
        }
        acceptfailed("main() accept");
    }
}

// pagesend: one send of text, traced as "Sent n of m bytes."; a failed or short
// send shows only in the trace. flags MSG_MORE holds the text back for the
// send that follows, so that the page leaves in one segment.
inline void pagesend(int sd, std::string_view text, int flags)
{
    int bytes_sent;
    do // a stop signal interrupts a bounded send; the page still goes out
        bytes_sent = int(send(sd, text.data(), text.size(), flags));
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

// What the one receive found: a whole request, one cut short, or none
// (nothing came in time, the client closed, or the receive failed).
enum class pagereq { whole, cut, none };

// pagerecv: the one receive into buf: at once when the request is there,
// which with deferred accept it usually is, else after a wait of up to
// pagerecvms, which a stop ends; -1 when nothing came in time or the
// receive failed.
inline int pagerecv(int sd, char *buf, std::size_t len)
{
    long until = monotonicms() + pagerecvms;
    for (;;) {
        // A request that came before the stop is read all the same.
        ssize_t n = recv(sd, buf, len, MSG_DONTWAIT);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return int(n);
        long left = until - monotonicms();
        pollfd pfd = {.fd = sd, .events = POLLIN, .revents = 0};
        if (left <= 0 || stoppoll(&pfd, left) == 0) {
            errno = EAGAIN;
            return -1;
        }
    }
}

// pagefound: what a receive of n bytes into request found.
inline pagereq pagefound(const char *request, int n)
{
    if (n <= 0)
        return pagereq::none;
    return pagewhole({request, std::size_t(n)}) ? pagereq::whole : pagereq::cut;
}

// pageread: reads the request once (never looked at but for its end),
// tracing it; a failed or timed-out receive shows as -1.
inline pagereq pageread(int sd)
{
    char request[1024];
    puts("Reading request...");
    int bytes_received = pagerecv(sd, request, sizeof request);
    printf("Received %d bytes.\n", bytes_received);
    return pagefound(request, bytes_received);
}

// pageend: readies sd for the caller's close. Closing with unread input
// sends a reset, which can destroy the page still in flight; so when the
// request was cut short, or more has come since, the client is left to read
// to the end first (a bounded drain). Otherwise it closes at once.
inline void pageend(int sd, pagereq req)
{
    char c;
    ssize_t n = req != pagereq::cut ? recv(sd, &c, 1, MSG_PEEK | MSG_DONTWAIT) : 1;
    if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
        return;
    drainpeer(sd);
}

// pagereply: sends the page, first and body, in the two traced sends (the
// whole response goes out, whatever the receive found), then readies the
// connection for its close; req as pageread returned it.
inline void pagereply(int sd, std::string_view first, std::string_view body, pagereq req)
{
    puts("Sending response...");
    pagesend(sd, first, MSG_MORE);
    pagesend(sd, body, 0);
    pageend(sd, req);
}

#endif
