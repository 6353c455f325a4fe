// pagetest - starting the page servers and checking their pages and trace.
#include "pagetest.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <filesystem>
#include <langinfo.h>

namespace pt {

Page start(const std::string &program, int port, const std::vector<std::string> &args,
           const std::vector<std::string> &env)
{
    std::vector<std::string> argv = {tp::bin(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    Page p;
    p.port = port;
    tp::SpawnOpts opts;
    opts.env = env;
    opts.pty = true;
    p.proc = tp::spawn(argv, opts);
    EXPECT_TRUE(tp::waitbound(port, "tcp")) << program << " does not listen on " << port;
    return p;
}

bool hold5678free()
{
    if (tp::isolate())
        return true;
    std::string why = tp::fixedportproblem(5678, "tcp");
    if (!why.empty())
        ADD_FAILURE() << why;
    return why.empty();
}

Got ask(int port, const std::string &req, const std::string &host)
{
    Got g;
    int s = tp::tcpconnect(host, port, 10000);
    if (s < 0) {
        ADD_FAILURE() << "cannot connect to " << host << " port " << port;
        return g;
    }
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    getsockname(s, reinterpret_cast<sockaddr *>(&ss), &len);
    g.localport = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                                 : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    EXPECT_TRUE(req.empty() || tp::sendall(s, req));
    g.bytes = tp::recvall(s, 10000);
    close(s);
    return g;
}

std::vector<std::string> trace(Page &p, size_t n, int timeoutms)
{
    std::vector<std::string> lines;
    while (lines.size() < n) {
        auto l = tp::readline(p.proc, timeoutms);
        if (!l)
            break;
        lines.push_back(*l);
    }
    return lines;
}

void expecttrace(const std::vector<std::string> &lines, const std::string &peer, int received,
                 int first, int second)
{
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "connection from " + peer);
    EXPECT_EQ(lines[1], "Reading request...");
    if (received >= -1) {
        EXPECT_EQ(lines[2], "Received " + std::to_string(received) + " bytes.");
    } else {
        EXPECT_TRUE(lines[2].starts_with("Received ") && lines[2].ends_with(" bytes.")) << lines[2];
    }
    EXPECT_EQ(lines[3], "Sending response...");
    EXPECT_EQ(lines[4], "Sent " + std::to_string(first) + " of " + std::to_string(first) + " bytes.");
    EXPECT_EQ(lines[5], "Sent " + std::to_string(second) + " of " + std::to_string(second) + " bytes.");
}

std::vector<std::string> datetexts(const std::string &locale, time_t before, time_t after,
                                   const char *fmt)
{
    std::vector<std::string> texts;
    locale_t loc = newlocale(LC_ALL_MASK, locale.c_str(), nullptr);
    if (loc == nullptr) {
        ADD_FAILURE() << "locale " << locale << " is missing (scripts/setup.sh generates it)";
        return texts;
    }
    for (time_t t = before; t <= after; ++t) {
        tm utc;
        gmtime_r(&t, &utc);
        utc.tm_zone = "UTC"; // as the servers, under TZ=UTC0, name it
        char buf[256];
        size_t n = strftime_l(buf, sizeof buf, fmt ? fmt : nl_langinfo_l(D_T_FMT, loc), &utc, loc);
        texts.emplace_back(buf, n);
    }
    freelocale(loc);
    return texts;
}

bool oneof(const std::string &s, const std::vector<std::string> &texts)
{
    for (auto &t : texts)
        if (s == t)
            return true;
    return false;
}

std::string chromium(const std::string &url)
{
    char dir[] = "/tmp/pagechromeXXXXXX";
    if (mkdtemp(dir) == nullptr)
        return "";
    std::string d = dir;
    // A screenshot makes it render fully, icon request included, before it dumps.
    auto r = tp::run({"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                      "--no-first-run", "--disable-background-networking",
                      "--disable-component-update", "--disable-sync", "--user-data-dir=" + d,
                      "--screenshot=" + d + "/shot.png", "--dump-dom", url},
                     "", {}, 60000);
    std::filesystem::remove_all(d);
    // The page is shown as preformatted text: <pre ...>text</pre>.
    auto open = r.out.find("<pre");
    auto start = open == std::string::npos ? open : r.out.find('>', open);
    auto end = r.out.find("</pre>");
    if (start == std::string::npos || end == std::string::npos || end < start)
        return "";
    return r.out.substr(start + 1, end - start - 1);
}

} // namespace pt
