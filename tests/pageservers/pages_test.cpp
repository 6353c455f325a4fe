// pages_test - datepage on free ports: wire bytes, trace, real clients,
// locales and zones, clients that misbehave, failures and the stop.
// clockpage runs the same code; its own label and port are tested beside
// the command lines.
#include <langinfo.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "pagetest.h"

namespace {

const std::string label = "Local daytime is: ";
constexpr const char *cformat = "%a %b %e %H:%M:%S %Y";

// datetexts: the date texts of locale (LC_ALL name) for every second from
// before to after, in UTC or in the zone of zonefile, with fmt or the
// locale's own date-and-time format (C's written out, not taken from the
// library the server takes it from).
std::vector<std::string> datetexts(const std::string &locale, time_t before, time_t after,
                                   const char *fmt = nullptr, const std::string &zonefile = "")
{
    std::vector<std::string> texts;
    locale_t loc = newlocale(LC_ALL_MASK, locale.c_str(), nullptr);
    if (loc == nullptr) {
        ADD_FAILURE() << "locale " << locale << " is missing (scripts/setup.sh generates it)";
        return texts;
    }
    if (fmt == nullptr)
        fmt = locale == "C" ? cformat : nl_langinfo_l(D_T_FMT, loc);
    // UTC is TZ=UTC0, as the servers have it, which names the zone "UTC".
    setenv("TZ", zonefile.empty() ? "UTC0" : (":" + zonefile).c_str(), 1);
    tzset();
    for (time_t t = before; t <= after; ++t) {
        tm tmv;
        localtime_r(&t, &tmv);
        char buf[256];
        size_t n = strftime_l(buf, sizeof buf, fmt, &tmv, loc);
        texts.emplace_back(buf, n);
    }
    unsetenv("TZ");
    tzset();
    freelocale(loc);
    return texts;
}

bool oneof(const std::string &s, const std::vector<std::string> &texts)
{
    return std::ranges::find(texts, s) != texts.end();
}

// testlocale: builds the locale name in dir (for LOCPATH) of charmap: de_DE
// but for the time category, whose date-and-time format is dtfmt and whose
// full day names are all day; false when localedef cannot.
bool testlocale(const std::string &dir, const std::string &name, const std::string &charmap,
                const std::string &dtfmt, const std::string &day = "a")
{
    const std::string abc = "\"a\";\"b\";\"c\";\"d\";\"e\";\"f\";\"g\"";
    std::string days = "\"" + day + "\"";
    for (int i = 1; i < 7; ++i)
        days += ";\"" + day + "\"";
    std::string src = dir + "/" + name + ".src";
    std::filesystem::create_directories(dir);
    std::ofstream out(src);
    for (const char *cat : {"LC_CTYPE", "LC_COLLATE", "LC_MONETARY", "LC_NUMERIC", "LC_MESSAGES",
                            "LC_PAPER", "LC_NAME", "LC_ADDRESS", "LC_TELEPHONE", "LC_MEASUREMENT",
                            "LC_IDENTIFICATION"})
        out << cat << "\ncopy \"de_DE\"\nEND " << cat << "\n";
    out << "LC_TIME\nabday " << abc << "\nday " << days << "\nabmon " << abc
        << ";\"h\";\"i\";\"j\";\"k\";\"l\"\nmon " << abc << ";\"h\";\"i\";\"j\";\"k\";\"l\"\n"
        << "am_pm \"AM\";\"PM\"\nd_t_fmt \"" << dtfmt
        << "\"\nd_fmt \"%m\"\nt_fmt \"%H\"\nt_fmt_ampm \"%I\"\nEND LC_TIME\n";
    out.close();
    return tp::exitcode(tp::run({"localedef", "-i", src, "-f", charmap, dir + "/" + name}).status) == 0;
}

class Pages : public testing::Test {
protected:
    // A network of the test's own, where possible: no test beside it can take
    // the port it picks before its server binds it.
    void SetUp() override { tp::isolate(); }

    // serve: datepage on a free port, traced, under locale and UTC.
    tp::Proc serve(const std::string &locale = "C", const std::vector<std::string> &env = {},
                   bool pty = true)
    {
        port = tp::freeport();
        return tp::serve({tp::bin("datepage"), std::to_string(port)}, port, "tcp",
                         pt::pageopts(locale, env, pty));
    }

