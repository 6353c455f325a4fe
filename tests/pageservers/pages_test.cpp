// pages_test - datepage and clockpage on free ports: wire bytes, trace, real
// clients, locales, clients that misbehave, failures and the stop.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

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

    // A network of the test's own, where possible: no test beside it can take
    // the port it picks before its server binds it.
    void SetUp() override { tp::isolate(); }

    // serve: the program on a free port, traced, under locale and UTC.
    tp::Proc serve(const std::string &locale = "C", const std::vector<std::string> &env = {})
    {
        port = tp::freeport();
        return tp::serve({tp::bin(program()), std::to_string(port)}, port, "tcp",
                         pt::pageopts(locale, env));
    }

    // page: the page fetched by one client and checked against the locale's
    // dates; its head names charset exactly when the date is not ASCII.
    // Returns the date text.
    std::string page(tp::Proc &p, const std::string &locale, const char *fmt = nullptr,
                     const std::string &req = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n",
                     const std::string &charset = "")
    {
        time_t before = time(nullptr);
        auto got = pt::ask(port, req);
        auto dates = pt::datetexts(locale, before, time(nullptr), fmt);
        std::string named = pt::headwith(charset) + label();
        bool isnamed = !charset.empty() && got.bytes.starts_with(named);
        std::string start = isnamed ? named : pt::head + label();
        EXPECT_TRUE(got.bytes.starts_with(start)) << got.bytes;
        std::string date = got.bytes.substr(std::min(start.size(), got.bytes.size()));
        EXPECT_TRUE(pt::oneof(date, dates)) << "date text \"" << date << "\"";
        EXPECT_EQ(isnamed, !pt::ascii(date)) << "charset named for the date \"" << date << "\"";
        pt::expecttrace(pt::trace(p), "127.0.0.1:" + std::to_string(got.localport),
                        int(std::min<size_t>(req.size(), 1024)), int(start.size()),
                        int(date.size()));
        return date;
    }

    int port = -1;
};

constexpr const char *cformat = "%a %b %e %H:%M:%S %Y";

TEST_P(Pages, ExactBytesAndSixTraceLines)
{
    auto p = serve();
    ASSERT_TRUE(tp::running(p));
    page(p, "C", cformat);
    // Exactly six lines per connection: nothing follows.
    EXPECT_EQ(tp::readline(p, 300), std::nullopt);

    // The request is never looked at, not even when it is not HTTP; a long one
    // is read once, up to 1024 bytes, and the page still arrives whole.
    page(p, "C", cformat, std::string("\x00\xff junk\r\n", 9));
    page(p, "C", cformat, "POST /x HTTP/1.1\r\nX-Pad: " + std::string(3000, 'p') + "\r\n\r\n");

    // A request in two pieces: the server reads the first only, and the page
    // must still arrive whole and end cleanly, not by a reset.
    {
        tp::Fd s(tp::tcpconnect("127.0.0.1", port));
        ASSERT_TRUE(tp::sendall(s, "GET / HTTP/1.1\r\n"));
        usleep(300000);
        ASSERT_TRUE(tp::sendall(s, "Host: x\r\n\r\n"));
        tp::Reply r = tp::readtoend(s, 10000);
        EXPECT_TRUE(r.cleanend) << "ended by: " << strerror(r.error);
        EXPECT_TRUE(r.data.starts_with(pt::head + label())) << r.data;
        auto lines = pt::trace(p);
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[2], "Received 16 bytes.");
    }

    // IPv6 clients reach it too and are shown bracketed.
    auto got = pt::ask(port, "GET / HTTP/1.1\r\n\r\n", "::1");
    EXPECT_TRUE(got.bytes.starts_with(pt::head + label()));
    auto lines = pt::trace(p);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "connection from [::1]:" + std::to_string(got.localport));
}

TEST_P(Pages, UsageReportEndsWithStatusZero)
{
    auto r = tp::run({tp::bin(program()), "1", "2"}, "", pt::pageopts("C", {}, false));
    EXPECT_EQ(tp::exitcode(r.status), 0);
    EXPECT_EQ(r.err, program() + ": usage: " + tp::bin(program()) + " [port]\n\n");
    EXPECT_EQ(r.out, "");
}

