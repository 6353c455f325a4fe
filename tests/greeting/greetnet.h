// greetnet - what the greeting tests share: port 5678, the two families, the
// servers' log lines, and the fixture of a server and client pair.
#ifndef GREETNET_H
#define GREETNET_H

#include "testproc.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

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

// dial: connects sd to host at port; false on failure.
bool dial(int sd, const std::string &host, int port);

// peerline: the log line a server prints for kind ("connection" or
// "data") from host at port.
std::string peerline(const char *kind, const std::string &host, int port, bool brackets);

// start: prog started on port 5678 of proto, its lines on a pseudo-terminal
// (so they come at once); check tp::running on the result.
tp::Proc start(const std::string &prog, const char *proto);

// v4mapped: whether an IPv6 socket also takes IPv4 peers on this host.
bool v4mapped();

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
    // checkpair: the real client against the real server, three times, the
    // server's output going to a file; then a stop, which must keep its lines.
    void checkpair();
    // checkbusy: the server refused while a socket of ours holds its port.
    void checkbusy();
    // checkalone: the client with no server prints nothing and exits 0.
    void checkalone();
    // finish: a client served by a test server, waited for and read out.
    static tp::Result finish(tp::Proc &cli);

private:
    const char *proto_, *stem_, *kind_;
};

} // namespace gn

#endif
