// pagetest - what the page servers' tests share: the head, the trace, the
// locale's date texts, Chromium, and the one round of misbehaving clients.
#ifndef PAGETEST_H
#define PAGETEST_H

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "testproc.h"

namespace pt {

inline const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\n";
// headwith: the head of a locale whose codeset is charset.
inline std::string headwith(const std::string &charset)
{
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain; charset=" + charset +
           "\r\n\r\n";
}

// pageopts: how a page server is started in a test: the locale named (never
// the test machine's own), the clock in UTC, and the trace on a pty.
tp::SpawnOpts pageopts(const std::string &locale, std::vector<std::string> env = {},
                       bool pty = true);

// A request as a browser's begins, whole.
inline const std::string get = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";

// ask: one client's exchange with a page server on 127.0.0.1 (or host) at
// port: req sent, the page read to the end.
inline tp::Reply ask(int port, const std::string &req = get, const std::string &host = "127.0.0.1")
{
    return tp::ask(host, port, req, 10000);
}

// curl: curl fetching http://127.0.0.1:port/, with a Cookie header of
// cookie bytes when that is not 0.
tp::Result curl(int port, size_t cookie = 0);

// received: the number a "Received n bytes." trace line gives; -2 for any
// other line. receivedof: that of the next connection's six lines in p's
// trace, -2 when they are not six.
int received(const std::string &line);
int receivedof(tp::Proc &p);

// trace: the next n lines of the server's trace (fewer on time-out).
std::vector<std::string> trace(tp::Proc &p, size_t n = 6, int timeoutms = 10000);

// expecttrace: checks one connection's six lines; received < -1 skips that number.
void expecttrace(const std::vector<std::string> &lines, const std::string &peer, int received,
                 int first, int second);

// datetexts: the date texts of locale (LC_ALL name) for every second from
// before to after, in UTC or in the zone of zonefile, with fmt or the
// locale's own date-and-time format.
std::vector<std::string> datetexts(const std::string &locale, time_t before, time_t after,
                                   const char *fmt = nullptr, const std::string &zonefile = "");

// ascii: whether s holds no byte above 0x7f.
bool ascii(const std::string &s);

// timebody: the body of a locale's time category whose date-and-time format
// is dtfmt (symbols such as <U00E9> allowed) and whose full day names are
// days (seven quoted names, ";" between them).
std::string timebody(const std::string &dtfmt,
                     const std::string &days = "\"a\";\"b\";\"c\";\"d\";\"e\";\"f\";\"g\"");
// testlocale: builds the locale name in folder dir (for LOCPATH), of
// charmap, with the time category body lctime and de_DE's other categories;
// false when localedef cannot.
bool testlocale(const std::string &dir, const std::string &name, const std::string &charmap,
                const std::string &lctime);

// oneof: whether s is among the texts.
bool oneof(const std::string &s, const std::vector<std::string> &texts);

// chromium: the text that headless Chromium renders for url ("" if it failed).
std::string chromium(const std::string &url);

// hostile: a page server p (trace on a pty) on port, whose first send is
// first and second body ("" when it varies), against clients that reset,
// stay silent, send garbage or nothing, and the common hostile round; it must
// answer everyone, keep its trace exact and never end.
void hostile(tp::Proc &p, int port, const std::string &first, const std::string &body);

} // namespace pt

#endif
