// pagetest - what the page servers' tests share: the head, the request, the
// trace, and the one round of misbehaving clients.
#ifndef PAGETEST_H
#define PAGETEST_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testproc.h"

namespace pt {

inline const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\n";
// headof: the head naming charset, or the plain one for "".
inline std::string headof(const std::string &charset)
{
    return charset.empty() ? head : head.substr(0, head.size() - 4) + "; charset=" + charset + "\r\n\r\n";
}
// A request as a browser's begins, whole.
inline const std::string get = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";

// pageopts: a page server's start: the locale named (never the test
// machine's own), the clock in UTC, and the trace on a pty.
inline tp::SpawnOpts pageopts(const std::string &locale, std::vector<std::string> env = {},
                              bool pty = true)
{
    tp::SpawnOpts opts;
    opts.env = std::move(env);
    opts.env.insert(opts.env.end(), {"LC_ALL=" + locale, "TZ=UTC0"});
    opts.pty = pty;
    return opts;
}

// ask: req sent to 127.0.0.1 (or host) at port, the page read to the end.
inline tp::Reply ask(int port, const std::string &req = get, const std::string &host = "127.0.0.1")
{
    return tp::ask(host, port, req, 10000);
}

// curl: curl fetching http://127.0.0.1:port/, with a Cookie of cookie bytes.
inline tp::Result curl(int port, size_t cookie = 0)
{
    std::vector<std::string> argv = {"curl", "-sS", "--max-time", "20",
                                     "http://127.0.0.1:" + std::to_string(port) + "/"};
    if (cookie > 0)
        argv.insert(argv.begin() + 1, {"-H", "Cookie: session=" + std::string(cookie, 'c')});
    return tp::run(argv, "", {}, 30000);
}

// trace: the next n lines of p's trace (fewer on time-out).
inline std::vector<std::string> trace(tp::Proc &p, size_t n = 6, int timeoutms = 10000)
{
    std::vector<std::string> lines;
    for (std::optional<std::string> l; lines.size() < n && (l = tp::readline(p, timeoutms));)
        lines.push_back(*l);
    return lines;
}

// received: the n of a "Received n bytes." line; -2 for any other line.
inline int received(const std::string &line)
{
    int n = -2;
    char end = 0;
    return std::sscanf(line.c_str(), "Received %d bytes%c", &n, &end) == 2 && end == '.' ? n : -2;
}

// receivedof: received of the next connection's trace, -2 if not six lines.
inline int receivedof(tp::Proc &p)
{
    auto lines = trace(p);
    return lines.size() == 6 ? received(lines[2]) : -2;
}

// expecttrace: checks one connection's six lines; received < -1 skips that number.
void expecttrace(const std::vector<std::string> &lines, const std::string &peer, int received,
                 int first, int second);

// hostile: a page server p (trace on a pty) on port, whose first send is
// first and second body ("" when it varies), against clients that reset,
// stay silent, send garbage or nothing, and the common hostile round; it must
// answer everyone, keep its trace exact and never end.
void hostile(tp::Proc &p, int port, const std::string &first, const std::string &body);

} // namespace pt

#endif
