// greetnet - what the greeting tests share: a private network per test, the
// fixed port 5678, the two families, and small socket helpers.
#ifndef GREETNET_H
#define GREETNET_H

#include "testproc.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <optional>
#include <ostream>
#include <string>

namespace gn {

constexpr int port = 5678;
constexpr char greeting[] = "Hello World!\n";

// One address family as the tests see it.
struct Fam {
    const char *name;   // "IPv4" or "IPv6", for test names
    const char *suffix; // "" or "6": the program of that family
    int family;
    const char *host;   // the loopback address
    const char *bracket;// host as socat and log lines write it
};
constexpr Fam v4 = {"IPv4", "", AF_INET, "127.0.0.1", "127.0.0.1"};
constexpr Fam v6 = {"IPv6", "6", AF_INET6, "::1", "[::1]"};
// PrintTo: a family by its name in test reports.
inline void PrintTo(const Fam &f, std::ostream *os) { *os << f.name; }

// localsock: a socket of type bound to the loopback address of f at
// port (0: any free one), with SO_REUSEADDR; -1 on failure.
int localsock(const Fam &f, int type, int port);
// v4mapped: whether an IPv6 socket also takes IPv4 peers here.
bool v4mapped();
// boundport: the local port of sd.
int boundport(int sd);
// connectto: connects sd to host at port; false on failure.
bool connectto(int sd, const char *host, int port);
// acceptfor: the next connection on ls, -1 after timeoutms.
int acceptfor(int ls, int timeoutms);
// readable: whether sd has input (or end of stream) within timeoutms.
bool readable(int sd, int timeoutms);

// Stream is what a TCP client read: the bytes, and how the stream ended.
struct Stream {
    std::string data;
    bool cleanend = false; // end of stream, not a reset or a time-out
    int err = 0;           // errno of the failed receive
};
Stream readstream(int sd, int timeoutms = 5000);

// peerline: the log line a server prints for kind ("connection" or
// "data") from host at port.
std::string peerline(const char *kind, const std::string &host, int port, bool brackets);

// startserver: prog started on a pseudo-terminal (so its lines come at once)
// once port 5678 of proto is bound; check tp::running on the result.
tp::Proc startserver(const std::string &prog, const char *proto);

// GreetCase: one case of a server and client pair over one family, in a
// network of its own, with port 5678 of proto checked free first.
class GreetCase : public testing::TestWithParam<Fam> {
protected:
    GreetCase(const char *proto, const char *stem, const char *kind) : proto_(proto), stem_(stem), kind_(kind) {}
    void SetUp() override;
    const Fam &fam() const { return GetParam(); }
    std::string server() const { return std::string(stem_) + "srv" + fam().suffix; }
    std::string client() const { return std::string(stem_) + "cli" + fam().suffix; }
    // line: the server's log line for a peer on our loopback at port.
    std::string line(int port) const { return peerline(kind_, fam().host, port, fam().family == AF_INET6); }
    // checkpair: the real client against the real server, three times.
    void checkpair();
    // checkbusy: the server refused while a socket of ours holds its port.
    void checkbusy();
    // finish: a client served by a test server, waited for and read out.
    static tp::Result finish(tp::Proc &cli);

private:
    const char *proto_, *stem_, *kind_;
};

// mappedserver: starts the IPv6 server prog as srv in a network of its own,
// or skips the test where IPv6 sockets take no IPv4 peers.
void mappedserver(const char *prog, const char *proto, tp::Proc &srv);

} // namespace gn

#endif
