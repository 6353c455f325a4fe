// pagecommon - what the three HTTP page servers share: the head, the bounded
// accept and exchange, and the clean end of a connection.
#ifndef PAGECOMMON_H
#define PAGECOMMON_H

#include <err.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string_view>

#include "sockhelp.h"

// Every page begins with this head; the end of the body is the end of the
// connection, which the head announces.
constexpr char pagehead[] = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\n";
static_assert(sizeof pagehead - 1 == 64);

// A client may keep the server waiting this long in the receive or in a send.
constexpr int pagewaitsec = 5;

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

// pagesignals: a client that has gone away makes a send fail (shown in the
// trace) instead of ending the server with SIGPIPE.
inline void pagesignals()
{
    signal(SIGPIPE, SIG_IGN);
}

// pageaccept: the next connection on msock, its peer in sa (size bytes at most,
// the length filled in salen), with bounded receive and sends. Failures that
// concern only that connection are skipped; any other ends the process (err).
inline int pageaccept(int msock, sockaddr *sa, socklen_t size, socklen_t *salen)
{
    for (;;) {
        *salen = size;
        int ssock = accept(msock, sa, salen);
        if (ssock >= 0) {
            // Without the bounds a silent client would hold the server for
            // ever; a socket where they cannot be set is still served.
            timeval tv = {.tv_sec = pagewaitsec, .tv_usec = 0};
            setsockopt(ssock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            setsockopt(ssock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            return ssock;
        }
        if (errno != ECONNABORTED && errno != EPROTO && errno != EINTR)
            err(1, "main() accept");
    }
}

// pagesend: one send of text, traced as "Sent n of m bytes."; a failed or short
// send shows only in the trace.
inline void pagesend(int sd, std::string_view text)
{
    int bytes_sent = int(send(sd, text.data(), text.size(), 0));
    printf("Sent %d of %d bytes.\n", bytes_sent, int(text.size()));
}

// pagestart: reads the request once (never looked at), then sends response,
// tracing each step; a failed or timed-out receive shows as -1, and the
// response goes out all the same.
inline void pagestart(int sd, std::string_view response)
{
    char request[1024];
    puts("Reading request...");
    int bytes_received = int(recv(sd, request, sizeof request, 0));
    printf("Received %d bytes.\n", bytes_received);
    puts("Sending response...");
    pagesend(sd, response);
}

// pagefinish: sends the body, then lets the client read it to the end: unread
// request bytes at close would reset the connection and lose the page.
inline void pagefinish(int sd, std::string_view body)
{
    pagesend(sd, body);
    drainpeer(sd);
}

#endif
