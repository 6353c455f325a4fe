// pagetest - what the page servers' tests share.
#include "pagetest.h"
#include "hostile.h"

namespace pt {

void expecttrace(const std::vector<std::string> &lines, const std::string &peer, int received,
                 int first, int second)
{
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "connection from " + peer);
    EXPECT_EQ(lines[1], "Reading request...");
    EXPECT_TRUE(received >= -1 ? lines[2] == "Received " + std::to_string(received) + " bytes."
                               : pt::received(lines[2]) >= -1)
        << lines[2];
    EXPECT_EQ(lines[3], "Sending response...");
    EXPECT_EQ(lines[4], "Sent " + std::to_string(first) + " of " + std::to_string(first) + " bytes.");
    EXPECT_EQ(lines[5], "Sent " + std::to_string(second) + " of " + std::to_string(second) + " bytes.");
}

// pagecheck: "" when got is a page that begins with first and goes on with
// body (with any text when body is "").
static std::string pagecheck(const std::string &got, const std::string &first, const std::string &body)
{
    if (!got.starts_with(first))
        return "page wrong: \"" + got.substr(0, 100) + "\"";
    std::string rest = got.substr(first.size());
    if (body.empty() ? rest.empty() : rest != body)
        return "body wrong: \"" + rest + "\"";
    return "";
}

void hostile(tp::Proc &p, int port, const std::string &first, const std::string &body)
{
    const std::string nfirst = std::to_string(first.size());

    // A reset while the server waits in its receive: both sends fail, which
    // shows in the trace and must not end the server by SIGPIPE. A loaded
    // machine may deliver the reset only after the wait and the sends: that
    // try shows nothing, and the next is made.
    std::vector<std::string> lines;
    for (int tries = 0; tries < 5; ++tries) {
        int s = tp::tcpconnect("127.0.0.1", port);
        ASSERT_GE(s, 0);
        ASSERT_TRUE(tp::readline(p).value_or("").starts_with("connection from "));
        ASSERT_EQ(tp::readline(p), "Reading request...");
        tp::resetclose(s);
        lines = trace(p, 4);
        ASSERT_EQ(lines.size(), 4u) << (tp::running(p) ? "trace cut short" : "the server ended (SIGPIPE?)");
        if (lines[2] != "Sent " + nfirst + " of " + nfirst + " bytes.")
            break;
    }
    EXPECT_EQ(lines[0], "Received -1 bytes.");
    EXPECT_EQ(lines[2], "Sent -1 of " + nfirst + " bytes.");
    EXPECT_TRUE(body.empty() ? lines[3].starts_with("Sent -1 of ")
                             : lines[3] == "Sent -1 of " + std::to_string(body.size()) + " bytes.")
        << lines[3];

    // Silent clients, handed over after a second of silence and answered
    // without a request, and ones that send a byte and stall, answered and
    // drained for a moment only: neither keeps the ordinary client behind
    // them waiting long (a silent one used to hold the server 5 s, a stalled
    // one 1 s), and each gets its page.
    for (bool stalled : {false, true}) {
        SCOPED_TRACE(stalled ? "stalled clients" : "silent clients");
        constexpr int holders = 4;
        std::vector<tp::Fd> held;
        for (int i = 0; i < holders; ++i) {
            held.emplace_back(tp::tcpconnect("127.0.0.1", port, 20000), true);
            ASSERT_GE(held.back(), 0);
            if (stalled) {
                ASSERT_TRUE(tp::sendall(held.back(), "G"));
            }
        }
        // Silent ones are handed over after a second, one after another.
        EXPECT_TRUE(stalled || tp::readline(p, 10000).value_or("").starts_with("connection from "));
        long t0 = monotonicms();
        auto got = ask(port);
        long waited = monotonicms() - t0;
        EXPECT_EQ(pagecheck(got.data, first, body), "");
        EXPECT_LT(waited, 3000) << "ms the ordinary client waited";
        for (tp::Fd &h : held)
            EXPECT_EQ(pagecheck(tp::readall(h, 10000), first, body), "");
        int traced = 0;
        for (const auto &l : trace(p, 6 * (holders + 1) - (stalled ? 0 : 1)))
            traced += l == (stalled ? "Received 1 bytes." : "Received -1 bytes.");
        EXPECT_EQ(traced, holders);
    }

    // Garbage of growing length and connections that end without a word:
    // each gets the page and prints its own six lines.
    std::string junk;
    for (int i = 0; i < 700; ++i)
        junk += char((i * 151 + 7) & 0xff);
    constexpr int rounds = 40;
    for (int i = 0; i < rounds; ++i) {
        EXPECT_EQ(pagecheck(ask(port, junk.substr(0, size_t(1 + i * 17))).data, first, body), "") << i;
        EXPECT_EQ(pagecheck(tp::tcpask("127.0.0.1", port).value_or(""), first, body), "") << i;
    }
    int connections = 0, empty = 0;
    for (const auto &l : trace(p, 12 * rounds)) {
        connections += l.starts_with("connection from ");
        empty += l == "Received 0 bytes.";
    }
    EXPECT_EQ(connections, 2 * rounds);
    EXPECT_EQ(empty, rounds);

    // The common round; its silent phase is the one measured above. The
    // trace is read away meanwhile, or it would fill and stall the server.
    tp::Drain drain(p);
    tp::tcpfaults({.name = "page server", .host = "127.0.0.1", .port = port,
                   .check = [port, first, body] {
                       // A silent client ahead of us may hold the server a moment.
                       auto got = tp::tcpask("127.0.0.1", port, "GET / HTTP/1.1\r\n\r\n", 10000);
                       return got ? pagecheck(*got, first, body) : "no connection";
                   },
                   .halfreq = "GET / HTTP/1.1\r\n\r\n",
                   .halfok = [first, body](const std::string &r) { return pagecheck(r, first, body) == ""; },
                   .silentn = 0},
                  p);
}

} // namespace pt
