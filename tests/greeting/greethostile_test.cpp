// hostile_test - hostile clients and bad datagrams against the greeting
// servers of port 5678.
#include "hostile.h"

#include <gtest/gtest.h>

namespace {

constexpr char greeting[] = "Hello World!\n";

// quiet: a server whose log goes nowhere: a pipe that nobody reads would
// fill and stall it.
tp::Proc quiet(const std::string &prog, const std::string &proto)
{
    return tp::serve({"sh", "-c", "exec \"$0\" >/dev/null", tp::bin(prog)}, 5678, proto);
}

TEST(GreetHostileClients, StreamServersSurviveThem)
{
    for (auto [prog, host] : {std::pair{"streamgreetsrv", "127.0.0.1"}, std::pair{"streamgreetsrv6", "::1"}}) {
        ASSERT_EQ(tp::fixedport(5678, "tcp"), "");
        tp::Proc p = quiet(prog, "tcp");
        ASSERT_TRUE(tp::running(p));
        tp::tcpfaults({.name = prog, .host = host, .port = 5678,
                       .check = [host] {
                           auto got = tp::tcpask(host, 5678);
                           return got && *got == greeting ? "" : "greeting wrong or missing";
                       },
                       .halfreq = "anything",
                       .halfok = [](const std::string &r) { return r == greeting; },
                       // Iterative, and it waits a moment for each client to close,
                       // so a few silent clients delay the next one but must not stop it.
                       .silentn = 3},
                      p);
        tp::stop(p);
    }
}

TEST(GreetHostileClients, DatagramServersSurviveBadDatagrams)
{
    for (auto [prog, host] : {std::pair{"dgramgreetsrv", "127.0.0.1"}, std::pair{"dgramgreetsrv6", "::1"}}) {
        ASSERT_EQ(tp::fixedport(5678, "udp"), "");
        tp::Proc p = quiet(prog, "udp");
        ASSERT_TRUE(tp::running(p));
        tp::udpfaults({.name = prog, .host = host, .port = 5678,
                       .check = [](const std::string &, const std::string &rep) -> std::string {
                           return rep == greeting ? "" : "reply \"" + rep + "\"";
                       }},
                      p);
        tp::stop(p);
    }
}

} // namespace