TEST_P(Pages, CurlFetchesThePageAlsoWithLongCookie)
{
    auto p = serve();
    ASSERT_TRUE(tp::running(p));
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
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

TEST_P(Pages, DateFollowsTheEnvironmentsLocaleAndItsCharset)
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
        ASSERT_TRUE(tp::running(p));
        // The head names the charset when the date is not ASCII (a month
        // such as "déc.") and not otherwise; the trace counts what was sent.
        std::string date = page(p, c.locale, nullptr, "GET / HTTP/1.1\r\n\r\n", "UTF-8");
        time_t now = time(nullptr);
        tm utc;
        gmtime_r(&now, &utc);
        EXPECT_NE(date.find(c.names[size_t((utc.tm_wday + 6) % 7)]), std::string::npos) << date;
        EXPECT_FALSE(pt::oneof(date, pt::datetexts("C", now - 5, now, cformat)));
    }
    // The POSIX locale, named either way, C.UTF-8, whose dates are ASCII, and
    // a locale that is not installed (which leaves the POSIX one in force)
    // keep the plain 64-byte head.
    for (const char *locale : {"C", "POSIX", "C.UTF-8", "xx_XX.UTF-8"}) {
        SCOPED_TRACE(locale);
        auto p = serve(locale);
        ASSERT_TRUE(tp::running(p));
        page(p, "C", cformat, "GET / HTTP/1.1\r\n\r\n", "UTF-8");
    }
}

// The date follows the time category of the locale, and so does the charset
// named: a date that is never ASCII ("été", in a locale of the test's own)
// under a LANG of another codeset is labelled with its own; a C time
// category under a UTF-8 LANG names none.
TEST_P(Pages, CharsetIsTheTimeCategorys)
{
    std::string dir = testing::TempDir() + "pagecs" + std::to_string(getpid());
    for (const char *charmap : {"UTF-8", "ISO-8859-1"})
        if (!pt::testlocale(dir, charmap, charmap, pt::timebody("%H:%M <U00E9>t<U00E9>")))
            GTEST_SKIP() << "localedef cannot build a test locale";
    struct Case {
        std::vector<std::string> env;
        std::string head, date; // date: how "été" is written
    };
    const Case cases[] = {
        {{"LANG=C.UTF-8", "LC_TIME=ISO-8859-1"}, pt::headwith("ISO-8859-1"), "\xe9t\xe9"},
        {{"LANG=C", "LC_TIME=UTF-8"}, pt::headwith("UTF-8"), "\xc3\xa9t\xc3\xa9"},
        {{"LANG=fr_FR.UTF-8", "LC_TIME=C"}, pt::head, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.env[1]);
        std::vector<std::string> env = c.env;
        env.push_back("LOCPATH=" + dir);
        auto p = serve("", env);
        ASSERT_TRUE(tp::running(p));
        auto got = pt::ask(port, "GET / HTTP/1.1\r\n\r\n");
        std::string first = c.head + label();
        ASSERT_TRUE(got.bytes.starts_with(first)) << got.bytes;
        std::string date = got.bytes.substr(first.size());
        if (c.date.empty()) {
            EXPECT_TRUE(pt::ascii(date)) << date;
        } else {
            EXPECT_TRUE(date.ends_with(" " + c.date)) << date;
        }
        pt::expecttrace(pt::trace(p), "127.0.0.1:" + std::to_string(got.localport), 18,
                        int(first.size()), int(date.size()));
    }
    std::filesystem::remove_all(dir);
}