    // page: the page fetched by one client with req and checked against the
    // dates of locale; its head names charset exactly when the date is not
    // ASCII. Returns the date text.
    std::string page(tp::Proc &p, const std::string &req = pt::get, const std::string &locale = "C",
                     const std::string &charset = "")
    {
        time_t before = time(nullptr);
        auto got = pt::ask(port, req);
        auto dates = datetexts(locale, before, time(nullptr));
        std::string named = pt::headof(charset) + label;
        bool isnamed = !charset.empty() && got.data.starts_with(named);
        std::string start = isnamed ? named : pt::head + label;
        EXPECT_TRUE(got.data.starts_with(start)) << got.data;
        std::string date = got.data.substr(std::min(start.size(), got.data.size()));
        EXPECT_TRUE(oneof(date, dates)) << "date text \"" << date << "\"";
        EXPECT_EQ(isnamed, !std::ranges::all_of(date, [](unsigned char c) { return c < 0x80; }))
            << "charset named for the date \"" << date << "\"";
        pt::expecttrace(pt::trace(p), "127.0.0.1:" + std::to_string(got.localport),
                        int(std::min<size_t>(req.size(), 1024)), int(start.size()),
                        int(date.size()));
        return date;
    }

    int port = -1;
};

TEST_F(Pages, ExactBytesAndSixTraceLinesForEveryClientHostileOnesToo)
{
    auto p = serve();
    ASSERT_TRUE(tp::running(p));
    page(p);
    // Exactly six lines per connection: nothing follows.
    EXPECT_EQ(tp::readline(p, 300), std::nullopt);

    // The request is never looked at, not even when it is not HTTP; a long one
    // is read once, up to 1024 bytes, and the page still arrives whole.
    page(p, std::string("\x00\xff junk\r\n", 9));
    page(p, "POST /x HTTP/1.1\r\nX-Pad: " + std::string(3000, 'p') + "\r\n\r\n");
    // So with curl: its own request is read whole, one with a long cookie
    // once, up to 1024 bytes.
    for (size_t cookie : {0, 6000}) {
        auto r = pt::curl(port, cookie);
        EXPECT_EQ(tp::exitcode(r.status), 0) << r.err;
        EXPECT_TRUE(r.out.starts_with(label)) << r.out;
        int n = pt::receivedof(p);
        if (cookie > 0) {
            EXPECT_EQ(n, 1024);
        } else {
            EXPECT_TRUE(n > 40 && n < 300) << n << " bytes: not curl's whole request";
        }
    }

    // A request in two pieces: the server reads the first only, and the page
    // must still arrive whole and end cleanly, not by a reset.
    {
        tp::Fd s(tp::tcpconnect("127.0.0.1", port));
        ASSERT_TRUE(tp::sendall(s, "GET / HTTP/1.1\r\n"));
        ASSERT_TRUE(tp::readable(s, 10000)); // the page comes: the first piece was read alone
        EXPECT_TRUE(tp::sendall(s, "Host: x\r\n\r\n"));
        tp::Reply r = tp::readtoend(s, 10000);
        EXPECT_TRUE(r.cleanend) << "ended by: " << strerror(r.error);
        EXPECT_TRUE(r.data.starts_with(pt::head + label)) << r.data;
        EXPECT_EQ(pt::receivedof(p), 16);
    }
    // A client that goes on sending while it reads sees the page end at
    // once, within half a second, not only when the server stops draining
    // it a second on.
    {
        tp::Fd s(tp::tcpconnect("127.0.0.1", port));
        tp::Reply r;
        for (int i = 0; i < 25 && r.error == 0 && !r.cleanend; ++i) {
            send(s, "X-Pad: x\r\n", 10, MSG_NOSIGNAL);
            tp::Reply more = tp::readtoend(s, 20);
            r.data += more.data;
            r.cleanend = more.cleanend;
            r.error = more.error == ETIMEDOUT ? 0 : more.error;
        }
        EXPECT_TRUE(r.cleanend) << (r.error ? strerror(r.error) : "no end while still sending");
        EXPECT_TRUE(r.data.starts_with(pt::head + label)) << r.data;
        EXPECT_EQ(pt::trace(p).size(), 6u);
    }

    // IPv6 clients reach it too and are shown bracketed.
    auto got = pt::ask(port, pt::get, "::1");
    EXPECT_TRUE(got.data.starts_with(pt::head + label));
    auto lines = pt::trace(p);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "connection from [::1]:" + std::to_string(got.localport));

