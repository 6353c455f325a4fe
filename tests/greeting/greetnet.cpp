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
    EXPECT_TRUE(tp::endedby(tp::stop(srv), SIGTERM));
    // The real client's port is not known beforehand: any decimal number.
    std::string head = peerline(kind_, fam().host, 0, fam().family == AF_INET6);
    head.pop_back();
    auto lines = tp::filelines(file);
    for (const std::string &got : lines) {
        bool digits = got.size() > head.size() && got.starts_with(head) &&
                      got.find_first_not_of("0123456789", head.size()) == std::string::npos;
        EXPECT_TRUE(digits) << got;
    }
    EXPECT_EQ(lines.size(), 3u) << "lines kept by the stopped server";
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
        EXPECT_TRUE(tp::endedby(tp::stopstalled(srv, greeted, gone ? 1 : 1000), SIGTERM));
    }
}

void GreetCase::checkbusy()
{
    tp::Result r = tp::runheld({tp::bin(server())}, fam().host, port, proto_);
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_EQ(r.err, server() + ": bind() failed. : Address already in use\n\n");
    EXPECT_EQ(r.out, "");
}

void GreetCase::checkalone()
{
    // Loopback reports the closed port at once, so the wait ends in an error.
    tp::Result r = tp::run({tp::bin(client())}, "", {}, 5000);
    EXPECT_EQ(tp::exitcode(r.status), 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
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

} // namespace gn
