// pages_test - datepage and clockpage on free ports: wire bytes, trace, real
// clients, locales, and clients that misbehave.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "pagetest.h"

namespace {

struct Kind {
    const char *program;
    const char *label;
};

void PrintTo(const Kind &k, std::ostream *os)
{
    *os << k.program;
}

class Pages : public testing::TestWithParam<Kind> {
protected:
    std::string program() const { return GetParam().program; }
    std::string label() const { return GetParam().label; }
    int first() const { return int(pt::head.size() + label().size()); }

    // A network of the test's own, where possible: no test beside it can take
    // the port it picks before its server binds it.
    void SetUp() override { tp::isolate(); }

    // serve: the program on a free port under locale and UTC.
    pt::Page serve(const std::string &locale = "C", std::vector<std::string> env = {})
    {
        int port = tp::freeport();
        env.push_back("LC_ALL=" + locale);
        env.push_back("TZ=UTC0");
        return pt::start(program(), port, {std::to_string(port)}, env);
    }

    // page: the page fetched by one client and checked against the locale's
    // dates; returns the date text.
    std::string page(pt::Page &p, const std::string &locale, const char *fmt = nullptr,
                     const std::string &req = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")
    {
        time_t before = time(nullptr);
        auto got = pt::ask(p.port, req);
        auto dates = pt::datetexts(locale, before, time(nullptr), fmt);
        std::string start = pt::head + label();
        EXPECT_TRUE(got.bytes.starts_with(start)) << got.bytes;
        std::string date = got.bytes.substr(std::min(start.size(), got.bytes.size()));
        EXPECT_TRUE(pt::oneof(date, dates)) << "date text \"" << date << "\"";
        pt::expecttrace(pt::trace(p), "127.0.0.1:" + std::to_string(got.localport),
                        int(std::min<size_t>(req.size(), 1024)), first(), int(date.size()));
        return date;
    }
};

constexpr const char *cformat = "%a %b %e %H:%M:%S %Y";

TEST_P(Pages, ExactBytesAndSixTraceLines)
{
    auto p = serve();
    page(p, "C", cformat);
    // Exactly six lines per connection: nothing follows.
    EXPECT_EQ(tp::readline(p.proc, 300), std::nullopt);

    // The request is never looked at, not even when it is not HTTP; a long one
    // is read once, up to 1024 bytes, and the page still arrives whole.
    page(p, "C", cformat, std::string("\x00\xff junk\r\n", 9));
    page(p, "C", cformat, "POST /x HTTP/1.1\r\nX-Pad: " + std::string(3000, 'p') + "\r\n\r\n");

    // IPv6 clients reach it too and are shown bracketed.
    auto got = pt::ask(p.port, "", "::1");
    EXPECT_TRUE(got.bytes.starts_with(pt::head + label()));
    auto lines = pt::trace(p);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "connection from [::1]:" + std::to_string(got.localport));
}

TEST_P(Pages, UsageReportEndsWithStatusZero)
{
    auto r = tp::run({tp::bin(program()), "1", "2"});
    EXPECT_EQ(tp::exitcode(r.status), 0);
    EXPECT_EQ(r.err, program() + ": usage: " + tp::bin(program()) + " [port]\n\n");
    EXPECT_EQ(r.out, "");
}

TEST_P(Pages, CurlFetchesThePageAlsoWithLongCookie)
{
    auto p = serve();
    const std::string url = "http://127.0.0.1:" + std::to_string(p.port) + "/";
    for (const std::string &cookie : {std::string(), std::string(6000, 'c')}) {
        std::vector<std::string> argv = {"curl", "-sS", "--max-time", "20", url};
        if (!cookie.empty())
            argv.insert(argv.begin() + 1, {"-H", "Cookie: session=" + cookie});
        auto r = tp::run(argv, "", {}, 30000);
        EXPECT_EQ(tp::exitcode(r.status), 0) << r.err;
        EXPECT_TRUE(r.out.starts_with(label())) << r.out;
        auto lines = pt::trace(p);
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[2], cookie.empty() ? lines[2] : "Received 1024 bytes.");
    }
}