    pt::hostile(p, port, pt::head + label, "");
}

TEST_F(Pages, DateFollowsTheEnvironmentsLocaleAndItsCharset)
{
    struct Case {
        const char *locale;
        std::vector<std::string> names; // the weekdays as it abbreviates them; none: C's
    };
    // The head names the charset when the date is not ASCII (a month such as
    // "déc.") and not otherwise; the trace counts what was sent. The POSIX
    // locale, named either way, C.UTF-8, whose dates are ASCII, and a locale
    // that is not installed (which leaves the POSIX one in force) keep the
    // plain 64-byte head.
    const Case cases[] = {
        {"de_DE.UTF-8", {"Mo", "Di", "Mi", "Do", "Fr", "Sa", "So"}},
        {"fr_FR.UTF-8", {"lun.", "mar.", "mer.", "jeu.", "ven.", "sam.", "dim."}},
        {"C", {}}, {"POSIX", {}}, {"C.UTF-8", {}}, {"xx_XX.UTF-8", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.locale);
        auto p = serve(c.locale);
        ASSERT_TRUE(tp::running(p));
        bool own = !c.names.empty();
        std::string date = page(p, "GET / HTTP/1.1\r\n\r\n", own ? c.locale : "C", "UTF-8");
        time_t now = time(nullptr);
        tm utc;
        gmtime_r(&now, &utc);
        if (own) {
            EXPECT_NE(date.find(c.names[size_t((utc.tm_wday + 6) % 7)]), std::string::npos) << date;
            EXPECT_FALSE(oneof(date, datetexts("C", now - 5, now)));
        }
    }
}

// Locales of the test's own. The date follows the time category, and so
// does the charset named: a date that is never ASCII ("été") under a LANG
// of another codeset is labelled with its own; a C time category under a
// UTF-8 LANG names none. A date that does not fit, far more than 255
// bytes, is sent empty.
TEST_F(Pages, CharsetIsTheTimeCategorysAndADateThatDoesNotFitIsSentEmpty)
{
    std::string dir = testing::TempDir() + "pageloc" + std::to_string(getpid());
    if (!testlocale(dir, "UTF-8", "UTF-8", "%H:%M <U00E9>t<U00E9>") ||
        !testlocale(dir, "ISO-8859-1", "ISO-8859-1", "%H:%M <U00E9>t<U00E9>") ||
        !testlocale(dir, "overlong", "UTF-8", "%A%A%A%A%A%A%A", std::string(40, 'D')))
        GTEST_SKIP() << "localedef cannot build a test locale";
    struct Case {
        const char *all;
        std::vector<std::string> env;
        std::string head, date; // date: how "été" ends it; "": ASCII, or empty for overlong
    };
    const Case cases[] = {
        {"", {"LANG=C.UTF-8", "LC_TIME=ISO-8859-1"}, pt::headof("ISO-8859-1"), "\xe9t\xe9"},
        {"", {"LANG=C", "LC_TIME=UTF-8"}, pt::headof("UTF-8"), "\xc3\xa9t\xc3\xa9"},
        {"", {"LANG=fr_FR.UTF-8", "LC_TIME=C"}, pt::head, ""},
        {"overlong", {}, pt::head, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.all + (c.env.empty() ? "" : c.env[1]));
        std::vector<std::string> env = c.env;
        env.push_back("LOCPATH=" + dir);
        auto p = serve(c.all, env);
        ASSERT_TRUE(tp::running(p));
        auto got = pt::ask(port);
        std::string first = c.head + label;
        ASSERT_TRUE(got.data.starts_with(first)) << got.data;
        std::string date = got.data.substr(first.size());
        if (*c.all != '\0') {
            EXPECT_EQ(date, "");
        } else if (c.date.empty()) {
            EXPECT_TRUE(std::ranges::all_of(date, [](unsigned char b) { return b < 0x80; })) << date;
        } else {
            EXPECT_TRUE(date.ends_with(" " + c.date)) << date;
        }
        pt::expecttrace(pt::trace(p), "127.0.0.1:" + std::to_string(got.localport), int(pt::get.size()),
                        int(first.size()), int(date.size()));
    }
    std::filesystem::remove_all(dir);
}

