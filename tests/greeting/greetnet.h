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

// One transport's pair of programs as the tests see it.
struct Pair {
    const char *proto; // "tcp" or "udp"
    const char *stem;  // the programs' names before "srv" or "cli"
    const char *kind;  // the first word of the server's log line
};
constexpr Pair tcp = {"tcp", "streamgreet", "connection"};
constexpr Pair udp = {"udp", "dgramgreet", "data"};

// One server and client pair over one family.
struct Case {
    Pair pair;
    Fam fam;
};
// casename: the name of a case in test names, "tcp_IPv4" and the like.
inline std::string casename(const testing::TestParamInfo<Case> &i)
{
    return std::string(i.param.pair.proto) + "_" + i.param.fam.name;
}
inline void PrintTo(const Case &c, std::ostream *os) { *os << c.pair.proto << " " << c.fam.name; }

// GreetCase: one case of a server and client pair, in a network of its
// own, with port 5678 of its transport checked free first.
class GreetCase : public testing::TestWithParam<Case> {
protected:
    void SetUp() override;
    const Fam &fam() const { return GetParam().fam; }
    const char *proto() const { return GetParam().pair.proto; }
    std::string server() const { return std::string(GetParam().pair.stem) + "srv" + fam().suffix; }
    std::string client() const { return std::string(GetParam().pair.stem) + "cli" + fam().suffix; }
    // line: the server's log line for a peer on our loopback at port.
    std::string line(int port) const
    {
        return peerline(GetParam().pair.kind, fam().host, port, fam().family == AF_INET6);
    }
    // finish: a client served by a test server, waited for and read out.
    static tp::Result finish(tp::Proc &cli);
};

} // namespace gn

#endif
