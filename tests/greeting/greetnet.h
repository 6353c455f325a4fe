// greetnet - what the greeting tests share: port 5678, the two families, the
// servers' log lines, and the fixture of a server and client pair.
#ifndef GREETNET_H
#define GREETNET_H

#include "testproc.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
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

// One transport's pair of programs as the tests see it.
struct Pair {
    const char *proto; // "tcp" or "udp"
    const char *stem;  // the programs' names before "srv" or "cli"
    const char *kind;  // the first word of the server's log line
};
constexpr Pair tcp = {"tcp", "streamgreet", "connection"};
constexpr Pair udp = {"udp", "dgramgreet", "data"};

// One server and client pair over one family, "tcp_IPv4" and the like in
// test names.
struct Case {
    Pair pair;
    Fam fam;
};
inline std::string casename(const testing::TestParamInfo<Case> &i)
{
    return std::string(i.param.pair.proto) + "_" + i.param.fam.name;
}
inline void PrintTo(const Case &c, std::ostream *os) { *os << c.pair.proto << " " << c.fam.name; }

// start: prog started on port 5678 of proto, its lines on a pseudo-terminal
// (so they come at once); check tp::running on the result.
inline tp::Proc start(const std::string &prog, const char *proto)
{
    tp::SpawnOpts opts;
    opts.pty = true;
    return tp::servefixed({tp::bin(prog)}, port, proto, opts);
}

// v4mapped: whether an IPv6 socket also takes IPv4 peers on this host.
inline bool v4mapped()
{
    std::ifstream f("/proc/sys/net/ipv6/bindv6only");
    int only = 1;
    return f >> only && only == 0;
}

// GreetCase: one case of a server and client pair, in a network of its
// own, with port 5678 of its transport checked free first.
class GreetCase : public testing::TestWithParam<Case> {
protected:
    void SetUp() override { ASSERT_EQ(tp::fixedport(port, proto()), ""); }
    const Fam &fam() const { return GetParam().fam; }
    const char *proto() const { return GetParam().pair.proto; }
    std::string server() const { return std::string(GetParam().pair.stem) + "srv" + fam().suffix; }
    std::string client() const { return std::string(GetParam().pair.stem) + "cli" + fam().suffix; }
    // line: the server's log line for a peer at port on our loopback, or at
    // addr as the server writes it.
    std::string line(int p, const std::string &addr = "") const
    {
        return std::string(GetParam().pair.kind) + " from " + (addr.empty() ? fam().bracket : addr) +
               ":" + std::to_string(p);
    }
    // serveclient: the real client against a socket of ours of type on port
    // 5678, which talk serves; what the client printed and its status.
    tp::Result serveclient(int type, const std::function<void(int, tp::Proc &)> &talk) const
    {
        tp::Fd s(tp::localsock(fam().host, type, port));
        EXPECT_GE(s, 0) << std::strerror(errno);
        if (s < 0 || (type == SOCK_STREAM && listen(s, 10) != 0))
            return {};
        tp::Proc cli = tp::spawn({tp::bin(client())});
        talk(s, cli);
        s = tp::Fd();
        auto st = tp::wait(cli, 5000);
        EXPECT_TRUE(st.has_value()) << "the client did not end when served";
        return {st.value_or(-1), tp::readall(cli.out, 2000), tp::readall(cli.err, 500)};
    }
};

} // namespace gn

#endif