// A held port stops the start. Every failed accept that concerns one
// connection, or a shortage, is lived through; anything else ends the
// server, at the connection that meets it. Where connections cannot be
// deferred, a silent client holds the server for the receive's bound of
// 5 s, then gets its page all the same.
TEST_F(Pages, HeldPortStopsTheStartAcceptFailuresAndSilentClientsAreLivedThrough)
{
    port = tp::freeport();
    auto r = tp::runheld({tp::bin("datepage"), std::to_string(port)}, "::", port, "tcp",
                         pt::pageopts("C", {}, false));
    std::string ps = std::to_string(port);
    EXPECT_EQ(tp::outcome(r), tp::outcome(1, "", "datepage: " + ps + "/tcp: can't bind to port " + ps + ": Address already in use\n"));

    std::string plan = "FAULTSHIM_ACCEPT=";
    for (int e : acceptskips)
        plan += std::to_string(e) + ",";
    for (int e : acceptshortages)
        plan += std::to_string(e) + ",";
    auto env = tp::faults(plan);
    env.push_back("FAULTSHIM_NODEFER=1");
    auto p = serve("C", env);
    ASSERT_TRUE(tp::running(p));
    page(p);
    tp::Fd silent(tp::tcpconnect("127.0.0.1", port, 20000), true);
    ASSERT_GE(silent, 0);
    long t0 = monotonicms();
    auto got = pt::ask(port);
    long waited = monotonicms() - t0;
    EXPECT_TRUE(got.data.starts_with(pt::head + label)) << got.data;
    EXPECT_GT(waited, 3000);
    EXPECT_LT(waited, 9000);
    EXPECT_TRUE(tp::readall(silent, 2000).starts_with(pt::head + label));
    EXPECT_EQ(pt::receivedof(p), -1);

    auto q = serve("C", tp::faults("FAULTSHIM_ACCEPT=" + std::to_string(EBADF)), false);
    tp::Fd s(tp::tcpconnect("127.0.0.1", port));
    auto st = tp::wait(q, 5000);
    ASSERT_TRUE(st.has_value()) << "still running after a failed accept";
    EXPECT_EQ(tp::exitcode(*st), 1);
    EXPECT_EQ(tp::readall(q.err, 1000), "datepage: main() accept: " + std::string(strerror(EBADF)) + "\n");
}