TEST_P(Pages, DateThatDoesNotFitIsSentEmpty)
{
    // A locale whose date-and-time format yields far more than 255 bytes.
    std::string dir = testing::TempDir() + "pageloc" + std::to_string(getpid());
    std::string day = "\"" + std::string(40, 'D') + "\"";
    std::string days = day;
    for (int i = 1; i < 7; ++i)
        days += ";" + day;
    if (!pt::testlocale(dir, "overlong", "UTF-8", pt::timebody("%A%A%A%A%A%A%A", days)))
        GTEST_SKIP() << "localedef cannot build a test locale";

    auto p = serve("overlong", {"LOCPATH=" + dir});
    ASSERT_TRUE(tp::running(p));
    auto got = pt::ask(port, "GET / HTTP/1.1\r\n\r\n");
    const std::string first = pt::head + label();
    EXPECT_EQ(got.bytes, first);
    pt::expecttrace(pt::trace(p), "127.0.0.1:" + std::to_string(got.localport), 18,
                    int(first.size()), 0);
    std::filesystem::remove_all(dir);
}

TEST_P(Pages, HostileClientsDoNotStopIt)
{
    auto p = serve();
    ASSERT_TRUE(tp::running(p));
    pt::hostile(p, port, pt::head + label(), "");
}

TEST_P(Pages, HeldPortStopsTheStart)
{
    auto p = serve();
    ASSERT_TRUE(tp::running(p));
    auto r = tp::run({tp::bin(program()), std::to_string(port)}, "", pt::pageopts("C", {}, false));
    EXPECT_NE(tp::exitcode(r.status), 0);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.out, "");
}

TEST_P(Pages, AcceptFailuresOfOneConnectionAreSkipped)
{
    auto p = serve("C", pt::faults("FAULTSHIM_ACCEPT=ECONNABORTED,EPROTO,EINTR,ENOBUFS,ENOMEM,"
                                   "ENETDOWN,ENOPROTOOPT,EHOSTDOWN,ENONET,EHOSTUNREACH,"
                                   "EOPNOTSUPP,ENETUNREACH"));
    ASSERT_TRUE(tp::running(p));
    page(p, "C", cformat);

    // Anything else ends the server, at the connection that meets it.
    port = tp::freeport();
    auto q = tp::serve({tp::bin(program()), std::to_string(port)}, port, "tcp",
                       pt::pageopts("C", pt::faults("FAULTSHIM_ACCEPT=EBADF"), false));
    tp::Fd s(tp::tcpconnect("127.0.0.1", port));
    auto st = tp::wait(q, 5000);
    ASSERT_TRUE(st.has_value()) << "still running after a failed accept";
    EXPECT_EQ(tp::exitcode(*st), 1);
    EXPECT_EQ(tp::readfor(q.err, 1000), program() + ": main() accept: " + strerror(EBADF) + "\n");
}

// Where connections cannot be deferred, a silent client holds the server for
// the receive's bound of 5 s, then gets its page all the same.
TEST_P(Pages, WithoutDeferredAcceptASilentClientWaitsItsBound)
{
    auto p = serve("C", pt::faults("FAULTSHIM_NODEFER=1"));
    ASSERT_TRUE(tp::running(p));
    tp::Fd silent(tp::tcpconnect("127.0.0.1", port, 20000), true);
    ASSERT_GE(silent, 0);
    long t0 = tp::nowms();
    auto got = pt::ask(port, "GET / HTTP/1.1\r\n\r\n");
    long waited = tp::nowms() - t0;
    EXPECT_TRUE(got.bytes.starts_with(pt::head + label())) << got.bytes;
    EXPECT_GT(waited, 3000);
    EXPECT_LT(waited, 9000);
    EXPECT_TRUE(tp::recvall(silent, 2000).starts_with(pt::head + label()));
    auto lines = pt::trace(p);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "Received -1 bytes.");
}

