// hostile_test - resets, clients that leave early, half-open and silent
// clients against each page server; it must answer everyone else throughout.
#include "hostile.h"
#include "pagetest.h"

namespace {

// pagecheck: "" when a GET to port returns the page whose body starts with
// label (is exactly label, with exact).
std::string pagecheck(int port, const std::string &label, bool exact)
{
    // A silent client ahead of us may hold the server for its 5 s.
    auto got = tp::tcpask("127.0.0.1", port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                          10000);
    if (!got)
        return "no connection";
    if (!got->starts_with(pt::head))
        return "page head wrong: \"" + got->substr(0, 80) + "\"";
    std::string body = got->substr(pt::head.size());
    if (exact ? body != label : !body.starts_with(label) || body.size() <= label.size())
        return "page body wrong: \"" + body + "\"";
    return "";
}

// pagetarget: the attack on a page server at port whose body is label.
tp::TcpTarget pagetarget(const std::string &name, int port, const std::string &label, bool exact)
{
    return {.name = name, .host = "127.0.0.1", .port = port,
            .check = [=] { return pagecheck(port, label, exact); },
            .halfreq = "GET / HTTP/1.1\r\n\r\n",
            .halfok = [label](const std::string &r) { return r.find("\r\n\r\n" + label) != std::string::npos; },
            // An iterative server holds each silent client until its time-out.
            .silentn = 1};
}

// quiet: a server whose trace goes nowhere: a pipe that nobody reads would
// fill and stall it.
tp::Proc quiet(const std::string &prog, const std::vector<std::string> &args, int port)
{
    std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" >/dev/null", tp::bin(prog)};
    argv.insert(argv.end(), args.begin(), args.end());
    tp::SpawnOpts opts;
    opts.env = {"LC_ALL=C"};
    return tp::serve(argv, port, "tcp", opts);
}

TEST(PageHostileClients, DatepageAndClockpageSurviveThem)
{
    tp::isolate();
    for (auto [prog, label] : {std::pair{"datepage", "Local daytime is: "},
                               std::pair{"clockpage", "Local time is: "}}) {
        int port = tp::freeport();
        tp::Proc p = quiet(prog, {std::to_string(port)}, port);
        ASSERT_TRUE(tp::running(p));
        tp::tcpfaults(pagetarget(prog, port, label, false), p);
    }
}

TEST(PageHostileClients, GreetpageSurvivesThem)
{
    std::string why = tp::fixedport(5678, "tcp");
    ASSERT_EQ(why, "");
    tp::Proc p = quiet("greetpage", {}, 5678);
    ASSERT_TRUE(tp::running(p));
    tp::TcpTarget t = pagetarget("greetpage", 5678, "Hello World!\n", true);
    t.halfok = [](const std::string &r) { return r.ends_with("\r\n\r\nHello World!\n"); };
    tp::tcpfaults(t, p);
}

} // namespace
