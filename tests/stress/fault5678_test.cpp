// fault5678_test - hostile clients and bad datagrams against the servers of
// port 5678: greetpage, the TCP greeting servers and the UDP greeting servers.
#include "fault.h"

namespace {

constexpr char greeting[] = "Hello World!\n";

// greettcp: the attack description of a TCP greeting server at host.
st::TcpTarget greettcp(const std::string &name, const std::string &host)
{
    return {.name = name, .host = host, .port = 5678,
            .check = [host] {
                auto got = st::ask(host, 5678);
                return got && *got == greeting ? "" : "greeting wrong or missing";
            },
            .halfreq = "anything",
            .halfok = [](const std::string &r) { return r == greeting; },
            // Iterative, and it waits a moment for each client to close, so
            // a few silent clients delay the next one but must not stop it.
            .silentn = 3};
}

} // namespace

TEST(StressPort5678Faults, GreetpageSurvivesHostileClients)
{
    ASSERT_NO_FATAL_FAILURE(st::requirefree5678());
    tp::Proc p = st::startserver("greetpage", {}, 5678, "tcp");
    st::tcpfaults({.name = "greetpage", .host = "127.0.0.1", .port = 5678,
                   .check = [] { return st::pagecheck("127.0.0.1", 5678, greeting, true); },
                   .halfreq = "GET / HTTP/1.1\r\n\r\n",
                   .halfok = [](const std::string &r) {
                       return r.size() > 13 && r.compare(r.size() - 13, 13, greeting) == 0;
                   },
                   .silentn = 1},
                  p);
}

TEST(StressPort5678Faults, StreamGreetingServersSurviveHostileClients)
{
    for (auto [prog, host] : {std::pair{"streamgreetsrv", "127.0.0.1"}, std::pair{"streamgreetsrv6", "::1"}}) {
        ASSERT_NO_FATAL_FAILURE(st::requirefree5678());
        tp::Proc p = st::startserver(prog, {}, 5678, "tcp");
        st::tcpfaults(greettcp(prog, host), p);
        tp::stop(p);
    }
}

TEST(StressPort5678Faults, DatagramGreetingServersSurviveBadDatagrams)
{
    for (auto [prog, host] : {std::pair{"dgramgreetsrv", "127.0.0.1"}, std::pair{"dgramgreetsrv6", "::1"}}) {
        ASSERT_NO_FATAL_FAILURE(st::requirefree5678());
        tp::Proc p = st::startserver(prog, {}, 5678, "udp");
        st::udpfaults({.name = prog, .host = host, .port = 5678,
                       .check = [](const std::string &, const std::string &rep) -> std::string {
                           return rep == greeting ? "" : "reply \"" + rep + "\"";
                       }},
                      p);
        tp::stop(p);
    }
}