TEST_P(Pages, ChromiumShowsThePageAndAsksForTheIcon)
{
    if (!tp::have("chromium"))
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";
    auto p = serve();
    const std::string url = "http://127.0.0.1:" + std::to_string(p.port) + "/";
    time_t before = time(nullptr);
    std::string text = pt::chromium(url);
    auto dates = pt::datetexts("C", before, time(nullptr), cformat);
    ASSERT_TRUE(text.starts_with(label())) << "rendered: \"" << text << "\"";
    EXPECT_TRUE(pt::oneof(text.substr(label().size()), dates)) << text;

    // The page and the icon each came as a request of their own; Chromium may
    // also open a spare connection that it closes unused.
    int requests = 0;
    while (auto l = tp::readline(p.proc, 3000))
        if (l->starts_with("Received ") && *l != "Received 0 bytes.")
            ++requests;
    EXPECT_GE(requests, 2);
}

TEST_P(Pages, DateFollowsTheEnvironmentsLocale)
{
    struct Case {
        const char *locale;
        std::vector<std::string> names; // the weekdays as this locale abbreviates them
    };
    const Case cases[] = {
        {"de_DE.UTF-8", {"Mo", "Di", "Mi", "Do", "Fr", "Sa", "So"}},
        {"fr_FR.UTF-8", {"lun.", "mar.", "mer.", "jeu.", "ven.", "sam.", "dim."}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.locale);
        auto p = serve(c.locale);
        std::string date = page(p, c.locale);
        time_t now = time(nullptr);
        tm utc;
        gmtime_r(&now, &utc);
        EXPECT_NE(date.find(c.names[size_t((utc.tm_wday + 6) % 7)]), std::string::npos) << date;
        EXPECT_FALSE(pt::oneof(date, pt::datetexts("C", now - 5, now, cformat)));
    }
    // A locale that is not installed leaves the POSIX one in force.
    auto p = serve("xx_XX.UTF-8");
    page(p, "C", cformat);
}

TEST_P(Pages, DateThatDoesNotFitIsSentEmpty)
{
    // A locale whose date-and-time format yields far more than 255 bytes.
    std::string dir = testing::TempDir() + "pageloc" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    {
        std::ofstream src(dir + "/src");
        for (const char *cat : {"LC_CTYPE", "LC_COLLATE", "LC_MONETARY", "LC_NUMERIC",
                                "LC_MESSAGES", "LC_PAPER", "LC_NAME", "LC_ADDRESS",
                                "LC_TELEPHONE", "LC_MEASUREMENT", "LC_IDENTIFICATION"})
            src << cat << "\ncopy \"de_DE\"\nEND " << cat << "\n";
        std::string d = "\"" + std::string(40, 'D') + "\"", day = d;
        for (int i = 1; i < 7; ++i)
            day += ";" + d;
        src << "LC_TIME\nabday \"a\";\"b\";\"c\";\"d\";\"e\";\"f\";\"g\"\nday " << day
            << "\nabmon \"a\";\"b\";\"c\";\"d\";\"e\";\"f\";\"g\";\"h\";\"i\";\"j\";\"k\";\"l\"\n"
            << "mon \"a\";\"b\";\"c\";\"d\";\"e\";\"f\";\"g\";\"h\";\"i\";\"j\";\"k\";\"l\"\n"
            << "am_pm \"AM\";\"PM\"\nd_t_fmt \"%A%A%A%A%A%A%A\"\nd_fmt \"%m\"\nt_fmt \"%H\"\n"
            << "t_fmt_ampm \"%I\"\nEND LC_TIME\n";
    }
    auto made = tp::run({"localedef", "-i", dir + "/src", "-f", "UTF-8", dir + "/overlong"});
    if (tp::exitcode(made.status) != 0)
        GTEST_SKIP() << "localedef cannot build a test locale: " << made.err;

    auto p = serve("overlong", {"LOCPATH=" + dir});
    auto got = pt::ask(p.port, "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(got.bytes, pt::head + label());
    pt::expecttrace(pt::trace(p), "127.0.0.1:" + std::to_string(got.localport), 18, first(), 0);
    std::filesystem::remove_all(dir);
}

TEST_P(Pages, SilentClientIsDroppedAfterTheBound)
{
    auto p = serve();
    int silent = tp::tcpconnect("127.0.0.1", p.port, 20000);
    ASSERT_GE(silent, 0);
    auto t0 = std::chrono::steady_clock::now();
    auto got = pt::ask(p.port, "GET / HTTP/1.1\r\n\r\n"); // waits behind the silent one
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_TRUE(got.bytes.starts_with(pt::head + label()));
    EXPECT_GT(waited, 3.0);
    EXPECT_LT(waited, 9.0);

    // The silent one was answered all the same after its receive timed out.
    EXPECT_TRUE(tp::recvall(silent, 2000).starts_with(pt::head + label()));
    close(silent);
    auto lines = pt::trace(p);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "Received -1 bytes.");
    EXPECT_EQ(lines[4], "Sent " + std::to_string(first()) + " of " + std::to_string(first()) +
                            " bytes.");
}

