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

namespace {

// v4mapped: whether an IPv6 socket also takes IPv4 peers here.
bool v4mapped()
{
    std::ifstream f("/proc/sys/net/ipv6/bindv6only");
    int only = 1;
    return f >> only && only == 0;
}

} // namespace

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
    return tp::serve({tp::bin(prog)}, port, proto, opts);
}

void GreetCase::SetUp()
{
    ASSERT_EQ(tp::fixedport(port, proto_), "");
}

void GreetCase::checkpair()
{
    // Output to a file, as a user's redirection gives it: fully buffered
    // until the server writes it out when it is stopped.
    std::string file = testing::TempDir() + server() + std::to_string(getpid());
    tp::Proc srv = tp::serve({"sh", "-c", "exec \"$0\" >\"$1\"", tp::bin(server()), file}, port,
                             proto_);
    ASSERT_TRUE(tp::running(srv));
    for (int i = 0; i < 3; ++i) {
        tp::Result r = tp::run({tp::bin(client())});
        EXPECT_EQ(tp::exitcode(r.status), 0);
        EXPECT_EQ(r.out, greeting);
        EXPECT_EQ(r.err, "");
    }
    int st = tp::stop(srv);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << "wait status " << st;
    // The real client's port is not known beforehand: any decimal number.
    std::string head = peerline(kind_, fam().host, 0, fam().family == AF_INET6);
    head.pop_back();
    std::ifstream in(file);
    int lines = 0;
    for (std::string got; std::getline(in, got); ++lines) {
        bool digits = got.size() > head.size() && got.starts_with(head) &&
                      got.find_first_not_of("0123456789", head.size()) == std::string::npos;
        EXPECT_TRUE(digits) << got;
    }
    EXPECT_EQ(lines, 3) << "lines kept by the stopped server";
    std::filesystem::remove(file);

    // A stop ends it by the stop signal all the same when its trace has
    // stalled (a reader that stopped reading) or its reader has gone.
    std::string host = fam().host;
    bool tcp = std::string(proto_) == "tcp";
    auto greeted = [&] {
        auto got = tcp ? tp::tcpask(host, port, "", 1000) : tp::udpask(host, port, "?", 1000);
        return got == std::optional<std::string>(greeting);
    };
    for (bool gone : {false, true}) {
        SCOPED_TRACE(gone ? "reader gone" : "trace stalled");
        ASSERT_EQ(tp::fixedport(port, proto_), ""); // a port free of the last one's connections
        srv = tp::serve({tp::bin(server())}, port, proto_);
        ASSERT_TRUE(tp::running(srv));
        if (gone) {
            close(srv.out);
            srv.out = -1;
        }
        auto ended = tp::stopstalled(srv, greeted, gone ? 1 : 1000);
        ASSERT_TRUE(ended.has_value()) << "still running 2 s after the stop";
        EXPECT_TRUE(WIFSIGNALED(*ended) && WTERMSIG(*ended) == SIGTERM) << "wait status " << *ended;
    }
}

void GreetCase::checkbusy()
{
    int type = std::string(proto_) == "tcp" ? SOCK_STREAM : SOCK_DGRAM;
    tp::Fd holder(tp::localsock(fam().host, type, port));
    ASSERT_GE(holder, 0) << std::strerror(errno);
    if (type == SOCK_STREAM) {
        ASSERT_EQ(listen(holder, 1), 0);
    }
    tp::Result r = tp::run({tp::bin(server())}, "", {}, 5000);
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_EQ(r.err, server() + ": bind() failed. : Address already in use\n\n");
    EXPECT_EQ(r.out, "");
}

tp::Result GreetCase::finish(tp::Proc &cli)
{
    tp::Result r;
    auto st = tp::wait(cli, 5000);
    EXPECT_TRUE(st.has_value()) << "the client did not end when served";
    r.status = st.value_or(-1);
    r.out = tp::readfor(cli.out, 2000);
    r.err = tp::readfor(cli.err, 500);
    return r;
}

void mappedserver(const char *prog, const char *proto, tp::Proc &srv)
{
    ASSERT_EQ(tp::fixedport(port, proto), "");
    if (!v4mapped())
        GTEST_SKIP() << "IPv6 sockets take no IPv4 peers on this host";
    srv = start(prog, proto);
    ASSERT_TRUE(tp::running(srv));
}

} // namespace gn
