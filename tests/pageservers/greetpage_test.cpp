// greetpage_test - greetpage on its fixed port 5678: wire bytes, trace, a real
// client, clients that misbehave, and the failures of its own listening
// socket and peer printing.
#include <netdb.h>
#include <netinet/in.h>

#include "pagetest.h"

namespace {

const std::string page = pt::head + "Hello World!\n";

// greet: greetpage started with args and env; check tp::running on the result.
tp::Proc greet(const std::vector<std::string> &args = {}, const std::vector<std::string> &env = {})
{
    std::vector<std::string> argv = {tp::bin("greetpage")};
    argv.insert(argv.end(), args.begin(), args.end());
    return tp::servefixed(argv, 5678, "tcp", pt::pageopts("C", env));
}

// fromport: the trace's peer line for a client on 127.0.0.1 at localport.
std::string fromport(tp::Proc &p, int localport)
{
    tp::Fd s(tp::connectfrom("127.0.0.1", localport, "127.0.0.1", 5678), true);
    if (s < 0)
        return "cannot connect from port " + std::to_string(localport);
    EXPECT_TRUE(tp::sendall(s, pt::get));
    EXPECT_EQ(tp::readall(s, 10000), page);
    auto lines = pt::trace(p);
    pt::expecttrace(lines, lines.empty() ? "" : lines[0].substr(16), int(pt::get.size()), 64, 13);
    return lines.empty() ? "" : lines[0];
}

TEST(Greetpage, ExactBytesAndTraceWithPeerServiceNameHostileClientsToo)
{
    auto p = greet({"9000"}); // the argument is ignored
    ASSERT_TRUE(tp::running(p));
    EXPECT_FALSE(tp::bound(9000, "tcp"));

    // The peer's port is printed by its name in the services database, or
    // by its number where it has none.
    const servent *se = getservbyport(htons(5432), "tcp");
    ASSERT_NE(se, nullptr) << "no name for port 5432 in the services database";
    EXPECT_EQ(fromport(p, 5432), std::string("connection from 127.0.0.1:") + se->s_name);
    int unnamed = tp::freeport();
    while (getservbyport(htons(uint16_t(unnamed)), "tcp") != nullptr)
        unnamed = tp::freeport();
    EXPECT_EQ(fromport(p, unnamed), "connection from 127.0.0.1:" + std::to_string(unnamed));
    EXPECT_EQ(tp::readline(p, 300), std::nullopt);

    // IPv4 only.
    EXPECT_LT(tp::tcpconnect("::1", 5678), 0);

    pt::hostile(p, 5678, pt::head, "Hello World!\n");
}

// A held port ends the start with bind's report; a peer that cannot be
// printed shows as the resolver's text.
TEST(Greetpage, HeldPortIsReportedUnprintablePeerShowsTheResolversText)
{
    ASSERT_EQ(tp::fixedport(5678, "tcp"), "");
    auto r = tp::runheld({tp::bin("greetpage")}, "0.0.0.0", 5678, "tcp", pt::pageopts("C", {}, false));
    EXPECT_EQ(tp::outcome(r), tp::outcome(1, "", "greetpage: bind() failed. : Address already in use\n\n"));
    auto p = greet({}, tp::faults("FAULTSHIM_GETNAMEINFO=1"));
    ASSERT_TRUE(tp::running(p));
    EXPECT_EQ(pt::ask(5678).data, page);
    pt::expecttrace(pt::trace(p), gai_strerror(EAI_FAIL), int(pt::get.size()), 64, 13);
}

} // namespace
