// greetpage_test - greetpage on its fixed port 5678: wire bytes, trace, real
// clients, and the failures of its own listening socket and peer printing.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "pagetest.h"

namespace {

const std::string page = pt::head + "Hello World!\n";

// greet: greetpage started with args and env, or nullopt when 5678 is not ours.
std::optional<pt::Page> greet(const std::vector<std::string> &args = {},
                              const std::vector<std::string> &env = {})
{
    if (!pt::hold5678free())
        return std::nullopt;
    return pt::start("greetpage", 5678, args, env);
}

// connectfrom: a TCP socket from 127.0.0.1:localport to greetpage; -1 on failure.
int connectfrom(int localport)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(uint16_t(localport));
    if (bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0)
        return close(s), -1;
    sin.sin_port = htons(5678);
    if (connect(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0)
        return close(s), -1;
    return s;
}

TEST(Greetpage, ExactBytesAndTraceWithPeerServiceName)
{
    auto p = greet({"9000"}); // the argument is ignored
    ASSERT_TRUE(p);
    EXPECT_FALSE(tp::bound(9000, "tcp"));

    // The peer's port is printed by its name in the services database.
    const servent *se = getservbyport(htons(5432), "tcp");
    ASSERT_NE(se, nullptr) << "no name for port 5432 in the services database";
    int s = connectfrom(5432);
    ASSERT_GE(s, 0);
    const std::string req = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(tp::sendall(s, req));
    EXPECT_EQ(tp::recvall(s, 10000), page);
    close(s);
    pt::expecttrace(pt::trace(*p), std::string("127.0.0.1:") + se->s_name, int(req.size()), 64,
                    13);
    EXPECT_EQ(tp::readline(p->proc, 300), std::nullopt);

    // IPv4 only.
    EXPECT_LT(tp::tcpconnect("::1", 5678), 0);
}

TEST(Greetpage, CurlAndChromiumGetTheGreeting)
{
    auto p = greet();
    ASSERT_TRUE(p);
    for (const std::string &cookie : {std::string(), std::string(6000, 'c')}) {
        std::vector<std::string> argv = {"curl", "-sS", "--max-time", "20",
                                         "http://127.0.0.1:5678/"};
        if (!cookie.empty())
            argv.insert(argv.begin() + 1, {"-H", "Cookie: session=" + cookie});
        auto r = tp::run(argv, "", {}, 30000);
        EXPECT_EQ(tp::exitcode(r.status), 0) << r.err;
        EXPECT_EQ(r.out, "Hello World!\n");
        EXPECT_EQ(pt::trace(*p).size(), 6u);
    }
    if (!tp::have("chromium"))
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";
    EXPECT_EQ(pt::chromium("http://127.0.0.1:5678/"), "Hello World!\n");
    int requests = 0;
    while (auto l = tp::readline(p->proc, 3000))
        if (l->starts_with("Received ") && *l != "Received 0 bytes.")
            ++requests;
    EXPECT_GE(requests, 2) << "the page and its icon";
}

TEST(Greetpage, ResetAndSilentClientsDoNotStopIt)
{
    auto p = greet();
    ASSERT_TRUE(p);
    int s = tp::tcpconnect("127.0.0.1", 5678);
    ASSERT_GE(s, 0);
    ASSERT_EQ(pt::trace(*p, 2).size(), 2u); // in its receive now
    tp::resetclose(s);
    auto lines = pt::trace(*p, 4);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], "Sent -1 of 13 bytes.");

    int silent = tp::tcpconnect("127.0.0.1", 5678, 20000);
    ASSERT_GE(silent, 0);
    EXPECT_EQ(pt::ask(5678, "GET /\r\n\r\n").bytes, page);
    EXPECT_EQ(tp::recvall(silent, 2000), page);
    close(silent);
    EXPECT_EQ(pt::trace(*p)[2], "Received -1 bytes.");
}

TEST(Greetpage, HeldPortIsReported)
{
    ASSERT_TRUE(pt::hold5678free());
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(5678);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(s, 1), 0);
    auto r = tp::run({tp::bin("greetpage")});
    close(s);
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_EQ(r.err, "greetpage: bind() failed. : Address already in use\n\n");
    EXPECT_EQ(r.out, "");
}

TEST(Greetpage, UnprintablePeerShowsTheResolversText)
{
    auto p = greet({}, {"LD_PRELOAD=" FAULTSHIM, "ASAN_OPTIONS=verify_asan_link_order=0",
                        "FAULTSHIM_GETNAMEINFO=1"});
    ASSERT_TRUE(p);
    EXPECT_EQ(pt::ask(5678, "GET / HTTP/1.1\r\n\r\n").bytes, page);
    auto lines = pt::trace(*p);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], std::string("connection from ") + gai_strerror(EAI_FAIL));
}

} // namespace