// A stop keeps every line: the trace goes to a file, as a user's redirection
// gives it, fully buffered until the server writes it out on its way down.
// The stop comes while the server waits for a late client's request. Where
// connections are deferred (the server takes the silent client after a
// second) the request then arrives and never ends, and the server drains
// it; where they are not (taken at once) the client stays silent, and the
// server waits on it for seconds. Either way it no longer waits once
// stopped: it answers the client and ends by the signal within 2 s with
// every line it printed.
TEST_F(Pages, StopKeepsEveryLineAndEndsBySignalWhateverTheClientDoes)
{
    std::string first = pt::head + label;
    for (bool defer : {true, false}) {
        SCOPED_TRACE(defer ? "deferred accept" : "no deferred accept");
        std::string file = testing::TempDir() + "pagestop" + std::to_string(getpid());
        port = tp::freeport();
        auto p = tp::serve({"sh", "-c", "exec \"$0\" \"$1\" >\"$2\"", tp::bin("datepage"),
                            std::to_string(port), file},
                           port, "tcp",
                           pt::pageopts("C", defer ? std::vector<std::string>{}
                                                   : tp::faults("FAULTSHIM_NODEFER=1"),
                                        false));
        ASSERT_TRUE(tp::running(p));
        tp::Reply ordinary = pt::ask(port);
        ASSERT_TRUE(ordinary.data.starts_with(first)) << ordinary.data;

        tp::Fd late(tp::tcpconnect("127.0.0.1", port));
        ASSERT_GE(late, 0);
        auto sockets = [&] {
            return std::ranges::count_if(tp::fdtargets(p.pid),
                                         [](const std::string &t) { return t.find("socket:") != t.npos; });
        };
        for (int i = 0; i < 1000 && sockets() < 2; ++i)
            usleep(5000);
        ASSERT_EQ(sockets(), 2) << "the late connection was not taken";
        kill(p.pid, SIGTERM);
        long t0 = monotonicms();
        std::thread upload([&] {
            std::string chunk(1024, 'x');
            for (int i = 0; defer && i < 400 && tp::sendall(late, chunk); ++i)
                usleep(5000);
        });
        auto st = tp::wait(p, 2000);
        long took = monotonicms() - t0;
        upload.join();
        EXPECT_TRUE(tp::endedby(st, SIGTERM)) << "after " << took << " ms";

        auto lines = tp::filelines(file);
        std::filesystem::remove(file);
        ASSERT_GE(lines.size(), 7u) << "lines kept by the stopped server";
        pt::expecttrace({lines.begin(), lines.begin() + 6},
                        "127.0.0.1:" + std::to_string(ordinary.localport), int(pt::get.size()),
                        int(first.size()), int(ordinary.data.size() - first.size()));
        EXPECT_EQ(lines[6], "connection from 127.0.0.1:" + std::to_string(tp::localport(late)));
    }

    // Nor can a steady stream of clients put a stop off.
    auto q = serve("C", {}, false);
    std::atomic<bool> stopped = false;
    std::atomic<int> served = 0;
    std::thread load([&] {
        for (int i = 0; i < 50000 && !stopped; ++i)
            served += pt::ask(port, pt::get).data.starts_with(first);
    });
    for (int i = 0; i < 500 && served < 20; ++i)
        usleep(10000);
    kill(q.pid, SIGTERM);
    auto st = tp::wait(q, 5000);
    stopped = true;
    load.join();
    EXPECT_GE(served, 20) << "the stream of clients did not get going";
    EXPECT_TRUE(tp::endedby(st, SIGTERM)) << "under a steady stream of clients";

    // Nor a trace that has stalled: blocked writing it, it ends all the same.
    q = serve("C", {}, false);
    EXPECT_TRUE(tp::endedby(
        tp::stopstalled(q, [&] { return tp::ask("127.0.0.1", port, pt::get, 1000).data.starts_with(first); },
                        1000),
        SIGTERM))
        << "blocked on its trace";

    // Only a stop's own alarm is caught: one sent from outside ends the
    // server as it ends any program.
    q = serve("C", {}, false);
    kill(q.pid, SIGALRM);
    EXPECT_TRUE(tp::endedby(tp::wait(q, 5000), SIGALRM));
}

// Handed its socket, as systemd hands it over, datepage serves as on its
// own, bytes and trace, once it has said it is ready; stopped, it leaves the
// socket listening, so that a client that comes meanwhile waits in its
// queue and is served by the next server.
TEST_F(Pages, HandedSocketServedAlikeAndAcrossARestart)
{
    port = tp::freeport();
    tp::Fd held(tp::holder("::", port, "tcp"));
    std::string name = testing::TempDir() + "pageready" + std::to_string(getpid());
    auto opts = pt::pageopts("C");
    opts.handed = {held};
    tp::Fd notify(tp::notifysocket(opts, name));
    auto p = tp::spawn({tp::bin("datepage"), std::to_string(port)}, opts);
    EXPECT_EQ(tp::recvone(notify, 10000), "READY=1");
    page(p);
    EXPECT_TRUE(tp::endedby(tp::stop(p), SIGTERM));
    tp::Fd s(tp::tcpconnect("127.0.0.1", port));
    ASSERT_TRUE(tp::sendall(s, pt::get)) << "the socket no longer listens";
    p = tp::spawn({tp::bin("datepage"), std::to_string(port)}, opts);
    EXPECT_TRUE(tp::readall(s, 10000).starts_with(pt::head + label));
    std::filesystem::remove(name);
}

