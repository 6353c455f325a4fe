// stress - what the stress and fault tests share: starting servers, checking
// every service's reply, and the hostile clients (resets, half-open, silent).
#ifndef STRESS_H
#define STRESS_H

#include "testproc.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace st {

// Whether this build runs under AddressSanitizer (slower, more memory).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool asan = true;
#else
constexpr bool asan = false;
#endif

// quadserv's four services as offsets from its port base.
enum svc { echo, chargen, daytime, timesvc };
constexpr int svcoff[] = {7, 19, 13, 37};
constexpr const char *svcname[] = {"echo", "chargen", "daytime", "time"};

// A descriptor closed, with a reset, when it goes out of scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    ~Fd();
};

// ask: tcpask that ends with a reset once the reply is in.
std::optional<std::string> ask(const std::string &host, int port, const std::string &req = "");

// A running quadserv and its port base.
struct Quad {
    tp::Proc proc;
    int base = -1;
    int port(svc s) const { return base + svcoff[s]; }
};

// startquad: quadserv on a free port base, all eight sockets bound; fails the
// test (fatal) otherwise. prefix runs it under setpriv, prlimit, ...
void startquad(Quad &q, const std::vector<std::string> &prefix = {});

// startserver: prog with args, its stdout and stderr on pipes read by nobody
// but the test; fatal test failure unless port becomes bound for proto.
tp::Proc startserver(const std::string &prog, const std::vector<std::string> &args, int port,
                     const std::string &proto);

// requirefree5678: moves the test into a network of its own, or where that
// is not allowed waits for port 5678 on the host; a fatal failure with a
// clear message when another program holds it.
void requirefree5678();

// chargenlines: the first n bytes of the chargen stream.
std::string chargenlines(size_t n);

// tcpcheck / udpcheck: one exchange with quadserv's service s on port; ""
// when the reply is right, else what was wrong. tag makes echo payloads distinct.
std::string tcpcheck(svc s, int port, int tag = 0, const std::string &host = "127.0.0.1");
std::string udpcheck(svc s, int port, const std::string &req = "ping",
                     const std::string &host = "127.0.0.1");

// allanswer: every TCP and UDP service of q answers correctly (gtest expectations).
void allanswer(const Quad &q);

// The hostile clients, each bounded: resetstorm opens n connections and
// aborts each with a reset (half of them after sending junk); halfopen
// connects, sends req, shuts its sending side and returns what came back
// (cap bytes at most);
// silent opens n connections that send nothing and stay open.
void resetstorm(const std::string &host, int port, int n);
std::string halfopen(const std::string &host, int port, const std::string &req,
                     size_t cap = 1 << 20);
std::vector<Fd> silent(const std::string &host, int port, int n);

// settledzombies: waits (5 s at most) until pid has no children left, live or
// unreaped; the zombies still there then.
int settledzombies(pid_t pid);

} // namespace st

#endif
