// greetnet - families, log lines and the pair fixture of the greeting tests.
#include "greetnet.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace gn {

bool v4mapped()
{
    std::ifstream f("/proc/sys/net/ipv6/bindv6only");
    int only = 1;
    return f >> only && only == 0;
}

bool dial(int sd, const std::string &host, int p)
{
    tp::Addr a = tp::addr(host, p);
    return connect(sd, a.sa(), a.len) == 0;
}

std::string peerline(const char *kind, const std::string &host, int p, bool brackets)
{
    std::string addr = brackets ? "[" + host + "]" : host;
    return std::string(kind) + " from " + addr + ":" + std::to_string(p);
}

tp::Proc start(const std::string &prog, const char *proto)
{
    tp::SpawnOpts opts;
    opts.pty = true;
    return tp::servefixed({tp::bin(prog)}, port, proto, opts);
}

void GreetCase::SetUp()
{
    ASSERT_EQ(tp::fixedport(port, proto()), "");
}

tp::Result GreetCase::finish(tp::Proc &cli)
{
    tp::Result r;
    auto st = tp::wait(cli, 5000);
    EXPECT_TRUE(st.has_value()) << "the client did not end when served";
    r.status = st.value_or(-1);
    r.out = tp::readall(cli.out, 2000);
    r.err = tp::readall(cli.err, 500);
    return r;
}

} // namespace gn