// The zone follows the system's: a new /etc/localtime shows in the page
// within a second, here in a mount namespace of the test's own (datepage
// only: clockpage runs the same code).
TEST_F(Pages, ZoneFollowsTheSystemsWithinASecond)
{
    const std::string zones[] = {"/usr/share/zoneinfo/Asia/Tokyo",
                                 "/usr/share/zoneinfo/America/New_York"};
    for (const std::string &z : zones)
        if (access(z.c_str(), R_OK) != 0)
            GTEST_SKIP() << z << " is missing (tzdata)";
    if (access("/etc/localtime", F_OK) != 0)
        GTEST_SKIP() << "this host has no /etc/localtime to change";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "this host allows no mount namespace of our own: " << strerror(errno);
    ASSERT_EQ(mount(zones[0].c_str(), "/etc/localtime", nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);

    unsetenv("TZ"); // the system's zone, as a service has it
    port = tp::freeport();
    auto opts = pt::pageopts("C");
    opts.env = {"LC_ALL=C"};
    auto p = tp::serve({tp::bin("datepage"), std::to_string(port)}, port, "tcp", opts);
    ASSERT_TRUE(tp::running(p));
    for (std::size_t i = 0; i < std::size(zones); ++i) {
        SCOPED_TRACE(zones[i]);
        if (i > 0) {
            ASSERT_EQ(mount(zones[i].c_str(), "/etc/localtime", nullptr, MS_BIND, nullptr), 0)
                << strerror(errno);
            usleep(1100000);
        }
        time_t before = time(nullptr);
        auto got = pt::ask(port);
        ASSERT_TRUE(got.data.starts_with(pt::head + label)) << got.data;
        std::string date = got.data.substr(pt::head.size() + label.size());
        EXPECT_TRUE(oneof(date, datetexts("C", before, time(nullptr), nullptr, zones[i]))) << date;
    }
}

// A browser, in a locale whose date may not be ASCII: the charset named in
// the head is what lets it show a French date rather than mojibake.
TEST_F(Pages, ChromiumShowsTheFrenchDateAndAsksForTheIcon)
{
    if (!tp::have("chromium"))
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";
    auto p = serve("fr_FR.UTF-8");
    ASSERT_TRUE(tp::running(p));
    char dir[] = "/tmp/pagechromeXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string d = dir;
    time_t before = time(nullptr);
    // A screenshot makes it render fully, icon request included, before it dumps.
    auto r = tp::run({"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                      "--no-first-run", "--disable-background-networking",
                      "--disable-component-update", "--disable-sync", "--user-data-dir=" + d,
                      "--screenshot=" + d + "/shot.png", "--dump-dom",
                      "http://127.0.0.1:" + std::to_string(port) + "/"},
                     "", {}, 60000);
    time_t after = time(nullptr);
    std::filesystem::remove_all(d);
    // The page is shown as preformatted text: <pre ...>text</pre>.
    auto open = r.out.find("<pre");
    auto start = open == std::string::npos ? open : r.out.find('>', open);
    auto end = r.out.find("</pre>");
    ASSERT_TRUE(start != std::string::npos && end != std::string::npos && end > start) << r.out;
    std::string text = r.out.substr(start + 1, end - start - 1);
    ASSERT_TRUE(text.starts_with(label)) << "rendered: \"" << text << "\"";
    std::string date = text.substr(label.size());
    EXPECT_TRUE(oneof(date, datetexts("fr_FR.UTF-8", before, after))) << date;
    // Today's month as the locale abbreviates it ("déc." in December).
    std::string month = datetexts("fr_FR.UTF-8", after, after, "%b").at(0);
    EXPECT_NE(date.find(month), std::string::npos) << date << " lacks " << month;

    // The page and the icon each came as a request of their own; Chromium may
    // also open a spare connection that it closes unused.
    int requests = 0;
    while (auto l = tp::readline(p, 3000))
        if (l->starts_with("Received ") && *l != "Received 0 bytes.")
            ++requests;
    EXPECT_GE(requests, 2);
}

} // namespace
