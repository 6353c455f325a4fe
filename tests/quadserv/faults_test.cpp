// faults_test - quadserv against clients that misbehave, and a fork that
// fails.
#include "hostile.h"
#include "quadcheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace {

using tp::chargen, tp::echo;

// quadtcp: the hostile rounds' view of one of quadserv's TCP services.
tp::TcpTarget quadtcp(const tp::Quad &q, tp::svc s)
{
    std::string req = s == echo ? "half open" : "";
    tp::TcpTarget t = {.name = std::string("tcp ") + tp::svcname(s),
                       .host = "127.0.0.1",
                       .port = q.port(s),
                       // From another address than the misbehaving clients, whose
                       // children may still be ending and fill their share.
                       .check = [&q, s] { return tp::tcpcheck(s, q.port(s), 0, "127.0.0.1", "127.0.0.2"); },
                       .halfreq = req,
                       .halfok = [s, req](const std::string &r) {
                           return s == chargen ? r == tp::chargenbytes(148) : tp::replycheck(s, req, r).empty();
                       },
                       .silentn = 20};
    if (s == chargen) // never ends by itself
        t.halfcap = 148;
    return t;
}

class QuadServFaults : public tp::QuadTest {};

// Resets (after junk or none), clients that leave early, half-open and silent
// clients on every TCP service, every child reaped afterwards; then empty,
// oversized and junk datagrams (up to 64 KiB) on every UDP service.
TEST_F(QuadServFaults, HostileClientsAndBadDatagramsOnEveryService)
{
    for (const tp::QuadService &s : tp::quadservices)
        tp::tcpfaults(quadtcp(q, s.id), q.proc);
    EXPECT_TRUE(tp::waitchildren(q.proc.pid, 0))
        << tp::children(q.proc.pid) << " children, " << tp::zombies(q.proc.pid) << " zombies";
    for (const tp::QuadService &s : tp::quadservices)
        tp::udpfaults({.name = std::string("udp ") + s.name,
                       .host = "127.0.0.1",
                       .port = q.port(s.id),
                       .check = [&s](const std::string &req, const std::string &rep) {
                           return tp::replycheck(s.id, req, rep);
                       }},
                      q.proc);
    EXPECT_EQ(tp::allanswer(q), "");
}

// QuadServForkLimit: quadserv and two children as all the processes of its
// user, one of its own (the limit counts them all), run from a copy of the
// program and its library in a folder that user can read wherever the
// checkout lies.
class QuadServForkLimit : public tp::QuadTest {
protected:
    std::string copy;
    ~QuadServForkLimit() override
    {
        if (!copy.empty())
            std::filesystem::remove_all(copy);
    }
    void SetUp() override
    {
        namespace fs = std::filesystem;
        if (geteuid() != 0)
            GTEST_SKIP() << "only root can run quadserv as a user of its own under a process limit";
        if (!tp::have("setpriv") || !tp::have("prlimit"))
            GTEST_SKIP() << "setpriv or prlimit (util-linux) is missing";
        int uid = 40000 + int(getpid() % 10000);
        for (const tp::ProcInfo &pi : tp::processes())
            ASSERT_NE(pi.uid, uid) << "user " << uid << " already runs processes";
        char tmpl[] = "/tmp/quadcopyXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        copy = tmpl;
        std::error_code ec;
        for (const char *d : {"", "/bin", "/lib"}) {
            fs::create_directories(copy + d, ec);
            chmod((copy + d).c_str(), 0755);
        }
        // The program finds the library through its relative run path, ../lib.
        startopts.prog = copy + "/bin/quadserv";
        fs::copy_file(tp::bin("quadserv"), startopts.prog, ec);
        fs::path lib = fs::path(tp::bin("quadserv")).parent_path().parent_path() / "lib/libportkit.so.1";
        if (!ec && fs::exists(lib))
            fs::copy_file(fs::canonical(lib), copy + "/lib/libportkit.so.1", ec);
        ASSERT_FALSE(ec) << "copy: " << ec.message();
        std::string id = std::to_string(uid);
        startopts.spawn.prefix = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                  "prlimit", "--nproc=3", "--"};
        QuadTest::SetUp();
    }
};

// With a process limit quadserv cannot always fork: it says so, closes that
// connection and goes on serving everyone else.
TEST_F(QuadServForkLimit, ForkFailureDropsOnlyThatConnection)
{
    {
        tp::Fd a(tp::tcpconnect("127.0.0.1", q.port(echo)));
        tp::Fd b(tp::tcpconnect("127.0.0.1", q.port(echo)));
        ASSERT_TRUE(a >= 0 && b >= 0);
        ASSERT_TRUE(tp::waitchildren(q.proc.pid, 2));
        for (int i = 0; i < 3; ++i) {
            tp::Reply got = tp::ask("127.0.0.1", q.port(echo), "ping", 3000);
            ASSERT_GE(got.localport, 0) << "connection " << i << " not even queued";
            EXPECT_NE(got.error, ETIMEDOUT) << "a connection quadserv could not serve stays open";
            EXPECT_EQ(got.data, "");
        }
        EXPECT_TRUE(tp::running(q.proc));
        EXPECT_EQ(tp::udpcheck(echo, q.port(echo)), "");
        ASSERT_TRUE(tp::sendall(a, "a"));
        EXPECT_EQ(tp::recvn(a, 1), "a");
    }
    ASSERT_TRUE(tp::waitchildren(q.proc.pid, 0));
    // Under the limit each check must find the children of the last one gone.
    EXPECT_EQ(tp::allanswer(q, "127.0.0.1", true), "");

    tp::stop(q.proc);
    std::string err = tp::readall(q.proc.err, 2000);
    EXPECT_NE(err.find("quadserv: fork: Resource temporarily unavailable\n\n"), std::string::npos)
        << err;
}

} // namespace
