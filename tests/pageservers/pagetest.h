// pagetest - starting the page servers and checking their pages and trace.
#ifndef PAGETEST_H
#define PAGETEST_H

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "testproc.h"

namespace pt {

inline const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\n";

// A server under test: its process (trace on a pty) and its port.
struct Page {
    tp::Proc proc;
    int port = -1;
};

// start: program with args and env, trace through a pty, once port is listening;
// fails the test when it does not come up.
Page start(const std::string &program, int port, const std::vector<std::string> &args,
           const std::vector<std::string> &env = {});

// hold5678free: for greetpage, which asks for no address reuse: a network
// of this test's own, or else port 5678 free on the host's. false (with a
// failure message) when another program holds it.
bool hold5678free();

// Exchange of one client: what it received and its own port.
struct Got {
    std::string bytes;
    int localport = -1;
};
// ask: connects to host:port, sends req (if any), reads to the end.
Got ask(int port, const std::string &req, const std::string &host = "127.0.0.1");

// trace: the next n lines of the server's trace (fewer on time-out).
std::vector<std::string> trace(Page &p, size_t n = 6, int timeoutms = 10000);

// expecttrace: checks one connection's six lines; received < -1 skips that number.
void expecttrace(const std::vector<std::string> &lines, const std::string &peer, int received,
                 int first, int second);

// datetexts: the date texts of locale (LC_ALL name) for every second from
// before to after, in UTC, with fmt or the locale's own date-and-time format.
std::vector<std::string> datetexts(const std::string &locale, time_t before, time_t after,
                                   const char *fmt = nullptr);

// oneof: whether s is among the texts.
bool oneof(const std::string &s, const std::vector<std::string> &texts);

// chromium: the text that headless Chromium renders for url ("" if it failed).
std::string chromium(const std::string &url);

} // namespace pt

#endif