TEST_P(Pages, ClientThatResetsDoesNotEndTheServer)
{
    auto p = serve();
    for (int round = 0; round < 3; ++round) {
        int s = tp::tcpconnect("127.0.0.1", p.port);
        ASSERT_GE(s, 0);
        // Reset while the server waits in its receive: both sends then fail.
        ASSERT_EQ(tp::readline(p.proc).value_or("").rfind("connection from ", 0), 0u);
        ASSERT_EQ(tp::readline(p.proc), "Reading request...");
        tp::resetclose(s);
        auto lines = pt::trace(p, 4);
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0], "Received -1 bytes.");
        EXPECT_EQ(lines[2], "Sent -1 of " + std::to_string(first()) + " bytes.");
        EXPECT_TRUE(lines[3].starts_with("Sent -1 of ")) << lines[3];
    }
    page(p, "C", cformat);
    EXPECT_TRUE(tp::running(p.proc));
}

TEST_P(Pages, BurstOfGarbageAndEmptyConnections)
{
    auto p = serve();
    std::string junk;
    for (int i = 0; i < 700; ++i)
        junk += char((i * 151 + 7) & 0xff);
    constexpr int rounds = 40;
    for (int i = 0; i < rounds; ++i) {
        auto got = pt::ask(p.port, junk.substr(0, size_t(1 + i * 17)));
        EXPECT_TRUE(got.bytes.starts_with(pt::head + label())) << "round " << i;
        int s = tp::tcpconnect("127.0.0.1", p.port); // and one that says nothing at all
        ASSERT_GE(s, 0);
        shutdown(s, SHUT_WR);
        EXPECT_TRUE(tp::recvall(s, 5000).starts_with(pt::head + label()));
        close(s);
    }
    int connections = 0, empty = 0;
    while (auto l = tp::readline(p.proc, 1000)) {
        connections += l->starts_with("connection from ");
        empty += *l == "Received 0 bytes.";
    }
    EXPECT_EQ(connections, 2 * rounds);
    EXPECT_EQ(empty, rounds);
    page(p, "C", cformat);
}

TEST_P(Pages, HeldPortStopsTheStart)
{
    auto p = serve();
    auto r = tp::run({tp::bin(program()), std::to_string(p.port)});
    EXPECT_NE(tp::exitcode(r.status), 0);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.out, "");
}

TEST_P(Pages, AcceptFailuresOfOneConnectionAreSkipped)
{
    auto p = serve("C", {"LD_PRELOAD=" FAULTSHIM, "ASAN_OPTIONS=verify_asan_link_order=0",
                         "FAULTSHIM_ACCEPT=ECONNABORTED,EPROTO,EINTR"});
    page(p, "C", cformat);

    // Anything else ends the server.
    int port = tp::freeport();
    tp::SpawnOpts opts;
    opts.env = {"LD_PRELOAD=" FAULTSHIM, "ASAN_OPTIONS=verify_asan_link_order=0",
                "FAULTSHIM_ACCEPT=ENOMEM"};
    auto r = tp::run({tp::bin(program()), std::to_string(port)}, "", opts);
    EXPECT_EQ(tp::exitcode(r.status), 1);
    EXPECT_EQ(r.err, program() + ": main() accept: " + strerror(ENOMEM) + "\n");
}

INSTANTIATE_TEST_SUITE_P(, Pages,
                         testing::Values(Kind{"datepage", "Local daytime is: "},
                                         Kind{"clockpage", "Local time is: "}),
                         [](const auto &info) { return std::string(info.param.program); });

} // namespace