TEST_P(Pages, StopServesTheConnectionInHandKeepsTheTraceAndEndsBySignal)
{
    // Output to a file, as a user's redirection gives it: fully buffered
    // until the server writes it out on its way down.
    std::string file = testing::TempDir() + "pagestop" + std::to_string(getpid());
    port = tp::freeport();
    auto p = tp::serve({"sh", "-c", "exec \"$0\" \"$1\" >\"$2\"", tp::bin(program()),
                        std::to_string(port), file},
                       port, "tcp", pt::pageopts("C", {}, false));
    ASSERT_TRUE(tp::running(p));
    // The stop comes while the server drains a connection whose request
    // came in two pieces: it still takes the rest and ends the connection
    // cleanly, then ends.
    tp::Fd s(tp::tcpconnect("127.0.0.1", port));
    ASSERT_GE(s, 0);
    ASSERT_TRUE(tp::sendall(s, "GET / HTTP/1.1\r\n"));
    auto sockets = [&] {
        auto fds = tp::fdtargets(p.pid);
        return std::count_if(fds.begin(), fds.end(),
                             [](const std::string &t) { return t.find("socket:") != t.npos; });
    };
    for (int i = 0; i < 1000 && sockets() < 2; ++i)
        usleep(10000);
    ASSERT_EQ(sockets(), 2) << "the connection was not taken";
    kill(p.pid, SIGTERM);
    usleep(200000);
    ASSERT_TRUE(tp::sendall(s, "Host: x\r\n\r\n"));
    tp::Reply got = tp::readtoend(s, 10000);
    EXPECT_TRUE(got.cleanend) << "ended by: " << strerror(got.error);
    std::string first = pt::head + label();
    ASSERT_TRUE(got.data.starts_with(first)) << got.data;
    auto st = tp::wait(p, 10000);
    ASSERT_TRUE(st.has_value()) << "still running after the stop";
    EXPECT_TRUE(WIFSIGNALED(*st) && WTERMSIG(*st) == SIGTERM) << "wait status " << *st;
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    std::filesystem::remove(file);
    pt::expecttrace(lines, "127.0.0.1:" + std::to_string(tp::localport(s)), 16,
                    int(first.size()), int(got.data.size() - first.size()));

    // Nor can a steady stream of clients put a stop off.
    port = tp::freeport();
    auto q = tp::serve({tp::bin(program()), std::to_string(port)}, port, "tcp",
                       pt::pageopts("C", {}, false));
    std::atomic<bool> stopped = false;
    std::atomic<int> served = 0;
    std::thread load([&] {
        for (int i = 0; i < 50000 && !stopped; ++i) {
            tp::Fd c(tp::tcpconnect("127.0.0.1", port, 1000));
            if (c >= 0 && tp::sendall(c, "GET / HTTP/1.1\r\n\r\n") &&
                tp::recvall(c, 1000).starts_with(first))
                ++served;
        }
    });
    for (int i = 0; i < 500 && served < 20; ++i)
        usleep(10000);
    kill(q.pid, SIGTERM);
    st = tp::wait(q, 5000);
    stopped = true;
    load.join();
    EXPECT_GE(served, 20) << "the stream of clients did not get going";
    ASSERT_TRUE(st.has_value()) << "a steady stream of clients kept the server from stopping";
    EXPECT_TRUE(WIFSIGNALED(*st) && WTERMSIG(*st) == SIGTERM) << "wait status " << *st;

    // Nor a trace that has stalled: blocked writing it, it ends all the same.
    port = tp::freeport();
    q = tp::serve({tp::bin(program()), std::to_string(port)}, port, "tcp",
                  pt::pageopts("C", {}, false));
    st = tp::stopstalled(q, [&] {
        return tp::tcpask("127.0.0.1", port, "GET / HTTP/1.1\r\n\r\n", 1000)
            .value_or("")
            .starts_with(first);
    }, 1000);
    ASSERT_TRUE(st.has_value()) << "a stop did not end a server blocked on its trace";
    EXPECT_TRUE(WIFSIGNALED(*st) && WTERMSIG(*st) == SIGTERM) << "wait status " << *st;
}

// zonetexts: the C locale's date texts in zone (a zone file) for every
// second from before to after.
std::vector<std::string> zonetexts(const std::string &zone, time_t before, time_t after)
{
    setenv("TZ", (":" + zone).c_str(), 1);
    tzset();
    std::vector<std::string> texts;
    for (time_t t = before; t <= after; ++t) {
        tm local;
        localtime_r(&t, &local);
        char buf[64];
        texts.emplace_back(buf, strftime(buf, sizeof buf, cformat, &local));
    }
    unsetenv("TZ");
    tzset();
    return texts;
}

// The zone follows the system's: a new /etc/localtime shows in the page
// within a second, here in a mount namespace of the test's own (datepage
// only: clockpage runs the same code).
TEST(PagesZone, FollowsTheSystemsZoneWithinASecond)
{
    const std::string zones[] = {"/usr/share/zoneinfo/Asia/Tokyo",
                                 "/usr/share/zoneinfo/America/New_York"};
    for (const std::string &z : zones)
        if (access(z.c_str(), R_OK) != 0)
            GTEST_SKIP() << z << " is missing (tzdata)";
    if (access("/etc/localtime", F_OK) != 0)
        GTEST_SKIP() << "this host has no /etc/localtime to change";
    tp::isolate();
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "this host allows no mount namespace of our own: " << strerror(errno);
    ASSERT_EQ(mount(zones[0].c_str(), "/etc/localtime", nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);

    unsetenv("TZ"); // the system's zone, as a service has it
    int port = tp::freeport();
    tp::SpawnOpts opts;
    opts.env = {"LC_ALL=C"};
    opts.pty = true;
    auto p = tp::serve({tp::bin("datepage"), std::to_string(port)}, port, "tcp", opts);
    ASSERT_TRUE(tp::running(p));
    const std::string first = pt::head + "Local daytime is: ";
    for (std::size_t i = 0; i < std::size(zones); ++i) {
        SCOPED_TRACE(zones[i]);
        if (i > 0) {
            ASSERT_EQ(mount(zones[i].c_str(), "/etc/localtime", nullptr, MS_BIND, nullptr), 0)
                << strerror(errno);
            usleep(1100000);
        }
        time_t before = time(nullptr);
        auto got = pt::ask(port, "GET / HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(got.bytes.starts_with(first)) << got.bytes;
        std::string date = got.bytes.substr(first.size());
        EXPECT_TRUE(pt::oneof(date, zonetexts(zones[i], before, time(nullptr)))) << date;
    }
}

// One browser, once, on datepage (clockpage differs only in its label), in a
// locale whose date is not ASCII: the charset named in the head is what lets
// it show the French date rather than mojibake.
class PagesBrowser : public Pages {};

TEST_P(PagesBrowser, ChromiumShowsTheFrenchDateAndAsksForTheIcon)
{
    if (!tp::have("chromium"))
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";
    auto p = serve("fr_FR.UTF-8");
    ASSERT_TRUE(tp::running(p));
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    time_t before = time(nullptr);
    std::string text = pt::chromium(url);
    time_t after = time(nullptr);
    ASSERT_TRUE(text.starts_with(label())) << "rendered: \"" << text << "\"";
    std::string date = text.substr(label().size());
    EXPECT_TRUE(pt::oneof(date, pt::datetexts("fr_FR.UTF-8", before, after))) << date;
    // Today's month as the locale abbreviates it ("déc." in December).
    std::string month = pt::datetexts("fr_FR.UTF-8", after, after, "%b").at(0);
    EXPECT_NE(date.find(month), std::string::npos) << date << " lacks " << month;

    // The page and the icon each came as a request of their own; Chromium may
    // also open a spare connection that it closes unused.
    int requests = 0;
    while (auto l = tp::readline(p, 3000))
        if (l->starts_with("Received ") && *l != "Received 0 bytes.")
            ++requests;
    EXPECT_GE(requests, 2);
}

const auto programname = [](const auto &info) { return std::string(info.param.program); };
INSTANTIATE_TEST_SUITE_P(, Pages,
                         testing::Values(Kind{"datepage", "Local daytime is: "},
                                         Kind{"clockpage", "Local time is: "}),
                         programname);
INSTANTIATE_TEST_SUITE_P(, PagesBrowser, testing::Values(Kind{"datepage", "Local daytime is: "}),
                         programname);

} // namespace
